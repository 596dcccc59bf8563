#include "analysis/Bisimulation.hpp"

#include "model/ExactValue.hpp"
#include "support/LargeArrays.hpp"
#include "support/Progress.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace iicheck {
namespace {

using u128 = unsigned __int128;

// Polls for an interrupt and keeps the progress line's elapsed time going.
void Poll(uint64_t counter) { PollWithProgress(counter, kPrecomputing, counter, 0, "states"); }

// An exact probability as two words: the reduced fraction (numerator,
// denominator) when both fit in 64 bits, else (index, 0) with the index of
// the fraction in Wide. Equal rationals get equal keys.
struct Key {
    uint64_t A;
    uint64_t B;
};

// The fractions beyond 64 bits met so far, numbered: those of 128-bit
// integers by the integers, larger ones by their canonical text.
struct WideValues {
    struct Hash {
        std::size_t operator()(const std::pair<u128, u128>& f) const {
            const u128 mixed = f.first * 0x9E3779B97F4A7C15ULL + f.second;
            return static_cast<std::size_t>(mixed ^ (mixed >> 64)) * 0xFF51AFD7ED558CCDULL;
        }
    };
    std::unordered_map<std::pair<u128, u128>, uint64_t, Hash> Small;
    std::map<std::string, uint64_t> Big;
    uint64_t Count = 0;
};

Key SumKey(const TransitionValue* values, std::size_t count, WideValues& wide) {
    Fraction128 sum;
    if (!SumExactly(values, count, sum)) {
        const auto [found, added] = wide.Big.emplace(SumExactlyBig(values, count).get_str(), wide.Count);
        wide.Count += added ? 1 : 0;
        return {found->second, 0};
    }
    if ((sum.Numerator >> 64) == 0 && (sum.Denominator >> 64) == 0) {
        return {static_cast<uint64_t>(sum.Numerator), static_cast<uint64_t>(sum.Denominator)};
    }
    const auto [found, added] = wide.Small.emplace(std::make_pair(sum.Numerator, sum.Denominator), wide.Count);
    wide.Count += added ? 1 : 0;
    return {found->second, 0};
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

// Numbers for pairs of words: a table of open addressing that doubles when
// half full, without an allocation per pair.
template <class Index>
class PairTable {
public:
    // Where the number of (a, b) is kept, valid until the next call; added
    // tells that the pair is new (its number is then the caller's to set).
    Index& Find(uint64_t a, uint64_t b, bool& added) {
        if (2 * (count_ + 1) > slots_.size()) Grow();
        const uint64_t words[2] = {a, b};
        for (std::size_t i = Hash(words, 2) & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            Slot& slot = slots_[i];
            if (!slot.Used) {
                slot = Slot{a, b, 0, true};
                ++count_;
                added = true;
                return slot.Number;
            }
            if (slot.A == a && slot.B == b) {
                added = false;
                return slot.Number;
            }
        }
    }

private:
    struct Slot {
        uint64_t A;
        uint64_t B;
        Index Number;
        bool Used;
    };
    void Grow() {
        std::vector<Slot> old(std::max<std::size_t>(64, 2 * slots_.size()), Slot{0, 0, 0, false});
        old.swap(slots_);
        count_ = 0;
        for (const Slot& slot : old) {
            if (!slot.Used) continue;
            bool added = false;
            Find(slot.A, slot.B, added) = slot.Number;
        }
    }
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// The distinct probabilities of a model, each with its key and one value
// that has it (any serves in an exact sum), and the number of every
// transition's. Each distinct bit pattern is taken apart once.
template <class Index>
struct Probabilities {
    std::vector<Key> Keys;
    std::vector<TransitionValue> Values;
    std::vector<Index> Of;  // per transition
};

// With mayStop, gives up (false) once more than half of the transitions
// looked at, at least kProbe of them, have a probability of their own: two
// choices are in one class only when they put the same sums into every
// class, which such models hardly ever do (the random models without
// symmetry); symmetric models repeat a few probabilities. The test costs a
// pass over the first transitions only.
constexpr std::size_t kProbe = std::size_t{1} << 16;

template <class Index>
bool DistinctProbabilities(const std::vector<TransitionValue>& values, WideValues& wide, bool mayStop,
                           Probabilities<Index>& p) {
    PairTable<Index> patterns;  // bit pattern -> number
    PairTable<Index> keys;      // key -> number
    ReserveLarge(p.Of, values.size());
    for (std::size_t done = 0; done < values.size();) {
        const std::size_t block = std::min(kProbe, values.size() - done);
        AppendEach(p.Of, block, [&](std::size_t i) {
            const std::size_t t = done + i;
            Poll(t);
            uint64_t bits[2];
            std::memcpy(bits, &values[t], sizeof bits);
            bool added = false;
            Index& pattern = patterns.Find(bits[0], bits[1], added);
            if (added) {
                const Key key = ValueKey(values[t], wide);
                Index& number = keys.Find(key.A, key.B, added);
                if (added) {
                    number = static_cast<Index>(p.Keys.size());
                    p.Keys.push_back(key);
                    p.Values.push_back(values[t]);
                }
                pattern = number;
            }
            return pattern;
        });
        done += block;
        if (mayStop && done >= kProbe && 2 * p.Keys.size() > done) return false;
    }
    return true;
}

// The partition of the states and of the choices, and the scratch space of
// the refinement. The states of a class are contiguous in Elements; the
// marked ones (whose choices changed class) come first. Two choices are in
// one choice class when they enter every class of states with the same
// probability; a state's signature is the set of its choices' classes.
template <class Index>
struct Refinement {
    static constexpr Index kNone = std::numeric_limits<Index>::max();

    const ReducedModel* Model = nullptr;
    Probabilities<Index> Probability;
    std::vector<uint64_t> Single;    // bitset: the states alone in their class
    std::vector<Index> PredecessorStart;
    // Per state, the transitions into it from states that are refined (the
    // targets' and the zero states' choices do not matter), with what the
    // refinement needs of them at hand.
    struct Incoming {
        Index State;
        Index Choice;
        Index Probability;
    };
    std::vector<Incoming> Predecessors;
    std::vector<Index> ChoiceClass;      // per choice; kNone for targets and zero states
    std::vector<Index> ChoiceClassSize;  // choices of states in classes of two or more
    std::vector<Index> Elements;
    std::vector<Index> Position;  // of each state in Elements
    std::vector<Index> ClassOf;
    std::vector<Index> Start;     // per class, in Elements
    std::vector<Index> End;
    std::vector<Index> Marked;    // per class: how many of its states are marked
    WideValues Wide;
    BisimulationStop Stopped = BisimulationStop::No;
    // Where the refinement stands between steps (Step): the classes to
    // split, the first of them not yet split, where the current round ends.
    std::vector<Index> Dirty;
    std::size_t Head = 0;
    std::size_t RoundEnd = 0;
    std::size_t ClassesBefore = 0;
    uint64_t Rounds = 0;
    bool MayStop = false;
    bool Begun = false;  // BeginSplits ran
    bool Done = false;
    // The work so far, in records looked at: the transitions of the model
    // for each pass over it, the transitions into the states that moved,
    // the choices of the states whose signature is computed again.
    uint64_t Work = 0;

    // Scratch space, reused: one choice's (class, transition) pairs, the
    // values of one run of them, the choices of one state, the signatures
    // being grouped.
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
        Index Count;         // members in it
    };
    std::vector<Group> Groups;
    std::vector<Index> Table;  // open addressing: group + 1, or 0 when free; a power of 2
    std::vector<Index> GroupOfMarked;
    std::vector<Index> Placed;
    std::vector<Index> Next;  // per group: where its next state goes, or its new choice class
    // The transitions into the states that just moved: (choice class,
    // choice, new class of the successor, probability, state of the choice).
    struct Touch {
        Index ChoiceClass;
        Index Choice;
        Index Class;
        Index Probability;
        Index State;
        bool operator<(const Touch& other) const {
            return std::tie(ChoiceClass, Choice, Class) < std::tie(other.ChoiceClass, other.Choice, other.Class);
        }
    };
    std::vector<Touch> Touches;
    std::vector<std::pair<Index, Index>> TouchedChoices;  // choice, state
    std::vector<Index> GroupOfTouched;
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

// The key of the exact sum of the probabilities probability(first), ...,
// probability(last - 1), each a number of a distinct probability.
template <class Index, class ProbabilityAt>
Key RunKey(Refinement<Index>& r, std::size_t first, std::size_t last, ProbabilityAt&& probability) {
    if (last - first == 1) return r.Probability.Keys[probability(first)];
    r.Run.clear();
    for (std::size_t i = first; i < last; ++i) r.Run.push_back(r.Probability.Values[probability(i)]);
    return SumKey(r.Run.data(), r.Run.size(), r.Wide);
}

// Appends the distribution of choice c over the classes to words: (class,
// key) per class it enters, by increasing class.
template <class Index>
void AppendChoice(Refinement<Index>& r, const std::vector<Index>& classOf, uint64_t c,
                  std::vector<uint64_t>& words) {
    ForEachRun(r, classOf, c, [&](Index target, std::size_t first, std::size_t last) {
        const Key key = RunKey(r, first, last, [&](std::size_t i) { return r.Probability.Of[r.Entries[i].second]; });
        words.push_back(target);
        words.push_back(key.A);
        words.push_back(key.B);
    });
}

// The numbers of the choices of state s whose distribution over the classes
// no earlier choice of s has, in order.
template <class Index>
void DistinctChoices(Refinement<Index>& r, const std::vector<Index>& classOf, uint64_t s,
                     std::vector<uint64_t>& choices) {
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
    std::vector<std::size_t>& order = r.Order;
    order.resize(r.ChoiceSpans.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return less(r.ChoiceSpans[a], r.ChoiceSpans[b]); });
    choices.clear();
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i == 0 || less(r.ChoiceSpans[order[i - 1]], r.ChoiceSpans[order[i]])) {
            choices.push_back(model.StateChoiceStart[s] + order[i]);
        }
    }
    std::sort(choices.begin(), choices.end());
}

