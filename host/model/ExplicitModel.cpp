#include "model/ExplicitModel.hpp"

#include "model/ExactValue.hpp"
#include "model/TextLines.hpp"
#include "support/Interrupt.hpp"
#include "support/Progress.hpp"
#include "support/Text.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace iicheck {
namespace {

std::string Number(double value, const char* format = "%.3g") {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Any choice: every value checked to be a probability, then summed.
SumComparison CheckedSum(const TransitionValue* values, uint64_t count, double tolerance, uint64_t choice,
                         const ChoiceLocator& locate) {
    for (uint64_t i = 0; i < count; ++i) {
        if (!IsProbability(values[i])) {
            throw InputError(locate(choice) + ": the choice that starts here holds a value that is "
                                              "not a probability (about " +
                             Number(ApproximateValue(values[i])) + ")");
        }
    }
    if (count == 0) {
        throw InputError(locate(choice) + ": the choice that starts here has no transition with a "
                                          "positive probability");
    }
    return CompareSumWithOne(values, count, tolerance);
}

}  // namespace

namespace {

// Counts a choice whose sum is within the tolerance, or refuses it.
inline void Account(const SumComparison& sum, uint64_t choice, double tolerance, const ChoiceLocator& locate,
                    uint64_t& count, uint64_t& firstChoice, double& largest) {
    if (!sum.WithinTolerance) {
        throw InputError(locate(choice) + ": the probabilities of the choice that starts here sum "
                                          "to " + Number(1.0 + sum.Deviation, "%.15g") + ", " +
                         Number(std::fabs(sum.Deviation)) + (sum.Deviation < 0 ? " below" : " above") +
                         " 1: more than the tolerance " + Number(tolerance) + " (see --sum-tolerance)");
    }
    // Without branches: whether a sum is exact varies from choice to choice.
    const bool deviates = !sum.Exact;
    firstChoice = deviates && count == 0 ? choice : firstChoice;
    count += deviates;
    largest = std::fabs(sum.Deviation) > std::fabs(largest) ? sum.Deviation : largest;
}

std::string NoteAt(const Deviations& deviations, double tolerance, const std::string& place) {
    if (deviations.Count == 0) return "";
    return place + ": " + std::to_string(deviations.Count) +
           (deviations.Count == 1 ? " choice (it starts here) sums" : " choices (the first starts here) sum") +
           " to 1 within " + Number(tolerance) + " but not exactly (largest deviation " +
           Number(deviations.Largest) + "); the probabilities are used as written";
}

}  // namespace

Deviations CheckStochastic(const ExplicitMdp& mdp, double tolerance, const ChoiceLocator& locate) {
    uint64_t count = 0;  // of the choices that deviate, kept in registers
    uint64_t firstChoice = 0;
    double largest = 0;
    const uint64_t* starts = mdp.ChoiceTransitionStart.data();
    const uint64_t choices = mdp.ChoiceCount();
    const uint64_t transitions = starts[choices];
    // The choices are taken a window of values at a time; what a window
    // cannot decide (a choice longer than it, a value that is not a binary64
    // probability, a sum near the tolerance) is decided one choice at a time.
    auto window = std::make_unique<Binary64Window>();
    uint64_t windows = 0;
    for (uint64_t c = 0; c < choices;) {
        PollWithProgress(windows++ << 5, kReading, c, choices, "choices checked");  // every 2048 windows
        const uint64_t base = starts[c];
        const uint64_t size = std::min<uint64_t>(Binary64Window::kSize, transitions - base);
        FillWindow(*window, mdp.TransitionValues.data() + base, size);
        uint64_t last = c;
        while (last < choices && starts[last + 1] - base <= size) ++last;
        if (last == c) last = c + 1;  // longer than the window
        for (; c < last; ++c) {
            const uint64_t first = starts[c];
            const uint64_t values = starts[c + 1] - first;
            SumComparison sum;
            if (values > size || !CompareInWindow(*window, first - base, first - base + values, tolerance, sum)) {
                sum = CheckedSum(mdp.TransitionValues.data() + first, values, tolerance, c, locate);
            }
            Account(sum, c, tolerance, locate, count, firstChoice, largest);
        }
    }
    return {count, firstChoice, largest};
}

void ChoiceChecker::CheckInFull(const TransitionValue* values, uint64_t count, uint64_t choice,
                                const ChoiceLocator& locate) {
    const bool none = deviations_.Count == 0;
    Account(CheckedSum(values, count, tolerance_, choice, locate), choice, tolerance_, locate, deviations_.Count,
            deviations_.FirstChoice, deviations_.Largest);
    if (none && deviations_.Count != 0) firstPlace_ = locate(choice);
}

std::string ChoiceChecker::Note() const { return NoteAt(deviations_, tolerance_, firstPlace_); }

std::string DeviationNote(const Deviations& deviations, double tolerance,
                          const ChoiceLocator& locate) {
    return deviations.Count == 0 ? "" : NoteAt(deviations, tolerance, locate(deviations.FirstChoice));
}

namespace {

uint64_t HashName(std::string_view name) { return std::hash<std::string_view>()(name); }

constexpr uint64_t kLabelMask = (uint64_t{1} << kLabelBits) - 1;

// The slot of the table where name is, or the free slot where it would go.
std::size_t SlotOf(const Labelling& labels, std::string_view name) {
    const std::size_t mask = labels.Slots.size() - 1;
    for (std::size_t slot = HashName(name) & mask;; slot = (slot + 1) & mask) {
        const uint32_t entry = labels.Slots[slot];
        if (entry == 0 || labels.Name(entry - 1) == name) return slot;
    }
}

// A table of twice as many slots as labels at least.
void GrowSlots(Labelling& labels) {
    std::vector<uint32_t> slots(std::max<std::size_t>(16, 2 * labels.Slots.size()), 0);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t label = 0; label < labels.Count(); ++label) {
        std::size_t slot = HashName(labels.Name(label)) & mask;
        while (slots[slot] != 0) slot = (slot + 1) & mask;
        slots[slot] = static_cast<uint32_t>(label + 1);
    }
    labels.Slots = std::move(slots);
}

// The position of the label's bitset in labels.Bitsets, or -1.
std::ptrdiff_t BitsetOf(const Labelling& labels, std::size_t label) {
    const auto found = labels.BitsetOf.find(static_cast<uint32_t>(label));
    return found == labels.BitsetOf.end() ? -1 : static_cast<std::ptrdiff_t>(found->second);
}

// Moves the states of the labels on many states (a list longer than a
// bitset) and of the labels that have a bitset into their bitsets.
}  // namespace

