// console.cpp - line output to standard output and standard error, shared by
// every subsystem.
#include "console.h"

#include <cstdio>

std::string consoleText(const std::string &strText)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string strOut;
    strOut.reserve(strText.size());
    for (unsigned char c : strText) {
        if (c < 0x20 || c == 0x7F) {
            strOut += "\\x";
            strOut += kHex[c >> 4];
            strOut += kHex[c & 0xF];
        } else {
            strOut += static_cast<char>(c);
        }
    }
    return strOut;
}

// A stream that failed once (a reader that went away: `sitemirror | head -1`)
// is written no more; the work goes on.
static void writeLine(std::FILE *out, const std::string &strLine)
{
    if (std::ferror(out))
        return;
    std::fwrite(strLine.data(), 1, strLine.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

static bool bLinesToError = false;

void setLinesToStandardError(bool bToError) { bLinesToError = bToError; }

void printLine(const std::string &strLine) { writeLine(bLinesToError ? stderr : stdout, strLine); }

void printOutputLine(const std::string &strLine) { writeLine(stdout, strLine); }

void printErrorLine(const std::string &strLine) { writeLine(stderr, strLine); }