// Appends the signature of state s to r.Arena, the classes of its choices
// ascending without repeats; returns its offset.
template <class Index>
std::size_t AppendSignature(Refinement<Index>& r, uint64_t s) {
    const ReducedModel& model = *r.Model;
    const std::size_t offset = r.Arena.size();
    for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
        r.Arena.push_back(r.ChoiceClass[c]);
    }
    const auto begin = r.Arena.begin() + static_cast<std::ptrdiff_t>(offset);
    if (r.Arena.size() - offset <= 8) {  // the usual: a few choices
        for (auto i = begin; i != r.Arena.end(); ++i) {
            for (auto j = i; j != begin && *j < *(j - 1); --j) std::iter_swap(j, j - 1);
        }
    } else {
        std::sort(begin, r.Arena.end());
    }
    r.Arena.erase(std::unique(begin, r.Arena.end()), r.Arena.end());
    return offset;
}

// Empties the table of groups, with room for a few.
template <class Index>
void ClearGroups(Refinement<Index>& r) {
    r.Arena.clear();
    r.Groups.clear();
    if (r.Table.size() == 16) {
        std::fill(r.Table.begin(), r.Table.end(), 0);
    } else {
        r.Table.assign(16, 0);
    }
}

// The group of the signature at offset in r.Arena, a new one when no group
// has it yet (then the signature stays in the arena, else it is dropped);
// counts the member. The table stays at most half full: it doubles as
// groups come.
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
            r.Groups.push_back({offset, length, hash, 1});
            r.Table[slot] = static_cast<Index>(r.Groups.size());
            return static_cast<Index>(r.Groups.size() - 1);
        }
        auto& group = r.Groups[r.Table[slot] - 1];
        if (group.Hash == hash && group.Length == length &&
            std::equal(r.Arena.begin() + static_cast<std::ptrdiff_t>(group.Offset),
                       r.Arena.begin() + static_cast<std::ptrdiff_t>(group.Offset + length),
                       r.Arena.begin() + static_cast<std::ptrdiff_t>(offset))) {
            r.Arena.resize(offset);
            ++group.Count;
            return r.Table[slot] - 1;
        }
    }
}

