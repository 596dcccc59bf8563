// Exact reading of probabilities and exact sums.
#include "model/ExactValue.hpp"

#include <gtest/gtest.h>
#include <gmpxx.h>

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
    // Denominators 2^a 5^b, as a decimal's, are reduced without a gcd.
    ExpectFraction("10/50", 1, 5);
    ExpectFraction("4/250", 2, 125);
    ExpectFraction("250/1000000000000000000", 1, 4000000000000000);
    ExpectFraction("3/15", 1, 5);
    ExpectStored("25/100", 0.25);
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
             "1e-999999999999",           // far below everything
             "3/18446744073709551617",    // denominator beyond int64, not a power of 2
             "0.10000000000000000555111512312578270211815834045410156251"}) {
        EXPECT_EQ(ErrorOf(text), ValueError::NotRepresentable) << text;
    }
}

// The decimal with the most significant digits that any binary64 value
// needs is read exactly; one more digit is refused at once, whatever
// follows. Zeros that are not significant cost nothing.
TEST(ExactValue, DecimalsLongerThanAnyValueNeedsAreRefused) {
    // The largest subnormal (2^52 - 1) * 2^-1074 = (2^52 - 1) * 5^1074 / 10^1074.
    mpz_class digits = (mpz_class(1) << 52) - 1;
    mpz_class power;
    mpz_ui_pow_ui(power.get_mpz_t(), 5, 1074);
    digits *= power;
    std::string decimal = digits.get_str();
    ASSERT_EQ(decimal.size(), 1074u - 307u);
    ASSERT_EQ(decimal.size(), kMaxSignificantDigits);
    decimal = "0." + std::string(1074 - decimal.size(), '0') + decimal;
    ExpectStored(decimal, std::ldexp(static_cast<double>((uint64_t{1} << 52) - 1), -1074));
    const std::size_t last = decimal.size() - 1;
    EXPECT_EQ(ErrorOf(decimal.substr(0, last) + "1" + decimal.substr(last)), ValueError::TooManyDigits);
    EXPECT_EQ(ErrorOf("0." + std::string(100000, '3') + "x"), ValueError::TooManyDigits);
    EXPECT_EQ(ErrorOf("0." + std::string(kMaxSignificantDigits, '3')), ValueError::NotRepresentable);
    ExpectStored("0.5" + std::string(100000, '0'), 0.5);
    ExpectStored(std::string(100000, '0') + ".25", 0.25);
    EXPECT_EQ(ErrorOf("0." + std::string(100000, '0') + "1"), ValueError::NotRepresentable);
}

// A decimal that is neither a binary64 value nor a fraction of 64-bit
// integers, but what printing a binary64 value gives (its shortest digits,
// or 17 significant ones), is that binary64 value; a decimal that can be read
// exactly still is, and one that is none of these is refused.
TEST(ExactValue, PrintedBinary64ValuesAreReadAsTheValuesPrinted) {
    const struct {
        const char* Text;
        double Printed;  // 0: not read as a printed binary64 value
    } cases[] = {
        {"2.3283064365386963E-10", 0x1p-32},  // shortest
        {"2.32830643653869630e-10", 0x1p-32},
        {"1e-30", 1e-30},
        {"6.687816136617e-28", 6.687816136617e-28},     // shortest
        {"6.6878161366169998e-28", 6.687816136617e-28},  // 17 digits of the same value
        {"6.68781613661699980e-28", 6.687816136617e-28},
        {"0.1", 0},                                      // exactly 1/10
        {"0.30000000000000004", 0},                      // exactly 7500000000000001/25000000000000000
        {"2.3283064365386962890625E-10", 0},             // exactly 2^-32
    };
    for (const auto& test : cases) {
        TransitionValue value{};
        bool printed = true;
        EXPECT_EQ(ParseProbability(test.Text, test.Text + std::strlen(test.Text), value, printed),
                  ValueError::None) << test.Text;
        EXPECT_EQ(printed, test.Printed != 0) << test.Text;
        if (test.Printed != 0) {
            EXPECT_EQ(value.Denominator, 0) << test.Text;
            EXPECT_EQ(value.Value, test.Printed) << test.Text;
        }
    }
    EXPECT_EQ(Parse("0.1").Denominator, 10);
    // Near misses: 17 digits that are neither image of the value nearest
    // them, more digits than either image has, an underflow to 0.
    for (const char* text : {"2.3283064365386964E-10", "6.6878161366169999e-28", "2.328306436538696301E-10", "1e-400"}) {
        EXPECT_EQ(ErrorOf(text), ValueError::NotRepresentable) << text;
    }
}

SumComparison Sum(const std::vector<std::string>& texts, double tolerance = 0) {
    std::vector<TransitionValue> values;
    for (const std::string& text : texts) values.push_back(Parse(text));
    return CompareSumWithOne(values.data(), values.size(), tolerance);
}

