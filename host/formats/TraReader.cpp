#include "formats/TraReader.hpp"

#include "model/ExactValue.hpp"
#include "model/TextLines.hpp"
#include "support/Interrupt.hpp"
#include "support/LargeArrays.hpp"
#include "support/Progress.hpp"

#include <algorithm>
#include <optional>
#include <utility>

namespace iicheck {
namespace {

struct Header {
    uint64_t Line = 0;
    uint64_t States = 0;
    uint64_t Choices = 0;  // an MDP's
    uint64_t Transitions = 0;
    bool Dtmc = false;
};

// Reads the header line, and when the size of the text is known, refuses
// counts that it cannot hold before anything is allocated.
Header ReadHeader(LineReader& lines) {
    const std::string& name = lines.Name();
    const char* begin;
    const char* end;
    if (!lines.NextContent(begin, end)) {
        FailAtLine(name, 0,
                   "no header line \"states choices transitions\" (MDP) or \"states transitions\" (DTMC)");
    }
    Header header;
    header.Line = lines.Number();
    const char* p = begin;
    header.States = IndexToken(p, end, name, header.Line, "number of states");
    // "states transitions" is a DTMC's header, "states choices transitions"
    // an MDP's.
    const char* look = p;
    const char* token;
    const char* tokenEnd;
    header.Dtmc = !(NextToken(look, end, token, tokenEnd) && NextToken(look, end, token, tokenEnd));
    header.Choices = header.Dtmc ? 0 : IndexToken(p, end, name, header.Line, "number of choices");
    header.Transitions = IndexToken(p, end, name, header.Line, "number of transitions");
    if (NextToken(p, end, token, tokenEnd)) {
        FailAtLine(name, header.Line, "unexpected " + Quoted(token, tokenEnd) + " after the header's counts");
    }
    if (header.States == 0) FailAtLine(name, header.Line, "the header declares no states");
    if (header.States > kMaxStates) {
        FailAtLine(name, header.Line, "the header declares " + std::to_string(header.States) +
                                          " states, more than this tool takes");
    }
    const TextSource& source = lines.Source();
    if (!source.SizeKnown()) return header;  // checked as the text comes
    // Nothing is allocated for what the text cannot hold. A transition line
    // takes at least 8 bytes ("0 0 0 1\n", a DTMC's 6), and every choice at
    // least one line; a state without choices takes no line, but every state
    // costs the precomputation tens of bytes, so a header may declare at most
    // one state per byte of the file.
    const uint64_t size = source.Size();
    const uint64_t lineBound = size / (header.Dtmc ? 6 : 8) + 1;
    if (header.States > size) {
        FailAtLine(name, header.Line, "the header declares " + std::to_string(header.States) +
                                          " states, more than a file of " + std::to_string(size) +
                                          " bytes can describe");
    }
    if (header.Choices > lineBound || header.Transitions > lineBound) {
        FailAtLine(name, header.Line,
                   "the header declares " +
                       (header.Choices > lineBound ? std::to_string(header.Choices) + " choices"
                                                   : std::to_string(header.Transitions) + " transitions") +
                       ", more than a file of " + std::to_string(size) + " bytes can hold");
    }
    return header;
}

// A transition line in its usual form, "s c t p" or "s c t p action" (a
// DTMC's without c) with single spaces, numbers of at most 15 digits and a
// line feed or CRLF at its end: the lines exporters write, read without
// looking at a byte twice. Anything else is read by the general rules.
struct UsualLine {
    uint64_t Source = 0;
    uint64_t Choice = 0;
    uint64_t Target = 0;
    const char* Value = nullptr;
    const char* ValueEnd = nullptr;
};

// The end of a token: a blank, a line end or a control character.
inline bool EndsToken(char c) { return static_cast<unsigned char>(c) <= ' '; }

// The byte after the line's line feed, or nullptr when the line is not in
// the usual form. The text after p holds a line feed.
inline const char* ReadUsualLine(const char* p, bool dtmc, UsualLine& line) {
    if ((p = ShortIndex(p, ' ', line.Source)) == nullptr) return nullptr;
    if (!dtmc && (p = ShortIndex(p, ' ', line.Choice)) == nullptr) return nullptr;
    if ((p = ShortIndex(p, ' ', line.Target)) == nullptr) return nullptr;
    line.Value = p;
    while (!EndsToken(*p)) ++p;
    line.ValueEnd = p;
    if (p == line.Value) return nullptr;
    if (*p == ' ') {  // an action
        const char* action = ++p;
        while (!EndsToken(*p)) ++p;
        if (p == action) return nullptr;
    }
    if (*p == '\r') ++p;
    return *p == '\n' ? p + 1 : nullptr;
}

// The transitions as they are read: each line goes into the model, each
// choice is checked once the next one starts.
class TransitionsReader {
public:
    TransitionsReader(LineReader& lines, const Header& header, double tolerance, Model& model)
        : lines_(lines), name_(lines.Name()), header_(header), sized_(lines.Source().SizeKnown()),
          mdp_(model.Mdp), text_(name_, tolerance) {
        model.Dtmc = header.Dtmc;
        mdp_ = ExplicitMdp();
        mdp_.StateCount = header.States;
        if (sized_) {
            ReserveLarge(mdp_.StateChoiceStart, header.States + 1);
            ReserveLarge(mdp_.ChoiceTransitionStart, ChoiceBound() + 1);
            ReserveLarge(mdp_.TransitionTarget, header.Transitions);
            ReserveLarge(mdp_.TransitionValues, header.Transitions);
        }
    }

