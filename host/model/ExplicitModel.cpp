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
            if (!sum.WithinTolerance) {
                throw InputError(locate(c) + ": the probabilities of the choice that starts here sum "
                                             "to " + Number(1.0 + sum.Deviation, "%.15g") + ", " +
                                 Number(std::fabs(sum.Deviation)) +
                                 (sum.Deviation < 0 ? " below" : " above") +
                                 " 1: more than the tolerance " + Number(tolerance) +
                                 " (see --sum-tolerance)");
            }
            // Without branches: whether a sum is exact varies from choice to
            // choice.
            const bool deviates = !sum.Exact;
            firstChoice = deviates && count == 0 ? c : firstChoice;
            count += deviates;
            largest = std::fabs(sum.Deviation) > std::fabs(largest) ? sum.Deviation : largest;
        }
    }
    return {count, firstChoice, largest};
}

std::string DeviationNote(const Deviations& deviations, double tolerance,
                          const ChoiceLocator& locate) {
    if (deviations.Count == 0) return "";
    return locate(deviations.FirstChoice) + ": " + std::to_string(deviations.Count) +
           (deviations.Count == 1 ? " choice (it starts here) sums" : " choices (the first starts here) sum") +
           " to 1 within " + Number(tolerance) + " but not exactly (largest deviation " +
           Number(deviations.Largest) + "); the probabilities are used as written";
}

int Labelling::Find(std::string_view name) const {
    const auto found = Index.find(name);
    return found == Index.end() ? -1 : static_cast<int>(found->second);
}

std::string Labelling::NameList() const {
    iicheck::NameList list;
    for (const Label& label : Labels) list.Add(Printable(label.Name));
    return list.Text();
}

int AddLabel(Labelling& labels, std::string_view name) {
    if (!labels.Index.emplace(std::string(name), labels.Labels.size()).second) return -1;
    labels.Labels.push_back({std::string(name), {}, {}});
    return static_cast<int>(labels.Labels.size() - 1);
}

void AddLabelState(Label& label, uint64_t state, uint64_t stateCount) {
    if (!label.Bits.empty()) {
        SetBit(label.Bits, state);
        return;
    }
    label.States.push_back(state);
    // Once the list takes more memory than a bitset, the bitset holds them.
    if (label.States.size() > (stateCount + 63) / 64) {
        label.Bits = EmptyBits(stateCount);
        for (const uint64_t s : label.States) SetBit(label.Bits, s);
        std::vector<uint64_t>().swap(label.States);
    }
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

std::vector<uint64_t> LabelStates(const Labelling& labels, std::size_t label, uint64_t stateCount) {
    std::vector<uint64_t> bits = EmptyBits(stateCount);
    AddStates(labels.Labels[label], stateCount, bits);
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
