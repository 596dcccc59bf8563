#include "formats/UmbReader.hpp"

#include "model/ExactValue.hpp"
#include "support/LargeArrays.hpp"
#include "support/Text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <unordered_map>

namespace iicheck {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the arrays of an archive are read in place");

using Json = nlohmann::ordered_json;  // keeps the order of the labels

// Choices and branches; keeps every byte count far from overflow.
constexpr uint64_t kMaxCount = uint64_t{1} << 40;
// The storage of a compressed member starts at kTypicalRatio times the
// archive's size (at least kFirstChunk bytes) and doubles as its data
// arrives.
constexpr uint64_t kFirstChunk = uint64_t{1} << 20;
constexpr uint64_t kTypicalRatio = 32;
// The most a byte of compressed data can expand to: deflate's limit is
// 1032; xz reaches about 7000 on zeros.
constexpr uint64_t kGzipRatio = 1100;
constexpr uint64_t kXzRatio = 10000;

constexpr const char* kNotUmb =
    "not a UMB archive (a tar archive, plain or compressed with gzip or xz)";
constexpr const char* kIndex = "index.json";
constexpr const char* kStateChoices = "state-to-choices.bin";
constexpr const char* kChoiceBranches = "choice-to-branches.bin";
constexpr const char* kBranchTargets = "branch-to-target.bin";
constexpr const char* kBranchProbabilities = "branch-to-probability.bin";
constexpr const char* kInitialStates = "state-is-initial.bin";

// Names, member paths, label names and the libraries' messages all come from
// the archive: the whole message is made printable.
[[noreturn]] void FailArchive(const std::string& name, const std::string& text) {
    throw InputError(Printable(name + ": " + text));
}

[[noreturn]] void Fail(const std::string& name, const std::string& member, const std::string& text) {
    FailArchive(name, "member " + member + ": " + text);
}

// A library's message on one line.
std::string OneLine(const char* text) {
    std::string line = text != nullptr ? text : "unknown error";
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\r', ' ');
    return line;
}

uint64_t Words(uint64_t bits) { return (bits + 63) / 64; }

// Where an archive is: its bytes in memory, or a regular file, read a
// block at a time. Reading a large file into one reused block is faster
// than mapping it: each page of a new mapping costs a fault on first touch.
struct ArchiveSource {
    std::string_view Bytes;
    int File = -1;  // the file, when not -1; read from its start each time
    uint64_t Size = 0;
};

constexpr std::size_t kFileBlock = std::size_t{1} << 20;

// The members of an archive in order.
class Archive {
public:
    Archive(const ArchiveSource& source, const std::string& name)
        : owner_(archive_read_new()), archive_(owner_.get()), name_(name), size_(source.Size) {
        if (archive_ == nullptr) throw std::bad_alloc();
        archive_read_support_filter_gzip(archive_);
        archive_read_support_filter_xz(archive_);
        archive_read_support_format_tar(archive_);
        const int opened =
            source.File >= 0
                ? (::lseek(source.File, 0, SEEK_SET) == 0 ? archive_read_open_fd(archive_, source.File, kFileBlock)
                                                          : ARCHIVE_FATAL)
                : archive_read_open_memory(archive_, source.Bytes.data(), source.Bytes.size());
        if (opened != ARCHIVE_OK) FailArchive(name_, std::string(kNotUmb) + ": " + Error());
    }

    // Moves to the next regular file; false at the end of the archive.
    // declared is the size its header gives, or -1.
    bool Next(std::string& path, int64_t& declared) {
        while (true) {
            archive_entry* entry = nullptr;
            const int result = archive_read_next_header(archive_, &entry);
            if (result == ARCHIVE_EOF) return false;
            if (result < ARCHIVE_WARN) {
                FailArchive(name_, (!started_ ? std::string(kNotUmb)
                                              : "damaged or truncated archive after member " +
                                                    member_) +
                                       ": " + Error());
            }
            if (!started_) StartBudget();
            if (archive_entry_filetype(entry) != AE_IFREG) continue;
            const char* entryPath = archive_entry_pathname(entry);
            if (entryPath == nullptr) continue;
            path = entryPath;
            if (path.rfind("./", 0) == 0) path.erase(0, 2);
            member_ = path;
            declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
            return true;
        }
    }

