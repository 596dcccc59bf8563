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
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
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

// The IPv4 zero-configuration protocol, as the model checkers' example has
// it, with 1000 other hosts and K probes: one host picks an address at
// random (one in use with probability 1000/65024, spread evenly over a
// first wait of 0, 1 or 2 time units), sends K probes 2 time units apart,
// and goes back to picking when a message for its address arrives (after
// 10 such collisions, only 60 time units later). Then it sends two
// gratuitous messages 2 time units apart, defending its address once
// against a message for it, and uses the address. Its environment: the
// host's buffer of 8 outgoing messages (each with the kind of address it
// was sent for: 0 an old one, 1 in use, 2 fresh), the other hosts' messages
// to the host (at most 20 for old addresses and 8 for the current one), and
// a medium that carries one message at a time, in one time unit, and loses
// it with probability 1/10. Picking anew turns every message into one for
// an old address; with reset it also empties the host's buffer. The host
// and its environment synchronise on reset, time, send and receive; their
// other steps interleave. "target1": the host uses an address that is in
// use. A state without a step gets a self-loop ("deadlock"). The states are
// the reachable ones, numbered as the model checkers number them: by the
// values of the variables in the order the protocol's source declares them.
class Zeroconf {
public:
    Zeroconf(unsigned k, bool reset, bool binary64) : k_(k), reset_(reset) {
        const char* const exact[kProbabilities] = {"1", "1/10", "9/10", "125/24384", "8003/24384"};
        for (unsigned p = 0; p < kProbabilities; ++p) {
            probabilities_[p] = binary64 && p != kOne ? PrintedBinary64(exact[p]) : exact[p];
        }
        State initial{};
        initial.Ip = 1;
        initial.L = 1;
        std::unordered_map<uint64_t, uint64_t> seen;
        codes_.push_back(Pack(initial));
        seen.emplace(codes_[0], 0);
        for (std::size_t head = 0; head < codes_.size(); ++head) {
            ForEachChoice(Unpack(codes_[head]), [&](const Branch* branches, unsigned count) {
                for (unsigned b = 0; b < count; ++b) {
                    const uint64_t code = Pack(branches[b].To);
                    if (seen.emplace(code, codes_.size()).second) codes_.push_back(code);
                }
            });
        }
        initial_ = codes_[0];
        std::sort(codes_.begin(), codes_.end());
    }

    uint64_t States() const { return codes_.size(); }

    // The whole model: the transitions file to tra, the labels file to lab.
    template <class Sink>
    Totals Write(Sink& tra, Sink& lab) const {
        const Totals totals = Lines<Sink>(nullptr);
        tra << "# Transitions (MDP) generated by iigen, zeroconf\n";
        tra << States() << " " << totals.Choices << " " << totals.Transitions << "\n";
        Lines(&tra);
        lab << "# Labels generated by iigen\n0=\"init\" 1=\"deadlock\" 2=\"target1\"\n";
        for (uint64_t s = 0; s < codes_.size(); ++s) {
            const State state = Unpack(codes_[s]);
            bool moves = false;
            ForEachChoice(state, [&](const Branch*, unsigned) { moves = true; });
            const bool target = state.L == 4 && state.Ip == 1;
            if (codes_[s] != initial_ && moves && !target) continue;
            lab << s << ":";
            if (codes_[s] == initial_) lab << " 0";
            if (!moves) lab << " 1";
            if (target) lab << " 2";
            lab << "\n";
        }
        return totals;
    }

private:
    // The variables, each below 256.
    struct State {
        uint8_t Buffer[8];  // the kind of address of each message in the host's buffer, first at 0
        uint8_t N;          // messages in it
        uint8_t N0;         // messages to the host for old addresses
        uint8_t N1;         // for its current address
        uint8_t B;          // the medium: 0 idle, 1 carrying the host's message, 2 one to the host
        uint8_t Z;          // its clock
        uint8_t IpMess;     // the kind of address of the message it carries
        uint8_t X;          // the host's clocks
        uint8_t Y;
        uint8_t Coll;       // collisions
        uint8_t Probes;     // probes sent
        uint8_t Mess;       // a message to send in defence
        uint8_t Defend;     // defended once
        uint8_t Ip;         // 1: the address picked is in use, 2: fresh
        uint8_t L;          // 0 reconfigure, 1 pick, 2 probe, 3 announce, 4 use
    };

