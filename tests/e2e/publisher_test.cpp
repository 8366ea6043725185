// What a site publisher drives from the command line: options, the dry run,
// the ignore file, Cache-Control rules from the rules file, the digest cache;
// the dry run and the Cache-Control rules on the real store (radosgw) as well.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include "harness.h"
#include "site.h"

namespace {

using e2e::Site;
using e2e::ToolRun;

class Publisher : public e2e::StoreSuite {
protected:
    ToolRun run(const std::string &args, std::map<std::string, std::string> extra = {})
    {
        std::map<std::string, std::string> vars = env();
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        return e2e::runTool(args, vars);
    }
    // The rules file where the default lookup finds it.
    void writeRulesFile(const std::string &text) const
    {
        ::mkdir((site.base() + "/config").c_str(), 0755);
        ::mkdir((site.base() + "/config/sitemirror").c_str(), 0755);
        std::ofstream(site.base() + "/config/sitemirror/config.toml") << text;
    }
    static std::set<std::string> uploadedKeys(const std::string &out) { return e2e::uploadedKeys(out); }
};

// Cases that run on moto and on radosgw alike (what the proxy counts is checked on moto only).
class PublisherOnEachStore : public e2e::OnEachStore {
protected:
    ToolRun run(const std::string &args, std::map<std::string, std::string> extra = {})
    {
        std::map<std::string, std::string> vars = env();
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        return e2e::runTool(args, vars);
    }
    void writeRulesFile(const std::string &text) const
    {
        ::mkdir((site.base() + "/config").c_str(), 0755);
        ::mkdir((site.base() + "/config/sitemirror").c_str(), 0755);
        std::ofstream(site.base() + "/config/sitemirror/config.toml") << text;
    }
    static std::set<std::string> uploadedKeys(const std::string &out) { return e2e::uploadedKeys(out); }
};

INSTANTIATE_TEST_SUITE_P(Stores, PublisherOnEachStore, ::testing::ValuesIn(e2e::kEachStore),
                         e2e::storeCaseName);

TEST_F(Publisher, OptionsComeBeforeTheFormsAndUnknownOnesGiveTheUsageLine)
{
    ToolRun unknown = run("--frobnicate");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, std::string("usage:") + SITEMIRROR_BINARY + "[filetoupload]\n");

