// From a model as read to the models the library gets, as iicheck does it:
// the model kept once for all properties; per property its target and
// avoid states from the labels and the precomputation that does not depend
// on the initial state (once for all of them); and the reduction from each
// initial state. Shared by iicheck, its benchmark and its fuzz target.
#pragma once

#include "CommandLine.hpp"
#include "ModelReader.hpp"
#include "Precompute.hpp"
#include "Property.hpp"

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
    std::vector<std::string> Notes;  // the reader's notes
    std::vector<uint64_t> Initial;   // the initial states, ascending
    double ReadSeconds = 0;
    // The model as read, one copy for every property; the last reduction of
    // the last property releases it.
    ExplicitMdp Mdp;
    Labelling Labels;
    // The current property (PrepareProperty).
    PropertySpec Property;
    Analysis Found;
    PrecomputeCounts Counts;         // over the states reachable from any initial state
    double PrecomputeSeconds = 0;    // its analysis and reductions so far
    bool LastProperty = true;        // its last reduction may take the model
};

// Keeps a model of any format (its reader has run CheckChoices) for the
// properties. Sets the fields above the current property's.
void Prepare(Model model, Prepared& prepared);

// The part of a property that does not depend on the initial state: its
// target and avoid states and the analysis of the states reachable from
// any initial state, replacing the previous property's. last: no property
// follows, so the labels go now and the last reduction takes the model.
// The labels' notes (a label DRN does not name) are appended to notes.
// After an exception (an unknown label, an interrupt) prepared serves no
// further property.
void PrepareProperty(Prepared& prepared, const Property& property, bool maximize, bool last,
                     std::vector<std::string>& notes);

// Prepare and PrepareProperty for the one property of the shorthands
// --target, --avoid, --min and --max of line (the benchmarks).
void Prepare(Model model, const CommandLine& line, Prepared& prepared);

// The model the library gets for the initial state prepared.Initial[i],
// which becomes its state 0. The reduction from the last initial state of
// the last property takes the kept model and analysis, the others copy
// them: it comes last.
ReducedModel ReduceFrom(Prepared& prepared, std::size_t i);

}  // namespace iicheck
