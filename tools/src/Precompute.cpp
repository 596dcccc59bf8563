#include "Precompute.hpp"

#include <stdexcept>

namespace iicheck {
namespace {

constexpr uint64_t kUnset = UINT64_MAX;

// Predecessor lists restricted to the choices of Maybe states: for every
// state t, the choices that have a transition to t (a choice appears once
// per such transition).
struct Predecessors {
    std::vector<uint64_t> Start;   // StateCount + 1
    std::vector<uint64_t> Choice;
    std::vector<uint64_t> Owner;   // per choice: its state (Maybe states only)
};

Predecessors BuildPredecessors(const ExplicitMdp& mdp, const std::vector<StateKind>& kind) {
    const uint64_t n = mdp.StateCount;
    Predecessors predecessors;
    predecessors.Start.assign(n + 1, 0);
    predecessors.Owner.assign(mdp.ChoiceCount(), kUnset);
    for (uint64_t s = 0; s < n; ++s) {
        if (kind[s] != StateKind::Maybe) continue;
        for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
            predecessors.Owner[c] = s;
            for (uint64_t t = mdp.ChoiceTransitionStart[c]; t < mdp.ChoiceTransitionStart[c + 1]; ++t) {
                ++predecessors.Start[mdp.TransitionTarget[t] + 1];
            }
        }
    }
    for (uint64_t s = 0; s < n; ++s) predecessors.Start[s + 1] += predecessors.Start[s];
    predecessors.Choice.resize(predecessors.Start[n]);
    std::vector<uint64_t> fill(predecessors.Start.begin(), predecessors.Start.end() - 1);
    for (uint64_t s = 0; s < n; ++s) {
        if (kind[s] != StateKind::Maybe) continue;
        for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
            for (uint64_t t = mdp.ChoiceTransitionStart[c]; t < mdp.ChoiceTransitionStart[c + 1]; ++t) {
                predecessors.Choice[fill[mdp.TransitionTarget[t]]++] = c;
            }
        }
    }
    return predecessors;
}

// Step 1: Target, Zero (failure states) or Maybe for every reachable state.
std::vector<StateKind> Explore(const ExplicitMdp& mdp, const PropertySpec& property) {
    std::vector<StateKind> kind(mdp.StateCount, StateKind::Unreached);
    std::vector<uint64_t> queue;
    auto visit = [&](uint64_t s) {
        if (kind[s] != StateKind::Unreached) return;
        if (TestBit(property.Target, s)) {
            kind[s] = StateKind::Target;
        } else if (!property.Avoid.empty() && TestBit(property.Avoid, s)) {
            kind[s] = StateKind::Zero;
        } else {
            kind[s] = StateKind::Maybe;
            queue.push_back(s);
        }
    };
    visit(property.Initial);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const uint64_t s = queue[head];
        for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
            for (uint64_t t = mdp.ChoiceTransitionStart[c]; t < mdp.ChoiceTransitionStart[c + 1]; ++t) {
                visit(mdp.TransitionTarget[t]);
            }
        }
    }
    return kind;
}

