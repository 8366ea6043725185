// Ignore rules and Cache-Control patterns: each syntax element, and the scan
// leaving out what they name.
#include "cache_rules.h"
#include "ignore.h"
#include "myDir.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

TEST(IgnoreRules, EachSyntaxElement)
{
    const struct {
        const char *rules;
        const char *path;
        bool bDir;
        bool bIgnored;
    } cases[] = {
        {"# comment\n\n", "# comment", false, false},
        {"*.tmp", "a.tmp", false, true},
        {"*.tmp", "deep/er/a.tmp", false, true},
        {"*.tmp", "a.tmpx", false, false},
        {"a?c", "abc", false, true},
        {"a?c", "a/c", false, false},
        {"/top.html", "top.html", false, true},
        {"/top.html", "sub/top.html", false, false},
        {"doc/*.md", "doc/a.md", false, true},
        {"doc/*.md", "x/doc/a.md", false, false},
        {"doc/*.md", "doc/sub/a.md", false, false},
        {"**/cache", "a/b/cache", true, true},
        {"a/**/b", "a/b", false, true},
        {"a/**/b", "a/x/y/b", false, true},
        {"assets/**", "assets/x/y.css", false, true},
        {"build/", "build", true, true},
        {"build/", "build", false, false},
        {"*.log\n!keep.log", "keep.log", false, false},
        {"*.log\n!keep.log", "other.log", false, true},
        {"\\#hash", "#hash", false, true},
        {"\\!bang", "!bang", false, true},
        {"a\\*b", "a*b", false, true},
        {"a\\*b", "axb", false, false},
        {"trail   ", "trail", false, true},
        {"crlf.txt\r\n", "crlf.txt", false, true},
    };
    for (const auto &c : cases) {
        IgnoreRules rules;
        rules.parse(c.rules);
        EXPECT_EQ(rules.isIgnored(c.path, c.bDir), c.bIgnored) << c.rules << " / " << c.path;
    }
}

TEST(CacheRules, FirstMatchWinsAndFoldersCount)
{
    const std::vector<CacheRule> rules = {
        {"assets/**", "immutable"}, {"*.html", "no-cache"}, {"img/", "week"}, {"!*.css", "never"}};
    const struct {
        const char *key;
        const char *value; // nullptr: no rule
    } cases[] = {
        {"assets/a.html", "immutable"}, {"blog/x.html", "no-cache"}, {"img/a/b.png", "week"},
        {"site.css", nullptr},          {"img", nullptr},
    };
    for (const auto &c : cases) {
        const CacheRule *rule = findCacheRule(rules, c.key);
        if (c.value == nullptr)
            EXPECT_EQ(rule, nullptr) << c.key;
        else
            EXPECT_TRUE(rule != nullptr && rule->strCacheControl == c.value) << c.key;
    }
}

TEST(IgnoreScan, IgnoredFilesAndFoldersAreLeftOutAndCounted)
{
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "/drafts/deep");
    std::filesystem::create_directories(dir.path() + "/blog");
    dir.write(".sitemirrorignore", "drafts/\n*.bak\n!keep.bak\n");
    dir.write("index.html", "i");
    dir.write("drafts/deep/x.html", "x");
    dir.write("blog/old.bak", "o");
    dir.write("blog/keep.bak", "k");

    IgnoreRules rules;
    ASSERT_TRUE(loadIgnoreFile(dir.path(), rules));
    ScanStats stats;
    ScanOptions options;
    options.ignore = &rules;
    options.stats = &stats;
    S3ObjSet set;
    ASSERT_TRUE(getAllFiles(dir.path() + "/", set, options));
    std::vector<std::string> keys;
    for (const S3Obj &obj : set)
        keys.push_back(obj.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"blog/keep.bak", "index.html"}));
    EXPECT_EQ(stats.nIgnored, 3u); // the ignore file, drafts/, old.bak
    EXPECT_EQ(stats.nHashed, 2u);

    // Without the file nothing changes.
    IgnoreRules none;
    TempDir plain;
    EXPECT_TRUE(loadIgnoreFile(plain.path(), none));
    EXPECT_TRUE(none.empty());
}

} // namespace
