// report.h - the run's closing summary line.
#pragma once

#include <cstdint>
#include <string>

struct RunSummary {
    long nSent = 0;        // uploads the store accepted
    uint64_t nBytesSent = 0;
    long nFailed = 0;      // uploads that failed or were never tried
    long nUnchanged = 0;   // files the bucket already holds as they are
    long nIgnored = 0;     // files the scan left out
    double seconds = 0;    // wall time of the run
    bool bDeleting = false; // the run removes what the site no longer has ...
    long nDeleted = 0;      // ... and removed this many objects
    int nMostInFlight = 0;  // the most uploads in flight at once (0: none sent)
};

// "summary: sent 12 (1.4 MB), failed 0, unchanged 1,988, ignored 3, 2.1 s",
// then ", deleted 2" when the run deletes and ", most in flight 16" when
// uploads went out.
std::string summaryLine(const RunSummary &summary);

// 1988 -> "1,988".
std::string groupedCount(long n);
