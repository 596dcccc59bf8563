// SPDX-License-Identifier: MIT (see LICENSE)
//
// IntervalIteration.hpp: a header-only C++ wrapper of IntervalIteration.h for
// C++17 and later.
//
//   namespace ii = intervaliteration;
//   ii::Model model{stateChoiceStart, choiceTransitionStart, transitionTarget,
//                   transitionValues, targetStates, zeroStates};
//   ii::Options options;
//   options.Fpu = ii::HasAvx512() ? ii::Fpu::AVX512 : ii::Fpu::SSE;
//   ii::Result result = ii::Compute(model, options,
//       [](std::string_view text, ii::Severity severity) { ... });
//   ii::Result reward = ii::ComputeExpectedReward(model, choiceRewards, options);
//
// The model is a CSR matrix whose rows are the choices, grouped by state:
// spans of the host's own arrays, which the wrapper neither copies nor keeps.
// Options are a struct with enum classes, the message callback any callable,
// the result a value. The wrapper allocates nothing; an exception thrown by
// the callable is the one thing it stores (see Compute).
//
// Spans: in C++20 Span is std::span. In C++17, which has no std::span, it is
// a minimal view of the same shape, made from a pointer and a size, a C
// array, or a contiguous container (anything with data() and size(), such as
// std::vector and std::array).
#ifndef INTERVAL_ITERATION_HPP
#define INTERVAL_ITERATION_HPP

#include "IntervalIteration.h"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#if defined(__has_include)
#if __has_include(<version>)
#include <version>
#endif
#endif
#if defined(__cpp_lib_span)
#include <span>
#endif

namespace intervaliteration {

#if defined(__cpp_lib_span)
template <class T>
using Span = std::span<T>;
#else
template <class T>
class Span {
public:
    using element_type = T;
    using value_type = std::remove_cv_t<T>;
    using size_type = std::size_t;
    using pointer = T*;
    using reference = T&;
    using iterator = T*;

    constexpr Span() noexcept = default;
    constexpr Span(T* data, std::size_t size) noexcept : Data(data), Size(size) {}
    template <std::size_t N>
    constexpr Span(T (&array)[N]) noexcept : Data(array), Size(N) {}
    // A contiguous container whose elements convert to T without copying
    // (a const span views a const container or a temporary one).
    template <class Container,
              class = std::enable_if_t<
                  !std::is_same_v<std::remove_cv_t<std::remove_reference_t<Container>>, Span> &&
                  std::is_convertible_v<
                      std::remove_pointer_t<decltype(std::declval<Container&>().data())> (*)[],
                      T (*)[]>>>
    constexpr Span(Container&& container) noexcept
        : Data(container.data()), Size(container.size()) {}

