// Signature version 4 for services other than S3: the published examples of
// other services, the S3 examples signed for CloudFront against an
// independent HMAC chain, and the service names the signer refuses.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <memory>
#include <string>
#include <vector>

#include "signature.h"
#include "vectors.h"

namespace {

struct Signed {
    S3Status status;
    V4Signature sig;
};

struct Request {
    std::string method, path, query, payloadHash, amzDate, region, secret;
    std::vector<std::string> lines; // "Name: value"
};

std::unique_ptr<Signed> sign(const Request &r, const char *service)
{
    std::vector<const char *> ptrs;
    for (const std::string &line : r.lines) {
        ptrs.push_back(line.c_str());
    }
    V4Request request;
    request.method = r.method.c_str();
    request.path = r.path.c_str();
    request.query = r.query.c_str();
    request.headerLines = ptrs.data();
    request.headerCount = static_cast<int>(ptrs.size());
    request.payloadHash = r.payloadHash.c_str();
    request.amzDate = r.amzDate.c_str();
    request.region = r.region.c_str();
    request.secretAccessKey = r.secret.c_str();
    request.service = service;
    std::unique_ptr<Signed> out(new Signed);
    out->status = v4_sign(&request, &out->sig);
    return out;
}

std::string authorization(const std::string &keyId, const std::string &amzDate,
                          const std::string &region, const V4Signature &sig)
{
    char buffer[AUTHORIZATION_HEADER_SIZE];
    if (!v4_authorization(buffer, sizeof(buffer), keyId.c_str(), amzDate.c_str(), region.c_str(),
                          &sig)) {
        return "(does not fit)";
    }
    return buffer;
}

// The signature by the key derivation written out with OpenSSL's HMAC, apart
// from the client's own code.
std::string independentSignature(const std::string &secret, const std::string &day,
                                 const std::string &region, const std::string &service,
                                 const std::string &stringToSign)
{
    auto mac = [](const std::string &key, const std::string &text) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char *>(text.data()), text.size(), out, &len);
        return std::string(reinterpret_cast<const char *>(out), len);
    };
    std::string key = mac("AWS4" + secret, day);
    key = mac(key, region);
    key = mac(key, service);
    key = mac(key, "aws4_request");
    const std::string sig = mac(key, stringToSign);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : sig) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    const size_t at = text.find(from);
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(SigV4Services, PublishedExamplesOfOtherServicesComeOutExactly)
{
    const vectors::Json doc = vectors::load("sigv4-service-vectors.json");
    int cases = 0;
    for (const vectors::Json &c : doc["cases"].items) {
        SCOPED_TRACE(c["name"].str());
        Request r{c["method"].str(),       c["path"].str(),      c["query"].str(),
                  c["payload_hash"].str(), doc["amz_date"].str(), doc["region"].str(),
                  doc["secret_access_key"].str(), {}};
        for (const vectors::Json &h : c["headers"].items) {
            r.lines.push_back(h.items[0].str() + ": " + h.items[1].str());
        }
        auto s = sign(r, c["service"].str().c_str());
        ASSERT_EQ(S3StatusOK, s->status);
        EXPECT_EQ(c["canonical_request"].str(), s->sig.canonicalRequest);
        EXPECT_EQ(c["string_to_sign"].str(), s->sig.stringToSign);
        EXPECT_EQ(c["signature"].str(), s->sig.signature);
        EXPECT_EQ(c["authorization"].str(),
                  authorization(doc["access_key_id"].str(), r.amzDate, r.region, s->sig));
        ++cases;
    }
    EXPECT_EQ(2, cases);
}

// The S3 examples: named "s3" they give the published signature; signed for
// CloudFront the canonical request stays, the scope names CloudFront and the
// signature is the one an independent key derivation gives.
TEST(SigV4Services, TheS3ExamplesSignedForCloudFront)
{
    const vectors::Json doc = vectors::load("sigv4-vectors.json");
    int cases = 0;
    for (const vectors::Json &c : doc["cases"].items) {
        SCOPED_TRACE(c["name"].str());
        const std::string target = c["path"].str();
        const size_t q = target.find('?');
        Request r{c["method"].str(),
                  target.substr(0, q),
                  q == std::string::npos ? "" : target.substr(q + 1),
                  c["payload_hash"].str(),
                  doc["amz_date"].str(),
                  doc["region"].str(),
                  doc["secret_access_key"].str(),
                  {}};
        for (const vectors::Json &h : c["headers"].items) {
            r.lines.push_back(h.items[0].str() + ": " + h.items[1].str());
        }
        const std::string keyId = doc["access_key_id"].str();

        auto s3 = sign(r, "s3");
        ASSERT_EQ(S3StatusOK, s3->status);
        EXPECT_EQ(c["signature"].str(), s3->sig.signature);
        EXPECT_EQ(c["authorization"].str(), authorization(keyId, r.amzDate, r.region, s3->sig));

        auto cf = sign(r, "cloudfront");
        ASSERT_EQ(S3StatusOK, cf->status);
        EXPECT_EQ(c["canonical_request"].str(), cf->sig.canonicalRequest);
        const std::string stringToSign =
            replaced(c["string_to_sign"].str(), "/us-east-1/s3/", "/us-east-1/cloudfront/");
        EXPECT_EQ(stringToSign, cf->sig.stringToSign);
        const std::string signature = independentSignature(
            r.secret, r.amzDate.substr(0, 8), r.region, "cloudfront", stringToSign);
        EXPECT_EQ(signature, cf->sig.signature);
        EXPECT_NE(c["signature"].str(), signature);
        EXPECT_EQ(replaced(replaced(c["authorization"].str(), "/s3/", "/cloudfront/"),
                           c["signature"].str(), signature),
                  authorization(keyId, r.amzDate, r.region, cf->sig));
        ++cases;
    }
    EXPECT_EQ(4, cases);
}

// A service name is one part of the scope: empty, with a "/" or too long it
// would sign for a scope other than the one named, so it is refused.
TEST(SigV4Services, ServiceNamesThatCannotBeAScopePartAreRefused)
{
    const Request r{"GET", "/", "", V4_EMPTY_PAYLOAD_HASH, "20150830T123600Z", "us-east-1",
                    "secret", {"Host: example.amazonaws.com"}};
    const std::string longest(V4_SERVICE_SIZE - 1, 'x');
    EXPECT_EQ(S3StatusOK, sign(r, longest.c_str())->status);
    for (const std::string &bad : {std::string(""), std::string("cloud/front"),
                                   std::string(V4_SERVICE_SIZE, 'x')}) {
        auto s = sign(r, bad.c_str());
        EXPECT_EQ(S3StatusHeadersTooLong, s->status) << bad;
        EXPECT_STREQ("", s->sig.signature) << bad;
    }
}

} // namespace
