// Request execution on the wire: the response header collector, the statuses
// a server can provoke (scripted by the fault server), uploads whose server
// never says "100 Continue", certificate checks, and the handle pool.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

#include "harness.h"
#include "request_compose.h"
#include "request_context.h"
#include "request_pool.h"
#include "request_trace.h"
#include "response_headers_handler.h"
#include "wire_support.h"

using namespace wire;

namespace {

// ---- the header collector ----

struct HeaderCollector {
    ResponseHeadersHandler handler;
    HeaderCollector() { response_headers_handler_initialize(&handler); }
    void add(const std::string &line)
    {
        response_headers_handler_add(&handler, line.data(), static_cast<int>(line.size()));
    }
    const S3ResponseProperties &props() const { return handler.responseProperties; }
};

TEST(ResponseHeaders, KnownNamesMatchWholeAndIgnoringCase)
{
    struct Row {
        const char *line;
        const char *S3ResponseProperties::*field;
        const char *want; // null: the field stays unset
    } rows[] = {
        {"x-amz-request-id: R1\r\n", &S3ResponseProperties::requestId, "R1"},
        {"X-Amz-Request-Id: R2\r\n", &S3ResponseProperties::requestId, "R2"},
        {"x-amz-id-2: second\r\n", &S3ResponseProperties::requestId2, "second"},
        {"content-type: text/html\r\n", &S3ResponseProperties::contentType, "text/html"},
        {"Server:    spaced   \r\n", &S3ResponseProperties::server, "spaced"},
        {"etag: \"abc\" \t \r\n", &S3ResponseProperties::eTag, "\"abc\""},
        {"ETAG:\"x\"\n", &S3ResponseProperties::eTag, "\"x\""},
        {"Cache-Control: max-age=60, public\r\n", &S3ResponseProperties::cacheControl, "max-age=60, public"},
        {"content-encoding: br\r\n", &S3ResponseProperties::contentEncoding, "br"},
        {"X-Amz-Storage-Class: REDUCED_REDUNDANCY\r\n", &S3ResponseProperties::storageClass,
         "REDUCED_REDUNDANCY"},
        {"Cache-Controls: no\r\n", &S3ResponseProperties::cacheControl, nullptr},
        // Only whole names count.
        {"Content: not-known\r\n", &S3ResponseProperties::contentType, nullptr},
        {"ETagged: no\r\n", &S3ResponseProperties::eTag, nullptr},
        {"x-amz-request: no\r\n", &S3ResponseProperties::requestId, nullptr},
        {": no name\r\n", &S3ResponseProperties::requestId, nullptr},
        {"   \r\n", &S3ResponseProperties::requestId, nullptr},
        {"x\n", &S3ResponseProperties::requestId, nullptr},
    };
    for (const Row &row : rows) {
        HeaderCollector c;
        c.add(row.line);
        const char *got = c.props().*(row.field);
        if (row.want) {
            EXPECT_STREQ(row.want, got) << row.line;
        } else {
            EXPECT_EQ(nullptr, got) << row.line;
        }
    }
}

TEST(ResponseHeaders, ContentLengthTakesDigitsUpToTheFirstOther)
{
    struct Row {
        const char *line;
        uint64_t want;
    } rows[] = {
        {"Content-Length: 17\r\n", 17},
        {"CONTENT-LENGTH: 68719476736\r\n", 68719476736ull},
        {"content-length: 12abc\r\n", 12},
        {"Content-Length: abc\r\n", 0},
        {"Content-Length: -5\r\n", 0},
        {"Content-Length:\r\n", 0},
    };
    for (const Row &row : rows) {
        HeaderCollector c;
        c.add(row.line);
        EXPECT_EQ(row.want, c.props().contentLength) << row.line;
    }
}

TEST(ResponseHeaders, MetadataPairsAndTheEndOfCollection)
{
    HeaderCollector c;
    c.add("x-amz-meta-colour: blue\r\n");
    c.add("X-Amz-Meta-Size:  large \r\n");
    c.add("x-amz-meta-empty:\r\n");
    c.add("x-amz-metadata: not a pair\r\n");
    ASSERT_EQ(3, c.props().metaDataCount);
    EXPECT_STREQ("colour", c.props().metaData[0].name);
    EXPECT_STREQ("blue", c.props().metaData[0].value);
    EXPECT_STREQ("Size", c.props().metaData[1].name);
    EXPECT_STREQ("large", c.props().metaData[1].value);
    EXPECT_STREQ("empty", c.props().metaData[2].name);
    EXPECT_STREQ("", c.props().metaData[2].value);

    c.handler.done = 1;
    c.add("ETag: \"late\"\r\n");
    EXPECT_EQ(nullptr, c.props().eTag);
}

// The headers of an object the tool stored with a Cache-Control of the
// longest value it sends: every other header of the answer is kept too (the
// digest in x-amz-meta-md5, the type), so the object is never taken for
// changed; only what no store sends is cut.
TEST(ResponseHeaders, LongValuesTheClientSendsLeaveRoomForEveryOtherHeader)
{
    HeaderCollector c;
    const std::string strLong(S3_MAX_HEADER_VALUE_SIZE, 'c');
    c.add("x-amz-id-2: " + std::string(S3_MAX_HEADER_VALUE_SIZE, 'i') + "\r\n");
    c.add("x-amz-request-id: " + std::string(S3_MAX_HEADER_VALUE_SIZE, 'r') + "\r\n");
    c.add("Cache-Control: " + strLong + "\r\n");
    c.add("Content-Type: text/html; charset=" + std::string(990, 'u') + "\r\n");
    c.add("x-amz-meta-md5: 0123456789abcdef0123456789abcdef\r\n");
    c.add("ETag: \"0123456789abcdef0123456789abcdef\"\r\n");
    c.add("Content-Encoding: gzip\r\n");
    c.add("x-amz-storage-class: STANDARD\r\n");
    c.add("Server: " + std::string(5000, 's') + "\r\n");
    EXPECT_EQ(strLong, c.props().cacheControl);
    EXPECT_EQ("text/html; charset=" + std::string(990, 'u'), c.props().contentType);
    ASSERT_EQ(1, c.props().metaDataCount);
    EXPECT_STREQ("0123456789abcdef0123456789abcdef", c.props().metaData[0].value);
    EXPECT_STREQ("\"0123456789abcdef0123456789abcdef\"", c.props().eTag);
    EXPECT_STREQ("gzip", c.props().contentEncoding);
    EXPECT_STREQ("STANDARD", c.props().storageClass);
    EXPECT_EQ(std::string(S3_MAX_HEADER_VALUE_SIZE, 's'), c.props().server);
}

// ---- statuses against the fault server ----

class FaultWire : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr)); }
    void TearDown() override { S3_deinitialize(); }
};

