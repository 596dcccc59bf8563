// Random MDPs in the explicit export formats (.tra/.lab and DRN), shaped
// like the models that model checkers export: written to a file by iigen, to
// memory by the benchmarks.
//
// Shape: state 0 is initial; about 1% of the states are labelled "goal"
// (absorbing), 1% "trap" (absorbing) and 0.05% "deadlock" (no choices).
// Every other state has 1 to 3 choices of 1 to 4 transitions each. A
// successor is near the state (offsets -2 to +6, mostly forward, as in a
// breadth-first export) and in 3% of the transitions a jump to any state.
// The probabilities of a choice sum to exactly 1 and mix exact fractions
// ("1/3"), short decimals ("0.1", not binary64 values), binary64 values
// ("0.25") and 17-digit decimals like the printed binary64 numbers of real
// exports ("0.32820702099737530"). Backward offsets make end components.
// With binary64, every probability is instead printed as an exporter that
// computes in binary64 prints it: the shortest decimal of the binary64 value
// nearest to it ("1/3" becomes "0.3333333333333333").
//
// A sink is anything with operator<< for uint64_t and const char*.
//
// Consensus: the randomised consensus protocol with a shared coin (Aspnes
// and Herlihy) of N identical processes, as the model checkers' example
// models have it: see WriteConsensus below.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace iicheck::generator {

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {  // splitmix64
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t bound) { return Next() % bound; }
    bool Chance(uint64_t perMille) { return Below(1000) < perMille; }

private:
    uint64_t state_;
};

enum class Role { Normal, Goal, Trap, Deadlock };

inline Role RoleOf(uint64_t state, uint64_t seed) {
    if (state == 0) return Role::Normal;
    Random random(seed ^ (state * 0xD1B54A32D192ED03ULL));
    const uint64_t draw = random.Below(100000);
    if (draw < 1000) return Role::Goal;
    if (draw < 2000) return Role::Trap;
    if (draw < 2050) return Role::Deadlock;
    return Role::Normal;
}

// The probabilities of one choice of m transitions, as text.
inline void Distribution(Random& random, unsigned m, std::vector<std::string>& out) {
    out.clear();
    auto digits17 = [](uint64_t k) {
        char text[24];
        std::snprintf(text, sizeof text, "0.%017llu", static_cast<unsigned long long>(k));
        return std::string(text);
    };
    constexpr uint64_t kScale = 100000000000000000ULL;  // 10^17
    switch (m) {
        case 1: out = {"1"}; return;
        case 2:
            switch (random.Below(5)) {
                case 0: out = {"1/3", "2/3"}; return;
                case 1: out = {"0.1", "0.9"}; return;
                case 2: out = {"0.25", "0.75"}; return;
                case 3: out = {"0.5", "0.5"}; return;
                default: {
                    // Away from 0 and 1: a tiny exit probability would make an
                    // almost-closed cycle, which no real protocol model has
                    // by the thousand.
                    const uint64_t k = kScale / 20 + random.Below(kScale / 10 * 9);
                    out = {digits17(k), digits17(kScale - k)};
                    return;
                }
            }
        case 3:
            switch (random.Below(4)) {
                case 0: out = {"0.2", "0.3", "0.5"}; return;
                case 1: out = {"1/6", "1/3", "0.5"}; return;
                case 2: out = {"1/3", "1/3", "1/3"}; return;
                default: {
                    const uint64_t a = kScale / 20 + random.Below(kScale / 10 * 4);
                    const uint64_t b = kScale / 20 + random.Below(kScale / 10 * 4);
                    out = {digits17(a), digits17(b), digits17(kScale - a - b)};
                    return;
                }
            }
        default:
            switch (random.Below(3)) {
                case 0: out = {"0.25", "0.25", "0.25", "0.25"}; return;
                case 1: out = {"1/7", "2/7", "3/7", "1/7"}; return;
                default: out = {"0.1", "0.2", "0.3", "0.4"}; return;
            }
    }
}

// A sink that writes to memory.
struct StringSink {
    std::string Text;
    StringSink& operator<<(uint64_t value) {
        char digits[24];
        Text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        return *this;
    }
    StringSink& operator<<(const char* text) {
        Text += text;
        return *this;
    }
};

