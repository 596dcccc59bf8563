// An explicit MDP as the readers of every file format deliver it (a DTMC is
// an MDP with one choice per state), its labels, the check of its choices
// that every reader runs, and the mapping of files.
#pragma once

#include "IntervalIteration.h"
#include "model/ExactValue.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
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

// CheckStochastic a choice at a time, for a reader that checks each choice
// as soon as it has read it: a stream cannot be read again to find where a
// choice is written, and a malformed choice is refused at once. A choice of
// binary64 values that sum to exactly 1 costs a shift and an addition per
// value (Add); any other is checked in full when it ends (End).
class ChoiceChecker {
public:
    explicit ChoiceChecker(double tolerance) : tolerance_(tolerance) {}

    // A value of the choice being read.
    void Add(const TransitionValue& value) {
        uint64_t outside;
        sum_ += FixedTerm(value, outside);
        outside_ |= outside;
        ++count_;
    }
    // The last choice of mdp, whose values were given to Add, ends; locate
    // names it in messages.
    void End(const ExplicitMdp& mdp, const ChoiceLocator& locate) {
        const uint64_t first = mdp.ChoiceTransitionStart.back();
        const uint64_t count = mdp.TransitionTarget.size() - first;
        const uint64_t choice = mdp.ChoiceTransitionStart.size() - 1;
        const TransitionValue* values = mdp.TransitionValues.data() + first;
        // Exactly 1 when no value was outside and the sum cannot have
        // wrapped around.
        const bool one = ((outside_ | (count_ >> 26)) == 0) & (sum_ == kOne);
        sum_ = 0;
        outside_ = 0;
        count_ = 0;
        if (!one) CheckInFull(values, count, choice, locate);
    }
    // DeviationNote of the choices checked.
    std::string Note() const;

private:
    static constexpr unsigned __int128 kOne = static_cast<unsigned __int128>(1) << kFixedBits;
    void CheckInFull(const TransitionValue* values, uint64_t count, uint64_t choice, const ChoiceLocator& locate);

    double tolerance_;
    unsigned __int128 sum_ = 0;
    uint64_t outside_ = 0;
    uint64_t count_ = 0;
    Deviations deviations_;
    std::string firstPlace_;  // where the first choice that deviates is
};

// The labels of a model, in memory that follows the bytes of their names
// and the states the file names: each label takes its name and about 16
// bytes more; a label on few states keeps them as a list (8 bytes each), one
// on many states as a bitset over all states, whichever is smaller. Only
// the labels a property names become bitsets of their own (LabelStates).
struct Labelling {
    std::string FileName;      // where the labels are declared, for messages
    uint64_t HeaderLine = 0;
    // Whether the format lists every label of the model, empty ones too
    // (.lab, UMB); DRN names only the labels that some state carries.
    bool Declared = true;

    std::size_t Count() const { return NameEnds.size(); }
    std::string_view Name(std::size_t label) const;
    // Position of the label, or -1.
    int Find(std::string_view name) const;
    // The label names, comma-separated, for messages: the first few and how
    // many more (NameList in Text.hpp).
    std::string NameList() const;

    // The storage, kept by the functions below.
    std::string Names;               // every name, one after the other
    std::vector<uint64_t> NameEnds;  // where each label's name ends in Names
    std::vector<uint32_t> Slots;     // a hash table of the names: label + 1, or 0
    // The states of the labels kept as lists: state << kLabelBits | label,
    // in the order they were added.
    std::vector<uint64_t> Members;
    std::size_t MembersKept = 0;     // Members.size() after the last compaction
    std::deque<std::vector<uint64_t>> Bitsets;  // of the labels on many states
    std::unordered_map<uint32_t, uint32_t> BitsetOf;  // label -> its position in Bitsets
};

// Labels beyond this number are refused (a file of gigabytes of label
// names); the state numbers of the lists take the other bits.
constexpr unsigned kLabelBits = 30;
constexpr std::size_t kMaxLabels = std::size_t{1} << kLabelBits;

// Declares a label and returns its position; -1, and nothing declared, when
// the name is taken. An InputError beyond kMaxLabels labels.
int AddLabel(Labelling& labels, std::string_view name);

// Records that state (below stateCount, at most 2^34) carries the label.
void AddLabelState(Labelling& labels, std::size_t label, uint64_t state, uint64_t stateCount);

// Moves the states of the labels on many states into bitsets, so that
// labels take the least memory: what a reader does once it has read them.
void CompactLabels(Labelling& labels, uint64_t stateCount);

// The bitset of the label, empty when it has none yet: for a reader that
// hands over a ready bitset. The reference stays valid while labels lives.
std::vector<uint64_t>& LabelBits(Labelling& labels, std::size_t label);

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
// be read or holds more than maxBytes (a stream is read only that far).
class FileText {
public:
    FileText(const std::string& path, std::size_t maxBytes);
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
