#include "formats/DrnReader.hpp"

#include "model/ExactValue.hpp"
#include "model/TextLines.hpp"
#include "support/LargeArrays.hpp"
#include "support/Progress.hpp"

#include <algorithm>

namespace iicheck {
namespace {

// "state 0" and "action a" with their line ends: the header's counts must fit
// the file.
constexpr uint64_t kShortestLine = 8;
// "0 : 1" and its line end: a transition's line.
constexpr uint64_t kShortestTransition = 6;

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
    std::vector<std::string> RewardNames;  // of "@reward_models", in the order of the bracketed lists
};

// Reads the header up to and including the "@model" line.
Header ParseHeader(LineReader& lines) {
    const std::string& name = lines.Name();
    const TextSource& source = lines.Source();
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
        // Kept: a look at the next line may move the line.
        const std::string keyText(key);
        const std::string lineText(p, end);
        // A value may stand on the next line (empty for "@parameters" when
        // there are none); a header line is never a value.
        uint64_t valueLine = line;
        std::string valueText(value);
        if (value.empty()) {
            const char* nextBegin;
            const char* nextEnd;
            const char* q;
            if (lines.Next(nextBegin, nextEnd)) {
                if (Classify(nextBegin, nextEnd, q) != LineKind::Header) {
                    valueLine = lines.Number();
                    while (nextEnd != q && IsBlank(nextEnd[-1])) --nextEnd;
                    valueText.assign(q, static_cast<std::size_t>(nextEnd - q));
                } else {
                    lines.Repeat();
                }
            }
        }
        value = valueText;
        const std::string shown = Quoted(value);
        const auto count = [&](uint64_t& target, uint64_t& targetLine, const char* what) {
            if (targetLine != 0) FailAtLine(name, line, "a second \"@" + keyText + "\" line");
            if (!ParseIndex(value.data(), value.data() + value.size(), target)) {
                FailAtLine(name, valueLine, std::string("the number of ") + what + " " + shown +
                                                " is not a non-negative integer");
            }
            if (source.SizeKnown() && target > source.Size() / kShortestLine) {
                FailAtLine(name, valueLine, "the header declares " + std::to_string(target) + " " + what +
                                                ", more than a file of " + std::to_string(source.Size()) +
                                                " bytes can hold");
            }
            targetLine = valueLine;
        };
        if (keyText == "type") {
            if (typeLine != 0) FailAtLine(name, line, "a second \"@type\" line");
            if (value != "MDP" && value != "DTMC") {
                FailAtLine(name, valueLine, "model type " + shown + " is not supported (MDP or DTMC)");
            }
            header.Dtmc = value == "DTMC";
            typeLine = line;
        } else if (keyText == "value_type") {
            if (value != "double" && value != "rational") {
                FailAtLine(name, valueLine, "value type " + shown + " is not supported (double or rational)");
            }
        } else if (keyText == "parameters") {
            if (!value.empty()) {
                FailAtLine(name, valueLine, "parametric models are not supported (parameters " + shown + ")");
            }
        } else if (keyText == "reward_models") {
            header.RewardNames.clear();
            const char* q = value.data();
            const char* valueEnd = value.data() + value.size();
            const char* word;
            const char* wordEnd;
            while (NextToken(q, valueEnd, word, wordEnd)) header.RewardNames.emplace_back(word, wordEnd);
        } else if (keyText == "nr_states") {
            count(header.States, header.StatesLine, "states");
            if (header.States == 0) FailAtLine(name, valueLine, "the header declares no states");
            if (header.States > kMaxStates) FailAtLine(name, valueLine, "too many states for this tool");
        } else if (keyText == "nr_choices") {
            count(header.Choices, header.ChoicesLine, "choices");
        } else {
            FailAtLine(name, line, "unknown header line " + Quoted(lineText));
        }
    }
    FailAtLine(name, 0, "no \"@model\" line");
}

// A transition line in its usual form, "T : P" after blanks with single
// spaces around the colon, a target of at most 15 digits and a line feed or
// CRLF at its end: the byte after the line feed, or nullptr for any other
// line. The text after p holds a line feed.
inline const char* ReadUsualTransition(const char* p, uint64_t& target, const char*& value,
                                       const char*& valueEnd) {
    while (*p == '\t' || *p == ' ') ++p;
    uint64_t t;
    if ((p = ShortIndex(p, ' ', t)) == nullptr || p[0] != ':' || p[1] != ' ') return nullptr;
    p += 2;
    value = p;
    while (static_cast<unsigned char>(*p) > ' ') ++p;
    valueEnd = p;
    if (p == value) return nullptr;
    if (*p == '\r') ++p;
    if (*p != '\n') return nullptr;
    target = t;
    return p + 1;
}

