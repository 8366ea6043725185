// redirect_put.cpp - redirect objects stored as jobs of the run's request
// runner: zero bytes, text/html, x-amz-website-redirect-location.
#include "redirect_put.h"

#include <cstring>

#include "console.h"
#include "events.h"
#include "header_update.h"
#include "myPutObj.h"
#include "myS3Common.h"
#include "outcome_lines.h"
#include "request_runner.h"

namespace {

// One redirect object's PUT.
struct RedirectJob : public RunnerJob {
    const S3BucketContext *ctx = nullptr;
    HintLog *hints = nullptr;
    const RedirectStep *step = nullptr;
    ObjectHeaders headers;
    std::string strMd5Base64;
    bool bStored = false;
    std::string strETag;
    std::vector<std::string> outcome;
    // The request of the try in flight, alive until its complete callback.
    PutMetaData meta;
    S3PutProperties properties;

    bool prepareTry() override { return true; }
    void name()
    {
        if (lines.empty())
            lines.push_back("redirect: " + consoleText(step->strBucketKey) + " -> " +
                            consoleText(step->redirect->strTo));
    }
    void sendTry(S3RequestContext *rc) override
    {
        name();
        strETag.clear();
        fillPutProperties(headers, strMd5Base64.c_str(), redirectEmptyMd5Hex(), meta, properties);
        S3PutObjectHandler handler;
        std::memset(&handler, 0, sizeof handler);
        handler.responseHandler.propertiesCallback = propertiesCallback;
        handler.responseHandler.completeCallback = completeCallback;
        handler.putObjectDataCallback = dataCallback;
        handler.putObjectAnswerCallback = answerCallback;
        const S3BucketContext now = sending(*ctx);
        S3_put_object(&now, step->strBucketKey.c_str(), 0, &properties, rc, &handler, this);
    }
    void notSent() override
    {
        name();
        RunnerJob::notSent();
    }
    void finish(bool bOk) override
    {
        name();
        lines.insert(lines.end(), outcome.begin(), outcome.end());
        bStored = bOk;
        if (!bOk)
            emitError(errorEvent("redirect", step->strBucketKey, ""));
    }
    std::string retrySubject() const override { return " key:" + consoleText(step->strBucketKey); }
    std::string retryKey() const override { return step->strBucketKey; }

    static S3Status propertiesCallback(const S3ResponseProperties *, void *) { return S3StatusOK; }
    static S3Status answerCallback(const S3ResponseProperties *prop, void *callbackData)
    {
        std::string str = prop && prop->eTag ? prop->eTag : "";
        if (str.size() >= 2 && str.front() == '"' && str.back() == '"')
            str = str.substr(1, str.size() - 2);
        static_cast<RedirectJob *>(callbackData)->strETag = str;
        return S3StatusOK;
    }
    static int dataCallback(int, char *, void *) { return 0; }
    static void completeCallback(S3Status status, const S3ErrorDetails *details, void *callbackData)
    {
        RedirectJob &job = *static_cast<RedirectJob *>(callbackData);
        job.outcome = outcomeLines(status, details, job.hints, !job.headers.strStorageClass.empty());
        job.tryEnded(status, details);
    }
};

} // namespace

RedirectRun::RedirectRun(Session &sessionIn, const std::string &strBucketIn,
                         const std::vector<Redirect> &redirectsIn, const S3ObjSet &remote, DigestCache *cacheIn)
    : session(sessionIn), strBucket(strBucketIn), redirects(redirectsIn), cache(cacheIn)
{
    const Settings &settings = session.settings();
    strTarget = DigestCache::storeTarget(settings.strEndpoint, strBucket, settings.strPrefix);
    steps = planRedirects(redirects, settings, remote, cache, strTarget);
}

bool RedirectRun::carryOut(bool bDryRun, RunSummary &summary)
{
    if (redirects.empty())
        return true;
    const Settings &settings = session.settings();
    summary.bRedirecting = true;
    S3BucketContext ctx;
    bool bContext = false;
    std::vector<std::string> asks;
    for (const RedirectStep &step : steps)
        if (step.bAsk)
            asks.push_back(step.strBucketKey);
    if (!asks.empty()) {
        std::vector<HeadResult> heads;
        bContext = session.bucketContext(strBucket.c_str(), ctx);
        if (bContext)
            heads = headObjects(session, ctx, asks);
        heads.resize(asks.size());
        settleRedirectAsks(steps, settings, heads);
    }
    std::vector<RedirectJob> jobs;
    jobs.reserve(steps.size());
    std::string strMd5Base64;
    md5HexToBase64(redirectEmptyMd5Hex(), strMd5Base64);
    for (const RedirectStep &step : steps) {
        const ObjectHeaders headers = redirectHeaders(settings, *step.redirect);
        // Kept (or learnt) as it is: its record again, which the run's pruning
        // of records without a file dropped.
        if (!*step.pszWhy && cache)
            cache->putRecord(strTarget, step.redirect->strKey,
                             {redirectEmptyMd5Hex(), 0, step.strListedETag, headers.record()});
        if (!*step.pszWhy)
            continue;
        if (bDryRun) {
            printLine("would redirect: " + consoleText(step.strBucketKey) + " -> " +
                      consoleText(step.redirect->strTo) + " (" + step.pszWhy + ")");
            ++summary.nRedirects;
            continue;
        }
        jobs.emplace_back();
        RedirectJob &job = jobs.back();
        job.step = &step;
        job.headers = headers;
        job.strMd5Base64 = strMd5Base64;
        job.hints = &session.hints();
    }
    bool bAll = true;
    if (!jobs.empty()) {
        std::vector<std::string> keys;
        std::vector<RunnerJob *> runnerJobs;
        for (RedirectJob &job : jobs) {
            keys.push_back(job.step->strBucketKey);
            job.ctx = &ctx;
            runnerJobs.push_back(&job);
        }
        if (!bContext)
            bContext = session.bucketContext(strBucket.c_str(), ctx);
        if (!bContext) {
            summary.nFailed += static_cast<long>(jobs.size());
            for (const std::string &strKey : keys)
                emitError({"redirect", strKey, "", "", 0, "no credentials", ""});
            return false;
        }
        session.aboutToChange(keys);
        const bool bRan = RequestRunner(session, std::move(runnerJobs)).run();
        for (RedirectJob &job : jobs) {
            if (!bRan || !job.bStored) {
                ++summary.nFailed;
                bAll = false;
                continue;
            }
            ++summary.nRedirects;
            session.changedKeys().push_back(job.step->strBucketKey);
            if (cache)
                cache->putRecord(strTarget, job.step->redirect->strKey,
                                 {redirectEmptyMd5Hex(), 0, job.strETag, job.headers.record()});
        }
    }
    if (cache && !bDryRun)
        cache->save();
    return bAll;
}
