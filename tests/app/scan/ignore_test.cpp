// Ignore rules and Cache-Control patterns: each syntax element, the scan
// leaving out what they name, the ignore files of every folder, and ignore
// files that cannot be read.
#include "cache_rules.h"
#include "ignore.h"
#include "myDir.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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
        {"*.sw[op]", "x/.a.swp", false, true},
        {"draft[0-9].md", "draft3.md", false, true},
        {"file[1].txt", "file[1].txt", false, false},
        {"file[1].txt", "file1.txt", false, true},
        {"\xEF\xBB\xBF*.tmp", "a.tmp", false, true}, // a byte-order mark before the first line
        {"x\n\xEF\xBB\xBF*.tmp", "a.tmp", false, false}, // only there
        {"a**b", "a/x/b", false, false},
        {"a.txt\\\\ ", "a.txt\\", false, true},
        {"a.txt\\\\ ", "a.txt\\ ", false, false},
        {"back\\", "back\\", false, false},
        {"*.log\n!keep.log\n*.log", "keep.log", false, true}, // the last matching line decides
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
    EXPECT_EQ(stats.nIgnored, 2u); // drafts/, old.bak; the ignore file is not counted
    EXPECT_EQ(stats.nHashed, 2u);

    // Without the file nothing changes.
    IgnoreRules none;
    TempDir plain;
    EXPECT_TRUE(loadIgnoreFile(plain.path(), none));
    EXPECT_TRUE(none.empty());
}


// Writes rel below the folder, making its parent folders.
void put(const TempDir &dir, const std::string &rel, const std::string &bytes)
{
    std::filesystem::create_directories(std::filesystem::path(dir.path() + "/" + rel).parent_path());
    dir.write(rel, bytes);
}

// The keys a scan with every folder's ignore file keeps, and its count of
// what it left out.
struct IgnoredScan {
    bool bLoaded = false;
    std::vector<std::string> keys;
    uint64_t nIgnored = 0;
    std::string err;
};

IgnoredScan scanWithIgnoreFiles(const std::string &root, bool bPublishVcs = false)
{
    IgnoredScan result;
    IgnoreRules rules;
    rules.publishVcs(bPublishVcs);
    testing::internal::CaptureStderr();
    result.bLoaded = loadIgnoreFile(root, rules);
    result.err = testing::internal::GetCapturedStderr();
    if (!result.bLoaded)
        return result;
    ScanStats stats;
    ScanOptions options;
    options.ignore = &rules;
    options.stats = &stats;
    S3ObjSet set;
    EXPECT_TRUE(getAllFiles(root + "/", set, options));
    for (const S3Obj &obj : set)
        result.keys.push_back(obj.key);
    result.nIgnored = stats.nIgnored;
    return result;
}

TEST(IgnoreFiles, EachFolderMayHaveOneForItselfAndBelow)
{
    TempDir dir;
    put(dir, ".sitemirrorignore", "*.log\ndrafts/\n");
    put(dir, "a.log", "");
    put(dir, "local.html", "");
    put(dir, "sub/.sitemirrorignore", "!keep.log\n/local.html\n");
    put(dir, "sub/keep.log", "");
    put(dir, "sub/other.log", "");
    put(dir, "sub/local.html", "");
    put(dir, "sub/deeper/local.html", "");
    put(dir, "sub/deeper/keep.log", "");
    // A re-include cannot reach into a folder left out, and the ignore file
    // of such a folder is never read: not even a broken one stops the run.
    put(dir, "drafts/.sitemirrorignore/x", "");
    put(dir, "drafts/post.html", "");
    put(dir, "sub/drafts/post.html", "");
    put(dir, "sub/drafts/.sitemirrorignore", "!*\n");

    const IgnoredScan scan = scanWithIgnoreFiles(dir.path());
    ASSERT_TRUE(scan.bLoaded) << scan.err;
    EXPECT_EQ(scan.keys, (std::vector<std::string>{"local.html", "sub/deeper/keep.log", "sub/deeper/local.html",
                                                   "sub/keep.log"}));
    // a.log, drafts/, sub/other.log, sub/local.html, sub/drafts/; the two
    // ignore files are not counted.
    EXPECT_EQ(scan.nIgnored, 5u);
}

