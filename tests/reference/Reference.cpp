#include "reference/Reference.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace reference {

namespace text {
const char* const kNotRational =
    "The native interval iteration implementation requires rational probability values, but "
    "received floating-point probability values. This is a bug.";
const char* const kInexactValue =
    "Encountered a probability represented as an inexact floating-point value. The final result "
    "for property \"{0}\" may be affected by floating-point errors despite safe rounding.";
const char* const kUnsupported =
    "Unsupported combination of FPU instruction set and rounding behaviour.";
const char* const kReachedMaximum =
    "Interval iteration for property \"{0}\" reached maximum number of iterations before "
    "convergence.";
const char* const kAborted =
    "Interval iteration for property \"{0}\" was aborted before convergence.";
const char* const kGreaterThanOne =
    "Encountered a value greater than 1 during interval iteration. The final result for "
    "property \"{0}\" is likely affected by floating-point errors.";
const char* const kLowerAboveUpper =
    "A lower bound is greater than an upper bound during interval iteration. The final result "
    "for property \"{0}\" is likely affected by floating-point errors.";
}  // namespace text

namespace {

constexpr uint64_t kFailureNanBits = 0x7FF8000000000000ULL;

double FailureNan() {
    double nan;
    std::memcpy(&nan, &kFailureNanBits, sizeof nan);
    return nan;
}

const char* FpuDisplayName(uint8_t value) {
    switch (value) {
        case 0:
            return "default";
        case 1:
            return "x87";
        case 2:
            return "SSE";
        case 3:
            return "AVX-512";
    }
    return "(invalid value)";
}

const char* PrecisionDisplayName(uint8_t value) {
    switch (value) {
        case 0:
            return "double";
        case 1:
            return "extended";
        case 2:
            return "single";
    }
    return "(invalid value)";
}

const char* RoundingDisplayName(uint8_t value) {
    switch (value) {
        case 0:
            return "default";
        case 1:
            return "safe";
    }
    return "(invalid value)";
}

bool Contains(const StateBitset* set, uint64_t state) {
    return ((set[state / 64] >> (state % 64)) & 1U) != 0;
}

// What a step of the kernel feeds: the lower bound, the upper bound or the
// convergence measure. Safe rounding and the AVX-512 attached directions
// are chosen by it.
enum class Role { Lower, Upper, Measure };

// What a sweep does with a new bound above 1.
enum class Clamp { None, Silent, WithWarning };

// The floating-point unit of one variant: the state the caller leaves, the
// changes the driver and a safe kernel make to it, and the format and
// direction in which each kind of step rounds.
class Unit {
public:
    Unit(const Variant& variant, bool sequential, const CallerFpu& caller)
        : variant_(variant), sequential_(sequential), state_(caller) {}

    // The driver's preparation: the x87 precision control at the width of
    // the stored element. (What the driver saves and restores around the
    // kernel cannot change a result; the harness checks it on the hardware.)
    void PrepareForKernel() {
        if (variant_.Fpu == Isa::X87) {
            state_.X87PrecisionBits = StorageFormat().Precision;
        }
    }

    // Safe kernels of the portable, SSE and x87 back-ends switch a global
    // direction; AVX-512 attaches directions to instructions instead.
    bool SwitchesDirection() const { return variant_.Safe && variant_.Fpu != Isa::AVX512; }
    void SetRoundDown() { SetGlobalDirection(Direction::Downward); }
    void SetRoundUp() { SetGlobalDirection(Direction::Upward); }

    // The interleaved default kernels form each probability once for both
    // bounds; the safe ones form it once per direction.
    bool SharesProbability() const { return !variant_.Safe; }
    bool ChecksNegativeMeasure() const { return variant_.Fpu != Isa::AVX512; }
    Clamp ClampFor(Role role) const {
        if (!variant_.Safe) {
            return Clamp::WithWarning;
        }
        return role == Role::Upper ? Clamp::Silent : Clamp::None;
    }

