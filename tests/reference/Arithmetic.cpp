#include "reference/Arithmetic.hpp"

#include <cfenv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace reference {

namespace {

// Precision of every Real: wide enough for each value of every modelled
// format, including exact 64-bit integers.
constexpr mpfr_prec_t kRealPrecision = 64;
static_assert(GMP_NUMB_BITS == 64, "one limb holds a 64-bit significand");

// Makes `value` a +0 of `precision` bits whose significand is `limbs`.
void InitializeInPlace(mpfr_ptr value, mp_limb_t* limbs, mpfr_prec_t precision) {
    mpfr_custom_init(limbs, precision);
    mpfr_custom_init_set(value, MPFR_ZERO_KIND, 0, precision, limbs);
}

constexpr uint64_t kDefaultNanBits = 0xFFF8000000000000ULL;

mpfr_rnd_t ToMpfr(Direction direction) {
    switch (direction) {
        case Direction::ToNearest:
            return MPFR_RNDN;
        case Direction::Downward:
            return MPFR_RNDD;
        case Direction::Upward:
            return MPFR_RNDU;
        case Direction::TowardZero:
            return MPFR_RNDZ;
    }
    throw std::logic_error("unknown direction");
}

// Computes `operation` at the format's precision in MPFR's own (huge)
// exponent range, then brings the result into the format's range: overflow
// to infinity or to the largest finite value as the direction says, and
// rounding to the subnormal grid. The ternary value carried from one step to
// the next keeps this a single correct rounding.
template <class Operation>
Real Rounded(const Format& format, Direction direction, Operation operation) {
    const mpfr_rnd_t rnd = ToMpfr(direction);
    mp_limb_t limbs[1];
    mpfr_t result;
    InitializeInPlace(result, limbs, format.Precision);
    int ternary = operation(result, rnd);

    // Values whose exponent puts them among the format's normal numbers
    // need nothing more; zeros, infinities and NaN neither.
    const bool plainlyInRange =
        !mpfr_regular_p(result) ||
        (mpfr_get_exp(result) >= format.MinExponent + format.Precision - 1 &&
         mpfr_get_exp(result) <= format.MaxExponent);
    if (!plainlyInRange) {
        const mpfr_exp_t savedMin = mpfr_get_emin();
        const mpfr_exp_t savedMax = mpfr_get_emax();
        if (mpfr_set_emin(format.MinExponent) != 0 || mpfr_set_emax(format.MaxExponent) != 0) {
            throw std::logic_error("exponent range not supported by MPFR");
        }
        ternary = mpfr_check_range(result, ternary, rnd);
        mpfr_subnormalize(result, ternary, rnd);
        mpfr_set_emin(savedMin);
        mpfr_set_emax(savedMax);
    }

    Real value;
    mpfr_set(value.get(), result, MPFR_RNDN);  // exact: Precision <= 64
    return value;
}

}  // namespace

const char* DirectionName(Direction direction) {
    switch (direction) {
        case Direction::ToNearest:
            return "to-nearest";
        case Direction::Downward:
            return "downward";
        case Direction::Upward:
            return "upward";
        case Direction::TowardZero:
            return "toward-zero";
    }
    return "?";
}

int FenvMacro(Direction direction) {
    switch (direction) {
        case Direction::ToNearest:
            return FE_TONEAREST;
        case Direction::Downward:
            return FE_DOWNWARD;
        case Direction::Upward:
            return FE_UPWARD;
        case Direction::TowardZero:
            return FE_TOWARDZERO;
    }
    return FE_TONEAREST;
}

Format X87Register(int precisionBits) {
    const Format& wide = kX87Extended;
    switch (precisionBits) {
        case 24:
            return {24, wide.MinExponent, wide.MaxExponent, "x87 register, 24 bits"};
        case 53:
            return {53, wide.MinExponent, wide.MaxExponent, "x87 register, 53 bits"};
        case 64:
            return {64, wide.MinExponent, wide.MaxExponent, "x87 register, 64 bits"};
    }
    throw std::logic_error("x87 precision control must be 24, 53 or 64 bits");
}

Real::Real() { InitializeInPlace(value_, limbs_, kRealPrecision); }

Real::Real(const Real& other) {
    InitializeInPlace(value_, limbs_, kRealPrecision);
    mpfr_set(value_, other.value_, MPFR_RNDN);
}

Real& Real::operator=(const Real& other) {
    if (this != &other) {
        mpfr_set(value_, other.value_, MPFR_RNDN);
    }
    return *this;
}

