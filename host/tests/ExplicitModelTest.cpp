// The reader of .tra and .lab files, on good and on malformed input, and the
// labels of every format.
#include "formats/TraReader.hpp"
#include "model/ExactValue.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace iicheck {
namespace {

using Words = std::vector<uint64_t>;

ExplicitMdp Read(const std::string& text, std::vector<std::string>* notes = nullptr,
                 double tolerance = kDefaultSumTolerance, bool* dtmc = nullptr) {
    Model model;
    ParseTransitions(text, "m.tra", tolerance, model);
    if (notes != nullptr) *notes = model.Notes;
    if (dtmc != nullptr) *dtmc = model.Dtmc;
    return model.Mdp;
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
    std::vector<std::string> notes;
    const ExplicitMdp mdp = Read(
        "# exported\n"
        "5 4 7\r\n"
        "0 0 1 0.5 go\r\n"
        "0 0 2 1/2 go\n"
        "\n"
        "0 1 0 1\n"
        "2 0 3 0.25\t\n"
        "2 0 4 0.75\n"
        "3 0 3 1\n"
        "3 0 4 0 never\n",  // probability 0: no transition
        &notes);
    EXPECT_EQ(mdp.StateCount, 5u);
    EXPECT_EQ(mdp.StateChoiceStart, (Words{0, 2, 2, 3, 4, 4}));
    EXPECT_EQ(mdp.ChoiceTransitionStart, (Words{0, 2, 3, 5, 6}));
    EXPECT_EQ(mdp.TransitionTarget, (Words{1, 2, 0, 3, 4, 3}));
    EXPECT_EQ(mdp.TransitionValues[0].Denominator, 0);
    EXPECT_EQ(mdp.TransitionValues[0].Value, 0.5);
    EXPECT_EQ(mdp.TransitionValues[1].Value, 0.5);  // 1/2 is a binary64 value
    EXPECT_TRUE(notes.empty());
}

// A DTMC's lines have no choice number: each state's lines are its one
// choice, and PRISM may append an action name.
TEST(ExplicitModel, ReadsDtmcsAsOneChoicePerState) {
    bool dtmc = false;
    std::vector<std::string> notes;
    const ExplicitMdp mdp = Read(
        "# Transitions (DTMC)\n4 5\n0 1 0.5\n0 2 5E-1 a\n1 1 1\n3 3 2.3283064365386963E-10\n"
        "3 0 0.99999999976716935634613037109375\n",
        &notes, kDefaultSumTolerance, &dtmc);
    EXPECT_TRUE(dtmc);
    EXPECT_EQ(mdp.StateChoiceStart, (Words{0, 1, 2, 2, 3}));
    EXPECT_EQ(mdp.ChoiceTransitionStart, (Words{0, 2, 3, 5}));
    EXPECT_EQ(mdp.TransitionValues[3].Value, 0x1p-32);  // a printed binary64 value, counted
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].rfind("m.tra:6: 1 probability (here) is neither", 0), 0u) << notes[0];
    for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
             {"3 2\n1 0 1\n0 0 1\n", "m.tra:3: state 0 follows state 1"},
             {"3 1\n0 1 1 a b\n", "m.tra:2: unexpected \"b\" after the action label"},
             {"3 2\n0 1 0.5\n1 1 1\n", "m.tra:2: the probabilities of the choice that starts here sum to 0.5"},
             {"3 99\n0 1 1\n", "m.tra:1: the header declares 99 transitions, more than a file of 11 bytes"},
         }) {
        EXPECT_EQ(TransitionsError(text).rfind(error, 0), 0u) << text << "\ngave: " << TransitionsError(text);
    }
}

