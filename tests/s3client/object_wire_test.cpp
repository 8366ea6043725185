// Object operations against the loopback store: what is put comes back, the
// store keeps the headers it was sent, and every failure the store can give
// ends in one complete callback with the right status.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <set>

#include "harness.h"
#include "request.h"
#include "util.h"
#include "wire_support.h"

using namespace wire;

namespace {

std::string md5Base64(const std::string &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr);
    char out[64];
    int n = base64_encode(digest, static_cast<int>(len), out);
    return std::string(out, static_cast<size_t>(n));
}

S3PutProperties noProperties()
{
    S3PutProperties props;
    memset(&props, 0, sizeof(props));
    props.expires = -1;
    return props;
}

class ObjectWire : public StoreSuite {
protected:
    static void SetUpTestSuite()
    {
        StoreSuite::SetUpTestSuite();
        store_->createBucket(kBucket);
    }

    static S3BucketContext ctx() { return context().get(); }
    static const Context &context()
    {
        static Context c(store_->endpoint(), kBucket);
        return c;
    }

    static constexpr const char *kBucket = "wire-objects";
};

TEST_F(ObjectWire, PutThenGetReturnsTheSameBytesWithTheStoredContentType)
{
    const S3BucketContext c = ctx();
    for (size_t size : {size_t(0), size_t(1), size_t(1) << 20, size_t(64) << 20}) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string key = "roundtrip/" + std::to_string(size);
        const std::string body = patternBytes(size, static_cast<unsigned>(size));
        const std::string md5 = md5Base64(body);
        S3PutProperties props = noProperties();
        props.contentType = "application/x-wire-test";
        props.md5 = md5.c_str();

        Outcome p = put(c, key, body, &props);
        EXPECT_EQ(1, p.completes);
        EXPECT_EQ(S3StatusOK, p.status);
        EXPECT_TRUE(p.hadErrorDetails);
        EXPECT_EQ(body.size(), p.uploadPos);
        // The upload's status is latched before its response: no properties.
        EXPECT_EQ(0, p.propertiesCalls);
        if (size == 0) {
            EXPECT_EQ(0, p.putCalls) << "an empty body asks for no data";
        }

        Outcome g = get(c, key);
        EXPECT_EQ(1, g.completes);
        ASSERT_EQ(S3StatusOK, g.status);
        EXPECT_TRUE(g.body == body) << "body differs, got " << g.body.size() << " bytes";
        EXPECT_EQ(1, g.propertiesCalls);
        EXPECT_EQ("application/x-wire-test", g.contentType);
        EXPECT_EQ(size, g.contentLength);
        EXPECT_EQ("\"" + md5Hex(body) + "\"", g.eTag);

        harness::StoredObject stored = store_->getObject(kBucket, key);
        EXPECT_TRUE(stored.exists);
        EXPECT_EQ("application/x-wire-test", stored.contentType);
        EXPECT_EQ(md5Hex(body), stored.etag);
    }
}

// The store holds the body to its Content-MD5: the digest the client sends
// must be that of the bytes it sends, and a wrong one stores nothing.
TEST_F(ObjectWire, ContentMd5IsHeldAgainstTheBytesSent)
{
    const S3BucketContext c = ctx();
    const std::string body = patternBytes(300000, 11);
    const std::string wrong = md5Base64("other bytes");
    S3PutProperties props = noProperties();
    props.md5 = wrong.c_str();

    Outcome bad = put(c, "md5/wrong", body, &props);
    EXPECT_EQ(1, bad.completes);
    EXPECT_EQ(S3StatusErrorBadDigest, bad.status);
    EXPECT_TRUE(bad.hadErrorDetails);
    EXPECT_EQ("The Content-MD5 you specified did not match what was received.", bad.errorMessage);
    EXPECT_EQ(wrong, bad.detail("ExpectedDigest"));
    EXPECT_EQ(md5Base64(body), bad.detail("CalculatedDigest"));
    EXPECT_FALSE(store_->getObject(kBucket, "md5/wrong").exists);

    const std::string right = md5Base64(body);
    props.md5 = right.c_str();
    Outcome good = put(c, "md5/right", body, &props);
    EXPECT_EQ(1, good.completes);
    EXPECT_EQ(S3StatusOK, good.status);
    harness::StoredObject stored = store_->getObject(kBucket, "md5/right");
    ASSERT_TRUE(stored.exists);
    EXPECT_TRUE(stored.body == body) << "body differs, got " << stored.body.size() << " bytes";
    EXPECT_EQ(md5Hex(body), stored.etag);
}