S3Status onListIgnored(int, const char *, int, const S3ListBucketContent *, int, const char **,
                       void *)
{
    return S3StatusOK;
}

Context faultContext(const harness::FaultServer &server)
{
    return Context(server.endpoint(), "bucket");
}

TEST_F(FaultWire, HttpStatusesWithoutADocumentMapByTheTable)
{
    struct Row {
        int http;
        S3Status want;
    } rows[] = {
        {301, S3StatusErrorPermanentRedirect},  {307, S3StatusHttpErrorMovedTemporarily},
        {400, S3StatusHttpErrorBadRequest},     {403, S3StatusHttpErrorForbidden},
        {404, S3StatusHttpErrorNotFound},       {405, S3StatusErrorMethodNotAllowed},
        {409, S3StatusHttpErrorConflict},       {411, S3StatusErrorMissingContentLength},
        {412, S3StatusErrorPreconditionFailed}, {416, S3StatusErrorInvalidRange},
        {500, S3StatusHttpErrorInternalServerError}, {501, S3StatusErrorNotImplemented},
        {502, S3StatusHttpErrorBadGateway},     {503, S3StatusHttpErrorServiceUnavailable},
        {504, S3StatusHttpErrorGatewayTimeout}, {418, S3StatusHttpErrorUnknown},
        {302, S3StatusHttpErrorUnknown},        {200, S3StatusOK},
    };
    for (const Row &row : rows) {
        harness::FaultServer server("status:" + std::to_string(row.http));
        Context c = faultContext(server);
        const S3BucketContext ctx = c.get();

        Outcome g = get(ctx, "key");
        EXPECT_EQ(1, g.completes) << row.http;
        EXPECT_EQ(row.want, g.status) << row.http;
        EXPECT_TRUE(g.hadErrorDetails) << row.http;
        EXPECT_TRUE(g.body.empty()) << row.http;
        EXPECT_EQ(row.http, g.httpStatus) << row.http;

        Outcome p = put(ctx, "key", "upload body");
        EXPECT_EQ(1, p.completes) << row.http;
        EXPECT_EQ(row.want, p.status) << "put " << row.http;
        EXPECT_EQ(0, p.propertiesCalls) << "put " << row.http;

        Outcome h = head(ctx, "key");
        EXPECT_EQ(row.want, h.status) << "head " << row.http;
        EXPECT_EQ(row.http == 200 ? 1 : 0, h.propertiesCalls) << row.http;
    }
}

// A gateway, proxy or load balancer in front of the store answers with its
// own page (HTML, plain text or nothing): the answer keeps its HTTP status,
// and the four gateway statuses are worth another try.
TEST_F(FaultWire, GatewayAnswersWithoutAnErrorDocumentKeepTheirHttpStatus)
{
    const std::string data = SITEMIRROR_SOURCE_DIR "/tests/s3client/data";
    struct Row {
        std::string mode;
        int http;
        S3Status want;
    } rows[] = {
        {"status:502:" + data + "/gateway-502.html", 502, S3StatusHttpErrorBadGateway},
        {"status:503:" + data + "/gateway-503.txt", 503, S3StatusHttpErrorServiceUnavailable},
        {"status:500:" + data + "/gateway-503.txt", 500, S3StatusHttpErrorInternalServerError},
        {"status:504", 504, S3StatusHttpErrorGatewayTimeout},
        {"status:403:" + data + "/gateway-502.html", 403, S3StatusHttpErrorForbidden},
    };
    for (const Row &row : rows) {
        harness::FaultServer server(row.mode);
        Context c = faultContext(server);
        const S3BucketContext ctx = c.get();

        Outcome g = get(ctx, "key");
        EXPECT_EQ(1, g.completes) << row.mode;
        EXPECT_EQ(row.want, g.status) << row.mode;
        EXPECT_EQ(row.http, g.httpStatus) << row.mode;
        EXPECT_TRUE(g.body.empty()) << row.mode;
        EXPECT_TRUE(g.errorCode.empty()) << row.mode;
        EXPECT_EQ(row.http != 403, S3_status_is_retryable(g.status) == 1) << row.mode;

        Outcome p = put(ctx, "key", "upload body");
        EXPECT_EQ(row.want, p.status) << "put " << row.mode;
        EXPECT_EQ(row.http, p.httpStatus) << "put " << row.mode;

        Outcome l;
        const S3ListBucketHandler handler = {{&onProperties, &onComplete}, &onListIgnored};
        S3_list_bucket(&ctx, nullptr, nullptr, nullptr, 0, nullptr, &handler, &l);
        EXPECT_EQ(1, l.completes) << "list " << row.mode;
        EXPECT_EQ(row.want, l.status) << "list " << row.mode;
        EXPECT_EQ(row.http, l.httpStatus) << "list " << row.mode;
    }
}

