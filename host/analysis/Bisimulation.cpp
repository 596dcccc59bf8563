#include "analysis/Bisimulation.hpp"

#include "model/ExactValue.hpp"
#include "support/LargeArrays.hpp"
#include "support/Progress.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <string>
#include <utility>

namespace iicheck {
namespace {

using u128 = unsigned __int128;

// Polls for an interrupt and keeps the progress line's elapsed time going.
void Poll(uint64_t counter) { PollWithProgress(counter, kPrecomputing, counter, 0, "states"); }

// An exact probability as two words: the reduced fraction (numerator,
// denominator) when both fit in 64 bits, else (index, 0) with the index of
// its canonical text in Wide. Equal rationals get equal keys.
struct Key {
    uint64_t A;
    uint64_t B;
};

using WideValues = std::map<std::string, uint64_t>;

Key WideKey(const mpq_class& value, WideValues& wide) {
    const auto [found, inserted] = wide.emplace(value.get_str(), wide.size());
    return {found->second, 0};
}

mpz_class Big(u128 value) {
    const uint64_t words[2] = {static_cast<uint64_t>(value), static_cast<uint64_t>(value >> 64)};
    mpz_class result;
    mpz_import(result.get_mpz_t(), 2, -1, sizeof words[0], 0, 0, words);
    return result;
}

Key SumKey(const TransitionValue* values, std::size_t count, WideValues& wide) {
    Fraction128 sum;
    if (!SumExactly(values, count, sum)) return WideKey(SumExactlyBig(values, count), wide);
    if ((sum.Numerator >> 64) == 0 && (sum.Denominator >> 64) == 0) {
        return {static_cast<uint64_t>(sum.Numerator), static_cast<uint64_t>(sum.Denominator)};
    }
    return WideKey(mpq_class(Big(sum.Numerator), Big(sum.Denominator)), wide);
}

// The key of one probability, without a 128-bit sum for the usual ones.
Key ValueKey(const TransitionValue& value, WideValues& wide) {
    if (value.Denominator != 0) {
        const uint64_t numerator = static_cast<uint64_t>(value.Numerator);
        const uint64_t denominator = static_cast<uint64_t>(value.Denominator);
        const uint64_t divisor = std::gcd(numerator, denominator);
        return {numerator / divisor, denominator / divisor};
    }
    const ExactTerm term = TermOf(value);
    if (term.Shift <= 63) return {term.Numerator, uint64_t{1} << term.Shift};
    return SumKey(&value, 1, wide);
}

uint64_t Hash(const uint64_t* words, std::size_t count) {
    uint64_t hash = 0x9E3779B97F4A7C15ULL ^ count;
    for (std::size_t i = 0; i < count; ++i) {
        hash = (hash ^ words[i]) * 0xFF51AFD7ED558CCDULL;
        hash ^= hash >> 32;
    }
    return hash;
}

// The partition and the scratch space of the refinement. The states of a
// class are contiguous in Elements; the marked ones (whose signature may
// have changed) come first.
template <class Index>
struct Refinement {
    const ReducedModel* Model = nullptr;
    std::vector<Index> Elements;
    std::vector<Index> Position;  // of each state in Elements
    std::vector<Index> ClassOf;
    std::vector<Index> Start;     // per class, in Elements
    std::vector<Index> End;
    std::vector<Index> Marked;    // per class: how many of its states are marked
    std::vector<Index> PredecessorStart;
    std::vector<Index> Predecessors;  // the states with a transition to each state
    WideValues Wide;
    bool Stopped = false;

