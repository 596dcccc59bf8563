#include "ExactValue.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gmpxx.h>

namespace iicheck {
namespace {

using u128 = unsigned __int128;

constexpr uint64_t kInt64Max = static_cast<uint64_t>(INT64_MAX);

unsigned TrailingZeros128(u128 x) {
    const uint64_t low = static_cast<uint64_t>(x);
    return low != 0 ? static_cast<unsigned>(__builtin_ctzll(low))
                    : 64 + static_cast<unsigned>(__builtin_ctzll(static_cast<uint64_t>(x >> 64)));
}

unsigned BitLength64(uint64_t x) { return x == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(x)); }

u128 Gcd128(u128 a, u128 b) {
    if (a == 0) return b;
    if (b == 0) return a;
    const unsigned shift = TrailingZeros128(a | b);
    a >>= TrailingZeros128(a);
    while (b != 0) {
        b >>= TrailingZeros128(b);
        if (a > b) {
            const u128 t = a;
            a = b;
            b = t;
        }
        b -= a;
    }
    return a << shift;
}

bool IsPowerOfTwo(u128 x) { return x != 0 && (x & (x - 1)) == 0; }

TransitionValue StoredValue(double value) {
    TransitionValue result;
    result.Value = value;
    result.Denominator = 0;
    return result;
}

TransitionValue FractionValue(uint64_t numerator, uint64_t denominator) {
    TransitionValue result;
    result.Numerator = static_cast<int64_t>(numerator);
    result.Denominator = static_cast<int64_t>(denominator);
    return result;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The significant digits of a decimal, without leading and trailing zeros:
// all of them as text (at most kMaxSignificantDigits), the first 19 also in
// 64 bits.
struct Significand {
    char Text[kMaxSignificantDigits + 1];
    uint64_t Small = 0;
    std::size_t Digits = 0;

    void Append(unsigned digit) {
        if (Digits < 19) Small = Small * 10 + digit;
        Text[Digits++] = static_cast<char>('0' + digit);
    }
    bool IsBig() const { return Digits > 19; }
};

// value = significand / 10^k with k >= number of digits >= 1 (so value < 1)
// and a significand not divisible by 10.
ValueError ReduceDecimal(Significand& m, uint64_t k, TransitionValue& value) {
    uint64_t twos = 0;
    uint64_t fives = 0;
    uint64_t bits;
    uint64_t reduced = 0;  // valid when bits <= 64
    if (!m.IsBig()) {
        twos = std::min<uint64_t>(static_cast<uint64_t>(__builtin_ctzll(m.Small)), k);
        reduced = m.Small >> twos;
        while (fives < k && reduced % 5 == 0) {
            reduced /= 5;
            ++fives;
        }
        bits = BitLength64(reduced);
    } else {
        m.Text[m.Digits] = '\0';
        mpz_class big(m.Text, 10);
        twos = std::min<uint64_t>(mpz_scan1(big.get_mpz_t(), 0), k);
        mpz_fdiv_q_2exp(big.get_mpz_t(), big.get_mpz_t(), twos);
        fives = mpz_remove(big.get_mpz_t(), big.get_mpz_t(), mpz_class(5).get_mpz_t());
        if (fives > k) {
            mpz_class power;
            mpz_ui_pow_ui(power.get_mpz_t(), 5, fives - k);
            big *= power;
            fives = k;
        }
        bits = mpz_sizeinbase(big.get_mpz_t(), 2);
        if (bits <= 64) reduced = mpz_get_ui(big.get_mpz_t());
    }
    // value = reduced / (2^(k - twos) * 5^(k - fives))
    if (fives == k) {
        // A dyadic rational reduced / 2^k with an odd numerator: binary64
        // holds it when the numerator has at most 53 bits and 2^-k is not
        // below the smallest subnormal 2^-1074.
        if (bits <= 53 && k <= 1074) {
            value = StoredValue(std::ldexp(static_cast<double>(reduced), -static_cast<int>(k)));
            return ValueError::None;
        }
        if (bits <= 63 && k <= 62) {
            value = FractionValue(reduced, uint64_t{1} << k);
            return ValueError::None;
        }
        return ValueError::NotRepresentable;
    }
    const uint64_t denominatorTwos = k - twos;
    const uint64_t denominatorFives = k - fives;
    if (bits > 63 || denominatorTwos > 62 || denominatorFives > 27) {
        return ValueError::NotRepresentable;
    }
    u128 denominator = u128{1} << denominatorTwos;
    for (uint64_t i = 0; i < denominatorFives; ++i) denominator *= 5;
    if (denominator > kInt64Max) return ValueError::NotRepresentable;
    value = FractionValue(reduced, static_cast<uint64_t>(denominator));
    return ValueError::None;
}

ValueError ParseDecimal(const char* p, const char* end, TransitionValue& value) {
    Significand m;
    uint64_t pendingZeros = 0;  // zeros after the last nonzero digit
    int64_t fractionDigits = 0;
    bool anyDigit = false;
    bool inFraction = false;
    for (; p != end; ++p) {
        if (IsDigit(*p)) {
            anyDigit = true;
            if (inFraction) ++fractionDigits;
            const unsigned digit = static_cast<unsigned>(*p - '0');
            if (digit == 0) {
                if (m.Digits != 0) ++pendingZeros;
            } else {
                if (m.Digits + pendingZeros >= kMaxSignificantDigits) return ValueError::TooManyDigits;
                for (; pendingZeros != 0; --pendingZeros) m.Append(0);
                m.Append(digit);
            }
        } else if (*p == '.' && !inFraction) {
            inFraction = true;
        } else {
            break;
        }
    }
    if (!anyDigit) return ValueError::NotANumber;
    int64_t exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p != end && (*p == '+' || *p == '-')) {
            negative = *p == '-';
            ++p;
        }
        if (p == end || !IsDigit(*p)) return ValueError::NotANumber;
        for (; p != end && IsDigit(*p); ++p) {
            // Saturates far beyond any exponent that can be represented.
            if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
        }
        if (negative) exponent = -exponent;
    }
    if (p != end) return ValueError::NotANumber;
    if (m.Digits == 0) {
        value = StoredValue(0.0);
        return ValueError::None;
    }
    // value = significand * 10^decimalExponent
    const int64_t decimalExponent =
        exponent - fractionDigits + static_cast<int64_t>(pendingZeros);
    if (decimalExponent >= 0) {
        if (decimalExponent == 0 && m.Digits == 1 && m.Small == 1) {
            value = StoredValue(1.0);
            return ValueError::None;
        }
        return ValueError::GreaterThanOne;
    }
    const uint64_t k = static_cast<uint64_t>(-decimalExponent);
    // The significand is not a multiple of 10, so it equals 10^k only when
    // it is 1 and k is 0: with more digits than k it is above 1.
    if (m.Digits > k) return ValueError::GreaterThanOne;
    return ReduceDecimal(m, k, value);
}

