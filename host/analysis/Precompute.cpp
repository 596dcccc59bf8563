#include "analysis/Precompute.hpp"

#include "support/Interrupt.hpp"
#include "support/LargeArrays.hpp"
#include "support/Progress.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace iicheck {
namespace {

constexpr uint64_t kUnset = UINT64_MAX;

// Polls for an interrupt and shows the progress of a pass over total
// states (0: a pass of unknown length).
void Poll(uint64_t counter, uint64_t total = 0) {
    PollWithProgress(counter, kPrecomputing, counter, total, "states");
}

// The working arrays of the analysis hold indices of type Index: uint32_t
// when every count of the model fits (half the memory), else uint64_t.
template <class Index>
constexpr Index kNone = std::numeric_limits<Index>::max();

// Calls each(c) for the choices of state s, each(c, target) for the
// successors of choice c.
template <class Each>
void ForEachChoice(const ExplicitMdp& mdp, uint64_t s, Each&& each) {
    for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) each(c);
}
template <class Each>
void ForEachSuccessor(const ExplicitMdp& mdp, uint64_t c, Each&& each) {
    for (uint64_t t = mdp.ChoiceTransitionStart[c]; t < mdp.ChoiceTransitionStart[c + 1]; ++t) {
        each(mdp.TransitionTarget[t]);
    }
}

// The predecessor lists of the choices of the states for which included(s)
// holds.
template <class Index, class Included>
Predecessors<Index> BuildPredecessors(const ExplicitMdp& mdp, Included&& included) {
    const uint64_t n = mdp.StateCount;
    Predecessors<Index> predecessors;
    std::vector<Index>& start = predecessors.Start;
    AssignLarge(start, n + 1, Index{0});
    AssignLarge(predecessors.Owner, mdp.ChoiceCount(), kNone<Index>);
    auto forEachMaybeChoice = [&](auto&& each) {
        for (uint64_t s = 0; s < n; ++s) {
            Poll(s, n);
            if (included(s)) ForEachChoice(mdp, s, [&](uint64_t c) { each(s, c); });
        }
    };
    forEachMaybeChoice([&](uint64_t s, uint64_t c) {
        predecessors.Owner[c] = static_cast<Index>(s);
        ForEachSuccessor(mdp, c, [&](uint64_t t) { ++start[t + 1]; });
    });
    for (uint64_t s = 0; s < n; ++s) start[s + 1] += start[s];
    AssignLarge(predecessors.Choice, start[n], Index{0});
    // start[t] runs from the beginning of t's list to its end, which is the
    // beginning of t + 1's; then everything moves up by one.
    forEachMaybeChoice([&](uint64_t, uint64_t c) {
        ForEachSuccessor(mdp, c, [&](uint64_t t) { predecessors.Choice[start[t]++] = static_cast<Index>(c); });
    });
    for (uint64_t t = n; t > 0; --t) start[t] = start[t - 1];
    start[0] = 0;
    return predecessors;
}

// Step 1: Target, Zero (failure states) or Maybe for every reachable state.
template <class Index>
std::vector<StateKind> Explore(const ExplicitMdp& mdp, const PropertySpec& property) {
    std::vector<StateKind> kind = LargeArray(mdp.StateCount, StateKind::Unreached);
    std::vector<Index> queue;
    auto visit = [&](uint64_t s) {
        if (kind[s] != StateKind::Unreached) return;
        if (TestBit(property.Target, s)) {
            kind[s] = StateKind::Target;
        } else if (!property.Avoid.empty() && TestBit(property.Avoid, s)) {
            kind[s] = StateKind::Zero;
        } else {
            kind[s] = StateKind::Maybe;
            queue.push_back(static_cast<Index>(s));
        }
    };
    for (const uint64_t initial : property.Initial) visit(initial);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        Poll(head);
        ForEachChoice(mdp, queue[head], [&](uint64_t c) { ForEachSuccessor(mdp, c, visit); });
    }
    return kind;
}

