// retry.h - the one retry policy of every request the mirror repeats (uploads
// and listing pages): which outcomes are worth another try, which of them mean
// the store could not be reached, how long to wait before the next try, how
// long one file's upload may take in all, and when to stop sending.
#pragma once

#include <cstdint>

#include "s3client.h"

// Longest wait between two tries, in seconds.
constexpr double kMaxRetryDelaySeconds = 5.0;

// After this many files in a row could not reach the store on any of their
// tries, the store is taken to be gone and nothing more is sent.
constexpr int kConnectionFailuresToStop = 10;

// True for the outcomes worth another try: no connection or a connection that
// broke, the store's or a gateway's "try again" (500, 502, 503, 504, SlowDown,
// InternalError, ServiceUnavailable, RequestTimeout, OperationAborted).
// pszCode is the error document's code (null or "" when there was none);
// httpStatus the answer's HTTP status (0: none or not known), which decides
// too, so that a gateway's page that is no error document at all (a text the
// client cannot read as one) is tried again like the store's own 503.
bool isRetryableOutcome(S3Status status, const char *pszCode, int httpStatus = 0);

// True when the request never reached the store or lost its connection
// without an answer. A real internal error of the client is not one.
bool isConnectionFailure(S3Status status);

// Exponential backoff with jitter before try nTry + 2 (nTry = 0 after the
// first try): a random wait between half and all of min(5, 0.25 * 2^nTry)
// seconds. The floor makes the tries of one file span a known time (with the
// three retries of the defaults at least 0.875 s), so a store or proxy that
// is gone for less than that loses no file; the jitter spreads the uploads
// that failed together.
double retryDelaySeconds(int nTry);

// The most one file's upload may take, every try and wait included, in
// seconds: each of the nRetries + 1 tries its request limit
// (SITEMIRROR_REQUEST_TIMEOUT), plus the longest wait before each retry,
// capped at one day (defaults: 300 s, 3 retries -> 1,215 s). Past it the
// upload fails. It is checked while the body is sent and before each retry;
// a try that has stalled still ends by the client's low-speed limit (less
// than 1 KiB/s for 15 s), so no upload outlives its limit by more than that.
int64_t uploadLifeSeconds(long nRequestTimeout, int nRetries);

// Decides when to stop sending: counts the files whose every try failed for
// connection reasons, one after another in the order they were decided, with
// no success between them. Tries that are retried, however many fail at the
// same moment, do not count; a file that failed for its own reasons (a
// refusal, a changed local file) neither counts nor breaks the run.
class ConnectionGuard {
public:
    // One file is decided for good: stored, or failed after nTries tries of
    // which nUnreachableTries were connection failures.
    void fileDecided(bool bStored, int nTries, int nUnreachableTries)
    {
        if (!bStored && nTries > 0 && nUnreachableTries == nTries)
            ++nInARow;
        else
            nInARow = 0;
    }
    bool shouldStop() const { return nInARow >= kConnectionFailuresToStop; }
    int filesInARow() const { return nInARow; }

private:
    int nInARow = 0;
};
