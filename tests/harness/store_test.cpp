// Tests of the loopback store itself: the checking proxy accepts correctly
// signed requests (version 2 signed here by hand, version 4 by the aws
// command-line tool) and forwards them to moto, refuses the others with the
// store's error document, behaves like today's stores in each of its modes,
// counts what it sees, and everything stops cleanly.
#include "harness.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

std::string base64(const unsigned char *data, unsigned len) {
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]), data, static_cast<int>(len));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string signature(const std::string &stringToSign, const std::string &secret) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char *>(stringToSign.data()), stringToSign.size(), digest,
         &len);
    return base64(digest, len);
}

std::string amzDate() {
    char buf[64];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buf;
}

// A curl command line for one signed request through the proxy.
struct Signed {
    std::string method = "GET";
    std::string resource;          // canonical resource = raw path here (path style)
    std::string contentType;
    std::string contentMd5;        // sent and signed when not empty
    std::string extraAmz;          // canonical x-amz lines besides the date, each ending "\n"
    std::string extraHeaders;      // curl -H options matching extraAmz
    std::string secret = harness::kSecretAccessKey;
    std::string keyId = harness::kAccessKeyId;

    std::string command(const harness::Store &store, const std::string &curlOptions = "") const {
        std::string date = amzDate();
        std::vector<std::string> lines{"x-amz-date:" + date + "\n"};
        for (size_t at = 0, nl; (nl = extraAmz.find('\n', at)) != std::string::npos; at = nl + 1)
            lines.push_back(extraAmz.substr(at, nl + 1 - at));
        std::sort(lines.begin(), lines.end());
        std::string sts = method + "\n" + contentMd5 + "\n" + contentType + "\n\n";
        for (const auto &line : lines)
            sts += line;
        sts += resource;
        std::string cmd = "curl -sS --path-as-is -X " + method + " -H 'x-amz-date: " + date +
                          "' -H 'Authorization: AWS " + keyId + ":" + signature(sts, secret) +
                          "' " + extraHeaders + " ";
        // An empty Content-Type option keeps curl from adding its form content type.
        cmd += "-H 'Content-Type: " + contentType + "' ";
        if (!contentMd5.empty())
            cmd += "-H 'Content-MD5: " + contentMd5 + "' ";
        return cmd + curlOptions + " 'http://" + store.endpoint() + resource + "'";
    }
};

std::string md5Base64(const std::string &data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr);
    return base64(digest, len);
}

bool processGone(int pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

class StoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { store_ = new harness::Store(); store_->createBucket("harness-b"); }
    static void TearDownTestSuite() {
        delete store_;
        store_ = nullptr;
    }
    void SetUp() override { store_->resetCounters(); }

    int run(const std::string &cmd, std::string *out, std::string *err = nullptr) {
        std::string e;
        int rc = harness::runCommand(cmd, out, err ? err : &e, {}, 60);
        return rc;
    }
    static harness::Store *store_;
};
harness::Store *StoreTest::store_ = nullptr;

TEST_F(StoreTest, SignedUploadReachesMotoWithItsHeaders) {
    Signed put;
    put.method = "PUT";
    put.resource = "/harness-b/dir/a%20b%2Bc.html";
    put.contentType = "text/html";
    put.extraAmz = "x-amz-acl:public-read\nx-amz-meta-note:spaced out\n"
                   "x-amz-storage-class:REDUCED_REDUNDANCY\n";
    put.extraHeaders = "-H 'X-Amz-Storage-Class: REDUCED_REDUNDANCY' -H 'x-amz-acl: public-read' "
                       "-H 'X-Amz-Meta-Note:  spaced out '";
    std::string out, err;
    ASSERT_EQ(0, run(put.command(*store_, "-w '%{http_code}' --data-binary '<p>hi</p>'"), &out, &err))
        << err;
    EXPECT_EQ("200", out);

    harness::StoredObject o = store_->getObject("harness-b", "dir/a b+c.html");
    ASSERT_TRUE(o.exists);
    EXPECT_EQ("<p>hi</p>", o.body);
    EXPECT_EQ("text/html", o.contentType);
    EXPECT_EQ("REDUCED_REDUNDANCY", o.storageClass);
    EXPECT_EQ("343fc7b27c1b966b623aa483c880210c", o.etag); // MD5 of the body
    EXPECT_TRUE(store_->isPublicRead("harness-b", "dir/a b+c.html"));
    EXPECT_EQ(1u, o.headers.count("x-amz-meta-note"));

    harness::Counters c = store_->counters();
    EXPECT_EQ(1, c.connections);
    EXPECT_EQ(1, c.requests);
    EXPECT_EQ(1, c.puts);
    EXPECT_EQ(0, c.rejected);
}