bool ParseInteger128(const char*& p, const char* end, u128& value, bool& overflow) {
    const char* start = p;
    value = 0;
    overflow = false;
    for (; p != end && IsDigit(*p); ++p) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (~u128{0} - digit) / 10) overflow = true;
        value = value * 10 + digit;
    }
    return p != start;
}

ValueError ParseFraction(const char* p, const char* end, TransitionValue& value) {
    u128 numerator;
    u128 denominator;
    bool numeratorOverflow;
    bool denominatorOverflow;
    if (!ParseInteger128(p, end, numerator, numeratorOverflow) || p == end || *p != '/') {
        return ValueError::NotANumber;
    }
    ++p;
    if (!ParseInteger128(p, end, denominator, denominatorOverflow) || p != end) {
        return ValueError::NotANumber;
    }
    if (numeratorOverflow || denominatorOverflow) return ValueError::TooLarge;
    if (denominator == 0) return ValueError::ZeroDenominator;
    if (numerator > denominator) return ValueError::GreaterThanOne;
    if (numerator == 0) {
        value = StoredValue(0.0);
        return ValueError::None;
    }
    const u128 divisor = Gcd128(numerator, denominator);
    numerator /= divisor;
    denominator /= divisor;
    if (IsPowerOfTwo(denominator) && numerator < (u128{1} << 53)) {
        // At most 2^-127: far above the subnormal limit.
        value = StoredValue(std::ldexp(static_cast<double>(static_cast<uint64_t>(numerator)),
                                       -static_cast<int>(TrailingZeros128(denominator))));
        return ValueError::None;
    }
    if (numerator > kInt64Max || denominator > kInt64Max) return ValueError::NotRepresentable;
    value = FractionValue(static_cast<uint64_t>(numerator), static_cast<uint64_t>(denominator));
    return ValueError::None;
}

// One term of an exact sum: Numerator / (OddDenominator * 2^Shift).
struct Term {
    uint64_t Numerator;
    uint64_t OddDenominator;
    uint64_t Shift;
};

Term ToTerm(const TransitionValue& value) {
    if (value.Denominator != 0) {
        const uint64_t denominator = static_cast<uint64_t>(value.Denominator);
        const unsigned shift = static_cast<unsigned>(__builtin_ctzll(denominator));
        return {static_cast<uint64_t>(value.Numerator), denominator >> shift, shift};
    }
    // A binary64 probability m * 2^e with m odd; 1 is the only one of at
    // least 1.
    int exponent;
    const double fraction = std::frexp(value.Value, &exponent);
    uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
    int64_t power = static_cast<int64_t>(exponent) - 53;
    if (mantissa == 0) return {0, 1, 0};
    const unsigned zeros = static_cast<unsigned>(__builtin_ctzll(mantissa));
    mantissa >>= zeros;
    power += zeros;
    if (power >= 0) return {mantissa << power, 1, 0};
    return {mantissa, 1, static_cast<uint64_t>(-power)};
}