TEST_F(ObjectWire, CannedAclAndRawStorageClassHeaderTakeEffect)
{
    const S3BucketContext c = ctx();
    const S3NameValue storageClass = {"X-Amz-Storage-Class", "REDUCED_REDUNDANCY"};
    S3PutProperties props = noProperties();
    props.metaDataCount = 1;
    props.metaData = &storageClass;

    props.cannedAcl = S3CannedAclPublicRead;
    EXPECT_EQ(S3StatusOK, put(c, "public/page.html", "<p>hi</p>", &props).status);
    props.cannedAcl = S3CannedAclPrivate;
    EXPECT_EQ(S3StatusOK, put(c, "personal/diary.txt", "secret", &props).status);

    EXPECT_TRUE(store_->isPublicRead(kBucket, "public/page.html"));
    EXPECT_FALSE(store_->isPublicRead(kBucket, "personal/diary.txt"));
    EXPECT_EQ("REDUCED_REDUNDANCY", store_->getObject(kBucket, "public/page.html").storageClass);
    EXPECT_EQ("REDUCED_REDUNDANCY", store_->getObject(kBucket, "personal/diary.txt").storageClass);
}

// The longest accepted header values pass the checking proxy whole, signed
// in either version, and are stored as sent.
TEST_F(ObjectWire, TheLongestHeaderValuesAreSignedAndStoredWhole)
{
    const std::string cacheControl = "max-age=" + std::string(S3_MAX_HEADER_VALUE_SIZE - 8, '1');
    const std::string contentType = "text/" + std::string(S3_MAX_HEADER_VALUE_SIZE - 5, 'x');
    const std::string fileName(S3_MAX_HEADER_VALUE_SIZE, 'f');
    S3PutProperties props = noProperties();
    props.cacheControl = cacheControl.c_str();
    props.contentType = contentType.c_str();
    props.contentDispositionFilename = fileName.c_str();

    for (S3SignatureVersion version : {S3SignatureV2, S3SignatureV4}) {
        S3BucketContext c = ctx();
        c.signatureVersion = version;
        const std::string key = "long-values/v" + std::to_string(static_cast<int>(version) + 2);
        Outcome p = put(c, key, "body", &props);
        ASSERT_EQ(S3StatusOK, p.status) << key << " " << S3_get_status_name(p.status);
        const harness::StoredObject stored = store_->getObject(kBucket, key);
        EXPECT_EQ(contentType, stored.contentType) << key;
        EXPECT_EQ(cacheControl, stored.headers.at("cache-control")) << key;
        EXPECT_EQ("attachment; filename=\"" + fileName + "\"",
                  stored.headers.at("content-disposition"))
            << key;
    }
}

TEST_F(ObjectWire, HeadReportsTheStoredPropertiesAndMetadata)
{
    const S3BucketContext c = ctx();
    const S3NameValue meta = {"x-amz-meta-colour", "blue"};
    S3PutProperties props = noProperties();
    props.contentType = "text/plain";
    props.metaDataCount = 1;
    props.metaData = &meta;
    const time_t before = time(nullptr);
    ASSERT_EQ(S3StatusOK, put(c, "head/me.txt", "twelve bytes", &props).status);

    Outcome h = head(c, "head/me.txt");
    EXPECT_EQ(1, h.completes);
    EXPECT_EQ(S3StatusOK, h.status);
    EXPECT_EQ(1, h.propertiesCalls);
    EXPECT_EQ(12u, h.contentLength);
    EXPECT_EQ("text/plain", h.contentType);
    EXPECT_EQ("\"" + md5Hex("twelve bytes") + "\"", h.eTag);
    EXPECT_GE(h.lastModified, before - 2);
    EXPECT_LE(h.lastModified, time(nullptr) + 2);
    ASSERT_EQ(1u, h.metaData.size());
    EXPECT_EQ("colour", h.metaData[0].first);
    EXPECT_EQ("blue", h.metaData[0].second);
    EXPECT_TRUE(h.body.empty());
}