    // p(t) as the step of `role` forms it.
    Real Probability(const TransitionValue& value, Role role) const {
        if (value.Denominator != 0) {
            if (variant_.Fpu == Isa::X87) {
                // Both integers load exactly; only the division rounds.
                return Divide(WorkFormat(), ArithmeticDirection(role),
                              Real::FromInteger(value.Numerator),
                              Real::FromInteger(value.Denominator));
            }
            const Real numerator = Convert(WorkFormat(), ConversionDirection(), value.Numerator);
            const Real denominator =
                Convert(WorkFormat(), ConversionDirection(), value.Denominator);
            return Divide(WorkFormat(), ArithmeticDirection(role), numerator, denominator);
        }
        const Real stored = Real::FromDoubleBits(static_cast<uint64_t>(value.Numerator));
        if (variant_.Precision == Element::Single) {
            return Round(kBinary32, ConversionDirection(), stored);
        }
        return stored;  // binary64 operand used as it is (widened exactly for x87)
    }

    // sum + p * x: one fused rounding on AVX-512, two roundings elsewhere.
    Real Accumulate(const Real& sum, const Real& probability, const Real& successor,
                    Role role) const {
        const Direction direction = ArithmeticDirection(role);
        if (variant_.Fpu == Isa::AVX512) {
            return FusedMultiplyAdd(WorkFormat(), direction, probability, successor, sum);
        }
        const Real product = Multiply(WorkFormat(), direction, probability, successor);
        return Add(WorkFormat(), direction, sum, product);
    }

    // The value a bound slot receives: x87 rounds the register value to the
    // storage format, under safe rounding down for a lower bound and up for
    // an upper bound (the interleaved kernel ends a state's update with up in
    // force and stores an inexact lower bound again rounding down), under
    // default rounding in the direction in force; elsewhere the working value
    // already is a storage value.
    Real Store(const Real& value, Role role) const {
        if (variant_.Fpu == Isa::X87) {
            const Direction direction = !variant_.Safe        ? InForce()
                                        : role == Role::Lower ? Direction::Downward
                                                              : Direction::Upward;
            return Round(StorageFormat(), direction, value);
        }
        return value;
    }

    Real MeasureDifference(const Real& upper, const Real& lower) const {
        return Subtract(WorkFormat(), ArithmeticDirection(Role::Measure), upper, lower);
    }
    Real MeasureHalve(const Real& difference) const {
        return Multiply(WorkFormat(), ArithmeticDirection(Role::Measure), difference,
                        Real::FromDouble(0.5));
    }
    Real MeasureRelative(const Real& measure, const Real& lower) const {
        return Divide(WorkFormat(), ArithmeticDirection(Role::Measure), measure, lower);
    }

    // AchievedPrecision: x87 stores the register measure as binary64 in the
    // direction in force; single and double values widen exactly.
    double AchievedPrecision(const Real& measure) const {
        if (variant_.Fpu == Isa::X87) {
            return Round(kBinary64, InForce(), measure).ToDouble();
        }
        return measure.ToDouble();
    }

    // Epsilon as the comparison sees it: narrowed to binary32 in single
    // precision (x87: a store to a 4-byte temporary), exact otherwise.
    Real Epsilon(double epsilon) const {
        const Real value = Real::FromDouble(epsilon);
        if (variant_.Precision == Element::Single) {
            return Round(kBinary32, InForce(), value);
        }
        return value;
    }

    // The bounds of state 0 as binary64 result values. Extended precision
    // rounds them; the safe kernel sets down for Lower and up for Upper.
    std::pair<double, double> ResultBounds(const Real& lower, const Real& upper) {
        if (variant_.Precision != Element::Extended) {
            return {lower.ToDouble(), upper.ToDouble()};
        }
        if (variant_.Safe) {
            SetRoundDown();
        }
        const double resultLower = Round(kBinary64, InForce(), lower).ToDouble();
        if (variant_.Safe) {
            SetRoundUp();
        }
        const double resultUpper = Round(kBinary64, InForce(), upper).ToDouble();
        return {resultLower, resultUpper};
    }

private:
    Format StorageFormat() const {
        switch (variant_.Precision) {
            case Element::Single:
                return kBinary32;
            case Element::Double:
                return kBinary64;
            case Element::Extended:
                return kX87Extended;
        }
        throw std::logic_error("unknown element");
    }

    Format WorkFormat() const {
        if (variant_.Fpu == Isa::X87) {
            return X87Register(state_.X87PrecisionBits);
        }
        return StorageFormat();
    }

    // The direction of an operation without an attached direction: the x87
    // control word for x87 code, MXCSR for everything on SSE registers (the
    // portable back-end's float and double arithmetic included).
    Direction InForce() const {
        return variant_.Fpu == Isa::X87 ? state_.X87Rounding : state_.MxcsrRounding;
    }

