// The ignore files against git itself: each case builds a tree with ignore
// texts in its folders, asks git which files it would keep (the same texts
// as .gitignore files, "git ls-files -o --exclude-standard") and compares
// with what the tool keeps: the scan's keys and the index page's rows. Then
// whole runs: ignore files in folders, unusable ones, names no store takes.
#include "ignore.h"
#include "myDir.h"
#include "myListTool.h"
#include "site.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

using e2e::ToolRun;

struct IgnoreCase {
    const char *name;
    std::vector<std::pair<std::string, std::string>> ignoreFiles; // folder ("" root) -> text
    std::vector<std::string> files;
};

const IgnoreCase kCases[] = {
    {"comments and blank lines", {{"", "# a comment\n\n*.log\n"}}, {"a.log", "# a comment", "b.txt"}},
    {"a leading slash anchors", {{"", "/top.html\n"}}, {"top.html", "sub/top.html"}},
    {"an inner slash anchors", {{"", "doc/*.md\n"}}, {"doc/a.md", "x/doc/a.md", "doc/sub/a.md"}},
    {"a trailing slash names folders only", {{"", "build/\n"}}, {"build/x.o", "src/build/y.o", "other/build"}},
    {"a re-include", {{"", "*.log\n!keep.log\n"}}, {"a.log", "keep.log", "sub/keep.log", "sub/b.log"}},
    {"the last matching line decides", {{"", "*.log\n!keep.log\n*.log\n"}}, {"keep.log", "a.txt"}},
    {"no re-include into a folder left out", {{"", "drafts/\n!drafts/keep.html\n"}},
     {"drafts/keep.html", "drafts/x.html", "k.html"}},
    {"a re-include among a folder's files", {{"", "dir/*\n!dir/keep.html\n"}}, {"dir/keep.html", "dir/x.html"}},
    {"folders only, then files again", {{"", "*\n!*/\n!*.html\n"}}, {"a.html", "b.css", "sub/c.html", "sub/d.css"}},
    {"**/ at the start", {{"", "**/cache/\n"}}, {"cache/a", "x/y/cache/b", "cachex/c"}},
    {"/** at the end", {{"", "assets/**\n"}}, {"assets/a.css", "assets/x/b.css", "other/assets/c.css"}},
    {"/**/ inside", {{"", "a/**/b\n"}}, {"a/b", "a/x/b", "a/x/y/b", "c/a/b", "a/bb"}},
    {"** not beside a slash is a plain *", {{"", "a**b\n**foo\nbar**\nq/**z\n"}},
     {"axb", "ayyb", "a/xb", "x/foo", "xfoo", "bar/x", "barx", "q/x/z", "q/xz"}},
    {"bracket expressions", {{"", "*.sw[op]\n*.py[cod]\ndraft[0-9].md\n"}},
     {"a.swo", "a.swp", "a.swx", "m.pyc", "m.py", "draft1.md", "drafta.md"}},
    {"negated sets and ranges", {{"", "[!a].txt\n[^b]x\n[a-c].js\n"}},
     {"a.txt", "b.txt", "ax", "bx", "a.js", "d.js"}},
    {"POSIX classes", {{"", "[[:alpha:]][[:digit:]].css\n[[:upper:]]*\n[[:space:]]x\n[[:punct:]]p\n"}},
     {"a1.css", "1a.css", "Readme", "readme", " x", "_x", "!p", "ap"}},
    {"a bracket is not its own text", {{"", "file[1].txt\nfile[2\n"}}, {"file1.txt", "file[1].txt", "file[2"}},
    {"escapes", {{"", "\\#hash\n\\!bang\na\\*b\n\\[x]\n"}}, {"#hash", "!bang", "a*b", "axb", "[x]", "x"}},
    {"trailing blanks", {{"", "trail   \nsp\\ \n"}}, {"trail", "trail   ", "sp ", "sp"}},
    {"an escaped backslash before a blank", {{"", "a.txt\\\\ \n"}}, {"a.txt\\", "a.txt\\ ", "a.txt"}},
    {"a trailing backslash", {{"", "foo\\\nbar\\\n"}}, {"foo\\", "foo", "bar"}},
    {"a byte-order mark", {{"", "\xEF\xBB\xBF*.tmp\n"}}, {"a.tmp", "b.txt"}},
    {"CR LF line ends", {{"", "*.tmp\r\n/only.txt\r\n"}}, {"a.tmp", "only.txt", "b.txt"}},
    {"case counts", {{"", "*.HTML\n"}}, {"a.html", "b.HTML"}},
    {"blanks inside names", {{"", "my file.txt\n"}}, {"my file.txt", "my  file.txt", "myfile.txt"}},
    {"every folder's file applies below it", {{"", "*.log\n"}, {"sub", "!keep.log\n/local.html\n"}},
     {"a.log", "local.html", "sub/keep.log", "sub/o.log", "sub/local.html", "sub/deeper/local.html",
      "sub/deeper/keep.log"}},
    {"deeper files take precedence", {{"", "*.txt\n"}, {"sub", "!*.txt\n"}, {"sub/deeper", "/z.txt\n"}},
     {"a.txt", "sub/a.txt", "sub/deeper/a.txt", "sub/deeper/z.txt", "sub/deeper/more/z.txt"}},
    {"a folder left out keeps its file unread", {{"", "drafts/\n"}, {"drafts", "!*\n"}},
     {"drafts/a.html", "b.html"}},
    {"patterns are relative to their folder", {{"sub", "x/*.md\n"}},
     {"sub/x/a.md", "sub/y/x/a.md", "x/a.md"}},
    {"a re-include of a folder's file from a deeper file", {{"", "pics/*.jpg\n"}, {"pics", "!keep.jpg\n"}},
     {"pics/a.jpg", "pics/keep.jpg"}},
};

