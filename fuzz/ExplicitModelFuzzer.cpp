// Fuzzes the command-line host's reader and graph precomputation: the input
// is split into a transitions file and a labels file. Malformed input must
// end in an InputError, never a crash; a model that reads must precompute
// for the maximum and the minimum into a model the library accepts.
#include "ExplicitModel.hpp"
#include "IntervalIteration.h"
#include "Precompute.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Ignore(uint64_t, const char*, uint64_t) {}

// The state count of the header, so that headers announcing millions of
// states (which the reader allocates for, as it must) are left out.
uint64_t HeaderStates(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(at, end - at);
        const std::size_t first = line.find_first_not_of(" \t\r\v\f");
        if (first != std::string_view::npos && line[first] != '#') {
            uint64_t states = 0;
            for (std::size_t i = first; i < line.size() && line[i] >= '0' && line[i] <= '9' &&
                                        states < 1000000;
                 ++i) {
                states = states * 10 + static_cast<uint64_t>(line[i] - '0');
            }
            return states;
        }
        at = end + 1;
    }
    return 0;
}

void Check(const iicheck::ExplicitMdp& mdp, const iicheck::Labelling& labels, bool maximize) {
    iicheck::PropertySpec property;
    property.Maximize = maximize;
    property.Initial = iicheck::InitialState(labels, mdp.StateCount);
    property.Target = iicheck::StatesWithAnyLabel(labels, labels.Names.back(), mdp.StateCount);
    const iicheck::Analysis analysis = iicheck::Analyse(mdp, property);
    const iicheck::ReducedModel reduced = iicheck::Reduce(mdp, property, analysis);
    const SparseMdp model = reduced.Mdp();
    IterationOptions options{};
    options.Epsilon = 1e-6;
    options.MaxIterations = 20;
    options.Maximize = maximize;
    options.Fpu = FpuSSE;
    options.Rounding = RoundingSafe;
    int64_t count = 0;
    double achieved = 0;
    int32_t warned = 0, abortFlag = 0;
    const IterationResult result =
        IntervalIteration(&model, &options, &count, &achieved, &warned, Ignore, &abortFlag);
    if (result.Status == IterationStatusError) {
        std::fprintf(stderr, "the library refused a precomputed model\n");
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    // First byte: where the labels file begins.
    const std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t split = std::min<std::size_t>(data[0] * all.size() / 255, all.size());
    const std::string_view transitions = all.substr(0, split);
    const std::string_view labelText = all.substr(split);
    if (HeaderStates(transitions) >= 100000) {
        return 0;
    }
    try {
        std::vector<std::string> warnings;
        const iicheck::ExplicitMdp mdp =
            iicheck::ParseTransitions(transitions, "fuzz.tra", warnings);
        const iicheck::Labelling labels = iicheck::ParseLabels(labelText, "fuzz.lab", mdp.StateCount);
        if (labels.Names.empty()) {
            return 0;
        }
        Check(mdp, labels, true);
        Check(mdp, labels, false);
    } catch (const iicheck::InputError&) {
        // Malformed input, reported with its file and line.
    }
    return 0;
}
