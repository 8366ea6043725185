// The mirror run under the faults of real networks: gateways that answer for
// the store, a proxy restarted in the middle of a run, a store that is gone,
// and a digest the store refused.
#include <gtest/gtest.h>

#include <ctime>

#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "digestcache.h"
#include "harness.h"
#include "site.h"

namespace {

using e2e::Site;
using e2e::ToolRun;

// One store per case, without libcurl's trace.
struct StoreRun : e2e::StoreRun {
    explicit StoreRun(harness::StoreOptions options = {})
        : e2e::StoreRun(options, "faults.example", "-q")
    {
    }
};

std::string fileName(int i)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "f%03d.html", i);
    return sz;
}

std::string fileBody(int i) { return std::string(static_cast<std::size_t>(50 + i * 13), 'a' + i % 26); }

// Every upload and every listing page is first answered by the gateway (502
// HTML, 503 text, 504 empty, in turn): all of them are tried again, and the
// listing still reaches its last page, so the second run sends nothing new.
TEST(Faults, GatewayAnswersToFirstTriesAreRetriedAndTheWholeSiteArrives)
{
    harness::StoreOptions options;
    options.gatewayFirstTries = true;
    StoreRun run(options);
    // Enough stored objects for a listing of two pages and the empty third.
    char sz[32];
    for (int i = 0; i < 1000; ++i) {
        std::snprintf(sz, sizeof sz, "old/k%04d", i);
        run.store.putObject(run.bucket, sz, "");
    }
    for (int i = 0; i < 12; ++i)
        run.site.write(fileName(i), fileBody(i));

    ToolRun first = run.mirror();
    ASSERT_EQ(first.status, 0) << first.out;
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(run.store.getObject(run.bucket, fileName(i)).body, fileBody(i)) << i;
    // Each of the 13 uploads and each of the three listing pages once.
    std::size_t nRetries = 0, nListingRetries = 0;
    for (const std::string &line : e2e::lines(first.out)) {
        nRetries += line.rfind("retry 1 of 3 in ", 0) == 0;
        nListingRetries += line.rfind("retry 1 of 3 in ", 0) == 0 &&
                           line.size() > 8 && line.compare(line.size() - 8, 8, " listing") == 0;
    }
    EXPECT_EQ(nRetries, 16u) << first.out;
    EXPECT_EQ(nListingRetries, 3u) << first.out;
    EXPECT_EQ(first.out.find("retry 2 of 3"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("status:119\n"), std::string::npos) << first.out; // 502 HTML
    EXPECT_NE(first.out.find("status:121\n"), std::string::npos) << first.out; // 504 empty
    EXPECT_NE(first.out.find("summary: sent 13 ("), std::string::npos) << first.out;
    EXPECT_NE(first.out.find(", failed 0,"), std::string::npos) << first.out;

    // The listing saw the 1,000 old objects and the 12 pages: only the index
    // page (which names them) may go up again.
    ToolRun second = run.mirror();
    ASSERT_EQ(second.status, 0) << second.out;
    std::set<std::string> keys = e2e::uploadedKeys(second.out);
    EXPECT_TRUE(keys.empty() || keys == std::set<std::string>{"fileLists.html"}) << second.out;
}

// The proxy drops every connection, and refuses new ones, for 0.3 s while 32
// uploads are in flight: far more tries fail at once than the stop guard's
// ten, yet each file gets its retries, and nothing is lost.
TEST(Faults, ProxyRestartedMidRunAtThirtyTwoJobsLosesNothing)
{
    harness::StoreOptions options;
    options.blipAfterPuts = 40;
    options.blipMs = 300;
    StoreRun run(options);
    const int nFiles = 160;
    for (int i = 0; i < nFiles; ++i)
        run.site.write(fileName(i), fileBody(i));

    ToolRun first = run.mirror({{"SITEMIRROR_JOBS", "32"}});
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(first.out.find("stopped sending"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("retry 1 of 3 in "), std::string::npos) << first.out;
    for (int i = 0; i < nFiles; ++i)
        EXPECT_EQ(run.store.getObject(run.bucket, fileName(i)).body, fileBody(i)) << i;
    EXPECT_NE(first.out.find(", failed 0,"), std::string::npos) << first.out;
}

// A store that drops every upload: after ten files that could not reach it,
// the rest are not tried, and each of them still prints its whole block.
TEST(Faults, FilesNeverStartedAfterTheStopKeepTheirWholeBlocks)
{
    harness::FaultServer server("cut-puts");
    Site site;
    site.writeKeyFile(harness::kAccessKeyId, harness::kSecretAccessKey);
    for (int i = 0; i < 14; ++i)
        site.write(fileName(i), fileBody(i));
    auto vars = site.env("faults.example", "http://" + server.endpoint());
    vars["SITEMIRROR_RETRIES"] = "0";
    vars["SITEMIRROR_JOBS"] = "1";
    ToolRun run = e2e::runTool("-q", vars);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("stopped sending: 10 uploads in a row could not reach the store\n"),
              std::string::npos)
        << run.out;

    std::vector<std::string> keys = {"fileLists.html"};
    for (int i = 0; i < 14; ++i)
        keys.push_back(fileName(i));
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> lines = e2e::lines(run.out);
    int nNotSent = 0;
    for (const std::string &key : keys) {
        auto it = std::find(lines.begin(), lines.end(), "DirectionUpload:" + key);
        ASSERT_NE(it, lines.end()) << key << "\n" << run.out;
        ASSERT_GE(lines.end() - it, 4) << run.out;
        EXPECT_EQ(it[2], "upload:" + site.path(key) + " ; " + key) << run.out;
        if (it[3] == "not sent: the store could not be reached") {
            ++nNotSent;
            EXPECT_EQ(it[4], "upload error: bucket: faults.example key:" + key +
                                 " path:" + site.path(key))
                << run.out;
        }
    }
    EXPECT_EQ(nNotSent, 5) << run.out;
}

// A digest the store refused (its bytes are not the ones the digest was made
// of) is not kept: the next run reads the file again and finds it stored.
TEST(Faults, ARefusedDigestIsForgottenSoTheNextRunReadsTheFileAgain)
{
    StoreRun s;
    s.site.write("page.html", "<p>first</p>\n");
    ASSERT_EQ(s.mirror().status, 0);
    ASSERT_EQ(s.mirror().status, 0); // the index page settles

    // A wrong digest for page.html in the cache, as a run that started a minute
    // later would have remembered it (a run does not remember the digest of a
    // file changed just before it).
    const std::string strDir = s.site.base() + "/cache/sitemirror";
    struct stat st;
    ASSERT_EQ(::stat(s.site.path("page.html").c_str(), &st), 0);
    {
        DigestCache cache(strDir, s.site.root());
        cache.load();
        cache.setScanStart({std::time(nullptr) + 60, 0});
        cache.store("page.html", st, std::string(32, '0'));
        ASSERT_TRUE(cache.save());
    }

    ToolRun refused = s.mirror();
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("file changed during the run: " + s.site.path("page.html")),
              std::string::npos)
        << refused.out;

    // The refused digest is gone from the cache, not kept for the next run.
    {
        DigestCache cache(strDir, s.site.root());
        cache.load();
        std::string strTag;
        EXPECT_FALSE(cache.lookup("page.html", st, strTag)) << strTag;
    }

    ToolRun next = s.mirror();
    EXPECT_EQ(next.status, 0) << next.out;
    EXPECT_EQ(e2e::uploadedKeys(next.out).count("page.html"), 0u) << next.out;
}

} // namespace
