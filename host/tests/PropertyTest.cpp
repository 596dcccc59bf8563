// Properties as model checkers write them: the parser, the properties
// file, the shorthands and the command line, and the state sets of label
// expressions.
#include "cli/CommandLine.hpp"
#include "properties/Property.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace iicheck {
namespace {

TEST(Property, ParsesWhatModelCheckersWriteIntoOneCanonicalForm) {
    const struct {
        const char* Text;
        const char* Canonical;
    } good[] = {
        {"Pmax=? [ F \"goal\" ]", "Pmax=? [F \"goal\"]"},
        {"Pmin=?[F\"goal\"];  // comment", "Pmin=? [F \"goal\"]"},
        {"\"reach\": Pmin = ? [ !\"bad\" U \"goal\" ]", "Pmin=? [!\"bad\" U \"goal\"]"},
        {"Pmax=? [ !(\"a\" | \"b\") U (\"c\" & !\"d\") | \"e\" ]", "Pmax=? [!(\"a\"|\"b\") U \"c\"&!\"d\"|\"e\"]"},
        {"Pmax=? [ F (\"a\" | \"b\") | (\"c\") ]", "Pmax=? [F \"a\"|\"b\"|\"c\"]"},     // flattened
        {"Pmax=? [ !!\"a\" U \"b\" ]", "Pmax=? [\"a\" U \"b\"]"},                     // double negation
        {"Pmax=? [ true U \"b\" ]", "Pmax=? [F \"b\"]"},
        {"Pmax=? [ \"a\"&\"b\" U \"c\" ]", "Pmax=? [\"a\"&\"b\" U \"c\"]"},
        {"Pmax=? [ !(\"a\"&\"b\") U false ]", "Pmax=? [!(\"a\"&\"b\") U false]"},
        {"Pmax>=0.99 [ F \"goal\" ]", "Pmax>=0.99 [F \"goal\"]"},
        {"P<0.5 [ F \"goal\" ]", "P<0.5 [F \"goal\"]"},
        {"P>1/3 [F \"goal\"]", "P>1/3 [F \"goal\"]"},
        {"P=? [F \"g\x1b\"]", "P=? [F \"g\\x1b\"]"},  // written as is, shown escaped
        {"Pmax=? [ G !\"bad\" ]", "Pmax=? [G !\"bad\"]"},
        {"P>=0.9 [ \"a\" W \"b\"|\"c\" ]", "P>=0.9 [\"a\" W \"b\"|\"c\"]"},
        {"Pmin<1/3 [ \"a\" R \"b\" ]", "Pmin<1/3 [\"a\" R \"b\"]"},
        {"R{\"time\"}min=? [ F \"done\" ]", "R{\"time\"}min=? [F \"done\"]"},
        {"Rmax<=2.5e3 [F \"done\"]", "Rmax<=2.5e3 [F \"done\"]"},
        {"R=? [F \"done\"]", "R=? [F \"done\"]"},
    };
    for (const auto& test : good) {
        EXPECT_EQ(ParseProperty(test.Text, "--prop").Text, test.Canonical) << test.Text;
        // The canonical text reads back to itself.
        EXPECT_EQ(ParseProperty(test.Canonical, "--prop").Text, test.Canonical) << test.Canonical;
    }
    const Property threshold = ParseProperty("P<=2.5e-1 [F \"goal\"]", "--prop");
    ASSERT_TRUE(threshold.HasThreshold);
    EXPECT_EQ(threshold.Bound.Compare, Comparison::LessEqual);
    EXPECT_EQ(threshold.Bound.Value, mpq_class(1, 4));
    EXPECT_EQ(ParseProperty("P>=0.100000000000000000000000000001 [F \"g\"]", "x").Bound.Value,
              mpq_class("100000000000000000000000000001/1000000000000000000000000000000"));
    // G, W and R: the reachability property of the complement, the
    // direction and the threshold turned round exactly.
    const struct {
        const char* Text;
        const char* Complement;
    } complements[] = {
        {"Pmax=? [G \"safe\"]", "Pmin=? [F !\"safe\"]"},
        {"P>=0.9 [G \"safe\"]", "P<=1/10 [F !\"safe\"]"},
        {"Pmin=? [\"a\" W \"b\"]", "Pmax=? [!\"b\" U !\"a\"&!\"b\"]"},
        {"Pmax>1/3 [\"a\" R \"b\"]", "Pmin<2/3 [!\"a\" U !\"b\"]"},
        {"P=? [\"a\" W false]", "P=? [F !\"a\"]"},
    };
    for (const auto& test : complements) {
        const Property property = ParseProperty(test.Text, "--prop");
        EXPECT_TRUE(property.Complement) << test.Text;
        EXPECT_EQ(property.ComplementText, test.Complement) << test.Text;
        EXPECT_EQ(ParseProperty(property.ComplementText, "x").Text, property.ComplementText);
    }

    const struct {
        std::string Text;
        const char* Error;
    } bad[] = {
        {"Pmax=? [F \"goal\"", "--prop: column 17: expected \"]\" at the end"},
        {"Pmax=? [F goal]", "--prop: column 11: unquoted name goal: labels are written in double quotes"},
        {"Q=? [F \"goal\"]", "--prop: column 1: expected P, Pmin, Pmax, R, Rmin or Rmax, found \"Q=? [F \"goal\"]\""},
        {"R>=-1 [F \"a\"]", "--prop: column 4: expected a number such as 2.5 or 1/3"},
        {"Rmin=? [G \"a\"]", "--prop: column 9: the reward operator is answered for F only"},
        {"R{time}=? [F \"a\"]", "--prop: column 3: a reward structure is named in double quotes"},
        {"Pmax=? [F Pmin>0.5 [F \"a\"]]", "--prop: column 11: nested P and R operators are not supported; iicheck "
                                            "answers P, Pmin and Pmax of F, U, G, W and R"},
        {"Pmax=? [X \"a\"]", "--prop: column 9: the path operator X is not supported"},
        {"filter(min, P=? [F \"a\"], \"init\")", "--prop: column 1: filter(...) is not supported"},
        {"Pmax [F \"a\"]", "--prop: column 6: expected \"=?\" or a comparison"},
        {"P>=1.5 [F \"a\"]", "--prop: column 4: the threshold 1.5 is not a probability in [0, 1]"},
        {"P>=1/0 [F \"a\"]", "--prop: column 4: the fraction 1/0 divides by 0"},
        {"P>= [F \"a\"]", "--prop: column 5: expected a probability such as 0.99 or 1/3"},
        {"Pmax=? [F<=10 \"a\"]", "--prop: column 10: step-bounded F is not supported"},
        {"Pmax=? [\"a\" U<=3 \"b\"]", "--prop: column 14: step-bounded U is not supported"},
        {"Pmax=? [G<=10 \"a\"]", "--prop: column 10: step-bounded G is not supported"},
        {"Pmax=? [\"a\" \"b\"]", "--prop: column 13: expected \"U\", \"W\", \"R\" or \"]\", found"},
        {"Pmax=? [F \"a\" | ]", "--prop: column 17: expected a label in double quotes"},
        {"Pmax=? [F \"a]", "--prop: column 11: unterminated label \"\"a]\""},
        {"Pmax=? [F \"\"]", "--prop: column 11: empty label \"\""},
        {"Pmax=? [F \"a\"] x", "--prop: column 16: unexpected \"x\" after the property"},
        {"Pmax=? [F (\"a\"]", "--prop: column 15: expected \")\""},
        {"Pmax=? [F " + std::string(100, '(') + "\"a\"", "nested more than 64 deep"},
        {"Pmax=? [F \"\x1b\xff\" x]", "--prop: column 16: expected \"]\", found \"x]\""},
        {"P\x1b=? [F \"a\"]", "column 2: expected \"=?\" or a comparison (<, <=, >, >=), found \"\\x1b=? [F \"a\"]\""},
    };
    for (const auto& test : bad) {
        try {
            ParseProperty(test.Text, "--prop");
            ADD_FAILURE() << "accepted " << test.Text;
        } catch (const InputError& error) {
            EXPECT_NE(std::string(error.what()).find(test.Error), std::string::npos)
                << error.what() << "\nexpected: " << test.Error;
        }
    }
}

TEST(Property, DirectionIsExplicitOrFollowsTheThresholdAsInPrism) {
    const struct {
        const char* Text;
        bool MarkovChain;
        bool Maximum;
    } cases[] = {
        {"Pmax=? [F \"a\"]", false, true}, {"Pmin=? [F \"a\"]", false, false},
        {"Pmin<0.5 [F \"a\"]", false, false}, {"P>=0.5 [F \"a\"]", false, false},
        {"P>0.5 [F \"a\"]", false, false}, {"P<=0.5 [F \"a\"]", false, true},
        {"P<0.5 [F \"a\"]", false, true}, {"P=? [F \"a\"]", true, true},
        // A complement turns the direction round; R as P.
        {"Pmax=? [G \"a\"]", false, false}, {"P>=0.5 [G \"a\"]", false, true},
        {"Pmin=? [\"a\" W \"b\"]", false, true}, {"R<=5 [F \"a\"]", false, true},
        {"R{\"r\"}min=? [F \"a\"]", false, false}, {"R=? [F \"a\"]", true, true},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(DirectionIsMaximum(ParseProperty(test.Text, "x"), test.MarkovChain), test.Maximum) << test.Text;
    }
    EXPECT_THROW(DirectionIsMaximum(ParseProperty("P=? [F \"a\"]", "x"), false), InputError);
    EXPECT_THROW(DirectionIsMaximum(ParseProperty("R=? [F \"a\"]", "x"), false), InputError);
}

TEST(Property, LabelExpressionsDenoteTheirStates) {
    Labelling labels;
    labels.FileName = "m.lab";
    labels.HeaderLine = 1;
    const uint64_t states = 70;  // two words, the second partly used
    const std::vector<std::vector<uint64_t>> members = {{0, 1, 65}, {1, 2, 69}};
    for (std::size_t i = 0; i < members.size(); ++i) {
        const auto label = static_cast<std::size_t>(AddLabel(labels, i == 0 ? "a" : "b"));
        for (const uint64_t state : members[i]) AddLabelState(labels, label, state, states);
    }
    std::vector<std::string> notes;
    auto statesOf = [&](const char* path) {
        const std::vector<uint64_t> bits = EvaluateLabels(
            ParseProperty(std::string("P=? [F ") + path + "]", "x").Target, labels, states, notes);
        std::vector<uint64_t> list;
        for (uint64_t s = 0; s < states; ++s) {
            if (TestBit(bits, s)) list.push_back(s);
        }
        return list;
    };
    EXPECT_EQ(statesOf("\"a\"&\"b\""), (std::vector<uint64_t>{1}));
    EXPECT_EQ(statesOf("\"a\"|\"b\""), (std::vector<uint64_t>{0, 1, 2, 65, 69}));
    EXPECT_EQ(statesOf("\"a\"&!\"b\"|false"), (std::vector<uint64_t>{0, 65}));
    // Complements stay within the states: nothing beyond state 69.
    EXPECT_EQ(statesOf("!(\"a\"|\"b\"|true)").size(), 0u);
    EXPECT_EQ(statesOf("!\"a\"&!\"b\"").size(), states - 5);
    EXPECT_EQ(EvaluateLabels(ParseProperty("P=? [F true]", "x").Target, labels, states, notes).back(), 0x3Fu);
    try {
        statesOf("\"a\"|\"goal\"");
        ADD_FAILURE();
    } catch (const InputError& error) {
        EXPECT_STREQ(error.what(), "m.lab:1: no label \"goal\"; the labels are: a, b");
    }
}

TEST(Property, PropertiesFilesAndTheCommandLine) {
    std::vector<std::string> notes;
    const std::vector<Property> properties = ParsePropertiesText(
        "// consensus\nlabel \"target1\" = pc1=3 & pc2=3;\n\n  label \"avoid\" = x>2;\n"
        "Pmin=? [ F \"target1\" ];\r\nPmax=? [ !\"avoid\" U \"target1\" ] // the other\n",
        "c.props", notes);
    ASSERT_EQ(properties.size(), 2u);
    EXPECT_EQ(properties[1].Text, "Pmax=? [!\"avoid\" U \"target1\"]");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].rfind("c.props: 2 label definitions skipped (\"target1\", \"avoid\"): ", 0), 0u) << notes[0];
    for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
             {"const double p = 0.5;\n", "c.props:1: const definitions are not supported"},
             {"// nothing\n\n", "c.props: no property in the file"},
             {"Pmax=? [F \"a\"]\nPmax=? [F a]\n", "c.props:2: column 11: unquoted name a"}}) {
        try {
            ParsePropertiesText(text, "c.props", notes);
            ADD_FAILURE() << text;
        } catch (const InputError& caught) {
            EXPECT_EQ(std::string(caught.what()).rfind(error, 0), 0u) << caught.what();
        }
    }

    // The shorthands build the record the full syntax gives, and say what
    // they assumed.
    const struct {
        std::vector<std::string> Arguments;
        const char* Property;
        const char* Note;
    } lines[] = {
        {{}, "Pmax=? [F \"target\"]", "no property given; checking Pmax=? [F \"target\"]"},
        {{"--min"}, "Pmin=? [F \"target\"]", "no --target given; checking Pmin=? [F \"target\"]"},
        {{"--target", "goal| \"done\""}, "Pmax=? [F \"goal\"|\"done\"]", "no --min or --max given; checking "},
        {{"--target", "goal", "--avoid", "a|b", "--min"}, "Pmin=? [!(\"a\"|\"b\") U \"goal\"]", nullptr},
        {{"--prop", "Pmin=? [ F \"a\" ]", "--prop=P<0.5 [F \"b\"]"}, "Pmin=? [F \"a\"]", nullptr},
    };
    for (const auto& test : lines) {
        notes.clear();
        const std::vector<Property> found = PropertiesOf(ParseCommandLine(test.Arguments), notes);
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found[0].Text, test.Property);
        EXPECT_EQ(ParseProperty(found[0].Text, "x").Text, found[0].Text);
        ASSERT_EQ(notes.size(), test.Note == nullptr ? 0u : 1u);
        if (test.Note != nullptr) {
            EXPECT_EQ(notes[0].rfind(test.Note, 0), 0u) << notes[0];
        }
    }
    EXPECT_THROW(ParseCommandLine({"--prop", "Pmax=? [F \"a\"]", "--min"}), UsageError);
    EXPECT_THROW(ParseCommandLine({"--props", "x.props", "--target", "a"}), UsageError);
    EXPECT_THROW(ParseCommandLine({"--prop", "Pmax=? [F \"a\""}), UsageError);

    // No option is taken silently over another: an option given twice and
    // options that contradict each other are refused, the first error told
    // once the whole line is read (so --json and --export-result are known).
    const struct {
        std::vector<std::string> Arguments;
        const char* Error;
    } refused[] = {
        {{"--min", "--max"}, "--min and --max contradict each other"},
        {{"--sequential", "--interleaved"}, "--sequential and --interleaved contradict each other"},
        {{"--relative", "--absolute"}, "--relative and --absolute contradict each other"},
        {{"--epsilon", "1e-3", "--epsilon=1e-4"}, "--epsilon is given twice"},
        {{"--target", "a", "--target", "a"}, "--target is given twice"},
        {{"--fpu", "x87", "--all-variants"}, "--all-variants runs every variant; --fpu names one of them"},
    };
    for (const auto& test : refused) {
        CommandLine line;
        std::vector<std::string> arguments = test.Arguments;
        arguments.insert(arguments.end(), {"--json", "--export-result", "r.json"});
        try {
            ParseCommandLine(arguments, line);
            ADD_FAILURE() << test.Error;
        } catch (const UsageError& error) {
            EXPECT_STREQ(error.what(), test.Error);
        }
        EXPECT_TRUE(line.Json);
        EXPECT_EQ(line.ExportFile, "r.json");
    }
    EXPECT_EQ(ParseCommandLine({"--prop", "P=? [F \"a\"]", "--prop", "P=? [F \"b\"]"}).Properties.size(), 2u);

    // A file of many label definitions gives a note of readable length.
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "label \"l" + std::to_string(i) + "\" = x=1;\n";
    notes.clear();
    ParsePropertiesText(many + "P=? [F \"a\"]\n", "m.props", notes);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_LT(notes[0].size(), 400u);
    EXPECT_NE(notes[0].find("100000 label definitions skipped (\"l0\", "), std::string::npos) << notes[0];
    EXPECT_NE(notes[0].find(", and 99992 more)"), std::string::npos) << notes[0];
}

}  // namespace
}  // namespace iicheck