    // Integer conversions and the narrowing of a stored probability carry no
    // attached direction on any back-end.
    Direction ConversionDirection() const { return InForce(); }

    Direction ArithmeticDirection(Role role) const {
        if (variant_.Fpu != Isa::AVX512) {
            return InForce();
        }
        if (role == Role::Measure) {
            return Direction::Upward;
        }
        if (variant_.Safe) {
            return role == Role::Lower ? Direction::Downward : Direction::Upward;
        }
        // Default rounding: nearest attached in the sequential kernel, no
        // attribute (MXCSR) in the interleaved kernel.
        return sequential_ ? Direction::ToNearest : InForce();
    }

    void SetGlobalDirection(Direction direction) {
        switch (variant_.Fpu) {
            case Isa::Portable:  // fesetround writes both units
                state_.X87Rounding = direction;
                state_.MxcsrRounding = direction;
                break;
            case Isa::SSE:
                state_.MxcsrRounding = direction;
                break;
            case Isa::X87:
                state_.X87Rounding = direction;
                break;
            case Isa::AVX512:
                throw std::logic_error("AVX-512 kernels set no direction");
        }
    }

    Variant variant_;
    bool sequential_;
    CallerFpu state_;
};

// The iteration loop of both layouts with its sweeps, stops and messages.
class Kernel {
public:
    Kernel(const SparseMdp& model, const IterationOptions& options, Unit& unit,
           test::Call& call, int32_t abortFlag, int64_t guard)
        : model_(model), options_(options), unit_(unit), call_(call), abort_(abortFlag),
          guard_(guard) {
        const uint64_t n = model.StateCount;
        lower_.resize(n);
        upper_.resize(n);
        const Real one = Real::FromInteger(1);
        for (uint64_t s = 0; s < n; ++s) {
            if (Contains(model.TargetStates, s)) {
                lower_[s] = one;
                upper_[s] = one;
            } else if (model.ZeroStates != nullptr && Contains(model.ZeroStates, s)) {
                // both stay +0
            } else {
                upper_[s] = one;
            }
        }
    }

    // False when the guard stopped the model before the kernel would stop.
    bool Run() { return options_.Sequential != 0 ? RunSequential() : RunInterleaved(); }

private:
    bool RunSequential() {
        call_.AchievedPrecision = 1.0;
        int64_t k = 0;
        for (;;) {
            ++k;
            call_.IterationCount = k;
            if (LimitReached(k)) {
                return LimitExit();
            }
            if (abort_ != 0) {
                return AbortExit();
            }
            if (guard_ > 0 && k > guard_) {
                return false;
            }
            if (unit_.SwitchesDirection()) {
                unit_.SetRoundDown();
            }
            changed_ = false;
            SequentialSweep(lower_, Role::Lower);
            if (abort_ != 0) {  // the poll between the sweeps
                return AbortExit();
            }
            if (unit_.SwitchesDirection()) {
                unit_.SetRoundUp();
            }
            SequentialSweep(upper_, Role::Upper);
            if (const std::optional<int32_t> status = MeasureAndDecide()) {
                return StopWithBounds(*status);
            }
        }
    }

    bool RunInterleaved() {
        call_.IterationCount = 0;
        call_.AchievedPrecision = 1.0;
        for (;;) {
            if (abort_ != 0) {
                return AbortExit();
            }
            const int64_t k = call_.IterationCount + 1;
            call_.IterationCount = k;
            if (LimitReached(k)) {
                return LimitExit();
            }
            if (guard_ > 0 && k > guard_) {
                return false;
            }
            changed_ = false;
            InterleavedSweep();
            if (const std::optional<int32_t> status = MeasureAndDecide()) {
                return StopWithBounds(*status);
            }
        }
    }

    bool LimitReached(int64_t k) const {
        const int64_t limit = options_.MaxIterations;  // sign-extended
        return limit != 0 && k > limit;
    }

    bool Skipped(uint64_t state) const {
        return Contains(model_.TargetStates, state) ||
               (model_.ZeroStates != nullptr && Contains(model_.ZeroStates, state));
    }

    bool Better(const Real& candidate, const Real& best) const {
        return options_.Maximize != 0 ? candidate > best : candidate < best;
    }

