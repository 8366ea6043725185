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
#include "settings.h"
#include "site_policy.h"
#include "header_update.h"
#include "object_plan.h"
#include "uploader.h"

#include <set>

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
    applyRules(settings.cacheRules, item);
    return item;
}

// One scanned file: what it is to be stored with, what is known of what the
// store holds, and the decision so far.
struct PlannedFile {
    const S3Obj *local;
    const S3Obj *remote;
    UploadItem item;
    SentDigest sent;
    bool bRecord;
    StoredRecord record;
    int head = -1; // index of its HEAD answer, -1: none asked
    StoreVerdict verdict = VerdictUpload;
    const char *pszWhy = "digest";
};

// Decides every scanned file against the listing and this store's records,
// asks the store (HEAD) where the listing cannot tell and, with
// --refresh-headers, for every unchanged file; sends what is new or changed,
// then replaces the headers of unchanged objects whose headers the rules now
// give otherwise; records what was sent. True when every transfer succeeded.
bool sendChanges(Session &session, const std::string &strBucket, const std::string &strRootPath,
                 const S3ObjSet &localList, const S3ObjSet &remoteList, bool bDryRun, DigestCache *cache,
                 RunSummary &summary)
{
    const Settings &settings = session.settings();
    const std::string strTarget = DigestCache::storeTarget(settings.strEndpoint, strBucket, settings.strPrefix);
    std::vector<UploadItem> items;
    std::vector<PlannedFile> planned;
    std::vector<std::string> headKeys;

    auto uploadOf = [&](const S3Obj &local, const S3Obj *remote, UploadItem item, const char *pszWhy) {
        if (bDryRun) {
            printLine("would upload: " + consoleText(local.key) + " (" + pszWhy + ")");
            return;
        }
        if (!remote) {
            item.leadLines.push_back("DirectionUpload:" + consoleText(local.key));
            char szLine[64];
            std::snprintf(szLine, sizeof szLine, "%" PRIu64 "%" PRId64,
                          static_cast<uint64_t>(local.size), static_cast<int64_t>(local.time));
            item.leadLines.push_back(szLine);
        }
        items.push_back(item);
    };

    for (const S3Obj &local : localList) {
        auto it = remoteList.find(local);
        const S3Obj *remote = it == remoteList.end() ? nullptr : &*it;
        UploadItem item = uploadItemFor(local, strRootPath, settings);
        PlannedFile file{&local, remote, item, sentDigestFor(local, item.strPath, item.strContentEncoding, cache),
                      false, StoredRecord(), -1, VerdictUpload, "digest"};
        file.bRecord = cache && cache->findRecord(strTarget, local.key, file.record);
        file.verdict = decideAgainstStore(remote, file.sent, file.bRecord ? &file.record : nullptr, &file.pszWhy);
        if (file.verdict == VerdictAsk || (file.verdict == VerdictUnchanged && settings.bRefreshHeaders)) {
            file.head = static_cast<int>(headKeys.size());
            headKeys.push_back(item.strKey);
        }
        planned.push_back(file);
    }

    MyS3Context context(session);
    S3BucketContext ctx;
    bool bContext = false;
    auto needContext = [&]() {
        if (!bContext)
            bContext = context.initialize(strBucket.c_str(), ctx);
        return bContext;
    };

    // The objects the listing could not vouch for, and with --refresh-headers
    // every unchanged one: asked in parallel.
    std::vector<HeadResult> heads;
    if (!headKeys.empty()) {
        if (needContext())
            heads = headObjects(session, ctx, headKeys);
        heads.resize(headKeys.size());
    }

    std::vector<HeaderUpdate> updates;
    std::vector<const PlannedFile *> updated;
    for (PlannedFile &file : planned) {
        const HeadResult *head = file.head >= 0 ? &heads[static_cast<std::size_t>(file.head)] : nullptr;
        if (file.verdict == VerdictUpload) {
            uploadOf(*file.local, file.remote, file.item, file.pszWhy);
            continue;
        }
        if (file.verdict == VerdictAsk) {
            // Trusted only when the object names these bytes as its own.
            const bool bSame = head && head->bFound && !head->strMd5Meta.empty() &&
                               head->strMd5Meta == file.sent.strMd5Hex && head->size == file.sent.size;
            if (!bSame) {
                uploadOf(*file.local, file.remote, file.item, "digest");
                continue;
            }
        }
        ++summary.nUnchanged;
        const ObjectHeaders want = itemHeaders(settings, file.item);
        const int differ = storedHeadersDiffer(want, file.sent, file.bRecord ? &file.record : nullptr, head);
        if (differ == 1) {
            if (bDryRun) {
                printLine("would update headers: " + consoleText(file.item.strKey));
                continue;
            }
            HeaderUpdate update;
            update.strKey = file.item.strKey;
            update.headers = want;
            update.strMd5Hex = file.sent.strMd5Hex;
            updates.push_back(update);
            updated.push_back(&file);
        } else if (differ == 0 && cache && !bDryRun &&
                   (!file.bRecord || file.record.strETag != file.remote->tag)) {
            // Known now to hold these bytes with these headers.
            cache->putRecord(strTarget, file.local->key,
                             {file.sent.strMd5Hex, file.sent.size, file.remote->tag, want.record()});
        }
    }

    bool bAllStored = true;
    if (!items.empty()) {
        if (!needContext()) {
            summary.nFailed += static_cast<long>(items.size());
            bAllStored = false;
        } else {
            UploadTotals totals = uploadItems(session, ctx, strBucket, items);
            summary.nSent = totals.nSent;
            summary.nBytesSent = totals.nBytesSent;
            summary.nFailed += totals.nFailed;
            bAllStored = totals.nFailed == 0;
            for (const UploadItem &item : items) {
                if (!item.bStored)
                    continue;
                session.changedKeys().push_back(item.strKey);
                if (cache)
                    cache->putRecord(strTarget, item.strPath.substr(strRootPath.size()),
                                     {item.strSentMd5Hex, item.sentSize, item.strETag,
                                      itemHeaders(settings, item).record()});
            }
            // A digest the file no longer has, or that the store did not get
            // from the bytes sent, is not kept for the next run.
            if (cache)
                for (const std::string &strKey : totals.staleKeys)
                    cache->forget(strKey);
        }
    }

    if (!updates.empty()) {
        if (!needContext()) {
            summary.nFailed += static_cast<long>(updates.size());
            bAllStored = false;
        } else {
            HeaderUpdateTotals totals = updateHeaders(session, ctx, updates);
            summary.nFailed += totals.nFailed;
            bAllStored = bAllStored && totals.nFailed == 0;
            for (std::size_t i = 0; i < updates.size(); ++i) {
                if (!updates[i].bUpdated)
                    continue;
                session.changedKeys().push_back(updates[i].strKey);
                const PlannedFile &file = *updated[i];
                if (cache)
                    cache->putRecord(strTarget, file.local->key,
                                     {file.sent.strMd5Hex, file.sent.size,
                                      updates[i].strETag.empty() ? file.remote->tag : updates[i].strETag,
                                      updates[i].headers.record()});
            }
        }
    }

    if (cache && !bDryRun) {
        std::set<std::string> keys;
        for (const S3Obj &local : localList)
            keys.insert(local.key);
        cache->keepRecordsOf(keys);
        cache->save();
    }
    return bAllStored;
}

} // namespace

SyncDirectionEnum decideDirection(const S3Obj &local, const S3Obj *remote)
{
    // The listing alone: what it cannot vouch for is sent.
    SentDigest sent;
    sent.bKnown = true;
    sent.strMd5Hex = local.tag;
    sent.size = local.size;
    return decideAgainstStore(remote, sent, nullptr, nullptr) == VerdictUnchanged ? DirectionNone
                                                                                  : DirectionUpload;
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
    RunSummary summary;
    const std::string strRootPath = strRootPathIn + "/";
    S3ObjSet localList;
    S3ObjSet remoteList;

    ScanStats stats;
    ScanOptions scan = scanOptions;
    if (!scan.stats)
        scan.stats = &stats;
    if (!getAllFiles(strRootPath, localList, scan)) {
        printLine(" getAllFiles failed ");
        return false;
    }
    // Only a whole scan may replace the last run's digests.
    if (scan.cache)
        scan.cache->save();
    summary.nIgnored = static_cast<long>(scan.stats->nIgnored);
    if (!listObjects(session, strBucket, remoteList)) {
        printLine(" listObjects failed ");
        return false;
    }

    bool bAllStored = sendChanges(session, strBucket, strRootPath, localList, remoteList, bDryRun,
                                  scan.cache, summary);
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
