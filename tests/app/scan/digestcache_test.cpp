// The digest cache through real scans: reuse, edits that keep size and time,
// renames, a damaged or foreign database, entries of files gone, files
// written just before or while they are read, a run killed in the middle of
// its transaction, and the conversion of the cache file of earlier releases.
#include "digestcache.h"
#include "myDir.h"
#include "myS3Common.h"
#include "../../support/held_temporary.h"
#include "tempdir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct ScanRun {
    bool bOk = false;
    ScanStats stats;
    S3ObjSet set;
    std::string err;
};

// A scan with the cache. The scan begins startAfter seconds from now: files
// written by the test are older than a later run's start by default.
ScanRun scan(const std::string &cacheDir, const std::string &root, int startAfter = 10)
{
    ScanRun run;
    DigestCache cache(cacheDir, root);
    struct timespec start;
    clock_gettime(CLOCK_REALTIME, &start);
    start.tv_sec += startAfter;
    cache.setScanStart(start);
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

std::string counted(const std::string &str) { return std::to_string(str.size()) + ":" + str; }

std::string hexOfBytes(const void *p, int n)
{
    static const char digits[] = "0123456789abcdef";
    std::string str;
    for (int i = 0; i < n; ++i) {
        const unsigned char b = static_cast<const unsigned char *>(p)[i];
        str += digits[b >> 4];
        str += digits[b & 15];
    }
    return str;
}

std::string columnBytes(sqlite3_stmt *s, int col)
{
    const void *p = sqlite3_column_blob(s, col);
    return std::string(static_cast<const char *>(p), static_cast<std::size_t>(sqlite3_column_bytes(s, col)));
}

std::string fileText(const std::string &strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What the cache database holds, written out as lines in the form of the
// cache file of earlier releases: digests of files, encoded digests and
// records, by key (then encoding or store name, in byte order), and their
// count.
std::string dumpCache(const DigestCache &probe)
{
    sqlite3 *h = nullptr;
    EXPECT_EQ(sqlite3_open_v2(probe.path().c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::string text, strRoot;
    std::size_t nLines = 0;
    auto each = [&](const char *pszSql, const std::function<void(sqlite3_stmt *)> &row) {
        sqlite3_stmt *s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(h, pszSql, -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
        while (s != nullptr && sqlite3_step(s) == SQLITE_ROW)
            row(s);
        sqlite3_finalize(s);
    };
    each("SELECT value FROM meta WHERE name = 'root'", [&](sqlite3_stmt *s) { strRoot = columnBytes(s, 0); });
    each("SELECT key, dev, ino, size, mtime_ns, ctime_ns, tag FROM files ORDER BY key", [&](sqlite3_stmt *s) {
        const std::string strTag = sqlite3_column_type(s, 6) == SQLITE_TEXT
                                       ? columnBytes(s, 6)
                                       : hexOfBytes(sqlite3_column_blob(s, 6), sqlite3_column_bytes(s, 6));
        text += "f " + std::to_string(static_cast<uint64_t>(sqlite3_column_int64(s, 1))) + " " +
                std::to_string(static_cast<uint64_t>(sqlite3_column_int64(s, 2))) + " " +
                std::to_string(static_cast<uint64_t>(sqlite3_column_int64(s, 3))) + " " +
                std::to_string(sqlite3_column_int64(s, 4)) + " " + std::to_string(sqlite3_column_int64(s, 5)) +
                " " + strTag + " " + counted(columnBytes(s, 0)) + "\n";
        ++nLines;
    });
    each("SELECT key, encoding, plain, md5, size FROM encoded ORDER BY key, encoding", [&](sqlite3_stmt *s) {
        text += "e " + columnBytes(s, 1) + " " + hexOfBytes(sqlite3_column_blob(s, 2), 16) + " " +
                hexOfBytes(sqlite3_column_blob(s, 3), 16) + " " +
                std::to_string(static_cast<uint64_t>(sqlite3_column_int64(s, 4))) + " " +
                counted(columnBytes(s, 0)) + "\n";
        ++nLines;
    });
    each("SELECT r.key, t.text, r.md5, r.size, r.etag, h.text FROM records r JOIN texts t ON t.id = r.store"
         " JOIN texts h ON h.id = r.headers ORDER BY r.key, t.text",
         [&](sqlite3_stmt *s) {
             const std::string strMd5 = hexOfBytes(sqlite3_column_blob(s, 2), 16);
             const std::string strETag = sqlite3_column_type(s, 4) == SQLITE_NULL ? strMd5 : columnBytes(s, 4);
             text += "r " + strMd5 + " " + std::to_string(static_cast<uint64_t>(sqlite3_column_int64(s, 3))) +
                     " " + counted(columnBytes(s, 1)) + " " + counted(strETag) + " " +
                     counted(columnBytes(s, 5)) + " " + counted(columnBytes(s, 0)) + "\n";
             ++nLines;
         });
    sqlite3_close(h);
    return "sitemirror digest cache 2\n" + counted(strRoot) + "\n" + text + "end " + std::to_string(nLines) + "\n";
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
    const std::string text = dumpCache(probe);
    EXPECT_EQ(text.find("b.html"), std::string::npos);
    EXPECT_NE(text.find("c.html"), std::string::npos);
}

TEST(DigestCache, DamagedOrForeignCacheIsRebuiltWithOneLine)
{
    TempDir site, other, cacheBase;
    site.write("a.html", "aaaa");
    ASSERT_TRUE(scan(cacheBase.path(), site.path()).bOk);
    DigestCache probe(cacheBase.path(), site.path());
    DigestCache foreign(cacheBase.path(), other.path());

    // Garbage in place of the database: moved aside, not lost.
    std::ofstream(probe.path(), std::ios::binary | std::ios::trunc) << std::string(8192, 'g');
    ScanRun run = scan(cacheBase.path(), site.path());
    EXPECT_TRUE(run.bOk);
    EXPECT_EQ(run.stats.nHashed, 1u);
    EXPECT_EQ(run.err, "digest cache damaged or foreign, rebuilt: " + probe.path() + "\n");
    EXPECT_EQ(fileText(probe.path() + ".damaged"), std::string(8192, 'g'));
    EXPECT_EQ(scan(cacheBase.path(), site.path()).stats.nCacheHits, 1u);

    // Another root's cache copied in place: its root does not match.
    ASSERT_TRUE(scan(cacheBase.path(), other.path()).bOk);
    std::filesystem::copy_file(foreign.path(), probe.path(), std::filesystem::copy_options::overwrite_existing);
    run = scan(cacheBase.path(), site.path());
    EXPECT_EQ(run.stats.nHashed, 1u);
    EXPECT_EQ(run.err, "digest cache damaged or foreign, rebuilt: " + probe.path() + "\n");
    EXPECT_EQ(scan(cacheBase.path(), site.path()).stats.nCacheHits, 1u);
}

std::string md5Of(const std::string &bytes)
{
    MyMD5 md(true);
    md.update(bytes);
    return md.finalize();
}

// A file changed within the time stamps' granularity of the scan's start may
// be written again in the same tick after it was read: its digest is used but
// never remembered, however its status looks.
TEST(DigestCache, FilesChangedJustBeforeTheScanAreNotRemembered)
{
    const struct {
        int startAfter;    // seconds from now to the scan's start
        uint64_t nHashed;  // on the second scan
    } cases[] = {{0, 1}, {1, 1}, {10, 0}};
    for (const auto &c : cases) {
        TempDir site, cacheBase;
        site.write("a.html", "aaaa");
        ASSERT_TRUE(scan(cacheBase.path(), site.path(), c.startAfter).bOk);
        ScanRun second = scan(cacheBase.path(), site.path(), c.startAfter);
        EXPECT_EQ(second.stats.nHashed, c.nHashed) << "scan starting after " << c.startAfter << " s";
        EXPECT_EQ(second.stats.nHashed + second.stats.nCacheHits, 1u);
    }
}

std::string g_hookPath;
int g_hookCalls = 0;
std::string g_hookBytes; // what the writer puts in during the first read

void writeDuringRead(ScanHookPoint point, const std::string &strPath)
{
    if (point != ScanAfterHash || strPath != g_hookPath || g_hookCalls++ > 0)
        return;
    const int fd = open(strPath.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, g_hookBytes.data(), g_hookBytes.size()), static_cast<ssize_t>(g_hookBytes.size()));
    close(fd);
}

// A writer during the read: a status that moved makes the scan read again;
// one that could not move (same size, same tick) is caught by the next run,
// since nothing of that run was remembered.
TEST(DigestCache, AWriteDuringTheReadIsNeverTrusted)
{
    const struct {
        const char *before;
        const char *during;
    } cases[] = {{"aaaa", "bbbb"}, {"aaaa", "grown by a writer"}, {"a longer text", "cut"}};
    for (const auto &c : cases) {
        TempDir site, cacheBase;
        site.write("a.html", c.before);
        g_hookPath = site.path() + "/a.html";
        g_hookCalls = 0;
        g_hookBytes = c.during;
        setScanHook(writeDuringRead);
        ScanRun first = scan(cacheBase.path(), site.path(), 0);
        setScanHook(nullptr);
        ASSERT_TRUE(first.bOk) << first.err;
        ScanRun second = scan(cacheBase.path(), site.path(), 10);
        EXPECT_EQ(tagOf(second, "a.html"), md5Of(c.during)) << c.during;
        EXPECT_EQ(second.stats.nCacheHits, 0u) << c.during;
        if (std::string(c.before).size() != std::string(c.during).size()) {
            // The size moved under the read: read again at once, and the record
            // describes what was read last.
            EXPECT_EQ(first.stats.nHashed, 2u) << c.during;
            EXPECT_EQ(tagOf(first, "a.html"), md5Of(c.during)) << c.during;
            S3Obj probe;
            probe.key = "a.html";
            EXPECT_EQ(first.set.find(probe)->size, std::string(c.during).size());
        }
    }
}

TEST(DigestCache, ForgetMakesTheNextRunReadTheFile)
{
    TempDir site, cacheBase;
    site.write("a.html", "aaaa");
    site.write("b.html", "bbbb");
    ASSERT_TRUE(scan(cacheBase.path(), site.path()).bOk);
    {
        DigestCache cache(cacheBase.path(), site.path());
        cache.load();
        cache.forget("a.html");
        cache.forget("never-there.html");
        struct stat st;
        ASSERT_EQ(stat((site.path() + "/b.html").c_str(), &st), 0);
        std::string tag;
        ASSERT_TRUE(cache.lookup("b.html", st, tag));
        ASSERT_TRUE(cache.save());
    }
    ScanRun run = scan(cacheBase.path(), site.path());
    EXPECT_EQ(run.stats.nHashed, 1u);
    EXPECT_EQ(run.stats.nCacheHits, 1u);
}

// A run killed in the middle of its transaction, with much of it already
// written into the database file: the next run finds the cache as the last
// save left it, whole, with no line about damage.
TEST(DigestCache, ARunKilledMidTransactionLeavesTheLastSave)
{
    TempDir site, cacheBase;
    site.write("a.html", "aaaa");
    ASSERT_TRUE(scan(cacheBase.path(), site.path()).bOk);
    DigestCache probe(cacheBase.path(), site.path());
    const std::string before = dumpCache(probe);

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        DigestCache cache(cacheBase.path(), site.path());
        struct timespec start;
        clock_gettime(CLOCK_REALTIME, &start);
        start.tv_sec += 10;
        cache.setScanStart(start);
        cache.load();
        cache.forget("a.html");
        // Far more than SQLite's page cache holds: pages go to the file.
        struct stat st;
        std::memset(&st, 0, sizeof st);
        st.st_mtim.tv_sec = 1600000000;
        st.st_ctim = st.st_mtim;
        for (int i = 0; i < 60000; ++i) {
            st.st_ino = static_cast<ino_t>(i + 1);
            cache.store("new/" + std::to_string(i) + std::string(40, 'x'), st, std::string(32, 'a'));
            cache.putRecord("store", "new/" + std::to_string(i), {std::string(32, 'b'), 1, "", "h"});
        }
        const char ch = 'k';
        if (write(ready[1], &ch, 1) != 1)
            _exit(2);
        pause(); // killed here, the transaction open
        _exit(0);
    }
    close(ready[1]);
    char ch = 0;
    ASSERT_EQ(read(ready[0], &ch, 1), 1);
    close(ready[0]);
    struct stat journal;
    EXPECT_EQ(stat((probe.path() + "-journal").c_str(), &journal), 0) << "the child wrote nothing to the file";
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    ScanRun run = scan(cacheBase.path(), site.path());
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.stats.nCacheHits, 1u);
    EXPECT_EQ(dumpCache(probe), before);
}

// Temporaries of the cache file of earlier releases, left by a run killed
// outright, go at the next load; other files in the cache folder stay.
TEST(DigestCache, StaleTemporariesOfThisCacheGoAtLoad)
{
    TempDir site, cacheBase;
    site.write("a.html", "aaaa");
    ASSERT_TRUE(scan(cacheBase.path(), site.path()).bOk);
    DigestCache probe(cacheBase.path(), site.path());
    const std::string name = probe.legacyPath().substr(probe.legacyPath().rfind('/') + 1);
    const std::string stale = name + ".aB3xYz";
    const std::string kept[] = {name + ".short", name + ".aB3xY!", "other.digests.aB3xYz", name + "x.aB3xYz"};
    std::ofstream(cacheBase.path() + "/" + stale) << "half";
    for (const std::string &k : kept)
        std::ofstream(cacheBase.path() + "/" + k) << "not ours";
    ASSERT_TRUE(scan(cacheBase.path(), site.path()).bOk);
    std::vector<std::string> expected(std::begin(kept), std::end(kept));
    expected.push_back(probe.path().substr(probe.path().rfind('/') + 1));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(cacheBase.path()), expected);
}

} // namespace

