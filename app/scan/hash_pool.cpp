// hash_pool.cpp - the threads that read files for their digests, and the
// reading itself.
#include "hash_pool.h"

#include "myS3Common.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

const std::size_t kHashBlockSize = 1 << 16;

bool sameStatus(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The ETag of bytes sent in parts of one size: the MD5 of the parts' MD5s,
// then "-" and the number of parts. Fed the bytes in order.
class PartETag {
public:
    explicit PartETag(uint64_t partSizeIn) : partSize(partSizeIn) {}
    void update(const char *p, std::size_t n)
    {
        while (n > 0) {
            if (!part)
                part.reset(new MyMD5(false));
            const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(n, partSize - inPart));
            part->update(p, take);
            inPart += take;
            p += take;
            n -= take;
            if (inPart == partSize)
                endPart();
        }
    }
    std::string finalize()
    {
        if (inPart > 0)
            endPart();
        MyMD5 whole(true);
        whole.update(digests);
        return whole.finalize() + "-" + std::to_string(nParts);
    }

private:
    void endPart()
    {
        digests += part->finalize();
        part.reset();
        inPart = 0;
        ++nParts;
    }
    uint64_t partSize;
    std::unique_ptr<MyMD5> part;
    uint64_t inPart = 0;
    std::string digests; // 16 bytes a part
    int nParts = 0;
};

} // namespace

bool hashDescriptor(int fd, uint64_t size, const std::vector<uint64_t> &partSizes, std::string &strTag,
                    std::shared_ptr<const std::vector<std::string>> &partTags)
{
    MyMD5 md(true);
    std::vector<PartETag> parts;
    for (uint64_t partSize : partSizes)
        if (partSize > 0 && size > partSize)
            parts.emplace_back(partSize);
    std::unique_ptr<char[]> buffer(new char[kHashBlockSize]);
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(fd, buffer.get(), kHashBlockSize, offset);
        if (n > 0) {
            md.update(buffer.get(), static_cast<std::size_t>(n));
            for (PartETag &part : parts)
                part.update(buffer.get(), static_cast<std::size_t>(n));
            offset += n;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return false;
        }
    }
    strTag = md.finalize();
    partTags.reset();
    if (!parts.empty()) {
        auto tags = std::make_shared<std::vector<std::string>>();
        for (PartETag &part : parts)
            tags->push_back(part.finalize());
        partTags = tags;
    }
    return true;
}

FileDigests digestRequest(const HashRequest &request)
{
    FileDigests out;
    out.st = request.st;
    for (int i = 0; i < request.nAttempts && !out.bStable; ++i) {
        if (!hashDescriptor(request.fd, static_cast<uint64_t>(out.st.st_size), request.partSizes, out.strTag,
                            out.partTags)) {
            out.nErr = errno;
            return out;
        }
        ++out.nReads;
        if (request.afterRead)
            request.afterRead();
        struct stat after;
        if (fstat(request.fd, &after) != 0) {
            out.nErr = errno;
            return out;
        }
        out.bStable = sameStatus(out.st, after);
        out.st = after;
    }
    out.bRead = true;
    return out;
}

unsigned HashPool::defaultThreads()
{
    const unsigned n = std::thread::hardware_concurrency();
    return std::max(1u, std::min(n, kMostThreads));
}

HashPool::HashPool(unsigned nThreads)
{
    nThreads = std::max(1u, std::min(nThreads, kMostThreads));
    for (unsigned i = 0; i < nThreads; ++i)
        workers.emplace_back([this] { work(); });
}

HashPool::~HashPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        bStopping = true;
    }
    wake.notify_all();
    for (std::thread &worker : workers)
        worker.join();
}

void HashPool::push(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(std::move(job));
    }
    wake.notify_one();
}

std::future<FileDigests> HashPool::submit(HashRequest request)
{
    auto task = std::make_shared<std::packaged_task<FileDigests()>>(
        [request = std::move(request)] { return digestRequest(request); });
    std::future<FileDigests> result = task->get_future();
    push([task] { (*task)(); });
    return result;
}

std::future<void> HashPool::submitTask(std::function<void()> job)
{
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(job));
    std::future<void> result = task->get_future();
    push([task] { (*task)(); });
    return result;
}

void HashPool::work()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return bStopping || !queue.empty(); });
            if (queue.empty())
                return; // stopping, and nothing left to read
            job = std::move(queue.front());
            queue.pop_front();
        }
        job();
    }
}