    void ReadAll() {
        const char* p;
        const char* end;
        while (lines_.Rest(p, end)) {
            if (!sized_) {
                const uint64_t lineBound = static_cast<uint64_t>(end - p) / (header_.Dtmc ? 6 : 8) + 1;
                // Memory as the lines come: a stream's header cannot be
                // checked against its size.
                GrowLarge(mdp_.ChoiceTransitionStart, lineBound, ChoiceBound() + 1);
                GrowLarge(mdp_.TransitionTarget, lineBound, header_.Transitions);
                GrowLarge(mdp_.TransitionValues, lineBound, header_.Transitions);
            }
            uint64_t line = lines_.Number();
            while (p != end) {
                ++line;
                PollWithProgress(line, kReading, lines_.Source().Offset(), lines_.Source().Size(), "bytes");
                UsualLine usual;
                const char* next = ReadUsualLine(p, header_.Dtmc, usual);
                if (next != nullptr) {
                    Add(line, usual.Source, usual.Choice, usual.Target,
                        text_.Value(usual.Value, usual.ValueEnd, line));
                    p = next;
                } else {
                    const char* newline =
                        static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
                    GeneralLine(p, newline, line);
                    p = newline + 1;
                }
            }
            lines_.Skip(p, line - lines_.Number());
        }
    }

    void Finish(Model& model) {
        const uint64_t states = header_.States;
        const TextSource& source = lines_.Source();
        if (!sized_ && states > source.Offset()) {
            FailAtLine(name_, header_.Line, "the header declares " + std::to_string(states) +
                                                " states, more than a text of " +
                                                std::to_string(source.Offset()) + " bytes can describe");
        }
        if (mdp_.StateChoiceStart.capacity() < states + 1) {
            std::vector<uint64_t> starts;
            ReserveLarge(starts, states + 1);
            starts = mdp_.StateChoiceStart;
            mdp_.StateChoiceStart.swap(starts);
        }
        if (any_) text_.EndChoice(mdp_);
        mdp_.StateChoiceStart.resize(states + 1, mdp_.ChoiceTransitionStart.size());
        mdp_.ChoiceTransitionStart.push_back(mdp_.TransitionTarget.size());
        if (!header_.Dtmc && mdp_.ChoiceCount() != header_.Choices) {
            FailAtLine(name_, header_.Line, "the header declares " + std::to_string(header_.Choices) +
                                                " choices, but the file has " +
                                                std::to_string(mdp_.ChoiceCount()));
        }
        if (lineCount_ != header_.Transitions) {
            FailAtLine(name_, header_.Line, "the header declares " + std::to_string(header_.Transitions) +
                                                " transitions, but the file has " + std::to_string(lineCount_));
        }
        text_.AddNotes(model.Notes);
    }

private:
    uint64_t ChoiceBound() const {
        return header_.Dtmc ? std::min(header_.States, header_.Transitions) : header_.Choices;
    }