// The sum a / b of the terms in 128 bits; false when it does not fit.
bool Sum128(const TransitionValue* values, std::size_t count, u128& a, u128& b) {
    a = 0;
    b = 1;
    for (std::size_t i = 0; i < count; ++i) {
        const Term term = ToTerm(values[i]);
        if (term.Numerator == 0) continue;
        if (term.Shift + BitLength64(term.OddDenominator) > 127) return false;
        const u128 d = u128{term.OddDenominator} << term.Shift;
        const u128 g = Gcd128(b, d);
        u128 newB = 0, scaledA = 0, scaledN = 0, newA = 0;
        if (__builtin_mul_overflow(b / g, d, &newB) || __builtin_mul_overflow(a, d / g, &scaledA) ||
            __builtin_mul_overflow(u128{term.Numerator}, b / g, &scaledN) ||
            __builtin_add_overflow(scaledA, scaledN, &newA)) {
            return false;
        }
        a = newA;
        b = newB;
    }
    return true;
}

mpz_class Big(u128 value) {
    mpz_class result(static_cast<unsigned long>(value >> 64));
    result <<= 64;
    return result + static_cast<unsigned long>(static_cast<uint64_t>(value));
}

mpq_class Rational(const TransitionValue& value) {
    if (value.Denominator == 0) return mpq_class(value.Value);  // exact
    mpq_class result(static_cast<long>(value.Numerator), static_cast<long>(value.Denominator));
    result.canonicalize();
    return result;
}

// The exact sum, added in pairs (a balanced tree), so that the common
// denominator of many distinct ones grows in a few large steps rather than
// in one large multiplication per term.
mpq_class SumBig(const TransitionValue* values, std::size_t count) {
    if (count == 0) return mpq_class(0);
    std::vector<mpq_class> level(count);
    for (std::size_t i = 0; i < count; ++i) level[i] = Rational(values[i]);
    while (level.size() > 1) {
        const std::size_t half = (level.size() + 1) / 2;
        for (std::size_t i = 0; i < level.size() / 2; ++i) level[i] = level[2 * i] + level[2 * i + 1];
        if (level.size() % 2 != 0) level[half - 1] = level.back();
        level.resize(half);
    }
    return level[0];
}

}  // namespace

ValueError ParseProbability(const char* begin, const char* end, TransitionValue& value) {
    if (begin == end) return ValueError::NotANumber;
    if (*begin == '-') return ValueError::Negative;
    if (*begin == '+') ++begin;
    if (std::memchr(begin, '/', static_cast<std::size_t>(end - begin)) != nullptr) {
        return ParseFraction(begin, end, value);
    }
    return ParseDecimal(begin, end, value);
}

const char* Describe(ValueError error) {
    switch (error) {
        case ValueError::None: return "is valid";
        case ValueError::NotANumber: return "is not a number";
        case ValueError::Negative: return "is negative";
        case ValueError::GreaterThanOne: return "is greater than 1";
        case ValueError::ZeroDenominator: return "has a zero denominator";
        case ValueError::TooLarge: return "has an integer beyond 128 bits";
        case ValueError::NotRepresentable:
            return "is neither a binary64 value nor a fraction of 64-bit integers, and is not "
                   "rounded";
        case ValueError::TooManyDigits:
            return "has more significant digits than any binary64 value or fraction of 64-bit "
                   "integers (767)";
    }
    return "is invalid";
}

double ApproximateValue(const TransitionValue& value) {
    if (value.Denominator == 0) return value.Value;
    return static_cast<double>(static_cast<long double>(value.Numerator) /
                               static_cast<long double>(value.Denominator));
}

bool IsProbability(const TransitionValue& value) {
    if (value.Denominator == 0) return value.Value >= 0.0 && value.Value <= 1.0;  // false for NaN
    return value.Denominator > 0 && value.Numerator >= 0 && value.Numerator <= value.Denominator;
}

SumComparison CompareSumWithOne(const TransitionValue* values, std::size_t count,
                                double tolerance) {
    SumComparison result;
    mpq_class deviation;  // sum - 1
    u128 a;
    u128 b;
    if (Sum128(values, count, a, b)) {
        if (a == b) {
            result.Exact = result.WithinTolerance = true;
            return result;
        }
        deviation = mpq_class(Big(a) - Big(b), Big(b));
        deviation.canonicalize();
    } else {
        deviation = SumBig(values, count) - 1;
        if (deviation == 0) {
            result.Exact = result.WithinTolerance = true;
            return result;
        }
    }
    result.Deviation = deviation.get_d();
    result.WithinTolerance =
        std::isinf(tolerance) || (tolerance >= 0 && abs(deviation) <= mpq_class(tolerance));
    return result;
}

}  // namespace iicheck