// The members of each end component, in state order.
struct Members {
    std::vector<uint64_t> Start;  // ComponentCount + 1
    std::vector<uint64_t> States;
};

Members ComponentMembers(const Analysis& analysis) {
    const uint64_t components = analysis.ComponentCount;
    Members members;
    members.Start.assign(components + 1, 0);
    for (const uint64_t m : analysis.Component) {
        if (m != kNoComponent) ++members.Start[m + 1];
    }
    for (uint64_t m = 0; m < components; ++m) members.Start[m + 1] += members.Start[m];
    members.States.resize(members.Start[components]);
    for (uint64_t s = 0; s < analysis.Component.size(); ++s) {
        const uint64_t m = analysis.Component[s];
        if (m != kNoComponent) members.States[members.Start[m]++] = s;
    }
    for (uint64_t m = components; m > 0; --m) members.Start[m] = members.Start[m - 1];
    members.Start[0] = 0;
    return members;
}

// Every Maybe state that is not in the set becomes a state of the given
// kind.
void MarkMaybeOutside(const std::vector<uint8_t>& set, StateKind kind, std::vector<StateKind>& kinds) {
    for (uint64_t s = 0; s < kinds.size(); ++s) {
        if (kinds[s] == StateKind::Maybe && !set[s]) kinds[s] = kind;
    }
}

// The states of kind seed and every state from which one of them is
// reachable through the choices of Maybe states (a breadth-first search
// over the predecessors).
template <class Index>
std::vector<uint8_t> CanReach(const ExplicitMdp& mdp, const Predecessors<Index>& predecessors,
                              const std::vector<StateKind>& kind, StateKind seed) {
    std::vector<uint8_t> reaches = LargeArray<uint8_t>(mdp.StateCount, 0);
    std::vector<Index> queue;
    for (uint64_t s = 0; s < mdp.StateCount; ++s) {
        if (kind[s] == seed) {
            reaches[s] = 1;
            queue.push_back(static_cast<Index>(s));
        }
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        Poll(head);
        const uint64_t t = queue[head];
        for (uint64_t i = predecessors.Start[t]; i < predecessors.Start[t + 1]; ++i) {
            const Index s = predecessors.Owner[predecessors.Choice[i]];
            if (!reaches[s] && kind[s] == StateKind::Maybe) {
                reaches[s] = 1;
                queue.push_back(s);
            }
        }
    }
    return reaches;
}

// The least set that holds the states of kind seed and every node with at
// least one choice all of whose choices have a successor in the set. A node
// is a Maybe state or, when components is given, a collapsed end component,
// whose choices are those of its members that leave it. A choice joins at
// its first successor in the set, a node when its last choice has joined.
template <class Index>
std::vector<uint8_t> Attractor(const ExplicitMdp& mdp, const Predecessors<Index>& predecessors,
                               const std::vector<StateKind>& kind, StateKind seed,
                               const Analysis* components) {
    const uint64_t n = mdp.StateCount;
    const uint64_t componentCount = components != nullptr ? components->ComponentCount : 0;
    auto nodeOf = [&](uint64_t s) {
        const uint64_t m = components != nullptr ? components->Component[s] : kNoComponent;
        return m == kNoComponent ? s : n + m;
    };
    auto counts = [&](uint64_t c) { return components == nullptr || !components->Inside[c]; };
    std::vector<Index> waiting = LargeArray<Index>(n + componentCount, 0);  // choices not yet joined
    for (uint64_t s = 0; s < n; ++s) {
        Poll(s);
        if (kind[s] != StateKind::Maybe) continue;
        ForEachChoice(mdp, s, [&](uint64_t c) {
            if (counts(c)) ++waiting[nodeOf(s)];
        });
    }
    const Members members = components != nullptr ? ComponentMembers(*components) : Members();
    std::vector<uint8_t> joined = LargeArray<uint8_t>(mdp.ChoiceCount(), 0);
    std::vector<uint8_t> in = LargeArray<uint8_t>(n, 0);
    std::vector<Index> queue;
    auto add = [&](uint64_t s) {
        in[s] = 1;
        queue.push_back(static_cast<Index>(s));
    };
    for (uint64_t s = 0; s < n; ++s) {
        if (kind[s] == seed) add(s);
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        Poll(head);
        const uint64_t t = queue[head];
        for (uint64_t i = predecessors.Start[t]; i < predecessors.Start[t + 1]; ++i) {
            const Index c = predecessors.Choice[i];
            const Index s = predecessors.Owner[c];
            if (joined[c] || !counts(c) || in[s] || kind[s] != StateKind::Maybe) continue;
            joined[c] = 1;
            const uint64_t node = nodeOf(s);
            if (--waiting[node] != 0) continue;
            if (node < n) {
                add(s);
            } else {
                const uint64_t m = node - n;
                for (uint64_t k = members.Start[m]; k < members.Start[m + 1]; ++k) add(members.States[k]);
            }
        }
    }
    return in;
}

