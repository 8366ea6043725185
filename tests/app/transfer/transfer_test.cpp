// Uploads, downloads, deletes and the paged listing against the loopback store.
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "harness.h"
#include "myListObj.h"
#include "myPutObj.h"
#include "myS3Common.h"
#include "sync.h"
#include "tempdir.h"

namespace {

class Transfer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { store = new harness::Store(); }
    static void TearDownTestSuite()
    {
        delete store;
        store = nullptr;
    }
    void SetUp() override
    {
        static int nBucket = 0;
        bucket = "transfer-" + std::to_string(++nBucket) + ".example";
        store->createBucket(bucket);
        useKeys(harness::kAccessKeyId, harness::kSecretAccessKey);
        settings.strEndpoint = "http://" + store->endpoint();
        settings.bQuiet = true;
    }
    // The run's session for the settings as they are now; a change of the
    // settings is a new run (useKeys, useEndpoint).
    Session &session()
    {
        if (!pSession)
            pSession = std::make_unique<Session>(settings);
        return *pSession;
    }
    void useKeys(const std::string &id, const std::string &secret)
    {
        settings.strKeyFile = dir.write("s3key", id + "\n" + secret + "\n");
        pSession.reset();
    }
    void useEndpoint(const std::string &strEndpoint)
    {
        settings.strEndpoint = strEndpoint;
        pSession.reset();
    }
    // Lists the bucket quietly; the response report is not looked at here.
    bool list(S3ObjSet &set, const std::string *prefix = nullptr)
    {
        ::testing::internal::CaptureStdout();
        bool ok = prefix ? listObjects(session(), bucket, *prefix, set)
                         : listObjects(session(), bucket, set);
        ::testing::internal::GetCapturedStdout();
        return ok;
    }

    static harness::Store *store;
    TempDir dir;
    Settings settings;
    std::unique_ptr<Session> pSession;
    std::string bucket;
};

harness::Store *Transfer::store = nullptr;

TEST_F(Transfer, UploadCarriesTypeDigestAclAndStorageClass)
{
    std::string strPage = dir.write("page.css", "body { color: red }\n");
    std::string strEmpty = dir.write("empty.html", "");

    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(putObject(session(), bucket, "css/page.css", strPage, S3CannedAclPublicRead));
    EXPECT_TRUE(putObject(session(), bucket, "secret/empty.html", strEmpty, S3CannedAclPrivate));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "succeed\nsucceed\n");

    harness::StoredObject css = store->getObject(bucket, "css/page.css");
    ASSERT_TRUE(css.exists);
    EXPECT_EQ(css.body, "body { color: red }\n");
    EXPECT_EQ(css.contentType, "text/css");
    EXPECT_EQ(css.storageClass, "REDUCED_REDUNDANCY");
    EXPECT_TRUE(store->isPublicRead(bucket, "css/page.css"));

    harness::StoredObject empty = store->getObject(bucket, "secret/empty.html");
    ASSERT_TRUE(empty.exists);
    EXPECT_EQ(empty.body, "");
    EXPECT_EQ(empty.etag, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_FALSE(store->isPublicRead(bucket, "secret/empty.html"));
}

TEST_F(Transfer, RefusedUploadIsAFailure)
{
    std::string strPage = dir.write("page.html", "<p>");
    useKeys(harness::kAccessKeyId, "wrong-secret");
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(putObject(session(), bucket, "page.html", strPage, S3CannedAclPublicRead));
    std::string strOut = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(strOut.rfind("status:103\ncode:SignatureDoesNotMatch\nresource:", 0), 0u) << strOut;
    EXPECT_FALSE(store->getObject(bucket, "page.html").exists);

    useKeys(harness::kAccessKeyId, harness::kSecretAccessKey);
    useEndpoint("http://127.0.0.1:" + std::to_string(harness::refusedPort()));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(putObject(session(), bucket, "page.html", strPage, S3CannedAclPublicRead));
    std::string strDown = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(strDown.rfind("status:44\n", 0), 0u) << strDown; // FailedToConnect
}

