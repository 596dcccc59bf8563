// iicheck on the real MDPs under models/ (exported by another model checker),
// against that checker's results as stated in each folder's README.md: every
// interval must contain the exact answer, overlap the other checker's
// interval-iteration result, and meet the requested precision, with the
// default reductions (bisimulation, topological order) and without them.
#include "ToolRunner.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace iicheck::test {
namespace {

struct Property {
    const char* Folder;
    std::vector<std::string> Arguments;
    long double Numerator;  // exact answer of the original model
    long double Denominator;
    double OtherValue;  // the other checker's interval iteration: value +- error
    double OtherError;
};

const Property kProperties[] = {
    {"coin2_K4", {"--min", "--target", "target1"}, 1793, 4096, 0.4377441592587973, 9.99e-7},
    {"coin2_K4", {"--min", "--target", "target1", "--relative"}, 1793, 4096, 0.43774414667269457, 4.38e-7},
    {"coin2_K4", {"--max", "--target", "target2"}, 251, 4080, 0.06151962006714473, 9.82e-7},
    {"coin2_K4", {"--max", "--target", "target2", "--relative"}, 251, 4080, 0.06151960817615429, 6.08e-8},
    {"csma2_2", {"--min", "--target", "target1", "--avoid", "avoid"}, 7, 8, 0.875, 0},
    {"csma2_2", {"--max", "--target", "target1", "--avoid", "avoid"}, 7, 8, 0.875, 0},
    {"firewire_abst_d200", {"--min", "--target", "target1"}, 1, 2, 0.5, 0},
    {"firewire_abst_d200", {"--max", "--target", "target1"}, 1, 1, 1.0, 0},
    {"wlan0_collide", {"--max", "--target", "target1"}, 47, 256, 0.18359375, 0},
    {"zeroconf_reset_K4", {"--min", "--target", "target1"}, 2476099, 640242476099, 3.867439434957333e-6, 8.27e-7},
    {"zeroconf_reset_K4", {"--min", "--target", "target1", "--relative"}, 2476099, 640242476099,
     3.867439434957333e-6, 3.13e-12},
    {"zeroconf_reset_K4", {"--max", "--target", "target1"}, 23588101, 640263588101, 3.68412345139937e-5, 8.43e-7},
    {"zeroconf_reset_K4", {"--max", "--target", "target1", "--relative"}, 23588101, 640263588101,
     3.68412345139937e-5, 3.25e-11},
};

TEST(SharedModels, IntervalsContainTheOtherCheckersExactAnswers) {
    const ChosenVariant& variant = BestVariant();
    constexpr double kEpsilon = 1e-6;
    for (const Property& property : kProperties) {
        for (const std::vector<std::string>& reductions :
             {std::vector<std::string>{}, {"--no-bisimulation", "--order", "breadth-first"}}) {
            const std::string model = std::string(IICHECK_MODELS) + "/" + property.Folder;
            const ToolOutput output = RunTool(
                Join(Join(Join({model, "--json", "--quiet"}, property.Arguments), reductions), variant.Arguments));
            const std::vector<RunRecord> runs = ParseRuns(output.Out);
            ASSERT_EQ(runs.size(), 1u) << model << "\n" << output.Out << output.Err;
            const RunRecord& run = runs[0];
            SCOPED_TRACE(run.Line);
            EXPECT_EQ(output.ExitCode, 0) << output.Err;
            EXPECT_EQ(run.Status, 0);
            const long double exact = property.Numerator / property.Denominator;
            // The files hold some probabilities as 16- or 17-digit decimals of
            // the original fractions: their exact answer is off by about 1e-17.
            const long double slack = variant.Tolerance() + 1e-15L * exact;
            EXPECT_LE(run.Lower, exact + slack);
            EXPECT_GE(run.Upper, exact - slack);
            EXPECT_LE(run.Lower, property.OtherValue + property.OtherError + variant.Tolerance());
            EXPECT_GE(run.Upper, property.OtherValue - property.OtherError - variant.Tolerance());
            const bool relative = output.Out.find("\"relative\": true") != std::string::npos;
            const double halfWidth = (run.Upper - run.Lower) / 2;
            EXPECT_LE(halfWidth, relative ? kEpsilon * run.Lower * (1 + 1e-12) : kEpsilon);
            EXPECT_LE(run.Achieved, kEpsilon);
        }
    }
}

// iigen's consensus protocol of 2 processes with K = 4 is coin2_K4 (the same
// states, transitions and labels, the choices in another order): the same
// exact answers.
TEST(SharedModels, GeneratedConsensusModelIsTheCoinModel) {
    const std::string prefix = TemporaryDirectory() + "/consensus";
    ASSERT_EQ(RunProgram(IIGEN_EXECUTABLE, {"--consensus", "2", "4", prefix}).ExitCode, 0);
    const ChosenVariant& variant = BestVariant();
    const struct {
        const char* Direction;
        const char* Target;
        long double Exact;
    } properties[] = {{"--min", "target1", 1793.0L / 4096}, {"--max", "target2", 251.0L / 4080}};
    for (const auto& property : properties) {
        const ToolOutput output = RunTool(
            Join({prefix, property.Direction, "--target", property.Target, "--json", "--quiet"}, variant.Arguments));
        const std::vector<RunRecord> runs = ParseRuns(output.Out);
        ASSERT_EQ(runs.size(), 1u) << output.Out << output.Err;
        EXPECT_NE(output.Out.find("\"model\": {\"states\": 528, \"choices\": 784, \"transitions\": 972}"),
                  std::string::npos);
        EXPECT_LE(runs[0].Lower, property.Exact + variant.Tolerance());
        EXPECT_GE(runs[0].Upper, property.Exact - variant.Tolerance());
    }
}

}  // namespace
}  // namespace iicheck::test
