// String comparison, quote trimming, number conversion, folder creation and the
// site's "personal" rule.
#include "myS3Common.h"

#include <climits>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "site_policy.h"
#include "temp_dir.h"

namespace {

int sign(int v)
{
    return (v > 0) - (v < 0);
}

TEST(CaseInsensitiveCompare, OrdersByLengthThenUpperCasedBytes)
{
    const struct {
        std::string left;
        std::string right;
        int expectedSign;
    } cases[] = {
        {".JPG", ".jpg", 0},
        {"", "", 0},
        {"MiXeD-1_~", "mixed-1_~", 0},
        {".jpg", ".jpeg", -1},  // shorter first, whatever the bytes
        {"Z", "aa", -1},
        {".a", ".B", -1},
        {".b", ".A", 1},
        {"[", "a", 1},  // '[' is above 'A' once 'a' is upper-cased
        {"@", "a", -1},
        {"\x80", "A", -1},  // bytes from 0x80 count as negative
        {"\xff", "\x80", 1},
        {std::string("a\0b", 3), std::string("A\0B", 3), 0},
        {std::string("a\0b", 3), std::string("a\0c", 3), -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(sign(StringManager::icompare(c.left, c.right)), c.expectedSign)
            << '"' << c.left << "\" vs \"" << c.right << '"';
        EXPECT_EQ(sign(StringManager::icompare(c.right, c.left)), -c.expectedSign);
        EXPECT_EQ(sign(CompareCaseInsensitive(c.left, c.right)), c.expectedSign);
    }
    EXPECT_EQ(StringManager::icompare("abc", "a"), 2);
}

TEST(CaseInsensitiveCompare, PrefixOnly)
{
    EXPECT_EQ(StringManager::incompare("HELLO world", "hello there", 5), 0);
    EXPECT_GT(StringManager::incompare("HELLO world", "hello there", 7), 0);  // W after T
    EXPECT_EQ(StringManager::incompare("abc", "ABCDEF", 100), 0);  // lengths ignored
    EXPECT_EQ(StringManager::incompare("", "x", 1), 0);
    EXPECT_GT(StringManager::incompare("b", "A", 1), 0);
}

TEST(CaseInsensitiveTraits, CompareAndFind)
{
    const ci_string a("Content-Type");
    EXPECT_TRUE(a == ci_string("CONTENT-TYPE"));
    EXPECT_TRUE(ci_string("etag") < ci_string("ETAGS"));
    EXPECT_LT(a.compare("content-typf"), 0);
    EXPECT_GT(a.compare("CONTENT-TYPD"), 0);
    EXPECT_EQ(a.find('t'), 3u);
    EXPECT_EQ(a.find("TYPE"), 8u);
    EXPECT_EQ(a.find('z'), ci_string::npos);
    EXPECT_TRUE(ci_char_traits::ne('a', 'B'));
    EXPECT_FALSE(ci_char_traits::ne('a', 'A'));
}

TEST(TrimQuote, RemovesOneEnclosingPair)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"\"d41d8cd98f00b204e9800998ecf8427e\"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"d41d8cd98f00b204e9800998ecf8427e", "d41d8cd98f00b204e9800998ecf8427e"},
        {"", ""},
        {"\"", ""},
        {"'", ""},
        {"\"\"", ""},
        {"\"abc'", "abc"},
        {"'abc'", "abc"},
        {"\"\"abc\"\"", "\"abc\""},
        {"\"abc", "\"abc"},
        {"abc\"", "abc\""},
        {" \"abc\"", " \"abc\""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(trimQuote(c.in), c.out) << c.in;
    }
}

TEST(Numbers, TextAndBack)
{
    EXPECT_EQ(int2string(-42), "-42");
    EXPECT_EQ(StringManager::int2string(0), "0");
    EXPECT_EQ(int2string(INT_MAX), "2147483647");
    EXPECT_EQ(int2string(INT_MIN), "-2147483648");

    const struct {
        const char *text;
        bool ok;
        int value;
    } cases[] = {
        {"42", true, 42},
        {"  -17 apples", true, -17},
        {"+8", true, 8},
        {"2147483647", true, INT_MAX},
        {"-2147483648", true, INT_MIN},
        {"2147483648", false, 0},   // does not fit
        {"-99999999999999999999", false, 0},
        {"", false, 0},
        {"abc", false, 0},
        {"- 1", false, 0},
    };
    for (const auto &c : cases) {
        int number = 12345;
        EXPECT_EQ(string2int(c.text, number), c.ok) << c.text;
        EXPECT_EQ(number, c.ok ? c.value : 12345) << c.text;
    }
}

TEST(Upper, OnlyAsciiLettersChange)
{
    for (int i = 0; i < 256; ++i) {
        const char ch = static_cast<char>(i);
        const char expected = (i >= 'a' && i <= 'z') ? static_cast<char>(i - 32) : ch;
        EXPECT_EQ(myToUpper(ch), expected) << i;
    }
}

bool isDir(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(MakePath, CreatesEveryLevel)
{
    TempDir dir;
    EXPECT_TRUE(mkpath(dir / "a/b//c/"));
    EXPECT_TRUE(isDir(dir / "a/b/c"));
    EXPECT_TRUE(mkpath(dir / "a/b/c"));  // already there
    EXPECT_TRUE(mkpath(""));
    EXPECT_TRUE(mkpath("/"));

    EXPECT_TRUE(ensureParentDirectory(dir / "p/q/file.txt"));
    EXPECT_TRUE(isDir(dir / "p/q"));
    EXPECT_FALSE(isDir(dir / "p/q/file.txt"));
    EXPECT_TRUE(ensureParentDirectory("file.txt"));
}

TEST(MakePath, FailsWhereAFileIsInTheWay)
{
    TempDir dir;
    const std::string file = dir.write("plain", "x");
    EXPECT_FALSE(mkpath(file + "/sub"));
    EXPECT_FALSE(mkpath(file));  // exists, but is not a folder
    EXPECT_FALSE(ensureParentDirectory(file + "/sub/name"));
    EXPECT_FALSE(isDir(file + "/sub"));
}

TEST(EnsureDirectory, CreatesMissingAncestors)
{
    TempDir dir;
    EXPECT_TRUE(ensureDirectory(dir / "x/y/z"));
    EXPECT_TRUE(isDir(dir / "x/y/z"));
    EXPECT_TRUE(ensureDirectory(dir / "x/y/z"));
    EXPECT_TRUE(ensureDirectory(dir / "t/"));
    EXPECT_TRUE(isDir(dir / "t"));
    EXPECT_TRUE(ensureDirectory("/"));
}

TEST(EnsureDirectory, RefusesWhatIsNotAFolder)
{
    TempDir dir;
    const std::string file = dir.write("plain", "x");
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "link").c_str()), 0);

    EXPECT_FALSE(ensureDirectory(""));
    EXPECT_FALSE(ensureDirectory(file));
    EXPECT_FALSE(ensureDirectory(file + "/sub"));
    EXPECT_FALSE(ensureDirectory(dir / "link"));  // a link is not followed
}