// The model after "@model", as it is read.
class BodyReader {
public:
    BodyReader(LineReader& lines, const Header& header, double tolerance, Model& model)
        : lines_(lines), name_(lines.Name()), header_(header), model_(model), mdp_(model.Mdp),
          text_(name_, tolerance) {
        const uint64_t states = header.States;
        model.Dtmc = header.Dtmc;
        mdp_.StateCount = states;
        TextSource& source = lines.Source();
        if (source.SizeKnown()) {
            ReserveLarge(mdp_.StateChoiceStart, states + 1);
            ReserveLarge(mdp_.ChoiceTransitionStart, header.Choices + 1);
            // Every transition takes a line of its own with a colon, and at
            // least kShortestTransition bytes; what else has a colon (a
            // comment, a label) is rare.
            uint64_t colons;
            uint64_t lineFeeds;
            lines.CountAhead(':', '\n', colons, lineFeeds);
            const uint64_t bound = std::min({colons, lineFeeds + 1, source.Size() / kShortestTransition + 1});
            ReserveLarge(mdp_.TransitionTarget, bound);
            ReserveLarge(mdp_.TransitionValues, bound);
        }
        model.Labels.FileName = name_;
        model.Labels.Declared = false;
        AddLabel(model.Labels, "init");
    }

    void ReadAll() {
        const bool sized = lines_.Source().SizeKnown();
        const char* p;
        const char* end;
        while (lines_.Rest(p, end)) {
            if (!sized) {
                // Memory as the lines come: a stream's header cannot be
                // checked against its size.
                const uint64_t lineBound = static_cast<uint64_t>(end - p) / kShortestTransition + 1;
                GrowLarge(mdp_.TransitionTarget, lineBound, SIZE_MAX);
                GrowLarge(mdp_.TransitionValues, lineBound, SIZE_MAX);
            }
            uint64_t line = lines_.Number();
            while (p != end) {
                ++line;
                PollWithProgress(line, kReading, lines_.Source().Offset(), lines_.Source().Size(), "bytes");
                uint64_t target;
                const char* value;
                const char* valueEnd;
                const char* next = ReadUsualTransition(p, target, value, valueEnd);
                if (next == nullptr) {
                    next = UsualStateOrAction(p, line);
                    if (next == nullptr) {
                        const char* newline =
                            static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
                        GeneralLine(p, newline, line);
                        next = newline + 1;
                    }
                    p = next;
                    continue;
                }
                if (choicesOfState_ == 0) {
                    FailAtLine(name_, line, "a transition before the first \"action\" line of its state");
                }
                AddTransition(target, text_.Value(value, valueEnd, line), line);
                p = next;
            }
            lines_.Skip(p, line - lines_.Number());
        }
    }

    void Finish() {
        EndChoice();
        EndState();
        const uint64_t states = header_.States;
        if (state_ != states) {
            FailAtLine(name_, header_.StatesLine, "the header declares " + std::to_string(states) +
                                                      " states, but the file has " + std::to_string(state_));
        }
        if (mdp_.ChoiceTransitionStart.size() != header_.Choices) {
            FailAtLine(name_, header_.ChoicesLine, "the header declares " + std::to_string(header_.Choices) +
                                                       " choices, but the file has " +
                                                       std::to_string(mdp_.ChoiceTransitionStart.size()));
        }
        mdp_.StateChoiceStart.push_back(mdp_.ChoiceTransitionStart.size());
        mdp_.ChoiceTransitionStart.push_back(mdp_.TransitionTarget.size());
        CompactLabels(model_.Labels, states);
        model_.Initial = InitialStates(model_.Labels, states);
        text_.AddNotes(model_.Notes);
    }

private:
    void EndState() {
        if (state_ > 0 && header_.Dtmc && choicesOfState_ != 1) {
            FailAtLine(name_, stateLine_, "state " + std::to_string(state_ - 1) +
                                              " of a DTMC has no \"action\" line");
        }
    }

    void GeneralLine(const char* begin, const char* end, uint64_t line) {
        if (end != begin && end[-1] == '\r') --end;
        const char* p;
        switch (Classify(begin, end, p)) {
            case LineKind::Blank:
            case LineKind::Comment:
                return;
            case LineKind::Header:
                FailAtLine(name_, line, "a header line after \"@model\"");
            case LineKind::State:
                return StateLine(p, end, line);
            case LineKind::Action:
                return ActionLine(p, end, line);
            case LineKind::Transition:
                return TransitionLine(p, end, line);
        }
    }

