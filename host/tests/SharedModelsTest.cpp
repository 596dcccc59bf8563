// iicheck on the real models under models/ (exported by another model
// checker) in every format it wrote them in, with every variant the library
// offers: every safe-rounding interval must contain the exact answer of the
// folder's README (compared exactly, with GMP), for each initial state;
// converged runs must meet the requested precision; and the formats of one
// model must give the same precomputation and reduced models, and the same
// bounds where they hold the same values. The .tra files are also checked
// without the bisimulation and the topological order.
#include "ToolRunner.hpp"
#include "formats/TraReader.hpp"
#include "formats/UmbReader.hpp"
#include "model/ExactValue.hpp"

#include <gmpxx.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace iicheck::test {
namespace {

struct Property {
    const char* Folder;
    std::vector<std::string> Arguments;
    // The exact answer for each initial state, as a fraction, or "brp:N" for
    // the N-th block of brp_N64_MAX4.exact-answers.txt.
    std::vector<std::string> Exact;
};

// Initial states 0, 95, 190, 285.
const std::vector<std::string> kDining1 = {"0", "1/4", "1/4", "1/4"};
const std::vector<std::string> kDining2 = {"1/4", "0", "0", "0"};

const Property kProperties[] = {
    {"coin2_K4", {"--min", "--target", "target1"}, {"1793/4096"}},
    {"coin2_K4", {"--min", "--target", "target1", "--relative"}, {"1793/4096"}},
    {"coin2_K4", {"--max", "--target", "target2"}, {"251/4080"}},
    {"coin2_K4", {"--max", "--target", "target2", "--relative"}, {"251/4080"}},
    // Left out of DRN and UMB because no state has it: empty everywhere.
    {"coin2_K4", {"--max", "--target", "deadlock|target2"}, {"251/4080"}},
    {"csma2_2", {"--min", "--target", "target1", "--avoid", "avoid"}, {"7/8"}},
    {"csma2_2", {"--max", "--target", "target1", "--avoid", "avoid"}, {"7/8"}},
    {"firewire_abst_d200", {"--min", "--target", "target1"}, {"1/2"}},
    {"firewire_abst_d200", {"--max", "--target", "target1"}, {"1"}},
    {"wlan0_collide", {"--max", "--target", "target1"}, {"47/256"}},
    {"zeroconf_reset_K4", {"--min", "--target", "target1"}, {"2476099/640242476099"}},
    {"zeroconf_reset_K4", {"--min", "--target", "target1", "--relative"}, {"2476099/640242476099"}},
    {"zeroconf_reset_K4", {"--max", "--target", "target1"}, {"23588101/640263588101"}},
    {"zeroconf_reset_K4", {"--max", "--target", "target1", "--relative"}, {"23588101/640263588101"}},
    {"dining_crypt3", {"--min", "--target", "target1"}, kDining1},
    {"dining_crypt3", {"--max", "--target", "target1"}, kDining1},
    {"dining_crypt3", {"--min", "--target", "target2"}, kDining2},
    {"dining_crypt3", {"--max", "--target", "target2"}, kDining2},
    {"dice", {"--target", "target1"}, {"1/6"}},
    {"dice", {"--min", "--target", "target1"}, {"1/6"}},
    {"dice", {"--target", "target2"}, {"1/2"}},
    {"dice", {"--target", "target2", "--avoid", "avoid"}, {"1/4"}},
    {"brp_N64_MAX4", {"--target", "target1", "--relative"}, {"brp:0"}},
    {"brp_N64_MAX4", {"--target", "target2", "--relative"}, {"brp:1"}},
    {"brp_N64_MAX4", {"--target", "target1", "--avoid", "avoid", "--relative"}, {"brp:2"}},
    // G, W and R: 1 minus a reachability probability above.
    {"coin2_K4", {"--prop", "Pmin=? [ G !\"target2\" ]"}, {"3829/4080"}},
    {"csma2_2", {"--prop", "Pmin=? [ !\"target1\" W \"avoid\" ]"}, {"1/8"}},
    {"csma2_2", {"--prop", "Pmax=? [ \"avoid\" R !\"target1\" ]"}, {"1/8"}},
    {"zeroconf_reset_K4", {"--prop", "Pmax=? [ G !\"target1\" ]", "--relative"}, {"640240000000/640242476099"}},
    {"dice", {"--prop", "P=? [ G !\"target1\" ]"}, {"5/6"}},
};

// The formats, in groups that hold the same probabilities in the same
// order: the text files the same decimals, the binary64 archives the same
// binary64 values. The exact files hold fractions, .exact.umb in another
// order within some choices. Group -1: without the bisimulation and the
// topological order, whose reduced models and bounds differ.
const struct {
    const char* Suffix;
    int Group;
    bool Exact;
} kFormats[] = {
    {".tra", 0, false},       {".drn", 0, false},      {".umb", 1, false},
    {".umb.gz", 1, false},    {".exact.drn", 2, true}, {".exact.umb", 3, true},
    {".tra", -1, false},
};

// The fraction of each block of the file, in order: the line after the
// "denominator = ..." line.
mpq_class ExactAnswer(const std::string& text) {
    if (text.rfind("brp:", 0) != 0) return mpq_class(text);
    std::ifstream file(std::string(IICHECK_MODELS) + "/brp_N64_MAX4/brp_N64_MAX4.exact-answers.txt");
    int block = std::stoi(text.substr(4));
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("denominator = ", 0) == 0 && block-- == 0) {
            std::getline(file, line);
            mpq_class answer(line);
            answer.canonicalize();
            return answer;
        }
    }
    ADD_FAILURE() << "no block " << text;
    return 0;
}

