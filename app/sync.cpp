// sync.cpp - the one-way mirror of the local site tree into the bucket, and the
// bulk upload of a whole tree.
#include "sync.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>

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
#include "merge.h"
#include "object_plan.h"
#include "uploader.h"


namespace {

// The deletion step: plans, then deletes (or, in a dry run, names) what the
// site no longer has, counting into summary. bContext and ctx are the run's
// bucket context, set up here when the uploads did not need it. False when
// deletions failed or were refused, and when bAllStored was already false.
bool deleteWhatIsGone(Session &session, const std::string &strBucket, const SiteMerge &merge,
                      const std::string &strRootPath, bool bDryRun, bool bAllStored,
                      MyS3Context &context, S3BucketContext &ctx, bool &bContext,
                      RunSummary &summary)
{
    const Settings &settings = session.settings();
    DeletionGuards guards;
    guards.nMaxDelete = settings.nMaxDelete;
    guards.nMaxSharePercent = settings.nMaxDeleteShare;
    guards.bSiteEmpty = merge.nLocal == (merge.bPageScanned ? 1u : 0u);
    guards.strRoot = strRootPath;
    const DeletionPlan plan =
        planDeletions(merge.deletable, merge.nListed, guards, settings.strPrefix, bAllStored);
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

// The plan's uploads, each made when its turn comes; what the store took is
// remembered (the changed keys, the digest cache) as each block is printed.
class PlanUploads : public PhasedUploads {
public:
    PlanUploads(Session &session, const Plan &plan, DigestCache *cache, const std::string &strTarget)
        : session(session), plan(plan), cache(cache), strTarget(strTarget)
    {
    }
    std::size_t count() const override { return plan.uploads.size(); }
    std::string key(std::size_t i) const override { return bucketKeyOf(plan, i); }
    uint64_t size(std::size_t i) const override { return plan.uploads[i].local.size; }
    bool encoded(std::size_t i) const override { return plan.uploads[i].bEncoded; }
    UploadPhase phase(std::size_t i) const override { return plan.uploads[i].phase; }
    std::string path(std::size_t i) const override { return plan.strRootPath + plan.uploads[i].local.key; }
    UploadItem make(std::size_t i) override { return uploadOf(plan, i); }
    void ended(std::size_t i, const UploadItem &item) override
    {
        if (!item.bStored)
            return;
        session.changedKeys().push_back(item.strKey);
        if (cache)
            cache->putRecord(strTarget, plan.uploads[i].local.key,
                             {item.strSentMd5Hex, item.sentSize, item.strETag,
                              itemHeaders(session.settings(), item).record()});
    }

private:
    Session &session;
    const Plan &plan;
    DigestCache *cache;
    const std::string &strTarget;
};

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
    if (!plan.uploads.empty()) {
        PlanUploads uploads(session, plan, cache, input.strTarget);
        if (!needContext()) {
            summary.nFailed += static_cast<long>(plan.uploads.size());
            bAllStored = false;
            for (std::size_t i = 0; i < plan.uploads.size(); ++i)
                emitError({"upload", uploads.key(i), uploads.path(i), "", 0, "no credentials", ""});
        } else {
            const std::size_t nChangedBefore = session.changedKeys().size();
            UploadTotals totals = uploadInPhases(session, ctx, strBucket, uploads);
            // Named in key order, as the plan has them, not phase by phase.
            std::sort(session.changedKeys().begin() + static_cast<std::ptrdiff_t>(nChangedBefore),
                      session.changedKeys().end());
            summary.nSent = totals.nSent;
            summary.nBytesSent = totals.nBytesSent;
            summary.nFailed += totals.nFailed;
            summary.nMostInFlight = totals.nMostInFlight;
            bAllStored = totals.nFailed == 0;
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

// Completes the plan (asking the store where the listing cannot tell and,
// with --refresh-headers, about every unchanged file), then prints it (a dry
// run) or carries it out. True when every transfer succeeded.
bool sendChanges(Session &session, const std::string &strBucket, PlanBuilder &builder, const PlanInput &input,
                 const SiteMerge &merge, bool bDryRun, DigestCache *cache, RunSummary &summary)
{
    MyS3Context context(session);
    S3BucketContext ctx;
    bool bContext = false;
    const std::vector<std::string> asks = builder.asks();
    std::vector<HeadResult> heads;
    if (!asks.empty()) {
        bContext = context.initialize(strBucket.c_str(), ctx);
        if (bContext)
            heads = headObjects(session, ctx, asks);
        heads.resize(asks.size());
    }
    Plan plan = builder.finish(heads);
    summary.nUnchanged += plan.nUnchanged;
    summary.nForced = plan.nForced;

    bool bAllStored = true;
    if (bDryRun) {
        for (const std::string &strLine : dryRunLines(plan))
            printLine(strLine);
        summary.nSent = static_cast<long>(plan.uploads.size());
        for (const PlannedUpload &planned : plan.uploads)
            summary.nBytesSent += planned.sentSize;
    } else {
        bAllStored = carryOut(session, strBucket, plan, cache, input, context, ctx, bContext, summary);
    }

    if (cache && !bDryRun) {
        // Records of files gone from the tree are dropped (but for the few
        // the filter of scanned keys cannot tell from the site's own).
        cache->keepRecordsOf([&merge](const std::string &strKey) { return merge.scanned.mayHold(strKey); });
        cache->save();
    }
    return bAllStored;
}

// What the plan of a run into strBucket is made from (cache: null when none).
PlanInput planInputFor(const Settings &settings, const std::string &strBucket, const std::string &strRootPath,
                       DigestCache *cache)
{
    PlanInput input;
    input.strRootPath = strRootPath;
    input.settings = &settings;
    input.cache = cache;
    input.strTarget = DigestCache::storeTarget(settings.strEndpoint, strBucket, settings.strPrefix);
    input.bEncodeNow = std::any_of(settings.cacheRules.begin(), settings.cacheRules.end(),
                                   [](const CacheRule &rule) { return !rule.strContentEncoding.empty(); });
    input.encodeCache = cache;
    input.strIndexPageKey = settings.strPrefix + siteindex::targetFileName;
    return input;
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
    const PlanInput input = planInputFor(settings, strBucket, strRootPath, scan.cache);
    PlanBuilder builder(input);
    // A dry run writes no page: the one on disk gives way to the page a run
    // would write now, so that the comparison says whether that would go up.
    const bool bPredictPage = bDryRun && !(scan.ignore && scan.ignore->isIgnored(siteindex::targetFileName, false));
    std::unique_ptr<SiteMerge> merge;
    const ScanListOutcome outcome = scanAndMerge(
        session, strBucket, settings.strPrefix, strRootPath, scan, [&](std::size_t nFiles) -> MergeVisitor & {
            merge = std::make_unique<SiteMerge>(builder, strRootPath, scan.ignore, settings.bDelete, nFiles,
                                                bPredictPage);
            for (const Redirect &redirect : redirects)
                merge->redirectKeys.insert(redirect.strKey);
            return *merge;
        });
    summary.nIgnored = static_cast<long>(scan.stats->nIgnored);
    if (outcome == ScanListScanFailed)
        return stopEarly(" getAllFiles failed ", "scan");
    // Only a whole scan may replace the last run's digests.
    if (scan.cache)
        scan.cache->save();
    if (outcome == ScanListListingFailed)
        return stopEarly(" listObjects failed ", "listing");
    // Uploads in parts that earlier runs left unfinished: named before
    // anything is sent, and given up when asked.
    bool bStaleGone = true;
    {
        MyS3Context context(session);
        S3BucketContext ctx;
        if (context.initialize(strBucket.c_str(), ctx))
            bStaleGone = reportStaleUploads(session, ctx, settings.bAbortStaleUploads, bDryRun);
    }
    if (bPredictPage) {
        S3Obj page;
        if (predictIndexPage(strRootPathIn, settings.strSiteUrl, scan.ignore, settings.strPrefix.size(), page))
            builder.add(page, merge->bHeldPageObject ? &merge->heldPageObject : nullptr);
    }

    // Redirects are decided before the files' step prunes the records, and
    // stored after the files.
    RedirectRun redirectRun(session, strBucket, redirects, merge->redirectObjects, scan.cache);
    bool bAllStored = sendChanges(session, strBucket, builder, input, *merge, bDryRun, scan.cache, summary);
    bAllStored = redirectRun.carryOut(bDryRun, summary) && bAllStored;
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
        const std::string strVcs = vcsObjectsLine(merge->nVcs, merge->strFirstVcs, settings.strPrefix);
        if (!strVcs.empty())
            printLine(strVcs);
    }
    if (settings.bDelete) {
        summary.bDeleting = true;
        MyS3Context context(session);
        S3BucketContext ctx;
        bool bContext = false;
        bAllStored = deleteWhatIsGone(session, strBucket, *merge, strRootPath, bDryRun, bAllStored, context, ctx,
                                      bContext, summary);
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
