// Console text: control bytes in names are spelled out, everything else kept.
#include <gtest/gtest.h>

#include <string>

#include "console.h"

TEST(ConsoleText, ControlBytesAndDeleteAreSpelledOutEverythingElseKept)
{
    const struct {
        std::string in, shown;
    } cases[] = {
        {"plain/name.html", "plain/name.html"},
        {"clear\x1b[2J.html", "clear\\x1B[2J.html"},
        {"two\nlines", "two\\x0Alines"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"tab\there\r", "tab\\x09here\\x0D"},
        {"del\x7f", "del\\x7F"},
        {"\x1f\x20~", "\\x1F ~"},
        {"caf\xc3\xa9 \xff\x80", "caf\xc3\xa9 \xff\x80"}, // bytes from 0x80 up as they are
        {"back\\slash", "back\\slash"},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(consoleText(c.in), c.shown) << c.shown;
}