    // A line that is not in the usual form: blank, a comment, other blanks
    // between the tokens, or malformed.
    void GeneralLine(const char* begin, const char* end, uint64_t line) {
        if (end != begin && end[-1] == '\r') --end;
        const char* p = begin;
        while (p != end && IsBlank(*p)) ++p;
        if (p == end || *p == '#') return;
        const uint64_t s = IndexToken(p, end, name_, line, "source state");
        const uint64_t c = header_.Dtmc ? 0 : IndexToken(p, end, name_, line, "choice");
        const uint64_t t = IndexToken(p, end, name_, line, "target state");
        const char* valueBegin;
        const char* valueEnd;
        if (!NextToken(p, end, valueBegin, valueEnd)) FailAtLine(name_, line, "missing probability");
        const char* action;
        const char* actionEnd;
        const char* extra;
        const char* extraEnd;
        if (NextToken(p, end, action, actionEnd) && NextToken(p, end, extra, extraEnd)) {
            FailAtLine(name_, line, "unexpected " + Quoted(extra, extraEnd) + " after the action label");
        }
        Add(line, s, c, t, text_.Value(valueBegin, valueEnd, line));
    }

    void Add(uint64_t line, uint64_t s, uint64_t c, uint64_t t, const TransitionValue& value) {
        const uint64_t states = header_.States;
        if (lineCount_ == header_.Transitions) {
            FailAtLine(name_, line, "the header declares " + std::to_string(header_.Transitions) +
                                        " transitions, but the file has more");
        }
        if (s >= states) {
            FailAtLine(name_, line, "source state " + std::to_string(s) + " is out of range (" +
                                        std::to_string(states) + " states)");
        }
        if (t >= states) {
            FailAtLine(name_, line, "target state " + std::to_string(t) + " is out of range (" +
                                        std::to_string(states) + " states)");
        }
        if (!any_ || s != source_ || c != choice_) NewChoice(line, s, c);
        ++lineCount_;
        text_.Add(mdp_, t, value);
    }

    void NewChoice(uint64_t line, uint64_t s, uint64_t c) {
        if (!any_ || s != source_) {
            if (any_ && s < source_) {
                FailAtLine(name_, line, "state " + std::to_string(s) + " follows state " +
                                            std::to_string(source_) +
                                            ": transitions must be sorted by source state");
            }
            if (c != 0) {
                FailAtLine(name_, line, "the first choice of state " + std::to_string(s) + " is numbered " +
                                            std::to_string(c) + "; choices are numbered from 0");
            }
            // A stream's header is not checked against its size: every
            // state before s takes memory, so s may not be beyond the bytes
            // read, as a header may declare at most one state per byte.
            if (!sized_ && s >= lines_.Source().Offset()) {
                FailAtLine(name_, line, "state " + std::to_string(s) + " after only " +
                                            std::to_string(lines_.Source().Offset()) +
                                            " bytes: more states than the text can describe");
            }
        } else if (c != choice_ + 1) {
            FailAtLine(name_, line, "choice " + std::to_string(c) + " of state " + std::to_string(s) +
                                        " follows choice " + std::to_string(choice_) +
                                        ": choices must be numbered consecutively and sorted");
        }
        if (!header_.Dtmc && mdp_.ChoiceTransitionStart.size() == header_.Choices) {
            FailAtLine(name_, line, "the header declares " + std::to_string(header_.Choices) +
                                        " choices, but the file has more");
        }
        if (any_) text_.EndChoice(mdp_);
        while (mdp_.StateChoiceStart.size() <= s) mdp_.StateChoiceStart.push_back(mdp_.ChoiceTransitionStart.size());
        text_.StartChoice(mdp_, line);
        source_ = s;
        choice_ = c;
        any_ = true;
    }

