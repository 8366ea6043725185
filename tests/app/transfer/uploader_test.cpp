// The uploader against the loopback store and a tiny in-process answerer:
// files that are not the scanned ones fail alone and at once, blocks come out
// in key order, and the cost per upload does not grow with the file count.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "compress.h"
#include "e2e/site.h"
#include "harness.h"
#include "myPutObj.h"
#include "myS3Common.h"
#include "uploader.h"
#include "tempdir.h"

namespace {

UploadItem itemFor(const std::string &strPath, const std::string &strKey)
{
    UploadItem item;
    item.strKey = strKey;
    item.strPath = strPath;
    struct stat st;
    if (::stat(strPath.c_str(), &st) == 0) {
        item.size = static_cast<uint64_t>(st.st_size);
        item.device = static_cast<uint64_t>(st.st_dev);
        item.inode = static_cast<uint64_t>(st.st_ino);
    }
    if (!calculateMD5Hex(strPath, item.strMd5Hex))
        item.strMd5Hex.clear();
    item.leadLines = {"DirectionUpload:" + strKey};
    return item;
}

class Uploads : public ::testing::Test {
protected:
    static void SetUpTestSuite() { store = new harness::Store(); }
    static void TearDownTestSuite()
    {
        delete store;
        store = nullptr;
    }
    void SetUp() override
    {
        static int nBucket = 0;
        bucket = "uploads-" + std::to_string(++nBucket) + ".example";
        store->createBucket(bucket);
        settings.strKeyFile =
            dir.write("s3key", std::string(harness::kAccessKeyId) + "\n" +
                                   harness::kSecretAccessKey + "\n");
        settings.strEndpoint = "http://" + store->endpoint();
        S3_set_trace(0);
    }
    void TearDown() override
    {
    }
    UploadTotals upload(std::vector<UploadItem> &items, std::string &out)
    {
        Session session(settings);
        MyS3Context context(session);
        S3BucketContext ctx;
        EXPECT_TRUE(context.initialize(bucket.c_str(), ctx));
        ::testing::internal::CaptureStdout();
        UploadTotals totals = uploadItems(session, ctx, bucket, items);
        out = ::testing::internal::GetCapturedStdout();
        return totals;
    }

