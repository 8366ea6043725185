// options.cpp - the command line's options, read with getopt_long in front of
// the designed argument forms.
#include "options.h"

#include <getopt.h>

namespace {

// Long options without a short form: values outside the characters.
enum { kOptionDelete = 256, kOptionChangedList, kOptionRefreshHeaders, kNoWait,
       kAbortStaleUploads };

} // namespace

CommandLine parseCommandLine(int argc, char **argv)
{
    static const struct option kLongOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"dry-run", no_argument, nullptr, 'n'},
        {"quiet", no_argument, nullptr, 'q'},
        {"jobs", required_argument, nullptr, 'j'},
        {"delete", no_argument, nullptr, kOptionDelete},
        {"changed-list", required_argument, nullptr, kOptionChangedList},
        {"refresh-headers", no_argument, nullptr, kOptionRefreshHeaders},
        {"progress", no_argument, nullptr, 'P'},
        {"no-wait", no_argument, nullptr, kNoWait},
        {"abort-stale-uploads", no_argument, nullptr, kAbortStaleUploads},
        {nullptr, 0, nullptr, 0},
    };
    // "+": options end at the first argument that is not one, so a file name
    // after them is never read as an option; ":" reports a missing value as ':'.
    static const char kShortOptions[] = "+:hVnqj:P";

    CommandLine cl;
    opterr = 0; // our own usage line instead of getopt's messages
    optind = 0; // glibc: start over, also when called again in one process
    int opt;
    while ((opt = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        switch (opt) {
        case 'h': cl.bHelp = true; break;
        case 'V': cl.bVersion = true; break;
        case 'n': cl.bDryRun = true; break;
        case 'q': cl.bQuiet = true; break;
        case kOptionRefreshHeaders: cl.bRefreshHeaders = true; break;
        case 'j':
            cl.bJobs = true;
            cl.strJobs = optarg ? optarg : "";
            break;
        case kOptionDelete: cl.bDelete = true; break;
        case kOptionChangedList:
            cl.strChangedList = optarg ? optarg : "";
            // An empty name would be no file at all.
            if (cl.strChangedList.empty())
                cl.bUsage = true;
            break;
        case 'P': cl.bProgress = true; break;
        case kNoWait: cl.bNoWait = true; break;
        case kAbortStaleUploads: cl.bAbortStaleUploads = true; break;
        default: cl.bUsage = true; break; // '?' unknown, ':' value missing
        }
    }
    for (int i = optind; i < argc; ++i)
        cl.args.emplace_back(argv[i]);
    return cl;
}
