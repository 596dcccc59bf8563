#include "cli/CommandLine.hpp"

#include "analysis/StateOrder.hpp"
#include "support/Text.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

namespace iicheck {

const char* const kUsage =
    R"(Usage: iicheck [options] [MODEL.tra [MODEL.lab] | MODEL.drn | MODEL.umb]

Computes sound bounds on the minimum or maximum probability of reaching a set
of target states, or on the expected total reward until reaching them, in an
explicit MDP or DTMC with the IntervalIteration library, for each initial
state.
The format follows the file's name: MODEL.tra (PRISM's explicit format, with
the labels in MODEL.lab unless a second file is given), MODEL.drn (Storm's
DRN), MODEL.umb, .umb.gz or .umb.xz (UMB); any other name is read as .tra.
MODEL may also be a folder NAME holding NAME.tra (or .drn, .umb, .umb.gz), or
a path without the extension. Without a model, the bundled example runs.

Properties, as PRISM and Storm write them:
  --prop PROPERTY     Pmax=? [ F "goal" ], Pmin=? [ !"bad" U "goal" ]; labels
                      combine with !, &, | and parentheses ("a" & !("b"|"c"));
                      P=? on a DTMC; repeatable. Also G, W and R, answered
                      by the complement (Pmax=? [ G "safe" ] is
                      1 - Pmin=? [ F !"safe" ]), and expected rewards until a
                      goal: Rmin=? [ F "done" ], R{"time"}max=? [ F "done" ]
  --props FILE        one property a line, // comments; PRISM's label
                      definitions are skipped with a note (the model's labels
                      must hold them)
  Every property is checked on one reading of the model, in order.
  Thresholds: Pmax>=0.99 [ F "goal" ], P<0.5 [ F "goal" ] (with <, <=, >,
  >=; a plain P takes its direction from the comparison, as for every
  scheduler). The answer is true or false only when the whole interval of a
  safe-rounding run lies on one side of the threshold, compared exactly;
  epsilon is narrowed until it does, else the answer is "unknown" with the
  interval. Default rounding never decides: its bounds are not guaranteed.
Shorthands for one property (not mixed with --prop or --props):
  --target LABELS     target states: a label, or labels joined by '|' such
                      as 'goal|done' (default: target)
  --avoid LABELS      constrained reachability "!avoid U target": states with
                      these labels that are not targets count as failures
  --max, --min        maximum (default) or minimum over all schedulers
Without a property iicheck checks Pmax=? [F "target"] and says so.

