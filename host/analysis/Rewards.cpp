#include "analysis/Rewards.hpp"

#include "model/ExactValue.hpp"
#include "support/Interrupt.hpp"
#include "support/LargeArrays.hpp"

#include <algorithm>

namespace iicheck {
namespace {

constexpr uint64_t kExit = UINT64_MAX;

// The sub-model of the choices of Maybe states that earn nothing and stay
// among the Maybe states (and are not left out already), with one more
// choice per Maybe state to a new target state n. The maximum probability's
// analysis of it reaches that target from every Maybe state, so it marks
// none as probability 0 and collapses exactly the maximal end components of
// those choices (its exits leave every component). Only the graph is built:
// the analysis does not read probabilities.
struct ZeroRewardModel {
    ExplicitMdp Mdp;
    std::vector<uint64_t> Original;  // per choice: the model's choice, or kExit
    PropertySpec Spec;
};

ZeroRewardModel BuildZeroRewardModel(const ExplicitMdp& mdp, const Analysis& analysis,
                                     const std::vector<TransitionValue>& rewards) {
    const uint64_t n = mdp.StateCount;
    const std::vector<StateKind>& kind = analysis.Kind;
    ZeroRewardModel zero;
    ExplicitMdp& sub = zero.Mdp;
    sub.StateCount = n + 1;
    ReserveLarge(sub.StateChoiceStart, n + 2);
    for (uint64_t s = 0; s < n; ++s) {
        PollInterrupt(s, kPrecomputing);
        sub.StateChoiceStart.push_back(sub.ChoiceTransitionStart.size());
        if (kind[s] != StateKind::Maybe) continue;
        zero.Spec.Initial.push_back(s);
        for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
            const uint64_t first = mdp.ChoiceTransitionStart[c];
            const uint64_t last = mdp.ChoiceTransitionStart[c + 1];
            const bool stays = std::all_of(mdp.TransitionTarget.begin() + static_cast<std::ptrdiff_t>(first),
                                           mdp.TransitionTarget.begin() + static_cast<std::ptrdiff_t>(last),
                                           [&](uint64_t t) { return kind[t] == StateKind::Maybe; });
            if (analysis.Inside[c] || !IsZero(rewards[c]) || !stays) continue;
            sub.ChoiceTransitionStart.push_back(sub.TransitionTarget.size());
            sub.TransitionTarget.insert(sub.TransitionTarget.end(),
                                        mdp.TransitionTarget.begin() + static_cast<std::ptrdiff_t>(first),
                                        mdp.TransitionTarget.begin() + static_cast<std::ptrdiff_t>(last));
            zero.Original.push_back(c);
        }
        sub.ChoiceTransitionStart.push_back(sub.TransitionTarget.size());
        sub.TransitionTarget.push_back(n);
        zero.Original.push_back(kExit);
    }
    sub.StateChoiceStart.push_back(sub.ChoiceTransitionStart.size());  // the new target, without choices
    sub.StateChoiceStart.push_back(sub.ChoiceTransitionStart.size());
    sub.ChoiceTransitionStart.push_back(sub.TransitionTarget.size());
    zero.Spec.Maximize = true;
    zero.Spec.Target = EmptyBits(n + 1);
    SetBit(zero.Spec.Target, n);
    return zero;
}

}  // namespace

Analysis AnalyseRewards(const ExplicitMdp& mdp, const PropertySpec& property) {
    // Step 1: finite where the probability of the other direction is 1.
    PropertySpec probability;
    probability.Maximize = !property.Maximize;
    probability.Initial = property.Initial;
    probability.Target = property.Target;
    Analysis analysis = Analyse(mdp, probability, true);
    for (StateKind& kind : analysis.Kind) {
        kind = kind == StateKind::One                                   ? StateKind::Maybe
               : kind == StateKind::Maybe || kind == StateKind::Zero ? StateKind::Zero
                                                                       : kind;
    }
    std::fill(analysis.Component.begin(), analysis.Component.end(), kNoComponent);
    analysis.ComponentCount = 0;
    AssignLarge(analysis.Inside, mdp.ChoiceCount(), uint8_t{0});
    if (property.Maximize) return analysis;

    // A minimum leaves out the choices that may lead to an infinite value.
    const std::vector<StateKind>& kind = analysis.Kind;
    for (uint64_t s = 0; s < mdp.StateCount; ++s) {
        PollInterrupt(s, kPrecomputing);
        if (kind[s] != StateKind::Maybe) continue;
        for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
            for (uint64_t t = mdp.ChoiceTransitionStart[c]; t < mdp.ChoiceTransitionStart[c + 1]; ++t) {
                if (kind[mdp.TransitionTarget[t]] == StateKind::Zero) analysis.Inside[c] = 1;
            }
        }
    }

    // Step 2: the end components without reward, collapsed.
    ZeroRewardModel zero = BuildZeroRewardModel(mdp, analysis, property.ChoiceRewards);
    if (zero.Spec.Initial.empty()) return analysis;
    const Analysis components = Analyse(zero.Mdp, zero.Spec, false);
    std::copy(components.Component.begin(), components.Component.begin() + static_cast<std::ptrdiff_t>(mdp.StateCount),
              analysis.Component.begin());
    analysis.ComponentCount = components.ComponentCount;
    for (uint64_t i = 0; i < zero.Original.size(); ++i) {
        if (zero.Original[i] != kExit && components.Inside[i]) analysis.Inside[zero.Original[i]] = 1;
    }
    return analysis;
}

}  // namespace iicheck
