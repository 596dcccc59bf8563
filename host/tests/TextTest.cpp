// The one escaping helper that every message and output uses.
#include "support/Text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace iicheck {
namespace {

TEST(Text, PrintableEscapesWhatATerminalWouldActOnAndKeepsTheRest) {
    const struct {
        std::string Input;
        const char* Shown;
    } cases[] = {
        {"plain label_1 \"x\" \\", "plain label_1 \"x\" \\"},
        {"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80", "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80"},
        {std::string("\x1b[31m\0\t\n\x7f", 9), "\\x1b[31m\\x00\\x09\\x0a\\x7f"},
        {"\xc2\x9b" "1m \xc2\x85", "\\u009b1m \\u0085"},                        // C1 controls
        {"\xef\xbb\xbf" "3", "\\ufeff3"},                                      // byte-order mark
        {"a\xe2\x80\xae" "b\xe2\x81\xa6\xe2\x80\xa8", "a\\u202eb\\u2066\\u2028"},  // bidi, line separator
        {"\xff\xfe", "\\xff\\xfe"},
        {"\xc0\xaf \xe0\x80\xaf", "\\xc0\\xaf \\xe0\\x80\\xaf"},                  // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                                    // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},                           // above U+10FFFF
        {"\xe2\x82", "\\xe2\\x82"},                                             // cut short
    };
    for (const auto& test : cases) EXPECT_EQ(Printable(test.Input), test.Shown) << test.Shown;
    EXPECT_EQ(Quoted("0.333333", 4), "\"0.33...\"");
}

}  // namespace
}  // namespace iicheck