// A choice whose exact sum is more than the tolerance away from 1 is refused
// with the line where it starts; one within it is counted in one note.
TEST(ExplicitModel, ChoiceSumsAreCheckedExactlyAgainstTheTolerance) {
    const std::string ulp = "1 0 2 0.3282070209973753\n1 0 0 0.6717929790026246\n";  // 1 - 1e-16
    const struct {
        std::string Text;
        double Tolerance;
        const char* Result;  // the error, or the note, or "" for neither
    } cases[] = {
        {"3 3 5\n0 0 1 0.3333333333333333\n0 0 2 0.6666666666666667\n" + ulp + "2 0 2 1\n", 1e-9,
         "note m.tra:4: 1 choice (it starts here) sums to 1 within 1e-09 but not exactly (largest "
         "deviation -1e-16)"},
        {"3 3 5\n0 0 1 0.5\n" + ulp + "2 0 1 0.1\n2 0 0 0.9\n", 0, "error m.tra:2: the probabilities"},
        {"3 3 5\n0 0 1 1\n" + ulp + "2 0 1 0.1\n2 0 0 0.9\n", 0,
         "error m.tra:3: the probabilities of the choice that starts here sum to 1, 1e-16 below 1: "
         "more than the tolerance 0"},
        {"4 3 5\n0 0 1 0.9\n0 0 2 0.9\n1 0 1 1\n2 0 1 0.9\n2 0 3 0.1\n", 1e-9,
         "error m.tra:2: the probabilities of the choice that starts here sum to 1.8, 0.8 above 1"},
        {"4 3 5\n0 0 1 0.9\n0 0 2 0.9\n1 0 1 1\n2 0 1 0.9\n2 0 3 0.1\n", 1,
         "note m.tra:2: 1 choice (it starts here) sums to 1 within 1 but not exactly"},
        {"3 2 3\n0 0 1 1\n0 1 1 0.5\n0 1 2 0.43", 1e-9,  // cut inside the last number
         "error m.tra:3: the probabilities of the choice that starts here sum to 0.93, 0.07 below 1"},
        {"3 2 3\n0 0 1 1\n1 0 1 0\n1 0 2 0\n", 1e-9,
         "error m.tra:3: the choice that starts here has no transition with a positive probability"},
    };
    for (const auto& test : cases) {
        std::vector<std::string> notes;
        std::string result;
        try {
            Read(test.Text, &notes, test.Tolerance);
            result = notes.empty() ? "" : "note " + notes[0];
            EXPECT_LE(notes.size(), 1u);
        } catch (const InputError& error) {
            result = std::string("error ") + error.what();
        }
        EXPECT_EQ(result.rfind(test.Result, 0), 0u) << test.Text << "\ngave: " << result;
    }
}

// The check takes most choices a window of values at a time. It must agree
// with summing each choice on its own, exactly, on every kind of choice:
// sums exactly 1, just off, off by more than the tolerance, values that are
// not binary64 (fractions) or below what the window sums (2^-50), zeros,
// choices longer than the window and choices across its edges.
TEST(ExplicitModel, ChoiceSumsTakenManyAtOnceAgreeWithEachChoiceSummedAlone) {
    std::mt19937_64 random(7);
    const auto binary64 = [](double value) {
        TransitionValue stored;
        stored.Value = value;
        stored.Denominator = 0;
        return stored;
    };
    const auto fraction = [](int64_t numerator, int64_t denominator) {
        TransitionValue stored;
        stored.Numerator = numerator;
        stored.Denominator = denominator;
        return stored;
    };
    // Choices whose values, in binary64, sum to 1 or miss it by a few units
    // in the last place, as exporters write them.
    std::vector<std::vector<TransitionValue>> kinds;
    for (int parts = 1; parts <= 7; ++parts) {
        std::vector<TransitionValue> choice;
        for (int i = 0; i < parts; ++i) choice.push_back(binary64(1.0 / parts));
        kinds.push_back(choice);
    }
    kinds.push_back({fraction(1, 3), fraction(2, 3)});
    kinds.push_back({fraction(1, 3), binary64(0.5), fraction(1, 6)});
    kinds.push_back({binary64(std::ldexp(1.0, -50)), binary64(1.0 - std::ldexp(1.0, -50))});  // exactly 1
    kinds.push_back({binary64(0.0), binary64(1.0)});
    kinds.push_back({binary64(0.5), binary64(0.5 - 1e-12)});  // off by 1e-12
    kinds.push_back(std::vector<TransitionValue>(3000, binary64(1.0 / 3000)));  // longer than a window
    for (const double tolerance : {0.0, 1e-13, 1e-9, 1e-11 * (1 + 1e-13), HUGE_VAL}) {
        for (int round = 0; round < 4; ++round) {
            ExplicitMdp mdp;
            mdp.ChoiceTransitionStart = {0};
            for (int c = 0; c < 3000; ++c) {
                // Mostly sums of 1 or nearly, now and then another kind.
                const auto& kind = kinds[random() % 8 == 0 ? random() % kinds.size() : random() % 7];
                mdp.TransitionValues.insert(mdp.TransitionValues.end(), kind.begin(), kind.end());
                mdp.ChoiceTransitionStart.push_back(mdp.TransitionValues.size());
            }
            mdp.TransitionTarget.assign(mdp.TransitionValues.size(), 0);
            mdp.StateCount = 1;
            mdp.StateChoiceStart = {0, mdp.ChoiceCount()};
            const ChoiceLocator locate = [](uint64_t choice) { return "choice " + std::to_string(choice); };
            // One choice at a time, exactly.
            std::string expected;
            Deviations alone;
            for (uint64_t c = 0; c < mdp.ChoiceCount() && expected.empty(); ++c) {
                const TransitionValue* values = &mdp.TransitionValues[mdp.ChoiceTransitionStart[c]];
                const uint64_t count = mdp.ChoiceTransitionStart[c + 1] - mdp.ChoiceTransitionStart[c];
                const SumComparison sum = CompareSumWithOne(values, count, tolerance);
                if (!sum.WithinTolerance) expected = locate(c);
                if (sum.Exact || !sum.WithinTolerance) continue;
                if (alone.Count++ == 0) alone.FirstChoice = c;
                if (std::fabs(sum.Deviation) > std::fabs(alone.Largest)) alone.Largest = sum.Deviation;
            }
            try {
                const Deviations together = CheckStochastic(mdp, tolerance, locate);
                EXPECT_EQ(expected, "") << tolerance;
                EXPECT_EQ(together.Count, alone.Count) << tolerance;
                EXPECT_EQ(together.FirstChoice, alone.FirstChoice) << tolerance;
                EXPECT_EQ(together.Largest, alone.Largest) << tolerance;
            } catch (const InputError& error) {
                EXPECT_EQ(std::string(error.what()).rfind(expected + ": the probabilities", 0), 0u)
                    << tolerance << ": " << error.what();
            }
        }
    }
}

