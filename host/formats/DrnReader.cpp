#include "formats/DrnReader.hpp"

#include "model/ExactValue.hpp"
#include "model/TextLines.hpp"
#include "support/LargeArrays.hpp"
#include "support/Progress.hpp"

#include <algorithm>
#include <unordered_map>

namespace iicheck {
namespace {

// "state 0" and "action a" with their line ends: the header's counts must fit
// the file.
constexpr uint64_t kShortestLine = 8;

enum class LineKind { Blank, Comment, Header, State, Action, Transition };

// The kind of a line by its first token; rest is set after that token (for
// a transition, to its start).
LineKind Classify(const char* begin, const char* end, const char*& rest) {
    const char* p = begin;
    while (p != end && IsBlank(*p)) ++p;
    rest = p;
    if (p == end) return LineKind::Blank;
    if (end - p >= 2 && p[0] == '/' && p[1] == '/') return LineKind::Comment;
    if (*p == '@') return LineKind::Header;
    const char* word = p;
    while (p != end && !IsBlank(*p)) ++p;
    const std::string_view first(word, static_cast<std::size_t>(p - word));
    if (first == "state" || first == "action") {
        rest = p;
        return first == "state" ? LineKind::State : LineKind::Action;
    }
    return LineKind::Transition;
}

// The key of a header line "@key", "@key: value" or "@key value" starting at
// p, and its value on the same line, without surrounding blanks.
void SplitHeader(const char* p, const char* end, std::string_view& key, std::string_view& value) {
    const char* keyBegin = ++p;
    while (p != end && !IsBlank(*p) && *p != ':') ++p;
    key = std::string_view(keyBegin, static_cast<std::size_t>(p - keyBegin));
    while (p != end && IsBlank(*p)) ++p;
    if (p != end && *p == ':') ++p;
    while (p != end && IsBlank(*p)) ++p;
    while (end != p && IsBlank(end[-1])) --end;
    value = std::string_view(p, static_cast<std::size_t>(end - p));
}

struct Header {
    bool Dtmc = false;
    uint64_t States = 0;
    uint64_t Choices = 0;
    uint64_t StatesLine = 0;
    uint64_t ChoicesLine = 0;
};

// Reads the header up to and including the "@model" line.
Header ParseHeader(Lines& lines, const std::string& name, uint64_t fileSize) {
    Header header;
    uint64_t typeLine = 0;
    const char* begin;
    const char* end;
    const char* p;
    while (lines.Next(begin, end)) {
        const uint64_t line = lines.Number();
        const LineKind kind = Classify(begin, end, p);
        if (kind == LineKind::Blank || kind == LineKind::Comment) continue;
        if (kind != LineKind::Header) {
            FailAtLine(name, line, "expected a header line \"@...\" before \"@model\", found " +
                                       Quoted(p, end));
        }
        std::string_view key;
        std::string_view value;
        SplitHeader(p, end, key, value);
        if (key == "model") {
            if (typeLine == 0) FailAtLine(name, line, "no \"@type\" line before \"@model\"");
            if (header.StatesLine == 0) FailAtLine(name, line, "no \"@nr_states\" before \"@model\"");
            if (header.ChoicesLine == 0) FailAtLine(name, line, "no \"@nr_choices\" before \"@model\"");
            return header;
        }
        // A value may stand on the next line (empty for "@parameters" when
        // there are none); a header line is never a value.
        uint64_t valueLine = line;
        if (value.empty()) {
            Lines next = lines;
            const char* nextBegin;
            const char* nextEnd;
            const char* q;
            if (next.Next(nextBegin, nextEnd) &&
                Classify(nextBegin, nextEnd, q) != LineKind::Header) {
                lines = next;
                valueLine = lines.Number();
                while (nextEnd != q && IsBlank(nextEnd[-1])) --nextEnd;
                value = std::string_view(q, static_cast<std::size_t>(nextEnd - q));
            }
        }
        const std::string shown = Quoted(value.data(), value.data() + value.size());
        const auto count = [&](uint64_t& target, uint64_t& targetLine, const char* what) {
            if (targetLine != 0) FailAtLine(name, line, "a second \"@" + std::string(key) + "\" line");
            if (!ParseIndex(value.data(), value.data() + value.size(), target)) {
                FailAtLine(name, valueLine, std::string("the number of ") + what + " " + shown +
                                                " is not a non-negative integer");
            }
            if (target > fileSize / kShortestLine) {
                FailAtLine(name, valueLine, "the header declares " + std::to_string(target) + " " +
                                                what + ", more than a file of " +
                                                std::to_string(fileSize) + " bytes can hold");
            }
            targetLine = valueLine;
        };
        if (key == "type") {
            if (typeLine != 0) FailAtLine(name, line, "a second \"@type\" line");
            if (value != "MDP" && value != "DTMC") {
                FailAtLine(name, valueLine, "model type " + shown + " is not supported (MDP or DTMC)");
            }
            header.Dtmc = value == "DTMC";
            typeLine = line;
        } else if (key == "value_type") {
            if (value != "double" && value != "rational") {
                FailAtLine(name, valueLine, "value type " + shown + " is not supported (double or rational)");
            }
        } else if (key == "parameters") {
            if (!value.empty()) {
                FailAtLine(name, valueLine, "parametric models are not supported (parameters " + shown + ")");
            }
        } else if (key == "reward_models") {
            // Rewards are not read.
        } else if (key == "nr_states") {
            count(header.States, header.StatesLine, "states");
            if (header.States == 0) FailAtLine(name, valueLine, "the header declares no states");
            if (header.States > kMaxStates) FailAtLine(name, valueLine, "too many states for this tool");
        } else if (key == "nr_choices") {
            count(header.Choices, header.ChoicesLine, "choices");
        } else {
            FailAtLine(name, line, "unknown header line " + Quoted(p, end));
        }
    }
    FailAtLine(name, 0, "no \"@model\" line");
}

// Skips the bracketed lists of rewards, "[1, 0.5]", at p.
void SkipRewards(const char*& p, const char* end, const std::string& name, uint64_t line) {
    while (true) {
        while (p != end && IsBlank(*p)) ++p;
        if (p == end || *p != '[') return;
        const char* close = static_cast<const char*>(std::memchr(p, ']', static_cast<std::size_t>(end - p)));
        if (close == nullptr) FailAtLine(name, line, "unterminated reward list " + Quoted(p, end));
        p = close + 1;
    }
}

// The labels met so far. DRN declares none: a label is known from the first
// state that carries it.
class LabelTable {
public:
    LabelTable(Labelling& labels, uint64_t states) : labels_(labels), states_(states) { Add("init"); }

