#include "CommandLine.hpp"

#include "StateOrder.hpp"
#include "Text.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace iicheck {

const char* const kUsage =
    R"(Usage: iicheck [options] [MODEL.tra [MODEL.lab]]

Computes sound bounds on the minimum or maximum probability of reaching a set
of target states in an explicit MDP with the IntervalIteration library.
MODEL.tra is the transitions file; MODEL.lab defaults to the same name with
.lab. MODEL may also be a folder NAME holding NAME.tra and NAME.lab, or a
path without the extension. Without a model, the bundled example runs.

Property:
  --target LABELS     target states: a label, or labels joined by '|' such
                      as 'goal|done' (default: target)
  --avoid LABELS      constrained reachability "!avoid U target": states with
                      these labels that are not targets count as failures
  --max, --min        maximum (default) or minimum over all schedulers

Input:
  --sum-tolerance T   refuse a choice whose probabilities, summed exactly as
                      rationals, are more than T away from 1 (default 1e-9);
                      choices within T but not exactly 1 (printed binary64
                      values miss 1 by about 1e-17) are used as written and
                      counted in one note

Reduction:
  --no-bisimulation   keep states that behave alike (by default the states
                      whose choices enter the same classes of states with
                      exactly the same probabilities are merged)
  --order NAME        the order of the states for the library: topological
                      (default: the parts downstream first) or breadth-first
                      (from the initial state)

Precision:
  --epsilon E         required half-width of the interval (default 1e-6)
  --absolute          measure the half-width as it is (default)
  --relative          measure the half-width relative to the lower bound
  --max-iterations N  stop after N iterations (default 0: no limit)

Arithmetic:
  --fpu NAME          default, x87, SSE or AVX-512 (default: AVX-512 when the
                      processor has it, else SSE)
  --precision NAME    single, double or extended (default: double; extended
                      only with x87)
  --rounding NAME     default or safe (default: safe; only safe rounding
                      gives sound bounds)
  --interleaved       one vector of lower/upper pairs (default)
  --sequential        separate lower and upper vectors
  --all-variants      run every variant the library offers on this processor
                      and print a comparison table

Output:
  --json              machine-readable output on stdout
  --quiet             no progress line
  --verbose           also show the library's information messages
  --help              this text
  --version           the versions of iicheck and of the library's header

Signals: Ctrl-C (SIGINT) and SIGTERM stop the work. During the iteration
iicheck reports the bounds reached so far; while reading or precomputing it
says where it stopped. A second signal ends the process at once.

Exit codes:
  0  converged
  1  usage or input error
  2  the library refused the call (status 3)
  3  stopped before convergence: the iteration limit (status 1), or Ctrl-C
     or SIGTERM at any time
  4  no bound changed while the bounds were still apart (status 2)
  5  error: a run with safe rounding returned bounds that are not
     0 <= lower <= upper <= 1, which sound bounds always are (the model is
     not a valid MDP, or the library is faulty); never reported as converged
With --all-variants: 5 when any safe-rounding run did so, else 3 when a
signal stopped the runs, else 0 when at least one variant converged, else 2.
)";

namespace {

bool SameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = static_cast<char>(a[i] | 0x20);
        const char y = static_cast<char>(b[i] | 0x20);
        if (x != y) return false;
    }
    return true;
}

// The option byte whose display name (from the library) is name.
uint8_t ByDisplayName(const std::string& option, const std::string& name,
                      const char* (*toString)(uint8_t), uint8_t count) {
    std::string names;
    for (uint8_t value = 0; value < count; ++value) {
        if (SameName(name, toString(value))) return value;
        names += std::string(value == 0 ? "" : ", ") + toString(value);
    }
    if (toString == FpuToString && SameName(name, "avx512")) return FpuAVX512;
    throw UsageError(option + ": unknown name " + Quoted(name) + "; choose one of " + names);
}

// A finite number, not negative.
double NonNegative(const std::string& option, const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0) {
        throw UsageError(option + ": " + Quoted(text) + " is not a non-negative number");
    }
    return value;
}

bool HasAvx512() { return (GetNativeSupportMask() & 2) != 0; }

}  // namespace