TEST_F(FaultWire, ErrorDocumentsDecideOverTheHttpStatus)
{
    struct Row {
        const char *code;
        const char *status; // "" : the one the store uses for the code
        S3Status want;
        int http; // what the error details report
    } rows[] = {
        {"NoSuchKey", "", S3StatusErrorNoSuchKey, 404},
        {"SlowDown", "", S3StatusErrorSlowDown, 503},
        {"InternalError", "", S3StatusErrorInternalError, 500},
        {"BucketNotEmpty", "", S3StatusErrorBucketNotEmpty, 409},
        {"AccessDenied", ":404", S3StatusErrorAccessDenied, 404},
        {"SomethingNobodyKnows", ":400", S3StatusErrorUnknown, 400},
    };
    for (const Row &row : rows) {
        harness::FaultServer server(std::string("error-doc:") + row.code + row.status);
        Context c = faultContext(server);
        Outcome g = get(c.get(), "some/key");
        EXPECT_EQ(1, g.completes) << row.code;
        EXPECT_EQ(row.want, g.status) << row.code;
        EXPECT_EQ(std::string("Provoked ") + row.code, g.errorMessage);
        EXPECT_EQ("/bucket/some/key", g.errorResource) << row.code;
        EXPECT_TRUE(g.body.empty()) << row.code;
        EXPECT_EQ(0, g.propertiesCalls) << row.code;
        EXPECT_EQ(row.http, g.httpStatus) << row.code;
    }
}

TEST_F(FaultWire, ManyErrorDetailsReachTheCompleteCallbackCut)
{
    harness::FaultServer server("many-details");
    Context c = faultContext(server);
    Outcome g = get(c.get(), "key");
    EXPECT_EQ(1, g.completes);
    EXPECT_EQ(S3StatusErrorAccessDenied, g.status);
    EXPECT_EQ("Access Denied", g.errorMessage);
    EXPECT_EQ("/bucket/key", g.errorResource);
    EXPECT_EQ(std::string(1024, 'f'), g.errorFurtherDetails);
    EXPECT_EQ(8u, g.errorExtra.size());
    EXPECT_EQ("4442587FB7D0A2F9", g.detail("RequestId"));
    EXPECT_EQ("firstsecond", g.detail("Repeat"));
}

TEST_F(FaultWire, BodiesThatAreNotDocumentsOrEndEarlyFail)
{
    {
        harness::FaultServer server("plain-error");
        Context c = faultContext(server);
        Outcome g = get(c.get(), "key");
        EXPECT_EQ(1, g.completes);
        EXPECT_EQ(S3StatusHttpErrorInternalServerError, g.status);
        EXPECT_EQ(500, g.httpStatus);
        EXPECT_TRUE(g.body.empty());
    }
    {
        // Content-Length promises 100000 bytes, 1000 come: the object is
        // incomplete and must not be reported as fetched.
        harness::FaultServer server("truncated");
        Context c = faultContext(server);
        Outcome g = get(c.get(), "key");
        EXPECT_EQ(1, g.completes);
        EXPECT_EQ(S3StatusConnectionFailed, g.status);
        EXPECT_LE(g.body.size(), 1000u);
    }
    {
        harness::FaultServer server("notfound-empty");
        Context c = faultContext(server);
        Outcome h = head(c.get(), "key");
        EXPECT_EQ(S3StatusHttpErrorNotFound, h.status);
        EXPECT_TRUE(h.errorMessage.empty());
        EXPECT_TRUE(h.errorExtra.empty());
        EXPECT_EQ(S3StatusHttpErrorNotFound, get(c.get(), "key").status);
    }
}

TEST_F(FaultWire, NoServerOrNoAnswerEndsInATransportStatus)
{
    {
        Context c("127.0.0.1:" + std::to_string(harness::refusedPort()), "bucket");
        Outcome g = get(c.get(), "key");
        EXPECT_EQ(1, g.completes);
        EXPECT_EQ(S3StatusFailedToConnect, g.status);
        EXPECT_TRUE(g.hadErrorDetails);
    }
    {
        // The body is sent after "100 Continue", and then the connection
        // closes with no answer.
        harness::FaultServer server("continue-only");
        Context c = faultContext(server);
        Outcome p = put(c.get(), "key", patternBytes(5000));
        EXPECT_EQ(1, p.completes);
        EXPECT_EQ(S3StatusConnectionFailed, p.status) << S3_get_status_name(p.status);
        EXPECT_TRUE(S3_status_is_retryable(p.status));
        EXPECT_EQ(0, p.propertiesCalls);
    }
    {
        // The upload's connection closes as soon as its head has arrived.
        harness::FaultServer server("cut-puts");
        Context c = faultContext(server);
        Outcome p = put(c.get(), "key", patternBytes(5000));
        EXPECT_EQ(1, p.completes);
        EXPECT_EQ(S3StatusConnectionFailed, p.status) << S3_get_status_name(p.status);
    }
    {
        // A reserved name that never resolves.
        Context c("no-such-host.invalid", "bucket");
        Outcome g = get(c.get(), "key");
        EXPECT_EQ(1, g.completes);
        EXPECT_EQ(S3StatusNameLookupError, g.status);
    }
}