struct Totals {
    uint64_t Choices = 0;
    uint64_t Transitions = 0;
};

// About 1.18 choices of 2.5 transitions per state.
inline uint64_t StatesFor(uint64_t transitions) {
    return std::max<uint64_t>(2, transitions * 1000 / 2900);
}

// The shortest decimal that reads back as the binary64 value nearest to the
// probability p, a decimal or a fraction.
inline std::string PrintedBinary64(const std::string& p) {
    const std::size_t slash = p.find('/');
    const double value = slash == std::string::npos
                             ? std::strtod(p.c_str(), nullptr)
                             : std::strtod(p.substr(0, slash).c_str(), nullptr) /
                                   std::strtod(p.substr(slash + 1).c_str(), nullptr);
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// One pass over the model: visit.State(s, role) for every state, then
// visit.Choice(s, c) and visit.Transition(s, c, target, probability) for its
// choices and their transitions. Returns the totals.
template <class Visitor>
Totals Walk(uint64_t states, uint64_t seed, bool binary64, Visitor& visit) {
    Random random(seed);
    Totals totals;
    std::vector<std::string> probabilities;
    for (uint64_t s = 0; s < states; ++s) {
        const Role role = RoleOf(s, seed);
        visit.State(s, role);
        if (role == Role::Deadlock) continue;
        if (role != Role::Normal) {
            visit.Choice(s, 0);
            visit.Transition(s, 0, s, "1");
            ++totals.Choices;
            ++totals.Transitions;
            continue;
        }
        const uint64_t draw = random.Below(100);
        const unsigned choices = draw < 85 ? 1 : draw < 97 ? 2 : 3;
        for (unsigned c = 0; c < choices; ++c) {
            visit.Choice(s, c);
            const uint64_t size = random.Below(100);
            const unsigned m = size < 10 ? 1 : size < 55 ? 2 : size < 85 ? 3 : 4;
            Distribution(random, m, probabilities);
            if (binary64) {
                for (std::string& p : probabilities) p = PrintedBinary64(p);
            }
            for (unsigned t = 0; t < m; ++t) {
                uint64_t target;
                if (random.Chance(30)) {
                    target = random.Below(states);
                } else {
                    const int64_t offset = static_cast<int64_t>(random.Below(8)) - 2;
                    const int64_t near = static_cast<int64_t>(s) + (offset >= 0 ? offset + 1 : offset);
                    target = static_cast<uint64_t>((near + static_cast<int64_t>(states)) %
                                                   static_cast<int64_t>(states));
                }
                visit.Transition(s, c, target, probabilities[t].c_str());
                ++totals.Transitions;
            }
            ++totals.Choices;
        }
    }
    return totals;
}

// Counts only.
struct Counter {
    void State(uint64_t, Role) {}
    void Choice(uint64_t, unsigned) {}
    void Transition(uint64_t, unsigned, uint64_t, const char*) {}
};

// The transition lines of the .tra format, and the labels' lines of the .lab.
template <class Sink>
struct TraLines {
    Sink& Tra;
    Sink& Lab;
    void State(uint64_t s, Role role) {
        if (role != Role::Normal && role != Role::Deadlock) {
            Lab << s << ": " << (role == Role::Goal ? "1" : "2") << "\n";
        } else if (role == Role::Deadlock) {
            Lab << s << ": 3\n";
        }
    }
    void Choice(uint64_t, unsigned) {}
    void Transition(uint64_t s, unsigned c, uint64_t target, const char* probability) {
        Tra << s << " " << static_cast<uint64_t>(c) << " " << target << " " << probability
            << (c == 0 ? "\n" : " act\n");
    }
};

// The lines of the DRN format after "@model".
template <class Sink>
struct DrnLines {
    Sink& Drn;
    void State(uint64_t s, Role role) {
        static const char* const kLabels[] = {"", " goal", " trap", " deadlock"};
        Drn << "state " << s << (s == 0 ? " init" : "") << kLabels[static_cast<int>(role)] << "\n";
    }
    void Choice(uint64_t, unsigned c) { Drn << (c == 0 ? "\taction __NOLABEL__\n" : "\taction act\n"); }
    void Transition(uint64_t, unsigned, uint64_t target, const char* probability) {
        Drn << "\t\t" << target << " : " << probability << "\n";
    }
};

// The whole model of about `transitions` transitions: the transitions file
// to tra, the labels file to lab.
template <class Sink>
Totals WriteModel(uint64_t transitions, uint64_t seed, bool binary64, Sink& tra, Sink& lab) {
    const uint64_t states = StatesFor(transitions);
    Counter counter;
    const Totals totals = Walk(states, seed, false, counter);
    tra << "# Transitions (MDP) generated by iigen, seed " << seed << "\n";
    tra << states << " " << totals.Choices << " " << totals.Transitions << "\n";
    lab << "# Labels generated by iigen\n0=\"init\" 1=\"goal\" 2=\"trap\" 3=\"deadlock\"\n0: 0\n";
    TraLines<Sink> lines{tra, lab};
    Walk(states, seed, binary64, lines);
    return totals;
}

// The same model in DRN.
template <class Sink>
Totals WriteDrn(uint64_t transitions, uint64_t seed, bool binary64, Sink& drn) {
    const uint64_t states = StatesFor(transitions);
    Counter counter;
    const Totals totals = Walk(states, seed, false, counter);
    drn << "// generated by iigen, seed " << seed << "\n@type: MDP\n@parameters\n\n@reward_models\n\n@nr_states\n"
        << states << "\n@nr_choices\n" << totals.Choices << "\n@model\n";
    DrnLines<Sink> lines{drn};
    Walk(states, seed, binary64, lines);
    return totals;
}

// The randomised consensus protocol with a shared coin of n processes and
// the constant k: a shared counter in [0, 2(k+1)n], starting at (k+1)n, and
// per process a program counter and a coin. A process flips its coin (two
// transitions of 1/2), writes it (tails: counter - 1, heads: counter + 1),
// then checks the counter: at most n, it decides tails; at least
// 2(k+1)n - n, heads; else it flips again. Every state has one choice per
// process that can move (one or two transitions), and the finished states
// (every process decided) one self-loop. The processes are interchangeable,
// and so are the labels: "target1" (all decided tails), "target2" (all
// decided, not alike) and "avoid" (some process decided heads). The states
// are the reachable ones, numbered as the model checkers number them: by
// counter, then by each process's (program counter, coin).
class Consensus {
public:
    Consensus(unsigned processes, unsigned k)
        : processes_(processes),
          range_(2 * (k + 1) * processes),
          left_(processes),
          right_(2 * (k + 1) * processes - processes) {
        locals_ = 1;
        for (unsigned i = 0; i < processes; ++i) locals_ *= kLocals;
        codes_ = (range_ + 1) * locals_;
        reachable_.assign(codes_ / 64 + 1, 0);
        std::vector<uint64_t> queue{Code((k + 1) * processes, 0)};
        Set(queue[0]);
        for (std::size_t head = 0; head < queue.size(); ++head) {
            ForEachChoice(queue[head], [&](const uint64_t* targets, unsigned count) {
                for (unsigned t = 0; t < count; ++t) {
                    if (!Reachable(targets[t])) {
                        Set(targets[t]);
                        queue.push_back(targets[t]);
                    }
                }
            });
        }
        rank_.resize(reachable_.size() + 1, 0);
        for (std::size_t w = 0; w < reachable_.size(); ++w) {
            rank_[w + 1] = rank_[w] + static_cast<uint64_t>(__builtin_popcountll(reachable_[w]));
        }
    }

    uint64_t States() const { return rank_.back(); }

    // The whole model: the transitions file to tra, the labels file to lab.
    template <class Sink>
    Totals Write(Sink& tra, Sink& lab) const {
        const Totals totals = Lines<Sink>(nullptr);
        tra << "# Transitions (MDP) generated by iigen, consensus\n";
        tra << States() << " " << totals.Choices << " " << totals.Transitions << "\n";
        Lines(&tra);
        lab << "# Labels generated by iigen\n"
            << "0=\"init\" 1=\"target1\" 2=\"target2\" 3=\"avoid\" 4=\"deadlock\"\n";
        for (uint64_t code = 0; code < codes_; ++code) {
            if (!Reachable(code)) continue;
            unsigned tails = 0, heads = 0;
            bool moves = false;
            ForEachChoice(code, [&](const uint64_t*, unsigned) { moves = true; });
            uint64_t rest = code % locals_;
            for (unsigned i = 0; i < processes_; ++i, rest /= kLocals) {
                tails += rest % kLocals == kTails;
                heads += rest % kLocals == kHeads;
            }
            const bool initial = code == Code(range_ / 2, 0);
            const bool finished = tails + heads == processes_;
            const bool stuck = !finished && !moves;
            if (!initial && !finished && heads == 0 && !stuck) continue;
            lab << Number(code) << ":";
            if (initial) lab << " 0";
            if (finished && heads == 0) lab << " 1";
            if (finished && heads != 0 && tails != 0) lab << " 2";
            if (heads != 0) lab << " 3";
            if (stuck) lab << " 4";
            lab << "\n";
        }
        return totals;
    }

private:
    // A process's (program counter, coin): flip, write tails, write heads,
    // check, decided tails, decided heads.
    static constexpr unsigned kLocals = 6;
    static constexpr unsigned kFlip = 0, kWriteTails = 1, kWriteHeads = 2, kCheck = 3, kTails = 4,
                              kHeads = 5;

    // The counter is the most significant digit, process 0 the next.
    uint64_t Code(unsigned counter, uint64_t locals) const { return counter * locals_ + locals; }
    bool Reachable(uint64_t code) const { return (reachable_[code / 64] >> (code % 64)) & 1; }
    void Set(uint64_t code) { reachable_[code / 64] |= uint64_t{1} << (code % 64); }
    uint64_t Number(uint64_t code) const {
        const uint64_t below = reachable_[code / 64] & ((uint64_t{1} << (code % 64)) - 1);
        return rank_[code / 64] + static_cast<uint64_t>(__builtin_popcountll(below));
    }

    // Calls each(targets, count) for every choice of the state: one per
    // process that can move, in process order, or the self-loop of a state
    // where no process can move (finished, or stuck at a bound).
    template <class Each>
    void ForEachChoice(uint64_t code, Each&& each) const {
        const unsigned counter = static_cast<unsigned>(code / locals_);
        const uint64_t locals = code % locals_;
        uint64_t digit = 1;
        for (unsigned i = 0; i < processes_; ++i, digit *= kLocals) {
            const unsigned local = static_cast<unsigned>(locals / digit % kLocals);
            auto with = [&](unsigned newCounter, unsigned newLocal) {
                return Code(newCounter, locals - local * digit + newLocal * digit);
            };
            uint64_t targets[2];
            switch (local) {
                case kFlip:
                    targets[0] = with(counter, kWriteTails);
                    targets[1] = with(counter, kWriteHeads);
                    each(targets, 2);
                    break;
                case kWriteTails:
                    if (counter > 0) {
                        targets[0] = with(counter - 1, kCheck);
                        each(targets, 1);
                    }
                    break;
                case kWriteHeads:
                    if (counter < range_) {
                        targets[0] = with(counter + 1, kCheck);
                        each(targets, 1);
                    }
                    break;
                case kCheck:
                    targets[0] = with(counter, counter <= left_    ? kTails
                                               : counter >= right_ ? kHeads
                                                                   : kFlip);
                    each(targets, 1);
                    break;
                default: break;
            }
        }
    }

    template <class Sink>
    Totals Lines(Sink* out) const {
        Totals totals;
        for (uint64_t code = 0; code < codes_; ++code) {
            if (!Reachable(code)) continue;
            const uint64_t s = Number(code);
            uint64_t choice = 0;
            auto write = [&](const uint64_t* targets, unsigned count) {
                for (unsigned t = 0; t < count; ++t) {
                    if (out != nullptr) {
                        *out << s << " " << choice << " " << Number(targets[t]) << " "
                             << (count == 2 ? "0.5\n" : "1\n");
                    }
                    ++totals.Transitions;
                }
                ++choice;
                ++totals.Choices;
            };
            ForEachChoice(code, write);
            if (choice == 0) write(&code, 1);
        }
        return totals;
    }

    unsigned processes_;
    unsigned range_;
    unsigned left_;
    unsigned right_;
    uint64_t locals_ = 1;
    uint64_t codes_ = 0;
    std::vector<uint64_t> reachable_;  // bitset over the codes
    std::vector<uint64_t> rank_;       // reachable codes before each word
};

}  // namespace iicheck::generator
