// The floor: the simplest hand-written in-place sweep over the same arrays,
// in binary64 and round-to-nearest, with one division and one multiply-add
// per transition and bound, the same target and zero tests, the maximum
// over choices, and nothing else: no clamp, no change test, no measure, no
// variant machinery. It is the practical limit of this algorithm on this
// machine; every variant is reported against the floor of its layout.
#pragma once

#include "IntervalIteration.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace bench {

inline bool Fixed(const SparseMdp& m, uint64_t s) {
    return ((m.TargetStates[s >> 6] >> (s & 63)) & 1) ||
           (m.ZeroStates != nullptr && ((m.ZeroStates[s >> 6] >> (s & 63)) & 1));
}

inline double Probability(const TransitionValue& value) {
    if (value.Denominator != 0) {
        return static_cast<double>(value.Numerator) / static_cast<double>(value.Denominator);
    }
    double stored;
    std::memcpy(&stored, &value.Numerator, sizeof stored);
    return stored;
}

// One vector: a lower or an upper sweep.
[[gnu::noinline]] inline void Sweep(const SparseMdp& m, double* x) {
    for (uint64_t i = m.StateCount; i-- > 0;) {
        if (Fixed(m, i)) {
            continue;
        }
        double best = 0;
        for (uint64_t c = m.StateChoiceStart[i]; c < m.StateChoiceStart[i + 1]; ++c) {
            double sum = 0;
            for (uint64_t t = m.ChoiceTransitionStart[c]; t < m.ChoiceTransitionStart[c + 1]; ++t) {
                sum += Probability(m.TransitionValues[t]) * x[m.TransitionTarget[t]];
            }
            best = c == m.StateChoiceStart[i] || sum > best ? sum : best;
        }
        x[i] = best;
    }
}

// Pairs: one quotient serves both bounds.
[[gnu::noinline]] inline void PairSweep(const SparseMdp& m, double* x) {
    for (uint64_t i = m.StateCount; i-- > 0;) {
        if (Fixed(m, i)) {
            continue;
        }
        double bestLower = 0, bestUpper = 0;
        for (uint64_t c = m.StateChoiceStart[i]; c < m.StateChoiceStart[i + 1]; ++c) {
            double lower = 0, upper = 0;
            for (uint64_t t = m.ChoiceTransitionStart[c]; t < m.ChoiceTransitionStart[c + 1]; ++t) {
                const double p = Probability(m.TransitionValues[t]);
                const double* successor = x + 2 * m.TransitionTarget[t];
                lower += p * successor[0];
                upper += p * successor[1];
            }
            const bool first = c == m.StateChoiceStart[i];
            bestLower = first || lower > bestLower ? lower : bestLower;
            bestUpper = first || upper > bestUpper ? upper : bestUpper;
        }
        x[2 * i] = bestLower;
        x[2 * i + 1] = bestUpper;
    }
}

// Allocates and initialises the bounds like a driver, then sweeps.
inline double RunFloor(const SparseMdp& m, bool sequential, int iterations) {
    const uint64_t n = m.StateCount;
    std::vector<double> bounds(2 * n);
    for (uint64_t s = 0; s < n; ++s) {
        const bool target = (m.TargetStates[s >> 6] >> (s & 63)) & 1;
        const double upper = target || !Fixed(m, s) ? 1 : 0;
        if (sequential) {
            bounds[s] = target ? 1 : 0;
            bounds[n + s] = upper;
        } else {
            bounds[2 * s] = target ? 1 : 0;
            bounds[2 * s + 1] = upper;
        }
    }
    for (int k = 0; k < iterations; ++k) {
        if (sequential) {
            Sweep(m, bounds.data());
            Sweep(m, bounds.data() + n);
        } else {
            PairSweep(m, bounds.data());
        }
    }
    return bounds[0] + bounds[sequential ? n : 1];
}

}  // namespace bench