void writeFile(const fs::path &path, const std::string &bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

// Builds the case's tree at root with its ignore texts under ignoreName.
void buildTree(const fs::path &root, const IgnoreCase &c, const std::string &ignoreName)
{
    fs::create_directories(root);
    for (const std::string &file : c.files)
        writeFile(root / file, "x");
    for (const auto &ignore : c.ignoreFiles)
        writeFile((ignore.first.empty() ? root : root / ignore.first) / ignoreName, ignore.second);
}

// Runs git with args, with home as its home and no system or user
// configuration; true when it ends with status 0, its standard output in out.
bool runGit(const std::vector<std::string> &args, const fs::path &home, std::string &out)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        setenv("HOME", home.c_str(), 1);
        setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
        setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp("git", argv.data());
        _exit(127);
    }
    close(fds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What git keeps of the tree, ignore files themselves left aside.
std::set<std::string> gitKeeps(const fs::path &tree, const fs::path &home)
{
    std::string out;
    EXPECT_TRUE(runGit({"git", "init", "-q", tree.string()}, home, out));
    out.clear();
    EXPECT_TRUE(runGit({"git", "-C", tree.string(), "-c", "core.excludesFile=/dev/null", "ls-files", "-o",
                        "--exclude-standard", "-z"},
                       home, out));
    std::set<std::string> keys;
    for (std::size_t pos = 0; pos < out.size();) {
        const std::size_t end = out.find('\0', pos);
        const std::string path = out.substr(pos, end - pos);
        const std::string base = path.substr(path.rfind('/') + 1);
        if (base != ".gitignore")
            keys.insert(path);
        pos = end == std::string::npos ? out.size() : end + 1;
    }
    return keys;
}

// The page leaves off hidden names on its own: the rows git's list should give.
std::set<std::string> withoutHidden(const std::set<std::string> &keys)
{
    std::set<std::string> shown;
    for (const std::string &key : keys)
        if (key[0] != '.' && key.find("/.") == std::string::npos)
            shown.insert(key);
    return shown;
}

class IgnoreLikeGit : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/ignore-git-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base = tmpl;
    }
    void TearDown() override { fs::remove_all(base); }
    fs::path base;
};

TEST_F(IgnoreLikeGit, ScanAndPageKeepWhatGitKeeps)
{
    int i = 0;
    for (const IgnoreCase &c : kCases) {
        const fs::path caseDir = base / std::to_string(++i);
        const fs::path ours = caseDir / "site";
        const fs::path theirs = caseDir / "git";
        buildTree(ours, c, kIgnoreFileName);
        buildTree(theirs, c, ".gitignore");
        fs::create_directories(caseDir / "home");
        const std::set<std::string> expected = gitKeeps(theirs, caseDir / "home");

        IgnoreRules rules;
        ASSERT_TRUE(loadIgnoreFile(ours.string(), rules)) << c.name;
        ScanOptions options;
        options.ignore = &rules;
        S3ObjSet set;
        ASSERT_TRUE(getAllFiles(ours.string() + "/", set, options)) << c.name;
        std::set<std::string> scanned;
        for (const S3Obj &obj : set)
            scanned.insert(obj.key);
        EXPECT_EQ(scanned, expected) << c.name;

        siteindex::StringMap rows;
        siteindex::doDir(ours.string(), "http://site.test", "", rows,
                         [&rules](const std::string &strRel, bool bDir) { return rules.isIgnored(strRel, bDir); });
        std::set<std::string> listed;
        for (const auto &row : rows)
            listed.insert(row.first.substr(1, row.first.rfind('[') - 1));
        EXPECT_EQ(listed, withoutHidden(expected)) << c.name;
    }
}

