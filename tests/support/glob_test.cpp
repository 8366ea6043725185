// The gitignore wildcard matcher: each syntax element, bracket expressions
// and classes, the forms of "**", escapes, the line parser, and a time bound
// on patterns that make a backtracking matcher explode.
#include "glob.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

TEST(WildMatch, Table)
{
    const struct {
        const char *pattern;
        const char *text;
        bool bMatch;
    } cases[] = {
        {"a.txt", "a.txt", true},
        {"a.txt", "a.txtx", false},
        {"*.html", "index.html", true},
        {"*.html", "sub/index.html", false}, // "*" stops at "/"
        {"*", "", true},
        {"a?c", "abc", true},
        {"a?c", "a/c", false},
        {"a?c", "ac", false},
        {"*.sw[op]", "x.swo", true},
        {"*.sw[op]", "x.swp", true},
        {"*.sw[op]", "x.swx", false},
        {"*.py[cod]", "m.pyd", true},
        {"draft[0-9].md", "draft7.md", true},
        {"draft[0-9].md", "drafta.md", false},
        {"[!a]", "b", true},
        {"[!a]", "a", false},
        {"[^a]", "b", true},
        {"[^a]", "a", false},
        {"[a-c]", "b", true},
        {"[a-c]", "d", false},
        {"[c-a]", "b", false},
        {"[]a]", "]", true},
        {"[!]a]", "]", false},
        {"[a-]", "-", true},
        {"[\\]]", "]", true},
        {"x[/]y", "x/y", false}, // a bracket never matches "/"
        {"x[!a]y", "x/y", false},
        {"[[:alpha:]]", "Q", true},
        {"[[:alpha:]]", "1", false},
        {"[[:digit:]x]", "x", true},
        {"[[:digit:]x]", "7", true},
        {"[[:upper:]]", "a", false},
        {"[[:lower:]]", "a", true},
        {"[[:space:]]", " ", true},
        {"[[:punct:]]", "!", true},
        {"[[:punct:]]", "a", false},
        {"[[:xdigit:]]", "F", true},
        {"[[:xdigit:]]", "g", false},
        {"[[:alnum:]]", "_", false},
        {"[[:nope:]]", "n", false},  // an unknown class matches nothing
        {"[[:alpha:]", "a", false},  // unterminated
        {"file[1", "file[1", false}, // unterminated: matches nothing, not even itself
        {"file[1].txt", "file1.txt", true},
        {"file[1].txt", "file[1].txt", false},
        {"a\\*b", "a*b", true},
        {"a\\*b", "axb", false},
        {"a\\[b", "a[b", true},
        {"foo\\", "foo\\", false}, // a trailing "\" matches nothing
        {"foo\\", "foo", false},
        {"**/cache", "cache", true},
        {"**/cache", "a/b/cache", true},
        {"**/cache", "xcache", false},
        {"a/**/b", "a/b", true},
        {"a/**/b", "a/x/y/b", true},
        {"a/**/b", "ab", false},
        {"a/**/b", "a/xb", false},
        {"assets/**", "assets/x/y.css", true},
        {"assets/**", "assets", false},
        {"**", "any/thing", true},
        {"a**b", "axxb", true},      // "**" not beside "/" is a plain "*"
        {"a**b", "ax/xb", false},
        {"**foo", "x/foo", false},
        {"foo**", "foo/bar", false},
        {"a/**b", "a/x/b", false},
        {"a/***/b", "a/x/y/b", true}, // a longer run is still "**"
        {"a/**\\/b", "a/x/b", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wildMatch(c.pattern, c.text), c.bMatch) << c.pattern << " vs " << c.text;
}

// A backtracking matcher takes seconds to minutes on these; the matcher must
// answer each well under a second.
TEST(WildMatch, PathologicalPatternsTakeBoundedTime)
{
    std::string stars;
    for (int i = 0; i < 12; ++i)
        stars += "*a";
    std::string deepStars;
    std::string deepPath;
    for (int i = 0; i < 12; ++i) {
        deepStars += "**/a/";
        deepPath += "a/";
    }
    const struct {
        std::string pattern;
        std::string text;
        bool bMatch;
    } cases[] = {
        {stars + "b", std::string(40, 'a'), false},
        {stars + "b", std::string(4000, 'a'), false},
        {stars, std::string(4000, 'a'), true},
        {deepStars + "b", deepPath + deepPath + "c", false},
        {"[a-z]*[a-z]*[a-z]*[a-z]*[a-z]*[a-z]*[a-z]*[a-z]*[a-z]*[a-z]*0", std::string(3000, 'q'), false},
    };
    for (const auto &c : cases) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(wildMatch(c.pattern, c.text), c.bMatch) << c.pattern;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_LT(seconds, 1.0) << c.pattern;
    }
}