TEST_F(ObjectWire, RangedGetsReturnTheirSlice)
{
    const S3BucketContext c = ctx();
    const std::string body = "0123456789abcdef";
    ASSERT_EQ(S3StatusOK, put(c, "range", body).status);

    struct Row {
        uint64_t start, count;
        std::string want;
    } rows[] = {{0, 0, body}, {5, 0, body.substr(5)}, {2, 3, "234"}, {15, 1, "f"}};
    for (const Row &row : rows) {
        Outcome g = get(c, "range", row.start, row.count);
        EXPECT_EQ(S3StatusOK, g.status) << row.start << "+" << row.count;
        EXPECT_EQ(row.want, g.body) << row.start << "+" << row.count;
    }
}

TEST_F(ObjectWire, ServiceErrorsEndWithTheirStatusAndDetails)
{
    Context wrongSecret(store_->endpoint(), kBucket);
    wrongSecret.secretAccessKey = "not-the-secret";
    S3BucketContext bad = wrongSecret.get();
    Outcome p = put(bad, "never", "bytes");
    EXPECT_EQ(1, p.completes);
    EXPECT_EQ(S3StatusErrorSignatureDoesNotMatch, p.status);
    EXPECT_TRUE(p.hadErrorDetails);
    EXPECT_FALSE(p.errorMessage.empty());
    EXPECT_FALSE(p.detail("StringToSign").empty());
    EXPECT_FALSE(store_->getObject(kBucket, "never").exists);

    Outcome g = get(bad, "never");
    EXPECT_EQ(S3StatusErrorSignatureDoesNotMatch, g.status);
    EXPECT_TRUE(g.body.empty()) << "an error document is not object data";

    Context noBucket(store_->endpoint(), "no-such-bucket-here");
    EXPECT_EQ(S3StatusErrorNoSuchBucket, get(noBucket.get(), "k").status);
    EXPECT_EQ(S3StatusErrorNoSuchBucket, put(noBucket.get(), "k", "x").status);

    const S3BucketContext c = ctx();
    Outcome missing = get(c, "no/such/key");
    EXPECT_EQ(1, missing.completes);
    EXPECT_EQ(S3StatusErrorNoSuchKey, missing.status);
    EXPECT_FALSE(missing.errorMessage.empty());
    EXPECT_EQ(0, missing.propertiesCalls);
    EXPECT_TRUE(missing.body.empty());

    // A HEAD answer has no body, so no document: the HTTP status decides.
    Outcome missingHead = head(c, "no/such/key");
    EXPECT_EQ(1, missingHead.completes);
    EXPECT_EQ(S3StatusHttpErrorNotFound, missingHead.status);
    EXPECT_TRUE(missingHead.hadErrorDetails);
    EXPECT_TRUE(missingHead.errorMessage.empty());
    EXPECT_TRUE(missingHead.errorExtra.empty());
}

TEST_F(ObjectWire, FailuresBeforeSendingGetNullDetailsAndSendNothing)
{
    store_->resetCounters();
    Context shortName(store_->endpoint(), "ab");
    Outcome o = get(shortName.get(), "k");
    EXPECT_EQ(1, o.completes);
    EXPECT_EQ(S3StatusInvalidBucketNameTooShort, o.status);
    EXPECT_FALSE(o.hadErrorDetails);

    const S3BucketContext c = ctx();
    S3PutProperties props = noProperties();
    props.contentType = "  \t ";
    Outcome p = put(c, "blank-type", "x", &props);
    EXPECT_EQ(S3StatusBadContentType, p.status);
    EXPECT_FALSE(p.hadErrorDetails);

    Outcome longKey = get(c, std::string(S3_MAX_KEY_SIZE + 1, 'k'));
    EXPECT_EQ(S3StatusUriTooLong, longKey.status);
    EXPECT_FALSE(longKey.hadErrorDetails);
    EXPECT_EQ(0, store_->counters().requests);
}

