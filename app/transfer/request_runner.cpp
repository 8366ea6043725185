// request_runner.cpp - jobs in flight on the run's request context.
//
// Cost per wake-up does not depend on the number of jobs: complete callbacks
// put ended jobs on a queue, retries wait in a heap ordered by their due
// time, new jobs start in order from a cursor, and blocks are printed from a
// second cursor as soon as the block before them is out. Waiting is done by
// libcurl's own poll, which has no limit on descriptor numbers.
#include "request_runner.h"

#include <functional>

#include <signal.h>

#include <algorithm>
#include <limits>
#include <cstdio>
#include <thread>

#include "concurrency.h"
#include "console.h"
#include "progress.h"
#include "retry.h"
#include "session.h"
#include "tempfile.h"

void RunnerJob::tryEnded(S3Status status, const S3ErrorDetails *details)
{
    lastStatus = status;
    ask = status == S3StatusOK || !followsStore() ? StoreAsk() : readStoreAsk(status, details);
    strCode = details && details->code ? details->code : "";
    strMessage = details && details->message ? details->message : "";
    nHttpStatus = details ? details->httpStatus : 0;
    if (runner)
        runner->completed.push_back(index);
}

S3BucketContext RunnerJob::sending(const S3BucketContext &ctx) const
{
    return runner ? runner->session.current(ctx) : ctx;
}

void RunnerJob::spawn(RunnerJob &job)
{
    if (runner)
        runner->add(job);
}

void RunnerJob::resume()
{
    if (runner)
        runner->queueAt(*this, Clock::time_point());
}

std::string RunnerJob::retryReason() const
{
    return (strCode.empty() ? std::string(S3_get_status_name(lastStatus)) : strCode) + retrySubject();
}

ErrorEvent RunnerJob::errorEvent(const char *pszStage, const std::string &strKey,
                                 const std::string &strPath, const std::string &strWhy) const
{
    ErrorEvent error;
    error.strStage = pszStage;
    error.strKey = strKey;
    error.strPath = strPath;
    if (!strWhy.empty()) {
        error.strMessage = strWhy;
        return error;
    }
    if (nTries > 0) {
        error.strCode = strCode.empty() ? std::string(S3_get_status_name(lastStatus)) : strCode;
        error.nHttp = nHttpStatus;
    }
    error.strMessage = strMessage.empty() && nTries == 0 ? "not sent" : strMessage;
    return error;
}

bool RunnerJob::worthRetry() const { return isRetryableOutcome(lastStatus, strCode.c_str(), nHttpStatus); }

std::string notSentLine()
{
    if (const int sig = stopSignal())
        return std::string("not sent: the run was stopped by ") + signalName(sig);
    return "not sent: the store could not be reached";
}

const char *signalName(int sig)
{
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}

void RunnerJob::notSent()
{
    lines.push_back(notSentLine());
    finish(false);
}

void RunnerJob::print()
{
    for (const std::string &strLine : lines)
        printLine(strLine);
}

RequestRunner::RequestRunner(Session &session, std::vector<RunnerJob *> jobList,
                             TransferObserver *observer, RunnerOptions runnerOptions)
    : session(session), jobs(std::move(jobList)), observer(observer), options(runnerOptions),
      firstFailed(std::numeric_limits<std::size_t>::max()), nInitial(jobs.size())
{
    doneAt.resize(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        jobs[i]->runner = this;
        jobs[i]->index = i;
    }
}

RequestRunner::RequestRunner(Session &session, JobFeed &jobFeed, TransferObserver *observer,
                             RunnerOptions runnerOptions)
    : session(session), jobs(jobFeed.count(), nullptr), doneAt(jobFeed.count()), feed(&jobFeed),
      observer(observer), options(runnerOptions), firstFailed(std::numeric_limits<std::size_t>::max()),
      nInitial(jobs.size())
{
}

RequestRunner::~RequestRunner()
{
    abandon();
    // A job that ended is never touched again (a spawned one may be gone).
    for (std::size_t i = 0; i < jobs.size(); ++i)
        if (jobs[i] && !doneAt[i])
            jobs[i]->runner = nullptr;
}

RunnerJob &RequestRunner::jobAt(std::size_t i)
{
    if (!jobs[i]) {
        RunnerJob &job = feed->make(i);
        job.runner = this;
        job.index = i;
        jobs[i] = &job;
    }
    return *jobs[i];
}

int RequestRunner::limit() const
{
    return options.nFixedLimit > 0 ? options.nFixedLimit : session.governor().limit();
}

// A job added while the run goes: due at once, so it starts before the jobs
// not yet begun. Once sending stopped it is given up unsent.
void RequestRunner::add(RunnerJob &job)
{
    job.runner = this;
    job.index = jobs.size();
    jobs.push_back(&job);
    doneAt.push_back(false);
    if (bStopped || bAbandoned) {
        giveUpUnsent(job);
        return;
    }
    // Due in the order they were added, before any retry.
    queueAt(job, RunnerJob::Clock::time_point() + RunnerJob::Clock::duration(job.index));
}