// The text of the JSON object after "key": in text, from its brace on.
std::string Object(const std::string& text, const std::string& key) {
    const std::size_t at = text.find("\"" + key + "\": {");
    if (at == std::string::npos) return "";
    const std::size_t begin = text.find('{', at);
    return text.substr(begin, text.find('}', begin) - begin + 1);
}

TEST(SharedModels, EveryFormatAndSafeVariantContainsTheExactAnswers) {
    const bool safe = BestVariant().Safe;
    for (const Property& property : kProperties) {
        std::vector<mpq_class> exact;
        for (const std::string& text : property.Exact) exact.push_back(ExactAnswer(text));
        const bool relative = std::find(property.Arguments.begin(), property.Arguments.end(), "--relative") !=
                              property.Arguments.end();
        // Per format: the precomputation and reduced models, and the bounds.
        std::map<int, std::string> boundsOfGroup;
        std::string shapes;
        for (const auto& format : kFormats) {
            const std::string file = std::string(IICHECK_MODELS) + "/" + property.Folder + "/" +
                                     property.Folder + format.Suffix;
            const bool reduced = format.Group >= 0;
            const ToolOutput output =
                RunTool(Join(Join({file, "--all-variants", "--json", "--quiet"}, property.Arguments),
                             reduced ? std::vector<std::string>{}
                                     : std::vector<std::string>{"--no-bisimulation", "--order", "breadth-first"}));
            SCOPED_TRACE(file + " " + property.Arguments[1] + " " + property.Exact[0]);
            EXPECT_EQ(output.ExitCode, 0) << output.Err;
            // Exact files: the answer itself. The others hold some
            // probabilities as 16- or 17-digit decimals or binary64 values
            // of the model's fractions, about 1e-17 away each: their answers
            // are off by that much per transition of a path (brp's binary64
            // archive by 1.6e-15, which the topological order's bounds,
            // exact after one sweep, show).
            const mpq_class slack = format.Exact ? mpq_class(0) : mpq_class(1, 10000000000000);
            // The initial states, in the order of the exact answers.
            std::vector<std::string> initial;
            const std::size_t list = output.Out.find("\"initial_states\": [");
            std::istringstream states(
                output.Out.substr(list + 19, output.Out.find(']', list) - list - 19));
            for (std::string state; std::getline(states, state, ',');) {
                initial.push_back(state.substr(state.find_first_not_of(' ')));
            }
            EXPECT_EQ(initial.size(), exact.size());
            std::string shape = Object(output.Out, "precomputation");
            std::string bounds;
            int checked = 0;
            for (const RunRecord& run : ParseRuns(output.Out)) {
                SCOPED_TRACE(run.Line);
                const std::string state = Field(run.Line, "initial_state");
                const std::size_t index = static_cast<std::size_t>(
                    std::find(initial.begin(), initial.end(), state) - initial.begin());
                ASSERT_LT(index, exact.size());
                // States and choices: the transitions may differ, since a sum of binary64
                // values into one class that the default variant would round stays apart.
                const std::string reducedShape = Object(run.Line, "reduced");
                shape += reducedShape.substr(0, reducedShape.find(", \"transitions\""));
                bounds += run.Line.substr(0, run.Line.find("\"iterations\""));
                if (run.Status == 3 || run.Rounding != (safe ? "safe" : "default")) continue;
                const double tolerance = safe ? 0.0 : 1e-12;
                EXPECT_LE(mpq_class(run.Lower), exact[index] * (1 + slack) + tolerance);
                EXPECT_GE(mpq_class(run.Upper), exact[index] * (1 - slack) - tolerance);
                if (run.Status == 0) {
                    const double halfWidth = (run.Upper - run.Lower) / 2;
                    // A complement's relative precision is that of the probability
                    // computed; its outward rounding may add a unit in the last place.
                    const bool complement = property.Arguments[0] == "--prop";
                    EXPECT_LE(halfWidth, relative ? 1e-6 * (complement ? 1 - run.Lower : run.Lower) * (1 + 1e-9)
                                                  : 1e-6 * (1 + 1e-9));
                }
                ++checked;
            }
            EXPECT_GT(checked, 0);
            if (!reduced) continue;
            if (shapes.empty()) shapes = shape;
            EXPECT_EQ(shape, shapes) << "the formats precompute differently";
            if (boundsOfGroup.count(format.Group) == 0) boundsOfGroup[format.Group] = bounds;
            EXPECT_EQ(bounds, boundsOfGroup[format.Group]) << "the same values gave other bounds";
        }
    }
}