    // The variables in the order of the source, each with its width in bits.
    static constexpr unsigned kFields = 22;
    static constexpr unsigned kWidth[kFields] = {2, 2, 2, 2, 2, 2, 2, 2, 4, 5, 4, 2, 1, 2, 6, 4, 4, 8, 1, 1, 2, 3};
    static std::array<uint8_t*, kFields> Fields(State& s) {
        return {&s.Buffer[7], &s.Buffer[6], &s.Buffer[5], &s.Buffer[4], &s.Buffer[3], &s.Buffer[2],
                &s.Buffer[1], &s.Buffer[0], &s.N,          &s.N0,        &s.N1,        &s.B,
                &s.Z,         &s.IpMess,    &s.X,          &s.Y,         &s.Coll,      &s.Probes,
                &s.Mess,      &s.Defend,    &s.Ip,         &s.L};
    }
    // The first variable most significant: codes in order are states in order.
    static uint64_t Pack(State s) {
        uint64_t code = 0;
        const auto fields = Fields(s);
        for (unsigned f = 0; f < kFields; ++f) code = (code << kWidth[f]) | *fields[f];
        return code;
    }
    static State Unpack(uint64_t code) {
        State s{};
        const auto fields = Fields(s);
        for (unsigned f = kFields; f-- > 0; code >>= kWidth[f]) {
            *fields[f] = static_cast<uint8_t>(code & ((uint64_t{1} << kWidth[f]) - 1));
        }
        return s;
    }
    uint64_t Number(uint64_t code) const {
        return static_cast<uint64_t>(std::lower_bound(codes_.begin(), codes_.end(), code) - codes_.begin());
    }

    enum Probability : unsigned { kOne, kLoss, kCarried, kInUse, kFresh, kProbabilities };
    struct Branch {
        State To;
        Probability P;
    };
    // The deterministic steps of one side on one action, at most four.
    struct Steps {
        State To[4];
        unsigned Count = 0;
        void Add(const State& s) { To[Count++] = s; }
    };
    enum Action { kReset, kTime, kSend, kReceive, kActions };

    // The environment's steps on action a.
    Steps Environment(const State& s, Action a) const {
        Steps steps;
        State t = s;
        switch (a) {
            case kReset:
                t.N0 = static_cast<uint8_t>(std::min(20, t.N0 + t.N1));
                t.N1 = 0;
                t.IpMess = 0;
                if (reset_) t.N = 0;
                std::fill(std::begin(t.Buffer), std::end(t.Buffer), uint8_t{0});
                steps.Add(t);
                break;
            case kTime:
                if (s.L > 0 && s.B == 0 && s.N == 0 && s.N0 == 0 && s.N1 == 0) steps.Add(t);
                if (s.L > 0 && s.B > 0 && s.Z < 1) {
                    t.Z = 1;
                    steps.Add(t);
                }
                break;
            case kSend:
                if (s.L > 0) {
                    if (s.N < 8) t.Buffer[t.N++] = s.Ip;  // a full buffer loses it
                    steps.Add(t);
                }
                break;
            case kReceive:
                if (s.L > 0 && s.B == 2) {
                    t.B = t.Z = t.IpMess = 0;
                    steps.Add(t);
                }
                break;
            default: break;
        }
        return steps;
    }

    // The host's steps on action a.
    Steps Host(const State& s, Action a) const {
        Steps steps;
        State t = s;
        switch (a) {
            case kReset:
                if (s.L == 0) {
                    t.L = 1;
                    steps.Add(t);
                }
                break;
            case kTime:
                if ((s.L == 1 && s.Coll == 10 && s.X < 60) || (s.L == 2 && s.X < 2) ||
                    (s.L == 3 && s.Mess == 0 && s.X < 2)) {
                    ++t.X;
                    if (s.L == 3 && s.Defend == 1) t.Y = static_cast<uint8_t>(std::min(10, t.Y + 1));
                    steps.Add(t);
                }
                break;
            case kSend:
                if ((s.L == 2 && s.X == 2 && s.Probes < k_) || (s.L == 3 && s.Mess == 0 && s.X == 2 && s.Probes < 1)) {
                    t.X = 0;
                    ++t.Probes;
                    steps.Add(t);
                } else if (s.L == 3 && s.Mess == 1) {
                    t.Mess = 0;
                    steps.Add(t);
                } else if (s.L == 3 && s.Mess == 0 && s.X == 2 && s.Probes == 1) {
                    t.L = 4;
                    t.X = t.Y = t.Probes = 0;
                    steps.Add(t);
                }
                break;
            case kReceive:
                if (s.L == 1 || ((s.L == 2 || (s.L == 3 && s.Mess == 0)) && s.IpMess != s.Ip)) steps.Add(t);  // ignored
                if (s.L == 2 && s.IpMess == s.Ip) {
                    t.L = 0;
                    t.Coll = static_cast<uint8_t>(std::min(10, t.Coll + 1));
                    t.X = t.Probes = 0;
                    steps.Add(t);
                }
                if (s.L == 3 && s.Mess == 0 && s.IpMess == s.Ip) {
                    if (s.Defend == 0 || s.Y >= 10) {  // defend
                        t.Defend = t.Mess = 1;
                        t.Y = 0;
                        steps.Add(t);
                        t = s;
                    }
                    if (s.Defend == 0 || s.Y < 10) {  // give the address up
                        t.L = 0;
                        t.Probes = t.Defend = t.X = t.Y = 0;
                        steps.Add(t);
                    }
                }
                break;
            default: break;
        }
        return steps;
    }