// Numbers the end components densely, in the order of their first states,
// from numbers below count; states that are no longer Maybe states leave
// their component.
void NumberComponents(uint64_t count, Analysis& analysis) {
    std::vector<uint64_t> dense(count, kUnset);
    analysis.ComponentCount = 0;
    for (uint64_t s = 0; s < analysis.Component.size(); ++s) {
        uint64_t& component = analysis.Component[s];
        if (component == kNoComponent) continue;
        if (analysis.Kind[s] != StateKind::Maybe) {
            component = kNoComponent;
            continue;
        }
        uint64_t& number = dense[component];
        if (number == kUnset) number = analysis.ComponentCount++;
        component = number;
    }
}

// Step 3: maximal end components of the Maybe states. Repeats until stable:
// strongly connected components over the allowed choices, then every choice
// that leaves its state's component is disallowed, and every state left
// without allowed choices leaves the candidates together with the choices
// that lead to it.
template <class Index>
void FindEndComponents(const ExplicitMdp& mdp, const Predecessors<Index>& predecessors,
                       Analysis& analysis) {
    const std::vector<StateKind>& kind = analysis.Kind;
    const uint64_t n = mdp.StateCount;
    std::vector<uint8_t>& allowed = analysis.Inside;
    AssignLarge(allowed, mdp.ChoiceCount(), uint8_t{0});
    std::vector<Index> allowedCount = LargeArray<Index>(n, 0);
    std::vector<uint8_t> candidate = LargeArray<uint8_t>(n, 0);
    for (uint64_t s = 0; s < n; ++s) {
        Poll(s, n);
        if (kind[s] != StateKind::Maybe) continue;
        ForEachChoice(mdp, s, [&](uint64_t c) {
            bool inside = true;
            bool any = false;
            ForEachSuccessor(mdp, c, [&](uint64_t t) {
                any = true;
                inside = inside && kind[t] == StateKind::Maybe;
            });
            if (inside && any) {
                allowed[c] = 1;
                ++allowedCount[s];
            }
        });
    }

    std::vector<Index> removed;
    auto remove = [&](uint64_t s) {
        candidate[s] = 0;
        removed.push_back(static_cast<Index>(s));
    };
    auto propagateRemovals = [&]() {
        for (uint64_t step = 0; !removed.empty(); ++step) {
            Poll(step);
            const uint64_t t = removed.back();
            removed.pop_back();
            for (uint64_t i = predecessors.Start[t]; i < predecessors.Start[t + 1]; ++i) {
                const Index c = predecessors.Choice[i];
                if (!allowed[c]) continue;
                allowed[c] = 0;
                const Index s = predecessors.Owner[c];
                if (--allowedCount[s] == 0 && candidate[s]) remove(s);
            }
        }
    };
    for (uint64_t s = 0; s < n; ++s) {
        if (kind[s] != StateKind::Maybe) continue;
        if (allowedCount[s] != 0) {
            candidate[s] = 1;
        } else {
            removed.push_back(static_cast<Index>(s));
        }
    }
    propagateRemovals();

    std::vector<Index> rindex = LargeArray<Index>(n, 0);
    uint64_t components = 0;
    while (true) {
        for (uint64_t s = 0; s < n; ++s) rindex[s] = candidate[s] ? 0 : kNone<Index>;
        components = StronglyConnectedComponents<Index>(
            mdp, [&](uint64_t c) { return allowed[c] != 0; }, rindex);

        // Choices that leave their component are not part of an end
        // component.
        bool changed = false;
        for (uint64_t s = 0; s < n; ++s) {
            Poll(s, n);
            if (!candidate[s]) continue;
            ForEachChoice(mdp, s, [&](uint64_t c) {
                if (!allowed[c]) return;
                bool leaves = false;
                ForEachSuccessor(mdp, c, [&](uint64_t t) { leaves = leaves || rindex[t] != rindex[s]; });
                if (leaves) {
                    allowed[c] = 0;
                    changed = true;
                    if (--allowedCount[s] == 0) remove(s);
                }
            });
        }
        changed = changed || !removed.empty();
        propagateRemovals();
        if (!changed) break;
    }
    for (uint64_t s = 0; s < n; ++s) {
        analysis.Component[s] = candidate[s] ? uint64_t{kNone<Index>} - 1 - rindex[s] : kNoComponent;
    }
    NumberComponents(components, analysis);
}

