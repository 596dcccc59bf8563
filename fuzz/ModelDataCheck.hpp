// What every model a reader delivers must satisfy; a fuzz target aborts on
// the first violation, which would be a reader fault.
#pragma once

#include "ModelData.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

inline void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "reader fault: %s\n", what);
        std::abort();
    }
}

// An error must be one line naming the file.
inline void CheckError(const char* message, const char* name) {
    Require(std::strncmp(message, name, std::strlen(name)) == 0 &&
                message[std::strlen(name)] == ':' && std::strchr(message, '\n') == nullptr,
            "an error that is not one line naming the file");
}

inline bool Ascending(const std::vector<uint64_t>& offsets, uint64_t count, uint64_t last) {
    if (offsets.size() != count + 1 || offsets.front() != 0 || offsets.back() != last) return false;
    for (std::size_t i = 1; i < offsets.size(); ++i) {
        if (offsets[i] < offsets[i - 1]) return false;
    }
    return true;
}

inline void CheckBitset(const std::vector<uint64_t>& bits, uint64_t states) {
    Require(bits.size() == (states + 63) / 64, "a bitset of the wrong size");
    Require(states % 64 == 0 || (bits.back() >> (states % 64)) == 0, "a bit beyond the last state");
}

inline void CheckModel(const iicheck::ModelData& model) {
    const iicheck::ExplicitMdp& mdp = model.Mdp;
    Require(mdp.StateCount > 0, "no states");
    Require(!mdp.ChoiceTransitionStart.empty(), "no choice offsets");
    Require(Ascending(mdp.StateChoiceStart, mdp.StateCount, mdp.ChoiceCount()), "bad choice offsets");
    Require(Ascending(mdp.ChoiceTransitionStart, mdp.ChoiceCount(), mdp.TransitionCount()),
            "bad transition offsets");
    Require(mdp.TransitionValues.size() == mdp.TransitionCount(), "values and targets differ in number");
    for (uint64_t t = 0; t < mdp.TransitionCount(); ++t) {
        Require(mdp.TransitionTarget[t] < mdp.StateCount, "a target out of range");
        const TransitionValue& value = mdp.TransitionValues[t];
        Require(value.Denominator == 0 ? value.Value > 0 && value.Value <= 1
                                       : value.Numerator > 0 && value.Numerator < value.Denominator,
                "a probability outside (0, 1]");
    }
    for (uint64_t s = 0; model.Dtmc && s < mdp.StateCount; ++s) {
        Require(mdp.StateChoiceStart[s + 1] - mdp.StateChoiceStart[s] == 1, "a DTMC state without one choice");
    }
    CheckBitset(model.Initial, mdp.StateCount);
    bool initial = false;
    for (const uint64_t word : model.Initial) initial = initial || word != 0;
    Require(initial, "no initial state");
    for (const iicheck::LabelBits& label : model.Labels) CheckBitset(label.Members, mdp.StateCount);
}

}  // namespace fuzz
