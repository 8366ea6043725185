// cli.cpp - dispatch of the three command-line forms and their exit statuses.
#include "cli.h"

#include <libgen.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "myListTool.h"
#include "console.h"
#include "myPutObj.h"
#include "settings.h"
#include "sync.h"

namespace {

// The canonical absolute form of strPath; false when it cannot be resolved.
bool resolvePath(const std::string &strPath, std::string &strResolved)
{
    char *pszResolved = realpath(strPath.c_str(), nullptr);
    if (!pszResolved)
        return false;
    strResolved = pszResolved;
    std::free(pszResolved);
    return true;
}

// Holds one client initialisation for the whole run, so the per-operation
// contexts only count up and down and the pooled connections stay open from
// one request to the next.
class RunClient {
public:
    RunClient() : bHeld(S3_initialize(pszUserAgentInfo, 0, nullptr) == S3StatusOK)
    {
        if (!bHeld)
            S3_deinitialize(); // a failed initialisation still counts
    }
    ~RunClient()
    {
        if (bHeld)
            S3_deinitialize();
    }
    RunClient(const RunClient &) = delete;
    RunClient &operator=(const RunClient &) = delete;

private:
    bool bHeld;
};

int mirrorSite()
{
    const Settings &settings = getSettings();
    // The page is written first, so the scan finds it and it goes up with the rest.
    bool bIndexWritten = myListTool(settings.strRootPath, settings.strSiteUrl);

    std::string strRoot;
    if (!resolvePath(settings.strRootPath, strRoot))
        return ExitFailed; // the index step has said why

    RunClient client;
    S3_set_timeouts(10, settings.nRequestTimeout);
    S3_set_trace(settings.bQuiet ? 0 : 1);
    bool bSynced = sync(settings.strBucket, strRoot);
    return bIndexWritten && bSynced ? ExitOk : ExitFailed;
}

int uploadOneFile(const char *pszArg)
{
    std::string strPath;
    if (!resolvePath(pszArg, strPath)) {
        printLine(std::string("invalid path:") + pszArg);
        return ExitFailed;
    }
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        printLine("not a regular file: " + strPath);
        return ExitFailed;
    }
    std::string strCopy = strPath; // basename may write into its argument
    std::string strKey = basename(&strCopy[0]);

    RunClient client;
    return putObject(getSettings().strBucket, strKey, strPath, S3CannedAclPublicRead)
               ? ExitOk
               : ExitFailed;
}

} // namespace

int runCommandLine(int argc, char **argv)
{
    // A setting that was not accepted stops the run before anything is written or sent.
    const Settings &settings = getSettings();
    for (const std::string &strError : settings.errors)
        printLine(strError);
    if (!settings.errors.empty())
        return ExitUsage;
    if (argc == 1)
        return mirrorSite();
    if (argc == 2)
        return uploadOneFile(argv[1]);
    printLine(std::string("usage:") + (argc > 0 && argv[0] ? argv[0] : "") + "[filetoupload]");
    return ExitUsage;
}
