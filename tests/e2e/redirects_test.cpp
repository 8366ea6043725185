// Redirects from the rules file and the site root's _redirects: stored as
// zero-byte objects with their website redirect location, converged like
// files (records, else HEAD), changed in place, deleted only with --delete,
// counted; lines S3 cannot serve and keys taken twice stop the run before
// anything is sent.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "site.h"

namespace {

using e2e::ToolRun;

class Redirects : public e2e::OnEachStore {
protected:
    void expectRedirect(const std::string &key, const std::string &to)
    {
        harness::StoredObject object = store->getObject(bucket, key);
        EXPECT_TRUE(object.exists) << key;
        EXPECT_EQ(object.body, "") << key;
        EXPECT_EQ(object.contentType, "text/html") << key;
        EXPECT_EQ(e2e::storedHeader(object, "x-amz-website-redirect-location"), to) << key;
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, Redirects, ::testing::ValuesIn(e2e::kEachStore), e2e::storeCaseName);

TEST_P(Redirects, StoredConvergedChangedInPlaceAndDeletedOnlyWithDelete)
{
    site.write("new/index.html", "<p>new</p>\n");
    site.write("personal/now.html", "<p>now</p>\n");
    site.write("_redirects", "# moved in 2026\n"
                             "/blog/post.html   /posts/1.html\n"
                             "\n"
                             "/personal/then.html /personal/now.html 301  # stays private\n");
    writeRulesFile("redirects = [\n"
                   "  { from = \"/old/\", to = \"/new/\" },\n"
                   "  { from = \"/a.html\", to = \"https://elsewhere.example/a\" },\n"
                   "]\n");

    ToolRun dry = run("-n");
    ASSERT_EQ(dry.status, 0) << dry.out;
    EXPECT_EQ(e2e::linesStartingWith(dry.out, "would redirect: "),
              (std::vector<std::string>{"would redirect: old/index.html -> /new/ (new)",
                                        "would redirect: a.html -> https://elsewhere.example/a (new)",
                                        "would redirect: blog/post.html -> /posts/1.html (new)",
                                        "would redirect: personal/then.html -> /personal/now.html (new)"}))
        << dry.out;
    EXPECT_NE(dry.out.find(", redirects 4"), std::string::npos) << dry.out;
    EXPECT_FALSE(store->getObject(bucket, "a.html").exists);

    ToolRun first = run("--changed-list " + site.base() + "/changed.txt");
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_NE(first.out.find("redirect: old/index.html -> /new/\nsucceed\n"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find(", redirects 4"), std::string::npos) << first.out;
    expectRedirect("old/index.html", "/new/");
    expectRedirect("a.html", "https://elsewhere.example/a");
    expectRedirect("blog/post.html", "/posts/1.html");
    expectRedirect("personal/then.html", "/personal/now.html");
    EXPECT_TRUE(store->isPublicRead(bucket, "old/index.html"));
    EXPECT_FALSE(store->isPublicRead(bucket, "personal/then.html"));
    // The redirects file is not published, and the index page lists no redirect.
    EXPECT_FALSE(store->getObject(bucket, "_redirects").exists);
    const std::string page = store->getObject(bucket, "fileLists.html").body;
    EXPECT_EQ(page.find("old/index.html"), std::string::npos);
    EXPECT_EQ(page.find("_redirects"), std::string::npos);
    std::ifstream changed(site.base() + "/changed.txt");
    const std::string changedText((std::istreambuf_iterator<char>(changed)), std::istreambuf_iterator<char>());
    EXPECT_NE(changedText.find("blog/post.html"), std::string::npos) << changedText;

    // Converged: nothing sent, by the records and, without them, by HEAD.
    for (const char *cache : {"on", "off"}) {
        ToolRun again = run("", {{"SITEMIRROR_DIGEST_CACHE", cache}});
        ASSERT_EQ(again.status, 0) << again.out;
        EXPECT_EQ(e2e::linesStartingWith(again.out, "redirect: ").size(), 0u) << cache << "\n" << again.out;
        EXPECT_NE(again.out.find(", redirects 0"), std::string::npos) << again.out;
    }

    // A changed target is stored again under the same key.
    site.write("_redirects", "/blog/post.html /posts/2.html 302\n"
                             "/personal/then.html /personal/now.html\n");
    ToolRun moved = run("");
    ASSERT_EQ(moved.status, 0) << moved.out;
    EXPECT_EQ(e2e::linesStartingWith(moved.out, "redirect: "),
              (std::vector<std::string>{"redirect: blog/post.html -> /posts/2.html"}))
        << moved.out;
    expectRedirect("blog/post.html", "/posts/2.html");

    // Taken out: left alone without --delete, deleted with it.
    writeRulesFile("redirects = [ { from = \"/old/\", to = \"/new/\" } ]\n");
    ToolRun kept = run("");
    ASSERT_EQ(kept.status, 0) << kept.out;
    EXPECT_TRUE(store->getObject(bucket, "a.html").exists);
    ToolRun pruned = run("--delete");
    ASSERT_EQ(pruned.status, 0) << pruned.out;
    EXPECT_FALSE(store->getObject(bucket, "a.html").exists) << pruned.out;
    expectRedirect("old/index.html", "/new/");
    expectRedirect("blog/post.html", "/posts/2.html");
    EXPECT_NE(pruned.out.find(", deleted 1, redirects 0"), std::string::npos) << pruned.out;
}

TEST_P(Redirects, LinesS3CannotServeAndKeysTakenTwiceStopTheRunBeforeSending)
{
    site.write("index.html", "<p>home</p>\n");
    struct Case {
        const char *file;  // _redirects ("" = none)
        const char *rules; // the rules file
        const char *line;  // what the run says
    } cases[] = {
        {"/ok /fine\n/news/* /blog/:splat 301\n", "", "_redirects:2: splats (*)"},
        {"/a /b 404\n", "", "_redirects:1: status 404 cannot be stored"},
        {"/a /b 301!\n", "", "_redirects:1: a forced redirect (!)"},
        {"/a /b 302 Country=de\n", "", "_redirects:1: conditions"},
        {"/a?x=1 /b\n", "", "_redirects:1: query conditions"},
        {"/a ftp://x/\n", "", "_redirects:1: TO must be"},
        {"/index.html /new/\n", "", "_redirects:1: /index.html is stored at index.html, which is also the file"},
        {"/old/index.html /x\n", "redirects = [ { from = \"/old/\", to = \"/y\" } ]\n",
         "_redirects:1: /old/index.html is stored at old/index.html, as is /old/ of "},
    };
    for (const Case &c : cases) {
        site.write("_redirects", c.file);
        writeRulesFile(c.rules);
        ToolRun refused = run("");
        EXPECT_EQ(refused.status, 2) << c.file << refused.out;
        EXPECT_NE(refused.out.find(c.line), std::string::npos) << c.file << refused.out;
        EXPECT_FALSE(store->getObject(bucket, "index.html").exists) << c.file;
    }
}

// --configure-website sets the index and error documents, prints them as
// the store reads them back, and ends without mirroring; -n sends nothing.
// (moto keeps website configurations; the radosgw of the tests refuses them.)
TEST_P(Redirects, ConfigureWebsiteSetsAndReadsBackTheBucketsWebsite)
{
    site.write("index.html", "<p>home</p>\n");
    ToolRun dry = run("-n --configure-website", {{"SITEMIRROR_WEBSITE_ERROR", "404.html"}});
    ASSERT_EQ(dry.status, 0) << dry.out;
    EXPECT_NE(dry.out.find("would set website: index document index.html, error document 404.html\n"),
              std::string::npos)
        << dry.out;

    ToolRun set = run("--configure-website", {{"SITEMIRROR_WEBSITE_ERROR", "404.html"}});
    if (onRgw()) {
        // radosgw serves no websites unless set up to (rgw_enable_static_website):
        // the refusal is said, and the run fails.
        EXPECT_EQ(set.status, 1) << set.out;
        EXPECT_NE(set.out.find("code:MethodNotAllowed\n"), std::string::npos) << set.out;
        EXPECT_NE(set.out.find("website not set: index document index.html, error document 404.html\n"),
                  std::string::npos)
            << set.out;
        return;
    }
    ASSERT_EQ(set.status, 0) << set.out;
    EXPECT_NE(set.out.find("website set: index document index.html, error document 404.html\n"
                           "website now: index document index.html, error document 404.html\n"),
              std::string::npos)
        << set.out;
    EXPECT_FALSE(store->getObject(bucket, "index.html").exists) << "the website option mirrors nothing";

    ToolRun plain = run("--configure-website", {{"SITEMIRROR_WEBSITE_INDEX", "home.html"}});
    ASSERT_EQ(plain.status, 0) << plain.out;
    EXPECT_NE(plain.out.find("website now: index document home.html, no error document\n"), std::string::npos)
        << plain.out;
    if (proxy()) {
        EXPECT_EQ(proxy()->counters().rejected, 0);
    }
}

} // namespace