    constexpr T* data() const noexcept { return Data; }
    constexpr std::size_t size() const noexcept { return Size; }
    constexpr bool empty() const noexcept { return Size == 0; }
    constexpr T& operator[](std::size_t index) const noexcept { return Data[index]; }
    constexpr T& front() const noexcept { return Data[0]; }
    constexpr T& back() const noexcept { return Data[Size - 1]; }
    constexpr Span first(std::size_t count) const noexcept { return Span(Data, count); }
    constexpr T* begin() const noexcept { return Data; }
    constexpr T* end() const noexcept { return Data + Size; }

private:
    T* Data = nullptr;
    std::size_t Size = 0;
};
#endif

// The option values, as in IntervalIteration.h.
enum class Fpu : std::uint8_t {
    Default = FpuDefault,  // the portable floating-point environment
    X87 = FpuX87,
    SSE = FpuSSE,
    AVX512 = FpuAVX512  // only when HasAvx512()
};
enum class Precision : std::uint8_t {
    Double = PrecisionDouble,
    Extended = PrecisionExtended,  // x87 only
    Single = PrecisionSingle
};
enum class Rounding : std::uint8_t {
    Default = RoundingDefault,  // the caller's direction: no guarantee
    Safe = RoundingSafe         // outward: the bounds hold
};
enum class Severity : std::uint8_t {
    Error = SeverityError,
    Warning = SeverityWarning,
    Information = SeverityInformation
};
enum class Status : std::int32_t {
    Converged = IterationStatusConverged,
    Stopped = IterationStatusStopped,        // iteration limit or abort flag
    FixedPoint = IterationStatusFixedPoint,  // no bound changed, still apart
    Error = IterationStatusError             // refused; see the error message
};

// An MDP as a CSR matrix whose rows are the choices: the choices of state s
// are rows StateChoiceStart[s] up to StateChoiceStart[s + 1]; the entries of
// row c are ChoiceTransitionStart[c] up to ChoiceTransitionStart[c + 1], with
// their columns (successor states) in TransitionTarget and their values in
// TransitionValues. The state count is StateChoiceStart.size() - 1.
struct Model {
    Span<const std::uint64_t> StateChoiceStart;       // n + 1 row-group offsets
    Span<const std::uint64_t> ChoiceTransitionStart;  // C + 1 row offsets
    Span<const std::uint64_t> TransitionTarget;       // T column indices
    Span<const TransitionValue> TransitionValues;     // T probabilities
    Span<const StateBitset> TargetStates;             // BitsetWords(n) words
    Span<const StateBitset> ZeroStates;               // BitsetWords(n) words, or empty
};

// A probability given exactly as a fraction (divided in the working
// precision, outward under safe rounding), and one that binary64 holds
// exactly (0.5, 0.25: a stored value, taken as it is). A denominator of 0
// is no fraction (the record would read it as a stored value with the
// numerator's bits): it gives a stored NaN, which the library refuses with
// Status::Error and an error naming the transition, like a negative value.
inline TransitionValue Fraction(std::int64_t numerator, std::int64_t denominator) noexcept {
    TransitionValue value{};
    if (denominator == 0) {
        value.Value = std::nan("");
        return value;
    }
    value.Numerator = numerator;
    value.Denominator = denominator;
    return value;
}
inline TransitionValue Stored(double probability) noexcept {
    TransitionValue value{};
    value.Value = probability;
    value.Denominator = 0;
    return value;
}

// The words of a state set of n states, and the insertion of a state.
constexpr std::size_t BitsetWords(std::uint64_t stateCount) noexcept {
    return static_cast<std::size_t>(stateCount / 64 + (stateCount % 64 != 0));
}
inline void AddState(Span<StateBitset> set, std::uint64_t state) noexcept {
    set[static_cast<std::size_t>(state / 64)] |= StateBitset{1} << (state % 64);
}

struct Options {
    double Epsilon = 1e-6;          // half-width of the interval (relative with Relative)
    std::int32_t MaxIterations = 0; // 0: no limit
    bool Maximize = true;           // false: the minimum over the choices
    bool Relative = false;
    bool WarnOnAbort = false;
    bool ReturnBoundsOnFailure = false;  // Status::Stopped with the bounds reached
    intervaliteration::Fpu Fpu = intervaliteration::Fpu::SSE;
    intervaliteration::Precision Precision = intervaliteration::Precision::Double;
    intervaliteration::Rounding Rounding = intervaliteration::Rounding::Safe;
    bool Sequential = false;             // two bound vectors; false: lower/upper pairs
    bool SilenceValueWarnings = false;   // no warnings about values above 1 or crossed bounds
};

struct Result {
    double Lower = 0;  // NaN when refused or stopped (unless ReturnBoundsOnFailure)
    double Upper = 0;
    intervaliteration::Status Status = intervaliteration::Status::Error;
    std::int64_t Iterations = 0;
    double AchievedPrecision = 0;
    bool Warned = false;  // a value above 1 was clamped (or SilenceValueWarnings)
};

inline bool HasAvx512() noexcept { return (GetNativeSupportMask() & 2) != 0; }

inline std::string_view ToString(intervaliteration::Fpu value) noexcept {
    return FpuToString(static_cast<std::uint8_t>(value));
}
inline std::string_view ToString(intervaliteration::Precision value) noexcept {
    return PrecisionToString(static_cast<std::uint8_t>(value));
}
inline std::string_view ToString(intervaliteration::Rounding value) noexcept {
    return RoundingToString(static_cast<std::uint8_t>(value));
}

// The C records, for hosts that call IntervalIteration themselves. The
// record points into the spans' arrays.
inline SparseMdp ToSparseMdp(const Model& model) noexcept {
    SparseMdp record{};
    record.IsRational = 1;
    record.StateCount = model.StateChoiceStart.empty() ? 0 : model.StateChoiceStart.size() - 1;
    record.ZeroStates = model.ZeroStates.empty() ? nullptr : model.ZeroStates.data();
    record.TargetStates = model.TargetStates.data();
    record.StateChoiceStart = model.StateChoiceStart.data();
    record.ChoiceCount = model.StateChoiceStart.empty() ? 0 : model.StateChoiceStart.back();
    record.ChoiceTransitionStart = model.ChoiceTransitionStart.data();
    record.TransitionCount = model.TransitionTarget.size();
    record.TransitionTarget = model.TransitionTarget.data();
    record.TransitionValues = model.TransitionValues.data();
    return record;
}

inline IterationOptions ToIterationOptions(const Options& options) noexcept {
    IterationOptions record{};
    record.Epsilon = options.Epsilon;
    record.MaxIterations = options.MaxIterations;
    record.Maximize = options.Maximize;
    record.Relative = options.Relative;
    record.WarnOnAbort = options.WarnOnAbort;
    record.ReturnBoundsOnFailure = options.ReturnBoundsOnFailure;
    record.Fpu = static_cast<std::uint8_t>(options.Fpu);
    record.Precision = static_cast<std::uint8_t>(options.Precision);
    record.Rounding = static_cast<std::uint8_t>(options.Rounding);
    record.Sequential = options.Sequential;
    return record;
}

// The library takes the lengths of the host's arrays on trust; the spans
// know them. Writes why the spans do not fit together into text and returns
// false, or returns true.
inline bool CheckLengths(const Model& model, char* text, std::size_t size) noexcept {
    const std::size_t states = model.StateChoiceStart.empty() ? 0 : model.StateChoiceStart.size() - 1;
    const std::size_t words = BitsetWords(states);
    if (states == 0) {
        std::snprintf(text, size, "The model is malformed: StateChoiceStart needs one entry per "
                                  "state and one more, and has %zu.", model.StateChoiceStart.size());
    } else if (model.TargetStates.size() < words) {
        std::snprintf(text, size, "The model is malformed: %zu states need %zu words in "
                                  "TargetStates, which has %zu.", states, words,
                      model.TargetStates.size());
    } else if (!model.ZeroStates.empty() && model.ZeroStates.size() < words) {
        std::snprintf(text, size, "The model is malformed: %zu states need %zu words in "
                                  "ZeroStates, which has %zu.", states, words,
                      model.ZeroStates.size());
    } else if (model.StateChoiceStart.back() >= model.ChoiceTransitionStart.size()) {
        std::snprintf(text, size, "The model is malformed: StateChoiceStart ends at choice %llu, "
                                  "but ChoiceTransitionStart has %zu entries.",
                      static_cast<unsigned long long>(model.StateChoiceStart.back()),
                      model.ChoiceTransitionStart.size());
    } else if (model.TransitionValues.size() != model.TransitionTarget.size()) {
        std::snprintf(text, size, "The model is malformed: %zu transition targets, but %zu "
                                  "transition values.", model.TransitionTarget.size(),
                      model.TransitionValues.size());
    } else {
        return true;
    }
    return false;
}

namespace detail {

// The library's callback has no context pointer; it is called on the
// caller's thread during the call, so the callable of the innermost running
// Compute of this thread is found here.
struct Receiver {
    void* Callable;
    void (*Deliver)(void* callable, std::string_view text, Severity severity);
    std::exception_ptr Failure;
};
inline thread_local Receiver* CurrentReceiver = nullptr;

inline void Forward(std::uint64_t, const char* text, std::uint64_t severity) noexcept {
    Receiver* receiver = CurrentReceiver;
    if (receiver == nullptr || receiver->Failure) return;
#if defined(__cpp_exceptions)
    try {
        receiver->Deliver(receiver->Callable, text, static_cast<Severity>(severity));
    } catch (...) {
        receiver->Failure = std::current_exception();
    }
#else
    receiver->Deliver(receiver->Callable, text, static_cast<Severity>(severity));
#endif
}

inline Result Refused() noexcept {
    const double nan = std::nan("");
    return Result{nan, nan, Status::Error, 0, 0, false};
}

// One call of the library through call(record, options, iterations,
// achieved, warned, callback, abort), with the messages forwarded to
// onMessage (see Compute).
template <class OnMessage, class Call>
Result Run(const Model& model, const Options& options, OnMessage& onMessage,
           const std::atomic<std::int32_t>* abort, Call call) {
    static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t) &&
                      std::atomic<std::int32_t>::is_always_lock_free,
                  "the library polls the abort flag as a plain 32-bit integer");
    using Callable = std::remove_reference_t<OnMessage>;
    detail::Receiver receiver{
        const_cast<void*>(static_cast<const volatile void*>(std::addressof(onMessage))),
        [](void* callable, std::string_view text, Severity severity) {
            (*static_cast<Callable*>(callable))(text, severity);
        },
        {}};
    struct Scope {
        detail::Receiver* Outer;
        explicit Scope(detail::Receiver* inner) noexcept : Outer(detail::CurrentReceiver) {
            detail::CurrentReceiver = inner;
        }
        ~Scope() { detail::CurrentReceiver = Outer; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
    };