void CompactLabels(Labelling& labels, uint64_t stateCount) {
    const uint64_t words = (stateCount + 63) / 64;
    std::vector<uint64_t> count(labels.Count(), 0);
    for (const uint64_t member : labels.Members) ++count[member & kLabelMask];
    std::vector<uint32_t> bitset(labels.Count(), 0);  // position + 1
    for (const auto& [label, position] : labels.BitsetOf) bitset[label] = position + 1;
    for (std::size_t label = 0; label < count.size(); ++label) {
        if (count[label] > words && bitset[label] == 0) {
            LabelBits(labels, label) = EmptyBits(stateCount);
            bitset[label] = static_cast<uint32_t>(labels.Bitsets.size());
        }
    }
    std::size_t kept = 0;
    for (const uint64_t member : labels.Members) {
        const uint32_t position = bitset[member & kLabelMask];
        if (position != 0) {
            SetBit(labels.Bitsets[position - 1], member >> kLabelBits);
        } else {
            labels.Members[kept++] = member;
        }
    }
    labels.Members.resize(kept);
    if (kept < labels.Members.capacity() / 4) labels.Members.shrink_to_fit();
    labels.MembersKept = kept;
}

std::string_view Labelling::Name(std::size_t label) const {
    const uint64_t begin = label == 0 ? 0 : NameEnds[label - 1];
    return std::string_view(Names).substr(begin, NameEnds[label] - begin);
}

int Labelling::Find(std::string_view name) const {
    if (Slots.empty()) return -1;
    const uint32_t entry = Slots[SlotOf(*this, name)];
    return static_cast<int>(entry) - 1;
}

std::string Labelling::NameList() const {
    iicheck::NameList list;
    for (std::size_t label = 0; label < Count(); ++label) list.Add(Printable(Name(label)));
    return list.Text();
}

int AddLabel(Labelling& labels, std::string_view name) {
    if (2 * (labels.Count() + 1) > labels.Slots.size()) GrowSlots(labels);
    const std::size_t slot = SlotOf(labels, name);
    if (labels.Slots[slot] != 0) return -1;
    if (labels.Count() >= kMaxLabels) {
        throw InputError(Printable(labels.FileName) + ": more than " + std::to_string(kMaxLabels) +
                         " labels, the most this tool takes");
    }
    labels.Names.append(name);
    labels.NameEnds.push_back(labels.Names.size());
    labels.Slots[slot] = static_cast<uint32_t>(labels.Count());
    return static_cast<int>(labels.Count() - 1);
}

void AddLabelState(Labelling& labels, std::size_t label, uint64_t state, uint64_t stateCount) {
    labels.Members.push_back(state << kLabelBits | label);
    // Once the lists have doubled, the labels on many states move to
    // bitsets: memory stays below twice the smaller of list and bitset.
    if (labels.Members.size() >= std::max<std::size_t>(2 * labels.MembersKept, 4096)) {
        CompactLabels(labels, stateCount);
    }
}

std::vector<uint64_t>& LabelBits(Labelling& labels, std::size_t label) {
    const std::ptrdiff_t found = BitsetOf(labels, label);
    if (found >= 0) return labels.Bitsets[static_cast<std::size_t>(found)];
    labels.BitsetOf.emplace(static_cast<uint32_t>(label), static_cast<uint32_t>(labels.Bitsets.size()));
    return labels.Bitsets.emplace_back();
}

