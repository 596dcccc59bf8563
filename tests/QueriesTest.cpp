// The small queries: display names, the size type, the processor queries and
// the end-component entry.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <cpuid.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Names, EveryByteValueIsAnswered) {
    for (int value = 0; value < 256; ++value) {
        const auto byte = static_cast<uint8_t>(value);
        const std::string precision = PrecisionToString(byte);
        const std::string fpu = FpuToString(byte);
        const std::string rounding = RoundingToString(byte);
        EXPECT_EQ(precision, value == 0   ? "double"
                             : value == 1 ? "extended"
                             : value == 2 ? "single"
                                          : "(invalid value)");
        EXPECT_EQ(fpu, value == 0   ? "default"
                       : value == 1 ? "x87"
                       : value == 2 ? "SSE"
                       : value == 3 ? "AVX-512"
                                    : "(invalid value)");
        EXPECT_EQ(rounding, value == 0   ? "default"
                            : value == 1 ? "safe"
                                         : "(invalid value)");
    }
}

// Only the low 8 bits of the argument count: a caller that passes an int in
// the register sees the name of its low byte.
TEST(Names, OnlyTheLowByteIsExamined) {
    using WideName = const char* (*)(uint32_t);
    const auto wideFpu = reinterpret_cast<WideName>(reinterpret_cast<void*>(&FpuToString));
    EXPECT_STREQ(wideFpu(0x102), "SSE");
    EXPECT_STREQ(wideFpu(0xFF03), "AVX-512");
}

TEST(Names, StringsAreConstantAcrossCalls) {
    EXPECT_EQ(FpuToString(2), FpuToString(2));
    EXPECT_EQ(PrecisionToString(7), RoundingToString(9));  // one "(invalid value)"
}

TEST(SizeType, IsEight) { EXPECT_EQ(GetSizeOfSizeType(), 8); }

std::string VendorFromCpuid() {
    unsigned eax, ebx, ecx, edx;
    __cpuid(0, eax, ebx, ecx, edx);
    char vendor[12];
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    return std::string(vendor, 12);
}

TEST(CpuVendor, CopiesAtMostLengthMinusOneCharactersAndATerminator) {
    const std::string vendor = VendorFromCpuid();
    struct Case {
        uint64_t Length;
        std::size_t Copied;
    };
    for (const Case c : {Case{0, 0}, Case{1, 0}, Case{5, 4}, Case{12, 11}, Case{13, 12},
                         Case{100, 12}}) {
        std::string buffer(100, '#');
        EXPECT_EQ(GetCpuVendor(buffer.data(), c.Length), 12) << c.Length;
        std::string expected(100, '#');
        if (c.Length > 0) {
            expected.replace(0, c.Copied, vendor.substr(0, c.Copied));
            expected[c.Copied] = '\0';
        }
        EXPECT_EQ(buffer, expected) << "length " << c.Length;
    }
}

TEST(NativeSupport, MatchesTheProcessorsAvx512Flags) {
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    EXPECT_EQ(GetNativeSupportMask(), avx512 ? 3 : 1);
}

TEST(EndComponents, AbortFlagSetReturnsOneSilently) {
    std::vector<test::Message> messages;
    test::MessageSink = &messages;
    int32_t abortFlag = 1;
    EXPECT_EQ(MaximalEndComponents(nullptr, nullptr, nullptr, test::CaptureMessage, &abortFlag), 1);
    EXPECT_TRUE(messages.empty());
    abortFlag = 0;
    EXPECT_EQ(MaximalEndComponents(nullptr, nullptr, nullptr, test::CaptureMessage, &abortFlag), 2);
    test::MessageSink = nullptr;
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], (test::Message{SeverityError,
                                          "Native end component decomposition is not yet "
                                          "implemented."}));
}

}  // namespace