Input:
  --format NAME       tra, drn or umb, whatever the file's name
  --rewards FILE      a .tra's reward file, NAME.srew (state rewards) or
                      NAME.trew (transition rewards), repeatable (default:
                      the .srew and .trew of the .tra's name that exist);
                      DRN and UMB hold their rewards
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
  --fpu NAME          default, x87, SSE or AVX-512
  --precision NAME    single, double or extended (extended only with x87)
  --rounding NAME     default or safe (only safe rounding gives sound bounds)
  --interleaved       one vector of lower/upper pairs
  --sequential        separate lower and upper vectors
  --all-variants      run every variant the library offers on this processor
                      and print a comparison table
Without these, the fastest sound variant measured (docs/performance.md):
safe rounding, double precision, with AVX-512 AVX-512 interleaved (0.6 to
1.6 times the time of default rounding), else SSE sequential (0.7 to 2;
SSE interleaved takes 3.8 to 23, changing the rounding direction twice per
transition). If that one would round some fraction of the model before
dividing it, the next of SSE sequential and x87 interleaved, with a note.

Output:
  --json              the result as one JSON document on stdout (schema 1,
                      described in host/README.md)
  --export-result FILE  write that JSON document to FILE too: whole (through
                      a temporary file renamed over FILE), with the error
                      when the check fails; never over an input of the check
  --quiet             no progress line
  --verbose           also show the library's information messages
  --help              this text
  --version           the versions of iicheck and of the library's header

Probabilities are read exactly: decimals and fractions as the rationals
they are, decimals that only a binary64 value's printed digits explain
(shortest or 17 digits: 2.3283064365386963E-10) as that binary64 value.

Labels: "init" marks the initial states. A label the model does not have
is an error, except in DRN, which names only the labels that states carry:
there it is empty, with a note. "deadlock" is empty where it is absent.

Several initial states: the bounds of each, in a table, or for many in a
summary (--json lists them all); the precomputation runs once for them all,
and an initial state it decided, or in the class of an earlier one, needs
no library call of its own.

Each option once (--prop and --props may repeat); options that contradict
each other (--min --max, --sequential --interleaved, --absolute --relative,
--all-variants with --fpu, --precision or --rounding) are refused.

Signals: Ctrl-C (SIGINT), SIGTERM and SIGHUP stop the work, a read that waits
for its input too. During the iteration iicheck reports the bounds reached so
far and leaves out the initial states not yet done; while reading or
precomputing it says where it stopped. A second signal ends the process at
once, with a line on stderr and exit code 3.

Exit codes (whether the check ran soundly, not a threshold's answer):
  0  converged; a threshold query: answered, or its interval converged at the
     requested epsilon (narrower ones may stay unknown)
  1  usage or input error, or a result that could not be written (stdout or
     the --export-result file)
  2  the library refused the call (status 3)
  3  stopped before convergence: the iteration limit (status 1), or Ctrl-C
     or SIGTERM at any time
  4  no bound changed while the bounds were still apart (status 2)
  5  error: a run with safe rounding returned bounds that are not
     0 <= lower <= upper <= 1, which sound bounds always are (the model is
     not a valid MDP, or the library is faulty); never reported as converged
With several properties, --all-variants or several initial states: 5 when
any safe-rounding run did so, else 3 when a signal stopped the runs, else
the highest code of the properties' initial states, each 0 when at least one
variant converged, else 2 (with one variant: its code).
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

// The slot of an option on the command line: options that exclude each
// other share one.
std::string SlotOf(const std::string& option) {
    if (option == "--min" || option == "--max") return "direction";
    if (option == "--sequential" || option == "--interleaved") return "layout";
    if (option == "--absolute" || option == "--relative") return "measure";
    return option;
}

}  // namespace

CommandLine::CommandLine() : Chosen(DefaultVariants(HasAvx512())[0]) {}

std::vector<Variant> DefaultVariants(bool avx512) {
    // Under safe rounding the portable and SSE variants change the rounding
    // direction twice per transition in the interleaved layout, but twice
    // per sweep in the sequential one; AVX-512 carries the direction in each
    // instruction and x87 loads the integers of a fraction exactly.
    std::vector<Variant> variants;
    if (avx512) variants.push_back({FpuAVX512, PrecisionDouble, RoundingSafe, false});
    variants.push_back({FpuSSE, PrecisionDouble, RoundingSafe, true});
    variants.push_back({FpuX87, PrecisionDouble, RoundingSafe, false});
    return variants;
}

Variant VariantFor(const CommandLine& line, const SparseMdp& model, std::vector<std::string>& notes,
                   const SparseRewards* rewards) {
    if (line.VariantGiven) return line.Chosen;
    const std::vector<Variant> candidates = DefaultVariants(HasAvx512());
    for (const Variant& candidate : candidates) {
        const FractionCount count = CountFractions(model, candidate, rewards);
        if (count.Inexact == 0) {
            if (&candidate != &candidates[0]) {
                notes.push_back("the " + Describe(candidates[0]) + " would round " +
                                std::to_string(CountFractions(model, candidates[0], rewards).Inexact) +
                                " fractions of this model before dividing them; using the " +
                                Describe(candidate) + ", which divides them with outward rounding");
            }
            return candidate;
        }
    }
    return candidates.back();  // x87 divides every fraction exactly
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    ParseCommandLine(arguments, line);
    return line;
}

void ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& line) {
    std::string firstError;
    // Options that exclude each other share a slot: the option that took it.
    std::map<std::string, std::string> taken;
    std::string oneVariant;  // the first of --fpu, --precision, --rounding
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
        try {
            const bool repeatable =
                argument == "--prop" || argument == "--props" || argument == "--rewards" || argument == "--help";
            if (argument.rfind("--", 0) == 0 && !repeatable) {
                const auto [at, fresh] = taken.emplace(SlotOf(argument), argument);
                if (!fresh && at->second == argument) throw UsageError(Printable(argument) + " is given twice");
                if (!fresh) throw UsageError(at->second + " and " + argument + " contradict each other");
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
            } else if (argument == "--prop") {
                try {
                    line.Properties.push_back(ParseProperty(takeValue(), "--prop"));
                } catch (const InputError& error) {
                    throw UsageError(error.what());
                }
            } else if (argument == "--props") {
                line.PropertyFiles.push_back(takeValue());
            } else if (argument == "--target") {
                line.Target = takeValue();
                line.TargetGiven = true;
            } else if (argument == "--avoid") {
                line.Avoid = takeValue();
                line.AvoidGiven = true;
            } else if (argument == "--max" || argument == "--min") {
                noValue();
                line.Maximize = argument == "--max";
                line.DirectionGiven = true;
            } else if (argument == "--format") {
                const std::string name = takeValue();
                line.Format = ParseFormatName(name);
                if (!line.Format) throw UsageError("--format: unknown format " + Quoted(name) + "; choose tra, drn or umb");
            } else if (argument == "--rewards") {
                line.RewardFiles.push_back(takeValue());
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
                line.VariantGiven = true;
                if (line.Chosen.Fpu == FpuAVX512 && !HasAvx512()) {
                    throw UsageError("--fpu AVX-512: this processor lacks AVX-512F or AVX-512DQ");
                }
            } else if (argument == "--precision") {
                line.Chosen.Precision = ByDisplayName(argument, takeValue(), PrecisionToString, 3);
                line.VariantGiven = true;
            } else if (argument == "--rounding") {
                line.Chosen.Rounding = ByDisplayName(argument, takeValue(), RoundingToString, 2);
                line.VariantGiven = true;
            } else if (argument == "--sequential") {
                noValue();
                line.Chosen.Sequential = true;
                line.VariantGiven = true;
            } else if (argument == "--interleaved") {
                noValue();
                line.Chosen.Sequential = false;
                line.VariantGiven = true;
            } else if (argument == "--all-variants") {
                noValue();
                line.AllVariants = true;
            } else if (argument == "--json") {
                noValue();
                line.Json = true;
            } else if (argument == "--export-result") {
                line.ExportFile = takeValue();
                if (line.ExportFile.empty()) throw UsageError("--export-result needs a file name");
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
            const bool variantPart = argument == "--fpu" || argument == "--precision" || argument == "--rounding";
            if (oneVariant.empty() && variantPart) oneVariant = argument;
        } catch (const UsageError& error) {
            if (firstError.empty()) firstError = error.what();
        }
    }
    auto refuse = [&](const std::string& error) {
        if (firstError.empty()) firstError = error;
    };
    if (line.Files.size() > 2) refuse("at most two files: MODEL.tra [MODEL.lab]");
    if ((line.TargetGiven || line.AvoidGiven || line.DirectionGiven) &&
        (!line.Properties.empty() || !line.PropertyFiles.empty())) {
        refuse("--prop and --props cannot be mixed with --target, --avoid, --min or --max; "
               "write the whole property, such as --prop 'Pmin=? [!\"avoid\" U \"goal\"]'");
    }
    if (line.AllVariants && !oneVariant.empty()) {
        refuse("--all-variants runs every variant; " + oneVariant + " names one of them");
    }
    if (!firstError.empty()) throw UsageError(firstError);
}

std::vector<Property> PropertiesOf(const CommandLine& line, std::vector<std::string>& notes) {
    std::vector<Property> properties = line.Properties;
    for (const std::string& file : line.PropertyFiles) {
        // Far above any real properties file, so that /dev/zero is refused.
        constexpr std::size_t kMaxPropertiesBytes = std::size_t{16} << 20;
        const FileText text(file, kMaxPropertiesBytes);
        for (Property& property : ParsePropertiesText(text.Text(), file, notes)) {
            properties.push_back(std::move(property));
        }
    }
    if (!properties.empty()) return properties;
    properties.push_back(ShorthandProperty(line.Target, line.Avoid, line.Maximize));
    const char* missing = !line.TargetGiven && !line.DirectionGiven ? "no property given"
                          : !line.TargetGiven                      ? "no --target given"
                          : !line.DirectionGiven                   ? "no --min or --max given"
                                                                   : nullptr;
    if (missing != nullptr) notes.push_back(std::string(missing) + "; checking " + properties[0].Text);
    return properties;
}

}  // namespace iicheck
