// Runs from CI and from a shell, end to end through the checking store: the
// options that name the site over the environment, --exclude and --force,
// named targets of the rules file, JSON lines whose events add up to their
// summary, and the Markdown summary for the job.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <fstream>
#include <set>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "site.h"

namespace {

using e2e::ToolRun;
using nlohmann::json;

class FromCi : public e2e::StoreSuite {
protected:
    ToolRun run(const std::string &args, std::map<std::string, std::string> extra = {})
    {
        return e2e::runToolOver(args, env(), extra);
    }
    bool exists(const std::string &strBucket, const std::string &key)
    {
        return store->getObject(strBucket, key).exists;
    }
    void writeRules(const std::string &strText)
    {
        ::mkdir((site.base() + "/config").c_str(), 0755);
        ::mkdir((site.base() + "/config/sitemirror").c_str(), 0755);
        std::ofstream(site.base() + "/config/sitemirror/config.toml") << strText;
    }
};

// Every line of standard output as a JSON object; a line that does not parse
// fails the test.
std::vector<json> events(const std::string &strOut)
{
    std::vector<json> found;
    for (const std::string &line : e2e::lines(strOut)) {
        json event = json::parse(line, nullptr, false);
        EXPECT_FALSE(event.is_discarded()) << "not JSON: " << line;
        if (event.is_discarded())
            continue;
        EXPECT_TRUE(event.is_object()) << line;
        EXPECT_TRUE(event.contains("event") && event["event"].is_string()) << line;
        EXPECT_EQ(event.value("v", 0), 1) << line;
        found.push_back(event);
    }
    return found;
}

// The events of one run must add up to its one summary, which comes last:
// uploads and their bytes to "sent" and "bytes", errors that name a key to
// "failed", deletions to "deleted", updates to "updated".
json checkAddsUp(const std::vector<json> &all)
{
    long nUploads = 0, nFailed = 0, nDeleted = 0, nUpdated = 0, nSummaries = 0;
    uint64_t nBytes = 0;
    for (const json &event : all) {
        const std::string name = event["event"];
        if (name == "upload") {
            ++nUploads;
            nBytes += event["bytes"].get<uint64_t>();
        } else if (name == "error" && event.contains("key")) {
            ++nFailed;
        } else if (name == "delete") {
            ++nDeleted;
        } else if (name == "update") {
            ++nUpdated;
        } else if (name == "summary") {
            ++nSummaries;
        }
    }
    EXPECT_EQ(nSummaries, 1);
    if (all.empty() || all.back()["event"] != "summary") {
        ADD_FAILURE() << "the summary is not the last event";
        return json();
    }
    const json &summary = all.back();
    EXPECT_EQ(summary["sent"].get<long>(), nUploads);
    EXPECT_EQ(summary["bytes"].get<uint64_t>(), nBytes);
    EXPECT_EQ(summary["failed"].get<long>(), nFailed);
    EXPECT_EQ(summary["deleted"].get<long>(), nDeleted);
    EXPECT_EQ(summary["updated"].get<long>(), nUpdated);
    return summary;
}

std::vector<json> named(const std::vector<json> &all, const std::string &strName)
{
    std::vector<json> found;
    for (const json &event : all)
        if (event["event"] == strName)
            found.push_back(event);
    return found;
}

TEST_F(FromCi, OptionsNameTheSiteAndWinOverTheEnvironment)
{
    e2e::Site other;
    other.write("index.html", "<p>from the option</p>\n");
    site.write("index.html", "<p>from the environment</p>\n");
    // The environment names a bucket that does not exist and a port nobody
    // listens on: the options alone make the run work.
    const ToolRun r = run("--root " + e2e::quote(other.root()) + " --bucket " + bucket +
                              " --prefix docs --endpoint http://" + store->endpoint(),
                          {{"SITEMIRROR_BUCKET", "no-such-bucket.example"},
                           {"SITEMIRROR_ENDPOINT",
                            "http://127.0.0.1:" + std::to_string(harness::refusedPort())}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(store->getObject(bucket, "docs/index.html").body, "<p>from the option</p>\n");
    EXPECT_TRUE(exists(bucket, "docs/fileLists.html"));
    EXPECT_FALSE(exists(bucket, "index.html"));
    EXPECT_FALSE(site.exists("fileLists.html")) << "the environment's root was written";

    // An invalid value given as an option is named as the option.
    const ToolRun bad = run("--prefix /abs");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.out.find("invalid option: --prefix /abs"), std::string::npos) << bad.out;
}

TEST_F(FromCi, ExcludeIsALastLineOfTheRootsIgnoreFile)
{
    site.write(".sitemirrorignore", "*.log\n");
    site.write("index.html", "home\n");
    site.write("debug.log", "kept by the last line\n");
    site.write("other.log", "ignored by the file\n");
    site.write("drafts/a.html", "draft\n");
    site.write("art.psd", "layers\n");
    const ToolRun r = run("--exclude 'drafts/' --exclude '*.psd' --exclude '!debug.log'");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(exists(bucket, "index.html"));
    EXPECT_TRUE(exists(bucket, "debug.log"));
    EXPECT_FALSE(exists(bucket, "other.log"));
    EXPECT_FALSE(exists(bucket, "drafts/a.html"));
    EXPECT_FALSE(exists(bucket, "art.psd"));
    // The index page leaves them out too.
    const std::string page = site.read("fileLists.html");
    EXPECT_EQ(page.find("art.psd"), std::string::npos);
    EXPECT_EQ(page.find("drafts/a.html"), std::string::npos);
    EXPECT_NE(page.find("debug.log"), std::string::npos);

    // An excluded object is not deleted: it is not the site's to remove.
    store->putObject(bucket, "old.psd", "from before\n");
    const ToolRun again = run("--delete --exclude '*.psd'");
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_TRUE(exists(bucket, "old.psd"));
}

TEST_F(FromCi, ForceSendsEveryFileAndSaysSo)
{
    site.write("a.html", "a\n");
    site.write("b/c.css", "c\n");
    // The second run sends the page that now lists itself; the third nothing.
    ASSERT_EQ(run("").status, 0);
    ASSERT_EQ(run("").status, 0);
    const ToolRun same = run("");
    ASSERT_EQ(same.status, 0);
    EXPECT_TRUE(e2e::uploadedKeys(same.out).empty()) << same.out;
    EXPECT_EQ(same.out.find("forced:"), std::string::npos);

    store->resetCounters();
    const ToolRun forced = run("--force");
    ASSERT_EQ(forced.status, 0) << forced.out;
    EXPECT_EQ(e2e::uploadedKeys(forced.out),
              (std::set<std::string>{"a.html", "b/c.css", "fileLists.html"}));
    EXPECT_EQ(store->counters().puts, 3);
    // The summary line stays as it is; the line after it confirms.
    EXPECT_NE(forced.out.find("summary: sent 3 "), std::string::npos) << forced.out;
    EXPECT_NE(forced.out.find("\nforced: every file sent, 3 of them not found changed\n"),
              std::string::npos)
        << forced.out;
}

TEST_F(FromCi, NamedTargetsSitBetweenTheRulesFileAndTheEnvironment)
{
    const std::string staging = bucket + "-staging";
    store->createBucket(staging);
    site.write("index.html", "home\n");
    writeRules("bucket = \"no-such-bucket.example\"\njobs = 2\n"
               "[targets.staging]\nbucket = \"" + staging + "\"\nprefix = \"preview\"\n"
               "[targets.production]\nbucket = \"" + bucket + "\"\n");
    auto vars = env();
    vars.erase("SITEMIRROR_BUCKET");

    ToolRun r = e2e::runTool("--target staging", vars);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(exists(staging, "preview/index.html"));
    EXPECT_FALSE(exists(bucket, "index.html"));

    vars["SITEMIRROR_TARGET"] = "production";
    r = e2e::runTool("", vars);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(exists(bucket, "index.html"));

    // -h names the target in use and the others; the environment's bucket
    // is above the target's, the option above the environment's target.
    vars["SITEMIRROR_BUCKET"] = "env.example";
    r = e2e::runTool("-h --target staging", vars);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("SITEMIRROR_TARGET=staging (targets: production, staging)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("SITEMIRROR_BUCKET=env.example\n"), std::string::npos);
    EXPECT_NE(r.out.find("SITEMIRROR_PREFIX=preview/\n"), std::string::npos);

    // An unknown name: refused before anything is written, with the names there are.
    site.write("new.html", "new\n");
    r = e2e::runTool("--target prod", vars);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("invalid option: --target prod (no such target; targets in " +
                         site.base() + "/config/sitemirror/config.toml: production, staging)"),
              std::string::npos)
        << r.out;
    vars["SITEMIRROR_TARGET"] = "nope";
    r = e2e::runTool("", vars);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("invalid setting: SITEMIRROR_TARGET=nope (no such target;"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(exists(bucket, "new.html"));
}

TEST_F(FromCi, JsonLinesParseAndAddUpToTheirSummary)
{
    site.write("index.html", "home\n");
    site.write("img/logo.png", std::string(5000, 'x'));
    store->putObject(bucket, "gone.html", "no longer in the site\n");
    // The one object listed is all of them: the share guard must allow it.
    const ToolRun first = run("--output json --delete", {{"SITEMIRROR_MAX_DELETE_SHARE", "100%"}});
    EXPECT_EQ(first.status, 0) << first.out << first.err;
    const std::vector<json> firstEvents = events(first.out);
    const json firstSummary = checkAddsUp(firstEvents);
    EXPECT_EQ(firstSummary["sent"], 3);
    EXPECT_EQ(firstSummary["deleted"], 1);
    EXPECT_EQ(firstSummary["ok"], true);
    ASSERT_EQ(named(firstEvents, "delete").size(), 1u);
    EXPECT_EQ(named(firstEvents, "delete")[0]["key"], "gone.html");
    // The human lines went to standard error, without libcurl's trace.
    EXPECT_NE(first.err.find("summary: sent 3"), std::string::npos) << first.err;
    EXPECT_EQ(first.err.find("* Connected"), std::string::npos) << first.err;
    EXPECT_EQ(first.err.find("> PUT"), std::string::npos) << first.err;
    std::set<std::string> keys;
    for (const json &upload : named(firstEvents, "upload")) {
        keys.insert(upload["key"]);
        EXPECT_FALSE(upload["etag"].get<std::string>().empty()) << upload;
    }
    EXPECT_EQ(keys, (std::set<std::string>{"fileLists.html", "img/logo.png", "index.html"}));

    // A name no store takes: an error event with the bytes escaped; the run fails.
    site.write(std::string("bad-\xff.html"), "latin-1 name\n");
    const ToolRun r = run("--output json");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const std::vector<json> all = events(r.out);
    const json summary = checkAddsUp(all);
    EXPECT_EQ(summary["failed"], 1);
    EXPECT_EQ(summary["ok"], false);
    const std::vector<json> errors = named(all, "error");
    ASSERT_EQ(errors.size(), 1u) << r.out;
    EXPECT_EQ(errors[0]["stage"], "scan");
    // Read back, the escape is the character of the byte's value.
    EXPECT_EQ(errors[0]["key"], "bad-\xc3\xbf.html");
    // The raw line holds the escape itself, not the byte.
    EXPECT_NE(r.out.find("bad-\\u00ff.html"), std::string::npos);
    EXPECT_EQ(r.out.find('\xff'), std::string::npos);
}

TEST_F(FromCi, TheOneFileFormAndTheDryRunEndWithTheirSummaryToo)
{
    site.write("a.html", "a\n");
    ToolRun r = run("--output json " + e2e::quote(site.path("a.html")));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<json> all = events(r.out);
    json summary = checkAddsUp(all);
    EXPECT_EQ(summary["sent"], 1);
    ASSERT_EQ(named(all, "upload").size(), 1u);
    EXPECT_EQ(named(all, "upload")[0]["key"], "a.html");

    // A dry run sends nothing: its summary counts what would go.
    site.write("b.html", "b\n");
    r = run("--output json -n");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    all = events(r.out);
    ASSERT_EQ(all.size(), 1u) << r.out;
    EXPECT_EQ(all[0]["event"], "summary");
    EXPECT_EQ(all[0]["dry_run"], true);
    EXPECT_EQ(all[0]["sent"], 2); // b.html and the page it would write
    EXPECT_NE(r.err.find("would upload: b.html (new)"), std::string::npos) << r.err;
}

TEST(FromCiFaults, RetriesAndRefusalsAreEventsWithTheStoresCodeAndHint)
{
    // Each key's first PUT is answered 503 SlowDown: one retry event each.
    {
        harness::StoreOptions options;
        options.slowDownPuts = 1;
        e2e::StoreRun store(options, "retry.example", "--output json");
        store.site.write("a.html", "a\n");
        const ToolRun r = store.mirror();
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::vector<json> all = events(r.out);
        checkAddsUp(all);
        const std::vector<json> retries = named(all, "retry");
        ASSERT_EQ(retries.size(), 2u) << r.out << r.err; // a.html and the index page
        for (const json &retry : retries) {
            EXPECT_EQ(retry["code"], "SlowDown");
            EXPECT_EQ(retry["http"], 503);
            EXPECT_EQ(retry["try"], 1);
            EXPECT_EQ(retry["of"], 3);
            EXPECT_TRUE(retry.contains("key"));
        }
    }
    // A storage class the store does not take: every upload refused, each an
    // error event with the code, the status and (once per run) the hint.
    {
        harness::StoreOptions options;
        options.storageClasses = {"STANDARD"};
        e2e::StoreRun store(options, "refuse.example", "--output json");
        store.site.write("a.html", "a\n");
        const ToolRun r = store.mirror({{"SITEMIRROR_RETRIES", "0"}});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        const std::vector<json> all = events(r.out);
        const json summary = checkAddsUp(all);
        EXPECT_EQ(summary["failed"], 2);
        // a.html refused; the index page then waits for the next run.
        const std::vector<json> errors = named(all, "error");
        ASSERT_EQ(errors.size(), 2u);
        EXPECT_EQ(errors[0]["stage"], "upload");
        EXPECT_EQ(errors[0]["key"], "a.html");
        EXPECT_EQ(errors[0]["path"], store.site.path("a.html"));
        EXPECT_EQ(errors[0]["code"], "InvalidStorageClass");
        EXPECT_EQ(errors[0]["http"], 400);
        EXPECT_NE(errors[0].value("hint", "").find("SITEMIRROR_STORAGE_CLASS"), std::string::npos)
            << errors[0];
        EXPECT_EQ(errors[1]["key"], "fileLists.html");
        EXPECT_EQ(errors[1]["message"], "not sending pages: 1 file of an earlier phase failed");
    }
}

TEST_F(FromCi, MarkdownSummaryIsAppendedForTheJob)
{
    site.write("index.html", "home\n");
    site.write("a|b.html", "a pipe in the name\n");
    const std::string strSummary = site.base() + "/step-summary.md";
    std::ofstream(strSummary) << "earlier step\n";
    const ToolRun r = run("", {{"GITHUB_STEP_SUMMARY", strSummary}});
    ASSERT_EQ(r.status, 0) << r.out;
    std::ifstream in(strSummary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string md = text.str();
    EXPECT_EQ(md.rfind("earlier step\n### sitemirror: deployed\n", 0), 0u) << md;
    EXPECT_NE(md.find("| 3 | "), std::string::npos) << md;
    EXPECT_NE(md.find("| a\\|b.html |\n"), std::string::npos) << md;
    EXPECT_NE(md.find("| index.html |\n"), std::string::npos) << md;
    EXPECT_EQ(md.find("Failures"), std::string::npos);

    // --summary-markdown names another file; failures are listed with their codes.
    const std::string strOther = site.base() + "/other.md";
    site.write("b.html", "b\n");
    const ToolRun bad = run("--summary-markdown " + e2e::quote(strOther),
                            {{"SITEMIRROR_STORAGE_CLASS", "GLACIER_IR"},
                             {"SITEMIRROR_RETRIES", "0"}});
    std::ifstream otherIn(strOther);
    std::stringstream other;
    other << otherIn.rdbuf();
    (void)bad;
    EXPECT_NE(other.str().find("### sitemirror: "), std::string::npos) << other.str();
}

} // namespace
