// The index page: exact bytes of the page for real trees, what the walk lists
// and leaves out (also names no store takes), its console lines, where the
// page may and may not go, and the temporary page under a signal.
#include "myListTool.h"

#include "direntry.h"
#include "../support/held_temporary.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kSite = "http://site.test";

// The page as a browser gets it, written out independently of the code.
std::string pageHead(const std::string &strPrefix)
{
    return std::string(R"(<html><head><meta http-equiv="Content-Type" content="text/html; charset=UTF-8">)"
                       R"(<title>My All File List</title>)"
                       R"(<meta name="GENERATOR" content="Microsoft FrontPage 6.0"></head>  <body>)"
                       R"(<p><font color="#FF0000">)"
                       R"(<font color="#FF0000"><font size="7">All File List</font></p>)"
                       "\n"
                       R"(<table border="1" cellpadding="5" cellspacing="5" width="800" table-layout="fixed"   )"
                       R"(<colgroup><col style="width: 20;"><col style="width: 360;"><col style="width: 420;">)"
                       R"(</colgroup>>)"
                       R"(<tr> <th> file index </th>  <th> file name </th>  <th> file path </th> </tr>)"
                       "\n"
                       R"(This is a list of all files in this website and to make it easy for searching, )"
                       R"(the they are sorted by file name and here is <a href=")") +
           strPrefix +
           R"(/myListTool.html"> the source code </a> of file how it is generated. )"
           R"(And the most recent git source is here:)"
           "git clone https://git.quillmere.org/sitemirror.git\n"
           "git clone https://github.com/quillmere/sitemirror.git\n"
           "\n";
}

const std::string kPageTail = "</table></body></html>\n";

struct Row {
    std::string url;  // as it appears in the href
    std::string name; // the link text
    std::string key;  // the path-and-size column
};

std::string pageRows(const std::vector<Row> &rows)
{
    std::string s;
    int n = 0;
    for (const Row &r : rows) {
        s += R"(<tr> <td style="width: 20;word-wrap:break-word;max-width:20px;">)" + std::to_string(++n) +
             R"(</td>  <td style="width: 360;word-wrap:break-word;max-width:400px;" > <a href=")" + r.url +
             R"(">)" + r.name + R"(</a> </td> <td style="width: 420;word-wrap:break-word;max-width:500px;">)" +
             r.key + "</td></tr>";
    }
    return s;
}

std::string page(const std::vector<Row> &rows, const std::string &strPrefix = kSite)
{
    return pageHead(strPrefix) + pageRows(rows) + kPageTail;
}

std::string readFile(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const fs::path &p, const std::string &bytes)
{
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << p;
}

void writeSized(const fs::path &p, std::size_t n) { writeFile(p, std::string(n, 'x')); }

// Everything the process writes to standard output while fn runs.
template <class Fn> std::string captureStdout(Fn fn)
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::vector<std::string> sortedLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A fresh folder holding the site root "site"; its parent shows anything
// written outside the root.
class SiteTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/listtool-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base = tmpl;
        root = base / "site";
        fs::create_directory(root);
    }
    void TearDown() override { fs::remove_all(base); }

    // Runs the tool over the root and returns its console output.
    std::string run(bool bExpect = true, const std::string &srcPath = "")
    {
        bool bResult = !bExpect;
        std::string out = captureStdout([&] { bResult = myListTool(srcPath.empty() ? root.string() : srcPath, kSite); });
        EXPECT_EQ(bResult, bExpect) << out;
        return out;
    }
    std::string pageText() { return readFile(root / "fileLists.html"); }

    fs::path base, root;
};

