// Graph precomputation before interval iteration.
//
// 1. Reachability: the states reachable from the initial states, without
//    expanding target states and failure states (constrained reachability).
// 2. Probability-0 states. Maximum: the states that cannot reach a target at
//    all (Prob0E). Minimum: the states from which some scheduler avoids the
//    targets forever (Prob0A). States without choices that are not targets
//    are among them.
// 3. Maximum only: the maximal end components of the remaining states are
//    collapsed into single states whose choices are the members' choices
//    that leave the component; the choices that stay inside are dropped.
//    Without that, the upper bounds inside an end component keep each other
//    at 1. Minimum: no end component remains, since staying in one forever
//    avoids the targets, so its states would be probability-0 states; the
//    decomposition is run anyway as a check.
// 4. Probability-1 states, which become targets. After step 3 no end
//    component is left among the remaining states, so every scheduler
//    leaves them for a target or a probability-0 state in the end. Maximum
//    (Prob1E): the states from which some scheduler never risks a
//    probability-0 state, the complement of the least set that holds the
//    probability-0 states and every state (or collapsed end component) all
//    of whose choices have a successor in the set. Minimum (Prob1A): the
//    states that cannot reach a probability-0 state at all.
// 5. The quotient is explored breadth-first from the initial states, the
//    first of which becomes state 0; all targets become one target state and
//    all probability-0 states one zero state.
//
// Nothing but the exploration depends on the initial states: with several,
// everything runs once, and Renumber (StateOrder.hpp) makes each in turn
// state 0.
//
// The model holds no transitions of probability 0 (see ExplicitMdp).
//
// Every step is linear in the size of the model, except the end-component
// decomposition, which repeats a linear pass (Components.hpp) until the
// components are stable; two or three passes on real models. The working
// arrays use 32-bit indices when the model's counts allow; Reduce releases
// the model as read while it builds the quotient. Every loop polls for an
// interrupt (Interrupt.hpp).
//
// Bisimulation.hpp shrinks the quotient further and StateOrder.hpp numbers
// its states for the library.
#pragma once

#include "analysis/Components.hpp"
#include "IntervalIteration.h"
#include "model/ExplicitModel.hpp"

#include <cstdint>
#include <vector>

namespace iicheck {

struct PropertySpec {
    bool Maximize = true;
    std::vector<uint64_t> Initial;  // at least one state
    std::vector<uint64_t> Target;  // bitset over the model's states
    std::vector<uint64_t> Avoid;   // bitset, or empty: failure states of "!avoid U target"
    // An expected reward: the reward of every choice of the model (Reduce
    // copies them with the choices); empty for a probability.
    std::vector<TransitionValue> ChoiceRewards;
};

// One: probability 1, found by step 4; a target from then on.
enum class StateKind : uint8_t { Unreached, Target, Zero, Maybe, One };

// How iicheck reduces the model before the library sees it. The defaults
// are what measures best (docs/performance.md).
enum class StateOrder : uint8_t {
    BreadthFirst,  // from the initial state
    Topological,   // strongly connected components downstream first (StateOrder.hpp)
};
struct PrecomputeOptions {
    bool ProbabilityOne = true;  // step 4
    bool Bisimulation = true;    // Bisimulation.hpp
    StateOrder Order = StateOrder::Topological;
    // The bisimulation races the iterations (Pipeline.hpp) on collapsed
    // models of at least this many transitions; below, it takes
    // milliseconds and runs to its end.
    uint64_t RaceTransitions = uint64_t{1} << 20;
};

// What the graph algorithms found, per state of the model as read.
struct Analysis {
    std::vector<StateKind> Kind;
    std::vector<uint64_t> Component;  // maximal end component (maximum only) or kNoComponent
    uint64_t ComponentCount = 0;
    // Per choice: left out of the quotient, since it stays inside its end
    // component (or, for an expected reward, leads to a state of infinite
    // value: Rewards.hpp).
    std::vector<uint8_t> Inside;
};

// Predecessor lists: for every state t, the choices that have a transition
// to t (a choice once per such transition), and the state of each choice
// (or the largest Index for the choices left out).
template <class Index>
struct Predecessors {
    std::vector<Index> Start;  // StateCount + 1
    std::vector<Index> Choice;
    std::vector<Index> Owner;  // per choice
};

// The predecessor lists of every choice of a model, which do not depend on
// the property: built once for a model that serves several properties, in
// the width of its indices (Narrow when every count fits 32 bits).
struct ModelPredecessors {
    bool Built = false;
    Predecessors<uint32_t> Narrow;
    Predecessors<uint64_t> Wide;
};
ModelPredecessors BuildModelPredecessors(const ExplicitMdp& mdp);

// Steps 1 to 4 (4 only with probabilityOne). Throws std::logic_error when a
// minimum leaves an end component among the states with positive
// probability (which cannot happen; see above). Without predecessors (or
// with lists not built), builds those of the states that steps 2 to 4 look
// at, which are fewer.
Analysis Analyse(const ExplicitMdp& mdp, const PropertySpec& property, bool probabilityOne = true,
                 const ModelPredecessors* predecessors = nullptr);

// The same with 64-bit working indices whatever the model's size, for tests.
Analysis AnalyseWithWideIndices(const ExplicitMdp& mdp, const PropertySpec& property,
                                bool probabilityOne = true);

// The model handed to the library.
struct ReducedModel {
    std::vector<uint64_t> StateChoiceStart;
    std::vector<uint64_t> ChoiceTransitionStart;
    std::vector<uint64_t> TransitionTarget;
    std::vector<TransitionValue> TransitionValues;
    std::vector<uint64_t> TargetStates;  // bitsets
    std::vector<uint64_t> ZeroStates;
    // The states the property asks about, in the order of
    // PropertySpec::Initial; Renumber (StateOrder.hpp) makes one of them
    // state 0.
    std::vector<uint64_t> Initial;
    // An expected reward's: one per choice (PropertySpec::ChoiceRewards).
    std::vector<TransitionValue> ChoiceRewards;

    uint64_t StateCount() const { return StateChoiceStart.size() - 1; }
    uint64_t ChoiceCount() const { return ChoiceTransitionStart.size() - 1; }
    uint64_t TransitionCount() const { return TransitionTarget.size(); }
    // Valid while this object lives and is not changed.
    SparseMdp Mdp() const;
    SparseRewards Rewards() const { return {ChoiceRewards.data(), ChoiceRewards.size()}; }
};

// Step 5. Takes the model and the analysis, to release them on the way:
// pass them with std::move unless they are needed afterwards. The first
// initial state is state 0.
ReducedModel Reduce(ExplicitMdp mdp, const PropertySpec& property, Analysis analysis);

struct ModelSize {
    uint64_t States = 0;
    uint64_t Choices = 0;
    uint64_t Transitions = 0;
};
ModelSize SizeOf(const ReducedModel& model);

struct PrecomputeCounts {
    uint64_t Reachable = 0;
    uint64_t Targets = 0;        // reachable target states
    uint64_t Zero = 0;           // reachable probability-0 states
    uint64_t One = 0;            // reachable probability-1 states (step 4)
    uint64_t Maybe = 0;          // the rest
    uint64_t Components = 0;     // maximal end components collapsed
    uint64_t ComponentStates = 0;
};

PrecomputeCounts Count(const Analysis& analysis);

}  // namespace iicheck
