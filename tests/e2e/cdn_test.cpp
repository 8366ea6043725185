// The CloudFront invalidation after a run, as moto's CloudFront records it:
// which paths a run asks to forget, when it asks at all, the collapse to /*,
// and a distribution or endpoint that fails the run after the upload.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cloudfront.h"
#include "harness.h"
#include "site.h"

namespace {

using e2e::ToolRun;

std::string readFile(const std::string &strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs the tool with args in the background (after the shell text strBefore),
// its standard output into strOut, and sends it SIGsignal once it printed its
// summary line (the transfers are over; the CDN is next). "exit=STATUS\n" as
// the shell saw it; the run's output in printed.
std::string signalledAfterSummary(const std::string &strBefore, const std::string &args,
                                  const std::string &signal, const std::string &strOut,
                                  const std::map<std::string, std::string> &vars, std::string &printed)
{
    const std::string cmd =
        strBefore + SITEMIRROR_BINARY + " " + args + " > " + e2e::quote(strOut) +
        " & pid=$!; n=0; until grep -q '^summary:' " + e2e::quote(strOut) +
        " || [ $n -ge 1200 ]; do sleep 0.05; n=$((n+1)); done; kill -" + signal +
        " $pid; wait $pid; echo exit=$?";
    std::string out, err;
    EXPECT_EQ(harness::runCommand(cmd, &out, &err, vars, 120), 0) << err;
    printed = readFile(strOut);
    return out;
}

class Invalidation : public e2e::StoreSuite {
protected:
    void SetUp() override
    {
        e2e::StoreSuite::SetUp();
        cloudFront = std::make_unique<e2e::MotoCloudFront>(store->motoEndpoint());
        distribution = cloudFront->createDistribution(bucket);
    }

    ToolRun run(std::map<std::string, std::string> extra = {}, const std::string &args = "-q")
    {
        auto vars = env();
        vars["SITEMIRROR_CLOUDFRONT_DISTRIBUTION"] = distribution;
        vars["SITEMIRROR_CLOUDFRONT_ENDPOINT"] = "http://" + store->motoEndpoint();
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        return e2e::runTool(args, vars);
    }

    std::vector<std::string> invalidations() { return cloudFront->invalidations(distribution); }
    std::set<std::string> pathsOf(const std::string &id)
    {
        return cloudFront->paths(distribution, id);
    }
    // Runs until the index page, which names its own size, no longer changes.
    void settle()
    {
        for (int i = 0; i < 3; ++i) {
            ToolRun again = run();
            ASSERT_EQ(again.status, 0) << again.out;
            if (e2e::uploadedKeys(again.out).empty())
                return;
        }
        FAIL() << "the site does not settle";
    }
    // The id of the run's "invalidation: ID (...)" line, "" when none.
    static std::string announced(const std::string &out)
    {
        const std::string lead = "\ninvalidation: ";
        const std::size_t at = out.find(lead);
        const std::size_t end = at == std::string::npos ? at : out.find(" (", at + lead.size());
        return end == std::string::npos ? "" : out.substr(at + lead.size(), end - at - lead.size());
    }

    std::unique_ptr<e2e::MotoCloudFront> cloudFront;
    std::string distribution;
};

TEST_F(Invalidation, ARunThatChangedFilesHasTheirPathsForgottenAndAnUnchangedRunSendsNothing)
{
    site.write("a.html", "aaa");
    site.write("docs/index.html", "docs");
    site.write("docs/sp ace&more.html", "s");
    site.write("caf\xc3\xa9.css", "c");

    ToolRun first = run();
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    const std::vector<std::string> ids = invalidations();
    ASSERT_EQ(ids.size(), 1u) << first.out;
    EXPECT_EQ(announced(first.out), ids[0]) << first.out;
    EXPECT_NE(first.out.find("(6 paths)"), std::string::npos) << first.out;
    // A folder's index page also stands for the folder; names are URL-encoded.
    EXPECT_EQ(pathsOf(ids[0]),
              (std::set<std::string>{"/a.html", "/docs/", "/docs/index.html",
                                     "/docs/sp%20ace%26more.html", "/caf%C3%A9.css",
                                     "/fileLists.html"}));

    // A run that sends nothing asks nothing.
    settle();
    const std::size_t nSettled = invalidations().size();
    ToolRun unchanged = run();
    ASSERT_EQ(unchanged.status, 0) << unchanged.out;
    EXPECT_EQ(announced(unchanged.out), "") << unchanged.out;
    EXPECT_EQ(invalidations().size(), nSettled);

    // Same size, other bytes: the page stays as it was, only the file changed.
    site.write("a.html", "bbb");
    ToolRun changed = run();
    ASSERT_EQ(changed.status, 0) << changed.out;
    ASSERT_EQ(invalidations().size(), nSettled + 1) << changed.out;
    const std::string id = announced(changed.out);
    ASSERT_NE(id, "") << changed.out;
    EXPECT_EQ(pathsOf(id), (std::set<std::string>{"/a.html"}));
    EXPECT_NE(changed.out.find("invalidation: " + id + " (1 path)\n"), std::string::npos)
        << changed.out;
}

TEST_F(Invalidation, MorePathsThanTheLimitBecomeOneWildcardAndTheDryRunSendsNone)
{
    site.write("a.html", "a");
    site.write("b.html", "b");

    ToolRun dry = run({{"SITEMIRROR_INVALIDATION_MAX_PATHS", "2"}}, "-q -n");
    ASSERT_EQ(dry.status, 0) << dry.out;
    EXPECT_TRUE(invalidations().empty()) << dry.out;

    // a.html, b.html and the page: three paths over a limit of two.
    ToolRun over = run({{"SITEMIRROR_INVALIDATION_MAX_PATHS", "2"}});
    ASSERT_EQ(over.status, 0) << over.out;
    const std::string id = announced(over.out);
    ASSERT_NE(id, "") << over.out;
    EXPECT_EQ(pathsOf(id), (std::set<std::string>{"/*"}));
    EXPECT_NE(over.out.find("invalidation: " + id + " (/* for 3 changed keys)\n"),
              std::string::npos)
        << over.out;

    // At the limit the paths are named one by one.
    settle();
    site.write("a.html", "x");
    site.write("b.html", "y");
    ToolRun at = run({{"SITEMIRROR_INVALIDATION_MAX_PATHS", "2"}});
    ASSERT_EQ(at.status, 0) << at.out;
    EXPECT_EQ(pathsOf(announced(at.out)), (std::set<std::string>{"/a.html", "/b.html"}));
}

// CloudFront's own rules: "*" is a wildcard at a path's end only, and a
// collapse to "/*" says so even when one key stood for two paths.
TEST_F(Invalidation, KeysHoldingAStarAreCoveredByAWildcardAndACollapseSaysSo)
{
    site.write("a*b.html", "a");
    site.write("sale*", "s");
    ToolRun first = run();
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(pathsOf(announced(first.out)),
              (std::set<std::string>{"/a*", "/fileLists.html", "/sale*"}))
        << first.out;

    settle();
    site.write("index.html", "<p>home</p>");
    ToolRun one = run({{"SITEMIRROR_INVALIDATION_MAX_PATHS", "1"}});
    ASSERT_EQ(one.status, 0) << one.out;
    // index.html and fileLists.html changed: "/", "/index.html", "/fileLists.html".
    EXPECT_NE(one.out.find(" (/* for 2 changed keys)\n"), std::string::npos) << one.out;
    settle();
    site.write("index.html", "<p>HOME</p>"); // the same size: the page stays
    ToolRun alone = run({{"SITEMIRROR_INVALIDATION_MAX_PATHS", "1"}});
    ASSERT_EQ(alone.status, 0) << alone.out;
    EXPECT_EQ(pathsOf(announced(alone.out)), (std::set<std::string>{"/*"})) << alone.out;
    EXPECT_NE(alone.out.find(" (/* for 1 changed key)\n"), std::string::npos) << alone.out;
}

TEST_F(Invalidation, AnInvalidationThatFailsFailsTheRunButTheFilesAreStored)
{
    site.write("a.html", "a");
    struct Case {
        const char *name;
        std::map<std::string, std::string> vars;
        const char *why;
    };
    const Case cases[] = {
        {"unknown distribution", {{"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E0NOSUCHONE"}},
         "HTTP 404 NoSuchDistribution"},
        {"endpoint down",
         {{"SITEMIRROR_CLOUDFRONT_ENDPOINT",
           "http://127.0.0.1:" + std::to_string(harness::refusedPort())},
          {"SITEMIRROR_RETRIES", "1"}},
         "cannot reach 127.0.0.1:"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        site.write("a.html", c.name); // a change for every case
        ToolRun failed = run(c.vars);
        EXPECT_EQ(failed.status, 1) << failed.out;
        EXPECT_NE(failed.out.find("\ninvalidation failed: distribution "), std::string::npos)
            << failed.out;
        EXPECT_NE(failed.out.find(c.why), std::string::npos) << failed.out;
        EXPECT_NE(failed.out.find("(the files are stored; the CDN may serve old copies until "
                                  "they expire)\n"),
                  std::string::npos)
            << failed.out;
        EXPECT_EQ(store->getObject(bucket, "a.html").body, c.name);
    }
    EXPECT_TRUE(invalidations().empty());
}

// The keys a run changed stay pending in the cache folder until CloudFront
// took them: a run killed before its invalidation, or one whose invalidation
// failed, leaves them to the next run, which sends them with its own.
TEST_F(Invalidation, ChangesNotYetInvalidatedAreSentByTheNextRun)
{
    site.write("a.html", "a");
    site.write("b.html", "b");
    const std::string strList = site.base() + "/changed.txt";
    const std::string strOut = site.base() + "/killed.out";

    // CloudFront never answers; the deploy is stopped (a CI time-out) while
    // it waits: the files are stored, the changed list is still written, and
    // the run ends as the signal ends it.
    harness::FaultServer silent("silent");
    auto vars = env();
    vars["SITEMIRROR_CLOUDFRONT_DISTRIBUTION"] = distribution;
    vars["SITEMIRROR_CLOUDFRONT_ENDPOINT"] = "http://" + silent.endpoint();
    std::string killed;
    const std::string out = signalledAfterSummary(
        "", "-q --changed-list " + e2e::quote(strList), "TERM", strOut, vars, killed);
    EXPECT_EQ(out, "exit=143\n") << killed;
    EXPECT_NE(killed.find("stopped sending: the run was asked to stop by SIGTERM\n"), std::string::npos)
        << killed;
    EXPECT_EQ(store->getObject(bucket, "a.html").body, "a");
    EXPECT_EQ(readFile(strList), "a.html\nb.html\nfileLists.html\n") << killed;
    EXPECT_TRUE(invalidations().empty());

    // The next run changes nothing of a.html and b.html, yet sends them, and
    // lists them as changed.
    ToolRun next = run({}, "-q --changed-list " + e2e::quote(strList));
    ASSERT_EQ(next.status, 0) << next.out;
    const std::string id = announced(next.out);
    ASSERT_NE(id, "") << next.out;
    EXPECT_EQ(e2e::uploadedKeys(next.out).count("a.html"), 0u) << next.out;
    const std::set<std::string> paths = pathsOf(id);
    EXPECT_TRUE(paths.count("/a.html") && paths.count("/b.html")) << next.out;
    EXPECT_NE(readFile(strList).find("a.html\nb.html\n"), std::string::npos);

    // An invalidation that failed is sent again by the next run, once.
    settle();
    site.write("b.html", "B");
    ToolRun failed = run({{"SITEMIRROR_CLOUDFRONT_ENDPOINT",
                           "http://127.0.0.1:" + std::to_string(harness::refusedPort())},
                          {"SITEMIRROR_RETRIES", "0"}});
    EXPECT_EQ(failed.status, 1) << failed.out;
    const std::size_t nBefore = invalidations().size();
    ToolRun retried = run();
    ASSERT_EQ(retried.status, 0) << retried.out;
    EXPECT_EQ(pathsOf(announced(retried.out)), (std::set<std::string>{"/b.html"})) << retried.out;
    ToolRun quiet = run();
    ASSERT_EQ(quiet.status, 0) << quiet.out;
    EXPECT_EQ(announced(quiet.out), "") << quiet.out;
    EXPECT_EQ(invalidations().size(), nBefore + 1);
}

// A run under nohup: the SIGHUP it was started to ignore neither stops it
// nor removes its temporaries.
TEST_F(Invalidation, ASignalIgnoredAtTheStartStaysIgnored)
{
    site.write("a.html", "a");
    const std::string strOut = site.base() + "/nohup.out";
    harness::FaultServer silent("silent");
    auto vars = env();
    vars["SITEMIRROR_CLOUDFRONT_DISTRIBUTION"] = distribution;
    vars["SITEMIRROR_CLOUDFRONT_ENDPOINT"] = "http://" + silent.endpoint();
    vars["SITEMIRROR_REQUEST_TIMEOUT"] = "2";
    vars["SITEMIRROR_RETRIES"] = "0";
    std::string ran;
    const std::string out = signalledAfterSummary("trap '' HUP; ", "-q", "HUP", strOut, vars, ran);
    // The invalidation ran to its own end (CloudFront never answered).
    EXPECT_EQ(out, "exit=1\n") << ran;
    EXPECT_EQ(ran.find("stopped sending"), std::string::npos) << ran;
    EXPECT_NE(ran.find("\ninvalidation failed: distribution "), std::string::npos) << ran;
    EXPECT_EQ(store->getObject(bucket, "a.html").body, "a");
}

TEST_F(Invalidation, TheOneFileFormHasItsKeyForgottenToo)
{
    site.write("notes.txt", "n");
    ToolRun one = run({}, "-q " + e2e::quote(site.path("notes.txt")));
    ASSERT_EQ(one.status, 0) << one.out;
    const std::string id = announced("\n" + one.out);
    ASSERT_NE(id, "") << one.out;
    EXPECT_EQ(pathsOf(id), (std::set<std::string>{"/notes.txt"}));
}

TEST_F(Invalidation, ADistributionIdThatIsNoIdIsRefusedBeforeAnythingIsSent)
{
    site.write("a.html", "a");
    ToolRun bad = run({{"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E1/../x"}});
    EXPECT_EQ(bad.status, 2) << bad.out;
    EXPECT_NE(bad.out.find("invalid setting: SITEMIRROR_CLOUDFRONT_DISTRIBUTION=E1/../x"),
              std::string::npos)
        << bad.out;
    EXPECT_FALSE(store->getObject(bucket, "a.html").exists);
}

TEST_F(Invalidation, EachDistributionForgetsThePathsItServesBelowItsOriginPath)
{
    // One distribution serves the bucket's blog/ folder at its root, the
    // other the whole bucket; a third serves another folder only.
    const std::string blog = cloudFront->createDistribution(bucket, "/blog");
    const std::string shop = cloudFront->createDistribution(bucket, "/shop");
    site.write("index.html", "home");
    site.write("posts/a.html", "a");
    ToolRun r = run({{"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", blog + ", " + distribution + "," + shop},
                     {"SITEMIRROR_PREFIX", "blog"}});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> blogIds = cloudFront->invalidations(blog);
    ASSERT_EQ(blogIds.size(), 1u) << r.out;
    EXPECT_EQ(cloudFront->paths(blog, blogIds[0]),
              (std::set<std::string>{"/", "/index.html", "/fileLists.html", "/posts/a.html"}));
    const std::vector<std::string> wholeIds = invalidations();
    ASSERT_EQ(wholeIds.size(), 1u);
    EXPECT_EQ(pathsOf(wholeIds[0]), (std::set<std::string>{"/blog/", "/blog/index.html",
                                                           "/blog/fileLists.html",
                                                           "/blog/posts/a.html"}));
    EXPECT_TRUE(cloudFront->invalidations(shop).empty()) << "it serves none of the keys";
    EXPECT_NE(r.out.find("invalidation: " + blogIds[0] + " (4 paths)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("invalidation: " + wholeIds[0] + " (4 paths)"), std::string::npos);
}

// CloudFront's side of the signature, which moto does not check: signed V4
// for the service and region CloudFront answers for, whatever the store's
// own signature version, and refused when the secret is wrong.
TEST(SignedInvalidation, CloudFrontTakesTheSignatureAndRefusesAWrongSecret)
{
    e2e::StoreRun run({}, "signed.example");
    run.site.write("a.html", "a");
    struct Case {
        const char *name;
        const char *secret; // the one the stand-in expects
        int status;
        const char *line;
        const char *verdicts;
    };
    const Case cases[] = {
        {"right keys", harness::kSecretAccessKey, 0, "\ninvalidation: CHECKED1 (2 paths)\n",
         "accepted /a.html /fileLists.html\n"},
        {"wrong secret", "not-the-secret", 1, "HTTP 403 SignatureDoesNotMatch",
         "refused SignatureDoesNotMatch\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        run.site.write("a.html", c.name); // a change for every case
        e2e::CheckingCloudFront cloudFront(harness::kAccessKeyId, c.secret);
        ToolRun tool = run.mirror({{"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "EDISTRIBUTION1"},
                                   {"SITEMIRROR_CLOUDFRONT_ENDPOINT",
                                    "http://" + cloudFront.endpoint()},
                                   {"SITEMIRROR_RETRIES", "0"}});
        EXPECT_EQ(tool.status, c.status) << tool.out;
        EXPECT_NE(tool.out.find(c.line), std::string::npos) << tool.out;
        EXPECT_EQ(cloudFront.verdicts(), c.verdicts);
    }
}

} // namespace
