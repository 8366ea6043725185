// The digests of encoded bytes for many files at once: encoded on the pool's
// threads, they are the ones a file encoded alone gives, in the order asked;
// the cache then knows them, and a file changed since the scan gets none.
#include "compress.h"
#include "digestcache.h"
#include "object_plan.h"
#include "myS3Common.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(EncodedDigests, ManyFilesOnThePoolGiveWhatEachGivesAlone)
{
    TempDir site, cacheBase;
    std::mt19937 rng(29);
    std::deque<S3Obj> locals;
    std::vector<EncodeAsk> asks;
    const char *const encodings[] = {"gzip", "br", ""};
    for (int i = 0; i < 60; ++i) {
        std::string text;
        for (int n = rng() % 20000; n > 0; --n)
            text += "abc def ghi\n"[rng() % 12];
        const std::string strName = "f" + std::to_string(i) + ".txt";
        const std::string strPath = site.write(strName, text);
        S3Obj local;
        local.key = strName;
        local.size = text.size();
        MyMD5 md(true);
        md.update(text);
        local.tag = md.finalize();
        locals.push_back(local);
        asks.push_back({&locals.back(), strPath, encodings[i % 3]});
    }
    // One file changed since it was scanned: its encoded digest is unknown.
    site.write("f4.txt", "changed since the scan");

    DigestCache cache(cacheBase.path(), site.path());
    struct timespec start;
    clock_gettime(CLOCK_REALTIME, &start);
    cache.setScanStart(start);
    cache.load();
    const std::vector<SentDigest> got = sentDigestsFor(asks, &cache);
    ASSERT_EQ(got.size(), asks.size());
    for (std::size_t i = 0; i < asks.size(); ++i) {
        const SentDigest alone = sentDigestFor(*asks[i].local, asks[i].strPath, asks[i].strEncoding, nullptr);
        EXPECT_EQ(got[i].bKnown, alone.bKnown) << i;
        EXPECT_EQ(got[i].strMd5Hex, alone.strMd5Hex) << i;
        EXPECT_EQ(got[i].size, alone.size) << i;
        EXPECT_EQ(got[i].bKnown, i != 4) << i;
        if (!asks[i].strEncoding.empty() && got[i].bKnown) {
            EncodedDigest digest;
            ASSERT_TRUE(cache.findEncoded(asks[i].local->key, asks[i].strEncoding, asks[i].local->tag, digest)) << i;
            EXPECT_EQ(digest.strMd5Hex, got[i].strMd5Hex);
        }
    }
}

} // namespace
