#include "model/ExactValue.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// Binary gcd, with the difference's absolute value and the minimum taken
// without branches: several times faster than with a swap.
uint64_t Gcd64(uint64_t a, uint64_t b) {
    if (a == 0) return b;
    if (b == 0) return a;
    const int shift = __builtin_ctzll(a | b);
    a >>= __builtin_ctzll(a);
    b >>= __builtin_ctzll(b);
    while (a != b) {
        const uint64_t difference = a > b ? a - b : b - a;
        a = a < b ? a : b;
        b = difference >> __builtin_ctzll(difference);
    }
    return a << shift;
}

bool Fits64(u128 x) { return (x >> 64) == 0; }

// Reading and summing mostly meet operands of 64 bits, which 64-bit
// arithmetic handles several times faster.
u128 Gcd128(u128 a, u128 b) {
    if (Fits64(a | b)) return Gcd64(static_cast<uint64_t>(a), static_cast<uint64_t>(b));
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

u128 Divide(u128 a, u128 b) {
    return Fits64(a | b) ? u128{static_cast<uint64_t>(a) / static_cast<uint64_t>(b)} : a / b;
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

ValueError DecimalValue(uint64_t reduced, uint64_t bits, uint64_t twos, uint64_t fives, uint64_t k,
                        TransitionValue& value);

// The factors 2 and 5 of significand, at most k of each.
void RemoveTwosAndFives(uint64_t significand, uint64_t k, uint64_t& reduced, uint64_t& twos, uint64_t& fives) {
    twos = std::min<uint64_t>(static_cast<uint64_t>(__builtin_ctzll(significand)), k);
    reduced = significand >> twos;
    fives = 0;
    while (fives < k && reduced % 5 == 0) {
        reduced /= 5;
        ++fives;
    }
}

// value = significand / 10^k with k >= number of digits >= 1 (so value < 1)
// and a significand not divisible by 10.
ValueError ReduceDecimal(Significand& m, uint64_t k, TransitionValue& value) {
    uint64_t twos = 0;
    uint64_t fives = 0;
    uint64_t bits;
    uint64_t reduced = 0;  // valid when bits <= 64
    if (!m.IsBig()) {
        RemoveTwosAndFives(m.Small, k, reduced, twos, fives);
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
    return DecimalValue(reduced, bits, twos, fives, k, value);
}

// value = reduced / (2^(k - twos) * 5^(k - fives)), reduced of bits bits.
ValueError DecimalValue(uint64_t reduced, uint64_t bits, uint64_t twos, uint64_t fives, uint64_t k,
                        TransitionValue& value) {
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

// The significant digits and the decimal exponent of a number printed by
// std::to_chars in scientific form ("2.3283064365386963e-10"), without
// trailing zeros: value = 0.Digits * 10^Exponent.
struct Printed {
    char Digits[32];
    std::size_t Count = 0;
    int64_t Exponent = 0;
};

Printed Normalize(const char* begin, const char* end) {
    Printed printed;
    const char* p = begin;
    for (; p != end && *p != 'e'; ++p) {
        if (IsDigit(*p)) printed.Digits[printed.Count++] = *p;
    }
    while (printed.Count > 0 && printed.Digits[printed.Count - 1] == '0') --printed.Count;
    int exponent = 0;
    if (p != end) std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
    printed.Exponent = exponent + 1;
    return printed;
}

// Whether the decimal m / 10^k is an image that printing some binary64
// value gives: the value d nearest to it printed with the shortest digits
// that read back as d, or with 17 significant digits. Sets d.
bool IsPrintedBinary64(const Significand& m, uint64_t k, double& d) {
    if (m.Digits > 17) return false;  // more than either image has
    char text[64];
    std::snprintf(text, sizeof text, "%.*se-%llu", static_cast<int>(m.Digits), m.Text,
                  static_cast<unsigned long long>(k));
    d = std::strtod(text, nullptr);  // rounds to nearest
    if (!(d > 0) || std::isinf(d)) return false;
    const int64_t exponent = static_cast<int64_t>(m.Digits) - static_cast<int64_t>(k);
    for (const int precision : {-1, 16}) {
        char image[64];
        const std::to_chars_result printed =
            precision < 0 ? std::to_chars(image, image + sizeof image, d, std::chars_format::scientific)
                          : std::to_chars(image, image + sizeof image, d, std::chars_format::scientific,
                                          precision);
        const Printed digits = Normalize(image, printed.ptr);
        if (digits.Count == m.Digits && digits.Exponent == exponent &&
            std::memcmp(digits.Digits, m.Text, m.Digits) == 0) {
            return true;
        }
    }
    return false;
}

ValueError ParseDecimal(const char* p, const char* end, TransitionValue& value, bool& printedBinary64) {
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
    const ValueError error = ReduceDecimal(m, k, value);
    double printed;
    if (error == ValueError::NotRepresentable && IsPrintedBinary64(m, k, printed)) {
        value = StoredValue(printed);
        printedBinary64 = true;
        return ValueError::None;
    }
    return error;
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
    return FractionProbability(numerator, denominator, value);
}

}  // namespace

ExactTerm TermOf(const TransitionValue& value) {
    if (value.Denominator != 0) {
        const uint64_t denominator = static_cast<uint64_t>(value.Denominator);
        const unsigned shift = static_cast<unsigned>(__builtin_ctzll(denominator));
        return {static_cast<uint64_t>(value.Numerator), denominator >> shift, shift};
    }
    // A binary64 probability m * 2^e with m odd, from its bits; 1 is the
    // only one of at least 1.
    uint64_t bits;
    std::memcpy(&bits, &value.Value, sizeof bits);
    const uint64_t biased = (bits >> 52) & 0x7FF;
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    if (biased != 0) mantissa |= uint64_t{1} << 52;
    if (mantissa == 0) return {0, 1, 0};
    const unsigned zeros = static_cast<unsigned>(__builtin_ctzll(mantissa));
    mantissa >>= zeros;
    const int64_t power = (biased != 0 ? static_cast<int64_t>(biased) - 1075 : -1074) + zeros;
    if (power >= 0) return {mantissa << power, 1, 0};
    return {mantissa, 1, static_cast<uint64_t>(-power)};
}

namespace {

// The sum a / b of the terms in 128 bits; false when it does not fit.
bool Sum128(const TransitionValue* values, std::size_t count, u128& a, u128& b) {
    a = 0;
    b = 1;
    for (std::size_t i = 0; i < count; ++i) {
        const ExactTerm term = TermOf(values[i]);
        if (term.Numerator == 0) continue;
        if (term.Shift + BitLength64(term.OddDenominator) > 127) return false;
        const u128 d = u128{term.OddDenominator} << term.Shift;
        // The common cases need no gcd: a denominator equal to the sum's,
        // and binary64 values added to a sum whose denominator is a power
        // of two.
        if (d == b) {
            if (__builtin_add_overflow(a, u128{term.Numerator}, &a)) return false;
            continue;
        }
        if (term.OddDenominator == 1 && IsPowerOfTwo(b)) {
            const uint64_t sumShift = TrailingZeros128(b);
            if (term.Shift < sumShift) {
                const uint64_t up = sumShift - term.Shift;
                if (BitLength64(term.Numerator) + up > 127 ||
                    __builtin_add_overflow(a, u128{term.Numerator} << up, &a)) {
                    return false;
                }
            } else {
                const uint64_t up = term.Shift - sumShift;
                if ((a != 0 && up > 0 && (a >> (127 - up)) != 0) ||
                    __builtin_add_overflow(a << up, u128{term.Numerator}, &a)) {
                    return false;
                }
                b = d;
            }
            continue;
        }
        u128 newB = 0, scaledA = 0, scaledN = 0, newA = 0;
        // Two 64-bit denominators multiply without overflow: the sum need
        // not be reduced to be compared with 1.
        if (!__builtin_mul_overflow(b, d, &newB) && !__builtin_mul_overflow(a, d, &scaledA) &&
            !__builtin_mul_overflow(u128{term.Numerator}, b, &scaledN) &&
            !__builtin_add_overflow(scaledA, scaledN, &newA)) {
            a = newA;
            b = newB;
            continue;
        }
        const u128 g = Gcd128(b, d);
        const u128 bg = Divide(b, g);
        if (__builtin_mul_overflow(bg, d, &newB) || __builtin_mul_overflow(a, Divide(d, g), &scaledA) ||
            __builtin_mul_overflow(u128{term.Numerator}, bg, &scaledN) ||
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

namespace {

unsigned TrailingZeros(uint64_t x) { return static_cast<unsigned>(__builtin_ctzll(x)); }
unsigned TrailingZeros(u128 x) { return TrailingZeros128(x); }
uint64_t Gcd(uint64_t a, uint64_t b) { return Gcd64(a, b); }
u128 Gcd(u128 a, u128 b) { return Gcd128(a, b); }

// Reduces a fraction without common factors of 2 whose denominator is
// 2^a 5^b, as every decimal's is, by dividing by 5 (a multiplication)
// rather than with a gcd of two long integers; false for any other
// denominator, left as it is.
bool ReduceDecimalFraction(uint64_t& numerator, uint64_t& denominator) {
    // The odd part is a power of 5 exactly when it divides the largest
    // power of 5 in 64 bits, 5 being prime.
    constexpr uint64_t kLargestPowerOfFive = 7450580596923828125u;  // 5^27
    static_assert(kLargestPowerOfFive / 5 * 5 == kLargestPowerOfFive && kLargestPowerOfFive > UINT64_MAX / 5);
    if (kLargestPowerOfFive % (denominator >> TrailingZeros(denominator)) != 0) return false;
    while (numerator % 5 == 0 && denominator % 5 == 0) {
        numerator /= 5;
        denominator /= 5;
    }
    return true;
}
bool ReduceDecimalFraction(u128&, u128&) { return false; }

// FractionProbability in the type of the operands: 64 bits for what real
// files hold, 128 bits for the rest of a text's fractions.
template <class Unsigned>
ValueError Fraction(Unsigned numerator, Unsigned denominator, TransitionValue& value) {
    if (denominator == 0) return ValueError::ZeroDenominator;
    if (numerator > denominator) return ValueError::GreaterThanOne;
    if (numerator == 0) {
        value = StoredValue(0.0);
        return ValueError::None;
    }
    // The common factors of 2 first: a power-of-two denominator or a
    // numerator of 1 then needs no gcd.
    const unsigned twos = std::min(TrailingZeros(numerator), TrailingZeros(denominator));
    numerator >>= twos;
    denominator >>= twos;
    const bool dyadic = (denominator & (denominator - 1)) == 0;
    if (!dyadic && numerator != 1 && !ReduceDecimalFraction(numerator, denominator)) {
        // Stored fractions are mostly reduced already: no division then.
        const Unsigned divisor = Gcd(numerator, denominator);
        if (divisor != 1) {
            numerator /= divisor;
            denominator /= divisor;
        }
    }
    if ((denominator & (denominator - 1)) == 0 && numerator < (Unsigned{1} << 53)) {
        // numerator * 2^-k with k <= 127, exactly: both factors are binary64
        // values and the product is far above the subnormal limit.
        const uint64_t k = TrailingZeros(denominator);
        value = StoredValue(static_cast<double>(static_cast<uint64_t>(numerator)) *
                            std::bit_cast<double>((1023 - k) << 52));
        return ValueError::None;
    }
    if (numerator > kInt64Max || denominator > kInt64Max) return ValueError::NotRepresentable;
    value = FractionValue(static_cast<uint64_t>(numerator), static_cast<uint64_t>(denominator));
    return ValueError::None;
}

}  // namespace

ValueError FractionProbability(unsigned __int128 numerator, unsigned __int128 denominator,
                               TransitionValue& value) {
    return Fits64(numerator | denominator)
               ? Fraction(static_cast<uint64_t>(numerator), static_cast<uint64_t>(denominator), value)
               : Fraction(numerator, denominator, value);
}

ValueError ParseProbability(const char* begin, const char* end, TransitionValue& value) {
    bool printedBinary64 = false;
    return ParseProbability(begin, end, value, printedBinary64);
}

ValueError ParseProbability(const char* begin, const char* end, TransitionValue& value,
                            bool& printedBinary64) {
    printedBinary64 = false;
    if (begin == end) return ValueError::NotANumber;
    if (*begin == '-') return ValueError::Negative;
    if (*begin == '+') ++begin;
    if (std::memchr(begin, '/', static_cast<std::size_t>(end - begin)) != nullptr) {
        return ParseFraction(begin, end, value);
    }
    return ParseDecimal(begin, end, value, printedBinary64);
}

ProbabilityReader::ProbabilityReader() : entries_(new Entry[std::size_t{1} << kSlotBits]()) {}

namespace {

// ParseProbability of "0." and 1 to 19 digits, the most common form of a
// value that is not read again, eight digits at a time; false for any
// other text, and for a value that may be a printed binary64 value. The 32
// bytes from begin must be readable.
bool ShortDecimal(const char* begin, const char* end, TransitionValue& value, ValueError& error) {
    const std::size_t digits = static_cast<std::size_t>(end - begin) - 2;
    if (end - begin < 3 || digits > 19 || begin[0] != '0' || begin[1] != '.') return false;
    const char* p = begin + 2;
    uint64_t significand = 0;
    std::size_t read = 0;
    for (; read + 8 <= digits; read += 8) {
        uint64_t chunk;
        std::memcpy(&chunk, p + read, sizeof chunk);
        if (NonDigits(chunk) != 0) return false;
        significand = significand * 100000000 + EightDigits(chunk);
    }
    if (read < digits) {
        const unsigned rest = static_cast<unsigned>(digits - read);
        uint64_t chunk;
        std::memcpy(&chunk, p + read, sizeof chunk);
        if ((NonDigits(chunk) & ((uint64_t{1} << (8 * rest)) - 1)) != 0) return false;
        constexpr uint64_t kPowers[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
        significand = significand * kPowers[rest] + FewDigits(chunk, rest);
    }
    if (significand == 0) {
        value = StoredValue(0.0);
        error = ValueError::None;
        return true;
    }
    uint64_t k = digits;
    while (significand % 10 == 0) {
        significand /= 10;
        --k;
    }
    uint64_t reduced;
    uint64_t twos;
    uint64_t fives;
    RemoveTwosAndFives(significand, k, reduced, twos, fives);
    error = DecimalValue(reduced, BitLength64(reduced), twos, fives, k, value);
    return error != ValueError::NotRepresentable;
}

}  // namespace

ValueError ProbabilityReader::Miss(const char* begin, const char* end, const uint64_t* key, Entry& entry,
                                   TransitionValue& value, bool& printedBinary64) {
    ValueError error;
    printedBinary64 = false;
    if (!ShortDecimal(begin, end, value, error)) error = ParseProbability(begin, end, value, printedBinary64);
    if (error == ValueError::None) {
        entry = {{key[0], key[1], key[2]}, static_cast<uint32_t>(end - begin), printedBinary64, value};
    }
    return error;
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
            return "is neither a binary64 value, nor a fraction of 64-bit integers, nor the "
                   "shortest or 17-digit decimal of a binary64 value, and is not rounded";
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

bool SumBinary64(const TransitionValue* values, std::size_t count, u128& sum) {
    sum = 0;
    if (count > (std::size_t{1} << 26)) return false;
    uint64_t outside = 0;
    for (std::size_t i = 0; i < count; ++i) {
        uint64_t out;
        sum += FixedTerm(values[i], out);
        outside |= out;
    }
    return outside == 0;
}

namespace {

// result for a sum a / b in fixed point (b = 2^kFixedBits for binary64
// values), unless it lies too near the tolerance to tell; false then.
bool DecideFixedSum(u128 a, u128 b, bool binary64, double tolerance, SumComparison& result) {
    // |sum - 1| = difference / b within a few units in the last place,
    // which settles the comparison unless it is that close to the tolerance
    // (printed binary64 values miss 1 by about 1e-17, far below it). The
    // difference is converted in 64 bits when it fits (the same value,
    // without a library call), and dividing by 2^kFixedBits is exact.
    const u128 difference = a > b ? a - b : b - a;
    const double magnitude = Fits64(difference) ? static_cast<double>(static_cast<uint64_t>(difference))
                                                : static_cast<double>(difference);
    const double approximate = binary64 ? magnitude * kFixedUnit : magnitude / static_cast<double>(b);
    return DecideDeviation(approximate, a >= b, a == b, tolerance, result);
}

}  // namespace

void FillWindow(Binary64Window& window, const TransitionValue* values, std::size_t count) {
    u128 sum = 0;
    window.Sums[0] = 0;
    for (std::size_t i = 0; i < count; ++i) {
        uint64_t outside;
        sum += FixedTerm(values[i], outside) | (u128{outside != 0} << Binary64Window::kOutsideBit);
        window.Sums[i + 1] = sum;
    }
}

SumComparison CompareSumWithOne(const TransitionValue* values, std::size_t count,
                                double tolerance) {
    SumComparison result;
    u128 a;
    u128 b;
    const bool binary64 = SumBinary64(values, count, a);
    if (binary64) b = u128{1} << kFixedBits;
    const bool fits = binary64 || Sum128(values, count, a, b);
    if (fits && DecideFixedSum(a, b, binary64, tolerance, result)) return result;
    // Beyond 128 bits, or too close to the tolerance: with GMP.
    mpq_class deviation = fits ? mpq_class(Big(a) - Big(b), Big(b)) : mpq_class(SumBig(values, count) - 1);
    deviation.canonicalize();
    if (deviation == 0) {
        result.Exact = result.WithinTolerance = true;
        return result;
    }
    result.Deviation = deviation.get_d();
    result.WithinTolerance =
        std::isinf(tolerance) || (tolerance >= 0 && abs(deviation) <= mpq_class(tolerance));
    return result;
}

bool SumExactly(const TransitionValue* values, std::size_t count, Fraction128& sum) {
    u128 a;
    u128 b;
    if (!Sum128(values, count, a, b)) return false;
    const u128 divisor = Gcd128(a, b);
    sum.Numerator = Divide(a, divisor);
    sum.Denominator = Divide(b, divisor);
    return true;
}

mpq_class SumExactlyBig(const TransitionValue* values, std::size_t count) {
    mpq_class sum = SumBig(values, count);
    sum.canonicalize();
    return sum;
}

bool ExactTransitionValue(const Fraction128& value, TransitionValue& exact) {
    return FractionProbability(value.Numerator, value.Denominator, exact) == ValueError::None;
}

bool ExactTransitionValue(const mpq_class& value, TransitionValue& exact) {
    const mpz_srcptr numerator = value.get_num_mpz_t();
    const mpz_srcptr denominator = value.get_den_mpz_t();
    if (mpz_sgn(numerator) < 0) return false;
    const std::size_t denominatorBits = mpz_sizeinbase(denominator, 2);
    if (mpz_scan1(denominator, 0) + 1 == denominatorBits && mpz_sizeinbase(numerator, 2) <= 53 &&
        denominatorBits - 1 <= 1074) {
        // An odd numerator of at most 53 bits over 2^k, k <= 1074: a binary64
        // value, subnormal ones included.
        exact = StoredValue(std::ldexp(static_cast<double>(mpz_get_ui(numerator)),
                                       -static_cast<int>(denominatorBits - 1)));
        return true;
    }
    if (mpz_sizeinbase(numerator, 2) > 63 || mpz_sizeinbase(denominator, 2) > 63) return false;
    exact = FractionValue(mpz_get_ui(numerator), mpz_get_ui(denominator));
    return true;
}

}  // namespace iicheck
