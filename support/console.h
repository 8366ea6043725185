// console.h - the tool's one way of writing a line: the text, a newline, and a
// flush, so lines interleave in order with libcurl's trace and survive a crash.
// Control bytes (C0 and DEL) are shown as \xHH, so a file name or key holding
// them can neither split a line nor drive the terminal; everything else goes
// out as it is (names stay exact bytes on the page and in the keys).
#pragma once

#include <string>

// strText with every byte below 0x20 and 0x7F written as "\xHH" (upper-case hex).
std::string consoleText(const std::string &strText);

// One line on standard output.
void printLine(const std::string &strLine);

// One line on standard error.
void printErrorLine(const std::string &strLine);
