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

// The extended control register XCR0 (XGETBV with ECX = 0): the register
// states that the operating system saves and restores.
using Xcr0Function = uint64_t (*)();

// Bit 0 always; bit 1 when leaf 7 exists and reports AVX512F and AVX512DQ,
// and the operating system saves the registers they use (leaf 1 reports
// OSXSAVE, and XCR0 has the SSE, AVX, opmask and both ZMM state bits). Leaf
// 7 is not executed when leaf 0 reports a highest leaf of 6 or less, and
// XCR0 is not read without OSXSAVE.
int32_t NativeSupportMask(CpuidFunction cpuid, Xcr0Function xcr0);

// Whether the AVX-512 variants can run on this processor: bit 1 of the
// support mask, determined on first use and kept for the process.
bool Avx512Supported();

// The vendor-string copy of GetCpuVendor.
int32_t CopyCpuVendor(CpuidFunction cpuid, char* buffer, uint64_t length);

}  // namespace ii