namespace {

// A scan with its own cache object, left loaded for the caller to use.
void scanWith(DigestCache &cache, const std::string &root)
{
    struct timespec start;
    clock_gettime(CLOCK_REALTIME, &start);
    start.tv_sec += 10;
    cache.setScanStart(start);
    cache.load();
    S3ObjSet set;
    ScanOptions options;
    options.cache = &cache;
    ASSERT_TRUE(getAllFiles(root + "/", set, options));
}

} // namespace

// Records are kept per store (endpoint, bucket, prefix), with any bytes in
// keys and texts; encoded digests only for the plain bytes they were made
// from; both go with their file.
TEST(DigestCache, RecordsArePerStoreAndGoWithTheirFile)
{
    TempDir site, cacheBase;
    const std::string strOdd = "odd name\nwith 12:3 ";
    site.write("a.html", "aaaa");
    site.write(strOdd, "bbbb");
    const std::string staging = DigestCache::storeTarget("http://s3.example", "staging", "");
    const std::string production = DigestCache::storeTarget("http://s3.example", "www", "site/");
    const StoredRecord recA = {md5Of("aaaa"), 4, "etag of a", "type=text/html\ncache-control=x"};
    const StoredRecord recB = {md5Of("bbbb"), 4, "\"q\" 7", ""};
    const EncodedDigest gz = {md5Of("aaaa"), md5Of("gz of aaaa"), 24};
    {
        DigestCache cache(cacheBase.path(), site.path());
        scanWith(cache, site.path());
        cache.putRecord(staging, "a.html", recA);
        cache.putRecord(production, "a.html", recB);
        cache.putRecord(staging, strOdd, recB);
        cache.putEncoded("a.html", "gzip", gz);
        ASSERT_TRUE(cache.save());
    }
    {
        DigestCache cache(cacheBase.path(), site.path());
        scanWith(cache, site.path());
        StoredRecord got;
        ASSERT_TRUE(cache.findRecord(staging, "a.html", got));
        EXPECT_EQ(got.strETag, recA.strETag);
        EXPECT_EQ(got.strHeaders, recA.strHeaders);
        EXPECT_EQ(got.size, 4u);
        ASSERT_TRUE(cache.findRecord(production, "a.html", got));
        EXPECT_EQ(got.strETag, recB.strETag);
        ASSERT_TRUE(cache.findRecord(staging, strOdd, got));
        EXPECT_EQ(got.strMd5Hex, md5Of("bbbb"));
        EXPECT_FALSE(cache.findRecord(production, strOdd, got));
        EXPECT_FALSE(cache.findRecord(DigestCache::storeTarget("http://s3.example", "www", ""), "a.html", got));

        EncodedDigest digest;
        EXPECT_TRUE(cache.findEncoded("a.html", "gzip", md5Of("aaaa"), digest));
        EXPECT_EQ(digest.strMd5Hex, gz.strMd5Hex);
        EXPECT_EQ(digest.size, 24u);
        EXPECT_FALSE(cache.findEncoded("a.html", "gzip", md5Of("AAAA"), digest)) << "other bytes";
        EXPECT_FALSE(cache.findEncoded("a.html", "br", md5Of("aaaa"), digest));

        // The file is gone from the tree: its records and digests go too.
        cache.keepRecordsOf([&](const std::string &strKey) { return strKey == strOdd; });
        ASSERT_TRUE(cache.save());
    }
    DigestCache cache(cacheBase.path(), site.path());
    scanWith(cache, site.path());
    StoredRecord got;
    EncodedDigest digest;
    EXPECT_FALSE(cache.findRecord(staging, "a.html", got));
    EXPECT_FALSE(cache.findEncoded("a.html", "gzip", md5Of("aaaa"), digest));
    EXPECT_TRUE(cache.findRecord(staging, strOdd, got));
}

