// Rules that reach what is stored: headers replaced in place when only the
// rules changed, files sent encoded and typed as the rules say, one tree
// mirrored to two buckets, the one-file form, and a store whose ETags are
// not MD5s. On moto behind the checking proxy and on radosgw.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <zlib.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "compress.h"
#include "harness.h"
#include "mime.h"
#include "myS3Common.h"
#include "site.h"

namespace {

using e2e::ToolRun;

std::string md5Hex(const std::string &bytes)
{
    MyMD5 md5(true);
    md5.update(bytes);
    return md5.finalize();
}

std::string header(const harness::StoredObject &object, const std::string &name)
{
    auto it = object.headers.find(name);
    return it == object.headers.end() ? "" : it->second;
}

std::string gunzip(const std::string &bytes)
{
    z_stream zs = {};
    if (inflateInit2(&zs, 15 + 16) != Z_OK)
        return "<inflateInit2 failed>";
    std::string out;
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
    zs.avail_in = static_cast<uInt>(bytes.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        char block[4096];
        zs.next_out = reinterpret_cast<Bytef *>(block);
        zs.avail_out = sizeof block;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(block, sizeof block - zs.avail_out);
    }
    inflateEnd(&zs);
    return rc == Z_STREAM_END ? out : "<not gzip>";
}

// Lines of out that begin with prefix, in order.
std::vector<std::string> linesStartingWith(const std::string &out, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : e2e::lines(out))
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

class Rules : public e2e::OnEachStore {
protected:
    // The PUTs the proxy saw since its last reset that carried a body (not a
    // copy of an object onto itself); -1 on radosgw, which has no proxy.
    int bodyPuts()
    {
        if (!proxy())
            return -1;
        const std::string log = proxy()->requestsJson();
        int n = 0;
        for (std::size_t pos = log.find("\"method\": \"PUT\""); pos != std::string::npos;
             pos = log.find("\"method\": \"PUT\"", pos + 1)) {
            const std::size_t end = log.find("\"verdict\"", pos);
            if (log.substr(pos, end - pos).find("x-amz-copy-source") == std::string::npos)
                ++n;
        }
        return n;
    }
    // Mirrors until the index page stays the same: it lists itself with the
    // size of the page before it (none, then under 1 KiB, then its own).
    void settle(std::map<std::string, std::string> extra = {}) const
    {
        for (int i = 0; i < 3; ++i) {
            ToolRun mirror = run("", extra);
            ASSERT_EQ(mirror.status, 0) << mirror.out;
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, Rules, ::testing::ValuesIn(e2e::kEachStore), e2e::storeCaseName);

// The acceptance case: rules added after the first mirror reach every
// matching object on the next run by a copy in place, and no body is sent
// (checked three ways: no "upload:" block, the summary's "sent 0 (0 B)",
// and on moto every PUT of the run carries x-amz-copy-source).
TEST_P(Rules, ARuleAddedAfterTheFirstMirrorReachesEveryMatchingObjectWithNoBodySent)
{
    site.write("index.html", "<p>home</p>\n");
    site.write("blog/post.html", "<p>post</p>\n");
    site.write("sale/50% off.html", "<p>sale</p>\n"); // copied onto itself by its encoded name
    site.write("style.css", "body{}\n");
    settle();

    writeRulesFile("rules = [\n"
                   "  { match = \"*.html\", cache_control = \"max-age=60\","
                   " content_type = \"text/html; charset=utf-8\" },\n"
                   "  { match = \"*.css\", cache_control = \"max-age=3600\" },\n"
                   "]\n");
    ToolRun dry = run("-n");
    ASSERT_EQ(dry.status, 0) << dry.out;
    // The index page is an .html file like the others.
    EXPECT_EQ(linesStartingWith(dry.out, "would update headers: "),
              (std::vector<std::string>{"would update headers: blog/post.html",
                                        "would update headers: fileLists.html",
                                        "would update headers: index.html",
                                        "would update headers: sale/50% off.html",
                                        "would update headers: style.css"}))
        << dry.out;
    EXPECT_EQ(header(store->getObject(bucket, "index.html"), "cache-control"), "");

    if (proxy())
        proxy()->resetCounters();
    ToolRun second = run("");
    ASSERT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(e2e::uploadedKeys(second.out), std::set<std::string>()) << second.out;
    EXPECT_EQ(linesStartingWith(second.out, "update headers: "),
              (std::vector<std::string>{"update headers: blog/post.html", "update headers: fileLists.html",
                                        "update headers: index.html", "update headers: sale/50% off.html",
                                        "update headers: style.css"}))
        << second.out;
    EXPECT_NE(second.out.find("update headers: index.html\nsucceed\n"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("summary: sent 0 (0 B), failed 0, unchanged 5,"), std::string::npos)
        << second.out;
    if (proxy()) {
        EXPECT_EQ(bodyPuts(), 0) << proxy()->requestsJson();
        EXPECT_EQ(proxy()->counters().rejected, 0);
    }
    struct Want {
        const char *key, *type, *control, *body;
    };
    const std::string cssType = getFileContentType("style.css");
    for (const Want &w : {Want{"index.html", "text/html; charset=utf-8", "max-age=60", "<p>home</p>\n"},
                          Want{"blog/post.html", "text/html; charset=utf-8", "max-age=60", "<p>post</p>\n"},
                          Want{"sale/50% off.html", "text/html; charset=utf-8", "max-age=60", "<p>sale</p>\n"},
                          Want{"style.css", cssType.c_str(), "max-age=3600", "body{}\n"}}) {
        harness::StoredObject object = store->getObject(bucket, w.key);
        EXPECT_EQ(object.body, w.body) << w.key;
        EXPECT_EQ(object.contentType, w.type) << w.key;
        EXPECT_EQ(header(object, "cache-control"), w.control) << w.key;
        // The replace keeps what the tool stores beside the headers.
        EXPECT_EQ(header(object, "x-amz-meta-md5"), md5Hex(w.body)) << w.key;
        EXPECT_EQ(object.storageClass, storageClass()) << w.key;
        EXPECT_TRUE(store->isPublicRead(bucket, w.key)) << w.key;
    }

    ToolRun third = run("");
    ASSERT_EQ(third.status, 0) << third.out;
    EXPECT_EQ(linesStartingWith(third.out, "update headers: ").size(), 0u) << third.out;
    EXPECT_EQ(e2e::uploadedKeys(third.out), std::set<std::string>()) << third.out;
}

// Without a record (the cache off, or a new machine) only --refresh-headers
// can tell: it asks each unchanged object and mends those that differ, and
// asks again to find nothing left to mend.
TEST_P(Rules, RefreshHeadersMendsObjectsNoRecordDescribes)
{
    const std::map<std::string, std::string> noCache = {{"SITEMIRROR_DIGEST_CACHE", "off"}};
    site.write("a.html", "<p>a</p>\n");
    site.write("b.txt", "b\n");
    settle(noCache);
    writeRulesFile("rules = [ { match = \"a.html\", cache_control = \"no-cache\" } ]\n");

    ToolRun blind = run("", noCache);
    ASSERT_EQ(blind.status, 0) << blind.out;
    EXPECT_EQ(linesStartingWith(blind.out, "update headers: ").size(), 0u) << blind.out;

    ToolRun dry = run("-n --refresh-headers", noCache);
    EXPECT_EQ(linesStartingWith(dry.out, "would update headers: "),
              (std::vector<std::string>{"would update headers: a.html"}))
        << dry.out;
    EXPECT_EQ(header(store->getObject(bucket, "a.html"), "cache-control"), "");

    ToolRun refresh = run("--refresh-headers", noCache);
    ASSERT_EQ(refresh.status, 0) << refresh.out;
    EXPECT_EQ(linesStartingWith(refresh.out, "update headers: "),
              (std::vector<std::string>{"update headers: a.html"}))
        << refresh.out;
    EXPECT_EQ(header(store->getObject(bucket, "a.html"), "cache-control"), "no-cache");
    EXPECT_EQ(e2e::uploadedKeys(refresh.out), std::set<std::string>()) << refresh.out;

    ToolRun again = run("--refresh-headers", noCache);
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(linesStartingWith(again.out, "update headers: ").size(), 0u) << again.out;
}

// One tree, two buckets: each keeps its own record, so a rule change reaches
// both, each on its own run.
TEST_P(Rules, OneTreeMirroredToTwoBucketsKeepsTwoRecords)
{
    const std::string other = e2e::uniqueBucketName();
    store->createBucket(other);
    const std::map<std::string, std::string> toOther = {{"SITEMIRROR_BUCKET", other}};
    site.write("page.html", "<p>page</p>\n");
    settle();
    settle(toOther);

    writeRulesFile("rules = [ { match = \"*.html\", cache_control = \"max-age=5\" } ]\n");
    const std::vector<std::string> both = {"update headers: fileLists.html", "update headers: page.html"};
    ToolRun first = run("");
    EXPECT_EQ(linesStartingWith(first.out, "update headers: "), both) << first.out;
    ToolRun second = run("", toOther);
    EXPECT_EQ(linesStartingWith(second.out, "update headers: "), both) << second.out;
    EXPECT_EQ(header(store->getObject(other, "page.html"), "cache-control"), "max-age=5");
    EXPECT_EQ(linesStartingWith(run("").out, "update headers: ").size(), 0u);
}

// Encoded files: sent once as gzip or brotli with Content-Encoding, the
// Content-MD5 and ETag those of the encoded bytes (the proxy checks the
// first), unchanged on the next run; the page shows the file's own size and
// the summary counts the bytes sent.
TEST_P(Rules, EncodedFilesAreSentEncodedOnceAndThePageShowsTheirOwnSize)
{
    writeRulesFile("rules = [\n"
                   "  { match = \"*.html\", content_encoding = \"gzip\","
                   " content_type = \"text/html; charset=utf-8\" },\n"
                   "  { match = \"*.js\", content_encoding = \"br\" },\n"
                   "]\n");
    std::string html;
    for (int i = 0; i < 200; ++i)
        html += "<p>line " + std::to_string(i % 7) + " of a page that repeats</p>\n";
    const std::string js(3000, ';');
    site.write("index.html", html);
    site.write("app.js", js);
    site.write("plain.txt", "as it is\n");

    ToolRun first = run("");
    ASSERT_EQ(first.status, 0) << first.out;
    if (proxy()) {
        EXPECT_EQ(proxy()->counters().rejected, 0);
    }

    harness::StoredObject page = store->getObject(bucket, "index.html");
    EXPECT_EQ(header(page, "content-encoding"), "gzip");
    EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(gunzip(page.body), html);
    EXPECT_LT(page.body.size(), html.size() / 4);
    EXPECT_EQ(page.etag, md5Hex(page.body));
    EXPECT_EQ(header(page, "x-amz-meta-md5"), md5Hex(page.body));

    harness::StoredObject script = store->getObject(bucket, "app.js");
    EncodedFile brotli;
    ASSERT_TRUE(encodeBytes(js, "br", brotli));
    EXPECT_EQ(header(script, "content-encoding"), "br");
    EXPECT_EQ(script.body, brotli.strBody);
    EXPECT_EQ(script.contentType, "application/x-javascript");

    harness::StoredObject text = store->getObject(bucket, "plain.txt");
    EXPECT_EQ(header(text, "content-encoding"), "");
    EXPECT_EQ(text.body, "as it is\n");

    // The page lists the files' own sizes, not what was sent.
    const std::string strIndex = site.read("fileLists.html");
    EXPECT_NE(strIndex.find("[" + std::to_string(html.size() / 1024) + "K]"), std::string::npos) << strIndex;
    EXPECT_NE(strIndex.find("[" + std::to_string(js.size() / 1024) + "K]"), std::string::npos) << strIndex;
    // The summary counts the bytes as sent: the encoded sizes, the plain
    // file's own and the page's.
    const uint64_t nSent = page.body.size() + script.body.size() + text.body.size() +
                           store->getObject(bucket, "fileLists.html").body.size();
    EXPECT_NE(first.out.find("summary: sent 4 (" + std::to_string(nSent) + " B)"), std::string::npos)
        << first.out;

    settle();
    if (proxy())
        proxy()->resetCounters();
    ToolRun second = run("");
    ASSERT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(e2e::uploadedKeys(second.out), std::set<std::string>()) << second.out;
    EXPECT_EQ(linesStartingWith(second.out, "update headers: ").size(), 0u) << second.out;
    if (proxy()) {
        EXPECT_EQ(proxy()->counters().puts, 0);
    }

    // Changing the encoding is a change of the bytes stored: sent again.
    writeRulesFile("rules = [\n"
                   "  { match = \"index.html\", content_encoding = \"br\" },\n"
                   "  { match = \"fileLists.html\", content_encoding = \"gzip\","
                   " content_type = \"text/html; charset=utf-8\" },\n"
                   "  { match = \"*.js\", content_encoding = \"br\" },\n"
                   "]\n");
    ToolRun third = run("");
    ASSERT_EQ(third.status, 0) << third.out;
    EXPECT_EQ(e2e::uploadedKeys(third.out), (std::set<std::string>{"index.html"})) << third.out;
    EXPECT_EQ(header(store->getObject(bucket, "index.html"), "content-encoding"), "br");
}

// The one-file form applies the rules of the file's base name.
TEST_P(Rules, TheOneFileFormAppliesTheRules)
{
    writeRulesFile("rules = [ { match = \"*.html\", cache_control = \"max-age=9\","
                   " content_type = \"text/html; charset=utf-8\", content_encoding = \"gzip\" } ]\n");
    const std::string strPath = site.base() + "/solo.html";
    std::ofstream(strPath) << "<p>solo</p>\n";
    ToolRun one = run(e2e::quote(strPath));
    ASSERT_EQ(one.status, 0) << one.out;
    harness::StoredObject object = store->getObject(bucket, "solo.html");
    EXPECT_EQ(header(object, "cache-control"), "max-age=9");
    EXPECT_EQ(object.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(header(object, "content-encoding"), "gzip");
    EXPECT_EQ(gunzip(object.body), "<p>solo</p>\n");
    EXPECT_TRUE(store->isPublicRead(bucket, "solo.html"));
}

// A site in a folder of the bucket: rules match the path below the site
// root, so an anchored rule reaches its files in a mirror run, in header
// updates and in the one-file form, and a later rule does not take them.
TEST_P(Rules, RulesUnderABucketFolderMatchThePathBelowTheSiteRoot)
{
    writeRulesFile("rules = [\n"
                   "  { match = \"/assets/**\", cache_control = \"max-age=31536000\" },\n"
                   "  { match = \"/solo.html\", cache_control = \"max-age=5\" },\n"
                   "  { match = \"*.css\", cache_control = \"max-age=60\" },\n"
                   "]\n");
    site.write("assets/site.css", "body{}\n");
    site.write("other.css", "p{}\n");
    const std::map<std::string, std::string> inBlog = {{"SITEMIRROR_PREFIX", "blog/"}};
    ToolRun mirror = run("", inBlog);
    ASSERT_EQ(mirror.status, 0) << mirror.out;
    EXPECT_EQ(header(store->getObject(bucket, "blog/assets/site.css"), "cache-control"), "max-age=31536000");
    EXPECT_EQ(header(store->getObject(bucket, "blog/other.css"), "cache-control"), "max-age=60");

    const std::string strPath = site.base() + "/solo.html";
    std::ofstream(strPath) << "<p>solo</p>\n";
    ToolRun one = run(e2e::quote(strPath), inBlog);
    ASSERT_EQ(one.status, 0) << one.out;
    EXPECT_EQ(header(store->getObject(bucket, "blog/solo.html"), "cache-control"), "max-age=5");

    // A rule changed later reaches the stored object by a header update.
    writeRulesFile("rules = [ { match = \"/assets/**\", cache_control = \"no-cache\" },"
                   " { match = \"*.css\", cache_control = \"max-age=60\" } ]\n");
    ToolRun update = run("", inBlog);
    ASSERT_EQ(update.status, 0) << update.out;
    EXPECT_NE(update.out.find("update headers: blog/assets/site.css\n"), std::string::npos) << update.out;
    EXPECT_EQ(header(store->getObject(bucket, "blog/assets/site.css"), "cache-control"), "no-cache");
    EXPECT_EQ(header(store->getObject(bucket, "blog/other.css"), "cache-control"), "max-age=60");
}

// A store whose ETags are not MD5s (SSE-KMS): the ETag each upload answered
// is recorded, so the next run sends nothing and asks nothing; without the
// record each object is asked once (HEAD) for its x-amz-meta-md5.
TEST(OpaqueETags, FilesAreNotSentAgainToAStoreWhoseETagsAreNotMD5s)
{
    harness::StoreOptions options;
    options.opaqueETags = true;
    e2e::StoreRun run(options, "kms.example");
    for (int i = 0; i < 5; ++i)
        run.site.write("f" + std::to_string(i) + ".html", "<p>" + std::to_string(i) + "</p>\n");

    ToolRun first = run.mirror();
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(e2e::uploadedKeys(first.out).size(), 6u) << first.out;
    harness::StoredObject object = run.store.getObject(run.bucket, "f0.html");
    EXPECT_EQ(object.headers["x-amz-meta-md5"], md5Hex("<p>0</p>\n"));
    // The index page lists itself with the size of the page before it.
    ASSERT_EQ(run.mirror().status, 0);
    ASSERT_EQ(run.mirror().status, 0);

    for (int nRun = 0; nRun < 3; ++nRun) {
        run.store.resetCounters();
        ToolRun again = run.mirror();
        ASSERT_EQ(again.status, 0) << again.out;
        EXPECT_EQ(e2e::uploadedKeys(again.out), std::set<std::string>()) << nRun << again.out;
        EXPECT_EQ(run.store.counters().puts, 0) << nRun;
        EXPECT_EQ(run.store.requestsJson().find("\"method\": \"HEAD\""), std::string::npos) << nRun;
    }

    // No records: every object is asked once, none is sent again.
    run.store.resetCounters();
    ToolRun blind = run.mirror({{"SITEMIRROR_DIGEST_CACHE", "off"}});
    ASSERT_EQ(blind.status, 0) << blind.out;
    EXPECT_EQ(e2e::uploadedKeys(blind.out), std::set<std::string>()) << blind.out;
    EXPECT_EQ(run.store.counters().puts, 0);

    // A changed file of the same size, and an object another tool replaced
    // (same size, no x-amz-meta-md5), are sent again.
    run.site.write("f1.html", "<p>X</p>\n");
    run.store.putObject(run.bucket, "f2.html", "<p>y</p>\n");
    ToolRun changed = run.mirror();
    ASSERT_EQ(changed.status, 0) << changed.out;
    EXPECT_EQ(e2e::uploadedKeys(changed.out), (std::set<std::string>{"f1.html", "f2.html"})) << changed.out;
    EXPECT_EQ(run.store.getObject(run.bucket, "f2.html").body, "<p>2</p>\n");
}

// Headers the tool sent at their longest (a Cache-Control of 1,024 bytes)
// leave room in the answer for the digest it keeps beside them: a store whose
// ETags are not MD5s is asked, the digest found, and nothing is sent again.
TEST(OpaqueETags, ALongCacheControlDoesNotHideTheStoredDigest)
{
    harness::StoreOptions options;
    options.opaqueETags = true;
    e2e::StoreRun run(options, "kms-long.example");
    run.site.write("a.html", "<p>a</p>\n");
    ASSERT_EQ(::mkdir((run.site.base() + "/config").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((run.site.base() + "/config/sitemirror").c_str(), 0755), 0);
    std::ofstream(run.site.base() + "/config/sitemirror/config.toml")
        << "rules = [ { match = \"*.html\", cache_control = \"max-age=60, x="
        << std::string(1024 - 14, 'c') << "\" } ]\n";
    ToolRun first = run.mirror({{"SITEMIRROR_DIGEST_CACHE", "off"}});
    ASSERT_EQ(first.status, 0) << first.out;
    for (int nRun = 0; nRun < 2; ++nRun) {
        ToolRun again = run.mirror({{"SITEMIRROR_DIGEST_CACHE", "off"}});
        ASSERT_EQ(again.status, 0) << again.out;
        EXPECT_EQ(e2e::uploadedKeys(again.out).count("a.html"), 0u) << nRun << again.out;
        EXPECT_EQ(again.out.find("update headers: a.html"), std::string::npos) << again.out;
    }
}

// The time a file takes to compress is not sending time: an upload's life
// limit starts once its bytes are ready.
TEST(Compression, CompressingALargeFileDoesNotCountAgainstItsUploadTime)
{
    e2e::StoreRun run({}, "slow-brotli.example");
    std::string strBytes;
    std::ifstream random("/dev/urandom", std::ios::binary);
    strBytes.resize(12 << 20);
    random.read(&strBytes[0], static_cast<std::streamsize>(strBytes.size()));
    run.site.write("big.bin", strBytes);
    ASSERT_EQ(::mkdir((run.site.base() + "/config").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((run.site.base() + "/config/sitemirror").c_str(), 0755), 0);
    std::ofstream(run.site.base() + "/config/sitemirror/config.toml")
        << "rules = [ { match = \"*.bin\", content_encoding = \"br\" } ]\n";
    // A limit of 1 s for the one try (the request's own time-out is raised
    // for a large body); brotli takes longer than that over 12 MiB of bytes
    // it cannot shrink.
    const auto started = std::chrono::steady_clock::now();
    ToolRun sent = run.mirror({{"SITEMIRROR_REQUEST_TIMEOUT", "1"}, {"SITEMIRROR_RETRIES", "0"}});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(sent.status, 0) << seconds << " s\n" << sent.out;
    EXPECT_EQ(sent.out.find("longer than its limit"), std::string::npos) << sent.out;
    EXPECT_TRUE(run.store.getObject(run.bucket, "big.bin").exists);
}

// A store whose ETags are the MD5s, holding the site as another tool (or
// another endpoint of it) stored it, so no record describes an object: the
// listing alone tells a changed file from the unchanged ones, with no HEAD.
TEST(OpaqueETags, AStoreThatShowsItsETagsAreDigestsIsNotAskedAboutChangedFiles)
{
    e2e::StoreRun run(harness::StoreOptions(), "md5tags.example");
    for (int i = 0; i < 4; ++i)
        run.site.write("f" + std::to_string(i) + ".html", "<p>" + std::to_string(i) + "</p>\n");
    // The index page lists itself with the size of the page before it.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(run.mirror().status, 0);
    // The same size, other bytes; and one object replaced by another tool.
    run.site.write("f1.html", "<p>X</p>\n");
    run.store.putObject(run.bucket, "f2.html", "<p>y</p>\n");
    run.store.resetCounters();
    ToolRun changed = run.mirror({{"SITEMIRROR_DIGEST_CACHE", "off"}});
    ASSERT_EQ(changed.status, 0) << changed.out;
    EXPECT_EQ(e2e::uploadedKeys(changed.out), (std::set<std::string>{"f1.html", "f2.html"})) << changed.out;
    EXPECT_EQ(run.store.requestsJson().find("\"method\": \"HEAD\""), std::string::npos) << changed.out;
    EXPECT_EQ(run.store.getObject(run.bucket, "f2.html").body, "<p>2</p>\n");
}

// An update the store refuses prints its block with the refusal, fails the
// run, and leaves the record as it was, so the next run tries it again; one
// the store asks to slow down is tried again within the run.
TEST(HeaderUpdates, ARefusedUpdateFailsTheRunAndARetryableOneIsTriedAgain)
{
    harness::StoreOptions noAcls;
    noAcls.aclsDisabled = true;
    e2e::StoreRun refusing(noAcls, "noacl.example");
    refusing.site.write("a.html", "<p>a</p>\n");
    const std::map<std::string, std::string> aclNone = {{"SITEMIRROR_ACL", "none"}};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(refusing.mirror(aclNone).status, 0);
    // The canned ACL is a header the record does not have: an update, refused.
    for (int nRun = 0; nRun < 2; ++nRun) {
        ToolRun refused = refusing.mirror();
        EXPECT_EQ(refused.status, 1) << refused.out;
        EXPECT_NE(refused.out.find("update headers: a.html\nstatus:"), std::string::npos) << refused.out;
        EXPECT_NE(refused.out.find("code:AccessControlListNotSupported"), std::string::npos) << refused.out;
        EXPECT_NE(refused.out.find("summary: sent 0 (0 B), failed 2,"), std::string::npos) << refused.out;
    }
    EXPECT_EQ(linesStartingWith(refusing.mirror(aclNone).out, "update headers: ").size(), 0u);

    harness::StoreOptions slow;
    slow.slowDownPuts = 1;
    e2e::StoreRun slowed(slow, "slow.example");
    slowed.site.write("a.html", "<p>a</p>\n");
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(slowed.mirror().status, 0);
    ::mkdir((slowed.site.base() + "/config").c_str(), 0755);
    ::mkdir((slowed.site.base() + "/config/sitemirror").c_str(), 0755);
    std::ofstream(slowed.site.base() + "/config/sitemirror/config.toml")
        << "rules = [ { match = \"a.html\", cache_control = \"max-age=1\" } ]\n";
    slowed.store.resetCounters();
    ToolRun retried = slowed.mirror();
    ASSERT_EQ(retried.status, 0) << retried.out;
    const std::size_t posBlock = retried.out.find("update headers: a.html\nretry 1 of 3 in ");
    ASSERT_NE(posBlock, std::string::npos) << retried.out;
    EXPECT_NE(retried.out.find(" s: SlowDown\nsucceed\n", posBlock), std::string::npos) << retried.out;
    auto object = slowed.store.getObject(slowed.bucket, "a.html");
    EXPECT_EQ(object.headers["cache-control"], "max-age=1");
}

} // namespace
