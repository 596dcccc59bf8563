// Expected rewards end to end: one table of models and properties, each run
// by iicheck with every variant the library offers, at the default
// precision and at --relative --epsilon 1e-9; every safe-rounding interval
// must hold the exact answer (compared with GMP), an infinite answer must be
// "inf". The models are the real ones under models/rewards (every format,
// answers from their README) and small MDPs this test makes, whose exact
// answers it computes itself: the expected reward of every memoryless
// deterministic scheduler by a linear system in rationals (infinite when
// the scheduler misses the goal with positive probability), then the
// minimum or maximum over the schedulers, which attain both. Then the
// malformed reward files every reader refuses.
#include "ToolRunner.hpp"
#include "formats/DrnReader.hpp"
#include "formats/TraReader.hpp"

#include <gmpxx.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace iicheck::test {
namespace {

// A small MDP with rewards: per state its choices, each a reward and
// (target, probability) pairs; state 0 is initial, Goal the goal states.
struct SmallChoice {
    mpq_class Reward;
    std::vector<std::pair<int, mpq_class>> Transitions;
};
struct SmallMdp {
    std::vector<std::vector<SmallChoice>> States;
    std::vector<int> Goal;
};

// Writes the model as PRISM does: .tra, .lab and the rewards as a .trew
// (a choice's reward on each of its transitions); returns the .tra's path.
std::string Write(const SmallMdp& mdp, const std::string& stem) {
    std::ofstream tra(stem + ".tra"), lab(stem + ".lab"), trew(stem + ".trew");
    std::size_t choices = 0, transitions = 0;
    for (const auto& state : mdp.States) {
        choices += state.size();
        for (const SmallChoice& choice : state) transitions += choice.Transitions.size();
    }
    tra << mdp.States.size() << " " << choices << " " << transitions << "\n";
    trew << "# Reward structure \"r\"\n# Transition rewards\n"
         << mdp.States.size() << " " << choices << " " << transitions << "\n";
    for (std::size_t s = 0; s < mdp.States.size(); ++s) {
        for (std::size_t c = 0; c < mdp.States[s].size(); ++c) {
            for (const auto& [target, probability] : mdp.States[s][c].Transitions) {
                tra << s << " " << c << " " << target << " " << probability.get_str() << "\n";
                trew << s << " " << c << " " << target << " " << mdp.States[s][c].Reward.get_str() << "\n";
            }
        }
    }
    lab << "0=\"init\" 1=\"goal\"\n0: 0" << (std::find(mdp.Goal.begin(), mdp.Goal.end(), 0) != mdp.Goal.end() ? " 1" : "")
        << "\n";
    for (const int goal : mdp.Goal) {
        if (goal != 0) lab << goal << ": 1\n";
    }
    return stem + ".tra";
}

// The expected reward from state 0 under the scheduler (a choice per
// state), exactly; nullopt when infinite.
std::optional<mpq_class> Expected(const SmallMdp& mdp, const std::vector<std::size_t>& scheduler) {
    const std::size_t n = mdp.States.size();
    std::vector<bool> goal(n, false);
    for (const int g : mdp.Goal) goal[static_cast<std::size_t>(g)] = true;
    auto successors = [&](std::size_t s) {
        std::vector<std::size_t> next;
        if (goal[s] || mdp.States[s].empty()) return next;
        for (const auto& [t, p] : mdp.States[s][scheduler[s]].Transitions) next.push_back(static_cast<std::size_t>(t));
        return next;
    };
    // canReach: the goal is reachable; finite: from s the goal is reached
    // with probability 1 (every state reachable from s can reach it).
    std::vector<bool> canReach = goal;
    for (bool changed = true; changed;) {
        changed = false;
        for (std::size_t s = 0; s < n; ++s) {
            for (const std::size_t t : successors(s)) {
                if (!canReach[s] && canReach[t]) canReach[s] = changed = true;
            }
        }
    }
    std::vector<bool> reached(n, false);
    std::vector<std::size_t> stack = {0};
    reached[0] = true;
    while (!stack.empty()) {
        const std::size_t s = stack.back();
        stack.pop_back();
        if (!canReach[s]) return std::nullopt;
        for (const std::size_t t : successors(s)) {
            if (!reached[t]) stack.push_back(t), reached[t] = true;
        }
    }
    // x_s = reward + sum p x_t over the reached states, x = 0 at the goal:
    // Gaussian elimination in rationals.
    std::vector<std::vector<mpq_class>> a(n, std::vector<mpq_class>(n + 1, 0));
    for (std::size_t s = 0; s < n; ++s) {
        a[s][s] = 1;
        if (!reached[s] || goal[s]) continue;
        const SmallChoice& choice = mdp.States[s][scheduler[s]];
        a[s][n] = choice.Reward;
        for (const auto& [t, p] : choice.Transitions) a[s][static_cast<std::size_t>(t)] -= p;
    }
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        while (a[pivot][col] == 0) ++pivot;
        std::swap(a[pivot], a[col]);
        for (std::size_t row = 0; row < n; ++row) {
            if (row == col || a[row][col] == 0) continue;
            const mpq_class factor = a[row][col] / a[col][col];
            for (std::size_t k = col; k <= n; ++k) a[row][k] -= factor * a[col][k];
        }
    }
    return a[0][n] / a[0][0];
}

