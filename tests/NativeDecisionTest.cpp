// The processor decisions behind GetNativeSupportMask and GetCpuVendor, fed
// with the CPUID answers of imagined processors.
#include "Native.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

ii::CpuidRegisters gLeaf0;
ii::CpuidRegisters gLeaf1;
ii::CpuidRegisters gLeaf7;
uint64_t gXcr0;
int gLeaf7Calls;
int gXcr0Reads;

ii::CpuidRegisters FakeCpuid(uint32_t leaf, uint32_t subleaf) {
    EXPECT_EQ(subleaf, 0u);
    if (leaf == 7) {
        ++gLeaf7Calls;
        return gLeaf7;
    }
    if (leaf == 1) {
        return gLeaf1;
    }
    EXPECT_EQ(leaf, 0u);
    return gLeaf0;
}

uint64_t FakeXcr0() {
    ++gXcr0Reads;
    return gXcr0;
}

constexpr uint32_t kF = 1u << 16;
constexpr uint32_t kDQ = 1u << 17;
constexpr uint32_t kOsxsave = 1u << 27;
// XCR0: x87, SSE, AVX, opmask, ZMM_Hi256 and Hi16_ZMM state enabled.
constexpr uint64_t kAvx512State = 0xE7;

int32_t MaskFor(uint32_t highestLeaf, uint32_t leaf7Ebx, uint32_t leaf1Ecx = kOsxsave,
                uint64_t xcr0 = kAvx512State) {
    gLeaf0 = {highestLeaf, 0, 0, 0};
    gLeaf1 = {0, 0, leaf1Ecx, 0};
    gLeaf7 = {0, leaf7Ebx, 0, 0};
    gXcr0 = xcr0;
    gLeaf7Calls = 0;
    gXcr0Reads = 0;
    return ii::NativeSupportMask(FakeCpuid, FakeXcr0);
}

TEST(NativeSupportMask, NeedsLeafSevenWithBothAvx512Flags) {
    EXPECT_EQ(MaskFor(0xD, kF | kDQ), 3);
    EXPECT_EQ(MaskFor(7, kF | kDQ | 0xFFFF), 3);
    EXPECT_EQ(MaskFor(0xD, kF), 1);   // AVX512F without AVX512DQ
    EXPECT_EQ(MaskFor(0xD, kDQ), 1);
    EXPECT_EQ(MaskFor(0xD, ~(kF | kDQ)), 1);
}

TEST(NativeSupportMask, DoesNotExecuteLeafSevenWhenTheHighestLeafIsSixOrLess) {
    EXPECT_EQ(MaskFor(6, kF | kDQ), 1);
    EXPECT_EQ(gLeaf7Calls, 0);
    EXPECT_EQ(MaskFor(1, kF | kDQ), 1);
    EXPECT_EQ(gLeaf7Calls, 0);
    EXPECT_EQ(MaskFor(7, kF | kDQ), 3);
    EXPECT_EQ(gLeaf7Calls, 1);
}

// The AVX-512 instructions fault unless the operating system saves the
// opmask and ZMM registers: bit 1 also needs XCR0 to say so, and XCR0 is
// read only where CPUID reports that it can be (OSXSAVE).
TEST(NativeSupportMask, NeedsTheOperatingSystemToSaveTheAvx512Registers) {
    EXPECT_EQ(MaskFor(0xD, kF | kDQ, 0), 1);
    EXPECT_EQ(gXcr0Reads, 0);
    EXPECT_EQ(MaskFor(0xD, kF | kDQ, kOsxsave, 0x07), 1);  // x87, SSE and AVX only
    EXPECT_EQ(MaskFor(0xD, kF | kDQ, kOsxsave, kAvx512State & ~uint64_t{0x20}), 1);
    EXPECT_EQ(MaskFor(0xD, kF | kDQ, kOsxsave, ~uint64_t{0}), 3);
    EXPECT_EQ(gXcr0Reads, 1);
}

TEST(CpuVendor, RegistersAreReadInTheOrderEbxEdxEcx) {
    uint32_t ebx, edx, ecx;
    std::memcpy(&ebx, "Genu", 4);
    std::memcpy(&edx, "ineI", 4);
    std::memcpy(&ecx, "ntel", 4);
    gLeaf0 = {0x16, ebx, ecx, edx};
    char buffer[20];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(ii::CopyCpuVendor(FakeCpuid, buffer, sizeof buffer), 12);
    EXPECT_EQ(std::string(buffer), "GenuineIntel");
    EXPECT_EQ(buffer[13], '#');
}

}  // namespace