// A cache file of the earlier format (digests only) keeps its digests and
// counts as having no records; it is not reported as damaged.
TEST(DigestCache, ACacheFileOfTheEarlierFormatKeepsItsDigests)
{
    TempDir site, cacheBase;
    site.write("a.html", "aaaa");
    struct stat st;
    ASSERT_EQ(stat((site.path() + "/a.html").c_str(), &st), 0);
    DigestCache probe(cacheBase.path(), site.path());
    char *pszRoot = realpath(site.path().c_str(), nullptr);
    const std::string strRoot = pszRoot;
    free(pszRoot);
    const auto ns = [](const struct timespec &ts) {
        return std::to_string(static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec);
    };
    // A tag the file does not have: a hit can only come from this file.
    const std::string strTag(32, 'c');
    std::ofstream(probe.legacyPath(), std::ios::binary)
        << "sitemirror digest cache 1\n"
        << strRoot.size() << ":" << strRoot << "\n"
        << "f " << st.st_dev << " " << st.st_ino << " " << st.st_size << " " << ns(st.st_mtim) << " "
        << ns(st.st_ctim) << " " << strTag << " 6:a.html\n"
        << "end 1\n";

    const std::string strOld = fileText(probe.legacyPath());

    ScanRun run = scan(cacheBase.path(), site.path());
    ASSERT_TRUE(run.bOk);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.stats.nCacheHits, 1u);
    EXPECT_EQ(tagOf(run, "a.html"), strTag);
    // Converted once: the old file stays whole beside the database, under a
    // name no release reads.
    EXPECT_FALSE(std::filesystem::exists(probe.legacyPath()));
    EXPECT_EQ(fileText(probe.legacyPath() + ".converted"), strOld);
    DigestCache cache(cacheBase.path(), site.path());
    scanWith(cache, site.path());
    StoredRecord got;
    EXPECT_FALSE(cache.findRecord(DigestCache::storeTarget("", "b", ""), "a.html", got));
}

