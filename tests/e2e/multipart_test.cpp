// Files over the threshold go up in parts: stored whole with their headers,
// left alone by later runs, each part retried on its own, and no unfinished
// upload left behind by a refused part or a stop signal; unfinished uploads
// of earlier runs are named, and given up when asked.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "compress.h"
#include "harness.h"
#include "site.h"
#include "s3client.h"
#include "s3client/wire_support.h"

namespace {

using e2e::ToolRun;

constexpr std::size_t kMiB = 1024 * 1024;

using wire::md5Hex;
using wire::patternBytes;

// The smallest parts the store takes, so a file of a few MiB has several.
std::map<std::string, std::string> inParts(std::map<std::string, std::string> vars)
{
    vars["SITEMIRROR_MULTIPART_THRESHOLD"] = "5MiB";
    vars["SITEMIRROR_PART_SIZE"] = "5 MiB";
    return vars;
}

// The store's unfinished uploads (key, id), asked through the client.
struct Uploads {
    std::vector<std::pair<std::string, std::string>> list;
    S3Status status = S3StatusInternalError;
};
S3Status onUploads(int, const char *, const char *, int count, const S3ListMultipartUpload *uploads,
                   void *data)
{
    for (int i = 0; i < count; ++i)
        static_cast<Uploads *>(data)->list.emplace_back(uploads[i].key, uploads[i].uploadId);
    return S3StatusOK;
}
void onListed(S3Status status, const S3ErrorDetails *, void *data)
{
    static_cast<Uploads *>(data)->status = status;
}
void onStarted(S3Status status, const S3ErrorDetails *, void *data)
{
    *static_cast<S3Status *>(data) = status;
}

class Client {
public:
    Client(const std::string &endpoint, const std::string &bucket, const std::string &id,
           const std::string &secret)
        : strEndpoint(endpoint), strBucket(bucket), strId(id), strSecret(secret)
    {
        S3_initialize("multipart test", 0, nullptr);
        std::memset(&ctx, 0, sizeof ctx);
        ctx.hostName = strEndpoint.c_str();
        ctx.bucketName = strBucket.c_str();
        ctx.protocol = S3ProtocolHTTP;
        ctx.uriStyle = S3UriStylePath;
        ctx.accessKeyId = strId.c_str();
        ctx.secretAccessKey = strSecret.c_str();
        ctx.signatureVersion = S3SignatureV4;
    }
    ~Client() { S3_deinitialize(); }

