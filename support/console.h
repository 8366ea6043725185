// console.h - the tool's one way of writing a line to standard output: the
// bytes as they are, a newline, and a flush, so lines interleave in order with
// libcurl's trace and survive a crash.
#pragma once

#include <string>

void printLine(const std::string &strLine);