TEST_F(StoreTest, WrongSignaturesAreRefusedWithTheErrorDocumentAndNotForwarded) {
    struct Case {
        const char *what;
        Signed request;
        const char *code;
    };
    Signed badSecret;
    badSecret.method = "PUT";
    badSecret.resource = "/harness-b/refused";
    badSecret.secret = "not-the-secret";
    Signed unsignedHeader = badSecret; // x-amz header sent but left out of the signature
    unsignedHeader.secret = harness::kSecretAccessKey;
    unsignedHeader.extraHeaders = "-H 'x-amz-acl: public-read'";
    Signed otherKey = unsignedHeader;
    otherKey.extraHeaders.clear();
    otherKey.keyId = "AKIAOTHERKEY";
    const Case cases[] = {
        {"wrong secret", badSecret, "SignatureDoesNotMatch"},
        {"unsigned x-amz header", unsignedHeader, "SignatureDoesNotMatch"},
        {"unknown key id", otherKey, "InvalidAccessKeyId"},
    };
    int rejected = 0;
    for (const Case &c : cases) {
        std::string out;
        ASSERT_EQ(0, run(c.request.command(*store_, "-w '\n%{http_code}' --data-binary x"), &out))
            << c.what;
        EXPECT_NE(std::string::npos, out.find("<Code>" + std::string(c.code) + "</Code>"))
            << c.what << ": " << out;
        EXPECT_EQ("403", out.substr(out.size() - 3)) << c.what;
        ++rejected;
    }
    // The encoded path is signed as sent: "%66" stays "%66", so signing "f" fails.
    {
        std::string date = amzDate();
        std::string sts = "PUT\n\n\n\nx-amz-date:" + date + "\n/harness-b/refused";
        std::string cmd = "curl -sS --path-as-is -X PUT --data-binary x -w '\n%{http_code}' "
                          "-H 'Content-Type:' -H 'x-amz-date: " + date + "' -H 'Authorization: AWS " +
                          std::string(harness::kAccessKeyId) + ":" +
                          signature(sts, harness::kSecretAccessKey) + "' 'http://" +
                          store_->endpoint() + "/harness-b/re%66used'";
        std::string out;
        ASSERT_EQ(0, run(cmd, &out));
        EXPECT_NE(std::string::npos, out.find("<StringToSign>PUT\n\n\n\nx-amz-date:" + date +
                                              "\n/harness-b/re%66used</StringToSign>"))
            << out;
        ++rejected;
    }
    EXPECT_FALSE(store_->getObject("harness-b", "refused").exists);
    harness::Counters c = store_->counters();
    EXPECT_EQ(rejected, c.rejected);
    EXPECT_EQ(rejected, c.requests);
}

TEST_F(StoreTest, RefusalBeforeContinueNeverReadsTheBody) {
    Signed put;
    put.method = "PUT";
    put.resource = "/harness-b/big";
    put.secret = "wrong";
    // 4 MiB announced with Expect: the 403 comes instead of 100 Continue.
    std::string out, err;
    ASSERT_EQ(0, run("head -c 4194304 /dev/zero | " +
                         put.command(*store_, "-H 'Expect: 100-continue' -w '\n%{http_code} "
                                              "%{size_upload}' --data-binary @-"),
                     &out, &err))
        << err;
    EXPECT_NE(std::string::npos, out.find("<Code>SignatureDoesNotMatch</Code>")) << out;
    EXPECT_NE(std::string::npos, out.find("\n403 0")) << out;
}

