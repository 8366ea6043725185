// The documented deploy step, taken from docs/deploying.md and run as written with
// the environment a CI runner gives it: against moto behind the checking
// proxy, and moto's CloudFront for the invalidation.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cloudfront.h"
#include "harness.h"
#include "site.h"

namespace {

using e2e::ToolRun;

// The first sh block under the "Deploying from CI" heading.
std::string deployStep()
{
    std::ifstream in(SITEMIRROR_SOURCE_DIR "/docs/deploying.md");
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string doc = ss.str();
    const std::size_t section = doc.find("\n## Deploying from CI\n");
    if (section == std::string::npos)
        throw std::runtime_error("docs/deploying.md has no Deploying from CI section");
    const std::size_t start = doc.find("\n```sh\n", section);
    const std::size_t next = doc.find("\n## ", section + 1);
    if (start == std::string::npos || (next != std::string::npos && start > next))
        throw std::runtime_error("the Deploying from CI section has no sh block");
    const std::size_t body = start + 7;
    const std::size_t end = doc.find("\n```\n", body);
    return doc.substr(body, end - body + 1);
}

TEST(DocumentedDeployStep, RunsAsWrittenWithTheRunnersEnvironment)
{
    const std::string step = deployStep();
    harness::StoreOptions options;
    options.region = "eu-west-1"; // the region the step names
    e2e::StoreRun run(options, "www.example.org");
    e2e::Site &work = run.site; // its folder stands for the runner's checkout
    const std::string checkout = work.base() + "/checkout";
    ASSERT_EQ(::mkdir(checkout.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((checkout + "/public").c_str(), 0755), 0);
    std::ofstream(checkout + "/public/index.html") << "<h1>blog</h1>";
    std::ofstream(checkout + "/public/post.html") << "post";
    std::ofstream(work.base() + "/deploy.sh") << step;

    // The bucket holds another site beside the blog, the blog as it was
    // deployed before, and a page the blog dropped since (one of three: less
    // than the share a run may delete).
    run.store.putObject(run.bucket, "shop/index.html", "shop");
    run.store.putObject(run.bucket, "blog/index.html", "<h1>old blog</h1>");
    run.store.putObject(run.bucket, "blog/post.html", "old post");
    run.store.putObject(run.bucket, "blog/old.html", "gone from the site");

    const std::string moto = run.store.motoEndpoint();
    e2e::MotoCloudFront cloudFront(moto);
    const std::string distribution = cloudFront.createDistribution(run.bucket);

    // What the runner provides; where this store and its CloudFront are; the
    // tool on the PATH. No key file: the credentials come from the environment.
    const char *path = std::getenv("PATH");
    const std::string binary = SITEMIRROR_BINARY;
    const std::map<std::string, std::string> env = {
        {"AWS_ACCESS_KEY_ID", harness::kAccessKeyId},
        {"AWS_SECRET_ACCESS_KEY", harness::kSecretAccessKey},
        {"CDN_DISTRIBUTION", distribution},
        {"SITEMIRROR_KEY_FILE", ""},
        {"SITEMIRROR_ENDPOINT", "http://" + run.store.endpoint()},
        {"SITEMIRROR_CLOUDFRONT_ENDPOINT", "http://" + moto},
        {"SITEMIRROR_CA_FILE", ""},
        {"HOME", work.base()},
        {"XDG_CONFIG_HOME", work.base() + "/config"},
        {"XDG_CACHE_HOME", work.base() + "/cache"},
        {"PATH", binary.substr(0, binary.rfind('/')) + ":" + (path ? path : "/usr/bin:/bin")},
    };
    std::string out, err;
    const int status = harness::runCommand("cd " + e2e::quote(checkout) + " && sh " +
                                               e2e::quote(work.base() + "/deploy.sh"),
                                           &out, &err, env, 120);
    ASSERT_EQ(status, 0) << step << "\n" << out << err;

    // The blog under its folder, the dropped page gone, the shop untouched.
    EXPECT_EQ(run.store.getObject(run.bucket, "blog/index.html").body, "<h1>blog</h1>");
    EXPECT_EQ(run.store.getObject(run.bucket, "blog/post.html").body, "post");
    EXPECT_TRUE(run.store.getObject(run.bucket, "blog/fileLists.html").exists);
    EXPECT_FALSE(run.store.getObject(run.bucket, "blog/old.html").exists) << out;
    EXPECT_EQ(run.store.getObject(run.bucket, "shop/index.html").body, "shop");

    // One invalidation of what changed, as the run announced it.
    const std::vector<std::string> made = cloudFront.invalidations(distribution);
    ASSERT_EQ(made.size(), 1u) << out;
    EXPECT_NE(out.find("invalidation: " + made[0] + " ("), std::string::npos) << out;
    EXPECT_EQ(cloudFront.paths(distribution, made[0]),
              (std::set<std::string>{"/blog/", "/blog/index.html", "/blog/post.html",
                                     "/blog/fileLists.html", "/blog/old.html"}))
        << out;
}

} // namespace
