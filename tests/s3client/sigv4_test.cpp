// Signature version 4: the published examples through the signing functions
// and through the request composition, the pre-signed form, and how keys,
// queries, header values and payload hashes are composed beside V2.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request_api.h"
#include "request_compose.h"
#include "signature.h"
#include "util.h"
#include "vectors.h"

namespace {

const int64_t kExampleTime = 1369353600;  // 20130524T000000Z

int64_t example_clock()
{
    return kExampleTime;
}

std::string join(const vectors::Json &array, const char *separator)
{
    std::string out;
    for (const vectors::Json &item : array.items) {
        out += (out.empty() ? "" : separator) + item.str();
    }
    return out;
}

struct Signed {
    S3Status status;
    V4Signature sig;
};

// Signs method/path?query with the header lines through v4_sign.
std::unique_ptr<Signed> sign(const std::string &method, const std::string &target,
                             const std::vector<std::string> &lines, const std::string &payload,
                             const std::string &amzDate, const std::string &region,
                             const std::string &secret)
{
    const size_t q = target.find('?');
    const std::string path = target.substr(0, q);
    const std::string query = q == std::string::npos ? "" : target.substr(q + 1);
    std::vector<const char *> ptrs;
    for (const std::string &line : lines) {
        ptrs.push_back(line.c_str());
    }
    V4Request request;
    request.method = method.c_str();
    request.path = path.c_str();
    request.query = query.c_str();
    request.headerLines = ptrs.data();
    request.headerCount = static_cast<int>(ptrs.size());
    request.payloadHash = payload.c_str();
    request.amzDate = amzDate.c_str();
    request.region = region.c_str();
    request.secretAccessKey = secret.c_str();
    std::unique_ptr<Signed> out(new Signed);
    out->status = v4_sign(&request, &out->sig);
    return out;
}

TEST(SigV4Vectors, EveryPublishedCaseComesOutExactly)
{
    const vectors::Json doc = vectors::load("sigv4-vectors.json");
    const vectors::Json &cases = doc["cases"];
    ASSERT_EQ(4u, cases.items.size());
    for (const vectors::Json &c : cases.items) {
        SCOPED_TRACE(c["name"].str());
        std::vector<std::string> lines;
        for (const vectors::Json &h : c["headers"].items) {
            lines.push_back(h.items[0].str() + ": " + h.items[1].str());
        }
        auto s = sign(c["method"].str(), c["path"].str(), lines, c["payload_hash"].str(),
                      doc["amz_date"].str(), doc["region"].str(), doc["secret_access_key"].str());
        ASSERT_EQ(S3StatusOK, s->status);
        EXPECT_EQ(c["canonical_request"].str(), s->sig.canonicalRequest);
        EXPECT_EQ(join(c["signed_headers"], ";"), s->sig.signedHeaders);
        EXPECT_EQ(c["string_to_sign"].str(), s->sig.stringToSign);
        EXPECT_EQ(c["signature"].str(), s->sig.signature);

        char authorization[AUTHORIZATION_HEADER_SIZE];
        ASSERT_TRUE(v4_authorization(authorization, sizeof(authorization),
                                     doc["access_key_id"].str().c_str(),
                                     doc["amz_date"].str().c_str(),
                                     doc["region"].str().c_str(), &s->sig));
        EXPECT_EQ(c["authorization"].str(), authorization);
    }
}

// The bucket context of the published examples, the clock at their time.
class SigV4Compose : public ::testing::Test {
protected:
    void SetUp() override
    {
        doc_ = vectors::load("sigv4-vectors.json");
        savedClock_ = compose_clockG;
        compose_clockG = example_clock;
        keyId_ = doc_["access_key_id"].str();
        secret_ = doc_["secret_access_key"].str();
        region_ = doc_["region"].str();
        params_ = RequestParams();
        params_.httpRequestType = HttpRequestTypeGET;
        params_.bucketContext = context();
    }
    void TearDown() override { compose_clockG = savedClock_; }

    S3BucketContext context() const
    {
        return S3BucketContext{"s3.amazonaws.com", "examplebucket", S3ProtocolHTTPS,
                               S3UriStyleVirtualHost, keyId_.c_str(), secret_.c_str(),
                               S3SignatureV4, region_.c_str(), nullptr};
    }