    // Hands the current member, which must hold exactly `bytes` bytes, to
    // consume(const char* data, std::size_t count) in runs of whole elements
    // of Size bytes, in order. The blocks come straight from libarchive, so
    // the members of a plain archive are read where they lie: each is
    // copied once, into the model. The data need not be aligned.
    template <std::size_t Size, typename Consume>
    void Stream(uint64_t bytes, int64_t declared, Consume&& consume) {
        if (bytes > budget_) {
            Fail(name_, member_, "the index implies " + std::to_string(bytes) +
                                     " bytes, more than this " + std::to_string(size_) +
                                     "-byte archive can hold");
        }
        if (declared >= 0 && static_cast<uint64_t>(declared) != bytes) {
            Fail(name_, member_, "has " + std::to_string(declared) + " bytes; the index implies " +
                                     std::to_string(bytes));
        }
        budget_ -= bytes;
        char carry[Size];  // an element split between two blocks
        std::size_t carried = 0;
        const auto feed = [&](const char* data, std::size_t length) {
            if (carried > 0) {
                const std::size_t take = std::min(Size - carried, length);
                std::memcpy(carry + carried, data, take);
                carried += take;
                data += take;
                length -= take;
                if (carried < Size) return;
                consume(static_cast<const char*>(carry), std::size_t{1});
                carried = 0;
            }
            const std::size_t whole = length / Size;
            if (whole > 0) consume(data, whole);
            carried = length - whole * Size;
            if (carried > 0) std::memcpy(carry, data + whole * Size, carried);
        };
        uint64_t got = 0;
        while (true) {
            const void* block = nullptr;
            std::size_t length = 0;
            la_int64_t offset = 0;
            const int result = archive_read_data_block(archive_, &block, &length, &offset);
            if (result == ARCHIVE_EOF) break;
            if (result < ARCHIVE_WARN) Fail(name_, member_, "cannot be read: " + Error());
            if (offset < 0 || static_cast<uint64_t>(offset) < got) {
                Fail(name_, member_, "cannot be read: its blocks are out of order");
            }
            const auto start = static_cast<uint64_t>(offset);
            if (start > bytes || length > bytes - start) {
                Fail(name_, member_, "is longer than the " + std::to_string(bytes) +
                                         " bytes the index implies");
            }
            // The holes of a sparse member are zeros.
            static constexpr char kZeros[4096] = {};
            while (got < start) {
                const auto n = static_cast<std::size_t>(std::min<uint64_t>(sizeof kZeros, start - got));
                feed(kZeros, n);
                got += n;
            }
            if (length > 0) feed(static_cast<const char*>(block), length);
            got += length;
        }
        if (got < bytes) {
            Fail(name_, member_, "ends after " + std::to_string(got) + " of " + std::to_string(bytes) +
                                     " bytes");
        }
    }

    // Makes room in array for `more` elements beyond its size, of `total` in
    // all: at once in a plain archive, which holds what its index implies
    // (the budget checks that); in a compressed one, whose index may promise
    // far more than its data expands to, room for what a typical
    // compression ratio allows at first, then more only as the data arrives.
    template <typename T>
    void MakeRoom(std::vector<T>& array, uint64_t more, uint64_t total) {
        const uint64_t needed = array.size() + more;
        if (needed <= array.capacity()) return;
        uint64_t room = total;
        if (compressed_) {
            const uint64_t first = std::max(kFirstChunk, kTypicalRatio * size_) / sizeof(T);
            room = std::max(needed, std::min(total, std::max<uint64_t>(first, 2 * array.capacity())));
        }
        ReserveLarge(array, static_cast<std::size_t>(room));
    }