// moto keeps whatever Content-MD5 it is sent; the proxy holds the body to it as
// the real store does, so a client whose digest is not that of its bytes fails.
TEST_F(StoreTest, ContentMd5IsCheckedAgainstTheBodyBeforeAnythingIsStored) {
    const std::string body = "<p>the bytes sent</p>";
    const std::string fifteen = base64(reinterpret_cast<const unsigned char *>("123456789012345"), 15);
    struct Case {
        const char *what;
        std::string md5;
        std::string curlOptions; // besides the body
        const char *status;      // "200" or the error code
        const char *sizeUpload;  // body bytes curl sent, "" for any
    };
    const Case cases[] = {
        {"right digest", md5Base64(body), "", "200", ""},
        {"digest of other bytes", md5Base64("<p>other bytes</p>"), "", "BadDigest", ""},
        {"not base64", "not*base64==", "", "InvalidDigest", ""},
        {"base64 of 15 bytes", fifteen, "", "InvalidDigest", ""},
        {"hex instead of base64", "343fc7b27c1b966b623aa483c880210c", "", "InvalidDigest", ""},
        // A malformed digest is refused before 100 Continue; a wrong one only
        // shows once the body has been read.
        {"malformed, waiting to continue", "xx", "-H 'Expect: 100-continue'", "InvalidDigest",
         "0"},
        {"wrong, waiting to continue", md5Base64("x"), "-H 'Expect: 100-continue'", "BadDigest",
         "21"},
        {"right, waiting to continue", md5Base64(body), "-H 'Expect: 100-continue'", "200",
         "21"},
    };
    int refused = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Signed put;
        put.method = "PUT";
        put.resource = "/harness-b/md5/" + std::to_string(&c - cases);
        put.contentMd5 = c.md5;
        std::string out, err;
        ASSERT_EQ(0, run(put.command(*store_, c.curlOptions + " -w '\n%{http_code} %{size_upload}' "
                                              "--data-binary '" + body + "'"),
                         &out, &err))
            << err;
        const std::string tail = out.substr(out.rfind('\n') + 1);
        const std::string sent = tail.substr(tail.find(' ') + 1);
        if (*c.sizeUpload) {
            EXPECT_EQ(c.sizeUpload, sent);
        }
        harness::StoredObject o = store_->getObject("harness-b", put.resource.substr(11));
        if (std::string(c.status) == "200") {
            EXPECT_EQ("200", tail.substr(0, 3)) << out;
            ASSERT_TRUE(o.exists);
            EXPECT_EQ(body, o.body);
            continue;
        }
        ++refused;
        EXPECT_EQ("400", tail.substr(0, 3)) << out;
        EXPECT_NE(std::string::npos, out.find("<Code>" + std::string(c.status) + "</Code>")) << out;
        const std::string message = std::string(c.status) == "BadDigest"
                                        ? "The Content-MD5 you specified did not match what was "
                                          "received."
                                        : "The Content-MD5 you specified was invalid.";
        EXPECT_NE(std::string::npos, out.find("<Message>" + message + "</Message>")) << out;
        if (std::string(c.status) == "BadDigest") {
            EXPECT_NE(std::string::npos,
                      out.find("<CalculatedDigest>" + md5Base64(body) + "</CalculatedDigest>"))
                << out;
        }
        EXPECT_FALSE(o.exists);
    }
    harness::Counters counters = store_->counters();
    EXPECT_EQ(refused, counters.rejected);
    EXPECT_EQ(static_cast<int>(sizeof cases / sizeof cases[0]), counters.puts);
}

