// The invalidation's paths for the changed keys, its request document, and
// what the run prints and tries again for the answers CloudFront gives.
#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cdn.h"
#include "cloudflare.h"
#include "session.h"
#include "harness.h"
#include "s3client.h"

namespace {

TEST(InvalidationPaths, EachKeyBecomesItsEncodedAddressAndAFolderIndexAlsoItsFolder)
{
    struct Row {
        std::vector<std::string> keys;
        std::size_t nMax;
        std::vector<std::string> paths;
    };
    const Row rows[] = {
        {{"a.html"}, 100, {"/a.html"}},
        {{"dir/index.html"}, 100, {"/dir/", "/dir/index.html"}},
        {{"index.html"}, 100, {"/", "/index.html"}},
        {{"a/b/index.html"}, 100, {"/a/b/", "/a/b/index.html"}},
        // Only a whole name is a folder's index page.
        {{"myindex.html", "dir/myindex.html", "index.htm"},
         100,
         {"/dir/myindex.html", "/index.htm", "/myindex.html"}},
        // Encoded as the index page links them; a double quote as a browser sends it.
        {{"a b/caf\xc3\xa9.html", "q\"&<>#?%+.txt", "it's(1)~_-.txt"},
         100,
         {"/a%20b/caf%C3%A9.html", "/it's(1)~_-.txt", "/q%22%26%3C%3E%23%3F%25%2B.txt"}},
        // "*" is a wildcard to CloudFront, and only at a path's end: a key
        // holding one is invalidated by its path up to the first "*".
        {{"a*b.html", "sale*", "x/**/index.html", "c*d/e*f"},
         100,
         {"/a*", "/c*", "/sale*", "/x/*"}},
        {{"b", "a", "b", "a"}, 100, {"/a", "/b"}},
        // A folder's index page counts twice against the limit.
        {{"a", "b"}, 2, {"/a", "/b"}},
        {{"a", "b", "c"}, 2, {"/*"}},
        {{"dir/index.html"}, 1, {"/*"}},
        {{}, 100, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.keys.empty() ? "(none)" : row.keys[0]);
        EXPECT_EQ(invalidationPaths(row.keys, row.nMax), row.paths);
    }
}

// The document read back with libxml2: what CloudFront would take from it.
TEST(InvalidationBatch, TheDocumentNamesEveryPathAndTheReferenceAsTheyAre)
{
    const std::vector<std::string> paths = {"/a&b", "/<x>", "/plain"};
    const std::string xml = invalidationBatchXml(paths, "ref&\"1\"");
    xmlDoc *doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                XML_PARSE_NONET);
    ASSERT_NE(doc, nullptr) << xml;
    std::vector<std::string> seen;
    std::string quantity, reference;
    std::function<void(xmlNode *)> walk = [&](xmlNode *node) {
        for (; node; node = node->next) {
            if (node->type != XML_ELEMENT_NODE)
                continue;
            xmlChar *text = xmlNodeGetContent(node);
            const std::string name = reinterpret_cast<const char *>(node->name);
            const std::string value = reinterpret_cast<const char *>(text);
            xmlFree(text);
            if (name == "Path")
                seen.push_back(value);
            else if (name == "Quantity")
                quantity = value;
            else if (name == "CallerReference")
                reference = value;
            walk(node->children);
        }
    };
    xmlNode *root = xmlDocGetRootElement(doc);
    EXPECT_STREQ(reinterpret_cast<const char *>(root->name), "InvalidationBatch");
    ASSERT_NE(root->ns, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char *>(root->ns->href),
                 "http://cloudfront.amazonaws.com/doc/2020-05-31/");
    walk(root);
    xmlFreeDoc(doc);
    EXPECT_EQ(seen, paths);
    EXPECT_EQ(quantity, "3");
    EXPECT_EQ(reference, "ref&\"1\"");
}

// An answer document the fault server sends; removed with the object.
class AnswerFile {
public:
    explicit AnswerFile(const std::string &content)
    {
        char name[] = "/tmp/cdn-answer-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0)
            throw std::runtime_error("mkstemp");
        ::close(fd);
        path = name;
        std::ofstream(path, std::ios::binary) << content;
    }
    ~AnswerFile() { ::unlink(path.c_str()); }
    std::string path;
};

