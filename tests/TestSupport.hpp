// Shared test helpers: building models, calling the library with captured
// messages, and the table of the sixteen variants.
#pragma once

#include "IntervalIteration.h"

#include <cfenv>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace test {

// One transition as a test writes it: a fraction, or a stored binary64.
struct Transition {
    uint64_t Target;
    int64_t Numerator;    // the bits of the double when Denominator is 0
    int64_t Denominator;
};

inline Transition Fraction(uint64_t target, int64_t numerator, int64_t denominator) {
    return {target, numerator, denominator};
}

inline Transition Stored(uint64_t target, double probability) {
    int64_t bits;
    std::memcpy(&bits, &probability, sizeof bits);
    return {target, bits, 0};
}

using Choice = std::vector<Transition>;
using StateChoices = std::vector<Choice>;

// A model in the library's layout, owning its arrays.
struct Model {
    std::vector<uint64_t> TargetWords;
    std::vector<uint64_t> ZeroWords;
    bool HasZeroStates = true;
    std::vector<uint64_t> StateChoiceStart;
    std::vector<uint64_t> ChoiceTransitionStart;
    std::vector<uint64_t> TransitionTarget;
    std::vector<TransitionValue> TransitionValues;
    uint32_t IsRational = 1;

    uint64_t StateCount() const { return StateChoiceStart.size() - 1; }

    // The record handed to the library; valid while this Model lives and is
    // not changed.
    SparseMdp Mdp() const {
        SparseMdp mdp;
        std::memset(&mdp, 0, sizeof mdp);
        mdp.IsRational = IsRational;
        mdp.StateCount = StateCount();
        mdp.ZeroStates = HasZeroStates ? ZeroWords.data() : nullptr;
        mdp.TargetStates = TargetWords.data();
        mdp.StateChoiceStart = StateChoiceStart.data();
        mdp.ChoiceCount = ChoiceTransitionStart.size() - 1;
        mdp.ChoiceTransitionStart = ChoiceTransitionStart.data();
        mdp.TransitionCount = TransitionTarget.size();
        mdp.TransitionTarget = TransitionTarget.data();
        mdp.TransitionValues = TransitionValues.data();
        return mdp;
    }
};

// states[s] lists the choices of state s. Targets and zero states are sets
// of state indices; zeroStatesNull passes a null ZeroStates pointer.
inline Model MakeModel(const std::vector<StateChoices>& states,
                       const std::set<uint64_t>& targets,
                       const std::set<uint64_t>& zeros = {}, bool zeroStatesNull = false) {
    Model model;
    const uint64_t n = states.size();
    const uint64_t words = (n + 63) / 64 + 1;  // one spare word, always readable
    model.TargetWords.assign(words, 0);
    model.ZeroWords.assign(words, 0);
    for (uint64_t s : targets) {
        model.TargetWords[s / 64] |= uint64_t{1} << (s % 64);
    }
    for (uint64_t s : zeros) {
        model.ZeroWords[s / 64] |= uint64_t{1} << (s % 64);
    }
    model.HasZeroStates = !zeroStatesNull;
    for (const StateChoices& choices : states) {
        model.StateChoiceStart.push_back(model.ChoiceTransitionStart.size());
        for (const Choice& choice : choices) {
            model.ChoiceTransitionStart.push_back(model.TransitionTarget.size());
            for (const Transition& t : choice) {
                model.TransitionTarget.push_back(t.Target);
                TransitionValue value;
                value.Numerator = t.Numerator;
                value.Denominator = t.Denominator;
                model.TransitionValues.push_back(value);
            }
        }
    }
    model.StateChoiceStart.push_back(model.ChoiceTransitionStart.size());
    model.ChoiceTransitionStart.push_back(model.TransitionTarget.size());
    return model;
}

struct Message {
    uint64_t Severity;
    std::string Text;
    bool operator==(const Message&) const = default;
};

inline void PrintTo(const Message& message, std::ostream* out) {
    *out << "{" << message.Severity << ", \"" << message.Text << "\"}";
}

// Everything one call reports.
struct Call {
    IterationResult Result;
    int64_t IterationCount;
    double AchievedPrecision;
    int32_t WarnedFlag;
    std::vector<Message> Messages;
};

inline thread_local std::vector<Message>* MessageSink = nullptr;

inline void CaptureMessage(uint64_t context, const char* text, uint64_t severity) {
    if (context != 0) {
        MessageSink->push_back({99, "nonzero context argument"});
    }
    MessageSink->push_back({severity, text});
}

// Values the output locations hold before a call, so that a test sees
// whether the library wrote them.
constexpr int64_t kUntouchedCount = -777;
constexpr double kUntouchedPrecision = -555.0;

// The exported entry point, or an internal one with the same arguments.
using EntryFunction = IterationResult (*)(const SparseMdp*, const IterationOptions*, int64_t*,
                                          double*, int32_t*, MessageCallback, const int32_t*);

