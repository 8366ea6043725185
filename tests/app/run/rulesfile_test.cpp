// The rules file: settings by name, Cache-Control rules in order, and errors
// that name the file, the line and the reason.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "rulesfile.h"
#include "s3client.h"
#include "tempdir.h"

namespace {

TEST(RulesFile, SettingsAndRulesAreReadInOrder)
{
    TempDir dir;
    std::string strPath = dir.write("config.toml",
                                    "# publishing www.example.org\n"
                                    "bucket = \"www.example.org\"\n"
                                    "signature = \"v4\"\n"
                                    "jobs = 8\n"
                                    "digest_cache = false\n"
                                    "rules = [\n"
                                    "  { match = \"assets/**\", cache_control = \"public, max-age=31536000, immutable\" },\n"
                                    "  { match = \"*.html\", cache_control = \"no-cache\" },\n"
                                    "]\n");
    RulesFile rules;
    std::string strError;
    ASSERT_TRUE(readRulesFile(strPath, true, rules, strError)) << strError;
    const std::map<std::string, std::string> expected = {
        {"SITEMIRROR_BUCKET", "www.example.org"},
        {"SITEMIRROR_SIGNATURE", "v4"},
        {"SITEMIRROR_JOBS", "8"},
        {"SITEMIRROR_DIGEST_CACHE", "off"},
    };
    EXPECT_EQ(rules.values, expected);
    ASSERT_EQ(rules.cacheRules.size(), 2u);
    EXPECT_EQ(rules.cacheRules[0].strMatch, "assets/**");
    EXPECT_EQ(rules.cacheRules[0].strCacheControl, "public, max-age=31536000, immutable");
    EXPECT_EQ(rules.cacheRules[1].strMatch, "*.html");

    // The same rules written as an array of tables.
    strPath = dir.write("tables.toml", "[[rules]]\nmatch = \"a/*\"\ncache_control = \"x\"\n"
                                       "[[rules]]\nmatch = \"b\"\ncache_control = \"y\"\n");
    ASSERT_TRUE(readRulesFile(strPath, true, rules, strError)) << strError;
    ASSERT_EQ(rules.cacheRules.size(), 2u);
    EXPECT_EQ(rules.cacheRules[1].strCacheControl, "y");
}

TEST(RulesFile, MalformedFilesNameFileLineAndReason)
{
    struct Row {
        const char *pszText;
        const char *pszLine;   // ":N: " expected in the message
        const char *pszReason; // a part of the reason
    };
    // A header value the client could not send is refused here, naming its line.
    const std::string strTooLong = "rules = [\n { match = \"a\", cache_control = \"ok\" },\n"
                                   " { match = \"b\", cache_control = \"" +
                                   std::string(S3_MAX_HEADER_VALUE_SIZE + 1, 'x') + "\" },\n]\n";
    const Row rows[] = {
        {strTooLong.c_str(), ":3: ", "cache_control is longer than"},
        {"bucket = \"b\"\njobs = \n", ":2: ", ""},
        {"bucket = \"b\"\nbuckt = \"c\"\n", ":2: ", "unknown setting \"buckt\""},
        {"\n\nendpoint = [1]\n", ":3: ", "endpoint must be"},
        {"rules = \"assets/**\"\n", ":1: ", "rules must be an array"},
        {"rules = [\n { match = \"a\" },\n]\n", ":2: ", "at least one of cache_control"},
        {"rules = [ { cache_control = \"x\" } ]\n", ":1: ", "needs match"},
        {"rules = [\n { match = \"a\", content_encoding = \"deflate\" } ]\n", ":2: ",
         "content_encoding must be \"gzip\" or \"br\""},
        {"rules = [ { match = \"a\", content_encoding = \"GZIP\" } ]\n", ":1: ", "content_encoding"},
        {"rules = [ { match = \"a\", content_type = \"text/html\\nX: y\" } ]\n", ":1: ",
         "content_type must not hold line breaks"},
        {"rules = [ { match = \"a\", cache = \"x\" } ]\n", ":1: ", "unknown rule field \"cache\""},
        {"rules = [ { match = \"\", cache_control = \"x\" } ]\n", ":1: ", "match must be"},
        {"rules = [\n\n { match = \"a\", cache_control = \"x\\r\\nSet-Cookie: y\" } ]\n", ":3: ",
         "line breaks"},
        {"rules = [ { match = \"a\", expires = \"2038-01-01\" } ]\n", ":1: ", "expires must be an HTTP date"},
        {"rules = [ { match = \"a\", expires = \"Sat, 01 Jan 2038 00:00:00 GMT\" } ]\n", ":1: ",
         "expires must be an HTTP date"},
        {"rules = [ { match = \"a\", acl = \"public\" } ]\n", ":1: ", "acl must be a canned ACL (private, "},
        {"rules = [ { match = \"a\", storage_class = \"A B\" } ]\n", ":1: ", "storage_class must be"},
        {"rules = [ { match = \"a\", metadata = \"x\" } ]\n", ":1: ", "metadata must be a table"},
        {"rules = [ { match = \"a\", metadata = { Owner = \"x\" } } ]\n", ":1: ", "metadata name \"Owner\""},
        {"rules = [ { match = \"a\", metadata = { md5 = \"x\" } } ]\n", ":1: ", "metadata name \"md5\""},
        {"rules = [ { match = \"a\", metadata = { n = 1 } } ]\n", ":1: ", "metadata n must be a string"},
        {"rules = [ { match = \"a\", metadata = { n = \"caf\u00e9\" } } ]\n", ":1: ", "ASCII"},
        {"redirects = [ { from = \"/a\" } ]\n", ":1: ", "a redirect needs from and to"},
        {"redirects = [ { from = \"/a\", to = \"b\" } ]\n", ":1: ", "to must be a path beginning with /"},
        {"redirects = [ { from = \"/a\", to = \"/b\", code = 302 } ]\n", ":1: ", "a redirect has from and to"},
        {"redirects = \"/a /b\"\n", ":1: ", "redirects must be an array"},
    };
    TempDir dir;
    for (const Row &r : rows) {
        std::string strPath = dir.write("bad.toml", r.pszText);
        RulesFile rules;
        std::string strError;
        EXPECT_FALSE(readRulesFile(strPath, false, rules, strError)) << r.pszText;
        EXPECT_EQ(strError.rfind(strPath + r.pszLine, 0), 0u) << strError;
        EXPECT_NE(strError.find(r.pszReason), std::string::npos) << strError;
    }
}

TEST(RulesFile, FurtherHeadersAndRedirectsAreReadAsWritten)
{
    TempDir dir;
    const std::string strPath = dir.write(
        "rules.toml",
        "rules = [ { match = \"*.pdf\", content_disposition = \"attachment\", content_language = \"en\","
        " expires = \"Fri, 01 Jan 2038 00:00:00 GMT\", metadata = { owner = \"web\", b-2 = \"x\" },"
        " storage_class = \"STANDARD_IA\", acl = \"bucket-owner-full-control\" } ]\n"
        "redirects = [ { from = \"/old/\", to = \"/new/\" }, { from = \"/a.html\", to = \"https://e.example/a\" } ]\n");
    RulesFile rules;
    std::string strError;
    ASSERT_TRUE(readRulesFile(strPath, true, rules, strError)) << strError;
    ASSERT_EQ(rules.cacheRules.size(), 1u);
    const CacheRule &rule = rules.cacheRules[0];
    EXPECT_EQ(rule.strContentDisposition, "attachment");
    EXPECT_EQ(rule.strContentLanguage, "en");
    EXPECT_EQ(rule.expires, 2145916800);
    EXPECT_EQ(rule.metadata, (std::vector<std::pair<std::string, std::string>>{{"b-2", "x"}, {"owner", "web"}}));
    EXPECT_EQ(rule.strStorageClass, "STANDARD_IA");
    EXPECT_EQ(rule.strAcl, "bucket-owner-full-control");
    ASSERT_EQ(rules.redirects.size(), 2u);
    EXPECT_EQ(rules.redirects[1].strFrom, "/a.html");
    EXPECT_EQ(rules.redirects[1].strTo, "https://e.example/a");
    EXPECT_EQ(rules.redirects[0].strWhere, strPath + ":2");
}

TEST(RulesFile, ARuleGivesAnyOfItsThreeHeadersAndLeavesTheOthersDefault)
{
    TempDir dir;
    std::string strPath = dir.write(
        "fields.toml",
        "rules = [\n"
        "  { match = \"*.html\", content_type = \"text/html; charset=utf-8\", content_encoding = \"gzip\" },\n"
        "  { match = \"*.css\", content_encoding = \"br\", cache_control = \"max-age=60\" },\n"
        "  { match = \"*.txt\", content_type = \"text/plain; charset=utf-8\" },\n"
        "]\n");
    RulesFile rules;
    std::string strError;
    ASSERT_TRUE(readRulesFile(strPath, false, rules, strError)) << strError;
    ASSERT_EQ(rules.cacheRules.size(), 3u);
    struct Row {
        const char *pszControl, *pszType, *pszEncoding;
    };
    const Row expected[] = {
        {"", "text/html; charset=utf-8", "gzip"},
        {"max-age=60", "", "br"},
        {"", "text/plain; charset=utf-8", ""},
    };
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rules.cacheRules[i].strCacheControl, expected[i].pszControl) << i;
        EXPECT_EQ(rules.cacheRules[i].strContentType, expected[i].pszType) << i;
        EXPECT_EQ(rules.cacheRules[i].strContentEncoding, expected[i].pszEncoding) << i;
    }
}