// A kept connection that the store has closed is found dead only once the
// next upload has been sent on it; libcurl then sends it again on a new one,
// which needs the body from its first byte.
TEST_F(FaultWire, AnUploadOnADeadKeptConnectionIsSentAgainWhenItCanBeRewound)
{
    harness::FaultServer server("drop-reused");
    Context c = faultContext(server);
    const S3BucketContext ctx = c.get();
    const std::string body = patternBytes(20000);

    Outcome first = put(ctx, "first", body);
    ASSERT_EQ(S3StatusOK, first.status);
    EXPECT_EQ(0, first.rewinds);

    const int requestsBefore = server.requestsSeen();
    const int64_t bytesBefore = server.bodyBytesReceived();
    Outcome again = put(ctx, "again", body);
    EXPECT_EQ(1, again.completes);
    EXPECT_EQ(S3StatusOK, again.status) << S3_get_status_name(again.status);
    EXPECT_EQ(1, again.rewinds);
    EXPECT_EQ(2, server.requestsSeen() - requestsBefore);
    EXPECT_EQ(static_cast<int64_t>(2 * body.size()), server.bodyBytesReceived() - bytesBefore);
    EXPECT_EQ(200, again.httpStatus);

    // Without a way back to byte 0 the body cannot be sent twice: a
    // connection failure, worth a retry by the caller, not an internal error.
    Outcome forward;
    forward.upload = body;
    S3_put_object(&ctx, "forward", body.size(), nullptr, nullptr, &kForwardOnlyPutHandler,
                  &forward);
    EXPECT_EQ(1, forward.completes);
    EXPECT_EQ(S3StatusConnectionFailed, forward.status) << S3_get_status_name(forward.status);
    EXPECT_TRUE(S3_status_is_retryable(forward.status));
}

// An https:// endpoint that answers in plain HTTP: no TLS session, which no
// retry mends.
TEST_F(FaultWire, AnHttpsEndpointThatAnswersPlainHttpIsATlsFailure)
{
    harness::FaultServer server("plain-greeting");
    Context c = faultContext(server);
    c.protocol = S3ProtocolHTTPS;
    Outcome g = get(c.get(), "key");
    EXPECT_EQ(1, g.completes);
    EXPECT_EQ(S3StatusTlsFailed, g.status) << S3_get_status_name(g.status);
    EXPECT_FALSE(S3_status_is_retryable(g.status));
    EXPECT_EQ(0, g.httpStatus);
    Outcome p = put(c.get(), "key", "body");
    EXPECT_EQ(S3StatusTlsFailed, p.status) << S3_get_status_name(p.status);
    EXPECT_EQ(0, p.putCalls);
}

TEST_F(FaultWire, AServerThatStallsIsAbandonedByTheLowSpeedLimit)
{
    harness::FaultServer server("silent");
    Context c = faultContext(server);
    const auto start = std::chrono::steady_clock::now();
    Outcome g = get(c.get(), "key");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_EQ(1, g.completes);
    EXPECT_EQ(S3StatusConnectionFailed, g.status);
    EXPECT_GE(seconds, 14);
    EXPECT_LE(seconds, 40);
}

TEST_F(FaultWire, OddAndOversizedHeadersAreCollectedSafely)
{
    {
        harness::FaultServer server("odd-headers");
        Context c = faultContext(server);
        Outcome g = get(c.get(), "key");
        EXPECT_EQ(S3StatusOK, g.status);
        EXPECT_EQ(1, g.propertiesCalls);
        EXPECT_EQ("odd-request-id", g.requestId);
        EXPECT_EQ("\"0123456789abcdef0123456789abcdef\"", g.eTag);
        EXPECT_EQ("text/odd", g.contentType);
        EXPECT_EQ("spaced-server", g.server);
        EXPECT_EQ(17u, g.contentLength);
        ASSERT_EQ(2u, g.metaData.size());
        EXPECT_EQ("Foo", g.metaData[0].first);
        EXPECT_EQ("bar", g.metaData[0].second);
        EXPECT_EQ("empty", g.metaData[1].first);
        EXPECT_EQ("odd headers body\n", g.body);
    }
    {
        harness::FaultServer server("big-headers");
        Context c = faultContext(server);
        Outcome g = get(c.get(), "key");
        EXPECT_EQ(S3StatusOK, g.status);
        EXPECT_EQ(1, g.propertiesCalls);
        // Each text has room for the longest value the client sends.
        EXPECT_EQ(std::string(300, 'r'), g.requestId);
        EXPECT_EQ("\"feedfacefeedfacefeedfacefeedface\"", g.eTag);
        EXPECT_EQ("text/" + std::string(695, 'x'), g.contentType);
        // A metadata value that does not fit drops its pair and fills the
        // metadata store: no later pair is kept either.
        EXPECT_TRUE(g.metaData.empty());
        EXPECT_EQ("big headers\n", g.body);
    }
}