std::vector<uint64_t> LabelStates(const Labelling& labels, std::size_t label, uint64_t stateCount) {
    std::vector<uint64_t> bits = EmptyBits(stateCount);
    const std::ptrdiff_t found = BitsetOf(labels, label);
    if (found >= 0) {
        const std::vector<uint64_t>& own = labels.Bitsets[static_cast<std::size_t>(found)];
        const std::size_t words = std::min(bits.size(), own.size());
        for (std::size_t w = 0; w < words; ++w) bits[w] = own[w];
        if (stateCount % 64 != 0 && !bits.empty()) bits.back() &= (uint64_t{1} << (stateCount % 64)) - 1;
    }
    for (const uint64_t member : labels.Members) {
        const uint64_t state = member >> kLabelBits;
        if ((member & kLabelMask) == label && state < stateCount) SetBit(bits, state);
    }
    return bits;
}

std::vector<uint64_t> LabelNamed(const Labelling& labels, std::string_view name, uint64_t stateCount,
                                 std::vector<std::string>& notes) {
    const int index = labels.Find(name);
    if (index >= 0) return LabelStates(labels, static_cast<std::size_t>(index), stateCount);
    if (labels.Declared && name != "deadlock") {
        FailAtLine(labels.FileName, labels.HeaderLine,
                   "no label " + Quoted(name) + "; the labels are: " + labels.NameList());
    }
    if (name != "deadlock") {
        notes.push_back(Printable(labels.FileName) + ": no state carries the label " + Quoted(name) +
                        ", taken as empty (this format names only the labels that states "
                        "carry; they are: " + labels.NameList() + ")");
    }
    return EmptyBits(stateCount);
}

std::vector<uint64_t> StatesWithAnyLabel(const Labelling& labels, std::string_view list,
                                         uint64_t stateCount, std::vector<std::string>& notes) {
    std::vector<uint64_t> states = EmptyBits(stateCount);
    std::size_t start = 0;
    while (true) {
        const std::size_t bar = list.find('|', start);
        std::string_view label = list.substr(start, bar == std::string_view::npos ? bar : bar - start);
        while (!label.empty() && (label.front() == ' ' || label.front() == '"')) label.remove_prefix(1);
        while (!label.empty() && (label.back() == ' ' || label.back() == '"')) label.remove_suffix(1);
        const std::vector<uint64_t> named = LabelNamed(labels, label, stateCount, notes);
        for (std::size_t w = 0; w < states.size(); ++w) states[w] |= named[w];
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    return states;
}

std::vector<uint64_t> InitialStates(const Labelling& labels, uint64_t stateCount) {
    const int index = labels.Find("init");
    if (index < 0) {
        FailAtLine(labels.FileName, labels.HeaderLine, "no label \"init\" marks the initial states");
    }
    const std::vector<uint64_t> members = LabelStates(labels, static_cast<std::size_t>(index), stateCount);
    std::vector<uint64_t> initial;
    for (uint64_t w = 0; w < members.size(); ++w) {
        for (uint64_t word = members[w]; word != 0; word &= word - 1) {
            initial.push_back(64 * w + static_cast<uint64_t>(__builtin_ctzll(word)));
        }
    }
    if (initial.empty()) FailAtLine(labels.FileName, 0, "no state carries the label \"init\"");
    return initial;
}

FileText::FileText(const std::string& path, std::size_t maxBytes) {
    const auto tooLarge = [&] {
        return InputError(Printable(path) + ": larger than " + std::to_string(maxBytes) +
                          " bytes, the most this file may hold");
    };
    const int fd = OpenForReading(path.c_str());
    if (fd < 0) throw InputError(Printable(path) + ": cannot open: " + std::strerror(errno));
    struct Closer {
        int File;
        ~Closer() { ::close(File); }
    } closer{fd};
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        if (static_cast<uint64_t>(info.st_size) > maxBytes) throw tooLarge();
        void* map = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ,
                           MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (map != MAP_FAILED) {
            data_ = static_cast<const char*>(map);
            size_ = static_cast<std::size_t>(info.st_size);
            mapped_ = true;
            ::madvise(map, size_, MADV_SEQUENTIAL);
            return;
        }
    }
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) throw InputError(Printable(path) + ": is a directory");
    // A pipe or a device, read in chunks; a stop ends a wait for input.
    char chunk[1 << 16];
    while (true) {
        const ssize_t got = ReadInterruptibly(fd, chunk, sizeof chunk);
        if (got < 0) throw InputError(Printable(path) + ": cannot read: " + std::strerror(errno));
        if (got == 0) break;
        if (static_cast<std::size_t>(got) > maxBytes - buffer_.size()) throw tooLarge();
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
    data_ = buffer_.data();
    size_ = buffer_.size();
}

FileText::~FileText() {
    if (mapped_) ::munmap(const_cast<char*>(data_), size_);
}

}  // namespace iicheck
