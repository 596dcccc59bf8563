// The C++ wrapper (IntervalIteration.hpp), built once as C++17 (its own
// span) and once as C++20 (std::span): spans that do not fit together are
// refused before the library reads outside them, every option reaches the
// library, and the callable receives the messages of its own call only.
#include "IntervalIteration.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ii = intervaliteration;

namespace {

struct Message {
    ii::Severity Severity;
    std::string Text;
};

struct Outcome {
    ii::Result Result;
    std::vector<Message> Messages;
};

Outcome Collect(const ii::Model& model, const ii::Options& options) {
    Outcome run;
    run.Result = ii::Compute(model, options, [&](std::string_view text, ii::Severity severity) {
        run.Messages.push_back({severity, std::string(text)});
    });
    return run;
}

// A chain 0 -> 1 -> ... -> 69 with probability 1 and 69 the target: its
// sets take two words, so a bit in the second word decides the answer.
struct Chain {
    std::vector<std::uint64_t> StateChoiceStart, ChoiceTransitionStart, TransitionTarget;
    std::vector<TransitionValue> TransitionValues;
    std::vector<StateBitset> Target = std::vector<StateBitset>(ii::BitsetWords(70));
    std::vector<StateBitset> Zero = std::vector<StateBitset>(ii::BitsetWords(70));

    Chain() {
        for (std::uint64_t s = 0; s < 70; ++s) {
            StateChoiceStart.push_back(s < 69 ? s : 69);
            if (s < 69) {
                ChoiceTransitionStart.push_back(s);
                TransitionTarget.push_back(s + 1);
                TransitionValues.push_back(ii::Stored(1));
            }
        }
        StateChoiceStart.push_back(69);
        ChoiceTransitionStart.push_back(69);
        ii::AddState(Target, 69);
    }
    ii::Model View() const {
        return {StateChoiceStart, ChoiceTransitionStart, TransitionTarget, TransitionValues,
                Target, Zero};
    }
};

TEST(Wrapper, SpansThatDoNotFitTogetherAreRefusedBeforeTheCall) {
    const Chain chain;
    struct Case {
        const char* Name;
        std::function<void(ii::Model&)> Break;
        const char* Complaint;
    };
    const std::vector<Case> cases = {
        {"no StateChoiceStart", [](ii::Model& m) { m.StateChoiceStart = {}; }, "StateChoiceStart needs"},
        {"TargetStates short", [](ii::Model& m) { m.TargetStates = m.TargetStates.first(1); }, "70 states need 2 words in TargetStates, which has 1."},
        {"ZeroStates short", [](ii::Model& m) { m.ZeroStates = m.ZeroStates.first(1); }, "2 words in ZeroStates, which has 1."},
        {"ChoiceTransitionStart short", [](ii::Model& m) { m.ChoiceTransitionStart = m.ChoiceTransitionStart.first(69); }, "ends at choice 69, but ChoiceTransitionStart has 69"},
        {"TransitionValues short", [](ii::Model& m) { m.TransitionValues = m.TransitionValues.first(68); }, "69 transition targets, but 68"},
    };
    const Outcome intact = Collect(chain.View(), ii::Options{});
    ASSERT_EQ(intact.Result.Status, ii::Status::Converged);
    EXPECT_EQ(intact.Result.Lower, 1.0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ii::Model model = chain.View();
        c.Break(model);
        const Outcome run = Collect(model, ii::Options{});
        EXPECT_EQ(run.Result.Status, ii::Status::Error);
        EXPECT_TRUE(std::isnan(run.Result.Lower) && std::isnan(run.Result.Upper));
        // One error and nothing else: the library, which announces every
        // call, was not called.
        ASSERT_EQ(run.Messages.size(), 1u);
        EXPECT_EQ(run.Messages[0].Severity, ii::Severity::Error);
        EXPECT_NE(run.Messages[0].Text.find(c.Complaint), std::string::npos) << run.Messages[0].Text;
    }
}

// Values that are not probabilities, a zero denominator among them (which
// the record alone would read as the stored value with the numerator's
// bits), are refused with Status::Error and an error naming the transition.
TEST(Wrapper, ValuesThatAreNotProbabilitiesAreRefused) {
    for (const TransitionValue value : {ii::Fraction(1, 0), ii::Stored(-0.5), ii::Fraction(-1, 2)}) {
        Chain chain;
        chain.TransitionValues[5] = value;
        const Outcome run = Collect(chain.View(), ii::Options{});
        EXPECT_EQ(run.Result.Status, ii::Status::Error);
        ASSERT_FALSE(run.Messages.empty());
        EXPECT_EQ(run.Messages.back().Severity, ii::Severity::Error);
        EXPECT_NE(run.Messages.back().Text.find("The model is malformed: transition 5 has "), std::string::npos)
            << run.Messages.back().Text;
    }
}

// iicheck's bundled model as iicheck hands it to the library: maximum 10/21,
// minimum over the same choices 19/60.
struct Bundled {
    std::vector<std::uint64_t> StateChoiceStart = {0, 1, 3, 4, 6, 7, 7, 7};
    std::vector<std::uint64_t> ChoiceTransitionStart = {0, 2, 4, 6, 8, 10, 11, 14};
    std::vector<std::uint64_t> TransitionTarget = {1, 3, 5, 6, 2, 6, 5, 1, 5, 4, 4, 3, 5, 6};
    std::vector<TransitionValue> TransitionValues = {
        ii::Fraction(1, 3),  ii::Fraction(2, 3),  ii::Fraction(1, 5), ii::Fraction(4, 5),
        ii::Fraction(2, 3),  ii::Fraction(1, 3),  ii::Stored(0.5),    ii::Stored(0.5),
        ii::Fraction(1, 10), ii::Fraction(9, 10), ii::Stored(1),      ii::Fraction(1, 3),
        ii::Stored(0.25),    ii::Fraction(5, 12)};
    StateBitset Target[1] = {StateBitset{1} << 5};
    StateBitset Zero[1] = {StateBitset{1} << 6};