    void ApplyClamp(Real& value, Role role) {
        const Clamp rule = unit_.ClampFor(role);
        if (rule == Clamp::None || !(value > Real::FromInteger(1))) {
            return;
        }
        if (rule == Clamp::WithWarning) {
            if (call_.WarnedFlag == 0) {
                Send(SeverityWarning, text::kGreaterThanOne);
            }
            call_.WarnedFlag = 1;
        }
        value = Real::FromInteger(1);
    }

    Real ChoiceValue(uint64_t choice, const std::vector<Real>& bounds, Role role) const {
        Real sum;  // +0
        for (uint64_t t = model_.ChoiceTransitionStart[choice];
             t < model_.ChoiceTransitionStart[choice + 1]; ++t) {
            const Real p = unit_.Probability(model_.TransitionValues[t], role);
            sum = unit_.Accumulate(sum, p, bounds[model_.TransitionTarget[t]], role);
        }
        return sum;
    }

    // One sweep of the sequential kernel over the vector of `role`, in place.
    void SequentialSweep(std::vector<Real>& bounds, Role role) {
        for (uint64_t i = model_.StateCount; i-- > 0;) {
            if (Skipped(i)) {
                continue;
            }
            const uint64_t first = model_.StateChoiceStart[i];
            const uint64_t end = model_.StateChoiceStart[i + 1];
            Real value = ChoiceValue(first, bounds, role);
            for (uint64_t c = first + 1; c < end; ++c) {
                Real candidate = ChoiceValue(c, bounds, role);
                if (Better(candidate, value)) {
                    value = std::move(candidate);
                }
            }
            ApplyClamp(value, role);
            if (!(value == bounds[i])) {
                changed_ = true;
            }
            bounds[i] = unit_.Store(value, role);
        }
    }

    // One sweep of the interleaved kernel: both bounds of each state at once.
    void InterleavedSweep() {
        for (uint64_t i = model_.StateCount; i-- > 0;) {
            if (Skipped(i)) {
                continue;
            }
            Real bestLower;
            Real bestUpper;
            for (uint64_t c = model_.StateChoiceStart[i]; c < model_.StateChoiceStart[i + 1]; ++c) {
                Real lowerSum;
                Real upperSum;
                for (uint64_t t = model_.ChoiceTransitionStart[c];
                     t < model_.ChoiceTransitionStart[c + 1]; ++t) {
                    const TransitionValue& value = model_.TransitionValues[t];
                    const uint64_t successor = model_.TransitionTarget[t];
                    if (unit_.SharesProbability()) {
                        const Real p = unit_.Probability(value, Role::Lower);
                        lowerSum = unit_.Accumulate(lowerSum, p, lower_[successor], Role::Lower);
                        upperSum = unit_.Accumulate(upperSum, p, upper_[successor], Role::Upper);
                        continue;
                    }
                    if (unit_.SwitchesDirection()) {
                        unit_.SetRoundDown();
                    }
                    const Real pLower = unit_.Probability(value, Role::Lower);
                    lowerSum = unit_.Accumulate(lowerSum, pLower, lower_[successor], Role::Lower);
                    if (unit_.SwitchesDirection()) {
                        unit_.SetRoundUp();
                    }
                    const Real pUpper = unit_.Probability(value, Role::Upper);
                    upperSum = unit_.Accumulate(upperSum, pUpper, upper_[successor], Role::Upper);
                }
                if (c == model_.StateChoiceStart[i]) {
                    bestLower = lowerSum;
                    bestUpper = upperSum;
                } else {
                    if (Better(lowerSum, bestLower)) {
                        bestLower = lowerSum;
                    }
                    if (Better(upperSum, bestUpper)) {
                        bestUpper = upperSum;
                    }
                }
            }
            ApplyClamp(bestLower, Role::Lower);
            ApplyClamp(bestUpper, Role::Upper);
            if (!(bestLower == lower_[i]) || !(bestUpper == upper_[i])) {
                changed_ = true;
            }
            lower_[i] = unit_.Store(bestLower, Role::Lower);
            upper_[i] = unit_.Store(bestUpper, Role::Upper);
        }
    }

