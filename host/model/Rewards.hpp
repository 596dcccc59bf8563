// Reward structures as the model checkers export them, read exactly, and the
// one reward per choice that expected-reward iteration takes.
//
// A structure may give rewards to states (earned in each state left before
// the goal), to choices (PRISM's and Storm's action rewards) and to
// transitions. The readers fold transition rewards into their choice at
// once, as the expected reward of taking the choice (the sum of probability
// times reward over its transitions), so a structure keeps rewards of states
// and of choices only. Each reward is a non-negative rational, kept exactly:
// a stored binary64 value when it is one, else a fraction of two 64-bit
// integers, else (a decimal of many digits) a GMP rational of the structure.
#pragma once

#include "IntervalIteration.h"
#include "model/ExplicitModel.hpp"

#include <gmpxx.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace iicheck {

// TransitionValue::Denominator of a reward kept as a GMP rational: its
// Numerator is the position in RewardStructure::Large.
constexpr int64_t kLargeReward = -1;

struct RewardEntry {
    uint64_t Index = 0;  // a state or a choice of the model
    TransitionValue Value{};
};

struct RewardStructure {
    std::string Name;  // "" for an unnamed structure
    // Which kinds have rewards that are not 0.
    bool StateRewards = false;
    bool ChoiceRewards = false;
    bool TransitionRewards = false;  // folded into Choices
    // The rewards that are not 0, in ascending order of Index.
    std::vector<RewardEntry> States;
    std::vector<RewardEntry> Choices;
    std::vector<mpq_class> Large;
};

// "state and transition rewards", for messages.
std::string RewardKinds(const RewardStructure& rewards);

// "the structure \"time\"", or "the unnamed structure".
std::string RewardName(const RewardStructure& rewards);

// Reads a reward: an unsigned decimal ("2", "0.5", "1e-3", "2.5E+4") or a
// fraction "a/b" of unsigned integers, exactly. Returns null, or what is
// wrong with it ("is negative", "is not a finite number", ...).
const char* ParseReward(const char* begin, const char* end, mpq_class& value);

// Reads rewards of a file, remembering the last text, since files repeat
// the same few values (0, 1) over and over.
class RewardReader {
public:
    // The reward in [begin, end), or null with error set.
    const char* Read(const char* begin, const char* end, RewardStructure& rewards, TransitionValue& value);

private:
    std::string lastText_;
    TransitionValue last_{};
    const RewardStructure* lastOf_ = nullptr;
};

// The value kept for the rational value (>= 0) in rewards.
TransitionValue KeepReward(const mpq_class& value, RewardStructure& rewards);

// The rational a kept value stands for.
mpq_class RewardRational(const TransitionValue& value, const RewardStructure& rewards);

// Appends a reward of state or choice index (ascending) unless it is 0;
// whether it did.
bool AddReward(std::vector<RewardEntry>& entries, uint64_t index, const TransitionValue& value);

// Folds transition rewards into choice rewards: the expected reward of each
// choice of mdp, the sum over its transitions of probability times reward,
// exactly. transitionRewards holds (transition, reward) pairs in ascending
// order of the transition; the choice rewards already there are added.
void FoldTransitionRewards(const ExplicitMdp& mdp, const std::vector<RewardEntry>& transitionRewards,
                           RewardStructure& rewards);

// The reward of every choice of a model as the library takes it: the
// reward of its state, plus its own (with the expected reward of its
// transitions), exactly.
struct ChoiceRewards {
    std::vector<TransitionValue> Values;  // per choice of the model
    // Choices whose exact reward is neither a binary64 value nor a fraction
    // of 64-bit integers: the library gets the binary64 value next to it
    // (never 0 for a positive reward), and the bounds are not guaranteed.
    uint64_t Inexact = 0;
};
ChoiceRewards FoldRewards(const ExplicitMdp& mdp, const RewardStructure& rewards);

// The structure a property names (named: R{"name"}), or without a name the
// only one. An InputError otherwise, naming the structures the model has.
std::size_t SelectRewards(const std::vector<RewardStructure>& structures, bool named, const std::string& name);

}  // namespace iicheck