    void Set(std::string_view label, uint64_t state) {
        auto found = slot_.find(label);
        if (found == slot_.end()) found = Add(label);
        AddLabelState(labels_.Labels[found->second], state, states_);
    }

private:
    std::unordered_map<std::string_view, std::size_t>::iterator Add(std::string_view label) {
        return slot_.emplace(label, static_cast<std::size_t>(AddLabel(labels_, label))).first;
    }

    Labelling& labels_;
    uint64_t states_;
    std::unordered_map<std::string_view, std::size_t> slot_;  // views into the text
};

// Reads "T : P" (blanks around ":" optional) into the model.
void ParseTransition(const char* p, const char* end, ExplicitMdp& mdp, const std::string& name,
                     uint64_t line, PrintedValues& printed) {
    const char* targetBegin = p;
    while (p != end && *p >= '0' && *p <= '9') ++p;
    uint64_t target;
    if (p == targetBegin) {
        FailAtLine(name, line, "expected \"state\", \"action\" or \"target : probability\", found " +
                                   Quoted(targetBegin, end));
    }
    if (!ParseIndex(targetBegin, p, target) || target >= mdp.StateCount) {
        FailAtLine(name, line, "target state " + Quoted(targetBegin, p) + " is out of range (" +
                                   std::to_string(mdp.StateCount) + " states)");
    }
    while (p != end && IsBlank(*p)) ++p;
    if (p == end || *p != ':') FailAtLine(name, line, "expected \":\" after the target state");
    ++p;
    const char* valueBegin;
    const char* valueEnd;
    if (!NextToken(p, end, valueBegin, valueEnd)) FailAtLine(name, line, "missing probability");
    const char* extra;
    const char* extraEnd;
    if (NextToken(p, end, extra, extraEnd)) {
        FailAtLine(name, line, "unexpected " + Quoted(extra, extraEnd) + " after the probability");
    }
    const TransitionValue value = ProbabilityToken(valueBegin, valueEnd, name, line, printed);
    if (IsZero(value)) return;  // no transition at all
    mdp.TransitionTarget.push_back(target);
    mdp.TransitionValues.push_back(value);
}

// The lines of a text whose first character after blanks is a digit.
uint64_t TransitionLines(std::string_view text) {
    uint64_t count = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p != end) {
        while (p != end && IsBlank(*p)) ++p;
        count += p != end && *p >= '0' && *p <= '9';
        p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        p = p == nullptr ? end : p + 1;
    }
    return count;
}

}  // namespace