namespace {

// A file's status as the scan would see it, made up.
struct stat statWith(uint64_t ino, uint64_t size, int64_t mtimeNs, int64_t ctimeNs)
{
    struct stat st;
    std::memset(&st, 0, sizeof st);
    st.st_dev = 2049;
    st.st_ino = static_cast<ino_t>(ino);
    st.st_size = static_cast<off_t>(size);
    const auto split = [](int64_t ns) {
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0));
        ts.tv_nsec = static_cast<long>(ns - static_cast<int64_t>(ts.tv_sec) * 1000000000);
        return ts;
    };
    st.st_mtim = split(mtimeNs);
    st.st_ctim = split(ctimeNs);
    return st;
}

std::string fLine(const struct stat &st, const std::string &strTag, const std::string &strKey)
{
    const auto ns = [](const struct timespec &ts) {
        return std::to_string(static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec);
    };
    return "f " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " + std::to_string(st.st_size) +
           " " + ns(st.st_mtim) + " " + ns(st.st_ctim) + " " + strTag + " " + counted(strKey) + "\n";
}

std::string eLine(const std::string &strEncoding, const EncodedDigest &d, const std::string &strKey)
{
    return "e " + strEncoding + " " + d.strPlainMd5Hex + " " + d.strMd5Hex + " " + std::to_string(d.size) + " " +
           counted(strKey) + "\n";
}

std::string rLine(const std::string &strTarget, const StoredRecord &r, const std::string &strKey)
{
    return "r " + r.strMd5Hex + " " + std::to_string(r.size) + " " + counted(strTarget) + " " + counted(r.strETag) +
           " " + counted(r.strHeaders) + " " + counted(strKey) + "\n";
}

struct timespec tenSecondsFromNow()
{
    struct timespec start;
    clock_gettime(CLOCK_REALTIME, &start);
    start.tv_sec += 10;
    return start;
}

} // namespace

