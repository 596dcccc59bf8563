// From a model as read to the models the library gets, as iicheck does it:
// the property's target and avoid states from the labels, the precomputation
// that does not depend on the initial state (once for all of them), and the
// reduction from each initial state. Shared by iicheck, its benchmark and
// its fuzz target.
#pragma once

#include "CommandLine.hpp"
#include "ModelReader.hpp"
#include "Precompute.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace iicheck {

struct Prepared {
    uint64_t States = 0;  // of the model as read
    uint64_t Choices = 0;
    uint64_t Transitions = 0;
    bool Dtmc = false;
    std::vector<std::string> Notes;  // the reader's and the labels' notes
    std::vector<uint64_t> Initial;   // the initial states, ascending
    PrecomputeCounts Counts;         // over the states reachable from any initial state
    double ReadSeconds = 0;
    double PrecomputeSeconds = 0;    // the analysis and the reductions so far
    // What the reductions need; the last one releases it.
    ExplicitMdp Mdp;
    PropertySpec Property;
    Analysis Found;
};

// Everything after reading that does not depend on the initial state, for a
// model of any format (its reader has run CheckChoices): the property's
// states and the analysis of the states reachable from any initial state.
// Sets every field but ReadSeconds, and none when it throws.
void Prepare(Model model, const CommandLine& line, Prepared& prepared);

// The model the library gets for the initial state prepared.Initial[i],
// which becomes its state 0. The reduction from the last initial state
// takes the kept model and analysis, the others copy them: it comes last.
ReducedModel ReduceFrom(Prepared& prepared, std::size_t i);

}  // namespace iicheck