    static harness::Store *store;
    TempDir dir;
    Settings settings;
    std::string bucket;
};

harness::Store *Uploads::store = nullptr;

// Each item below stands for a file that was scanned and then changed before
// or while it was sent; the good files around them must not notice.
TEST_F(Uploads, FilesChangedAfterTheScanFailAloneAtOnceWithoutRetries)
{
    std::vector<UploadItem> items;
    items.push_back(itemFor(dir.write("a-good.html", "good a\n"), "a-good.html"));

    // Shrunk after the scan.
    std::string strShrunk = dir.write("b-shrunk.bin", std::string(200000, 's'));
    items.push_back(itemFor(strShrunk, "b-shrunk.bin"));
    ASSERT_EQ(::truncate(strShrunk.c_str(), 1000), 0);

    // A link to a file of the same size put in its place.
    std::string strLinked = dir.write("c-linked.txt", "0123456789");
    items.push_back(itemFor(strLinked, "c-linked.txt"));
    std::string strOther = dir.write("elsewhere.txt", "9876543210");
    ASSERT_EQ(::unlink(strLinked.c_str()), 0);
    ASSERT_EQ(::symlink(strOther.c_str(), strLinked.c_str()), 0);

    // Replaced by another file of the same size (another inode).
    std::string strReplaced = dir.write("d-replaced.txt", "same size!");
    items.push_back(itemFor(strReplaced, "d-replaced.txt"));
    std::string strNew = dir.write("d-new.txt", "SAME SIZE!");
    ASSERT_EQ(::rename(strNew.c_str(), strReplaced.c_str()), 0);

    // Gone.
    std::string strGone = dir.write("e-gone.txt", "gone");
    items.push_back(itemFor(strGone, "e-gone.txt"));
    ASSERT_EQ(::unlink(strGone.c_str()), 0);

    // Ends before the size it claims while it is read: a kernel attribute
    // file says 4096 bytes and gives a few.
    const std::string strShort = "/sys/kernel/mm/transparent_hugepage/enabled";
    UploadItem shortRead;
    shortRead.strKey = "f-short-read.txt";
    shortRead.strPath = strShort;
    shortRead.size = 4096;
    shortRead.strMd5Hex = std::string(32, '0');
    items.push_back(shortRead);

    items.push_back(itemFor(dir.write("g-good.css", "good g\n"), "g-good.css"));

    settings.nJobs = 4;
    settings.nRetries = 3;
    store->resetCounters();
    const auto started = std::chrono::steady_clock::now();
    std::string out;
    UploadTotals totals = upload(items, out);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(totals.nSent, 2) << out;
    EXPECT_EQ(totals.nFailed, 5) << out;
    EXPECT_LT(seconds, 10.0) << out;
    EXPECT_EQ(out.find("retry "), std::string::npos) << out;
    EXPECT_EQ(out.find("stopped sending"), std::string::npos) << out;
    for (const char *key : {"b-shrunk.bin", "c-linked.txt", "d-replaced.txt", "e-gone.txt"})
        EXPECT_NE(out.find("file changed during the run: " + dir.path() + "/" + key + "\n"),
                  std::string::npos)
            << key << "\n"
            << out;
    EXPECT_NE(out.find("file changed during the run: " + strShort + "\n"), std::string::npos)
        << out;
    const std::vector<std::string> stale(totals.staleKeys.begin(), totals.staleKeys.end());
    EXPECT_EQ(std::set<std::string>(stale.begin(), stale.end()),
              (std::set<std::string>{"b-shrunk.bin", "c-linked.txt", "d-replaced.txt",
                                     "e-gone.txt", "f-short-read.txt"}));

    EXPECT_EQ(store->getObject(bucket, "a-good.html").body, "good a\n");
    EXPECT_EQ(store->getObject(bucket, "g-good.css").body, "good g\n");
    for (const char *key : {"b-shrunk.bin", "c-linked.txt", "d-replaced.txt", "e-gone.txt",
                            "f-short-read.txt"})
        EXPECT_FALSE(store->getObject(bucket, key).exists) << key;
    // Only the short read ever reached the store; the others were caught
    // before anything was sent.
    EXPECT_LE(store->counters().puts, 3) << out;
}

// Encoded files go up as their encoding makes them, read once and held to the
// scan (an edit that keeps size and inode still shows in the digest); every
// upload carries the MD5 of the bytes sent and learns the ETag the store
// answered; the totals count bytes as sent.
TEST_F(Uploads, EncodedFilesAreHeldToTheScanAndEveryUploadReportsWhatWasSent)
{
    std::string page;
    for (int i = 0; i < 500; ++i)
        page += "<p>row " + std::to_string(i % 10) + "</p>\n";
    std::vector<UploadItem> items;
    items.push_back(itemFor(dir.write("a.html", page), "a.html"));
    items.back().strContentEncoding = "gzip";
    items.back().strContentType = "text/html; charset=utf-8";
    items.push_back(itemFor(dir.write("b.js", page), "b.js"));
    items.back().strContentEncoding = "br";
    // Rewritten in place after the scan: same size, same inode, other bytes.
    const std::string strEdited = dir.write("c-edited.html", page);
    items.push_back(itemFor(strEdited, "c-edited.html"));
    items.back().strContentEncoding = "gzip";
    {
        std::string other = page;
        other[0] = '[';
        const int fd = ::open(strEdited.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
        ::close(fd);
    }
    items.push_back(itemFor(dir.write("d.txt", "plain\n"), "d.txt"));

    settings.nJobs = 3;
    std::string out;
    UploadTotals totals = upload(items, out);
    EXPECT_EQ(totals.nSent, 3) << out;
    EXPECT_EQ(totals.nFailed, 1) << out;
    EXPECT_NE(out.find("file changed during the run: " + strEdited + "\n"), std::string::npos) << out;
    EXPECT_EQ(totals.staleKeys, std::vector<std::string>{"c-edited.html"});

    uint64_t nBytes = 0;
    for (std::size_t i : {0u, 1u, 3u}) {
        const UploadItem &item = items[i];
        SCOPED_TRACE(item.strKey);
        harness::StoredObject object = store->getObject(bucket, item.strKey);
        ASSERT_TRUE(item.bStored);
        EXPECT_EQ(item.sentSize, object.body.size());
        MyMD5 md5(true);
        md5.update(object.body);
        const std::string strMd5 = md5.finalize();
        EXPECT_EQ(item.strSentMd5Hex, strMd5);
        EXPECT_EQ(object.headers["x-amz-meta-md5"], strMd5);
        EXPECT_EQ(item.strETag, object.etag);
        EXPECT_EQ(object.headers["content-encoding"], item.strContentEncoding);
        if (!item.strContentEncoding.empty()) {
            EncodedFile expected;
            ASSERT_TRUE(encodeBytes(page, item.strContentEncoding, expected));
            EXPECT_EQ(object.body, expected.strBody);
        }
        nBytes += object.body.size();
    }
    EXPECT_EQ(store->getObject(bucket, "a.html").contentType, "text/html; charset=utf-8");
    EXPECT_EQ(totals.nBytesSent, nBytes);
    EXPECT_LT(totals.nBytesSent, 2 * page.size());
    EXPECT_FALSE(items[2].bStored);
    EXPECT_FALSE(store->getObject(bucket, "c-edited.html").exists);
}

// An encoded body goes to a scratch file outside the tree: where none can be
// made, the file fails with a line saying why, and nothing is sent; the
// others go on.
TEST_F(Uploads, AnEncodedFileWithNoRoomForItsScratchFileFailsClearly)
{
    std::vector<UploadItem> items;
    items.push_back(itemFor(dir.write("a.html", "<p>a</p>\n"), "a.html"));
    items.back().strContentEncoding = "gzip";
    items.push_back(itemFor(dir.write("b.html", "<p>b</p>\n"), "b.html"));
    const char *pszOld = std::getenv("TMPDIR");
    const std::string strOld = pszOld ? pszOld : "";
    ::setenv("TMPDIR", (dir.path() + "/no-such-folder").c_str(), 1);
    std::string out;
    UploadTotals totals = upload(items, out);
    if (pszOld)
        ::setenv("TMPDIR", strOld.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    EXPECT_EQ(totals.nSent, 1) << out;
    EXPECT_EQ(totals.nFailed, 1) << out;
    EXPECT_NE(out.find("cannot encode: " + items[0].strPath + " (No such file or directory)\n"),
              std::string::npos) << out;
    EXPECT_FALSE(store->getObject(bucket, "a.html").exists);
    EXPECT_TRUE(store->getObject(bucket, "b.html").exists);
}

// Blocks come out whole and in key order, whatever order the uploads end in;
// a refused file's block carries its failure and nothing leaks into others.
TEST_F(Uploads, BlocksArePrintedWholeInKeyOrder)
{
    std::vector<UploadItem> items;
    // A large first file ends after many small ones.
    items.push_back(itemFor(dir.write("a-big.bin", std::string(3 << 20, 'b')), "a-big.bin"));
    for (int i = 0; i < 40; ++i) {
        char sz[32];
        std::snprintf(sz, sizeof sz, "k%03d.txt", i);
        items.push_back(itemFor(dir.write(sz, std::string(sz) + "\n"), sz));
    }
    items[7].strMd5Hex = std::string(32, 'f'); // the store refuses this body
    settings.nJobs = 8;
    std::string out;
    UploadTotals totals = upload(items, out);
    EXPECT_EQ(totals.nSent, 40) << out;
    EXPECT_EQ(totals.nFailed, 1) << out;

    std::vector<std::string> lines = e2e::lines(out);
    std::size_t at = 0;
    for (const UploadItem &item : items) {
        ASSERT_LT(at + 2, lines.size()) << out;
        EXPECT_EQ(lines[at++], "DirectionUpload:" + item.strKey) << out;
        EXPECT_EQ(lines[at++], "upload:" + item.strPath + " ; " + item.strKey) << out;
        if (&item == &items[7]) {
            EXPECT_EQ(lines[at], "status:" + std::to_string(S3StatusErrorBadDigest)) << out;
            while (at < lines.size() && lines[at].rfind("upload error: ", 0) != 0)
                ++at;
            ASSERT_LT(at, lines.size()) << out;
            EXPECT_EQ(lines[at++], "upload error: bucket: " + bucket + " key:" + item.strKey +
                                       " path:" + item.strPath);
        } else {
            EXPECT_EQ(lines[at++], "succeed") << item.strKey << "\n" << out;
        }
    }
    EXPECT_EQ(at, lines.size()) << out;
}

// ---- cost per upload

// Answers every request at once with 200 and an empty body, on as many
// keep-alive connections as the client opens. Runs on its own thread. A slow
// one reads bodies at about 400 KiB/s per connection, with small buffers.
class InstantStore {
public:
    explicit InstantStore(bool bSlow = false) : bSlow(bSlow)
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bSlow) {
            int small = 16384;
            ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(listener, 128) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            throw std::runtime_error("the instant store cannot listen");
        nPort = ntohs(addr.sin_port);
        worker = std::thread([this] { serve(); });
    }
    ~InstantStore()
    {
        bStop = true;
        worker.join();
        ::close(listener);
    }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(nPort); }

private:
    struct Conn {
        std::string in;
        std::size_t need = 0; // body bytes still to skip
    };
    void serve()
    {
        std::map<int, Conn> conns;
        std::vector<pollfd> fds;
        char buf[65536];
        while (!bStop) {
            fds.assign(1, pollfd{listener, POLLIN, 0});
            for (auto &kv : conns)
                fds.push_back(pollfd{kv.first, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0)
                    conns[fd];
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents)
                    continue;
                int fd = fds[i].fd;
                ssize_t n = ::recv(fd, buf, bSlow ? 4096 : sizeof buf, 0);
                if (n <= 0) {
                    ::close(fd);
                    conns.erase(fd);
                    continue;
                }
                Conn &c = conns[fd];
                c.in.append(buf, static_cast<std::size_t>(n));
                answer(fd, c);
            }
            if (bSlow)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (auto &kv : conns)
            ::close(kv.first);
    }
    static void answer(int fd, Conn &c)
    {
        for (;;) {
            if (c.need > 0) {
                std::size_t take = std::min(c.need, c.in.size());
                c.in.erase(0, take);
                c.need -= take;
                if (c.need > 0)
                    return;
                sendAll(fd, "HTTP/1.1 200 OK\r\nETag: \"0\"\r\nContent-Length: 0\r\n\r\n");
                continue;
            }
            std::size_t end = c.in.find("\r\n\r\n");
            if (end == std::string::npos)
                return;
            std::string head = c.in.substr(0, end);
            c.in.erase(0, end + 4);
            std::size_t pos = head.find("Content-Length:");
            std::size_t length = pos == std::string::npos
                                     ? 0
                                     : std::strtoull(head.c_str() + pos + 15, nullptr, 10);
            if (head.find("100-continue") != std::string::npos && length > 0)
                sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
            c.need = length;
            if (length == 0)
                sendAll(fd, "HTTP/1.1 200 OK\r\nETag: \"0\"\r\nContent-Length: 0\r\n\r\n");
        }
    }
    static void sendAll(int fd, const std::string &s)
    {
        std::size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            off += static_cast<std::size_t>(n);
        }
    }