TEST(ExplicitModel, MalformedTransitionsNameFileAndLine) {
    const struct {
        const char* Text;
        const char* Error;
    } cases[] = {
        {"", "m.tra: no header line"},
        {"# only a comment\n", "m.tra: no header line"},
        {"3\n", "m.tra:1: missing number of transitions"},
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
        {"3 1 1\n0 0 1 1.2345678901234567891e-40\n",
         "m.tra:2: probability \"1.2345678901234567891e-40\" is neither a binary64 value"},
        {"3 1 1\n0 0 1\n", "m.tra:2: missing probability"},
        {"3 1 1\n0 0 1 1 a b\n", "m.tra:2: unexpected \"b\" after the action label"},
        {"3 1 1\n0 0 -1 1\n", "m.tra:2: target state \"-1\" is not a non-negative integer"},
        {"3 1 1\n0 0 99999999999999999999 1\n", "m.tra:2: target state \"99999999999999999999\""},
        {"3 2 3\n0 0 1 1\n1 0 1 1\n2 0 1 1\n", "m.tra:4: the header declares 2 choices, but the file has more"},
        {"3 1 3\n0 0 1 0.5\n0 0 2 0.5\n", "m.tra:1: the header declares 3 transitions, but the file has 2"},
        // Counts the text cannot hold are refused before anything is allocated.
        {"10000000 1 1\n0 0 0 1\n", "m.tra:1: the header declares 10000000 states, more than a file of 21 bytes"},
        {"3 4 1\n0 0 1 1\n", "m.tra:1: the header declares 4 choices, more than a file of 14 bytes can hold"},
        {"3 1 99999999999\n0 0 1 1\n", "m.tra:1: the header declares 99999999999 transitions, more than"},
    };
    for (const auto& test : cases) {
        const std::string error = TransitionsError(test.Text);
        EXPECT_EQ(error.rfind(test.Error, 0), 0u) << "input:\n" << test.Text << "error: " << error;
    }
}

// Numbers of any length read as written, however a line is read (eight
// digits at a time in the usual form, a digit at a time otherwise): a
// target state of 1 to 20 digits is named in its error as it stands.
TEST(ExplicitModel, NumbersOfEveryLengthReadAsWritten) {
    std::string number;
    for (int digits = 1; digits <= 20; ++digits) {
        number += static_cast<char>('0' + (digits * 7) % 10);
        if (number == "7") number = "9";  // not a state of the model
        for (const char* separator : {" ", "\t"}) {
            const std::string error = TransitionsError("3 1 1\n0 0" + std::string(separator) + number + " 1\n");
            const std::string expected = digits < 20 ? "m.tra:2: target state " + number + " is out of range"
                                                     : "m.tra:2: target state \"" + number + "\" is not a";
            EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
        }
    }
}