    // A state line or an action line in its usual form, "state S" and
    // "action A" after blanks, each alone on its line: the byte after the
    // line feed, or nullptr for any other line. The text after p holds a
    // line feed.
    const char* UsualStateOrAction(const char* p, uint64_t line) {
        if (std::memcmp(p, "state ", 6) == 0) {
            uint64_t s;
            const char* next = ShortIndex(p + 6, '\n', s);
            if (next != nullptr) NewState(s, line);
            return next;
        }
        while (*p == '\t' || *p == ' ') ++p;
        if (std::memcmp(p, "action ", 7) != 0 || *(p += 7) == '[' || static_cast<unsigned char>(*p) <= ' ') {
            return nullptr;
        }
        while (static_cast<unsigned char>(*p) > ' ') ++p;
        if (*p == '\r') ++p;
        if (*p != '\n') return nullptr;
        NewChoice(line);
        return p + 1;
    }

    // Reads the bracketed list of rewards at p, "[1, 0.5]", if there is
    // one: a reward of each structure for the state or choice index.
    void ReadRewards(const char*& p, const char* end, uint64_t line, bool choice, uint64_t index) {
        while (p != end && IsBlank(*p)) ++p;
        if (p == end || *p != '[') return;
        const char* close = static_cast<const char*>(std::memchr(p, ']', static_cast<std::size_t>(end - p)));
        if (close == nullptr) FailAtLine(name_, line, "unterminated reward list " + Quoted(p, end));
        const std::size_t count = static_cast<std::size_t>(std::count(p, close, ',')) + 1;
        std::vector<RewardStructure>& structures = model_.Rewards;
        if (structures.empty()) {
            // "@reward_models" names them, or is empty for an unnamed one.
            const std::vector<std::string>& names = header_.RewardNames;
            if (!names.empty() && names.size() != count) {
                FailAtLine(name_, line, std::to_string(count) + " reward" + (count == 1 ? "" : "s") + " where " +
                                            "\"@reward_models\" names " + std::to_string(names.size()));
            }
            structures.resize(count);
            for (std::size_t k = 0; k < names.size(); ++k) structures[k].Name = names[k];
        } else if (count != structures.size()) {
            FailAtLine(name_, line, std::to_string(count) + " reward" + (count == 1 ? "" : "s") + " where the model has " +
                                        std::to_string(structures.size()) + " reward structure" +
                                        (structures.size() == 1 ? "" : "s"));
        }
        const char* q = p + 1;
        for (RewardStructure& rewards : structures) {
            while (q != close && IsBlank(*q)) ++q;
            const char* valueBegin = q;
            while (q != close && *q != ',') ++q;
            const char* valueEnd = q;
            while (valueEnd != valueBegin && IsBlank(valueEnd[-1])) --valueEnd;
            TransitionValue value;
            if (const char* error = rewardReader_.Read(valueBegin, valueEnd, rewards, value)) {
                FailAtLine(name_, line, "reward " + Quoted(valueBegin, valueEnd) + " " + error);
            }
            if (AddReward(choice ? rewards.Choices : rewards.States, index, value)) {
                (choice ? rewards.ChoiceRewards : rewards.StateRewards) = true;
            }
            if (q != close) ++q;
        }
        p = close + 1;
        while (p != end && IsBlank(*p)) ++p;
        if (p != end && *p == '[') FailAtLine(name_, line, "a second reward list " + Quoted(p, end));
    }

    void StateLine(const char* p, const char* end, uint64_t line) {
        NewState(IndexToken(p, end, name_, line, "state"), line);
        ReadRewards(p, end, line, false, state_ - 1);
        const char* label;
        const char* labelEnd;
        Labelling& labels = model_.Labels;
        while (NextToken(p, end, label, labelEnd)) {
            const std::string_view labelName(label, static_cast<std::size_t>(labelEnd - label));
            int index = labels.Find(labelName);
            if (index < 0) index = AddLabel(labels, labelName);
            AddLabelState(labels, static_cast<std::size_t>(index), state_ - 1, header_.States);
        }
    }

    void NewState(uint64_t s, uint64_t line) {
        EndChoice();
        EndState();
        if (s != state_) {
            FailAtLine(name_, line, "state " + std::to_string(s) + " where state " + std::to_string(state_) +
                                        " is due: states must appear in order 0, 1, ...");
        }
        if (state_ == header_.States) {
            FailAtLine(name_, line, "the header declares " + std::to_string(header_.States) +
                                        " states, but the file has more");
        }
        mdp_.StateChoiceStart.push_back(mdp_.ChoiceTransitionStart.size());
        ++state_;
        stateLine_ = line;
        choicesOfState_ = 0;
    }