// The argument after option in arguments, or fallback.
std::string OptionValue(const std::vector<std::string>& arguments, const char* option, const char* fallback) {
    const auto at = std::find(arguments.begin(), arguments.end(), option);
    return at == arguments.end() || at + 1 == arguments.end() ? fallback : *(at + 1);
}

// x as a threshold the property parser takes (at most 1000 digits): as it
// is, or rounded to 60 decimals (the brp answers have over a thousand).
std::string ThresholdText(const mpq_class& x) {
    if (x.get_str().size() < 200) return x.get_str();
    mpz_class scale;
    mpz_ui_pow_ui(scale.get_mpz_t(), 10, 60);
    const mpz_class scaled = x.get_num() * scale / x.get_den();
    return scaled.get_str() + "/" + scale.get_str();
}

// Threshold queries on the exact models, for each property of the table and
// each initial state: Pmin>= / Pmax>= and < with the threshold a millionth
// below, at and a millionth above the exact answer (rounded where it is too
// long). An answer is never wrong; a millionth away it must be decided,
// epsilon narrowing as needed; at the answer it may stay unknown.
TEST(SharedModels, ThresholdQueriesAreDecidedCorrectlyOrLeftUnknown) {
    if (!BestVariant().Safe) GTEST_SKIP() << "no safe-rounding variant computes";
    std::map<std::string, std::string> propsOf;  // folder -> its threshold properties
    struct Query {
        std::vector<mpq_class> Exact;
        mpq_class Threshold;
        bool Below;  // "<" rather than ">="
        bool Near;   // a millionth away: must be decided
    };
    std::map<std::string, std::vector<Query>> queriesOf;
    for (const Property& property : kProperties) {
        if (property.Arguments.back() == "--relative" ||
            OptionValue(property.Arguments, "--target", "").find('|') != std::string::npos) {
            continue;
        }
        std::vector<mpq_class> exact;
        for (const std::string& text : property.Exact) exact.push_back(ExactAnswer(text));
        std::string direction =
            std::find(property.Arguments.begin(), property.Arguments.end(), "--min") != property.Arguments.end()
                ? "Pmin"
                : "Pmax";
        const std::string avoid = OptionValue(property.Arguments, "--avoid", "");
        std::string path = "[";
        if (avoid.empty()) {
            path += "F";
        } else {
            path.append("!\"").append(avoid).append("\" U");
        }
        path.append(" \"").append(OptionValue(property.Arguments, "--target", "")).append("\"]");
        if (property.Arguments[0] == "--prop") {  // "Pmin=? [ G ... ]": compared as written, exactly
            const std::string& text = property.Arguments[1];
            direction = text.substr(0, text.find("=?"));
            path = text.substr(text.find("=?") + 3);
        }
        // One threshold per query around the first initial state's answer.
        for (const int offset : {-1, 0, 1}) {
            const mpq_class threshold = exact[0] * (1 + mpq_class(offset, 1000000));
            if (threshold < 0 || threshold > 1) continue;
            for (const bool below : {false, true}) {
                propsOf[property.Folder] += direction + (below ? "<" : ">=") + ThresholdText(threshold) + " " +
                                            path + "\n";
                queriesOf[property.Folder].push_back({exact, mpq_class(ThresholdText(threshold)), below,
                                                      offset != 0});
            }
        }
    }
    for (const auto& [folder, props] : propsOf) {
        SCOPED_TRACE(folder);
        const std::string file = ::testing::TempDir() + folder + "-thresholds.props";
        std::ofstream(file) << props;
        const ToolOutput output =
            RunTool(Join({std::string(IICHECK_MODELS) + "/" + folder + "/" + folder + ".exact.umb", "--props", file,
                          "--json", "--quiet"},
                         BestVariant().Arguments));
        std::remove(file.c_str());
        EXPECT_EQ(output.ExitCode, 0) << output.Err;
        const nlohmann::json result = nlohmann::json::parse(output.Out);
        const std::vector<Query>& queries = queriesOf[folder];
        ASSERT_EQ(result["properties"].size(), queries.size());
        for (std::size_t q = 0; q < queries.size(); ++q) {
            const nlohmann::json& property = result["properties"][q];
            ASSERT_EQ(property["runs"].size(), queries[q].Exact.size());
            for (std::size_t i = 0; i < queries[q].Exact.size(); ++i) {
                const nlohmann::json& run = property["runs"][i];
                SCOPED_TRACE(property["property"].get<std::string>() + " " + run.dump());
                const mpq_class& exact = queries[q].Exact[i];
                const bool holds = queries[q].Below ? exact < queries[q].Threshold : exact >= queries[q].Threshold;
                const std::string verdict = run["verdict"];
                if (verdict != "unknown") {
                    EXPECT_EQ(verdict, holds ? "true" : "false");
                }
                if (queries[q].Near && exact == queries[q].Exact[0]) {
                    EXPECT_NE(verdict, "unknown");
                }
            }
        }
    }
}

