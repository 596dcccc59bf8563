// End-to-end: the iicheck executable on the bundled model and on bad input.
#include "cli/CommandLine.hpp"
#include "support/Interrupt.hpp"
#include "ToolRunner.hpp"

#include <gmpxx.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace iicheck::test {
namespace {

constexpr double kMaximum = 10.0 / 21.0;  // host/models/README.md
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
          "Precomputed  9 reachable: 1 target, 2 with probability 0, 0 with probability 1, 6 other; 1 end "
          "component (2 states)",
          "Collapsed    7 states, 7 choices, 14 transitions\n", "Bisimulation 7 states, 7 choices, 14 transitions (",
          "Reduced      7 states, 7 choices, 14 transitions, topological order\n", "Result       [0.4761", "Midpoint     0.4761",
          "Half-width   ", "Status       converged (0)\n", "Iterations   ", "1e-06 absolute requested",
          "Time         read "}) {
        EXPECT_NE(output.Out.find(expected), std::string::npos) << expected << "\n" << output.Out;
    }
}

TEST(Tool, DefaultsAreTheFastestSoundVariantOfTheProcessor) {
    const ToolOutput output = RunTool({"--json", "--quiet"});
    const std::vector<RunRecord> runs = ParseRuns(output.Out);
    ASSERT_EQ(runs.size(), 1u) << output.Out;
    const Variant expected = DefaultVariants((GetNativeSupportMask() & 2) != 0)[0];
    EXPECT_EQ(runs[0].Rounding, "safe");
    EXPECT_EQ(runs[0].Precision, "double");
    EXPECT_EQ(runs[0].Fpu, FpuToString(expected.Fpu));
    EXPECT_NE(runs[0].Line.find(expected.Sequential ? "\"layout\": \"sequential\""
                                                    : "\"layout\": \"interleaved\""),
              std::string::npos);
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

    // A refused run has no bounds to call consistent or not.
    const ToolOutput refused = RunTool({"--fpu", "SSE", "--precision", "extended", "--json", "--quiet"});
    EXPECT_EQ(refused.ExitCode, 2);
    ASSERT_EQ(ParseRuns(refused.Out).size(), 1u) << refused.Out;
    EXPECT_NE(ParseRuns(refused.Out)[0].Line.find("\"status\": 3, \"status_text\": \"refused by the library\", "
                                                  "\"bounds_consistent\": null"),
              std::string::npos)
        << refused.Out;
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

// Writes files into a fresh folder and removes it with them.
class Folder {
public:
    Folder() : path_(TemporaryDirectory()) {}
    ~Folder() { std::filesystem::remove_all(path_); }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ + "/" + name, std::ios::binary) << text;
        return path_ + "/" + name;
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The bundled model in folder, every state but 4 and 7 initial: 1 (Pmax
// 10/21), 2 and 3 (one end component, 1/2), 5 (a target), 6 (a trap) and 8
// (13/28). Returns its .tra.
std::string SeveralInitialStates(const Folder& folder) {
    std::string readme = IICHECK_README;
    const std::string tra = ReadWhole(readme.replace(readme.size() - 9, 9, "models/bundled.tra"));
    folder.Write("several.lab", "0=\"init\" 1=\"target\" 2=\"trap\" 3=\"deadlock\"\n"
                                "1: 0\n2: 0\n3: 0\n5: 0 1\n6: 0 2\n7: 3\n8: 0\n");
    return folder.Write("several.tra", tra);
}

// A stop at any point between two phases ends with exit code 3 and says
// where: without bounds (and a JSON document with the error) before the
// first run, else with the runs done, and never a crash. IICHECK_STOP_AT
// raises the stop at the point, as SIGTERM would.
TEST(Tool, AStopBetweenAnyTwoPhasesEndsWithExitCode3) {
    const Folder folder;
    const std::string several = SeveralInitialStates(folder);
    const std::vector<std::string> two = {"--prop", "Pmax=? [F \"target\"]", "--prop", "Pmin=? [F \"target\"]"};
    const struct {
        const char* Point;
        std::vector<std::string> Arguments;
        const char* Error;
    } points[] = {
        {"read", {}, "while reading; no bounds"},
        {"precomputed", {}, "while precomputing; no bounds"},
        {"reduced", {}, "while precomputing; no bounds"},
        {"precomputed:2", two, "after 1 of 2 properties"},
        {"ran", two, "after 1 of 2 properties"},
        {"reduced:2", {several}, "after 1 of 6 initial states"},
        {"ran:4", {several}, "after 4 of 6 initial states"},
        {"report", {}, "after the last run: the results are complete"},
    };
    for (const auto& test : points) {
        const ToolOutput output = RunTool(Join(test.Arguments, Join({"--json", "--quiet"}, BestVariant().Arguments)),
                                          {}, {{std::string("IICHECK_STOP_AT=") + test.Point}, ""});
        EXPECT_EQ(output.ExitCode, 3) << test.Point << "\n" << output.Err;
        const std::string expected = std::string("iicheck: interrupted (SIGTERM) ") + test.Error + "\n";
        EXPECT_EQ(output.Err.substr(output.Err.size() - std::min(output.Err.size(), expected.size())), expected)
            << test.Point;
        const nlohmann::json result = nlohmann::json::parse(output.Out);
        const bool bounds = std::string(test.Error).find("no bounds") == std::string::npos;
        EXPECT_EQ(result["error"].is_null(), bounds) << test.Point << "\n" << output.Out;
        EXPECT_EQ(result["properties"].empty(), !bounds) << test.Point;
        if (!bounds) {
            EXPECT_EQ(result["error"]["exit_code"], 3);
        }
    }
}

// An initial state that the precomputation decided (a target, a trap) or
// that is the same state of the reduced model as an earlier one (in one
// end component or bisimulation class) gets its answer without a call of
// its own; each keeps its run, which says where the answer came from.
TEST(Tool, InitialStatesDecidedOrAlikeNeedNoCallOfTheirOwn) {
    const Folder folder;
    const std::string several = SeveralInitialStates(folder);
    const struct {
        uint64_t State;
        const char* Source;
        int SameAs;  // -1: none
        mpq_class Exact;
    } expected[] = {
        {1, "library", -1, mpq_class(10, 21)}, {2, "library", -1, mpq_class(1, 2)},
        {3, "shared", 2, mpq_class(1, 2)},     {5, "precomputation", -1, mpq_class(1)},
        {6, "precomputation", -1, mpq_class(0)}, {8, "library", -1, mpq_class(13, 28)},
    };
    // The end component {2, 3} is one state of the quotient, with or
    // without the bisimulation.
    for (const std::vector<std::string>& reduction : {std::vector<std::string>{}, {"--no-bisimulation"}}) {
        const ToolOutput output = RunTool(Join(Join({several, "--json", "--quiet", "--prop", "Pmax>=1/2 [F \"target\"]"},
                                                    reduction),
                                               BestVariant().Arguments));
        EXPECT_EQ(output.ExitCode, 0) << output.Err;
        const nlohmann::json runs = nlohmann::json::parse(output.Out)["properties"][0]["runs"];
        ASSERT_EQ(runs.size(), std::size(expected)) << output.Out;
        for (std::size_t i = 0; i < std::size(expected); ++i) {
            const nlohmann::json& run = runs[i];
            EXPECT_EQ(run["initial_state"], expected[i].State);
            EXPECT_EQ(run["source"], expected[i].Source) << run;
            EXPECT_EQ(run["same_as"], expected[i].SameAs < 0 ? nlohmann::json() : nlohmann::json(expected[i].SameAs));
            EXPECT_LE(mpq_class(run["lower"].get<double>()), expected[i].Exact + BestVariant().Tolerance()) << run;
            EXPECT_GE(mpq_class(run["upper"].get<double>()), expected[i].Exact - BestVariant().Tolerance()) << run;
            // Decided exactly, whatever the variant's rounding.
            if (std::string(expected[i].Source) == "precomputation") {
                EXPECT_EQ(run["verdict"], expected[i].Exact >= mpq_class(1, 2) ? "true" : "false");
            }
        }
    }
    const ToolOutput text = RunTool(Join({several, "--quiet", "--prop", "Pmax=? [F \"target\"]"}, BestVariant().Arguments));
    for (const char* shows : {"library calls for 3 of 6 initial states (2 decided by the precomputation, 1 sharing",
                              "\n3          as 2  ", "\n5          precomputed  "}) {
        EXPECT_NE(text.Out.find(shows), std::string::npos) << shows << "\n" << text.Out;
    }
}

// SIGINT and SIGTERM stop iicheck with exit code 3 whatever it is doing:
// during the iteration it reports the bounds reached so far (with
// --all-variants too), while reading it says so.
TEST(Tool, SignalsStopEveryPhaseWithExitCode3) {
    const Folder folder;
    const ToolOutput generated =
        RunProgram(IIGEN_EXECUTABLE, {"--transitions", "1000000", "--seed", "7", folder.Path() + "/m"});
    ASSERT_EQ(generated.ExitCode, 0) << generated.Err;
    // Far more precision than double offers: it would run until stopped.
    // Stopped once the progress line shows, after a second of iteration.
    const std::vector<std::string> model = {folder.Path() + "/m.tra", "--target", "goal", "--epsilon", "0"};
    const struct {
        int Signal;
        std::vector<std::string> Arguments;
        std::string Shows;
    } iterating[] = {
        {SIGTERM, BestVariant().Arguments, "Status       interrupted (SIGTERM) before convergence (1)"},
        {SIGINT, {"--all-variants"}, " interrupted "},
    };
    for (const auto& test : iterating) {
        const ToolOutput output =
            RunTool(Join(model, test.Arguments), SignalWhenErrorShows("iicheck: iteration ", test.Signal));
        EXPECT_EQ(output.ExitCode, 3) << output.Out << output.Err;
        EXPECT_NE(output.Out.find(test.Shows), std::string::npos) << output.Out;
        EXPECT_NE(output.Out.find(" 0."), std::string::npos) << output.Out;  // the bounds so far
        EXPECT_NE(output.Err.find("iicheck: iteration "), std::string::npos) << output.Err;
    }

    // With two initial states, the second is left out.
    const std::string twoInitial = folder.Write("two.lab", ReadWhole(folder.Path() + "/m.lab") + "1: 0\n");
    const ToolOutput first = RunTool(Join({model[0], twoInitial, "--target", "goal", "--epsilon", "0"},
                                          BestVariant().Arguments),
                                     SignalWhenErrorShows("iicheck: iteration ", SIGTERM));
    EXPECT_EQ(first.ExitCode, 3) << first.Out << first.Err;
    EXPECT_NE(first.Out.find("interrupted"), std::string::npos) << first.Out;
    EXPECT_NE(first.Err.find("iicheck: interrupted (SIGTERM) after 1 of 2 initial states\n"), std::string::npos)
        << first.Err;

    // The transitions come through a pipe, which delivers the header, then
    // the signal, then its end.
    const std::string pipe = folder.Path() + "/pipe.tra";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    folder.Write("pipe.lab", "0=\"init\"\n0: 0\n");
    const ToolOutput reading = RunTool({pipe, "--quiet"}, [&](pid_t pid, const std::string&) {
        const int fd = ::open(pipe.c_str(), O_WRONLY);  // once iicheck opens the other end
        const std::string header = "2 1 1\n";
        EXPECT_EQ(::write(fd, header.data(), header.size()), static_cast<ssize_t>(header.size()));
        ::kill(pid, SIGTERM);
        ::close(fd);
    });
    EXPECT_EQ(reading.ExitCode, 3);
    EXPECT_EQ(reading.Err, "iicheck: interrupted (SIGTERM) while reading; no bounds\n");
}

// Whether the process has a handler for signal (/proc/PID/status, SigCgt).
bool Catches(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

// Whether the process sleeps in the kernel (/proc/PID/stat, state S).
bool Sleeps(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

// Seconds from the signal to the end of the process, which is killed after
// ten.
double SecondsUntilExit(pid_t pid) {
    const auto start = std::chrono::steady_clock::now();
    siginfo_t info;
    while (true) {
        info.si_pid = 0;
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) break;
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
            ::kill(pid, SIGKILL);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A read that waits for input (a FIFO without a writer, a pipe that
// stalls) stops at once on SIGINT, SIGTERM and SIGHUP: exit code 3 and the
// message of a stop. The signal is sent once iicheck has its handlers and
// sleeps in the kernel.
TEST(Tool, SignalsStopAReadThatWaitsForInput) {
    const Folder folder;
    const struct {
        int Signal;
        bool Writer;  // a writer that sends a header, then stalls
        const char* Name;
    } cases[] = {{SIGINT, false, "SIGINT, Ctrl-C"}, {SIGTERM, true, "SIGTERM"}, {SIGHUP, false, "SIGHUP"}};
    for (const auto& test : cases) {
        const std::string fifo = folder.Path() + "/" + std::to_string(test.Signal) + ".drn";
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        double seconds = 0;
        int writer = -1;
        const ToolOutput output = RunTool({fifo, "--quiet"}, [&](pid_t pid, const std::string&) {
            if (test.Writer) {
                writer = ::open(fifo.c_str(), O_WRONLY);  // once iicheck opens the other end
                EXPECT_EQ(::write(writer, "@type: MDP\n", 11), 11);
            }
            siginfo_t info{};
            while (!(Catches(pid, test.Signal) && Sleeps(pid))) {
                if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                    info.si_pid != 0) {
                    return;  // ended before it waited: the checks below fail
                }
                std::this_thread::yield();
            }
            ::kill(pid, test.Signal);
            seconds = SecondsUntilExit(pid);
        });
        if (writer >= 0) ::close(writer);
        EXPECT_LT(seconds, 1.0) << test.Name;
        EXPECT_EQ(output.ExitCode, 3) << test.Name;
        EXPECT_EQ(output.Err, "iicheck: interrupted (" + std::string(test.Name) + ") while reading; no bounds\n");
    }
}

// A second signal ends the process at once, with a word and the exit code
// of a stop.
TEST(Tool, ASecondSignalEndsTheProcessWithAWord) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        EXPECT_EXIT(
            {
                InstallInterruptHandlers();
                ::raise(signal);
                ::raise(SIGTERM);
            },
            ::testing::ExitedWithCode(3), "iicheck: interrupted again \\(SIGTERM\\); stopped at once");
    }
}

// Labels take memory in proportion to the bytes of their names: many
// distinct labels on a DRN state line or declared in a .lab header raise
// iicheck's peak memory by a small multiple of their names (it was forty).
TEST(Tool, LabelsTakeMemoryInProportionToTheirNames) {
    const Folder folder;
    constexpr int kLabels = 300000;
    std::string names;
    std::string declared = "0=\"init\"";
    for (int i = 1; i < kLabels; ++i) {
        const std::string number = std::to_string(i);
        names.append(" l").append(number);
        declared.append(" ").append(number).append("=\"l").append(number).append("\"");
    }
    const std::string step = "\taction a\n\t\t1 : 1\n";
    const std::string drn = folder.Write("m.drn", "@type: MDP\n@nr_states\n2\n@nr_choices\n2\n@model\nstate 0 init" +
                                                      names + "\n" + step + "state 1\n" + step);
    folder.Write("m.lab", declared + "\n0: 0\n");
    const std::string tra = folder.Write("m.tra", "2 2 2\n0 0 1 1\n1 0 1 1\n");
    const long base = RunTool({"--quiet"}).MaxRssKilobytes;
    for (const std::string& model : {drn, tra}) {
        const ToolOutput output = RunTool({model, "--quiet", "--min", "--target", "l7"});
        EXPECT_EQ(output.ExitCode, 0) << output.Err;
        EXPECT_LT(output.MaxRssKilobytes - base, 20 * static_cast<long>(names.size()) / 1024) << model;
    }
}

// A choice that sums to 1.8, let through by a tolerance of 1, gives the
// bounds [1.71, 1]. With safe rounding that is an error with its own exit
// code, never "converged", in every output.
TEST(Tool, BoundsOutsideZeroLowerUpperOneAreAnError) {
    if (!BestVariant().Safe) GTEST_SKIP() << "no safe-rounding variant computes";
    const Folder folder;
    const std::string model =
        folder.Write("m.tra", "4 3 5\n0 0 1 0.9\n0 0 2 0.9\n1 0 1 1\n2 0 1 0.9\n2 0 3 0.1\n");
    folder.Write("m.lab", "0=\"init\" 1=\"target\"\n0: 0\n1: 1\n");
    const struct {
        std::vector<std::string> Arguments;
        std::string Shows;
    } outputs[] = {
        {BestVariant().Arguments, "Status       error: the bounds are not 0 <= lower <= upper <= 1 (0)"},
        {Join({"--json"}, BestVariant().Arguments), "\"bounds_consistent\": false"},
        {{"--all-variants"}, "INCONSISTENT"},
    };
    for (const auto& test : outputs) {
        const ToolOutput output = RunTool(Join({model, "--sum-tolerance", "1", "--quiet"}, test.Arguments));
        EXPECT_EQ(output.ExitCode, 5) << output.Out << output.Err;
        EXPECT_NE(output.Out.find(test.Shows), std::string::npos) << output.Out;
        EXPECT_NE(output.Err.find("iicheck: error: "), std::string::npos) << output.Err;
        if (test.Shows[0] != 'I') {  // the table shows the default-rounding runs too
            EXPECT_EQ(output.Out.find("converged"), std::string::npos) << output.Out;
        }
    }
}

// Every error is one line naming the file and the line, with exit code 1,
// and shows the bytes of file names, labels and excerpts that a terminal
// would act on (control characters, bytes that are not UTF-8, the
// byte-order mark) escaped.
TEST(Tool, BadInputGivesOneCleanLineNamingFileAndLine) {
    const Folder folder;
    const std::string& directory = folder.Path();
    const std::string good = folder.Write("good.tra", "2 1 1\n0 0 1 1\n");
    folder.Write("good.lab", "0=\"init\" 1=\"target\"\n0: 0\n1: 1\n");
    for (const std::string name : {"bad", "sum", "bom", "ctl", "dup"}) {
        folder.Write(name + ".lab", name == "dup" ? "0=\"init\" 1=\"a\x1b\" 2=\"a\x1b\"\n0: 0\n"
                                                  : "0=\"init\" 1=\"target\"\n0: 0\n1: 1\n");
    }
    const std::string bad = folder.Write("bad.tra", "2 1 1\n0 0 1 0.5.\n");
    const std::string sum = folder.Write("sum.tra", "3 1 2\n0 0 1 0.5\n0 0 2 0.43\n");
    const std::string bom = folder.Write("bom.tra", "\xEF\xBB\xBF" "2 1 1\n0 0 1 1\n");
    const std::string ctl = folder.Write("ctl.tra", std::string("2 1 1\n0 0 1 0.5\x1b[2J\0x\n", 22));
    const std::string dup = folder.Write("dup.tra", "2 1 1\n0 0 1 1\n");
    const std::string noInit = folder.Write("noinit.tra", "2 1 1\n0 0 1 1\n");
    folder.Write("noinit.lab", "0=\"init\" 1=\"target\"\n1: 1\n");
    const struct {
        std::vector<std::string> Arguments;
        std::string Error;
    } cases[] = {
        {{directory + "/missing.tra"}, "iicheck: error: " + directory + "/missing.tra: cannot open"},
        {{directory + "/\x1b]0;\xff.tra"}, "iicheck: error: " + directory + "/\\x1b]0;\\xff.tra: cannot open"},
        {{bad}, "iicheck: error: " + bad + ":2: probability \"0.5.\" is not a number"},
        {{sum}, "iicheck: error: " + sum + ":2: the probabilities of the choice that starts here sum to 0.93"},
        {{bom}, "iicheck: error: " + bom + ":1: number of states \"\\ufeff2\" is not a non-negative integer"},
        {{ctl}, "iicheck: error: " + ctl + ":2: probability \"0.5\\x1b[2J\\x00x\" is not a number"},
        {{dup}, "iicheck: error: " + directory + "/dup.lab:1: label \"a\\x1b\" is declared twice"},
        {{good, "--target", "goal"}, "iicheck: error: " + directory + "/good.lab:1: no label \"goal\""},
        {{good, "--target", "\xc2\x9b\xff"},
         "iicheck: error: " + directory + "/good.lab:1: no label \"\\u009b\\xff\"; the labels are: init, target"},
        {{noInit}, "iicheck: error: " + directory + "/noinit.lab: no state carries the label \"init\""},
        {{"--frobnicate\x07"}, "iicheck: unknown option --frobnicate\\x07"},
        {{"--epsilon", "-1"}, "iicheck: --epsilon: \"-1\" is not a non-negative number"},
        {{"--sum-tolerance", "nan"}, "iicheck: --sum-tolerance: \"nan\" is not a non-negative number"},
        {{"--fpu", "vax"}, "iicheck: --fpu: unknown name \"vax\"; choose one of default, x87, SSE, AVX-512"},
        {{"--order", "bfs"}, "iicheck: --order: unknown name \"bfs\"; choose one of topological, breadth-first"},
        {{"--format", "prism"}, "iicheck: --format: unknown format \"prism\"; choose tra, drn or umb"},
        {{directory + "/m.drn", good}, "iicheck: error: " + good + ": a drn model is one file"},
    };
    for (const auto& test : cases) {
        const ToolOutput output = RunTool(Join(test.Arguments, {"--quiet"}));
        EXPECT_EQ(output.ExitCode, 1) << test.Error;
        EXPECT_EQ(output.Err.rfind(test.Error, 0), 0u) << output.Err;
        EXPECT_EQ(output.Err.find('\n'), output.Err.size() - 1) << output.Err;
        EXPECT_TRUE(IsCleanText(output.Err)) << output.Err;
        EXPECT_EQ(output.Out, "");
    }
    // The folder and the name without extension find the same files.
    for (const std::string& name : {good, directory + "/good"}) {
        const ToolOutput output = RunTool(Join({name, "--json"}, BestVariant().Arguments));
        EXPECT_EQ(output.ExitCode, 0) << output.Err;
        ASSERT_EQ(ParseRuns(output.Out).size(), 1u);
        EXPECT_EQ(ParseRuns(output.Out)[0].Lower, 1.0);
    }
}

// File and label names that are not UTF-8 or hold control characters
// appear escaped in the text and the JSON output, which stay clean UTF-8.
TEST(Tool, OutputStaysCleanUtf8WhateverTheNames) {
    const Folder folder;
    const std::string model = folder.Write("m\xff\x1b[1m.tra", "2 1 1\n0 0 1 1\n");
    folder.Write("m\xff\x1b[1m.lab", "0=\"init\" 1=\"t\xfe\xef\xbb\xbf\"\n0: 0\n1: 1\n");
    // JSON doubles the backslashes of the escapes.
    for (const std::string backslash : {"\\", "\\\\"}) {
        const ToolOutput output = RunTool(Join({model, "--target", "t\xfe\xef\xbb\xbf",
                                                backslash.size() == 1 ? "--verbose" : "--json"},
                                               BestVariant().Arguments));
        EXPECT_EQ(output.ExitCode, 0) << output.Err;
        EXPECT_TRUE(IsCleanText(output.Out)) << output.Out;
        EXPECT_TRUE(IsCleanText(output.Err)) << output.Err;
        const std::string file = "m" + backslash + "xff" + backslash + "x1b[1m.tra";
        const std::string label = "t" + backslash + "xfe" + backslash + "ufeff";
        EXPECT_NE(output.Out.find(file), std::string::npos) << output.Out;
        EXPECT_NE(output.Out.find(label), std::string::npos) << output.Out;
    }
}

// A 17-digit decimal that is no binary64 value is a fraction whose
// numerator does not fit a double; the default variant still divides it
// with outward rounding, and says so instead of the library's warning.
TEST(Tool, DefaultVariantKeepsFractionsSound) {
    const Folder folder;
    const std::string model =
        folder.Write("m.tra", "3 1 2\n0 0 1 0.12345678901234567\n0 0 2 0.87654321098765433\n");
    folder.Write("m.lab", "0=\"init\" 1=\"target\"\n0: 0\n1: 1\n");
    for (const std::string output : {"--json", "--verbose"}) {
        const ToolOutput run = RunTool({model, output});
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
        if (output == "--json") {
            const std::vector<RunRecord> runs = ParseRuns(run.Out);
            ASSERT_EQ(runs.size(), 1u) << run.Out;
            const mpq_class exact("12345678901234567/100000000000000000");
            EXPECT_LE(mpq_class(runs[0].Lower), exact) << runs[0].Line;
            EXPECT_GE(mpq_class(runs[0].Upper), exact) << runs[0].Line;
            EXPECT_NE(runs[0].Line.find("Encountered a probability represented as an inexact"),
                      std::string::npos);  // the message as sent
        } else {
            EXPECT_NE(run.Err.find("iicheck: note: 2 probabilities are fractions; the library divides "
                                   "them with outward rounding, so the bounds stay sound\n"),
                      std::string::npos)
                << run.Err;
            EXPECT_EQ(run.Err.find("Encountered"), std::string::npos) << run.Err;
        }
    }
}

// A variant chosen explicitly that rounds some of the model's fractions
// before dividing (or default rounding) computes bounds that may exclude
// the exact value: they never answer a threshold, and every output says so.
// The threshold is the exact probability, so a sound answer is never false.
TEST(Tool, BoundsThatAreNotGuaranteedDecideNothing) {
    const Folder folder;
    const struct {
        const char* Numerator;
        const char* Denominator;
        std::vector<std::string> Variant;
    } cases[] = {
        {"3729245242641662557", "7521169637784014391", {"--fpu", "AVX-512"}},  // beyond 2^53
        {"357913943", "1073741827", {"--fpu", "SSE", "--precision", "single"}},  // beyond 2^24
        {"1", "3", {"--rounding", "default"}},
    };
    for (const auto& c : cases) {
        if (c.Variant[1] == "AVX-512" && (GetNativeSupportMask() & 2) == 0) continue;
        const mpq_class p(std::string(c.Numerator) + "/" + c.Denominator);
        const mpq_class q = 1 - p;
        const std::string model = folder.Write("m.tra", "3 1 2\n0 0 1 " + p.get_str() + "\n0 0 2 " + q.get_str() + "\n");
        folder.Write("m.lab", "0=\"init\" 1=\"target\"\n0: 0\n1: 1\n");
        const std::vector<std::string> query = Join({model, "--quiet", "--prop", "Pmax>=" + p.get_str() + " [F \"target\"]"}, c.Variant);
        SCOPED_TRACE(c.Variant[1]);
        const ToolOutput json = RunTool(Join(query, {"--json"}));
        const std::vector<RunRecord> runs = ParseRuns(json.Out);
        ASSERT_EQ(runs.size(), 1u) << json.Out << json.Err;
        EXPECT_EQ(Field(runs[0].Line, "verdict"), "unknown") << runs[0].Line;
        EXPECT_EQ(Field(runs[0].Line, "guaranteed"), "false") << runs[0].Line;
        EXPECT_NE(Field(runs[0].Line, "verdict_reason").find("only guaranteed bounds decide"), std::string::npos);
        const ToolOutput text = RunTool(query);
        EXPECT_NE(text.Out.find("], not guaranteed: "), std::string::npos) << text.Out;
        EXPECT_NE(text.Out.find("Answer       unknown"), std::string::npos) << text.Out;
        // In the table of every variant the row says so, and x87 with safe
        // rounding, which loads the integers exactly, is guaranteed.
        const ToolOutput table = RunTool(Join({model, "--quiet", "--all-variants"}, {}));
        EXPECT_NE(table.Out.find("x87      double    safe     converged    yes "), std::string::npos) << table.Out;
        const std::string row = c.Variant[1] == "AVX-512" ? "AVX-512  double    safe     converged    no "
                                : c.Variant[1] == "SSE"    ? "SSE      single    safe     "
                                                           : "SSE      double    default  converged    no ";
        const std::size_t at = table.Out.find(row);
        ASSERT_NE(at, std::string::npos) << table.Out;
        EXPECT_NE(table.Out.substr(at, table.Out.find('\n', at) - at).find(" no "), std::string::npos) << table.Out;
    }
}

// Each initial state gets its own run: a table for a few, a summary for
// many, every one in --json; the exit code is the highest of them.
TEST(Tool, SeveralInitialStatesAreEachCheckedWithTheWorstExitCode) {
    const ToolOutput few = RunTool(Join({std::string(IICHECK_MODELS) + "/dining_crypt3/dining_crypt3.umb",
                                         "--target", "target1", "--quiet"},
                                        BestVariant().Arguments));
    EXPECT_EQ(few.ExitCode, 0) << few.Err;
    for (const char* expected : {"Initial      4 states: 0, 95, 190, 285\n", "\n0          precomputed ",
                                 "\n95         6/5/8 ", "\n285        as 95 "}) {
        EXPECT_NE(few.Out.find(expected), std::string::npos) << expected << "\n" << few.Out;
    }
    // 20 initial states that need iterations (2/3 each), stopped after one,
    // and the target, converged at once.
    const Folder folder;
    std::string tra = "22 21 61\n";
    std::string lab = "0=\"init\" 1=\"goal\"\n";
    for (int s = 0; s < 20; ++s) {
        tra += std::to_string(s) + " 0 " + std::to_string(s) + " 0.25\n" + std::to_string(s) + " 0 20 0.5\n" +
               std::to_string(s) + " 0 21 0.25\n";
        lab += std::to_string(s) + ": 0\n";
    }
    tra += "20 0 20 1\n";
    const std::string model = folder.Write("many.tra", tra);
    folder.Write("many.lab", lab + "20: 0 1\n");
    const ToolOutput many =
        RunTool(Join({model, "--target", "goal", "--max-iterations", "1", "--quiet"}, BestVariant().Arguments));
    EXPECT_EQ(many.ExitCode, 3) << many.Err;
    for (const char* expected : {"Initial      21 states: 0, 1, 2, 3, ", "1 converged, 20 limit\n",
                                 "  upper bounds from ", " (state 20)", "--json\n"}) {
        EXPECT_NE(many.Out.find(expected), std::string::npos) << expected << "\n" << many.Out;
    }
    const ToolOutput json = RunTool(Join({model, "--target", "goal", "--json"}, BestVariant().Arguments));
    EXPECT_EQ(json.ExitCode, 0) << json.Err;
    const std::vector<RunRecord> runs = ParseRuns(json.Out);
    ASSERT_EQ(runs.size(), 21u);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(Field(runs[i].Line, "initial_state"), std::to_string(i));
        ExpectContains(runs[i], i == 20 ? 1.0 : 2.0 / 3.0, BestVariant().Tolerance());
    }
}

// The format follows the name unless --format says otherwise.
TEST(Tool, FormatOptionOverridesTheExtension) {
    const Folder folder;
    const std::string drn = folder.Write(
        "m.txt", "@type: DTMC\n@nr_states\n2\n@nr_choices\n2\n@model\nstate 0 init\n\taction 0\n"
                 "\t\t1 : 1\nstate 1 goal\n\taction 0\n\t\t1 : 1\n");
    const ToolOutput read = RunTool(Join({drn, "--format", "drn", "--target", "goal", "--json"},
                                         BestVariant().Arguments));
    EXPECT_EQ(read.ExitCode, 0) << read.Err;
    EXPECT_NE(read.Out.find("\"format\": \"drn\""), std::string::npos) << read.Out;
    ASSERT_EQ(ParseRuns(read.Out).size(), 1u);
    EXPECT_EQ(ParseRuns(read.Out)[0].Lower, 1.0);
    const ToolOutput asTra = RunTool({drn, "--quiet"});
    EXPECT_EQ(asTra.ExitCode, 1);
    EXPECT_EQ(asTra.Err.rfind("iicheck: error: " + drn + ":1: number of states \"@type:\"", 0), 0u) << asTra.Err;
}

TEST(Tool, HelpListsTheOptions) {
    const ToolOutput output = RunTool({"--help"});
    EXPECT_EQ(output.ExitCode, 0);
    for (const char* option : {"--prop", "--props", "--export-result", "Pmax>=0.99", "--target", "--avoid", "--min", "--max", "--sum-tolerance", "--epsilon",
                               "--relative", "--absolute", "--max-iterations", "--fpu", "--precision",
                               "--rounding", "--sequential", "--interleaved", "--all-variants", "--json", "--format",
                               "SIGTERM", "Exit codes", "  5  "}) {
        EXPECT_NE(output.Out.find(option), std::string::npos) << option;
    }
}

// Properties as model checkers write them: from the command line and a
// file, checked in that order on one reading of the model, each with its
// own direction, labels and (for a threshold) answer. A bad property is a
// usage error naming its column, an unknown label in the last one stops
// the check before the first runs, no property is a note naming the one
// assumed. --export-result writes the document --json prints, and a file
// it cannot write stops the check before it runs.
TEST(Tool, PropertiesAreCheckedInOrderOnOneReading) {
    const Folder folder;
    const std::string props = folder.Write(
        "p.props", "// the bundled model\nlabel \"x\" = s=1;\n\nPmin=? [ F \"target\" ];\n"
                   "\"m\": Pmax=? [ !(\"trap\" | \"deadlock\") U \"target\" ] // comment\n");
    const std::string exported = folder.Path() + "/result.json";
    const std::vector<std::string> arguments = Join(
        {"--prop", "Pmax>=0.47 [ F \"target\" ]", "--props", props, "--quiet"}, BestVariant().Arguments);
    const ToolOutput json = RunTool(Join(arguments, {"--json", "--export-result", exported}));
    EXPECT_EQ(json.ExitCode, 0) << json.Err;
    EXPECT_EQ(ReadWhole(exported), json.Out);
    EXPECT_NE(json.Err.find("note: " + props + ": 1 label definition skipped (\"x\")"), std::string::npos)
        << json.Err;
    const struct {
        const char* Property;
        const char* Direction;
        double Exact;
        const char* Verdict;
    } expected[] = {
        {"Pmax>=0.47 [F \"target\"]", "max", kMaximum, "true"},
        {"Pmin=? [F \"target\"]", "min", kMinimum, nullptr},
        {"Pmax=? [!(\"trap\"|\"deadlock\") U \"target\"]", "max", kMaximum, nullptr},
    };
    const nlohmann::json result = nlohmann::json::parse(json.Out);
    ASSERT_EQ(result["properties"].size(), std::size(expected)) << json.Out;
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const nlohmann::json& property = result["properties"][i];
        EXPECT_EQ(property["property"], expected[i].Property);
        EXPECT_EQ(property["direction"], expected[i].Direction);
        const nlohmann::json& run = property["runs"][0];
        EXPECT_LE(run["lower"].get<double>(), expected[i].Exact + BestVariant().Tolerance()) << run;
        EXPECT_GE(run["upper"].get<double>(), expected[i].Exact - BestVariant().Tolerance()) << run;
        if (expected[i].Verdict != nullptr && BestVariant().Safe) {
            EXPECT_EQ(run["verdict"], expected[i].Verdict);
        }
    }
    EXPECT_EQ(result["properties"][2]["name"], "m");

    // The text output: the model once, then each property under its name.
    const ToolOutput text = RunTool(arguments);
    EXPECT_EQ(text.ExitCode, 0) << text.Err;
    std::size_t reads = 0, headers = 0;
    for (std::size_t at = text.Out.find("\nRead "); at != std::string::npos; at = text.Out.find("\nRead ", at + 1)) ++reads;
    for (std::size_t at = text.Out.find("Property     "); at != std::string::npos;
         at = text.Out.find("Property     ", at + 1)) {
        ++headers;
    }
    EXPECT_EQ(reads, 1u) << text.Out;
    EXPECT_EQ(headers, 3u) << text.Out;
    EXPECT_NE(text.Out.find("Property     \"m\": Pmax=? [!(\"trap\""), std::string::npos) << text.Out;

    const struct {
        std::vector<std::string> Arguments;
        std::string Error;
    } refused[] = {
        {{"--prop", "Pmax=? [ F \"target\" "}, "iicheck: --prop: column 21: expected \"]\""},
        {{"--prop", "Pmax=? [F \"target\"]", "--prop", "Pmin=? [F \"nope\"]"}, "iicheck: error: "},
        {{"--export-result", folder.Path() + "/none/r.json"}, "iicheck: error: " + folder.Path() + "/none/r.json: "},
    };
    for (const auto& test : refused) {
        const ToolOutput output = RunTool(Join(test.Arguments, {"--quiet"}));
        EXPECT_EQ(output.ExitCode, 1) << output.Err;
        EXPECT_EQ(output.Err.rfind(test.Error, 0), 0u) << output.Err;
        EXPECT_EQ(output.Err.find('\n'), output.Err.size() - 1) << output.Err;
        EXPECT_EQ(output.Out, "");
    }
    const ToolOutput assumed = RunTool({"--quiet"});
    EXPECT_NE(assumed.Err.find("iicheck: note: no property given; checking Pmax=? [F \"target\"]\n"),
              std::string::npos)
        << assumed.Err;
}

// --export-result refuses a file that is (or links to) an input before it
// opens anything for writing, and replaces its file whole: with the result,
// or with a document of the error when the check fails before it has
// bounds, never with a truncated one.
TEST(Tool, ExportResultNeverReplacesAnInputAndIsWrittenWhole) {
    const Folder folder;
    const std::string tra = SeveralInitialStates(folder);
    const std::string lab = folder.Path() + "/several.lab";
    const std::string props = folder.Write("p.props", "Pmax=? [F \"target\"]\n");
    const std::string umb = folder.Write("d.umb", ReadWhole(std::string(IICHECK_MODELS) + "/dining_crypt3/dining_crypt3.umb"));
    ASSERT_EQ(::symlink(tra.c_str(), (folder.Path() + "/link.tra").c_str()), 0);
    ASSERT_EQ(::link(lab.c_str(), (folder.Path() + "/hard.lab").c_str()), 0);
    const struct {
        std::vector<std::string> Arguments;
        std::string Export;
        std::string Input;
    } inputs[] = {
        {{tra, "--props", props}, tra, tra},
        {{tra}, folder.Path() + "/link.tra", tra},
        {{folder.Path() + "/several"}, folder.Path() + "/hard.lab", lab},
        {{tra, "--props", props}, props, props},
        {{umb, "--target", "target1"}, umb, umb},
    };
    for (const auto& test : inputs) {
        const std::string before = ReadWhole(test.Input);
        const ToolOutput output = RunTool(Join(test.Arguments, {"--quiet", "--export-result", test.Export}));
        EXPECT_EQ(output.ExitCode, 1) << output.Err;
        EXPECT_EQ(output.Err.rfind("iicheck: --export-result " + test.Export + " is ", 0), 0u) << output.Err;
        EXPECT_EQ(ReadWhole(test.Input), before) << test.Input;
    }

    const std::string result = folder.Write("r.json", "the previous result");
    const struct {
        std::vector<std::string> Arguments;
        std::string Point;
        int ExitCode;
    } failures[] = {
        {{"--epsilon", "-1"}, "", 1},
        {{tra, "--target", "nope"}, "", 1},
        {{tra}, "read", 3},
        {{tra}, "", 0},
    };
    for (const auto& test : failures) {
        const ToolOutput output = RunTool(Join(test.Arguments, {"--quiet", "--export-result", result}), {},
                                          {{"IICHECK_STOP_AT=" + test.Point}, ""});
        EXPECT_EQ(output.ExitCode, test.ExitCode) << output.Err;
        const nlohmann::json written = nlohmann::json::parse(ReadWhole(result));
        EXPECT_EQ(written["schema"], 1);
        if (test.ExitCode == 0) {
            EXPECT_TRUE(written["error"].is_null());
            EXPECT_EQ(written["properties"][0]["runs"].size(), 6u);
        } else {
            EXPECT_EQ(written["error"]["exit_code"], test.ExitCode);
            const std::string line = "iicheck: " + written["error"]["message"].get<std::string>() + "\n";
            EXPECT_EQ(output.Err.substr(output.Err.size() - std::min(output.Err.size(), line.size())), line);
        }
    }
    // Nothing left beside the files: the temporary file was renamed or removed.
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        files.insert(entry.path().filename().string());
    }
    EXPECT_EQ(files, (std::set<std::string>{"several.tra", "several.lab", "p.props", "d.umb", "link.tra", "hard.lab",
                                            "r.json"}));

    const ToolOutput full = RunTool({"--quiet", "--export-result", "/dev/full"});
    EXPECT_EQ(full.ExitCode, 1);
    EXPECT_NE(full.Err.find("iicheck: error: /dev/full: cannot write the result (--export-result): "),
              std::string::npos)
        << full.Err;
}

