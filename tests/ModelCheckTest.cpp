// Malformed models are refused with one error and the error result, after
// the messages a valid call sends, instead of being read out of bounds or
// iterated on values that are not probabilities.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using test::Fraction;
using test::Message;
using test::Stored;

// A valid model: state 0 chooses between the target (state 2) and state 1,
// which moves to the target or back.
test::Model Valid() {
    return test::MakeModel({{{Fraction(2, 1, 2), Fraction(1, 1, 2)}, {Stored(1, 1.0)}},
                            {{Stored(2, 0.5), Stored(0, 0.5)}},
                            {}},
                           {2});
}

struct Fault {
    const char* Name;
    std::function<void(test::Model&, SparseMdp&)> Break;
    std::string Text;
};

TransitionValue Value(double stored) {
    const test::Transition t = Stored(0, stored);
    return {{t.Numerator}, t.Denominator};
}

std::vector<Fault> Faults() {
    return {
        {"no states", [](test::Model&, SparseMdp& m) { m.StateCount = 0; },
         "The model is malformed: it has no states."},
        {"no target set", [](test::Model&, SparseMdp& m) { m.TargetStates = nullptr; },
         "The model is malformed: the set of target states is missing."},
        {"choices end before they start",
         [](test::Model& model, SparseMdp&) { model.StateChoiceStart[2] = 1; },
         "The model is malformed: the choices of state 1 end before they start."},
        {"choice offsets of a target state decrease",
         [](test::Model& model, SparseMdp&) { model.StateChoiceStart[3] = 2; },
         "The model is malformed: the choices of state 2 end before they start."},
        {"transition offsets decrease",
         [](test::Model& model, SparseMdp&) { model.ChoiceTransitionStart[2] = 1; },
         "The model is malformed: the transitions of choice 1 lie outside the 5 transitions."},
        {"transitions beyond TransitionCount",
         [](test::Model&, SparseMdp& m) { m.TransitionCount = 4; },
         "The model is malformed: the transitions of choice 2 lie outside the 4 transitions."},
        {"successor out of range",
         [](test::Model& model, SparseMdp&) { model.TransitionTarget[4] = 3; },
         "The model is malformed: transition 4 leads to state 3, but there are only 3 states."},
        {"successor far out of range",
         [](test::Model& model, SparseMdp&) { model.TransitionTarget[0] = UINT64_MAX; },
         "The model is malformed: transition 0 leads to state 18446744073709551615, but there "
         "are only 3 states."},
        {"swept state without choices",
         [](test::Model& model, SparseMdp&) {
             model.StateChoiceStart[1] = 3;  // state 0 takes state 1's choice
         },
         "The model is malformed: state 1 is neither a target nor a zero state but has no "
         "choices."},
        // Values that are not probabilities: NaN made the kernels loop for
        // ever, the others gave bounds outside [0, 1] as converged.
        {"stored NaN",
         [](test::Model& model, SparseMdp&) {
             model.TransitionValues[3] = Value(std::numeric_limits<double>::quiet_NaN());
         },
         "The model is malformed: transition 3 has the value NaN, which is not a probability."},
        {"stored infinity",
         [](test::Model& model, SparseMdp&) { model.TransitionValues[2] = Value(INFINITY); },
         "The model is malformed: transition 2 has the value +inf, which is not a probability."},
        {"stored negative",
         [](test::Model& model, SparseMdp&) { model.TransitionValues[4] = Value(-0.5); },
         "The model is malformed: transition 4 has a negative value, which is not a probability."},
        {"fraction with a negative quotient",
         [](test::Model& model, SparseMdp&) { model.TransitionValues[1] = {{1}, -2}; },
         "The model is malformed: transition 1 has the value 1/-2, which is not a probability."},
    };
}