    const bool bSlow;
    int listener = -1;
    int nPort = 0;
    std::atomic<bool> bStop{false};
    std::thread worker;
};

// One file's upload may not take longer than its life limit, however long
// the request limit (raised for a large body) would let it go on.
TEST(UploaderLimit, AnUploadPastItsLifeLimitIsAbandonedWithALine)
{
    InstantStore slowStore(true);
    TempDir dir;
    Settings settings;
    settings.strKeyFile = dir.write("s3key", "AKIAEXAMPLE\nsecret\n");
    settings.strEndpoint = "http://" + slowStore.endpoint();
    settings.nRequestTimeout = 1;
    settings.nRetries = 0; // a life of one second
    S3_set_trace(0);
    std::vector<UploadItem> items = {
        itemFor(dir.write("big.bin", std::string(32u << 20, 'x')), "big.bin")};

    Session session(settings);
    MyS3Context context(session);
    S3BucketContext ctx;
    ASSERT_TRUE(context.initialize("limit.example", ctx));
    const auto started = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStdout();
    UploadTotals totals = uploadItems(session, ctx, "limit.example", items);
    std::string out = ::testing::internal::GetCapturedStdout();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(totals.nFailed, 1) << out;
    EXPECT_NE(out.find("upload took longer than its limit of 1 s: " + items[0].strPath + "\n"),
              std::string::npos)
        << out;
    EXPECT_LT(seconds, 10.0) << out;
}

double threadCpuSeconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The uploader's own thread's CPU time per upload (libcurl's work included,
// the answering thread's not) for a small and a large run against a store
// that answers at once. SITEMIRROR_UPLOADER_COST_ITEMS sets the large count
// (default 50,000; the figures in the notes are for 100,000).
TEST(UploaderCost, CpuPerUploadDoesNotGrowWithTheFileCount)
{
    InstantStore answerer;
    TempDir dir;
    Settings settings;
    settings.strKeyFile = dir.write("s3key", "AKIAEXAMPLE\nsecret\n");
    settings.strEndpoint = "http://" + answerer.endpoint();
    settings.nJobs = 16;
    S3_set_trace(0);
    const std::string strFile = dir.write("page.html", "<p>same bytes for every key</p>\n");

    auto costPerUpload = [&](std::size_t nItems) {
        std::vector<UploadItem> items(nItems, itemFor(strFile, ""));
        char sz[32];
        for (std::size_t i = 0; i < nItems; ++i) {
            std::snprintf(sz, sizeof sz, "k%07zu.html", i);
            items[i].strKey = sz;
            items[i].leadLines.clear();
        }
        Session session(settings);
        MyS3Context context(session);
        S3BucketContext ctx;
        EXPECT_TRUE(context.initialize("cost.example", ctx));
        ::testing::internal::CaptureStdout();
        const double before = threadCpuSeconds();
        UploadTotals totals = uploadItems(session, ctx, "cost.example", items);
        const double cpu = threadCpuSeconds() - before;
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(totals.nSent, static_cast<long>(nItems));
        return cpu / static_cast<double>(nItems);
    };

    std::size_t nLarge = 50000;
    if (const char *psz = std::getenv("SITEMIRROR_UPLOADER_COST_ITEMS"))
        nLarge = std::strtoul(psz, nullptr, 10);
    costPerUpload(500); // warm-up: connections, pools, page cache
    const double small = costPerUpload(2000);
    const double large = costPerUpload(nLarge);
    std::cout << "uploader CPU per upload: " << small * 1e6 << " us at 2000 files, "
              << large * 1e6 << " us at " << nLarge << " files (ratio " << large / small
              << ")\n";
    EXPECT_LT(large, 1.5 * small);
}

} // namespace

