// Generated models of realistic shape for benchmarks: a few choices per
// state, a few transitions per choice, successors mostly near the state with
// some far jumps, and a mix of fractions and stored binary64 probabilities.
#pragma once

#include "IntervalIteration.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace bench {

struct GeneratedModel {
    std::vector<uint64_t> TargetWords;
    std::vector<uint64_t> ZeroWords;
    std::vector<uint64_t> StateChoiceStart;
    std::vector<uint64_t> ChoiceTransitionStart;
    std::vector<uint64_t> TransitionTarget;
    std::vector<TransitionValue> TransitionValues;

    uint64_t StateCount() const { return StateChoiceStart.size() - 1; }
    uint64_t TransitionCount() const { return TransitionTarget.size(); }

    SparseMdp Mdp() const {
        SparseMdp mdp;
        std::memset(&mdp, 0, sizeof mdp);
        mdp.IsRational = 1;
        mdp.StateCount = StateCount();
        mdp.ZeroStates = ZeroWords.data();
        mdp.TargetStates = TargetWords.data();
        mdp.StateChoiceStart = StateChoiceStart.data();
        mdp.ChoiceCount = ChoiceTransitionStart.size() - 1;
        mdp.ChoiceTransitionStart = ChoiceTransitionStart.data();
        mdp.TransitionCount = TransitionTarget.size();
        mdp.TransitionTarget = TransitionTarget.data();
        mdp.TransitionValues = TransitionValues.data();
        return mdp;
    }
};

// A model of n states. Every choice's probabilities sum to exactly 1 as
// rationals; about half of the choices use fractions with small
// denominators, the others stored binary64 values that are exact dyadic
// fractions. About 1% of the states are targets and 1% zero states;
// successors lie within +-64 states, one in eight anywhere.
inline GeneratedModel GenerateStates(uint64_t n, uint32_t seed) {
    std::mt19937_64 random(seed);
    GeneratedModel model;
    model.TargetWords.assign(n / 64 + 2, 0);
    model.ZeroWords.assign(n / 64 + 2, 0);
    model.StateChoiceStart.reserve(n + 1);
    model.ChoiceTransitionStart.reserve(2 * n + 1);
    model.TransitionTarget.reserve(7 * n);
    model.TransitionValues.reserve(7 * n);
    auto successor = [&](uint64_t state) {
        if (random() % 8 == 0) {
            return random() % n;
        }
        const int64_t offset = static_cast<int64_t>(random() % 129) - 64;
        const int64_t target = static_cast<int64_t>(state) + offset;
        return static_cast<uint64_t>(target < 0 ? -target : target) % n;
    };
    for (uint64_t s = 0; s < n; ++s) {
        model.StateChoiceStart.push_back(model.ChoiceTransitionStart.size());
        const uint64_t kind = random() % 100;
        if (s != 0 && kind == 0) {
            model.TargetWords[s / 64] |= uint64_t{1} << (s % 64);
            continue;
        }
        if (s != 0 && kind == 1) {
            model.ZeroWords[s / 64] |= uint64_t{1} << (s % 64);
            continue;
        }
        const uint64_t choices = 1 + random() % 3;
        for (uint64_t c = 0; c < choices; ++c) {
            model.ChoiceTransitionStart.push_back(model.TransitionTarget.size());
            const uint64_t count = 2 + random() % 3;
            const bool fractions = random() % 2 == 0;
            // Weights w_k with sum W: probabilities w_k / W.
            uint64_t weights[4];
            uint64_t total = 0;
            for (uint64_t k = 0; k < count; ++k) {
                weights[k] = 1 + random() % 7;
                total += weights[k];
            }
            if (!fractions) {
                // Round the weights up to a power-of-two total so that the
                // stored values are exact.
                uint64_t power = 1;
                while (power < total) {
                    power <<= 1;
                }
                weights[count - 1] += power - total;
                total = power;
            }
            for (uint64_t k = 0; k < count; ++k) {
                model.TransitionTarget.push_back(successor(s));
                TransitionValue value;
                if (fractions) {
                    value.Numerator = static_cast<int64_t>(weights[k]);
                    value.Denominator = static_cast<int64_t>(total);
                } else {
                    value.Value = static_cast<double>(weights[k]) / static_cast<double>(total);
                    value.Denominator = 0;
                }
                model.TransitionValues.push_back(value);
            }
        }
    }
    model.StateChoiceStart.push_back(model.ChoiceTransitionStart.size());
    model.ChoiceTransitionStart.push_back(model.TransitionTarget.size());
    return model;
}

// The smallest such model with at least `transitions` transitions (about
// six per state).
inline GeneratedModel Generate(uint64_t transitions, uint32_t seed = 1) {
    uint64_t n = transitions / 6 + 2;
    for (;;) {
        GeneratedModel model = GenerateStates(n, seed);
        if (model.TransitionCount() >= transitions) {
            return model;
        }
        n += (transitions - model.TransitionCount()) / 5 + 1;
    }
}

}  // namespace bench
