// sync.cpp - the one-way mirror of the local site tree into the bucket, and the
// bulk upload of a whole tree.
#include "sync.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "console.h"
#include "digestcache.h"
#include "cache_rules.h"
#include "myListObj.h"
#include "myPutObj.h"
#include "report.h"
#include "scan_listing.h"
#include "settings.h"
#include "site_policy.h"
#include "uploader.h"

namespace {

// The upload of one scanned file: its key, full path, digest and size, the
// ACL its path calls for and the Cache-Control rule its key matches.
UploadItem uploadItemFor(const S3Obj &local, const std::string &strRootPath,
                         const Settings &settings)
{
    UploadItem item;
    item.strKey = local.key;
    item.strPath = strRootPath + local.key;
    item.strMd5Hex = local.tag;
    item.size = local.size;
    item.device = local.device;
    item.inode = local.inode;
    item.acl = aclForPath(item.strPath, strRootPath);
    if (const CacheRule *rule = findCacheRule(settings.cacheRules, local.key))
        item.strCacheControl = rule->strCacheControl;
    return item;
}

} // namespace

SyncDirectionEnum decideDirection(const S3Obj &local, const S3Obj *remote)
{
    if (!remote)
        return DirectionUpload;
    if (remote->size != local.size)
        return DirectionUpload;
    // A listed object without an entity tag cannot be shown to hold the same
    // bytes: it is sent again.
    if (remote->tag.empty() || remote->tag != local.tag)
        return DirectionUpload;
    return DirectionNone;
}

S3CannedAcl aclForPath(const std::string &strPath, const std::string &strRootPath)
{
    const bool bUnderRoot = strPath.compare(0, strRootPath.size(), strRootPath) == 0;
    return bUnderRoot && isPersonalKey(strPath.substr(strRootPath.size())) ? S3CannedAclPrivate
                                                                          : S3CannedAclPublicRead;
}

bool sync(Session &session, const std::string &strBucket, const std::string &strRootPathIn)
{
    return sync(session, strBucket, strRootPathIn, session.settings().bDryRun, ScanOptions());
}

bool sync(Session &session, const std::string &strBucket, const std::string &strRootPathIn,
          bool bDryRun, const ScanOptions &scanOptions)
{
    const auto started = std::chrono::steady_clock::now();
    const Settings &settings = session.settings();
    RunSummary summary;
    const std::string strRootPath = strRootPathIn + "/";
    S3ObjSet localList;
    S3ObjSet remoteList;

    ScanStats stats;
    ScanOptions scan = scanOptions;
    if (!scan.stats)
        scan.stats = &stats;
    const ScanListOutcome outcome =
        scanAndList(session, strBucket, "", strRootPath, scan, localList, remoteList);
    if (outcome == ScanListScanFailed) {
        printLine(" getAllFiles failed ");
        return false;
    }
    // Only a whole scan may replace the last run's digests.
    if (scan.cache)
        scan.cache->save();
    summary.nIgnored = static_cast<long>(scan.stats->nIgnored);
    if (outcome == ScanListListingFailed) {
        printLine(" listObjects failed ");
        return false;
    }

    std::vector<UploadItem> items;
    for (const S3Obj &local : localList) {
        auto it = remoteList.find(local);
        const S3Obj *remote = it == remoteList.end() ? nullptr : &*it;
        if (decideDirection(local, remote) == DirectionNone) {
            ++summary.nUnchanged;
            continue;
        }
        if (bDryRun) {
            const char *pszWhy = !remote                    ? "new"
                                 : remote->size != local.size ? "size"
                                                              : "digest";
            printLine("would upload: " + consoleText(local.key) + " (" + pszWhy + ")");
            continue;
        }
        UploadItem item = uploadItemFor(local, strRootPath, settings);
        if (!remote) {
            item.leadLines.push_back("DirectionUpload:" + consoleText(local.key));
            char szLine[64];
            std::snprintf(szLine, sizeof szLine, "%" PRIu64 "%" PRId64,
                          static_cast<uint64_t>(local.size), static_cast<int64_t>(local.time));
            item.leadLines.push_back(szLine);
        }
        items.push_back(item);
    }

    bool bAllStored = true;
    if (!items.empty()) {
        MyS3Context context(session);
        S3BucketContext ctx;
        if (!context.initialize(strBucket.c_str(), ctx)) {
            summary.nFailed = static_cast<long>(items.size());
            bAllStored = false;
        } else {
            UploadTotals totals = uploadItems(session, ctx, strBucket, items);
            summary.nSent = totals.nSent;
            summary.nBytesSent = totals.nBytesSent;
            summary.nFailed = totals.nFailed;
            summary.nMostInFlight = totals.nMostInFlight;
            bAllStored = totals.nFailed == 0;
            for (const UploadItem &item : items)
                if (item.bStored)
                    session.changedKeys().push_back(item.strKey);
            // A digest the file no longer has, or that the store did not get
            // from the bytes sent, is not kept for the next run.
            if (scan.cache && !totals.staleKeys.empty()) {
                for (const std::string &strKey : totals.staleKeys)
                    scan.cache->forget(strKey);
                scan.cache->save();
            }
        }
    }
    // Files whose names no store takes were named by the scan; each one failed.
    summary.nFailed += static_cast<long>(scan.stats->refused.size());
    bAllStored = bAllStored && scan.stats->refused.empty();
    summary.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printLine(summaryLine(summary));
    return bAllStored;
}

bool upload(Session &session, const std::string &strBucket, const std::string &strInputRootPath)
{
    std::string strRootPath = strInputRootPath;
    if (!strRootPath.empty() && strRootPath.back() != '/')
        strRootPath += "/";

    S3ObjSet localList;
    if (!getAllFiles(strRootPath, localList)) {
        printLine(" getAllFiles failed ");
        return false;
    }
    std::vector<UploadItem> items;
    for (const S3Obj &local : localList)
        items.push_back(uploadItemFor(local, strRootPath, session.settings()));
    if (items.empty())
        return true;
    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return false;
    return uploadItems(session, ctx, strBucket, items).nFailed == 0;
}