void RequestRunner::markDone(RunnerJob &job, bool bOk)
{
    job.bDone = true;
    doneAt[job.index] = true;
    ++nDone;
    if (!bOk) {
        bAnyFailed = true;
        if (options.bFailureEndsLater)
            firstFailed = std::min(firstFailed, job.index);
    }
}

void RequestRunner::end(RunnerJob &job, bool bOk)
{
    markDone(job, bOk);
    job.finish(bOk);
    retire(job);
}

void RequestRunner::giveUpUnsent(RunnerJob &job)
{
    markDone(job, false);
    job.notSent();
    retire(job);
}

void RequestRunner::retire(RunnerJob &job)
{
    if (!feed || job.index >= nInitial)
        return;
    const std::size_t at = job.index - nextPrint;
    if (held.size() <= at)
        held.resize(at + 1);
    held[at].swap(job.lines);
    jobs[job.index] = nullptr;
    feed->giveBack(job.index);
}

void RequestRunner::start(RunnerJob &job)
{
    if (!job.prepareTry()) {
        markDone(job, false);
        retire(job);
        return;
    }
    if (job.aside) {
        ++nAside;
        worker.post(job.index, std::move(job.aside));
        job.aside = nullptr;
        return;
    }
    ++job.nTries;
    ++nRunning;
    job.nGeneration = session.signingGeneration();
    job.nLinesAtTry = job.lines.size();
    if (options.nFixedLimit == 0)
        session.governor().started(nRunning, RunnerJob::Clock::now());
    job.sendTry(rc);
}

bool RequestRunner::DueLater::operator()(std::size_t a, std::size_t b) const
{
    return runner->jobs[a]->due > runner->jobs[b]->due;
}

void RequestRunner::queueAt(RunnerJob &job, RunnerJob::Clock::time_point due)
{
    job.due = due;
    retries.push_back(job.index);
    std::push_heap(retries.begin(), retries.end(), DueLater{this});
}

// One try ended: done, failed for good, due again later, or followed by the
// job's next request.
void RequestRunner::decide(RunnerJob &job)
{
    using Clock = RunnerJob::Clock;
    --nRunning;
    if (options.nFixedLimit == 0)
        session.governor().ended(isPushBack(job.lastStatus, job.strCode.c_str(), job.nHttpStatus),
                                 Clock::now());
    ConnectionGuard &guard = session.connectionGuard();
    if (job.lastStatus == S3StatusOK) {
        switch (job.succeeded()) {
        case RunnerJob::Next::Done:
            guard.fileDecided(true, job.nTries, job.nUnreachableTries);
            end(job, true);
            return;
        case RunnerJob::Next::More:
            guard.fileDecided(true, job.nTries, job.nUnreachableTries);
            job.nTries = 0;
            job.nFollowed = 0;
            job.nUnreachableTries = 0;
            queueAt(job, Clock::time_point());
            return;
        case RunnerJob::Next::Failed:
            end(job, false);
            return;
        case RunnerJob::Next::Wait:
            guard.fileDecided(true, job.nTries, job.nUnreachableTries);
            job.nTries = 0;
            job.nUnreachableTries = 0;
            return;
        }
    }
    // The store said how it wants to be asked (signature V4, the bucket's
    // region or endpoint): the try goes again at once as asked, its lines
    // replaced by the one hint that says so. Each change is made once per
    // run, so a job follows at most one of each.
    constexpr int kMostFollowed = 3;
    std::string strHint;
    if (job.nFollowed < kMostFollowed && session.follow(job.ask, job.nGeneration, strHint)) {
        ++job.nFollowed;
        job.forgetTry(job.nLinesAtTry);
        if (!strHint.empty())
            job.lines.push_back(strHint);
        queueAt(job, Clock::time_point());
        return;
    }
    switch (job.settle()) {
    case RunnerJob::Settled::OwnFailure:
        end(job, false);
        return;
    case RunnerJob::Settled::OutOfTime:
        guard.fileDecided(false, job.nTries, 0);
        job.lines.push_back(job.outOfTimeLine());
        end(job, false);
        return;
    case RunnerJob::Settled::No:
        break;
    }
    if (isConnectionFailure(job.lastStatus))
        ++job.nUnreachableTries;
    const int nRetries = session.settings().nRetries;
    // A try sent again as the store asked is no retry.
    const int nTries = job.nTries - job.nFollowed;
    if (bStopped || nTries > nRetries || !job.worthRetry()) {
        guard.fileDecided(false, job.nTries, job.nUnreachableTries);
        end(job, false);
        return;
    }
    const double delay = retryDelaySeconds(nTries - 1);
    const Clock::time_point due =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
    if (due >= job.deadline()) {
        guard.fileDecided(false, job.nTries, job.nUnreachableTries);
        job.lines.push_back(job.outOfTimeLine());
        end(job, false);
        return;
    }
    char sz[96];
    std::snprintf(sz, sizeof sz, "retry %d of %d in %.2f s: ", nTries, nRetries, delay);
    job.lines.push_back(sz + job.retryReason());
    JsonEvent retry("retry");
    retry.number("try", job.nTries).number("of", nRetries).decimal("delay", delay);
    retry.text("code", job.strCode.empty() ? std::string(S3_get_status_name(job.lastStatus)) : job.strCode);
    retry.number("http", job.nHttpStatus);
    if (!job.retryKey().empty())
        retry.text("key", job.retryKey());
    retry.text("reason", job.retryReason());
    emitEvent(retry);
    queueAt(job, due);
    job.retryScheduled();
}