std::string errorResponse(const std::string &code, const std::string &message)
{
    return "<?xml version=\"1.0\"?><ErrorResponse xmlns=\"http://cloudfront.amazonaws.com/doc/"
           "2020-05-31/\"><Error><Type>Sender</Type><Code>" +
           code + "</Code><Message>" + message +
           "</Message></Error><RequestId>r-1</RequestId></ErrorResponse>";
}

// Each answer as the run reports it, and whether it is tried again: CloudFront's
// "try again" (5xx, 429, Throttling) is, a refusal or an answer without an id
// is not. The retry delays are random, so lines are compared without them.
TEST(InvalidationAnswers, EachAnswerIsReportedAndTriedAgainOnlyWhenWorthIt)
{
    const std::string note =
        " (the files are stored; the CDN may serve old copies until they expire)\n";
    struct Row {
        const char *name;
        int httpStatus;
        std::string body;
        std::vector<std::string> keys;
        int nRetries;
        bool bDone;
        int nRequests;
        std::string out; // "retry N of M in S s: " written "retry N of M: "
    };
    const std::vector<Row> rows = {
        {"created", 201,
         "<?xml version=\"1.0\"?><Invalidation xmlns=\"http://cloudfront.amazonaws.com/doc/"
         "2020-05-31/\"><Id>I2J0I21PCUYOIK</Id><Status>InProgress</Status></Invalidation>",
         {"a.html", "b.html"}, 3, true, 1, "invalidation: I2J0I21PCUYOIK (2 paths)\n"},
        {"over the limit", 201, "<Invalidation><Id>IWILD</Id></Invalidation>",
         {"a", "b", "c", "d"}, 3, true, 1, "invalidation: IWILD (/* for 4 changed keys)\n"},
        {"unavailable", 503, errorResponse("ServiceUnavailable", "Please try again."), {"a"}, 2,
         false, 3,
         "retry 1 of 2: invalidation: HTTP 503 ServiceUnavailable: Please try again.\n"
         "retry 2 of 2: invalidation: HTTP 503 ServiceUnavailable: Please try again.\n"
         "invalidation failed: distribution EDIST1: HTTP 503 ServiceUnavailable: Please try "
         "again." + note},
        {"throttled", 400, errorResponse("Throttling", "Rate exceeded"), {"a"}, 1, false, 2,
         "retry 1 of 1: invalidation: HTTP 400 Throttling: Rate exceeded\n"
         "invalidation failed: distribution EDIST1: HTTP 400 Throttling: Rate exceeded" + note},
        {"no such distribution", 404,
         errorResponse("NoSuchDistribution", "The specified distribution does not exist."), {"a"},
         3, false, 1,
         "invalidation failed: distribution EDIST1: HTTP 404 NoSuchDistribution: The specified "
         "distribution does not exist." + note},
        {"no id", 201, "<Invalidation><Status>InProgress</Status></Invalidation>", {"a"}, 3, false,
         1, "invalidation failed: distribution EDIST1: HTTP 201" + note},
        {"not xml", 502, "<html>bad gateway", {"a"}, 0, false, 1,
         "invalidation failed: distribution EDIST1: HTTP 502" + note},
    };
    ASSERT_EQ(S3StatusOK, S3_initialize("cdn test", 0, nullptr));
    S3_set_trace(0);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        AnswerFile answer(row.body);
        harness::FaultServer server("status:" + std::to_string(row.httpStatus) + ":" +
                                    answer.path);
        Settings settings;
        settings.strCloudFrontDistribution = "EDIST1";
        settings.strCloudFrontEndpoint = "http://" + server.endpoint();
        settings.nRetries = row.nRetries;
        settings.nInvalidationMaxPaths = 3;
        CdnCredentials creds{"AKIDEXAMPLE", "secret", "token"};
        testing::internal::CaptureStdout();
        Session session(settings);
        const bool bDone = invalidateChangedKeys(session, creds, row.keys);
        std::string out = testing::internal::GetCapturedStdout();
        for (std::size_t at = out.find(" in "); at != std::string::npos; at = out.find(" in ")) {
            const std::size_t end = out.find(" s: ", at);
            if (end == std::string::npos || out.compare(0, 6, "retry ") != 0)
                break;
            out.erase(at, end + 2 - at);
        }
        // The distribution's configuration is read first, from the same
        // server: an answer that is no success is said in one line after its
        // retries, and the keys are then taken as they are.
        std::string config;
        int nConfigRequests = 1;
        if (row.httpStatus >= 300) {
            const std::size_t last = row.out.rfind("invalidation failed: distribution EDIST1: ");
            config = row.out.substr(0, last) + "invalidation: distribution EDIST1: cannot read its origin path: " +
                     row.out.substr(last + 42, row.out.size() - last - 42 - note.size()) +
                     " (its paths are the keys as they are)\n";
            nConfigRequests = row.nRequests;
        }
        EXPECT_EQ(bDone, row.bDone);
        EXPECT_EQ(out, config + row.out);
        EXPECT_EQ(server.requestsSeen(), nConfigRequests + row.nRequests);
    }
    // Nobody listening: no answer, which is worth another try.
    Settings settings;
    settings.strCloudFrontDistribution = "EDIST1";
    settings.strCloudFrontEndpoint = "http://127.0.0.1:" + std::to_string(harness::refusedPort());
    settings.nRetries = 1;
    testing::internal::CaptureStdout();
    Session session(settings);
    EXPECT_FALSE(invalidateChangedKeys(session, CdnCredentials{"id", "secret", ""}, {"a"}));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string why = "invalidation: cannot reach " +
                            settings.strCloudFrontEndpoint.substr(7) + ": FailedToConnect\n";
    EXPECT_EQ(out.compare(0, 12, "retry 1 of 1"), 0) << out;
    EXPECT_NE(out.find(why), std::string::npos) << out;
    EXPECT_NE(out.find("invalidation failed: distribution EDIST1: cannot reach "),
              std::string::npos)
        << out;
    S3_deinitialize();
}

} // namespace