// A redirect is an answer, never followed: the request was signed for this
// host, and a Location may point anywhere (plain HTTP included).
TEST_F(FaultWire, RedirectsAreReportedNotFollowed)
{
    struct Row {
        int status;
        S3Status want;
    } rows[] = {
        {301, S3StatusErrorPermanentRedirect},
        {302, S3StatusHttpErrorUnknown},
        {307, S3StatusHttpErrorMovedTemporarily},
    };
    for (const Row &row : rows) {
        harness::FaultServer server("redirect:" + std::to_string(row.status));
        Context c = faultContext(server);
        Outcome g = get(c.get(), "key");
        EXPECT_EQ(1, g.completes) << row.status;
        EXPECT_EQ(row.want, g.status) << row.status;
        EXPECT_EQ("", g.body) << row.status;
        Outcome p = put(c.get(), "key", patternBytes(5000));
        EXPECT_EQ(row.want, p.status) << row.status;
        EXPECT_EQ(2, server.requestsSeen()) << row.status;
    }

    // The store's error document reaches the caller, its endpoint included.
    harness::FaultServer server("status:301:error-permanent-redirect.xml");
    Context c = faultContext(server);
    Outcome g = get(c.get(), "key");
    EXPECT_EQ(S3StatusErrorPermanentRedirect, g.status);
    EXPECT_EQ("bucket.s3-eu-west-1.amazonaws.com", g.detail("Endpoint"));
    EXPECT_EQ(1, server.requestsSeen());
}

// A server that never says "100 Continue" gets the body when libcurl stops
// waiting; its final 200 must make the upload a success.
TEST_F(FaultWire, UploadsAnsweredWithoutContinueSucceed)
{
    harness::FaultServer server("no-continue");
    Context c = faultContext(server);
    const S3BucketContext ctx = c.get();

    for (size_t size : {size_t(1), size_t(70000)}) {
        const int64_t before = server.bodyBytesReceived();
        Outcome p = put(ctx, "key", patternBytes(size));
        EXPECT_EQ(1, p.completes) << size;
        EXPECT_EQ(S3StatusOK, p.status) << size;
        EXPECT_EQ(0, p.propertiesCalls) << size;
        EXPECT_EQ(static_cast<int64_t>(size), server.bodyBytesReceived() - before) << size;
    }

    // The copy's result document reaches its reader whatever was latched.
    int64_t lastModified = 0;
    char eTag[64] = "";
    Outcome o;
    S3_copy_object(&ctx, "source", nullptr, "dest", nullptr, &lastModified, sizeof(eTag), eTag,
                   nullptr, &kResponseHandler, &o);
    EXPECT_EQ(1, o.completes);
    EXPECT_EQ(S3StatusOK, o.status);
    EXPECT_STREQ("\"d41d8cd98f00b204e9800998ecf8427e\"", eTag);
    EXPECT_EQ(1767323045, lastModified); // 2026-01-02T03:04:05Z
    EXPECT_EQ(0, o.propertiesCalls);
}

// A server that does say "100 Continue" to a copy (which has no body) lets
// libcurl ask for body bytes before the answer: the 100 is what was latched,
// and the result document must still reach the copy's reader.
TEST_F(FaultWire, ACopyAnsweredAfterContinueReadsItsResult)
{
    harness::FaultServer server("early-continue");
    Context c = faultContext(server);
    const S3BucketContext ctx = c.get();

    int64_t lastModified = 0;
    char eTag[64] = "";
    Outcome o;
    S3_copy_object(&ctx, "source", nullptr, "dest", nullptr, &lastModified, sizeof(eTag), eTag,
                   nullptr, &kResponseHandler, &o);
    EXPECT_EQ(1, o.completes);
    EXPECT_EQ(S3StatusOK, o.status);
    EXPECT_STREQ("\"d41d8cd98f00b204e9800998ecf8427e\"", eTag);
    EXPECT_EQ(1767323045, lastModified);

    Outcome p = put(ctx, "key", patternBytes(3000));
    EXPECT_EQ(S3StatusOK, p.status);
    EXPECT_EQ(3000, server.bodyBytesReceived());
}

// ---- certificates ----

TEST(TlsWire, ATrustedAuthorityWorksAndAnUntrustedOneSendsNothing)
{
    harness::StoreOptions options;
    options.tls = true;
    harness::Store store(options);
    store.createBucket("wire-tls");

    ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr));
    Context c(store.endpoint(), "wire-tls");
    c.protocol = S3ProtocolHTTPS;

    ASSERT_EQ(S3StatusOK, S3_set_ca_file(store.caFile().c_str()));
    EXPECT_EQ(S3StatusOK, put(c.get(), "secure", "over tls").status);
    Outcome g = get(c.get(), "secure");
    EXPECT_EQ(S3StatusOK, g.status);
    EXPECT_EQ("over tls", g.body);

    // The certificate names 127.0.0.1 and localhost; the machine's own name,
    // when it leads to the same address, is a name it lacks.
    char hostName[256] = "";
    gethostname(hostName, sizeof(hostName) - 1);
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_INET;
    bool loopbackAlias = false;
    if (strcmp(hostName, "localhost") && getaddrinfo(hostName, nullptr, &hints, &found) == 0) {
        const sockaddr_in *addr = reinterpret_cast<const sockaddr_in *>(found->ai_addr);
        loopbackAlias = ntohl(addr->sin_addr.s_addr) == INADDR_LOOPBACK;
        freeaddrinfo(found);
    }
    if (loopbackAlias) {
        Context otherName(std::string(hostName) + store.endpoint().substr(store.endpoint().find(':')),
                          "wire-tls");
        otherName.protocol = S3ProtocolHTTPS;
        Outcome o = get(otherName.get(), "secure");
        EXPECT_EQ(S3StatusServerFailedVerification, o.status) << "host " << hostName;
        EXPECT_TRUE(o.body.empty());
    }

    store.resetCounters();
    ASSERT_EQ(S3StatusOK, S3_set_ca_file(nullptr));
    Outcome untrusted = put(c.get(), "insecure", patternBytes(100000));
    EXPECT_EQ(1, untrusted.completes);
    EXPECT_EQ(S3StatusServerFailedVerification, untrusted.status);
    EXPECT_EQ(0, untrusted.putCalls) << "no body byte was asked for";
    EXPECT_EQ(0, store.counters().requests);
    EXPECT_FALSE(store.getObject("wire-tls", "insecure").exists);

    // A bundle that cannot be read is no licence to trust the system's store.
    EXPECT_EQ(S3StatusServerFailedVerification, S3_set_ca_file("/nonexistent/ca.pem"));
    Outcome missing = put(c.get(), "insecure", "x");
    EXPECT_EQ(S3StatusServerFailedVerification, missing.status)
        << S3_get_status_name(missing.status);
    EXPECT_EQ(0, store.counters().requests);
    ASSERT_EQ(S3StatusOK, S3_set_ca_file(nullptr));

    S3_deinitialize();
}

