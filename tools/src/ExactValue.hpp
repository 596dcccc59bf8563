// Exact probabilities as written in explicit model files, and their exact
// sums.
//
// A probability is read as the rational number it denotes: "0.1" is 1/10,
// "2.5E-4" is 1/4000, "1/3" is one third. It is handed to the library as a
// stored binary64 value when that rational is exactly a binary64 number
// (0.5, 0.25, 1), and otherwise as a reduced fraction of two signed 64-bit
// integers. A value that is neither is refused, never rounded.
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
    NotRepresentable  // neither binary64 nor a fraction of int64 integers
};

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

// Whether the probabilities sum to exactly 1 as rationals. When they do not,
// deviation receives an approximation of (sum - 1).
bool SumsToOne(const TransitionValue* values, std::size_t count, double& deviation);

}  // namespace iicheck
