// The local tree scan over real folders: keys, sizes, times, digests, the
// byte-wise record order, what is skipped (links, also ones swapped in under
// the scan; the page's temporaries), names no store takes, and how failures
// end the walk.
#include "myDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "direntry.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path &p, const std::string &bytes)
{
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << p;
}

std::string readFile(const std::string &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The first n bytes of "0123456789abcdef" repeated.
std::string pattern(std::size_t n)
{
    std::string s;
    while (s.size() < n)
        s += "0123456789abcdef";
    return s.substr(0, n);
}

std::vector<std::string> keysOf(const S3ObjSet &set)
{
    std::vector<std::string> keys;
    for (const S3Obj &obj : set)
        keys.push_back(obj.key);
    return keys;
}

// The exit status and standard error of a scan of root run in a child
// process, as an unprivileged user when the tests run as root.
std::pair<int, std::string> scanInChild(const std::string &root)
{
    char errName[] = "/tmp/mydir-err-XXXXXX";
    const int errFd = mkstemp(errName);
    EXPECT_GE(errFd, 0);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        dup2(errFd, 2);
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
            _exit(3);
        S3ObjSet set;
        _exit(getAllFiles(root, set) ? 0 : 1);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    close(errFd);
    const std::string err = readFile(errName);
    unlink(errName);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
}

class ScanTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/mydir-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base = tmpl;
        fs::permissions(base, fs::perms(0755));
        root = (base / "site").string();
        fs::create_directory(root);
    }
    void TearDown() override { fs::remove_all(base); }

    fs::path base;
    std::string root; // without a trailing "/"
};

TEST_F(ScanTree, KeysAreCutAtTheRootAsGiven)
{
    writeFile(root + "/index.html", "i");
    writeFile(root + "/.htaccess", "h");
    writeFile(root + "/sub/file.html", "f");
    writeFile(root + "/sub/deeper/x.html", "x");
    fs::create_directory(root + "/empty");

    S3ObjSet withSlash, withoutSlash;
    EXPECT_TRUE(getAllFiles(root + "/", withSlash));
    EXPECT_TRUE(getAllFiles(root, withoutSlash));
    EXPECT_EQ(keysOf(withSlash),
              (std::vector<std::string>{".htaccess", "index.html", "sub/deeper/x.html", "sub/file.html"}));
    EXPECT_EQ(keysOf(withoutSlash),
              (std::vector<std::string>{"/.htaccess", "/index.html", "/sub/deeper/x.html", "/sub/file.html"}));
}

TEST_F(ScanTree, RecordsCarrySizeTimeAndContentDigest)
{
    const struct {
        const char *name;
        std::size_t size;
        const char *md5;
    } rows[] = {
        {"empty", 0, "d41d8cd98f00b204e9800998ecf8427e"},
        {"f1023", 1023, "c43637a804638ce14e4e065147ac497b"},
        {"f1024", 1024, "7dd7e68f1907b4665684355797725b8e"},
        {"f1025", 1025, "c82f40a56351bf433e8a1ccdc475cbc8"},
        {"f2048", 2048, "34b05cabcc8f59ac10f6f66fd8022d77"},
    };
    const int64_t mtime = 1234567890;
    for (const auto &row : rows) {
        const std::string path = root + "/" + row.name;
        writeFile(path, pattern(row.size));
        const struct timespec times[2] = {{mtime, 0}, {mtime + 7, 500000000}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    S3ObjSet set;
    ASSERT_TRUE(getAllFiles(root + "/", set));
    ASSERT_EQ(set.size(), std::size(rows));
    for (const auto &row : rows) {
        S3Obj probe;
        probe.key = row.name;
        auto it = set.find(probe);
        ASSERT_NE(it, set.end()) << row.name;
        EXPECT_EQ(it->size, row.size) << row.name;
        EXPECT_EQ(it->tag, row.md5) << row.name;
        EXPECT_EQ(it->time, mtime + 7) << row.name;
    }
}

TEST_F(ScanTree, LinksAndSpecialFilesContributeNothing)
{
    writeFile(root + "/real.html", "r");
    writeFile(base / "outside" / "secret.html", "s");
    fs::create_symlink(root + "/real.html", root + "/link.html");
    fs::create_directory_symlink(base / "outside", root + "/linkdir");
    fs::create_symlink("nowhere", root + "/dangling");
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0644), 0);
    S3ObjSet set;
    EXPECT_TRUE(getAllFiles(root + "/", set));
    EXPECT_EQ(keysOf(set), (std::vector<std::string>{"real.html"}));
}

