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
    bool bDelete = false;  // --delete: remove what the site no longer has
    std::string strChangedList; // --changed-list FILE ("" = not given)
    bool bProgress = false; // -P, --progress
    bool bNoWait = false;   // --no-wait
    // Settings given as options, above the environment: by the setting's
    // variable, the option as typed and its value ("SITEMIRROR_ROOT" ->
    // {"--root", "public"}); -j is among them.
    struct Given {
        std::string strVariable;
        std::string strOption;
        std::string strValue;
    };
    std::vector<Given> settings;
    std::vector<std::string> excludes; // --exclude PATTERN, in the order given
    bool bForce = false;               // --force: send every file, unchanged ones too
    std::string strSummaryMarkdown;    // --summary-markdown FILE ("" = not given)
    bool bAbortStaleUploads = false; // --abort-stale-uploads
    bool bConfigureWebsite = false;  // --configure-website
    bool bUsage = false;   // an unknown option or a missing option value
    std::vector<std::string> args; // what follows the options: the form's arguments
};

// Reads options up to the first argument that is not one ("-" alone is an
// argument) or up to "--", which is dropped. Everything after that is an
// argument, whatever it looks like.
CommandLine parseCommandLine(int argc, char **argv);