Model ParseDrn(std::string_view text, const std::string& name, double tolerance) {
    Lines lines(text);
    const Header header = ParseHeader(lines, name, text.size());
    const uint64_t states = header.States;

    Model model;
    model.Dtmc = header.Dtmc;
    ExplicitMdp& mdp = model.Mdp;
    mdp.StateCount = states;
    ReserveLarge(mdp.StateChoiceStart, states + 1);
    mdp.StateChoiceStart.assign(states + 1, 0);
    ReserveLarge(mdp.ChoiceTransitionStart, header.Choices + 1);
    // Every transition takes a line of its own, which starts with its
    // target after blanks.
    const uint64_t transitionLines = TransitionLines(lines.Rest());
    ReserveLarge(mdp.TransitionTarget, transitionLines);
    ReserveLarge(mdp.TransitionValues, transitionLines);
    model.Labels.FileName = name;
    model.Labels.Declared = false;
    LabelTable labels(model.Labels, states);
    PrintedValues printed;

    uint64_t state = 0;  // states read
    uint64_t stateLine = 0;
    uint64_t choicesOfState = 0;
    const auto endState = [&]() {
        if (state > 0 && header.Dtmc && choicesOfState != 1) {
            FailAtLine(name, stateLine, "state " + std::to_string(state - 1) +
                                            " of a DTMC has no \"action\" line");
        }
    };
    const char* begin;
    const char* end;
    const char* p;
    while (lines.Next(begin, end)) {
        const uint64_t line = lines.Number();
        PollWithProgress(line, kReading, static_cast<uint64_t>(end - text.data()), text.size(), "bytes");
        switch (Classify(begin, end, p)) {
            case LineKind::Blank:
            case LineKind::Comment:
                break;
            case LineKind::Header:
                FailAtLine(name, line, "a header line after \"@model\"");
            case LineKind::State: {
                endState();
                const uint64_t s = IndexToken(p, end, name, line, "state");
                if (s != state) {
                    FailAtLine(name, line, "state " + std::to_string(s) + " where state " +
                                               std::to_string(state) +
                                               " is due: states must appear in order 0, 1, ...");
                }
                if (state == states) {
                    FailAtLine(name, line, "the header declares " + std::to_string(states) +
                                               " states, but the file has more");
                }
                mdp.StateChoiceStart[state] = mdp.ChoiceTransitionStart.size();
                SkipRewards(p, end, name, line);
                const char* label;
                const char* labelEnd;
                while (NextToken(p, end, label, labelEnd)) {
                    labels.Set(std::string_view(label, static_cast<std::size_t>(labelEnd - label)), state);
                }
                ++state;
                stateLine = line;
                choicesOfState = 0;
                break;
            }
            case LineKind::Action: {
                if (state == 0) FailAtLine(name, line, "an \"action\" line before the first state");
                const char* action;
                const char* actionEnd;
                if (!NextToken(p, end, action, actionEnd) || *action == '[') {
                    FailAtLine(name, line, "an \"action\" line without an action name");
                }
                SkipRewards(p, end, name, line);
                if (NextToken(p, end, action, actionEnd)) {
                    FailAtLine(name, line, "unexpected " + Quoted(action, actionEnd) + " after the action");
                }
                if (header.Dtmc && choicesOfState == 1) {
                    FailAtLine(name, line, "a second \"action\" line for state " +
                                               std::to_string(state - 1) + " of a DTMC");
                }
                if (mdp.ChoiceTransitionStart.size() == header.Choices) {
                    FailAtLine(name, line, "the header declares " + std::to_string(header.Choices) +
                                               " choices, but the file has more");
                }
                mdp.ChoiceTransitionStart.push_back(mdp.TransitionTarget.size());
                ++choicesOfState;
                break;
            }
            case LineKind::Transition:
                if (choicesOfState == 0 && p != end && *p >= '0' && *p <= '9') {
                    FailAtLine(name, line, "a transition before the first \"action\" line of its state");
                }
                ParseTransition(p, end, mdp, name, line, printed);
                break;
        }
    }
    endState();
    if (state != states) {
        FailAtLine(name, header.StatesLine, "the header declares " + std::to_string(states) +
                                                " states, but the file has " + std::to_string(state));
    }
    if (mdp.ChoiceTransitionStart.size() != header.Choices) {
        FailAtLine(name, header.ChoicesLine, "the header declares " + std::to_string(header.Choices) +
                                                 " choices, but the file has " +
                                                 std::to_string(mdp.ChoiceTransitionStart.size()));
    }
    mdp.StateChoiceStart[states] = mdp.ChoiceTransitionStart.size();
    mdp.ChoiceTransitionStart.push_back(mdp.TransitionTarget.size());
    model.Initial = InitialStates(model.Labels, states);
    const std::string note = PrintedNote(printed, name);
    if (!note.empty()) model.Notes.push_back(note);
    CheckChoices(model, tolerance, [&](uint64_t choice) { return DrnChoiceLocation(text, name, choice); });
    return model;
}

std::string DrnChoiceLocation(std::string_view text, const std::string& name, uint64_t choice) {
    Lines lines(text);
    const char* begin;
    const char* end;
    const char* p;
    bool inModel = false;
    uint64_t seen = 0;
    while (lines.Next(begin, end)) {
        const LineKind kind = Classify(begin, end, p);
        if (!inModel) {
            std::string_view key;
            std::string_view value;
            if (kind == LineKind::Header) SplitHeader(p, end, key, value);
            inModel = key == "model";
        } else if (kind == LineKind::Action && seen++ == choice) {
            return Place(name, lines.Number());
        }
    }
    return Printable(name) + ": choice " + std::to_string(choice);
}

}  // namespace iicheck
