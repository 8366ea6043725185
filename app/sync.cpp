// sync.cpp - the one-way mirror of the local site tree into the bucket, and the
// bulk upload of a whole tree.
#include "sync.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "console.h"
#include "deletion.h"
#include "deletion_plan.h"
#include "digestcache.h"
#include "events.h"
#include "ignore.h"
#include "cache_rules.h"
#include "myListTool.h"
#include "myListObj.h"
#include "myPutObj.h"
#include "page_preview.h"
#include "phases.h"
#include "redirect_put.h"
#include "report.h"
#include "run_plan.h"
#include "scan_listing.h"
#include "settings.h"
#include "site_policy.h"
#include "stale_uploads.h"
#include "header_update.h"
#include "object_plan.h"
#include "uploader.h"


namespace {

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
    if (predictIndexPage(strRootPathIn, settings.strSiteUrl, scan.ignore, settings.strPrefix.size(), page))
        localList.insert(page);
}

// The deletion step: plans, then deletes (or, in a dry run, names) what the
// site no longer has, counting into summary. bContext and ctx are the run's
// bucket context, set up here when the uploads did not need it. False when
// deletions failed or were refused, and when bAllStored was already false.
bool deleteWhatIsGone(Session &session, const std::string &strBucket, const S3ObjSet &localList,
                      const S3ObjSet &remoteList, const std::string &strRootPath,
                      const ScanOptions &scan, bool bDryRun, bool bAllStored,
                      MyS3Context &context, S3BucketContext &ctx, bool &bContext,
                      RunSummary &summary)
{
    const Settings &settings = session.settings();
    DeletionGuards guards;
    guards.nMaxDelete = settings.nMaxDelete;
    guards.nMaxSharePercent = settings.nMaxDeleteShare;
    S3Obj page;
    page.key = siteindex::targetFileName;
    guards.bSiteEmpty = localList.size() <= localList.count(page);
    guards.strRoot = strRootPath;
    const DeletionPlan plan =
        planDeletions(remoteList, strRootPath, scan.ignore, guards, settings.strPrefix, bAllStored);
    if (!plan.strRefusal.empty()) {
        printLine(plan.strRefusal);
        emitError({"delete", "", "", "", 0, plan.strRefusal, ""});
        return false;
    }
    const std::vector<std::string> &doomed = plan.keys;
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
        for (const std::string &strKey : doomed)
            emitError({"delete", strKey, "", "", 0, "no credentials", ""});
        return false;
    }
    DeleteTotals deleted = deleteKeys(session, ctx, strBucket, doomed);
    summary.nDeleted = deleted.nDeleted;
    summary.nFailed += deleted.nFailed;
    return deleted.nFailed == 0;
}