TEST_F(ObjectWire, CallbacksThatRefuseStopTheTransferWithTheirStatus)
{
    const S3BucketContext c = ctx();
    ASSERT_EQ(S3StatusOK, put(c, "refuse", patternBytes(200000)).status);

    // The put-data callback aborts: nothing is stored.
    struct Abort {
        static int data(int, char *, void *) { return -1; }
    };
    const S3PutObjectHandler abortHandler = {{&onProperties, &onComplete}, &Abort::data, nullptr, nullptr};
    Outcome p;
    S3_put_object(&c, "refuse-put", 100, nullptr, nullptr, &abortHandler, &p);
    EXPECT_EQ(1, p.completes);
    EXPECT_EQ(S3StatusAbortedByCallback, p.status);
    EXPECT_FALSE(store_->getObject(kBucket, "refuse-put").exists);

    // The properties callback refuses: no body is delivered.
    Outcome g1;
    g1.propertiesAnswer = S3StatusInterrupted;
    S3_get_object(&c, "refuse", nullptr, 0, 0, nullptr, &kGetHandler, &g1);
    EXPECT_EQ(1, g1.completes);
    EXPECT_EQ(S3StatusInterrupted, g1.status);
    EXPECT_EQ(0, g1.getCalls);

    // The get-data callback refuses its first piece: no second one comes.
    Outcome g2;
    g2.getAnswer = S3StatusAbortedByCallback;
    S3_get_object(&c, "refuse", nullptr, 0, 0, nullptr, &kGetHandler, &g2);
    EXPECT_EQ(1, g2.completes);
    EXPECT_EQ(S3StatusAbortedByCallback, g2.status);
    EXPECT_EQ(1, g2.getCalls);

    // A success body that nobody asked for.
    const S3GetObjectHandler noData = {{&onProperties, &onComplete}, nullptr};
    Outcome g3;
    S3_get_object(&c, "refuse", nullptr, 0, 0, nullptr, &noData, &g3);
    EXPECT_EQ(1, g3.completes);
    EXPECT_EQ(S3StatusInternalError, g3.status);
}

TEST_F(ObjectWire, APutDataCallbackThatOverstatesItsCountGivesExactlyWhatWasAsked)
{
    const S3BucketContext c = ctx();
    // Writes the asked bytes but claims more: the body must still be exact.
    struct Overstate {
        static int data(int bufferSize, char *buffer, void *d)
        {
            onPutData(bufferSize, buffer, d);
            return bufferSize + 1000;
        }
    };
    const S3PutObjectHandler handler = {{&onProperties, &onComplete}, &Overstate::data, nullptr, nullptr};
    Outcome p;
    p.upload = patternBytes(300000, 7);
    S3_put_object(&c, "overstated", p.upload.size(), nullptr, nullptr, &handler, &p);
    EXPECT_EQ(S3StatusOK, p.status);
    EXPECT_TRUE(store_->getObject(kBucket, "overstated").body == p.upload);
}

TEST_F(ObjectWire, DeleteRemovesTheObject)
{
    const S3BucketContext c = ctx();
    ASSERT_EQ(S3StatusOK, put(c, "doomed", "bytes").status);
    Outcome d = del(c, "doomed");
    EXPECT_EQ(1, d.completes);
    EXPECT_EQ(S3StatusOK, d.status);
    EXPECT_FALSE(store_->getObject(kBucket, "doomed").exists);
    EXPECT_EQ(S3StatusErrorNoSuchKey, get(c, "doomed").status);
}

struct CopyResult {
    Outcome outcome;
    int64_t lastModified = 12345;
    char eTag[64] = "untouched";
};

CopyResult copy(const S3BucketContext &c, const char *key, const char *destBucket,
                const char *destKey, const S3PutProperties *props, int eTagSize = 64)
{
    CopyResult r;
    S3_copy_object(&c, key, destBucket, destKey, props, &r.lastModified, eTagSize, r.eTag, nullptr,
                   &kResponseHandler, &r.outcome);
    return r;
}

