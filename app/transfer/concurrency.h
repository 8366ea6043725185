// concurrency.h - how many uploads may be in flight: a fixed number, or one
// found while sending (grown while completions per second rise and the store
// pushes nothing back, halved when it does).
#pragma once

#include <chrono>

#include "s3client.h"

// SITEMIRROR_JOBS=auto: the first limit, the most it grows to, and each step.
constexpr int kAutoJobsStart = 16;
constexpr int kAutoJobsMost = 64;
constexpr int kAutoJobsStep = 16;

class JobGovernor {
public:
    using Clock = std::chrono::steady_clock;

    // nJobs: a fixed limit (1 or more), or 0 for the limit found while sending.
    explicit JobGovernor(int nJobs);

    // How many may be in flight now.
    int limit() const { return nLimit; }
    // The most that were in flight at once so far.
    int mostInFlight() const { return nMost; }

    // A try went out at now; nRunning are in flight with it.
    void started(int nRunning, Clock::time_point now);
    // A try ended at now. bPushedBack: the store said to slow down (SlowDown,
    // 503) or the connection broke without an answer.
    void ended(bool bPushedBack, Clock::time_point now);

private:
    void newWindow(Clock::time_point now);

    const bool bAuto;
    int nLimit;
    int nMost = 0;
    // The window being measured: tries ended since it began.
    Clock::time_point windowStart;
    bool bWindowStarted = false;
    int nEnded = 0;
    double bestRate = 0; // completions per second of the best window at this limit or below
    bool bHalvedInWindow = false; // tries refused together halve the limit once
    bool bSettling = false; // the window after a change mixes the old limit and the new:
                            // it is not compared (the first is measured from the first start)
};

// True when an ended try says the store or the link is past its width: the
// store's SlowDown or 503, or a connection that broke without an answer.
// pszCode is the error document's code (null or "" for none).
bool isPushBack(S3Status status, const char *pszCode, int httpStatus);