// State s is alone in its class from now on: it never splits again, so its
// choices leave the choice classes' counts (and are never looked at again
// until the quotient).
template <class Index>
void Alone(Refinement<Index>& r, Index s) {
    const ReducedModel& model = *r.Model;
    SetBit(r.Single, s);
    for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
        if (r.ChoiceClass[c] != Refinement<Index>::kNone) --r.ChoiceClassSize[r.ChoiceClass[c]];
    }
}

// Splits class b by the signatures of its marked states. The unmarked
// states all have one signature (none of their choices changed class since
// b was formed): group 0, with the marked states that have it. The largest
// group keeps the class and the others get new ones, so that a state
// changes class only when its class at least halves. The states that get a
// new class are appended to moved.
template <class Index>
void SplitClass(Refinement<Index>& r, Index b, std::vector<Index>& moved) {
    const Index start = r.Start[b];
    const Index marked = r.Marked[b];
    const Index unmarked = r.End[b] - start - marked;
    r.Marked[b] = 0;
    ClearGroups(r);

    if (unmarked != 0) {
        GroupOf(r, AppendSignature(r, r.Elements[start + marked]));
        r.Groups[0].Count = 0;
    }
    r.GroupOfMarked.resize(marked);
    for (Index i = 0; i < marked; ++i) {
        Poll(i);
        const Index s = r.Elements[start + i];
        r.Work += 1 + r.Model->StateChoiceStart[s + 1] - r.Model->StateChoiceStart[s];
        r.GroupOfMarked[i] = GroupOf(r, AppendSignature(r, s));
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
        if (size(g) == 1) Alone(r, r.Elements[first]);
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

// After the states in moved left their class for new ones: splits the
// choice classes by what their choices put into the new classes, and marks
// the states of the choices that changed class. The work is that of the
// transitions into the moved states: a choice that enters none of them
// still enters the rest of the old class with the probability it had, the
// same for all its choice class.
template <class Index>
void SplitChoices(Refinement<Index>& r, const std::vector<Index>& moved, std::vector<Index>& dirty) {
    using Touch = typename Refinement<Index>::Touch;
    r.Touches.clear();
    for (const Index m : moved) {
        r.Work += 1 + r.PredecessorStart[m + 1] - r.PredecessorStart[m];
        for (Index i = r.PredecessorStart[m]; i < r.PredecessorStart[m + 1]; ++i) {
            const auto& in = r.Predecessors[i];
            if (TestBit(r.Single, in.State)) continue;
            r.Touches.push_back(Touch{r.ChoiceClass[in.Choice], in.Choice, r.ClassOf[m], in.Probability, in.State});
        }
    }
    std::sort(r.Touches.begin(), r.Touches.end());
    const std::size_t count = r.Touches.size();
    for (std::size_t first = 0; first < count;) {
        Poll(first);
        const Index k = r.Touches[first].ChoiceClass;
        ClearGroups(r);
        r.TouchedChoices.clear();
        r.GroupOfTouched.clear();
        std::size_t i = first;
        for (; i < count && r.Touches[i].ChoiceClass == k;) {
            const Index c = r.Touches[i].Choice;
            const std::size_t offset = r.Arena.size();
            while (i < count && r.Touches[i].Choice == c) {
                std::size_t last = i + 1;
                while (last < count && r.Touches[last].Choice == c && r.Touches[last].Class == r.Touches[i].Class) {
                    ++last;
                }
                const Key key = RunKey(r, i, last, [&](std::size_t j) { return r.Touches[j].Probability; });
                r.Arena.push_back(r.Touches[i].Class);
                r.Arena.push_back(key.A);
                r.Arena.push_back(key.B);
                i = last;
            }
            r.TouchedChoices.emplace_back(c, r.Touches[i - 1].State);
            r.GroupOfTouched.push_back(GroupOf(r, offset));
        }
        first = i;
        const Index untouched = r.ChoiceClassSize[k] - static_cast<Index>(r.TouchedChoices.size());
        const Index groups = static_cast<Index>(r.Groups.size());
        if (untouched == 0 && groups == 1) continue;
        // The untouched choices keep the class; without any, the largest
        // group does.
        Index stay = Refinement<Index>::kNone;
        if (untouched == 0) {
            stay = 0;
            for (Index g = 1; g < groups; ++g) {
                if (r.Groups[g].Count > r.Groups[stay].Count) stay = g;
            }
        }
        r.Next.resize(groups);
        for (Index g = 0; g < groups; ++g) {
            if (g == stay) continue;
            r.Next[g] = static_cast<Index>(r.ChoiceClassSize.size());
            r.ChoiceClassSize.push_back(r.Groups[g].Count);
            r.ChoiceClassSize[k] -= r.Groups[g].Count;
        }
        for (std::size_t j = 0; j < r.TouchedChoices.size(); ++j) {
            const Index g = r.GroupOfTouched[j];
            if (g == stay) continue;
            const auto [c, s] = r.TouchedChoices[j];
            r.ChoiceClass[c] = r.Next[g];
            Mark(r, s, dirty);
        }
    }
}

// The first partition: the targets, the zero states and the others, which
// are all marked (joining dirty); the choices of the others in classes by
// their distributions over it.
template <class Index>
void FirstPartition(Refinement<Index>& r, std::vector<Index>& dirty) {
    const ReducedModel& model = *r.Model;
    const uint64_t n = model.StateCount();
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
    AssignLarge(r.ChoiceClass, model.ChoiceCount(), Refinement<Index>::kNone);
    ClearGroups(r);
    for (uint64_t s = 0; s < n; ++s) {
        Poll(s);
        if (kindOf(s) != 2) continue;
        for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
            const std::size_t offset = r.Arena.size();
            AppendChoice(r, r.ClassOf, c, r.Arena);
            r.ChoiceClass[c] = GroupOf(r, offset);
        }
    }
    r.ChoiceClassSize.resize(r.Groups.size());
    for (std::size_t g = 0; g < r.Groups.size(); ++g) r.ChoiceClassSize[g] = r.Groups[g].Count;
    ClearGroups(r);
    Release(r.Arena);
    if (size[2] == 1) Alone(r, r.Elements[size[0] + size[1]]);
}

// The coarsest bisimulation as r.ClassOf; returns the number of rounds.
// With mayStop, gives up (r.Stopped) as soon as the quotient cannot pay for
// the rest of the refinement: once more than 9/10 of the states are in
// classes of their own (the classes only split further, so the quotient
// would save at most a tenth of each iteration); on models of at least
// kLarge states, also at the end of a round from the second on, once the
// classes hold more than a quarter of the states and grew by half in that
// round: the partition is heading for mostly single states, as on models
// without symmetry, and the quotient could save at most three quarters of
// each iteration, while the rounds left would cost more than the ones so
// far.
constexpr uint64_t kLarge = uint64_t{1} << 16;

// The passes over the model before the first split: the distinct
// probabilities, the lists of predecessors and the first partition.
// Begin takes the distinct probabilities (where the refinement may give up
// at once), BeginSplits the rest.
template <class Index>
void Begin(Refinement<Index>& r, bool mayStop) {
    const ReducedModel& model = *r.Model;
    r.MayStop = mayStop;
    if (!DistinctProbabilities(model.TransitionValues, r.Wide, mayStop && model.StateCount() >= kLarge,
                               r.Probability)) {
        r.Stopped = BisimulationStop::Distinct;
    }
    r.Work += model.TransitionCount();
}

template <class Index>
void BeginSplits(Refinement<Index>& r) {
    const ReducedModel& model = *r.Model;
    const uint64_t n = model.StateCount();
    r.Begun = true;
    // The transitions into every state from the states that are refined.
    r.Single = EmptyBits(n);
    AssignLarge(r.PredecessorStart, n + 1, Index{0});
    auto refined = [&](uint64_t s) { return !TestBit(model.TargetStates, s) && !TestBit(model.ZeroStates, s); };
    for (uint64_t s = 0; s < n; ++s) {
        Poll(s);
        for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
            if (!refined(s)) continue;
            for (uint64_t t = model.ChoiceTransitionStart[c]; t < model.ChoiceTransitionStart[c + 1]; ++t) {
                ++r.PredecessorStart[model.TransitionTarget[t] + 1];
            }
        }
    }
    for (uint64_t s = 0; s < n; ++s) r.PredecessorStart[s + 1] += r.PredecessorStart[s];
    using Incoming = typename Refinement<Index>::Incoming;
    AssignLarge(r.Predecessors, r.PredecessorStart[n], Incoming{0, 0, 0});
    {
        std::vector<Index> next(r.PredecessorStart.begin(), r.PredecessorStart.end() - 1);
        for (uint64_t s = 0; s < n; ++s) {
            Poll(s);
            if (!refined(s)) continue;
            for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
                for (uint64_t t = model.ChoiceTransitionStart[c]; t < model.ChoiceTransitionStart[c + 1]; ++t) {
                    r.Predecessors[next[model.TransitionTarget[t]]++] =
                        Incoming{static_cast<Index>(s), static_cast<Index>(c), r.Probability.Of[t]};
                }
            }
        }
    }
    FirstPartition(r, r.Dirty);
    // Three passes over the transitions, one over the states.
    r.Work += 3 * model.TransitionCount() + n;
    r.ClassesBefore = r.Start.size();
}

