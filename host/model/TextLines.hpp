// Lines of a text and the tokens of a line, for the readers of text formats
// (.tra/.lab, DRN): the messages they give name the file and the line, with
// what comes from the input made printable (Text.hpp).
//
// The readers take their text from a TextSource, a piece at a time: a
// regular file, a pipe, a FIFO or a device alike, and a text in memory. So
// memory does not grow with the input (only with what is read from it), and
// an input that never ends (/dev/zero) is refused at its first malformed or
// overlong line.
#pragma once

#include "model/ExactValue.hpp"
#include "model/ExplicitModel.hpp"
#include "support/Text.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace iicheck {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The longest line a text format may have: far above any real line (a
// transition takes tens of bytes, a .lab header with a thousand labels tens
// of kilobytes), and what a text read from a stream holds at most at once.
constexpr std::size_t kMaxLineBytes = std::size_t{64} << 20;

// A text read a block of whole lines at a time, from a file of any kind or
// from memory. Every block ends with a line feed (one is added to a last
// line without it), and at least kPadding readable bytes follow it, so that
// a parser may look ahead by a few words without a bounds check.
class TextSource {
public:
    static constexpr std::size_t kPadding = 64;

    // Opens the file; InputError when it cannot be opened, is a folder, or
    // cannot be read. A FIFO without a writer waits for one in Next, where
    // a stop (Interrupt.hpp) ends the wait.
    explicit TextSource(const std::string& path);
    // A text in memory, named name in messages.
    TextSource(std::string_view text, const std::string& name);
    ~TextSource();
    TextSource(const TextSource&) = delete;
    TextSource& operator=(const TextSource&) = delete;

    const std::string& Name() const { return name_; }
    // The size of the whole text when it is known beforehand (a regular
    // file, a text in memory); 0 for a stream.
    bool SizeKnown() const { return sizeKnown_; }
    uint64_t Size() const { return size_; }
    // The bytes handed out in blocks so far.
    uint64_t Offset() const { return offset_; }

    // The next block of whole lines, [begin, end); false at the end of the
    // text. The previous block is gone. linesBefore (the lines of the
    // blocks before) numbers a line longer than kMaxLineBytes in its
    // InputError. Throws Interrupted on a stop.
    bool Next(const char*& begin, const char*& end, uint64_t linesBefore);

    // For a text whose size is known: how often the bytes a and b occur in
    // the text after the blocks handed out (a reader's count of what is to
    // come, to allocate once).
    void CountAhead(char a, char b, uint64_t& countA, uint64_t& countB);

private:
    // Appends input after filled_; false at its end.
    bool ReadMore();

    std::string name_;
    int fd_ = -1;
    std::string_view memory_;  // the rest of a text in memory
    bool sizeKnown_ = false;
    uint64_t size_ = 0;
    uint64_t offset_ = 0;
    struct Free {
        void operator()(char* block) const { std::free(block); }
    };
    std::unique_ptr<char, Free> buffer_;  // grown by realloc: no second copy at once
    std::size_t capacity_ = 0;  // without a line feed added at the end and the padding
    std::size_t filled_ = 0;
    std::size_t handed_ = 0;    // the end of the block handed out last
    uint64_t fileOffset_ = 0;   // the bytes read from the file
    bool ended_ = false;
};

// The lines of a TextSource, numbered from 1, without their line ending (LF
// or CRLF). A line stays valid until the next call of Next, NextContent or
// Rest. Readers with a loop of their own over many short lines take the
// rest of the block with Rest and hand back what they read with Skip.
class LineReader {
public:
    explicit LineReader(TextSource& source) : source_(source) {}

    bool Next(const char*& begin, const char*& end);
    // Skips blank and '#' comment lines; false at the end of the text.
    bool NextContent(const char*& begin, const char*& end);
    // The next call of Next gives the current line again, with its number:
    // one line of look-ahead.
    void Repeat() {
        repeat_ = true;
        --number_;
    }
    uint64_t Number() const { return number_; }
    const std::string& Name() const { return source_.Name(); }
    TextSource& Source() const { return source_; }

    // The unread lines of the current block, [p, end), end just after a
    // line feed; reads the next block when none is left. False at the end of
    // the text.
    bool Rest(const char*& p, const char*& end);
    // How often the bytes a and b occur in the text after the current line,
    // for a text whose size is known (TextSource::CountAhead).
    void CountAhead(char a, char b, uint64_t& countA, uint64_t& countB);
    // The lines before p, lines of them, are read.
    void Skip(const char* p, uint64_t lines) {
        p_ = p;
        number_ += lines;
    }

private:
    TextSource& source_;
    const char* p_ = nullptr;
    const char* end_ = nullptr;
    const char* lineBegin_ = nullptr;
    const char* lineEnd_ = nullptr;
    uint64_t number_ = 0;
    bool repeat_ = false;
};

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

