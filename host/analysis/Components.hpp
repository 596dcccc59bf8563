// Strongly connected components of a model's graph (states, their choices,
// the successors of each choice), for the end-component search and the
// order of the states.
//
// Pearce's space-efficient variant of Tarjan's algorithm, iterative: one
// word per state (rindex), a bit per state for the roots, a stack of states
// and a stack of (state, choice, transition) frames. Linear in the states and
// transitions it visits.
#pragma once

#include "model/ExplicitModel.hpp"
#include "support/Interrupt.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace iicheck {

constexpr uint64_t kNoComponent = UINT64_MAX;

// On entry rindex holds 0 for every state to visit and the largest value of
// Rank for the others; only the choices c with allowed(c) are followed. On
// return every visited state holds its component's number. The numbers
// count down from that value - 1 in the order in which the components are
// completed: a component reachable from another is completed first, so the
// numbers grow downstream, and the components in increasing order of their
// numbers are a topological order. Returns how many components there are.
// Model is any record with the arrays StateChoiceStart,
// ChoiceTransitionStart and TransitionTarget; Index holds every state,
// choice and transition number, Rank every state number and one more (the
// narrower, the more of rindex stays in the cache: its reads are the
// random accesses here).
template <class Index, class Model, class Allowed, class Rank>
uint64_t StronglyConnectedComponents(const Model& model, const Allowed& allowed, std::vector<Rank>& rindex) {
    const uint64_t n = rindex.size();
    std::vector<uint64_t> root = EmptyBits(n);
    std::vector<Index> stack;
    struct Frame {
        Index State;
        Index Choice;      // the choice being followed
        Index Transition;  // its next transition
    };
    std::vector<Frame> frames;
    constexpr Rank kFirstComponent = std::numeric_limits<Rank>::max() - 1;
    Rank nextComponent = kFirstComponent;
    uint64_t visit = 1;  // visit numbers stay below every component number
    uint64_t steps = 0;
    auto open = [&](uint64_t s) {
        rindex[s] = static_cast<Rank>(visit++);
        SetBit(root, s);
        const uint64_t first = model.StateChoiceStart[s];
        frames.push_back({static_cast<Index>(s), static_cast<Index>(first),
                          static_cast<Index>(model.ChoiceTransitionStart[first])});
    };
    for (uint64_t start = 0; start < n; ++start) {
        if (rindex[start] != 0) continue;
        open(start);
        while (!frames.empty()) {
            PollInterrupt(steps++, kPrecomputing);
            Frame& frame = frames.back();
            const uint64_t v = frame.State;
            const uint64_t c = frame.Choice;
            if (c < model.StateChoiceStart[v + 1]) {
                if (allowed(c) && frame.Transition < model.ChoiceTransitionStart[c + 1]) {
                    const uint64_t w = model.TransitionTarget[frame.Transition];
                    if (rindex[w] == 0) {
                        open(w);  // comes back to this transition when w is done
                        continue;
                    }
                    if (rindex[w] < rindex[v]) {
                        rindex[v] = rindex[w];
                        root[v >> 6] &= ~(uint64_t{1} << (v & 63));
                    }
                    ++frame.Transition;
                    continue;
                }
                frame.Choice = static_cast<Index>(c + 1);
                frame.Transition = static_cast<Index>(model.ChoiceTransitionStart[c + 1]);
                continue;
            }
            frames.pop_back();
            if (!TestBit(root, v)) {
                stack.push_back(static_cast<Index>(v));
                continue;
            }
            --visit;
            while (!stack.empty() && rindex[v] <= rindex[stack.back()]) {
                rindex[stack.back()] = nextComponent;
                stack.pop_back();
                --visit;
            }
            rindex[v] = nextComponent--;
        }
    }
    return kFirstComponent - nextComponent;
}

}  // namespace iicheck
