// Processor queries: the decisions, separated from the CPUID instruction so
// that they can be checked against any processor's answers.
#pragma once

#include <cstdint>

namespace ii {

// Registers of one CPUID answer.
struct CpuidRegisters {
    uint32_t Eax;
    uint32_t Ebx;
    uint32_t Ecx;
    uint32_t Edx;
};

using CpuidFunction = CpuidRegisters (*)(uint32_t leaf, uint32_t subleaf);

// Bit 0 always; bit 1 when leaf 7 exists and reports AVX512F and AVX512DQ.
// Leaf 7 is not executed when leaf 0 reports a highest leaf of 6 or less.
int32_t NativeSupportMask(CpuidFunction cpuid);

// The vendor-string copy of GetCpuVendor.
int32_t CopyCpuVendor(CpuidFunction cpuid, char* buffer, uint64_t length);

}  // namespace ii
