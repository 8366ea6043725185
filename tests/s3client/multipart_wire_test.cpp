// Uploads in parts against the loopback store, in both signature versions:
// the object is stored whole with the headers its upload began with, each
// part's Content-MD5 is checked, unfinished uploads are listed and given up,
// and answers that are no success (a 200 carrying an Error document, a
// document cut short) fail. Arguments the store would refuse are refused
// before anything is sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "wire_support.h"

using namespace wire;

namespace {

struct Initiated {
    Outcome outcome;
    std::string uploadId;
};

S3Status onInitialProperties(const S3ResponseProperties *p, void *data)
{
    return onProperties(p, &static_cast<Initiated *>(data)->outcome);
}
void onInitialComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    onComplete(status, details, &static_cast<Initiated *>(data)->outcome);
}
S3Status onInitial(const char *uploadId, void *data)
{
    static_cast<Initiated *>(data)->uploadId = uploadId;
    return S3StatusOK;
}
const S3MultipartInitialHandler kInitialHandler = {{&onInitialProperties, &onInitialComplete},
                                                   &onInitial};

Initiated initiate(const S3BucketContext &c, const std::string &key, const S3PutProperties *p)
{
    Initiated i;
    S3_initiate_multipart(&c, key.c_str(), p, nullptr, &kInitialHandler, &i);
    return i;
}

// A part's answer: its ETag, from the answer callback.
S3Status onPartAnswer(const S3ResponseProperties *p, void *data)
{
    static_cast<Outcome *>(data)->eTag = text(p->eTag);
    return S3StatusOK;
}
const S3PutObjectHandler kPartHandler = {{&onProperties, &onComplete}, &onPutData, &onPutRewind,
                                         &onPartAnswer};

std::string md5Base64(const std::string &data)
{
    unsigned char digest[16];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr);
    unsigned char out[32];
    const int n = EVP_EncodeBlock(out, digest, 16);
    return std::string(reinterpret_cast<char *>(out), static_cast<size_t>(n));
}

Outcome part(const S3BucketContext &c, const std::string &key, const std::string &uploadId,
             int number, const std::string &body, const std::string &md5)
{
    Outcome o;
    o.upload = body;
    S3PutProperties p;
    memset(&p, 0, sizeof p);
    p.expires = -1;
    p.md5 = md5.c_str();
    const std::string sha = sha256Hex(body);
    if (c.signatureVersion == S3SignatureV4)
        p.payloadSha256 = sha.c_str();
    S3_upload_part(&c, key.c_str(), &p, &kPartHandler, number, uploadId.c_str(), body.size(),
                   nullptr, &o);
    return o;
}

struct Completed {
    Outcome outcome;
    std::string eTag;
    int results = 0;
};
S3Status onCompletedProperties(const S3ResponseProperties *p, void *data)
{
    return onProperties(p, &static_cast<Completed *>(data)->outcome);
}
void onCompletedComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    onComplete(status, details, &static_cast<Completed *>(data)->outcome);
}
S3Status onCompleted(const char *eTag, void *data)
{
    Completed *c = static_cast<Completed *>(data);
    c->eTag = eTag;
    c->results++;
    return S3StatusOK;
}
const S3MultipartCompleteHandler kCompleteHandler = {{&onCompletedProperties, &onCompletedComplete},
                                                     &onCompleted};

Completed completeUpload(const S3BucketContext &c, const std::string &key,
                         const std::string &uploadId, const std::vector<std::string> &eTags)
{
    std::vector<S3MultipartPart> parts;
    for (std::size_t i = 0; i < eTags.size(); ++i)
        parts.push_back({static_cast<int>(i + 1), eTags[i].c_str()});
    Completed r;
    S3_complete_multipart_upload(&c, key.c_str(), uploadId.c_str(), static_cast<int>(parts.size()),
                                 parts.data(), nullptr, &kCompleteHandler, &r);
    return r;
}

// A part copied on the store from bytes first to last of source: its ETag
// reaches the result callback, as a join's does.
Completed copyPart(const S3BucketContext &c, const std::string &key, const std::string &uploadId,
                   int number, const std::string &source, uint64_t first, uint64_t last)
{
    Completed r;
    S3_upload_part_copy(&c, key.c_str(), uploadId.c_str(), number, c.bucketName, source.c_str(), first,
                        last, nullptr, &kCompleteHandler, &r);
    return r;
}

