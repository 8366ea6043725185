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
    bool bRedirecting = false; // the site has redirects ...
    long nRedirects = 0;       // ... and this many were stored (or would be)
    int nMostInFlight = 0;  // the most uploads in flight at once (0: none sent)
    long nUpdated = 0;      // unchanged objects whose headers were replaced
    bool bForcing = false;  // --force: unchanged files are sent too ...
    long nForced = 0;       // ... and this many were sent though not found changed
    bool bDryRun = false;   // nothing was sent: the counts say what would be
    bool bOk = false;       // the run's exit status is 0 (known at its very end)
};

// "summary: sent 12 (1.4 MB), failed 0, unchanged 1,988, ignored 3, 2.1 s",
// then ", deleted 2" when the run deletes and ", most in flight 16" when
// uploads went out.
std::string summaryLine(const RunSummary &summary);

// The line after the summary line of a run with --force: "forced: every
// file sent, 1,988 of them not found changed".
std::string forcedLine(const RunSummary &summary);

// Decimal units, one decimal place from kB on: "512 B", "1.4 MB".
std::string byteSize(uint64_t n);

// 1988 -> "1,988".
std::string groupedCount(long n);
