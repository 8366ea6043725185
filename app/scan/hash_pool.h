// hash_pool.h - the digests of files read on every core: a small pool of
// threads that each read a whole file for its MD5 (and the ETags other tools
// give it when they send it in parts), while the thread that submitted it
// walks on. Results come back through a future per file, so the caller takes
// them in the order it submitted them.
#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The MD5 (32 lower-case hex digits) of everything the descriptor holds, read
// from its start with pread, and for a file larger than a part, the ETag of
// each of partSizes ("hex-N"; sizes of 0 and sizes the file does not exceed
// are left out; null when none). False when a read fails (errno says why).
bool hashDescriptor(int fd, uint64_t size, const std::vector<uint64_t> &partSizes, std::string &strTag,
                    std::shared_ptr<const std::vector<std::string>> &partTags);

// What reading one file gave.
struct FileDigests {
    bool bRead = false;  // false: a read or status call failed
    int nErr = 0;        // then why
    std::string strTag;  // MD5 in hex
    std::shared_ptr<const std::vector<std::string>> partTags; // see hashDescriptor
    struct stat st = {}; // the status after the last read
    bool bStable = false; // the status before and after the last read agreed
    int nReads = 0;       // times the file was read
};

// A file to read: an open descriptor (the caller's: it stays open until the
// result has been taken) and the status it was opened with.
struct HashRequest {
    int fd = -1;
    struct stat st = {};
    std::vector<uint64_t> partSizes;
    int nAttempts = 3; // reads of a file whose status keeps moving before giving up
    // Called on the pool's thread after each read (null: none).
    std::function<void()> afterRead;
};

// Reads a request on the calling thread: the file is read again while its
// status moves under the read, up to nAttempts times.
FileDigests digestRequest(const HashRequest &request);

class HashPool {
public:
    // As many threads as cores, at most kMostThreads; at least one.
    static unsigned defaultThreads();
    static constexpr unsigned kMostThreads = 8;

    explicit HashPool(unsigned nThreads = defaultThreads());
    // Finishes the files already submitted, then stops the threads.
    ~HashPool();
    HashPool(const HashPool &) = delete;
    HashPool &operator=(const HashPool &) = delete;

    std::future<FileDigests> submit(HashRequest request);
    // Other reading work of the same kind (a file encoded for the digest of
    // its encoded bytes), run on a pool thread.
    std::future<void> submitTask(std::function<void()> task);
    unsigned threads() const { return static_cast<unsigned>(workers.size()); }

private:
    void work();
    void push(std::function<void()> job);

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    bool bStopping = false;
    std::vector<std::thread> workers;
};