// Carries out the transfers of a whole plan: the records learnt, the uploads
// phase by phase, then the header updates; writes what was sent into the
// digest cache. Counts into summary; true when every transfer succeeded.
bool carryOut(Session &session, const std::string &strBucket, Plan &plan, DigestCache *cache,
              const PlanInput &input, MyS3Context &context, S3BucketContext &ctx, bool &bContext,
              RunSummary &summary)
{
    const Settings &settings = session.settings();
    auto needContext = [&]() {
        if (!bContext)
            bContext = context.initialize(strBucket.c_str(), ctx);
        return bContext;
    };
    if (cache)
        for (const LearntRecord &learnt : plan.learnt)
            cache->putRecord(input.strTarget, learnt.strKey, learnt.record);

    bool bAllStored = true;
    std::vector<UploadItem> &items = plan.uploads;
    if (!items.empty()) {
        if (!needContext()) {
            summary.nFailed += static_cast<long>(items.size());
            bAllStored = false;
            for (const UploadItem &item : items)
                emitError({"upload", item.strKey, item.strPath, "", 0, "no credentials", ""});
        } else {
            UploadTotals totals = uploadInPhases(session, ctx, strBucket, items, input.strIndexPageKey);
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
                    cache->putRecord(input.strTarget, item.strKey.substr(settings.strPrefix.size()),
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

    if (!plan.updates.empty()) {
        std::vector<HeaderUpdate> updates;
        updates.reserve(plan.updates.size());
        for (const PlannedUpdate &planned : plan.updates)
            updates.push_back(planned.update);
        if (!needContext()) {
            summary.nFailed += static_cast<long>(updates.size());
            bAllStored = false;
            for (const HeaderUpdate &update : updates)
                emitError({"update", update.strKey, "", "", 0, "no credentials", ""});
        } else {
            HeaderUpdateTotals totals = updateHeaders(session, ctx, updates);
            summary.nFailed += totals.nFailed;
            summary.nUpdated += static_cast<long>(updates.size()) - totals.nFailed;
            bAllStored = bAllStored && totals.nFailed == 0;
            for (std::size_t i = 0; i < updates.size(); ++i) {
                if (!updates[i].bUpdated)
                    continue;
                session.changedKeys().push_back(updates[i].strKey);
                const PlannedUpdate &planned = plan.updates[i];
                if (cache)
                    cache->putRecord(input.strTarget, planned.strKey,
                                     {planned.update.strMd5Hex, planned.sentSize,
                                      updates[i].strETag.empty() ? planned.strListedETag : updates[i].strETag,
                                      updates[i].headers.record()});
            }
        }
    }
    return bAllStored;
}

// Plans the run (asking the store where the listing cannot tell and, with
// --refresh-headers, about every unchanged file), then prints the plan (a
// dry run) or carries it out. True when every transfer succeeded.
bool sendChanges(Session &session, const std::string &strBucket, const std::string &strRootPath,
                 const S3ObjSet &localList, const S3ObjSet &remoteList, bool bDryRun, DigestCache *cache,
                 const std::string &strIndexPageKey, RunSummary &summary)
{
    const Settings &settings = session.settings();
    const std::map<std::string, SentDigest> encoded = encodedDigests(localList, strRootPath, settings, cache);
    PlanInput input;
    input.local = &localList;
    input.remote = &remoteList;
    input.strRootPath = strRootPath;
    input.settings = &settings;
    input.cache = cache;
    input.strTarget = DigestCache::storeTarget(settings.strEndpoint, strBucket, settings.strPrefix);
    input.encoded = &encoded;
    input.strIndexPageKey = strIndexPageKey;
    Plan plan = planRun(input);

    MyS3Context context(session);
    S3BucketContext ctx;
    bool bContext = false;
    if (!plan.asks.empty()) {
        std::vector<HeadResult> heads;
        bContext = context.initialize(strBucket.c_str(), ctx);
        if (bContext)
            heads = headObjects(session, ctx, plan.asks);
        heads.resize(plan.asks.size());
        plan = planRun(input, plan, heads);
    }
    summary.nUnchanged += plan.nUnchanged;
    summary.nForced = plan.nForced;

    bool bAllStored = true;
    if (bDryRun) {
        for (const std::string &strLine : dryRunLines(plan))
            printLine(strLine);
        summary.nSent = static_cast<long>(plan.uploads.size());
        for (uint64_t size : plan.uploadSizes)
            summary.nBytesSent += size;
    } else {
        bAllStored = carryOut(session, strBucket, plan, cache, input, context, ctx, bContext, summary);
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
          bool bDryRun, const ScanOptions &scanOptions, const std::vector<Redirect> &redirects)
{
    const auto started = std::chrono::steady_clock::now();
    const Settings &settings = session.settings();
    RunSummary summary;
    const std::string strRootPath = strRootPathIn + "/";
    S3ObjSet localList;
    S3ObjSet remoteList;

    ScanStats stats;
    ScanOptions scan = scanOptions;
    scan.nKeyPrefixBytes = settings.strPrefix.size();
    if (!scan.stats)
        scan.stats = &stats;
    summary.bDryRun = bDryRun;
    summary.bForcing = settings.bForce;
    // The summary line (and, with --force, the line that confirms it), kept
    // for the run's last reports.
    auto endSummary = [&]() {
        summary.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        printLine(summaryLine(summary));
        if (summary.bForcing)
            printLine(forcedLine(summary));
        session.runSummary() = summary;
    };
    // A run that stops early still ends with its summary line.
    auto stopEarly = [&](const char *pszLine, const char *pszStage) {
        printLine(pszLine);
        ErrorEvent error;
        error.strStage = pszStage;
        error.strMessage = pszLine;
        emitError(error);
        endSummary();
        return false;
    };
    S3ObjSet listed;
    const ScanListOutcome outcome =
        scanAndList(session, strBucket, settings.strPrefix, strRootPath, scan, localList, listed);
    summary.nIgnored = static_cast<long>(scan.stats->nIgnored);
    if (outcome == ScanListScanFailed)
        return stopEarly(" getAllFiles failed ", "scan");
    // Only a whole scan may replace the last run's digests.
    if (scan.cache)
        scan.cache->save();
    if (outcome == ScanListListingFailed)
        return stopEarly(" listObjects failed ", "listing");
    keepSiteObjects(listed, settings.strPrefix, remoteList);
    // Uploads in parts that earlier runs left unfinished: named before
    // anything is sent, and given up when asked.
    bool bStaleGone = true;
    {
        MyS3Context context(session);
        S3BucketContext ctx;
        if (context.initialize(strBucket.c_str(), ctx))
            bStaleGone = reportStaleUploads(session, ctx, settings.bAbortStaleUploads, bDryRun);
    }
    if (bDryRun)
        predictPageRecord(localList, strRootPathIn, settings, scan);
    const std::string strIndexPageKey = settings.strPrefix + siteindex::targetFileName;

    // Redirects are decided before the files' step prunes the records, and
    // stored after the files.
    RedirectRun redirectRun(session, strBucket, redirects, remoteList, scan.cache);
    bool bAllStored = sendChanges(session, strBucket, strRootPath, localList, remoteList, bDryRun,
                                  scan.cache, strIndexPageKey, summary);
    bAllStored = redirectRun.carryOut(bDryRun, summary) && bAllStored;
    redirectRun.keepFromDeletion(remoteList);
    // Files whose names no store takes were named by the scan; each one failed.
    summary.nFailed += static_cast<long>(scan.stats->refused.size());
    bAllStored = bAllStored && scan.stats->refused.empty();
    for (const std::string &strRefused : scan.stats->refused) {
        ErrorEvent error;
        error.strStage = "scan";
        error.strKey = settings.strPrefix + strRefused.substr(std::min(strRefused.size(), strRootPath.size()));
        error.strPath = strRefused;
        error.strMessage = "no store takes this name as a key";
        emitError(error);
    }

    // Deletions last, and only after a whole scan, a whole listing and every upload.
    if (!settings.bDelete && !settings.bPublishVcs) {
        const std::string strVcs = vcsObjectsLine(remoteList, settings.strPrefix);
        if (!strVcs.empty())
            printLine(strVcs);
    }
    if (settings.bDelete) {
        summary.bDeleting = true;
        MyS3Context context(session);
        S3BucketContext ctx;
        bool bContext = false;
        bAllStored = deleteWhatIsGone(session, strBucket, localList, remoteList, strRootPath, scan, bDryRun,
                                      bAllStored, context, ctx, bContext, summary);
    }
    endSummary();
    return bAllStored && bStaleGone;
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