struct Unfinished {
    Outcome outcome;
    std::vector<std::pair<std::string, std::string>> uploads; // key, id
    std::vector<int64_t> initiated;
    int pages = 0;
    bool truncated = false;
    std::string nextKey, nextId;
};
S3Status onListProperties(const S3ResponseProperties *p, void *data)
{
    return onProperties(p, &static_cast<Unfinished *>(data)->outcome);
}
void onListComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    onComplete(status, details, &static_cast<Unfinished *>(data)->outcome);
}
S3Status onUploads(int isTruncated, const char *nextKey, const char *nextId, int count,
                   const S3ListMultipartUpload *uploads, void *data)
{
    Unfinished *u = static_cast<Unfinished *>(data);
    u->pages++;
    u->truncated = isTruncated != 0;
    u->nextKey = nextKey;
    u->nextId = nextId;
    for (int i = 0; i < count; ++i) {
        u->uploads.emplace_back(uploads[i].key, uploads[i].uploadId);
        u->initiated.push_back(uploads[i].initiated);
    }
    return S3StatusOK;
}
const S3ListMultipartUploadsHandler kListHandler = {{&onListProperties, &onListComplete},
                                                    &onUploads};

Unfinished unfinished(const S3BucketContext &c, const char *prefix)
{
    Unfinished u;
    S3_list_multipart_uploads(&c, prefix, nullptr, nullptr, 0, nullptr, &kListHandler, &u);
    return u;
}

Outcome abortUpload(const S3BucketContext &c, const std::string &key, const std::string &uploadId)
{
    Outcome o;
    S3_abort_multipart_upload(&c, key.c_str(), uploadId.c_str(), nullptr, &kResponseHandler, &o);
    return o;
}

class MultipartWire : public StoreSuite {};

