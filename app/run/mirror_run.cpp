// mirror_run.cpp - the steps of a mirror run in order, and the one-file form.
#include "mirror_run.h"

#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "cdn.h"
#include "cloudflare.h"
#include "changed_list.h"
#include "cli.h"
#include "console.h"
#include "digestcache.h"
#include "events.h"
#include "markdown_summary.h"
#include "ignore.h"
#include "myListTool.h"
#include "myPutObj.h"
#include "page_preview.h"
#include "pending_invalidations.h"
#include "redirect_list.h"
#include "runlock.h"
#include "settings.h"
#include "sync.h"
#include "tempfile.h"
#include "uploader.h"

namespace {

bool invalidateCloudFront(Session &session, const std::vector<std::string> &keys);

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

// The CDNs in front of the bucket forget the paths of keys (CloudFront's
// invalidation signed with the run's credentials, Cloudflare's purge with its
// API token). True when there is no CDN, no key, or every CDN took its
// requests.
bool invalidateCdn(Session &session, const std::vector<std::string> &keys)
{
    const Settings &settings = session.settings();
    if (settings.bDryRun || keys.empty())
        return true;
    const bool bPurged = purgeChangedKeys(session, keys);
    return invalidateCloudFront(session, keys) && bPurged;
}

bool invalidateCloudFront(Session &session, const std::vector<std::string> &keys)
{
    const Settings &settings = session.settings();
    if (settings.strCloudFrontDistribution.empty())
        return true;
    S3BucketContext ctx;
    if (!session.bucketContext(settings.strBucket.c_str(), ctx)) {
        printLine("invalidation failed: no credentials (the files are stored; the CDN may serve "
                  "old copies until they expire)");
        emitError({"invalidation", "", "", "", 0, "no credentials", ""});
        return false;
    }
    CdnCredentials creds;
    creds.strAccessKeyId = ctx.accessKeyId ? ctx.accessKeyId : "";
    creds.strSecretAccessKey = ctx.secretAccessKey ? ctx.secretAccessKey : "";
    creds.strSessionToken = ctx.securityToken ? ctx.securityToken : "";
    return invalidateChangedKeys(session, creds, keys);
}

// The steps of a mirror run, in order. Each step that fails says why in its
// own lines; what was stored is still told to the CDN.
int mirrorSite(Session &session, RunLock &lock, bool &bRefused)
{
    const Settings &settings = session.settings();
    // 1. One run of a site at a time: two would race on its page and its
    //    digest cache. Without a cache folder the lock goes to a private
    //    folder in /tmp.
    const std::string strLockDir =
        settings.strCacheDir.empty() ? RunLock::fallbackFolder() : settings.strCacheDir;
    if (strLockDir.empty())
        printErrorLine("cannot take the run lock: neither XDG_CACHE_HOME nor HOME is set, and /tmp/"
                       "sitemirror-" + std::to_string(static_cast<long>(::getuid())) +
                       " is not a private folder of this user (going on without it)");
    else if (lock.take(strLockDir, settings.strRootPath, !settings.bNoWait) == RunLock::Busy) {
        bRefused = true;
        emitError({"lock", "", settings.strRootPath, "", 0, "another run of this site is in progress", ""});
        return ExitFailed;
    }
    // 2. The ignore rules: rules that cannot be read would publish what they leave out.
    IgnoreRules ignore;
    ignore.publishVcs(settings.bPublishVcs);
    if (!loadIgnoreFile(settings.strRootPath, ignore)) {
        emitError({"scan", "", settings.strRootPath, "", 0, "an ignore file cannot be read", ""});
        return ExitFailed;
    }
    // --exclude: each pattern a last line of the root's ignore file.
    for (const std::string &strPattern : settings.excludes)
        ignore.parse(strPattern, "");
    // The redirects, checked before anything is written or sent; their
    // file at the root is not published.
    std::vector<Redirect> redirects;
    {
        std::string strRootDir = settings.strRootPath;
        if (strRootDir.empty() || strRootDir.back() != '/')
            strRootDir += "/";
        std::string strError;
        if (!loadRedirects(settings.redirects, strRootDir, settings.strWebsiteIndex, redirects, strError)) {
            printLine(strError);
            emitError({"redirects", "", settings.strRootPath, "", 0, strError, ""});
            return ExitUsage;
        }
        ignore.parse(std::string("/") + pszRedirectsFile, "");
    }
    // 3. The index page, written first so the scan finds it and it goes up
    //    with the rest; a dry run writes nothing.
    bool bIndexWritten = true;
    if (!settings.bDryRun) {
        bIndexWritten = myListTool(settings.strRootPath, settings.strSiteUrl,
                                   pageFilter(&ignore, settings.strPrefix.size()));
    }
    // 4. The site root as the store will know it.
    std::string strRoot;
    if (!resolvePath(settings.strRootPath, strRoot)) {
        if (settings.bDryRun)
            printLine("site root cannot be resolved: " + settings.strRootPath);
        return ExitFailed; // otherwise the index step has said why
    }
    // 5. The digests of the last runs.
    std::unique_ptr<DigestCache> cache;
    if (settings.bDigestCache && !settings.strCacheDir.empty()) {
        cache = std::make_unique<DigestCache>(settings.strCacheDir, strRoot);
        cache->load();
    }
    ScanOptions scan;
    scan.ignore = &ignore;
    scan.cache = cache.get();
    scan.partSize = settings.partSize;
    // 6. The mirror itself (sync.cpp): scan and listing side by side, the
    //    decisions, the uploads phase by phase, header updates, deletions and
    //    the summary line.
    const bool bSynced = sync(session, settings.strBucket, strRoot, settings.bDryRun, scan, redirects);
    // 7. The CDN forgets what changed (runForm), also when other files failed.
    return bIndexWritten && bSynced ? ExitOk : ExitFailed;
}

// One file, public-read, under its base name: a one-item run of the uploader,
// with its retries and the Cache-Control rules, printing only the response
// lines.
int uploadOneFile(Session &session, const char *pszArg)
{
    const Settings &settings = session.settings();
    std::string strPath;
    if (!resolvePath(pszArg, strPath)) {
        printLine("invalid path:" + consoleText(pszArg));
        return ExitFailed;
    }
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        printLine("not a regular file: " + consoleText(strPath));
        return ExitFailed;
    }
    std::string strCopy = strPath; // basename may write into its argument
    // Into the top of the site's folder of the bucket, never outside it.
    const std::string strName = basename(&strCopy[0]);
    std::string strKey = settings.strPrefix + strName;