// File systems whose folder entries carry no type (ext2 without filetype, XFS
// with ftype=0): the walk asks lstat, so files are found and links still skipped.
TEST_F(ScanTree, UntypedEntriesAreTypedByTheirStatus)
{
    writeFile(root + "/index.html", "i");
    writeFile(root + "/sub/deeper/page.html", "p");
    writeFile(base / "outside" / "secret.html", "s");
    fs::create_symlink(root + "/index.html", root + "/link.html");
    fs::create_directory_symlink(base / "outside", root + "/linkdir");
    setEntryTypesUnknown(true);
    S3ObjSet set;
    bool bOk = getAllFiles(root + "/", set);
    setEntryTypesUnknown(false);
    EXPECT_TRUE(bOk);
    EXPECT_EQ(keysOf(set), (std::vector<std::string>{"index.html", "sub/deeper/page.html"}));
}

TEST_F(ScanTree, RecordsAreOrderedByRawBytes)
{
    for (const char *name : {"index.html", "Index.html", "a-b", "a/b", "B", "caf\xC3\xA9", "z", "a-"})
        writeFile(root + "/" + name, name);
    S3ObjSet set;
    ASSERT_TRUE(getAllFiles(root + "/", set));
    EXPECT_EQ(keysOf(set), (std::vector<std::string>{"B", "Index.html", "a-", "a-b", "a/b", "caf\xC3\xA9", "index.html",
                                                     "z"}));
}

TEST_F(ScanTree, MissingRootIsReportedOnStandardError)
{
    const std::string missing = root + "/nope";
    std::fflush(stderr);
    testing::internal::CaptureStderr();
    S3ObjSet set;
    const bool bOk = getAllFiles(missing, set);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(bOk);
    EXPECT_EQ(err, missing + ": No such file or directory\n");
}

TEST_F(ScanTree, UnreadableFileOrFolderFailsTheWholeWalk)
{
    writeFile(root + "/a.html", "a");
    writeFile(root + "/sub/b.html", "b");

    // Everything readable: the unprivileged scan succeeds, so the failures
    // below come from the one entry made unreadable.
    auto ok = scanInChild(root + "/");
    EXPECT_EQ(ok.first, 0);
    EXPECT_EQ(ok.second, "");

    fs::permissions(root + "/sub/b.html", fs::perms::none);
    auto unreadableFile = scanInChild(root + "/");
    EXPECT_EQ(unreadableFile.first, 1);
    EXPECT_EQ(unreadableFile.second, "cannot read file: " + root + "/sub/b.html\n");
    fs::permissions(root + "/sub/b.html", fs::perms(0644));

    fs::permissions(root + "/sub", fs::perms::none);
    auto unopenableFolder = scanInChild(root + "/");
    EXPECT_EQ(unopenableFolder.first, 1);
    EXPECT_EQ(unopenableFolder.second, root + "/sub: Permission denied\n");
    fs::permissions(root + "/sub", fs::perms(0755));
}

// Swaps the file for a link to the file outside the tree between the listing
// and the open, as a writer to the tree could.
std::string g_swapPath, g_swapTarget;

void swapInLink(ScanHookPoint point, const std::string &strPath)
{
    if (point != ScanBeforeOpen || strPath != g_swapPath)
        return;
    ASSERT_EQ(unlink(strPath.c_str()), 0);
    ASSERT_EQ(symlink(g_swapTarget.c_str(), strPath.c_str()), 0);
}

void swapInFifo(ScanHookPoint point, const std::string &strPath)
{
    if (point != ScanBeforeOpen || strPath != g_swapPath)
        return;
    ASSERT_EQ(unlink(strPath.c_str()), 0);
    ASSERT_EQ(mkfifo(strPath.c_str(), 0644), 0);
}