    // Scratch space, reused: one choice's (class, transition) pairs, the
    // values of one run of them, the choices of one state, and the
    // signatures of the marked states of one class.
    std::vector<std::pair<Index, Index>> Entries;
    std::vector<TransitionValue> Run;
    std::vector<uint64_t> ChoiceWords;
    std::vector<std::pair<std::size_t, std::size_t>> ChoiceSpans;  // offset, length
    std::vector<std::size_t> Order;
    std::vector<uint64_t> Arena;
    struct Group {
        std::size_t Offset;  // of its signature in Arena
        std::size_t Length;
        uint64_t Hash;
        Index Count;         // marked states in it
    };
    std::vector<Group> Groups;
    std::vector<Index> Table;  // open addressing: group + 1, or 0 when free; a power of 2
    std::vector<Index> GroupOfMarked;
    std::vector<Index> Placed;
    std::vector<Index> Next;  // per group: where its next state goes
};

// Calls each(class, first, last) for the runs of entries into one class:
// the transitions of choice c sorted by the class of their successor.
template <class Index, class Each>
void ForEachRun(Refinement<Index>& r, const std::vector<Index>& classOf, uint64_t c, Each&& each) {
    const ReducedModel& model = *r.Model;
    r.Entries.clear();
    for (uint64_t t = model.ChoiceTransitionStart[c]; t < model.ChoiceTransitionStart[c + 1]; ++t) {
        r.Entries.emplace_back(classOf[model.TransitionTarget[t]], static_cast<Index>(t));
    }
    if (r.Entries.size() <= 8) {  // the usual: one or two
        for (std::size_t i = 1; i < r.Entries.size(); ++i) {
            for (std::size_t j = i; j > 0 && r.Entries[j] < r.Entries[j - 1]; --j) {
                std::swap(r.Entries[j], r.Entries[j - 1]);
            }
        }
    } else {
        std::sort(r.Entries.begin(), r.Entries.end());
    }
    for (std::size_t first = 0; first < r.Entries.size();) {
        std::size_t last = first + 1;
        while (last < r.Entries.size() && r.Entries[last].first == r.Entries[first].first) ++last;
        each(r.Entries[first].first, first, last);
        first = last;
    }
}

// Appends the distribution of choice c over the classes to words: (class,
// key) per class it enters, by increasing class.
template <class Index>
void AppendChoice(Refinement<Index>& r, const std::vector<Index>& classOf, uint64_t c,
                  std::vector<uint64_t>& words) {
    const std::vector<TransitionValue>& values = r.Model->TransitionValues;
    ForEachRun(r, classOf, c, [&](Index target, std::size_t first, std::size_t last) {
        Key key;
        if (last - first == 1) {
            key = ValueKey(values[r.Entries[first].second], r.Wide);
        } else {
            r.Run.clear();
            for (std::size_t i = first; i < last; ++i) r.Run.push_back(values[r.Entries[i].second]);
            key = SumKey(r.Run.data(), r.Run.size(), r.Wide);
        }
        words.push_back(target);
        words.push_back(key.A);
        words.push_back(key.B);
    });
}

// The distributions of the choices of state s as spans of r.ChoiceWords,
// sorted and without repeats; or, with choices, the numbers of the choices
// of s whose distribution no earlier choice of s has, in order.
template <class Index>
void DistinctChoices(Refinement<Index>& r, const std::vector<Index>& classOf, uint64_t s,
                     std::vector<uint64_t>* choices = nullptr) {
    const ReducedModel& model = *r.Model;
    r.ChoiceWords.clear();
    r.ChoiceSpans.clear();
    for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
        const std::size_t offset = r.ChoiceWords.size();
        AppendChoice(r, classOf, c, r.ChoiceWords);
        r.ChoiceSpans.emplace_back(offset, r.ChoiceWords.size() - offset);
    }
    auto less = [&](const std::pair<std::size_t, std::size_t>& a, const std::pair<std::size_t, std::size_t>& b) {
        if (a.second != b.second) return a.second < b.second;
        const uint64_t* words = r.ChoiceWords.data();
        return std::lexicographical_compare(words + a.first, words + a.first + a.second,
                                            words + b.first, words + b.first + b.second);
    };
    auto equal = [&](const std::pair<std::size_t, std::size_t>& a, const std::pair<std::size_t, std::size_t>& b) {
        return !less(a, b) && !less(b, a);
    };
    if (choices == nullptr) {
        std::sort(r.ChoiceSpans.begin(), r.ChoiceSpans.end(), less);
        r.ChoiceSpans.erase(std::unique(r.ChoiceSpans.begin(), r.ChoiceSpans.end(), equal),
                            r.ChoiceSpans.end());
        return;
    }
    std::vector<std::size_t>& order = r.Order;
    order.resize(r.ChoiceSpans.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return less(r.ChoiceSpans[a], r.ChoiceSpans[b]); });
    choices->clear();
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i == 0 || !equal(r.ChoiceSpans[order[i - 1]], r.ChoiceSpans[order[i]])) {
            choices->push_back(model.StateChoiceStart[s] + order[i]);
        }
    }
    std::sort(choices->begin(), choices->end());
}

