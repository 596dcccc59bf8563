#include "support/Text.hpp"

#include <cstdint>
#include <cstdio>
#include <string>

namespace iicheck {
namespace {

void AppendEscape(std::string& out, const char* format, uint32_t value) {
    char escape[16];
    std::snprintf(escape, sizeof escape, format, static_cast<unsigned>(value));
    out += escape;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at text[at] (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF) and its code
// point; 0 when the bytes there are not one.
std::size_t Decode(std::string_view text, std::size_t at, uint32_t& point) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length;
    uint32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
        point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
        point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
        point = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if (!IsContinuation(byte(i))) return 0;
        point = (point << 6) | (byte(i) & 0x3F);
    }
    if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    return length;
}

// Characters that are valid UTF-8 but change what a terminal shows.
bool IsHidden(uint32_t point) {
    return (point >= 0x80 && point <= 0x9F) || point == 0xFEFF || point == 0x2028 ||
           point == 0x2029 || (point >= 0x202A && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069);
}

}  // namespace

std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                AppendEscape(out, "\\x%02x", c);
            } else {
                out += static_cast<char>(c);
            }
            ++at;
            continue;
        }
        uint32_t point = 0;
        const std::size_t length = Decode(text, at, point);
        if (length == 0) {
            AppendEscape(out, "\\x%02x", c);
            ++at;
        } else {
            if (IsHidden(point)) {
                AppendEscape(out, "\\u%04x", point);
            } else {
                out.append(text.substr(at, length));
            }
            at += length;
        }
    }
    return out;
}

std::string Quoted(std::string_view text, std::size_t maxBytes) {
    // Appended rather than "\"" + ...: GCC 12 at -O3 warns falsely about the
    // overlap of that form where this is inlined (-Wrestrict).
    std::string quoted = "\"";
    quoted += Printable(text.substr(0, std::min(text.size(), maxBytes)));
    quoted += text.size() <= maxBytes ? "\"" : "...\"";
    return quoted;
}

void NameList::Add(std::string_view shown) {
    if (count_++ >= kShown) return;
    if (!text_.empty()) text_ += ", ";
    text_ += shown;
}

std::string NameList::Text() const {
    return count_ <= kShown ? text_ : text_ + ", and " + std::to_string(count_ - kShown) + " more";
}

}  // namespace iicheck
