// Runs the iicheck executable and reads its --json output.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
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
    long MaxRssKilobytes = 0;  // the peak of its resident memory
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

// What a test does while the program runs: it gets the program's process
// id and the path of its stderr file.
using WhileRunning = std::function<void(pid_t, const std::string&)>;

// Sends signal as soon as the program's stderr contains text (or after a
// minute).
inline WhileRunning SignalWhenErrorShows(const std::string& text, int signal) {
    return [text, signal](pid_t pid, const std::string& err) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (ReadWhole(err).find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            if (::kill(pid, 0) != 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(pid, signal);
    };
}

// What the program gets besides its arguments: more environment variables
// ("NAME=value"), and a file for stdout instead of one the output is read
// from ("/dev/full").
struct Surroundings {
    std::vector<std::string> Environment;
    std::string Stdout;
};

// Runs program with arguments, and meanwhile, when given, while it runs.
inline ToolOutput RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                             const WhileRunning& meanwhile = {}, const Surroundings& surroundings = {}) {
    const std::string directory = TemporaryDirectory();
    const std::string out = surroundings.Stdout.empty() ? directory + "/out" : surroundings.Stdout;
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
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) environment.push_back(*variable);
    for (const std::string& variable : surroundings.Environment) {
        environment.push_back(const_cast<char*>(variable.c_str()));
    }
    environment.push_back(nullptr);
    pid_t pid;
    ToolOutput output;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environment.data()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        ADD_FAILURE() << "cannot start " << program;
        return output;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (meanwhile) meanwhile(pid, err);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    output.MaxRssKilobytes = usage.ru_maxrss;
    output.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    output.Out = surroundings.Stdout.empty() ? ReadWhole(out) : "";
    output.Err = ReadWhole(err);
    if (surroundings.Stdout.empty()) ::unlink(out.c_str());
    ::unlink(err.c_str());
    ::rmdir(directory.c_str());
    return output;
}

inline ToolOutput RunTool(const std::vector<std::string>& arguments, const WhileRunning& meanwhile = {},
                          const Surroundings& surroundings = {}) {
    return RunProgram(IICHECK_EXECUTABLE, arguments, meanwhile, surroundings);
}

// Whether text is what a terminal or a JSON reader can take as it is:
// well-formed UTF-8 (RFC 3629), without control characters but the line
// feed, without C1 controls and without the byte-order mark.
inline bool IsCleanText(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
            ++i;
            continue;
        }
        const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (length == 0 || c < 0xC2 || c > 0xF4 || i + length > text.size()) return false;
        uint32_t point = c & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        const uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF) ||
            (point >= 0x80 && point <= 0x9F) || point == 0xFEFF) {
            return false;
        }
        i += length;
    }
    return true;
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