    Result result = detail::Refused();
    {
        const Scope scope(&receiver);
        char text[192];
        if (!CheckLengths(model, text, sizeof text)) {
            detail::Forward(0, text, SeverityError);
        } else {
            const SparseMdp record = ToSparseMdp(model);
            const IterationOptions optionsRecord = ToIterationOptions(options);
            const std::int32_t never = 0;
            std::int32_t warned = options.SilenceValueWarnings ? 1 : 0;
            std::int64_t iterations = 0;
            double achieved = 0;
            const IterationResult answer = call(
                &record, &optionsRecord, &iterations, &achieved, &warned, detail::Forward,
                abort != nullptr ? reinterpret_cast<const std::int32_t*>(abort) : &never);
            result = Result{answer.Lower, answer.Upper, static_cast<Status>(answer.Status),
                            iterations, achieved, warned != 0};
        }
    }
#if defined(__cpp_exceptions)
    if (receiver.Failure) std::rethrow_exception(receiver.Failure);
#endif
    return result;
}

}  // namespace detail

// Bounds on the minimal or maximal probability of reaching TargetStates from
// state 0. onMessage(std::string_view text, Severity severity) receives every
// message, on this thread, during the call; the text is valid only while it
// runs and may carry the placeholder "{0}" for the property's name; it runs
// with the floating-point state of that point of the call in force (under
// safe rounding a direction the library set) and must not change it. Spans
// that do not fit together are refused like a malformed model: one error
// message and Status::Error. abort, when given, stops the run with
// Status::Stopped once another thread sets it to nonzero. When the callable
// throws, the call runs to its end without further messages (the library's
// floating-point state is restored as always) and the exception is rethrown.
template <class OnMessage,
          std::enable_if_t<std::is_invocable_v<OnMessage&, std::string_view, Severity>, int> = 0>
