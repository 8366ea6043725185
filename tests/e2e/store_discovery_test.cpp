// A store that refuses the designed signature, or names another region, is
// followed: the run goes on as the store asked, once per run, with one hint
// line naming the settings that make it permanent, and nothing it stored is
// sent twice.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "site.h"

namespace {

using e2e::Site;

int count(const std::string &text, const std::string &part)
{
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// A store that takes only V4 signatures, for a bucket in strRegion.
harness::StoreOptions v4OnlyIn(const std::string &strRegion)
{
    harness::StoreOptions options;
    options.refuseV2 = true;
    options.region = strRegion;
    return options;
}

TEST(StoreDiscovery, AV4OnlyStoreInAnotherRegionIsFollowedOncePerRunWithOneHintEach)
{
    harness::Store store(v4OnlyIn("eu-central-1"));
    const std::string bucket = "discovery";
    store.createBucket(bucket);
    Site site;
    site.writeKeyFile(harness::kAccessKeyId, harness::kSecretAccessKey);
    site.write("index.html", "<p>home</p>\n");
    site.write("a/b.css", "body{}\n");
    auto env = site.env(bucket, "http://" + store.endpoint());
    env["SITEMIRROR_JOBS"] = "1";

    // The designed V2 and region: refused twice, then everything as asked.
    e2e::ToolRun run = e2e::runTool("-q", env);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(count(run.out, "hint: the store asks for signature V4; the run goes on with it: "
                             "set SITEMIRROR_SIGNATURE=v4 to start with it\n"), 1)
        << run.out;
    EXPECT_EQ(count(run.out, "hint: the bucket is in region eu-central-1; the run goes on "
                             "there: set SITEMIRROR_REGION=eu-central-1 (or AWS_REGION) to "
                             "start there\n"), 1)
        << run.out;
    EXPECT_EQ(run.out.find("status:"), std::string::npos) << "no refusal is reported: " << run.out;
    EXPECT_EQ(store.getObject(bucket, "a/b.css").body, "body{}\n");
    harness::Counters counters = store.counters();
    EXPECT_EQ(counters.rejected, 2); // the first listing page, as V2, then in us-east-1
    EXPECT_EQ(counters.puts, 3);     // the page, index.html and a/b.css, each once

    // The next run finds its way again, and the settings the hints name
    // make it go straight there.
    site.write("index.html", "<p>home 2</p>\n");
    store.resetCounters();
    run = e2e::runTool("-q", env);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(count(run.out, "hint: "), 2) << run.out;
    EXPECT_EQ(store.counters().rejected, 2);
    env["SITEMIRROR_SIGNATURE"] = "v4";
    env["AWS_REGION"] = "eu-central-1";
    site.write("index.html", "<p>home 3</p>\n");
    store.resetCounters();
    run = e2e::runTool("-q", env);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(count(run.out, "hint: "), 0) << run.out;
    counters = store.counters();
    EXPECT_EQ(counters.rejected, 0);
    EXPECT_EQ(counters.puts, 1); // index.html (the page lists the same sizes)
    EXPECT_EQ(store.getObject(bucket, "index.html").body, "<p>home 3</p>\n");
}

TEST(StoreDiscovery, TheOneFileFormFollowsToo)
{
    harness::Store store(v4OnlyIn("ap-east-1"));
    const std::string bucket = "discovery-one";
    store.createBucket(bucket);
    Site site;
    site.writeKeyFile(harness::kAccessKeyId, harness::kSecretAccessKey);
    site.write("file.txt", "one\n");
    auto env = site.env(bucket, "http://" + store.endpoint());
    e2e::ToolRun run = e2e::runTool("-q " + e2e::quote(site.path("file.txt")), env);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "hint: the store asks for signature V4; the run goes on with it: set "
                       "SITEMIRROR_SIGNATURE=v4 to start with it\n"
                       "hint: the bucket is in region ap-east-1; the run goes on there: set "
                       "SITEMIRROR_REGION=ap-east-1 (or AWS_REGION) to start there\n"
                       "succeed\n");
    EXPECT_EQ(store.getObject(bucket, "file.txt").body, "one\n");
    EXPECT_EQ(store.counters().puts, 3); // refused as V2, refused in us-east-1, stored
}

} // namespace
