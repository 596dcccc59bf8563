// Explicit MDPs in the plain-text export format of probabilistic model
// checkers: a transitions file and a labels file.
//
// Transitions (.tra): '#' comment lines, the header "states choices
// transitions", then one line per transition "source choice target
// probability [action]", sorted by source state and by choice, choices
// numbered from 0 within each state. Labels (.lab): '#' comment lines, the
// header of index="name" pairs, then lines "state: index index ...".
#pragma once

#include "IntervalIteration.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace iicheck {

// A malformed or unusable input, with a one-line text that names the file
// and, where there is one, the line: "model.tra:12: ...".
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Transitions as read, in compressed sparse layout. Values are exact
// (see ExactValue.hpp); lines with probability 0 are no transitions and are
// left out (a choice may be left without transitions).
struct ExplicitMdp {
    uint64_t StateCount = 0;
    std::vector<uint64_t> StateChoiceStart;       // StateCount + 1 entries
    std::vector<uint64_t> ChoiceTransitionStart;  // ChoiceCount() + 1 entries
    std::vector<uint64_t> TransitionTarget;
    std::vector<TransitionValue> TransitionValues;

    uint64_t ChoiceCount() const { return ChoiceTransitionStart.size() - 1; }
    uint64_t TransitionCount() const { return TransitionTarget.size(); }
};

// The state sets of a labels file, one bitset (64 states a word) per label.
struct Labelling {
    std::string FileName;
    uint64_t HeaderLine = 0;
    std::vector<std::string> Names;
    std::vector<std::vector<uint64_t>> Members;

    // Index of the label, or -1.
    int Find(std::string_view name) const;
    // All label names, comma-separated, for messages.
    std::string NameList() const;
};

// Parses a transitions file's text; name is used in messages. Choices whose
// probabilities do not sum to exactly 1 are accepted with one summarising
// warning appended to warnings.
ExplicitMdp ParseTransitions(std::string_view text, const std::string& name,
                             std::vector<std::string>& warnings);

// Parses a labels file's text for a model of stateCount states.
Labelling ParseLabels(std::string_view text, const std::string& name, uint64_t stateCount);

// The union of the labels named in a '|'-separated list ("goal|done"),
// as a bitset over stateCount states. Unknown names are an InputError.
std::vector<uint64_t> StatesWithAnyLabel(const Labelling& labels, std::string_view list,
                                         uint64_t stateCount);

// The one state labelled "init"; none or several are an InputError.
uint64_t InitialState(const Labelling& labels, uint64_t stateCount);

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