TEST(RulesFile, ACacheControlValueOfTheClientsLimitIsTaken)
{
    TempDir dir;
    const std::string strValue(S3_MAX_HEADER_VALUE_SIZE, 'x');
    std::string strPath =
        dir.write("max.toml", "rules = [ { match = \"a\", cache_control = \"" + strValue + "\" } ]\n");
    RulesFile rules;
    std::string strError;
    ASSERT_TRUE(readRulesFile(strPath, false, rules, strError)) << strError;
    ASSERT_EQ(rules.cacheRules.size(), 1u);
    EXPECT_EQ(rules.cacheRules[0].strCacheControl, strValue);
}

TEST(RulesFile, AMissingFileIsNoRulesUnlessItWasNamed)
{
    TempDir dir;
    RulesFile rules;
    std::string strError;
    EXPECT_TRUE(readRulesFile(dir.path() + "/none.toml", false, rules, strError));
    EXPECT_TRUE(rules.values.empty());
    EXPECT_FALSE(readRulesFile(dir.path() + "/none.toml", true, rules, strError));
    EXPECT_NE(strError.find("none.toml: cannot read rules file"), std::string::npos) << strError;
    EXPECT_FALSE(readRulesFile(dir.path(), false, rules, strError)); // a folder
}

TEST(RulesFile, WhereTheFileIsLookedFor)
{
    static std::map<std::string, std::string> vars;
    auto lookup = [](const char *name) -> const char * {
        auto it = vars.find(name);
        return it == vars.end() ? nullptr : it->second.c_str();
    };
    bool bNamed = true;
    vars = {{"HOME", "/home/u"}};
    EXPECT_EQ(rulesFilePath(lookup, bNamed), "/home/u/.config/sitemirror/config.toml");
    EXPECT_FALSE(bNamed);
    vars["XDG_CONFIG_HOME"] = "/cfg";
    EXPECT_EQ(rulesFilePath(lookup, bNamed), "/cfg/sitemirror/config.toml");
    vars["SITEMIRROR_CONFIG"] = "/etc/site.toml";
    EXPECT_EQ(rulesFilePath(lookup, bNamed), "/etc/site.toml");
    EXPECT_TRUE(bNamed);
}

} // namespace

TEST(RulesFile, DeleteIsASettingLikeAnyOther)
{
    TempDir dir;
    RulesFile rules;
    std::string strError;
    ASSERT_TRUE(readRulesFile(dir.write("on.toml", "delete = true\n"), true, rules, strError))
        << strError;
    EXPECT_EQ(rules.values, (std::map<std::string, std::string>{{"SITEMIRROR_DELETE", "on"}}));
    ASSERT_TRUE(readRulesFile(dir.write("off.toml", "delete = false\n"), true, rules, strError));
    EXPECT_EQ(rules.values, (std::map<std::string, std::string>{{"SITEMIRROR_DELETE", "off"}}));
}