TEST_F(SiteTree, EmptyRootGivesHeadAndTailOnly)
{
    EXPECT_EQ(run(), "");
    EXPECT_EQ(pageText(), page({}));
    // Only the page appeared, and only in the root.
    EXPECT_EQ(std::distance(fs::directory_iterator(base), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1);
}

TEST_F(SiteTree, RootIsResolvedWhicheverWayItIsGiven)
{
    writeSized(root / "docs" / "My File.txt", 3000);
    const std::string expected = page({{kSite + "/docs/My%20File.txt", "My File.txt", "/docs/My File.txt[2K]"}});
    fs::create_directory_symlink(root, base / "link");
    for (const std::string &src :
         {root.string() + "/", root.string() + "/docs/..", (base / "link").string() + "/"}) {
        fs::remove(root / "fileLists.html");
        EXPECT_EQ(run(true, src), "") << src;
        EXPECT_EQ(pageText(), expected) << src;
    }
}

// A site address written with trailing slashes gives the same page: no "//"
// after the host in any link or in the comment.
TEST_F(SiteTree, SiteAddressWithTrailingSlashesGivesNoDoubleSlash)
{
    writeSized(root / "docs" / "a.txt", 3);
    const std::string expected = page({{kSite + "/docs/a.txt", "a.txt", "/docs/a.txt[3B]"}});
    for (const std::string &site : {kSite, kSite + "/", kSite + "///"}) {
        fs::remove(root / "fileLists.html"); // else listed by the next run
        captureStdout([&] { EXPECT_TRUE(myListTool(root.string(), site)); });
        EXPECT_EQ(pageText(), expected) << site;
    }
}

TEST_F(SiteTree, RowsFollowTheRawKeyOrderAndCarrySizeTags)
{
    writeSized(root / "A.txt", 1024);
    writeSized(root / "a.txt", 1024);
    writeSized(root / "a" / "b.txt", 1024);
    writeSized(root / "a.html.bak", 1024);
    writeSized(root / "a.html", 3072);
    writeSized(root / "x[1].txt", 10);
    writeSized(root / "n" / "1023", 1023);
    writeSized(root / "n" / "1048575", 1048575);
    writeSized(root / "n" / "1048576", 1048576);
    writeSized(root / "n" / "2048", 2048);
    writeSized(root / "B", 0);
    EXPECT_EQ(run(), "");
    EXPECT_EQ(pageText(), page({
                              {kSite + "/A.txt", "A.txt", "/A.txt[1K]"},
                              {kSite + "/B", "B", "/B[0B]"},
                              {kSite + "/a.html.bak", "a.html.bak", "/a.html.bak[1K]"},
                              {kSite + "/a.html", "a.html", "/a.html[3K]"},
                              {kSite + "/a.txt", "a.txt", "/a.txt[1K]"},
                              {kSite + "/a/b.txt", "b.txt", "/a/b.txt[1K]"},
                              {kSite + "/n/1023", "1023", "/n/1023[1023B]"},
                              {kSite + "/n/1048575", "1048575", "/n/1048575[1023K]"},
                              {kSite + "/n/1048576", "1048576", "/n/1048576[1M]"},
                              {kSite + "/n/2048", "2048", "/n/2048[2K]"},
                              {kSite + "/x%5B1%5D.txt", "x[1].txt", "/x[1].txt[10B]"},
                          }));
}

TEST_F(SiteTree, HiddenPersonalAndRepositoryFoldersAreLeftOut)
{
    writeSized(root / ".htaccess", 1);
    writeSized(root / ".git" / "config", 1);
    writeSized(root / "personal" / "diary.html", 1);
    writeSized(root / "repo.git" / "HEAD", 1);
    writeSized(root / "blog" / "personal" / "x.html", 1);
    writeSized(root / "blog" / ".cache" / "y.html", 1);
    writeSized(root / "blog" / ".z.html", 1);
    writeSized(root / "blog" / "personal.html", 1);
    writeSized(root / "files" / "personal", 1);
    writeSized(root / "files" / "repo.git", 1);
    writeSized(root / "Personal" / "ok.html", 1);
    // Stored private by the mirror (a text prefix of the path): never linked.
    writeSized(root / "personal.html", 1);
    writeSized(root / "personalia" / "x.html", 1);
    writeSized(root / "personal-notes" / "deep" / "y.html", 1);
    EXPECT_EQ(run(), "");
    EXPECT_EQ(pageText(), page({
                              {kSite + "/Personal/ok.html", "ok.html", "/Personal/ok.html[1B]"},
                              {kSite + "/blog/personal.html", "personal.html", "/blog/personal.html[1B]"},
                              {kSite + "/files/personal", "personal", "/files/personal[1B]"},
                              {kSite + "/files/repo.git", "repo.git", "/files/repo.git[1B]"},
                          }));
}

TEST_F(SiteTree, NamesAreEncodedInAddressesAndEscapedOnThePage)
{
    writeSized(root / "My File.txt", 1);
    writeSized(root / "q\"uote.txt", 1);
    writeSized(root / "a&b<c>.txt", 1);
    writeSized(root / "100%+#?.txt", 1);
    writeSized(root / "caf\xC3\xA9 [draft].txt", 1);
    writeSized(root / "it's(1)*!~_-.txt", 1);
    writeSized(root / "d&r" / "<in>.txt", 1);
    EXPECT_EQ(run(), "");
    EXPECT_EQ(pageText(),
              page({
                  {kSite + "/100%25%2B%23%3F.txt", "100%+#?.txt", "/100%+#?.txt[1B]"},
                  {kSite + "/My%20File.txt", "My File.txt", "/My File.txt[1B]"},
                  {kSite + "/a%26b%3Cc%3E.txt", "a&amp;b&lt;c&gt;.txt", "/a&amp;b&lt;c&gt;.txt[1B]"},
                  {kSite + "/caf%C3%A9%20%5Bdraft%5D.txt", "caf\xC3\xA9 [draft].txt", "/caf\xC3\xA9 [draft].txt[1B]"},
                  {kSite + "/d%26r/%3Cin%3E.txt", "&lt;in&gt;.txt", "/d&amp;r/&lt;in&gt;.txt[1B]"},
                  {kSite + "/it's(1)*!~_-.txt", "it's(1)*!~_-.txt", "/it's(1)*!~_-.txt[1B]"},
                  {kSite + "/q&quot;uote.txt", "q&quot;uote.txt", "/q&quot;uote.txt[1B]"},
              }));
}

TEST_F(SiteTree, LinksAndSpecialFilesAreReportedNotListed)
{
    writeSized(root / "real.txt", 5);
    writeSized(base / "outside" / "secret.txt", 5);
    fs::create_symlink(root / "real.txt", root / "L");
    fs::create_directory(root / "sub");
    fs::create_directory_symlink(base / "outside", root / "sub" / "D");
    fs::create_symlink("nowhere", root / ".hidden-link");
    ASSERT_EQ(mkfifo((root / "sub" / "pipe").c_str(), 0644), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = (root / "sock").string();
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(sock);

    const std::string out = run();
    const std::string stars26(26, '*'), stars35(35, '*');
    const std::string r = root.string();
    std::vector<std::string> expected = {
        stars26 + "file is symbolic link:" + r + "//L" + stars35,
        stars26 + "file is symbolic link:" + r + "//.hidden-link" + stars35,
        stars26 + "file is symbolic link:" + r + "//sub/D" + stars35,
        "file is not regular:" + r + "//sock",
        "file is not regular:" + r + "//sub/pipe",
    };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sortedLines(out), expected);
    EXPECT_EQ(pageText(), page({{kSite + "/real.txt", "real.txt", "/real.txt[5B]"}}));
}

TEST_F(SiteTree, PreviousPageIsListedButNeverTheOneBeingWritten)
{
    writeSized(root / "a.txt", 1);
    EXPECT_EQ(run(), "");
    const std::string first = pageText();
    EXPECT_EQ(first, page({{kSite + "/a.txt", "a.txt", "/a.txt[1B]"}}));
    EXPECT_EQ(run(), "");
    EXPECT_EQ(pageText(), page({{kSite + "/a.txt", "a.txt", "/a.txt[1B]"},
                                {kSite + "/fileLists.html", "fileLists.html",
                                 "/fileLists.html" + siteindex::getFileSizeStr(first.size())}}));
}

TEST_F(SiteTree, UnresolvableRootIsReportedAndNothingIsWritten)
{
    const std::string missing = (base / "missing" / "site/").string();
    EXPECT_EQ(run(false, missing), "index page: site root cannot be resolved: " + missing + "\n");
    EXPECT_FALSE(fs::exists(base / "missing"));
    EXPECT_FALSE(fs::exists(root / "fileLists.html"));
}

TEST_F(SiteTree, PageThatCannotBeWrittenIsReported)
{
    const std::string cannot = "index page: cannot write " + root.string() + "/fileLists.html\n";

    // A folder in the page's place.
    writeSized(root / "fileLists.html" / "inner.txt", 4);
    EXPECT_EQ(run(false), cannot);
    fs::remove_all(root / "fileLists.html");

    // A named pipe in its place: refused at once, never waited on.
    ASSERT_EQ(mkfifo((root / "fileLists.html").c_str(), 0644), 0);
    EXPECT_EQ(run(false), "file is not regular:" + root.string() + "//fileLists.html\n" + cannot);
    fs::remove(root / "fileLists.html");

    // A link in its place, to a file outside the tree: the target stays as it was.
    writeFile(base / "precious.html", "keep me");
    fs::create_symlink(base / "precious.html", root / "fileLists.html");
    const std::string linkLine = std::string(26, '*') + "file is symbolic link:" + root.string() +
                                 "//fileLists.html" + std::string(35, '*') + "\n";
    EXPECT_EQ(run(false), linkLine + cannot);
    EXPECT_EQ(readFile(base / "precious.html"), "keep me");
    EXPECT_TRUE(fs::is_symlink(root / "fileLists.html"));
}

TEST_F(SiteTree, PageReplacesAHardLinkInsteadOfWritingThroughIt)
{
    writeSized(root / "a.txt", 1);
    writeFile(base / "outside.html", "keep me");
    fs::create_hard_link(base / "outside.html", root / "fileLists.html");
    EXPECT_EQ(run(), "");
    EXPECT_EQ(readFile(base / "outside.html"), "keep me");
    EXPECT_EQ(fs::hard_link_count(base / "outside.html"), 1u);
    EXPECT_EQ(pageText(), page({{kSite + "/a.txt", "a.txt", "/a.txt[1B]"},
                                {kSite + "/fileLists.html", "fileLists.html", "/fileLists.html[7B]"}}));
    // No temporary file stays behind.
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(root))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "fileLists.html"}));
}

