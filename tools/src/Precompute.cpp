#include "Precompute.hpp"

#include "Interrupt.hpp"
#include "Progress.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace iicheck {
namespace {

constexpr uint64_t kUnset = UINT64_MAX;

// Polls for an interrupt and shows the progress of a pass over total
// states (0: a pass of unknown length).
void Poll(uint64_t counter, uint64_t total = 0) {
    PollWithProgress(counter, "precomputing", counter, total, "states");
}

template <class T>
void Release(std::vector<T>& vector) {
    std::vector<T>().swap(vector);
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

// Predecessor lists restricted to the choices of Maybe states: for every
// state t, the choices that have a transition to t (a choice appears once
// per such transition).
template <class Index>
struct Predecessors {
    std::vector<Index> Start;   // StateCount + 1
    std::vector<Index> Choice;
    std::vector<Index> Owner;   // per choice: its state (Maybe states only)
};

template <class Index>
Predecessors<Index> BuildPredecessors(const ExplicitMdp& mdp, const std::vector<StateKind>& kind) {
    const uint64_t n = mdp.StateCount;
    Predecessors<Index> predecessors;
    std::vector<Index>& start = predecessors.Start;
    start.assign(n + 1, 0);
    predecessors.Owner.assign(mdp.ChoiceCount(), kNone<Index>);
    auto forEachMaybeChoice = [&](auto&& each) {
        for (uint64_t s = 0; s < n; ++s) {
            Poll(s, n);
            if (kind[s] == StateKind::Maybe) ForEachChoice(mdp, s, [&](uint64_t c) { each(s, c); });
        }
    };
    forEachMaybeChoice([&](uint64_t s, uint64_t c) {
        predecessors.Owner[c] = static_cast<Index>(s);
        ForEachSuccessor(mdp, c, [&](uint64_t t) { ++start[t + 1]; });
    });
    for (uint64_t s = 0; s < n; ++s) start[s + 1] += start[s];
    predecessors.Choice.resize(start[n]);
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
    std::vector<StateKind> kind(mdp.StateCount, StateKind::Unreached);
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
    visit(property.Initial);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        Poll(head);
        ForEachChoice(mdp, queue[head], [&](uint64_t c) { ForEachSuccessor(mdp, c, visit); });
    }
    return kind;
}

// Step 2, maximum: Maybe states from which no target is reachable (Prob0E).
template <class Index>
void MarkCannotReach(const ExplicitMdp& mdp, const Predecessors<Index>& predecessors,
                     std::vector<StateKind>& kind) {
    std::vector<uint8_t> reaches(mdp.StateCount, 0);
    std::vector<Index> queue;
    for (uint64_t s = 0; s < mdp.StateCount; ++s) {
        if (kind[s] == StateKind::Target) {
            reaches[s] = 1;
            queue.push_back(static_cast<Index>(s));
        }
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        Poll(head);
        const uint64_t t = queue[head];
        for (uint64_t i = predecessors.Start[t]; i < predecessors.Start[t + 1]; ++i) {
            const Index s = predecessors.Owner[predecessors.Choice[i]];
            if (!reaches[s]) {
                reaches[s] = 1;
                queue.push_back(s);
            }
        }
    }
    for (uint64_t s = 0; s < mdp.StateCount; ++s) {
        if (kind[s] == StateKind::Maybe && !reaches[s]) kind[s] = StateKind::Zero;
    }
}

// Step 2, minimum: Maybe states where some scheduler avoids the targets
// forever (Prob0A). The complement is the least set that holds the targets
// and every state with at least one choice all of whose choices have a
// successor in the set; a choice joins at its first such successor, a state
// when its last choice has joined.
template <class Index>
void MarkCanAvoid(const ExplicitMdp& mdp, const Predecessors<Index>& predecessors,
                  std::vector<StateKind>& kind) {
    std::vector<Index> waiting(mdp.StateCount, 0);  // choices not yet joined
    std::vector<uint8_t> joined(mdp.ChoiceCount(), 0);
    std::vector<uint8_t> positive(mdp.StateCount, 0);
    std::vector<Index> queue;
    for (uint64_t s = 0; s < mdp.StateCount; ++s) {
        waiting[s] = static_cast<Index>(mdp.StateChoiceStart[s + 1] - mdp.StateChoiceStart[s]);
        if (kind[s] == StateKind::Target) {
            positive[s] = 1;
            queue.push_back(static_cast<Index>(s));
        }
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        Poll(head);
        const uint64_t t = queue[head];
        for (uint64_t i = predecessors.Start[t]; i < predecessors.Start[t + 1]; ++i) {
            const Index c = predecessors.Choice[i];
            if (joined[c]) continue;
            joined[c] = 1;
            const Index s = predecessors.Owner[c];
            if (--waiting[s] == 0) {
                positive[s] = 1;
                queue.push_back(s);
            }
        }
    }
    for (uint64_t s = 0; s < mdp.StateCount; ++s) {
        if (kind[s] == StateKind::Maybe && !positive[s]) kind[s] = StateKind::Zero;
    }
}

// Step 3: maximal end components of the Maybe states. Repeats until stable:
// strongly connected components over the allowed choices, then every choice
// that leaves its state's component is disallowed, and every state left
// without allowed choices leaves the candidates together with the choices
// that lead to it.
//
// The components are found with Pearce's space-efficient variant of
// Tarjan's algorithm, iteratively: one word per state (rindex, kept in
// analysis.Component), a bit per state for the roots, a stack of states and
// a stack of (choice, transition) frames.
template <class Index>
void FindEndComponents(const ExplicitMdp& mdp, const Predecessors<Index>& predecessors,
                       const std::vector<StateKind>& kind, Analysis& analysis) {
    const uint64_t n = mdp.StateCount;
    std::vector<uint8_t>& allowed = analysis.Inside;
    allowed.assign(mdp.ChoiceCount(), 0);
    std::vector<Index> allowedCount(n, 0);
    std::vector<uint8_t> candidate(n, 0);
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

    // rindex: 0 for a candidate not yet visited, its visit number while on
    // the stacks, then its component's number, counted down from just
    // below kNoComponent (above every visit number).
    std::vector<uint64_t>& rindex = analysis.Component;
    rindex.assign(n, kNoComponent);
    std::vector<uint64_t> root = EmptyBits(n);
    std::vector<Index> stack;
    struct Frame {
        Index Choice;      // of the state Owner[Choice]
        Index Transition;  // the next to follow
    };
    std::vector<Frame> frames;
    constexpr uint64_t kFirstComponent = kNoComponent - 1;
    uint64_t nextComponent = kFirstComponent;

    while (true) {
        for (uint64_t s = 0; s < n; ++s) rindex[s] = candidate[s] ? 0 : kNoComponent;
        nextComponent = kFirstComponent;
        uint64_t visit = 1;
        uint64_t steps = 0;
        auto open = [&](uint64_t s) {
            rindex[s] = visit++;
            SetBit(root, s);
            const uint64_t first = mdp.StateChoiceStart[s];
            frames.push_back({static_cast<Index>(first),
                              static_cast<Index>(mdp.ChoiceTransitionStart[first])});
        };
        for (uint64_t start = 0; start < n; ++start) {
            if (!candidate[start] || rindex[start] != 0) continue;
            open(start);
            while (!frames.empty()) {
                Poll(steps++);
                Frame& frame = frames.back();
                const uint64_t c = frame.Choice;
                const uint64_t v = predecessors.Owner[c];
                if (allowed[c] && frame.Transition < mdp.ChoiceTransitionStart[c + 1]) {
                    const uint64_t w = mdp.TransitionTarget[frame.Transition];
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
                if (c + 1 < mdp.StateChoiceStart[v + 1]) {
                    frame.Choice = static_cast<Index>(c + 1);
                    frame.Transition = static_cast<Index>(mdp.ChoiceTransitionStart[c + 1]);
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
    Release(frames);
    Release(stack);
    Release(root);
    Release(allowedCount);

    // Number the surviving components densely, in the order of their first
    // states.
    std::vector<uint64_t> dense(kFirstComponent - nextComponent, kUnset);
    analysis.ComponentCount = 0;
    for (uint64_t s = 0; s < n; ++s) {
        if (!candidate[s]) {
            rindex[s] = kNoComponent;
            continue;
        }
        uint64_t& number = dense[kFirstComponent - rindex[s]];
        if (number == kUnset) number = analysis.ComponentCount++;
        rindex[s] = number;
    }
}

template <class Index>
Analysis AnalyseWith(const ExplicitMdp& mdp, const PropertySpec& property) {
    const ProgressPhase phase("precomputing");
    Analysis analysis;
    analysis.Kind = Explore<Index>(mdp, property);
    // Also holds the choices of states that become probability-0 states
    // below; the end-component search never allows those choices.
    const Predecessors<Index> predecessors = BuildPredecessors<Index>(mdp, analysis.Kind);
    if (property.Maximize) {
        MarkCannotReach(mdp, predecessors, analysis.Kind);
    } else {
        MarkCanAvoid(mdp, predecessors, analysis.Kind);
    }
    FindEndComponents(mdp, predecessors, analysis.Kind, analysis);
    if (!property.Maximize && analysis.ComponentCount != 0) {
        throw std::logic_error(
            "an end component remains among the states with positive minimum probability");
    }
    return analysis;
}

}  // namespace

Analysis Analyse(const ExplicitMdp& mdp, const PropertySpec& property) {
    const uint64_t largest =
        std::max({mdp.StateCount, mdp.ChoiceCount(), mdp.TransitionCount()}) + 1;
    return largest < kNone<uint32_t> ? AnalyseWith<uint32_t>(mdp, property)
                                     : AnalyseWith<uint64_t>(mdp, property);
}

Analysis AnalyseWithWideIndices(const ExplicitMdp& mdp, const PropertySpec& property) {
    return AnalyseWith<uint64_t>(mdp, property);
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
    const ProgressPhase phase("precomputing");
    const uint64_t n = mdp.StateCount;
    const uint64_t components = analysis.ComponentCount;
    // Nodes of the quotient: the states themselves (0 .. n-1), the end
    // components (n .. n+components-1), the target and the zero state.
    const uint64_t targetNode = n + components;
    const uint64_t zeroNode = targetNode + 1;
    auto nodeOf = [&](uint64_t s) {
        switch (analysis.Kind[s]) {
            case StateKind::Target: return targetNode;
            case StateKind::Zero: return zeroNode;
            default: return analysis.Component[s] != kNoComponent ? n + analysis.Component[s] : s;
        }
    };
    // Members of each component, in state order.
    std::vector<uint64_t> memberStart(components + 1, 0);
    for (uint64_t s = 0; s < n; ++s) {
        if (analysis.Component[s] != kNoComponent) ++memberStart[analysis.Component[s] + 1];
    }
    for (uint64_t m = 0; m < components; ++m) memberStart[m + 1] += memberStart[m];
    std::vector<uint64_t> members(memberStart[components]);
    for (uint64_t s = 0; s < n; ++s) {
        if (analysis.Component[s] != kNoComponent) members[memberStart[analysis.Component[s]]++] = s;
    }
    for (uint64_t m = components; m > 0; --m) memberStart[m] = memberStart[m - 1];
    memberStart[0] = 0;

    // Phase 1: the quotient's states in breadth-first order from the
    // initial state, and the model's choice behind each of its choices.
    ReducedModel reduced;
    std::vector<uint64_t> number(n, kUnset);  // of each state's node
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
    source.reserve(mdp.ChoiceCount());
    auto emitChoice = [&](uint64_t c) {
        source.push_back(c);
        ForEachSuccessor(mdp, c, [&](uint64_t t) { enqueue(nodeOf(t)); });
    };
    // States that end up without choices (none should) count as zero states:
    // the library requires at least one choice of every other state.
    std::vector<uint64_t> withoutChoices;
    enqueue(nodeOf(property.Initial));
    for (std::size_t head = 0; head < queue.size(); ++head) {
        Poll(head);
        const uint64_t node = queue[head];
        const uint64_t firstChoice = source.size();
        reduced.StateChoiceStart.push_back(firstChoice);
        if (node == targetNode || node == zeroNode) continue;
        if (node >= n) {
            const uint64_t m = node - n;
            for (uint64_t i = memberStart[m]; i < memberStart[m + 1]; ++i) {
                ForEachChoice(mdp, members[i], [&](uint64_t c) {
                    if (!analysis.Inside[c]) emitChoice(c);
                });
            }
        } else {
            ForEachChoice(mdp, node, emitChoice);
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
    Release(queue);
    Release(members);
    Release(memberStart);
    Release(componentNumber);
    analysis = Analysis();
    Release(mdp.StateChoiceStart);

    // Phase 2: the choices and their targets, then the values.
    uint64_t transitions = 0;
    reduced.ChoiceTransitionStart.reserve(source.size() + 1);
    for (const uint64_t c : source) {
        reduced.ChoiceTransitionStart.push_back(transitions);
        transitions += mdp.ChoiceTransitionStart[c + 1] - mdp.ChoiceTransitionStart[c];
    }
    reduced.ChoiceTransitionStart.push_back(transitions);
    reduced.TransitionTarget.reserve(transitions);
    for (uint64_t i = 0; i < source.size(); ++i) {
        Poll(i);
        ForEachSuccessor(mdp, source[i], [&](uint64_t t) { reduced.TransitionTarget.push_back(number[t]); });
    }
    Release(number);
    Release(mdp.TransitionTarget);
    reduced.TransitionValues.reserve(transitions);
    for (uint64_t i = 0; i < source.size(); ++i) {
        Poll(i);
        const auto first = mdp.TransitionValues.begin() +
                           static_cast<std::ptrdiff_t>(mdp.ChoiceTransitionStart[source[i]]);
        const auto last = mdp.TransitionValues.begin() +
                          static_cast<std::ptrdiff_t>(mdp.ChoiceTransitionStart[source[i] + 1]);
        reduced.TransitionValues.insert(reduced.TransitionValues.end(), first, last);
    }
    return reduced;
}

PrecomputeCounts Count(const Analysis& analysis) {
    PrecomputeCounts counts;
    for (std::size_t s = 0; s < analysis.Kind.size(); ++s) {
        switch (analysis.Kind[s]) {
            case StateKind::Unreached: continue;
            case StateKind::Target: ++counts.Targets; break;
            case StateKind::Zero: ++counts.Zero; break;
            case StateKind::Maybe: ++counts.Maybe; break;
        }
        ++counts.Reachable;
        if (analysis.Component[s] != kNoComponent) ++counts.ComponentStates;
    }
    counts.Components = analysis.ComponentCount;
    return counts;
}

}  // namespace iicheck
