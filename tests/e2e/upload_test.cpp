// Uploads in flight at once, retried and refused, through store modes that
// behave like the stores in use today; the cases without a mode on the real
// store (radosgw) as well.
#include <gtest/gtest.h>

#include <ctime>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "digestcache.h"
#include "harness.h"
#include "site.h"

namespace {

using e2e::Site;
using e2e::ToolRun;

using e2e::StoreRun;

std::string pageName(int i)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "p%03d.html", i);
    return sz;
}

std::string pageBody(int i) { return std::string(static_cast<std::size_t>(100 + i * 37), 'a' + i % 26); }

// The keys of the "upload:" lines in the order they were printed, each checked
// to be followed by its own outcome lines before the next block begins.
std::vector<std::string> blockKeys(const std::string &out)
{
    std::vector<std::string> keys;
    for (const std::string &line : e2e::lines(out)) {
        if (line.rfind("upload:", 0) == 0)
            keys.push_back(line.substr(line.find(" ; ") + 3));
        if ((line.rfind("upload error:", 0) == 0 || line.rfind("retry ", 0) == 0) &&
            !keys.empty()) {
            EXPECT_NE(line.find("key:" + keys.back()), std::string::npos) << line;
        }
    }
    return keys;
}

// The cases that need no store mode run on moto and on radosgw alike; what
// the proxy counts is checked on moto only.
class UploadsOnEachStore : public e2e::OnEachStore {
protected:
    ToolRun mirror(std::map<std::string, std::string> extra = {})
    {
        auto vars = env();
        vars["SITEMIRROR_RETRIES"] = "3";
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        return e2e::runTool("", vars);
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, UploadsOnEachStore, ::testing::ValuesIn(e2e::kEachStore),
                         e2e::storeCaseName);

TEST_P(UploadsOnEachStore, ManyInFlightAreStoredIntactInKeyOrderBlocks)
{
    for (int i = 0; i < 40; ++i)
        site.write(pageName(i), pageBody(i));
    if (proxy())
        proxy()->resetCounters();
    ToolRun first = mirror({{"SITEMIRROR_JOBS", "8"}});
    ASSERT_EQ(first.status, 0) << first.out;
    if (proxy()) {
        harness::Counters c = proxy()->counters();
        EXPECT_GT(c.maxInFlight, 1);
        EXPECT_LE(c.maxInFlight, 8);
    }
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(store->getObject(bucket, pageName(i)).body, pageBody(i)) << i;
    std::vector<std::string> keys = blockKeys(first.out);
    ASSERT_EQ(keys.size(), 41u) << first.out;
    // Blocks in key order within each phase: the pages, then the index page.
    EXPECT_EQ(keys.back(), "fileLists.html") << first.out;
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end() - 1)) << first.out;
    EXPECT_NE(first.out.find("summary: sent 41 ("), std::string::npos) << first.out;
}

TEST(Uploads, OneJobSendsOneRequestAtATimeOverOneConnection)
{
    StoreRun run;
    for (int i = 0; i < 12; ++i)
        run.site.write(pageName(i), pageBody(i));
    run.store.resetCounters();
    ToolRun first = run.mirror({{"SITEMIRROR_JOBS", "1"}});
    ASSERT_EQ(first.status, 0) << first.out;
    harness::Counters c = run.store.counters();
    EXPECT_EQ(c.maxInFlight, 1);
    EXPECT_LE(c.connections, 2);
    EXPECT_EQ(c.puts, 13);
}

TEST(Uploads, SlowDownIsRetriedUntilStoredAndAlwaysSlowDownGivesUp)
{
    harness::StoreOptions twice;
    twice.slowDownPuts = 2;
    StoreRun run(twice);
    run.site.write("a.html", "a\n");
    ToolRun ok = run.mirror();
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_EQ(run.store.getObject(run.bucket, "a.html").body, "a\n");
    EXPECT_NE(ok.out.find("retry 1 of 3 in "), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("retry 2 of 3 in "), std::string::npos) << ok.out;
    EXPECT_EQ(ok.out.find("retry 3 of 3"), std::string::npos) << ok.out;

    harness::StoreOptions always;
    always.slowDownPuts = -1;
    StoreRun never(always);
    never.site.write("a.html", "a\n");
    never.store.resetCounters();
    ToolRun failed = never.mirror({{"SITEMIRROR_RETRIES", "2"}});
    EXPECT_EQ(failed.status, 1) << failed.out;
    // a.html three times; the index page waits for the pages, so is not sent.
    EXPECT_EQ(never.store.counters().puts, 3);
    EXPECT_NE(failed.out.find("failed 2,"), std::string::npos) << failed.out;
}

