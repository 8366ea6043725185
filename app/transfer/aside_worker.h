// aside_worker.h - slow work of the request runner's jobs (reading a large
// file for its digests, encoding a file under a compressing rule) done on a
// thread of its own, so that the requests in flight are never held up by it.
// One worker per runner, one piece of work at a time, in the order given.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The work is given the worker's cancel flag: set, it should return soon.
using AsideWork = std::function<void(const std::atomic<bool> &bCancel)>;

class AsideWorker {
public:
    AsideWorker() = default;
    ~AsideWorker() { stop(); }
    AsideWorker(const AsideWorker &) = delete;
    AsideWorker &operator=(const AsideWorker &) = delete;

    // Queues work for the job numbered index (the thread starts with the
    // first). The work touches only what its job lets it until done() hands
    // the number back: the hand-over orders its writes before the reads.
    void post(std::size_t index, AsideWork work);
    // The numbers of the jobs whose work has ended since the last call.
    std::vector<std::size_t> done();
    // Waits until some work has ended or until due, whichever comes first.
    void waitUntil(std::chrono::steady_clock::time_point due);
    // Asks the work in hand to end, drops what is queued (those jobs are
    // never handed back) and waits for the thread.
    void stop();

private:
    void loop();

    std::mutex mutex;
    std::condition_variable wake;     // work queued, or stop
    std::condition_variable finished; // work ended
    std::deque<std::pair<std::size_t, AsideWork>> queue;
    std::vector<std::size_t> ended;
    std::atomic<bool> bCancel{false};
    bool bStopping = false;
    std::thread thread;
};
