// The Cloudflare purge after a run, against a stand-in that checks the
// bearer token, the zone and the batch size as the API does: which URLs are
// purged, in batches of at most 30, everything above the limit, a refusal
// tried again, and one that fails the run with the API's words while the
// files stay stored. The token is never printed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <vector>

#include "cloudfront.h"
#include "harness.h"
#include "site.h"

namespace {

using e2e::ToolRun;
using nlohmann::json;

const char kToken[] = "cf-test-token-0123456789abcdef";
const char kZone[] = "0123abcd0123abcd0123abcd0123abcd";

class Purge : public e2e::StoreSuite {
protected:
    ToolRun run(const e2e::StandInServer &cloudflare, const std::string &args = "-q",
                std::map<std::string, std::string> extra = {})
    {
        auto vars = env();
        vars["SITEMIRROR_CLOUDFLARE_ZONE"] = kZone;
        vars["SITEMIRROR_CLOUDFLARE_ENDPOINT"] = "http://" + cloudflare.endpoint();
        vars["CLOUDFLARE_API_TOKEN"] = kToken;
        vars["SITEMIRROR_SITE_URL"] = "https://www.example.org/";
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        return e2e::runTool(args, vars);
    }
    static std::vector<std::string> standIn(std::vector<std::string> extra = {})
    {
        std::vector<std::string> argv = {"python3",
                                         SITEMIRROR_SOURCE_DIR "/tests/e2e/cloudflare_standin.py",
                                         "--token", kToken, "--zone", kZone};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
    // What the stand-in saw, one object per request.
    static std::vector<json> seen(const e2e::StandInServer &cloudflare)
    {
        std::vector<json> requests;
        for (const std::string &line : e2e::lines(cloudflare.get("/__check__/requests")))
            requests.push_back(json::parse(line));
        return requests;
    }
};

TEST_F(Purge, ChangedUrlsArePurgedInBatchesOfThirtyAndTheTokenIsNeverShown)
{
    e2e::StandInServer cloudflare(standIn());
    for (int i = 0; i < 40; ++i)
        site.write("p/" + std::to_string(100 + i) + ".html", "page\n");
    site.write("docs/index.html", "docs\n");
    site.write("a b.html", "space\n");
    const ToolRun r = run(cloudflare, "--output json");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<json> requests = seen(cloudflare);
    ASSERT_EQ(requests.size(), 2u);
    std::set<std::string> urls;
    for (const json &request : requests) {
        EXPECT_EQ(request["verdict"], "ok") << request;
        EXPECT_LE(request["body"]["files"].size(), 30u);
        for (const json &url : request["body"]["files"])
            urls.insert(url.get<std::string>());
    }
    // 40 pages, the folder's index page under both its addresses, the
    // encoded space, the index page.
    EXPECT_EQ(urls.size(), 44u);
    EXPECT_TRUE(urls.count("https://www.example.org/docs/index.html"));
    EXPECT_TRUE(urls.count("https://www.example.org/docs/"));
    EXPECT_TRUE(urls.count("https://www.example.org/a%20b.html"));
    EXPECT_TRUE(urls.count("https://www.example.org/fileLists.html"));
    EXPECT_NE(r.out.find("{\"event\":\"purge\",\"v\":1,\"zone\":\"" + std::string(kZone) +
                         "\",\"urls\":44,\"everything\":false}"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("\npurge: 44 URLs\n"), std::string::npos) << r.err;
    EXPECT_EQ((r.out + r.err).find(kToken), std::string::npos);
    const ToolRun help = run(cloudflare, "-h");
    EXPECT_EQ(help.out.find(kToken), std::string::npos);
    EXPECT_NE(help.out.find("CLOUDFLARE_API_TOKEN set"), std::string::npos) << help.out;

    // Nothing changed: no purge.
    run(cloudflare); // the page now lists itself
    const std::size_t nBefore = seen(cloudflare).size();
    const ToolRun same = run(cloudflare);
    ASSERT_EQ(same.status, 0) << same.out;
    EXPECT_TRUE(e2e::uploadedKeys(same.out).empty()) << same.out;
    EXPECT_EQ(seen(cloudflare).size(), nBefore);
}

TEST_F(Purge, AboveTheLimitEverythingIsPurgedOnce)
{
    e2e::StandInServer cloudflare(standIn());
    for (int i = 0; i < 5; ++i)
        site.write(std::to_string(i) + ".css", "x\n");
    const ToolRun r = run(cloudflare, "-q", {{"SITEMIRROR_PURGE_MAX_URLS", "4"}});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<json> requests = seen(cloudflare);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["body"], json({{"purge_everything", true}}));
    EXPECT_NE(r.out.find("\npurge: everything for 6 changed keys\n"), std::string::npos) << r.out;
}

TEST_F(Purge, AThrottledPurgeIsTriedAgain)
{
    e2e::StandInServer cloudflare(standIn({"--refuse-first", "1"}));
    site.write("a.html", "a\n");
    const ToolRun r = run(cloudflare, "-q");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<json> requests = seen(cloudflare);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["verdict"], "throttled");
    EXPECT_EQ(requests[1]["verdict"], "ok");
    EXPECT_EQ(requests[0]["body"], requests[1]["body"]);
    EXPECT_NE(r.out.find("purge: HTTP 429: 971 Please wait"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\npurge: 2 URLs\n"), std::string::npos) << r.out;
}

TEST_F(Purge, ARefusalFailsTheRunWithTheApisErrorButTheFilesAreStored)
{
    e2e::StandInServer cloudflare(standIn({"--refuse-all"}));
    site.write("a.html", "a\n");
    const ToolRun r = run(cloudflare, "-q");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(store->getObject(bucket, "a.html").exists);
    EXPECT_NE(r.out.find("purge failed: zone " + std::string(kZone) +
                         ": HTTP 403: 10000 Authentication error: zone not allowed (the files "
                         "are stored; the CDN may serve old copies until they expire)"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(seen(cloudflare).size(), 1u) << "a refusal is not tried again";

    // A wrong token is the API's to refuse; it is never printed either.
    const ToolRun wrong = run(cloudflare, "-q", {{"CLOUDFLARE_API_TOKEN", "not-the-token"}});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.out.find("not-the-token"), std::string::npos);
}

TEST_F(Purge, AZoneWithoutATokenOrATokenInTheRulesFileIsRefusedBeforeSending)
{
    e2e::StandInServer cloudflare(standIn());
    site.write("a.html", "a\n");
    const ToolRun r = run(cloudflare, "-q", {{"CLOUDFLARE_API_TOKEN", ""}});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("invalid setting: SITEMIRROR_CLOUDFLARE_ZONE=" + std::string(kZone) +
                         " (CLOUDFLARE_API_TOKEN is not set in the environment)"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(store->getObject(bucket, "a.html").exists);
    EXPECT_TRUE(seen(cloudflare).empty());
}

} // namespace