Result Compute(const Model& model, const Options& options, OnMessage&& onMessage,
               const std::atomic<std::int32_t>* abort = nullptr) {
    return detail::Run(model, options, onMessage, abort, IntervalIteration);
}

// The same, with the messages left unread.
inline Result Compute(const Model& model, const Options& options,
                      const std::atomic<std::int32_t>* abort = nullptr) {
    return Compute(model, options, [](std::string_view, Severity) {}, abort);
}

// Bounds on the minimal or maximal expected total reward earned from state 0
// until TargetStates is reached (ExpectedRewardIteration): choiceRewards
// holds one reward per choice of the model, in the order of its choices,
// each a finite value >= 0 made with Fraction or Stored (the state's own
// reward plus the choice's expected transition reward). The host has
// removed the states whose expected reward is infinite and, for a minimum,
// collapsed the end components that earn nothing (see IntervalIteration.h).
// Until the library certifies an upper bound, Upper is +inf; an
// Information message says when it does. A count of rewards other than the
// model's number of choices, and a reward that is negative, NaN or infinite,
// are refused with Status::Error. Messages, abort and exceptions as for
// Compute.
template <class OnMessage,
          std::enable_if_t<std::is_invocable_v<OnMessage&, std::string_view, Severity>, int> = 0>
Result ComputeExpectedReward(const Model& model, Span<const TransitionValue> choiceRewards,
                             const Options& options, OnMessage&& onMessage,
                             const std::atomic<std::int32_t>* abort = nullptr) {
    const SparseRewards rewards{choiceRewards.data(), choiceRewards.size()};
    return detail::Run(model, options, onMessage, abort,
                       [&rewards](const SparseMdp* record, const IterationOptions* optionsRecord,
                                  std::int64_t* iterations, double* achieved,
                                  std::int32_t* warned, MessageCallback callback,
                                  const std::int32_t* abortFlag) {
                           return ExpectedRewardIteration(record, &rewards, optionsRecord,
                                                          iterations, achieved, warned, callback,
                                                          abortFlag);
                       });
}

// The same, with the messages left unread.
inline Result ComputeExpectedReward(const Model& model, Span<const TransitionValue> choiceRewards,
                                    const Options& options,
                                    const std::atomic<std::int32_t>* abort = nullptr) {
    return ComputeExpectedReward(model, choiceRewards, options,
                                 [](std::string_view, Severity) {}, abort);
}

}  // namespace intervaliteration

#endif  // INTERVAL_ITERATION_HPP
