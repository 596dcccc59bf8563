// Text from input files and the command line, made safe to show: every
// message, the text output and the JSON output pass file names, label names
// and excerpts of the input through Printable.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace iicheck {

// Valid UTF-8 that a terminal shows as it is: bytes that are not UTF-8 and
// control characters (C0, DEL, C1) become "\xHH"; the byte-order mark and
// the characters that reorder or break lines (U+2028, U+2029, the bidi
// embeddings, overrides and isolates) become "\uHHHH". Everything else is
// kept as it is.
std::string Printable(std::string_view text);

// Printable(text) in double quotes, cut after maxBytes bytes of the input
// ("...").
std::string Quoted(std::string_view text, std::size_t maxBytes = 40);

// Names for a one-line message, joined by ", ": the first few as given, then
// how many more ("a, b, c, and 99997 more"), so that a file of a hundred
// thousand labels still gives a line that can be read.
class NameList {
public:
    static constexpr std::size_t kShown = 8;

    void Add(std::string_view shown);  // a name as the message shows it (Printable, Quoted)
    std::size_t Count() const { return count_; }
    std::string Text() const;

private:
    std::string text_;
    std::size_t count_ = 0;
};

}  // namespace iicheck
