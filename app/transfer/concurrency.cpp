// concurrency.cpp - the upload limit: fixed, or additive increase while the
// completion rate rises and multiplicative decrease when the store pushes back.
#include "concurrency.h"

#include <algorithm>
#include <cstring>

#include "retry.h"

namespace {

// A window must be faster than the best one by this factor to count as a rise.
constexpr double kRiseFactor = 1.05;

} // namespace

JobGovernor::JobGovernor(int nJobs) : bAuto(nJobs <= 0), nLimit(nJobs <= 0 ? kAutoJobsStart : nJobs)
{
}

void JobGovernor::started(int nRunning, Clock::time_point now)
{
    nMost = std::max(nMost, nRunning);
    // The first window runs from the first start: its rate is that of the
    // whole first wave, round trips included.
    if (bAuto && !bWindowStarted)
        newWindow(now);
}

void JobGovernor::newWindow(Clock::time_point now)
{
    windowStart = now;
    bWindowStarted = true;
    nEnded = 0;
    bHalvedInWindow = false;
}

void JobGovernor::ended(bool bPushedBack, Clock::time_point now)
{
    if (!bAuto)
        return;
    if (!bWindowStarted)
        newWindow(now);
    if (bPushedBack) {
        // Tries refused together count as one signal: after a halving, the
        // next one needs a whole window of completions first.
        const bool bHalve = !bHalvedInWindow;
        newWindow(now);
        bHalvedInWindow = true;
        if (bHalve) {
            nLimit = std::max(1, nLimit / 2);
            bestRate = 0; // growth resumes from the new limit
            bSettling = true;
        }
        return;
    }
    ++nEnded;
    // A window is one limit's worth of completions: whole waves of requests
    // that went out together, so their bunching does not fool the rate.
    if (nEnded < nLimit)
        return;
    const double seconds = std::chrono::duration<double>(now - windowStart).count();
    if (seconds <= 0)
        return;
    const double rate = nEnded / seconds;
    newWindow(now);
    if (bSettling) {
        bSettling = false;
        return;
    }
    // More in flight finished more per second (after a push-back: the store
    // has taken a window to settle and one to measure): try more still. A
    // rate that no longer rises holds the limit where it is.
    if (rate > bestRate * kRiseFactor && nLimit < kAutoJobsMost) {
        bestRate = rate;
        nLimit = std::min(kAutoJobsMost, nLimit + kAutoJobsStep);
        bSettling = true;
    }
}

bool isPushBack(S3Status status, const char *pszCode, int httpStatus)
{
    if (httpStatus == 503 || status == S3StatusErrorSlowDown ||
        status == S3StatusHttpErrorServiceUnavailable)
        return true;
    if (pszCode && (std::strcmp(pszCode, "SlowDown") == 0 ||
                    std::strcmp(pszCode, "ServiceUnavailable") == 0))
        return true;
    return isConnectionFailure(status);
}
