// Random MDPs in the explicit export format, shaped like the models that
// model checkers export: written to a file by iigen, to memory by the
// benchmarks.
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
//
// A sink is anything with operator<< for uint64_t and const char*.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
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

struct Totals {
    uint64_t Choices = 0;
    uint64_t Transitions = 0;
};

// About 1.18 choices of 2.5 transitions per state.
inline uint64_t StatesFor(uint64_t transitions) {
    return std::max<uint64_t>(2, transitions * 1000 / 2900);
}

// One pass over the model; writes the transition lines when out is given.
template <class Sink>
Totals TransitionLines(uint64_t states, uint64_t seed, Sink* out) {
    Random random(seed);
    Totals totals;
    std::vector<std::string> probabilities;
    for (uint64_t s = 0; s < states; ++s) {
        const Role role = RoleOf(s, seed);
        if (role == Role::Deadlock) continue;
        if (role != Role::Normal) {
            if (out != nullptr) *out << s << " 0 " << s << " 1\n";
            ++totals.Choices;
            ++totals.Transitions;
            continue;
        }
        const uint64_t draw = random.Below(100);
        const unsigned choices = draw < 85 ? 1 : draw < 97 ? 2 : 3;
        for (unsigned c = 0; c < choices; ++c) {
            const uint64_t size = random.Below(100);
            const unsigned m = size < 10 ? 1 : size < 55 ? 2 : size < 85 ? 3 : 4;
            Distribution(random, m, probabilities);
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
                if (out != nullptr) {
                    *out << s << " " << static_cast<uint64_t>(c) << " " << target << " "
                         << probabilities[t].c_str() << (c == 0 ? "\n" : " act\n");
                }
                ++totals.Transitions;
            }
            ++totals.Choices;
        }
    }
    return totals;
}

// The whole model of about `transitions` transitions: the transitions file
// to tra, the labels file to lab.
template <class Sink>
Totals WriteModel(uint64_t transitions, uint64_t seed, Sink& tra, Sink& lab) {
    const uint64_t states = StatesFor(transitions);
    const Totals totals = TransitionLines<Sink>(states, seed, nullptr);
    tra << "# Transitions (MDP) generated by iigen, seed " << seed << "\n";
    tra << states << " " << totals.Choices << " " << totals.Transitions << "\n";
    TransitionLines(states, seed, &tra);
    lab << "# Labels generated by iigen\n0=\"init\" 1=\"goal\" 2=\"trap\" 3=\"deadlock\"\n0: 0\n";
    for (uint64_t s = 1; s < states; ++s) {
        const Role role = RoleOf(s, seed);
        if (role != Role::Normal) {
            lab << s << ": " << (role == Role::Goal ? "1" : role == Role::Trap ? "2" : "3") << "\n";
        }
    }
    return totals;
}

}  // namespace iicheck::generator
