// New headers for objects above the limit of one copy: a copy of the object
// onto itself in parts (create, part copies of byte ranges, complete), seen
// through the checking proxy and moto with the limit lowered; below it, the
// single copy stays. A part the store refuses gives the copy up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "copy_in_parts.h"
#include "harness.h"
#include "header_update.h"
#include "myPutObj.h"
#include "myS3Common.h"
#include "s3client/wire_support.h"
#include "session.h"
#include "tempdir.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class CopyInParts : public ::testing::Test {
protected:
    void SetUp() override
    {
        store.createBucket(bucket);
        settings = readProcessSettings({});
        settings.strKeyFile =
            dir.write("s3key", std::string(harness::kAccessKeyId) + "\n" + harness::kSecretAccessKey + "\n");
        settings.strEndpoint = "http://" + store.endpoint();
        settings.partSize = 5 * kMiB;
        settings.bQuiet = true;
        S3_set_trace(0);
        CopyLimits limits;
        limits.single = 6 * kMiB;
        limits.part = 5 * kMiB;
        setCopyLimits(limits);
    }
    void TearDown() override { setCopyLimits(CopyLimits()); }

    HeaderUpdate updateOf(const std::string &strKey, const std::string &body)
    {
        HeaderUpdate update;
        update.strKey = strKey;
        update.headers = objectHeaders(settings, S3CannedAclPublicRead, "video/mp4", "max-age=60", "");
        update.strMd5Hex = wire::md5Hex(body);
        update.size = body.size();
        return update;
    }
    HeaderUpdateTotals run(std::vector<HeaderUpdate> &updates, std::string &out)
    {
        Session session(settings);
        MyS3Context context(session);
        S3BucketContext ctx;
        EXPECT_TRUE(context.initialize(bucket.c_str(), ctx));
        ::testing::internal::CaptureStdout();
        HeaderUpdateTotals totals = updateHeaders(session, ctx, updates);
        out = ::testing::internal::GetCapturedStdout();
        return totals;
    }

    harness::Store store;
    TempDir dir;
    Settings settings;
    std::string bucket = "copy-parts.example";
};

TEST_F(CopyInParts, AnObjectAboveTheLimitOfOneCopyGetsItsHeadersByACopyInParts)
{
    const std::string big = wire::patternBytes(12 * kMiB, 7);
    const std::string small = "small bytes\n";
    store.putObject(bucket, "media/big.mp4", big);
    store.putObject(bucket, "media/small.mp4", small);
    std::vector<HeaderUpdate> updates = {updateOf("media/big.mp4", big), updateOf("media/small.mp4", small)};
    store.resetCounters();
    std::string out;
    const HeaderUpdateTotals totals = run(updates, out);
    EXPECT_EQ(totals.nUpdated, 2) << out;
    EXPECT_EQ(totals.nFailed, 0) << out;
    EXPECT_EQ(out, "update headers: media/big.mp4\nsucceed\nupdate headers: media/small.mp4\nsucceed\n");

    for (const HeaderUpdate &update : updates) {
        SCOPED_TRACE(update.strKey);
        const harness::StoredObject object = store.getObject(bucket, update.strKey);
        EXPECT_TRUE(update.bUpdated);
        EXPECT_TRUE(object.body == (update.strKey == "media/big.mp4" ? big : small));
        EXPECT_EQ(object.contentType, "video/mp4");
        EXPECT_EQ(object.headers.at("cache-control"), "max-age=60");
        EXPECT_EQ(object.headers.at("x-amz-meta-md5"), update.strMd5Hex);
        EXPECT_EQ(update.strETag, object.etag);
        EXPECT_TRUE(store.isPublicRead(bucket, update.strKey));
    }
    EXPECT_EQ(updates[0].strETag.substr(updates[0].strETag.size() - 2), "-3");

    // Create, three ranges of 5, 5 and 2 MiB copied, complete; the small
    // object in one copy; every request signed right.
    const std::string log = store.requestsJson();
    EXPECT_EQ(count(log, "big.mp4?uploads\""), 1) << log;
    EXPECT_EQ(count(log, "big.mp4?partNumber="), 3) << log;
    EXPECT_EQ(count(log, "bytes=0-5242879\""), 1) << log;
    EXPECT_EQ(count(log, "bytes=5242880-10485759\""), 1) << log;
    EXPECT_EQ(count(log, "bytes=10485760-12582911\""), 1) << log;
    EXPECT_EQ(count(log, "x-amz-copy-source-range"), 3) << log.substr(0, 3000);
    EXPECT_EQ(count(log, "small.mp4?"), 0) << log;
    EXPECT_EQ(store.counters().rejected, 0);
}

TEST_F(CopyInParts, APartTheStoreRefusesGivesTheCopyUpAndLeavesNoUnfinishedUpload)
{
    // No such object: the create succeeds, every part copy is refused.
    const std::string gone = wire::patternBytes(12 * kMiB, 3);
    std::vector<HeaderUpdate> updates = {updateOf("media/gone.mp4", gone)};
    std::string out;
    const HeaderUpdateTotals totals = run(updates, out);
    EXPECT_EQ(totals.nUpdated, 0) << out;
    EXPECT_EQ(totals.nFailed, 1) << out;
    EXPECT_FALSE(updates[0].bUpdated);
    EXPECT_EQ(out.rfind("update headers: media/gone.mp4\n", 0), 0u) << out;
    EXPECT_NE(out.find("upload in parts given up: media/gone.mp4\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("succeed"), std::string::npos) << out;
    const std::string log = store.requestsJson();
    EXPECT_EQ(count(log, "\"DELETE\", \"target\": \"/" + bucket + "/media/gone.mp4?uploadId="), 1) << log;
    EXPECT_FALSE(store.getObject(bucket, "media/gone.mp4").exists);
}

} // namespace