TEST_F(SiteTree, IgnoredPathsAndUntypedEntriesFollowTheSameRules)
{
    writeSized(root / "a.txt", 1);
    writeSized(root / "drafts" / "b.html", 1);
    writeSized(root / "sub" / "c.html", 2);
    writeSized(root / "sub" / "c.tmp", 1);
    fs::create_symlink("a.txt", root / "link");
    const auto ignored = [](const std::string &rel, bool bDir) {
        return (bDir && rel == "drafts") || (rel.size() > 4 && rel.compare(rel.size() - 4, 4, ".tmp") == 0);
    };
    // Every entry reads as of unknown type, as on ext2 without "filetype".
    setEntryTypesUnknown(true);
    bool bOk = false;
    const std::string out = captureStdout([&] { bOk = myListTool(root.string(), kSite, ignored); });
    setEntryTypesUnknown(false);
    EXPECT_TRUE(bOk);
    EXPECT_EQ(out, std::string(26, '*') + "file is symbolic link:" + root.string() + "//link" +
                       std::string(35, '*') + "\n");
    EXPECT_EQ(pageText(), page({{kSite + "/a.txt", "a.txt", "/a.txt[1B]"},
                                {kSite + "/sub/c.html", "c.html", "/sub/c.html[2B]"}}));
}