// A site that is a checkout keeps its history out of the bucket: the four
// version-control folders at any depth, counted as left out, their ignore
// files never read; only folders of exactly those names, and all of it when
// the rules file publishes them.
TEST(VcsFolders, LeftOutAtAnyDepthUnlessPublished)
{
    TempDir dir;
    put(dir, "index.html", "");
    put(dir, ".git/config", "");
    put(dir, ".git/objects/ab/cdef", "");
    put(dir, "blog/.hg/store/data", "");
    put(dir, "a/b/.svn/entries", "");
    put(dir, "a/.bzr/branch/format", "");
    put(dir, ".git/.sitemirrorignore/broken", ""); // would stop the run if read
    put(dir, "lib/.git", "gitdir: ../.git/modules/lib\n"); // a submodule's file, not a folder
    put(dir, ".github/workflows/site.yml", "");
    put(dir, "git/x", "");
    put(dir, ".gitignore", "");
    put(dir, ".Git/y", ""); // another name

    const IgnoredScan scan = scanWithIgnoreFiles(dir.path());
    ASSERT_TRUE(scan.bLoaded) << scan.err;
    EXPECT_EQ(scan.keys, (std::vector<std::string>{".Git/y", ".github/workflows/site.yml",
                                                   ".gitignore", "git/x", "index.html",
                                                   "lib/.git"}));
    EXPECT_EQ(scan.nIgnored, 4u);

    IgnoreRules rules;
    for (const char *pszFolder : {".git", "x/.hg", "x/y/.svn", ".bzr"})
        EXPECT_TRUE(rules.isIgnored(pszFolder, true)) << pszFolder;
    EXPECT_FALSE(rules.isIgnored(".git", false));
    rules.publishVcs(true);
    EXPECT_FALSE(rules.isIgnored("x/.hg", true));

    // Published: every folder is walked, its ignore file too (here a broken one).
    EXPECT_FALSE(scanWithIgnoreFiles(dir.path(), true).bLoaded);
    std::filesystem::remove_all(dir.path() + "/.git/.sitemirrorignore");
    const IgnoredScan published = scanWithIgnoreFiles(dir.path(), true);
    ASSERT_TRUE(published.bLoaded) << published.err;
    EXPECT_EQ(published.keys.size(), 11u);
    EXPECT_EQ(published.nIgnored, 0u);
}

// An ignore file that cannot be read, in any folder the walks enter, stops
// the run before anything is written: without it the tree could be
// published with what it leaves out.
TEST(IgnoreFiles, OneThatCannotBeReadStopsTheLoad)
{
    const struct {
        const char *folder; // where the ignore file stands
        const char *kind;
        const char *why;
    } cases[] = {
        {"", "folder", "Is a directory"},
        {"sub/deeper", "folder", "Is a directory"},
        {"sub", "dangling", "dangling symbolic link"},
        {"", "fifo", "Invalid argument"},
        {"sub", "unreadable", "Permission denied"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
        put(dir, "sub/deeper/page.html", "p");
        const std::string folder = c.folder[0] ? dir.path() + "/" + c.folder : dir.path();
        const std::string file = folder + "/.sitemirrorignore";
        const std::string kind = c.kind;
        if (kind == "folder")
            std::filesystem::create_directory(file);
        else if (kind == "dangling")
            std::filesystem::create_symlink("nowhere", file);
        else if (kind == "fifo")
            ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
        else
            put(dir, std::string(c.folder) + "/.sitemirrorignore", "*.tmp\n");

        std::string err;
        bool bLoaded = false;
        if (kind == "unreadable") {
            // As an unprivileged user, so the permission bits count.
            std::filesystem::permissions(file, std::filesystem::perms::none);
            char errName[] = "/tmp/ignore-err-XXXXXX";
            const int errFd = mkstemp(errName);
            ASSERT_GE(errFd, 0);
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                alarm(60);
                dup2(errFd, 2);
                if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                                       setresuid(65534, 65534, 65534) != 0))
                    _exit(3);
                IgnoreRules rules;
                _exit(loadIgnoreFile(dir.path(), rules) ? 0 : 1);
            }
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            bLoaded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1);
            std::ifstream in(errName);
            err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            close(errFd);
            unlink(errName);
        } else {
            const IgnoredScan scan = scanWithIgnoreFiles(dir.path());
            bLoaded = scan.bLoaded;
            err = scan.err;
        }
        EXPECT_FALSE(bLoaded) << c.folder << " " << c.kind;
        EXPECT_EQ(err, "cannot read ignore file: " + file + ": " + c.why + "\n") << c.kind;
    }
}

} // namespace