// The minimum or maximum over the memoryless deterministic schedulers;
// nullopt for +inf.
std::optional<mpq_class> ExactReward(const SmallMdp& mdp, bool maximum) {
    std::vector<std::size_t> scheduler(mdp.States.size(), 0);
    std::optional<mpq_class> best;
    bool first = true;
    while (true) {
        const std::optional<mpq_class> value = Expected(mdp, scheduler);
        if (first) {
            best = value;
        } else if (maximum) {
            if (best && (!value || *value > *best)) best = value;
        } else if (value && (!best || *value < *best)) {
            best = value;
        }
        first = false;
        std::size_t s = 0;
        while (s < scheduler.size() && ++scheduler[s] >= std::max<std::size_t>(mdp.States[s].size(), 1)) {
            scheduler[s++] = 0;
        }
        if (s == scheduler.size()) return best;
    }
}

// Small MDPs from a seed: 3 to 7 states, one or two choices each, rewards
// that are often 0 (end components without reward) and fractions.
SmallMdp RandomMdp(unsigned seed) {
    std::mt19937 random(seed);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const int n = 3 + below(5);
    const mpq_class rewards[] = {0, 0, 0, 1, mpq_class(1, 3), mpq_class(5, 2)};
    const mpq_class splits[] = {mpq_class(1, 2), mpq_class(1, 3), mpq_class(2, 5), mpq_class(1, 10)};
    SmallMdp mdp;
    mdp.States.resize(static_cast<std::size_t>(n));
    mdp.Goal = {n - 1};
    for (int s = 0; s + 1 < n; ++s) {
        const int choices = 1 + below(2);
        for (int c = 0; c < choices; ++c) {
            SmallChoice choice;
            choice.Reward = rewards[below(6)];
            const int a = below(n), b = below(n);
            if (a == b || below(3) == 0) {
                choice.Transitions = {{a, 1}};
            } else {
                const mpq_class p = splits[below(4)];
                choice.Transitions = {{a, p}, {b, 1 - p}};
            }
            mdp.States[static_cast<std::size_t>(s)].push_back(choice);
        }
    }
    mdp.States.back().push_back({0, {{n - 1, 1}}});  // the goal loops
    return mdp;
}

// Two states that may pass back and forth without reward forever, and a
// way out that costs 1: the minimum is 1, though staying earns nothing.
SmallMdp ZeroRewardCycle() {
    SmallMdp mdp;
    mdp.States = {{{0, {{1, 1}}}, {1, {{2, 1}}}}, {{0, {{0, 1}}}, {3, {{2, 1}}}}, {{0, {{2, 1}}}}};
    mdp.Goal = {2};
    return mdp;
}

struct Row {
    std::string File;      // the model
    std::string Property;
    std::string Exact;     // a fraction, or "inf"
};