// Files no store can take under their path are left off the page (the scan
// names them); their folders' other files are listed.
TEST_F(SiteTree, NamesNoStoreTakesAreNotLinked)
{
    const std::string longName(250, 'n');
    const std::string deep = longName + "/" + longName + "/" + longName + "/" + longName;
    writeSized(root / "bad\xFF.html", 1);
    writeSized(root / "sub" / "trunc\xC3.html", 1);
    writeSized(root / (deep + "/" + std::string(21, 'x')), 1); // 1,025 bytes below the root
    writeSized(root / (deep + "/" + std::string(20, 'y')), 1); // 1,024 bytes
    writeSized(root / "sub" / "ok.html", 1);
    const std::string out = run();
    EXPECT_EQ(out, "");
    const std::string text = pageText();
    EXPECT_EQ(text.find("bad"), std::string::npos);
    EXPECT_EQ(text.find("trunc"), std::string::npos);
    EXPECT_EQ(text.find(std::string(21, 'x')), std::string::npos);
    EXPECT_NE(text.find("/" + std::string(20, 'y') + "[1B]"), std::string::npos);
    EXPECT_NE(text.find("/sub/ok.html[1B]"), std::string::npos);
}

// Temporary pages left by a run killed outright are removed at the next run;
// look-alikes of another form, and anything below the root, stay.
TEST_F(SiteTree, StaleTemporaryPagesAreRemoved)
{
    writeFile(root / ".fileLists.html.Ab12Cd", "half a page");
    writeFile(root / ".fileLists.html.Ab12C", "not ours");
    writeFile(root / "fileLists.html.Ab12Cd", "not ours");
    writeFile(root / "sub" / ".fileLists.html.Ab12Cd", "below the root");
    fs::create_directory(root / ".fileLists.html.Zz12Cd"); // a folder is never removed
    run();
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(root))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".fileLists.html.Ab12C", ".fileLists.html.Zz12Cd", "fileLists.html",
                                               "fileLists.html.Ab12Cd", "sub"}));
    EXPECT_TRUE(fs::exists(root / "sub" / ".fileLists.html.Ab12Cd"));
}

