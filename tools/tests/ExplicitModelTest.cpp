// The reader of .tra and .lab files, on good and on malformed input.
#include "ExplicitModel.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace iicheck {
namespace {

using Words = std::vector<uint64_t>;

ExplicitMdp Read(const std::string& text, std::vector<std::string>* warnings = nullptr) {
    std::vector<std::string> ignored;
    return ParseTransitions(text, "m.tra", warnings ? *warnings : ignored);
}

// The message of the InputError that parsing text raises, or "".
std::string TransitionsError(const std::string& text) {
    try {
        Read(text);
    } catch (const InputError& error) {
        return error.what();
    }
    return "";
}

std::string LabelsError(const std::string& text, uint64_t states) {
    try {
        ParseLabels(text, "m.lab", states);
    } catch (const InputError& error) {
        return error.what();
    }
    return "";
}

TEST(ExplicitModel, ReadsTransitionsIntoSparseLayout) {
    std::vector<std::string> warnings;
    const ExplicitMdp mdp = Read(
        "# exported\n"
        "5 4 6\r\n"
        "0 0 1 0.5 go\r\n"
        "0 0 2 1/2 go\n"
        "\n"
        "0 1 0 1\n"
        "2 0 3 0.25\t\n"
        "2 0 4 0.75\n"
        "3 0 3 0 never\n",  // probability 0: no transition; the choice stays, empty
        &warnings);
    EXPECT_EQ(mdp.StateCount, 5u);
    EXPECT_EQ(mdp.StateChoiceStart, (Words{0, 2, 2, 3, 4, 4}));
    EXPECT_EQ(mdp.ChoiceTransitionStart, (Words{0, 2, 3, 5, 5}));
    EXPECT_EQ(mdp.TransitionTarget, (Words{1, 2, 0, 3, 4}));
    EXPECT_EQ(mdp.TransitionValues[0].Denominator, 0);
    EXPECT_EQ(mdp.TransitionValues[0].Value, 0.5);
    EXPECT_EQ(mdp.TransitionValues[1].Value, 0.5);  // 1/2 is a binary64 value
    ASSERT_EQ(warnings.size(), 1u);  // the empty choice sums to 0
    EXPECT_NE(warnings[0].find("m.tra:9: 1 choice "), std::string::npos) << warnings[0];
}

TEST(ExplicitModel, ChoicesThatMissOneBySomeUlpsAreSummarisedInOneWarning) {
    std::vector<std::string> warnings;
    Read("3 3 5\n"
         "0 0 1 0.3333333333333333\n0 0 2 0.6666666666666667\n"  // exactly 1
         "1 0 2 0.3282070209973753\n1 0 0 0.6717929790026246\n"  // 1 - 1e-16
         "2 0 2 0.9\n",                                          // 0.9
         &warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("m.tra:4: 2 choices"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("-0.1"), std::string::npos) << warnings[0];
}

TEST(ExplicitModel, MalformedTransitionsNameFileAndLine) {
    const struct {
        const char* Text;
        const char* Error;
    } cases[] = {
        {"", "m.tra: no header line"},
        {"# only a comment\n", "m.tra: no header line"},
        {"3 2\n", "m.tra:1: missing number of transitions"},
        {"3 2 x\n", "m.tra:1: number of transitions \"x\" is not a non-negative integer"},
        {"3 1 1 7\n0 0 1 1\n", "m.tra:1: unexpected \"7\""},
        {"0 0 0\n", "m.tra:1: the header declares no states"},
        {"3 1 1\n0 0 5 1\n", "m.tra:2: target state 5 is out of range (3 states)"},
        {"3 1 1\n3 0 1 1\n", "m.tra:2: source state 3 is out of range"},
        {"3 1 1\n0 1 1 1\n", "m.tra:2: the first choice of state 0 is numbered 1"},
        {"3 2 2\n0 0 1 1\n0 2 1 1\n", "m.tra:3: choice 2 of state 0 follows choice 0"},
        {"3 2 2\n1 0 1 1\n0 0 1 1\n", "m.tra:3: state 0 follows state 1"},
        {"3 1 1\n0 0 1 -0.5\n", "m.tra:2: probability \"-0.5\" is negative"},
        {"3 1 1\n0 0 1 abc\n", "m.tra:2: probability \"abc\" is not a number"},
        {"3 1 1\n0 0 1 1.5\n", "m.tra:2: probability \"1.5\" is greater than 1"},
        {"3 1 1\n0 0 1 1e-40\n", "m.tra:2: probability \"1e-40\" is neither a binary64 value"},
        {"3 1 1\n0 0 1\n", "m.tra:2: missing probability"},
        {"3 1 1\n0 0 1 1 a b\n", "m.tra:2: unexpected \"b\" after the action label"},
        {"3 1 1\n0 0 -1 1\n", "m.tra:2: target state \"-1\" is not a non-negative integer"},
        {"3 1 1\n0 0 99999999999999999999 1\n", "m.tra:2: target state \"99999999999999999999\""},
        {"3 2 2\n0 0 1 1\n1 0 1 1\n2 0 1 1\n", "m.tra:1: the header declares 2 choices, but the file has 3"},
        {"3 1 3\n0 0 1 0.5\n0 0 2 0.5\n", "m.tra:1: the header declares 3 transitions, but the file has 2"},
    };
    for (const auto& test : cases) {
        const std::string error = TransitionsError(test.Text);
        EXPECT_EQ(error.rfind(test.Error, 0), 0u) << "input:\n" << test.Text << "error: " << error;
    }
}

TEST(ExplicitModel, ReadsLabelsAndResolvesTargetsAndInitialState) {
    const Labelling labels = ParseLabels(
        "# Labels\n0=\"init\" 1=\"deadlock\" 4=\"goal\" 2=\"done\"\n0: 0\n3: 4 1\n4: 2\n 70 : 4\n", "m.lab", 80);
    EXPECT_EQ(labels.Names, (std::vector<std::string>{"init", "deadlock", "goal", "done"}));
    EXPECT_EQ(InitialState(labels, 80), 0u);
    const Words goal = StatesWithAnyLabel(labels, "goal", 80);
    EXPECT_EQ(goal, (Words{uint64_t{1} << 3, uint64_t{1} << 6}));
    const Words either = StatesWithAnyLabel(labels, "goal | \"done\"", 80);
    EXPECT_EQ(either, (Words{(uint64_t{1} << 3) | (uint64_t{1} << 4), uint64_t{1} << 6}));
    try {
        StatesWithAnyLabel(labels, "goal|target", 80);
        ADD_FAILURE() << "unknown label accepted";
    } catch (const InputError& error) {
        EXPECT_STREQ(error.what(),
                     "m.lab:2: no label \"target\"; the labels are: init, deadlock, goal, done");
    }
}

TEST(ExplicitModel, MalformedLabelsNameFileAndLine) {
    const struct {
        const char* Text;
        const char* Error;
    } cases[] = {
        {"", "m.lab: no header line"},
        {"0=init\n", "m.lab:1: expected index=\"name\""},
        {"0=\"init\n", "m.lab:1: unterminated label name"},
        {"0=\"a\" 0=\"b\"\n", "m.lab:1: label index 0 is declared twice"},
        {"0=\"a\" 1=\"a\"\n", "m.lab:1: label \"a\" is declared twice"},
        {"0=\"init\"\n0 0\n", "m.lab:2: expected \"state: label ...\""},
        {"0=\"init\"\nx: 0\n", "m.lab:2: state \"x\" is not a non-negative integer"},
        {"0=\"init\"\n9: 0\n", "m.lab:2: state 9 is out of range (3 states)"},
        {"0=\"init\"\n1: 5\n", "m.lab:2: label index 5 is not declared in the header"},
        {"0=\"init\"\n1: 0 z\n", "m.lab:2: label index \"z\" is not a non-negative integer"},
    };
    for (const auto& test : cases) {
        const std::string error = LabelsError(test.Text, 3);
        EXPECT_EQ(error.rfind(test.Error, 0), 0u) << "input:\n" << test.Text << "error: " << error;
    }
}

TEST(ExplicitModel, InitialStateMustBeUnique) {
    auto error = [](const char* text) {
        try {
            InitialState(ParseLabels(text, "m.lab", 3), 3);
        } catch (const InputError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(error("1=\"init\"\n2: 1\n"), "");
    EXPECT_EQ(error("0=\"goal\"\n1: 0\n"), "m.lab:1: no label \"init\" marks the initial state");
    EXPECT_EQ(error("0=\"init\"\n"), "m.lab: no state carries the label \"init\"");
    EXPECT_EQ(error("0=\"init\"\n0: 0\n2: 0\n"),
              "m.lab: 2 states carry the label \"init\"; this tool needs exactly one initial state");
}

TEST(ExplicitModel, MissingFileIsAnInputError) {
    try {
        FileText text("/nonexistent/model.tra");
        ADD_FAILURE() << "opened a missing file";
    } catch (const InputError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("/nonexistent/model.tra: cannot open", 0), 0u);
    }
}

}  // namespace
}  // namespace iicheck