TEST(ExplicitModel, ReadsLabelsAndResolvesTargetsAndInitialStates) {
    const Labelling labels = ParseLabels(
        "# Labels\n0=\"init\" 4=\"goal\" 2=\"done\"\n0: 0\n3: 4 0\n4: 2\n 70 : 4\n", "m.lab", 80);
    std::vector<std::string> names;
    for (std::size_t label = 0; label < labels.Count(); ++label) names.emplace_back(labels.Name(label));
    EXPECT_EQ(names, (std::vector<std::string>{"init", "goal", "done"}));
    EXPECT_EQ(InitialStates(labels, 80), (Words{0, 3}));
    std::vector<std::string> notes;
    const Words goal = StatesWithAnyLabel(labels, "goal", 80, notes);
    EXPECT_EQ(goal, (Words{uint64_t{1} << 3, uint64_t{1} << 6}));
    const Words either = StatesWithAnyLabel(labels, "goal | \"done\"", 80, notes);
    EXPECT_EQ(either, (Words{(uint64_t{1} << 3) | (uint64_t{1} << 4), uint64_t{1} << 6}));
    // "deadlock", left out by exporters when no state has it, is empty in
    // every format; another unknown name is an error where the labels are
    // declared, and empty with a note where they are not (DRN).
    EXPECT_EQ(StatesWithAnyLabel(labels, "deadlock|goal", 80, notes), goal);
    EXPECT_TRUE(notes.empty());
    try {
        StatesWithAnyLabel(labels, "goal|target", 80, notes);
        ADD_FAILURE() << "unknown label accepted";
    } catch (const InputError& error) {
        EXPECT_STREQ(error.what(), "m.lab:2: no label \"target\"; the labels are: init, goal, done");
    }
    Labelling undeclared = labels;
    undeclared.Declared = false;
    EXPECT_EQ(StatesWithAnyLabel(undeclared, "goal|target", 80, notes), goal);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].rfind("m.lab: no state carries the label \"target\", taken as empty", 0), 0u) << notes[0];
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

// Labels are lists of the states the file names, whatever the number of
// states and labels: a bitset is made only for the labels a property uses.
TEST(ExplicitModel, LabelsTakeMemoryForWhatTheFileHolds) {
    constexpr uint64_t kStates = uint64_t{1} << 34;  // a bitset of 2 GiB each
    std::string text = "0=\"init\"";
    for (int i = 1; i < 20000; ++i) {
        const std::string number = std::to_string(i);
        text.append(" ").append(number).append("=\"l").append(number).append("\"");
    }
    text += "\n17179869183: 0 19999\n5: 19999 7\n";
    const Labelling labels = ParseLabels(text, "m.lab", kStates);
    ASSERT_EQ(labels.Count(), 20000u);
    EXPECT_EQ(labels.Find("l19999"), 19999);
    EXPECT_EQ(labels.Members.size(), 4u);  // lists, no bitset
    EXPECT_TRUE(labels.Bitsets.empty());
    EXPECT_EQ(labels.Find("l20000"), -1);
    EXPECT_EQ(LabelsError(text.substr(0, text.find('\n')) + " 20000=\"l7\"\n", 1),
              "m.lab:1: label \"l7\" is declared twice");

    // A binary reader hands over a ready bitset; both kinds mix.
    Labelling handed;
    ASSERT_EQ(AddLabel(handed, "goal"), 0);
    EXPECT_EQ(AddLabel(handed, "goal"), -1);
    ASSERT_EQ(AddLabel(handed, "done"), 1);
    LabelBits(handed, 0) = {0b1010, ~uint64_t{0}};
    AddLabelState(handed, 1, 2, 66);
    AddLabelState(handed, 1, 64, 66);
    std::vector<std::string> notes;
    EXPECT_EQ(StatesWithAnyLabel(handed, "goal|done", 66, notes), (Words{0b1110, 0b11}));

    // A label on many states becomes a bitset once that is smaller, with
    // the same states.
    std::string many = "0=\"init\" 1=\"odd\"\n";
    Words odd = EmptyBits(1000);
    for (uint64_t s = 1; s < 1000; s += 2) {
        many += std::to_string(s) + ": 1\n";
        SetBit(odd, s);
    }
    const Labelling dense = ParseLabels(many, "m.lab", 1000);
    EXPECT_LE(dense.Members.size() * 8, 2 * odd.size() * 8);  // most of them in the bitset
    EXPECT_EQ(LabelStates(dense, 1, 1000), odd);
}

TEST(ExplicitModel, InitialStatesAreThoseLabelledInit) {
    auto error = [](const char* text) {
        try {
            InitialStates(ParseLabels(text, "m.lab", 3), 3);
        } catch (const InputError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(error("1=\"init\"\n2: 1\n0: 1\n"), "");
    EXPECT_EQ(error("0=\"goal\"\n1: 0\n"), "m.lab:1: no label \"init\" marks the initial states");
    EXPECT_EQ(error("0=\"init\"\n"), "m.lab: no state carries the label \"init\"");
}

// A missing file, and a stream that never ends (a properties file named
// /dev/zero), are input errors; the stream is read only to the limit.
TEST(ExplicitModel, FilesThatCannotBeReadOrNeverEndAreInputErrors) {
    const struct {
        const char* Path;
        const char* Error;
    } cases[] = {{"/nonexistent/model.tra", "/nonexistent/model.tra: cannot open"},
                 {"/dev/zero", "/dev/zero: larger than 1048576 bytes"}};
    for (const auto& test : cases) {
        try {
            FileText text(test.Path, std::size_t{1} << 20);
            ADD_FAILURE() << "read " << test.Path;
        } catch (const InputError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(test.Error, 0), 0u) << error.what();
        }
    }
}

}  // namespace
}  // namespace iicheck