// The body is spooled to check its digest: a large one still arrives intact,
// and a refused one leaves the connection usable for the next request.
TEST_F(StoreTest, LargeBodiesWithContentMd5AreForwardedWhole) {
    const std::string file = ::testing::TempDir() + "md5-large.bin";
    std::string out, err;
    ASSERT_EQ(0, run("head -c 48000000 /dev/urandom > '" + file + "'", &out, &err)) << err;
    ASSERT_EQ(0, run("openssl dgst -md5 -binary '" + file + "' | base64", &out, &err)) << err;
    Signed put;
    put.method = "PUT";
    put.resource = "/harness-b/md5-large";
    put.contentMd5 = out.substr(0, out.find('\n'));
    ASSERT_EQ(0, run(put.command(*store_, "-w '%{http_code}' --data-binary @'" + file + "'"), &out,
                     &err))
        << err;
    EXPECT_EQ("200", out);
    harness::StoredObject o = store_->getObject("harness-b", "md5-large");
    ASSERT_TRUE(o.exists);
    EXPECT_EQ(48000000u, o.body.size());
    ASSERT_EQ(0, run("md5sum < '" + file + "'", &out, &err)) << err;
    EXPECT_EQ(out.substr(0, 32), o.etag);

    // A wrong digest, then a plain request on the same connection.
    Signed wrong = put;
    wrong.resource = "/harness-b/md5-large-wrong";
    wrong.contentMd5 = md5Base64("something else");
    Signed list;
    list.resource = "/harness-b/";
    store_->resetCounters();
    std::string cmd = wrong.command(*store_, "-o /dev/null -w '%{http_code} ' --data-binary @'" +
                                                 file + "'") +
                      " --next " + list.command(*store_, "-o /dev/null -w '%{http_code}'").substr(5);
    ASSERT_EQ(0, run(cmd, &out, &err)) << err;
    EXPECT_EQ("400 200", out);
    EXPECT_FALSE(store_->getObject("harness-b", "md5-large-wrong").exists);
    harness::Counters c = store_->counters();
    EXPECT_EQ(1, c.connections);
    EXPECT_EQ(2, c.requests);
    EXPECT_EQ(1, c.rejected);
    std::remove(file.c_str());
}

TEST_F(StoreTest, KeepAliveConnectionsAreCountedOnce) {
    Signed get;
    get.resource = "/harness-b/";
    std::string one = get.command(*store_, "-o /dev/null -w '%{http_code} '");
    // curl reuses its connection for the second URL of the same command line.
    std::string cmd = one + " 'http://" + store_->endpoint() + "/harness-b/'";
    std::string out;
    ASSERT_EQ(0, run(cmd, &out));
    harness::Counters c = store_->counters();
    EXPECT_EQ(1, c.connections);
    EXPECT_EQ(2, c.requests);
    EXPECT_EQ(0, c.puts);
}

// ---- version 4, signed independently by the aws command-line tool

std::map<std::string, std::string> awsEnv(const std::string &region = "us-east-1",
                                          const std::string &secret = harness::kSecretAccessKey) {
    return {{"AWS_ACCESS_KEY_ID", harness::kAccessKeyId},
            {"AWS_SECRET_ACCESS_KEY", secret},
            {"AWS_DEFAULT_REGION", region},
            {"AWS_CONFIG_FILE", "/dev/null"},
            {"AWS_SHARED_CREDENTIALS_FILE", "/dev/null"},
            {"AWS_EC2_METADATA_DISABLED", "true"},
            {"AWS_MAX_ATTEMPTS", "1"}};
}

std::string awsCommand(const harness::Store &store, bool tls, const std::string &args) {
    return "aws --endpoint-url " + std::string(tls ? "https://" : "http://") + store.endpoint() +
           (tls ? " --ca-bundle '" + store.caFile() + "'" : "") + " " + args;
}