// Appends the signature of state s to r.Arena: the number of its distinct
// distributions, then each as its length and words. Returns its offset.
template <class Index>
std::size_t AppendSignature(Refinement<Index>& r, uint64_t s) {
    DistinctChoices(r, r.ClassOf, s);
    const std::size_t offset = r.Arena.size();
    r.Arena.push_back(r.ChoiceSpans.size());
    for (const auto& [first, length] : r.ChoiceSpans) {
        r.Arena.push_back(length);
        r.Arena.insert(r.Arena.end(), r.ChoiceWords.begin() + static_cast<std::ptrdiff_t>(first),
                       r.ChoiceWords.begin() + static_cast<std::ptrdiff_t>(first + length));
    }
    return offset;
}

// Empties the table of groups, with room for a few.
template <class Index>
void ClearGroups(Refinement<Index>& r) {
    r.Groups.clear();
    r.Table.assign(16, 0);
}

// The group of the signature at offset in r.Arena, a new one when no group
// has it yet (then the signature stays in the arena, else it is dropped).
// The table stays at most half full: it doubles as groups come.
template <class Index>
Index GroupOf(Refinement<Index>& r, std::size_t offset) {
    const std::size_t length = r.Arena.size() - offset;
    const uint64_t hash = Hash(r.Arena.data() + offset, length);
    if (2 * (r.Groups.size() + 1) > r.Table.size()) {
        r.Table.assign(2 * r.Table.size(), 0);
        const std::size_t mask = r.Table.size() - 1;
        for (std::size_t g = 0; g < r.Groups.size(); ++g) {
            std::size_t slot = r.Groups[g].Hash & mask;
            while (r.Table[slot] != 0) slot = (slot + 1) & mask;
            r.Table[slot] = static_cast<Index>(g + 1);
        }
    }
    const std::size_t mask = r.Table.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        if (r.Table[slot] == 0) {
            r.Groups.push_back({offset, length, hash, 0});
            r.Table[slot] = static_cast<Index>(r.Groups.size());
            return static_cast<Index>(r.Groups.size() - 1);
        }
        const auto& group = r.Groups[r.Table[slot] - 1];
        if (group.Hash == hash && group.Length == length &&
            std::equal(r.Arena.begin() + static_cast<std::ptrdiff_t>(group.Offset),
                       r.Arena.begin() + static_cast<std::ptrdiff_t>(group.Offset + length),
                       r.Arena.begin() + static_cast<std::ptrdiff_t>(offset))) {
            r.Arena.resize(offset);
            return r.Table[slot] - 1;
        }
    }
}