    if (settings.bDryRun) {
        printLine("would upload: " + consoleText(strKey) + " (one file)");
        return ExitOk;
    }
    std::vector<UploadItem> items(1);
    UploadItem &item = items[0];
    item.strKey = strKey;
    item.strPath = strPath;
    item.size = static_cast<uint64_t>(st.st_size);
    item.acl = settings.defaultAcl;
    item.bNamed = false;
    applyRules(settings.cacheRules, strName, item);

    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(settings.strBucket.c_str(), ctx))
        return ExitFailed;
    const auto started = std::chrono::steady_clock::now();
    const UploadTotals totals = uploadItems(session, ctx, settings.strBucket, items);
    const bool bStored = totals.nFailed == 0;
    RunSummary &summary = session.runSummary();
    summary.nSent = totals.nSent;
    summary.nBytesSent = totals.nBytesSent;
    summary.nFailed = totals.nFailed;
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (item.bStored)
        session.changedKeys().push_back(item.strKey);
    return bStored ? ExitOk : ExitFailed;
}

// Where the changed keys not yet told to the CDN are kept: per store and
// CDN (CloudFront's distribution; else the changed list, which feeds another
// CDN's purge), in the cache folder. None without either, in a dry run, or
// without a cache folder.
std::unique_ptr<PendingInvalidations> pendingStore(const Settings &settings)
{
    if (settings.bDryRun || settings.strCacheDir.empty())
        return nullptr;
    std::string strCdn;
    if (!settings.strCloudFrontDistribution.empty())
        strCdn = "cloudfront:" + settings.strCloudFrontDistribution;
    if (!settings.strCloudflareZone.empty())
        strCdn += (strCdn.empty() ? "" : ",") + std::string("cloudflare:") + settings.strCloudflareZone;
    if (strCdn.empty() && !settings.strChangedList.empty())
        strCdn = "changed-list";
    if (strCdn.empty())
        return nullptr;
    return std::make_unique<PendingInvalidations>(
        settings.strCacheDir,
        DigestCache::storeTarget(settings.strEndpoint, settings.strBucket, settings.strPrefix),
        strCdn);
}

