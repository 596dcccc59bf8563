// iigen: writes a large random MDP in the explicit export format, shaped like
// the models that model checkers export, for timing iicheck.
//
//   iigen [--transitions N] [--seed S] PREFIX      writes PREFIX.tra, PREFIX.lab
//
// The shape of the models: ModelGenerator.hpp.
#include "ModelGenerator.hpp"

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

int main(int argc, char** argv) {
    uint64_t transitions = 10000000;
    uint64_t seed = 1;
    std::string prefix;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--transitions" || argument == "--seed") && i + 1 < argc) {
            (argument == "--transitions" ? transitions : seed) = std::strtoull(argv[++i], nullptr, 10);
        } else if (argument == "--help" || argument[0] == '-' || !prefix.empty()) {
            std::fputs("Usage: iigen [--transitions N] [--seed S] PREFIX\n"
                       "Writes a random MDP of about N transitions (default 10000000) to\n"
                       "PREFIX.tra and PREFIX.lab.\n", argument == "--help" ? stdout : stderr);
            return argument == "--help" ? 0 : 1;
        } else {
            prefix = argument;
        }
    }
    if (prefix.empty() || transitions == 0) {
        std::fputs("Usage: iigen [--transitions N] [--seed S] PREFIX\n", stderr);
        return 1;
    }
    iicheck::generator::Totals totals;
    {
        Output tra(prefix + ".tra");
        Output lab(prefix + ".lab");
        totals = iicheck::generator::WriteModel(transitions, seed, tra, lab);
    }
    const uint64_t states = iicheck::generator::StatesFor(transitions);
    std::printf("%s.tra: %llu states, %llu choices, %llu transitions\n", prefix.c_str(),
                static_cast<unsigned long long>(states), static_cast<unsigned long long>(totals.Choices),
                static_cast<unsigned long long>(totals.Transitions));
    return 0;
}