TEST_F(MultipartWire, PartsJoinIntoTheObjectWithTheHeadersItBeganWithInBothVersions)
{
    const std::string first = patternBytes(S3_MIN_PART_SIZE, 3);
    const std::string second = patternBytes(1000, 4);
    for (S3SignatureVersion version : {S3SignatureV2, S3SignatureV4}) {
        SCOPED_TRACE(version == S3SignatureV2 ? "v2" : "v4");
        const std::string bucket = version == S3SignatureV2 ? "parts-v2" : "parts-v4";
        store_->createBucket(bucket);
        Context kc(store_->endpoint(), bucket);
        S3BucketContext c = kc.get();
        c.signatureVersion = version;
        const std::string key = "media/big file+1.bin";

        const std::string wholeMd5 = md5Hex(first + second);
        S3NameValue meta[2] = {{"x-amz-storage-class", "REDUCED_REDUNDANCY"},
                               {"x-amz-meta-md5", wholeMd5.c_str()}};
        S3PutProperties p;
        memset(&p, 0, sizeof p);
        p.contentType = "video/mp4";
        p.cacheControl = "max-age=60";
        p.md5 = "not sent on the create"; // the body's digest belongs to the parts
        p.expires = -1;
        p.cannedAcl = S3CannedAclPublicRead;
        p.metaDataCount = 2;
        p.metaData = meta;

        store_->resetCounters();
        Initiated i = initiate(c, key, &p);
        ASSERT_EQ(S3StatusOK, i.outcome.status) << i.outcome.errorCode << i.outcome.errorMessage;
        ASSERT_FALSE(i.uploadId.empty());

        Unfinished before = unfinished(c, "media/");
        ASSERT_EQ(S3StatusOK, before.outcome.status) << before.outcome.errorCode;
        ASSERT_EQ(1u, before.uploads.size());
        EXPECT_EQ(key, before.uploads[0].first);
        EXPECT_EQ(i.uploadId, before.uploads[0].second);
        EXPECT_GT(before.initiated[0], 0);
        EXPECT_EQ(0u, unfinished(c, "other/").uploads.size());

        // A part whose bytes are not the ones its digest names is refused.
        Outcome bad = part(c, key, i.uploadId, 1, first, md5Base64(second));
        EXPECT_EQ(S3StatusErrorBadDigest, bad.status);

        Outcome p1 = part(c, key, i.uploadId, 1, first, md5Base64(first));
        Outcome p2 = part(c, key, i.uploadId, 2, second, md5Base64(second));
        ASSERT_EQ(S3StatusOK, p1.status) << p1.errorCode;
        ASSERT_EQ(S3StatusOK, p2.status) << p2.errorCode;
        EXPECT_EQ("\"" + md5Hex(first) + "\"", p1.eTag);

        Completed done = completeUpload(c, key, i.uploadId, {p1.eTag, p2.eTag});
        ASSERT_EQ(S3StatusOK, done.outcome.status) << done.outcome.errorCode;
        EXPECT_EQ(1, done.results);
        EXPECT_NE(std::string::npos, done.eTag.find("-2")) << done.eTag;

        harness::StoredObject stored = store_->getObject(bucket, key);
        ASSERT_TRUE(stored.exists);
        EXPECT_TRUE(stored.body == first + second);
        EXPECT_EQ("video/mp4", stored.contentType);
        EXPECT_EQ("REDUCED_REDUNDANCY", stored.storageClass);
        EXPECT_EQ("max-age=60", stored.headers["cache-control"]);
        EXPECT_EQ(wholeMd5, stored.headers["x-amz-meta-md5"]);
        EXPECT_TRUE(store_->isPublicRead(bucket, key));
        EXPECT_EQ(0u, unfinished(c, nullptr).uploads.size());

        // The object copied on the store, in two byte ranges, into another
        // upload (its key needs encoding in the copy source as in a URI).
        const std::string copyKey = "media/copy.bin";
        Initiated ci = initiate(c, copyKey, &p);
        ASSERT_EQ(S3StatusOK, ci.outcome.status) << ci.outcome.errorCode;
        Completed c1 = copyPart(c, copyKey, ci.uploadId, 1, key, 0, S3_MIN_PART_SIZE - 1);
        Completed c2 = copyPart(c, copyKey, ci.uploadId, 2, key, S3_MIN_PART_SIZE, stored.body.size() - 1);
        ASSERT_EQ(S3StatusOK, c1.outcome.status) << c1.outcome.errorCode << c1.outcome.errorMessage;
        ASSERT_EQ(S3StatusOK, c2.outcome.status) << c2.outcome.errorCode;
        EXPECT_EQ(1, c1.results);
        EXPECT_NE(std::string::npos, c1.eTag.find(md5Hex(first))) << c1.eTag;
        ASSERT_EQ(S3StatusOK, completeUpload(c, copyKey, ci.uploadId, {c1.eTag, c2.eTag}).outcome.status);
        EXPECT_TRUE(store_->getObject(bucket, copyKey).body == first + second);

        // Every request passed the signature check; the create sent no
        // Content-MD5, and each part its own.
        EXPECT_EQ(1, store_->counters().rejected); // the refused digest alone
        const std::string log = store_->requestsJson();
        EXPECT_EQ(std::string::npos, log.find("not sent on the create")) << log;
        EXPECT_NE(std::string::npos, log.find("partNumber=2&uploadId=")) << log;
    }
}

TEST_F(MultipartWire, AnAbortedUploadIsNoLongerListedAndCannotBeCompleted)
{
    const std::string bucket = "parts-abort";
    store_->createBucket(bucket);
    Context kc(store_->endpoint(), bucket);
    const S3BucketContext c = kc.get();
    Initiated a = initiate(c, "a.bin", nullptr);
    Initiated b = initiate(c, "b.bin", nullptr);
    ASSERT_EQ(S3StatusOK, a.outcome.status);
    ASSERT_EQ(S3StatusOK, b.outcome.status);
    EXPECT_NE(a.uploadId, b.uploadId);
    Outcome p = part(c, "a.bin", a.uploadId, 1, "small", md5Base64("small"));
    ASSERT_EQ(S3StatusOK, p.status);

    Outcome gone = abortUpload(c, "a.bin", a.uploadId);
    EXPECT_EQ(S3StatusOK, gone.status) << gone.errorCode;
    Unfinished left = unfinished(c, nullptr);
    ASSERT_EQ(1u, left.uploads.size());
    EXPECT_EQ("b.bin", left.uploads[0].first);
    EXPECT_FALSE(left.truncated);

    Completed late = completeUpload(c, "a.bin", a.uploadId, {p.eTag});
    EXPECT_NE(S3StatusOK, late.outcome.status);
    EXPECT_EQ(0, late.results);
    EXPECT_FALSE(store_->getObject(bucket, "a.bin").exists);
    EXPECT_EQ(S3StatusOK, abortUpload(c, "b.bin", b.uploadId).status);
}

