// Size and processor queries for the host.
#include "Native.hpp"

#include "IntervalIteration.h"

#include <cpuid.h>

#include <cstdint>
#include <cstring>

namespace ii {
namespace {

CpuidRegisters ExecuteCpuid(uint32_t leaf, uint32_t subleaf) {
    CpuidRegisters registers{};
    __cpuid_count(leaf, subleaf, registers.Eax, registers.Ebx, registers.Ecx, registers.Edx);
    return registers;
}

// Executable only where CPUID reports OSXSAVE.
uint64_t ReadXcr0() {
    uint32_t low;
    uint32_t high;
    asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (uint64_t{high} << 32) | low;
}

constexpr uint32_t kAvx512F = 1u << 16;   // leaf 7, EBX
constexpr uint32_t kAvx512DQ = 1u << 17;  // leaf 7, EBX
constexpr uint32_t kOsxsave = 1u << 27;   // leaf 1, ECX
// XCR0 bits 1, 2, 5, 6, 7: SSE, AVX, opmask, ZMM_Hi256 and Hi16_ZMM state.
constexpr uint64_t kAvx512State = 0xE6;
constexpr int32_t kVendorLength = 12;

}  // namespace

int32_t NativeSupportMask(CpuidFunction cpuid, Xcr0Function xcr0) {
    if (cpuid(0, 0).Eax <= 6) {
        return 1;
    }
    const uint32_t features = cpuid(7, 0).Ebx;
    if ((features & kAvx512F) == 0 || (features & kAvx512DQ) == 0) {
        return 1;
    }
    // An operating system that does not save the AVX-512 registers leaves
    // the instructions disabled: they fault like missing ones.
    if ((cpuid(1, 0).Ecx & kOsxsave) == 0) {
        return 1;
    }
    return (xcr0() & kAvx512State) == kAvx512State ? 3 : 1;
}

bool Avx512Supported() {
    // Asked once per process: the initialisation of a function-local static
    // is thread-safe, and the answer cannot change while the process runs.
    static const bool supported = (NativeSupportMask(ExecuteCpuid, ReadXcr0) & 2) != 0;
    return supported;
}

int32_t CopyCpuVendor(CpuidFunction cpuid, char* buffer, uint64_t length) {
    const CpuidRegisters registers = cpuid(0, 0);
    char vendor[kVendorLength];
    std::memcpy(vendor, &registers.Ebx, 4);
    std::memcpy(vendor + 4, &registers.Edx, 4);
    std::memcpy(vendor + 8, &registers.Ecx, 4);
    if (length == 0) {
        return kVendorLength;
    }
    const uint64_t count = length - 1 < kVendorLength ? length - 1 : kVendorLength;
    std::memcpy(buffer, vendor, count);
    buffer[count] = '\0';
    return kVendorLength;
}

}  // namespace ii

extern "C" {

int32_t GetSizeOfSizeType(void) { return static_cast<int32_t>(sizeof(uint64_t)); }

int32_t GetNativeSupportMask(void) {
    return ii::NativeSupportMask(ii::ExecuteCpuid, ii::ReadXcr0);
}

int32_t GetCpuVendor(char* buffer, uint64_t length) {
    return ii::CopyCpuVendor(ii::ExecuteCpuid, buffer, length);
}

}  // extern "C"
