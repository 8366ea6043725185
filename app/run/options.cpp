// options.cpp - the command line's options, read with getopt_long in front of
// the designed argument forms.
#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <cstring>

namespace {

// Long options without a short form: values outside the characters.
enum {
    kOptionDelete = 256,
    kOptionChangedList,
    kOptionRefreshHeaders,
    kNoWait,
    kOptionRoot,
    kOptionBucket,
    kOptionPrefix,
    kOptionEndpoint,
    kOptionTarget,
    kOptionOutput,
    kOptionExclude,
    kOptionForce,
    kOptionSummaryMarkdown,
    kAbortStaleUploads,
    kConfigureWebsite,
};

// Options that set a setting, by the variable they stand for; bMayBeEmpty:
// an empty value means something ("--prefix ''" is the whole bucket).
struct SettingOption {
    int id;
    const char *pszOption;
    const char *pszVariable;
    bool bMayBeEmpty;
};
const SettingOption kSettingOptions[] = {
    {'j', "--jobs", "SITEMIRROR_JOBS", true},
    {kOptionRoot, "--root", "SITEMIRROR_ROOT", false},
    {kOptionBucket, "--bucket", "SITEMIRROR_BUCKET", false},
    {kOptionPrefix, "--prefix", "SITEMIRROR_PREFIX", true},
    {kOptionEndpoint, "--endpoint", "SITEMIRROR_ENDPOINT", true},
    {kOptionTarget, "--target", "SITEMIRROR_TARGET", false},
    {kOptionOutput, "--output", "SITEMIRROR_OUTPUT", false},
};

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
        {"root", required_argument, nullptr, kOptionRoot},
        {"bucket", required_argument, nullptr, kOptionBucket},
        {"prefix", required_argument, nullptr, kOptionPrefix},
        {"endpoint", required_argument, nullptr, kOptionEndpoint},
        {"target", required_argument, nullptr, kOptionTarget},
        {"output", required_argument, nullptr, kOptionOutput},
        {"exclude", required_argument, nullptr, kOptionExclude},
        {"force", no_argument, nullptr, kOptionForce},
        {"summary-markdown", required_argument, nullptr, kOptionSummaryMarkdown},
        {"abort-stale-uploads", no_argument, nullptr, kAbortStaleUploads},
        {"configure-website", no_argument, nullptr, kConfigureWebsite},
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
        const SettingOption *setting = nullptr;
        for (const SettingOption &so : kSettingOptions) {
            if (so.id == opt)
                setting = &so;
        }
        if (setting) {
            const std::string strValue = optarg ? optarg : "";
            if (strValue.empty() && !setting->bMayBeEmpty) {
                cl.bUsage = true;
                continue;
            }
            // A later one of the same option wins.
            auto same = [setting](const CommandLine::Given &g) {
                return g.strVariable == setting->pszVariable;
            };
            cl.settings.erase(std::remove_if(cl.settings.begin(), cl.settings.end(), same),
                              cl.settings.end());
            cl.settings.push_back({setting->pszVariable, setting->pszOption, strValue});
            continue;
        }
        switch (opt) {
        case 'h': cl.bHelp = true; break;
        case 'V': cl.bVersion = true; break;
        case 'n': cl.bDryRun = true; break;
        case 'q': cl.bQuiet = true; break;
        case kOptionRefreshHeaders: cl.bRefreshHeaders = true; break;
        case kOptionDelete: cl.bDelete = true; break;
        case kOptionChangedList:
            cl.strChangedList = optarg ? optarg : "";
            // An empty name would be no file at all.
            if (cl.strChangedList.empty())
                cl.bUsage = true;
            break;
        case 'P': cl.bProgress = true; break;
        case kNoWait: cl.bNoWait = true; break;
        case kOptionExclude:
            // One pattern is one line of the root's ignore rules.
            if (!optarg || !*optarg || std::strpbrk(optarg, "\r\n"))
                cl.bUsage = true;
            else
                cl.excludes.emplace_back(optarg);
            break;
        case kOptionForce: cl.bForce = true; break;
        case kOptionSummaryMarkdown:
            cl.strSummaryMarkdown = optarg ? optarg : "";
            if (cl.strSummaryMarkdown.empty())
                cl.bUsage = true;
            break;
        case kAbortStaleUploads: cl.bAbortStaleUploads = true; break;
        case kConfigureWebsite: cl.bConfigureWebsite = true; break;
        default: cl.bUsage = true; break; // '?' unknown, ':' value missing
        }
    }
    for (int i = optind; i < argc; ++i)
        cl.args.emplace_back(argv[i]);
    return cl;
}
