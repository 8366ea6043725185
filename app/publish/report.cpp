// report.cpp - the run's closing summary line.
#include "report.h"

#include <cstdio>

std::string groupedCount(long n)
{
    std::string strDigits = std::to_string(n < 0 ? -n : n);
    std::string str;
    for (std::size_t i = 0; i < strDigits.size(); ++i) {
        if (i > 0 && (strDigits.size() - i) % 3 == 0)
            str += ',';
        str += strDigits[i];
    }
    return n < 0 ? "-" + str : str;
}

std::string byteSize(uint64_t n)
{
    if (n < 1000)
        return std::to_string(n) + " B";
    const char *units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(n) / 1000.0;
    int unit = 0;
    while (value >= 999.95 && unit < 3) {
        value /= 1000.0;
        ++unit;
    }
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.1f %s", value, units[unit]);
    return sz;
}

std::string summaryLine(const RunSummary &summary)
{
    char szSeconds[32];
    std::snprintf(szSeconds, sizeof szSeconds, "%.1f s", summary.seconds);
    return "summary: sent " + groupedCount(summary.nSent) + " (" + byteSize(summary.nBytesSent) +
           "), failed " + groupedCount(summary.nFailed) + ", unchanged " +
           groupedCount(summary.nUnchanged) + ", ignored " + groupedCount(summary.nIgnored) +
           ", " + szSeconds +
           (summary.bDeleting ? ", deleted " + groupedCount(summary.nDeleted) : std::string()) +
           (summary.bRedirecting ? ", redirects " + groupedCount(summary.nRedirects) : std::string()) +
           (summary.nMostInFlight > 0 ? ", most in flight " + std::to_string(summary.nMostInFlight)
                                      : std::string());
}

std::string forcedLine(const RunSummary &summary)
{
    return "forced: every file sent, " + groupedCount(summary.nForced) + " of them not found changed";
}
