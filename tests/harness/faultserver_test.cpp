// Tests of the fault server: each mode misbehaves as documented, what it reads
// is counted, and a server that cannot start makes the constructor throw.
#include "harness.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <stdexcept>
#include <string>

namespace {

struct Outcome {
    int curlExit = 0;
    std::string out; // what curl printed: headers (-i), body, then "\n<status>"
};

Outcome curl(const harness::FaultServer &server, const std::string &options,
             const std::string &path = "/bucket/key") {
    Outcome o;
    std::string err;
    o.curlExit = harness::runCommand("curl -sS -i --max-time 20 -w '\n%{http_code}' " + options +
                                         " 'http://" + server.endpoint() + path + "'",
                                     &o.out, &err, {}, 60);
    return o;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(FaultServer, AnswersAsEachModeSays) {
    struct Case {
        const char *mode;
        const char *curlOptions;
        int curlExit;            // 0, or curl's own error number
        const char *status;      // last line: what curl saw as the final status
        const char *mustContain; // a piece of the answer
    };
    const Case cases[] = {
        {"notfound-empty", "", 0, "404", "Content-Length: 0"},
        {"plain-error", "", 0, "500", "Internal failure: the back end is not answering"},
        {"many-details", "", 0, "403", "<Details>\n  <Item>one</Item>"},
        {"truncated", "", 18, "200", "Content-Length: 100000"},
        {"odd-headers", "", 0, "200", "etag: \"0123456789abcdef0123456789abcdef\"  \r\n"},
        {"big-headers", "", 0, "200", "x-amz-meta-h199: value-199"},
        {"malformed-xml", "", 0, "200", "<Key>a</Key><Size>1</Size></Contents"},
        {"error-doc:NoSuchKey", "", 0, "404", "<Code>NoSuchKey</Code>"},
        {"error-doc:SlowDown", "", 0, "503", "<Message>Provoked SlowDown</Message>"},
        {"error-doc:Whatever:409", "", 0, "409", "<Code>Whatever</Code>"},
        {"error-doc:AccessDenied", "-I", 0, "403", "x-amz-request-id: 4442587FB7D0A2F9"},
        {"status:307", "", 0, "307", "Content-Length: 0"},
        {"status:404:error-nosuchkey.xml", "", 0, "404", "Content-Type: application/xml"},
        {"status:301:error-permanent-redirect.xml", "", 0, "301", "<Endpoint>"},
        {"redirect:307", "-L", 0, "200", "moved"},
        {"no-continue", "-X PUT -H 'x-amz-copy-source: /b/k' -H 'Content-Length: 0'", 0, "200",
         "<CopyObjectResult>"},
        {"continue-only", "", 52, "100", "HTTP/1.1 100 Continue"},
        {"early-continue",
         "-X PUT -H 'x-amz-copy-source: /b/k' -H 'Expect: 100-continue' -H 'Content-Length: 0'", 0,
         "200", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        harness::FaultServer server(c.mode);
        Outcome o = curl(server, c.curlOptions);
        EXPECT_EQ(c.curlExit, o.curlExit) << o.out;
        EXPECT_EQ(c.status, o.out.substr(o.out.size() - 3)) << o.out;
        EXPECT_TRUE(contains(o.out, c.mustContain)) << o.out;
    }
    // A HEAD gets the head alone, with the length the body would have.
    harness::FaultServer server("many-details");
    Outcome head = curl(server, "-I");
    EXPECT_FALSE(contains(head.out, "<Error>"));
    EXPECT_TRUE(contains(head.out, "Content-Length: ")) << head.out;
}

TEST(FaultServer, CountsRequestsAndBodyBytes) {
    harness::FaultServer server("error-doc:AccessDenied");
    std::string url = "http://" + server.endpoint() + "/bucket/key";
    std::string out, err;
    EXPECT_EQ(0, harness::runCommand("curl -sS -o /dev/null -X PUT -H 'Content-Type:' "
                                     "--data-binary 0123456789 " + url +
                                         " --next -o /dev/null -X PUT -H 'Content-Type:' "
                                         "--data-binary abc " + url,
                                     &out, &err))
        << err;
    EXPECT_EQ(2, server.requestsSeen());
    EXPECT_EQ(13, server.bodyBytesReceived());
}

TEST(FaultServer, ContinueModesHandleTheBody) {
    // continue-only: the body follows the interim answer and is read, then nothing.
    {
        harness::FaultServer server("continue-only");
        Outcome o = curl(server, "-X PUT -H 'Expect: 100-continue' --data-binary @/etc/services");
        EXPECT_EQ(52, o.curlExit) << o.out; // empty reply after the 100
        EXPECT_TRUE(contains(o.out, "100 Continue")) << o.out;
        EXPECT_GT(server.bodyBytesReceived(), 1000);
    }
    // no-continue: the client gives up waiting, sends the body anyway, and the ETag is its MD5.
    {
        harness::FaultServer server("no-continue");
        Outcome o = curl(server, "-X PUT -H 'Expect: 100-continue' -H 'Content-Type:' "
                                 "--data-binary hello");
        EXPECT_EQ(0, o.curlExit);
        EXPECT_FALSE(contains(o.out, "100 Continue")) << o.out;
        EXPECT_TRUE(contains(o.out, "ETag: \"5d41402abc4b2a76b9719d911017c592\"")) << o.out;
        EXPECT_EQ(5, server.bodyBytesReceived());
    }
}

TEST(FaultServer, SilentNeverAnswers) {
    harness::FaultServer server("silent");
    Outcome o = curl(server, "--max-time 1");
    EXPECT_EQ(28, o.curlExit) << o.out; // curl's time-out
    EXPECT_EQ(0, server.requestsSeen());
}

TEST(FaultServer, StartsAndStopsCleanlyAndRefusesUnknownModes) {
    int pid = 0;
    {
        harness::FaultServer server("silent");
        pid = server.pid();
        EXPECT_EQ(0, kill(pid, 0));
    }
    EXPECT_TRUE(kill(pid, 0) != 0 && errno == ESRCH);
    EXPECT_THROW(harness::FaultServer("no-such-mode"), std::runtime_error);
    EXPECT_THROW(harness::FaultServer("status:404:no-such-file.xml"), std::runtime_error);
}

TEST(RefusedPort, NothingListens) {
    std::string out, err;
    int port = harness::refusedPort();
    EXPECT_EQ(7, harness::runCommand("curl -sS http://127.0.0.1:" + std::to_string(port) + "/",
                                     &out, &err)); // couldn't connect
}

} // namespace
