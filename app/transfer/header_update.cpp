// header_update.cpp - HEADs and in-place header replacements in flight on one
// request context. A small runner starts requests in order up to the job
// count, retries what the retry policy calls retryable after its delay, and
// prints each request's block as soon as the blocks before it are out.
#include "header_update.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "concurrency.h"
#include "console.h"
#include "outcome_lines.h"
#include "retry.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Job;

// Runs n requests: start(i, job, rc) issues request i with the runner's
// handler and the job as callback data; finished(i, job) is told of each
// try's end and its lines go into the job's block.
class Runner {
public:
    using Start = std::function<void(std::size_t, Job &, S3RequestContext *)>;
    using Finished = std::function<void(std::size_t, Job &)>;

    Runner(Session &session, std::size_t n, Start start, Finished finished, bool bPrint);
    // False when the request context could not be made (nothing was sent).
    bool run();

    std::vector<Job> jobs;

private:
    void decide(Job &job);
    void printReady();

    Session &session;
    Start startJob;
    Finished finishedJob;
    bool bPrint;
    std::vector<std::size_t> completed;
    std::vector<std::size_t> waiting; // retries, each with its due time
    std::size_t nextNew = 0;
    std::size_t nextPrint = 0;
    int nRunning = 0;
};

struct Job {
    Runner *runner = nullptr;
    std::vector<std::size_t> *completed = nullptr;
    std::size_t index = 0;
    HintLog *hints = nullptr;
    int nTries = 0;
    bool bDone = false;
    bool bSentStorageClass = false;
    Clock::time_point due;
    S3Status status = S3StatusInternalError;
    std::string strCode;
    int httpStatus = 0;
    std::vector<std::string> lines;    // the block printed for this request
    std::vector<std::string> outcome;  // the last try's outcome lines
    HeadResult head;                   // a HEAD's answer
    char szETag[256] = {0};            // a copy's ETag
};

void completeCallback(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    Job &job = *static_cast<Job *>(callbackData);
    job.status = status;
    job.strCode = details && details->code ? details->code : "";
    job.httpStatus = details ? details->httpStatus : 0;
    job.outcome = outcomeLines(status, details, job.hints, job.bSentStorageClass);
    job.completed->push_back(job.index);
}

std::string unquoted(const char *psz)
{
    std::string str = psz ? psz : "";
    if (str.size() >= 2 && str.front() == '"' && str.back() == '"')
        str = str.substr(1, str.size() - 2);
    return str;
}

S3Status headPropertiesCallback(const S3ResponseProperties *prop, void *callbackData)
{
    if (!prop)
        return S3StatusOK;
    HeadResult &head = static_cast<Job *>(callbackData)->head;
    auto text = [](const char *psz) { return std::string(psz ? psz : ""); };
    head.strContentType = text(prop->contentType);
    head.strCacheControl = text(prop->cacheControl);
    head.strContentEncoding = text(prop->contentEncoding);
    head.strStorageClass = text(prop->storageClass);
    head.strETag = unquoted(prop->eTag);
    head.size = prop->contentLength;
    for (int i = 0; i < prop->metaDataCount; ++i) {
        if (prop->metaData[i].name && std::strcmp(prop->metaData[i].name, "md5") == 0)
            head.strMd5Meta = text(prop->metaData[i].value);
    }
    return S3StatusOK;
}

S3Status copyPropertiesCallback(const S3ResponseProperties *, void *) { return S3StatusOK; }

Runner::Runner(Session &session, std::size_t n, Start start, Finished finished, bool bPrint)
    : jobs(n), session(session), startJob(std::move(start)), finishedJob(std::move(finished)),
      bPrint(bPrint)
{
    for (std::size_t i = 0; i < n; ++i) {
        jobs[i].runner = this;
        jobs[i].completed = &completed;
        jobs[i].index = i;
        jobs[i].hints = &session.hints();
    }
}

// One try ended: done, or due again after the retry policy's delay.
void Runner::decide(Job &job)
{
    --nRunning;
    session.governor().ended(isPushBack(job.status, job.strCode.c_str(), job.httpStatus), Clock::now());
    const int nRetries = session.settings().nRetries;
    if (job.status != S3StatusOK && job.nTries <= nRetries &&
        isRetryableOutcome(job.status, job.strCode.c_str(), job.httpStatus)) {
        const double delay = retryDelaySeconds(job.nTries - 1);
        job.due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(delay));
        char sz[96];
        std::snprintf(sz, sizeof sz, "retry %d of %d in %.2f s: ", job.nTries, nRetries, delay);
        job.lines.push_back(sz + (job.strCode.empty() ? std::string(S3_get_status_name(job.status))
                                                      : job.strCode));
        waiting.push_back(job.index);
        return;
    }
    finishedJob(job.index, job);
    job.bDone = true;
}

void Runner::printReady()
{
    while (nextPrint < jobs.size() && jobs[nextPrint].bDone) {
        if (bPrint)
            for (const std::string &strLine : jobs[nextPrint].lines)
                printLine(strLine);
        std::vector<std::string>().swap(jobs[nextPrint].lines);
        ++nextPrint;
    }
}

