// Arbitrary-precision model of the floating-point operations the library's
// kernels perform. Every operation takes the format it rounds to (significand
// width and exponent range, subnormals included) and the rounding direction
// explicitly, so nothing depends on the host's floating-point environment.
#pragma once

#include <mpfr.h>

#include <cstdint>
#include <string>

namespace reference {

enum class Direction { ToNearest, Downward, Upward, TowardZero };

const char* DirectionName(Direction direction);

// The <cfenv> macro of a direction, for the harness that sets it.
int FenvMacro(Direction direction);

// A binary floating-point format. Exponents follow MPFR's convention: a
// value is m * 2^e with 0.5 <= |m| < 1, so the smallest subnormal is
// 2^(MinExponent - 1) and the largest finite value is
// (1 - 2^-Precision) * 2^MaxExponent.
struct Format {
    int Precision;
    long MinExponent;
    long MaxExponent;
    const char* Name;
};

inline constexpr Format kBinary32{24, -148, 128, "binary32"};
inline constexpr Format kBinary64{53, -1073, 1024, "binary64"};
inline constexpr Format kX87Extended{64, -16444, 16384, "x87 extended"};

// An x87 register under a precision control of 24, 53 or 64 bits: the
// significand is cut to that width, the exponent keeps the x87's 15-bit
// range (denormals as in the extended format).
Format X87Register(int precisionBits);

// An exact value of at most 64 significant bits, a signed zero, a signed
// infinity or NaN. Every value the modelled hardware can hold fits.
class Real {
public:
    Real();  // +0
    Real(const Real& other);
    Real& operator=(const Real& other);
    ~Real();

    static Real FromDouble(double value);
    static Real FromDoubleBits(uint64_t bits);
    static Real FromInteger(int64_t value);  // exact, as an x87 integer load

    mpfr_srcptr get() const { return value_; }
    mpfr_ptr get() { return value_; }

    bool IsNaN() const;
    bool IsZero() const;
    bool IsNegative() const;  // sign bit, also of zeros

    // The value as binary64; it must be representable there. Every NaN is
    // returned as the x86 default NaN 0xFFF8000000000000, which is what the
    // SSE, AVX and x87 units produce for an invalid operation and what
    // propagates through later operations and widening.
    double ToDouble() const;
    uint64_t DoubleBits() const;

    // Readable form for failure reports.
    std::string ToString() const;

private:
    // The significand lives inside the object (MPFR's custom allocation):
    // no heap traffic per value.
    mp_limb_t limbs_[1];
    mpfr_t value_;
};

// Ordered comparisons: false whenever an operand is NaN; +0 == -0.
bool operator<(const Real& a, const Real& b);
bool operator>(const Real& a, const Real& b);
bool operator<=(const Real& a, const Real& b);
bool operator==(const Real& a, const Real& b);

bool IsRepresentable(const Format& format, const Real& value);

// Operations correctly rounded once to `format` in `direction`, with
// overflow, gradual underflow and IEEE 754 signed zeros.
Real Convert(const Format& format, Direction direction, int64_t value);
Real Round(const Format& format, Direction direction, const Real& value);
Real Add(const Format& format, Direction direction, const Real& a, const Real& b);
Real Subtract(const Format& format, Direction direction, const Real& a, const Real& b);
Real Multiply(const Format& format, Direction direction, const Real& a, const Real& b);
Real Divide(const Format& format, Direction direction, const Real& a, const Real& b);
// a * b + c with one rounding.
Real FusedMultiplyAdd(const Format& format, Direction direction, const Real& a, const Real& b,
                      const Real& c);

std::string DoubleToString(double value);

}  // namespace reference
