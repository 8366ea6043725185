// The multi-object delete against the loopback store: the keys named go and
// the others stay, in both signature versions; awkward keys survive the XML;
// the request carries its digest; refusals are reported key by key; counts
// and keys the client cannot send end before anything is sent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "harness.h"
#include "wire_support.h"

using namespace wire;

namespace {

struct DeleteOutcome {
    Outcome outcome;
    std::vector<std::vector<std::string>> refused; // key, code, message
    S3Status refusedAnswer = S3StatusOK;
};

S3Status onRefused(const char *key, const char *code, const char *message, void *data)
{
    DeleteOutcome *d = static_cast<DeleteOutcome *>(data);
    d->refused.push_back({key, code, message});
    return d->refusedAnswer;
}

S3Status onDeleteProperties(const S3ResponseProperties *p, void *data)
{
    return onProperties(p, &static_cast<DeleteOutcome *>(data)->outcome);
}
void onDeleteComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    onComplete(status, details, &static_cast<DeleteOutcome *>(data)->outcome);
}

const S3DeleteObjectsHandler kDeleteHandler = {{&onDeleteProperties, &onDeleteComplete},
                                               &onRefused};

DeleteOutcome deleteKeys(const S3BucketContext &c, const std::vector<std::string> &keys,
                         S3Status refusedAnswer = S3StatusOK)
{
    std::vector<const char *> names;
    for (const std::string &key : keys)
        names.push_back(key.c_str());
    DeleteOutcome d;
    d.refusedAnswer = refusedAnswer;
    S3_delete_objects(&c, static_cast<int>(names.size()), names.data(), nullptr,
                      &kDeleteHandler, &d);
    return d;
}

class MultiDeleteWire : public StoreSuite {};

TEST_F(MultiDeleteWire, NamedKeysGoOthersStayInBothSignatureVersions)
{
    const std::vector<std::string> doomed = {
        "plain.html", "a&b<c>d\"e'f.txt", "with space/and+plus", "utf8-\xc3\xa4\xe6\x97\xa5",
        "50%off.html", "semi;colon=eq?q#h",
    };
    const std::vector<std::string> kept = {"keep.html", "plain.html.bak", "a&amp;b"};
    for (S3SignatureVersion version : {S3SignatureV2, S3SignatureV4}) {
        SCOPED_TRACE(version == S3SignatureV2 ? "v2" : "v4");
        const std::string bucket = version == S3SignatureV2 ? "multi-v2" : "multi-v4";
        store_->createBucket(bucket);
        Context kc(store_->endpoint(), bucket);
        S3BucketContext c = kc.get();
        c.signatureVersion = version;
        c.region = "us-east-1";
        for (const std::string &key : doomed)
            store_->putObject(bucket, key, "x");
        for (const std::string &key : kept)
            store_->putObject(bucket, key, "y");

        store_->resetCounters();
        // One key that is not there counts as deleted.
        std::vector<std::string> asked = doomed;
        asked.push_back("never-there");
        DeleteOutcome d = deleteKeys(c, asked);
        EXPECT_EQ(1, d.outcome.completes);
        EXPECT_EQ(S3StatusOK, d.outcome.status) << d.outcome.errorCode << " "
                                                << d.outcome.errorMessage;
        EXPECT_TRUE(d.refused.empty());
        harness::Counters counters = store_->counters();
        EXPECT_EQ(1, counters.requests);
        EXPECT_EQ(0, counters.rejected);
        for (const std::string &key : doomed)
            EXPECT_FALSE(store_->getObject(bucket, key).exists) << key;
        for (const std::string &key : kept)
            EXPECT_TRUE(store_->getObject(bucket, key).exists) << key;

        // The one request: POST on the bucket's ?delete, with its digest.
        const std::string log = store_->requestsJson();
        EXPECT_NE(std::string::npos, log.find("\"method\": \"POST\"")) << log;
        EXPECT_NE(std::string::npos, log.find("?delete")) << log;
        EXPECT_NE(std::string::npos, log.find("Content-MD5")) << log;
    }
}

TEST_F(MultiDeleteWire, AThousandKeysGoInOneRequestAndOneMoreIsRefusedUnsent)
{
    const std::string bucket = "multi-many";
    store_->createBucket(bucket);
    Context kc(store_->endpoint(), bucket);
    const S3BucketContext c = kc.get();
    std::vector<std::string> keys;
    for (int i = 0; i < S3_MAX_DELETE_OBJECTS_COUNT; ++i) {
        char sz[32];
        std::snprintf(sz, sizeof sz, "k/%04d", i);
        keys.push_back(sz);
    }
    store_->putObject(bucket, keys.front(), "a");
    store_->putObject(bucket, keys.back(), "b");

    std::vector<std::string> tooMany = keys;
    tooMany.push_back("k/extra");
    store_->resetCounters();
    DeleteOutcome over = deleteKeys(c, tooMany);
    EXPECT_EQ(1, over.outcome.completes);
    EXPECT_EQ(S3StatusInternalError, over.outcome.status);
    EXPECT_FALSE(over.outcome.hadErrorDetails);
    EXPECT_EQ(0, store_->counters().requests);
    EXPECT_TRUE(store_->getObject(bucket, keys.front()).exists);

    DeleteOutcome d = deleteKeys(c, keys);
    EXPECT_EQ(S3StatusOK, d.outcome.status) << d.outcome.errorCode;
    EXPECT_EQ(1, store_->counters().requests);
    EXPECT_FALSE(store_->getObject(bucket, keys.front()).exists);
    EXPECT_FALSE(store_->getObject(bucket, keys.back()).exists);
}

