#include "ExactValue.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

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

// Unsigned integers of any size, just the operations that exact decimals
// and exact sums need. Little-endian 32-bit limbs without leading zeros.
class BigUint {
public:
    BigUint() = default;
    explicit BigUint(u128 value) {
        while (value != 0) {
            limbs_.push_back(static_cast<uint32_t>(value));
            value >>= 32;
        }
    }

    bool IsZero() const { return limbs_.empty(); }

    // this = this * factor + addend
    void MulAdd(uint32_t factor, uint32_t addend) {
        uint64_t carry = addend;
        for (uint32_t& limb : limbs_) {
            const uint64_t product = static_cast<uint64_t>(limb) * factor + carry;
            limb = static_cast<uint32_t>(product);
            carry = product >> 32;
        }
        if (carry != 0) limbs_.push_back(static_cast<uint32_t>(carry));
    }

    uint32_t Remainder(uint32_t divisor) const {
        uint64_t remainder = 0;
        for (std::size_t i = limbs_.size(); i-- > 0;) {
            remainder = ((remainder << 32) | limbs_[i]) % divisor;
        }
        return static_cast<uint32_t>(remainder);
    }

    void Divide(uint32_t divisor) {
        uint64_t remainder = 0;
        for (std::size_t i = limbs_.size(); i-- > 0;) {
            const uint64_t current = (remainder << 32) | limbs_[i];
            limbs_[i] = static_cast<uint32_t>(current / divisor);
            remainder = current % divisor;
        }
        Trim();
    }

    unsigned TrailingZeros() const {
        unsigned count = 0;
        for (uint32_t limb : limbs_) {
            if (limb != 0) return count + static_cast<unsigned>(__builtin_ctz(limb));
            count += 32;
        }
        return count;
    }

    uint64_t BitLength() const {
        if (limbs_.empty()) return 0;
        return 32 * (limbs_.size() - 1) + (32 - static_cast<unsigned>(__builtin_clz(limbs_.back())));
    }

    void ShiftRight(uint64_t bits) {
        const std::size_t words = static_cast<std::size_t>(bits / 32);
        const unsigned rest = static_cast<unsigned>(bits % 32);
        if (words >= limbs_.size()) {
            limbs_.clear();
            return;
        }
        limbs_.erase(limbs_.begin(), limbs_.begin() + static_cast<std::ptrdiff_t>(words));
        if (rest != 0) {
            for (std::size_t i = 0; i < limbs_.size(); ++i) {
                const uint32_t high = i + 1 < limbs_.size() ? limbs_[i + 1] : 0;
                limbs_[i] = (limbs_[i] >> rest) | (high << (32 - rest));
            }
        }
        Trim();
    }

    void ShiftLeft(uint64_t bits) {
        if (limbs_.empty()) return;
        const unsigned rest = static_cast<unsigned>(bits % 32);
        if (rest != 0) {
            uint32_t carry = 0;
            for (uint32_t& limb : limbs_) {
                const uint32_t next = limb >> (32 - rest);
                limb = (limb << rest) | carry;
                carry = next;
            }
            if (carry != 0) limbs_.push_back(carry);
        }
        limbs_.insert(limbs_.begin(), static_cast<std::size_t>(bits / 32), 0u);
    }

    // Only when BitLength() <= 64.
    uint64_t Low64() const {
        uint64_t value = 0;
        for (std::size_t i = limbs_.size(); i-- > 0;) value = (value << 32) | limbs_[i];
        return value;
    }

    friend BigUint operator*(const BigUint& a, const BigUint& b) {
        BigUint result;
        if (a.IsZero() || b.IsZero()) return result;
        result.limbs_.assign(a.limbs_.size() + b.limbs_.size(), 0);
        for (std::size_t i = 0; i < a.limbs_.size(); ++i) {
            uint64_t carry = 0;
            for (std::size_t j = 0; j < b.limbs_.size(); ++j) {
                const uint64_t current = static_cast<uint64_t>(a.limbs_[i]) * b.limbs_[j] +
                                         result.limbs_[i + j] + carry;
                result.limbs_[i + j] = static_cast<uint32_t>(current);
                carry = current >> 32;
            }
            result.limbs_[i + b.limbs_.size()] = static_cast<uint32_t>(carry);
        }
        result.Trim();
        return result;
    }

    friend BigUint operator+(const BigUint& a, const BigUint& b) {
        BigUint result;
        const std::size_t size = std::max(a.limbs_.size(), b.limbs_.size());
        result.limbs_.resize(size + 1, 0);
        uint64_t carry = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const uint64_t current = static_cast<uint64_t>(i < a.limbs_.size() ? a.limbs_[i] : 0) +
                                     (i < b.limbs_.size() ? b.limbs_[i] : 0) + carry;
            result.limbs_[i] = static_cast<uint32_t>(current);
            carry = current >> 32;
        }
        result.limbs_[size] = static_cast<uint32_t>(carry);
        result.Trim();
        return result;
    }

    friend bool operator==(const BigUint& a, const BigUint& b) { return a.limbs_ == b.limbs_; }