// Splits classes until the partition is stable, the refinement gives up,
// or r.Work reaches budget (it stops between two splits); r.Done tells
// the first two.
template <class Index>
void Step(Refinement<Index>& r, uint64_t budget) {
    if (r.Stopped == BisimulationStop::No && !r.Begun && r.Work < budget) BeginSplits(r);
    if (!r.Begun) {
        r.Done = r.Stopped != BisimulationStop::No;
        return;
    }
    const uint64_t n = r.Model->StateCount();
    const bool large = r.MayStop && n >= kLarge;
    std::vector<Index>& dirty = r.Dirty;
    std::vector<Index> moved;
    while (r.Head < dirty.size() && r.Work < budget) {
        Poll(r.Head);
        const std::size_t classes = r.Start.size();
        if (r.MayStop && 10 * classes > 9 * n) {
            r.Stopped = BisimulationStop::ManyClasses;
            break;
        }
        if (r.Head == r.RoundEnd) {
            if (large && r.Rounds >= 2 && 4 * classes > n && 2 * classes > 3 * r.ClassesBefore) {
                r.Stopped = BisimulationStop::Growth;
                break;
            }
            r.ClassesBefore = classes;
            ++r.Rounds;
            r.RoundEnd = dirty.size();
        }
        moved.clear();
        SplitClass(r, dirty[r.Head++], moved);
        SplitChoices(r, moved, dirty);
        if (r.Head >= (std::size_t{1} << 16) && 2 * r.Head >= dirty.size()) {
            // Drops the classes done, so that the queue follows the work left.
            dirty.erase(dirty.begin(), dirty.begin() + static_cast<std::ptrdiff_t>(r.Head));
            r.RoundEnd -= r.Head;
            r.Head = 0;
        }
    }
    r.Done = r.Stopped != BisimulationStop::No || r.Head == dirty.size();
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

// Whether the library's fastest sound variants take the value as it is: a
// binary64 value, or a fraction whose integers both convert to binary64
// exactly (odd parts of at most 53 bits).
bool TakenExactly(const TransitionValue& value) {
    auto fits = [](int64_t integer) {
        uint64_t magnitude = integer < 0 ? 0 - static_cast<uint64_t>(integer) : static_cast<uint64_t>(integer);
        if (magnitude == 0) return true;
        return (magnitude >> __builtin_ctzll(magnitude)) >> 53 == 0;
    };
    return value.Denominator == 0 || (fits(value.Numerator) && fits(value.Denominator));
}

// The exact sum of count probabilities as the library reads it; false when
// it is neither a binary64 value nor a fraction of 64-bit integers.
bool ExactSum(const TransitionValue* values, std::size_t count, TransitionValue& sum) {
    if (count == 1) {
        sum = values[0];
        return true;
    }
    Fraction128 small;
    return SumExactly(values, count, small) ? ExactTransitionValue(small, sum)
                                            : ExactTransitionValue(SumExactlyBig(values, count), sum);
}

// Calls add(value) for the probabilities of one choice into one class of
// the quotient: their exact sum when the library's fastest sound variants
// take it as it is, which holds for most; otherwise consecutive terms are
// summed as long as the sum stays so (or one of its parts was not so
// either) and is a value at all, and each partial sum is a transition of
// its own. Sums of binary64 values such as 0.1 + 0.2 need more than 53
// bits: one fraction of them would make the default variant round it, or
// give way to a slower one.
template <class Add>
void MergeRun(const std::vector<TransitionValue>& terms, Add&& add) {
    constexpr std::size_t kLongest = 64;  // terms in one partial sum: linear time
    TransitionValue sum;
    if (ExactSum(terms.data(), terms.size(), sum) && TakenExactly(sum)) {
        add(sum);
        return;
    }
    std::size_t begin = 0;
    TransitionValue partial = terms[0];
    for (std::size_t i = 1; i < terms.size(); ++i) {
        if (i - begin < kLongest && ExactSum(terms.data() + begin, i + 1 - begin, sum) &&
            (TakenExactly(sum) || !TakenExactly(partial) || !TakenExactly(terms[i]))) {
            partial = sum;
            continue;
        }
        add(partial);
        begin = i;
        partial = terms[i];
    }
    add(partial);
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
        DistinctChoices(r, classOf, s, choices);
        for (const uint64_t c : choices) {
            quotient.ChoiceTransitionStart.push_back(quotient.TransitionTarget.size());
            ForEachRun(r, classOf, c, [&](Index target, std::size_t first, std::size_t last) {
                r.Run.clear();
                for (std::size_t i = first; i < last; ++i) r.Run.push_back(model.TransitionValues[r.Entries[i].second]);
                MergeRun(r.Run, [&](const TransitionValue& value) {
                    quotient.TransitionTarget.push_back(target);
                    quotient.TransitionValues.push_back(value);
                });
            });
        }
    }
    quotient.StateChoiceStart.push_back(quotient.ChoiceTransitionStart.size());
    quotient.ChoiceTransitionStart.push_back(quotient.TransitionTarget.size());
    // An initial state the model left out (Renumber) stays left out.
    for (const uint64_t initial : model.Initial) {
        quotient.Initial.push_back(initial < classOf.size() ? classOf[initial] : initial);
    }
    return quotient;
}

