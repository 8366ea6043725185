// The hashing pool: its digests and part ETags are the ones a single reader
// gives, over random trees and any number of threads; files are read side by
// side; and a scan through it gives the records and lines of one reader.
#include "hash_pool.h"
#include "myDir.h"
#include "myS3Common.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

// The ETag of bytes sent in parts of partSize, worked out from the whole
// bytes in memory: the MD5 of the parts' raw MD5s, "-", the part count.
std::string partETagOf(const std::string &bytes, uint64_t partSize)
{
    std::string raw;
    int n = 0;
    for (uint64_t at = 0; at < bytes.size(); at += partSize, ++n) {
        MyMD5 part(false);
        part.update(bytes.substr(at, partSize));
        raw += part.finalize();
    }
    MyMD5 whole(true);
    whole.update(raw);
    return whole.finalize() + "-" + std::to_string(n);
}

std::string randomBytes(std::mt19937 &rng, std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i += 4) {
        const uint32_t word = rng();
        for (std::size_t j = 0; j < 4 && i + j < n; ++j)
            s[i + j] = static_cast<char>(word >> (8 * j));
    }
    return s;
}

// A request for the file at strPath, opened with flags (fd -1: not opened).
HashRequest requestFor(const std::string &strPath, int flags = O_RDONLY | O_CLOEXEC)
{
    HashRequest request;
    request.fd = open(strPath.c_str(), flags);
    EXPECT_GE(request.fd, 0) << strPath;
    EXPECT_EQ(fstat(request.fd, &request.st), 0) << strPath;
    return request;
}

struct TreeFile {
    std::string strPath, bytes;
};

// Files of random sizes around the pool's read block and the part sizes.
std::vector<TreeFile> randomTree(const TempDir &dir, std::mt19937 &rng, int nFiles)
{
    std::vector<TreeFile> files;
    const std::size_t sizes[] = {0, 1, 65535, 65536, 65537, 100000, 200001, 300000};
    for (int i = 0; i < nFiles; ++i) {
        std::size_t n = sizes[rng() % (sizeof sizes / sizeof sizes[0])];
        if (rng() % 2)
            n = rng() % 320000;
        const std::string strRel = "d" + std::to_string(rng() % 5) + "/f" + std::to_string(i);
        std::filesystem::create_directories(dir.path() + "/" + strRel.substr(0, 2));
        files.push_back({dir.write(strRel, randomBytes(rng, n)), ""});
        files.back().bytes.clear();
        std::ifstream in(files.back().strPath, std::ios::binary);
        files.back().bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return files;
}

TEST(HashPool, GivesTheDigestsOfOneReaderOnAnyNumberOfThreads)
{
    std::mt19937 rng(33);
    TempDir dir;
    const std::vector<TreeFile> files = randomTree(dir, rng, 120);
    const std::vector<uint64_t> partSizes = {65536, 100001, 0};
    for (unsigned nThreads : {1u, 2u, 8u}) {
        HashPool pool(nThreads);
        EXPECT_EQ(pool.threads(), nThreads);
        std::vector<int> fds;
        std::vector<std::future<FileDigests>> results;
        for (const TreeFile &file : files) {
            HashRequest request = requestFor(file.strPath);
            ASSERT_GE(request.fd, 0);
            request.partSizes = partSizes;
            fds.push_back(request.fd);
            results.push_back(pool.submit(std::move(request)));
        }
        for (std::size_t i = 0; i < files.size(); ++i) {
            const FileDigests got = results[i].get();
            close(fds[i]);
            const std::string &bytes = files[i].bytes;
            std::string strOneReader;
            ASSERT_TRUE(calculateMD5Hex(files[i].strPath, strOneReader));
            ASSERT_TRUE(got.bRead) << files[i].strPath;
            EXPECT_TRUE(got.bStable);
            EXPECT_EQ(got.nReads, 1);
            EXPECT_EQ(got.strTag, strOneReader) << files[i].strPath;
            EXPECT_EQ(static_cast<std::size_t>(got.st.st_size), bytes.size());
            std::vector<std::string> expected;
            for (uint64_t partSize : partSizes)
                if (partSize > 0 && bytes.size() > partSize)
                    expected.push_back(partETagOf(bytes, partSize));
            if (expected.empty())
                EXPECT_EQ(got.partTags, nullptr) << bytes.size();
            else
                EXPECT_EQ(got.partTags ? *got.partTags : std::vector<std::string>(), expected)
                    << bytes.size();
        }
    }
}

// Two files are read at the same time: each waits, after its read, for the
// other's read to have ended (one reader at a time would never get there).
TEST(HashPool, ReadsFilesSideBySide)
{
    TempDir dir;
    std::mutex mutex;
    std::condition_variable cv;
    int nArrived = 0;
    bool bBothMet = true;
    auto meet = [&]() {
        std::unique_lock<std::mutex> lock(mutex);
        ++nArrived;
        cv.notify_all();
        if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return nArrived >= 2; }))
            bBothMet = false;
    };
    HashPool pool(2);
    std::vector<int> fds;
    std::vector<std::future<FileDigests>> results;
    for (const char *name : {"a", "b"}) {
        HashRequest request = requestFor(dir.write(name, name));
        ASSERT_GE(request.fd, 0);
        request.afterRead = meet;
        fds.push_back(request.fd);
        results.push_back(pool.submit(std::move(request)));
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_TRUE(results[i].get().bRead);
        close(fds[i]);
    }
    EXPECT_TRUE(bBothMet);
}

