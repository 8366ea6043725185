// redirects.cpp - the keys redirects are stored at, the run's list of them,
// their objects' headers, and the decision for each against the listing and
// this store's records.
#include "redirects.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "header_update.h"
#include "myPutObj.h"
#include "settings.h"
#include "site_policy.h"
#include "uploader.h"

const char *const pszRedirectsFile = "_redirects";

namespace {

// The MD5 of no bytes: a redirect object's ETag and recorded digest.
const char *const pszEmptyMd5Hex = "d41d8cd98f00b204e9800998ecf8427e";

bool hasControlOrBlank(const std::string &str)
{
    for (unsigned char c : str) {
        if (c <= 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

} // namespace

bool redirectKeyFor(const std::string &strFrom, const std::string &strIndex, std::string &strKey,
                    std::string &strWhy)
{
    if (strFrom.empty() || strFrom[0] != '/' || hasControlOrBlank(strFrom)) {
        strWhy = "FROM must be a path beginning with / (no blanks)";
        return false;
    }
    std::string strPath = strFrom.substr(1);
    if (strPath.empty() || strPath.back() == '/')
        strPath += strIndex;
    // Every folder a real one: no empty, "." or ".." step.
    std::istringstream steps(strPath);
    std::string strStep;
    while (std::getline(steps, strStep, '/')) {
        if (strStep.empty() || strStep == "." || strStep == "..") {
            strWhy = "FROM must not hold an empty, . or .. folder";
            return false;
        }
    }
    if (strPath.size() > 900) {
        strWhy = "FROM is too long for a key";
        return false;
    }
    strKey = strPath;
    return true;
}

bool isRedirectTarget(const std::string &strTo)
{
    if (strTo.empty() || hasControlOrBlank(strTo) || strTo.size() > 2048)
        return false;
    if (strTo[0] == '/')
        return strTo.size() == 1 || strTo[1] != '/'; // "//host" is an address without a scheme
    for (const char *pszScheme : {"http://", "https://"}) {
        const std::size_t n = std::strlen(pszScheme);
        if (strTo.size() > n && strTo.compare(0, n, pszScheme) == 0 && strTo[n] != '/')
            return true;
    }
    return false;
}

bool loadRedirects(const std::vector<Redirect> &rules, const std::string &strRoot,
                   const std::string &strIndex, std::vector<Redirect> &out, std::string &strError)
{
    out = rules;
    const std::string strFile = strRoot + pszRedirectsFile;
    struct stat st;
    if (::stat(strFile.c_str(), &st) == 0) {
        std::ifstream in(strFile, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!S_ISREG(st.st_mode) || !in) {
            strError = strFile + ": cannot read the redirects file";
            return false;
        }
        if (!parseRedirectsFile(text.str(), pszRedirectsFile, strIndex, out, strError))
            return false;
    } else if (errno != ENOENT) {
        strError = strFile + ": cannot read the redirects file: " + std::strerror(errno);
        return false;
    }
    std::map<std::string, const Redirect *> byKey;
    for (const Redirect &redirect : out) {
        auto seen = byKey.emplace(redirect.strKey, &redirect);
        if (!seen.second) {
            strError = redirect.strWhere + ": " + redirect.strFrom + " is stored at " + redirect.strKey +
                       ", as is " + seen.first->second->strFrom + " of " + seen.first->second->strWhere;
            return false;
        }
        if (::lstat((strRoot + redirect.strKey).c_str(), &st) == 0) {
            strError = redirect.strWhere + ": " + redirect.strFrom + " is stored at " + redirect.strKey +
                       ", which is also the file " + strRoot + redirect.strKey;
            return false;
        }
    }
    return true;
}

ObjectHeaders redirectHeaders(const Settings &settings, const Redirect &redirect)
{
    // The ACL and storage class of a file at that key; no other rule header.
    UploadItem item;
    item.strPath = redirect.strKey;
    item.acl = isPersonalKey(redirect.strKey) ? S3CannedAclPrivate : settings.defaultAcl;
    applyRules(settings.cacheRules, redirect.strKey, item);
    ObjectHeaders headers = objectHeaders(settings, item.acl, "text/html", "", "");
    if (!item.rule.strStorageClass.empty())
        headers.strStorageClass = item.rule.strStorageClass == "none" ? "" : item.rule.strStorageClass;
    headers.strRedirect = redirect.strTo;
    return headers;
}

std::vector<RedirectStep> planRedirects(const std::vector<Redirect> &redirects, const Settings &settings,
                                        const S3ObjSet &remote, const DigestCache *cache,
                                        const std::string &strTarget)
{
    std::vector<RedirectStep> steps;
    for (const Redirect &redirect : redirects) {
        RedirectStep step;
        step.redirect = &redirect;
        step.strBucketKey = settings.strPrefix + redirect.strKey;
        S3Obj probe;
        probe.key = redirect.strKey;
        const auto listed = remote.find(probe);
        if (listed == remote.end() || settings.bForce) {
            step.pszWhy = listed == remote.end() ? "new" : "forced";
        } else {
            step.strListedETag = listed->tag;
            StoredRecord record;
            const bool bRecord = cache && cache->findRecord(strTarget, redirect.strKey, record);
            const bool bSame = bRecord && listed->size == 0 && record.strETag == listed->tag &&
                               record.strHeaders == redirectHeaders(settings, redirect).record();
            step.bAsk = !bSame && (settings.bRefreshHeaders || !bRecord || record.strETag != listed->tag ||
                                   listed->size != 0);
            if (!bSame && !step.bAsk)
                step.pszWhy = "target";
        }
        steps.push_back(step);
    }
    return steps;
}

void settleRedirectAsks(std::vector<RedirectStep> &steps, const Settings &settings,
                        const std::vector<HeadResult> &heads)
{
    std::size_t next = 0;
    for (RedirectStep &step : steps) {
        if (!step.bAsk)
            continue;
        const HeadResult *head = next < heads.size() ? &heads[next] : nullptr;
        ++next;
        step.bAsk = false;
        if (head && head->bAnswered && head->bFound && head->size == 0 &&
            !headersDiffer(redirectHeaders(settings, *step.redirect), *head))
            step.bLearnt = true;
        else
            step.pszWhy = "target";
    }
}

const char *redirectEmptyMd5Hex() { return pszEmptyMd5Hex; }