// A write that fails (a full disk, a closed pipe) is an error with exit
// code 1, in every output, never a silent success.
TEST(Tool, AFailedWriteIsAnErrorWithExitCode1) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--quiet"}, {"--quiet", "--json"}, {"--help"}, {"--all-variants", "--quiet"}}) {
        const ToolOutput output = RunTool(arguments, {}, {{}, "/dev/full"});
        EXPECT_EQ(output.ExitCode, 1) << arguments[0];
        EXPECT_NE(output.Err.find("iicheck: error: cannot write the output to stdout"), std::string::npos)
            << output.Err;
    }
}

// Every key of the JSON document, as a path: "properties[].runs[].lower".
void CollectKeys(const nlohmann::json& value, const std::string& path, std::set<std::string>& keys) {
    if (value.is_object()) {
        for (const auto& [key, inner] : value.items()) {
            const std::string name = path.empty() ? key : path + "." + key;
            keys.insert(name);
            CollectKeys(inner, name, keys);
        }
    } else if (value.is_array()) {
        for (const nlohmann::json& inner : value) CollectKeys(inner, path + "[]", keys);
    }
}

// The JSON document and host/README.md's description of it agree: every
// key iicheck prints (for a threshold query with a name and a constrained
// one, which print every optional part, and for an error) is in the
// README's table, every key in the table is printed, and the README's
// examples have the same keys.
TEST(Tool, JsonDocumentMatchesItsDocumentation) {
    const std::string readme = ReadWhole(IICHECK_README);
    const std::size_t begin = readme.find("\n## JSON output");
    ASSERT_NE(begin, std::string::npos);
    const std::string section = readme.substr(begin, readme.find("\n## ", begin + 1) - begin);
    std::set<std::string> documented;
    // The first column of every table row: "| `key` | ...".
    const std::string row = "\n| `";
    for (std::size_t at = section.find(row); at != std::string::npos; at = section.find(row, at + 1)) {
        const std::size_t keyBegin = at + row.size();
        const std::size_t keyEnd = section.find("` |", keyBegin);
        ASSERT_NE(keyEnd, std::string::npos);
        documented.insert(section.substr(keyBegin, keyEnd - keyBegin));
    }
    std::set<std::string> shown;
    for (std::size_t at = section.find("```json\n"); at != std::string::npos; at = section.find("```json\n", at + 1)) {
        const std::size_t begin = at + 8;
        CollectKeys(nlohmann::json::parse(section.substr(begin, section.find("```", begin) - begin)), "", shown);
    }

    const ToolOutput output = RunTool(Join({"--json", "--quiet", "--prop", "\"goal\": Pmin>=0.2 [ F \"target\" ]",
                                            "--prop", "Pmax=? [ !\"trap\" U \"target\" ]"},
                                           BestVariant().Arguments));
    EXPECT_EQ(output.ExitCode, 0) << output.Err;
    std::set<std::string> printed;
    CollectKeys(nlohmann::json::parse(output.Out), "", printed);
    const ToolOutput failed = RunTool({"--json", "--quiet", "--epsilon", "-1"});
    EXPECT_EQ(failed.ExitCode, 1);
    CollectKeys(nlohmann::json::parse(failed.Out), "", printed);
    const ToolOutput reward = RunTool({std::string(IICHECK_MODELS) + "/rewards/dice", "--json", "--quiet", "--prop",
                                       "R=? [ F \"done\" ]", "--prop", "Pmin=? [ G !\"target1\" ]"});
    EXPECT_EQ(reward.ExitCode, 0) << reward.Err;
    CollectKeys(nlohmann::json::parse(reward.Out), "", printed);
    EXPECT_EQ(printed, documented);
    EXPECT_EQ(shown, documented);
    EXPECT_EQ(nlohmann::json::parse(output.Out)["schema"], 1);
}

}  // namespace
}  // namespace iicheck::test