TEST_F(ObjectWire, CopyReadsItsResultDocument)
{
    const S3BucketContext c = ctx();
    S3PutProperties props = noProperties();
    props.contentType = "text/x-source";
    ASSERT_EQ(S3StatusOK, put(c, "copy/source", "copied bytes", &props).status);
    const time_t before = time(nullptr);

    CopyResult r = copy(c, "copy/source", nullptr, "copy/dest", nullptr);
    EXPECT_EQ(1, r.outcome.completes);
    ASSERT_EQ(S3StatusOK, r.outcome.status);
    EXPECT_EQ("\"" + md5Hex("copied bytes") + "\"", std::string(r.eTag));
    EXPECT_EQ(0, r.outcome.propertiesCalls) << "a copy is an upload";
    EXPECT_GE(r.lastModified, before - 2);
    EXPECT_LE(r.lastModified, time(nullptr) + 2);
    harness::StoredObject dest = store_->getObject(kBucket, "copy/dest");
    EXPECT_EQ("copied bytes", dest.body);
    EXPECT_EQ("text/x-source", dest.contentType) << "without properties the source's are kept";

    // With properties the copy gets them instead of the source's.
    S3PutProperties replaced = noProperties();
    replaced.contentType = "text/x-replaced";
    CopyResult r2 = copy(c, "copy/source", nullptr, "copy/replaced", &replaced);
    EXPECT_EQ(S3StatusOK, r2.outcome.status);
    EXPECT_EQ("text/x-replaced", store_->getObject(kBucket, "copy/replaced").contentType);

    // Into another bucket.
    store_->createBucket("wire-copy-target");
    CopyResult r3 = copy(c, "copy/source", "wire-copy-target", nullptr, nullptr);
    EXPECT_EQ(S3StatusOK, r3.outcome.status);
    EXPECT_EQ("copied bytes", store_->getObject("wire-copy-target", "copy/source").body);
}

TEST_F(ObjectWire, CopyFailuresStillSetTheTimeAndFreeTheirRecord)
{
    const S3BucketContext c = ctx();
    ASSERT_EQ(S3StatusOK, put(c, "copy/small", "x").status);

    // The ETag (34 characters with its quotes) does not fit 10 bytes.
    CopyResult tooSmall = copy(c, "copy/small", nullptr, "copy/small-2", nullptr, 10);
    EXPECT_EQ(1, tooSmall.outcome.completes);
    EXPECT_EQ(S3StatusXmlParseFailure, tooSmall.outcome.status);

    // An ETag that is not wanted is never a failure.
    CopyResult unwanted = copy(c, "copy/small", nullptr, "copy/small-3", nullptr, 0);
    EXPECT_EQ(S3StatusOK, unwanted.outcome.status);
    EXPECT_STREQ("untouched", unwanted.eTag);

    // Without a source the request would be a plain PUT of nothing over the
    // destination: it is refused and the destination keeps its bytes.
    CopyResult noKey = copy(c, "", nullptr, "copy/small", nullptr);
    EXPECT_EQ(1, noKey.outcome.completes);
    EXPECT_NE(S3StatusOK, noKey.outcome.status);
    EXPECT_FALSE(noKey.outcome.hadErrorDetails);
    Context noBucket(store_->endpoint(), "");
    CopyResult noSourceBucket =
        copy(noBucket.get(), "copy/small", kBucket, "copy/small", nullptr);
    EXPECT_EQ(1, noSourceBucket.outcome.completes);
    EXPECT_NE(S3StatusOK, noSourceBucket.outcome.status);
    EXPECT_EQ("x", store_->getObject(kBucket, "copy/small").body);

    CopyResult missing = copy(c, "copy/none", nullptr, "copy/none-2", nullptr);
    EXPECT_EQ(1, missing.outcome.completes);
    EXPECT_EQ(S3StatusErrorNoSuchKey, missing.outcome.status);
    EXPECT_EQ(-1, missing.lastModified);
    EXPECT_STREQ("", missing.eTag);
}

