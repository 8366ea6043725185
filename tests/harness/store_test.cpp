// Tests of the loopback store itself: the checking proxy accepts correctly
// signed requests and forwards them to moto, refuses the others with the
// store's error document, counts what it sees, and everything stops cleanly.
#include "harness.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
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