TEST_F(Transfer, DownloadAndDeleteRoundTrip)
{
    const std::string strBytes("bin\0ary\xff", 8);
    store->putObject(bucket, "dir/blob.bin", strBytes);
    std::string strLocal = dir.path() + "/blob.bin";

    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(getObject(session(), bucket, "dir/blob.bin", strLocal));
    EXPECT_FALSE(getObject(session(), bucket, "dir/missing.bin", dir.path() + "/missing.bin"));
    EXPECT_TRUE(deleteObject(session(), bucket, "dir/blob.bin"));
    std::string strOut = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(strOut.find("status:92\n"), std::string::npos) << strOut; // NoSuchKey

    std::string strGot;
    ASSERT_TRUE(calculateMD5Hex(strLocal, strGot));
    std::string strWant = dir.write("want.bin", strBytes);
    std::string strWantMd5;
    ASSERT_TRUE(calculateMD5Hex(strWant, strWantMd5));
    EXPECT_EQ(strGot, strWantMd5);
    EXPECT_FALSE(store->getObject(bucket, "dir/blob.bin").exists);
}

TEST_F(Transfer, ListingRecordsCarryBareDigestsAndStartAtTheBeginning)
{
    // Keys that sort before "/" must be listed too, or they go up on every run.
    const std::set<std::string> keys = {".htaccess", "-dash", " blank", "+plus", "(paren",
                                        "index.html", "a/b/c.txt", "\"quoted\"x"};
    for (const std::string &key : keys)
        store->putObject(bucket, key, "body of " + key);

    S3ObjSet set;
    ASSERT_TRUE(list(set));
    std::set<std::string> listed;
    for (const S3Obj &obj : set) {
        listed.insert(obj.key);
        harness::StoredObject stored = store->getObject(bucket, obj.key);
        EXPECT_EQ(obj.tag, stored.etag) << obj.key;
        EXPECT_EQ(obj.size, stored.body.size()) << obj.key;
        EXPECT_GT(obj.time, 1600000000) << obj.key;
    }
    EXPECT_EQ(listed, keys);

    S3ObjSet some;
    std::string prefix = "a/";
    ASSERT_TRUE(list(some, &prefix));
    ASSERT_EQ(some.size(), 1u);
    EXPECT_EQ(some.begin()->key, "a/b/c.txt");
}

TEST_F(Transfer, PagesFollowTheLastKeyUntilAnEmptyPage)
{
    S3ObjSet set;
    store->resetCounters();
    ASSERT_TRUE(list(set));
    EXPECT_TRUE(set.empty());
    EXPECT_EQ(store->counters().requests, 1);

    char szKey[32];
    for (int i = 0; i < 990; ++i) {
        std::snprintf(szKey, sizeof szKey, "k%05d", i);
        store->putObject(bucket, szKey, "");
    }
    store->resetCounters();
    ASSERT_TRUE(list(set));
    EXPECT_EQ(set.size(), 990u);
    EXPECT_EQ(store->counters().requests, 2);

    for (int i = 990; i < 2000; ++i) {
        std::snprintf(szKey, sizeof szKey, "k%05d", i);
        store->putObject(bucket, szKey, "");
    }
    set.clear();
    store->resetCounters();
    ASSERT_TRUE(list(set));
    EXPECT_EQ(set.size(), 2000u);
    EXPECT_EQ(set.begin()->key, "k00000");
    EXPECT_EQ(set.rbegin()->key, "k01999");
    EXPECT_EQ(store->counters().requests, 4);
}