std::string randomFile(const std::string &name, int bytes) {
    const std::string path = ::testing::TempDir() + name;
    std::string out, err;
    harness::runCommand("head -c " + std::to_string(bytes) + " /dev/urandom > '" + path + "'", &out,
                        &err);
    return path;
}

std::string readAll(const std::string &path) {
    std::string out, err;
    harness::runCommand("cat '" + path + "'", &out, &err);
    return out;
}

// Plain HTTP: the tool signs the payload's SHA-256. HTTPS: it sends an aws-chunked
// body with a CRC32 trailer, which the proxy decodes before moto stores it.
TEST(StoreV4, RequestsSignedByTheAwsToolAreCheckedAndStoredIntact) {
    const std::string file = randomFile("aws-upload.bin", 300000);
    const std::string body = readAll(file);
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        harness::StoreOptions options;
        options.tls = tls;
        harness::Store store(options);
        store.createBucket("harness-v4");
        std::string out, err;
        ASSERT_EQ(0, harness::runCommand(awsCommand(store, tls, "s3 cp '" + file +
                                                                 "' 's3://harness-v4/dir/a b+c.bin'"),
                                         &out, &err, awsEnv()))
            << err;
        ASSERT_EQ(0, harness::runCommand(
                         awsCommand(store, tls, "s3api put-object --bucket harness-v4 --key "
                                                "'x/50%off ü.txt' --storage-class STANDARD "
                                                "--body '" + file + "'"),
                         &out, &err, awsEnv()))
            << err;
        ASSERT_EQ(0, harness::runCommand(awsCommand(store, tls, "s3 ls s3://harness-v4/dir/"), &out,
                                         &err, awsEnv()))
            << err;
        EXPECT_NE(std::string::npos, out.find("300000 a b+c.bin")) << out;
        const std::string back = ::testing::TempDir() + "aws-download.bin";
        ASSERT_EQ(0, harness::runCommand(awsCommand(store, tls, "s3 cp 's3://harness-v4/dir/a b+c.bin' '" +
                                                                 back + "'"),
                                         &out, &err, awsEnv()))
            << err;
        EXPECT_TRUE(readAll(back) == body);
        for (const char *key : {"dir/a b+c.bin", "x/50%off ü.txt"}) {
            harness::StoredObject o = store.getObject("harness-v4", key);
            ASSERT_TRUE(o.exists) << key;
            EXPECT_TRUE(o.body == body) << key << ": " << o.body.size() << " bytes stored";
        }
        EXPECT_EQ(0, store.counters().rejected);
        const std::string log = store.requestsJson();
        EXPECT_NE(std::string::npos, log.find("AWS4-HMAC-SHA256 Credential=")) << log;
        if (tls) {
            EXPECT_NE(std::string::npos, log.find("STREAMING-UNSIGNED-PAYLOAD-TRAILER")) << log;
        }

        // The same tool with another secret is refused, and nothing is stored.
        store.resetCounters();
        EXPECT_NE(0, harness::runCommand(awsCommand(store, tls, "s3 cp '" + file +
                                                                 "' s3://harness-v4/refused"),
                                         &out, &err, awsEnv("us-east-1", "wrong-secret")));
        EXPECT_NE(std::string::npos, err.find("SignatureDoesNotMatch")) << err;
        EXPECT_FALSE(store.getObject("harness-v4", "refused").exists);
        EXPECT_GE(store.counters().rejected, 1);
    }
    std::remove(file.c_str());
}

// ---- store modes: each refusal is the store's own error document

void expectErrorDocument(const std::string &out, const std::string &status, const std::string &code,
                         const std::string &message, const std::string &extra) {
    const std::string tail = out.substr(out.rfind('\n') + 1);
    EXPECT_EQ(status, tail) << out;
    const std::string doc = "<Error><Code>" + code + "</Code><Message>" + message + "</Message>";
    EXPECT_NE(std::string::npos, out.find(doc)) << out;
    if (!extra.empty()) {
        EXPECT_NE(std::string::npos, out.find(extra)) << out;
    }
    EXPECT_NE(std::string::npos, out.find("</Resource><RequestId>")) << out;
    EXPECT_NE(std::string::npos, out.find("</RequestId><HostId>")) << out;
}

