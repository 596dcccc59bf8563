// Fuzzes the command-line host from its options to the library call, for
// each property on one reading of the model. The input's first line is
// iicheck's command line (words separated by spaces);
// the rest is a transitions file, then, after a line "%%", a labels file.
//
// Invariants: bad options end in a UsageError and bad files in an
// InputError, never a crash; a refused input leaves nothing half-built;
// every kept choice sums to 1 within the tolerance (checked here with an
// independent exact sum); a model that reads precomputes, from each initial
// state, into a model the library accepts, whose safe bounds are 0 <= lower <= upper <= 1 when no
// choice sums to more than 1 (a tolerance of 1 lets such choices through).
// Headers of any size are read: memory follows the input, not its header.
// The seeds in corpus/ExplicitModel hold the worst cases of each kind;
// WorstCaseSeeds.py writes them.
#include "cli/CommandLine.hpp"
#include "formats/TraReader.hpp"
#include "IntervalIteration.h"
#include "model/ExactValue.hpp"
#include "model/ExplicitModel.hpp"
#include "pipeline/Pipeline.hpp"

#include <gmpxx.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Ignore(uint64_t, const char*, uint64_t) {}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

std::vector<std::string> Words(std::string_view line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) words.emplace_back(line.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

// The exact sum of each choice of up to 64 transitions (longer ones would
// make this check, added one term after the other, slow), compared with 1.
// True when every choice is known to sum to at most 1.
bool CheckSums(const iicheck::ExplicitMdp& mdp, double tolerance) {
    bool substochastic = true;
    for (uint64_t c = 0; c < mdp.ChoiceCount(); ++c) {
        const uint64_t first = mdp.ChoiceTransitionStart[c];
        const uint64_t last = mdp.ChoiceTransitionStart[c + 1];
        if (last - first > 64) {
            substochastic = false;
            continue;
        }
        mpq_class sum = 0;
        for (uint64_t t = first; t < last; ++t) {
            const TransitionValue& value = mdp.TransitionValues[t];
            if (!iicheck::IsProbability(value)) Fail("a kept value is not a probability");
            if (value.Denominator == 0) {
                sum += mpq_class(value.Value);
            } else {
                mpq_class fraction(static_cast<long>(value.Numerator), static_cast<long>(value.Denominator));
                fraction.canonicalize();
                sum += fraction;
            }
        }
        if (abs(sum - 1) > mpq_class(tolerance)) Fail("a kept choice does not sum to 1 within the tolerance");
        substochastic = substochastic && sum <= 1;
    }
    return substochastic;
}

void Solve(const iicheck::ReducedModel& reduced, bool maximize, bool substochastic) {
    const SparseMdp model = reduced.Mdp();
    IterationOptions options{};
    options.Epsilon = 1e-6;
    options.MaxIterations = 20;
    options.Maximize = maximize;
    options.ReturnBoundsOnFailure = 1;
    options.Fpu = FpuSSE;
    options.Rounding = RoundingSafe;
    int64_t count = 0;
    double achieved = 0;
    int32_t warned = 0, abortFlag = 0;
    const IterationResult result =
        IntervalIteration(&model, &options, &count, &achieved, &warned, Ignore, &abortFlag);
    if (result.Status == IterationStatusError) Fail("the library refused a precomputed model");
    if (substochastic && !(0 <= result.Lower && result.Lower <= result.Upper && result.Upper <= 1)) {
        Fail("safe bounds not 0 <= lower <= upper <= 1");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = std::min(input.find('\n'), input.size());
    const std::string_view files = input.substr(std::min(newline + 1, input.size()));
    const std::size_t split = std::min(files.find("\n%%\n"), files.size());
    const std::string_view transitions = files.substr(0, split);
    const std::string_view labels = files.substr(std::min(split + 4, files.size()));
    iicheck::CommandLine line;
    try {
        line = iicheck::ParseCommandLine(Words(input.substr(0, newline)));
    } catch (const iicheck::UsageError&) {
        return 0;
    }
    // The properties of --prop (or the shorthands); --props files are not
    // read here.
    line.PropertyFiles.clear();
    std::vector<std::string> notes;
    const std::vector<iicheck::Property> properties = iicheck::PropertiesOf(line, notes);
    iicheck::Prepared prepared;
    bool substochastic = false;
    try {
        iicheck::Model model = iicheck::ParseTra(transitions, "fuzz.tra", labels, "fuzz.lab", line.SumTolerance);
        substochastic = CheckSums(model.Mdp, line.SumTolerance);
        iicheck::Prepare(std::move(model), prepared);
    } catch (const iicheck::InputError&) {
        // Malformed input, reported with its file and line.
        if (prepared.States != 0 || !prepared.Initial.empty()) Fail("a refused input left a half-built model");
        return 0;
    }
    // Each property on the one kept model, as iicheck checks them: the last
    // initial states, which take the kept model after the last property,
    // and one before them, which copies it.
    for (std::size_t p = 0; p < properties.size(); ++p) {
        bool maximize = true;
        try {
            maximize = iicheck::DirectionIsMaximum(properties[p], prepared.Dtmc);
            iicheck::PrepareProperty(prepared, properties[p], maximize, line.Precompute, p + 1 == properties.size(),
                                    notes);
        } catch (const iicheck::InputError&) {
            return 0;  // an unknown label, or P=? on an MDP
        }
        const std::size_t count = prepared.Initial.size();
        for (std::size_t i = count > 2 ? count - 2 : 0; i < count; ++i) {
            Solve(iicheck::ReduceFrom(prepared, i), maximize, substochastic);
        }
    }
    return 0;
}