// Prints the next block and lets its lines go (and, made by a feed, the job).
void RequestRunner::printNext()
{
    if (observer)
        observer->linesFollow();
    if (feed) {
        for (const std::string &strLine : held.front())
            printLine(strLine);
        held.pop_front();
    } else {
        jobs[nextPrint]->print();
        std::vector<std::string>().swap(jobs[nextPrint]->lines);
    }
    ++nextPrint;
}

// Prints every block whose earlier blocks are all out. Only the jobs given
// have blocks: a spawned job's lines are its spawner's.
void RequestRunner::printReady()
{
    if (options.bHoldOutput)
        return;
    while (nextPrint < nInitial) {
        // Jobs of a feed not begun when sending stopped are made and given
        // up only as their turn to print comes, one at a time.
        if (bStopped && nextPrint == nextNew) {
            RunnerJob &job = jobAt(nextNew++);
            giveUpUnsent(job);
        }
        if (!isDone(nextPrint))
            break;
        printNext();
    }
}

// Nothing more is sent: waiting retries and jobs not yet started are given
// up with their whole blocks; requests in flight end on their own.
void RequestRunner::stopSending()
{
    bStopped = true;
    if (session.announceStop()) {
        if (observer)
            observer->linesFollow();
        if (const int sig = stopSignal())
            printLine(std::string("stopped sending: the run was asked to stop by ") + signalName(sig));
        else
            printLine("stopped sending: " + std::to_string(kConnectionFailuresToStop) +
                      " uploads in a row could not reach the store");
    }
    // A job given up may hand another back (the last part of a file resumes
    // the file, which then gives its upload up): until none is waiting.
    while (!retries.empty()) {
        std::vector<std::size_t> waiting;
        waiting.swap(retries);
        for (std::size_t i : waiting) {
            RunnerJob &job = *jobs[i];
            giveUpUnsent(job);
        }
    }
    if (feed && !options.bHoldOutput)
        return; // printReady() gives up the jobs not begun
    for (; nextNew < nInitial; ++nextNew) {
        RunnerJob &job = jobAt(nextNew);
        giveUpUnsent(job);
    }
}

// Jobs whose slow work has ended go on to their try, unless sending stopped.
void RequestRunner::takeAsideEnded()
{
    for (std::size_t i : worker.done()) {
        --nAside;
        RunnerJob &job = *jobs[i];
        if (bStopped) {
            giveUpUnsent(job);
        } else {
            start(job);
        }
    }
}

// The work that is ready now: jobs whose slow work ended go on, the tries
// that ended are decided, sending stops once the store is taken to be gone,
// ready blocks are printed, and what may go now is started.
void RequestRunner::step()
{
    takeAsideEnded();
    std::vector<std::size_t> ended;
    ended.swap(completed);
    for (std::size_t i : ended)
        decide(*jobs[i]);
    if (!bStopped && (session.connectionGuard().shouldStop() || stopSignal() != 0))
        stopSending();
    printReady();
    startReady();
}

// Starts what may go now: retries and next requests that are due first, then
// new jobs in order; after a failure that ends the later jobs, none of them.
void RequestRunner::startReady()
{
    const DueLater earlier{this};
    const RunnerJob::Clock::time_point now = RunnerJob::Clock::now();
    std::vector<std::size_t> held; // due, but after a failed job
    while (nRunning + nAside < limit() && !retries.empty() && jobs[retries.front()]->due <= now) {
        std::pop_heap(retries.begin(), retries.end(), earlier);
        const std::size_t i = retries.back();
        retries.pop_back();
        if (mayStart(i))
            start(*jobs[i]);
        else
            held.push_back(i);
    }
    for (std::size_t i : held) {
        retries.push_back(i);
        std::push_heap(retries.begin(), retries.end(), earlier);
    }
    while (nRunning + nAside < limit() && nextNew < nInitial && nextNew < nNewLimit && mayStart(nextNew))
        start(jobAt(nextNew++));
}