TEST(ModelCheck, MalformedModelsAreRefusedAfterTheUsualMessages) {
    for (const Fault& fault : Faults()) {
        for (const test::Variant& variant : test::ComputingVariants()) {
            for (bool sequential : {true, false}) {
                test::Model model = Valid();
                SparseMdp mdp = model.Mdp();
                fault.Break(model, mdp);
                const IterationOptions options = test::MakeOptions(variant, sequential);
                test::Call call;
                call.IterationCount = test::kUntouchedCount;
                call.AchievedPrecision = test::kUntouchedPrecision;
                call.WarnedFlag = 7;
                int32_t abortFlag = 0;
                test::MessageSink = &call.Messages;
                call.Result = IntervalIteration(&mdp, &options, &call.IterationCount,
                                                &call.AchievedPrecision, &call.WarnedFlag,
                                                test::CaptureMessage, &abortFlag);
                test::MessageSink = nullptr;
                const std::string where = std::string(fault.Name) + ", " + variant.Name;
                EXPECT_EQ(call.Result.Status, IterationStatusError) << where;
                EXPECT_EQ(test::Bits(call.Result.Lower), test::kQuietNanBits) << where;
                EXPECT_EQ(test::Bits(call.Result.Upper), test::kQuietNanBits) << where;
                EXPECT_EQ(call.IterationCount, test::kUntouchedCount) << where;
                EXPECT_EQ(call.AchievedPrecision, test::kUntouchedPrecision) << where;
                EXPECT_EQ(call.WarnedFlag, 7) << where;
                // Information, the inexact-value warning under safe rounding,
                // then the error.
                const std::size_t expected = variant.Rounding == RoundingSafe ? 3 : 2;
                ASSERT_EQ(call.Messages.size(), expected) << where;
                EXPECT_EQ(call.Messages.front().Severity, uint64_t{SeverityInformation});
                EXPECT_EQ(call.Messages.back(), (Message{SeverityError, fault.Text})) << where;
            }
        }
    }
}

// What the kernels never read is not checked: choices of target and zero
// states, and a zero state without choices; choices without transitions
// are fine.
TEST(ModelCheck, WhatTheKernelsNeverReadIsNotChecked) {
    test::Model model = test::MakeModel(
        {{{}, {Stored(1, 0.5), Stored(2, 0.5)}}, {{Stored(99, 1.0)}}, {}}, {1}, {2});
    model.ChoiceTransitionStart[3] = 7;  // the target's choice, beyond TransitionCount
    const test::Call call = test::Run(model, test::MakeOptions(test::AllVariants()[0], true));
    EXPECT_EQ(call.Result.Status, IterationStatusConverged);
    EXPECT_EQ(call.Result.Lower, 0.5);
    EXPECT_EQ(call.Messages.size(), 1u);
}

// Zero written as -0 or 0/-1 is a probability, and so are -1/-2 and a
// value above 1, which the kernels clamp with their warning.
TEST(ModelCheck, SignedZerosAndValuesAboveOneAreAccepted) {
    const test::Model model = test::MakeModel(
        {{{Stored(1, -0.0), Fraction(1, 0, -1), Fraction(1, -1, -2), Fraction(1, 3, 2)}}, {}}, {1});
    const test::Call call = test::Run(model, test::MakeOptions(test::AllVariants()[0], true));
    EXPECT_EQ(call.Result.Status, IterationStatusConverged);
    EXPECT_EQ(call.Result.Upper, 1.0);
    ASSERT_EQ(call.Messages.size(), 2u);
    EXPECT_EQ(call.Messages[1].Severity, uint64_t{SeverityWarning});
}

// A refused combination is reported before the model is looked at.
TEST(ModelCheck, RefusedCombinationComesFirst) {
    test::Model model = Valid();
    SparseMdp mdp = model.Mdp();
    mdp.StateCount = 0;
    IterationOptions options = test::MakeOptions(test::AllVariants()[0], true);
    options.Fpu = 9;
    std::vector<Message> messages;
    test::MessageSink = &messages;
    int64_t count = 0;
    double achieved = 0;
    int32_t warned = 0, abortFlag = 0;
    const IterationResult result = IntervalIteration(&mdp, &options, &count, &achieved, &warned,
                                                     test::CaptureMessage, &abortFlag);
    test::MessageSink = nullptr;
    EXPECT_EQ(result.Status, IterationStatusError);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].Text,
              "Unsupported combination of FPU instruction set and rounding behaviour.");
}

}  // namespace
