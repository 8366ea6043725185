// Redirects as written: the key each is stored at, the targets S3 can send,
// the _redirects lines an S3 website can serve and those it cannot, and the
// run's list with its clashes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tempdir.h"
#include "redirects.h"

namespace {

TEST(RedirectKey, FoldersGetTheirIndexDocumentAndBadPathsAreRefused)
{
    struct Row {
        const char *from, *key;
    } rows[] = {
        {"/old/", "old/index.html"}, {"/", "index.html"}, {"/a.html", "a.html"}, {"/a/b", "a/b"},
        {"/x/y/", "x/y/index.html"},
    };
    for (const Row &row : rows) {
        std::string strKey, strWhy;
        ASSERT_TRUE(redirectKeyFor(row.from, "index.html", strKey, strWhy)) << row.from << strWhy;
        EXPECT_EQ(strKey, row.key);
    }
    std::string strKey, strWhy;
    EXPECT_TRUE(redirectKeyFor("/old/", "home.htm", strKey, strWhy));
    EXPECT_EQ(strKey, "old/home.htm");
    for (const char *bad : {"old/", "", "/a//b", "/../etc", "/a/./b", "/a b", "/a\tb"})
        EXPECT_FALSE(redirectKeyFor(bad, "index.html", strKey, strWhy)) << bad;
}

TEST(RedirectTarget, PathsAndHttpAddressesOnly)
{
    for (const char *good : {"/", "/new/", "/a?b=c", "https://e.example/a", "http://e.example"})
        EXPECT_TRUE(isRedirectTarget(good)) << good;
    for (const char *bad : {"", "new/", "//e.example/a", "ftp://e.example/", "https:///x", "/a b",
                            "javascript:alert(1)", "/a\nb"})
        EXPECT_FALSE(isRedirectTarget(bad)) << bad;
}

TEST(RedirectsFile, CommonFormLinesThatS3CanServe)
{
    std::vector<Redirect> out;
    std::string strError;
    ASSERT_TRUE(parseRedirectsFile("# moved\n"
                                   "/old/   /new/\n"
                                   "\n"
                                   "  /a.html https://e.example/a 301   # kept\r\n"
                                   "/b /c 302\n",
                                   "_redirects", "index.html", out, strError))
        << strError;
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].strKey, "old/index.html");
    EXPECT_EQ(out[0].strTo, "/new/");
    EXPECT_EQ(out[0].strWhere, "_redirects:2");
    EXPECT_EQ(out[1].strTo, "https://e.example/a");
    EXPECT_EQ(out[1].strWhere, "_redirects:4");
    EXPECT_EQ(out[2].strKey, "b");
}

TEST(RedirectsFile, LinesS3CannotServeAreRefusedWithTheirLine)
{
    struct Row {
        const char *line, *why;
    } rows[] = {
        {"/a", "needs FROM and TO"},
        {"/news/* /blog/:splat", "splats"},
        {"/news/:year/x /y", "placeholders"},
        {"/a /b 200", "status 200"},
        {"/a /b 404", "status 404"},
        {"/a /b 301!", "forced"},
        {"/a /b 302 Country=us", "conditions"},
        {"/a /b Language=de", "conditions"},
        {"/a?id=1 /b", "query conditions"},
        {"/a b", "TO must be"},
        {"a /b", "FROM must be"},
    };
    for (const Row &row : rows) {
        std::vector<Redirect> out;
        std::string strError;
        EXPECT_FALSE(parseRedirectsFile(std::string("/ok /fine\n") + row.line + "\n", "_redirects",
                                        "index.html", out, strError))
            << row.line;
        EXPECT_EQ(strError.rfind("_redirects:2: ", 0), 0u) << strError;
        EXPECT_NE(strError.find(row.why), std::string::npos) << strError;
    }
}

TEST(LoadRedirects, ClashesWithFilesAndWithEachOtherNameBoth)
{
    TempDir dir;
    dir.write("index.html", "home");
    const std::string strRoot = dir.path() + "/";
    Redirect fromRules;
    fromRules.strFrom = "/old/";
    fromRules.strTo = "/new/";
    fromRules.strKey = "old/index.html";
    fromRules.strWhere = "config.toml:3";
    std::vector<Redirect> out;
    std::string strError;
    ASSERT_TRUE(loadRedirects({fromRules}, strRoot, "index.html", out, strError)) << strError;
    EXPECT_EQ(out.size(), 1u);

    dir.write("_redirects", "/a /b\n/old/index.html /elsewhere\n");
    EXPECT_FALSE(loadRedirects({fromRules}, strRoot, "index.html", out, strError));
    EXPECT_EQ(strError, "_redirects:2: /old/index.html is stored at old/index.html, as is /old/ of config.toml:3");

    dir.write("_redirects", "/ /home.html\n");
    EXPECT_FALSE(loadRedirects({}, strRoot, "index.html", out, strError));
    EXPECT_EQ(strError, "_redirects:1: / is stored at index.html, which is also the file " + strRoot + "index.html");
}

} // namespace