// Splits class b by the signatures of its marked states. The unmarked
// states all have one signature (their successors have not changed class
// since b was formed): group 0, with the marked states that have it. The
// largest group keeps the class and the others get new ones, so that a
// state changes class only when its class at least halves. The states that
// get a new class are appended to moved.
template <class Index>
void SplitClass(Refinement<Index>& r, Index b, std::vector<Index>& moved) {
    const Index start = r.Start[b];
    const Index marked = r.Marked[b];
    const Index unmarked = r.End[b] - start - marked;
    r.Marked[b] = 0;
    r.Arena.clear();
    ClearGroups(r);

    // In the order of the states: their choices and transitions lie in
    // that order in memory.
    std::sort(r.Elements.begin() + start, r.Elements.begin() + start + marked);
    for (Index i = start; i < start + marked; ++i) r.Position[r.Elements[i]] = i;
    if (unmarked != 0) GroupOf(r, AppendSignature(r, r.Elements[start + marked]));
    r.GroupOfMarked.resize(marked);
    for (Index i = 0; i < marked; ++i) {
        Poll(i);
        const Index group = GroupOf(r, AppendSignature(r, r.Elements[start + i]));
        r.GroupOfMarked[i] = group;
        ++r.Groups[group].Count;
    }
    const Index groups = static_cast<Index>(r.Groups.size());
    if (groups == 1) return;
    auto size = [&](Index g) { return r.Groups[g].Count + (g == 0 ? unmarked : 0); };
    Index stay = 0;
    for (Index g = 1; g < groups; ++g) {
        if (size(g) > size(stay)) stay = g;
    }

    // Counting sort of the marked states by group: groups 1, 2, ..., then
    // group 0 right before the unmarked states.
    std::vector<Index>& next = r.Next;
    next.resize(groups);
    Index at = 0;
    for (Index g = 1; g < groups; ++g) {
        next[g] = at;
        at += r.Groups[g].Count;
    }
    next[0] = at;
    r.Placed.resize(marked);
    for (Index i = 0; i < marked; ++i) r.Placed[next[r.GroupOfMarked[i]]++] = r.Elements[start + i];
    for (Index i = 0; i < marked; ++i) {
        r.Elements[start + i] = r.Placed[i];
        r.Position[r.Placed[i]] = start + i;
    }
    at = start;
    for (Index k = 1; k <= groups; ++k) {
        const Index g = k % groups;  // group 0 last
        const Index first = at;
        at += size(g);
        if (g == stay) {
            r.Start[b] = first;
            r.End[b] = at;
            continue;
        }
        const Index created = static_cast<Index>(r.Start.size());
        r.Start.push_back(first);
        r.End.push_back(at);
        r.Marked.push_back(0);
        for (Index i = first; i < at; ++i) {
            r.ClassOf[r.Elements[i]] = created;
            moved.push_back(r.Elements[i]);
        }
    }
}

// Marks state s; a class that gets its first mark joins dirty. A class of
// one state cannot split: its states are not marked.
template <class Index>
void Mark(Refinement<Index>& r, Index s, std::vector<Index>& dirty) {
    const Index b = r.ClassOf[s];
    if (r.End[b] - r.Start[b] == 1) return;
    const Index firstUnmarked = r.Start[b] + r.Marked[b];
    const Index position = r.Position[s];
    if (position < firstUnmarked) return;
    const Index other = r.Elements[firstUnmarked];
    r.Elements[firstUnmarked] = s;
    r.Elements[position] = other;
    r.Position[s] = firstUnmarked;
    r.Position[other] = position;
    if (r.Marked[b]++ == 0) dirty.push_back(b);
}