    // Reads the current member, `bytes` bytes, into destination as they
    // stand; look(element) sees each element as it is copied.
    template <typename T, typename Look>
    void Read(uint64_t bytes, int64_t declared, std::vector<T>& destination, Look&& look) {
        Stream<sizeof(T)>(bytes, declared, [&](const char* data, std::size_t count) {
            MakeRoom(destination, count, bytes / sizeof(T));
            AppendEach(destination, count, [&](std::size_t i) {
                T element;
                std::memcpy(&element, data + sizeof(T) * i, sizeof(T));
                look(element);
                return element;
            });
        });
    }
    template <typename T>
    void Read(uint64_t bytes, int64_t declared, std::vector<T>& destination) {
        Read(bytes, declared, destination, [](const T&) {});
    }

    // Reads `length` bytes at `offset` of the current member.
    bool ReadAt(uint64_t offset, char* destination, std::size_t length) {
        char scratch[1 << 16];
        while (offset > 0) {
            const la_ssize_t n = archive_read_data(
                archive_, scratch, static_cast<std::size_t>(std::min<uint64_t>(offset, sizeof scratch)));
            if (n <= 0) return false;
            offset -= static_cast<uint64_t>(n);
        }
        while (length > 0) {
            const la_ssize_t n = archive_read_data(archive_, destination, length);
            if (n <= 0) return false;
            destination += n;
            length -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    std::string Error() { return OneLine(archive_error_string(archive_)); }

    // What the members may hold in all: the archive's size, or for a
    // compressed archive the most its compression can expand that to.
    void StartBudget() {
        started_ = true;
        const int filters = archive_filter_count(archive_);
        const int filter = archive_filter_code(archive_, 0);
        if (filters > 2) FailArchive(name_, "is compressed more than once");
        compressed_ = filter != ARCHIVE_FILTER_NONE;
        budget_ = !compressed_ ? size_ : size_ * (filter == ARCHIVE_FILTER_GZIP ? kGzipRatio : kXzRatio);
    }

    struct Free {
        void operator()(archive* handle) const { archive_read_free(handle); }
    };
    std::unique_ptr<archive, Free> owner_;  // freed also when the constructor throws
    archive* archive_;
    std::string name_;
    uint64_t size_;
    bool started_ = false;
    bool compressed_ = false;
    uint64_t budget_ = 0;
    std::string member_;
};

enum class ProbabilityType { AllOne, Binary64, Rational };

struct StateLabel {
    std::string Id;
    std::string Name;
};

// What the reader takes from index.json.
struct Index {
    uint64_t States = 0;
    uint64_t Choices = 0;
    uint64_t Branches = 0;
    uint64_t InitialStates = 0;
    bool Dtmc = false;
    ProbabilityType Probabilities = ProbabilityType::AllOne;
    std::vector<StateLabel> Labels;
};

// Typed access to index.json with messages that name the key.
class IndexReader {
public:
    explicit IndexReader(const std::string& name) : name_(name) {}

    [[noreturn]] void Fail(const std::string& text) const { iicheck::Fail(name_, kIndex, text); }

    const Json& Object(const Json& parent, const char* key, const std::string& path) const {
        const Json& value = Required(parent, key, path);
        if (!value.is_object()) Fail(Key(path, key) + " is not an object");
        return value;
    }

    uint64_t Count(const Json& parent, const char* key, const std::string& path, uint64_t limit) const {
        const Json& value = Required(parent, key, path);
        if (!value.is_number_integer() || (!value.is_number_unsigned() && value.get<int64_t>() < 0)) {
            Fail(Key(path, key) + " is " + Shown(value) + ", not a non-negative integer");
        }
        const uint64_t count = value.get<uint64_t>();
        if (count > limit) Fail(Key(path, key) + " is " + std::to_string(count) + ", too large");
        return count;
    }

    const Json& Array(const Json& parent, const char* key, const std::string& path) const {
        const Json& value = Required(parent, key, path);
        if (!value.is_array()) Fail(Key(path, key) + " is " + Shown(value) + ", not an array");
        return value;
    }

    std::string String(const Json& parent, const char* key, const std::string& path) const {
        const Json& value = Required(parent, key, path);
        if (!value.is_string()) Fail(Key(path, key) + " is " + Shown(value) + ", not a string");
        return value.get<std::string>();
    }

    static std::string Key(const std::string& path, const char* key) {
        return path.empty() ? std::string("\"") + key + "\"" : path + ".\"" + key + "\"";
    }

    static std::string Shown(const Json& value) {
        std::string text = value.dump(-1, ' ', true, Json::error_handler_t::replace);
        if (text.size() > 40) text = text.substr(0, 40) + "...";
        return text;
    }

private:
    const Json& Required(const Json& parent, const char* key, const std::string& path) const {
        const auto found = parent.find(key);
        if (found == parent.end()) Fail(Key(path, key) + " is missing");
        return *found;
    }

    const std::string& name_;
};

Index ParseIndex(const std::vector<char>& text, const std::string& name) {
    const IndexReader reader(name);
    Json root;
    try {
        root = Json::parse(text.begin(), text.end());
    } catch (const Json::exception& error) {
        std::string message = OneLine(error.what());
        const std::size_t bracket = message.find("] ");
        if (bracket != std::string::npos) message.erase(0, bracket + 2);
        reader.Fail("is not valid JSON: " + message);
    }
    if (!root.is_object()) reader.Fail("is not a JSON object");
    const uint64_t version = reader.Count(root, "format-version", "", UINT64_MAX);
    if (version != 1) {
        reader.Fail("format-version " + std::to_string(version) + " is not supported (this reader "
                    "knows version 1)");
    }
    Index index;
    const std::string ts = "\"transition-system\"";
    const Json& system = reader.Object(root, "transition-system", "");
    const std::string time = reader.String(system, "time", ts);
    if (time != "discrete") {
        reader.Fail(IndexReader::Key(ts, "time") + " is \"" + time +
                    "\"; only discrete-time models are supported");
    }
    const uint64_t players = reader.Count(system, "#players", ts, UINT64_MAX);
    if (players > 1) {
        reader.Fail(IndexReader::Key(ts, "#players") + " is " + std::to_string(players) +
                    "; games are not supported");
    }
    index.Dtmc = players == 0;
    if (system.contains("#observations") && reader.Count(system, "#observations", ts, UINT64_MAX) != 0) {
        reader.Fail("partially observable models are not supported");
    }
    index.States = reader.Count(system, "#states", ts, kMaxStates);
    if (index.States == 0) reader.Fail(IndexReader::Key(ts, "#states") + " is 0");
    index.Choices = reader.Count(system, "#choices", ts, kMaxCount);
    index.Branches = reader.Count(system, "#branches", ts, kMaxCount);
    index.InitialStates = reader.Count(system, "#initial-states", ts, index.States);
    if (index.Dtmc && index.Choices != index.States) {
        reader.Fail("a DTMC (\"#players\" 0) has " + std::to_string(index.States) + " states but " +
                    std::to_string(index.Choices) + " choices");
    }
    if (system.contains("branch-probability-type")) {
        const std::string tp = IndexReader::Key(ts, "branch-probability-type");
        const Json& type = reader.Object(system, "branch-probability-type", ts);
        const std::string kind = reader.String(type, "type", tp);
        const uint64_t size = reader.Count(type, "size", tp, UINT64_MAX);
        if (kind == "double" && size == 64) {
            index.Probabilities = ProbabilityType::Binary64;
        } else if (kind == "rational" && size == 128) {
            index.Probabilities = ProbabilityType::Rational;
        } else {
            reader.Fail(tp + " " + IndexReader::Shown(type) +
                        " is not supported (binary64 \"double\" of size 64, or \"rational\" of "
                        "size 128)");
        }
    }
    const auto annotations = root.find("annotations");
    if (annotations == root.end() || !annotations->contains("aps")) return index;
    const Json& aps = reader.Object(*annotations, "aps", "\"annotations\"");
    for (const auto& [id, ap] : aps.items()) {
        const std::string path = "\"annotations\".\"aps\".\"" + id + "\"";
        if (!ap.is_object()) reader.Fail(path + " is not an object");
        const Json& appliesTo = reader.Array(ap, "applies-to", path);
        if (std::find(appliesTo.begin(), appliesTo.end(), Json("states")) == appliesTo.end()) {
            continue;  // not a set of states
        }
        const std::string tp = IndexReader::Key(path, "type");
        const Json& type = reader.Object(ap, "type", path);
        if (reader.String(type, "type", tp) != "bool" || reader.Count(type, "size", tp, UINT64_MAX) != 1) {
            reader.Fail(tp + " " + IndexReader::Shown(type) + " is not a bool of size 1");
        }
        StateLabel label{id, ap.contains("alias") ? reader.String(ap, "alias", path) : id};
        for (const StateLabel& other : index.Labels) {
            if (other.Name == label.Name) reader.Fail("two labels are named " + Quoted(label.Name));
        }
        index.Labels.push_back(std::move(label));
    }
    return index;
}

// Finds and reads index.json (normally the archive's first member).
Index ReadIndex(const ArchiveSource& source, const std::string& name) {
    Archive archive(source, name);
    std::string path;
    int64_t declared;
    while (archive.Next(path, declared)) {
        if (path != kIndex) continue;
        if (declared < 0) Fail(name, kIndex, "has no size");
        std::vector<char> text;
        archive.Read(static_cast<uint64_t>(declared), declared, text);
        return ParseIndex(text, name);
    }
    FailArchive(name, "member index.json is missing (is this a UMB archive?)");
}

std::string LabelMember(const StateLabel& label) {
    return "annotations/aps/" + label.Id + "/states/values.bin";
}

// What a member holds, and so how it is read.
enum class Content { Words, Targets, Probabilities };

// A member the reader needs.
struct Member {
    std::string Path;
    uint64_t Bytes;
    Content Kind;
    std::vector<uint64_t>* Words = nullptr;  // for Content::Words
    bool Done = false;
};

std::string ProbabilityText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// Reads branch-to-target.bin into targets, checking each against the
// number of states as it is copied.
void ReadTargets(Archive& archive, uint64_t bytes, int64_t declared, uint64_t states,
                 std::vector<uint64_t>& targets, const std::string& name) {
    uint64_t largest = 0;
    archive.Read(bytes, declared, targets, [&](uint64_t target) { largest = std::max(largest, target); });
    if (largest < states) return;
    const auto out = std::find_if(targets.begin(), targets.end(), [&](uint64_t target) { return target >= states; });
    Fail(name, kBranchTargets, "branch " + std::to_string(out - targets.begin()) + ": target " +
                                   std::to_string(*out) + " is out of range (" + std::to_string(states) + " states)");
}

// Reads stored binary64 probabilities into values, checking each as it
// arrives; returns how many are 0.
uint64_t ReadBinary64(Archive& archive, uint64_t branches, int64_t declared,
                      std::vector<TransitionValue>& values, const std::string& name) {
    uint64_t zeros = 0;
    archive.Stream<8>(8 * branches, declared, [&](const char* data, std::size_t count) {
        archive.MakeRoom(values, count, branches);
        const std::size_t first = values.size();
        bool valid = true;
        AppendEach(values, count, [&](std::size_t i) {
            TransitionValue value;
            std::memcpy(&value.Value, data + 8 * i, sizeof value.Value);
            value.Denominator = 0;
            valid &= value.Value >= 0.0 && value.Value <= 1.0;  // false for NaN
            zeros += value.Value == 0.0;
            return value;
        });
        if (valid) return;
        for (std::size_t b = first; b < values.size(); ++b) {
            const double p = values[b].Value;
            if (p >= 0.0 && p <= 1.0) continue;
            const ValueError error = std::isnan(p) ? ValueError::NotANumber
                                     : p < 0       ? ValueError::Negative
                                                   : ValueError::GreaterThanOne;
            Fail(name, kBranchProbabilities, "branch " + std::to_string(b) + ": probability " +
                                                 ProbabilityText(p) + " " + Describe(error));
        }
    });
    return zeros;
}

// A stored rational, exactly: reduced, and a binary64 value when it is
// exactly one. Null, or what is wrong with it.
const char* ExactRational(int64_t numerator, int64_t denominator, TransitionValue& value) {
    if (denominator < 0) return "has a negative denominator";
    if (numerator < 0) return Describe(ValueError::Negative);
    const ValueError error = FractionProbability(static_cast<uint64_t>(numerator),
                                                 static_cast<uint64_t>(denominator), value);
    return error == ValueError::None ? nullptr : Describe(error);
}

// The conversions of the stored rationals met last. A model's
// probabilities take few distinct values, so most rationals are found here
// and need no gcd.
struct RecentRationals {
    struct Entry {
        int64_t Numerator = 0;
        int64_t Denominator = 0;  // positive once a rational is remembered
        TransitionValue Value{};
        bool Remembered() const { return Denominator > 0; }
    };
    Entry Entries[256];

    Entry& Find(int64_t numerator, int64_t denominator) {
        const uint64_t hash = (static_cast<uint64_t>(numerator) * 0x9E3779B97F4A7C15u) ^
                              (static_cast<uint64_t>(denominator) * 0xC2B2AE3D27D4EB4Fu);
        return Entries[hash >> 56];
    }
};

// A stored rational not met lately: converted, checked and remembered.
[[gnu::noinline]] TransitionValue ConvertRational(const int64_t (&stored)[2], uint64_t branch,
                                                  RecentRationals& recent, const std::string& name) {
    TransitionValue value;
    const char* error = ExactRational(stored[0], stored[1], value);
    if (error != nullptr) {
        Fail(name, kBranchProbabilities, "branch " + std::to_string(branch) + ": probability " +
                                             std::to_string(stored[0]) + "/" + std::to_string(stored[1]) +
                                             " " + error);
    }
    recent.Find(stored[0], stored[1]) = {stored[0], stored[1], value};
    return value;
}

// Reads stored rationals (numerator and denominator, signed 64-bit) into
// values, exactly, checking each as it arrives; returns how many are 0.
uint64_t ReadRationals(Archive& archive, uint64_t branches, int64_t declared,
                       std::vector<TransitionValue>& values, const std::string& name) {
    uint64_t zeros = 0;
    auto recent = std::make_unique<RecentRationals>();
    archive.Stream<16>(16 * branches, declared, [&](const char* data, std::size_t count) {
        archive.MakeRoom(values, count, branches);
        const std::size_t first = values.size();
        AppendEach(values, count, [&](std::size_t i) {
            int64_t stored[2];
            std::memcpy(stored, data + 16 * i, sizeof stored);
            const RecentRationals::Entry& entry = recent->Find(stored[0], stored[1]);
            const TransitionValue value = entry.Remembered() && entry.Numerator == stored[0] &&
                                                  entry.Denominator == stored[1]
                                              ? entry.Value
                                              : ConvertRational(stored, first + i, *recent, name);
            zeros += IsZero(value);
            return value;
        });
    });
    return zeros;
}

// Checks offsets into count elements: starting at 0, ascending, ending at
// count.
void CheckOffsets(const std::vector<uint64_t>& offsets, uint64_t count, const std::string& name,
                  const char* member) {
    if (offsets.front() != 0) Fail(name, member, "entry 0 is " + std::to_string(offsets.front()) + ", not 0");
    for (std::size_t i = 1; i < offsets.size(); ++i) {
        if (offsets[i] < offsets[i - 1]) {
            Fail(name, member, "entry " + std::to_string(i) + " (" + std::to_string(offsets[i]) +
                                   ") is below entry " + std::to_string(i - 1) + " (" +
                                   std::to_string(offsets[i - 1]) + ")");
        }
    }
    if (offsets.back() != count) {
        Fail(name, member, "the last entry is " + std::to_string(offsets.back()) + ", not " +
                               std::to_string(count));
    }
}

// Leaves out the branches with probability 0.
void DropZeros(ExplicitMdp& mdp) {
    uint64_t kept = 0;
    for (uint64_t c = 0; c + 1 < mdp.ChoiceTransitionStart.size(); ++c) {
        const uint64_t begin = mdp.ChoiceTransitionStart[c];
        const uint64_t end = mdp.ChoiceTransitionStart[c + 1];
        mdp.ChoiceTransitionStart[c] = kept;
        for (uint64_t b = begin; b < end; ++b) {
            if (IsZero(mdp.TransitionValues[b])) continue;
            mdp.TransitionTarget[kept] = mdp.TransitionTarget[b];
            mdp.TransitionValues[kept] = mdp.TransitionValues[b];
            ++kept;
        }
    }
    mdp.ChoiceTransitionStart.back() = kept;
    mdp.TransitionTarget.resize(kept);
    mdp.TransitionValues.resize(kept);
}

// Checks that a bitset over states sets no bit beyond the last state.
void CheckBits(const std::vector<uint64_t>& bits, uint64_t states, const std::string& name,
               const std::string& member) {
    if (states % 64 != 0 && (bits.back() >> (states % 64)) != 0) {
        Fail(name, member, "sets bits beyond the last state");
    }
}

// Where a choice lies in the archive (UmbChoiceLocation).
std::string ChoiceLocation(const ArchiveSource& source, const std::string& name, uint64_t choice) {
    const std::string where = Printable(name) + ": choice " + std::to_string(choice);
    try {
        Archive archive(source, name);
        std::string path;
        int64_t declared;
        while (archive.Next(path, declared)) {
            if (path != kChoiceBranches) continue;
            uint64_t range[2];
            if (choice > kMaxCount ||
                !archive.ReadAt(8 * choice, reinterpret_cast<char*>(range), sizeof range)) {
                break;
            }
            if (range[1] <= range[0]) return where + " (no branches)";
            return where + " (" +
                   (range[1] - range[0] == 1
                        ? "branch " + std::to_string(range[0])
                        : "branches " + std::to_string(range[0]) + " to " + std::to_string(range[1] - 1)) +
                   " of " + kBranchProbabilities + ")";
        }
    } catch (const InputError&) {
        // The archive was read once; this is only for a message.
    }
    return where;
}

Model ParseArchive(const ArchiveSource& source, const std::string& name, double tolerance) {
    const Index index = ReadIndex(source, name);
    Model model;
    model.Dtmc = index.Dtmc;
    ExplicitMdp& mdp = model.Mdp;
    mdp.StateCount = index.States;
    const uint64_t stateWords = Words(index.States);
    // "init" first, as in the other formats, unless an annotation has that
    // name; the index has refused two labels of one name.
    Labelling& labels = model.Labels;
    labels.FileName = name;
    const bool initLabel = std::none_of(index.Labels.begin(), index.Labels.end(),
                                        [](const StateLabel& label) { return label.Name == "init"; });
    if (initLabel) AddLabel(labels, "init");
    for (const StateLabel& label : index.Labels) AddLabel(labels, label.Name);
    const std::size_t firstAnnotation = initLabel ? 1 : 0;
    std::vector<uint64_t> initial;

    std::vector<Member> members;
    if (!index.Dtmc) {
        members.push_back({kStateChoices, 8 * (index.States + 1), Content::Words, &mdp.StateChoiceStart});
    }
    members.push_back({kChoiceBranches, 8 * (index.Choices + 1), Content::Words, &mdp.ChoiceTransitionStart});
    members.push_back({kBranchTargets, 8 * index.Branches, Content::Targets});
    if (index.Probabilities != ProbabilityType::AllOne) {
        const uint64_t size = index.Probabilities == ProbabilityType::Binary64 ? 8 : 16;
        members.push_back({kBranchProbabilities, size * index.Branches, Content::Probabilities});
    }
    members.push_back({kInitialStates, 8 * stateWords, Content::Words, &initial});
    for (std::size_t i = 0; i < index.Labels.size(); ++i) {
        members.push_back({LabelMember(index.Labels[i]), 8 * stateWords, Content::Words,
                           &LabelBits(labels, firstAnnotation + i)});
    }
    std::unordered_map<std::string, std::size_t> memberOfPath;
    for (std::size_t i = 0; i < members.size(); ++i) memberOfPath.emplace(members[i].Path, i);

    // Reads until every member the model needs is there; rewards and
    // valuations, which come after them, are never decompressed. Each
    // member is checked as it arrives, except the offsets, which are
    // checked once all are there.
    Archive archive(source, name);
    std::size_t pending = members.size();
    std::string path;
    int64_t declared;
    uint64_t zeros = 0;
    while (pending > 0 && archive.Next(path, declared)) {
        const auto found = memberOfPath.find(path);
        if (found == memberOfPath.end()) continue;
        Member& member = members[found->second];
        if (member.Done) Fail(name, path, "appears twice");
        switch (member.Kind) {
            case Content::Words:
                archive.Read(member.Bytes, declared, *member.Words);
                break;
            case Content::Targets:
                ReadTargets(archive, member.Bytes, declared, index.States, mdp.TransitionTarget, name);
                break;
            case Content::Probabilities:
                zeros = index.Probabilities == ProbabilityType::Binary64
                            ? ReadBinary64(archive, index.Branches, declared, mdp.TransitionValues, name)
                            : ReadRationals(archive, index.Branches, declared, mdp.TransitionValues, name);
                break;
        }
        member.Done = true;
        --pending;
    }
    for (const Member& member : members) {
        if (!member.Done) FailArchive(name, "member " + member.Path + " is missing");
    }

    if (index.Dtmc) {
        mdp.StateChoiceStart.resize(index.States + 1);
        std::iota(mdp.StateChoiceStart.begin(), mdp.StateChoiceStart.end(), uint64_t{0});
    } else {
        CheckOffsets(mdp.StateChoiceStart, index.Choices, name, kStateChoices);
    }
    CheckOffsets(mdp.ChoiceTransitionStart, index.Branches, name, kChoiceBranches);
    if (index.Probabilities == ProbabilityType::AllOne) {
        TransitionValue one;
        one.Value = 1.0;
        one.Denominator = 0;
        mdp.TransitionValues.assign(index.Branches, one);
    }
    if (zeros > 0) DropZeros(mdp);

    CheckBits(initial, index.States, name, kInitialStates);
    for (uint64_t w = 0; w < initial.size(); ++w) {
        for (uint64_t word = initial[w]; word != 0; word &= word - 1) {
            model.Initial.push_back(64 * w + static_cast<uint64_t>(std::countr_zero(word)));
        }
    }
    if (model.Initial.size() != index.InitialStates) {
        Fail(name, kInitialStates, "marks " + std::to_string(model.Initial.size()) +
                                       " initial states; the index says " + std::to_string(index.InitialStates));
    }
    if (model.Initial.empty()) Fail(name, kInitialStates, "marks no initial state");
    for (std::size_t i = 0; i < index.Labels.size(); ++i) {
        CheckBits(LabelBits(labels, firstAnnotation + i), index.States, name, LabelMember(index.Labels[i]));
    }
    if (initLabel) LabelBits(labels, 0) = std::move(initial);
    CheckChoices(model, tolerance, [&](uint64_t choice) { return ChoiceLocation(source, name, choice); });
    return model;
}

}  // namespace

Model ParseUmb(std::string_view bytes, const std::string& name, double tolerance) {
    return ParseArchive({bytes, -1, bytes.size()}, name, tolerance);
}

std::string UmbChoiceLocation(std::string_view bytes, const std::string& name, uint64_t choice) {
    return ChoiceLocation({bytes, -1, bytes.size()}, name, choice);
}

Model ReadUmb(const std::string& path, double tolerance) {
    struct Closer {
        int File;
        ~Closer() {
            if (File >= 0) ::close(File);
        }
    } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat info;
    if (file.File >= 0 && ::fstat(file.File, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        return ParseArchive({{}, file.File, static_cast<uint64_t>(info.st_size)}, path, tolerance);
    }
    // A pipe or a device, read whole; FileText says why a file cannot be
    // read.
    const FileText text(path);
    return ParseUmb(text.Text(), path, tolerance);
}

}  // namespace iicheck
