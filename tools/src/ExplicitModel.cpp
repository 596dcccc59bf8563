#include "ExplicitModel.hpp"

#include "ExactValue.hpp"
#include "Interrupt.hpp"
#include "Progress.hpp"
#include "Text.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace iicheck {
namespace {

// Far more than fits in memory with one choice each, small enough that the
// per-state arrays can be allocated.
constexpr uint64_t kMaxStates = uint64_t{1} << 34;

constexpr const char* kReading = "reading";

// "name:line" for messages.
std::string Place(const std::string& name, uint64_t line) {
    return line != 0 ? Printable(name) + ":" + std::to_string(line) : Printable(name);
}

[[noreturn]] void Fail(const std::string& name, uint64_t line, const std::string& text) {
    throw InputError(Place(name, line) + ": " + text);
}

std::string Quoted(const char* begin, const char* end) {
    return iicheck::Quoted(std::string_view(begin, static_cast<std::size_t>(end - begin)));
}

std::string Number(double value, const char* format = "%.3g") {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Lines of a text, numbered from 1, without their line ending.
class Lines {
public:
    explicit Lines(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    bool Next(const char*& begin, const char*& end) {
        if (p_ == end_) return false;
        ++number_;
        begin = p_;
        const char* newline =
            static_cast<const char*>(std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_)));
        end = newline != nullptr ? newline : end_;
        p_ = newline != nullptr ? newline + 1 : end_;
        if (end != begin && end[-1] == '\r') --end;
        return true;
    }

    // Skips blank and '#' comment lines; false at the end of the text.
    bool NextContent(const char*& begin, const char*& end) {
        while (Next(begin, end)) {
            const char* p = begin;
            while (p != end && (*p == ' ' || *p == '\t')) ++p;
            if (p != end && *p != '#') return true;
        }
        return false;
    }

    uint64_t Number() const { return number_; }

private:
    const char* p_;
    const char* end_;
    uint64_t number_ = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The next whitespace-separated token of [p, end); false when none is left.
bool NextToken(const char*& p, const char* end, const char*& begin, const char*& tokenEnd) {
    while (p != end && IsBlank(*p)) ++p;
    if (p == end) return false;
    begin = p;
    while (p != end && !IsBlank(*p)) ++p;
    tokenEnd = p;
    return true;
}

bool ParseIndex(const char* begin, const char* end, uint64_t& value) {
    if (begin == end) return false;
    value = 0;
    for (const char* p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// Reads the next token of a line as an index; what names it in messages.
uint64_t IndexToken(const char*& p, const char* end, const std::string& name, uint64_t line,
                    const char* what) {
    const char* begin;
    const char* tokenEnd;
    if (!NextToken(p, end, begin, tokenEnd)) {
        Fail(name, line, std::string("missing ") + what);
    }
    uint64_t value;
    if (!ParseIndex(begin, tokenEnd, value)) {
        Fail(name, line, std::string(what) + " " + Quoted(begin, tokenEnd) +
                             " is not a non-negative integer");
    }
    return value;
}

// The source state and the choice number of a transition line.
void SourceAndChoice(const char*& p, const char* end, const std::string& name, uint64_t line,
                     uint64_t& source, uint64_t& choice) {
    source = IndexToken(p, end, name, line, "source state");
    choice = IndexToken(p, end, name, line, "choice");
}

// The line on which a choice (numbered from 0 over the whole file) starts,
// in a text that ParseTransitions has read.
uint64_t ChoiceLine(std::string_view text, const std::string& name, uint64_t choice) {
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
        SourceAndChoice(begin, end, name, lines.Number(), s, c);  // advances begin
        if (seen == 0 || s != source || c != number) {
            if (seen++ == choice) return lines.Number();
            source = s;
            number = c;
        }
    }
    return 0;
}

}  // namespace

Deviations CheckStochastic(const ExplicitMdp& mdp, double tolerance, const ChoiceLocator& locate) {
    Deviations deviations;
    for (uint64_t c = 0; c < mdp.ChoiceCount(); ++c) {
        PollWithProgress(c, kReading, c, mdp.ChoiceCount(), "choices checked");
        const uint64_t first = mdp.ChoiceTransitionStart[c];
        const uint64_t count = mdp.ChoiceTransitionStart[c + 1] - first;
        const TransitionValue* values = mdp.TransitionValues.data() + first;
        for (uint64_t i = 0; i < count; ++i) {
            if (!IsProbability(values[i])) {
                throw InputError(locate(c) + ": the choice that starts here holds a value that is "
                                             "not a probability (about " +
                                 Number(ApproximateValue(values[i])) + ")");
            }
        }
        if (count == 0) {
            throw InputError(locate(c) + ": the choice that starts here has no transition with a "
                                         "positive probability");
        }
        const SumComparison sum = CompareSumWithOne(values, count, tolerance);
        if (sum.Exact) continue;
        if (!sum.WithinTolerance) {
            throw InputError(locate(c) + ": the probabilities of the choice that starts here sum "
                                         "to " + Number(1.0 + sum.Deviation, "%.15g") + ", " +
                             Number(std::fabs(sum.Deviation)) +
                             (sum.Deviation < 0 ? " below" : " above") +
                             " 1: more than the tolerance " + Number(tolerance) +
                             " (see --sum-tolerance)");
        }
        if (deviations.Count++ == 0) deviations.FirstChoice = c;
        if (std::fabs(sum.Deviation) > std::fabs(deviations.Largest)) deviations.Largest = sum.Deviation;
    }
    return deviations;
}

std::string DeviationNote(const Deviations& deviations, double tolerance,
                          const ChoiceLocator& locate) {
    if (deviations.Count == 0) return "";
    return locate(deviations.FirstChoice) + ": " + std::to_string(deviations.Count) +
           (deviations.Count == 1 ? " choice (it starts here) sums" : " choices (the first starts here) sum") +
           " to 1 within " + Number(tolerance) + " but not exactly (largest deviation " +
           Number(deviations.Largest) + "); the probabilities are used as written";
}

ExplicitMdp ParseTransitions(std::string_view text, const std::string& name, double tolerance,
                             std::vector<std::string>& notes) {
    const ProgressPhase phase(kReading);
    Lines lines(text);
    const char* begin;
    const char* end;
    if (!lines.NextContent(begin, end)) {
        Fail(name, 0, "no header line \"states choices transitions\"");
    }
    const uint64_t headerLine = lines.Number();
    const char* p = begin;
    const uint64_t states = IndexToken(p, end, name, headerLine, "number of states");
    const uint64_t choices = IndexToken(p, end, name, headerLine, "number of choices");
    const uint64_t transitions = IndexToken(p, end, name, headerLine, "number of transitions");
    const char* extra;
    const char* extraEnd;
    if (NextToken(p, end, extra, extraEnd)) {
        Fail(name, headerLine,
             "unexpected " + Quoted(extra, extraEnd) +
                 " after the header \"states choices transitions\"");
    }
    if (states == 0) Fail(name, headerLine, "the header declares no states");
    // Nothing is allocated for what the text cannot hold. A transition line
    // takes at least 8 bytes ("0 0 0 1\n"), and every choice at least one
    // line; a state without choices takes no line, but every state costs
    // the precomputation tens of bytes, so a header may declare at most one
    // state per byte of the file.
    const std::string size = std::to_string(text.size());
    const uint64_t lineBound = text.size() / 8 + 1;
    if (states > text.size() || states > kMaxStates) {
        Fail(name, headerLine, "the header declares " + std::to_string(states) +
                                   " states, more than a file of " + size + " bytes can describe");
    }
    if (choices > lineBound || transitions > lineBound) {
        Fail(name, headerLine,
             "the header declares " +
                 (choices > lineBound ? std::to_string(choices) + " choices"
                                      : std::to_string(transitions) + " transitions") +
                 ", more than a file of " + size + " bytes can hold");
    }

    ExplicitMdp mdp;
    mdp.StateCount = states;
    mdp.StateChoiceStart.resize(states + 1);
    mdp.ChoiceTransitionStart.reserve(choices + 1);
    mdp.TransitionTarget.reserve(transitions);
    mdp.TransitionValues.reserve(transitions);

    uint64_t nextState = 0;  // first state whose choice start is not yet set
    uint64_t source = 0;
    uint64_t choice = 0;
    uint64_t lineCount = 0;
    bool any = false;
    while (lines.NextContent(begin, end)) {
        PollWithProgress(lineCount, kReading, static_cast<uint64_t>(end - text.data()), text.size(), "bytes");
        const uint64_t line = lines.Number();
        p = begin;
        uint64_t s;
        uint64_t c;
        SourceAndChoice(p, end, name, line, s, c);
        const uint64_t t = IndexToken(p, end, name, line, "target state");
        const char* valueBegin;
        const char* valueEnd;
        if (!NextToken(p, end, valueBegin, valueEnd)) Fail(name, line, "missing probability");
        const char* action;
        const char* actionEnd;
        if (NextToken(p, end, action, actionEnd) && NextToken(p, end, extra, extraEnd)) {
            Fail(name, line, "unexpected " + Quoted(extra, extraEnd) + " after the action label");
        }
        if (s >= states) {
            Fail(name, line, "source state " + std::to_string(s) + " is out of range (" +
                                 std::to_string(states) + " states)");
        }
        if (t >= states) {
            Fail(name, line, "target state " + std::to_string(t) + " is out of range (" +
                                 std::to_string(states) + " states)");
        }
        bool newChoice = false;
        if (!any || s != source) {
            if (any && s < source) {
                Fail(name, line, "state " + std::to_string(s) + " follows state " +
                                     std::to_string(source) +
                                     ": transitions must be sorted by source state");
            }
            if (c != 0) {
                Fail(name, line, "the first choice of state " + std::to_string(s) +
                                     " is numbered " + std::to_string(c) +
                                     "; choices are numbered from 0");
            }
            newChoice = true;
        } else if (c == choice + 1) {
            newChoice = true;
        } else if (c != choice) {
            Fail(name, line, "choice " + std::to_string(c) + " of state " + std::to_string(s) +
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
        TransitionValue value;
        const ValueError error = ParseProbability(valueBegin, valueEnd, value);
        if (error != ValueError::None) {
            Fail(name, line, "probability " + Quoted(valueBegin, valueEnd) + " " + Describe(error));
        }
        ++lineCount;
        if (IsZero(value)) continue;  // no transition at all
        mdp.TransitionTarget.push_back(t);
        mdp.TransitionValues.push_back(value);
    }
    while (nextState <= states) mdp.StateChoiceStart[nextState++] = mdp.ChoiceTransitionStart.size();
    mdp.ChoiceTransitionStart.push_back(mdp.TransitionTarget.size());

    if (mdp.ChoiceCount() != choices) {
        Fail(name, headerLine, "the header declares " + std::to_string(choices) +
                                   " choices, but the file has " +
                                   std::to_string(mdp.ChoiceCount()));
    }
    if (lineCount != transitions) {
        Fail(name, headerLine, "the header declares " + std::to_string(transitions) +
                                   " transitions, but the file has " + std::to_string(lineCount));
    }
    const ChoiceLocator locate = [&](uint64_t c) {
        return Place(name, ChoiceLine(text, name, c));
    };
    const std::string note = DeviationNote(CheckStochastic(mdp, tolerance, locate), tolerance, locate);
    if (!note.empty()) notes.push_back(note);
    return mdp;
}

int Labelling::Find(std::string_view name) const {
    const auto found = Index.find(name);
    return found == Index.end() ? -1 : static_cast<int>(found->second);
}

std::string Labelling::NameList() const {
    std::string list;
    for (const Label& label : Labels) {
        if (!list.empty()) list += ", ";
        list += Printable(label.Name);
    }
    return list;
}

int AddLabel(Labelling& labels, std::string_view name) {
    if (!labels.Index.emplace(std::string(name), labels.Labels.size()).second) return -1;
    labels.Labels.push_back({std::string(name), {}, {}});
    return static_cast<int>(labels.Labels.size() - 1);
}

namespace {

// bits |= the states of label, over stateCount states.
void AddStates(const Label& label, uint64_t stateCount, std::vector<uint64_t>& bits) {
    const std::size_t words = std::min(bits.size(), label.Bits.size());
    for (std::size_t w = 0; w < words; ++w) bits[w] |= label.Bits[w];
    if (stateCount % 64 != 0 && !bits.empty()) bits.back() &= (uint64_t{1} << (stateCount % 64)) - 1;
    for (const uint64_t state : label.States) {
        if (state < stateCount) SetBit(bits, state);
    }
}

}  // namespace

std::size_t RequireLabel(const Labelling& labels, std::string_view name) {
    const int index = labels.Find(name);
    if (index < 0) {
        Fail(labels.FileName, labels.HeaderLine,
             "no label " + iicheck::Quoted(name) + "; the labels are: " + labels.NameList());
    }
    return static_cast<std::size_t>(index);
}

std::vector<uint64_t> LabelStates(const Labelling& labels, std::size_t label, uint64_t stateCount) {
    std::vector<uint64_t> bits = EmptyBits(stateCount);
    AddStates(labels.Labels[label], stateCount, bits);
    return bits;
}

Labelling ParseLabels(std::string_view text, const std::string& name, uint64_t stateCount) {
    Labelling labels;
    labels.FileName = name;
    Lines lines(text);
    const char* begin;
    const char* end;
    if (!lines.NextContent(begin, end)) Fail(name, 0, "no header line of index=\"name\" pairs");
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
            Fail(name, headerLine, "expected index=\"name\" at " + Quoted(indexBegin, end));
        }
        p += 2;
        const char* nameBegin = p;
        while (p != end && *p != '"') ++p;
        if (p == end) Fail(name, headerLine, "unterminated label name " + Quoted(nameBegin - 1, end));
        const std::string_view labelName(nameBegin, static_cast<std::size_t>(p - nameBegin));
        ++p;
        if (!slotOfIndex.emplace(index, labels.Labels.size()).second) {
            Fail(name, headerLine, "label index " + std::to_string(index) + " is declared twice");
        }
        if (AddLabel(labels, labelName) < 0) {
            Fail(name, headerLine, "label " + iicheck::Quoted(labelName) + " is declared twice");
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
        if (p == end) Fail(name, line, "expected \"state: label ...\"");
        const char* stateEnd = p;
        while (stateEnd != stateBegin && IsBlank(stateEnd[-1])) --stateEnd;
        if (!ParseIndex(stateBegin, stateEnd, state)) {
            Fail(name, line, "state " + Quoted(stateBegin, stateEnd) + " is not a non-negative integer");
        }
        if (state >= stateCount) {
            Fail(name, line, "state " + std::to_string(state) + " is out of range (" +
                                 std::to_string(stateCount) + " states)");
        }
        ++p;
        const char* tokenBegin;
        const char* tokenEnd;
        while (NextToken(p, end, tokenBegin, tokenEnd)) {
            uint64_t index;
            if (!ParseIndex(tokenBegin, tokenEnd, index)) {
                Fail(name, line, "label index " + Quoted(tokenBegin, tokenEnd) +
                                     " is not a non-negative integer");
            }
            const auto slot = slotOfIndex.find(index);
            if (slot == slotOfIndex.end()) {
                Fail(name, line, "label index " + std::to_string(index) +
                                     " is not declared in the header");
            }
            labels.Labels[slot->second].States.push_back(state);
        }
    }
    return labels;
}

std::vector<uint64_t> StatesWithAnyLabel(const Labelling& labels, std::string_view list,
                                         uint64_t stateCount) {
    std::vector<uint64_t> states = EmptyBits(stateCount);
    std::size_t start = 0;
    while (true) {
        const std::size_t bar = list.find('|', start);
        std::string_view label = list.substr(start, bar == std::string_view::npos ? bar : bar - start);
        while (!label.empty() && (label.front() == ' ' || label.front() == '"')) label.remove_prefix(1);
        while (!label.empty() && (label.back() == ' ' || label.back() == '"')) label.remove_suffix(1);
        AddStates(labels.Labels[RequireLabel(labels, label)], stateCount, states);
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    return states;
}

uint64_t InitialState(const Labelling& labels, uint64_t stateCount) {
    const int index = labels.Find("init");
    if (index < 0) {
        Fail(labels.FileName, labels.HeaderLine, "no label \"init\" marks the initial state");
    }
    const std::vector<uint64_t> members =
        LabelStates(labels, static_cast<std::size_t>(index), stateCount);
    uint64_t count = 0;
    uint64_t initial = 0;
    for (std::size_t w = 0; w < members.size(); ++w) {
        if (members[w] == 0) continue;
        if (count == 0) initial = 64 * w + static_cast<uint64_t>(__builtin_ctzll(members[w]));
        count += static_cast<uint64_t>(__builtin_popcountll(members[w]));
    }
    if (count != 1) {
        Fail(labels.FileName, 0,
             count == 0 ? std::string("no state carries the label \"init\"")
                        : std::to_string(count) + " states carry the label \"init\"; this tool "
                                                  "needs exactly one initial state");
    }
    return initial;
}

FileText::FileText(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw InputError(Printable(path) + ": cannot open: " + std::strerror(errno));
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        void* map = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ,
                           MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (map != MAP_FAILED) {
            data_ = static_cast<const char*>(map);
            size_ = static_cast<std::size_t>(info.st_size);
            mapped_ = true;
            ::madvise(map, size_, MADV_SEQUENTIAL);
            ::close(fd);
            return;
        }
    }
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        throw InputError(Printable(path) + ": is a directory");
    }
    // A pipe or a device, read in chunks; a stop is looked for between them.
    char chunk[1 << 16];
    while (true) {
        if (InterruptRequested()) {
            ::close(fd);
            throw Interrupted(kReading);
        }
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            throw InputError(Printable(path) + ": cannot read: " + std::strerror(error));
        }
        if (got == 0) break;
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    data_ = buffer_.data();
    size_ = buffer_.size();
}

FileText::~FileText() {
    if (mapped_) ::munmap(const_cast<char*>(data_), size_);
}

}  // namespace iicheck