std::vector<Row> Rows() {
    const std::string models = std::string(IICHECK_MODELS) + "/rewards/";
    std::vector<Row> rows;
    for (const char* format : {".tra", ".drn", ".umb"}) {
        const std::string coin = models + "coin2_K4/coin2_K4" + format;
        const std::string csma = models + "csma2_2/csma2_2" + format;
        rows.push_back({coin, "Rmin=? [F \"finished\"]", "192"});
        rows.push_back({coin, "R{\"steps\"}max=? [F \"finished\"]", "243"});
        rows.push_back({csma, "Rmin=? [F \"all_delivered\"]", "53954981353/805306368"});
        rows.push_back({csma, "Rmax=? [F \"all_delivered\"]", "227630345357/3221225472"});
        rows.push_back({models + "dice/dice" + format, "R=? [F \"done\"]", "11/3"});
    }
    // Some states miss the goal with probability 1/2 under every scheduler.
    rows.push_back({models + "coin2_K4/coin2_K4.tra", "Rmin=? [F \"target1\"]", "inf"});
    const std::string folder = TemporaryDirectory();
    std::vector<SmallMdp> small = {ZeroRewardCycle()};
    for (unsigned seed = 1; seed <= 24; ++seed) small.push_back(RandomMdp(seed));
    for (std::size_t i = 0; i < small.size(); ++i) {
        const std::string file = Write(small[i], folder + "/m" + std::to_string(i));
        for (const bool maximum : {false, true}) {
            const std::optional<mpq_class> exact = ExactReward(small[i], maximum);
            rows.push_back({file, maximum ? "Rmax=? [F \"goal\"]" : "Rmin=? [F \"goal\"]",
                            exact ? exact->get_str() : "inf"});
        }
    }
    return rows;
}

TEST(Rewards, EverySafeVariantHoldsTheExactExpectedReward) {
    const bool safe = BestVariant().Safe;
    int finite = 0, infinite = 0;
    for (const Row& row : Rows()) {
        for (const bool fine : {false, true}) {
            SCOPED_TRACE(row.File + " " + row.Property + " exact " + row.Exact + (fine ? " relative 1e-9" : ""));
            std::vector<std::string> arguments = {row.File, "--prop", row.Property, "--all-variants", "--json",
                                                  "--quiet"};
            if (fine) arguments = Join(arguments, {"--relative", "--epsilon", "1e-9"});
            const ToolOutput output = RunTool(arguments);
            EXPECT_EQ(output.ExitCode, 0) << output.Err;
            const nlohmann::json document = nlohmann::json::parse(output.Out);
            const nlohmann::json& property = document["properties"][0];
            ASSERT_FALSE(property["reward"].is_null());
            for (const nlohmann::json& run : property["runs"]) {
                if (run["status"] == 3 || run["rounding"] != (safe ? "safe" : "default")) continue;
                SCOPED_TRACE(run.dump());
                if (row.Exact == "inf") {
                    EXPECT_EQ(run["lower"], "inf");
                    EXPECT_EQ(run["upper"], "inf");
                    ++infinite;
                    continue;
                }
                const mpq_class exact(row.Exact);
                const double tolerance = safe ? 0.0 : 1e-9 * exact.get_d();
                ASSERT_TRUE(run["lower"].is_number() && run["upper"].is_number());
                EXPECT_LE(mpq_class(run["lower"].get<double>()), exact + tolerance);
                EXPECT_GE(mpq_class(run["upper"].get<double>()), exact - tolerance);
                EXPECT_EQ(run["guaranteed"], safe);
                if (fine && run["status"] == 0 && exact > 0) {
                    EXPECT_LE(run["half_width"].get<double>(), 1e-9 * run["lower"].get<double>() * (1 + 1e-6));
                }
                ++finite;
            }
        }
    }
    EXPECT_GT(finite, 100);
    EXPECT_GT(infinite, 0);
}