// The coarsest bisimulation as r.ClassOf; returns the number of rounds.
// With mayStop, stops early (r.Stopped) once more than 9/10 of the states
// are in classes of their own (the classes only split further).
template <class Index>
uint64_t Refine(Refinement<Index>& r, bool mayStop) {
    const ReducedModel& model = *r.Model;
    const uint64_t n = model.StateCount();
    // Predecessors of every state, one entry per transition.
    AssignLarge(r.PredecessorStart, n + 1, Index{0});
    for (const uint64_t t : model.TransitionTarget) ++r.PredecessorStart[t + 1];
    for (uint64_t s = 0; s < n; ++s) r.PredecessorStart[s + 1] += r.PredecessorStart[s];
    AssignLarge(r.Predecessors, model.TransitionCount(), Index{0});
    {
        std::vector<Index> next(r.PredecessorStart.begin(), r.PredecessorStart.end() - 1);
        for (uint64_t s = 0; s < n; ++s) {
            Poll(s);
            for (uint64_t t = model.ChoiceTransitionStart[model.StateChoiceStart[s]];
                 t < model.ChoiceTransitionStart[model.StateChoiceStart[s + 1]]; ++t) {
                r.Predecessors[next[model.TransitionTarget[t]]++] = static_cast<Index>(s);
            }
        }
    }
    // The first partition: the targets, the zero states and the others,
    // which are all marked.
    auto kindOf = [&](uint64_t s) {
        return TestBit(model.TargetStates, s) ? 0 : TestBit(model.ZeroStates, s) ? 1 : 2;
    };
    Index size[3] = {0, 0, 0};
    for (uint64_t s = 0; s < n; ++s) ++size[kindOf(s)];
    AssignLarge(r.Elements, n, Index{0});
    AssignLarge(r.Position, n, Index{0});
    AssignLarge(r.ClassOf, n, Index{0});
    // At most one class per state: no doubling beyond that.
    ReserveLarge(r.Start, n);
    ReserveLarge(r.End, n);
    ReserveLarge(r.Marked, n);
    std::vector<Index> dirty;
    Index next[3] = {0, size[0], static_cast<Index>(size[0] + size[1])};
    Index classOfKind[3] = {0, 0, 0};
    for (int kind = 0; kind < 3; ++kind) {
        if (size[kind] == 0) continue;
        classOfKind[kind] = static_cast<Index>(r.Start.size());
        r.Start.push_back(next[kind]);
        r.End.push_back(next[kind] + size[kind]);
        r.Marked.push_back(kind == 2 ? size[kind] : 0);
        if (kind == 2) dirty.push_back(classOfKind[kind]);
    }
    for (uint64_t s = 0; s < n; ++s) {
        const int kind = kindOf(s);
        r.ClassOf[s] = classOfKind[kind];
        r.Position[s] = next[kind];
        r.Elements[next[kind]++] = static_cast<Index>(s);
    }

    // A round: the classes that were dirty when it began.
    uint64_t rounds = 0;
    std::size_t roundEnd = 0;
    std::vector<Index> moved;
    for (std::size_t head = 0; head < dirty.size();) {
        Poll(head);
        if (head == roundEnd) {
            if (mayStop && 10 * r.Start.size() > 9 * n) {
                r.Stopped = true;
                break;
            }
            ++rounds;
            roundEnd = dirty.size();
        }
        moved.clear();
        SplitClass(r, dirty[head++], moved);
        for (const Index t : moved) {
            for (Index i = r.PredecessorStart[t]; i < r.PredecessorStart[t + 1]; ++i) {
                Mark(r, r.Predecessors[i], dirty);
            }
        }
        if (head >= (std::size_t{1} << 16) && 2 * head >= dirty.size()) {
            // Drops the classes done, so that the queue follows the work left.
            dirty.erase(dirty.begin(), dirty.begin() + static_cast<std::ptrdiff_t>(head));
            roundEnd -= head;
            head = 0;
        }
    }
    return rounds;
}

// Renumbers r.ClassOf in the order of the classes' first states; returns
// the number of classes.
template <class Index>
uint64_t NumberClasses(Refinement<Index>& r, std::size_t classes) {
    std::vector<Index> number(classes, std::numeric_limits<Index>::max());
    Index count = 0;
    for (Index& c : r.ClassOf) {
        if (number[c] == std::numeric_limits<Index>::max()) number[c] = count++;
        c = number[c];
    }
    return count;
}