// The git run itself must see the trees: a case whose ignore text leaves
// out nothing gives git's list of every file.
TEST_F(IgnoreLikeGit, TheOracleListsEveryFileWithoutIgnoreFiles)
{
    const IgnoreCase plain = {"plain", {}, {"a.html", "sub/b.html", "sub/deeper/c.html"}};
    buildTree(base / "git", plain, ".gitignore");
    fs::create_directories(base / "home");
    EXPECT_EQ(gitKeeps(base / "git", base / "home"),
              (std::set<std::string>{"a.html", "sub/b.html", "sub/deeper/c.html"}));
}

class PublishedAsMeant : public e2e::StoreSuite {};

// An ignore file in any folder that is a folder, a dangling link or
// unreadable stops the run with a line before the page is written or
// anything is sent.
TEST_F(PublishedAsMeant, AnUnusableIgnoreFileInAnyFolderStopsTheRunFirst)
{
    for (const char *pszKind : {"folder", "dangling", "unreadable"}) {
        const std::string kind = pszKind;
        site.write("index.html", "<p>home</p>\n");
        site.write("sub/deeper/page.html", "<p>deep</p>\n");
        const std::string file = site.path("sub/deeper/.sitemirrorignore");
        std::string prefix;
        if (kind == "folder") {
            ASSERT_EQ(::mkdir(file.c_str(), 0755), 0);
        } else if (kind == "dangling") {
            site.symlink("nowhere", "sub/deeper/.sitemirrorignore");
        } else {
            site.write("sub/deeper/.sitemirrorignore", "*.tmp\n");
            site.openToEveryone();
            ASSERT_EQ(::chmod(file.c_str(), 0), 0);
            prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        }
        store->resetCounters();
        ToolRun run = e2e::runTool("", env(), prefix);
        EXPECT_EQ(run.status, 1) << kind << "\n" << run.out;
        EXPECT_NE(run.err.find("cannot read ignore file: " + file + ": "), std::string::npos) << kind << run.err;
        EXPECT_FALSE(site.exists("fileLists.html")) << kind;
        EXPECT_EQ(store->counters().requests, 0) << kind;
        fs::remove_all(file);
    }
}

// Ignore files of every folder apply below it and are never sent; a name no
// store takes is named, not sent, not on the page, and fails the run while
// the rest goes up.
TEST_F(PublishedAsMeant, FolderIgnoreFilesAndRefusedNames)
{
    site.write("index.html", "<p>home</p>\n");
    site.write("blog/.sitemirrorignore", "*.tmp\n/local.html\n");
    site.write("blog/post.html", "<p>post</p>\n");
    site.write("blog/scratch.tmp", "scratch\n");
    site.write("blog/local.html", "local\n");
    site.write("blog/2024/local.html", "deeper\n");
    site.write("bad\xFF.html", "latin-1 name\n");
    ToolRun run = e2e::runTool("", env());
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("cannot publish: " + site.path("bad\xFF.html") + " (not UTF-8)\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(", failed 1,"), std::string::npos) << run.out;
    EXPECT_EQ(e2e::uploadedKeys(run.out),
              (std::set<std::string>{"blog/2024/local.html", "blog/post.html", "fileLists.html", "index.html"}))
        << run.out;
    for (const char *pszKey : {"blog/.sitemirrorignore", "blog/scratch.tmp", "blog/local.html", "bad\xFF.html"})
        EXPECT_FALSE(store->getObject(bucket, pszKey).exists) << pszKey;
    const std::string page = site.read("fileLists.html");
    EXPECT_NE(page.find("/blog/2024/local.html["), std::string::npos);
    for (const char *pszName : {"scratch.tmp", "/blog/local.html", "sitemirrorignore", "bad"})
        EXPECT_EQ(page.find(pszName), std::string::npos) << pszName;
}

} // namespace
