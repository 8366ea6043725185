// progress.cpp - the progress line: its text, and drawing it in place on the
// terminal between the uploader's output lines.
#include "progress.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace {

// Least time between two redraws, in milliseconds.
constexpr int kRedrawMs = 100;

std::string byteText(double nBytes)
{
    static const char *const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (nBytes < 1024)
        return std::to_string(static_cast<long long>(nBytes < 0 ? 0 : nBytes)) + " B";
    int nUnit = -1;
    while (nBytes >= 1024 && nUnit < 3) {
        nBytes /= 1024;
        ++nUnit;
    }
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.1f %s", nBytes, kUnits[nUnit]);
    return sz;
}

std::string durationText(double seconds)
{
    const long long n = static_cast<long long>(std::ceil(seconds));
    char sz[32];
    if (n >= 3600)
        std::snprintf(sz, sizeof sz, "%lld:%02lld:%02lld", n / 3600, n / 60 % 60, n % 60);
    else
        std::snprintf(sz, sizeof sz, "%lld:%02lld", n / 60, n % 60);
    return sz;
}

} // namespace

std::string progressText(const ProgressState &state, double seconds)
{
    std::string strText = "files " + std::to_string(state.nFilesDone) + "/" +
                          std::to_string(state.nFiles) + ", " +
                          byteText(static_cast<double>(state.nBytesDone)) + " of " +
                          byteText(static_cast<double>(state.nBytes));
    const double rate = seconds > 0 ? static_cast<double>(state.nBytesHanded) / seconds : 0;
    const double left = static_cast<double>(state.nBytes) - static_cast<double>(state.nBytesDone);
    if (rate > 0) {
        strText += ", " + byteText(rate) + "/s";
        strText += ", ETA " + (left > 0 ? durationText(left / rate) : std::string("0:00"));
    } else {
        strText += ", -- B/s, ETA --";
    }
    strText += ", " + std::to_string(state.nRetries) + (state.nRetries == 1 ? " retry" : " retries");
    if (state.nFailed)
        strText += ", " + std::to_string(state.nFailed) + " failed";
    return strText;
}

bool ProgressLine::wanted(int fd) { return ::isatty(fd) == 1; }

void ProgressLine::write(const std::string &strText)
{
    const char *p = strText.data();
    std::size_t nLeft = strText.size();
    while (nLeft > 0) {
        const ssize_t n = ::write(fd, p, nLeft);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a line that cannot be shown is not worth failing the run for
        p += n;
        nLeft -= static_cast<std::size_t>(n);
    }
}

void ProgressLine::draw(bool bNow)
{
    const Clock::time_point now = Clock::now();
    if (!bNow && bShown && now - lastDrawn < std::chrono::milliseconds(kRedrawMs))
        return;
    lastDrawn = now;
    bShown = true;
    // Back to the line's start, the new text, the rest of the old one erased.
    write("\r" + progressText(state, std::chrono::duration<double>(now - started).count()) +
          "\x1b[K");
}

void ProgressLine::transfersBegin(std::size_t nFiles, uint64_t nBytes)
{
    if (!bStarted)
        started = Clock::now();
    bStarted = true;
    state.nFiles += nFiles;
    state.nBytes += nBytes;
    draw(true);
}

void ProgressLine::sizeChanged(int64_t nDelta)
{
    state.nBytes = static_cast<uint64_t>(static_cast<int64_t>(state.nBytes) + nDelta);
    draw(false);
}

void ProgressLine::bodyBytes(int64_t nDelta)
{
    state.nBytesDone += nDelta;
    if (nDelta > 0)
        state.nBytesHanded += static_cast<uint64_t>(nDelta);
    draw(false);
}

void ProgressLine::fileEnded(bool bStored)
{
    ++state.nFilesDone;
    if (!bStored)
        ++state.nFailed;
    draw(true);
}

void ProgressLine::retryDue()
{
    ++state.nRetries;
    draw(false);
}

void ProgressLine::linesFollow()
{
    if (bShown)
        write("\r\x1b[K");
    bShown = false;
}

void ProgressLine::transfersEnd()
{
    // The last file's drawing showed the end; what follows is the run's.
    linesFollow();
}