    ToolRun help = run("--help", {{"SITEMIRROR_JOBS", "5"}});
    EXPECT_EQ(help.status, 0) << help.out;
    EXPECT_NE(help.out.find("SITEMIRROR_BUCKET=" + bucket + "\n"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("SITEMIRROR_JOBS=5\n"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--dry-run"), std::string::npos);

    ToolRun version = run("-V");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("sitemirror ", 0), 0u) << version.out;

    ToolRun badJobs = run("-j 0");
    EXPECT_EQ(badJobs.status, 2);
    EXPECT_NE(badJobs.out.find("--jobs 0"), std::string::npos) << badJobs.out;
    EXPECT_EQ(store->counters().requests, 0);

    // After "--" a name that looks like an option is the file to upload.
    site.write("-v.txt", "dash\n");
    ToolRun dashed = run("-q -- " + e2e::quote(site.path("-v.txt")));
    EXPECT_EQ(dashed.status, 0) << dashed.out;
    EXPECT_EQ(store->getObject(bucket, "-v.txt").body, "dash\n");
    // -q: no libcurl trace, so no request head on standard error.
    EXPECT_EQ(dashed.err.find("> PUT"), std::string::npos) << dashed.err;
    ToolRun traced = run("-- " + e2e::quote(site.path("-v.txt")));
    EXPECT_NE(traced.err.find("> PUT"), std::string::npos) << traced.err;
}

TEST_P(PublisherOnEachStore, DryRunNamesEachFileWithItsReasonAndSendsNothing)
{
    site.write("same-size.html", "aaaa\n");
    site.write("grows.html", "short\n");
    site.write("kept.html", "kept\n");
    for (int i = 0; i < 3 && !uploadedKeys(run("").out).empty(); ++i) {
    }
    const std::string strPage = site.read("fileLists.html");

    site.write("same-size.html", "bbbb\n");
    site.write("grows.html", "much longer now\n");
    site.write("added.html", "new\n");
    if (proxy())
        proxy()->resetCounters();
    ToolRun dry = run("-n");
    EXPECT_EQ(dry.status, 0) << dry.out;
    if (proxy()) {
        EXPECT_EQ(proxy()->counters().puts, 0);
    }
    EXPECT_NE(dry.out.find("would upload: added.html (new)\n"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("would upload: grows.html (size)\n"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("would upload: same-size.html (digest)\n"), std::string::npos);
    EXPECT_EQ(dry.out.find("kept.html"), std::string::npos) << dry.out;
    EXPECT_EQ(dry.out.find("upload:/"), std::string::npos) << dry.out;
    EXPECT_EQ(site.read("fileLists.html"), strPage); // the page is not written
    EXPECT_EQ(store->getObject(bucket, "same-size.html").body, "aaaa\n");
}

TEST_F(Publisher, IgnoredFilesReachNeitherTheBucketNorThePage)
{
    site.write(".sitemirrorignore", "# not for the public\n"
                                    "/.git/\n"
                                    "drafts/\n"
                                    "*.tmp\n"
                                    "!keep.tmp\n");
    site.write("index.html", "<p>home</p>\n");
    site.write("keep.tmp", "kept on purpose\n");
    site.write("scratch.tmp", "scratch\n");
    site.write("drafts/post.html", "not yet\n");
    site.write("blog/drafts/old.html", "not yet either\n");
    site.write(".git/config", "[core]\n");
    ToolRun first = run("");
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(uploadedKeys(first.out),
              (std::set<std::string>{"fileLists.html", "index.html", "keep.tmp"}))
        << first.out;
    // Four paths are left out; the ignore file itself is not counted.
    EXPECT_NE(first.out.find(", ignored 4, "), std::string::npos) << first.out;
    for (const char *pszKey : {".sitemirrorignore", "scratch.tmp", "drafts/post.html",
                               "blog/drafts/old.html", ".git/config"})
        EXPECT_FALSE(store->getObject(bucket, pszKey).exists) << pszKey;
    const std::string strPage = site.read("fileLists.html");
    EXPECT_NE(strPage.find("keep.tmp"), std::string::npos);
    for (const char *pszName : {"scratch.tmp", "drafts/", ".git/config", ".sitemirrorignore"})
        EXPECT_EQ(strPage.find(pszName), std::string::npos) << pszName;
}

TEST_P(PublisherOnEachStore, CacheControlRulesAreSentFirstMatchWinsInBothSignatures)
{
    writeRulesFile("jobs = 2\n"
                   "rules = [\n"
                   "  { match = \"assets/**\", cache_control = \"public, max-age=31536000, immutable\" },\n"
                   "  { match = \"*.html\", cache_control = \"no-cache\" },\n"
                   "  { match = \"assets/*.html\", cache_control = \"never chosen\" },\n"
                   "]\n");
    site.write("index.html", "<p>home</p>\n");
    site.write("assets/app.css", "body{}\n");
    site.write("assets/demo.html", "<p>demo</p>\n");
    site.write("robots.txt", "User-agent: *\n");

    ToolRun help = run("-h");
    EXPECT_NE(help.out.find("SITEMIRROR_JOBS=2\n"), std::string::npos) << help.out;
    EXPECT_NE(run("-h", {{"SITEMIRROR_JOBS", "3"}}).out.find("SITEMIRROR_JOBS=3\n"),
              std::string::npos); // the environment wins over the file

    for (const char *pszSignature : {"v2", "v4"}) {
        if (proxy())
            proxy()->resetCounters();
        site.write("index.html", std::string("<p>home ") + pszSignature + "</p>\n");
        ToolRun mirror = run("", {{"SITEMIRROR_SIGNATURE", pszSignature}});
        ASSERT_EQ(mirror.status, 0) << mirror.out;
        if (proxy()) {
            EXPECT_EQ(proxy()->counters().rejected, 0) << pszSignature;
        }
        const std::map<std::string, std::string> expected = {
            {"index.html", "no-cache"},
            {"assets/app.css", "public, max-age=31536000, immutable"},
            {"assets/demo.html", "public, max-age=31536000, immutable"},
            {"robots.txt", ""},
        };
        for (const auto &kv : expected) {
            harness::StoredObject object = store->getObject(bucket, kv.first);
            auto it = object.headers.find("cache-control");
            EXPECT_EQ(it == object.headers.end() ? "" : it->second, kv.second)
                << pszSignature << " " << kv.first;
        }
    }
}

TEST_F(Publisher, AMalformedRulesFileNamesFileAndLineAndStopsTheRun)
{
    writeRulesFile("bucket = \"b\"\nrules = [ { match = \"a\" } ]\n");
    site.write("index.html", "<p>home</p>\n");
    store->resetCounters();
    ToolRun bad = run("");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out.rfind(site.base() + "/config/sitemirror/config.toml:2: ", 0), 0u) << bad.out;
    EXPECT_EQ(store->counters().requests, 0);
    EXPECT_FALSE(site.exists("fileLists.html"));

    // A file named by SITEMIRROR_CONFIG must exist.
    ToolRun missing = run("", {{"SITEMIRROR_CONFIG", site.base() + "/none.toml"}});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.out.find("none.toml: cannot read rules file"), std::string::npos);
}

TEST_F(Publisher, TheDigestCacheLivesOutsideTheTreeAndCanBeSwitchedOff)
{
    site.write("index.html", "<p>home</p>\n");
    site.setTime("index.html", 1000000000);
    // The digest cache databases in the cache folder (the run's lock file sits beside them).
    auto cacheFiles = [this]() {
        std::set<std::string> names;
        if (DIR *dir = ::opendir((site.base() + "/cache/sitemirror").c_str())) {
            while (struct dirent *e = ::readdir(dir)) {
                const std::string name = e->d_name;
                if (name[0] != '.' && name.size() > 7 &&
                    name.compare(name.size() - 7, 7, ".sqlite") == 0)
                    names.insert(name);
            }
            ::closedir(dir);
        }
        return names;
    };
    ASSERT_EQ(run("", {{"SITEMIRROR_DIGEST_CACHE", "off"}}).status, 0);
    EXPECT_TRUE(cacheFiles().empty());
    ASSERT_EQ(run("").status, 0);
    EXPECT_EQ(cacheFiles().size(), 1u);
    EXPECT_FALSE(site.exists(".sitemirror"));
    // An edit that keeps size and time is still seen (the change time moved).
    site.write("index.html", "<p>HOME</p>\n");
    site.setTime("index.html", 1000000000);
    ToolRun edited = run("");
    EXPECT_EQ(edited.status, 0) << edited.out;
    EXPECT_EQ(uploadedKeys(edited.out).count("index.html"), 1u) << edited.out;
}

} // namespace
