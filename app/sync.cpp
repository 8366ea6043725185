// sync.cpp - the one-way mirror of the local site tree into the bucket, and the
// bulk upload of a whole tree.
#include "sync.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "console.h"
#include "deletion.h"
#include "digestcache.h"
#include "ignore.h"
#include "cache_rules.h"
#include "myListTool.h"
#include "myListObj.h"
#include "myPutObj.h"
#include "page_preview.h"
#include "phases.h"
#include "report.h"
#include "scan_listing.h"
#include "settings.h"
#include "site_policy.h"
#include "header_update.h"
#include "object_plan.h"
#include "uploader.h"


namespace {

// The upload of one scanned file: its key, full path, digest and size, the
// ACL its path calls for and the Cache-Control rule its key matches.
UploadItem uploadItemFor(const S3Obj &local, const std::string &strRootPath,
                         const Settings &settings)
{
    UploadItem item;
    item.strKey = settings.strPrefix + local.key;
    item.strPath = strRootPath + local.key;
    item.strMd5Hex = local.tag;
    item.size = local.size;
    item.device = local.device;
    item.inode = local.inode;
    item.acl = aclForPath(item.strPath, strRootPath);
    applyRules(settings.cacheRules, local.key, item);
    return item;
}

// The records of the bucket's folder strPrefix ("" = the whole bucket) with
// the prefix cut off every key, so that remote and local records compare by
// their path below the site root. Keys outside the prefix are dropped.
void keepSiteObjects(S3ObjSet &listed, const std::string &strPrefix, S3ObjSet &remoteList)
{
    if (strPrefix.empty()) {
        remoteList.swap(listed);
        return;
    }
    for (const S3Obj &obj : listed) {
        if (obj.key.compare(0, strPrefix.size(), strPrefix) != 0)
            continue;
        S3Obj rel = obj;
        rel.key.erase(0, strPrefix.size());
        remoteList.insert(remoteList.end(), std::move(rel));
    }
    S3ObjSet().swap(listed);
}

// A dry run writes no page: the one on disk is replaced by the page a run
// would write now, so that the comparison says whether that would go up.
void predictPageRecord(S3ObjSet &localList, const std::string &strRootPathIn,
                       const Settings &settings, const ScanOptions &scan)
{
    S3Obj page;
    S3Obj probe;
    probe.key = siteindex::targetFileName;
    if (scan.ignore && scan.ignore->isIgnored(probe.key, false))
        return;
    localList.erase(probe);
    if (predictIndexPage(strRootPathIn, settings.strSiteUrl, scan.ignore, page))
        localList.insert(page);
}

// Whether the run may delete, and if so how many and which: the keys (full,
// with the prefix) in key order. Prints the line that stops it otherwise
// (false). bAllStored: the scan, the listing and every upload succeeded.
bool planDeletions(const S3ObjSet &remoteList, const std::string &strRootPath,
                   const Settings &settings, const ScanOptions &scan, bool bAllStored,
                   std::vector<std::string> &keys)
{
    if (!bAllStored) {
        printLine("not deleting: not every file of the site is in the bucket");
        return false;
    }
    const std::vector<std::string> candidates =
        deletionCandidates(remoteList, strRootPath, scan.ignore);
    if (static_cast<long>(candidates.size()) > settings.nMaxDelete) {
        printLine(deleteLimitLine(candidates.size(), settings.nMaxDelete, settings.strPrefix));
        return false;
    }
    for (const std::string &strRel : candidates)
        keys.push_back(settings.strPrefix + strRel);
    return true;
}

// The deletion step: plans, then deletes (or, in a dry run, names) what the
// site no longer has, counting into summary. bContext and ctx are the run's
// bucket context, set up here when the uploads did not need it. False when
// deletions failed or were refused, and when bAllStored was already false.
bool deleteWhatIsGone(Session &session, const std::string &strBucket, const S3ObjSet &remoteList,
                      const std::string &strRootPath, const ScanOptions &scan, bool bDryRun,
                      bool bAllStored, MyS3Context &context, S3BucketContext &ctx,
                      bool &bContext, RunSummary &summary)
{
    const Settings &settings = session.settings();
    std::vector<std::string> doomed;
    if (!planDeletions(remoteList, strRootPath, settings, scan, bAllStored, doomed))
        return false;
    if (bDryRun) {
        for (const std::string &strKey : doomed)
            printLine("would delete: " + consoleText(strKey));
        summary.nDeleted = static_cast<long>(doomed.size());
        return true;
    }
    if (doomed.empty())
        return true;
    if (!bContext)
        bContext = context.initialize(strBucket.c_str(), ctx);
    if (!bContext) {
        summary.nFailed += static_cast<long>(doomed.size());
        return false;
    }
    DeleteTotals deleted = deleteKeys(session, ctx, strBucket, doomed);
    summary.nDeleted = deleted.nDeleted;
    summary.nFailed += deleted.nFailed;
    return deleted.nFailed == 0;
}

// What is known of one scanned file against the store: the object listed
// under its key, the bytes it would be sent as, this store's record of it and
// the verdict of the listing and the record alone.
struct FileVerdict {
    const S3Obj *remote = nullptr;
    SentDigest sent;
    bool bRecord = false;
    StoredRecord record;
    StoreVerdict verdict = VerdictUpload;
    const char *pszWhy = "digest";
};

// True when an entity tag has the form of an MD5: 32 hex digits (a multipart
// upload's has a "-N" part count, an encrypted object's may be anything).
bool looksLikeMd5(const std::string &strTag)
{
    return strTag.size() == 32 &&
           strTag.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// An unchanged object whose headers are replaced, and what its record will say.
struct UpdatedFile {
    std::string strKey; // below the site root
    std::string strSentMd5Hex;
    uint64_t sentSize;
    std::string strListedETag;
};

// Decides every scanned file against the listing and this store's records,
// asks the store (HEAD) where the listing cannot tell and, with
// --refresh-headers, for every unchanged file; sends what is new or changed,
// then replaces the headers of unchanged objects whose headers the rules now
// give otherwise; records what was sent. True when every transfer succeeded.
// Nothing is kept per file of the site: a first pass finds what to ask, and
// the second decides each file again, with the answers.
bool sendChanges(Session &session, const std::string &strBucket, const std::string &strRootPath,
                 const S3ObjSet &localList, const S3ObjSet &remoteList, bool bDryRun, DigestCache *cache,
                 const std::string &strIndexPageKey, RunSummary &summary)
{
    const Settings &settings = session.settings();
    const std::string strTarget = DigestCache::storeTarget(settings.strEndpoint, strBucket, settings.strPrefix);
    std::vector<UploadItem> items;

    auto uploadOf = [&](const S3Obj &local, const S3Obj *remote, UploadItem item, const char *pszWhy,
                        uint64_t sentSize) {
        if (bDryRun) {
            if (item.strKey == strIndexPageKey)
                pszWhy = "page";
            printLine("would upload: " + consoleText(item.strKey) + " (" + pszWhy + ")");
            ++summary.nSent;
            summary.nBytesSent += sentSize;
            return;
        }
        if (!remote) {
            item.leadLines.push_back("DirectionUpload:" + consoleText(item.strKey));
            char szLine[64];
            std::snprintf(szLine, sizeof szLine, "%" PRIu64 "%" PRId64,
                          static_cast<uint64_t>(local.size), static_cast<int64_t>(local.time));
            item.leadLines.push_back(szLine);
        }
        items.push_back(std::move(item));
    };

    // Objects the listing shows holding the bytes of their file by an ETag
    // that is the MD5: this store's entity tags are digests.
    long nDigestTags = 0;
    auto judge = [&](const S3Obj &local, const UploadItem &item, FileVerdict &file) {
        auto it = remoteList.find(local);
        file.remote = it == remoteList.end() ? nullptr : &*it;
        file.sent = sentDigestFor(local, item.strPath, item.strContentEncoding, cache);
        file.bRecord = cache && cache->findRecord(strTarget, local.key, file.record);
        file.verdict = decideAgainstStore(file.remote, file.sent, file.bRecord ? &file.record : nullptr,
                                          &file.pszWhy);
    };
    // Where the store has shown that its tags are digests, a tag of that form
    // that is not this file's digest is another file's: no need to ask which
    // bytes the object holds.
    auto mustAsk = [&](StoreVerdict verdict, const S3Obj *remote) {
        if (verdict == VerdictAsk)
            return !(nDigestTags > 0 && looksLikeMd5(remote->tag));
        return verdict == VerdictUnchanged && settings.bRefreshHeaders;
    };

    std::vector<const S3Obj *> asked; // in key order
    {
        struct Candidate {
            const S3Obj *local;
            const S3Obj *remote;
            StoreVerdict verdict;
        };
        std::vector<Candidate> candidates;
        for (const S3Obj &local : localList) {
            FileVerdict file;
            judge(local, uploadItemFor(local, strRootPath, settings), file);
            if (file.remote && file.sent.bKnown && file.remote->tag == file.sent.strMd5Hex)
                ++nDigestTags;
            if (file.verdict == VerdictAsk || (file.verdict == VerdictUnchanged && settings.bRefreshHeaders))
                candidates.push_back({&local, file.remote, file.verdict});
        }
        for (const Candidate &candidate : candidates)
            if (mustAsk(candidate.verdict, candidate.remote))
                asked.push_back(candidate.local);
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
    if (!asked.empty()) {
        std::vector<std::string> headKeys;
        headKeys.reserve(asked.size());
        for (const S3Obj *local : asked)
            headKeys.push_back(settings.strPrefix + local->key);
        if (needContext())
            heads = headObjects(session, ctx, headKeys);
        heads.resize(headKeys.size());
    }

    std::vector<HeaderUpdate> updates;
    std::vector<UpdatedFile> updated;
    std::size_t nextAsked = 0;
    for (const S3Obj &local : localList) {
        UploadItem item = uploadItemFor(local, strRootPath, settings);
        FileVerdict file;
        judge(local, item, file);
        const HeadResult *head = nullptr;
        if (nextAsked < asked.size() && asked[nextAsked] == &local)
            head = &heads[nextAsked++];
        if (file.verdict == VerdictAsk && !mustAsk(file.verdict, file.remote))
            file.verdict = VerdictUpload;
        if (file.verdict == VerdictUpload) {
            uploadOf(local, file.remote, std::move(item), file.pszWhy, file.sent.size);
            continue;
        }
        if (file.verdict == VerdictAsk) {
            // Trusted only when the object names these bytes as its own.
            const bool bSame = head && head->bFound && !head->strMd5Meta.empty() &&
                               head->strMd5Meta == file.sent.strMd5Hex && head->size == file.sent.size;
            if (!bSame) {
                uploadOf(local, file.remote, std::move(item), "digest", file.sent.size);
                continue;
            }
        }
        ++summary.nUnchanged;
        const ObjectHeaders want = itemHeaders(settings, item);
        const int differ = storedHeadersDiffer(want, file.sent, file.bRecord ? &file.record : nullptr, head);
        if (differ == 1) {
            if (bDryRun) {
                printLine("would update headers: " + consoleText(item.strKey));
                continue;
            }
            HeaderUpdate update;
            update.strKey = item.strKey;
            update.headers = want;
            update.strMd5Hex = file.sent.strMd5Hex;
            updates.push_back(update);
            updated.push_back({local.key, file.sent.strMd5Hex, file.sent.size, file.remote->tag});
        } else if (differ == 0 && cache && !bDryRun &&
                   (!file.bRecord || file.record.strETag != file.remote->tag)) {
            // Known now to hold these bytes with these headers.
            cache->putRecord(strTarget, local.key,
                             {file.sent.strMd5Hex, file.sent.size, file.remote->tag, want.record()});
        }
    }

    bool bAllStored = true;
    if (!items.empty()) {
        if (!needContext()) {
            summary.nFailed += static_cast<long>(items.size());
            bAllStored = false;
        } else {
            UploadTotals totals = uploadInPhases(session, ctx, strBucket, items, strIndexPageKey);
            summary.nSent = totals.nSent;
            summary.nBytesSent = totals.nBytesSent;
            summary.nFailed += totals.nFailed;
            summary.nMostInFlight = totals.nMostInFlight;
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
                    cache->forget(strKey.substr(settings.strPrefix.size()));
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
                const UpdatedFile &file = updated[i];
                if (cache)
                    cache->putRecord(strTarget, file.strKey,
                                     {file.strSentMd5Hex, file.sentSize,
                                      updates[i].strETag.empty() ? file.strListedETag : updates[i].strETag,
                                      updates[i].headers.record()});
            }
        }
    }

    if (cache && !bDryRun) {
        cache->keepRecordsOf([&localList](const std::string &strKey) {
            S3Obj probe;
            probe.key = strKey;
            return localList.find(probe) != localList.end();
        });
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
    const Settings &settings = session.settings();
    RunSummary summary;
    const std::string strRootPath = strRootPathIn + "/";
    S3ObjSet localList;
    S3ObjSet remoteList;

    ScanStats stats;
    ScanOptions scan = scanOptions;
    if (!scan.stats)
        scan.stats = &stats;
    // A run that stops early still ends with its summary line.
    auto stopEarly = [&](const char *pszLine) {
        printLine(pszLine);
        summary.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        printLine(summaryLine(summary));
        return false;
    };
    S3ObjSet listed;
    const ScanListOutcome outcome =
        scanAndList(session, strBucket, settings.strPrefix, strRootPath, scan, localList, listed);
    summary.nIgnored = static_cast<long>(scan.stats->nIgnored);
    if (outcome == ScanListScanFailed)
        return stopEarly(" getAllFiles failed ");
    // Only a whole scan may replace the last run's digests.
    if (scan.cache)
        scan.cache->save();
    if (outcome == ScanListListingFailed)
        return stopEarly(" listObjects failed ");
    keepSiteObjects(listed, settings.strPrefix, remoteList);
    if (bDryRun)
        predictPageRecord(localList, strRootPathIn, settings, scan);
    const std::string strIndexPageKey = settings.strPrefix + siteindex::targetFileName;

    bool bAllStored = sendChanges(session, strBucket, strRootPath, localList, remoteList, bDryRun,
                                  scan.cache, strIndexPageKey, summary);
    // Files whose names no store takes were named by the scan; each one failed.
    summary.nFailed += static_cast<long>(scan.stats->refused.size());
    bAllStored = bAllStored && scan.stats->refused.empty();

    // Deletions last, and only after a whole scan, a whole listing and every upload.
    if (settings.bDelete) {
        summary.bDeleting = true;
        MyS3Context context(session);
        S3BucketContext ctx;
        bool bContext = false;
        bAllStored = deleteWhatIsGone(session, strBucket, remoteList, strRootPath, scan, bDryRun,
                                      bAllStored, context, ctx, bContext, summary);
    }
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
    for (const S3Obj &local : localList) {
        items.push_back(uploadItemFor(local, strRootPath, session.settings()));
    }
    if (items.empty())
        return true;
    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return false;
    return uploadItems(session, ctx, strBucket, items).nFailed == 0;
}
