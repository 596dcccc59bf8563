// iigen: writes a large random MDP in the export formats of model checkers,
// shaped like the models they export, for timing iicheck.
//
//   iigen [--transitions N] [--seed S] [--format F,...] [--binary64] PREFIX
//   iigen --consensus PROCESSES K [--format F,...] PREFIX
//   iigen --zeroconf K [--reset] [--binary64] [--format F,...] PREFIX
//
// writes PREFIX.tra and PREFIX.lab (format tra, the default), PREFIX.drn
// (drn), PREFIX.umb (umb, an uncompressed archive) and PREFIX.umb.gz
// (umb.gz), each the same model: its probabilities exactly as the text
// formats write them (UMB: rationals), or with --binary64 as an exporter
// that computes in binary64 writes them (the shortest decimal of each
// value; UMB: binary64 values). --consensus writes the randomised consensus
// protocol instead (tra, umb and umb.gz), --zeroconf the IPv4 zeroconf
// protocol with K probes, without or with reset. The shape of the models:
// ModelGenerator.hpp.
#include "formats/ModelGenerator.hpp"
#include "formats/ModelWriter.hpp"
#include "formats/TraReader.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class Output {
public:
    explicit Output(const std::string& path) : file_(std::fopen(path.c_str(), "wb")), path_(path) {
        if (file_ == nullptr) {
            std::perror(path.c_str());
            std::exit(1);
        }
        buffer_.reserve(kFlush + 256);
    }
    ~Output() {
        Flush();
        if (std::fclose(file_) != 0) {
            std::perror(path_.c_str());
            std::exit(1);
        }
    }
    Output& operator<<(uint64_t value) {
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        buffer_.append(text, end);
        return *this;
    }
    Output& operator<<(const std::string& text) {
        buffer_ += text;
        if (buffer_.size() >= kFlush) Flush();
        return *this;
    }
    Output& operator<<(const char* text) { return *this << std::string(text); }

private:
    static constexpr std::size_t kFlush = 1 << 20;
    void Flush() {
        if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
            std::perror(path_.c_str());
            std::exit(1);
        }
        buffer_.clear();
    }
    std::FILE* file_;
    std::string path_;
    std::string buffer_;
};

}  // namespace

namespace {

const char* const kUsage =
    "Usage: iigen [--transitions N] [--seed S] [--format F,...] [--binary64] PREFIX\n"
    "       iigen --consensus PROCESSES K [--format F,...] PREFIX\n"
    "       iigen --zeroconf K [--reset] [--binary64] [--format F,...] PREFIX\n"
    "Writes a random MDP of about N transitions (default 10000000) to PREFIX.tra\n"
    "and PREFIX.lab, or in the formats F: tra, drn (PREFIX.drn), umb (PREFIX.umb)\n"
    "and umb.gz (PREFIX.umb.gz). --binary64: probabilities as binary64 values\n"
    "(printed as their shortest decimals; in UMB as binary64) instead of exactly.\n"
    "--consensus: the randomised consensus protocol of PROCESSES processes with\n"
    "constant K instead (formats tra, umb and umb.gz); --zeroconf: the IPv4\n"
    "zeroconf protocol with K probes, --reset: the variant with reset.\n";

void WriteFile(const std::string& path, const std::string& bytes) {
    Output out(path);
    out << bytes;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t transitions = 10000000;
    uint64_t seed = 1;
    uint64_t processes = 0;
    uint64_t k = 0;
    uint64_t probes = 0;
    bool reset = false;
    std::string prefix;
    std::string formats = "tra";
    bool binary64 = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--transitions" || argument == "--seed") && i + 1 < argc) {
            (argument == "--transitions" ? transitions : seed) = std::strtoull(argv[++i], nullptr, 10);
        } else if (argument == "--consensus" && i + 2 < argc) {
            processes = std::strtoull(argv[++i], nullptr, 10);
            k = std::strtoull(argv[++i], nullptr, 10);
        } else if (argument == "--zeroconf" && i + 1 < argc) {
            probes = std::strtoull(argv[++i], nullptr, 10);
            if (probes == 0) probes = ~uint64_t{0};  // refused below
        } else if (argument == "--reset") {
            reset = true;
        } else if (argument == "--format" && i + 1 < argc) {
            formats = argv[++i];
        } else if (argument == "--binary64") {
            binary64 = true;
        } else if (argument == "--help" || argument[0] == '-' || !prefix.empty()) {
            std::fputs(kUsage, argument == "--help" ? stdout : stderr);
            return argument == "--help" ? 0 : 1;
        } else {
            prefix = argument;
        }
    }
    if (prefix.empty() || transitions == 0 || (processes == 0) != (k == 0) || processes > 8 || k > 64 ||
        probes > 64 || (probes != 0 && processes != 0) || (reset && probes == 0)) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    iicheck::generator::Totals totals;
    uint64_t states = iicheck::generator::StatesFor(transitions);
    // The model as .tra and .lab text.
    auto writeText = [&](auto& tra, auto& lab) {
        if (probes != 0) {
            const iicheck::generator::Zeroconf zeroconf(static_cast<unsigned>(probes), reset, binary64);
            states = zeroconf.States();
            return zeroconf.Write(tra, lab);
        }
        if (processes == 0) return iicheck::generator::WriteModel(transitions, seed, binary64, tra, lab);
        const iicheck::generator::Consensus consensus(static_cast<unsigned>(processes), static_cast<unsigned>(k));
        states = consensus.States();
        return consensus.Write(tra, lab);
    };
    std::size_t start = 0;
    while (start <= formats.size()) {
        const std::size_t comma = std::min(formats.find(',', start), formats.size());
        const std::string format = formats.substr(start, comma - start);
        start = comma + 1;
        if (format == "tra") {
            Output tra(prefix + ".tra");
            Output lab(prefix + ".lab");
            totals = writeText(tra, lab);
        } else if (format == "drn" && processes == 0 && probes == 0) {
            Output drn(prefix + ".drn");
            totals = iicheck::generator::WriteDrn(transitions, seed, binary64, drn);
        } else if (format == "umb" || format == "umb.gz") {
            iicheck::generator::StringSink tra;
            iicheck::generator::StringSink lab;
            totals = writeText(tra, lab);
            iicheck::Model model = iicheck::ParseTra(tra.Text, "generated.tra", lab.Text, "generated.lab",
                                                     iicheck::kDefaultSumTolerance);
            if (binary64) iicheck::RoundToBinary64(model);
            WriteFile(prefix + "." + format,
                      iicheck::UmbArchive(model, format == "umb" ? iicheck::Compression::None
                                                                 : iicheck::Compression::Gzip));
        } else {
            std::fprintf(stderr, "iigen: unknown format \"%s\"\n%s", format.c_str(), kUsage);
            return 1;
        }
    }
    std::printf("%s: %llu states, %llu choices, %llu transitions\n", prefix.c_str(),
                static_cast<unsigned long long>(states), static_cast<unsigned long long>(totals.Choices),
                static_cast<unsigned long long>(totals.Transitions));
    return 0;
}