Real::~Real() = default;  // nothing on the heap

Real Real::FromDouble(double value) {
    Real real;
    mpfr_set_d(real.value_, value, MPFR_RNDN);  // exact, signed zeros kept
    return real;
}

Real Real::FromDoubleBits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return FromDouble(value);
}

Real Real::FromInteger(int64_t value) {
    Real real;
    mpfr_set_si(real.value_, static_cast<long>(value), MPFR_RNDN);  // exact in 64 bits
    return real;
}

bool Real::IsNaN() const { return mpfr_nan_p(value_) != 0; }
bool Real::IsZero() const { return mpfr_zero_p(value_) != 0; }
bool Real::IsNegative() const { return mpfr_signbit(value_) != 0; }

double Real::ToDouble() const {
    if (IsNaN()) {
        double nan;
        std::memcpy(&nan, &kDefaultNanBits, sizeof nan);
        return nan;
    }
    if (!IsRepresentable(kBinary64, *this)) {
        throw std::logic_error("value not representable in binary64: " + ToString());
    }
    return mpfr_get_d(value_, MPFR_RNDN);
}

uint64_t Real::DoubleBits() const {
    const double value = ToDouble();
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

std::string Real::ToString() const {
    if (IsNaN()) {
        return "NaN";
    }
    char buffer[160];
    if (IsRepresentable(kBinary64, *this)) {
        return DoubleToString(mpfr_get_d(value_, MPFR_RNDN));
    }
    mpfr_snprintf(buffer, sizeof buffer, "%Ra (not a binary64 value)", value_);
    return buffer;
}

std::string DoubleToString(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "0x%016" PRIX64 " (%a, %.17g)", bits, value, value);
    return buffer;
}

bool operator<(const Real& a, const Real& b) { return mpfr_less_p(a.get(), b.get()) != 0; }
bool operator>(const Real& a, const Real& b) { return mpfr_greater_p(a.get(), b.get()) != 0; }
bool operator<=(const Real& a, const Real& b) { return mpfr_lessequal_p(a.get(), b.get()) != 0; }
bool operator==(const Real& a, const Real& b) { return mpfr_equal_p(a.get(), b.get()) != 0; }

bool IsRepresentable(const Format& format, const Real& value) {
    if (!mpfr_number_p(value.get())) {
        return true;  // infinities and NaN exist in every format
    }
    const Real rounded = Round(format, Direction::TowardZero, value);
    return mpfr_equal_p(rounded.get(), value.get()) != 0 &&
           mpfr_signbit(rounded.get()) == mpfr_signbit(value.get());
}

Real Convert(const Format& format, Direction direction, int64_t value) {
    return Rounded(format, direction, [&](mpfr_ptr out, mpfr_rnd_t rnd) {
        return mpfr_set_si(out, static_cast<long>(value), rnd);
    });
}

Real Round(const Format& format, Direction direction, const Real& value) {
    return Rounded(format, direction,
                   [&](mpfr_ptr out, mpfr_rnd_t rnd) { return mpfr_set(out, value.get(), rnd); });
}

Real Add(const Format& format, Direction direction, const Real& a, const Real& b) {
    return Rounded(format, direction, [&](mpfr_ptr out, mpfr_rnd_t rnd) {
        return mpfr_add(out, a.get(), b.get(), rnd);
    });
}

Real Subtract(const Format& format, Direction direction, const Real& a, const Real& b) {
    return Rounded(format, direction, [&](mpfr_ptr out, mpfr_rnd_t rnd) {
        return mpfr_sub(out, a.get(), b.get(), rnd);
    });
}

Real Multiply(const Format& format, Direction direction, const Real& a, const Real& b) {
    return Rounded(format, direction, [&](mpfr_ptr out, mpfr_rnd_t rnd) {
        return mpfr_mul(out, a.get(), b.get(), rnd);
    });
}

Real Divide(const Format& format, Direction direction, const Real& a, const Real& b) {
    return Rounded(format, direction, [&](mpfr_ptr out, mpfr_rnd_t rnd) {
        return mpfr_div(out, a.get(), b.get(), rnd);
    });
}

Real FusedMultiplyAdd(const Format& format, Direction direction, const Real& a, const Real& b,
                      const Real& c) {
    return Rounded(format, direction, [&](mpfr_ptr out, mpfr_rnd_t rnd) {
        return mpfr_fma(out, a.get(), b.get(), c.get(), rnd);
    });
}

}  // namespace reference