    void ActionLine(const char* p, const char* end, uint64_t line) {
        if (state_ == 0) FailAtLine(name_, line, "an \"action\" line before the first state");
        const char* action;
        const char* actionEnd;
        if (!NextToken(p, end, action, actionEnd) || *action == '[') {
            FailAtLine(name_, line, "an \"action\" line without an action name");
        }
        ReadRewards(p, end, line, true, mdp_.ChoiceTransitionStart.size());
        if (NextToken(p, end, action, actionEnd)) {
            FailAtLine(name_, line, "unexpected " + Quoted(action, actionEnd) + " after the action");
        }
        NewChoice(line);
    }

    void NewChoice(uint64_t line) {
        if (state_ == 0) FailAtLine(name_, line, "an \"action\" line before the first state");
        if (header_.Dtmc && choicesOfState_ == 1) {
            FailAtLine(name_, line, "a second \"action\" line for state " + std::to_string(state_ - 1) +
                                        " of a DTMC");
        }
        if (mdp_.ChoiceTransitionStart.size() == header_.Choices) {
            FailAtLine(name_, line, "the header declares " + std::to_string(header_.Choices) +
                                        " choices, but the file has more");
        }
        EndChoice();
        text_.StartChoice(mdp_, line);
        open_ = true;
        ++choicesOfState_;
    }

    // Reads "T : P" (blanks around ":" optional) into the model.
    void TransitionLine(const char* p, const char* end, uint64_t line) {
        const char* targetBegin = p;
        while (p != end && *p >= '0' && *p <= '9') ++p;
        if (p == targetBegin) {
            FailAtLine(name_, line, "expected \"state\", \"action\" or \"target : probability\", found " +
                                        Quoted(targetBegin, end));
        }
        if (choicesOfState_ == 0) {
            FailAtLine(name_, line, "a transition before the first \"action\" line of its state");
        }
        uint64_t target;
        if (!ParseIndex(targetBegin, p, target) || target >= header_.States) {
            FailAtLine(name_, line, "target state " + Quoted(targetBegin, p) + " is out of range (" +
                                        std::to_string(header_.States) + " states)");
        }
        while (p != end && IsBlank(*p)) ++p;
        if (p == end || *p != ':') FailAtLine(name_, line, "expected \":\" after the target state");
        ++p;
        const char* valueBegin;
        const char* valueEnd;
        if (!NextToken(p, end, valueBegin, valueEnd)) FailAtLine(name_, line, "missing probability");
        const char* extra;
        const char* extraEnd;
        if (NextToken(p, end, extra, extraEnd)) {
            FailAtLine(name_, line, "unexpected " + Quoted(extra, extraEnd) + " after the probability");
        }
        AddTransition(target, text_.Value(valueBegin, valueEnd, line), line);
    }

    void AddTransition(uint64_t target, const TransitionValue& value, uint64_t line) {
        if (target >= header_.States) {
            FailAtLine(name_, line, "target state " + Quoted(std::to_string(target)) + " is out of range (" +
                                        std::to_string(header_.States) + " states)");
        }
        text_.Add(mdp_, target, value);
    }

    // The choice being read, if any, is complete: checked while its line is
    // known.
    void EndChoice() {
        if (!open_) return;
        open_ = false;
        text_.EndChoice(mdp_);
    }

    LineReader& lines_;
    const std::string& name_;
    const Header header_;
    Model& model_;
    ExplicitMdp& mdp_;
    TransitionText text_;
    RewardReader rewardReader_;
    bool open_ = false;        // whether a choice is being read
    uint64_t state_ = 0;                 // states read
    uint64_t stateLine_ = 0;
    uint64_t choicesOfState_ = 0;
};

Model ReadDrn(TextSource& source, double tolerance) {
    LineReader lines(source);
    const Header header = ParseHeader(lines);
    Model model;
    BodyReader body(lines, header, tolerance, model);
    body.ReadAll();
    body.Finish();
    return model;
}

}  // namespace

Model ParseDrn(std::string_view text, const std::string& name, double tolerance) {
    TextSource source(text, name);
    return ReadDrn(source, tolerance);
}

Model ReadDrn(const std::string& path, double tolerance) {
    TextSource source(path);
    return ReadDrn(source, tolerance);
}

}  // namespace iicheck
