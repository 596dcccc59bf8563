// The readers behind the one interface: every shipped model in every format
// against its .tra/.lab, archives and texts written here to exercise
// compression, exact rationals and layout variations, and malformed input of
// every kind.
#include "formats/DrnReader.hpp"
#include "formats/ModelReader.hpp"
#include "formats/ModelWriter.hpp"
#include "formats/UmbReader.hpp"
#include "model/ExactValue.hpp"
#include "support/Interrupt.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace iicheck {
namespace {

using Json = nlohmann::ordered_json;

// Label name -> member states, for the labels that have members (the .lab
// files also declare empty ones, which DRN cannot express).
using LabelSets = std::map<std::string, std::vector<uint64_t>>;

std::vector<uint64_t> Members(const std::vector<uint64_t>& bits, uint64_t states) {
    std::vector<uint64_t> members;
    for (uint64_t s = 0; s < states; ++s) {
        if (TestBit(bits, s)) members.push_back(s);
    }
    return members;
}

LabelSets LabelsOf(const Model& model) {
    LabelSets sets;
    for (std::size_t i = 0; i < model.Labels.Count(); ++i) {
        std::vector<uint64_t> members =
            Members(LabelStates(model.Labels, i, model.Mdp.StateCount), model.Mdp.StateCount);
        if (!members.empty()) sets[std::string(model.Labels.Name(i))] = std::move(members);
    }
    return sets;
}

// A model file in the format its name says.
Model ReadFile(const std::string& path) {
    return ReadModel(ResolveModelFiles({path}, std::nullopt), kDefaultSumTolerance);
}

enum class Match {
    Identical,   // the same value, read from the same string
    SameDouble,  // the binary64 value a decimal string denotes
    Close        // an exact fraction and its binary64 rounding, within 1e-15
};

// A value that is exactly a binary64 number must be stored as that number
// in every format.
bool SameProbability(const TransitionValue& value, const TransitionValue& reference, Match match) {
    if (reference.Denominator == 0 || match == Match::Identical) {
        return value.Denominator == reference.Denominator && value.Numerator == reference.Numerator;
    }
    const double a = ApproximateValue(value);
    const double b = ApproximateValue(reference);
    return match == Match::SameDouble ? a == b : std::fabs(a - b) <= 1e-15;
}

// The transitions of a choice, ordered by target (the branches of a choice
// need not be sorted in a file).
std::vector<std::pair<uint64_t, TransitionValue>> Branches(const ExplicitMdp& mdp, uint64_t choice) {
    std::vector<std::pair<uint64_t, TransitionValue>> branches;
    for (uint64_t t = mdp.ChoiceTransitionStart[choice]; t < mdp.ChoiceTransitionStart[choice + 1]; ++t) {
        branches.emplace_back(mdp.TransitionTarget[t], mdp.TransitionValues[t]);
    }
    std::sort(branches.begin(), branches.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first
                                  : ApproximateValue(a.second) < ApproximateValue(b.second);
    });
    return branches;
}

void ExpectSameModel(const Model& model, const Model& reference, Match match) {
    const ExplicitMdp& a = model.Mdp;
    const ExplicitMdp& b = reference.Mdp;
    ASSERT_EQ(a.StateCount, b.StateCount);
    ASSERT_EQ(a.StateChoiceStart, b.StateChoiceStart);
    ASSERT_EQ(a.ChoiceCount(), b.ChoiceCount());
    EXPECT_EQ(a.TransitionCount(), b.TransitionCount());
    for (uint64_t c = 0; c < a.ChoiceCount(); ++c) {
        const auto got = Branches(a, c);
        const auto expected = Branches(b, c);
        bool same = got.size() == expected.size();
        for (std::size_t i = 0; same && i < got.size(); ++i) {
            same = got[i].first == expected[i].first &&
                   SameProbability(got[i].second, expected[i].second, match);
        }
        ASSERT_TRUE(same) << "choice " << c << ": first of the differing choices";
    }
    EXPECT_EQ(LabelsOf(model), LabelsOf(reference));
    EXPECT_EQ(model.Initial, reference.Initial);
}

TEST(ModelReaders, EveryShippedModelReadsAlikeInEveryFormat) {
    const struct {
        const char* Folder;
        bool Dtmc;
    } models[] = {
        {"brp_N64_MAX4", true},         {"coin2_K4", false},      {"csma2_2", false},
        {"dice", true},                 {"dining_crypt3", false}, {"firewire_abst_d200", false},
        {"wlan0_collide", false},       {"zeroconf_reset_K4", false},
    };
    const struct {
        const char* Suffix;
        Match Values;
    } formats[] = {
        {".drn", Match::Identical},   {".umb", Match::SameDouble}, {".umb.gz", Match::SameDouble},
        {".exact.drn", Match::Close}, {".exact.umb", Match::Close},
    };
    for (const auto& model : models) {
        const std::string prefix = std::string(IICHECK_MODELS) + "/" + model.Folder + "/" + model.Folder;
        const Model reference = ReadFile(prefix + ".tra");
        EXPECT_EQ(reference.Dtmc, model.Dtmc);
        for (const auto& format : formats) {
            SCOPED_TRACE(model.Folder + std::string(format.Suffix));
            const Model read = ReadFile(prefix + format.Suffix);
            EXPECT_EQ(read.Dtmc, model.Dtmc);
            ExpectSameModel(read, reference, format.Values);
        }
        // What the writer makes of a model reads back as the same model.
        SCOPED_TRACE(model.Folder + std::string(" written"));
        const Model written = ParseUmb(UmbArchive(reference, Compression::Gzip), "w.umb", kDefaultSumTolerance);
        EXPECT_EQ(written.Dtmc, model.Dtmc);
        ExpectSameModel(written, reference, Match::Identical);
    }
}

