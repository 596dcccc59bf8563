// Threshold queries: decided only when the safe interval lies on one side
// of the exact threshold, narrowing epsilon until it does; a fake runner
// stands for the library.
#include "pipeline/Threshold.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace iicheck {
namespace {

Threshold Bound(const char* property) {
    return ParseProperty(std::string(property) + " [F \"a\"]", "test").Bound;
}

TEST(Threshold, DecidesOnlyWhenTheWholeIntervalIsOnOneSideComparedExactly) {
    const double third = 1.0 / 3;  // just below 1/3
    const struct {
        const char* Property;
        double Lower, Upper;
        Verdict Expected;
    } cases[] = {
        {"P>=0.5", 0.5, 0.6, Verdict::True},     {"P>0.5", 0.5, 0.6, Verdict::Unknown},
        {"P>0.5", 0.4, 0.5, Verdict::False},     {"P>=0.5", 0.4, 0.5, Verdict::Unknown},
        {"P<=0.5", 0.4, 0.5, Verdict::True},     {"P<0.5", 0.4, 0.5, Verdict::Unknown},
        {"P<0.5", 0.5, 0.6, Verdict::False},     {"P<=0.5", 0.5, 0.6, Verdict::Unknown},
        {"P>=0", 0, 0, Verdict::True},           {"P>0", 0, 0, Verdict::False},
        {"P<1", 1, 1, Verdict::False},           {"P<=1", 0.2, 1, Verdict::True},
        // 0.1 as written is not the binary64 value 0.1000000000000000055...
        {"P>=0.1", 0.1, 0.2, Verdict::True},     {"P<=0.1", 0.05, 0.1, Verdict::Unknown},
        {"P>=1/3", third, 0.4, Verdict::Unknown}, {"P<1/3", 0.2, third, Verdict::True},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(Decide(Bound(test.Property), test.Lower, test.Upper), test.Expected)
            << test.Property << " [" << test.Lower << ", " << test.Upper << "]";
    }
}

TEST(Threshold, NarrowsEpsilonUntilDecidedAndOtherwiseSaysWhyNot) {
    // The fake library: the exact answer sits at a quarter of an interval
    // of half-width epsilon (never below a few units of 1e-17); a status.
    struct Fake {
        double Exact;
        int Status = IterationStatusConverged;
        int Runs = 0;
        RunOutcome operator()(double epsilon) {
            ++Runs;
            const double half = std::max(epsilon, 4e-17);
            RunOutcome outcome;
            outcome.Result = {Exact - half / 2, Exact + 1.5 * half, Status};
            if (Status == IterationStatusError) outcome.Result = {NAN, NAN, Status};
            return outcome;
        }
    };
    const double floor = EpsilonFloor(PrecisionDouble);
    const struct {
        const char* Property;
        double Exact;
        int Status;
        bool Safe;
        Verdict Expected;
        int MinRuns, MaxRuns;
        const char* Reason;
    } cases[] = {
        {"P>=0.5", 0.7, 0, true, Verdict::True, 1, 1, ""},
        {"P>=0.5", 0.5 + 1e-9, 0, true, Verdict::True, 2, 8, ""},  // narrowed about 1000 times
        {"P<0.5", 0.5 - 1e-12, 0, true, Verdict::True, 2, 20, ""},
        {"P<=0.25", 0.25 + 1e-12, 0, true, Verdict::False, 2, 20, ""},
        {"P>=0.5", 0.5, 0, true, Verdict::Unknown, 3, 40, "even at the smallest epsilon"},
        {"P>=0.7", 0.7 + 1e-9, 1, true, Verdict::Unknown, 1, 1, "the iteration limit came"},
        {"P>=0.5", 0.7, 1, true, Verdict::True, 1, 1, ""},  // safe bounds at the limit still decide
        {"P>=0.7", 0.7 + 1e-9, 2, true, Verdict::Unknown, 1, 1, "stopped changing"},
        {"P>=0.5", 0.9, 0, false, Verdict::Unknown, 1, 1, "default rounding"},
        {"P>=0.5", 0.9, 3, true, Verdict::Unknown, 1, 1, "refused"},
        {"P>=0.5", 1.5, 0, true, Verdict::Unknown, 1, 1, "not 0 <= lower <= upper <= 1"},
    };
    for (const auto& test : cases) {
        Fake fake{test.Exact, test.Status};
        const Variant variant{FpuSSE, PrecisionDouble, test.Safe ? uint8_t{RoundingSafe} : uint8_t{RoundingDefault}};
        const ThresholdAnswer answer =
            AnswerThreshold(Bound(test.Property), 1e-6, floor, NotGuaranteedReason({}, variant),
                            [&](double epsilon) { return fake(epsilon); });
        SCOPED_TRACE(std::string(test.Property) + " exact " + std::to_string(test.Exact));
        EXPECT_EQ(answer.Answer, test.Expected) << answer.Reason;
        EXPECT_GE(fake.Runs, test.MinRuns);
        EXPECT_LE(fake.Runs, test.MaxRuns);
        EXPECT_NE(answer.Reason.find(test.Reason), std::string::npos) << answer.Reason;
        EXPECT_EQ(answer.Epsilons.size(), static_cast<std::size_t>(fake.Runs));
        for (std::size_t i = 1; i < answer.Epsilons.size(); ++i) {
            EXPECT_LE(answer.Epsilons[i], std::max(answer.Epsilons[i - 1] / 2, floor));
            EXPECT_GE(answer.Epsilons[i], floor);
        }
    }
}

}  // namespace
}  // namespace iicheck