namespace {

// With more than 1,024 descriptors open, transfers whose sockets lie above
// that number are still waited on, not polled every few milliseconds.
TEST(UploaderCost, SocketsAboveTheSelectLimitAreWaitedOnNotPolled)
{
    InstantStore answerer;
    TempDir dir;
    Settings settings;
    settings.strKeyFile = dir.write("s3key", "AKIAEXAMPLE\nsecret\n");
    settings.strEndpoint = "http://" + answerer.endpoint();
    settings.nJobs = 1; // one transfer at a time: every wait is one the loop makes
    S3_set_trace(0);
    const std::string strFile = dir.write("page.html", "<p>x</p>\n");

    auto wallSeconds = [&](std::size_t nItems) {
        std::vector<UploadItem> items(nItems, itemFor(strFile, ""));
        for (std::size_t i = 0; i < nItems; ++i) {
            items[i].strKey = "k" + std::to_string(i);
            items[i].leadLines.clear();
        }
        Session session(settings);
        MyS3Context context(session);
        S3BucketContext ctx;
        EXPECT_TRUE(context.initialize("fds.example", ctx));
        ::testing::internal::CaptureStdout();
        const auto started = std::chrono::steady_clock::now();
        UploadTotals totals = uploadItems(session, ctx, "fds.example", items);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(totals.nSent, static_cast<long>(nItems));
        return seconds;
    };

    const double low = wallSeconds(200);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    rlimit raised = limit;
    raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4096));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> held;
    while (held.size() < 1100) {
        int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << "cannot open more descriptors";
        held.push_back(fd);
    }
    const double high = wallSeconds(200);
    for (int fd : held)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &limit);

    // Polling every 10 ms would take at least 2 s for 200 requests.
    EXPECT_LT(high, std::max(4 * low, 1.0)) << "below 1024: " << low << " s";
}

} // namespace