bool RequestRunner::finished() const
{
    if (firstFailed < jobs.size()) {
        for (std::size_t i = 0; i <= firstFailed; ++i)
            if (!isDone(i))
                return false;
        return true;
    }
    return nDone == jobs.size();
}

bool RequestRunner::start(const std::string &strNoContextLine)
{
    if (jobs.empty())
        return true;
    rc = session.requestContext();
    if (!rc) {
        printLine(strNoContextLine);
        // Given up, and nothing printed.
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            RunnerJob &job = jobAt(i);
            markDone(job, false);
            job.finish(false);
            if (feed) {
                jobs[i] = nullptr;
                feed->giveBack(i);
            }
        }
        return false;
    }
    // A step that begins after the run stopped sending sends nothing.
    step();
    return true;
}

void RequestRunner::poll()
{
    if (!rc || bAbandoned)
        return;
    if (nRunning > 0)
        S3_runonce_request_context(rc, nullptr);
    step();
}

// Steps until done() (or, with done null, every job that counts is done).
// False when the request context broke or a signal asked the run to stop.
bool RequestRunner::runUntil(const std::function<bool()> &done)
{
    using Clock = RunnerJob::Clock;
    auto isDone = [&]() { return done ? done() || finished() : finished(); };
    while (!isDone()) {
        step();
        if (isDone())
            break;
        // A signal asked the run to stop: what is in flight ends now, failed.
        if (stopSignal() != 0 && nRunning + nAside > 0)
            return false;
        if (!completed.empty())
            continue;
        if (nRunning == 0 && nAside > 0) {
            // Only slow work of the jobs' own: wait for it (a short while at
            // a time, so that a signal is seen), or for the next retry.
            Clock::time_point until = Clock::now() + std::chrono::milliseconds(100);
            if (!retries.empty())
                until = std::min(until, jobs[retries.front()]->due);
            worker.waitUntil(until);
            continue;
        }
        if (nRunning == 0) {
            if (!retries.empty())
                std::this_thread::sleep_until(jobs[retries.front()]->due);
            else if (nextNew >= nInitial || nextNew >= nNewLimit || !mayStart(nextNew))
                return true; // nothing left that could make done() true
            continue;
        }
        if (S3_runonce_request_context(rc, nullptr) != S3StatusOK)
            return false;
        if (!completed.empty())
            continue;
        if (!session.waitForTransfers(retries.empty() ? Clock::time_point::max()
                                                      : jobs[retries.front()]->due))
            return false;
    }
    return true;
}

void RequestRunner::holdNewFrom(std::size_t index)
{
    nNewLimit = index;
    if (rc && !bAbandoned)
        startReady();
}

bool RequestRunner::waitUntil(const std::function<bool()> &ready)
{
    if (!rc || bAbandoned)
        return false;
    if (runUntil(ready))
        return true;
    bBrokenWait = true;
    return false;
}

void RequestRunner::finish()
{
    if (!rc || bAbandoned)
        return;
    nNewLimit = std::numeric_limits<std::size_t>::max();
    const bool bBroken = bBrokenWait || !runUntil(nullptr);
    // A broken context ends every request still queued (their complete
    // callbacks run here), and so does a failure that ended the jobs after
    // it; a whole run leaves the context with its connections for the next
    // step. What is left undone up to the last printed block has failed.
    // Work still with the worker is given up with its job.
    worker.stop();
    if (bBroken || nRunning > 0)
        session.endRequestContext();
    rc = nullptr;
    bAbandoned = true;
    // Spawned jobs first: each must end before the job that spawned it.
    for (std::size_t i = nInitial; i < jobs.size() && i <= firstFailed; ++i)
        if (!isDone(i))
            end(*jobs[i], false);
    const std::size_t nPrinted = firstFailed < nInitial ? firstFailed + 1 : nInitial;
    for (std::size_t i = 0; i < nInitial && i <= firstFailed; ++i) {
        if (!isDone(i) && bStopped && i >= nextNew) {
            RunnerJob &job = jobAt(i);
            giveUpUnsent(job);
        } else if (!isDone(i)) {
            end(jobAt(i), false);
        }
        if (feed) // one at a time, not every job made at once
            while (nextPrint <= i && nextPrint < nPrinted)
                printNext();
    }
    while (nextPrint < nPrinted)
        printNext();
}

void RequestRunner::abandon()
{
    if (bAbandoned)
        return;
    bAbandoned = true;
    worker.stop();
    if (rc && nRunning > 0)
        session.endRequestContext();
    rc = nullptr;
}

bool RequestRunner::run(const std::string &strNoContextLine)
{
    if (!start(strNoContextLine))
        return false;
    finish();
    return true;
}