TEST(Uploads, RefusalIsNotRetriedAndLeavesTheOthersStored)
{
    harness::StoreOptions options;
    options.storageClasses = {"STANDARD"};
    StoreRun run(options);
    for (int i = 0; i < 6; ++i)
        run.site.write(pageName(i), pageBody(i));
    run.store.resetCounters();
    ToolRun refused = run.mirror(); // every PUT names REDUCED_REDUNDANCY
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(run.store.counters().puts, 6) << refused.out; // not the index page after them
    EXPECT_EQ(refused.out.find("retry "), std::string::npos) << refused.out;

    ToolRun standard = run.mirror({{"SITEMIRROR_STORAGE_CLASS", "STANDARD"}});
    EXPECT_EQ(standard.status, 0) << standard.out;
    EXPECT_EQ(run.store.getObject(run.bucket, pageName(3)).body, pageBody(3));
}

TEST(Uploads, ConnectionDroppedMidBodyIsRetriedAndStored)
{
    // Cut twice: the first upload may go out on the listing's kept
    // connection, and the client sends a body cut off there again by itself
    // once; the second cut is the run's to retry.
    harness::StoreOptions options;
    options.dropMidBodyKey = "big.bin";
    options.dropMidBodyTries = 2;
    StoreRun run(options);
    const std::string body(300000, 'z');
    run.site.write("big.bin", body);
    ToolRun out = run.mirror();
    EXPECT_EQ(out.status, 0) << out.out;
    EXPECT_TRUE(run.store.getObject(run.bucket, "big.bin").body == body);
    EXPECT_NE(out.out.find("retry 1 of 3 in "), std::string::npos) << out.out;
}

// A page goes live only after what it links to: an asset that failed keeps
// every page (and the index page) back for the next run, which sends them.
TEST(Uploads, APageIsNotSentWhileAnAssetOfAnEarlierPhaseFailed)
{
    harness::StoreOptions options;
    options.dropMidBodyKey = "style.css";
    options.dropMidBodyTries = 2;
    StoreRun run(options);
    run.site.write("style.css", std::string(300000, 's'));
    run.site.write("logo.png", "png");
    run.site.write("index.html", "<link rel=stylesheet href=style.css>\n");
    ToolRun failed = run.mirror({{"SITEMIRROR_RETRIES", "0"}});
    EXPECT_EQ(failed.status, 1) << failed.out;
    EXPECT_NE(failed.out.find("not sending pages: 1 file of an earlier phase failed\n"), std::string::npos)
        << failed.out;
    EXPECT_TRUE(run.store.getObject(run.bucket, "logo.png").exists);
    EXPECT_FALSE(run.store.getObject(run.bucket, "index.html").exists) << failed.out;
    EXPECT_FALSE(run.store.getObject(run.bucket, "fileLists.html").exists) << failed.out;
    // The asset, the page and the index page count as failed.
    EXPECT_NE(failed.out.find("failed 3,"), std::string::npos) << failed.out;

    ToolRun next = run.mirror();
    EXPECT_EQ(next.status, 0) << next.out;
    EXPECT_EQ(e2e::uploadedKeys(next.out),
              (std::set<std::string>{"fileLists.html", "index.html", "style.css"}))
        << next.out;
}

std::size_t countOf(const std::string &out, const std::string &part)
{
    std::size_t n = 0;
    for (std::size_t pos = out.find(part); pos != std::string::npos; pos = out.find(part, pos + 1))
        ++n;
    return n;
}