// A copy names its source like any key, only ever copies onto an object,
// and a 200 that carries an Error document is that error.
TEST_F(ObjectWire, CopySourcesAreEncodedDestinationsNamedAndErrorsIn200Seen)
{
    const S3BucketContext c = ctx();
    for (const char *key : {"copy/50%off.html", "copy/a b+c.html"}) {
        SCOPED_TRACE(key);
        ASSERT_EQ(S3StatusOK, put(c, key, std::string("bytes of ") + key).status);
        const std::string dest = std::string(key) + ".copy";
        CopyResult r = copy(c, key, nullptr, dest.c_str(), nullptr);
        EXPECT_EQ(1, r.outcome.completes);
        EXPECT_EQ(S3StatusOK, r.outcome.status);
        EXPECT_EQ(std::string("bytes of ") + key, store_->getObject(kBucket, dest).body);
    }

    store_->resetCounters();
    CopyResult noDestKey = copy(c, "copy/50%off.html", nullptr, "", nullptr);
    EXPECT_EQ(1, noDestKey.outcome.completes);
    EXPECT_EQ(S3StatusInternalError, noDestKey.outcome.status);
    EXPECT_FALSE(noDestKey.outcome.hadErrorDetails);
    CopyResult noDestBucket = copy(c, "copy/50%off.html", "", nullptr, nullptr);
    EXPECT_EQ(1, noDestBucket.outcome.completes);
    EXPECT_EQ(S3StatusInvalidBucketNameTooShort, noDestBucket.outcome.status);
    EXPECT_EQ(0, store_->counters().requests) << "a refused copy sends nothing";

    harness::FaultServer server("status:200:" SITEMIRROR_SOURCE_DIR
                                  "/tests/s3client/data/copy-error-200.xml");
    Context fault(server.endpoint(), "bucket");
    CopyResult failed = copy(fault.get(), "src", nullptr, "dest", nullptr);
    EXPECT_EQ(1, failed.outcome.completes);
    EXPECT_EQ(S3StatusErrorInternalError, failed.outcome.status);
    EXPECT_TRUE(failed.outcome.hadErrorDetails);
    EXPECT_EQ("InternalError", failed.outcome.errorCode);
    EXPECT_EQ("We encountered an internal error. Please try again.", failed.outcome.errorMessage);
    EXPECT_EQ(-1, failed.lastModified);
}

// An empty or blank metadata value is signed empty and sent empty: libcurl
// drops a header written "name:", which would leave it signed but unsent.
TEST_F(ObjectWire, EmptyMetadataValuesAreSentAsSigned)
{
    const S3BucketContext c = ctx();
    const S3NameValue meta[] = {{"x-amz-meta-empty", ""}, {"x-amz-meta-blank", " \t "},
                                {"x-amz-meta-kept", "kept"}};
    S3PutProperties props = noProperties();
    props.metaDataCount = 3;
    props.metaData = meta;
    store_->resetCounters();
    Outcome p = put(c, "meta/empty", "x", &props);
    EXPECT_EQ(S3StatusOK, p.status) << p.errorMessage;
    const std::string seen = store_->requestsJson();
    EXPECT_NE(std::string::npos, seen.find("[\"x-amz-meta-empty\", \"\"]")) << seen;
    EXPECT_NE(std::string::npos, seen.find("[\"x-amz-meta-blank\", \"\"]")) << seen;
    EXPECT_EQ(0, store_->counters().rejected);
}

// A code that no status is named after still reaches the caller.
TEST_F(ObjectWire, ErrorCodesReachTheCallerAsSent)
{
    harness::FaultServer server("error-doc:AccessControlListNotSupported:400");
    Context fault(server.endpoint(), "bucket");
    Outcome p = put(fault.get(), "k", "x");
    EXPECT_EQ(S3StatusErrorUnknown, p.status);
    EXPECT_EQ("AccessControlListNotSupported", p.errorCode);
    EXPECT_EQ("Provoked AccessControlListNotSupported", p.errorMessage);

    Outcome missing = get(ctx(), "no/such/key/at/all");
    EXPECT_EQ(S3StatusErrorNoSuchKey, missing.status);
    EXPECT_EQ("NoSuchKey", missing.errorCode);
}

