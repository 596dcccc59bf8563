// The processor decisions behind GetNativeSupportMask and GetCpuVendor, fed
// with the CPUID answers of imagined processors.
#include "Native.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

ii::CpuidRegisters gLeaf0;
ii::CpuidRegisters gLeaf7;
int gLeaf7Calls;

ii::CpuidRegisters FakeCpuid(uint32_t leaf, uint32_t subleaf) {
    EXPECT_EQ(subleaf, 0u);
    if (leaf == 7) {
        ++gLeaf7Calls;
        return gLeaf7;
    }
    EXPECT_EQ(leaf, 0u);
    return gLeaf0;
}

int32_t MaskFor(uint32_t highestLeaf, uint32_t leaf7Ebx) {
    gLeaf0 = {highestLeaf, 0, 0, 0};
    gLeaf7 = {0, leaf7Ebx, 0, 0};
    gLeaf7Calls = 0;
    return ii::NativeSupportMask(FakeCpuid);
}

constexpr uint32_t kF = 1u << 16;
constexpr uint32_t kDQ = 1u << 17;

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