    const vectors::Json &vectorCase(const std::string &name) const
    {
        for (const vectors::Json &c : doc_["cases"].items) {
            if (c["name"].str() == name) {
                return c;
            }
        }
        throw std::runtime_error("no case " + name);
    }

    std::vector<std::string> amzHeaders() const
    {
        std::vector<std::string> out;
        for (int i = 0; i < values_.amzHeadersCount; ++i) {
            out.push_back(values_.amzHeaders[i]);
        }
        return out;
    }

    vectors::Json doc_;
    int64_t (*savedClock_)(void) = nullptr;
    std::string keyId_, secret_, region_;
    RequestParams params_;
    RequestComputedValues values_;
};

TEST_F(SigV4Compose, RequestsComposeToThePublishedAuthorization)
{
    struct Row {
        const char *name, *key, *subResource, *query;
        uint64_t startByte, byteCount;
    } rows[] = {
        {"get-object", "test.txt", nullptr, nullptr, 0, 10},
        {"get-bucket-lifecycle", nullptr, "lifecycle", nullptr, 0, 0},
        {"list-objects", nullptr, nullptr, "max-keys=2&prefix=J", 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        params_.key = r.key;
        params_.subResource = r.subResource;
        params_.queryParams = r.query;
        params_.startByte = r.startByte;
        params_.byteCount = r.byteCount;
        ASSERT_EQ(S3StatusOK, request_compose(&params_, &values_));
        EXPECT_EQ("Authorization: " + vectorCase(r.name)["authorization"].str(),
                  values_.authorizationHeader);
        EXPECT_STREQ("Host: examplebucket.s3.amazonaws.com", values_.hostHeader);
        EXPECT_EQ((std::vector<std::string>{"x-amz-date: 20130524T000000Z",
                                            "x-amz-content-sha256: " V4_EMPTY_PAYLOAD_HASH}),
                  amzHeaders());
    }

    // Unset, empty and named regions.
    params_.key = "test.txt";
    params_.subResource = nullptr;
    params_.queryParams = nullptr;
    params_.byteCount = 10;
    params_.bucketContext.region = nullptr;
    ASSERT_EQ(S3StatusOK, request_compose(&params_, &values_));
    EXPECT_EQ("Authorization: " + vectorCase("get-object")["authorization"].str(),
              values_.authorizationHeader);
    params_.bucketContext.region = "auto";
    ASSERT_EQ(S3StatusOK, request_compose(&params_, &values_));
    EXPECT_NE(std::string(values_.authorizationHeader).find("/20130524/auto/s3/aws4_request,"),
              std::string::npos);
}

TEST_F(SigV4Compose, PreSignedGetIsThePublishedUrl)
{
    const vectors::Json &p = doc_["presigned"];
    const S3BucketContext ctx = context();
    char buffer[S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE];
    ASSERT_EQ(S3StatusOK, S3_generate_authenticated_query_string(
                              buffer, &ctx, "test.txt",
                              kExampleTime + static_cast<int64_t>(p["expires"].number), nullptr));
    EXPECT_EQ(p["url"].str(), buffer);

    // Its canonical request and string to sign, through the same signing.
    const std::string url = p["url"].str();
    const size_t start = url.find(p["path"].str());
    const std::string target = url.substr(start, url.find("&X-Amz-Signature=") - start);
    auto s = sign("GET", target, {"host: " + p["host"].str()}, "UNSIGNED-PAYLOAD",
                  doc_["amz_date"].str(), region_, secret_);
    ASSERT_EQ(S3StatusOK, s->status);
    EXPECT_EQ(p["canonical_request"].str(), s->sig.canonicalRequest);
    EXPECT_EQ(p["string_to_sign"].str(), s->sig.stringToSign);
    EXPECT_EQ(p["signature"].str(), s->sig.signature);

    // The expiry is what is left until the given time, at most seven days;
    // a time not in the future is refused (no URI), not made a one-second
    // one; V2 contexts keep the V2 form.
    const struct {
        int64_t expires;
        const char *want; // nullptr: refused
    } rows[] = {{kExampleTime + 604800 + 1, "&X-Amz-Expires=604800&"},
                {-1, "&X-Amz-Expires=604800&"},
                {kExampleTime + 1, "&X-Amz-Expires=1&"},
                {kExampleTime, nullptr},
                {kExampleTime - 10, nullptr},
                {0, nullptr}};
    for (const auto &r : rows) {
        const S3Status status =
            S3_generate_authenticated_query_string(buffer, &ctx, "k", r.expires, nullptr);
        if (!r.want) {
            EXPECT_EQ(S3StatusErrorInvalidArgument, status) << r.expires;
            EXPECT_STREQ("", buffer) << r.expires;
            continue;
        }
        ASSERT_EQ(S3StatusOK, status) << r.expires;
        EXPECT_NE(std::string(buffer).find(r.want), std::string::npos) << buffer;
    }
    ASSERT_EQ(S3StatusOK, S3_generate_authenticated_query_string(buffer, &ctx, "k",
                                                                 kExampleTime + 60, "torrent"));
    EXPECT_EQ(0u, std::string(buffer).find(
                      "https://examplebucket.s3.amazonaws.com/k?torrent&X-Amz-Algorithm="));
    S3BucketContext v2 = ctx;
    v2.signatureVersion = S3SignatureV2;
    ASSERT_EQ(S3StatusOK,
              S3_generate_authenticated_query_string(buffer, &v2, "k", 1175139620, nullptr));
    EXPECT_NE(std::string(buffer).find("?AWSAccessKeyId="), std::string::npos);

    // Too long a key is refused; the widest key, every byte encoded, fits
    // the buffer with an endpoint of the usual length; a host that leaves no
    // room is refused, never overrun.
    EXPECT_EQ(S3StatusUriTooLong,
              S3_generate_authenticated_query_string(
                  buffer, &ctx, std::string(S3_MAX_KEY_SIZE + 1, 'k').c_str(), kExampleTime + 60, nullptr));
    const std::string widest(S3_MAX_KEY_SIZE, '\xff');
    ASSERT_EQ(S3StatusOK,
              S3_generate_authenticated_query_string(buffer, &ctx, widest.c_str(), kExampleTime + 60, nullptr));
    EXPECT_LT(strlen(buffer), sizeof(buffer));
    const std::string longHost(S3_MAX_HOSTNAME_SIZE - 1, 'h');
    S3BucketContext farHost = ctx;
    farHost.hostName = longHost.c_str();
    EXPECT_EQ(S3StatusUriTooLong, S3_generate_authenticated_query_string(
                                      buffer, &farHost, widest.c_str(), kExampleTime + 60, nullptr));
}

// ----------------------------------------------------- composition details

// The line of the canonical request that holds the query (its third).
std::string line_of(const std::string &text, int n)
{
    size_t start = 0;
    for (int i = 0; i < n; ++i) {
        start = text.find('\n', start) + 1;
    }
    return text.substr(start, text.find('\n', start) - start);
}

// Keys as each version sends them: V2 keeps its encoding, V4 encodes all but
// the unreserved bytes, and the path V4 signs is the path it sends.
TEST_F(SigV4Compose, KeysAreSentAsSignedInBothVersions)
{
    params_.bucketContext.uriStyle = S3UriStylePath;
    params_.bucketContext.hostName = "127.0.0.1:9000";
    const struct {
        const char *key, *v2, *v4;
    } rows[] = {
        {"a b.txt", "a%20b.txt", "a%20b.txt"},
        {"c++/x+y", "c%2B%2B/x%2By", "c%2B%2B/x%2By"},
        {"50%off.html", "50%25off.html", "50%25off.html"},
        {"caf\xc3\xa9/\xe6\x97\xa5", "caf%C3%A9/%E6%97%A5", "caf%C3%A9/%E6%97%A5"},
        {"dots/../up/./x", "dots/../up/./x", "dots/../up/./x"},
        {"!~*'()", "!~*'()", "%21~%2A%27%28%29"},
        {"a=b&c?d#e", "a%3Db%26c%3Fd%23e", "a%3Db%26c%3Fd%23e"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.key);
        params_.key = r.key;
        params_.bucketContext.signatureVersion = S3SignatureV2;
        ASSERT_EQ(S3StatusOK, request_compose(&params_, &values_));
        EXPECT_STREQ(r.v2, values_.urlEncodedKey);
        EXPECT_STREQ("", values_.hostHeader);
        EXPECT_EQ(0u, std::string(values_.authorizationHeader).find("Authorization: AWS AKIA"));

        params_.bucketContext.signatureVersion = S3SignatureV4;
        ASSERT_EQ(S3StatusOK, request_compose(&params_, &values_));
        EXPECT_STREQ(r.v4, values_.urlEncodedKey);
        EXPECT_STREQ("Host: 127.0.0.1:9000", values_.hostHeader);

        char uri[MAX_URI_SIZE];
        ASSERT_EQ(S3StatusOK, compose_uri(uri, sizeof(uri), &params_.bucketContext,
                                          values_.urlEncodedKey, nullptr, nullptr));
        auto s = sign("GET", std::string("/examplebucket/") + r.v4,
                      {"host: 127.0.0.1:9000", "x-amz-content-sha256: " V4_EMPTY_PAYLOAD_HASH,
                       "x-amz-date: 20130524T000000Z"},
                      V4_EMPTY_PAYLOAD_HASH, "20130524T000000Z", region_, secret_);
        EXPECT_EQ(std::string("https://127.0.0.1:9000/examplebucket/") + r.v4, uri);
        EXPECT_NE(std::string(values_.authorizationHeader).find(s->sig.signature),
                  std::string::npos);
    }
}

TEST(SigV4Canonical, QueriesAreReencodedAndSorted)
{
    const struct {
        const char *query, *canonical;
    } rows[] = {
        {"prefix=J&max-keys=2", "max-keys=2&prefix=J"},
        {"marker=a%21b&prefix=c%20d%2Fe", "marker=a%21b&prefix=c%20d%2Fe"},
        {"marker=a!b*c", "marker=a%21b%2Ac"},
        {"acl", "acl="},
        {"b=2&a=2&a=1", "a=1&a=2&b=2"},
        {"x=%zz&y=%e6%97%a5", "x=%25zz&y=%E6%97%A5"},
        {"&&k=v&", "k=v"},
        {"", ""},
    };
    for (const auto &r : rows) {
        auto s = sign("GET", std::string("/?") + r.query, {"host: h"}, "UNSIGNED-PAYLOAD",
                      "20130524T000000Z", "us-east-1", "secret");
        ASSERT_EQ(S3StatusOK, s->status);
        EXPECT_EQ(r.canonical, line_of(s->sig.canonicalRequest, 2)) << r.query;
    }
}

TEST(SigV4Canonical, HeaderValuesAreTrimmedSqueezedSortedAndJoined)
{
    auto s = sign("PUT", "/k",
                  {"Host: h", "X-Amz-Meta-B:   one   two  ", "x-amz-meta-a:\tx\t\ty ",
                   "x-amz-meta-b: three", "Content-Type: text/plain", "x-amz-meta-e:",
                   "x-amz-meta-c: a:  b,c"},
                  "UNSIGNED-PAYLOAD", "20130524T000000Z", "us-east-1", "secret");
    ASSERT_EQ(S3StatusOK, s->status);
    EXPECT_EQ(std::string("PUT\n/k\n\n"
                          "content-type:text/plain\n"
                          "host:h\n"
                          "x-amz-meta-a:x y\n"
                          "x-amz-meta-b:one two,three\n"
                          "x-amz-meta-c:a: b,c\n"
                          "x-amz-meta-e:\n"
                          "\n"
                          "content-type;host;x-amz-meta-a;x-amz-meta-b;x-amz-meta-c;"
                          "x-amz-meta-e\n"
                          "UNSIGNED-PAYLOAD"),
              s->sig.canonicalRequest);
}

// What V4 signs of an upload like the application's, and what goes out.
TEST_F(SigV4Compose, UploadSignsHostAmzAndChecksumHeaders)
{
    const S3NameValue meta[] = {{"X-Amz-Storage-Class", "STANDARD"},
                                {"x-amz-meta-empty", ""},
                                {"x-amz-meta-blank", " \t "}};
    S3PutProperties props = S3PutProperties();
    props.expires = -1;
    props.contentType = " text/css ";
    props.md5 = "rL0Y20zC+Fzt72VPzMSk2A==";
    props.cacheControl = "max-age=60";
    props.cannedAcl = S3CannedAclPublicRead;
    props.metaData = meta;
    props.metaDataCount = 3;
    params_.httpRequestType = HttpRequestTypePUT;
    params_.putProperties = &props;
    params_.toS3CallbackTotalSize = 5;
    params_.key = "css/site style.css";
    params_.bucketContext.uriStyle = S3UriStylePath;

    ASSERT_EQ(S3StatusOK, request_compose(&params_, &values_));
    // Empty values go to libcurl as "name;", so they are sent, empty.
    EXPECT_EQ((std::vector<std::string>{"x-amz-storage-class: STANDARD", "x-amz-meta-empty;",
                                        "x-amz-meta-blank;", "x-amz-acl: public-read",
                                        "x-amz-date: 20130524T000000Z",
                                        "x-amz-content-sha256: UNSIGNED-PAYLOAD"}),
              amzHeaders());
    EXPECT_STREQ("Host: s3.amazonaws.com", values_.hostHeader);
    EXPECT_NE(std::string(values_.authorizationHeader)
                  .find(",SignedHeaders=content-md5;content-type;host;x-amz-acl;"
                        "x-amz-content-sha256;x-amz-date;x-amz-meta-blank;x-amz-meta-empty;"
                        "x-amz-storage-class,Signature="),
              std::string::npos)
        << values_.authorizationHeader;

    // The V2 form of the same upload signs the empty values empty as well.
    params_.bucketContext.signatureVersion = S3SignatureV2;
    ASSERT_EQ(S3StatusOK, request_compose(&params_, &values_));
    EXPECT_STREQ("x-amz-acl:public-read\n"
                 "x-amz-date:Fri, 24 May 2013 00:00:00 GMT\n"
                 "x-amz-meta-blank:\n"
                 "x-amz-meta-empty:\n"
                 "x-amz-storage-class:STANDARD\n",
                 values_.canonicalizedAmzHeaders);
    EXPECT_EQ("x-amz-meta-empty;", amzHeaders()[1]);
}

TEST_F(SigV4Compose, PayloadHashByRequestKind)
{
    const std::string given(64, 'a');
    const std::string tooLong = given + "0";
    const std::string upperCase(64, 'A');
    S3PutProperties props = S3PutProperties();
    props.expires = -1;
    params_.putProperties = &props;
    const struct {
        HttpRequestType type;
        int64_t size;
        const char *sha256;
        S3Status status;
        const char *hash;
    } rows[] = {
        {HttpRequestTypePUT, 5, given.c_str(), S3StatusOK, given.c_str()},
        {HttpRequestTypePUT, 5, nullptr, S3StatusOK, "UNSIGNED-PAYLOAD"},
        {HttpRequestTypePUT, 0, nullptr, S3StatusOK, V4_EMPTY_PAYLOAD_HASH},
        {HttpRequestTypeCOPY, 0, nullptr, S3StatusOK, V4_EMPTY_PAYLOAD_HASH},
        {HttpRequestTypeDELETE, 0, nullptr, S3StatusOK, V4_EMPTY_PAYLOAD_HASH},
        {HttpRequestTypePUT, 5, "ABC", S3StatusBadMetaData, nullptr},
        {HttpRequestTypePUT, 5, tooLong.c_str(), S3StatusBadMetaData, nullptr},
        {HttpRequestTypePUT, 5, upperCase.c_str(), S3StatusBadMetaData, nullptr},
    };
    for (const auto &r : rows) {
        params_.httpRequestType = r.type;
        params_.toS3CallbackTotalSize = r.size;
        props.payloadSha256 = r.sha256;
        ASSERT_EQ(r.status, request_compose(&params_, &values_)) << r.type;
        if (r.hash) {
            EXPECT_EQ(std::string("x-amz-content-sha256: ") + r.hash, amzHeaders()[1]);
        }
    }
    // A V2 request ignores the hash entirely.
    params_.bucketContext.signatureVersion = S3SignatureV2;
    props.payloadSha256 = "not hex";
    EXPECT_EQ(S3StatusOK, request_compose(&params_, &values_));
}

} // namespace
