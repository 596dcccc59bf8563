// A model as a reader of any file format delivers it: the transitions, the
// labels and the initial states.
#pragma once

#include "ExplicitModel.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace iicheck {

// A label and the states that carry it, as a bitset (64 states a word).
struct LabelBits {
    std::string Name;
    std::vector<uint64_t> Members;
};

struct ModelData {
    ExplicitMdp Mdp;                // a DTMC has one choice per state
    std::vector<LabelBits> Labels;  // in the file's order, "init" among them
    std::vector<uint64_t> Initial;  // bitset of the initial states, at least one
    bool Dtmc = false;
};

// Names the place of a choice in its file for messages, for example
// "model.drn:123".
using ChoiceLocator = std::function<std::string(uint64_t choice)>;

}  // namespace iicheck
