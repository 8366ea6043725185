// deletion.cpp - which listed objects the site no longer has, and their
// removal by multi-object deletes.
#include "deletion.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "console.h"
#include "ignore.h"
#include "myListTool.h"
#include "outcome_lines.h"
#include "report.h"
#include "retry.h"

bool isIgnoredPath(const IgnoreRules &rules, const std::string &strRel)
{
    for (std::size_t pos = strRel.find('/'); pos != std::string::npos;
         pos = strRel.find('/', pos + 1)) {
        if (rules.isIgnored(strRel.substr(0, pos), true))
            return true;
    }
    return rules.isIgnored(strRel, false);
}

std::vector<std::string> deletionCandidates(const S3ObjSet &remoteList,
                                            const std::string &strRootPath,
                                            const IgnoreRules *ignore)
{
    std::vector<std::string> keys;
    for (const S3Obj &remote : remoteList) {
        const std::string &strRel = remote.key;
        if (strRel.empty() || strRel == siteindex::targetFileName)
            continue;
        if (ignore && isIgnoredPath(*ignore, strRel))
            continue;
        // Anything at that path, even what the scan leaves out or cannot
        // read, keeps its object: only what is gone from the tree goes.
        struct stat st;
        if (::lstat((strRootPath + strRel).c_str(), &st) == 0 ||
            (errno != ENOENT && errno != ENOTDIR))
            continue;
        keys.push_back(strRel);
    }
    return keys;
}

std::string deleteLimitLine(std::size_t nCandidates, long nMaxDelete, const std::string &strPrefix)
{
    const long n = static_cast<long>(nCandidates);
    return "not deleting: " + groupedCount(n) + " objects " +
           (strPrefix.empty() ? std::string("in the bucket") : "under " + consoleText(strPrefix)) +
           " have no local file, more than SITEMIRROR_MAX_DELETE=" + std::to_string(nMaxDelete) +
           " allows; SITEMIRROR_MAX_DELETE=" + std::to_string(n) + " lets this run delete them";
}

namespace {

struct Refusal {
    std::string strKey;
    std::string strCode;
    std::string strMessage;
};

// What one request reported.
struct DeleteRequest {
    S3Status status = S3StatusInternalError;
    std::string strCode;
    int httpStatus = 0;
    std::vector<std::string> lines;
    std::vector<Refusal> refused;
    HintLog *hints = nullptr;
};

S3Status refusedCallback(const char *key, const char *code, const char *message, void *data)
{
    static_cast<DeleteRequest *>(data)->refused.push_back({key, code, message});
    return S3StatusOK;
}

void completeCallback(S3Status status, const S3ErrorDetails *details, void *data)
{
    DeleteRequest &request = *static_cast<DeleteRequest *>(data);
    request.status = status;
    request.strCode = details && details->code ? details->code : "";
    request.httpStatus = details ? details->httpStatus : 0;
    request.lines = outcomeLines(status, details, request.hints, false);
}

} // namespace

DeleteTotals deleteKeys(Session &session, const S3BucketContext &ctx,
                        const std::string &strBucket, const std::vector<std::string> &keys)
{
    const Settings &settings = session.settings();
    DeleteTotals totals;
    const S3DeleteObjectsHandler handler = {{nullptr, &completeCallback}, &refusedCallback};
    for (std::size_t first = 0; first < keys.size(); first += S3_MAX_DELETE_OBJECTS_COUNT) {
        const std::size_t n =
            std::min<std::size_t>(S3_MAX_DELETE_OBJECTS_COUNT, keys.size() - first);
        std::vector<const char *> names;
        for (std::size_t i = first; i < first + n; ++i) {
            names.push_back(keys[i].c_str());
            printLine("delete: " + consoleText(keys[i]));
        }
        DeleteRequest request;
        for (int nTry = 0;; ++nTry) {
            request = DeleteRequest();
            request.hints = &session.hints();
            S3_delete_objects(&ctx, static_cast<int>(n), names.data(), nullptr, &handler,
                              &request);
            for (const std::string &strLine : request.lines)
                printLine(strLine);
            if (request.status == S3StatusOK || nTry >= settings.nRetries ||
                !isRetryableOutcome(request.status, request.strCode.c_str(), request.httpStatus))
                break;
            const double delay = retryDelaySeconds(nTry);
            char sz[96];
            std::snprintf(sz, sizeof sz, "retry %d of %d in %.2f s: ", nTry + 1,
                          settings.nRetries, delay);
            const std::string strWhy =
                request.strCode.empty() ? S3_get_status_name(request.status) : request.strCode;
            printLine(sz + strWhy + " (delete of " + std::to_string(n) + " keys)");
            std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        }
        if (request.status != S3StatusOK) {
            totals.nFailed += static_cast<long>(n);
            continue;
        }
        std::set<std::string> refusedKeys;
        for (const Refusal &refusal : request.refused) {
            printLine("delete error: bucket: " + strBucket + " key:" +
                      consoleText(refusal.strKey) + " (" + consoleText(refusal.strCode) + ": " +
                      consoleText(refusal.strMessage) + ")");
            refusedKeys.insert(refusal.strKey);
        }
        for (std::size_t i = first; i < first + n; ++i) {
            if (refusedKeys.count(keys[i])) {
                ++totals.nFailed;
            } else {
                ++totals.nDeleted;
                session.changedKeys().push_back(keys[i]);
            }
        }
    }
    return totals;
}