TEST(GlobLine, ParsedAsGitReadsIt)
{
    const struct {
        const char *line;
        bool bRule;
        const char *pattern;
        bool bNegate, bDirOnly, bBaseName;
    } cases[] = {
        {"# comment", false, "", false, false, false},
        {"", false, "", false, false, false},
        {"   ", false, "", false, false, false},
        {"\\#hash", true, "\\#hash", false, false, true},
        {"!keep.log", true, "keep.log", true, false, true},
        {"\\!bang", true, "\\!bang", false, false, true},
        {"build/", true, "build", false, true, true},
        {"/top.html", true, "top.html", false, false, false},
        {"doc/*.md", true, "doc/*.md", false, false, false},
        {"a/b/", true, "a/b", false, true, false},
        {"trail   ", true, "trail", false, false, true},
        {"crlf.txt\r", true, "crlf.txt", false, false, true},
        {"space\\ ", true, "space\\ ", false, false, true},      // an escaped blank stays
        {"two\\ \\  ", true, "two\\ \\ ", false, false, true},   // blanks after the last escaped one go
        {"a.txt\\\\ ", true, "a.txt\\\\", false, false, true},   // "\\" is a backslash: the blank goes
        {"back\\", true, "back\\", false, false, true},          // kept, and matches nothing
        {"back\\   ", true, "back\\ ", false, false, true},
        {"/", false, "", false, false, false},
        {"!", false, "", false, false, false},
    };
    for (const auto &c : cases) {
        GlobPattern pattern;
        const bool bRule = parseGlobLine(c.line, true, pattern);
        EXPECT_EQ(bRule, c.bRule) << "[" << c.line << "]";
        if (!bRule || !c.bRule)
            continue;
        EXPECT_EQ(pattern.strPattern, c.pattern) << "[" << c.line << "]";
        EXPECT_EQ(pattern.bNegate, c.bNegate) << "[" << c.line << "]";
        EXPECT_EQ(pattern.bDirOnly, c.bDirOnly) << "[" << c.line << "]";
        EXPECT_EQ(pattern.bBaseName, c.bBaseName) << "[" << c.line << "]";
    }
    // Without negation "!" is an ordinary byte.
    GlobPattern literal;
    ASSERT_TRUE(parseGlobLine("!x", false, literal));
    EXPECT_FALSE(literal.bNegate);
    EXPECT_EQ(literal.strPattern, "!x");
}

TEST(GlobMatches, BaseNamesAnchorsAndFolders)
{
    const struct {
        const char *line;
        const char *rel;
        bool bDir;
        bool bMatch;
    } cases[] = {
        {"*.tmp", "deep/er/a.tmp", false, true},
        {"/top.html", "top.html", false, true},
        {"/top.html", "sub/top.html", false, false},
        {"doc/*.md", "x/doc/a.md", false, false},
        {"build/", "build", true, true},
        {"build/", "build", false, false},
        {"build/", "x/build", true, true},
        {"a/b/", "a/b", true, true},
        {"space\\ ", "space ", false, true},
        {"a.txt\\\\ ", "a.txt\\", false, true},
        {"a.txt\\\\ ", "a.txt\\ ", false, false},
    };
    for (const auto &c : cases) {
        GlobPattern pattern;
        ASSERT_TRUE(parseGlobLine(c.line, true, pattern)) << c.line;
        EXPECT_EQ(globMatches(pattern, c.rel, c.bDir), c.bMatch) << c.line << " vs " << c.rel;
    }
}

} // namespace
