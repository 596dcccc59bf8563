// Exact probabilities as written in explicit model files, and their exact
// sums.
//
// A probability is read as the rational number it denotes: "0.1" is 1/10,
// "2.5E-4" is 1/4000, "1/3" is one third. It is handed to the library as a
// stored binary64 value when that rational is exactly a binary64 number
// (0.5, 0.25, 1), and otherwise as a reduced fraction of two signed 64-bit
// integers. A decimal that is neither, but is what printing a binary64 value
// gives (the shortest digits that read back as that value, or its 17
// significant digits: "2.3283064365386963E-10" is 2^-32 so printed), is that
// binary64 value, as the exporter that printed it computed with it. Any
// other value is refused, never rounded.
//
// Reading takes time linear in the text: a decimal is refused as soon as it
// has more significant digits than any such value needs, and a fraction's
// integers are read in 128 bits. Sums are exact (GMP beyond 128 bits) and
// take time near-linear in the number of terms.
#pragma once

#include "IntervalIteration.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include <gmpxx.h>

namespace iicheck {

enum class ValueError {
    None,
    NotANumber,       // not a decimal or a fraction
    Negative,         // a leading minus sign
    GreaterThanOne,   // the rational is above 1
    ZeroDenominator,  // "a/0"
    TooLarge,         // an integer of a fraction beyond 128 bits
    NotRepresentable,  // neither binary64 nor a fraction of int64 integers,
                       // nor a printed binary64 value
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

// The same; printedBinary64 tells whether the value was read as a printed
// binary64 value (above), which readers count in a note.
ValueError ParseProbability(const char* begin, const char* end, TransitionValue& value,
                            bool& printedBinary64);

// Nonzero in the bytes of chunk (8 bytes of text, the first in the lowest
// byte) that are not decimal digits. A byte of 0xFA or more carries into the
// byte after it, which does not matter: only the first such byte counts.
inline uint64_t NonDigits(uint64_t chunk) {
    constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0;
    constexpr uint64_t kZeros = 0x3030303030303030;
    return ((chunk & kHigh) ^ kZeros) | (((chunk + 0x0606060606060606) & kHigh) ^ kZeros);
}

// Eight decimal digits, the first in the lowest byte, as a number: three
// multiplications instead of eight.
inline uint64_t EightDigits(uint64_t chunk) {
    chunk -= 0x3030303030303030;
    chunk = chunk * 10 + (chunk >> 8);  // pairs
    return (((chunk & 0x000000FF000000FF) * (100 + (uint64_t{1000000} << 32))) +
            (((chunk >> 16) & 0x000000FF000000FF) * (1 + (uint64_t{10000} << 32)))) >> 32;
}

// The number of 1 to 7 digits in the low bytes of chunk, the rest ignored.
inline uint64_t FewDigits(uint64_t chunk, unsigned digits) {
    const unsigned shift = 8 * (8 - digits);  // '0's before the digits
    return EightDigits((chunk << shift) | (0x3030303030303030 >> (8 * digits)));
}

// The masks that keep the first n bytes (n <= 24) of three words.
struct PrefixMasks {
    uint64_t Words[25][3];
    constexpr PrefixMasks() : Words() {
        for (std::size_t n = 0; n <= 24; ++n) {
            for (std::size_t w = 0; w < 3; ++w) {
                const std::size_t bytes = n > 8 * w ? (n - 8 * w < 8 ? n - 8 * w : 8) : 0;
                Words[n][w] = bytes == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1;
            }
        }
    }
};
inline constexpr PrefixMasks kPrefixMasks{};

// ParseProbability at the speed of reading the text, for the many values of
// a model file: exports write the same few values (1, 0.5, 1/3) over and
// over, and a cache of the last values read by their text reads each of them
// once. A value's text decides it alone, so what comes from the cache is
// what ParseProbability gives.
class ProbabilityReader {
public:
    ProbabilityReader();
    // As ParseProbability; the 32 bytes from begin must be readable, though
    // the value may be shorter (a reader's buffer has that padding).
    ValueError Parse(const char* begin, const char* end, TransitionValue& value, bool& printedBinary64) {
        const std::size_t length = static_cast<std::size_t>(end - begin);
        if (length > kKeyBytes) return ParseProbability(begin, end, value, printedBinary64);
        // The value's own bytes, and zeros after them.
        uint64_t key[3];
        std::memcpy(key, begin, sizeof key);
        for (std::size_t w = 0; w < 3; ++w) key[w] &= kPrefixMasks.Words[length][w];
        Entry& entry = entries_[Slot(key, length)];
        if (entry.Length == length && ((entry.Key[0] ^ key[0]) | (entry.Key[1] ^ key[1]) | (entry.Key[2] ^ key[2])) == 0) {
            value = entry.Value;
            printedBinary64 = entry.Printed;
            return ValueError::None;
        }
        return Miss(begin, end, key, entry, value, printedBinary64);
    }

private:
    static constexpr std::size_t kKeyBytes = 24;
    static constexpr unsigned kSlotBits = 11;
    struct Entry {
        uint64_t Key[3];
        uint32_t Length;  // 0: free
        bool Printed;
        TransitionValue Value;
    };
    ValueError Miss(const char* begin, const char* end, const uint64_t* key, Entry& entry, TransitionValue& value,
                    bool& printedBinary64);
    static std::size_t Slot(const uint64_t* key, std::size_t length) {
        const uint64_t mixed = (key[0] * 0x9E3779B97F4A7C15u) ^ (key[1] * 0xC2B2AE3D27D4EB4Fu) ^
                               (key[2] * 0x165667B19E3779F9u) ^ length;
        return static_cast<std::size_t>((mixed * 0xD6E8FEB86659FD93u) >> (64 - kSlotBits));
    }
    std::unique_ptr<Entry[]> entries_;
};

// The probability numerator/denominator: reduced, stored as a binary64
// value when it is exactly one, else as a fraction of signed 64-bit
// integers; NotRepresentable when it is neither.
ValueError FractionProbability(unsigned __int128 numerator, unsigned __int128 denominator,
                               TransitionValue& value);

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
inline bool IsProbability(const TransitionValue& value) {
    if (value.Denominator == 0) return value.Value >= 0.0 && value.Value <= 1.0;  // false for NaN
    return value.Denominator > 0 && value.Numerator >= 0 && value.Numerator <= value.Denominator;
}

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

// Binary64 values are summed in fixed point with kFixedBits fraction bits,
// which holds every value of at least 2^(52 - kFixedBits) exactly, and the
// sum of 2^26 values of at most 1: what exporters that compute in binary64
// write, summed with shifts alone.
constexpr unsigned kFixedBits = 100;
constexpr double kFixedUnit = 1.0 / static_cast<double>(static_cast<unsigned __int128>(1) << kFixedBits);

// A value's term of a sum of binary64 values in fixed point: the value
// shifted, with no branch. Zero, and outside nonzero, when the value is not
// a binary64 probability of at least 2^(52 - kFixedBits).
inline unsigned __int128 FixedTerm(const TransitionValue& value, uint64_t& outside) {
    constexpr uint64_t kOne = 0x3FF0000000000000;  // 1.0
    constexpr uint64_t kLowestExponent = 1075 - kFixedBits;
    constexpr uint64_t kSmallest = kLowestExponent << 52;  // 2^(52 - kFixedBits)
    uint64_t bits;
    std::memcpy(&bits, &value.Value, sizeof bits);
    // Negative values and NaNs have bits above those of 1.
    outside = static_cast<uint64_t>(value.Denominator) | (bits > kOne) | (bits < kSmallest);
    const uint64_t keep = (outside != 0) - uint64_t{1};  // all ones for a value inside
    // The value is mantissa * 2^(exponent - 1075): the mantissa shifted by
    // exponent - kLowestExponent, below 64, gives at most 2^kFixedBits.
    const uint64_t shift = ((bits >> 52) - kLowestExponent) & 63;
    const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const uint64_t low = mantissa << shift;
    const uint64_t high = (mantissa >> 1) >> (63 - shift);
    return (static_cast<unsigned __int128>(high & keep) << 64) | (low & keep);
}

// Fills result from |sum - 1| (approximate: within a few units in the last
// place, 0 exactly when the sum is 1) and its sign; false when it lies too
// near the tolerance to tell. Bitwise operators, not && and ||, which would
// branch: whether a sum is exact, or above 1, varies from choice to choice.
inline bool DecideDeviation(double approximate, bool above, bool exact, double tolerance,
                            SumComparison& result) {
    result.Exact = exact;
    result.Deviation = above ? approximate : -approximate;
    result.WithinTolerance = exact | std::isinf(tolerance) | (approximate <= tolerance * (1 - 1e-12));
    return result.WithinTolerance | (approximate >= tolerance * (1 + 1e-12));
}

// CompareSumWithOne for many short choices of binary64 probabilities (what
// exporters that compute in binary64 write) at the speed of reading them:
// FillWindow sums the values of a window once, into running sums in fixed
// point, and then each choice inside the window costs a subtraction in
// CompareInWindow, which branches on no value.
struct Binary64Window {
    static constexpr std::size_t kSize = 2048;  // values
    // Each value that is not a binary64 probability of at least
    // 2^(52 - kFixedBits) adds this bit instead: kSize values of at most 1
    // stay below it, and kSize such bits below 2^128.
    static constexpr unsigned kOutsideBit = 112;
    unsigned __int128 Sums[kSize + 1];  // of the first i values
};

// Sums values[0, count), count <= Binary64Window::kSize.
void FillWindow(Binary64Window& window, const TransitionValue* values, std::size_t count);

// CompareSumWithOne of the window's values [begin, end); false when the
// window cannot tell (no value, a value that is not such a probability, a
// sum too near the tolerance).
inline bool CompareInWindow(const Binary64Window& window, std::size_t begin, std::size_t end,
                            double tolerance, SumComparison& result) {
    using u128 = unsigned __int128;
    // sum - 1 and its magnitude, without a branch.
    const u128 below = window.Sums[end] - window.Sums[begin] - (u128{1} << kFixedBits);
    const u128 negative = -(below >> 127);
    const u128 difference = (below ^ negative) - negative;
    // A value outside makes the sum at least 2^kOutsideBit, the difference
    // far beyond 63 bits.
    const bool usual = (end > begin) & ((difference >> 63) == 0);
    const double approximate = static_cast<double>(static_cast<int64_t>(difference)) * kFixedUnit;
    return usual & DecideDeviation(approximate, negative == 0, difference == 0, tolerance, result);
}

// A probability as Numerator / (OddDenominator * 2^Shift), taken apart
// exactly; a binary64 value has an odd numerator and OddDenominator 1, a
// fraction keeps its numerator.
struct ExactTerm {
    uint64_t Numerator;
    uint64_t OddDenominator;
    uint64_t Shift;
};
ExactTerm TermOf(const TransitionValue& value);

// An exact rational in lowest terms, both integers below 2^128.
struct Fraction128 {
    unsigned __int128 Numerator = 0;
    unsigned __int128 Denominator = 1;
};

// The exact sum of probabilities (every value must satisfy IsProbability) in
// lowest terms; false when a term or the sum needs more than 128 bits.
bool SumExactly(const TransitionValue* values, std::size_t count, Fraction128& sum);

// The exact sum whatever its size, as a canonical GMP rational.
mpq_class SumExactlyBig(const TransitionValue* values, std::size_t count);

// The value the library reads as exactly this rational in [0, 1]: a stored
// binary64 value when it is one, else a fraction of two signed 64-bit
// integers; false when it is neither (it is never rounded).
bool ExactTransitionValue(const Fraction128& value, TransitionValue& exact);
bool ExactTransitionValue(const mpq_class& value, TransitionValue& exact);

}  // namespace iicheck