CommandLine::CommandLine() {
    Chosen.Fpu = HasAvx512() ? FpuAVX512 : FpuSSE;
    Chosen.Precision = PrecisionDouble;
    Chosen.Rounding = RoundingSafe;
    Chosen.Sequential = false;
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string argument = arguments[i];
        std::string value;
        bool hasValue = false;
        if (argument.rfind("--", 0) == 0) {
            const std::size_t equals = argument.find('=');
            if (equals != std::string::npos) {
                value = argument.substr(equals + 1);
                argument.resize(equals);
                hasValue = true;
            }
        }
        auto takeValue = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= arguments.size()) throw UsageError(Printable(argument) + " needs a value");
            return arguments[++i];
        };
        auto noValue = [&]() {
            if (hasValue) throw UsageError(Printable(argument) + " takes no value");
        };
        if (argument == "--help" || argument == "-h") {
            line.Help = true;
        } else if (argument == "--version") {
            noValue();
            line.Version = true;
        } else if (argument == "--target") {
            line.Target = takeValue();
        } else if (argument == "--avoid") {
            line.Avoid = takeValue();
        } else if (argument == "--max") {
            noValue();
            line.Maximize = true;
        } else if (argument == "--min") {
            noValue();
            line.Maximize = false;
        } else if (argument == "--sum-tolerance") {
            line.SumTolerance = NonNegative(argument, takeValue());
        } else if (argument == "--no-bisimulation") {
            noValue();
            line.Precompute.Bisimulation = false;
        } else if (argument == "--order") {
            const std::string name = takeValue();
            const StateOrder topological = StateOrder::Topological;
            const StateOrder breadthFirst = StateOrder::BreadthFirst;
            if (name != OrderName(topological) && name != OrderName(breadthFirst)) {
                throw UsageError("--order: unknown name " + Quoted(name) + "; choose one of " +
                                 OrderName(topological) + ", " + OrderName(breadthFirst));
            }
            line.Precompute.Order = name == OrderName(topological) ? topological : breadthFirst;
        } else if (argument == "--epsilon") {
            line.Epsilon = NonNegative(argument, takeValue());
        } else if (argument == "--relative") {
            noValue();
            line.Relative = true;
        } else if (argument == "--absolute") {
            noValue();
            line.Relative = false;
        } else if (argument == "--max-iterations") {
            const std::string text = takeValue();
            char* end = nullptr;
            errno = 0;
            const long long count = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || count < 0 || count > INT32_MAX) {
                throw UsageError("--max-iterations: " + Quoted(text) + " is not a count from 0 to " +
                                 std::to_string(INT32_MAX));
            }
            line.MaxIterations = static_cast<int32_t>(count);
        } else if (argument == "--fpu") {
            line.Chosen.Fpu = ByDisplayName(argument, takeValue(), FpuToString, 4);
            if (line.Chosen.Fpu == FpuAVX512 && !HasAvx512()) {
                throw UsageError("--fpu AVX-512: this processor lacks AVX-512F or AVX-512DQ");
            }
        } else if (argument == "--precision") {
            line.Chosen.Precision = ByDisplayName(argument, takeValue(), PrecisionToString, 3);
        } else if (argument == "--rounding") {
            line.Chosen.Rounding = ByDisplayName(argument, takeValue(), RoundingToString, 2);
        } else if (argument == "--sequential") {
            noValue();
            line.Chosen.Sequential = true;
        } else if (argument == "--interleaved") {
            noValue();
            line.Chosen.Sequential = false;
        } else if (argument == "--all-variants") {
            noValue();
            line.AllVariants = true;
        } else if (argument == "--json") {
            noValue();
            line.Json = true;
        } else if (argument == "--quiet") {
            noValue();
            line.Quiet = true;
        } else if (argument == "--verbose") {
            noValue();
            line.Verbose = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            throw UsageError("unknown option " + Printable(argument) + " (see --help)");
        } else {
            line.Files.push_back(argument);
        }
    }
    if (line.Files.size() > 2) throw UsageError("at most two files: MODEL.tra [MODEL.lab]");
    return line;
}

}  // namespace iicheck