    // The measure of state 0, AchievedPrecision and the stop decision; a
    // status when the loop stops.
    std::optional<int32_t> MeasureAndDecide() {
        const Real& lower = lower_[0];
        const Real& upper = upper_[0];
        const Real zero;
        if (unit_.SwitchesDirection()) {
            unit_.SetRoundUp();
        }
        Real measure = unit_.MeasureHalve(unit_.MeasureDifference(upper, lower));
        bool relativeStep = true;
        if (unit_.ChecksNegativeMeasure() && measure < zero) {
            if (call_.WarnedFlag == 0) {
                Send(SeverityWarning, text::kLowerAboveUpper);
            }
            measure = zero;
            relativeStep = false;
        }
        // Relative to a lower bound that is not positive (-0 included): +infinity.
        if (relativeStep && options_.Relative != 0 && upper > zero) {
            measure = lower <= zero ? Real::FromDouble(std::numeric_limits<double>::infinity())
                                    : unit_.MeasureRelative(measure, lower);
        }
        call_.AchievedPrecision = unit_.AchievedPrecision(measure);
        if (unit_.SwitchesDirection()) {
            unit_.SetRoundDown();
        }
        if (measure <= unit_.Epsilon(options_.Epsilon)) {
            return IterationStatusConverged;
        }
        if (!changed_) {
            return IterationStatusFixedPoint;
        }
        return std::nullopt;
    }

    bool StopWithBounds(int32_t status) {
        const auto [lower, upper] = unit_.ResultBounds(lower_[0], upper_[0]);
        call_.Result.Lower = lower;
        call_.Result.Upper = upper;
        call_.Result.Status = status;
        return true;
    }

    bool LimitExit() {
        Send(SeverityWarning, text::kReachedMaximum);
        return FailureExit();
    }

    bool AbortExit() {
        if (options_.WarnOnAbort != 0) {
            Send(SeverityWarning, text::kAborted);
        }
        return FailureExit();
    }

    bool FailureExit() {
        if (options_.ReturnBoundsOnFailure != 0) {
            return StopWithBounds(IterationStatusStopped);
        }
        call_.Result.Lower = FailureNan();
        call_.Result.Upper = FailureNan();
        call_.Result.Status = IterationStatusStopped;
        return true;
    }

    void Send(Severity severity, const char* message) {
        call_.Messages.push_back({static_cast<uint64_t>(severity), message});
    }

    const SparseMdp& model_;
    const IterationOptions& options_;
    Unit& unit_;
    test::Call& call_;
    const int32_t abort_;
    const int64_t guard_;
    std::vector<Real> lower_;
    std::vector<Real> upper_;
    bool changed_ = false;
};

void SetErrorResult(test::Call& call) {
    call.Result.Lower = FailureNan();
    call.Result.Upper = FailureNan();
    call.Result.Status = IterationStatusError;
}

}  // namespace

std::string Variant::Name() const {
    std::string name;
    switch (Precision) {
        case Element::Single:
            name = "Single";
            break;
        case Element::Double:
            name = "Double";
            break;
        case Element::Extended:
            name = "Extended";
            break;
    }
    name += Safe ? "Safe" : "Default";
    switch (Fpu) {
        case Isa::Portable:
            name += "Default";
            break;
        case Isa::X87:
            name += "X87";
            break;
        case Isa::SSE:
            name += "SSE";
            break;
        case Isa::AVX512:
            name += "AVX512";
            break;
    }
    return name;
}

Variant FromTestVariant(const test::Variant& variant) {
    const std::optional<Variant> result =
        Dispatch(variant.Precision, variant.Rounding, variant.Fpu);
    if (!result) {
        throw std::logic_error(std::string("not a variant: ") + variant.Name);
    }
    return *result;
}

std::optional<Variant> Dispatch(uint8_t precision, uint8_t rounding, uint8_t fpu) {
    const bool safe = rounding != 0;
    if (precision == 1) {
        if (fpu == 1) {
            return Variant{Element::Extended, safe, Isa::X87};
        }
        return std::nullopt;
    }
    const Element element = precision == 2 ? Element::Single : Element::Double;
    switch (fpu) {
        case 0:
            return Variant{element, safe, Isa::Portable};
        case 1:
            return Variant{element, safe, Isa::X87};
        case 2:
            return Variant{element, safe, Isa::SSE};
        case 3:
            if (element == Element::Double) {
                return Variant{element, safe, Isa::AVX512};
            }
            return std::nullopt;
    }
    return std::nullopt;
}

