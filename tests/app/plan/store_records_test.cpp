// What the store holds of each file: the decision against the listing and
// the record of the last upload, and a run's changed keys through the real
// store (uploads, then headers replaced in place when only the rules change).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "digestcache.h"
#include "harness.h"
#include "object_plan.h"
#include "sync.h"
#include "tempdir.h"

namespace {

S3Obj listed(uint64_t size, const std::string &strTag)
{
    S3Obj obj;
    obj.key = "k";
    obj.size = size;
    obj.tag = strTag;
    return obj;
}

TEST(StoreVerdicts, TheListingDecidesWhereItCanAndTheRecordOrTheObjectWhereItCannot)
{
    const std::string md5(32, 'a'), other(32, 'b'), opaque(32, 'c');
    SentDigest sent;
    sent.bKnown = true;
    sent.strMd5Hex = md5;
    sent.size = 10;
    SentDigest unknown; // the encoded bytes could not be made
    const StoredRecord ours = {md5, 10, opaque, ""};         // our last upload of these bytes
    const StoredRecord oursBefore = {other, 10, opaque, ""}; // ... of other bytes
    const StoredRecord noETag = {md5, 10, "", ""};           // the store answered no ETag
    const S3Obj same = listed(10, md5), kms = listed(10, opaque), bigger = listed(11, md5),
                untagged = listed(10, ""), multipart = listed(10, md5 + "-2");
    struct Row {
        const S3Obj *remote;
        const SentDigest *sent;
        const StoredRecord *record;
        StoreVerdict verdict;
        const char *pszWhy; // for uploads
    };
    const Row rows[] = {
        {nullptr, &sent, &ours, VerdictUpload, "new"},
        {&bigger, &sent, nullptr, VerdictUpload, "size"},
        {&untagged, &sent, &ours, VerdictUpload, "digest"},
        {&same, &unknown, nullptr, VerdictUpload, "digest"},
        {&same, &sent, nullptr, VerdictUnchanged, ""},
        {&kms, &sent, &ours, VerdictUnchanged, ""},
        {&kms, &sent, &oursBefore, VerdictUpload, "digest"},
        {&kms, &sent, nullptr, VerdictAsk, ""},
        {&kms, &sent, &noETag, VerdictAsk, ""},
        {&multipart, &sent, &ours, VerdictAsk, ""},
    };
    for (std::size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row &r = rows[i];
        const char *pszWhy = "";
        EXPECT_EQ(decideAgainstStore(r.remote, *r.sent, r.record, &pszWhy), r.verdict) << "row " << i;
        if (r.verdict == VerdictUpload) {
            EXPECT_STREQ(pszWhy, r.pszWhy) << "row " << i;
        }
    }
}

class StoreRecords : public ::testing::Test {
protected:
    static void SetUpTestSuite() { store = new harness::Store(); }
    static void TearDownTestSuite()
    {
        delete store;
        store = nullptr;
    }
    void SetUp() override
    {
        store->createBucket(bucket);
        settings.strKeyFile = dir.write("s3key", std::string(harness::kAccessKeyId) + "\n" +
                                                     harness::kSecretAccessKey + "\n");
        settings.strEndpoint = "http://" + store->endpoint();
        settings.bQuiet = true;
    }
    // One mirror run with the digest cache; the keys it changed.
    std::vector<std::string> mirror(std::string &out)
    {
        Session session(settings);
        DigestCache cache(cacheDir.path(), site.path());
        struct timespec start;
        clock_gettime(CLOCK_REALTIME, &start);
        start.tv_sec += 10; // the files written here are not racy
        cache.setScanStart(start);
        cache.load();
        ScanOptions scan;
        scan.cache = &cache;
        ::testing::internal::CaptureStdout();
        EXPECT_TRUE(sync(session, bucket, site.path(), false, scan));
        out = ::testing::internal::GetCapturedStdout();
        return session.changedKeys();
    }

    static harness::Store *store;
    const std::string bucket = "records.example";
    TempDir dir, site, cacheDir;
    Settings settings;
};

harness::Store *StoreRecords::store = nullptr;

TEST_F(StoreRecords, ARunsChangedKeysAreItsUploadsAndItsHeaderUpdates)
{
    site.write("a.html", "<p>a</p>\n");
    site.write("b.css", "b{}\n");
    site.write("c.txt", "c\n");
    std::string out;
    EXPECT_EQ(mirror(out), (std::vector<std::string>{"a.html", "b.css", "c.txt"})) << out;
    EXPECT_EQ(mirror(out), std::vector<std::string>()) << out;

    settings.cacheRules = {{"*.html", "max-age=1"}, {"*.css", "", "text/css; charset=utf-8"}};
    EXPECT_EQ(mirror(out), (std::vector<std::string>{"a.html", "b.css"})) << out;
    EXPECT_NE(out.find("update headers: a.html\nsucceed\nupdate headers: b.css\nsucceed\n"), std::string::npos)
        << out;
    EXPECT_EQ(store->getObject(bucket, "b.css").contentType, "text/css; charset=utf-8");
    EXPECT_EQ(mirror(out), std::vector<std::string>()) << out;
}

} // namespace