// The text of an InputError, or "" when there is none.
std::string ErrorOf(const std::function<void()>& read) {
    try {
        read();
    } catch (const InputError& error) {
        return error.what();
    }
    return "";
}

void ExpectError(const std::string& error, const std::string& expected) {
    EXPECT_EQ(error.rfind(expected, 0), 0u) << "error: " << error << "\nexpected: " << expected;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

TransitionValue Binary64(double value) { return {.Value = value, .Denominator = 0}; }
TransitionValue Fraction(int64_t numerator, int64_t denominator) {
    return {.Numerator = numerator, .Denominator = denominator};
}

// The model both small test files describe: state 0 (initial) has two
// choices, state 1 one with a branch of probability 0 and rational values,
// state 2 one; the labels are "goal" {2} and "trap" {1}.
void ExpectSmallModel(const Model& model) {
    const ExplicitMdp& mdp = model.Mdp;
    EXPECT_EQ(mdp.StateCount, 3u);
    EXPECT_EQ(mdp.StateChoiceStart, (std::vector<uint64_t>{0, 2, 3, 4}));
    EXPECT_EQ(mdp.ChoiceTransitionStart, (std::vector<uint64_t>{0, 2, 3, 5, 6}));
    EXPECT_EQ(mdp.TransitionTarget, (std::vector<uint64_t>{2, 1, 0, 1, 0, 2}));
    const TransitionValue expected[] = {Binary64(0.5), Binary64(0.5), Binary64(1.0),
                                        Fraction(1, 3), Fraction(2, 3), Binary64(1.0)};
    ASSERT_EQ(mdp.TransitionValues.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_TRUE(SameProbability(mdp.TransitionValues[i], expected[i], Match::Identical)) << i;
    }
    EXPECT_EQ(model.Initial, std::vector<uint64_t>{0});
    EXPECT_EQ(LabelsOf(model), (LabelSets{{"init", {0}}, {"goal", {2}}, {"trap", {1}}}));
    EXPECT_FALSE(model.Dtmc);
}

// ---- UMB ----

std::string Words(std::initializer_list<uint64_t> words) {
    std::string bytes(8 * words.size(), '\0');
    std::memcpy(bytes.data(), std::data(words), bytes.size());
    return bytes;
}

std::string Doubles(std::initializer_list<double> values) {
    std::string bytes(8 * values.size(), '\0');
    std::memcpy(bytes.data(), std::data(values), bytes.size());
    return bytes;
}

std::string Rationals(std::initializer_list<std::pair<int64_t, int64_t>> values) {
    std::string bytes;
    for (const auto& [numerator, denominator] : values) {
        bytes.append(reinterpret_cast<const char*>(&numerator), 8);
        bytes.append(reinterpret_cast<const char*>(&denominator), 8);
    }
    return bytes;
}

struct UmbParts {
    Json Index;
    std::vector<std::pair<std::string, std::string>> Members;  // path, bytes
    Compression Filter = Compression::None;

    std::string& Member(const std::string& path) {
        for (auto& member : Members) {
            if (member.first == path) return member.second;
        }
        throw std::logic_error("no member " + path);
    }
    void Remove(const std::string& path) {
        Members.erase(std::remove_if(Members.begin(), Members.end(),
                                     [&](const auto& member) { return member.first == path; }),
                      Members.end());
    }
};

Json BoolAp(const char* alias, const char* appliesTo = "states") {
    Json ap = {{"applies-to", {appliesTo}}, {"type", {{"type", "bool"}, {"size", 1}}}};
    if (alias != nullptr) ap["alias"] = alias;
    return ap;
}

// The small model as PRISM would write it, with rational probabilities.
UmbParts SmallUmb() {
    UmbParts parts;
    parts.Index = {
        {"format-version", 1},
        {"format-revision", 0},
        {"transition-system",
         {{"time", "discrete"}, {"#players", 1}, {"#states", 3}, {"#initial-states", 1},
          {"#choices", 4}, {"#branches", 7}, {"#observations", 0},
          {"branch-probability-type", {{"type", "rational"}, {"size", 128}}}}},
        {"annotations",
         {{"aps",
           {{"goal_state", BoolAp("goal")},
            {"trap", BoolAp(nullptr)},
            {"picked", BoolAp("picked", "choices")}}}}},
    };
    parts.Members = {
        {"state-to-choices.bin", Words({0, 2, 3, 4})},
        {"choice-to-branches.bin", Words({0, 2, 3, 6, 7})},
        {"branch-to-target.bin", Words({2, 1, 0, 1, 2, 0, 2})},
        {"branch-to-probability.bin", Rationals({{1, 2}, {2, 4}, {1, 1}, {1, 3}, {0, 5}, {2, 3}, {7, 7}})},
        {"state-is-initial.bin", Words({1})},
        {"annotations/aps/goal_state/states/values.bin", Words({4})},
        {"annotations/aps/trap/states/values.bin", Words({2})},
        {"valuations/states/valuations.bin", std::string(3, '\0')},
    };
    return parts;
}

std::string WriteArchive(const UmbParts& parts) {
    std::vector<std::pair<std::string, std::string_view>> members(parts.Members.begin(), parts.Members.end());
    const std::string index = parts.Index.dump(2);
    if (!parts.Index.is_null()) members.insert(members.begin(), {"index.json", index});
    return TarArchive(members, parts.Filter);
}

// The parts as a pax archive in which one member is sparse: only the given
// regions of its data are stored, the rest are holes, read as zeros.
std::string SparseArchive(const UmbParts& parts, const std::string& sparse,
                          const std::vector<std::pair<int64_t, int64_t>>& regions) {
    std::string bytes;
    const std::unique_ptr<archive, int (*)(archive*)> writer(archive_write_new(), archive_write_free);
    archive_write_set_format_pax(writer.get());
    archive_write_open(
        writer.get(), &bytes, nullptr,
        [](archive*, void* client, const void* buffer, size_t length) -> la_ssize_t {
            static_cast<std::string*>(client)->append(static_cast<const char*>(buffer), length);
            return static_cast<la_ssize_t>(length);
        },
        nullptr);
    const std::string index = parts.Index.dump();
    std::vector<std::pair<std::string, std::string_view>> members(parts.Members.begin(), parts.Members.end());
    members.insert(members.begin(), {"index.json", index});
    for (const auto& [path, data] : members) {
        const std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(entry.get(), path.c_str());
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        if (path == sparse) {
            for (const auto& [offset, length] : regions) archive_entry_sparse_add_entry(entry.get(), offset, length);
        }
        archive_write_header(writer.get(), entry.get());
        archive_write_data(writer.get(), data.data(), data.size());
    }
    archive_write_close(writer.get());
    return bytes;
}

// Writes text into a new FIFO a piece at a time from a thread of its own,
// as a pipe delivers it; stops when the reader goes away.
class FifoWriter {
public:
    FifoWriter(const std::string& path, std::string text) : path_(path) {
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        thread_ = std::thread([this, text = std::move(text)] {
            const int fd = ::open(path_.c_str(), O_WRONLY);  // once the reader opens it
            for (std::size_t at = 0; fd >= 0 && at < text.size(); at += 1000) {
                const std::size_t size = std::min<std::size_t>(1000, text.size() - at);
                if (::write(fd, text.data() + at, size) != static_cast<ssize_t>(size)) break;
            }
            if (fd >= 0) ::close(fd);
        });
    }
    ~FifoWriter() {
        thread_.join();
        ::unlink(path_.c_str());
    }

private:
    std::string path_;
    std::thread thread_;
};

std::string FileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Pipes, FIFOs and devices are read as a stream, a block of lines at a
// time: a model reads as from its file, and an input that never ends, or
// whose header declares more than it holds, is refused at its first
// malformed or overlong line with memory for what came.
TEST(ModelReaders, StreamsReadAsFilesAndEndlessInputsAreRefused) {
    const auto previous = std::signal(SIGPIPE, SIG_IGN);  // a writer whose reader has stopped
    const std::string folder = ::testing::TempDir();
    const std::string prefix = std::string(IICHECK_MODELS) + "/coin2_K4/coin2_K4";
    {
        const FifoWriter tra(folder + "/stream.tra", FileContents(prefix + ".tra"));
        const FifoWriter lab(folder + "/stream.lab", FileContents(prefix + ".lab"));
        ExpectSameModel(ReadModel({ModelFormat::Tra, folder + "/stream.tra", folder + "/stream.lab"},
                                  kDefaultSumTolerance),
                        ReadFile(prefix + ".tra"), Match::Identical);
    }
    {
        const FifoWriter drn(folder + "/stream.drn", FileContents(prefix + ".exact.drn"));
        ExpectSameModel(ReadModel({ModelFormat::Drn, folder + "/stream.drn", ""}, kDefaultSumTolerance),
                        ReadFile(prefix + ".exact.drn"), Match::Identical);
    }
    const std::string labels = folder + "/labels.lab";
    std::ofstream(labels) << "0=\"init\"\n0: 0\n";
    const struct {
        ModelFormat Format;
        const char* Stream;  // nullptr: the device
        const char* Device;
        const char* Error;
    } cases[] = {
        {ModelFormat::Drn, nullptr, "/dev/zero", "/dev/zero:1: the line is longer than 64 MiB"},
        {ModelFormat::Tra, nullptr, "/dev/zero", "/dev/zero:1: the line is longer than 64 MiB"},
        {ModelFormat::Tra, "10000000000 1 1\n9999999999 0 0 1\n", "", ":2: state 9999999999 after only 33 bytes"},
        {ModelFormat::Tra, "2 1 99999999999\n0 0 1 1\n", "",
         ":1: the header declares 99999999999 transitions, but the file has 1"},
        {ModelFormat::Tra, "2 1 1\n0 0 1 1\n0 0 1 1\n", "", ":3: the header declares 1 transitions, but the file has more"},
        {ModelFormat::Drn, "@type: MDP\n@nr_states\n9999999999\n@nr_choices\n1\n@model\nstate 0 init\n\taction a\n\t\t0 : 1\n",
         "", ":3: the header declares 9999999999 states, but the file has 1"},
    };
    for (const auto& test : cases) {
        const std::string path = test.Stream != nullptr ? folder + "/hostile" : test.Device;
        std::unique_ptr<FifoWriter> writer;
        if (test.Stream != nullptr) writer = std::make_unique<FifoWriter>(path, test.Stream);
        const std::string error = ErrorOf([&] { ReadModel({test.Format, path, labels}, kDefaultSumTolerance); });
        ExpectError(error, (test.Stream != nullptr ? path : "") + test.Error);
    }
    std::signal(SIGPIPE, previous);
}

TEST(UmbReader, ReadsEveryCompressionAndKeepsRationalsExact) {
    for (const Compression filter : {Compression::None, Compression::Gzip, Compression::Xz}) {
        SCOPED_TRACE(static_cast<int>(filter));
        UmbParts parts = SmallUmb();
        parts.Filter = filter;
        const std::string bytes = WriteArchive(parts);
        ExpectSmallModel(ParseUmb(bytes, "t.umb", kDefaultSumTolerance));
    }
    // A sparse member: blocks of a few bytes at any offset, elements split
    // between blocks and holes. The targets 2, 1, 0, 1, 2, 0, 2 are nonzero
    // in the bytes 0, 8, 24, 32 and 48 only.
    ExpectSmallModel(ParseUmb(SparseArchive(SmallUmb(), "branch-to-target.bin", {{0, 1}, {8, 17}, {32, 1}, {47, 9}}),
                              "t.umb", kDefaultSumTolerance));
    // index.json need not come first; paths may start with "./"; a label
    // "init" may repeat state-is-initial.bin.
    UmbParts moved = SmallUmb();
    moved.Index["annotations"]["aps"]["init"] = BoolAp(nullptr);
    moved.Members.push_back({"annotations/aps/init/states/values.bin", Words({1})});
    moved.Members.push_back({"./index.json", moved.Index.dump()});
    moved.Index = Json();
    ExpectSmallModel(ParseUmb(WriteArchive(moved), "t.umb", kDefaultSumTolerance));
}

// The bytes gzip-compressed as one member.
std::string Gzip(std::string_view bytes) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, bytes.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string Flipped(std::string bytes, std::size_t fromEnd) {
    bytes[bytes.size() - fromEnd] ^= 1;
    return bytes;
}

TEST(UmbReader, ChecksCompressedDataToItsEnd) {
    const std::string plain = WriteArchive(SmallUmb());
    const std::string gzip = Gzip(plain);
    UmbParts xzParts = SmallUmb();
    xzParts.Filter = Compression::Xz;
    const std::string xz = WriteArchive(xzParts);
    const std::string half = plain.substr(0, plain.size() / 2);
    const struct {
        std::string Bytes;
        const char* Error;  // "" for the small model
        bool Note;          // about data after the compressed data
    } cases[] = {
        // As gzip -t: several members, zeros after them, anything else with a
        // warning; a CRC or length that does not match, or a member cut short,
        // is an error.
        {Gzip(half) + Gzip(plain.substr(half.size())), "", false},
        {gzip + std::string(3000, '\0'), "", false},
        {gzip + "garbage", "", true},
        {gzip + "\x1f", "", true},
        {Flipped(gzip, 8), "t.umb: the gzip compression is damaged: incorrect data check", false},
        {Flipped(gzip, 1), "t.umb: the gzip compression is damaged: incorrect length check", false},
        {gzip + Gzip(plain).substr(0, 20), "t.umb: the gzip compression is damaged: the data ends early", false},
        {Gzip(gzip), "t.umb: is compressed more than once", false},
        // As xz -t: padding in multiples of four zeros; else an error.
        {xz + std::string(4, '\0'), "", false},
        {xz + std::string(3, '\0'), "t.umb: the xz compression is damaged: ", false},
        {xz + "garbage", "t.umb: the xz compression is damaged: ", false},
        {Flipped(xz, 30), "t.umb: the xz compression is damaged: ", false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Error);
        const std::string error = ErrorOf([&] {
            const Model model = ParseUmb(test.Bytes, "t.umb", kDefaultSumTolerance);
            ExpectSmallModel(model);
            EXPECT_EQ(model.Notes.size(), test.Note ? 1u : 0u);
        });
        if (*test.Error == '\0') {
            EXPECT_EQ(error, "");
        } else {
            ExpectError(error, test.Error);
        }
    }
}

// Reads bytes written to a pipe that stays open: "read", the error or the
// stop, and " late" when the reader waited for the pipe's end (closed after
// 10 s, so that it fails rather than hangs). With interrupt, a stop is asked
// for once the reader has taken every byte.
std::string ReadFromPipe(const std::string& bytes, bool interrupt) {
    int ends[2];
    if (::pipe(ends) != 0) return "no pipe";
    std::atomic<bool> done{false};
    bool closedLate = false;
    std::thread writer([&] {
        const ::sighandler_t old = ::signal(SIGPIPE, SIG_IGN);
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::write(ends[1], bytes.data() + at, bytes.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        int waiting = 1;
        const auto start = std::chrono::steady_clock::now();
        const auto late = [&] { return std::chrono::steady_clock::now() - start > std::chrono::seconds(10); };
        while (interrupt && waiting > 0 && !late() && ::ioctl(ends[0], FIONREAD, &waiting) == 0) std::this_thread::yield();
        if (interrupt) RequestInterrupt(SIGTERM);
        while (!done && !late()) std::this_thread::yield();
        closedLate = !done;
        ::close(ends[1]);
        ::signal(SIGPIPE, old);
    });
    std::string outcome;
    try {
        ExpectSmallModel(ReadUmb("/dev/fd/" + std::to_string(ends[0]), kDefaultSumTolerance));
        outcome = "read";
    } catch (const InputError& error) {
        outcome = error.what();
    } catch (const Interrupted& stop) {
        outcome = std::string("interrupted ") + stop.what();
    }
    done = true;
    ::close(ends[0]);
    writer.join();
    ClearInterrupt();
    return outcome + (closedLate ? " late" : "");
}

TEST(UmbReader, ReadsAPipeAsItsDataArrives) {
    // Up to the end of the tar archive, and no further: what follows is never
    // waited for or held. index.json may come last.
    const std::string plain = WriteArchive(SmallUmb());
    EXPECT_EQ(ReadFromPipe(plain + std::string(100000, '\0'), false), "read");
    UmbParts moved = SmallUmb();
    moved.Members.push_back({"index.json", moved.Index.dump()});
    moved.Index = Json();
    EXPECT_EQ(ReadFromPipe(WriteArchive(moved), false), "read");
    // A pipe that stalls stops on a signal.
    EXPECT_EQ(ReadFromPipe(plain.substr(0, plain.size() / 2), true), "interrupted reading");
}

TEST(UmbReader, MalformedArchivesGetOneLineErrorsNamingTheMember) {
    using Change = std::function<void(UmbParts&)>;
    Json& (*system)(UmbParts&) = [](UmbParts& parts) -> Json& { return parts.Index["transition-system"]; };
    const struct {
        Change Apply;
        const char* Error;
    } cases[] = {
        {[](UmbParts& p) { p.Remove("branch-to-target.bin"); },
         "t.umb: member branch-to-target.bin is missing"},
        {[](UmbParts& p) { p.Index = Json(); },
         "t.umb: member index.json is missing"},
        {[](UmbParts& p) { p.Member("branch-to-target.bin") += Words({0}); },
         "t.umb: member branch-to-target.bin: has 64 bytes; the index implies 56"},
        {[](UmbParts& p) { p.Member("state-is-initial.bin").pop_back(); },
         "t.umb: member state-is-initial.bin: has 7 bytes; the index implies 8"},
        {[](UmbParts& p) { p.Member("choice-to-branches.bin") = Words({0, 2, 1, 6, 7}); },
         "t.umb: member choice-to-branches.bin: entry 2 (1) is below entry 1 (2)"},
        {[](UmbParts& p) { p.Member("choice-to-branches.bin") = Words({0, 2, 3, 6, 9}); },
         "t.umb: member choice-to-branches.bin: the last entry is 9, not 7"},
        {[](UmbParts& p) { p.Member("state-to-choices.bin") = Words({1, 2, 3, 4}); },
         "t.umb: member state-to-choices.bin: entry 0 is 1, not 0"},
        {[](UmbParts& p) { p.Member("branch-to-target.bin") = Words({2, 1, 0, 1, 2, 3, 2}); },
         "t.umb: member branch-to-target.bin: branch 5: target 3 is out of range (3 states)"},
        {[](UmbParts& p) { p.Member("branch-to-probability.bin").replace(48, 16, Rationals({{4, 3}})); },
         "t.umb: member branch-to-probability.bin: branch 3: probability 4/3 is greater than 1"},
        {[](UmbParts& p) { p.Member("branch-to-probability.bin").replace(0, 16, Rationals({{1, 0}})); },
         "t.umb: member branch-to-probability.bin: branch 0: probability 1/0 has a zero denominator"},
        {[=](UmbParts& p) {
             system(p)["branch-probability-type"] = {{"type", "double"}, {"size", 64}};
             p.Member("branch-to-probability.bin") = Doubles({0.5, 0.5, 1, NAN, 0, 1, 1});
         },
         "t.umb: member branch-to-probability.bin: branch 3: probability nan is not a number"},
        {[](UmbParts& p) { p.Member("state-is-initial.bin") = Words({9}); },
         "t.umb: member state-is-initial.bin: sets bits beyond the last state"},
        {[](UmbParts& p) { p.Member("state-is-initial.bin") = Words({3}); },
         "t.umb: member state-is-initial.bin: marks 2 initial states; the index says 1"},
        {[](UmbParts& p) { p.Member("branch-to-probability.bin").replace(48, 16, Rationals({{1, 2}})); },
         "t.umb: choice 2 (branches 3 to 5 of branch-to-probability.bin): the probabilities of the choice "
         "that starts here sum to 1.16666666666667, 0.167 above 1"},
        {[](UmbParts& p) { p.Member("annotations/aps/trap/states/values.bin") = Words({8}); },
         "t.umb: member annotations/aps/trap/states/values.bin: sets bits beyond the last state"},
        // A corrupt or meaningless index.
        {[](UmbParts& p) { p.Members.insert(p.Members.begin(), {"index.json", "{\"format-version\": 1,"}); p.Index = Json(); },
         "t.umb: member index.json: is not valid JSON: "},
        {[](UmbParts& p) { p.Index["format-version"] = 2; },
         "t.umb: member index.json: format-version 2 is not supported"},
        {[=](UmbParts& p) { system(p).erase("#states"); },
         "t.umb: member index.json: \"transition-system\".\"#states\" is missing"},
        {[=](UmbParts& p) { system(p)["#choices"] = "4"; },
         "t.umb: member index.json: \"transition-system\".\"#choices\" is \"4\", not a non-negative integer"},
        {[=](UmbParts& p) { system(p)["#branches"] = -7; },
         "t.umb: member index.json: \"transition-system\".\"#branches\" is -7, not a non-negative integer"},
        {[=](UmbParts& p) { system(p)["#states"] = uint64_t{1} << 60; },
         "t.umb: member index.json: \"transition-system\".\"#states\" is 1152921504606846976, too large"},
        {[=](UmbParts& p) { system(p)["branch-probability-type"] = {{"type", "interval"}, {"size", 128}}; },
         "t.umb: member index.json: \"transition-system\".\"branch-probability-type\" {\"type\":\"interval\""},
        {[=](UmbParts& p) { system(p)["time"] = "stochastic"; },
         "t.umb: member index.json: \"transition-system\".\"time\" is \"stochastic\""},
        {[](UmbParts& p) { p.Index["annotations"]["aps"]["trap"]["type"]["type"] = "double"; },
         "t.umb: member index.json: \"annotations\".\"aps\".\"trap\".\"type\" {\"type\":\"double\""},
        {[](UmbParts& p) { p.Index["annotations"]["aps"]["trap"]["alias"] = "goal"; },
         "t.umb: member index.json: two labels are named \"goal\""},
        // Ambiguous archives: what tar -x, another reader or the initial
        // states would take differs from what the reader would.
        {[](UmbParts& p) { p.Members.push_back({"./branch-to-target.bin", Words({0, 0, 0, 0, 0, 0, 0})}); },
         "t.umb: member branch-to-target.bin appears twice"},
        {[](UmbParts& p) { p.Members.push_back({"index.json", p.Index.dump()}); },
         "t.umb: member index.json appears twice"},
        {[](UmbParts& p) {
             std::string text = p.Index.dump();
             text.replace(text.find("\"#states\":3"), 11, "\"#states\":3,\"#states\":4");
             p.Members.insert(p.Members.begin(), {"index.json", text});
             p.Index = Json();
         },
         "t.umb: member index.json: \"transition-system\" has the key \"#states\" twice"},
        {[](UmbParts& p) {
             p.Index["annotations"]["aps"]["init"] = BoolAp(nullptr);
             p.Members.push_back({"annotations/aps/init/states/values.bin", Words({3})});
         },
         "t.umb: member annotations/aps/init/states/values.bin: the label \"init\" marks state 1, which "
         "state-is-initial.bin does not mark as initial"},
        // An index far larger than any real one, refused before it is read.
        {[](UmbParts& p) {
             p.Filter = Compression::Gzip;
             p.Members.insert(p.Members.begin(), {"index.json", p.Index.dump() + std::string(kMaxIndexBytes, ' ')});
             p.Index = Json();
         },
         "t.umb: member index.json: has 16777"},
        // Declared sizes that the archive cannot hold: refused before
        // anything is allocated or decompressed for them.
        {[=](UmbParts& p) {
             system(p)["#branches"] = uint64_t{1} << 36;
             p.Member("choice-to-branches.bin") = Words({0, 2, 3, 6, uint64_t{1} << 36});
         },
         "t.umb: member branch-to-target.bin: the index implies 549755813888 bytes, more than this"},
        {[=](UmbParts& p) {
             p.Filter = Compression::Gzip;
             system(p)["#branches"] = uint64_t{1} << 36;
             p.Member("choice-to-branches.bin") = Words({0, 2, 3, 6, uint64_t{1} << 36});
         },
         "t.umb: member branch-to-target.bin: the index implies 549755813888 bytes, more than this"},
        // A decompression bomb: a member far larger than the index implies.
        {[](UmbParts& p) {
             p.Filter = Compression::Gzip;
             p.Member("branch-to-target.bin") = std::string(std::size_t{16} << 20, '\0');
         },
         "t.umb: member branch-to-target.bin: has 16777216 bytes; the index implies 56"},
    };
    // The same from a file, which is read a block at a time.
    const std::string path =
        (std::filesystem::temp_directory_path() / ("iicheck-reader-" + std::to_string(::getpid()) + ".umb")).string();
    for (const auto& test : cases) {
        UmbParts parts = SmallUmb();
        test.Apply(parts);
        const std::string bytes = WriteArchive(parts);
        ExpectError(ErrorOf([&] { ParseUmb(bytes, "t.umb", kDefaultSumTolerance); }), test.Error);
        std::ofstream(path, std::ios::binary) << bytes;
        ExpectError(ErrorOf([&] { ReadUmb(path, kDefaultSumTolerance); }), path + std::string(test.Error).substr(5));
    }
    std::filesystem::remove(path);

    // Truncated archives: inside a member's data, the error names it; at
    // any point, either an error or, when only what follows the model's
    // members is cut, the same model.
    const std::string plain = WriteArchive(SmallUmb());
    const std::size_t cut = plain.find("branch-to-target.bin") + 512 + 20;
    ExpectError(ErrorOf([&] { ParseUmb(plain.substr(0, cut), "t.umb", kDefaultSumTolerance); }),
                "t.umb: member branch-to-target.bin: cannot be read: ");
    UmbParts gzip = SmallUmb();
    gzip.Filter = Compression::Gzip;
    for (const std::string& bytes : {plain, WriteArchive(gzip)}) {
        std::size_t errors = 0;
        for (std::size_t keep = 0; keep < bytes.size(); keep += 1 + bytes.size() / 1000) {
            const std::string error =
                ErrorOf([&] { ExpectSmallModel(ParseUmb(bytes.substr(0, keep), "t.umb", kDefaultSumTolerance)); });
            if (!error.empty()) ExpectError(error, "t.umb: ");
            errors += !error.empty();
        }
        EXPECT_GT(errors, 0u);
    }
    ExpectError(ErrorOf([&] { ParseUmb("state 0 init\n", "t.umb", kDefaultSumTolerance); }), "t.umb: not a UMB archive");
}

// ---- DRN ----

TEST(DrnReader, ToleratesLayoutVariationsAndReadsExactly) {
    // CRLF, spaces for tabs, "@type:MDP", trailing blanks, comments, "T:P",
    // a fraction, a probability 0, an unsorted choice.
    const std::string text =
        "// Exported by storm\r\n"
        "@type:MDP\r\n"
        "@value_type: rational\r\n"
        "@parameters\r\n"
        "\r\n"
        "@reward_models\r\n"
        "time steps\r\n"
        "@nr_states \r\n"
        "3\r\n"
        "@nr_choices\r\n"
        "4\r\n"
        "@model\r\n"
        "state 0 [0, 1] init  \r\n"
        "\taction a [1, 0]\r\n"
        "\t\t2 : 5E-1\r\n"
        "\t\t1:1/2\r\n"
        "  action b\r\n"
        "    0 : 1\r\n"
        "// a comment\r\n"
        "state 1 [0, 0] trap\r\n"
        "\taction __NOLABEL__ [0, 0]\r\n"
        "\t\t1 : 1/3\t\r\n"
        "\t\t2 : 0\r\n"
        "\t\t0 : 2/3\r\n"
        "state 2 [1, 1] goal\r\n"
        "\taction c [0, 0]\r\n"
        "\t\t2 : 1\r\n";
    const Model small = ParseDrn(text, "m.drn", kDefaultSumTolerance);
    ExpectSmallModel(small);
    // Room for its transition lines is made once, not grown.
    EXPECT_LE(small.Mdp.TransitionTarget.capacity(), 7u);

    // A DTMC, with a printed binary64 value (2^-32), counted in a note.
    const Model dtmc = ParseDrn(
        "@type: DTMC\n@nr_states\n2\n@nr_choices\n2\n@model\n"
        "state 0 init\n\taction 0\n\t\t0 : 2.3283064365386963e-10\n\t\t1 : 0.99999999976716935634613037109375\n"
        "state 1\n\taction 0\n\t\t1 : 1\n", "d.drn", kDefaultSumTolerance);
    EXPECT_TRUE(dtmc.Dtmc);
    EXPECT_EQ(dtmc.Mdp.ChoiceTransitionStart, (std::vector<uint64_t>{0, 2, 3}));
    EXPECT_EQ(dtmc.Mdp.TransitionValues[0].Value, 0x1p-32);
    ASSERT_EQ(dtmc.Notes.size(), 1u);
    EXPECT_EQ(dtmc.Notes[0].rfind("d.drn:9: 1 probability (here) is neither", 0), 0u) << dtmc.Notes[0];
}

TEST(DrnReader, MalformedFilesGetOneLineErrorsNamingTheLine) {
    const std::string head = "@type: MDP\n@parameters\n\n@reward_models\n\n@nr_states\n2\n@nr_choices\n2\n@model\n";
    const std::string state0 = "state 0 init\n\taction a\n\t\t1 : 1\n";
    const std::string state1 = "state 1\n\taction a\n\t\t0 : 1\n";
    const struct {
        std::string Text;
        const char* Error;
    } cases[] = {
        {"", "m.drn: no \"@model\" line"},
        {"@type: MDP\nstate 0\n", "m.drn:2: expected a header line \"@...\" before \"@model\""},
        {"@type: CTMC\n", "m.drn:1: model type \"CTMC\" is not supported (MDP or DTMC)"},
        {"@type: MDP\n@type: MDP\n", "m.drn:2: a second \"@type\" line"},
        {"@parameters\np q\n", "m.drn:2: parametric models are not supported (parameters \"p q\")"},
        {"@value_type: parametric\n", "m.drn:1: value type \"parametric\" is not supported"},
        {"@nr_states\nmany\n", "m.drn:2: the number of states \"many\" is not a non-negative integer"},
        {"@nr_states\n0\n", "m.drn:2: the header declares no states"},
        {"@nr_states\n99999999\n", "m.drn:2: the header declares 99999999 states, more than a file of 20 bytes can hold"},
        {"@placeholders\n", "m.drn:1: unknown header line \"@placeholders\""},
        {"@type: MDP\n@nr_states\n2\n@model\n", "m.drn:4: no \"@nr_choices\" before \"@model\""},
        {head + state1, "m.drn:11: state 1 where state 0 is due"},
        {head + state0 + state1 + "state 2\n", "m.drn:17: the header declares 2 states, but the file has more"},
        {head + state0, "m.drn:7: the header declares 2 states, but the file has 1"},
        {head + state0 + "state 1\n", "m.drn:9: the header declares 2 choices, but the file has 1"},
        {head + state0 + state1 + "\taction b\n", "m.drn:17: the header declares 2 choices, but the file has more"},
        {head + "\taction a\n", "m.drn:11: an \"action\" line before the first state"},
        {head + "state 0 init\n\t\t1 : 1\n", "m.drn:12: a transition before the first \"action\" line"},
        {head + "state 0 init\n\taction\n", "m.drn:12: an \"action\" line without an action name"},
        {head + "state 0 init\n\taction a b\n", "m.drn:12: unexpected \"b\" after the action"},
        {head + "state 0 [1, 2 init\n", "m.drn:11: unterminated reward list \"[1, 2 init\""},
        {head + "state 0 init\n\taction a\n\t\t2 : 1\n", "m.drn:13: target state \"2\" is out of range (2 states)"},
        {head + "state 0 init\n\taction a\n\t\t1 1\n", "m.drn:13: expected \":\" after the target state"},
        {head + "state 0 init\n\taction a\n\t\t1 :\n", "m.drn:13: missing probability"},
        {head + "state 0 init\n\taction a\n\t\t1 : 1 x\n", "m.drn:13: unexpected \"x\" after the probability"},
        {head + "state 0 init\n\taction a\n\t\t1 : 3/2\n", "m.drn:13: probability \"3/2\" is greater than 1"},
        {head + "state 0 init\n\taction a\n\t\tone : 1\n", "m.drn:13: expected \"state\", \"action\" or \"target : probability\""},
        {head + "state 0\n\taction a\n\t\t1 : 1\n" + state1, "m.drn: no state carries the label \"init\""},
        {head + state0 + state1 + "@model\n", "m.drn:17: a header line after \"@model\""},
        {head + "state 0 init\n\taction a\n\t\t1 : 0.9\n" + state1,
         "m.drn:12: the probabilities of the choice that starts here sum to 0.9"},
        {"@type: DTMC\n@nr_states\n2\n@nr_choices\n2\n@model\nstate 0 init\n\taction 0\n\t\t1 : 1\n\taction 1\n",
         "m.drn:10: a second \"action\" line for state 0 of a DTMC"},
        {"@type: DTMC\n@nr_states\n2\n@nr_choices\n2\n@model\nstate 0 init\nstate 1\n",
         "m.drn:7: state 0 of a DTMC has no \"action\" line"},
    };
    for (const auto& test : cases) {
        ExpectError(ErrorOf([&] { ParseDrn(test.Text, "m.drn", kDefaultSumTolerance); }), test.Error);
    }

    // A label of its own on each of many states: kept as lists, they take
    // memory that follows the file, where bitsets would take its square.
    const uint64_t states = 100000;
    std::string many = "@type: MDP\n@nr_states\n" + std::to_string(states) + "\n@nr_choices\n0\n@model\n";
    for (uint64_t s = 0; s < states; ++s) {
        many += "state " + std::to_string(s) + (s == 0 ? " init" : "") + " l" + std::to_string(s) + "\n";
    }
    const Model labelled = ParseDrn(many, "m.drn", kDefaultSumTolerance);
    ASSERT_EQ(labelled.Labels.Count(), states + 1);
    EXPECT_EQ(Members(LabelStates(labelled.Labels, states, states), states), std::vector<uint64_t>{states - 1});
    EXPECT_TRUE(labelled.Labels.Bitsets.empty());
}

}  // namespace
}  // namespace iicheck
