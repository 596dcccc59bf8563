// The graph analysis of an expected total reward until a target, so that
// the least fixed point of the Bellman operator, which the library iterates,
// is the answer and is finite.
//
// 1. Infinite values. A state's expected reward is infinite when the target
//    is reached with probability below 1 under the schedulers the value is
//    taken over: for a maximum, some scheduler (the minimum probability is
//    below 1); for a minimum, every scheduler (the maximum probability is
//    below 1). The probability analyses (Precompute.hpp) find the states of
//    probability 1 for the other direction: those and the targets have
//    finite values, every other reachable state an infinite one. For a
//    maximum no choice of a finite state leads to an infinite one (that
//    would lower the minimum probability), and no end component is left
//    among the finite states (staying in it would avoid the target). For a
//    minimum, the choices of finite states that may lead to an infinite
//    state are left out: a minimising scheduler never takes them.
// 2. Minimum only: end components without reward. A scheduler that stays in
//    an end component whose choices earn nothing never reaches the target,
//    so its expected reward is infinite, but the least fixed point gives it
//    0. The maximal end components of the finite states' choices that earn
//    nothing are collapsed as for a maximum probability: each becomes one
//    state whose choices are its members' choices that leave it or earn a
//    reward. Then every end component left earns a reward on some choice,
//    and staying in it forever costs an infinite reward in the least fixed
//    point too (Baier, Klein, Leuner, Winkler, Kluppelholz, CAV 2017).
//    For a maximum this is not needed: step 1 leaves no end component, and
//    an end component among finite states would have made them infinite.
//
// The result is an Analysis for Reduce (Precompute.hpp): targets are Target
// states, finite states Maybe states, infinite states Zero states (which the
// library's zero states then hold; only an initial state can be one, and its
// answer is +inf without a call).
#pragma once

#include "analysis/Precompute.hpp"

#include <vector>

namespace iicheck {

// property.Maximize is the reward's direction; property.ChoiceRewards the
// reward of each choice of mdp.
Analysis AnalyseRewards(const ExplicitMdp& mdp, const PropertySpec& property);

}  // namespace iicheck
