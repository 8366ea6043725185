// The digest cache through real scans: reuse, edits that keep size and time,
// renames, a damaged cache file, entries of files gone.
#include "digestcache.h"
#include "myDir.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct ScanRun {
    bool bOk = false;
    ScanStats stats;
    S3ObjSet set;
    std::string err;
};

ScanRun scan(const std::string &cacheDir, const std::string &root)
{
    ScanRun run;
    DigestCache cache(cacheDir, root);
    testing::internal::CaptureStderr();
    cache.load();
    ScanOptions options;
    options.cache = &cache;
    options.stats = &run.stats;
    run.bOk = getAllFiles(root + "/", run.set, options) && cache.save();
    run.err = testing::internal::GetCapturedStderr();
    return run;
}

std::string tagOf(const ScanRun &run, const std::string &key)
{
    S3Obj probe;
    probe.key = key;
    auto it = run.set.find(probe);
    return it == run.set.end() ? "" : it->tag;
}

TEST(DigestCache, ReusedOnlyWhileNothingChanged)
{
    TempDir site, cacheBase;
    const std::string cacheDir = cacheBase.path() + "/sitemirror";
    site.write("a.html", "aaaa");
    site.write("b.html", "bbbb");

    ScanRun first = scan(cacheDir, site.path());
    ASSERT_TRUE(first.bOk) << first.err;
    EXPECT_EQ(first.stats.nHashed, 2u);
    DigestCache probe(cacheDir, site.path());
    struct stat cacheSt;
    ASSERT_EQ(stat(probe.path().c_str(), &cacheSt), 0);

    ScanRun second = scan(cacheDir, site.path());
    EXPECT_EQ(second.stats.nHashed, 0u);
    EXPECT_EQ(second.stats.nCacheHits, 2u);
    EXPECT_EQ(second.err, "");
    struct stat againSt;
    ASSERT_EQ(stat(probe.path().c_str(), &againSt), 0);
    EXPECT_EQ(againSt.st_ino, cacheSt.st_ino) << "an unchanged run rewrote the cache";

    // Same size, modification time set back: the change time still moves.
    struct stat st;
    ASSERT_EQ(stat((site.path() + "/a.html").c_str(), &st), 0);
    site.write("a.html", "AAAA");
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, (site.path() + "/a.html").c_str(), times, 0), 0);
    ScanRun edited = scan(cacheDir, site.path());
    EXPECT_EQ(edited.stats.nHashed, 1u);
    EXPECT_NE(tagOf(edited, "a.html"), tagOf(first, "a.html"));

    // A rename is a new key; the old key's entry is dropped.
    std::filesystem::rename(site.path() + "/b.html", site.path() + "/c.html");
    ScanRun renamed = scan(cacheDir, site.path());
    EXPECT_EQ(renamed.stats.nHashed, 1u);
    EXPECT_EQ(tagOf(renamed, "c.html"), tagOf(first, "b.html"));
    std::ifstream in(probe.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("b.html"), std::string::npos);
}

TEST(DigestCache, DamagedOrForeignCacheIsRebuiltWithOneLine)
{
    TempDir site, other, cacheBase;
    site.write("a.html", "aaaa");
    ASSERT_TRUE(scan(cacheBase.path(), site.path()).bOk);
    DigestCache probe(cacheBase.path(), site.path());
    std::ifstream in(probe.path(), std::ios::binary);
    const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    DigestCache foreign(cacheBase.path(), other.path());
    const std::string damaged[] = {good.substr(0, good.size() - 3), "garbage\n", ""};
    for (const std::string &bytes : damaged) {
        std::ofstream(probe.path(), std::ios::binary | std::ios::trunc) << bytes;
        ScanRun run = scan(cacheBase.path(), site.path());
        EXPECT_TRUE(run.bOk);
        EXPECT_EQ(run.stats.nHashed, 1u);
        EXPECT_EQ(run.err, "digest cache damaged or foreign, rebuilt: " + probe.path() + "\n");
        EXPECT_EQ(scan(cacheBase.path(), site.path()).stats.nCacheHits, 1u);
    }
    // Another root's cache copied in place: its root line does not match.
    ASSERT_TRUE(scan(cacheBase.path(), other.path()).bOk);
    std::filesystem::copy_file(foreign.path(), probe.path(), std::filesystem::copy_options::overwrite_existing);
    ScanRun run = scan(cacheBase.path(), site.path());
    EXPECT_EQ(run.stats.nHashed, 1u);
    EXPECT_EQ(run.err, "digest cache damaged or foreign, rebuilt: " + probe.path() + "\n");
}

} // namespace