inline Call RunWith(EntryFunction entry, const Model& model, const IterationOptions& options,
                    int32_t warnedFlag = 0, int32_t abortFlag = 0) {
    Call call;
    call.IterationCount = kUntouchedCount;
    call.AchievedPrecision = kUntouchedPrecision;
    call.WarnedFlag = warnedFlag;
    MessageSink = &call.Messages;
    const SparseMdp mdp = model.Mdp();
    call.Result = entry(&mdp, &options, &call.IterationCount, &call.AchievedPrecision,
                        &call.WarnedFlag, CaptureMessage, &abortFlag);
    MessageSink = nullptr;
    return call;
}

inline Call Run(const Model& model, const IterationOptions& options, int32_t warnedFlag = 0,
                int32_t abortFlag = 0) {
    return RunWith(IntervalIteration, model, options, warnedFlag, abortFlag);
}

inline uint64_t Bits(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

constexpr uint64_t kQuietNanBits = 0x7FF8000000000000ULL;

// The calling thread's floating-point control registers, read and written
// directly (MXCSR, the x87 control and status words).
inline uint32_t ReadMxcsr() {
    uint32_t value;
    asm volatile("stmxcsr %0" : "=m"(value));
    return value;
}
inline void WriteMxcsr(uint32_t value) { asm volatile("ldmxcsr %0" : : "m"(value)); }
inline uint16_t ReadControlWord() {
    uint16_t value;
    asm volatile("fnstcw %0" : "=m"(value));
    return value;
}
inline void WriteControlWord(uint16_t value) { asm volatile("fldcw %0" : : "m"(value)); }
inline uint16_t ReadStatusWord() {
    uint16_t value;
    asm volatile("fnstsw %0" : "=m"(value));
    return value;
}

// operation(arguments...) evaluated with the given rounding direction in
// force, then round-to-nearest again. Compilers do not model the direction:
// the pins make the arguments new values after the switch and the result
// complete before the switch back, so nothing is moved or merged across.
template <class T>
inline void PinValue(T& value) {
    asm volatile("" : "+x"(value) : : "memory");
}

template <class Operation, class... Arguments>
auto InDirection(int direction, Operation operation, Arguments... arguments) {
    std::fesetround(direction);
    (PinValue(arguments), ...);
    auto result = operation(arguments...);
    PinValue(result);
    std::fesetround(FE_TONEAREST);
    return result;
}

// The sixteen numeric variants.
struct Variant {
    uint8_t Precision;
    uint8_t Rounding;
    uint8_t Fpu;
    const char* Name;
};

inline const std::vector<Variant>& AllVariants() {
    static const std::vector<Variant> variants = {
        {PrecisionDouble, RoundingDefault, FpuDefault, "DoubleDefaultDefault"},
        {PrecisionSingle, RoundingDefault, FpuDefault, "SingleDefaultDefault"},
        {PrecisionDouble, RoundingDefault, FpuSSE, "DoubleDefaultSSE"},
        {PrecisionSingle, RoundingDefault, FpuSSE, "SingleDefaultSSE"},
        {PrecisionDouble, RoundingDefault, FpuX87, "DoubleDefaultX87"},
        {PrecisionSingle, RoundingDefault, FpuX87, "SingleDefaultX87"},
        {PrecisionExtended, RoundingDefault, FpuX87, "ExtendedDefaultX87"},
        {PrecisionDouble, RoundingDefault, FpuAVX512, "DoubleDefaultAVX512"},
        {PrecisionDouble, RoundingSafe, FpuDefault, "DoubleSafeDefault"},
        {PrecisionSingle, RoundingSafe, FpuDefault, "SingleSafeDefault"},
        {PrecisionDouble, RoundingSafe, FpuSSE, "DoubleSafeSSE"},
        {PrecisionSingle, RoundingSafe, FpuSSE, "SingleSafeSSE"},
        {PrecisionDouble, RoundingSafe, FpuX87, "DoubleSafeX87"},
        {PrecisionSingle, RoundingSafe, FpuX87, "SingleSafeX87"},
        {PrecisionExtended, RoundingSafe, FpuX87, "ExtendedSafeX87"},
        {PrecisionDouble, RoundingSafe, FpuAVX512, "DoubleSafeAVX512"},
    };
    return variants;
}

// The variants this build computes; the others are refused with status 3.
// Kept in step with the library's dispatch (the dispatch test checks it).
inline bool Computes(const Variant&) { return true; }

// AVX-512 variants run only on processors with AVX512F and AVX512DQ.
inline bool Runnable(const Variant& variant) {
    return variant.Fpu != FpuAVX512 || (GetNativeSupportMask() & 2) != 0;
}

inline std::vector<Variant> ComputingVariants() {
    std::vector<Variant> result;
    for (const Variant& variant : AllVariants()) {
        if (Computes(variant) && Runnable(variant)) {
            result.push_back(variant);
        }
    }
    return result;
}

inline IterationOptions MakeOptions(const Variant& variant, bool sequential, double epsilon = 1e-6,
                                    bool maximize = true) {
    IterationOptions options;
    std::memset(&options, 0, sizeof options);
    options.Epsilon = epsilon;
    options.Maximize = maximize ? 1 : 0;
    options.Fpu = variant.Fpu;
    options.Precision = variant.Precision;
    options.Rounding = variant.Rounding;
    options.Sequential = sequential ? 1 : 0;
    return options;
}

}  // namespace test