TEST_F(ScanTree, AnEntrySwappedUnderTheScanIsNeverFollowed)
{
    const std::string secret = (base / "outside" / "secret.html").string();
    writeFile(secret, "secret bytes");
    for (auto hook : {swapInLink, swapInFifo}) {
        writeFile(root + "/a.html", "plain");
        writeFile(root + "/b.html", "b");
        g_swapPath = root + "/a.html";
        g_swapTarget = secret;
        setScanHook(hook);
        S3ObjSet set;
        const bool bOk = getAllFiles(root + "/", set);
        setScanHook(nullptr);
        EXPECT_TRUE(bOk);
        EXPECT_EQ(keysOf(set), (std::vector<std::string>{"b.html"}));
        fs::remove(root + "/a.html");
    }
}

// A folder swapped for a link to a folder outside the site, while the walk
// is about to enter it, or after the walk named its files and before they
// are read: nothing of the outside folder is read or named.
std::string g_swapFolder;
std::string g_outsideFolder;
ScanHookPoint g_swapPoint = ScanBeforeFolder;

void swapFolderForLink(ScanHookPoint point, const std::string &strPath)
{
    const bool bAt = point == g_swapPoint &&
                     (point == ScanBeforeFolder ? strPath == g_swapFolder
                                                : strPath.rfind(g_swapFolder + "/", 0) == 0);
    if (!bAt || fs::is_symlink(g_swapFolder))
        return;
    fs::rename(g_swapFolder, g_swapFolder + ".moved");
    ASSERT_EQ(symlink(g_outsideFolder.c_str(), g_swapFolder.c_str()), 0);
}

TEST_F(ScanTree, AFolderSwappedForALinkDuringTheScanIsNeverFollowed)
{
    const std::string outside = (base / "outside").string();
    writeFile(outside + "/x.html", "secret bytes");
    writeFile(outside + "/only-outside.html", "secret too");
    for (ScanHookPoint point : {ScanBeforeFolder, ScanBeforeOpen}) {
        SCOPED_TRACE(point == ScanBeforeFolder ? "while walking" : "while reading");
        writeFile(root + "/a.html", "a");
        writeFile(root + "/sub/x.html", "inside");
        g_swapFolder = root + "/sub";
        g_outsideFolder = outside;
        g_swapPoint = point;
        setScanHook(swapFolderForLink);
        S3ObjSet set;
        const bool bOk = getAllFiles(root + "/", set);
        setScanHook(nullptr);
        EXPECT_TRUE(bOk);
        EXPECT_EQ(keysOf(set), (std::vector<std::string>{"a.html"}));
        fs::remove(root + "/sub");
        fs::remove_all(root + "/sub.moved");
    }
}

TEST_F(ScanTree, RecordsCarryTheDeviceAndInodeThatWereRead)
{
    writeFile(root + "/a.html", "a");
    writeFile(root + "/sub/b.html", "bb");
    S3ObjSet set;
    ASSERT_TRUE(getAllFiles(root + "/", set));
    ASSERT_EQ(set.size(), 2u);
    for (const S3Obj &obj : set) {
        struct stat st;
        ASSERT_EQ(lstat((root + "/" + obj.key).c_str(), &st), 0);
        EXPECT_EQ(obj.device, static_cast<uint64_t>(st.st_dev)) << obj.key;
        EXPECT_EQ(obj.inode, static_cast<uint64_t>(st.st_ino)) << obj.key;
    }
}

// A name no store takes is named with the reason, left out, and handed to the
// caller to count as failed; the rest of the tree is scanned as usual.
TEST_F(ScanTree, NamesNoStoreTakesAreRefusedAndReported)
{
    const std::string longName(250, 'n');
    const std::string deep = longName + "/" + longName + "/" + longName + "/" + longName;
    const struct {
        std::string rel;
        const char *why;
    } rows[] = {
        {std::string("bad\xFF.html"), "not UTF-8"},
        {std::string("sub/trunc\xC3.html"), "not UTF-8"},
        {std::string("over\xC0\xAF.html"), "not UTF-8"},      // overlong "/"
        {std::string("surr\xED\xA0\x80.html"), "not UTF-8"}, // a surrogate
        {std::string("ok-caf\xC3\xA9-\xF0\x9F\x98\x80.html"), nullptr},
        {deep + "/" + std::string(21, 'x'), "key over 1024 bytes"},
        {deep + "/" + std::string(20, 'x'), nullptr}, // 1,024 bytes exactly
    };
    std::vector<std::string> published, refusedPaths;
    std::string expectedOut;
    for (const auto &row : rows) {
        writeFile(root + "/" + row.rel, "x");
        if (row.why == nullptr) {
            published.push_back(row.rel);
        } else {
            refusedPaths.push_back(root + "/" + row.rel);
            expectedOut += "cannot publish: " + root + "/" + row.rel + " (" + row.why + ")\n";
        }
    }
    std::sort(published.begin(), published.end());
    ScanStats stats;
    ScanOptions options;
    options.stats = &stats;
    S3ObjSet set;
    testing::internal::CaptureStdout();
    const bool bOk = getAllFiles(root + "/", set, options);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(bOk);
    EXPECT_EQ(keysOf(set), published);
    std::sort(refusedPaths.begin(), refusedPaths.end());
    std::vector<std::string> refused = stats.refused;
    std::sort(refused.begin(), refused.end());
    EXPECT_EQ(refused, refusedPaths);
    // One line each.
    for (const auto &row : rows) {
        if (row.why != nullptr) {
            EXPECT_NE(out.find("cannot publish: " + root + "/" + row.rel + " (" + row.why + ")\n"), std::string::npos)
                << row.rel;
        }
    }
    EXPECT_EQ(out.size(), expectedOut.size());
}