// A signal while the page is written removes the temporary page, keeps the
// previous page, and still ends the process by that signal.
TEST_F(SiteTree, SignalDuringThePageWriteLeavesNoTemporary)
{
    writeFile(root / "index.html", "i");
    run();
    const std::string previous = pageText();
    writeFile(root / "new.html", "n");
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const HeldRun run = signalWhileTemporaryIsHeld([&] { myListTool(root.string(), kSite); }, sig, [&] {
            EXPECT_EQ(namesIn(root.string()).size(), 4u) << "the temporary page exists while it is written";
        });
        EXPECT_TRUE(run.bHeld);
        EXPECT_TRUE(run.bKilledBySig) << "signal " << sig;
        EXPECT_EQ(namesIn(root.string()), (std::vector<std::string>{"fileLists.html", "index.html", "new.html"}))
            << "signal " << sig;
        EXPECT_EQ(pageText(), previous);
    }
}

TEST(SiteIndexEncoding, EveryByteIsKeptOrPercentEncoded)
{
    const std::string keep = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!\"'()*-./_~";
    const char hex[] = "0123456789ABCDEF";
    for (int b = 0; b < 256; ++b) {
        const std::string in(1, static_cast<char>(b));
        const std::string expected = keep.find(static_cast<char>(b)) != std::string::npos && b != 0
                                         ? in
                                         : std::string{'%', hex[b >> 4], hex[b & 15]};
        EXPECT_EQ(siteindex::urlEncode(in), expected) << "byte " << b;
    }
    EXPECT_EQ(siteindex::urlEncode(""), "");
    EXPECT_EQ(siteindex::urlEncode("a b\xC3\xA9"), "a%20b%C3%A9");
}

TEST(SiteIndexEncoding, SizeTagsStepUpToGigabytesAndStayThere)
{
    const struct {
        uint64_t size;
        const char *tag;
    } rows[] = {
        {0, "[0B]"},
        {1023, "[1023B]"},
        {1024, "[1K]"},
        {2047, "[1K]"},
        {1048575, "[1023K]"},
        {1048576, "[1M]"},
        {(1ull << 30) - 1, "[1023M]"},
        {1ull << 30, "[1G]"},
        {5ull << 40, "[5120G]"},
        {UINT64_MAX, "[17179869183G]"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(siteindex::getFileSizeStr(row.size), row.tag) << row.size;
}

} // namespace
