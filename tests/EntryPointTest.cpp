// The entry point: the rational check, the information message, the scan for
// inexact values, the refusal of combinations, and their order.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test::Message;

const std::string kFloatingPointModel =
    "The native interval iteration implementation requires rational probability values, but "
    "received floating-point probability values. This is a bug.";
const std::string kInexact =
    "Encountered a probability represented as an inexact floating-point value. The final "
    "result for property \"{0}\" may be affected by floating-point errors despite safe "
    "rounding.";
const std::string kUnsupported =
    "Unsupported combination of FPU instruction set and rounding behaviour.";

std::string Information(const char* fpu, const char* precision, const char* rounding,
                        const char* layout) {
    return std::string("Using the ") + fpu +
           " instruction set for floating-point calculations at " + precision +
           " precision with " + rounding + " rounding in " + layout + " interval iteration.";
}

// A model with a fraction: state 0 reaches target 1 with probability 1/2.
test::Model FractionModel() {
    return test::MakeModel({{{test::Fraction(1, 1, 2), test::Fraction(0, 1, 2)}}, {}}, {1});
}

// The same with stored binary64 probabilities only.
test::Model StoredModel() {
    return test::MakeModel({{{test::Stored(1, 0.5), test::Stored(0, 0.5)}}, {}}, {1});
}

IterationOptions Options(uint8_t fpu, uint8_t precision, uint8_t rounding, uint8_t sequential) {
    IterationOptions options{};
    options.Epsilon = 1e-6;
    options.Fpu = fpu;
    options.Precision = precision;
    options.Rounding = rounding;
    options.Sequential = sequential;
    return options;
}

void ExpectErrorResult(const test::Call& call) {
    EXPECT_EQ(call.Result.Status, IterationStatusError);
    EXPECT_EQ(test::Bits(call.Result.Lower), test::kQuietNanBits);
    EXPECT_EQ(test::Bits(call.Result.Upper), test::kQuietNanBits);
    EXPECT_EQ(call.IterationCount, test::kUntouchedCount);
    EXPECT_EQ(call.AchievedPrecision, test::kUntouchedPrecision);
}

TEST(EntryPoint, FloatingPointModelGetsOneErrorAndNothingElse) {
    test::Model model = FractionModel();
    model.IsRational = 0;
    // Whatever the options say, even a combination that would be refused.
    for (const IterationOptions& options :
         {Options(2, 0, 1, 0), Options(9, 9, 9, 1), Options(0, 1, 0, 0)}) {
        const test::Call call = test::Run(model, options, 5);
        ExpectErrorResult(call);
        EXPECT_EQ(call.WarnedFlag, 5);
        EXPECT_EQ(call.Messages,
                  (std::vector<Message>{{SeverityError, kFloatingPointModel}}));
    }
}

TEST(EntryPoint, AnyNonzeroIsRationalCounts) {
    test::Model model = StoredModel();
    model.IsRational = 7;
    EXPECT_EQ(test::Run(model, Options(2, 0, 0, 1)).Result.Status, IterationStatusConverged);
    model.IsRational = 0x80000000u;
    EXPECT_EQ(test::Run(model, Options(2, 0, 0, 1)).Result.Status, IterationStatusConverged);
}

TEST(EntryPoint, InformationTextNamesTheChoice) {
    struct Case {
        IterationOptions Options;
        std::string Text;
    };
    const Case cases[] = {
        {Options(2, 0, 1, 0), Information("SSE", "double", "safe", "interleaved")},
        {Options(1, 1, 0, 1), Information("x87", "extended", "default", "sequential")},
        {Options(5, 0, 0, 0), Information("(invalid value)", "double", "default", "interleaved")},
        {Options(3, 3, 0, 2), Information("AVX-512", "(invalid value)", "default", "sequential")},
        {Options(0, 2, 2, 0), Information("default", "single", "(invalid value)", "interleaved")},
        {Options(200, 200, 200, 0),
         Information("(invalid value)", "(invalid value)", "(invalid value)", "interleaved")},
    };
    for (const Case& c : cases) {
        const test::Call call = test::Run(StoredModel(), c.Options);
        ASSERT_FALSE(call.Messages.empty());
        EXPECT_EQ(call.Messages[0], (Message{SeverityInformation, c.Text}));
    }
    // The longest text the names can produce fits the buffer whole.
    const std::string longest = Information("(invalid value)", "(invalid value)",
                                            "(invalid value)", "interleaved");
    EXPECT_EQ(longest.size(), 167u);
}