// given: the lists of the whole model (ModelPredecessors), or null to
// build them for the Maybe states only.
template <class Index>
Analysis AnalyseWith(const ExplicitMdp& mdp, const PropertySpec& property, bool probabilityOne,
                     const Predecessors<Index>* given) {
    const ProgressPhase phase(kPrecomputing);
    Analysis analysis;
    analysis.Kind = Explore<Index>(mdp, property);
    AssignLarge(analysis.Component, mdp.StateCount, kNoComponent);
    // Also holds the choices of states that become probability-0 states
    // below; the end-component search never allows those choices, and the
    // searches over the predecessors look only at Maybe states.
    Predecessors<Index> built;
    if (given == nullptr) {
        built = BuildPredecessors<Index>(mdp, [&](uint64_t s) { return analysis.Kind[s] == StateKind::Maybe; });
    }
    const Predecessors<Index>& predecessors = given != nullptr ? *given : built;
    std::vector<StateKind>& kind = analysis.Kind;
    if (property.Maximize) {
        MarkMaybeOutside(CanReach(mdp, predecessors, kind, StateKind::Target), StateKind::Zero, kind);
    } else {
        MarkMaybeOutside(Attractor(mdp, predecessors, kind, StateKind::Target, nullptr),
                         StateKind::Zero, kind);
    }
    FindEndComponents(mdp, predecessors, analysis);
    if (!property.Maximize && analysis.ComponentCount != 0) {
        throw std::logic_error(
            "an end component remains among the states with positive minimum probability");
    }
    if (probabilityOne) {
        if (property.Maximize) {
            MarkMaybeOutside(Attractor(mdp, predecessors, kind, StateKind::Zero, &analysis),
                             StateKind::One, kind);
            NumberComponents(analysis.ComponentCount, analysis);
        } else {
            MarkMaybeOutside(CanReach(mdp, predecessors, kind, StateKind::Zero), StateKind::One, kind);
        }
    }
    return analysis;
}

}  // namespace

namespace {

bool Narrow(const ExplicitMdp& mdp) {
    return std::max({mdp.StateCount, mdp.ChoiceCount(), mdp.TransitionCount()}) + 1 < kNone<uint32_t>;
}

}  // namespace

ModelPredecessors BuildModelPredecessors(const ExplicitMdp& mdp) {
    const ProgressPhase phase(kPrecomputing);
    ModelPredecessors predecessors;
    auto every = [](uint64_t) { return true; };
    if (Narrow(mdp)) {
        predecessors.Narrow = BuildPredecessors<uint32_t>(mdp, every);
    } else {
        predecessors.Wide = BuildPredecessors<uint64_t>(mdp, every);
    }
    predecessors.Built = true;
    return predecessors;
}