TEST(ExactValue, SumsAreExactRationals) {
    for (const std::vector<std::string>& one :
         {std::vector<std::string>{"1/3", "2/3"}, {"0.1", "0.2", "0.7"},  // not so in binary64
          {"0.5", "1/2"}, {"1/6", "1/3", "0.5"}, {"0.3282070209973753", "0.6717929790026247"},
          {"0.005126312335958005", "0.994873687664041995"}, {"0.125", "0.5", "1/4", "0.0625", "1/16"},
          {"0.5", "0.25", "0.25"}, {"1"}}) {
        EXPECT_TRUE(Sum(one).Exact) << one[0];
    }
    const SumComparison third = Sum({"1/3", "1/3", "0.3333333333333333"}, 1e-16);
    EXPECT_FALSE(third.Exact);
    EXPECT_TRUE(third.WithinTolerance);
    EXPECT_NEAR(third.Deviation, -1.0 / 3e16, 1e-30);
    // The comparison with the tolerance is exact too: 1e-18 as written is
    // below the binary64 value nearest to it.
    EXPECT_FALSE(Sum({"0.5", "0.5", "1e-18"}, 1e-19).WithinTolerance);
    EXPECT_TRUE(Sum({"0.5", "0.5", "1e-18"}, 1e-18).WithinTolerance);
    EXPECT_NEAR(Sum({"0.5", "0.5", "1e-18"}).Deviation, 1e-18, 1e-33);
    EXPECT_FALSE(Sum({}, 0.5).WithinTolerance);

    // Binary64 values: compared with the tolerance exactly at its boundary,
    // and summed exactly when one is too small for the fixed point.
    const auto stored = [](double value) { return TransitionValue{.Value = value, .Denominator = 0}; };
    const TransitionValue over[] = {stored(0.5), stored(0.25), stored(0.25 + 0x1p-54)};
    EXPECT_TRUE(CompareSumWithOne(over, 3, 0x1p-54).WithinTolerance);
    EXPECT_FALSE(CompareSumWithOne(over, 3, std::nextafter(0x1p-54, 0.0)).WithinTolerance);
    EXPECT_EQ(CompareSumWithOne(over, 3, 0).Deviation, 0x1p-54);
    const TransitionValue tiny[] = {stored(0.5), stored(0.5 - 0x1p-53), stored(0x1p-53)};
    EXPECT_TRUE(CompareSumWithOne(tiny, 3, 0).Exact);
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
    EXPECT_TRUE(CompareSumWithOne(values.data(), values.size(), 0).Exact);
    const SumComparison missing = CompareSumWithOne(values.data() + 1, values.size() - 1, 1e-39);
    EXPECT_FALSE(missing.Exact);
    EXPECT_TRUE(missing.WithinTolerance);  // 2^-130 < 1e-39
    EXPECT_FALSE(CompareSumWithOne(values.data() + 1, values.size() - 1, 1e-40).WithinTolerance);
    values.pop_back();
    EXPECT_NEAR(CompareSumWithOne(values.data(), values.size(), 0).Deviation, -0.5, 1e-12);

    // Pairwise coprime denominators near 2^62: their product overflows.
    const SumComparison thirds =
        Sum({"1/4611686018427387903", "1/4611686018427387905", "1/4611686018427387907"}, 0.5);
    EXPECT_FALSE(thirds.WithinTolerance);
    EXPECT_NEAR(thirds.Deviation, -1.0, 1e-12);
}

// The reader that remembers the values it read gives for every text what
// ParseProbability gives, whatever was read before: texts that differ only
// past the 8th, 16th or 24th byte, or in their length, and texts too long
// for it, read in turns, twice over.
TEST(ExactValue, ARememberingReaderGivesWhatParsingGives) {
    const std::vector<std::string> texts = {
        "1", "0", "0.5", "0.50", "0.5000000", "0.50000001", "0.500000010", "1/3", "1/30", "2/3",
        "0.1234567", "0.12345678", "0.123456789", "0.1234567890123456", "0.12345678901234567",
        "0.30000000000000004", "0.300000000000000044", "0.1000000000000000055511151231257827",
        "2.3283064365386963E-10", "2.3283064365386964E-10", "7/25", "7/250", "abc", "1.5", "-0.5", "1/0",
        "0.0", "0.000", "0.1000000000000000000", "0.9999999999999999999", "0.0000000000000000001", "0.1x2", "0.",
    };
    ProbabilityReader reader;
    for (int round = 0; round < 2; ++round) {
        for (const std::string& text : texts) {
            std::string padded = text + std::string(32, '7');  // what follows a value in a line
            TransitionValue expected{};
            TransitionValue got{};
            bool expectedPrinted = false;
            bool gotPrinted = false;
            const char* begin = padded.data();
            const char* end = begin + text.size();
            EXPECT_EQ(reader.Parse(begin, end, got, gotPrinted), ParseProbability(begin, end, expected, expectedPrinted))
                << text;
            EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << text;
            EXPECT_EQ(gotPrinted, expectedPrinted) << text;
        }
    }
}

}  // namespace
}  // namespace iicheck