TEST_F(Transfer, FailedListingIsNotAnEmptyBucket)
{
    store->putObject(bucket, "index.html", "x");
    S3ObjSet set;

    useKeys(harness::kAccessKeyId, "wrong-secret");
    EXPECT_FALSE(list(set));

    useKeys(harness::kAccessKeyId, harness::kSecretAccessKey);
    useEndpoint("http://127.0.0.1:" + std::to_string(harness::refusedPort()));
    EXPECT_FALSE(list(set));

    settings.strKeyFile = dir.path() + "/no-such-key";
    pSession.reset();
    EXPECT_FALSE(list(set));
    EXPECT_TRUE(set.empty());
}

TEST_F(Transfer, PagesEndingInQuotedKeysFollowTheKeyAsListed)
{
    // A full first page whose last key is quoted, then the key that is only a quote.
    char szKey[32];
    for (int i = 0; i <= kListPageSize; ++i) {
        std::snprintf(szKey, sizeof szKey, "\"k%05d\"", i);
        store->putObject(bucket, szKey, "");
    }
    store->putObject(bucket, "\"", "");
    S3ObjSet set;
    ASSERT_TRUE(list(set));
    EXPECT_EQ(set.size(), static_cast<std::size_t>(kListPageSize) + 2);
    EXPECT_EQ(set.count(S3Obj{"\"", 0, 0, ""}), 1u);
    EXPECT_EQ(set.count(S3Obj{"\"k00000\"", 0, 0, ""}), 1u);
}

TEST_F(Transfer, DryRunComparesAndSendsNothing)
{
    TempDir site;
    site.write("same.html", "same\n");
    site.write("size.html", "short\n");
    site.write("digest.html", "aaaa\n");
    site.write("new.html", "new\n");
    store->putObject(bucket, "same.html", "same\n");
    store->putObject(bucket, "size.html", "longer\n");
    store->putObject(bucket, "digest.html", "bbbb\n");
    store->resetCounters();

    ::testing::internal::CaptureStdout();
    bool bOk = sync(session(), bucket, site.path(), true, ScanOptions());
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(bOk) << out;
    EXPECT_EQ(store->counters().puts, 0);
    // The index page a run would write is named too, and the summary counts
    // what would be sent.
    EXPECT_NE(out.find("would upload: digest.html (digest)\n"
                       "would upload: fileLists.html (page)\n"
                       "would upload: new.html (new)\n"
                       "would upload: size.html (size)\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("\nupload:"), std::string::npos) << out;
    EXPECT_NE(out.find("\nsummary: sent 4 ("), std::string::npos) << out;
    EXPECT_NE(out.find("), failed 0, unchanged 1, ignored 0, "), std::string::npos) << out;
    EXPECT_NE(::access((site / "fileLists.html").c_str(), F_OK), 0); // nothing written
}

TEST(ListBucketCallback, KeysStayAsListedAndTagsLoseTheirQuotes)
{
    S3ListBucketContent contents[] = {
        {"plain.html", 100, "\"0cc175b9c0f1b6a831c399e269772661\"", 1, nullptr, nullptr},
        {"'single'", 200, "'abc\"", 2, "owner", "name"},
        {"\"half", 300, "\"d41d8cd98f00b204e9800998ecf8427e-2\"", 3, nullptr, nullptr},
        {nullptr, 400, nullptr, 4, nullptr, nullptr},
    };
    ListPageData data;
    EXPECT_EQ(listBucketCallback(0, "", 4, contents, 0, nullptr, &data), S3StatusOK);
    ASSERT_EQ(data.page.size(), 4u);
    EXPECT_EQ(data.page[0].key, "plain.html");
    EXPECT_EQ(data.page[0].tag, "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(data.page[0].time, 100);
    EXPECT_EQ(data.page[0].size, 1u);
    EXPECT_EQ(data.page[1].key, "'single'");
    EXPECT_EQ(data.page[1].tag, "abc");
    EXPECT_EQ(data.page[2].key, "\"half");
    EXPECT_EQ(data.page[2].tag, "d41d8cd98f00b204e9800998ecf8427e-2");
    EXPECT_EQ(data.page[3].key, "");
    EXPECT_EQ(data.page[3].tag, "");
}

} // namespace