// ---- the pool ----

class PoolWire : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        store_ = new harness::Store();
        store_->createBucket("wire-pool");
    }
    static void TearDownTestSuite()
    {
        delete store_;
        store_ = nullptr;
    }
    static harness::Store *store_;
};

harness::Store *PoolWire::store_ = nullptr;

TEST_F(PoolWire, SequentialRequestsReuseOneHandleAndOneConnection)
{
    ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr));
    Context c(store_->endpoint(), "wire-pool");
    store_->resetCounters();
    for (int i = 0; i < 12; i++) {
        const std::string key = "seq/" + std::to_string(i);
        EXPECT_EQ(S3StatusOK, put(c.get(), key, patternBytes(4096, i)).status);
        EXPECT_EQ(S3StatusOK, head(c.get(), key).status);
        EXPECT_EQ(S3StatusOK, get(c.get(), key).status);
    }
    EXPECT_EQ(S3StatusErrorNoSuchKey, get(c.get(), "seq/none").status);
    EXPECT_EQ(1, request_pool_count());
    harness::Counters counters = store_->counters();
    EXPECT_EQ(37, counters.requests);
    EXPECT_EQ(1, counters.connections);
    S3_deinitialize();
    EXPECT_EQ(0, request_pool_count());

    // A new initialisation starts from an empty pool: a new connection.
    store_->resetCounters();
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr));
        EXPECT_EQ(S3StatusOK, head(c.get(), "seq/0").status);
        S3_deinitialize();
    }
    EXPECT_EQ(3, store_->counters().connections);
}

TEST_F(PoolWire, ThePoolKeepsThirtyTwoOrAsManyAsWereOutAtOnce)
{
    ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr));
    // Nested initialisations only count: the pool survives until the last.
    ASSERT_EQ(S3StatusOK, S3_initialize("other", 0, "elsewhere.example"));

    Context c(store_->endpoint(), "wire-pool");
    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypeGET;
    params.bucketContext = c.get();
    params.key = "k";
    params.completeCallback = &onComplete;
    RequestComputedValues values;
    ASSERT_EQ(S3StatusOK, request_compose(&params, &values));

    // One at a time, the pool keeps one; released while it holds
    // REQUEST_STACK_SIZE, a request out of the 33 taken at once is still
    // kept, since the pool grows to what was out at once.
    auto takeAndRelease = [&](int count) {
        std::vector<Request *> held;
        for (int i = 0; i < count; i++) {
            Request *request = nullptr;
            EXPECT_EQ(S3StatusOK, request_get(&params, &values, &request));
            held.push_back(request);
        }
        EXPECT_EQ(0, request_pool_count());
        for (Request *request : held) {
            request_release(request);
        }
    };
    takeAndRelease(REQUEST_STACK_SIZE);
    EXPECT_EQ(REQUEST_STACK_SIZE, request_pool_count());
    takeAndRelease(REQUEST_STACK_SIZE + 8);
    EXPECT_EQ(REQUEST_STACK_SIZE + 8, request_pool_count());
    // A destroyed request is no longer out of the pool.
    Request *one = nullptr;
    ASSERT_EQ(S3StatusOK, request_get(&params, &values, &one));
    request_destroy(one);
    takeAndRelease(REQUEST_STACK_SIZE + 7);
    EXPECT_EQ(REQUEST_STACK_SIZE + 7, request_pool_count());

    S3_deinitialize();
    EXPECT_EQ(REQUEST_STACK_SIZE + 7, request_pool_count());
    S3_deinitialize();
    EXPECT_EQ(0, request_pool_count());
}

TEST_F(PoolWire, ARequestContextQueuesRequestsInOrder)
{
    ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr));
    S3RequestContext context{};
    context.curlm = curl_multi_init();
    ASSERT_NE(nullptr, context.curlm);

    Context c(store_->endpoint(), "wire-pool");
    const S3BucketContext ctx = c.get();
    Outcome outcomes[3];
    for (Outcome &o : outcomes) {
        S3_head_object(&ctx, "k", &context, &kResponseHandler, &o);
        EXPECT_EQ(0, o.completes) << "queued, not run";
    }
    ASSERT_NE(nullptr, context.requests);
    Request *first = context.requests;
    EXPECT_EQ(&outcomes[0], first->callbackData);
    EXPECT_EQ(&outcomes[1], first->next->callbackData);
    EXPECT_EQ(&outcomes[2], first->next->next->callbackData);
    EXPECT_EQ(first, first->next->next->next);
    EXPECT_EQ(&outcomes[2], first->prev->callbackData);

    // Running a context is up to its owner; here the requests are dropped.
    Request *r = first;
    for (int i = 0; i < 3; i++) {
        Request *next = r->next;
        curl_multi_remove_handle(context.curlm, r->curl);
        request_destroy(r);
        r = next;
    }
    curl_multi_cleanup(context.curlm);
    S3_deinitialize();
}

} // namespace

