#include "analysis/StateOrder.hpp"

#include "analysis/Components.hpp"
#include "support/Interrupt.hpp"
#include "support/LargeArrays.hpp"
#include "support/Progress.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace iicheck {
namespace {

void Poll(uint64_t counter) { PollInterrupt(counter, kPrecomputing); }

// Calls each(t) for every successor t of state s.
template <class Each>
void ForEachSuccessor(const ReducedModel& model, uint64_t s, Each&& each) {
    const uint64_t first = model.ChoiceTransitionStart[model.StateChoiceStart[s]];
    const uint64_t last = model.ChoiceTransitionStart[model.StateChoiceStart[s + 1]];
    for (uint64_t t = first; t < last; ++t) each(model.TransitionTarget[t]);
}

std::vector<uint64_t> BreadthFirst(const ReducedModel& model, uint64_t initial) {
    std::vector<uint8_t> seen = LargeArray<uint8_t>(model.StateCount(), 0);
    std::vector<uint64_t> queue{initial};
    seen[initial] = 1;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        Poll(head);
        ForEachSuccessor(model, queue[head], [&](uint64_t t) {
            if (!seen[t]) {
                seen[t] = 1;
                queue.push_back(t);
            }
        });
    }
    return queue;
}

// See StateOrder.hpp. reachable: the breadth-first order.
template <class Index>
std::vector<uint64_t> Topological(const ReducedModel& model, std::vector<uint64_t> reachable) {
    // The rank of each state's component in topological order.
    constexpr Index kUnvisited = std::numeric_limits<Index>::max();
    std::vector<Index> rank = LargeArray(model.StateCount(), kUnvisited);
    for (const uint64_t s : reachable) rank[s] = 0;
    const uint64_t components =
        StronglyConnectedComponents<Index>(model, [](uint64_t) { return true; }, rank);
    for (const uint64_t s : reachable) rank[s] = static_cast<Index>(rank[s] - (kUnvisited - components));
    // A counting sort by rank, stable: breadth-first within a component.
    std::vector<uint64_t> next(components + 1, 0);
    for (const uint64_t s : reachable) ++next[rank[s] + 1];
    for (uint64_t c = 0; c < components; ++c) next[c + 1] += next[c];
    std::vector<uint64_t> sequence = LargeArray<uint64_t>(reachable.size(), 0);
    for (const uint64_t s : reachable) sequence[next[rank[s]]++] = s;
    return sequence;
}

}  // namespace

const char* OrderName(StateOrder order) {
    return order == StateOrder::Topological ? "topological" : "breadth-first";
}

std::vector<uint64_t> StateSequence(const ReducedModel& model, std::size_t initial, StateOrder order) {
    const uint64_t start = model.Initial[initial];
    std::vector<uint64_t> sequence = BreadthFirst(model, start);
    if (order == StateOrder::Topological) {
        const bool compact = std::max(model.StateCount(), model.TransitionCount()) + 1 <
                             std::numeric_limits<uint32_t>::max();
        sequence = compact ? Topological<uint32_t>(model, std::move(sequence))
                           : Topological<uint64_t>(model, std::move(sequence));
    }
    return sequence;
}

ReducedModel Renumber(ReducedModel model, std::size_t initial, StateOrder order) {
    const ProgressPhase phase(kPrecomputing);
    const uint64_t n = model.StateCount();
    std::vector<uint64_t> sequence = StateSequence(model, initial, order);
    bool identity = sequence.size() == n;
    for (uint64_t i = 0; identity && i < n; ++i) identity = sequence[i] == i;
    if (identity) return model;

    std::vector<uint64_t> number = LargeArray(n, kNoState);
    for (uint64_t i = 0; i < sequence.size(); ++i) number[sequence[i]] = i;
    ReducedModel renumbered;
    renumbered.TargetStates = EmptyBits(sequence.size());
    renumbered.ZeroStates = EmptyBits(sequence.size());
    ReserveLarge(renumbered.StateChoiceStart, sequence.size() + 1);
    ReserveLarge(renumbered.ChoiceTransitionStart, model.ChoiceCount() + 1);
    uint64_t transitions = 0;
    for (uint64_t i = 0; i < sequence.size(); ++i) {
        const uint64_t s = sequence[i];
        if (TestBit(model.TargetStates, s)) SetBit(renumbered.TargetStates, i);
        if (TestBit(model.ZeroStates, s)) SetBit(renumbered.ZeroStates, i);
        renumbered.StateChoiceStart.push_back(renumbered.ChoiceTransitionStart.size());
        for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
            renumbered.ChoiceTransitionStart.push_back(transitions);
            transitions += model.ChoiceTransitionStart[c + 1] - model.ChoiceTransitionStart[c];
        }
    }
    renumbered.StateChoiceStart.push_back(renumbered.ChoiceTransitionStart.size());
    renumbered.ChoiceTransitionStart.push_back(transitions);
    for (const uint64_t s : model.Initial) renumbered.Initial.push_back(number[s]);

    // The successors, then the values, each copied in the new order before
    // the old array goes.
    auto copy = [&](const auto& from, auto& to, auto&& convert) {
        ReserveLarge(to, transitions);
        for (uint64_t i = 0; i < sequence.size(); ++i) {
            Poll(i);
            const uint64_t s = sequence[i];
            const uint64_t first = model.ChoiceTransitionStart[model.StateChoiceStart[s]];
            const uint64_t last = model.ChoiceTransitionStart[model.StateChoiceStart[s + 1]];
            for (uint64_t t = first; t < last; ++t) to.push_back(convert(from[t]));
        }
    };
    copy(model.TransitionTarget, renumbered.TransitionTarget, [&](uint64_t t) { return number[t]; });
    Release(model.TransitionTarget);
    Release(number);
    copy(model.TransitionValues, renumbered.TransitionValues,
         [](const TransitionValue& value) { return value; });
    if (!model.ChoiceRewards.empty()) {
        ReserveLarge(renumbered.ChoiceRewards, model.ChoiceCount());
        for (const uint64_t s : sequence) {
            for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
                renumbered.ChoiceRewards.push_back(model.ChoiceRewards[c]);
            }
        }
    }
    return renumbered;
}

}  // namespace iicheck