// The page's temporaries in the root, being written or left by a killed run,
// are never scanned; look-alikes elsewhere or of another form are files.
TEST_F(ScanTree, ThePagesTemporariesAreNeverScanned)
{
    writeFile(root + "/.fileLists.html.Ab12Cd", "half a page");
    writeFile(root + "/.fileLists.html.Ab12C", "not a temporary");
    writeFile(root + "/sub/.fileLists.html.Ab12Cd", "a file below the root");
    writeFile(root + "/fileLists.html", "the page");
    S3ObjSet set;
    ASSERT_TRUE(getAllFiles(root + "/", set));
    EXPECT_EQ(keysOf(set), (std::vector<std::string>{".fileLists.html.Ab12C", "fileLists.html",
                                                     "sub/.fileLists.html.Ab12Cd"}));
}

// The scan in two steps: the walk finds every name without opening a file
// or printing a line; reading them prints what one pass prints, in the same
// order, and lets other work run between files.
int g_opened = 0;
void countOpens(ScanHookPoint point, const std::string &)
{
    if (point == ScanBeforeOpen)
        ++g_opened;
}

TEST_F(ScanTree, TheWalkOpensNothingAndReadingTheNamesIsOnePass)
{
    for (const char *pszRel : {"a.html", "bad\xFF.html", "sub/b.html", "sub/c.html", "z\xFE.css"})
        writeFile(root + "/" + pszRel, pszRel);
    ScanOptions options;
    ScanStats stats;
    options.stats = &stats;
    S3ObjSet onePass;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(getAllFiles(root + "/", onePass, options));
    const std::string onePassOut = testing::internal::GetCapturedStdout();

    g_opened = 0;
    setScanHook(countOpens);
    ScanNames names;
    testing::internal::CaptureStdout();
    const bool bWalked = walkTree(root + "/", names, options);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(bWalked);
    EXPECT_EQ(g_opened, 0);
    EXPECT_EQ(names.names.size(), 5u);
    EXPECT_EQ(names.nRefused, 2u);

    int nBetween = 0;
    options.pfnBetweenFiles = [](void *data) { ++*static_cast<int *>(data); };
    options.pBetweenFilesData = &nBetween;
    S3ObjSet twoSteps;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(digestTree(names, twoSteps, options));
    const std::string twoStepsOut = testing::internal::GetCapturedStdout();
    setScanHook(nullptr);
    EXPECT_EQ(g_opened, 3);
    EXPECT_EQ(twoStepsOut, onePassOut);
    EXPECT_NE(twoStepsOut.find("cannot publish: " + root + "/bad\xFF.html (not UTF-8)"),
              std::string::npos);
    EXPECT_EQ(keysOf(twoSteps), keysOf(onePass));
    // Between files, and once for each millisecond a file's digest keeps the
    // walk waiting: at least once, however quick the pool.
    EXPECT_GE(nBetween, 1);

    // A root that cannot be opened: the walk says so only when the names are read.
    ScanNames missing;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(walkTree(root + "/missing/", missing, options));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    S3ObjSet none;
    EXPECT_FALSE(digestTree(missing, none, options));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(root + "/missing/: "), std::string::npos);
}

} // namespace
