#include "formats/TraReader.hpp"

#include "model/ExactValue.hpp"
#include "model/TextLines.hpp"
#include "support/Interrupt.hpp"
#include "support/LargeArrays.hpp"
#include "support/Progress.hpp"

#include <map>

namespace iicheck {
namespace {

// The source state and the choice number of a transition line; a DTMC's
// lines have no choice number (its choice is 0).
void SourceAndChoice(const char*& p, const char* end, const std::string& name, uint64_t line, bool dtmc,
                     uint64_t& source, uint64_t& choice) {
    source = IndexToken(p, end, name, line, "source state");
    choice = dtmc ? 0 : IndexToken(p, end, name, line, "choice");
}

// The line on which a choice (numbered from 0 over the whole file) starts,
// in a text that ParseTransitions has read.
uint64_t ChoiceLine(std::string_view text, const std::string& name, bool dtmc, uint64_t choice) {
    Lines lines(text);
    const char* begin;
    const char* end;
    lines.NextContent(begin, end);  // the header
    uint64_t seen = 0;
    uint64_t source = 0;
    uint64_t number = 0;
    while (lines.NextContent(begin, end)) {
        uint64_t s;
        uint64_t c;
        SourceAndChoice(begin, end, name, lines.Number(), dtmc, s, c);  // advances begin
        if (seen == 0 || s != source || c != number) {
            if (seen++ == choice) return lines.Number();
            source = s;
            number = c;
        }
    }
    return 0;
}

}  // namespace

void ParseTransitions(std::string_view text, const std::string& name, double tolerance, Model& model) {
    Lines lines(text);
    const char* begin;
    const char* end;
    if (!lines.NextContent(begin, end)) {
        FailAtLine(name, 0,
                   "no header line \"states choices transitions\" (MDP) or \"states transitions\" (DTMC)");
    }
    const uint64_t headerLine = lines.Number();
    const char* p = begin;
    const uint64_t states = IndexToken(p, end, name, headerLine, "number of states");
    // "states transitions" is a DTMC's header, "states choices transitions"
    // an MDP's.
    const char* look = p;
    const char* token;
    const char* tokenEnd;
    const bool dtmc = !(NextToken(look, end, token, tokenEnd) && NextToken(look, end, token, tokenEnd));
    const uint64_t choices = dtmc ? 0 : IndexToken(p, end, name, headerLine, "number of choices");
    const uint64_t transitions = IndexToken(p, end, name, headerLine, "number of transitions");
    const char* extra;
    const char* extraEnd;
    if (NextToken(p, end, extra, extraEnd)) {
        FailAtLine(name, headerLine,
                   "unexpected " + Quoted(extra, extraEnd) + " after the header's counts");
    }
    if (states == 0) FailAtLine(name, headerLine, "the header declares no states");
    // Nothing is allocated for what the text cannot hold. A transition line
    // takes at least 8 bytes ("0 0 0 1\n", a DTMC's 6), and every choice at
    // least one line; a state without choices takes no line, but every state
    // costs the precomputation tens of bytes, so a header may declare at most
    // one state per byte of the file.
    const std::string size = std::to_string(text.size());
    const uint64_t lineBound = text.size() / (dtmc ? 6 : 8) + 1;
    if (states > text.size() || states > kMaxStates) {
        FailAtLine(name, headerLine, "the header declares " + std::to_string(states) +
                                         " states, more than a file of " + size + " bytes can describe");
    }
    if (choices > lineBound || transitions > lineBound) {
        FailAtLine(name, headerLine,
                   "the header declares " +
                       (choices > lineBound ? std::to_string(choices) + " choices"
                                            : std::to_string(transitions) + " transitions") +
                       ", more than a file of " + size + " bytes can hold");
    }

    model.Dtmc = dtmc;
    ExplicitMdp& mdp = model.Mdp;
    mdp = ExplicitMdp();
    mdp.StateCount = states;
    ReserveLarge(mdp.StateChoiceStart, states + 1);
    mdp.StateChoiceStart.resize(states + 1);
    ReserveLarge(mdp.ChoiceTransitionStart, (dtmc ? std::min(states, transitions) : choices) + 1);
    ReserveLarge(mdp.TransitionTarget, transitions);
    ReserveLarge(mdp.TransitionValues, transitions);

    uint64_t nextState = 0;  // first state whose choice start is not yet set
    uint64_t source = 0;
    uint64_t choice = 0;
    uint64_t lineCount = 0;
    bool any = false;
    PrintedValues printed;
    while (lines.NextContent(begin, end)) {
        PollWithProgress(lineCount, kReading, static_cast<uint64_t>(end - text.data()), text.size(), "bytes");
        const uint64_t line = lines.Number();
        p = begin;
        uint64_t s;
        uint64_t c;
        SourceAndChoice(p, end, name, line, dtmc, s, c);
        const uint64_t t = IndexToken(p, end, name, line, "target state");
        const char* valueBegin;
        const char* valueEnd;
        if (!NextToken(p, end, valueBegin, valueEnd)) FailAtLine(name, line, "missing probability");
        const char* action;
        const char* actionEnd;
        if (NextToken(p, end, action, actionEnd) && NextToken(p, end, extra, extraEnd)) {
            FailAtLine(name, line, "unexpected " + Quoted(extra, extraEnd) + " after the action label");
        }
        if (s >= states) {
            FailAtLine(name, line, "source state " + std::to_string(s) + " is out of range (" +
                                       std::to_string(states) + " states)");
        }
        if (t >= states) {
            FailAtLine(name, line, "target state " + std::to_string(t) + " is out of range (" +
                                       std::to_string(states) + " states)");
        }
        bool newChoice = false;
        if (!any || s != source) {
            if (any && s < source) {
                FailAtLine(name, line, "state " + std::to_string(s) + " follows state " +
                                           std::to_string(source) +
                                           ": transitions must be sorted by source state");
            }
            if (c != 0) {
                FailAtLine(name, line, "the first choice of state " + std::to_string(s) +
                                           " is numbered " + std::to_string(c) +
                                           "; choices are numbered from 0");
            }
            newChoice = true;
        } else if (c == choice + 1) {
            newChoice = true;
        } else if (c != choice) {
            FailAtLine(name, line, "choice " + std::to_string(c) + " of state " + std::to_string(s) +
                                       " follows choice " + std::to_string(choice) +
                                       ": choices must be numbered consecutively and sorted");
        }
        if (newChoice) {
            while (nextState <= s) mdp.StateChoiceStart[nextState++] = mdp.ChoiceTransitionStart.size();
            mdp.ChoiceTransitionStart.push_back(mdp.TransitionTarget.size());
            source = s;
            choice = c;
            any = true;
        }
        const TransitionValue value = ProbabilityToken(valueBegin, valueEnd, name, line, printed);
        ++lineCount;
        if (IsZero(value)) continue;  // no transition at all
        mdp.TransitionTarget.push_back(t);
        mdp.TransitionValues.push_back(value);
    }
    while (nextState <= states) mdp.StateChoiceStart[nextState++] = mdp.ChoiceTransitionStart.size();
    mdp.ChoiceTransitionStart.push_back(mdp.TransitionTarget.size());

    if (!dtmc && mdp.ChoiceCount() != choices) {
        FailAtLine(name, headerLine, "the header declares " + std::to_string(choices) +
                                         " choices, but the file has " + std::to_string(mdp.ChoiceCount()));
    }
    if (lineCount != transitions) {
        FailAtLine(name, headerLine, "the header declares " + std::to_string(transitions) +
                                         " transitions, but the file has " + std::to_string(lineCount));
    }
    const std::string note = PrintedNote(printed, name);
    if (!note.empty()) model.Notes.push_back(note);
    CheckChoices(model, tolerance,
                 [&](uint64_t c) { return Place(name, ChoiceLine(text, name, dtmc, c)); });
}

Labelling ParseLabels(std::string_view text, const std::string& name, uint64_t stateCount) {
    Labelling labels;
    labels.FileName = name;
    Lines lines(text);
    const char* begin;
    const char* end;
    if (!lines.NextContent(begin, end)) FailAtLine(name, 0, "no header line of index=\"name\" pairs");
    const uint64_t headerLine = lines.Number();
    labels.HeaderLine = headerLine;
    std::map<uint64_t, std::size_t> slotOfIndex;
    const char* p = begin;
    for (uint64_t declared = 0;; ++declared) {
        PollInterrupt(declared, kReading);
        while (p != end && IsBlank(*p)) ++p;
        if (p == end) break;
        const char* indexBegin = p;
        while (p != end && *p >= '0' && *p <= '9') ++p;
        uint64_t index;
        if (!ParseIndex(indexBegin, p, index) || p == end || *p != '=' || p + 1 == end ||
            p[1] != '"') {
            FailAtLine(name, headerLine, "expected index=\"name\" at " + Quoted(indexBegin, end));
        }
        p += 2;
        const char* nameBegin = p;
        while (p != end && *p != '"') ++p;
        if (p == end) FailAtLine(name, headerLine, "unterminated label name " + Quoted(nameBegin - 1, end));
        const std::string_view labelName(nameBegin, static_cast<std::size_t>(p - nameBegin));
        ++p;
        if (!slotOfIndex.emplace(index, labels.Labels.size()).second) {
            FailAtLine(name, headerLine, "label index " + std::to_string(index) + " is declared twice");
        }
        if (AddLabel(labels, labelName) < 0) {
            FailAtLine(name, headerLine, "label " + Quoted(labelName) + " is declared twice");
        }
    }
    for (uint64_t count = 0; lines.NextContent(begin, end); ++count) {
        PollInterrupt(count, kReading);
        const uint64_t line = lines.Number();
        p = begin;
        while (p != end && IsBlank(*p)) ++p;
        const char* stateBegin = p;
        while (p != end && *p != ':') ++p;
        uint64_t state;
        if (p == end) FailAtLine(name, line, "expected \"state: label ...\"");
        const char* stateEnd = p;
        while (stateEnd != stateBegin && IsBlank(stateEnd[-1])) --stateEnd;
        if (!ParseIndex(stateBegin, stateEnd, state)) {
            FailAtLine(name, line, "state " + Quoted(stateBegin, stateEnd) + " is not a non-negative integer");
        }
        if (state >= stateCount) {
            FailAtLine(name, line, "state " + std::to_string(state) + " is out of range (" +
                                 std::to_string(stateCount) + " states)");
        }
        ++p;
        const char* tokenBegin;
        const char* tokenEnd;
        while (NextToken(p, end, tokenBegin, tokenEnd)) {
            uint64_t index;
            if (!ParseIndex(tokenBegin, tokenEnd, index)) {
                FailAtLine(name, line, "label index " + Quoted(tokenBegin, tokenEnd) +
                                     " is not a non-negative integer");
            }
            const auto slot = slotOfIndex.find(index);
            if (slot == slotOfIndex.end()) {
                FailAtLine(name, line, "label index " + std::to_string(index) +
                                     " is not declared in the header");
            }
            AddLabelState(labels.Labels[slot->second], state, stateCount);
        }
    }
    return labels;
}

namespace {

void AddLabels(std::string_view text, const std::string& name, Model& model) {
    model.Labels = ParseLabels(text, name, model.Mdp.StateCount);
    model.Initial = InitialStates(model.Labels, model.Mdp.StateCount);
}

}  // namespace

Model ParseTra(std::string_view transitions, const std::string& transitionsName, std::string_view labels,
               const std::string& labelsName, double tolerance) {
    Model model;
    ParseTransitions(transitions, transitionsName, tolerance, model);
    AddLabels(labels, labelsName, model);
    return model;
}

Model ReadTra(const std::string& transitionsPath, const std::string& labelsPath, double tolerance) {
    Model model;
    {
        const FileText text(transitionsPath);
        ParseTransitions(text.Text(), transitionsPath, tolerance, model);
    }
    const FileText text(labelsPath);
    AddLabels(text.Text(), labelsPath, model);
    return model;
}

}  // namespace iicheck