// A read that fails comes back as a failure with its reason.
TEST(HashPool, AFailedReadSaysWhy)
{
    TempDir dir;
    HashPool pool(2);
    HashRequest request = requestFor(dir.path(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); // reading a folder fails
    const int fd = request.fd;
    ASSERT_GE(fd, 0);
    const FileDigests got = pool.submit(std::move(request)).get();
    close(fd);
    EXPECT_FALSE(got.bRead);
    EXPECT_EQ(got.nErr, EISDIR);
}

// Over a random tree with refused names among the files, the scan through
// the pool gives every file's own digest, and the same lines in walk order,
// as many times as it is run.
TEST(HashPool, AScanGivesEachFileItsOwnDigestAndTheLinesInWalkOrder)
{
    std::mt19937 rng(7);
    TempDir dir;
    const std::vector<TreeFile> files = randomTree(dir, rng, 300);
    for (int i = 0; i < 20; ++i)
        dir.write("d" + std::to_string(i % 5) + "/bad\xFF" + std::to_string(i), "x");
    std::string strFirstOut;
    for (int round = 0; round < 3; ++round) {
        S3ObjSet set;
        ScanOptions options;
        options.partSize = 100001;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(getAllFiles(dir.path() + "/", set, options));
        const std::string strOut = testing::internal::GetCapturedStdout();
        ASSERT_EQ(set.size(), files.size());
        for (const TreeFile &file : files) {
            S3Obj probe;
            probe.key = file.strPath.substr(dir.path().size() + 1);
            auto it = set.find(probe);
            ASSERT_NE(it, set.end()) << probe.key;
            std::string strOneReader;
            ASSERT_TRUE(calculateMD5Hex(file.strPath, strOneReader));
            EXPECT_EQ(it->tag.str(), strOneReader) << probe.key;
            EXPECT_EQ(it->size, file.bytes.size());
            if (file.bytes.size() > 100001) {
                ASSERT_NE(it->partTags, nullptr);
                EXPECT_EQ(it->partTags->back(), partETagOf(file.bytes, 100001));
            }
        }
        // The walk's order does not change between runs: nor do the lines.
        EXPECT_EQ(std::count(strOut.begin(), strOut.end(), '\n'), 20);
        if (round == 0)
            strFirstOut = strOut;
        EXPECT_EQ(strOut, strFirstOut);
    }
}

} // namespace