// What the store answers is read whole: a 200 that carries an Error document
// is that error, and a body that is no document is no success.
TEST_F(MultipartWire, AnswersThatAreNoSuccessFail)
{
    const std::string data = SITEMIRROR_SOURCE_DIR "/tests/s3client/data/";
    {
        harness::FaultServer server("status:200:" + data + "copy-error-200.xml");
        Context kc(server.endpoint(), "bucket");
        const S3BucketContext c = kc.get();
        Completed done = completeUpload(c, "k", "id", {"\"e1\"", "\"e2\""});
        EXPECT_EQ(1, done.outcome.completes);
        EXPECT_EQ(S3StatusErrorInternalError, done.outcome.status);
        EXPECT_EQ("InternalError", done.outcome.errorCode);
        EXPECT_EQ(0, done.results);
        Completed copied = copyPart(c, "k", "id", 1, "src", 0, 9);
        EXPECT_EQ(S3StatusErrorInternalError, copied.outcome.status);
        EXPECT_EQ(0, copied.results);
        Initiated i = initiate(c, "k", nullptr);
        EXPECT_EQ(S3StatusErrorInternalError, i.outcome.status);
        EXPECT_TRUE(i.uploadId.empty());
    }
    {
        harness::FaultServer server("malformed-xml");
        Context kc(server.endpoint(), "bucket");
        const S3BucketContext c = kc.get();
        EXPECT_EQ(S3StatusXmlParseFailure, completeUpload(c, "k", "id", {"\"e\""}).outcome.status);
        EXPECT_EQ(S3StatusXmlParseFailure, initiate(c, "k", nullptr).outcome.status);
        EXPECT_EQ(S3StatusXmlParseFailure, copyPart(c, "k", "id", 1, "src", 0, 9).outcome.status);
        EXPECT_EQ(S3StatusXmlParseFailure, unfinished(c, nullptr).outcome.status);
    }
}

TEST_F(MultipartWire, ArgumentsTheStoreWouldRefuseAreRefusedUnsent)
{
    harness::FaultServer server("status:200");
    Context kc(server.endpoint(), "bucket");
    const S3BucketContext c = kc.get();
    const std::string longId(S3_MAX_UPLOAD_ID_SIZE + 1, 'i');
    EXPECT_EQ(S3StatusInternalError, part(c, "k", "id", 0, "x", md5Base64("x")).status);
    EXPECT_EQ(S3StatusInternalError, part(c, "k", "id", S3_MAX_PART_COUNT + 1, "x", md5Base64("x")).status);
    EXPECT_EQ(S3StatusInternalError, part(c, "k", "", 1, "x", md5Base64("x")).status);
    EXPECT_EQ(S3StatusUriTooLong, part(c, "k", longId, 1, "x", md5Base64("x")).status);
    // Parts out of order, or none.
    std::vector<S3MultipartPart> parts = {{2, "\"a\""}, {1, "\"b\""}};
    Completed r;
    S3_complete_multipart_upload(&c, "k", "id", 2, parts.data(), nullptr, &kCompleteHandler, &r);
    EXPECT_EQ(S3StatusInternalError, r.outcome.status);
    EXPECT_FALSE(r.outcome.hadErrorDetails);
    EXPECT_EQ(S3StatusInternalError, completeUpload(c, "k", "id", {}).outcome.status);
    EXPECT_EQ(S3StatusUriTooLong, abortUpload(c, "k", longId).status);
    // A copied part: a range backwards, one over the store's limit, no source.
    EXPECT_EQ(S3StatusInternalError, copyPart(c, "k", "id", 1, "src", 10, 9).outcome.status);
    EXPECT_EQ(S3StatusInternalError,
              copyPart(c, "k", "id", 1, "src", 0, S3_MAX_SINGLE_UPLOAD_SIZE).outcome.status);
    EXPECT_EQ(S3StatusInternalError, copyPart(c, "k", "id", 1, "", 0, 9).outcome.status);
    EXPECT_EQ(S3StatusUriTooLong, copyPart(c, "k", longId, 1, "src", 0, 9).outcome.status);
    EXPECT_EQ(0, server.requestsSeen());

    // The longest id still goes.
    EXPECT_EQ(S3StatusOK,
              abortUpload(c, "k", std::string(S3_MAX_UPLOAD_ID_SIZE, 'i')).status);
    EXPECT_EQ(1, server.requestsSeen());
}

} // namespace
