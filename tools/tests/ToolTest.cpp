// End-to-end: the iicheck executable on the bundled model and on bad input.
#include "ToolRunner.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace iicheck::test {
namespace {

constexpr double kMaximum = 10.0 / 21.0;  // tools/models/README.md
constexpr double kMinimum = 0.25;

void ExpectContains(const RunRecord& run, double exact, double tolerance) {
    EXPECT_LE(run.Lower, exact + tolerance) << run.Line;
    EXPECT_GE(run.Upper, exact - tolerance) << run.Line;
}

TEST(Tool, BundledModelIntervalsContainTheExactAnswers) {
    const ChosenVariant& variant = BestVariant();
    for (const bool maximize : {true, false}) {
        const ToolOutput output = RunTool(
            Join({maximize ? "--max" : "--min", "--json", "--epsilon", "1e-9"}, variant.Arguments));
        EXPECT_EQ(output.ExitCode, 0) << output.Err;
        const std::vector<RunRecord> runs = ParseRuns(output.Out);
        ASSERT_EQ(runs.size(), 1u) << output.Out;
        EXPECT_EQ(runs[0].Status, 0);
        ExpectContains(runs[0], maximize ? kMaximum : kMinimum, variant.Tolerance());
        EXPECT_LE(runs[0].HalfWidth, 1e-9);
        EXPECT_NE(output.Out.find(maximize ? "\"property\": \"Pmax=? [F \\\"target\\\"]\""
                                           : "\"property\": \"Pmin=? [F \\\"target\\\"]\""),
                  std::string::npos)
            << output.Out;
        // The end component is collapsed for the maximum only.
        EXPECT_NE(output.Out.find(maximize ? "\"end_components\": 1" : "\"end_components\": 0"),
                  std::string::npos)
            << output.Out;
    }
}

TEST(Tool, TextOutputReportsIntervalStatusSizesAndTimes) {
    const ToolOutput output = RunTool(Join({"--quiet"}, BestVariant().Arguments));
    EXPECT_EQ(output.ExitCode, 0) << output.Err;
    for (const char* expected :
         {"Property     Pmax=? [F \"target\"]\n", "Read         11 states, 14 choices, 21 transitions\n",
          "Precomputed  9 reachable: 1 target, 2 with probability 0, 6 other; 1 end component (2 states)",
          "Reduced      7 states, 7 choices, 14 transitions\n", "Result       [0.4761", "Midpoint     0.4761",
          "Half-width   ", "Status       converged (0)\n", "Iterations   ", "1e-06 absolute requested",
          "Time         read "}) {
        EXPECT_NE(output.Out.find(expected), std::string::npos) << expected << "\n" << output.Out;
    }
}

TEST(Tool, DefaultsAreSafeRoundingDoublePrecisionAndTheBestInstructionSet) {
    const ToolOutput output = RunTool({"--json", "--quiet"});
    const std::vector<RunRecord> runs = ParseRuns(output.Out);
    ASSERT_EQ(runs.size(), 1u) << output.Out;
    EXPECT_EQ(runs[0].Rounding, "safe");
    EXPECT_EQ(runs[0].Precision, "double");
    EXPECT_TRUE(runs[0].Fpu == "AVX-512" || runs[0].Fpu == "SSE") << runs[0].Fpu;
    EXPECT_NE(runs[0].Line.find("\"layout\": \"interleaved\""), std::string::npos);
    // Until the library computes that variant it refuses it (exit code 2).
    if (runs[0].Status == 3) {
        EXPECT_EQ(output.ExitCode, 2);
        EXPECT_NE(runs[0].Line.find("Unsupported combination"), std::string::npos) << runs[0].Line;
    } else {
        EXPECT_EQ(output.ExitCode, 0);
        ExpectContains(runs[0], kMaximum, 0.0);
    }
}

TEST(Tool, AllVariantsAreComparedAndEveryResultContainsTheAnswer) {
    const ToolOutput output = RunTool({"--all-variants", "--json", "--quiet", "--sequential"});
    const std::vector<RunRecord> runs = ParseRuns(output.Out);
    ASSERT_TRUE(runs.size() == 14u || runs.size() == 16u) << output.Out;
    int converged = 0;
    for (const RunRecord& run : runs) {
        EXPECT_NE(run.Line.find("\"layout\": \"sequential\""), std::string::npos);
        if (run.Status == 3) {
            EXPECT_NE(run.Line.find("\"severity\": \"error\""), std::string::npos) << run.Line;
            continue;
        }
        // Single precision cannot reach 1e-6 everywhere; what it returns
        // still has to hold the answer (safe) or nearly (default rounding).
        ExpectContains(run, kMaximum, run.Rounding == "safe" ? 0.0 : 1e-6);
        converged += run.Status == 0;
    }
    EXPECT_GT(converged, 0);
    EXPECT_EQ(output.ExitCode, converged > 0 ? 0 : 2);

    const ToolOutput table = RunTool({"--all-variants", "--quiet"});
    EXPECT_NE(table.Out.find("FPU      precision rounding status"), std::string::npos) << table.Out;
}

TEST(Tool, IterationLimitStopsWithTheCurrentBounds) {
    const ToolOutput output = RunTool(Join({"--json", "--max-iterations", "2"}, BestVariant().Arguments));
    EXPECT_EQ(output.ExitCode, 3);
    const std::vector<RunRecord> runs = ParseRuns(output.Out);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].Status, 1);
    EXPECT_EQ(runs[0].Iterations, 3);
    ExpectContains(runs[0], kMaximum, BestVariant().Tolerance());
    EXPECT_GT(runs[0].HalfWidth, 1e-6);
    EXPECT_NE(runs[0].Line.find("iteration limit reached"), std::string::npos) << runs[0].Line;
    EXPECT_NE(runs[0].Line.find("reached maximum number of iterations"), std::string::npos);
}

