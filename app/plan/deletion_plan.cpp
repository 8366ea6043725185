// deletion_plan.cpp - which listed objects the site no longer has.
#include "deletion_plan.h"

#include <sys/stat.h>

#include <cerrno>

#include "console.h"
#include "ignore.h"
#include "myListTool.h"
#include "report.h"

bool isIgnoredPath(const IgnoreRules &rules, const std::string &strRel)
{
    for (std::size_t pos = strRel.find('/'); pos != std::string::npos;
         pos = strRel.find('/', pos + 1)) {
        if (rules.isIgnored(strRel.substr(0, pos), true))
            return true;
    }
    return rules.isIgnored(strRel, false);
}

namespace {

// True when strRel can be the key of a file of the tree: no leading "/", no
// empty, "." or ".." folder ("./a.html", "/a.html", "a//b.html",
// "sub/../a.html" are not). A trailing "/" (a folder's marker) is allowed.
bool isTreeKey(const std::string &strRel)
{
    for (std::size_t pos = 0; pos < strRel.size();) {
        std::size_t end = strRel.find('/', pos);
        if (end == std::string::npos)
            end = strRel.size();
        const std::string strPart = strRel.substr(pos, end - pos);
        if (strPart.empty() || strPart == "." || strPart == "..")
            return false;
        pos = end + 1;
    }
    return true;
}

} // namespace

bool isDeletionCandidate(const std::string &strRel, const std::string &strRootPath,
                         const IgnoreRules *ignore, bool bScanned)
{
    if (strRel.empty() || strRel == siteindex::targetFileName)
        return false;
    // Version-control folders published once, now left out: their objects
    // go, though the folders are still there.
    if (ignore && !ignore->publishesVcs() && isUnderVcsFolder(strRel))
        return true;
    if (bScanned)
        return false;
    if (ignore && isIgnoredPath(*ignore, strRel))
        return false;
    // No file of the tree has such a key, whatever the path resolves to.
    if (!isTreeKey(strRel))
        return true;
    // Anything at that path, even what the scan leaves out or cannot read,
    // keeps its object: only what is gone from the tree goes.
    struct stat st;
    return ::lstat((strRootPath + strRel).c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

std::vector<std::string> deletionCandidates(const S3ObjSet &remoteList,
                                            const std::string &strRootPath,
                                            const IgnoreRules *ignore)
{
    std::vector<std::string> keys;
    for (const S3Obj &remote : remoteList)
        if (isDeletionCandidate(remote.key, strRootPath, ignore, false))
            keys.push_back(remote.key);
    return keys;
}

std::string vcsObjectsLine(const S3ObjSet &remoteList, const std::string &strPrefix)
{
    long nFound = 0;
    std::string strFirst;
    for (const S3Obj &remote : remoteList) {
        if (!isUnderVcsFolder(remote.key))
            continue;
        if (nFound++ == 0)
            strFirst = remote.key;
    }
    return vcsObjectsLine(nFound, strFirst, strPrefix);
}

std::string vcsObjectsLine(long nFound, const std::string &strFirst, const std::string &strPrefix)
{
    if (nFound == 0)
        return "";
    return "version-control files are public in the bucket: " + consoleText(strPrefix + strFirst) +
           (nFound > 1 ? " and " + groupedCount(nFound - 1) + " more" : std::string()) +
           "; a run with --delete removes them";
}

std::string deleteLimitLine(std::size_t nCandidates, long nMaxDelete, const std::string &strPrefix)
{
    const long n = static_cast<long>(nCandidates);
    return "not deleting: " + groupedCount(n) + " objects " +
           (strPrefix.empty() ? std::string("in the bucket") : "under " + consoleText(strPrefix)) +
           " have no local file, more than SITEMIRROR_MAX_DELETE=" + std::to_string(nMaxDelete) +
           " allows; SITEMIRROR_MAX_DELETE=" + std::to_string(n) + " lets this run delete them";
}

std::string deleteShareLine(std::size_t nCandidates, std::size_t nListed, int nMaxSharePercent,
                            const std::string &strPrefix)
{
    // The least whole share that lets them go.
    const std::size_t nNeeded = nListed == 0 ? 100 : (nCandidates * 100 + nListed - 1) / nListed;
    return "not deleting: " + groupedCount(static_cast<long>(nCandidates)) + " of the " +
           groupedCount(static_cast<long>(nListed)) + " objects " +
           (strPrefix.empty() ? std::string("in the bucket") : "under " + consoleText(strPrefix)) +
           " have no local file, more than SITEMIRROR_MAX_DELETE_SHARE=" +
           std::to_string(nMaxSharePercent) + "% allows; SITEMIRROR_MAX_DELETE_SHARE=" +
           std::to_string(nNeeded) + "% lets this run delete them";
}

DeletionPlan planDeletions(const S3ObjSet &remoteList, const std::string &strRootPath,
                           const IgnoreRules *ignore, const DeletionGuards &guards,
                           const std::string &strPrefix, bool bAllStored)
{
    return planDeletions(bAllStored ? deletionCandidates(remoteList, strRootPath, ignore)
                                    : std::vector<std::string>(),
                         remoteList.size(), guards, strPrefix, bAllStored);
}

DeletionPlan planDeletions(const std::vector<std::string> &candidates, std::size_t nListed,
                           const DeletionGuards &guards, const std::string &strPrefix, bool bAllStored)
{
    DeletionPlan plan;
    if (!bAllStored) {
        plan.strRefusal = "not deleting: not every file of the site is in the bucket";
        return plan;
    }
    if (candidates.empty())
        return plan;
    // A site root that holds nothing but the page the run wrote is far more
    // likely a mount that failed than a site meant to be empty.
    if (guards.bSiteEmpty) {
        plan.strRefusal = "not deleting: the site root holds no file but the index page "
                          "(SITEMIRROR_ROOT=" + consoleText(guards.strRoot) +
                          "); remove the objects by hand if the site is meant to be empty";
        return plan;
    }
    if (static_cast<long>(candidates.size()) > guards.nMaxDelete) {
        plan.strRefusal = deleteLimitLine(candidates.size(), guards.nMaxDelete, strPrefix);
        return plan;
    }
    if (candidates.size() * 100 > static_cast<std::size_t>(guards.nMaxSharePercent) * nListed) {
        plan.strRefusal = deleteShareLine(candidates.size(), nListed, guards.nMaxSharePercent, strPrefix);
        return plan;
    }
    for (const std::string &strRel : candidates)
        plan.keys.push_back(strPrefix + strRel);
    return plan;
}