TEST(EntryPoint, RefusedCombinationsSendInformationThenError) {
    // Extended off the x87, single on AVX-512, an unknown instruction set.
    for (const IterationOptions& options :
         {Options(2, 1, 0, 0), Options(0, 1, 0, 1), Options(3, 2, 0, 0), Options(5, 0, 0, 0),
          Options(255, 2, 1, 1)}) {
        const test::Call call = test::Run(StoredModel(), options, 0);
        ExpectErrorResult(call);
        EXPECT_EQ(call.WarnedFlag, 0);
        ASSERT_EQ(call.Messages.size(), 2u);
        EXPECT_EQ(call.Messages[0].Severity, uint64_t{SeverityInformation});
        EXPECT_EQ(call.Messages[1], (Message{SeverityError, kUnsupported}));
    }
}

TEST(EntryPoint, SafeRoundingWarnsOnceAboutFractionsBeforeTheDriver) {
    // Extended on the portable back-end: information, warning, then error.
    const test::Call call = test::Run(FractionModel(), Options(0, 1, 1, 0));
    ExpectErrorResult(call);
    ASSERT_EQ(call.Messages.size(), 3u);
    EXPECT_EQ(call.Messages[0].Severity, uint64_t{SeverityInformation});
    EXPECT_EQ(call.Messages[1], (Message{SeverityWarning, kInexact}));
    EXPECT_EQ(call.Messages[2], (Message{SeverityError, kUnsupported}));
}

TEST(EntryPoint, ScanOnlyUnderRoundingOneAndOnlyForFractions) {
    auto warnings = [](const test::Model& model, uint8_t rounding) {
        int count = 0;
        for (const Message& m : test::Run(model, Options(9, 1, rounding, 0)).Messages) {
            count += m.Text == kInexact;
        }
        return count;
    };
    // Many fractions: exactly one warning.
    std::vector<test::StateChoices> states(40);
    for (uint64_t s = 0; s + 1 < states.size(); ++s) {
        states[s] = {{test::Fraction(s + 1, 1, 3), test::Fraction(s, 2, 3)}};
    }
    const test::Model many = test::MakeModel(states, {39});
    EXPECT_EQ(warnings(many, 1), 1);
    EXPECT_EQ(warnings(many, 0), 0);
    EXPECT_EQ(warnings(many, 2), 0);  // "(invalid value)" rounding: no scan
    EXPECT_EQ(warnings(StoredModel(), 1), 0);
    // A fraction only in the last entry is still found.
    const test::Model last = test::MakeModel(
        {{{test::Stored(1, 0.25), test::Stored(1, 0.25), test::Fraction(0, 1, 2)}}, {}}, {1});
    EXPECT_EQ(warnings(last, 1), 1);
    // No transitions at all.
    EXPECT_EQ(warnings(test::MakeModel({{}, {}}, {1}), 1), 0);
}

TEST(EntryPoint, ComputingCallSendsOnlyTheInformationMessage) {
    const test::Call call = test::Run(StoredModel(), Options(0, 2, 0, 0));
    EXPECT_EQ(call.Result.Status, IterationStatusConverged);
    ASSERT_EQ(call.Messages.size(), 1u);
    EXPECT_EQ(call.Messages[0],
              (Message{SeverityInformation, Information("default", "single", "default",
                                                        "interleaved")}));
}

}  // namespace