// iigen's consensus protocol of 2 processes with K = 4 is coin2_K4 (the same
// states, transitions and labels, the choices in another order): the same
// exact answers.
TEST(SharedModels, GeneratedConsensusModelIsTheCoinModel) {
    const std::string prefix = TemporaryDirectory() + "/consensus";
    ASSERT_EQ(RunProgram(IIGEN_EXECUTABLE, {"--consensus", "2", "4", prefix}).ExitCode, 0);
    const ChosenVariant& variant = BestVariant();
    const struct {
        const char* Direction;
        const char* Target;
        long double Exact;
    } properties[] = {{"--min", "target1", 1793.0L / 4096}, {"--max", "target2", 251.0L / 4080}};
    for (const auto& property : properties) {
        const ToolOutput output = RunTool(
            Join({prefix, property.Direction, "--target", property.Target, "--json", "--quiet"}, variant.Arguments));
        const std::vector<RunRecord> runs = ParseRuns(output.Out);
        ASSERT_EQ(runs.size(), 1u) << output.Out << output.Err;
        const nlohmann::json model = nlohmann::json::parse(output.Out)["model"];
        EXPECT_EQ(model["states"], 528);
        EXPECT_EQ(model["choices"], 784);
        EXPECT_EQ(model["transitions"], 972);
        EXPECT_EQ(model["type"], "MDP");
        EXPECT_LE(runs[0].Lower, property.Exact + variant.Tolerance());
        EXPECT_GE(runs[0].Upper, property.Exact - variant.Tolerance());
    }
}

