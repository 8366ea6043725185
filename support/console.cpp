// console.cpp - line output to standard output, shared by every subsystem.
#include "console.h"

#include <cstdio>

void printLine(const std::string &strLine)
{
    std::fwrite(strLine.data(), 1, strLine.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