TEST_F(MultiDeleteWire, WhatTheClientCannotSendEndsBeforeARequest)
{
    Context kc(store_->endpoint(), "multi-unsent");
    const S3BucketContext c = kc.get();
    const struct {
        const char *name;
        std::vector<std::string> keys;
        S3Status status;
    } cases[] = {
        {"no keys", {}, S3StatusInternalError},
        {"an empty key", {"a", ""}, S3StatusInternalError},
        {"a key past the limit", {"a", std::string(S3_MAX_KEY_SIZE + 1, 'k')}, S3StatusKeyTooLong},
    };
    store_->resetCounters();
    for (const auto &tc : cases) {
        SCOPED_TRACE(tc.name);
        DeleteOutcome d = deleteKeys(c, tc.keys);
        EXPECT_EQ(1, d.outcome.completes);
        EXPECT_EQ(tc.status, d.outcome.status);
        EXPECT_FALSE(d.outcome.hadErrorDetails);
    }
    EXPECT_EQ(0, store_->counters().requests);
}

// A store's answer, served as it is written here.
std::string answerFile(const std::string &name, const std::string &xml)
{
    const std::string path = "/tmp/multi-delete-" + std::to_string(::getpid()) + "-" + name;
    std::ofstream(path, std::ios::trunc) << xml;
    return path;
}

TEST_F(MultiDeleteWire, EachRefusedKeyIsReportedAndAnErrorIn200IsAFailure)
{
    const std::string refusals = answerFile(
        "refused.xml",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<DeleteResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
        "<Error><Key>locked &amp; kept.html</Key><Code>AccessDenied</Code>"
        "<Message>Access Denied</Message></Error>"
        "<Deleted><Key>gone.html</Key></Deleted>"
        "<Error><Key>second</Key><Code>InternalError</Code></Error>"
        "</DeleteResult>");
    {
        harness::FaultServer server("status:200:" + refusals);
        Context kc(server.endpoint(), "bucket");
        DeleteOutcome d = deleteKeys(kc.get(), {"locked & kept.html", "gone.html", "second"});
        EXPECT_EQ(1, d.outcome.completes);
        EXPECT_EQ(S3StatusOK, d.outcome.status);
        ASSERT_EQ(2u, d.refused.size());
        EXPECT_EQ((std::vector<std::string>{"locked & kept.html", "AccessDenied", "Access Denied"}),
                  d.refused[0]);
        EXPECT_EQ((std::vector<std::string>{"second", "InternalError", ""}), d.refused[1]);

        // A refused-key callback that stops makes its status the operation's.
        DeleteOutcome stopped = deleteKeys(kc.get(), {"x"}, S3StatusAbortedByCallback);
        EXPECT_EQ(S3StatusAbortedByCallback, stopped.outcome.status);
        EXPECT_EQ(1u, stopped.refused.size());
    }
    const std::string error = answerFile(
        "error.xml", "<?xml version=\"1.0\"?><Error><Code>InternalError</Code>"
                     "<Message>We encountered an internal error.</Message></Error>");
    const std::string cut = answerFile(
        "cut.xml", "<DeleteResult><Error><Key>a</Key><Code>AccessDenied</Code></Error>");
    const std::string ok = answerFile("ok.xml", "<ok/>");
    const std::string portal = answerFile(
        "portal.xml", "<html><body><p>Sign in to the network to continue</p></body></html>");
    const struct {
        const char *name;
        std::string file;
        S3Status status;
    } failures[] = {
        {"an Error document in a 200", error, S3StatusErrorInternalError},
        {"a document cut short", cut, S3StatusXmlParseFailure},
        // A 200 that is no DeleteResult reports nothing: never "all deleted".
        {"another document", ok, S3StatusXmlParseFailure},
        {"a portal's page", portal, S3StatusXmlParseFailure},
    };
    for (const auto &tc : failures) {
        SCOPED_TRACE(tc.name);
        harness::FaultServer server("status:200:" + tc.file);
        Context kc(server.endpoint(), "bucket");
        DeleteOutcome d = deleteKeys(kc.get(), {"a"});
        EXPECT_EQ(1, d.outcome.completes);
        EXPECT_EQ(tc.status, d.outcome.status);
    }
    std::remove(refusals.c_str());
    std::remove(error.c_str());
    std::remove(cut.c_str());
    std::remove(ok.c_str());
    std::remove(portal.c_str());
}

} // namespace
