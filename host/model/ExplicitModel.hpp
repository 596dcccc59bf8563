// An explicit MDP as the readers of every file format deliver it (a DTMC is
// an MDP with one choice per state), its labels, the check of its choices
// that every reader runs, and the mapping of files.
#pragma once

#include "IntervalIteration.h"

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace iicheck {

// A malformed or unusable input, with a one-line text that names the file
// and, where there is one, the line: "model.tra:12: ...". Everything in it
// that comes from the input has passed through Printable (Text.hpp).
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Transitions as read, in compressed sparse layout. Values are exact
// (see ExactValue.hpp); lines with probability 0 are no transitions and are
// left out (CheckStochastic refuses a choice left without any).
struct ExplicitMdp {
    uint64_t StateCount = 0;
    std::vector<uint64_t> StateChoiceStart;       // StateCount + 1 entries
    std::vector<uint64_t> ChoiceTransitionStart;  // ChoiceCount() + 1 entries
    std::vector<uint64_t> TransitionTarget;
    std::vector<TransitionValue> TransitionValues;

    uint64_t ChoiceCount() const { return ChoiceTransitionStart.size() - 1; }
    uint64_t TransitionCount() const { return TransitionTarget.size(); }
};

// How far the exact sum of a choice's probabilities may be from 1 by
// default. Printed binary64 values miss 1 by about 1e-17; a sum of 0.93 or
// 1.8 is a broken file.
constexpr double kDefaultSumTolerance = 1e-9;

// Where a choice is written, for messages: "model.tra:12". Called only to
// report, so a reader may find the place by scanning its input again.
using ChoiceLocator = std::function<std::string(uint64_t choice)>;

// The choices whose probabilities sum to 1 within the tolerance, but not
// exactly.
struct Deviations {
    uint64_t Count = 0;
    uint64_t FirstChoice = 0;
    double Largest = 0;  // the deviation (sum - 1) of the largest magnitude
};

// The check that every reader runs on the model it built: every value is a
// probability and the probabilities of every choice sum to 1 within
// tolerance, compared exactly as rationals. An InputError names the first
// choice that fails, at locate(choice); choices within the tolerance are
// counted. Polls for an interrupt.
Deviations CheckStochastic(const ExplicitMdp& mdp, double tolerance, const ChoiceLocator& locate);

// The one note that reports the counted choices, or "" when there are none.
std::string DeviationNote(const Deviations& deviations, double tolerance,
                          const ChoiceLocator& locate);

// One label of a model. A text reader records its states one by one
// (AddLabelState): in States, or in a bitset over all states in Bits once
// that is smaller; a binary reader hands over a ready bitset in Bits. Both
// may be empty.
struct Label {
    std::string Name;
    std::vector<uint64_t> States;
    std::vector<uint64_t> Bits;
};

// The labels of a model. Only the labels a property names become bitsets
// (LabelStates), so that memory follows what the file holds, not the number
// of labels times the number of states.
struct Labelling {
    std::string FileName;      // where the labels are declared, for messages
    uint64_t HeaderLine = 0;
    // Whether the format lists every label of the model, empty ones too
    // (.lab, UMB); DRN names only the labels that some state carries.
    bool Declared = true;
    std::vector<Label> Labels;                                // as declared
    std::map<std::string, std::size_t, std::less<>> Index;    // name -> position in Labels

    // Position of the label, or -1.
    int Find(std::string_view name) const;
    // The label names, comma-separated, for messages: the first few and how
    // many more (NameList in Text.hpp).
    std::string NameList() const;
};

// Declares a label and returns its position; -1, and nothing declared, when
// the name is taken.
int AddLabel(Labelling& labels, std::string_view name);

// Records that state (below stateCount) carries the label.
void AddLabelState(Label& label, uint64_t state, uint64_t stateCount);

// The states of a label as a bitset over stateCount states.
std::vector<uint64_t> LabelStates(const Labelling& labels, std::size_t label, uint64_t stateCount);

// The states of the label called name, as a bitset over stateCount states.
// A name the model does not have is an InputError when its format declares
// its labels; otherwise (DRN) it is an empty label, with a note.
// "deadlock", which exporters leave out when no state has it, is an empty
// label in every format.
std::vector<uint64_t> LabelNamed(const Labelling& labels, std::string_view name, uint64_t stateCount,
                                 std::vector<std::string>& notes);

// The union of the labels named in a '|'-separated list ("goal|done"), as a
// bitset over stateCount states; each name as LabelNamed.
std::vector<uint64_t> StatesWithAnyLabel(const Labelling& labels, std::string_view list,
                                         uint64_t stateCount, std::vector<std::string>& notes);

// The states labelled "init", ascending; an InputError when there are none.
std::vector<uint64_t> InitialStates(const Labelling& labels, uint64_t stateCount);

// A file's contents, memory-mapped when possible. InputError when it cannot
// be read.
class FileText {
public:
    explicit FileText(const std::string& path);
    ~FileText();
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;
    std::string_view Text() const { return {data_, size_}; }

private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
    std::string buffer_;
};

inline bool TestBit(const std::vector<uint64_t>& bits, uint64_t index) {
    return (bits[index >> 6] >> (index & 63)) & 1;
}
inline void SetBit(std::vector<uint64_t>& bits, uint64_t index) {
    bits[index >> 6] |= uint64_t{1} << (index & 63);
}
inline std::vector<uint64_t> EmptyBits(uint64_t count) {
    return std::vector<uint64_t>((count + 63) / 64, 0);
}

}  // namespace iicheck
