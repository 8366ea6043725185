// request_runner.cpp - jobs in flight on the run's request context.
//
// Cost per wake-up does not depend on the number of jobs: complete callbacks
// put ended jobs on a queue, retries wait in a heap ordered by their due
// time, new jobs start in order from a cursor, and blocks are printed from a
// second cursor as soon as the block before them is out. Waiting is done by
// libcurl's own poll, which has no limit on descriptor numbers.
#include "request_runner.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "concurrency.h"
#include "console.h"
#include "progress.h"
#include "retry.h"
#include "session.h"

void RunnerJob::tryEnded(S3Status status, const S3ErrorDetails *details)
{
    lastStatus = status;
    strCode = details && details->code ? details->code : "";
    nHttpStatus = details ? details->httpStatus : 0;
    if (runner)
        runner->completed.push_back(index);
}

void RunnerJob::notSent()
{
    lines.push_back("not sent: the store could not be reached");
    finish(false);
}

RequestRunner::RequestRunner(Session &session, std::vector<RunnerJob *> jobList,
                             TransferObserver *observer)
    : session(session), jobs(std::move(jobList)), observer(observer)
{
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        jobs[i]->runner = this;
        jobs[i]->index = i;
    }
}

int RequestRunner::mostInFlight() const { return session.governor().mostInFlight(); }

void RequestRunner::end(RunnerJob &job, bool bOk)
{
    job.bDone = true;
    job.finish(bOk);
}

void RequestRunner::start(RunnerJob &job)
{
    if (!job.prepareTry()) {
        job.bDone = true;
        return;
    }
    ++job.nTries;
    ++nRunning;
    session.governor().started(nRunning, RunnerJob::Clock::now());
    job.sendTry(rc);
}

// One try ended: done, failed for good, or due again later.
void RequestRunner::decide(RunnerJob &job)
{
    using Clock = RunnerJob::Clock;
    --nRunning;
    session.governor().ended(isPushBack(job.lastStatus, job.strCode.c_str(), job.nHttpStatus),
                             Clock::now());
    ConnectionGuard &guard = session.connectionGuard();
    if (job.lastStatus == S3StatusOK) {
        guard.fileDecided(true, job.nTries, job.nUnreachableTries);
        end(job, true);
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
    if (bStopped || job.nTries > nRetries ||
        !isRetryableOutcome(job.lastStatus, job.strCode.c_str(), job.nHttpStatus)) {
        guard.fileDecided(false, job.nTries, job.nUnreachableTries);
        end(job, false);
        return;
    }
    const double delay = retryDelaySeconds(job.nTries - 1);
    const Clock::time_point due =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
    if (due >= job.deadline()) {
        guard.fileDecided(false, job.nTries, job.nUnreachableTries);
        job.lines.push_back(job.outOfTimeLine());
        end(job, false);
        return;
    }
    char sz[96];
    std::snprintf(sz, sizeof sz, "retry %d of %d in %.2f s: ", job.nTries, nRetries, delay);
    const std::string strWhy = job.strCode.empty() ? S3_get_status_name(job.lastStatus) : job.strCode;
    job.lines.push_back(sz + strWhy + job.retrySubject());
    job.due = due;
    retries.push_back(job.index);
    std::push_heap(retries.begin(), retries.end(),
                   [this](std::size_t a, std::size_t b) { return jobs[a]->due > jobs[b]->due; });
    job.retryScheduled();
}

// Prints every block whose earlier blocks are all out.
void RequestRunner::printReady()
{
    while (nextPrint < jobs.size() && jobs[nextPrint]->bDone) {
        if (observer)
            observer->linesFollow();
        for (const std::string &strLine : jobs[nextPrint]->lines)
            printLine(strLine);
        std::vector<std::string>().swap(jobs[nextPrint]->lines);
        ++nextPrint;
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
        printLine("stopped sending: " + std::to_string(kConnectionFailuresToStop) +
                  " uploads in a row could not reach the store");
    }
    for (std::size_t i : retries) {
        jobs[i]->bDone = true;
        jobs[i]->notSent();
    }
    retries.clear();
    for (; nextNew < jobs.size(); ++nextNew) {
        jobs[nextNew]->bDone = true;
        jobs[nextNew]->notSent();
    }
}

bool RequestRunner::run(const std::string &strNoContextLine)
{
    using Clock = RunnerJob::Clock;
    if (jobs.empty())
        return true;
    rc = session.requestContext();
    if (!rc) {
        printLine(strNoContextLine);
        for (RunnerJob *job : jobs)
            end(*job, false);
        return false;
    }
    JobGovernor &governor = session.governor();
    auto earlier = [this](std::size_t a, std::size_t b) { return jobs[a]->due > jobs[b]->due; };
    std::vector<std::size_t> ended;
    while (nextPrint < jobs.size()) {
        ended.swap(completed);
        for (std::size_t i : ended)
            decide(*jobs[i]);
        ended.clear();
        if (!bStopped && session.connectionGuard().shouldStop())
            stopSending();
        printReady();

        // Start what is due: retries first, then new jobs in order.
        const Clock::time_point now = Clock::now();
        while (nRunning < governor.limit() && !retries.empty() && jobs[retries.front()]->due <= now) {
            std::pop_heap(retries.begin(), retries.end(), earlier);
            const std::size_t i = retries.back();
            retries.pop_back();
            start(*jobs[i]);
        }
        while (nRunning < governor.limit() && nextNew < jobs.size())
            start(*jobs[nextNew++]);
        if ((nextPrint < jobs.size() && jobs[nextPrint]->bDone) || !completed.empty())
            continue;

        if (nRunning == 0) {
            if (!retries.empty())
                std::this_thread::sleep_until(jobs[retries.front()]->due);
            continue;
        }
        if (S3_runonce_request_context(rc, nullptr) != S3StatusOK)
            break;
        if (!completed.empty())
            continue;
        if (!session.waitForTransfers(retries.empty() ? Clock::time_point::max()
                                                      : jobs[retries.front()]->due))
            break;
    }
    // A broken context ends every request still queued (their complete
    // callbacks run here); what is left undone has failed. A whole run
    // leaves the context with its connections for the next step.
    if (nextPrint < jobs.size())
        session.endRequestContext();
    rc = nullptr;
    for (std::size_t i = nextPrint; i < jobs.size(); ++i) {
        if (!jobs[i]->bDone)
            end(*jobs[i], false);
        if (observer)
            observer->linesFollow();
        for (const std::string &strLine : jobs[i]->lines)
            printLine(strLine);
        std::vector<std::string>().swap(jobs[i]->lines);
    }
    for (RunnerJob *job : jobs)
        job->runner = nullptr;
    return true;
}
