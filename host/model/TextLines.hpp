// Lines of a text and the tokens of a line, for the readers of text formats
// (.tra/.lab, DRN): the messages they give name the file and the line, with
// what comes from the input made printable (Text.hpp).
#pragma once

#include "model/ExactValue.hpp"
#include "model/ExplicitModel.hpp"
#include "support/Text.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace iicheck {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Lines of a text, numbered from 1, without their line ending (LF or CRLF).
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
            while (p != end && IsBlank(*p)) ++p;
            if (p != end && *p != '#') return true;
        }
        return false;
    }

    uint64_t Number() const { return number_; }
    // The text after the current line.
    std::string_view Rest() const { return {p_, static_cast<std::size_t>(end_ - p_)}; }

private:
    const char* p_;
    const char* end_;
    uint64_t number_ = 0;
};

// The next blank-separated token of [p, end); false when none is left.
inline bool NextToken(const char*& p, const char* end, const char*& begin, const char*& tokenEnd) {
    while (p != end && IsBlank(*p)) ++p;
    if (p == end) return false;
    begin = p;
    while (p != end && !IsBlank(*p)) ++p;
    tokenEnd = p;
    return true;
}

// A decimal integer that fits 64 bits, and nothing else.
inline bool ParseIndex(const char* begin, const char* end, uint64_t& value) {
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

// A piece of a line for a message: printable, quoted and cut at 40 bytes.
inline std::string Quoted(const char* begin, const char* end) {
    return Quoted(std::string_view(begin, static_cast<std::size_t>(end - begin)));
}

// "name:line" for messages, or "name" when line is 0.
inline std::string Place(const std::string& name, uint64_t line) {
    return line != 0 ? Printable(name) + ":" + std::to_string(line) : Printable(name);
}

[[noreturn]] inline void FailAtLine(const std::string& name, uint64_t line, const std::string& text) {
    throw InputError(Place(name, line) + ": " + text);
}

// Reads the next token of a line as an index; what names it in messages.
inline uint64_t IndexToken(const char*& p, const char* end, const std::string& name, uint64_t line,
                           const char* what) {
    const char* begin;
    const char* tokenEnd;
    if (!NextToken(p, end, begin, tokenEnd)) FailAtLine(name, line, std::string("missing ") + what);
    uint64_t value;
    if (!ParseIndex(begin, tokenEnd, value)) {
        FailAtLine(name, line, std::string(what) + " " + Quoted(begin, tokenEnd) +
                                   " is not a non-negative integer");
    }
    return value;
}

// The probabilities of a text read as printed binary64 values
// (ExactValue.hpp), for the one note that reports them.
struct PrintedValues {
    uint64_t Count = 0;
    uint64_t FirstLine = 0;
};

// Reads the probability [begin, end) on a line.
inline TransitionValue ProbabilityToken(const char* begin, const char* end, const std::string& name,
                                        uint64_t line, PrintedValues& printed) {
    TransitionValue value;
    bool printedBinary64 = false;
    const ValueError error = ParseProbability(begin, end, value, printedBinary64);
    if (error != ValueError::None) {
        FailAtLine(name, line, "probability " + Quoted(begin, end) + " " + Describe(error));
    }
    if (printedBinary64 && printed.Count++ == 0) printed.FirstLine = line;
    return value;
}

// The note on the values read as printed binary64 values, or "".
inline std::string PrintedNote(const PrintedValues& printed, const std::string& name) {
    if (printed.Count == 0) return "";
    return Place(name, printed.FirstLine) + ": " + std::to_string(printed.Count) +
           (printed.Count == 1 ? " probability (here) is" : " probabilities (the first here) are") +
           " neither a binary64 value nor a fraction of 64-bit integers as written, but the "
           "shortest or 17-digit decimal of a binary64 value: read as that value";
}

}  // namespace iicheck