// The refusal of a value the kernels would read that is not a probability
// (NaN, infinite, negative, a fraction with a negative quotient), or "":
// the first such transition in the order of the states and their choices.
std::string NonProbabilityText(const SparseMdp& model) {
    for (uint64_t s = 0; s < model.StateCount; ++s) {
        if (Contains(model.TargetStates, s) || (model.ZeroStates != nullptr && Contains(model.ZeroStates, s))) {
            continue;
        }
        for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
            for (uint64_t t = model.ChoiceTransitionStart[c]; t < model.ChoiceTransitionStart[c + 1]; ++t) {
                const TransitionValue& value = model.TransitionValues[t];
                char text[160];
                if (value.Denominator == 0) {
                    const double stored = value.Value;
                    if (stored >= 0 && stored <= std::numeric_limits<double>::max()) continue;
                    const char* what = std::isnan(stored)                          ? "the value NaN"
                                       : stored == std::numeric_limits<double>::infinity()  ? "the value +inf"
                                       : stored == -std::numeric_limits<double>::infinity() ? "the value -inf"
                                                                                            : "a negative value";
                    std::snprintf(text, sizeof text,
                                  "The model is malformed: transition %" PRIu64 " has %s, which is not a probability.",
                                  t, what);
                } else {
                    if (value.Numerator == 0 || (value.Numerator < 0) == (value.Denominator < 0)) continue;
                    std::snprintf(text, sizeof text,
                                  "The model is malformed: transition %" PRIu64 " has the value %" PRId64
                                  "/%" PRId64 ", which is not a probability.",
                                  t, value.Numerator, value.Denominator);
                }
                return text;
            }
        }
    }
    return "";
}

std::string InformationText(const IterationOptions& options) {
    char buffer[179];
    std::snprintf(buffer, sizeof buffer,
                  "Using the %s instruction set for floating-point calculations at %s precision "
                  "with %s rounding in %s interval iteration.",
                  FpuDisplayName(options.Fpu), PrecisionDisplayName(options.Precision),
                  RoundingDisplayName(options.Rounding),
                  options.Sequential != 0 ? "sequential" : "interleaved");
    return buffer;
}

Outcome Evaluate(const Request& request) {
    Outcome outcome;
    test::Call& call = outcome.Call;
    std::memset(&call.Result, 0, sizeof call.Result);
    call.IterationCount = request.IterationCountBefore;
    call.AchievedPrecision = request.AchievedPrecisionBefore;
    call.WarnedFlag = request.WarnedFlag;

    const SparseMdp& model = *request.Model;
    const IterationOptions& options = *request.Options;

    if (model.IsRational == 0) {
        call.Messages.push_back({SeverityError, text::kNotRational});
        SetErrorResult(call);
        return outcome;
    }
    call.Messages.push_back({SeverityInformation, InformationText(options)});
    if (options.Rounding == 1) {
        for (uint64_t t = 0; t < model.TransitionCount; ++t) {
            if (model.TransitionValues[t].Denominator != 0) {
                call.Messages.push_back({SeverityWarning, text::kInexactValue});
                break;
            }
        }
    }
    outcome.Driver = Dispatch(options.Precision, options.Rounding, options.Fpu);
    if (!outcome.Driver) {
        call.Messages.push_back({SeverityError, text::kUnsupported});
        SetErrorResult(call);
        return outcome;
    }

    const std::string refusal = NonProbabilityText(model);
    if (!refusal.empty()) {
        call.Messages.push_back({SeverityError, refusal});
        SetErrorResult(call);
        return outcome;
    }

    Unit unit(*outcome.Driver, options.Sequential != 0, request.Caller);
    unit.PrepareForKernel();
    Kernel kernel(model, options, unit, call, request.AbortFlag, request.IterationGuard);
    outcome.Unfinished = !kernel.Run();
    return outcome;
}

std::string Describe(const test::Call& call) {
    std::ostringstream out;
    out << "  Lower             " << DoubleToString(call.Result.Lower) << "\n"
        << "  Upper             " << DoubleToString(call.Result.Upper) << "\n"
        << "  Status            " << call.Result.Status << "\n"
        << "  IterationCount    " << call.IterationCount << "\n"
        << "  AchievedPrecision " << DoubleToString(call.AchievedPrecision) << "\n"
        << "  WarnedFlag        " << call.WarnedFlag << "\n"
        << "  Messages (" << call.Messages.size() << ")\n";
    for (const test::Message& message : call.Messages) {
        out << "    [" << message.Severity << "] " << message.Text << "\n";
    }
    return out.str();
}

}  // namespace reference