namespace {

// The head of the request for target as the store saw it, or "".
std::string requestHead(const std::string &json, const std::string &target)
{
    const size_t at = json.find("\"target\": \"" + target + "\"");
    if (at == std::string::npos) {
        return "";
    }
    const size_t end = json.find("{\"method\"", at);
    return json.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

TEST_F(PoolWire, OnlyBodiesFromOneMebibyteWaitForContinue)
{
    ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr));
    Context c(store_->endpoint(), "wire-pool");
    store_->resetCounters();
    struct Row {
        const char *key;
        size_t size;
        bool expect;
    } rows[] = {
        {"expect/empty", 0, false},
        {"expect/small", 2000, false},
        {"expect/below", 1024 * 1024 - 1, false},
        {"expect/at", 1024 * 1024, true},
    };
    for (const Row &row : rows) {
        const std::string body = patternBytes(row.size);
        EXPECT_EQ(S3StatusOK, put(c.get(), row.key, body).status) << row.key;
        EXPECT_TRUE(store_->getObject("wire-pool", row.key).body == body) << row.key;
    }
    const std::string json = store_->requestsJson();
    for (const Row &row : rows) {
        const std::string head = requestHead(json, std::string("/wire-pool/") + row.key);
        ASSERT_FALSE(head.empty()) << row.key;
        EXPECT_EQ(row.expect, head.find("[\"Expect\", \" 100-continue\"]") != std::string::npos)
            << row.key << ": " << head;
    }
    S3_deinitialize();
}

// Standard error written to a file while the object lives.
class StderrCapture {
public:
    StderrCapture()
    {
        fflush(stderr);
        saved_ = dup(2);
        file_ = tmpfile();
        dup2(fileno(file_), 2);
    }
    ~StderrCapture()
    {
        restore();
        fclose(file_);
    }
    std::string text()
    {
        restore();
        std::string out;
        rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), file_)) > 0) {
            out.append(buf, n);
        }
        return out;
    }

private:
    void restore()
    {
        if (saved_ >= 0) {
            fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
    }
    int saved_ = -1;
    FILE *file_ = nullptr;
};

TEST(Trace, SignaturesAndTokensAreReplacedAndTheRestKeptAsLibcurlWritesIt)
{
    struct Row {
        curl_infotype type;
        const char *in, *out;
    } rows[] = {
        {CURLINFO_HEADER_OUT,
         "GET /b/k HTTP/1.1\r\nHost: h\r\nAuthorization: AWS AKIDEXAMPLE:frJIUN8DYpKDtOLCwo//yllqDzg=\r\n"
         "x-amz-date: now\r\n\r\n",
         "> GET /b/k HTTP/1.1\r\nHost: h\r\nAuthorization: AWS AKIDEXAMPLE:<redacted>\r\n"
         "x-amz-date: now\r\n\r\n"},
        {CURLINFO_HEADER_OUT,
         "authorization: AWS4-HMAC-SHA256 Credential=AKID/20260101/us-east-1/s3/aws4_request, "
         "SignedHeaders=host;x-amz-date, Signature=fe5f80f77d5fa3beca038a248ff027d0445342fe2855ddc963176630326f1024\r\n",
         "> authorization: AWS4-HMAC-SHA256 Credential=AKID/20260101/us-east-1/s3/aws4_request, "
         "SignedHeaders=host;x-amz-date, Signature=<redacted>\r\n"},
        {CURLINFO_HEADER_OUT,
         "GET /b/k?AWSAccessKeyId=AKID&Expires=1&Signature=abc%2Bdef%3D HTTP/1.1\r\n",
         "> GET /b/k?AWSAccessKeyId=AKID&Expires=1&Signature=<redacted> HTTP/1.1\r\n"},
        {CURLINFO_TEXT, "Issue another request to /k?X-Amz-Date=1&X-Amz-Signature=0123abcd&x=1\n",
         "* Issue another request to /k?X-Amz-Date=1&X-Amz-Signature=<redacted>&x=1\n"},
        {CURLINFO_HEADER_OUT,
         "PUT /b/k HTTP/1.1\r\nX-Amz-Security-Token: IQoJb3JpZ2lu/+==\r\nx-amz-date: now\r\n",
         "> PUT /b/k HTTP/1.1\r\nX-Amz-Security-Token: <redacted>\r\nx-amz-date: now\r\n"},
        {CURLINFO_HEADER_OUT,
         "GET /b/k?X-Amz-Credential=AKID%2F1&X-Amz-Security-Token=IQoJ%2B%3D&X-Amz-Signature=ab "
         "HTTP/1.1\r\n",
         "> GET /b/k?X-Amz-Credential=AKID%2F1&X-Amz-Security-Token=<redacted>&"
         "X-Amz-Signature=<redacted> HTTP/1.1\r\n"},
        {CURLINFO_HEADER_IN, "HTTP/1.1 200 OK\r\n", "< HTTP/1.1 200 OK\r\n"},
        {CURLINFO_DATA_IN, "body bytes", ""},
        {CURLINFO_DATA_OUT, "Authorization: AWS id:sig", ""},
    };
    for (const Row &row : rows) {
        char *buf = nullptr;
        size_t len = 0;
        FILE *out = open_memstream(&buf, &len);
        ASSERT_NE(nullptr, out);
        request_trace_write(out, row.type, row.in, strlen(row.in));
        fclose(out);
        EXPECT_EQ(std::string(row.out), std::string(buf, len)) << row.in;
        free(buf);
    }
}

