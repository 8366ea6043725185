// The documented deploy steps, taken from docs/deploying.md and run as written with
// the environment a CI runner gives it: against moto behind the checking
// proxy, and moto's CloudFront for the invalidation.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

// The first block fenced as strLanguage under the heading strHeading.
std::string docBlock(const std::string &strHeading, const std::string &strLanguage)
{
    std::ifstream in(SITEMIRROR_SOURCE_DIR "/docs/deploying.md");
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string doc = ss.str();
    const std::size_t section = doc.find("\n" + strHeading + "\n");
    if (section == std::string::npos)
        throw std::runtime_error("docs/deploying.md has no " + strHeading);
    const std::string fence = "\n```" + strLanguage + "\n";
    const std::size_t start = doc.find(fence, section);
    const std::size_t next = doc.find("\n##", section + 1);
    if (start == std::string::npos || (next != std::string::npos && start > next))
        throw std::runtime_error(strHeading + " has no " + strLanguage + " block");
    const std::size_t body = start + fence.size();
    const std::size_t end = doc.find("\n```\n", body);
    return doc.substr(body, end - body + 1);
}

// A checkout with the documented rules file and a site in public/, the two
// buckets it names on a store of the region it names, and what a runner
// gives every step. Its folder stands for the runner's checkout.
struct CiCheckout {
    CiCheckout() : run(options(), "www.example.org")
    {
        run.store.createBucket("staging.example.org");
        dir = run.site.base() + "/checkout";
        ::mkdir(dir.c_str(), 0755);
        ::mkdir((dir + "/public").c_str(), 0755);
        std::ofstream(dir + "/public/index.html") << "<h1>home</h1>";
        std::ofstream(dir + "/public/docs.html") << "docs";
        std::ofstream(dir + "/sitemirror.toml") << docBlock("### GitHub Actions", "toml");
    }
    static harness::StoreOptions options()
    {
        harness::StoreOptions o;
        o.region = "eu-west-1";
        return o;
    }
    // The runner's environment: where the store is, the tool on the PATH, no
    // key file; the credentials are the step's to give.
    std::map<std::string, std::string> env() const
    {
        const char *path = std::getenv("PATH");
        const std::string binary = SITEMIRROR_BINARY;
        return {{"SITEMIRROR_KEY_FILE", ""},
                {"SITEMIRROR_ENDPOINT", "http://" + run.store.endpoint()},
                {"SITEMIRROR_CA_FILE", ""},
                {"HOME", run.site.base()},
                {"XDG_CONFIG_HOME", run.site.base() + "/config"},
                {"XDG_CACHE_HOME", run.site.base() + "/cache"},
                {"PATH", binary.substr(0, binary.rfind('/')) + ":" + (path ? path : "/usr/bin:/bin")}};
    }
    int runScript(const std::string &strScript, const std::map<std::string, std::string> &vars,
                  std::string &out, std::string &err)
    {
        std::ofstream(run.site.base() + "/step.sh") << strScript;
        return harness::runCommand("cd " + e2e::quote(dir) + " && sh " +
                                       e2e::quote(run.site.base() + "/step.sh"),
                                   &out, &err, vars, 120);
    }
    std::string read(const std::string &rel) const
    {
        std::ifstream in(dir + "/" + rel);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    e2e::StoreRun run;
    std::string dir;
};

// Each line of text parsed as a JSON event; the last one.
nlohmann::json lastEvent(const std::string &text)
{
    nlohmann::json last;
    for (const std::string &line : e2e::lines(text)) {
        last = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(last.is_discarded()) << line;
    }
    return last;
}

TEST(DocumentedDeployStep, TheGitHubActionsStepRunsAsWrittenWithItsSecrets)
{
    CiCheckout checkout;
    const char kToken[] = "cf-doc-token";
    const char kZone[] = "feedface0123";
    e2e::StandInServer cloudflare({"python3", SITEMIRROR_SOURCE_DIR "/tests/e2e/cloudflare_standin.py",
                                   "--token", kToken, "--zone", kZone});
    // The step's env: and run: as the workflow gives them, ${{ ... }} filled
    // in from the repository's secrets and variables.
    const std::map<std::string, std::string> repository = {
        {"secrets.AWS_ACCESS_KEY_ID", harness::kAccessKeyId},
        {"secrets.AWS_SECRET_ACCESS_KEY", harness::kSecretAccessKey},
        {"secrets.CLOUDFLARE_API_TOKEN", kToken},
        {"vars.CLOUDFLARE_ZONE", kZone}};
    auto vars = checkout.env();
    vars["SITEMIRROR_CLOUDFLARE_ENDPOINT"] = "http://" + cloudflare.endpoint();
    vars["GITHUB_STEP_SUMMARY"] = checkout.run.site.base() + "/step-summary.md";
    std::string script;
    bool bEnv = false, bRun = false;
    for (const std::string &line : e2e::lines(docBlock("### GitHub Actions", "yaml"))) {
        const std::size_t indent = line.find_first_not_of(' ');
        const std::string text = indent == std::string::npos ? "" : line.substr(indent);
        if (bRun) {
            script += text + "\n";
            continue;
        }
        if (text == "env:") {
            bEnv = true;
            continue;
        }
        if (text == "run: |") {
            bRun = true;
            continue;
        }
        const std::size_t colon = text.find(": ");
        if (!bEnv || colon == std::string::npos)
            continue;
        std::string value = text.substr(colon + 2);
        if (value.rfind("${{ ", 0) == 0) {
            const std::string name = value.substr(4, value.size() - 7);
            ASSERT_TRUE(repository.count(name)) << name;
            value = repository.at(name);
        }
        vars[text.substr(0, colon)] = value;
    }
    ASSERT_FALSE(script.empty());

    std::string out, err;
    const int status = checkout.runScript(script, vars, out, err);
    ASSERT_EQ(status, 0) << script << out << err;
    harness::Store &store = checkout.run.store;
    EXPECT_EQ(store.getObject("www.example.org", "index.html").body, "<h1>home</h1>");
    EXPECT_TRUE(store.getObject("www.example.org", "fileLists.html").exists);
    EXPECT_FALSE(store.getObject("staging.example.org", "index.html").exists);
    const nlohmann::json summary = lastEvent(checkout.read("deploy-events.jsonl"));
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["sent"], 3);
    EXPECT_NE(checkout.read("deploy-events.jsonl").find("\"event\":\"purge\""), std::string::npos);
    EXPECT_NE(cloudflare.get("/__check__/requests").find("https://www.example.org/docs.html"),
              std::string::npos);
    std::ifstream in(vars["GITHUB_STEP_SUMMARY"]);
    std::stringstream md;
    md << in.rdbuf();
    EXPECT_NE(md.str().find("### sitemirror: deployed"), std::string::npos) << md.str();
    EXPECT_NE(md.str().find("| index.html |"), std::string::npos) << md.str();
}