Signed signedPut(const std::string &resource, const std::string &amzHeaders = "") {
    Signed put;
    put.method = "PUT";
    put.resource = resource;
    put.extraAmz = amzHeaders;
    for (size_t at = 0, nl; (nl = amzHeaders.find('\n', at)) != std::string::npos; at = nl + 1)
        put.extraHeaders += "-H '" + amzHeaders.substr(at, nl - at) + "' ";
    return put;
}

const char *const kWithStatus = "-w '\n%{http_code}' --data-binary 'some bytes'";

TEST(StoreModes, EachModeRefusesWhatThatStoreRefusesAndAcceptsTheRest) {
    using Command = std::function<std::string(const harness::Store &)>;
    auto v2 = [](const std::string &resource, const std::string &amz) {
        return Command([=](const harness::Store &s) {
            return signedPut(resource, amz).command(s, kWithStatus);
        });
    };
    // A version 4 credential for us-east-1 (its signature is never reached).
    Command v4East = [](const harness::Store &s) {
        return std::string("curl -sS -X PUT --data-binary x -w '\n%{http_code}' -H 'Content-Type:' "
                           "-H 'x-amz-date: 20260101T000000Z' -H 'x-amz-content-sha256: "
                           "UNSIGNED-PAYLOAD' -H 'Authorization: AWS4-HMAC-SHA256 Credential=") +
               harness::kAccessKeyId + "/20260101/us-east-1/s3/aws4_request, SignedHeaders=host;"
                                       "x-amz-content-sha256;x-amz-date, Signature=00' 'http://" +
               s.endpoint() + "/harness-m/k'";
    };
    // Signed by the tool for the region of the case.
    Command awsPut = [](const harness::Store &s) {
        return awsCommand(s, false, "s3api put-object --bucket harness-m --key ok") +
               " >/dev/null && printf '\\n200'";
    };
    struct Case {
        const char *what;
        harness::StoreOptions options;
        Command refused;
        const char *status, *code, *message, *extra;
        Command accepted; // empty: the mode refuses everything
        std::string region;
    };
    harness::StoreOptions refuseV2, noAcls, standardOnly, r2, redirect, euWest;
    refuseV2.refuseV2 = true;
    noAcls.aclsDisabled = true;
    standardOnly.storageClasses = {"STANDARD", "STANDARD_IA"};
    r2 = standardOnly;
    r2.storageClassNotImplemented = true;
    redirect.redirectEndpoint = "harness-m.s3.eu-west-1.amazonaws.com";
    euWest.region = "eu-west-1";
    const Case cases[] = {
        {"V2 refused", refuseV2, v2("/harness-m/k", ""), "400", "InvalidRequest",
         "The authorization mechanism you have provided is not supported. Please use "
         "AWS4-HMAC-SHA256.",
         "", awsPut, "us-east-1"},
        {"ACLs disabled", noAcls, v2("/harness-m/k", "x-amz-acl:public-read\n"), "400",
         "AccessControlListNotSupported", "The bucket does not allow ACLs", "",
         v2("/harness-m/ok", ""), ""},
        {"unknown storage class", standardOnly,
         v2("/harness-m/k", "x-amz-storage-class:REDUCED_REDUNDANCY\n"), "400",
         "InvalidStorageClass", "The storage class you specified is not valid",
         "<StorageClassRequested>REDUCED_REDUNDANCY</StorageClassRequested>",
         v2("/harness-m/ok", "x-amz-storage-class:STANDARD_IA\n"), ""},
        {"unknown storage class, as R2 answers", r2,
         v2("/harness-m/k", "x-amz-storage-class:REDUCED_REDUNDANCY\n"), "501", "NotImplemented",
         "A header you provided implies functionality that is not implemented",
         "<Header>x-amz-storage-class</Header>", v2("/harness-m/ok", ""), ""},
        {"permanent redirect", redirect, v2("/harness-m/k", ""), "301", "PermanentRedirect",
         "The bucket you are attempting to access must be addressed using the specified "
         "endpoint. Please send all future requests to this endpoint.",
         "<Bucket>harness-m</Bucket><Endpoint>harness-m.s3.eu-west-1.amazonaws.com</Endpoint>",
         nullptr, ""},
        {"credential for another region", euWest, v4East, "400", "AuthorizationHeaderMalformed",
         "The authorization header is malformed; the region 'us-east-1' is wrong; expecting "
         "'eu-west-1'",
         "<Region>eu-west-1</Region>", awsPut, "eu-west-1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        harness::Store store(c.options);
        store.createBucket("harness-m");
        std::string out, err;
        ASSERT_EQ(0, harness::runCommand(c.refused(store), &out, &err)) << err;
        expectErrorDocument(out, c.status, c.code, c.message, c.extra);
        EXPECT_FALSE(store.getObject("harness-m", "k").exists);
        EXPECT_EQ(1, store.counters().rejected);
        if (!c.accepted)
            continue;
        store.resetCounters();
        const auto env = awsEnv(c.region.empty() ? "us-east-1" : c.region);
        ASSERT_EQ(0, harness::runCommand(c.accepted(store), &out, &err, env)) << err;
        EXPECT_EQ("200", out.substr(out.rfind('\n') + 1)) << out;
        EXPECT_TRUE(store.getObject("harness-m", "ok").exists);
        EXPECT_EQ(0, store.counters().rejected) << store.requestsJson();
    }
}

TEST(StoreModes, SlowDownAnswersTheFirstTriesOfEachKey) {
    struct Case {
        int slowDownPuts;
        std::vector<std::string> statuses; // of successive PUTs of one key
    };
    const Case cases[] = {{2, {"503", "503", "200", "200"}}, {-1, {"503", "503", "503", "503"}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.slowDownPuts);
        harness::StoreOptions options;
        options.slowDownPuts = c.slowDownPuts;
        harness::Store store(options);
        store.createBucket("harness-s");
        std::string out, err;
        for (const std::string &expected : c.statuses) {
            ASSERT_EQ(0, harness::runCommand(signedPut("/harness-s/a").command(store, kWithStatus),
                                             &out, &err))
                << err;
            if (expected == "503")
                expectErrorDocument(out, "503", "SlowDown", "Please reduce your request rate.", "");
            else
                EXPECT_EQ("200", out.substr(out.rfind('\n') + 1)) << out;
        }
        EXPECT_EQ(c.slowDownPuts >= 0, store.getObject("harness-s", "a").exists);
        // Tries are counted per key, and reading is never slowed down.
        ASSERT_EQ(0, harness::runCommand(signedPut("/harness-s/b").command(store, kWithStatus),
                                         &out, &err));
        EXPECT_EQ("503", out.substr(out.rfind('\n') + 1)) << out;
        Signed list;
        list.resource = "/harness-s/";
        ASSERT_EQ(0, harness::runCommand(list.command(store, "-o /dev/null -w '%{http_code}'"), &out,
                                         &err));
        EXPECT_EQ("200", out);
    }
}

TEST(StoreModes, FirstPutOfTheDropKeyIsCutOffMidBody) {
    harness::StoreOptions options;
    options.dropMidBodyKey = "cut here.bin";
    harness::Store store(options);
    store.createBucket("harness-d");
    const std::string file = randomFile("drop-body.bin", 200000);
    Signed put = signedPut("/harness-d/cut%20here.bin");
    const std::string cmd = put.command(store, "-w '%{http_code} %{size_upload}' --data-binary @'" +
                                                   file + "'");
    std::string out, err;
    int rc = harness::runCommand(cmd, &out, &err);
    EXPECT_TRUE(rc == 52 || rc == 55 || rc == 56) << rc << " " << out << err; // no answer
    EXPECT_FALSE(store.getObject("harness-d", "cut here.bin").exists);
    ASSERT_EQ(0, harness::runCommand(cmd, &out, &err)) << err;
    EXPECT_EQ("200 200000", out);
    harness::StoredObject o = store.getObject("harness-d", "cut here.bin");
    EXPECT_TRUE(o.exists && o.body == readAll(file));
    std::remove(file.c_str());
}

// Three requests whose bodies are held back until the proxy has all three heads:
// the most in flight at once is three, and a reset starts again from what is open.
TEST(StoreModes, RequestsInFlightAtOnceAreCounted) {
    harness::Store store;
    std::string out, err;
    const std::string script = "python3 - " + store.endpoint() + R"( <<'PY'
import json, socket, sys, time, urllib.request
host, port = sys.argv[1].split(':')
def max_in_flight():
    with urllib.request.urlopen('http://%s/__harness__/counters' % sys.argv[1]) as r:
        return json.load(r)['max_in_flight']
socks = []
for i in range(3):
    s = socket.create_connection((host, int(port)))
    s.sendall(b'PUT /b/k%d HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\n' % i)
    socks.append(s)
deadline = time.monotonic() + 20
while max_in_flight() < 3 and time.monotonic() < deadline:
    time.sleep(0.02)
for s in socks:
    s.sendall(b'x')
print(' '.join(s.recv(12).decode().split(' ')[1] for s in socks))
PY)";
    ASSERT_EQ(0, harness::runCommand(script, &out, &err)) << err;
    EXPECT_EQ("403 403 403\n", out); // unsigned: refused once the body has been read
    harness::Counters c = store.counters();
    EXPECT_EQ(3, c.maxInFlight);
    EXPECT_EQ(3, c.requests);
    store.resetCounters();
    EXPECT_EQ(0, store.counters().maxInFlight);
}