TEST_F(PoolWire, TheTraceOfARunHoldsNoSignatureAndCanBeSwitchedOff)
{
    ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr));
    Context c(store_->endpoint(), "wire-pool");
    std::string trace;
    {
        StderrCapture capture;
        EXPECT_EQ(S3StatusOK, put(c.get(), "trace/k", "traced").status);
        EXPECT_EQ(S3StatusOK, get(c.get(), "trace/k").status);
        trace = capture.text();
    }
    EXPECT_NE(std::string::npos, trace.find("> PUT /wire-pool/trace/k HTTP/1.1\r\n")) << trace;
    EXPECT_NE(std::string::npos, trace.find("< HTTP/1.1 200")) << trace;
    EXPECT_NE(std::string::npos, trace.find("* Connected to 127.0.0.1")) << trace;
    size_t count = 0;
    for (size_t at = trace.find("Authorization: "); at != std::string::npos;
         at = trace.find("Authorization: ", at + 1)) {
        ++count;
        const std::string line = trace.substr(at, trace.find('\r', at) - at);
        EXPECT_EQ("Authorization: AWS " + std::string(harness::kAccessKeyId) + ":<redacted>", line);
    }
    EXPECT_EQ(2u, count);
    EXPECT_EQ(std::string::npos, trace.find("traced")) << "no body bytes";

    S3_set_trace(0);
    {
        StderrCapture capture;
        EXPECT_EQ(S3StatusOK, get(c.get(), "trace/k").status);
        trace = capture.text();
    }
    S3_set_trace(1);
    EXPECT_EQ("", trace);
    S3_deinitialize();
}

// Every upload names its exact length once, and is never sent in chunks.
TEST_F(PoolWire, UploadsCarryTheirExactContentLengthOnce)
{
    ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr));
    Context c(store_->endpoint(), "wire-pool");
    for (size_t size : {size_t(0), size_t(1), size_t(70000)}) {
        std::string trace;
        {
            StderrCapture capture;
            EXPECT_EQ(S3StatusOK, put(c.get(), "length/k", patternBytes(size)).status) << size;
            trace = capture.text();
        }
        const size_t start = trace.find("> PUT /wire-pool/length/k HTTP/1.1\r\n");
        ASSERT_NE(std::string::npos, start) << trace;
        const std::string head = trace.substr(start, trace.find("\r\n\r\n", start) - start + 2);
        const std::string line = "\r\nContent-Length: " + std::to_string(size) + "\r\n";
        const size_t at = head.find(line);
        EXPECT_NE(std::string::npos, at) << head;
        EXPECT_EQ(std::string::npos, head.find("Content-Length", at + line.size())) << head;
        EXPECT_EQ(std::string::npos, head.find("Transfer-Encoding")) << head;
        EXPECT_EQ(patternBytes(size), store_->getObject("wire-pool", "length/k").body) << size;
    }
    S3_deinitialize();
}

// Limits are seconds; the fault server's misbehaviour would last for ever.
class TimeLimits : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr)); }
    void TearDown() override
    {
        S3_set_timeouts(0, 0);
        S3_deinitialize();
    }
    static double secondsOf(const std::function<void()> &run)
    {
        const auto start = std::chrono::steady_clock::now();
        run();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

TEST_F(TimeLimits, ARequestEndsAtItsTotalLimitRaisedForItsBody)
{
    S3_set_timeouts(0, 1);
    struct Row {
        const char *mode;
        size_t body; // 0: a GET
        double least, most;
    } rows[] = {
        {"silent", 0, 0.9, 4},       // never answers
        {"trickle", 0, 0.9, 4},      // answers a byte at a time, for ever
        {"silent", 3 * 1024, 3.9, 7}, // 1 s + 3 KiB at the 1 KiB/s floor
    };
    for (const Row &row : rows) {
        harness::FaultServer server(row.mode);
        Context c(server.endpoint(), "bucket");
        Outcome o;
        const double seconds = secondsOf([&] {
            o = row.body ? put(c.get(), "key", patternBytes(row.body)) : get(c.get(), "key");
        });
        EXPECT_EQ(1, o.completes) << row.mode;
        EXPECT_EQ(S3StatusConnectionFailed, o.status) << row.mode;
        EXPECT_GE(seconds, row.least) << row.mode << " " << row.body;
        EXPECT_LE(seconds, row.most) << row.mode << " " << row.body;
    }
}

TEST_F(TimeLimits, AConnectionThatIsNeverAcceptedEndsAtTheConnectLimit)
{
    // A listener with a full backlog that nobody accepts from: the kernel
    // drops further connection requests, so connecting hangs.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
    ASSERT_EQ(0, listen(listener, 0));
    socklen_t addrLen = sizeof(addr);
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &addrLen));
    std::vector<int> fillers;
    for (int i = 0; i < 2; i++) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
        fillers.push_back(s);
    }
    S3_set_timeouts(1, 0);
    Context c("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), "bucket");
    Outcome o;
    const double seconds = secondsOf([&] { o = get(c.get(), "key"); });
    EXPECT_EQ(1, o.completes);
    EXPECT_EQ(S3StatusConnectionFailed, o.status) << S3_get_status_name(o.status);
    EXPECT_GE(seconds, 0.9);
    EXPECT_LE(seconds, 4);
    for (int s : fillers) {
        close(s);
    }
    close(listener);
}

} // namespace