// The database holds every field as it was put, with any bytes in keys and
// texts: the digests of files, the encoded digests and the records. Opened
// again and saved, it holds the same, less the digests of files not seen again.
TEST(DigestCache, TheDatabaseKeepsEveryFieldAsPut)
{
    TempDir site, cacheBase;
    char *pszRoot = realpath(site.path().c_str(), nullptr);
    const std::string strRoot = pszRoot;
    free(pszRoot);
    const std::string keyA = "a.html", keyOdd = "odd name\nwith 12:3 ", keyHigh = "\xff-last.html",
                      keyUpper = "B.html", keyRecordOnly = "gone/b.css", keyForgotten = "c.html";
    const std::string staging = DigestCache::storeTarget("http://s3.example", "staging", "");
    const std::string production = DigestCache::storeTarget("http://s3.example", "www", "site/");
    const std::string strHtml =
        "type=text/html\ncache-control=max-age=300\nencoding=gzip\nacl=public-read\nclass=STANDARD";
    const struct {
        std::string key;
        struct stat st;
    } files[] = {
        {keyHigh, statWith(7, 0, 1700000000000000001, 1700000000000000002)},
        {keyA, statWith(5, 4, 1600000000123456789, 1600000000987654321)},
        {keyOdd, statWith(18446744073709551615ull, 1234567890123, 1, 2)},
        {keyUpper, statWith(9, 3, -1500000000, -1000000000)}, // before 1970
        {keyForgotten, statWith(11, 5, 1500000000000000000, 1500000000000000000)},
    };
    const StoredRecord recProd = {md5Of("aaaa"), 4, md5Of("aaaa"), strHtml};  // ETag is the digest
    const StoredRecord recStaging = {md5Of("aaaa"), 4, "opaque \"etag\"\n2", ""};
    const StoredRecord recGone = {md5Of("bbbb"), 10, "", "type=text/css"};     // no ETag known
    const EncodedDigest gzA = {md5Of("aaaa"), md5Of("gz"), 24}, brA = {md5Of("aaaa"), md5Of("br"), 20},
                        gzHigh = {md5Of("last"), md5Of("gz last"), 1ull << 40};
    {
        DigestCache cache(cacheBase.path(), site.path());
        cache.setScanStart(tenSecondsFromNow());
        cache.load();
        for (const auto &f : files)
            ASSERT_TRUE(cache.store(f.key, f.st, md5Of(f.key)));
        cache.forget(keyForgotten);
        cache.putRecord(production, keyA, recProd);
        cache.putRecord(staging, keyA, recStaging);
        cache.putRecord(staging, keyRecordOnly, recGone);
        cache.putEncoded(keyHigh, "gzip", gzHigh);
        cache.putEncoded(keyA, "gzip", gzA);
        cache.putEncoded(keyA, "br", brA);
        ASSERT_TRUE(cache.save());
    }
    const std::string strHead = "sitemirror digest cache 2\n" + counted(strRoot) + "\n";
    const std::string strUpperLine = fLine(files[3].st, md5Of(keyUpper), keyUpper);
    const std::string strRest = fLine(files[1].st, md5Of(keyA), keyA) + fLine(files[2].st, md5Of(keyOdd), keyOdd) +
                                fLine(files[0].st, md5Of(keyHigh), keyHigh) + eLine("br", brA, keyA) +
                                eLine("gzip", gzA, keyA) + eLine("gzip", gzHigh, keyHigh) +
                                rLine(staging, recStaging, keyA) + rLine(production, recProd, keyA) +
                                rLine(staging, recGone, keyRecordOnly);
    DigestCache probe(cacheBase.path(), site.path());
    ASSERT_EQ(dumpCache(probe), strHead + strUpperLine + strRest + "end 10\n");

    // Read back; B.html is not seen this time, a record is put again unchanged.
    DigestCache cache(cacheBase.path(), site.path());
    cache.setScanStart(tenSecondsFromNow());
    testing::internal::CaptureStderr();
    cache.load();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    for (int i = 0; i < 3; ++i) {
        std::string strTag;
        EXPECT_TRUE(cache.lookup(files[i].key, files[i].st, strTag)) << i;
        EXPECT_EQ(strTag, md5Of(files[i].key)) << i;
    }
    StoredRecord got;
    ASSERT_TRUE(cache.findRecord(staging, keyA, got));
    EXPECT_EQ(got.strETag, recStaging.strETag);
    ASSERT_TRUE(cache.findRecord(production, keyA, got));
    EXPECT_EQ(got.strETag, recProd.strETag);
    EXPECT_EQ(got.strHeaders, strHtml);
    EncodedDigest digest;
    ASSERT_TRUE(cache.findEncoded(keyHigh, "gzip", gzHigh.strPlainMd5Hex, digest));
    EXPECT_EQ(digest.size, gzHigh.size);
    cache.putRecord(staging, keyRecordOnly, recGone);
    ASSERT_TRUE(cache.save());
    EXPECT_EQ(dumpCache(probe), strHead + strRest + "end 9\n");
}

// A digest that is not 32 lower-case hex digits is given back exactly as it
// was remembered.
TEST(DigestCache, AnyTagIsGivenBackAsItWasStored)
{
    TempDir site, cacheBase;
    DigestCache cache(cacheBase.path(), site.path());
    cache.setScanStart(tenSecondsFromNow());
    cache.load();
    const std::string tags[] = {md5Of("x"), std::string(32, 'A'), "short", "", std::string(40, 'f')};
    uint64_t ino = 1;
    for (const std::string &strTag : tags) {
        const struct stat st = statWith(ino, 1, 1600000000000000000, 1600000000000000000);
        const std::string strKey = "k" + std::to_string(ino++);
        ASSERT_TRUE(cache.store(strKey, st, strTag));
        std::string strGot = "unset";
        EXPECT_TRUE(cache.lookup(strKey, st, strGot));
        EXPECT_EQ(strGot, strTag);
    }
}

namespace {

// What the cache promises, kept the plain way: the file it must write is
// rendered from this.
struct Model {
    struct Entry {
        struct stat st;
        std::string tag;
        bool bSeen = false;
    };
    std::map<std::string, Entry> entries;
    std::map<std::string, std::map<std::string, StoredRecord>> records;
    std::map<std::string, std::map<std::string, EncodedDigest>> encoded;

    std::string file(const std::string &strRoot) const
    {
        std::string text = "sitemirror digest cache 2\n" + counted(strRoot) + "\n";
        std::size_t nLines = 0;
        for (const auto &kv : entries)
            if (kv.second.bSeen) {
                text += fLine(kv.second.st, kv.second.tag, kv.first);
                ++nLines;
            }
        for (const auto &kv : encoded)
            for (const auto &byEncoding : kv.second) {
                text += eLine(byEncoding.first, byEncoding.second, kv.first);
                ++nLines;
            }
        for (const auto &kv : records)
            for (const auto &byTarget : kv.second) {
                text += rLine(byTarget.first, byTarget.second, kv.first);
                ++nLines;
            }
        return text + "end " + std::to_string(nLines) + "\n";
    }
};

} // namespace

