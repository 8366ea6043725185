// cli.cpp - dispatch of the three command-line forms.
#include "cli.h"

#include <cstdio>

int runCommandLine(int argc, char **argv)
{
    if (argc > 2) {
        std::printf("usage:%s[filetoupload]\n", argv[0]);
        std::fflush(stdout);
        return ExitUsage;
    }
    std::printf("upload support is not built yet\n");
    std::fflush(stdout);
    return ExitFailed;
}
