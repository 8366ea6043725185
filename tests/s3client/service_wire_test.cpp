// Requests to another AWS-style service on the wire: a stand-in that checks
// CloudFront's V4 signature (tests/e2e/cloudfront_check.py) takes them, with
// or without a session token; its error documents, answers that are not XML
// or too long, a refused connection; synchronous and queued; refused before
// anything is sent; and never in the trace.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "harness.h"
#include "wire_support.h"

using namespace wire;

namespace {

const char kTarget[] = "/2020-05-31/distribution/EDIST1/invalidation";
const char kToken[] = "FQoGZXIvYXdzEXAMPLE+token/with=signs";

// cloudfront_check.py on a free port, started for one test.
class CheckingCloudFront {
public:
    CheckingCloudFront(const std::string &secret, const std::string &token = "")
    {
        std::vector<std::string> argv = {"python3",
                                         SITEMIRROR_SOURCE_DIR "/tests/e2e/cloudfront_check.py",
                                         "--access-key", harness::kAccessKeyId, "--secret-key",
                                         secret};
        if (!token.empty()) {
            argv.push_back("--token");
            argv.push_back(token);
        }
        int fds[2];
        if (::pipe(fds) != 0) {
            throw std::runtime_error("pipe");
        }
        std::vector<char *> args;
        for (std::string &arg : argv) {
            args.push_back(&arg[0]);
        }
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string line;
        struct pollfd p = {fds[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
            char buffer[64];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            line.append(buffer, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        if (line.find('\n') == std::string::npos) {
            stop();
            throw std::runtime_error("cloudfront_check.py did not start");
        }
        host_ = "127.0.0.1:" + std::to_string(std::stoi(line));
    }
    ~CheckingCloudFront() { stop(); }

    const std::string &host() const { return host_; }
    // One line per request: "accepted PATHS..." or "refused CODE".
    std::string verdicts() const
    {
        CURL *curl = curl_easy_init();
        std::string answer;
        const std::string url = "http://" + host_ + "/__check__/verdicts";
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
        curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        return answer;
    }

private:
    static size_t collect(char *data, size_t size, size_t count, void *out)
    {
        static_cast<std::string *>(out)->append(data, size * count);
        return size * count;
    }
    void stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    pid_t pid_ = -1;
    std::string host_;
};

// What one request reported.
struct ServiceOutcome {
    Outcome outcome;
    int answers = 0;
    int answerHttpStatus = -1;
    std::vector<std::pair<std::string, std::string>> texts; // name, text
    std::string body; // the whole answer, for a request with a bearer token
    std::string text(const std::string &name) const
    {
        for (const auto &t : texts) {
            if (t.first == name) {
                return t.second;
            }
        }
        return "(not given)";
    }
};

S3Status onAnswer(const S3ServiceAnswer *answer, void *data)
{
    ServiceOutcome *o = static_cast<ServiceOutcome *>(data);
    o->answers++;
    o->answerHttpStatus = answer->httpStatus;
    o->texts.clear();
    for (int i = 0; i < answer->elementCount; i++) {
        o->texts.emplace_back(answer->elementNames[i], answer->elementTexts[i]);
    }
    o->body = answer->body ? std::string(answer->body, static_cast<size_t>(answer->bodySize)) : "";
    return S3StatusOK;
}
S3Status onServiceProperties(const S3ResponseProperties *p, void *data)
{
    return onProperties(p, &static_cast<ServiceOutcome *>(data)->outcome);
}
void onServiceComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    onComplete(status, details, &static_cast<ServiceOutcome *>(data)->outcome);
}
const S3ServiceRequestHandler kServiceHandler = {{&onServiceProperties, &onServiceComplete},
                                                 &onAnswer};

const char *const kNames[] = {"Id", "Code", "Message"};

// An invalidation of the paths to host, signed for CloudFront.
struct Invalidation {
    std::string host;
    std::string body;
    std::string secret = harness::kSecretAccessKey;
    std::string token;
    std::string path = kTarget;
    std::string method = "POST";
    std::string bearer; // "" = signed
    std::vector<S3NameValue> headers = {{"Content-Type", "application/xml"}};

    Invalidation(std::string h, const std::vector<std::string> &paths) : host(std::move(h))
    {
        body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><InvalidationBatch xmlns=\""
               "http://cloudfront.amazonaws.com/doc/2020-05-31/\"><Paths><Quantity>" +
               std::to_string(paths.size()) + "</Quantity><Items>";
        for (const std::string &p : paths) {
            body += "<Path>" + p + "</Path>";
        }
        body += "</Items></Paths><CallerReference>wire</CallerReference></InvalidationBatch>";
    }

    S3ServiceRequest get() const
    {
        S3ServiceRequest r = S3ServiceRequest();
        r.method = method.c_str();
        r.protocol = S3ProtocolHTTP;
        r.hostName = host.c_str();
        r.path = path.c_str();
        r.headers = headers.data();
        r.headerCount = static_cast<int>(headers.size());
        r.body = body.data();
        r.bodySize = static_cast<int64_t>(body.size());
        r.service = "cloudfront";
        r.region = "us-east-1";
        r.accessKeyId = harness::kAccessKeyId;
        r.secretAccessKey = secret.c_str();
        r.securityToken = token.c_str();
        r.answerElementNames = kNames;
        r.answerElementCount = 3;
        r.bearerToken = bearer.c_str();
        return r;
    }
};

ServiceOutcome send(const Invalidation &inv, S3RequestContext *context = nullptr)
{
    ServiceOutcome o;
    const S3ServiceRequest r = inv.get();
    S3_send_service_request(&r, context, &kServiceHandler, &o);
    return o;
}

// A file the fault server answers with; removed with the object.
class AnswerFile {
public:
    explicit AnswerFile(const std::string &content)
    {
        char name[] = "/tmp/service-answer-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) {
            throw std::runtime_error("mkstemp");
        }
        ::close(fd);
        path_ = name;
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~AnswerFile() { ::unlink(path_.c_str()); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// An XML answer of exactly size bytes whose Id is id.
std::string answerOfSize(size_t size, const std::string &id)
{
    const std::string head = "<Invalidation><Id>" + id + "</Id><Pad>";
    const std::string tail = "</Pad></Invalidation>";
    return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

class ServiceWire : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S3StatusOK, S3_initialize("wire test", 0, nullptr));
        S3_set_trace(0);
    }
    void TearDown() override
    {
        S3_set_trace(1);
        S3_deinitialize();
    }
};

TEST_F(ServiceWire, SignedForTheServiceItNamesTheIdComesBack)
{
    CheckingCloudFront cloudFront(harness::kSecretAccessKey);
    // Extra headers are signed as the receiver reads them: blanks squeezed.
    Invalidation inv(cloudFront.host(), {"/a.html", "/b%20c.html"});
    inv.headers.push_back({"X-Amz-Note", "  spaced   out "});
    inv.headers.push_back({"x-amz-empty", ""});
    ServiceOutcome o = send(inv);
    EXPECT_EQ(1, o.outcome.completes);
    EXPECT_EQ(S3StatusOK, o.outcome.status) << o.outcome.errorCode << " " << o.outcome.errorMessage;
    EXPECT_EQ(201, o.outcome.httpStatus);
    EXPECT_EQ("", o.outcome.errorCode);
    EXPECT_EQ(1, o.answers);
    EXPECT_EQ(201, o.answerHttpStatus);
    EXPECT_EQ("CHECKED1", o.text("Id"));
    EXPECT_EQ("", o.text("Code"));
    EXPECT_EQ("accepted /a.html /b%20c.html\n", cloudFront.verdicts());
}

TEST_F(ServiceWire, TheSessionTokenIsSentAndSigned)
{
    CheckingCloudFront cloudFront(harness::kSecretAccessKey, kToken);
    Invalidation inv(cloudFront.host(), {"/t.html"});
    inv.token = kToken;
    ServiceOutcome with = send(inv);
    EXPECT_EQ(S3StatusOK, with.outcome.status) << with.outcome.errorCode;
    EXPECT_EQ("CHECKED1", with.text("Id"));

    // Without it, or with another, the temporary key is refused.
    inv.token = "";
    ServiceOutcome without = send(inv);
    EXPECT_EQ(403, without.outcome.httpStatus);
    EXPECT_EQ("InvalidClientTokenId", without.outcome.errorCode);
    inv.token = std::string(kToken) + "x";
    ServiceOutcome other = send(inv);
    EXPECT_EQ("InvalidClientTokenId", other.outcome.errorCode);
    EXPECT_EQ("accepted /t.html\nrefused InvalidClientTokenId\nrefused InvalidClientTokenId\n",
              cloudFront.verdicts());
}

// What goes out, as the checking store's proxy records the head (values as
// received, after the colon): the token and an empty header are sent, and
// signed, for the service named.
TEST_F(ServiceWire, TheHeadCarriesTheTokenAndEveryHeaderAsSigned)
{
    harness::Store store;
    Invalidation inv(store.endpoint(), {"/a"});
    inv.token = kToken;
    inv.headers.push_back({"x-amz-empty", ""});
    ServiceOutcome o = send(inv);
    EXPECT_EQ(1, o.outcome.completes);
    EXPECT_NE(0, o.outcome.httpStatus); // the store refuses a scope that is not its own
    const std::string log = store.requestsJson();
    EXPECT_NE(std::string::npos, log.find("\"target\": \"" + std::string(kTarget) + "\""))
        << log;
    EXPECT_NE(std::string::npos, log.find("[\"X-Amz-Security-Token\", \" " + std::string(kToken) +
                                          "\"]"))
        << log;
    EXPECT_NE(std::string::npos, log.find("[\"x-amz-empty\", \"\"]")) << log;
    EXPECT_NE(std::string::npos,
              log.find("/us-east-1/cloudfront/aws4_request,SignedHeaders=content-type;host;"
                       "x-amz-date;x-amz-empty;x-amz-security-token,Signature="))
        << log;
}

// CloudFront's error document (ErrorResponse/Error/...): its Code and
// Message reach the error details and the answer's texts; the status is the
// one named after the code, ErrorUnknown for a code that S3 does not have.
TEST_F(ServiceWire, AnErrorDocumentGivesItsCodeAndMessage)
{
    CheckingCloudFront cloudFront("not-the-secret");
    ServiceOutcome wrong = send(Invalidation(cloudFront.host(), {"/a"}));
    EXPECT_EQ(1, wrong.outcome.completes);
    EXPECT_EQ(S3StatusErrorSignatureDoesNotMatch, wrong.outcome.status);
    EXPECT_TRUE(wrong.outcome.hadErrorDetails);
    EXPECT_EQ(403, wrong.outcome.httpStatus);
    EXPECT_EQ("SignatureDoesNotMatch", wrong.outcome.errorCode);
    EXPECT_EQ("refused by the check", wrong.outcome.errorMessage);
    EXPECT_EQ(0, wrong.outcome.propertiesCalls);
    EXPECT_EQ("", wrong.text("Id"));
    EXPECT_EQ("SignatureDoesNotMatch", wrong.text("Code"));
    EXPECT_EQ("refused by the check", wrong.text("Message"));

    Invalidation elsewhere(cloudFront.host(), {"/a"});
    elsewhere.path = "/2020-05-31/distribution/EDIST1/nothing-here";
    ServiceOutcome missing = send(elsewhere);
    EXPECT_EQ(S3StatusErrorUnknown, missing.outcome.status);
    EXPECT_EQ(404, missing.outcome.httpStatus);
    EXPECT_EQ("NoSuchResource", missing.outcome.errorCode);
    EXPECT_EQ("no such resource", missing.outcome.errorMessage);
}

// A body that is no XML document: a failure's HTTP status decides; a success
// that cannot be read is no success.
TEST_F(ServiceWire, AnAnswerThatIsNotXmlIsJudgedByItsStatus)
{
    harness::FaultServer gateway("plain-error");
    ServiceOutcome failed = send(Invalidation(gateway.endpoint(), {"/a"}));
    EXPECT_EQ(1, failed.outcome.completes);
    EXPECT_EQ(S3StatusHttpErrorInternalServerError, failed.outcome.status);
    EXPECT_EQ(500, failed.outcome.httpStatus);
    EXPECT_EQ("", failed.outcome.errorCode);
    EXPECT_EQ("", failed.outcome.errorMessage);
    EXPECT_EQ(500, failed.answerHttpStatus);
    EXPECT_EQ("", failed.text("Code"));

    AnswerFile text("Id: not a document\n");
    harness::FaultServer plain("status:200:" + text.path());
    ServiceOutcome unread = send(Invalidation(plain.endpoint(), {"/a"}));
    EXPECT_EQ(S3StatusXmlParseFailure, unread.outcome.status);
    EXPECT_EQ(200, unread.outcome.httpStatus);
    EXPECT_EQ("", unread.text("Id"));

    // A document that breaks off gives no texts, even those read before.
    AnswerFile cut("<Invalidation><Id>HALF</Id><Status>");
    harness::FaultServer cutServer("status:200:" + cut.path());
    ServiceOutcome half = send(Invalidation(cutServer.endpoint(), {"/a"}));
    EXPECT_EQ(S3StatusXmlParseFailure, half.outcome.status);
    EXPECT_EQ("", half.text("Id"));
}

TEST_F(ServiceWire, AnAnswerOverTheCapIsNotRead)
{
    AnswerFile atCap(answerOfSize(S3_MAX_SERVICE_ANSWER_SIZE, "FITS"));
    harness::FaultServer fits("status:200:" + atCap.path());
    ServiceOutcome whole = send(Invalidation(fits.endpoint(), {"/a"}));
    EXPECT_EQ(S3StatusOK, whole.outcome.status);
    EXPECT_EQ("FITS", whole.text("Id"));

    AnswerFile overCap(answerOfSize(S3_MAX_SERVICE_ANSWER_SIZE + 1, "TOOLONG"));
    harness::FaultServer over("status:200:" + overCap.path());
    ServiceOutcome tooLong = send(Invalidation(over.endpoint(), {"/a"}));
    EXPECT_EQ(1, tooLong.outcome.completes);
    EXPECT_EQ(S3StatusXmlDocumentTooLarge, tooLong.outcome.status);
    EXPECT_EQ(200, tooLong.outcome.httpStatus);
    EXPECT_EQ(1, tooLong.answers);
    EXPECT_EQ("", tooLong.text("Id"));
}

TEST_F(ServiceWire, ARefusedConnectionHasNoAnswer)
{
    ServiceOutcome o =
        send(Invalidation("127.0.0.1:" + std::to_string(harness::refusedPort()), {"/a"}));
    EXPECT_EQ(1, o.outcome.completes);
    EXPECT_EQ(S3StatusFailedToConnect, o.outcome.status);
    EXPECT_TRUE(o.outcome.hadErrorDetails);
    EXPECT_EQ(0, o.outcome.httpStatus);
    EXPECT_EQ(0, o.answers);
    EXPECT_TRUE(S3_status_is_retryable(o.outcome.status));
}

// Queued on a context, each request ends once when the context runs; one
// still queued when the context is destroyed ends Interrupted.
TEST_F(ServiceWire, QueuedRequestsEndOnceWhenTheContextRuns)
{
    CheckingCloudFront cloudFront(harness::kSecretAccessKey);
    harness::FaultServer gateway("plain-error");
    S3RequestContext *context = nullptr;
    ASSERT_EQ(S3StatusOK, S3_create_request_context(&context));
    const Invalidation first(cloudFront.host(), {"/one"});
    const Invalidation second(cloudFront.host(), {"/two"});
    const Invalidation third(gateway.endpoint(), {"/three"});
    ServiceOutcome a = send(first, context);
    ServiceOutcome b = send(second, context);
    ServiceOutcome c = send(third, context);
    EXPECT_EQ(0, a.outcome.completes + b.outcome.completes + c.outcome.completes);
    ASSERT_EQ(S3StatusOK, S3_runall_request_context(context));
    EXPECT_EQ(1, a.outcome.completes);
    EXPECT_EQ(1, b.outcome.completes);
    EXPECT_EQ(1, c.outcome.completes);
    EXPECT_EQ(S3StatusOK, a.outcome.status);
    EXPECT_EQ(S3StatusOK, b.outcome.status);
    EXPECT_NE(a.text("Id"), b.text("Id"));
    EXPECT_EQ(S3StatusHttpErrorInternalServerError, c.outcome.status);

    ServiceOutcome left = send(Invalidation(cloudFront.host(), {"/left"}), context);
    S3_destroy_request_context(context);
    EXPECT_EQ(1, left.outcome.completes);
    EXPECT_EQ(S3StatusInterrupted, left.outcome.status);
    const std::string verdicts = cloudFront.verdicts();
    EXPECT_EQ(2, std::count(verdicts.begin(), verdicts.end(), '\n')) << verdicts;
}

// What cannot be sent as asked is refused before anything goes out.
TEST_F(ServiceWire, ABearerRequestHandsBackTheWholeAnswerAndIsJudgedByItsStatus)
{
    // Not XML: the caller reads it; no texts are looked for.
    AnswerFile json("{\"success\":true,\"errors\":[],\"result\":{\"id\":\"z\"}}");
    harness::FaultServer ok("status:200:" + json.path());
    Invalidation inv(ok.endpoint(), {"/a"});
    inv.bearer = "api-token";
    inv.secret = ""; // no keys are needed
    ServiceOutcome o = send(inv);
    EXPECT_EQ(S3StatusOK, o.outcome.status);
    EXPECT_EQ(1, o.answers);
    EXPECT_EQ(200, o.answerHttpStatus);
    EXPECT_EQ("{\"success\":true,\"errors\":[],\"result\":{\"id\":\"z\"}}", o.body);
    EXPECT_TRUE(o.texts.empty());

    AnswerFile refusal("{\"success\":false,\"errors\":[{\"code\":10000}]}");
    harness::FaultServer refused("status:403:" + refusal.path());
    inv.host = refused.endpoint();
    o = send(inv);
    EXPECT_EQ(S3StatusHttpErrorForbidden, o.outcome.status);
    EXPECT_EQ(403, o.outcome.httpStatus);
    EXPECT_EQ("{\"success\":false,\"errors\":[{\"code\":10000}]}", o.body);

    // A token that would end its line, or longer than a token may be, is never sent.
    for (const std::string &token : {std::string("a\r\nX-Evil: 1"),
                                     std::string(S3_MAX_SECURITY_TOKEN_SIZE + 1, 't')}) {
        const int nBefore = ok.requestsSeen();
        inv.host = ok.endpoint();
        inv.bearer = token;
        o = send(inv);
        EXPECT_NE(S3StatusOK, o.outcome.status);
        EXPECT_EQ(0, o.answers);
        EXPECT_EQ(nBefore, ok.requestsSeen());
    }
}

TEST_F(ServiceWire, RequestsThatCannotBeSentAsAskedAreRefusedUnsent)
{
    harness::FaultServer server("status:200");
    struct Case {
        const char *name;
        void (*change)(Invalidation &);
        S3Status status;
    };
    const Case cases[] = {
        {"header value with a line break",
         [](Invalidation &i) { i.headers.push_back({"X-Note", "a\r\nX-Evil: 1"}); },
         S3StatusBadMetaData},
        {"header name with a blank",
         [](Invalidation &i) { i.headers.push_back({"X Note", "a"}); }, S3StatusBadMetaData},
        {"the client's own header",
         [](Invalidation &i) { i.headers.push_back({"authorization", "AWS4-HMAC-SHA256 x"}); },
         S3StatusBadMetaData},
        {"token with a line break", [](Invalidation &i) { i.token = "a\nb"; },
         S3StatusBadMetaData},
        {"token too long",
         [](Invalidation &i) { i.token = std::string(S3_MAX_SECURITY_TOKEN_SIZE + 1, 't'); },
         S3StatusHeadersTooLong},
        {"too many headers",
         [](Invalidation &i) {
             for (int n = 0; n < S3_MAX_SERVICE_HEADER_COUNT; n++)
                 i.headers.push_back({"X-More", "m"});
         },
         S3StatusHeadersTooLong},
        {"path with a blank", [](Invalidation &i) { i.path = "/a b"; },
         S3StatusErrorInvalidArgument},
        {"path without its slash", [](Invalidation &i) { i.path = "2020-05-31"; },
         S3StatusErrorInvalidArgument},
        {"host with a path", [](Invalidation &i) { i.host += "/x"; },
         S3StatusErrorInvalidArgument},
        {"body on a GET", [](Invalidation &i) { i.method = "GET"; },
         S3StatusErrorInvalidArgument},
        {"unknown method", [](Invalidation &i) { i.method = "PATCH"; },
         S3StatusErrorInvalidArgument},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Invalidation inv(server.endpoint(), {"/a"});
        c.change(inv);
        ServiceOutcome o = send(inv);
        EXPECT_EQ(1, o.outcome.completes);
        EXPECT_EQ(c.status, o.outcome.status);
        EXPECT_FALSE(o.outcome.hadErrorDetails);
        EXPECT_EQ(0, o.answers);
    }
    EXPECT_EQ(0, server.requestsSeen());

    // A service name that is no scope part is refused too.
    Invalidation inv(server.endpoint(), {"/a"});
    S3ServiceRequest r = inv.get();
    r.service = "cloud/front";
    ServiceOutcome o;
    S3_send_service_request(&r, nullptr, &kServiceHandler, &o);
    EXPECT_EQ(S3StatusErrorInvalidArgument, o.outcome.status);
    EXPECT_EQ(0, server.requestsSeen());
}

// The trace may be on for the run, but a service request's lines (the
// signature, the session token) never reach it.
TEST_F(ServiceWire, TheTraceNeverShowsTheSignatureOrTheToken)
{
    CheckingCloudFront cloudFront(harness::kSecretAccessKey, kToken);
    Invalidation inv(cloudFront.host(), {"/traced"});
    inv.token = kToken;

    char name[] = "/tmp/service-trace-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(fd, 2);
    S3_set_trace(1);
    ServiceOutcome o = send(inv);
    S3_set_trace(0);
    fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(fd);
    std::ifstream in(name);
    std::stringstream trace;
    trace << in.rdbuf();
    ::unlink(name);

    EXPECT_EQ(S3StatusOK, o.outcome.status) << o.outcome.errorCode;
    EXPECT_EQ(std::string::npos, trace.str().find(kToken)) << trace.str();
    EXPECT_EQ(std::string::npos, trace.str().find("Authorization")) << trace.str();
    EXPECT_EQ(std::string::npos, trace.str().find("Signature=")) << trace.str();
}

} // namespace