// Many keys coming in any order over two runs, with digests remembered,
// refused and forgotten and records and encoded digests put, replaced and
// dropped: every answer and both files are what the plain model says.
TEST(DigestCache, ManyKeysInAnyOrderOverTwoRunsGiveWhatWasPut)
{
    TempDir site, cacheBase;
    char *pszRoot = realpath(site.path().c_str(), nullptr);
    const std::string strRoot = pszRoot;
    free(pszRoot);
    std::vector<std::string> keys;
    for (const char *pszPrefix : {"", "a", "a/", "Z", " ", "\xff"})
        for (const char *pszSuffix : {"", ".html", "\n", ":1"})
            for (int i = 0; i < 100; ++i)
                keys.push_back(pszPrefix + std::to_string(i) + pszSuffix);
    const std::string targets[] = {DigestCache::storeTarget("http://s3.example", "www", ""),
                                   DigestCache::storeTarget("http://s3.example", "staging", "x/"),
                                   DigestCache::storeTarget("", "", "")};
    const std::string encodings[] = {"gzip", "br"};
    const std::string headers[] = {"type=text/html", "", "type=text/css\nacl=private"};
    const struct timespec start = tenSecondsFromNow();
    const int64_t racyNs = static_cast<int64_t>(start.tv_sec) * 1000000000;

    std::mt19937 random(20261209);
    auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    Model model;
    for (int run = 0; run < 2; ++run) {
        DigestCache cache(cacheBase.path(), site.path());
        cache.setScanStart(start);
        cache.load();
        for (auto &kv : model.entries)
            kv.second.bSeen = false;
        for (int op = 0; op < 6000; ++op) {
            const std::size_t k = pick(keys.size());
            const std::string &strKey = keys[k];
            const std::string strMd5 = md5Of(strKey + std::to_string(pick(3)));
            switch (pick(8)) {
            case 0:
            case 1: { // the scan read the file
                const bool bRacy = pick(5) == 0;
                const struct stat st = statWith(k, pick(4), bRacy ? racyNs : 1600000000000000000, 5);
                EXPECT_EQ(cache.store(strKey, st, strMd5), !bRacy);
                if (bRacy)
                    model.entries.erase(strKey);
                else
                    model.entries[strKey] = {st, strMd5, true};
                break;
            }
            case 2: { // the scan looked the file up
                auto it = model.entries.find(strKey);
                const struct stat st = it != model.entries.end() && pick(4) > 0 ? it->second.st : statWith(k, 9, 1, 1);
                const bool bHit = it != model.entries.end() && std::memcmp(&st, &it->second.st, sizeof st) == 0;
                std::string strTag;
                ASSERT_EQ(cache.lookup(strKey, st, strTag), bHit) << op;
                if (bHit) {
                    EXPECT_EQ(strTag, it->second.tag) << op;
                    it->second.bSeen = true;
                }
                break;
            }
            case 3:
                cache.forget(strKey);
                model.entries.erase(strKey);
                break;
            case 4: { // a store answered
                const std::string &strTarget = targets[pick(3)];
                const std::string strETags[] = {strMd5, "", "\"opaque\" " + std::to_string(pick(50)), strMd5 + "-2"};
                const StoredRecord record = {pick(10) == 0 ? "not a digest" : strMd5, pick(1000),
                                             strETags[pick(4)], headers[pick(3)]};
                cache.putRecord(strTarget, strKey, record);
                if (record.strMd5Hex == strMd5) {
                    model.records[strKey][strTarget] = record;
                } else if (model.records.count(strKey) > 0) {
                    model.records[strKey].erase(strTarget);
                    if (model.records[strKey].empty())
                        model.records.erase(strKey);
                }
                break;
            }
            case 5: {
                const std::string &strTarget = targets[pick(3)];
                cache.dropRecord(strTarget, strKey);
                if (model.records.count(strKey) > 0) {
                    model.records[strKey].erase(strTarget);
                    if (model.records[strKey].empty())
                        model.records.erase(strKey);
                }
                StoredRecord got;
                EXPECT_FALSE(cache.findRecord(strTarget, strKey, got)) << op;
                break;
            }
            case 6: {
                const std::string &strEncoding = encodings[pick(2)];
                const EncodedDigest digest = {strMd5, md5Of(strMd5), pick(100)};
                cache.putEncoded(strKey, strEncoding, digest);
                model.encoded[strKey][strEncoding] = digest;
                break;
            }
            default: { // what the cache answers of records and encoded digests
                const std::string &strTarget = targets[pick(3)];
                StoredRecord got;
                auto it = model.records.find(strKey);
                const bool bRecord = it != model.records.end() && it->second.count(strTarget) > 0;
                ASSERT_EQ(cache.findRecord(strTarget, strKey, got), bRecord) << op;
                if (bRecord) {
                    const StoredRecord &want = it->second.at(strTarget);
                    EXPECT_EQ(got.strMd5Hex, want.strMd5Hex) << op;
                    EXPECT_EQ(got.size, want.size) << op;
                    EXPECT_EQ(got.strETag, want.strETag) << op;
                    EXPECT_EQ(got.strHeaders, want.strHeaders) << op;
                }
                const std::string &strEncoding = encodings[pick(2)];
                auto at = model.encoded.find(strKey);
                const bool bEncoded = at != model.encoded.end() && at->second.count(strEncoding) > 0;
                const std::string strPlain = bEncoded ? at->second.at(strEncoding).strPlainMd5Hex : strMd5;
                EncodedDigest digest;
                ASSERT_EQ(cache.findEncoded(strKey, strEncoding, strPlain, digest), bEncoded) << op;
                if (bEncoded) {
                    EXPECT_EQ(digest.strMd5Hex, at->second.at(strEncoding).strMd5Hex) << op;
                    EXPECT_EQ(digest.size, at->second.at(strEncoding).size) << op;
                    EXPECT_FALSE(cache.findEncoded(strKey, strEncoding, md5Of("other"), digest)) << op;
                }
                break;
            }
            }
        }
        // Files of every seventh key are gone from the tree.
        std::set<std::string> asked;
        cache.keepRecordsOf([&](const std::string &strKey) {
            EXPECT_TRUE(asked.insert(strKey).second) << "asked twice: " << strKey;
            return std::hash<std::string>()(strKey) % 7 != 0;
        });
        std::set<std::string> withAny;
        for (const auto &kv : model.records)
            withAny.insert(kv.first);
        for (const auto &kv : model.encoded)
            withAny.insert(kv.first);
        EXPECT_EQ(asked, withAny);
        for (const std::string &strKey : withAny)
            if (std::hash<std::string>()(strKey) % 7 == 0) {
                model.records.erase(strKey);
                model.encoded.erase(strKey);
            }
        ASSERT_TRUE(cache.save());
        DigestCache probe(cacheBase.path(), site.path());
        ASSERT_EQ(dumpCache(probe), model.file(strRoot)) << "run " << run;
        // Digests not seen in this run are not in the file.
        for (auto it = model.entries.begin(); it != model.entries.end();)
            it = it->second.bSeen ? std::next(it) : model.entries.erase(it);
    }
}