// Thresholds on expected rewards, decided exactly: near the answer the
// query may stay unknown, a thousandth away it must be decided, and never
// wrongly; an infinite reward lies above every threshold.
TEST(Rewards, ThresholdsAreDecidedExactly) {
    if (!BestVariant().Safe) GTEST_SKIP() << "no safe-rounding variant computes";
    const std::string coin = std::string(IICHECK_MODELS) + "/rewards/coin2_K4/coin2_K4.drn";
    const struct {
        const char* Property;
        const char* Verdict;  // nullptr: true, false or unknown
    } queries[] = {
        {"Rmax>=242.757 [F \"finished\"]", "true"}, {"Rmax<243.243 [F \"finished\"]", "true"},
        {"R<=243.243 [F \"finished\"]", "true"},      {"R>=192.192 [F \"finished\"]", "false"},
        {"Rmin>=243 [F \"finished\"]", "false"},      {"Rmax>=243 [F \"finished\"]", nullptr},
        {"Rmin<1e300 [F \"target1\"]", "false"},      {"Rmin>0 [F \"target1\"]", "true"},
    };
    for (const auto& query : queries) {
        SCOPED_TRACE(query.Property);
        const ToolOutput output = RunTool(Join({coin, "--prop", query.Property, "--json", "--quiet"},
                                               BestVariant().Arguments));
        EXPECT_EQ(output.ExitCode, 0) << output.Err;
        const std::string verdict = nlohmann::json::parse(output.Out)["properties"][0]["runs"][0]["verdict"];
        if (query.Verdict != nullptr) {
            EXPECT_EQ(verdict, query.Verdict);
        } else {
            EXPECT_NE(verdict, "false");
        }
    }
}

// Each reader refuses malformed rewards with a message naming the place.
TEST(Rewards, MalformedRewardsAreRefused) {
    const std::string tra = "2 3 3\n0 0 1 1\n0 1 0 1\n1 0 1 1\n";
    const std::string drnHead = "@type: MDP\n@reward_models\nr\n@nr_states\n2\n@nr_choices\n2\n@model\n";
    const struct {
        const char* Format;  // "srew", "trew" or "drn"
        std::string Text;
        const char* Error;
    } cases[] = {
        {"srew", "2 1\n0 -1\n", "r.srew:2: reward \"-1\" is negative"},
        {"srew", "2 1\n0 nan\n", "r.srew:2: reward \"nan\" is not a finite number"},
        {"srew", "2 1\n0 1/0\n", "r.srew:2: reward \"1/0\" divides by 0"},
        {"srew", "2 1\n5 1\n", "r.srew:2: state 5 is out of range (2 states)"},
        {"srew", "3 1\n0 1\n", "r.srew:1: the header is for 3 states, but the model has 2 states"},
        {"srew", "2 2\n0 1\n", "r.srew:1: the header declares 2 entries, but the file has 1"},
        {"srew", "2 2\n0 1\n0 2\n", "r.srew: two rewards for state 0"},
        {"srew", "2 1\n0 1 x\n", "r.srew:2: unexpected \"x\" after the reward"},
        {"trew", "2 3 1\n0 0 0 1\n", "r.trew:2: the model has no transition from state 0 choice 0 to state 0"},
        {"trew", "2 3 1\n1 1 1 1\n", "r.trew:2: state 1 has no choice 1"},
        {"drn", drnHead + "state 0 [1, 2] init\n\taction a [0]\n\t\t1 : 1\n",
         "r.drn:9: 2 rewards where \"@reward_models\" names 1"},
        {"drn", drnHead + "state 0 [1e9999] init\n\taction a [0]\n\t\t1 : 1\n",
         "r.drn:9: reward \"1e9999\" has an exponent beyond 1100"},
        {"drn", drnHead + "state 0 [1 init\n\taction a [0]\n\t\t1 : 1\n", "r.drn:9: unterminated reward list"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Text);
        const std::string format = test.Format;
        try {
            if (format == "drn") {
                ParseDrn(test.Text, "r.drn", kDefaultSumTolerance);
            } else {
                Model model = ParseTra(tra, "r.tra", "0=\"init\"\n0: 0\n", "r.lab", kDefaultSumTolerance);
                ParseRewards(test.Text, "r." + format, format == "trew", model);
            }
            ADD_FAILURE() << "accepted";
        } catch (const InputError& error) {
            EXPECT_NE(std::string(error.what()).find(test.Error), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace iicheck::test