Analysis Analyse(const ExplicitMdp& mdp, const PropertySpec& property, bool probabilityOne,
                 const ModelPredecessors* predecessors) {
    const bool given = predecessors != nullptr && predecessors->Built;
    return Narrow(mdp) ? AnalyseWith<uint32_t>(mdp, property, probabilityOne, given ? &predecessors->Narrow : nullptr)
                       : AnalyseWith<uint64_t>(mdp, property, probabilityOne, given ? &predecessors->Wide : nullptr);
}

Analysis AnalyseWithWideIndices(const ExplicitMdp& mdp, const PropertySpec& property,
                                bool probabilityOne) {
    return AnalyseWith<uint64_t>(mdp, property, probabilityOne, nullptr);
}

SparseMdp ReducedModel::Mdp() const {
    SparseMdp mdp{};
    mdp.IsRational = 1;
    mdp.StateCount = StateCount();
    mdp.ZeroStates = ZeroStates.data();
    mdp.TargetStates = TargetStates.data();
    mdp.StateChoiceStart = StateChoiceStart.data();
    mdp.ChoiceCount = ChoiceCount();
    mdp.ChoiceTransitionStart = ChoiceTransitionStart.data();
    mdp.TransitionCount = TransitionCount();
    mdp.TransitionTarget = TransitionTarget.data();
    mdp.TransitionValues = TransitionValues.data();
    return mdp;
}