// Signature V4 end to end, checked by the proxy from what it received: puts
// with and without a signed payload, gets, heads, a listing, a copy and a
// delete, over awkward keys; a wrong region or payload is refused.
TEST_F(ObjectWire, SignatureV4RequestsAreAcceptedAndKeepTheirKeys)
{
    const char *bucket = "wire-v4";
    store_->createBucket(bucket);
    Context kc(store_->endpoint(), bucket);
    S3BucketContext c = kc.get();
    c.signatureVersion = S3SignatureV4;
    c.region = "us-east-1";
    const std::vector<std::string> keys = {
        "plain.html", "with space.txt", "plus+sign", "50%off.html", "bang!star*(p)'",
        "utf8-\xc3\xa4\xe6\x97\xa5", "dots/../up.txt", "a&b=c?d#e;f,g:h@i$j",
    };
    store_->resetCounters();
    for (size_t i = 0; i < keys.size(); i++) {
        const std::string &key = keys[i];
        SCOPED_TRACE(key);
        const std::string body = patternBytes(1000 + i * 7919, static_cast<unsigned>(i));
        const std::string md5 = md5Base64(body);
        const std::string sha = sha256Hex(body);
        const S3NameValue meta[] = {{"x-amz-storage-class", "REDUCED_REDUNDANCY"},
                                    {"x-amz-meta-note", "  two   words "}};
        S3PutProperties props = noProperties();
        props.contentType = "text/x-v4";
        props.md5 = md5.c_str();
        props.cannedAcl = (i % 2) ? S3CannedAclPublicRead : S3CannedAclPrivate;
        props.metaDataCount = 2;
        props.metaData = meta;
        props.payloadSha256 = (i % 3) ? sha.c_str() : nullptr; // signed, or unsigned
        Outcome p = put(c, key, body, &props);
        ASSERT_EQ(S3StatusOK, p.status) << p.errorCode << ": " << p.errorMessage;

        harness::StoredObject stored = store_->getObject(bucket, key);
        EXPECT_TRUE(stored.body == body);
        EXPECT_EQ("text/x-v4", stored.contentType);
        EXPECT_EQ("REDUCED_REDUNDANCY", stored.storageClass);
        EXPECT_EQ(i % 2 == 1, store_->isPublicRead(bucket, key));

        Outcome g = get(c, key, 3, 10);
        EXPECT_EQ(S3StatusOK, g.status) << g.errorCode;
        EXPECT_EQ(body.substr(3, 10), g.body);
        Outcome h = head(c, key);
        EXPECT_EQ(S3StatusOK, h.status);
        EXPECT_EQ(body.size(), h.contentLength);
    }
    EXPECT_EQ(0, store_->counters().rejected);
    const std::string seen = store_->requestsJson();
    EXPECT_NE(std::string::npos, seen.find("AWS4-HMAC-SHA256 Credential=")) << seen.substr(0, 2000);
    EXPECT_EQ(std::string::npos, seen.find("\"AWS ")) << "no request went out signed V2";

    struct Listed {
        std::vector<std::string> keys;
        static S3Status cb(int, const char *, int n, const S3ListBucketContent *contents, int,
                           const char **, void *data)
        {
            for (int i = 0; i < n; i++) {
                static_cast<Listed *>(data)->keys.push_back(contents[i].key);
            }
            return S3StatusOK;
        }
        static void done(S3Status status, const S3ErrorDetails *, void *) { EXPECT_EQ(S3StatusOK, status); }
    } listed;
    const S3ListBucketHandler lh = {{nullptr, &Listed::done}, &Listed::cb};
    // Two keys a page, a marker with awkward bytes each time.
    std::string marker;
    for (int page = 0; page < 10; page++) {
        const size_t before = listed.keys.size();
        S3_list_bucket(&c, nullptr, marker.empty() ? nullptr : marker.c_str(), nullptr, 2,
                       nullptr, &lh, &listed);
        if (listed.keys.size() == before) {
            break;
        }
        marker = listed.keys.back();
    }
    std::vector<std::string> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, listed.keys);

    CopyResult r = copy(c, "50%off.html", nullptr, "copied 50%off.html", nullptr);
    EXPECT_EQ(S3StatusOK, r.outcome.status) << r.outcome.errorCode;
    EXPECT_TRUE(store_->getObject(bucket, "copied 50%off.html").body ==
                store_->getObject(bucket, "50%off.html").body);
    EXPECT_EQ(S3StatusOK, del(c, "with space.txt").status);
    EXPECT_FALSE(store_->getObject(bucket, "with space.txt").exists);
    EXPECT_EQ(0, store_->counters().rejected);

    // The store names its region when another one was signed for.
    S3BucketContext wrongRegion = c;
    wrongRegion.region = "eu-west-3";
    Outcome w = get(wrongRegion, "plain.html");
    EXPECT_EQ(S3StatusErrorUnknown, w.status);
    EXPECT_EQ("AuthorizationHeaderMalformed", w.errorCode);
    EXPECT_EQ("us-east-1", w.detail("Region"));

    // A payload hash that is not the body's stores nothing.
    const std::string otherSha = sha256Hex("other bytes");
    S3PutProperties props = noProperties();
    props.payloadSha256 = otherSha.c_str();
    Outcome mismatch = put(c, "mismatch", "these bytes", &props);
    EXPECT_EQ(S3StatusErrorUnknown, mismatch.status);
    EXPECT_EQ("XAmzContentSHA256Mismatch", mismatch.errorCode);
    EXPECT_FALSE(store_->getObject(bucket, "mismatch").exists);
}

