#include "control/printable.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace zelvo {
namespace {

TEST(PrintableName, EscapesWhatATerminalWouldActOnAndKeepsTheRest) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"plain name.png", "plain name.png"},
        {"\x1b]2;OWNED\a\x1b[2J.png", "\\e]2;OWNED\\a\\e[2J.png"},
        {"tab\tnew\nline\rend\b\f\v", "tab\\tnew\\nline\\rend\\b\\f\\v"},
        {"back\\slash", "back\\\\slash"},
        {"del\x7f", "del\\x7f"},
        {"Z\xc3\xbcrich.jpg", "Z\xc3\xbcrich.jpg"},        // a letter of UTF-8 stays as it is
        {"csi\xc2\x9b" "31m", "csi\\xc2\\x9b31m"},          // U+009B, the C1 introducer, is no letter
        {"raw\x9b" "2J", "raw\\x9b2J"},                     // a byte of no character
        {"cut\xe2\x82", "cut\\xe2\\x82"},                   // a character cut short
    };
    for (const auto& [name, shown] : cases) EXPECT_EQ(printable_name(name), shown) << name;
    // Without a locale that knows UTF-8, every byte above ASCII is escaped.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    EXPECT_EQ(printable_name("Z\xc3\xbcrich"), "Z\\xc3\\xbcrich");
}

}  // namespace
}  // namespace zelvo