// Frees what only the splits need and numbers the classes; returns their
// number.
template <class Index>
uint64_t Finish(Refinement<Index>& r) {
    const std::size_t count = r.Start.size();
    Release(r.Predecessors);
    Release(r.PredecessorStart);
    Release(r.Elements);
    Release(r.Position);
    Release(r.Start);
    Release(r.End);
    Release(r.Marked);
    Release(r.Single);
    Release(r.ChoiceClass);
    Release(r.ChoiceClassSize);
    Release(r.Touches);
    Release(r.Dirty);
    return NumberClasses(r, count);
}

template <class Index>
Refinement<Index> Refined(const ReducedModel& model, bool mayStop, uint64_t& rounds, uint64_t& classes) {
    Refinement<Index> r;
    r.Model = &model;
    Begin(r, mayStop);
    Step(r, std::numeric_limits<uint64_t>::max());
    rounds = r.Rounds;
    classes = Finish(r);
    return r;
}

bool CompactIndices(const ReducedModel& model) {
    return std::max(model.StateCount(), model.TransitionCount()) + 1 <
           std::numeric_limits<uint32_t>::max();
}

// The quotient after the refinement (model itself when it gave up or found
// no two states bisimilar), with the rounds and the reason to stop in stats.
template <class Index>
ReducedModel QuotientAfter(Refinement<Index>& r, ReducedModel model, BisimulationStats& stats) {
    stats.Rounds = r.Rounds;
    stats.Stopped = r.Stopped != BisimulationStop::No;
    stats.Why = r.Stopped;
    if (!r.Begun) return model;
    const uint64_t classes = Finish(r);
    if (stats.Stopped || classes == model.StateCount()) return model;
    r.Model = &model;  // the same arrays, moved here
    return Quotient(r, classes);
}

}  // namespace