// In two phases, so that the model as read and the reduced model are not
// both whole in memory: first the order of the quotient's states and, for
// each of its choices, the choice of the model it copies; then the targets,
// after which the model's targets go, and the values, after which the
// model's values go.
ReducedModel Reduce(ExplicitMdp mdp, const PropertySpec& property, Analysis analysis) {
    const ProgressPhase phase(kPrecomputing);
    const uint64_t n = mdp.StateCount;
    const uint64_t components = analysis.ComponentCount;
    // Nodes of the quotient: the states themselves (0 .. n-1), the end
    // components (n .. n+components-1), the target and the zero state.
    const uint64_t targetNode = n + components;
    const uint64_t zeroNode = targetNode + 1;
    auto nodeOf = [&](uint64_t s) {
        switch (analysis.Kind[s]) {
            case StateKind::Target:
            case StateKind::One: return targetNode;
            case StateKind::Zero: return zeroNode;
            default: return analysis.Component[s] != kNoComponent ? n + analysis.Component[s] : s;
        }
    };
    Members members = ComponentMembers(analysis);

    // Phase 1: the quotient's states in breadth-first order from the
    // initial state, and the model's choice behind each of its choices.
    ReducedModel reduced;
    std::vector<uint64_t> number = LargeArray(n, kUnset);  // of each state's node
    std::vector<uint64_t> componentNumber(components, kUnset);
    uint64_t specialNumber[2] = {kUnset, kUnset};  // the target and the zero node
    std::vector<uint64_t> queue;
    auto numberOf = [&](uint64_t node) -> uint64_t& {
        return node < n ? number[node] : node < targetNode ? componentNumber[node - n]
                                                           : specialNumber[node - targetNode];
    };
    auto enqueue = [&](uint64_t node) {
        uint64_t& assigned = numberOf(node);
        if (assigned == kUnset) {
            assigned = queue.size();
            queue.push_back(node);
        }
    };
    std::vector<uint64_t> source;  // per choice of the quotient
    ReserveLarge(source, mdp.ChoiceCount());
    auto emitChoice = [&](uint64_t c) {
        source.push_back(c);
        ForEachSuccessor(mdp, c, [&](uint64_t t) { enqueue(nodeOf(t)); });
    };
    // States that end up without choices (none should) count as zero states:
    // the library requires at least one choice of every other state.
    std::vector<uint64_t> withoutChoices;
    for (const uint64_t initial : property.Initial) enqueue(nodeOf(initial));
    for (std::size_t head = 0; head < queue.size(); ++head) {
        Poll(head);
        const uint64_t node = queue[head];
        const uint64_t firstChoice = source.size();
        reduced.StateChoiceStart.push_back(firstChoice);
        if (node == targetNode || node == zeroNode) continue;
        if (node >= n) {
            const uint64_t m = node - n;
            for (uint64_t i = members.Start[m]; i < members.Start[m + 1]; ++i) {
                ForEachChoice(mdp, members.States[i], [&](uint64_t c) {
                    if (!analysis.Inside[c]) emitChoice(c);
                });
            }
        } else {
            ForEachChoice(mdp, node, [&](uint64_t c) {
                if (!analysis.Inside[c]) emitChoice(c);
            });
        }
        if (source.size() == firstChoice) withoutChoices.push_back(head);
    }
    reduced.StateChoiceStart.push_back(source.size());
    const uint64_t states = queue.size();
    reduced.TargetStates = EmptyBits(states);
    reduced.ZeroStates = EmptyBits(states);
    if (specialNumber[0] != kUnset) SetBit(reduced.TargetStates, specialNumber[0]);
    if (specialNumber[1] != kUnset) SetBit(reduced.ZeroStates, specialNumber[1]);
    for (uint64_t state : withoutChoices) SetBit(reduced.ZeroStates, state);
    // Every state that a copied choice leads to has a number: the number of
    // its node.
    for (uint64_t s = 0; s < n; ++s) number[s] = numberOf(nodeOf(s));
    for (const uint64_t initial : property.Initial) reduced.Initial.push_back(number[initial]);
    Release(queue);
    Release(members.States);
    Release(members.Start);
    Release(componentNumber);
    analysis = Analysis();
    Release(mdp.StateChoiceStart);

    // Phase 2: the choices and their targets, then the values.
    uint64_t transitions = 0;
    ReserveLarge(reduced.ChoiceTransitionStart, source.size() + 1);
    for (const uint64_t c : source) {
        reduced.ChoiceTransitionStart.push_back(transitions);
        transitions += mdp.ChoiceTransitionStart[c + 1] - mdp.ChoiceTransitionStart[c];
    }
    reduced.ChoiceTransitionStart.push_back(transitions);
    ReserveLarge(reduced.TransitionTarget, transitions);
    for (uint64_t i = 0; i < source.size(); ++i) {
        Poll(i);
        ForEachSuccessor(mdp, source[i], [&](uint64_t t) { reduced.TransitionTarget.push_back(number[t]); });
    }
    Release(number);
    Release(mdp.TransitionTarget);
    ReserveLarge(reduced.TransitionValues, transitions);
    for (uint64_t i = 0; i < source.size(); ++i) {
        Poll(i);
        const auto first = mdp.TransitionValues.begin() +
                           static_cast<std::ptrdiff_t>(mdp.ChoiceTransitionStart[source[i]]);
        const auto last = mdp.TransitionValues.begin() +
                          static_cast<std::ptrdiff_t>(mdp.ChoiceTransitionStart[source[i] + 1]);
        reduced.TransitionValues.insert(reduced.TransitionValues.end(), first, last);
    }
    if (!property.ChoiceRewards.empty()) {
        ReserveLarge(reduced.ChoiceRewards, source.size());
        for (const uint64_t c : source) reduced.ChoiceRewards.push_back(property.ChoiceRewards[c]);
    }
    return reduced;
}

ModelSize SizeOf(const ReducedModel& model) {
    return {model.StateCount(), model.ChoiceCount(), model.TransitionCount()};
}

PrecomputeCounts Count(const Analysis& analysis) {
    PrecomputeCounts counts;
    for (std::size_t s = 0; s < analysis.Kind.size(); ++s) {
        switch (analysis.Kind[s]) {
            case StateKind::Unreached: continue;
            case StateKind::Target: ++counts.Targets; break;
            case StateKind::Zero: ++counts.Zero; break;
            case StateKind::One: ++counts.One; break;
            case StateKind::Maybe: ++counts.Maybe; break;
        }
        ++counts.Reachable;
        if (analysis.Component[s] != kNoComponent) ++counts.ComponentStates;
    }
    counts.Components = analysis.ComponentCount;
    return counts;
}

}  // namespace iicheck
