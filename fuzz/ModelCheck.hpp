// What every model a reader delivers through the one interface must satisfy;
// a fuzz target aborts on the first violation, which would be a reader fault.
#pragma once

#include "model/ExactValue.hpp"
#include "formats/ModelReader.hpp"
#include "model/Rewards.hpp"

#include <cmath>
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

// Reward entries of states or choices: ascending, in range, non-negative
// rationals (a large one names a rational of its structure).
inline void CheckRewardEntries(const std::vector<iicheck::RewardEntry>& entries, uint64_t count,
                               const iicheck::RewardStructure& rewards) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Require(entries[i].Index < count && (i == 0 || entries[i - 1].Index < entries[i].Index),
                "reward entries out of range or not ascending");
        const TransitionValue& value = entries[i].Value;
        if (value.Denominator == iicheck::kLargeReward) {
            Require(value.Numerator >= 0 && static_cast<uint64_t>(value.Numerator) < rewards.Large.size() &&
                        sgn(rewards.Large[static_cast<std::size_t>(value.Numerator)]) >= 0,
                    "a large reward out of range or negative");
        } else {
            Require(value.Denominator == 0 ? std::isfinite(value.Value) && value.Value >= 0
                                           : value.Numerator >= 0 && value.Denominator > 0,
                    "a reward that is negative or not finite");
        }
    }
}

inline void CheckModel(const iicheck::Model& model, double tolerance) {
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
    for (uint64_t c = 0; c < mdp.ChoiceCount(); ++c) {
        const uint64_t first = mdp.ChoiceTransitionStart[c];
        const uint64_t count = mdp.ChoiceTransitionStart[c + 1] - first;
        Require(count > 0 && iicheck::CompareSumWithOne(mdp.TransitionValues.data() + first, count, tolerance)
                                 .WithinTolerance,
                "a choice that CheckChoices should have refused");
    }
    for (uint64_t s = 0; model.Dtmc && s < mdp.StateCount; ++s) {
        Require(mdp.StateChoiceStart[s + 1] - mdp.StateChoiceStart[s] == 1, "a DTMC state without one choice");
    }
    Require(!model.Initial.empty(), "no initial state");
    for (std::size_t i = 0; i < model.Initial.size(); ++i) {
        Require(model.Initial[i] < mdp.StateCount && (i == 0 || model.Initial[i - 1] < model.Initial[i]),
                "initial states out of range or not ascending");
    }
    for (const std::vector<uint64_t>& bits : model.Labels.Bitsets) {
        if (!bits.empty()) CheckBitset(bits, mdp.StateCount);
    }
    for (const uint64_t member : model.Labels.Members) {
        Require((member >> iicheck::kLabelBits) < mdp.StateCount, "a labelled state out of range");
    }
    for (const iicheck::RewardStructure& rewards : model.Rewards) {
        CheckRewardEntries(rewards.States, mdp.StateCount, rewards);
        CheckRewardEntries(rewards.Choices, mdp.ChoiceCount(), rewards);
    }
}

}  // namespace fuzz