TEST(DocumentedDeployStep, TheGenericRunnerStepRunsAsWritten)
{
    CiCheckout checkout;
    auto vars = checkout.env();
    vars["AWS_ACCESS_KEY_ID"] = harness::kAccessKeyId;
    vars["AWS_SECRET_ACCESS_KEY"] = harness::kSecretAccessKey;
    std::string out, err;
    const std::string script = docBlock("### From any other runner", "sh");
    const int status = checkout.runScript(script, vars, out, err);
    ASSERT_EQ(status, 0) << script << out << err;
    harness::Store &store = checkout.run.store;
    EXPECT_EQ(store.getObject("staging.example.org", "docs.html").body, "docs");
    EXPECT_FALSE(store.getObject("www.example.org", "docs.html").exists);
    // The log shows the summary event; the report is kept.
    const nlohmann::json summary = lastEvent(out);
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["ok"], true);
    EXPECT_NE(checkout.read("deploy-summary.md").find("### sitemirror: deployed"), std::string::npos);

    // A run that fails (no store there) exits with its status, after its summary event.
    vars["SITEMIRROR_RETRIES"] = "0";
    vars["SITEMIRROR_ENDPOINT"] = "http://127.0.0.1:" + std::to_string(harness::refusedPort());
    std::ofstream(checkout.dir + "/public/new.html") << "new";
    out.clear();
    err.clear();
    EXPECT_EQ(checkout.runScript(script, vars, out, err), 1) << out << err;
    EXPECT_EQ(lastEvent(out)["ok"], false) << out;
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

    // The bucket holds another site beside the blog, and a page the blog dropped.
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