// Holds the refinement of the model's index width.
struct PartialBisimulation {
    std::unique_ptr<Refinement<uint32_t>> Narrow;
    std::unique_ptr<Refinement<uint64_t>> Wide;

    template <class Do>
    decltype(auto) Visit(Do&& action) {
        return Narrow ? action(*Narrow) : action(*Wide);
    }
};

void PartialBisimulationDeleter::operator()(PartialBisimulation* refining) const { delete refining; }

Refining StartBisimulation(const ReducedModel& model) {
    const ProgressPhase phase(kPrecomputing);
    Refining refining(new PartialBisimulation());
    auto begin = [&](auto& r) {
        r.Model = &model;
        Begin(r, true);
    };
    if (CompactIndices(model)) {
        refining->Narrow = std::make_unique<Refinement<uint32_t>>();
        begin(*refining->Narrow);
    } else {
        refining->Wide = std::make_unique<Refinement<uint64_t>>();
        begin(*refining->Wide);
    }
    return refining;
}

bool ContinueBisimulation(PartialBisimulation& refining, uint64_t work) {
    const ProgressPhase phase(kPrecomputing);
    return refining.Visit([&](auto& r) {
        Step(r, work);
        return r.Done;
    });
}

uint64_t BisimulationWork(const PartialBisimulation& refining) {
    return refining.Narrow ? refining.Narrow->Work : refining.Wide->Work;
}

ReducedModel FinishBisimulation(Refining refining, ReducedModel model, BisimulationStats& stats) {
    const ProgressPhase phase(kPrecomputing);
    stats.Before = SizeOf(model);
    ReducedModel quotient = refining->Visit([&](auto& r) {
        if (!r.Done) {
            r.Stopped = BisimulationStop::Outrun;
            r.Done = true;
        }
        return QuotientAfter(r, std::move(model), stats);
    });
    stats.After = SizeOf(quotient);
    return quotient;
}

const char* Describe(BisimulationStop stop) {
    switch (stop) {
        case BisimulationStop::ManyClasses: return "most states alone in their class";
        case BisimulationStop::Growth: return "the classes multiply each round, as without symmetry";
        case BisimulationStop::Distinct: return "most probabilities differ from each other, as without symmetry";
        case BisimulationStop::Outrun: return "the iterations on the model ended first";
        default: return "";
    }
}

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
    Refining refining = StartBisimulation(model);
    ContinueBisimulation(*refining, std::numeric_limits<uint64_t>::max());
    return FinishBisimulation(std::move(refining), std::move(model), stats);
}

}  // namespace iicheck
