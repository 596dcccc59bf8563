// The choice of driver by the three option bytes, over every byte value.
#include "TestSupport.hpp"
#include "Variants.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// The dispatch table written out independently: the variant name each
// combination selects, or "" when the combination is refused.
std::string ExpectedVariant(int precision, int rounding, int fpu) {
    const std::string family = rounding == 0 ? "Default" : "Safe";
    if (precision == 1) {
        return fpu == 1 ? "Extended" + family + "X87" : "";
    }
    const std::string element = precision == 2 ? "Single" : "Double";
    switch (fpu) {
        case 0: return element + family + "Default";
        case 1: return element + family + "X87";
        case 2: return element + family + "SSE";
        case 3: return element == "Double" ? element + family + "AVX512" : "";
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
    for (int precision = 0; precision < 256; ++precision) {
        for (int rounding = 0; rounding < 256; ++rounding) {
            for (int fpu = 0; fpu < 256; ++fpu) {
                const std::string expected = ExpectedVariant(precision, rounding, fpu);
                const auto found = drivers.find(expected);
                const ii::DriverFunction want = found == drivers.end() ? nullptr : found->second;
                const ii::DriverFunction got = ii::SelectDriver(
                    static_cast<uint8_t>(precision), static_cast<uint8_t>(rounding),
                    static_cast<uint8_t>(fpu));
                if (got != want && ++mismatches <= 10) {
                    ADD_FAILURE() << "precision " << precision << " rounding " << rounding
                                  << " fpu " << fpu << ": expected "
                                  << (expected.empty() ? "refusal" : expected);
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