// The run's last reports: the Markdown summary for the job, then the JSON
// summary, the last event. The status, failed when the Markdown summary
// cannot be written.
int reportRun(Session &session, int status)
{
    const Settings &settings = session.settings();
    RunSummary &summary = session.runSummary();
    if (!settings.strSummaryMarkdown.empty() &&
        !appendMarkdownSummary(settings.strSummaryMarkdown, markdownSummary(summary, status == ExitOk,
                                                                            session.changedKeys(),
                                                                            runErrors()))) {
        emitError({"summary", "", settings.strSummaryMarkdown, "", 0,
                   "cannot write the Markdown summary", ""});
        status = ExitFailed;
    }
    summary.bOk = status == ExitOk;
    emitSummary(summary);
    return status;
}

// keys, then those of more not among them, each once, in order.
std::vector<std::string> joined(const std::vector<std::string> &keys, const std::vector<std::string> &more)
{
    std::vector<std::string> all;
    std::set<std::string> seen;
    for (const std::vector<std::string> *list : {&keys, &more})
        for (const std::string &strKey : *list)
            if (seen.insert(strKey).second)
                all.push_back(strKey);
    return all;
}

} // namespace

// The run's form; then the CDN forgets what this run and the runs before it
// changed but did not get told, and the changed keys are written where
// --changed-list said (also after a failed run: what did change must still
// be told). A run that a signal asked to stop ends as the signal would have,
// once it has said what it changed.
int runForm(Session &session, const std::vector<std::string> &args)
{
    const Settings &settings = session.settings();
    catchStopSignals();
    RunLock lock; // held until the pending invalidations are settled
    bool bRefused = false;
    std::unique_ptr<PendingInvalidations> pending = pendingStore(settings);
    std::vector<std::string> earlier;
    std::vector<std::string> meant; // what this run set out to change
    if (pending) {
        pending->load(earlier);
        session.onChangeIntent([&pending, &meant](const std::vector<std::string> &keys) {
            meant.insert(meant.end(), keys.begin(), keys.end());
            pending->add(keys);
        });
    }
    session.runSummary().bDryRun = settings.bDryRun;
    int status = args.empty() ? mirrorSite(session, lock, bRefused)
                              : uploadOneFile(session, args[0].c_str());
    // A run refused by the lock did nothing: it says nothing of changes.
    if (bRefused) {
        status = reportRun(session, status);
        endByStopSignal();
        return status;
    }
    session.onChangeIntent(nullptr);
    const std::vector<std::string> keys = joined(earlier, session.changedKeys());
    if (pending) {
        // What this run set out to change and did not (the store refused it)
        // is pending no longer, unless a run before left it.
        const std::set<std::string> kept(keys.begin(), keys.end());
        std::vector<std::string> unchanged;
        for (const std::string &strKey : meant)
            if (!kept.count(strKey))
                unchanged.push_back(strKey);
        pending->clear(unchanged);
    }
    const bool bCdn = !settings.strCloudFrontDistribution.empty() || !settings.strCloudflareZone.empty();
    if (!stopSignal()) {
        if (!invalidateCdn(session, keys))
            status = ExitFailed;
        else if (pending && bCdn)
            pending->clear(keys);
    }
    const std::string &strChangedList = settings.strChangedList;
    if (!strChangedList.empty()) {
        if (!writeChangedList(strChangedList, keys)) {
            emitError({"changed-list", "", strChangedList, "", 0, "cannot write the changed list", ""});
            status = ExitFailed;
        } else if (pending && !bCdn)
            pending->clear(keys);
    }
    status = reportRun(session, status);
    if (stopSignal()) {
        std::fflush(stdout);
        endByStopSignal();
    }
    return status;
}