bool Runner::run()
{
    if (jobs.empty())
        return true;
    S3RequestContext *rc = session.requestContext();
    if (!rc) {
        printLine("cannot set up the transfers");
        return false;
    }
    // As many in flight as the run's uploads may have (auto: found while sending).
    JobGovernor &governor = session.governor();
    std::vector<std::size_t> ended;
    while (nextPrint < jobs.size()) {
        ended.swap(completed);
        for (std::size_t i : ended)
            decide(jobs[i]);
        ended.clear();
        printReady();

        const Clock::time_point now = Clock::now();
        for (auto it = waiting.begin(); it != waiting.end() && nRunning < governor.limit();) {
            if (jobs[*it].due <= now) {
                Job &job = jobs[*it];
                it = waiting.erase(it);
                ++job.nTries;
                ++nRunning;
                governor.started(nRunning, Clock::now());
                startJob(job.index, job, rc);
            } else {
                ++it;
            }
        }
        while (nRunning < governor.limit() && nextNew < jobs.size()) {
            Job &job = jobs[nextNew++];
            ++job.nTries;
            ++nRunning;
            governor.started(nRunning, Clock::now());
            startJob(job.index, job, rc);
        }
        if (!completed.empty())
            continue;
        if (nRunning == 0) {
            if (!waiting.empty()) {
                Clock::time_point first = jobs[waiting.front()].due;
                for (std::size_t i : waiting)
                    first = std::min(first, jobs[i].due);
                std::this_thread::sleep_until(first);
            }
            continue;
        }
        if (S3_runonce_request_context(rc, nullptr) != S3StatusOK)
            break;
        if (!completed.empty())
            continue;
        if (!session.waitForTransfers())
            break;
    }
    // A broken context ends every request still queued (their complete
    // callbacks run here); what is left undone has failed.
    if (nextPrint < jobs.size())
        session.endRequestContext();
    for (std::size_t i = nextPrint; i < jobs.size(); ++i) {
        if (!jobs[i].bDone) {
            if (jobs[i].nTries == 0)
                jobs[i].status = S3StatusInternalError;
            finishedJob(i, jobs[i]);
            jobs[i].bDone = true;
        }
        if (bPrint)
            for (const std::string &strLine : jobs[i].lines)
                printLine(strLine);
    }
    return true;
}

} // namespace

std::vector<HeadResult> headObjects(Session &session, const S3BucketContext &ctx,
                                    const std::vector<std::string> &keys)
{
    std::vector<HeadResult> results(keys.size());
    Runner runner(
        session, keys.size(),
        [&](std::size_t i, Job &job, S3RequestContext *rc) {
            job.head = HeadResult();
            S3ResponseHandler handler = {headPropertiesCallback, completeCallback};
            S3_head_object(&ctx, keys[i].c_str(), rc, &handler, &job);
        },
        [&](std::size_t i, Job &job) {
            const bool bMissing = job.status == S3StatusHttpErrorNotFound ||
                                  job.status == S3StatusErrorNoSuchKey;
            if (job.status == S3StatusOK || bMissing) {
                results[i] = job.head;
                results[i].bAnswered = true;
                results[i].bFound = !bMissing;
                return;
            }
            job.lines.insert(job.lines.begin(), "cannot read headers: " + consoleText(keys[i]));
            job.lines.insert(job.lines.end(), job.outcome.begin(), job.outcome.end());
        },
        true);
    runner.run();
    return results;
}

bool headersDiffer(const ObjectHeaders &want, const HeadResult &got)
{
    auto storedClass = [](const std::string &str) { return str.empty() ? std::string("STANDARD") : str; };
    return want.strContentType != got.strContentType || want.strCacheControl != got.strCacheControl ||
           want.strContentEncoding != got.strContentEncoding ||
           storedClass(want.strStorageClass) != storedClass(got.strStorageClass);
}

HeaderUpdateTotals updateHeaders(Session &session, const S3BucketContext &ctx,
                                 std::vector<HeaderUpdate> &updates)
{
    HeaderUpdateTotals totals;
    Runner runner(
        session, updates.size(),
        [&](std::size_t i, Job &job, S3RequestContext *rc) {
            HeaderUpdate &update = updates[i];
            if (job.nTries == 1)
                job.lines.push_back("update headers: " + consoleText(update.strKey));
            PutMetaData meta;
            S3PutProperties properties;
            fillPutProperties(update.headers, nullptr, update.strMd5Hex.c_str(), meta, properties);
            job.bSentStorageClass = !update.headers.strStorageClass.empty();
            job.szETag[0] = '\0';
            S3ResponseHandler handler = {copyPropertiesCallback, completeCallback};
            // The request is composed before this returns: properties and
            // meta may end with this call.
            S3_copy_object(&ctx, update.strKey.c_str(), nullptr, nullptr, &properties, nullptr,
                           static_cast<int>(sizeof job.szETag), job.szETag, rc, &handler, &job);
        },
        [&](std::size_t i, Job &job) {
            HeaderUpdate &update = updates[i];
            job.lines.insert(job.lines.end(), job.outcome.begin(), job.outcome.end());
            update.bUpdated = job.status == S3StatusOK;
            if (update.bUpdated) {
                update.strETag = unquoted(job.szETag);
                ++totals.nUpdated;
            } else {
                ++totals.nFailed;
            }
        },
        true);
    if (!runner.run())
        totals.nFailed = static_cast<long>(updates.size());
    return totals;
}