// The quotient: per class, the distinct choices of its first state.
template <class Index>
ReducedModel Quotient(Refinement<Index>& r, uint64_t classes) {
    const ReducedModel& model = *r.Model;
    const std::vector<Index>& classOf = r.ClassOf;
    ReducedModel quotient;
    quotient.TargetStates = EmptyBits(classes);
    quotient.ZeroStates = EmptyBits(classes);
    quotient.StateChoiceStart.reserve(classes + 1);
    std::vector<uint64_t> choices;
    uint64_t nextClass = 0;
    for (uint64_t s = 0; s < model.StateCount(); ++s) {
        Poll(s);
        if (classOf[s] != nextClass) continue;
        ++nextClass;
        if (TestBit(model.TargetStates, s)) SetBit(quotient.TargetStates, classOf[s]);
        if (TestBit(model.ZeroStates, s)) SetBit(quotient.ZeroStates, classOf[s]);
        quotient.StateChoiceStart.push_back(quotient.ChoiceTransitionStart.size());
        DistinctChoices(r, classOf, s, &choices);
        for (const uint64_t c : choices) {
            quotient.ChoiceTransitionStart.push_back(quotient.TransitionTarget.size());
            ForEachRun(r, classOf, c, [&](Index target, std::size_t first, std::size_t last) {
                auto add = [&](const TransitionValue& value) {
                    quotient.TransitionTarget.push_back(target);
                    quotient.TransitionValues.push_back(value);
                };
                TransitionValue sum;
                bool exact = last - first == 1;
                if (exact) {
                    sum = model.TransitionValues[r.Entries[first].second];
                } else {
                    r.Run.clear();
                    for (std::size_t i = first; i < last; ++i) {
                        r.Run.push_back(model.TransitionValues[r.Entries[i].second]);
                    }
                    Fraction128 small;
                    exact = SumExactly(r.Run.data(), r.Run.size(), small)
                                ? ExactTransitionValue(small, sum)
                                : ExactTransitionValue(SumExactlyBig(r.Run.data(), r.Run.size()), sum);
                }
                if (exact) {
                    add(sum);
                } else {
                    for (const TransitionValue& value : r.Run) add(value);
                }
            });
        }
    }
    quotient.StateChoiceStart.push_back(quotient.ChoiceTransitionStart.size());
    quotient.ChoiceTransitionStart.push_back(quotient.TransitionTarget.size());
    for (const uint64_t initial : model.Initial) quotient.Initial.push_back(classOf[initial]);
    return quotient;
}

template <class Index>
Refinement<Index> Refined(const ReducedModel& model, bool mayStop, uint64_t& rounds, uint64_t& classes) {
    Refinement<Index> r;
    r.Model = &model;
    rounds = Refine(r, mayStop);
    const std::size_t count = r.Start.size();
    Release(r.Predecessors);
    Release(r.PredecessorStart);
    Release(r.Elements);
    Release(r.Position);
    Release(r.Start);
    Release(r.End);
    Release(r.Marked);
    classes = NumberClasses(r, count);
    return r;
}

bool CompactIndices(const ReducedModel& model) {
    return std::max(model.StateCount(), model.TransitionCount()) + 1 <
           std::numeric_limits<uint32_t>::max();
}

template <class Index>
ReducedModel BisimulateWith(ReducedModel model, BisimulationStats& stats) {
    uint64_t classes = 0;
    Refinement<Index> r = Refined<Index>(model, true, stats.Rounds, classes);
    stats.Stopped = r.Stopped;
    if (r.Stopped || classes == model.StateCount()) return model;
    return Quotient(r, classes);
}

}  // namespace

std::vector<uint64_t> BisimulationClasses(const ReducedModel& model, uint64_t* rounds) {
    uint64_t roundCount = 0;
    uint64_t classes = 0;
    std::vector<uint64_t> classOf;
    if (CompactIndices(model)) {
        const Refinement<uint32_t> r = Refined<uint32_t>(model, false, roundCount, classes);
        classOf.assign(r.ClassOf.begin(), r.ClassOf.end());
    } else {
        classOf = Refined<uint64_t>(model, false, roundCount, classes).ClassOf;
    }
    if (rounds != nullptr) *rounds = roundCount;
    return classOf;
}

ReducedModel Bisimulate(ReducedModel model, BisimulationStats& stats) {
    const ProgressPhase phase(kPrecomputing);
    stats.Before = SizeOf(model);
    ReducedModel quotient = CompactIndices(model) ? BisimulateWith<uint32_t>(std::move(model), stats)
                                                  : BisimulateWith<uint64_t>(std::move(model), stats);
    stats.After = SizeOf(quotient);
    return quotient;
}

}  // namespace iicheck