    ii::Model View() const {
        return {StateChoiceStart, ChoiceTransitionStart, TransitionTarget, TransitionValues,
                Target, Zero};
    }
};

// lower <= numerator / denominator <= upper, exactly: a double times a
// small integer is exact in the x87's 64-bit significand.
bool Encloses(const ii::Result& result, long double numerator, long double denominator) {
    return static_cast<long double>(result.Lower) * denominator <= numerator &&
           static_cast<long double>(result.Upper) * denominator >= numerator;
}

TEST(Wrapper, EveryOptionReachesTheLibrary) {
    const Bundled bundled;
    struct Case {
        ii::Fpu Fpu;
        ii::Precision Precision;
        ii::Rounding Rounding;
        bool Sequential;
        bool Maximize;
        const char* Announced;
    };
    const std::vector<Case> cases = {
        {ii::Fpu::SSE, ii::Precision::Double, ii::Rounding::Safe, false, true,
         "SSE instruction set for floating-point calculations at double precision with safe rounding in interleaved"},
        {ii::Fpu::X87, ii::Precision::Extended, ii::Rounding::Safe, true, false,
         "x87 instruction set for floating-point calculations at extended precision with safe rounding in sequential"},
        {ii::Fpu::Default, ii::Precision::Single, ii::Rounding::Default, false, true,
         "default instruction set for floating-point calculations at single precision with default rounding in interleaved"},
    };
    for (const Case& c : cases) {
        ii::Options options;
        options.Fpu = c.Fpu;
        options.Precision = c.Precision;
        options.Rounding = c.Rounding;
        options.Sequential = c.Sequential;
        options.Maximize = c.Maximize;
        options.Epsilon = 1e-5;
        const Outcome run = Collect(bundled.View(), options);
        ASSERT_FALSE(run.Messages.empty());
        EXPECT_EQ(run.Messages[0].Severity, ii::Severity::Information);
        EXPECT_NE(run.Messages[0].Text.find(c.Announced), std::string::npos) << run.Messages[0].Text;
        EXPECT_EQ(run.Result.Status, ii::Status::Converged);
        EXPECT_GT(run.Result.Iterations, 0);
        EXPECT_LE(run.Result.AchievedPrecision, 1e-5);
        if (c.Rounding == ii::Rounding::Safe) {
            EXPECT_TRUE(c.Maximize ? Encloses(run.Result, 10, 21) : Encloses(run.Result, 19, 60))
                << run.Result.Lower << " " << run.Result.Upper;
        }
    }

    ii::Options limited;
    limited.MaxIterations = 1;
    limited.ReturnBoundsOnFailure = true;
    const ii::Result stopped = Collect(bundled.View(), limited).Result;
    EXPECT_EQ(stopped.Status, ii::Status::Stopped);
    EXPECT_TRUE(Encloses(stopped, 10, 21));

    const std::atomic<std::int32_t> abort{1};
    EXPECT_EQ(ii::Compute(bundled.View(), ii::Options{}, &abort).Status, ii::Status::Stopped);
}

// Expected rewards through the wrapper: 1/3 on each of the chain's 69
// choices makes exactly 23; a reward span of another length is refused by
// the library, naming both counts.
TEST(Wrapper, ExpectedRewardsReachTheLibrary) {
    const Chain chain;
    std::vector<TransitionValue> rewards(69, ii::Fraction(1, 3));
    std::vector<Message> messages;
    const ii::Result result = ii::ComputeExpectedReward(
        chain.View(), rewards, ii::Options{},
        [&](std::string_view text, ii::Severity severity) {
            messages.push_back({severity, std::string(text)});
        });
    EXPECT_EQ(result.Status, ii::Status::Converged);
    EXPECT_TRUE(Encloses(result, 23, 1)) << result.Lower << " " << result.Upper;
    ASSERT_EQ(messages.size(), 3u);  // the variant, fractions, the certified bound
    EXPECT_NE(messages[2].Text.find("certified an upper bound"), std::string::npos);

    rewards.pop_back();
    const ii::Result refused = ii::ComputeExpectedReward(chain.View(), rewards, ii::Options{});
    EXPECT_EQ(refused.Status, ii::Status::Error);
    EXPECT_TRUE(std::isnan(refused.Upper));
}

TEST(Wrapper, TheCallableHearsItsOwnCallOnlyAndItsExceptionsComeBackAfterIt) {
    const Bundled bundled;
    ii::Options options;
    options.Fpu = ii::Fpu::SSE;  // safe rounding: the library changes the direction

    // A call made from inside the callable has its own messages; the outer
    // callable hears the rest of its own call afterwards.
    std::vector<std::string> outer, inner;
    const ii::Result result = ii::Compute(
        bundled.View(), options, [&](std::string_view text, ii::Severity) {
            outer.emplace_back(text);
            if (outer.size() == 1) {
                ii::Compute(bundled.View(), options, [&](std::string_view innerText, ii::Severity) {
                    inner.emplace_back(innerText);
                });
            }
        });
    EXPECT_EQ(result.Status, ii::Status::Converged);
    EXPECT_EQ(outer, inner);  // the announcement and the warning about fractions
    EXPECT_EQ(outer.size(), 2u);

    // The first message throws: the call runs to its end without further
    // messages, and the exception reaches the caller.
    int heard = 0;
    EXPECT_THROW(ii::Compute(bundled.View(), options,
                             [&](std::string_view, ii::Severity) {
                                 ++heard;
                                 throw std::runtime_error("host failure");
                             }),
                 std::runtime_error);
    EXPECT_EQ(heard, 1);
    // Nothing of the failed call is left behind for the next one.
    EXPECT_EQ(Collect(bundled.View(), options).Messages.size(), 2u);
}

}  // namespace
