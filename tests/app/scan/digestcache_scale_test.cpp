// The digest cache on a large site: the heap a cache of 100,000 files holds
// while it is looked up, and the time its load, lookups and save take.
#include "digestcache.h"
#include "myS3Common.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/stat.h>

#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kHeapMeasurable = false; // the sanitizer's allocator keeps its own books
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kHeapMeasurable = false;
#else
constexpr bool kHeapMeasurable = true;
#endif
#else
constexpr bool kHeapMeasurable = true;
#endif

constexpr int kFiles = 100000;

std::size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Processor time of this process: the machine may be busy with other work.
double cpuSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A key as a site of a few hundred folders has them, its status (well before
// the scan), and its digest.
std::string keyOf(int i)
{
    char szKey[64];
    std::snprintf(szKey, sizeof szKey, "section-%03d/page-%06d.html", i % 400, i);
    return szKey;
}

struct stat statOf(int i)
{
    struct stat st;
    std::memset(&st, 0, sizeof st);
    st.st_dev = 2049;
    st.st_ino = static_cast<ino_t>(1000000 + i);
    st.st_size = 1000 + i % 5000;
    st.st_mtim.tv_sec = 1700000000 + i;
    st.st_mtim.tv_nsec = 123456789;
    st.st_ctim = st.st_mtim;
    return st;
}

std::string md5Of(const std::string &bytes)
{
    MyMD5 md(true);
    md.update(bytes);
    return md.finalize();
}

const char *const kHeaders =
    "type=text/html\ncache-control=max-age=300\nencoding=\nacl=public-read\nclass=REDUCED_REDUNDANCY";

} // namespace

// An unchanged run over 100,000 files: load, one lookup and one record per
// file in key order, save. The cache is looked up, not loaded: its heap is
// SQLite's page cache and a window of rows, not a share per file.
TEST(DigestCacheScale, ALoadedCacheOfManyFilesStaysSmall)
{
    TempDir site, cacheBase;
    const std::string strTarget = DigestCache::storeTarget("https://s3.example.com", "www.example.com", "");
    {
        DigestCache cache(cacheBase.path(), site.path());
        cache.load();
        for (int i = 0; i < kFiles; ++i) {
            const std::string strKey = keyOf(i);
            const std::string strMd5 = md5Of(strKey);
            ASSERT_TRUE(cache.store(strKey, statOf(i), strMd5));
            cache.putRecord(strTarget, strKey,
                            {strMd5, static_cast<uint64_t>(statOf(i).st_size), strMd5, kHeaders});
        }
        const double start = cpuSeconds();
        ASSERT_TRUE(cache.save());
        std::printf("save of %d files: %.3f s\n", kFiles, cpuSeconds() - start);
    }

    malloc_trim(0);
    const std::size_t heapBefore = heapInUse();
    DigestCache cache(cacheBase.path(), site.path());
    double start = cpuSeconds();
    cache.load();
    const double loadSeconds = cpuSeconds() - start;
    const std::size_t heapLoaded = heapInUse();

    start = cpuSeconds();
    std::size_t nHits = 0, nRecords = 0;
    // In key order, as the walk asks.
    for (int n = 0; n < kFiles; ++n) {
        const int i = (n % (kFiles / 400)) * 400 + n / (kFiles / 400);
        const std::string strKey = keyOf(i);
        std::string strTag;
        nHits += cache.lookup(strKey, statOf(i), strTag) ? 1 : 0;
        StoredRecord record;
        nRecords += cache.findRecord(strTarget, strKey, record) && record.strETag == strTag ? 1 : 0;
    }
    const double lookupSeconds = cpuSeconds() - start;
    EXPECT_EQ(nHits, static_cast<std::size_t>(kFiles));
    EXPECT_EQ(nRecords, static_cast<std::size_t>(kFiles));
    const std::size_t heapUsed = heapInUse();
    const double bytesPerFile =
        static_cast<double>(std::max(heapLoaded, heapUsed) - heapBefore) / static_cast<double>(kFiles);
    std::printf("load: %.3f s, lookups: %.3f s (processor time)\n", loadSeconds, lookupSeconds);
    if (kHeapMeasurable) {
        std::printf("heap: %.0f bytes per file\n", bytesPerFile);
        EXPECT_LT(bytesPerFile, 64.0);
    }
}
