// mirror_run.cpp - the steps of a mirror run in order, and the one-file form.
#include "mirror_run.h"

#include <libgen.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "cdn.h"
#include "changed_list.h"
#include "cli.h"
#include "console.h"
#include "digestcache.h"
#include "ignore.h"
#include "myListTool.h"
#include "myPutObj.h"
#include "runlock.h"
#include "settings.h"
#include "sync.h"
#include "uploader.h"

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

// After a run that changed anything: the CDN in front of the bucket forgets
// the changed paths, signed with the run's credentials. True when there is
// no CDN, nothing changed, or the CDN took the request.
bool invalidateCdn(Session &session)
{
    const Settings &settings = session.settings();
    if (settings.strCloudFrontDistribution.empty() || settings.bDryRun ||
        session.changedKeys().empty())
        return true;
    S3BucketContext ctx;
    if (!session.bucketContext(settings.strBucket.c_str(), ctx)) {
        printLine("invalidation failed: no credentials (the files are stored; the CDN may serve "
                  "old copies until they expire)");
        return false;
    }
    CdnCredentials creds;
    creds.strAccessKeyId = ctx.accessKeyId ? ctx.accessKeyId : "";
    creds.strSecretAccessKey = ctx.secretAccessKey ? ctx.secretAccessKey : "";
    creds.strSessionToken = ctx.securityToken ? ctx.securityToken : "";
    return invalidateChangedKeys(session, creds, session.changedKeys());
}

// The steps of a mirror run, in order. Each step that fails says why in its
// own lines; what was stored is still told to the CDN.
int mirrorSite(Session &session)
{
    const Settings &settings = session.settings();
    // 1. One run of a site at a time: two would race on its page and its digest cache.
    RunLock lock;
    if (!settings.strCacheDir.empty() &&
        lock.take(settings.strCacheDir, settings.strRootPath, !settings.bNoWait) == RunLock::Busy)
        return ExitFailed;
    // 2. The ignore rules: rules that cannot be read would publish what they leave out.
    IgnoreRules ignore;
    ignore.publishVcs(settings.bPublishVcs);
    if (!loadIgnoreFile(settings.strRootPath, ignore))
        return ExitFailed;
    // 3. The index page, written first so the scan finds it and it goes up
    //    with the rest; a dry run writes nothing.
    bool bIndexWritten = true;
    if (!settings.bDryRun) {
        bIndexWritten = myListTool(settings.strRootPath, settings.strSiteUrl,
                                   [&ignore](const std::string &strRel, bool bDir) {
                                       return ignore.isIgnored(strRel, bDir);
                                   });
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
    const bool bSynced = sync(session, settings.strBucket, strRoot, settings.bDryRun, scan);
    // 7. The CDN forgets what changed, also when other files failed.
    const bool bInvalidated = invalidateCdn(session);
    return bIndexWritten && bSynced && bInvalidated ? ExitOk : ExitFailed;
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
    item.acl = S3CannedAclPublicRead;
    item.bNamed = false;
    applyRules(settings.cacheRules, strName, item);

    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(settings.strBucket.c_str(), ctx))
        return ExitFailed;
    const bool bStored = uploadItems(session, ctx, settings.strBucket, items).nFailed == 0;
    if (item.bStored)
        session.changedKeys().push_back(item.strKey);
    const bool bInvalidated = invalidateCdn(session);
    return bStored && bInvalidated ? ExitOk : ExitFailed;
}

} // namespace

// The run's form, then the changed keys written where --changed-list said
// (also after a failed run: what did change must still be told).
int runForm(Session &session, const std::vector<std::string> &args)
{
    int status = args.empty() ? mirrorSite(session) : uploadOneFile(session, args[0].c_str());
    const std::string &strChangedList = session.settings().strChangedList;
    if (!strChangedList.empty() && !writeChangedList(strChangedList, session.changedKeys()))
        status = ExitFailed;
    return status;
}

