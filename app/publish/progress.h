// progress.h - what the uploader tells about its transfers as they go, and
// the progress line that shows it on a terminal: files and bytes done of the
// total, rate, time left and retries, one line on standard error redrawn in
// place.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// Told by the uploader of one set of uploads, from the thread that runs it.
class TransferObserver {
public:
    virtual ~TransferObserver() = default;
    virtual void transfersBegin(std::size_t nFiles, uint64_t nBytes) = 0;
    // A file is sent as other bytes than its own (encoded): the total grows
    // (or shrinks) by nDelta.
    virtual void sizeChanged(int64_t nDelta) = 0;
    // Body bytes handed to the store; negative: bytes of a try that will be
    // sent again from the first byte.
    virtual void bodyBytes(int64_t nDelta) = 0;
    virtual void fileEnded(bool bStored) = 0;
    virtual void retryDue() = 0;
    // Lines on standard output come next (the line makes room for them).
    virtual void linesFollow() = 0;
    virtual void transfersEnd() = 0;
};

struct ProgressState {
    std::size_t nFilesDone = 0;
    std::size_t nFiles = 0;
    std::size_t nFailed = 0;
    int64_t nBytesDone = 0;
    uint64_t nBytes = 0;
    uint64_t nBytesHanded = 0; // every byte handed over, resent ones too: the rate
    int nRetries = 0;
};

// "files 3/10, 1.2 MiB of 4.5 MiB, 850.0 KiB/s, ETA 0:04, 2 retries" after
// seconds of transfers; rate and time left "--" before anything is known.
std::string progressText(const ProgressState &state, double seconds);

// The line on standard error (descriptor fd), redrawn at most every 100 ms
// and whenever a file ends, over all the sets of uploads of a run: each set
// adds its files and bytes to the total as it begins (a run that uploads in
// phases counts each phase in as it starts), and the clock runs from the
// first. Erased when a set ends, so the run's own lines (the summary) follow
// on a clean line.
class ProgressLine : public TransferObserver {
public:
    explicit ProgressLine(int fd = 2) : fd(fd) {}

    // True when descriptor fd is a terminal: the only place a line redrawn
    // in place makes sense.
    static bool wanted(int fd = 2);

    void transfersBegin(std::size_t nFiles, uint64_t nBytes) override;
    void sizeChanged(int64_t nDelta) override;
    void bodyBytes(int64_t nDelta) override;
    void fileEnded(bool bStored) override;
    void retryDue() override;
    void linesFollow() override;
    void transfersEnd() override;

private:
    using Clock = std::chrono::steady_clock;
    void draw(bool bNow);
    void write(const std::string &strText);

    const int fd;
    ProgressState state;
    Clock::time_point started;
    Clock::time_point lastDrawn;
    bool bStarted = false; // the first set of uploads has begun
    bool bShown = false;   // the line is on the screen
};
