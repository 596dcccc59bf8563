// Runs the iicheck executable and reads its --json output.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace iicheck::test {

struct ToolOutput {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string TemporaryDirectory() {
    std::string pattern = ::testing::TempDir() + "iicheck-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

// Runs program with arguments. When interruptOn is not empty, sends SIGINT
// as soon as the program's stderr contains it (or after a minute).
inline ToolOutput RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& interruptOn = "") {
    const std::string directory = TemporaryDirectory();
    const std::string out = directory + "/out";
    const std::string err = directory + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    ToolOutput output;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        ADD_FAILURE() << "cannot start " << program;
        return output;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    bool reaped = false;
    if (!interruptOn.empty()) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (ReadWhole(err).find(interruptOn) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                reaped = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!reaped) ::kill(pid, SIGINT);
    }
    if (!reaped) ::waitpid(pid, &status, 0);
    output.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    output.Out = ReadWhole(out);
    output.Err = ReadWhole(err);
    ::unlink(out.c_str());
    ::unlink(err.c_str());
    ::rmdir(directory.c_str());
    return output;
}

inline ToolOutput RunTool(const std::vector<std::string>& arguments, const std::string& interruptOn = "") {
    return RunProgram(IICHECK_EXECUTABLE, arguments, interruptOn);
}

// One entry of "runs" in the --json output (one per line).
struct RunRecord {
    std::string Fpu, Precision, Rounding;
    int Status = -1;
    double Lower = NAN, Upper = NAN, HalfWidth = NAN, Achieved = NAN;
    long long Iterations = 0;
    std::string Line;
};

inline std::string Field(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\": ";
    const std::size_t at = line.find(key);
    if (at == std::string::npos) return "";
    std::size_t begin = at + key.size();
    if (line[begin] == '"') {
        const std::size_t end = line.find('"', begin + 1);
        return line.substr(begin + 1, end - begin - 1);
    }
    const std::size_t end = line.find_first_of(",}", begin);
    return line.substr(begin, end - begin);
}

inline double NumberField(const std::string& line, const std::string& name) {
    const std::string text = Field(line, name);
    return text.empty() || text == "null" ? NAN : std::strtod(text.c_str(), nullptr);
}

inline std::vector<RunRecord> ParseRuns(const std::string& json) {
    std::vector<RunRecord> runs;
    std::istringstream lines(json);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("{\"fpu\": ") == std::string::npos) continue;
        RunRecord run;
        run.Fpu = Field(line, "fpu");
        run.Precision = Field(line, "precision");
        run.Rounding = Field(line, "rounding");
        run.Status = std::atoi(Field(line, "status").c_str());
        run.Lower = NumberField(line, "lower");
        run.Upper = NumberField(line, "upper");
        run.HalfWidth = NumberField(line, "half_width");
        run.Achieved = NumberField(line, "achieved_precision");
        run.Iterations = std::atoll(Field(line, "iterations").c_str());
        run.Line = line;
        runs.push_back(run);
    }
    return runs;
}

// The best double-precision variant that computes in this build of the
// library, found with --all-variants on the bundled model: safe rounding
// before default rounding, then AVX-512, SSE, x87, the portable one.
struct ChosenVariant {
    std::vector<std::string> Arguments;
    bool Safe = false;
    // Default rounding does not promise sound bounds: containment checks
    // allow this much.
    double Tolerance() const { return Safe ? 0.0 : 1e-12; }
};

inline const ChosenVariant& BestVariant() {
    static const ChosenVariant chosen = [] {
        const ToolOutput output = RunTool({"--all-variants", "--json", "--quiet"});
        int best = -1;
        ChosenVariant result;
        for (const RunRecord& run : ParseRuns(output.Out)) {
            if (run.Status != 0 || run.Precision != "double") continue;
            const int fpuRank = run.Fpu == "AVX-512" ? 3 : run.Fpu == "SSE" ? 2 : run.Fpu == "x87" ? 1 : 0;
            const int rank = (run.Rounding == "safe" ? 10 : 0) + fpuRank;
            if (rank > best) {
                best = rank;
                result.Arguments = {"--fpu", run.Fpu, "--precision", "double", "--rounding", run.Rounding};
                result.Safe = run.Rounding == "safe";
            }
        }
        EXPECT_GE(best, 0) << "no variant computes:\n" << output.Out << output.Err;
        return result;
    }();
    return chosen;
}

inline std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace iicheck::test