// The number at p of 1 to 15 decimal digits, read eight digits at a time:
// the byte after its digits, or nullptr when there is no digit or more
// than 15. The 16 bytes from p must be readable.
[[gnu::always_inline]] inline const char* ShortNumber(const char* p, uint64_t& value) {
    uint64_t chunk;
    std::memcpy(&chunk, p, sizeof chunk);
    uint64_t other = NonDigits(chunk);
    if (other != 0) {
        const unsigned digits = static_cast<unsigned>(__builtin_ctzll(other)) >> 3;
        if (digits == 0) return nullptr;
        // One digit (a choice's number, mostly) needs no multiplication.
        value = digits == 1 ? (chunk & 0xFF) - '0' : FewDigits(chunk, digits);
        return p + digits;
    }
    const uint64_t high = EightDigits(chunk);
    std::memcpy(&chunk, p + 8, sizeof chunk);
    other = NonDigits(chunk);
    if (other == 0) return nullptr;
    const unsigned digits = static_cast<unsigned>(__builtin_ctzll(other)) >> 3;
    constexpr uint64_t kPowers[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
    value = digits == 0 ? high : high * kPowers[digits] + FewDigits(chunk, digits);
    return p + 8 + digits;
}

// ShortNumber followed by the byte after: the byte after that one, or
// nullptr.
[[gnu::always_inline]] inline const char* ShortIndex(const char* p, char after, uint64_t& value) {
    p = ShortNumber(p, value);
    return p != nullptr && *p == after ? p + 1 : nullptr;
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

[[noreturn, gnu::cold, gnu::noinline]] inline void FailAtProbability(const char* begin, const char* end,
                                                                     const std::string& name, uint64_t line,
                                                                     ValueError error) {
    FailAtLine(name, line, "probability " + Quoted(begin, end) + " " + Describe(error));
}

// Reads the probability [begin, end) on a line of a TextSource's block.
inline TransitionValue ProbabilityToken(const char* begin, const char* end, const std::string& name,
                                        uint64_t line, ProbabilityReader& reader, PrintedValues& printed) {
    TransitionValue value;
    bool printedBinary64 = false;
    const ValueError error = reader.Parse(begin, end, value, printedBinary64);
    if (error != ValueError::None) [[unlikely]] {
        FailAtProbability(begin, end, name, line, error);
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

// What a text reader keeps about the transitions it reads: their values,
// read with a ProbabilityReader and counted for the note on printed binary64
// values, and the choice being read, checked as soon as it ends while its
// line is known.
class TransitionText {
public:
    TransitionText(const std::string& name, double tolerance)
        : name_(name), checker_(tolerance), locate_([this](uint64_t) { return Place(name_, choiceLine_); }) {}
    TransitionText(const TransitionText&) = delete;
    TransitionText& operator=(const TransitionText&) = delete;

    // The probability [begin, end) on line.
    TransitionValue Value(const char* begin, const char* end, uint64_t line) {
        return ProbabilityToken(begin, end, name_, line, values_, printed_);
    }
    // A choice of mdp starts on line.
    void StartChoice(ExplicitMdp& mdp, uint64_t line) {
        mdp.ChoiceTransitionStart.push_back(mdp.TransitionTarget.size());
        choiceLine_ = line;
    }
    // A transition of the last choice; one with probability 0 is none.
    void Add(ExplicitMdp& mdp, uint64_t target, const TransitionValue& value) {
        if (IsZero(value)) return;
        checker_.Add(value);
        mdp.TransitionTarget.push_back(target);
        mdp.TransitionValues.push_back(value);
    }
    // The last choice of mdp is complete.
    void EndChoice(const ExplicitMdp& mdp) { checker_.End(mdp, locate_); }
    // The notes on what was read, into notes.
    void AddNotes(std::vector<std::string>& notes) const {
        for (const std::string& note : {PrintedNote(printed_, name_), checker_.Note()}) {
            if (!note.empty()) notes.push_back(note);
        }
    }

private:
    const std::string& name_;
    ChoiceChecker checker_;
    const ChoiceLocator locate_;  // the choice being read
    ProbabilityReader values_;
    PrintedValues printed_;
    uint64_t choiceLine_ = 0;  // where the choice being read starts
};

}  // namespace iicheck
