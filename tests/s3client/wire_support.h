// wire_support.h - what the client's on-the-wire tests share: a recorder of
// every callback one operation makes, and handlers that feed it.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "s3client.h"

namespace wire {

// Everything one operation reported, copied out while the callbacks ran.
struct Outcome {
    int completes = 0;
    S3Status status = S3StatusInternalError;
    bool hadErrorDetails = false;
    std::string errorMessage;
    std::string errorCode;
    std::string errorResource;
    std::string errorFurtherDetails;
    int httpStatus = -1; // from the error details; -1 when there were none
    std::vector<std::pair<std::string, std::string>> errorExtra;

    int propertiesCalls = 0;
    std::string requestId, contentType, eTag, server;
    uint64_t contentLength = 0;
    int64_t lastModified = -1;
    std::vector<std::pair<std::string, std::string>> metaData;
    S3Status propertiesAnswer = S3StatusOK; // what the properties callback returns

    // Upload source and download sink.
    std::string upload;
    size_t uploadPos = 0;
    int putCalls = 0;
    int rewinds = 0;
    std::string body;
    int getCalls = 0;
    S3Status getAnswer = S3StatusOK; // what the get-data callback returns

    std::string detail(const std::string &name) const
    {
        for (const auto &pair : errorExtra) {
            if (pair.first == name) {
                return pair.second;
            }
        }
        return "";
    }
};

inline std::string text(const char *s) { return s ? s : ""; }

// The digest of data in lower-case hex (what a store's ETag or a V4 payload hash holds).
inline std::string digestHex(const std::string &data, const EVP_MD *md)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, md, nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; i++) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}
inline std::string md5Hex(const std::string &data) { return digestHex(data, EVP_md5()); }
inline std::string sha256Hex(const std::string &data) { return digestHex(data, EVP_sha256()); }

inline S3Status onProperties(const S3ResponseProperties *p, void *data)
{
    Outcome *o = static_cast<Outcome *>(data);
    o->propertiesCalls++;
    o->requestId = text(p->requestId);
    o->contentType = text(p->contentType);
    o->eTag = text(p->eTag);
    o->server = text(p->server);
    o->contentLength = p->contentLength;
    o->lastModified = p->lastModified;
    o->metaData.clear();
    for (int i = 0; i < p->metaDataCount; i++) {
        o->metaData.emplace_back(p->metaData[i].name, p->metaData[i].value);
    }
    return o->propertiesAnswer;
}

inline void onComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    Outcome *o = static_cast<Outcome *>(data);
    o->completes++;
    o->status = status;
    o->hadErrorDetails = details != nullptr;
    if (details) {
        o->errorMessage = text(details->message);
        o->errorCode = text(details->code);
        o->errorResource = text(details->resource);
        o->errorFurtherDetails = text(details->furtherDetails);
        o->httpStatus = details->httpStatus;
        for (int i = 0; i < details->extraDetailsCount; i++) {
            o->errorExtra.emplace_back(text(details->extraDetails[i].name),
                                       text(details->extraDetails[i].value));
        }
    }
}

inline int onPutData(int bufferSize, char *buffer, void *data)
{
    Outcome *o = static_cast<Outcome *>(data);
    o->putCalls++;
    size_t n = o->upload.size() - o->uploadPos;
    if (n > static_cast<size_t>(bufferSize)) {
        n = static_cast<size_t>(bufferSize);
    }
    memcpy(buffer, o->upload.data() + o->uploadPos, n);
    o->uploadPos += n;
    return static_cast<int>(n);
}

inline S3Status onGetData(int bufferSize, const char *buffer, void *data)
{
    Outcome *o = static_cast<Outcome *>(data);
    o->getCalls++;
    o->body.append(buffer, static_cast<size_t>(bufferSize));
    return o->getAnswer;
}

const S3ResponseHandler kResponseHandler = {&onProperties, &onComplete};
// Starts the upload source again from its first byte.
inline int onPutRewind(void *data)
{
    Outcome *o = static_cast<Outcome *>(data);
    o->rewinds++;
    o->uploadPos = 0;
    return 0;
}
const S3PutObjectHandler kPutHandler = {{&onProperties, &onComplete}, &onPutData, &onPutRewind,
                                    nullptr};
// The same without a way back to the first byte.
const S3PutObjectHandler kForwardOnlyPutHandler = {{&onProperties, &onComplete}, &onPutData,
                                                   nullptr, nullptr};
const S3GetObjectHandler kGetHandler = {{&onProperties, &onComplete}, &onGetData};

// A bucket context for host "127.0.0.1:PORT" over plain HTTP, path style.
// The texts are kept here so the context stays valid.
struct Context {
    std::string host;
    std::string bucket;
    std::string accessKeyId = harness::kAccessKeyId;
    std::string secretAccessKey = harness::kSecretAccessKey;
    S3Protocol protocol = S3ProtocolHTTP;
    S3UriStyle uriStyle = S3UriStylePath;

    Context(std::string h, std::string b) : host(std::move(h)), bucket(std::move(b)) {}

    S3BucketContext get() const
    {
        return S3BucketContext{host.c_str(), bucket.c_str(), protocol, uriStyle,
                               accessKeyId.c_str(), secretAccessKey.c_str(), S3SignatureV2, nullptr, nullptr};
    }
};

// Bytes that differ at every position of a long run, so a shifted or
// repeated block shows.
inline std::string patternBytes(size_t size, unsigned seed = 1)
{
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

inline Outcome put(const S3BucketContext &ctx, const std::string &key, const std::string &body,
                   const S3PutProperties *props = nullptr)
{
    Outcome o;
    o.upload = body;
    S3_put_object(&ctx, key.c_str(), body.size(), props, nullptr, &kPutHandler, &o);
    return o;
}

inline Outcome get(const S3BucketContext &ctx, const std::string &key, uint64_t startByte = 0,
                   uint64_t byteCount = 0)
{
    Outcome o;
    S3_get_object(&ctx, key.c_str(), nullptr, startByte, byteCount, nullptr, &kGetHandler, &o);
    return o;
}

inline Outcome head(const S3BucketContext &ctx, const std::string &key)
{
    Outcome o;
    S3_head_object(&ctx, key.c_str(), nullptr, &kResponseHandler, &o);
    return o;
}

inline Outcome del(const S3BucketContext &ctx, const std::string &key)
{
    Outcome o;
    S3_delete_object(&ctx, key.c_str(), nullptr, &kResponseHandler, &o);
    return o;
}

// A suite of tests against one store (moto behind the checking proxy),
// started once for the suite, with the client set up around each test.
// A suite that needs a bucket made up front or more set-up per test
// extends these.
class StoreSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { store_ = new harness::Store(); }
    static void TearDownTestSuite()
    {
        delete store_;
        store_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr)); }
    void TearDown() override { S3_deinitialize(); }

    static inline harness::Store *store_ = nullptr;
};

} // namespace wire