private:
    void Trim() {
        while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
    }

    std::vector<uint32_t> limbs_;
};

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

// The significand of a decimal, without leading and trailing zeros: in 64
// bits while it has at most 19 digits, then as a BigUint.
struct Significand {
    uint64_t Small = 0;
    BigUint Big;
    bool IsBig = false;
    uint64_t Digits = 0;

    void Append(unsigned digit) {
        if (!IsBig && Digits < 19) {
            Small = Small * 10 + digit;
        } else {
            if (!IsBig) {
                Big = BigUint(Small);
                IsBig = true;
            }
            Big.MulAdd(10, digit);
        }
        ++Digits;
    }
};

// value = significand / 10^k with k >= number of digits >= 1 (so value < 1)
// and a significand not divisible by 10.
ValueError ReduceDecimal(Significand& m, uint64_t k, TransitionValue& value) {
    uint64_t twos = 0;
    uint64_t fives = 0;
    uint64_t bits;
    uint64_t reduced = 0;  // valid when bits <= 64
    if (!m.IsBig) {
        twos = std::min<uint64_t>(static_cast<uint64_t>(__builtin_ctzll(m.Small)), k);
        reduced = m.Small >> twos;
        while (fives < k && reduced % 5 == 0) {
            reduced /= 5;
            ++fives;
        }
        bits = BitLength64(reduced);
    } else {
        twos = std::min<uint64_t>(m.Big.TrailingZeros(), k);
        m.Big.ShiftRight(twos);
        while (fives < k && m.Big.Remainder(5) == 0) {
            m.Big.Divide(5);
            ++fives;
        }
        bits = m.Big.BitLength();
        if (bits <= 64) reduced = m.Big.Low64();
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
        if (decimalExponent == 0 && !m.IsBig && m.Small == 1) {
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
    // A finite non-negative binary64 m * 2^e with m odd; values of at least 1
    // are integers of at most 1024 bits, kept as m << e: callers pass
    // probabilities, for which that is 1.
    int exponent;
    const double fraction = std::frexp(value.Value, &exponent);
    uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
    int64_t power = static_cast<int64_t>(exponent) - 53;
    if (mantissa == 0) return {0, 1, 0};
    const unsigned zeros = static_cast<unsigned>(__builtin_ctzll(mantissa));
    mantissa >>= zeros;
    power += zeros;
    if (power >= 0) {
        // Only integers below 2^64 reach here from a probability.
        return {power < 11 ? mantissa << power : UINT64_MAX, 1, 0};
    }
    return {mantissa, 1, static_cast<uint64_t>(-power)};
}

bool SumsToOneBig(const TransitionValue* values, std::size_t count) {
    BigUint numerator;  // sum = numerator / denominator
    BigUint denominator(1);
    for (std::size_t i = 0; i < count; ++i) {
        const Term term = ToTerm(values[i]);
        BigUint termDenominator(term.OddDenominator);
        termDenominator.ShiftLeft(term.Shift);
        numerator = numerator * termDenominator + BigUint(term.Numerator) * denominator;
        denominator = denominator * termDenominator;
    }
    return numerator == denominator;
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
    }
    return "is invalid";
}

double ApproximateValue(const TransitionValue& value) {
    if (value.Denominator == 0) return value.Value;
    return static_cast<double>(static_cast<long double>(value.Numerator) /
                               static_cast<long double>(value.Denominator));
}

bool SumsToOne(const TransitionValue* values, std::size_t count, double& deviation) {
    // The common case in 128 bits: sum = a / b.
    u128 a = 0;
    u128 b = 1;
    bool overflow = false;
    for (std::size_t i = 0; i < count && !overflow; ++i) {
        const Term term = ToTerm(values[i]);
        if (term.Numerator == 0) continue;
        if (term.Shift + BitLength64(term.OddDenominator) > 127) {
            overflow = true;
            break;
        }
        const u128 d = u128{term.OddDenominator} << term.Shift;
        const u128 g = Gcd128(b, d);
        u128 newB = 0, scaledA = 0, scaledN = 0, newA = 0;
        overflow = __builtin_mul_overflow(b / g, d, &newB) ||
                   __builtin_mul_overflow(a, d / g, &scaledA) ||
                   __builtin_mul_overflow(u128{term.Numerator}, b / g, &scaledN) ||
                   __builtin_add_overflow(scaledA, scaledN, &newA);
        a = newA;
        b = newB;
    }
    if (!overflow) {
        if (a == b) return true;
        const long double difference = a > b ? static_cast<long double>(a - b)
                                             : -static_cast<long double>(b - a);
        deviation = static_cast<double>(difference / static_cast<long double>(b));
        return false;
    }
    if (SumsToOneBig(values, count)) return true;
    long double sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += ApproximateValue(values[i]);
    deviation = static_cast<double>(sum - 1);
    return false;
}

}  // namespace iicheck
