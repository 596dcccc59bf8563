// Exact probabilities as written in explicit model files, and their exact
// sums.
//
// A probability is read as the rational number it denotes: "0.1" is 1/10,
// "2.5E-4" is 1/4000, "1/3" is one third. It is handed to the library as a
// stored binary64 value when that rational is exactly a binary64 number
// (0.5, 0.25, 1), and otherwise as a reduced fraction of two signed 64-bit
// integers. A value that is neither is refused, never rounded.
//
// Reading takes time linear in the text: a decimal is refused as soon as it
// has more significant digits than any such value needs, and a fraction's
// integers are read in 128 bits. Sums are exact (GMP beyond 128 bits) and
// take time near-linear in the number of terms.
#pragma once

#include "IntervalIteration.h"

#include <cstddef>

namespace iicheck {

enum class ValueError {
    None,
    NotANumber,       // not a decimal or a fraction
    Negative,         // a leading minus sign
    GreaterThanOne,   // the rational is above 1
    ZeroDenominator,  // "a/0"
    TooLarge,         // an integer of a fraction beyond 128 bits
    NotRepresentable,  // neither binary64 nor a fraction of int64 integers
    TooManyDigits      // more significant digits than kMaxSignificantDigits
};

// The most significant digits of a binary64 value's exact decimal (767, of
// the largest subnormal 2^-1022 - 2^-1074); a fraction of 64-bit integers with a
// terminating decimal needs at most 63. A decimal with more is refused
// without reading it further.
constexpr std::size_t kMaxSignificantDigits = 767;

// Reads the probability in [begin, end) into value. Accepted: an unsigned
// decimal with optional '+', fraction part and exponent ("1", "0.5", ".5",
// "1e-3", "2.5E-4"), or two unsigned integers "a/b".
ValueError ParseProbability(const char* begin, const char* end, TransitionValue& value);

// The words of an error for a message, e.g. "is greater than 1".
const char* Describe(ValueError error);

// The probability as a double, rounded to nearest; for display only.
double ApproximateValue(const TransitionValue& value);

// True when the probability is exactly 0.
inline bool IsZero(const TransitionValue& value) {
    return value.Denominator == 0 ? value.Value == 0.0 : value.Numerator == 0;
}

// Whether value is a probability: a finite binary64 value in [0, 1], or a
// fraction with a non-negative numerator not above its positive denominator.
bool IsProbability(const TransitionValue& value);

// How the exact sum of some probabilities compares with 1.
struct SumComparison {
    bool Exact = false;            // the sum is exactly 1
    bool WithinTolerance = false;  // |sum - 1| <= tolerance, compared exactly
    double Deviation = 0;          // sum - 1, approximately; 0 when exact
};

// Sums the probabilities exactly as rationals (every value must satisfy
// IsProbability) and compares the sum with 1.
SumComparison CompareSumWithOne(const TransitionValue* values, std::size_t count,
                                double tolerance);

}  // namespace iicheck
