// options.h - the command line's options, read in front of the two argument
// forms (no argument: mirror run; one argument: one-file upload).
#pragma once

#include <string>
#include <vector>

struct CommandLine {
    bool bHelp = false;    // -h, --help
    bool bVersion = false; // -V, --version
    bool bDryRun = false;  // -n, --dry-run
    bool bQuiet = false;   // -q, --quiet
    bool bRefreshHeaders = false; // --refresh-headers
    bool bJobs = false;    // -j, --jobs N given ...
    std::string strJobs;   // ... with this text (checked as SITEMIRROR_JOBS is)
    bool bDelete = false;  // --delete: remove what the site no longer has
    std::string strChangedList; // --changed-list FILE ("" = not given)
    bool bProgress = false; // -P, --progress
    bool bNoWait = false;   // --no-wait
    bool bAbortStaleUploads = false; // --abort-stale-uploads
    bool bUsage = false;   // an unknown option or a missing option value
    std::vector<std::string> args; // what follows the options: the form's arguments
};

// Reads options up to the first argument that is not one ("-" alone is an
// argument) or up to "--", which is dropped. Everything after that is an
// argument, whatever it looks like.
CommandLine parseCommandLine(int argc, char **argv);