    LineReader& lines_;
    const std::string& name_;
    const Header header_;
    const bool sized_;
    ExplicitMdp& mdp_;
    TransitionText text_;
    uint64_t lineCount_ = 0;
    uint64_t source_ = 0;
    uint64_t choice_ = 0;
    bool any_ = false;
};

void ReadTransitions(TextSource& source, double tolerance, Model& model) {
    LineReader lines(source);
    const Header header = ReadHeader(lines);
    TransitionsReader reader(lines, header, tolerance, model);
    reader.ReadAll();
    reader.Finish(model);
}

// The label positions of the header's indices: the index itself in the
// usual header (0="init" 1="goal" ...), else found by binary search.
class LabelIndices {
public:
    void Add(uint64_t index, std::size_t label) {
        if (identity_ && index == label) return;
        if (identity_) {  // the pairs so far, which it stood for
            identity_ = false;
            for (std::size_t i = 0; i < label; ++i) pairs_.emplace_back(i, i);
        }
        pairs_.emplace_back(index, label);
    }
    // Sorts; the first index declared twice, if any.
    bool Duplicate(uint64_t& index) {
        if (identity_) return false;
        std::sort(pairs_.begin(), pairs_.end());
        for (std::size_t i = 1; i < pairs_.size(); ++i) {
            if (pairs_[i].first == pairs_[i - 1].first) {
                index = pairs_[i].first;
                return true;
            }
        }
        return false;
    }
    // The label of index, or -1.
    int64_t Find(uint64_t index) const {
        if (identity_) return index < count_ ? static_cast<int64_t>(index) : -1;
        const auto found = std::lower_bound(pairs_.begin(), pairs_.end(), std::make_pair(index, std::size_t{0}));
        return found != pairs_.end() && found->first == index ? static_cast<int64_t>(found->second) : -1;
    }