namespace {

TEST(CloudFrontDistributions, ACommaListGivesEachIdOnceInOrder)
{
    EXPECT_EQ(cloudFrontDistributions(""), std::vector<std::string>{});
    EXPECT_EQ(cloudFrontDistributions("E1"), std::vector<std::string>{"E1"});
    EXPECT_EQ(cloudFrontDistributions("E1, E2,,E1 ,E3"),
              (std::vector<std::string>{"E1", "E2", "E3"}));
}

TEST(CloudFrontOriginPath, KeysAreTheirPathsBelowTheOriginsFolderAndOthersAreNotServed)
{
    const std::vector<std::string> keys = {"blog/index.html", "blog/a/b.html", "blogger.html",
                                           "blog", "shop/x.html"};
    EXPECT_EQ(keysBelowOriginPath(keys, ""), keys);
    EXPECT_EQ(keysBelowOriginPath(keys, "/"), keys);
    const std::vector<std::string> blog = {"index.html", "a/b.html"};
    EXPECT_EQ(keysBelowOriginPath(keys, "/blog"), blog);
    EXPECT_EQ(keysBelowOriginPath(keys, "/blog/"), blog);
    EXPECT_EQ(keysBelowOriginPath(keys, "blog"), blog);
    EXPECT_EQ(keysBelowOriginPath(keys, "/none"), std::vector<std::string>{});
}

TEST(CloudflarePurge, UrlsAreTheSiteAddressAndThePathBelowThePrefix)
{
    const std::vector<std::string> keys = {"blog/index.html", "blog/a b/index.html",
                                           "blog/x\"y.html", "other/z.html", "blog/fileLists.html"};
    EXPECT_EQ(purgeUrls(keys, "https://www.example.org/", "blog/"),
              (std::vector<std::string>{"https://www.example.org/",
                                        "https://www.example.org/a%20b/",
                                        "https://www.example.org/a%20b/index.html",
                                        "https://www.example.org/fileLists.html",
                                        "https://www.example.org/index.html",
                                        "https://www.example.org/x%22y.html"}));
    EXPECT_EQ(purgeUrls({"a.html"}, "http://h", ""), std::vector<std::string>{"http://h/a.html"});
    EXPECT_EQ(purgeBody({"http://h/a.html", "http://h/\"q\""}, false),
              "{\"files\":[\"http://h/a.html\",\"http://h/\\\"q\\\"\"]}");
    EXPECT_EQ(purgeBody({}, true), "{\"purge_everything\":true}");
}

} // namespace
