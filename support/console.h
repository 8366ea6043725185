// console.h - the tool's one way of writing a line: the bytes as they are, a
// newline, and a flush, so lines interleave in order with libcurl's trace and
// survive a crash; and how a file name or key is shown in a line.
#pragma once

#include <string>

// A file name, path or key as a line shows it: every byte below 0x20 and DEL
// (0x7F) written as "\xHH" (upper-case hex), so a name can neither split a line
// nor drive the terminal; every other byte as it is. Names stay exact bytes
// everywhere else (the page, the keys, the requests).
std::string consoleText(const std::string &strText);

// One line on standard output.
void printLine(const std::string &strLine);

// One line on standard error.
void printErrorLine(const std::string &strLine);

// Where printLine writes: standard output (the default), or standard error
// when standard output is kept for a machine's reading (JSON lines).
void setLinesToStandardError(bool bToError);

// One line on standard output, whatever printLine is set to: the machine's
// lines.
void printOutputLine(const std::string &strLine);