// Step 2, maximum: Maybe states from which no target is reachable (Prob0E).
void MarkCannotReach(const ExplicitMdp& mdp, const Predecessors& predecessors,
                     std::vector<StateKind>& kind) {
    std::vector<uint8_t> reaches(mdp.StateCount, 0);
    std::vector<uint64_t> queue;
    for (uint64_t s = 0; s < mdp.StateCount; ++s) {
        if (kind[s] == StateKind::Target) {
            reaches[s] = 1;
            queue.push_back(s);
        }
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const uint64_t t = queue[head];
        for (uint64_t i = predecessors.Start[t]; i < predecessors.Start[t + 1]; ++i) {
            const uint64_t s = predecessors.Owner[predecessors.Choice[i]];
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
void MarkCanAvoid(const ExplicitMdp& mdp, const Predecessors& predecessors,
                  std::vector<StateKind>& kind) {
    std::vector<uint64_t> waiting(mdp.StateCount, 0);  // choices not yet joined
    std::vector<uint8_t> joined(mdp.ChoiceCount(), 0);
    std::vector<uint8_t> positive(mdp.StateCount, 0);
    std::vector<uint64_t> queue;
    for (uint64_t s = 0; s < mdp.StateCount; ++s) {
        waiting[s] = mdp.StateChoiceStart[s + 1] - mdp.StateChoiceStart[s];
        if (kind[s] == StateKind::Target) {
            positive[s] = 1;
            queue.push_back(s);
        }
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const uint64_t t = queue[head];
        for (uint64_t i = predecessors.Start[t]; i < predecessors.Start[t + 1]; ++i) {
            const uint64_t c = predecessors.Choice[i];
            if (joined[c]) continue;
            joined[c] = 1;
            const uint64_t s = predecessors.Owner[c];
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
void FindEndComponents(const ExplicitMdp& mdp, const Predecessors& predecessors,
                       const std::vector<StateKind>& kind, Analysis& analysis) {
    const uint64_t n = mdp.StateCount;
    std::vector<uint8_t>& allowed = analysis.Inside;
    allowed.assign(mdp.ChoiceCount(), 0);
    std::vector<uint64_t> allowedCount(n, 0);
    std::vector<uint8_t> candidate(n, 0);
    std::vector<uint64_t> candidates;
    auto forEachSuccessor = [&](uint64_t c, auto&& each) {
        for (uint64_t t = mdp.ChoiceTransitionStart[c]; t < mdp.ChoiceTransitionStart[c + 1]; ++t) {
            each(mdp.TransitionTarget[t]);
        }
    };
    for (uint64_t s = 0; s < n; ++s) {
        if (kind[s] != StateKind::Maybe) continue;
        for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
            bool inside = true;
            bool any = false;
            forEachSuccessor(c, [&](uint64_t t) {
                any = true;
                inside = inside && kind[t] == StateKind::Maybe;
            });
            if (inside && any) {
                allowed[c] = 1;
                ++allowedCount[s];
            }
        }
    }

    std::vector<uint64_t> removed;
    auto remove = [&](uint64_t s) {
        candidate[s] = 0;
        removed.push_back(s);
    };
    auto propagateRemovals = [&]() {
        while (!removed.empty()) {
            const uint64_t t = removed.back();
            removed.pop_back();
            for (uint64_t i = predecessors.Start[t]; i < predecessors.Start[t + 1]; ++i) {
                const uint64_t c = predecessors.Choice[i];
                if (!allowed[c]) continue;
                allowed[c] = 0;
                const uint64_t s = predecessors.Owner[c];
                if (--allowedCount[s] == 0 && candidate[s]) remove(s);
            }
        }
    };
    for (uint64_t s = 0; s < n; ++s) {
        if (kind[s] == StateKind::Maybe && allowedCount[s] != 0) {
            candidate[s] = 1;
            candidates.push_back(s);
        }
    }
    for (uint64_t s = 0; s < n; ++s) {
        if (kind[s] == StateKind::Maybe && allowedCount[s] == 0) removed.push_back(s);
    }
    propagateRemovals();

    std::vector<uint64_t>& component = analysis.Component;
    component.assign(n, kNoComponent);
    std::vector<uint64_t> index(n, kUnset);
    std::vector<uint64_t> lowLink(n, 0);
    std::vector<uint8_t> onStack(n, 0);
    std::vector<uint64_t> stack;
    struct Frame {
        uint64_t State;
        uint64_t Choice;
        uint64_t Transition;
    };
    std::vector<Frame> frames;
    uint64_t componentCount = 0;

    while (true) {
        // Drop the states that left since the last pass.
        std::size_t kept = 0;
        for (uint64_t s : candidates) {
            if (candidate[s]) candidates[kept++] = s;
        }
        candidates.resize(kept);

        // Iterative Tarjan over the candidates and their allowed choices,
        // which lead only to candidates.
        for (uint64_t s : candidates) index[s] = kUnset;
        componentCount = 0;
        uint64_t counter = 0;
        for (uint64_t root : candidates) {
            if (index[root] != kUnset) continue;
            auto open = [&](uint64_t s) {
                index[s] = lowLink[s] = counter++;
                stack.push_back(s);
                onStack[s] = 1;
                const uint64_t first = mdp.StateChoiceStart[s];
                frames.push_back({s, first, first < mdp.StateChoiceStart[s + 1]
                                                ? mdp.ChoiceTransitionStart[first] : 0});
            };
            open(root);
            while (!frames.empty()) {
                Frame& frame = frames.back();
                const uint64_t v = frame.State;
                bool descended = false;
                const uint64_t lastChoice = mdp.StateChoiceStart[v + 1];
                while (!descended && frame.Choice < lastChoice) {
                    const uint64_t c = frame.Choice;
                    if (allowed[c]) {
                        while (frame.Transition < mdp.ChoiceTransitionStart[c + 1]) {
                            const uint64_t t = frame.Transition++;
                            const uint64_t w = mdp.TransitionTarget[t];
                            if (index[w] == kUnset) {
                                open(w);  // invalidates frame
                                descended = true;
                                break;
                            }
                            if (onStack[w] && index[w] < lowLink[v]) lowLink[v] = index[w];
                        }
                        if (descended) break;
                    }
                    ++frame.Choice;
                    if (frame.Choice < lastChoice) {
                        frame.Transition = mdp.ChoiceTransitionStart[frame.Choice];
                    }
                }
                if (descended) continue;
                if (lowLink[v] == index[v]) {
                    uint64_t w;
                    do {
                        w = stack.back();
                        stack.pop_back();
                        onStack[w] = 0;
                        component[w] = componentCount;
                    } while (w != v);
                    ++componentCount;
                }
                frames.pop_back();
                if (!frames.empty()) {
                    const uint64_t parent = frames.back().State;
                    if (lowLink[v] < lowLink[parent]) lowLink[parent] = lowLink[v];
                }
            }
        }

        // Choices that leave their component are not part of an end
        // component.
        bool changed = false;
        for (uint64_t s : candidates) {
            for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
                if (!allowed[c]) continue;
                bool leaves = false;
                forEachSuccessor(c, [&](uint64_t t) { leaves = leaves || component[t] != component[s]; });
                if (leaves) {
                    allowed[c] = 0;
                    changed = true;
                    if (--allowedCount[s] == 0) remove(s);
                }
            }
        }
        changed = changed || !removed.empty();
        propagateRemovals();
        if (!changed) break;
    }

    // Number the surviving components densely.
    std::vector<uint64_t> dense(componentCount, kUnset);
    analysis.ComponentCount = 0;
    for (uint64_t s = 0; s < n; ++s) {
        if (!candidate[s]) {
            component[s] = kNoComponent;
            continue;
        }
        uint64_t& number = dense[component[s]];
        if (number == kUnset) number = analysis.ComponentCount++;
        component[s] = number;
    }
}

}  // namespace

Analysis Analyse(const ExplicitMdp& mdp, const PropertySpec& property) {
    Analysis analysis;
    analysis.Kind = Explore(mdp, property);
    // Also holds the choices of states that become probability-0 states
    // below; the end-component search never allows those choices.
    const Predecessors predecessors = BuildPredecessors(mdp, analysis.Kind);
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

ReducedModel Reduce(const ExplicitMdp& mdp, const PropertySpec& property, const Analysis& analysis) {
    const uint64_t n = mdp.StateCount;
    const uint64_t components = analysis.ComponentCount;
    // Nodes of the quotient: the states themselves (0 .. n-1), the end
    // components (n .. n+components-1), the target and the zero state.
    const uint64_t targetNode = n + components;
    const uint64_t zeroNode = targetNode + 1;
    // One sequential pass, so that the exploration below looks up one array
    // per transition.
    std::vector<uint64_t> nodeOf(n);
    for (uint64_t s = 0; s < n; ++s) {
        switch (analysis.Kind[s]) {
            case StateKind::Target: nodeOf[s] = targetNode; break;
            case StateKind::Zero: nodeOf[s] = zeroNode; break;
            default:
                nodeOf[s] = analysis.Component[s] != kNoComponent ? n + analysis.Component[s] : s;
        }
    }
    // Members of each component, in state order.
    std::vector<uint64_t> memberStart(components + 1, 0);
    for (uint64_t s = 0; s < n; ++s) {
        if (analysis.Component[s] != kNoComponent) ++memberStart[analysis.Component[s] + 1];
    }
    for (uint64_t m = 0; m < components; ++m) memberStart[m + 1] += memberStart[m];
    std::vector<uint64_t> members(memberStart[components]);
    {
        std::vector<uint64_t> fill(memberStart.begin(), memberStart.end() - 1);
        for (uint64_t s = 0; s < n; ++s) {
            if (analysis.Component[s] != kNoComponent) members[fill[analysis.Component[s]]++] = s;
        }
    }

    ReducedModel reduced;
    reduced.ChoiceTransitionStart.reserve(mdp.ChoiceCount() + 1);
    reduced.TransitionTarget.reserve(mdp.TransitionCount());
    reduced.TransitionValues.reserve(mdp.TransitionCount());
    std::vector<uint64_t> number(zeroNode + 1, kUnset);
    std::vector<uint64_t> queue;
    auto numberOf = [&](uint64_t node) {
        if (number[node] == kUnset) {
            number[node] = queue.size();
            queue.push_back(node);
        }
        return number[node];
    };
    auto emitChoice = [&](uint64_t c) {
        reduced.ChoiceTransitionStart.push_back(reduced.TransitionTarget.size());
        for (uint64_t t = mdp.ChoiceTransitionStart[c]; t < mdp.ChoiceTransitionStart[c + 1]; ++t) {
            reduced.TransitionTarget.push_back(numberOf(nodeOf[mdp.TransitionTarget[t]]));
            reduced.TransitionValues.push_back(mdp.TransitionValues[t]);
        }
    };
    // States that end up without choices (none should) count as zero states:
    // the library requires at least one choice of every other state.
    std::vector<uint64_t> withoutChoices;
    numberOf(nodeOf[property.Initial]);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const uint64_t node = queue[head];
        const uint64_t firstChoice = reduced.ChoiceTransitionStart.size();
        reduced.StateChoiceStart.push_back(firstChoice);
        if (node == targetNode || node == zeroNode) continue;
        if (node >= n) {
            const uint64_t m = node - n;
            for (uint64_t i = memberStart[m]; i < memberStart[m + 1]; ++i) {
                const uint64_t s = members[i];
                for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
                    if (!analysis.Inside[c]) emitChoice(c);
                }
            }
        } else {
            for (uint64_t c = mdp.StateChoiceStart[node]; c < mdp.StateChoiceStart[node + 1]; ++c) {
                emitChoice(c);
            }
        }
        if (reduced.ChoiceTransitionStart.size() == firstChoice) withoutChoices.push_back(head);
    }
    reduced.StateChoiceStart.push_back(reduced.ChoiceTransitionStart.size());
    reduced.ChoiceTransitionStart.push_back(reduced.TransitionTarget.size());
    reduced.TargetStates = EmptyBits(queue.size());
    reduced.ZeroStates = EmptyBits(queue.size());
    if (number[targetNode] != kUnset) SetBit(reduced.TargetStates, number[targetNode]);
    if (number[zeroNode] != kUnset) SetBit(reduced.ZeroStates, number[zeroNode]);
    for (uint64_t state : withoutChoices) SetBit(reduced.ZeroStates, state);
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