    Uploads unfinished()
    {
        Uploads u;
        const S3ListMultipartUploadsHandler handler = {{nullptr, onListed}, onUploads};
        S3_list_multipart_uploads(&ctx, nullptr, nullptr, nullptr, 0, nullptr, &handler, &u);
        return u;
    }
    S3Status begin(const std::string &key)
    {
        S3Status status = S3StatusInternalError;
        const S3MultipartInitialHandler handler = {{nullptr, onStarted}, nullptr};
        S3_initiate_multipart(&ctx, key.c_str(), nullptr, nullptr, &handler, &status);
        return status;
    }

private:
    std::string strEndpoint, strBucket, strId, strSecret;
    S3BucketContext ctx;
};

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

class PartsOnEachStore : public e2e::OnEachStore {
protected:
    Client client() { return Client(store->endpoint(), bucket, store->accessKeyId(), store->secretAccessKey()); }
};

INSTANTIATE_TEST_SUITE_P(Stores, PartsOnEachStore, ::testing::ValuesIn(e2e::kEachStore),
                         e2e::storeCaseName);

TEST_P(PartsOnEachStore, ALargeFileGoesUpInPartsAndLaterRunsLeaveItAlone)
{
    const std::string big = patternBytes(11 * kMiB + 123, 5);
    site.write("media/big.mov", big);
    site.write("personal/big.mov", big);
    site.write("small.html", "<p>small</p>\n");
    if (proxy())
        proxy()->resetCounters();
    ToolRun first = e2e::runTool("", inParts(env()));
    ASSERT_EQ(first.status, 0) << first.out;
    for (const char *key : {"media/big.mov", "personal/big.mov"}) {
        harness::StoredObject stored = store->getObject(bucket, key);
        ASSERT_TRUE(stored.exists) << key;
        EXPECT_TRUE(stored.body == big) << key;
        EXPECT_EQ(stored.etag.substr(stored.etag.size() - 2), "-3") << stored.etag;
        EXPECT_EQ(stored.headers["x-amz-meta-md5"], md5Hex(big)) << key;
        EXPECT_EQ(stored.contentType, "video/quicktime") << key;
        EXPECT_EQ(stored.storageClass, onRgw() ? "" : storageClass()) << key;
    }
    EXPECT_TRUE(store->isPublicRead(bucket, "media/big.mov"));
    // (moto fails to read the ACL of an object joined from parts without one.)
    if (onRgw()) {
        EXPECT_FALSE(store->isPublicRead(bucket, "personal/big.mov"));
    }
    // One block per file, ending in its outcome, like any upload.
    EXPECT_NE(first.out.find("upload:" + site.path("media/big.mov") + " ; media/big.mov\nsucceed\n"),
              std::string::npos)
        << first.out;
    if (proxy()) {
        // Create, three parts, complete for each file; every request signed right.
        const std::string log = proxy()->requestsJson();
        EXPECT_EQ(count(log, "media/big.mov?uploads\""), 1) << log;
        EXPECT_EQ(count(log, "media/big.mov?partNumber="), 3) << log;
        EXPECT_EQ(count(log, "personal/big.mov?uploadId="), 1) << log;
        EXPECT_EQ(proxy()->counters().rejected, 0);
    }
    EXPECT_TRUE(client().unfinished().list.empty());

    for (const char *cache : {"on", "off"}) {
        auto vars = inParts(env());
        vars["SITEMIRROR_DIGEST_CACHE"] = cache;
        ToolRun again = e2e::runTool("", vars);
        ASSERT_EQ(again.status, 0) << again.out;
        const std::set<std::string> sent = e2e::uploadedKeys(again.out);
        EXPECT_EQ(sent.count("media/big.mov"), 0u) << cache << "\n" << again.out;
        EXPECT_EQ(sent.count("personal/big.mov"), 0u) << cache << "\n" << again.out;
    }

    // Other bytes of the same size go up again.
    std::string changed = big;
    changed[6 * kMiB] ^= 1;
    site.write("media/big.mov", changed);
    ToolRun third = e2e::runTool("", inParts(env()));
    ASSERT_EQ(third.status, 0) << third.out;
    EXPECT_EQ(e2e::uploadedKeys(third.out).count("media/big.mov"), 1u) << third.out;
    EXPECT_TRUE(store->getObject(bucket, "media/big.mov").body == changed);
}

// A part whose connection drops is sent again alone; the others go once.
TEST(Parts, APartWhoseConnectionDropsIsRetriedAlone)
{
    harness::StoreOptions options;
    options.dropMidBodyKey = "big.mov";
    e2e::StoreRun run(options);
    const std::string big = patternBytes(12 * kMiB, 9);
    run.site.write("big.mov", big);
    run.store.resetCounters();
    ToolRun ok = run.mirror(inParts({}));
    ASSERT_EQ(ok.status, 0) << ok.out;
    EXPECT_TRUE(run.store.getObject(run.bucket, "big.mov").body == big);
    const std::string log = run.store.requestsJson();
    // The first part to arrive was dropped (parts go in any order): it alone
    // went twice.
    EXPECT_EQ(count(log, "big.mov?partNumber="), 4) << log;
    int nTwice = 0;
    for (int n = 1; n <= 3; ++n) {
        const int sent = count(log, "big.mov?partNumber=" + std::to_string(n) + "&");
        EXPECT_GE(sent, 1) << n;
        nTwice += sent == 2;
    }
    EXPECT_EQ(nTwice, 1) << log;
    EXPECT_NE(ok.out.find(": ConnectionFailed key:big.mov part "), std::string::npos) << ok.out;
    Client client(run.store.endpoint(), run.bucket, harness::kAccessKeyId, harness::kSecretAccessKey);
    EXPECT_TRUE(client.unfinished().list.empty());
}

// Parts the store keeps refusing fail the file, which is given up: nothing
// is stored and no unfinished upload is left.
TEST(Parts, RefusedPartsFailTheFileAndLeaveNoUnfinishedUpload)
{
    harness::StoreOptions options;
    options.slowDownPuts = -1;
    e2e::StoreRun run(options);
    run.site.write("big.mov", patternBytes(7 * kMiB, 2));
    auto vars = inParts({});
    vars["SITEMIRROR_RETRIES"] = "1";
    ToolRun failed = run.mirror(vars);
    EXPECT_EQ(failed.status, 1) << failed.out;
    EXPECT_NE(failed.out.find("upload in parts given up: big.mov\n"), std::string::npos) << failed.out;
    EXPECT_NE(failed.out.find("upload error: bucket: up.example key:big.mov path:"), std::string::npos)
        << failed.out;
    EXPECT_FALSE(run.store.getObject(run.bucket, "big.mov").exists);
    Client client(run.store.endpoint(), run.bucket, harness::kAccessKeyId, harness::kSecretAccessKey);
    Uploads left = client.unfinished();
    EXPECT_EQ(left.status, S3StatusOK);
    EXPECT_TRUE(left.list.empty());
}

// SIGTERM while a file's parts are being sent: the upload is given up, and
// the process then ends by the signal.
TEST(Parts, SigtermMidFileGivesTheUploadUp)
{
    harness::StoreOptions options;
    options.dropMidBodyKey = "big.mov";
    options.dropMidBodyTries = 1000; // the parts never get through
    e2e::StoreRun run(options);
    run.site.write("big.mov", patternBytes(11 * kMiB, 4));
    auto vars = inParts(run.site.env(run.bucket, "http://" + run.store.endpoint()));
    vars["SITEMIRROR_RETRIES"] = "10";
    std::vector<std::string> argv = {SITEMIRROR_BINARY};
    e2e::Spawned child = e2e::spawnReadingOutput(argv, vars);
    Client client(run.store.endpoint(), run.bucket, harness::kAccessKeyId, harness::kSecretAccessKey);
    bool bOpen = false;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!bOpen && std::chrono::steady_clock::now() < giveUp) {
        bOpen = !client.unfinished().list.empty();
        if (!bOpen)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(bOpen);
    ::kill(child.pid, SIGTERM);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(child.fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    ::close(child.fd);
    int status = 0;
    ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status << "\n" << out;
    EXPECT_NE(out.find("upload in parts given up: big.mov\n"), std::string::npos) << out;
    EXPECT_TRUE(client.unfinished().list.empty());
    EXPECT_FALSE(run.store.getObject(run.bucket, "big.mov").exists);
}

// moto dates every upload long ago, so an upload begun by another client
// counts as stale there: named in one line, given up only when asked, and
// only under the run's prefix.
TEST(Parts, StaleUploadsUnderThePrefixAreNamedAndGivenUpWhenAsked)
{
    e2e::StoreRun run;
    Client client(run.store.endpoint(), run.bucket, harness::kAccessKeyId, harness::kSecretAccessKey);
    ASSERT_EQ(client.begin("site/old.bin"), S3StatusOK);
    ASSERT_EQ(client.begin("other/keep.bin"), S3StatusOK);
    run.site.write("index.html", "<p>home</p>\n");
    ToolRun named = run.mirror({{"SITEMIRROR_PREFIX", "site/"}});
    EXPECT_EQ(named.status, 0) << named.out;
    EXPECT_NE(named.out.find("unfinished uploads older than a day: 1 (site/old.bin); "
                             "--abort-stale-uploads gives them up\n"),
              std::string::npos)
        << named.out;
    EXPECT_EQ(client.unfinished().list.size(), 2u);

    run.args = "--abort-stale-uploads";
    ToolRun aborted = run.mirror({{"SITEMIRROR_PREFIX", "site/"}});
    EXPECT_EQ(aborted.status, 0) << aborted.out;
    EXPECT_NE(aborted.out.find("unfinished uploads older than a day: 1 (site/old.bin); given up\n"),
              std::string::npos)
        << aborted.out;
    Uploads left = client.unfinished();
    ASSERT_EQ(left.list.size(), 1u);
    EXPECT_EQ(left.list[0].first, "other/keep.bin");
    ToolRun quiet = run.mirror({{"SITEMIRROR_PREFIX", "site/"}});
    EXPECT_EQ(quiet.out.find("unfinished uploads"), std::string::npos) << quiet.out;
}

} // namespace

namespace {

// An object the aws tool stored in parts (8 MiB, its default) holds the same
// bytes as the local file: the run leaves it alone without reading it back;
// one with other bytes of the same size goes up again.
TEST(Parts, AnObjectAnotherToolStoredInPartsIsRecognised)
{
    e2e::StoreRun run;
    const std::string big = patternBytes(17 * kMiB, 11);
    run.site.write("same.mov", big);
    run.site.write("other.mov", big);
    std::string other = big;
    other[kMiB] ^= 1;
    const std::string strOther = run.site.root() + "/../other-bytes.mov";
    {
        std::ofstream out(strOther, std::ios::binary);
        out << other;
    }
    const std::map<std::string, std::string> awsEnv = {
        {"AWS_ACCESS_KEY_ID", harness::kAccessKeyId},
        {"AWS_SECRET_ACCESS_KEY", harness::kSecretAccessKey},
        {"AWS_DEFAULT_REGION", "us-east-1"},
        {"AWS_CONFIG_FILE", "/dev/null"},
        {"AWS_SHARED_CREDENTIALS_FILE", "/dev/null"},
        {"AWS_EC2_METADATA_DISABLED", "true"}};
    const std::string aws = "aws --endpoint-url http://" + run.store.endpoint() + " s3 cp --only-show-errors ";
    std::string out, err;
    ASSERT_EQ(harness::runCommand(aws + e2e::quote(run.site.path("same.mov")) + " s3://" + run.bucket +
                                      "/same.mov",
                                  &out, &err, awsEnv),
              0)
        << err;
    ASSERT_EQ(harness::runCommand(aws + e2e::quote(strOther) + " s3://" + run.bucket + "/other.mov", &out,
                                  &err, awsEnv),
              0)
        << err;
    ASSERT_EQ(run.store.getObject(run.bucket, "same.mov").etag.substr(32), "-3");

    run.store.resetCounters();
    ToolRun mirror = run.mirror({{"SITEMIRROR_DIGEST_CACHE", "off"}});
    ASSERT_EQ(mirror.status, 0) << mirror.out;
    const std::set<std::string> sent = e2e::uploadedKeys(mirror.out);
    EXPECT_EQ(sent.count("same.mov"), 0u) << mirror.out;
    EXPECT_EQ(sent.count("other.mov"), 1u) << mirror.out;
    const std::string log = run.store.requestsJson();
    EXPECT_EQ(log.find("\"HEAD\", \"target\": \"/" + run.bucket + "/same.mov"), std::string::npos) << log;
    EXPECT_TRUE(run.store.getObject(run.bucket, "other.mov").body == big);
}

// A file under a compressing rule whose encoded body is over the threshold
// goes up in parts like any other, from the encoded bytes: a part whose
// connection drops is sent again with the same bytes, the object is the
// encoding of the file, and later runs leave it alone.
TEST(Parts, AnEncodedFileOverTheThresholdGoesUpInPartsOfItsEncodedBytes)
{
    harness::StoreOptions options;
    options.dropMidBodyKey = "data.bin";
    e2e::StoreRun run(options);
    const std::string plain = patternBytes(11 * kMiB, 4); // does not compress: three parts
    run.site.write("data.bin", plain);
    const std::string config = run.site.base() + "/rules.toml";
    std::ofstream(config) << "rules = [ { match = \"*.bin\", content_encoding = \"gzip\" } ]\n";
    auto vars = inParts({{"SITEMIRROR_CONFIG", config}});
    run.store.resetCounters();
    ToolRun first = run.mirror(vars);
    ASSERT_EQ(first.status, 0) << first.out;

    EncodedFile expected;
    ASSERT_TRUE(encodeBytes(plain, "gzip", expected));
    ASSERT_GT(expected.size, 10 * kMiB);
    const harness::StoredObject object = run.store.getObject(run.bucket, "data.bin");
    EXPECT_TRUE(object.body == expected.strBody);
    EXPECT_EQ(object.headers.at("content-encoding"), "gzip");
    EXPECT_EQ(object.headers.at("x-amz-meta-md5"), expected.strMd5Hex);
    EXPECT_EQ(object.etag.substr(object.etag.size() - 2), "-3") << object.etag;
    const std::string log = run.store.requestsJson();
    EXPECT_EQ(count(log, "data.bin?uploads\""), 1) << log;
    EXPECT_EQ(count(log, "data.bin?partNumber="), 4) << log; // one dropped and sent again
    Client client(run.store.endpoint(), run.bucket, harness::kAccessKeyId, harness::kSecretAccessKey);
    EXPECT_TRUE(client.unfinished().list.empty());

    for (const char *cache : {"on", "off"}) {
        vars["SITEMIRROR_DIGEST_CACHE"] = cache;
        ToolRun again = run.mirror(vars);
        ASSERT_EQ(again.status, 0) << again.out;
        EXPECT_EQ(e2e::uploadedKeys(again.out).count("data.bin"), 0u) << cache << "\n" << again.out;
    }
}

} // namespace
