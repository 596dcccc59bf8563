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

constexpr uint32_t kAvx512F = 1u << 16;
constexpr uint32_t kAvx512DQ = 1u << 17;
constexpr int32_t kVendorLength = 12;

}  // namespace

int32_t NativeSupportMask(CpuidFunction cpuid) {
    if (cpuid(0, 0).Eax <= 6) {
        return 1;
    }
    const uint32_t features = cpuid(7, 0).Ebx;
    return (features & kAvx512F) != 0 && (features & kAvx512DQ) != 0 ? 3 : 1;
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

int32_t GetNativeSupportMask(void) { return ii::NativeSupportMask(ii::ExecuteCpuid); }

int32_t GetCpuVendor(char* buffer, uint64_t length) {
    return ii::CopyCpuVendor(ii::ExecuteCpuid, buffer, length);
}

}  // extern "C"
