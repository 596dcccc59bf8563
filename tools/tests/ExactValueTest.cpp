// Exact reading of probabilities and exact sums.
#include "ExactValue.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace iicheck {
namespace {

TransitionValue Parse(const std::string& text) {
    TransitionValue value{};
    const ValueError error = ParseProbability(text.data(), text.data() + text.size(), value);
    EXPECT_EQ(error, ValueError::None) << text << " " << Describe(error);
    return value;
}

ValueError ErrorOf(const std::string& text) {
    TransitionValue value{};
    return ParseProbability(text.data(), text.data() + text.size(), value);
}

void ExpectFraction(const std::string& text, int64_t numerator, int64_t denominator) {
    const TransitionValue value = Parse(text);
    EXPECT_EQ(value.Numerator, numerator) << text;
    EXPECT_EQ(value.Denominator, denominator) << text;
}

void ExpectStored(const std::string& text, double expected) {
    const TransitionValue value = Parse(text);
    EXPECT_EQ(value.Denominator, 0) << text;
    EXPECT_EQ(std::memcmp(&value.Value, &expected, sizeof expected), 0)
        << text << " gave " << value.Value;
}

TEST(ExactValue, DecimalsThatAreNotBinary64BecomeReducedFractions) {
    ExpectFraction("0.1", 1, 10);
    ExpectFraction("0.9", 9, 10);
    ExpectFraction("1e-3", 1, 1000);
    ExpectFraction("2.5E-4", 1, 4000);
    ExpectFraction("0.2", 1, 5);
    ExpectFraction("0.35", 7, 20);
    ExpectFraction("3.5e-1", 7, 20);
    ExpectFraction("0.0350e+1", 7, 20);
    // Printed binary64 numbers of real exports: denominators 10^16 to 10^18.
    ExpectFraction("0.3282070209973753", 3282070209973753, 10000000000000000);
    ExpectFraction("0.005126312335958005", 1025262467191601, 200000000000000000);
    ExpectFraction("0.32820702099737530", 3282070209973753, 10000000000000000);
}

TEST(ExactValue, ExactBinary64ValuesAreStored) {
    ExpectStored("0.5", 0.5);
    ExpectStored(".5", 0.5);
    ExpectStored("5.e-1", 0.5);
    ExpectStored("+0.25", 0.25);
    ExpectStored("0.75", 0.75);
    ExpectStored("1", 1.0);
    ExpectStored("1.000", 1.0);
    ExpectStored("10e-1", 1.0);
    ExpectStored("0", 0.0);
    ExpectStored("0.000e7", 0.0);
    ExpectStored("1/2", 0.5);
    ExpectStored("6/8", 0.75);
    ExpectStored("1/18446744073709551616", std::ldexp(1.0, -64));
    // The exact decimal expansions of binary64 numbers, longer than 19 digits.
    ExpectStored("0.1000000000000000055511151231257827021181583404541015625", 0.1);
    ExpectStored("0.000000000000000000867361737988403547205962240695953369140625",
                 std::ldexp(1.0, -60));
    // 2^-70 = 8.470329472543003e-22 written with its exponent
    ExpectStored("8.47032947254300339068322500679641962051391601562500e-22", std::ldexp(1.0, -70));
}

TEST(ExactValue, FractionsAreReduced) {
    ExpectFraction("1/3", 1, 3);
    ExpectFraction("2/6", 1, 3);
    ExpectFraction("10/30", 1, 3);
    ExpectFraction("5/12", 5, 12);
    ExpectFraction("0/7", 0, 0);  // zero: stored binary64 0, whose bits are 0
    ExpectFraction("9223372036854775806/9223372036854775807", 9223372036854775806,
                   9223372036854775807);
}

TEST(ExactValue, MalformedOrUnrepresentableValuesAreRefusedNeverRounded) {
    for (const char* text : {"", "abc", "0x1p-3", "1e", ".", "1.2.3", "e5", "nan", "inf", "1/",
                             "/3", "1/3/4", "1 ", "0.5%", "1,5"}) {
        EXPECT_EQ(ErrorOf(text), ValueError::NotANumber) << text;
    }
    for (const char* text : {"-0.1", "-1/3", "-0"}) EXPECT_EQ(ErrorOf(text), ValueError::Negative) << text;
    for (const char* text : {"1.5", "2/1", "4/3", "1.0000000000000000001", "1e1", "2", "1e999999999999"}) {
        EXPECT_EQ(ErrorOf(text), ValueError::GreaterThanOne) << text;
    }
    EXPECT_EQ(ErrorOf("1/0"), ValueError::ZeroDenominator);
    EXPECT_EQ(ErrorOf("1/1234567890123456789012345678901234567890"), ValueError::TooLarge);
    for (const char* text : {
             "0.1234567890123456789012",  // needs 10^22
             "1e-30",                     // needs 5^30
             "1e-999999999999",           // far below everything
             "3/18446744073709551617",    // denominator beyond int64, not a power of 2
             "0.10000000000000000555111512312578270211815834045410156251"}) {
        EXPECT_EQ(ErrorOf(text), ValueError::NotRepresentable) << text;
    }
}

TEST(ExactValue, SumsAreExactRationals) {
    auto sums = [](const std::vector<std::string>& texts, double* deviation = nullptr) {
        std::vector<TransitionValue> values;
        for (const std::string& text : texts) values.push_back(Parse(text));
        double ignored = 0;
        return SumsToOne(values.data(), values.size(), deviation ? *deviation : ignored);
    };
    EXPECT_TRUE(sums({"1/3", "2/3"}));
    EXPECT_TRUE(sums({"0.1", "0.2", "0.7"}));  // not so in binary64 arithmetic
    EXPECT_TRUE(sums({"0.5", "1/2"}));
    EXPECT_TRUE(sums({"1/6", "1/3", "0.5"}));
    EXPECT_TRUE(sums({"0.3282070209973753", "0.6717929790026247"}));
    EXPECT_TRUE(sums({"0.005126312335958005", "0.994873687664041995"}));
    EXPECT_TRUE(sums({"1"}));
    double deviation = 0;
    EXPECT_FALSE(sums({"1/3", "1/3", "0.3333333333333333"}, &deviation));
    EXPECT_NEAR(deviation, -1.0 / 3e16, 1e-30);
    EXPECT_FALSE(sums({"0.5", "0.5", "1e-18"}, &deviation));
    EXPECT_NEAR(deviation, 1e-18, 1e-33);
    EXPECT_FALSE(sums({}, &deviation));
}

TEST(ExactValue, SumsBeyond128BitsAreStillExact) {
    // 2^-130 + 2^-130 + 2^-129 + ... + 2^-1 = 1: denominators beyond 128 bits.
    std::vector<TransitionValue> values(2);
    values[0].Value = values[1].Value = std::ldexp(1.0, -130);
    values[0].Denominator = values[1].Denominator = 0;
    for (int k = 129; k >= 1; --k) {
        TransitionValue value;
        value.Value = std::ldexp(1.0, -k);
        value.Denominator = 0;
        values.push_back(value);
    }
    double deviation = 0;
    EXPECT_TRUE(SumsToOne(values.data(), values.size(), deviation));
    values.pop_back();
    EXPECT_FALSE(SumsToOne(values.data(), values.size(), deviation));
    EXPECT_NEAR(deviation, -0.5, 1e-12);

    // Pairwise coprime denominators near 2^62: their product overflows.
    const std::vector<std::string> coprime = {"1/4611686018427387903", "1/4611686018427387905",
                                              "1/4611686018427387907"};
    std::vector<TransitionValue> thirds;
    for (const std::string& text : coprime) thirds.push_back(Parse(text));
    EXPECT_FALSE(SumsToOne(thirds.data(), thirds.size(), deviation));
    EXPECT_NEAR(deviation, -1.0, 1e-12);
}

}  // namespace
}  // namespace iicheck
