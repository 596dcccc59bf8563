// From a model as read to the models the library gets, as iicheck does it:
// the property's target and avoid states from the labels, the precomputation
// and the reductions that do not depend on the initial state (once for all
// of them: the analysis, the quotient, the bisimulation), and the order of
// the states from each initial state. Shared by iicheck, its benchmark and
// its fuzz target.
#pragma once

#include "Bisimulation.hpp"
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
    ModelSize Collapsed;             // before the bisimulation
    BisimulationStats Bisimulation;  // when line.Precompute.Bisimulation
    double ReadSeconds = 0;
    double PrecomputeSeconds = 0;     // the analysis and the reductions so far
    double BisimulationSeconds = 0;   // the part the bisimulation took
    // The reduced model for every initial state, in the order it had; the
    // last ReduceFrom releases it.
    ReducedModel Reduced;
    StateOrder Order = StateOrder::Topological;
};

// Everything after reading that does not depend on the initial state, for a
// model of any format (its reader has run CheckChoices): the property's
// states, the analysis of the states reachable from any initial state, the
// quotient and the bisimulation. Sets every field but ReadSeconds, and none
// when it throws.
void Prepare(Model model, const CommandLine& line, Prepared& prepared);

// The model the library gets for the initial state prepared.Initial[i],
// which becomes its state 0, in the order the command line chose. The one
// for the last initial state takes the kept model, the others copy it: it
// comes last.
ReducedModel ReduceFrom(Prepared& prepared, std::size_t i);

}  // namespace iicheck
