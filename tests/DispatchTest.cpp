// The choice of driver by the three option bytes, over every byte value, on
// processors with and without AVX-512.
#include "TestSupport.hpp"
#include "Variants.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// The dispatch table written out independently: the variant name each
// combination selects, or "" when the combination is refused.
std::string ExpectedVariant(int precision, int rounding, int fpu, bool avx512) {
    const std::string family = rounding == 0 ? "Default" : "Safe";
    if (precision == 1) {
        return fpu == 1 ? "Extended" + family + "X87" : "";
    }
    const std::string element = precision == 2 ? "Single" : "Double";
    switch (fpu) {
        case 0: return element + family + "Default";
        case 1: return element + family + "X87";
        case 2: return element + family + "SSE";
        case 3: return avx512 && element == "Double" ? element + family + "AVX512" : "";
        default: return "";
    }
}

// Drivers of the variants this build computes, by name.
std::map<std::string, ii::DriverFunction> ComputingDrivers() {
    return {
        {"DoubleDefaultDefault", ii::IntervalIterationDoubleDefaultDefault},
        {"SingleDefaultDefault", ii::IntervalIterationSingleDefaultDefault},
        {"DoubleDefaultSSE", ii::IntervalIterationDoubleDefaultSSE},
        {"SingleDefaultSSE", ii::IntervalIterationSingleDefaultSSE},
        {"DoubleSafeDefault", ii::IntervalIterationDoubleSafeDefault},
        {"SingleSafeDefault", ii::IntervalIterationSingleSafeDefault},
        {"DoubleSafeSSE", ii::IntervalIterationDoubleSafeSSE},
        {"SingleSafeSSE", ii::IntervalIterationSingleSafeSSE},
        {"SingleDefaultX87", ii::IntervalIterationSingleDefaultX87},
        {"DoubleDefaultX87", ii::IntervalIterationDoubleDefaultX87},
        {"ExtendedDefaultX87", ii::IntervalIterationExtendedDefaultX87},
        {"SingleSafeX87", ii::IntervalIterationSingleSafeX87},
        {"DoubleSafeX87", ii::IntervalIterationDoubleSafeX87},
        {"ExtendedSafeX87", ii::IntervalIterationExtendedSafeX87},
        {"DoubleDefaultAVX512", ii::IntervalIterationDoubleDefaultAVX512},
        {"DoubleSafeAVX512", ii::IntervalIterationDoubleSafeAVX512},
    };
}

TEST(Dispatch, EveryCombinationOfOptionBytes) {
    const auto drivers = ComputingDrivers();
    for (const test::Variant& variant : test::AllVariants()) {
        EXPECT_EQ(test::Computes(variant), drivers.count(variant.Name) == 1) << variant.Name;
    }
    int mismatches = 0;
    for (bool avx512 : {true, false}) {
        for (int precision = 0; precision < 256; ++precision) {
            for (int rounding = 0; rounding < 256; ++rounding) {
                for (int fpu = 0; fpu < 256; ++fpu) {
                    const std::string expected = ExpectedVariant(precision, rounding, fpu, avx512);
                    const auto found = drivers.find(expected);
                    const ii::DriverFunction want =
                        found == drivers.end() ? nullptr : found->second;
                    const ii::DriverFunction got = ii::SelectDriver(
                        static_cast<uint8_t>(precision), static_cast<uint8_t>(rounding),
                        static_cast<uint8_t>(fpu), avx512);
                    if (got != want && ++mismatches <= 10) {
                        ADD_FAILURE() << "precision " << precision << " rounding " << rounding
                                      << " fpu " << fpu << (avx512 ? "" : " without AVX-512")
                                      << ": expected "
                                      << (expected.empty() ? "refusal" : expected);
                    }
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

IterationResult WithoutAvx512(const SparseMdp* model, const IterationOptions* options,
                              int64_t* iterationCount, double* achievedPrecision,
                              int32_t* warnedFlag, MessageCallback callback,
                              const int32_t* abortFlag) {
    return ii::RunIntervalIteration(false, model, options, iterationCount, achievedPrecision,
                                    warnedFlag, callback, abortFlag);
}

// On a processor without AVX-512, selecting it is refused like every other
// unsupported combination (rather than executing instructions the processor
// lacks): the information message, the inexact-value warning under safe
// rounding, the error, status 3 with NaN bounds, output locations untouched.
TEST(Dispatch, Avx512IsRefusedWhereTheProcessorLacksIt) {
    const std::string unsupported =
        "Unsupported combination of FPU instruction set and rounding behaviour.";
    const test::Model model = test::MakeModel({{{test::Fraction(1, 1, 2)}}, {}}, {1});
    for (uint8_t rounding : {RoundingDefault, RoundingSafe}) {
        for (bool sequential : {true, false}) {
            const test::Variant variant{PrecisionDouble, rounding, FpuAVX512, "AVX512"};
            const test::Call call = test::RunWith(
                WithoutAvx512, model, test::MakeOptions(variant, sequential), 5);
            EXPECT_EQ(call.Result.Status, IterationStatusError);
            EXPECT_EQ(test::Bits(call.Result.Lower), test::kQuietNanBits);
            EXPECT_EQ(test::Bits(call.Result.Upper), test::kQuietNanBits);
            EXPECT_EQ(call.IterationCount, test::kUntouchedCount);
            EXPECT_EQ(call.AchievedPrecision, test::kUntouchedPrecision);
            EXPECT_EQ(call.WarnedFlag, 5);
            std::vector<uint64_t> severities;
            for (const test::Message& message : call.Messages) {
                severities.push_back(message.Severity);
            }
            std::vector<uint64_t> expected{SeverityInformation, SeverityError};
            if (rounding == RoundingSafe) {
                expected.insert(expected.begin() + 1, SeverityWarning);
            }
            EXPECT_EQ(severities, expected);
            EXPECT_EQ(call.Messages.back().Text, unsupported);
        }
    }
}

}  // namespace