// A store that closes a kept connection just as the next upload arrives: the
// client sends that body again from its first byte on a new connection, read
// from the same open file, so every upload succeeds on its first try.
TEST(UploaderRewind, AnUploadOnADeadKeptConnectionIsSentAgainWhole)
{
    harness::FaultServer server("drop-reused");
    TempDir dir;
    Settings settings;
    settings.strKeyFile = dir.write("s3key", "AKIAEXAMPLE\nsecret\n");
    settings.strEndpoint = "http://" + server.endpoint();
    settings.nJobs = 1; // one connection, kept from one upload to the next
    S3_set_trace(0);
    const std::string strBody(40000, 'r');
    std::vector<UploadItem> items;
    for (const char *pszKey : {"a.bin", "b.bin", "c.bin"})
        items.push_back(itemFor(dir.write(pszKey, strBody), pszKey));

    Session session(settings);
    MyS3Context context(session);
    S3BucketContext ctx;
    ASSERT_TRUE(context.initialize("rewind.example", ctx));
    ::testing::internal::CaptureStdout();
    UploadTotals totals = uploadItems(session, ctx, "rewind.example", items);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(totals.nSent, 3) << out;
    EXPECT_EQ(totals.nFailed, 0) << out;
    EXPECT_EQ(out.find("retry "), std::string::npos) << out;
    // Each body after the first went twice, whole: 3 + 2 bodies in all.
    EXPECT_EQ(server.bodyBytesReceived(), static_cast<int64_t>(5 * strBody.size()));
}

// The part size is the setting's until a file would need more parts than the
// store takes; then the smallest whole number of MiB that keeps it within.
TEST(PartSize, GrowsOnlyAsFarAsTheStoresPartCountNeeds)
{
    const uint64_t setting = 5 * kMiB;
    EXPECT_EQ(partSizeFor(6 * kMiB, setting), setting);
    EXPECT_EQ(partSizeFor(setting * S3_MAX_PART_COUNT, setting), setting);
    EXPECT_EQ(partSizeFor(setting * S3_MAX_PART_COUNT + 1, setting), 6 * kMiB);
    const uint64_t huge = 5ull * 1024 * 1024 * kMiB; // 5 TiB, the store's largest object
    const uint64_t grown = partSizeFor(huge, setting);
    EXPECT_EQ(grown % kMiB, 0u);
    EXPECT_LE((huge + grown - 1) / grown, static_cast<uint64_t>(S3_MAX_PART_COUNT));
    EXPECT_GT((huge + grown - kMiB - 1) / (grown - kMiB), static_cast<uint64_t>(S3_MAX_PART_COUNT));
}