TEST(Tool, CtrlCEndsTheRunCleanlyWithProgressAndCurrentBounds) {
    const std::string directory = TemporaryDirectory();
    const ToolOutput generated =
        RunProgram(IIGEN_EXECUTABLE, {"--transitions", "1000000", "--seed", "7", directory + "/m"});
    ASSERT_EQ(generated.ExitCode, 0) << generated.Err;
    // Far more precision than double offers: it would run until stopped.
    // Interrupted once the progress line shows, after a second of iteration.
    const ToolOutput output =
        RunTool(Join({directory + "/m.tra", "--target", "goal", "--epsilon", "0"}, BestVariant().Arguments),
                "iicheck: iteration ");
    EXPECT_EQ(output.ExitCode, 3) << output.Out << output.Err;
    EXPECT_NE(output.Out.find("Status       interrupted (Ctrl-C) before convergence (1)"), std::string::npos)
        << output.Out;
    EXPECT_NE(output.Out.find("Result       [0."), std::string::npos) << output.Out;
    EXPECT_NE(output.Err.find("iicheck: iteration "), std::string::npos) << output.Err;
    EXPECT_NE(output.Err.find("was aborted before convergence"), std::string::npos) << output.Err;
    std::remove((directory + "/m.tra").c_str());
    std::remove((directory + "/m.lab").c_str());
    ::rmdir(directory.c_str());
}

TEST(Tool, BadInputGivesOneLineNamingFileAndLine) {
    const std::string directory = TemporaryDirectory();
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(directory + "/" + name) << text;
        return directory + "/" + name;
    };
    const std::string good = write("good.tra", "2 1 1\n0 0 1 1\n");
    write("good.lab", "0=\"init\" 1=\"target\"\n0: 0\n1: 1\n");
    const std::string bad = write("bad.tra", "2 1 1\n0 0 1 0.5.\n");
    write("bad.lab", "0=\"init\" 1=\"target\"\n0: 0\n1: 1\n");
    const std::string noInit = write("noinit.tra", "2 1 1\n0 0 1 1\n");
    write("noinit.lab", "0=\"init\" 1=\"target\"\n1: 1\n");
    const struct {
        std::vector<std::string> Arguments;
        std::string Error;
    } cases[] = {
        {{directory + "/missing.tra"}, "iicheck: error: " + directory + "/missing.tra: cannot open"},
        {{bad}, "iicheck: error: " + bad + ":2: probability \"0.5.\" is not a number"},
        {{good, "--target", "goal"}, "iicheck: error: " + directory + "/good.lab:1: no label \"goal\""},
        {{noInit}, "iicheck: error: " + directory + "/noinit.lab: no state carries the label \"init\""},
        {{"--frobnicate"}, "iicheck: unknown option --frobnicate"},
        {{"--epsilon", "-1"}, "iicheck: --epsilon: \"-1\" is not a non-negative number"},
        {{"--fpu", "vax"}, "iicheck: --fpu: unknown name \"vax\"; choose one of default, x87, SSE, AVX-512"},
    };
    for (const auto& test : cases) {
        const ToolOutput output = RunTool(Join(test.Arguments, {"--quiet"}));
        EXPECT_EQ(output.ExitCode, 1) << test.Error;
        EXPECT_EQ(output.Err.rfind(test.Error, 0), 0u) << output.Err;
        EXPECT_EQ(output.Err.find('\n'), output.Err.size() - 1) << output.Err;
        EXPECT_EQ(output.Out, "");
    }
    // The folder and the name without extension find the same files.
    for (const std::string& name : {good, directory + "/good"}) {
        const ToolOutput output = RunTool(Join({name, "--json"}, BestVariant().Arguments));
        EXPECT_EQ(output.ExitCode, 0) << output.Err;
        ASSERT_EQ(ParseRuns(output.Out).size(), 1u);
        EXPECT_EQ(ParseRuns(output.Out)[0].Lower, 1.0);
    }
    for (const char* name : {"good.tra", "good.lab", "bad.tra", "bad.lab", "noinit.tra", "noinit.lab"}) {
        std::remove((directory + "/" + name).c_str());
    }
    ::rmdir(directory.c_str());
}

TEST(Tool, HelpListsTheOptions) {
    const ToolOutput output = RunTool({"--help"});
    EXPECT_EQ(output.ExitCode, 0);
    for (const char* option : {"--target", "--avoid", "--min", "--max", "--epsilon", "--relative", "--absolute",
                               "--max-iterations", "--fpu", "--precision", "--rounding", "--sequential",
                               "--interleaved", "--all-variants", "--json", "Exit codes"}) {
        EXPECT_NE(output.Out.find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace iicheck::test
