// From a model as read to the model the library gets, as iicheck does it:
// the initial state and the property's target and avoid states from the
// labels, the precomputation, and the reduction. Shared by iicheck, its
// benchmark and its fuzz target.
#pragma once

#include "CommandLine.hpp"
#include "ExplicitModel.hpp"
#include "Precompute.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace iicheck {

struct Prepared {
    uint64_t States = 0;  // of the model as read
    uint64_t Choices = 0;
    uint64_t Transitions = 0;
    std::vector<std::string> Notes;  // the readers' notes
    PrecomputeCounts Counts;
    ReducedModel Reduced;
    double ReadSeconds = 0;
    double PrecomputeSeconds = 0;
};

// Everything after reading, for a model of any format that its reader has
// checked with CheckStochastic. Releases mdp on the way; sets every field
// but Notes and ReadSeconds, and none when it throws.
void Prepare(ExplicitMdp mdp, const Labelling& labels, const CommandLine& line, Prepared& prepared);

// Reads a .tra and a .lab text (names for messages), then Prepare.
Prepared PrepareTexts(std::string_view transitions, const std::string& transitionsName,
                      std::string_view labels, const std::string& labelsName,
                      const CommandLine& line);

}  // namespace iicheck
