// The numbering of the states the library gets: the state asked about
// becomes state 0, the states it cannot reach are dropped.
//
// The library sweeps the states from the last to state 0 and updates them
// in place, so a state sees the bounds of this sweep for its successors with
// higher numbers and those of the last sweep for the others.
//
// Breadth-first order from the initial state numbers successors mostly
// after their predecessors. Topological order makes sure of it between
// strongly connected components: the components in topological order (every
// component after the components that lead to it), and within a component
// the breadth-first order. So an edge between components always leads to a
// higher number, an edge within a component does when it does in
// breadth-first order, and one sweep carries new bounds through every part
// without cycles. The initial state stays state 0: its component comes
// first, since every other state is reachable from it.
//
// Never more iterations than breadth-first order: every edge that leads to
// a higher number there does here too, so every state of a sweep sees at
// least the bounds it sees there, each as new or newer; the update is
// monotone (rounding included), so after every sweep every interval is
// within the one of breadth-first order. (Ordering a component by the
// distance from its exits instead doubled the iterations on the consensus
// models: docs/performance.md.)
//
// Both take linear time: a breadth-first search, and Tarjan's algorithm
// (Components.hpp) with a counting sort.
#pragma once

#include "analysis/Precompute.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace iicheck {

constexpr uint64_t kNoState = UINT64_MAX;

// "topological", "breadth-first": the names on the command line.
const char* OrderName(StateOrder order);

// The states of model reachable from model.Initial[initial], in the order
// they get: the first is the initial state.
std::vector<uint64_t> StateSequence(const ReducedModel& model, std::size_t initial, StateOrder order);

// The model numbered in that order. Initial lists the new numbers of the
// states it listed (kNoState for those left out). Releases model on the
// way: pass it with std::move.
ReducedModel Renumber(ReducedModel model, std::size_t initial, StateOrder order);

}  // namespace iicheck