    // The number of labels, in the usual header.
    void SetCount(std::size_t count) { count_ = count; }

private:
    bool identity_ = true;
    std::size_t count_ = 0;
    std::vector<std::pair<uint64_t, std::size_t>> pairs_;  // unless the usual header
};

Labelling ReadLabels(TextSource& source, uint64_t stateCount) {
    const std::string& name = source.Name();
    Labelling labels;
    labels.FileName = name;
    LineReader lines(source);
    const char* begin;
    const char* end;
    if (!lines.NextContent(begin, end)) FailAtLine(name, 0, "no header line of index=\"name\" pairs");
    const uint64_t headerLine = lines.Number();
    labels.HeaderLine = headerLine;
    LabelIndices indices;
    const char* p = begin;
    for (uint64_t declared = 0;; ++declared) {
        PollInterrupt(declared, kReading);
        while (p != end && IsBlank(*p)) ++p;
        if (p == end) break;
        const char* indexBegin = p;
        while (p != end && *p >= '0' && *p <= '9') ++p;
        uint64_t index;
        if (!ParseIndex(indexBegin, p, index) || p == end || *p != '=' || p + 1 == end || p[1] != '"') {
            FailAtLine(name, headerLine, "expected index=\"name\" at " + Quoted(indexBegin, end));
        }
        p += 2;
        const char* nameBegin = p;
        while (p != end && *p != '"') ++p;
        if (p == end) FailAtLine(name, headerLine, "unterminated label name " + Quoted(nameBegin - 1, end));
        const std::string_view labelName(nameBegin, static_cast<std::size_t>(p - nameBegin));
        ++p;
        const int label = AddLabel(labels, labelName);
        if (label < 0) FailAtLine(name, headerLine, "label " + Quoted(labelName) + " is declared twice");
        indices.Add(index, static_cast<std::size_t>(label));
    }
    indices.SetCount(labels.Count());
    uint64_t twice;
    if (indices.Duplicate(twice)) {
        FailAtLine(name, headerLine, "label index " + std::to_string(twice) + " is declared twice");
    }
    const auto add = [&](uint64_t state, uint64_t index, uint64_t line) {
        const int64_t label = indices.Find(index);
        if (label < 0) {
            FailAtLine(name, line, "label index " + std::to_string(index) + " is not declared in the header");
        }
        AddLabelState(labels, static_cast<std::size_t>(label), state, stateCount);
    };
    const auto checkState = [&](uint64_t state, uint64_t line) {
        if (state >= stateCount) {
            FailAtLine(name, line, "state " + std::to_string(state) + " is out of range (" +
                                       std::to_string(stateCount) + " states)");
        }
    };
    // Any line: blank, a comment, other blanks, or malformed.
    const auto general = [&](const char* at, const char* lineEnd, uint64_t line) {
        if (lineEnd != at && lineEnd[-1] == '\r') --lineEnd;
        while (at != lineEnd && IsBlank(*at)) ++at;
        if (at == lineEnd || *at == '#') return;
        const char* stateBegin = at;
        while (at != lineEnd && *at != ':') ++at;
        uint64_t state;
        if (at == lineEnd) FailAtLine(name, line, "expected \"state: label ...\"");
        const char* stateEnd = at;
        while (stateEnd != stateBegin && IsBlank(stateEnd[-1])) --stateEnd;
        if (!ParseIndex(stateBegin, stateEnd, state)) {
            FailAtLine(name, line, "state " + Quoted(stateBegin, stateEnd) + " is not a non-negative integer");
        }
        checkState(state, line);
        ++at;
        const char* tokenBegin;
        const char* tokenEnd;
        while (NextToken(at, lineEnd, tokenBegin, tokenEnd)) {
            uint64_t index;
            if (!ParseIndex(tokenBegin, tokenEnd, index)) {
                FailAtLine(name, line, "label index " + Quoted(tokenBegin, tokenEnd) +
                                           " is not a non-negative integer");
            }
            add(state, index, line);
        }
    };
    while (lines.Rest(p, end)) {
        uint64_t line = lines.Number();
        while (p != end) {
            ++line;
            PollWithProgress(line, kReading, source.Offset(), source.Size(), "bytes");
            // The usual form, "state: index index ...", with single spaces
            // and numbers of at most 15 digits, at most 8 of them.
            uint64_t state;
            uint64_t found[8];
            std::size_t count = 0;
            const char* q = ShortIndex(p, ':', state);
            while (q != nullptr && *q == ' ' && count < 8) q = ShortNumber(q + 1, found[count++]);
            if (q != nullptr && *q == '\n') {
                checkState(state, line);
                for (std::size_t i = 0; i < count; ++i) add(state, found[i], line);
                p = q + 1;
                continue;
            }
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            general(p, newline, line);
            p = newline + 1;
        }
        lines.Skip(p, line - lines.Number());
    }
    CompactLabels(labels, stateCount);
    return labels;
}

void AddLabels(TextSource& source, Model& model) {
    model.Labels = ReadLabels(source, model.Mdp.StateCount);
    model.Initial = InitialStates(model.Labels, model.Mdp.StateCount);
}

// Reads one reward file into rewards: state rewards, or transition rewards
// folded into their choices. declared: the name of its "# Reward structure"
// comment, if it has one.
void ReadRewardText(TextSource& source, bool transitions, Model& model, RewardStructure& rewards,
                    std::optional<std::string>& declared) {
    LineReader lines(source);
    const std::string& name = lines.Name();
    const ExplicitMdp& mdp = model.Mdp;
    const char* begin;
    const char* end;
    uint64_t headerLine = 0;
    while (headerLine == 0 && lines.Next(begin, end)) {
        const char* p = begin;
        while (p != end && IsBlank(*p)) ++p;
        if (p == end) continue;
        if (*p != '#') {
            headerLine = lines.Number();
            break;
        }
        // # Reward structure "time"
        constexpr std::string_view kStructure = "Reward structure";
        std::string_view comment(p + 1, static_cast<std::size_t>(end - p - 1));
        while (!comment.empty() && IsBlank(comment.front())) comment.remove_prefix(1);
        if (comment.substr(0, kStructure.size()) != kStructure) continue;
        const std::size_t open = comment.find('"');
        const std::size_t close = open == std::string_view::npos ? open : comment.find('"', open + 1);
        if (close != std::string_view::npos) declared = std::string(comment.substr(open + 1, close - open - 1));
    }
    const char* what = transitions ? (model.Dtmc ? "\"states entries\"" : "\"states choices entries\"")
                                   : "\"states entries\"";
    if (headerLine == 0) FailAtLine(name, 0, std::string("no header line ") + what);
    const char* p = begin;
    const uint64_t states = IndexToken(p, end, name, headerLine, "number of states");
    const bool choiceColumn = transitions && !model.Dtmc;
    const uint64_t choices = choiceColumn ? IndexToken(p, end, name, headerLine, "number of choices") : 0;
    const uint64_t entries = IndexToken(p, end, name, headerLine, "number of entries");
    const char* token;
    const char* tokenEnd;
    if (NextToken(p, end, token, tokenEnd)) {
        FailAtLine(name, headerLine, "unexpected " + Quoted(token, tokenEnd) + " after the header " + what);
    }
    if (states != mdp.StateCount || (choiceColumn && choices != mdp.ChoiceCount())) {
        FailAtLine(name, headerLine, "the header is for " + std::to_string(states) + " states" +
                                         (choiceColumn ? " and " + std::to_string(choices) + " choices" : "") +
                                         ", but the model has " + std::to_string(mdp.StateCount) + " states" +
                                         (choiceColumn ? " and " + std::to_string(mdp.ChoiceCount()) + " choices" : ""));
    }
    RewardReader reader;
    std::vector<RewardEntry> transitionRewards;
    uint64_t count = 0;
    while (lines.NextContent(begin, end)) {
        const uint64_t line = lines.Number();
        PollInterrupt(count, kReading);
        ++count;
        p = begin;
        const uint64_t s = IndexToken(p, end, name, line, "state");
        if (s >= mdp.StateCount) {
            FailAtLine(name, line, "state " + std::to_string(s) + " is out of range (" +
                                       std::to_string(mdp.StateCount) + " states)");
        }
        uint64_t index = s;
        if (transitions) {
            const uint64_t c = choiceColumn ? IndexToken(p, end, name, line, "choice") : 0;
            const uint64_t t = IndexToken(p, end, name, line, "target state");
            const uint64_t first = mdp.StateChoiceStart[s];
            if (c >= mdp.StateChoiceStart[s + 1] - first) {
                FailAtLine(name, line, "state " + std::to_string(s) + " has no choice " + std::to_string(c));
            }
            const uint64_t choice = first + c;
            index = UINT64_MAX;
            for (uint64_t i = mdp.ChoiceTransitionStart[choice]; i < mdp.ChoiceTransitionStart[choice + 1]; ++i) {
                if (mdp.TransitionTarget[i] == t) index = i;
            }
            if (index == UINT64_MAX) {
                FailAtLine(name, line, "the model has no transition from state " + std::to_string(s) +
                                           (choiceColumn ? " choice " + std::to_string(c) : "") + " to state " +
                                           std::to_string(t));
            }
        }
        if (!NextToken(p, end, token, tokenEnd)) FailAtLine(name, line, "missing reward");
        TransitionValue value;
        if (const char* error = reader.Read(token, tokenEnd, rewards, value)) {
            FailAtLine(name, line, "reward " + Quoted(token, tokenEnd) + " " + error);
        }
        const char* extra;
        const char* extraEnd;
        if (NextToken(p, end, extra, extraEnd)) {
            FailAtLine(name, line, "unexpected " + Quoted(extra, extraEnd) + " after the reward");
        }
        AddReward(transitions ? transitionRewards : rewards.States, index, value);
    }
    if (count != entries) {
        FailAtLine(name, headerLine, "the header declares " + std::to_string(entries) + " entries, but the file has " +
                                         std::to_string(count));
    }
    // Exporters write the lines in order; any order is taken, a second
    // reward for the same state or transition is not.
    std::vector<RewardEntry>& read = transitions ? transitionRewards : rewards.States;
    const auto byIndex = [](const RewardEntry& a, const RewardEntry& b) { return a.Index < b.Index; };
    if (!std::is_sorted(read.begin(), read.end(), byIndex)) std::stable_sort(read.begin(), read.end(), byIndex);
    const auto twice = std::adjacent_find(read.begin(), read.end(),
                                          [](const RewardEntry& a, const RewardEntry& b) { return a.Index == b.Index; });
    if (twice != read.end()) {
        FailAtLine(name, 0, std::string("two rewards for ") + (transitions ? "transition " : "state ") +
                                std::to_string(twice->Index));
    }
    if (transitions) {
        rewards.TransitionRewards = rewards.TransitionRewards || !transitionRewards.empty();
        FoldTransitionRewards(mdp, transitionRewards, rewards);
    } else {
        rewards.StateRewards = !rewards.States.empty();
    }
}

bool IsTransitionRewardFile(const std::string& path) {
    return path.size() >= 5 && path.compare(path.size() - 5, 5, ".trew") == 0;
}

// The rewards of the files, one after the other, into one structure.
template <class Each>
void ReadRewards(Model& model, std::size_t files, Each&& each) {
    if (files == 0) return;
    RewardStructure rewards;
    std::optional<std::string> named;
    std::string namedIn;
    for (std::size_t i = 0; i < files; ++i) {
        std::optional<std::string> declared;
        const std::string file = each(rewards, declared);
        if (!declared) continue;
        if (named && *named != *declared) {
            throw InputError(Printable(file) + ": the reward structure " + Quoted(*declared) + " is not " +
                             Quoted(*named) + " of " + Printable(namedIn) + "; give the files of one structure");
        }
        named = declared;
        namedIn = file;
    }
    rewards.Name = named.value_or("");
    model.Rewards.push_back(std::move(rewards));
}

}  // namespace

void ParseTransitions(std::string_view text, const std::string& name, double tolerance, Model& model) {
    TextSource source(text, name);
    ReadTransitions(source, tolerance, model);
}

Labelling ParseLabels(std::string_view text, const std::string& name, uint64_t stateCount) {
    TextSource source(text, name);
    return ReadLabels(source, stateCount);
}

Model ParseTra(std::string_view transitions, const std::string& transitionsName, std::string_view labels,
               const std::string& labelsName, double tolerance) {
    Model model;
    ParseTransitions(transitions, transitionsName, tolerance, model);
    TextSource source(labels, labelsName);
    AddLabels(source, model);
    return model;
}

void ReadRewardFiles(const std::vector<std::string>& paths, Model& model) {
    std::size_t next = 0;
    ReadRewards(model, paths.size(), [&](RewardStructure& rewards, std::optional<std::string>& declared) {
        const std::string& path = paths[next++];
        TextSource source(path);
        ReadRewardText(source, IsTransitionRewardFile(path), model, rewards, declared);
        return path;
    });
}

void ParseRewards(std::string_view text, const std::string& name, bool transitions, Model& model) {
    ReadRewards(model, 1, [&](RewardStructure& rewards, std::optional<std::string>& declared) {
        TextSource source(text, name);
        ReadRewardText(source, transitions, model, rewards, declared);
        return name;
    });
}

Model ReadTra(const std::string& transitionsPath, const std::string& labelsPath, double tolerance,
              const std::vector<std::string>& rewardPaths) {
    Model model;
    {
        TextSource source(transitionsPath);
        ReadTransitions(source, tolerance, model);
    }
    {
        TextSource source(labelsPath);
        AddLabels(source, model);
    }
    ReadRewardFiles(rewardPaths, model);
    return model;
}

}  // namespace iicheck