TEST(Uploads, EachRefusalOfTodaysStoresGivesItsHintOnce)
{
    struct Row {
        const char *what;
        harness::StoreOptions options;
        std::map<std::string, std::string> extra;
        const char *hint;
    };
    // (A refused V2 signature and another region are followed instead: the
    // store discovery tests.)
    harness::StoreOptions noAcls, standardOnly, moved;
    noAcls.aclsDisabled = true;
    standardOnly.storageClasses = {"STANDARD"};
    moved.redirectEndpoint = "s3.eu-west-1.example";
    Row rows[] = {
        {"no ACLs", noAcls, {}, "set SITEMIRROR_ACL=none"},
        {"class unknown", standardOnly, {}, "set SITEMIRROR_STORAGE_CLASS"},
        {"moved", moved, {}, "SITEMIRROR_ENDPOINT=s3.eu-west-1.example"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        StoreRun run(row.options);
        run.site.write("a.html", "a\n");
        run.site.write("b.html", "b\n");
        ToolRun out = run.mirror(row.extra);
        EXPECT_EQ(out.status, 1);
        EXPECT_EQ(countOf(out.out, row.hint), 1u) << out.out;
    }
}

TEST(Uploads, StoreWithoutV2AclsOrReducedRedundancyTakesTheSettingsAndConverges)
{
    harness::StoreOptions options;
    options.refuseV2 = true;
    options.aclsDisabled = true;
    options.storageClasses = {"STANDARD"};
    StoreRun run(options);
    run.site.write("a b+c%.html", "awkward\n");
    run.site.write("personal/x.html", "mine\n");
    std::map<std::string, std::string> fix = {{"SITEMIRROR_SIGNATURE", "v4"},
                                              {"SITEMIRROR_ACL", "none"},
                                              {"SITEMIRROR_STORAGE_CLASS", "STANDARD"}};
    ToolRun first = run.mirror(fix);
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(run.store.getObject(run.bucket, "a b+c%.html").body, "awkward\n");
    run.mirror(fix); // the index page settles
    run.store.resetCounters();
    ToolRun again = run.mirror(fix);
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(run.store.counters().puts, 0) << again.out;
}

} // namespace

namespace {

TEST(Uploads, TenConnectionFailuresInARowStopTheRunAndTheRestCountAsFailed)
{
    harness::FaultServer server("cut-puts");
    Site site;
    site.writeKeyFile(harness::kAccessKeyId, harness::kSecretAccessKey);
    for (int i = 0; i < 14; ++i)
        site.write(pageName(i), pageBody(i));
    auto vars = site.env("up.example", "http://" + server.endpoint());
    vars["SITEMIRROR_RETRIES"] = "0";
    vars["SITEMIRROR_JOBS"] = "1";
    ToolRun run = e2e::runTool("", vars);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("stopped sending: 10 uploads in a row could not reach the store\n"),
              std::string::npos)
        << run.out;
    // The listing, the listing of unfinished uploads, then ten uploads: the
    // other five files (the page among them) are not tried.
    EXPECT_EQ(server.requestsSeen(), 12) << run.out;
    EXPECT_NE(run.out.find("summary: sent 0 (0 B), failed 15, unchanged 0"), std::string::npos)
        << run.out;
}

TEST_P(UploadsOnEachStore, AFileWhoseBytesNoLongerMatchItsDigestIsRefusedAndNamed)
{
    // The store itself refuses the body: its Content-MD5 no longer matches (BadDigest).
    site.write("page.html", "<p>first</p>\n");
    ASSERT_EQ(mirror().status, 0);

    // Make the scan's digest of page.html wrong, as if the file had changed
    // after it was read: the digest cache is the one place that holds it. The
    // file is too new for a run to remember its digest, so the entry is
    // written here, as a run that started a minute later would have.
    DigestCache cache(site.base() + "/cache/sitemirror", site.root());
    cache.load();
    cache.setScanStart({std::time(nullptr) + 60, 0});
    struct stat st;
    ASSERT_EQ(::stat(site.path("page.html").c_str(), &st), 0);
    cache.store("page.html", st, std::string(32, '0'));
    ASSERT_TRUE(cache.save());

    ToolRun run = mirror();
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("file changed during the run: " + site.path("page.html")),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("retry "), std::string::npos) << run.out; // a refusal is final
    EXPECT_EQ(store->getObject(bucket, "page.html").body, "<p>first</p>\n");
}

} // namespace