    // Calls each(branches, count) for every choice of state s: the
    // environment's own steps, the host's, then the synchronised ones.
    template <class Each>
    void ForEachChoice(const State& s, Each&& each) const {
        Branch branches[6];
        // The medium takes a message (the host's first, then one for an old
        // address, then one for the current one): carried or lost.
        auto take = [&](State lost, uint8_t kind, uint8_t medium) {
            State carried = lost;
            carried.B = medium;
            carried.IpMess = kind;
            branches[0] = {carried, kCarried};
            branches[1] = {lost, kLoss};
            each(branches, 2);
        };
        if (s.L > 0 && s.B == 0 && s.N > 0) {
            State t = s;
            std::copy(s.Buffer + 1, s.Buffer + 8, t.Buffer);
            t.Buffer[7] = 0;
            --t.N;
            take(t, s.Buffer[0], 1);
        }
        if (s.L > 0 && s.B == 0 && s.N0 > 0) {
            State t = s;
            --t.N0;
            take(t, 0, 2);
        }
        if (s.L > 0 && s.B == 0 && s.N1 > 0) {
            State t = s;
            --t.N1;
            take(t, 1, 2);
        }
        if (s.L > 0 && s.B == 1) {  // delivers the host's message
            State t = s;
            if (s.IpMess == 0) t.N0 = static_cast<uint8_t>(std::min(20, t.N0 + 1));
            if (s.IpMess == 1) t.N1 = static_cast<uint8_t>(std::min(8, t.N1 + 1));
            t.B = t.Z = t.IpMess = 0;
            branches[0] = {t, kOne};
            each(branches, 1);
        }
        if (s.L == 1 && (s.Coll < 10 || s.X == 60)) {  // picks an address
            for (unsigned i = 0; i < 6; ++i) {
                State t = s;
                t.L = 2;
                t.Ip = static_cast<uint8_t>(1 + i / 3);
                t.X = static_cast<uint8_t>(i % 3);
                branches[i] = {t, i < 3 ? kInUse : kFresh};
            }
            each(branches, 6);
        }
        if (s.L == 2 && s.X == 2 && s.Probes == k_) {  // every probe sent
            State t = s;
            t.L = 3;
            t.Probes = t.Coll = t.X = 0;
            branches[0] = {t, kOne};
            each(branches, 1);
        }
        if (s.L == 4) {  // uses the address
            branches[0] = {s, kOne};
            each(branches, 1);
        }
        for (unsigned a = 0; a < kActions; ++a) {
            const Steps environment = Environment(s, static_cast<Action>(a));
            const Steps host = Host(s, static_cast<Action>(a));
            for (unsigned e = 0; e < environment.Count; ++e) {
                for (unsigned h = 0; h < host.Count; ++h) {
                    State t = host.To[h];  // the environment's variables from its step
                    std::copy(std::begin(environment.To[e].Buffer), std::end(environment.To[e].Buffer), t.Buffer);
                    t.N = environment.To[e].N;
                    t.N0 = environment.To[e].N0;
                    t.N1 = environment.To[e].N1;
                    t.B = environment.To[e].B;
                    t.Z = environment.To[e].Z;
                    t.IpMess = environment.To[e].IpMess;
                    branches[0] = {t, kOne};
                    each(branches, 1);
                }
            }
        }
    }

    template <class Sink>
    Totals Lines(Sink* out) const {
        Totals totals;
        std::pair<uint64_t, Probability> sorted[6];
        for (uint64_t s = 0; s < codes_.size(); ++s) {
            const State state = Unpack(codes_[s]);
            uint64_t choice = 0;
            auto write = [&](const Branch* branches, unsigned count) {
                for (unsigned b = 0; b < count; ++b) sorted[b] = {Number(Pack(branches[b].To)), branches[b].P};
                std::sort(sorted, sorted + count);
                for (unsigned b = 0; b < count; ++b) {
                    if (out != nullptr) {
                        *out << s << " " << choice << " " << sorted[b].first << " "
                             << probabilities_[sorted[b].second].c_str() << "\n";
                    }
                    ++totals.Transitions;
                }
                ++choice;
                ++totals.Choices;
            };
            ForEachChoice(state, write);
            if (choice == 0) {
                const Branch self{state, kOne};
                write(&self, 1);
            }
        }
        return totals;
    }

    unsigned k_;
    bool reset_;
    std::string probabilities_[kProbabilities];
    std::vector<uint64_t> codes_;  // of the reachable states, ascending
    uint64_t initial_ = 0;
};

}  // namespace iicheck::generator