// Runs body with the working folder set to path, and restores it after.
template <typename F>
void inFolder(const std::string &path, F body)
{
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
    ASSERT_EQ(chdir(path.c_str()), 0);
    body();
    ASSERT_EQ(chdir(saved), 0);
}

TEST(EnsureDirectory, RelativeNames)
{
    TempDir dir;
    inFolder(dir.path(), [] {
        EXPECT_TRUE(ensureDirectory("bare"));
        EXPECT_TRUE(ensureDirectory("rel/nested"));
    });
    EXPECT_TRUE(isDir(dir / "bare"));
    EXPECT_TRUE(isDir(dir / "rel/nested"));

    // A working folder that has vanished ends in false, not endless descent.
    const std::string gone = dir / "gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
    inFolder(gone, [&] {
        ASSERT_EQ(rmdir(gone.c_str()), 0);
        EXPECT_FALSE(ensureDirectory("child"));
    });
}

}  // namespace

// The one "personal" rule that the mirror's ACL and the index page both follow.
TEST(SitePolicy, PersonalIsATextPrefixOfTheKeyAndTwoFolderNamesAreNeverListed)
{
    const struct {
        const char *key;
        bool bPersonal;
    } rows[] = {
        {"personal/notes.html", true}, {"personal.html", true},    {"personalia/x.html", true},
        {"personal", true},            {"blog/personal/x.html", false}, {"Personal/x.html", false},
        {"persona", false},            {"", false},                {"/personal/x.html", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(isPersonalKey(row.key), row.bPersonal) << row.key;
    for (const char *name : {"personal", "repo.git"})
        EXPECT_TRUE(isUnlistedFolderName(name)) << name;
    for (const char *name : {"Personal", "personal.html", "repo", ".git", "personalia"})
        EXPECT_FALSE(isUnlistedFolderName(name)) << name;
}