// Lines in any order, and a key given twice (the later line counts), load as
// well as the ordered lines this tool writes.
TEST(DigestCache, LinesInAnyOrderLoadAsWell)
{
    TempDir site, cacheBase;
    char *pszRoot = realpath(site.path().c_str(), nullptr);
    const std::string strRoot = pszRoot;
    free(pszRoot);
    const struct stat st1 = statWith(1, 1, 1600000000000000000, 1), st2 = statWith(2, 2, 1600000000000000000, 2);
    const std::string target = DigestCache::storeTarget("e", "b", "p");
    const StoredRecord rec = {md5Of("r"), 3, "t", "h"};
    DigestCache probe(cacheBase.path(), site.path());
    std::ofstream(probe.legacyPath(), std::ios::binary)
        << "sitemirror digest cache 2\n" + counted(strRoot) + "\n" + fLine(st2, md5Of("z"), "z") +
               fLine(st1, md5Of("old"), "m") + fLine(st1, md5Of("a"), "a") + fLine(st1, md5Of("m"), "m") +
               rLine(target, rec, "z") + rLine(target, rec, "b") + "end 6\n";
    DigestCache cache(cacheBase.path(), site.path());
    cache.setScanStart(tenSecondsFromNow());
    testing::internal::CaptureStderr();
    cache.load();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const struct {
        const char *key;
        const struct stat *st;
        std::string tag;
    } rows[] = {{"z", &st2, md5Of("z")}, {"m", &st1, md5Of("m")}, {"a", &st1, md5Of("a")}};
    for (const auto &r : rows) {
        std::string strTag;
        EXPECT_TRUE(cache.lookup(r.key, *r.st, strTag)) << r.key;
        EXPECT_EQ(strTag, r.tag) << r.key;
    }
    StoredRecord got;
    EXPECT_TRUE(cache.findRecord(target, "b", got));
    EXPECT_TRUE(cache.findRecord(target, "z", got));
    EXPECT_FALSE(cache.findRecord(target, "a", got));
    EXPECT_TRUE(std::filesystem::exists(probe.legacyPath() + ".converted"));
    cache.putRecord(target, "a", rec);
    ASSERT_TRUE(cache.save());
    EXPECT_EQ(dumpCache(probe), "sitemirror digest cache 2\n" + counted(strRoot) + "\n" +
                                          fLine(st1, md5Of("a"), "a") + fLine(st1, md5Of("m"), "m") +
                                          fLine(st2, md5Of("z"), "z") + rLine(target, rec, "a") +
                                          rLine(target, rec, "b") + rLine(target, rec, "z") + "end 6\n");
}

// A cache file of an earlier release that is damaged (cut short, a line
// broken) or another root's converts to nothing, with one line naming it; it
// stays where it was, and is not read again once the database exists.
TEST(DigestCache, ADamagedOldCacheFileConvertsToNothingAndStays)
{
    TempDir site, other, cacheBase;
    char *pszRoot = realpath(site.path().c_str(), nullptr);
    const std::string strRoot = pszRoot;
    free(pszRoot);
    const struct stat st = statWith(1, 1, 1600000000000000000, 1);
    const std::string strWhole = "sitemirror digest cache 2\n" + counted(strRoot) + "\n" + fLine(st, md5Of("a"), "a") +
                                 fLine(st, md5Of("b"), "b") + "end 2\n";
    const std::string damaged[] = {strWhole.substr(0, strWhole.size() - 3),
                                   strWhole.substr(0, strWhole.find("f ")) + "f 1 2 x\n" + "end 1\n",
                                   "sitemirror digest cache 2\n" + counted(strRoot + "x") + "\nend 0\n", "garbage\n"};
    for (const std::string &bytes : damaged) {
        TempDir base;
        DigestCache probe(base.path(), site.path());
        std::ofstream(probe.legacyPath(), std::ios::binary) << bytes;
        for (int run = 0; run < 2; ++run) {
            DigestCache cache(base.path(), site.path());
            testing::internal::CaptureStderr();
            cache.load();
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(err, run == 0 ? "digest cache damaged or foreign, rebuilt: " + probe.legacyPath() + "\n" : "");
            std::string strTag;
            EXPECT_FALSE(cache.lookup("a", st, strTag));
            ASSERT_TRUE(cache.save());
        }
        EXPECT_EQ(fileText(probe.legacyPath()), bytes);
        EXPECT_EQ(dumpCache(probe), "sitemirror digest cache 2\n" + counted(strRoot) + "\nend 0\n");
    }
}