TEST(StoreLifecycle, StopsEveryProcessItStarted) {
    std::vector<int> pids;
    {
        harness::Store store;
        pids = store.pids();
        ASSERT_EQ(2u, pids.size());
        for (int pid : pids)
            EXPECT_FALSE(processGone(pid)) << pid;
    }
    for (int pid : pids)
        EXPECT_TRUE(processGone(pid)) << pid;
}

TEST(StoreLifecycle, TlsProxyCertificateVerifiesAgainstItsCa) {
    harness::StoreOptions options;
    options.tls = true;
    harness::Store store(options);
    store.createBucket("harness-tls");
    Signed get;
    get.resource = "/harness-tls/";
    std::string cmd = get.command(store, "-o /dev/null -w '%{http_code}' --cacert '" +
                                             store.caFile() + "'");
    cmd.replace(cmd.find("'http://"), 8, "'https://");
    std::string out, err;
    ASSERT_EQ(0, harness::runCommand(cmd, &out, &err)) << err;
    EXPECT_EQ("200", out);
    // And without the CA the same certificate is refused.
    std::string plain = "curl -sS -o /dev/null https://" + store.endpoint() + "/";
    EXPECT_NE(0, harness::runCommand(plain, &out, &err));
    EXPECT_EQ(1, store.counters().requests);
}

TEST(RunCommand, ExitStatusOutputEnvironmentAndTimeout) {
    std::string out, err;
    EXPECT_EQ(3, harness::runCommand("echo \"$HARNESS_X\"; echo e >&2; exit 3", &out, &err,
                                     {{"HARNESS_X", "value"}}));
    EXPECT_EQ("value\n", out);
    EXPECT_EQ("e\n", err);
    EXPECT_EQ(-1, harness::runCommand("sleep 30", &out, &err, {}, 1));
    EXPECT_EQ(128 + SIGTERM, harness::runCommand("kill -TERM $$", &out, &err));
}

} // namespace
