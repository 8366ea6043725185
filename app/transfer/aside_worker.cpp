// aside_worker.cpp - the runner's worker thread: a queue in, a list out, both
// under one mutex.
#include "aside_worker.h"

void AsideWorker::post(std::size_t index, AsideWork work)
{
    std::lock_guard<std::mutex> lock(mutex);
    queue.emplace_back(index, std::move(work));
    if (!thread.joinable()) {
        bStopping = false;
        bCancel.store(false);
        thread = std::thread(&AsideWorker::loop, this);
    }
    wake.notify_one();
}

std::vector<std::size_t> AsideWorker::done()
{
    std::vector<std::size_t> out;
    std::lock_guard<std::mutex> lock(mutex);
    out.swap(ended);
    return out;
}

void AsideWorker::waitUntil(std::chrono::steady_clock::time_point due)
{
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait_until(lock, due, [this] { return !ended.empty() || bStopping; });
}

void AsideWorker::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!thread.joinable())
            return;
        bStopping = true;
        bCancel.store(true);
        queue.clear();
        wake.notify_one();
    }
    thread.join();
}

void AsideWorker::loop()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return bStopping || !queue.empty(); });
        if (bStopping)
            return;
        std::pair<std::size_t, AsideWork> item = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        item.second(bCancel);
        item.second = nullptr;
        lock.lock();
        ended.push_back(item.first);
        finished.notify_all();
    }
}