// Lookups in key order walk the table in step: rows between the keys looked
// up, before the first and after the last are files gone and are dropped at
// save; what was stored ahead of the walk stays, and a key stored after its
// own miss is found again.
TEST(DigestCache, LookupsInKeyOrderDropTheRowsTheyPassBy)
{
    TempDir site, cacheBase;
    const struct timespec start = tenSecondsFromNow();
    std::vector<std::string> keys;
    for (int i = 0; i < 2000; ++i) {
        char sz[32];
        std::snprintf(sz, sizeof sz, "k%05d", i);
        keys.push_back(sz);
    }
    auto statOf = [](std::size_t i) { return statWith(i + 1, i, 1600000000000000000, 1600000000000000000); };
    {
        DigestCache cache(cacheBase.path(), site.path());
        cache.setScanStart(start);
        cache.load();
        for (std::size_t i = 0; i < keys.size(); ++i)
            ASSERT_TRUE(cache.store(keys[i], statOf(i), md5Of(keys[i])));
        ASSERT_TRUE(cache.save());
    }
    DigestCache cache(cacheBase.path(), site.path());
    cache.setScanStart(start);
    cache.load();
    std::set<std::string> kept;
    ASSERT_TRUE(cache.store("zz-ahead", statOf(9999), md5Of("ahead")));
    kept.insert("zz-ahead");
    for (std::size_t i = 10; i + 10 < keys.size(); ++i) {
        if (i % 3 == 0)
            continue; // gone from the tree
        std::string strTag;
        if (i % 7 == 0) { // changed: a miss, then stored anew
            EXPECT_FALSE(cache.lookup(keys[i], statOf(i + 1), strTag)) << keys[i];
            ASSERT_TRUE(cache.store(keys[i], statOf(i + 1), md5Of("new")));
        } else {
            ASSERT_TRUE(cache.lookup(keys[i], statOf(i), strTag)) << keys[i];
            EXPECT_EQ(strTag, md5Of(keys[i]));
        }
        kept.insert(keys[i]);
    }
    ASSERT_TRUE(cache.save());
    DigestCache again(cacheBase.path(), site.path());
    again.load();
    std::size_t nFound = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::string strTag;
        const bool bFound = again.lookup(keys[i], i % 7 == 0 ? statOf(i + 1) : statOf(i), strTag);
        EXPECT_EQ(bFound, kept.count(keys[i]) > 0) << keys[i];
        nFound += bFound ? 1 : 0;
    }
    std::string strTag;
    EXPECT_TRUE(again.lookup("zz-ahead", statOf(9999), strTag));
    EXPECT_EQ(nFound + 1, kept.size());
}

// The scan looks files up in key order as the walk meets them and stores
// the digests the pool read some files later: rows stored behind the
// lookups are the run's own, never taken for rows the walk passed by. Over
// an empty cache, and over one where every fifth file changed, every file
// is found by the next run.
TEST(DigestCache, DigestsStoredBehindTheLookupsAreKept)
{
    TempDir site, cacheBase;
    const struct timespec start = tenSecondsFromNow();
    std::vector<std::string> keys;
    for (int i = 0; i < 3000; ++i) {
        char sz[32];
        std::snprintf(sz, sizeof sz, "d%02d/f%d.bin", i / 100, i % 100);
        keys.push_back(sz);
    }
    std::sort(keys.begin(), keys.end());
    auto statOf = [](std::size_t i, int version) {
        return statWith(i + 1, i, 1600000000000000000 + version, 1600000000000000000);
    };
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        DigestCache cache(cacheBase.path(), site.path());
        cache.setScanStart(start);
        cache.load();
        const std::size_t kLag = 32; // files read ahead of the one the walk hands on
        std::vector<std::size_t> reading;
        for (std::size_t i = 0; i <= keys.size(); ++i) {
            if (i < keys.size()) {
                std::string strTag;
                const int version = run == 1 && i % 5 == 0 ? 1 : 0;
                if (!cache.lookup(keys[i], statOf(i, version), strTag)) {
                    EXPECT_TRUE(run == 0 || version == 1) << keys[i];
                    reading.push_back(i);
                }
            }
            while (!reading.empty() && (reading.size() > kLag || i == keys.size())) {
                const std::size_t k = reading.front();
                reading.erase(reading.begin());
                ASSERT_TRUE(cache.store(keys[k], statOf(k, run == 1 && k % 5 == 0 ? 1 : 0), md5Of(keys[k])));
            }
        }
        ASSERT_TRUE(cache.save());
    }
    DigestCache again(cacheBase.path(), site.path());
    again.setScanStart(start);
    again.load();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::string strTag;
        ASSERT_TRUE(again.lookup(keys[i], statOf(i, i % 5 == 0 ? 1 : 0), strTag)) << keys[i];
        EXPECT_EQ(strTag, md5Of(keys[i]));
    }
}

// A cache folder that cannot be made (a file stands in its way): said once,
// the scan reads every file, and the save fails without a second line.
TEST(DigestCache, ACacheFolderThatCannotBeMadeIsSaidOnce)
{
    TempDir site, base;
    site.write("a.html", "aaaa");
    base.write("file", "in the way");
    ScanRun run = scan(base.path() + "/file/sitemirror", site.path());
    EXPECT_FALSE(run.bOk);
    EXPECT_EQ(run.stats.nHashed, 1u);
    EXPECT_EQ(tagOf(run, "a.html"), md5Of("aaaa"));
    EXPECT_EQ(run.err, "cannot create cache folder: " + base.path() + "/file/sitemirror: Not a directory\n");
}