// iigen's zeroconf protocol with K = 4 and reset is zeroconf_reset_K4 (the
// same states, numbered alike, the same choices of each state in another
// order, the same labels): with --binary64 the exported .tra, without it
// the exact fractions of the exported .exact.umb.
TEST(SharedModels, GeneratedZeroconfModelIsTheExportedOne) {
    auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // Per state, its choices as sorted (target, exact probability) lists, sorted.
    using Choices = std::vector<std::vector<std::pair<uint64_t, std::string>>>;
    auto choices = [](const Model& model) {
        const ExplicitMdp& mdp = model.Mdp;
        std::vector<Choices> states(mdp.StateCount);
        for (uint64_t s = 0; s < mdp.StateCount; ++s) {
            for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
                states[s].emplace_back();
                for (uint64_t t = mdp.ChoiceTransitionStart[c]; t < mdp.ChoiceTransitionStart[c + 1]; ++t) {
                    states[s].back().emplace_back(mdp.TransitionTarget[t],
                                                  SumExactlyBig(&mdp.TransitionValues[t], 1).get_str());
                }
                std::sort(states[s].back().begin(), states[s].back().end());
            }
            std::sort(states[s].begin(), states[s].end());
        }
        return states;
    };
    auto labels = [](const Model& model) {
        std::map<std::string, std::vector<uint64_t>> bits;
        for (std::size_t l = 0; l < model.Labels.Count(); ++l) {
            bits[std::string(model.Labels.Name(l))] = LabelStates(model.Labels, l, model.Mdp.StateCount);
        }
        return bits;
    };
    const std::string models = std::string(IICHECK_MODELS) + "/zeroconf_reset_K4/zeroconf_reset_K4";
    const Model exported = ParseTra(read(models + ".tra"), "e.tra", read(models + ".lab"), "e.lab", kDefaultSumTolerance);
    const Model exact = ParseUmb(read(models + ".exact.umb"), "e.umb", kDefaultSumTolerance);
    for (const bool binary64 : {true, false}) {
        SCOPED_TRACE(binary64);
        const std::string prefix = TemporaryDirectory() + "/zeroconf";
        std::vector<std::string> arguments = {"--zeroconf", "4", "--reset", prefix};
        if (binary64) arguments.insert(arguments.begin(), "--binary64");
        ASSERT_EQ(RunProgram(IIGEN_EXECUTABLE, arguments).ExitCode, 0);
        const Model generated =
            ParseTra(read(prefix + ".tra"), "g.tra", read(prefix + ".lab"), "g.lab", kDefaultSumTolerance);
        const Model& expected = binary64 ? exported : exact;
        EXPECT_EQ(generated.Mdp.ChoiceCount(), expected.Mdp.ChoiceCount());
        EXPECT_TRUE(choices(generated) == choices(expected));
        EXPECT_EQ(labels(generated), labels(exported));
    }
}

}  // namespace
}  // namespace iicheck::test