// Keys travel encoded in the URI and come back raw in listings: both ways
// must give the same bytes.
TEST_F(ObjectWire, AwkwardKeysRoundTripThroughPutListGetAndDelete)
{
    const char *bucket = "wire-keys";
    store_->createBucket(bucket);
    Context kc(store_->endpoint(), bucket);
    const S3BucketContext c = kc.get();
    const std::set<std::string> keys = {
        "with space.txt", "plus+sign", "per%cent%20", "quote\"double'single", "a&b=c?d#e",
        "utf8-\xc3\xa4\xc3\xb6\xc3\xbc-\xe6\x97\xa5\xe6\x9c\xac", ".leading-dot",
        "dir/sub/file.txt", "tilde~star*(paren)!", "semi;colon,comma:colon@at$dollar",
        "dots/../up.txt", "dots/./here.txt", "double//slash",
    };
    for (const std::string &key : keys) {
        EXPECT_EQ(S3StatusOK, put(c, key, "body of " + key).status) << key;
    }

    struct Listed {
        std::vector<std::string> keys;
        static S3Status cb(int, const char *, int n, const S3ListBucketContent *contents, int,
                           const char **, void *data)
        {
            for (int i = 0; i < n; i++) {
                static_cast<Listed *>(data)->keys.push_back(contents[i].key);
            }
            return S3StatusOK;
        }
        static S3Status props(const S3ResponseProperties *, void *) { return S3StatusOK; }
        static void done(S3Status status, const S3ErrorDetails *, void *) { EXPECT_EQ(S3StatusOK, status); }
    } listed;
    const S3ListBucketHandler lh = {{&Listed::props, &Listed::done}, &Listed::cb};
    S3_list_bucket(&c, nullptr, nullptr, nullptr, 0, nullptr, &lh, &listed);
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.end()), listed.keys);

    for (const std::string &key : keys) {
        Outcome g = get(c, key);
        EXPECT_EQ(S3StatusOK, g.status) << key;
        EXPECT_EQ("body of " + key, g.body) << key;
        EXPECT_EQ("body of " + key, store_->getObject(bucket, key).body) << key;
        EXPECT_EQ(S3StatusOK, del(c, key).status) << key;
        EXPECT_FALSE(store_->getObject(bucket, key).exists) << key;
    }
}

} // namespace
