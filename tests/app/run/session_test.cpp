// The command line's one session, seen through the binary and the checking
// store: the one-file form as a one-item upload run, what a refusal says, and
// a CA file the client cannot use.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "s3client.h"
#include "tempdir.h"

namespace {

// A site tree, key file and rules folder beside one store; runs of the binary.
class ToolOverStore {
public:
    explicit ToolOverStore(harness::StoreOptions options = {}) : store(options)
    {
        store.createBucket(bucket);
        write("s3key", std::string(harness::kAccessKeyId) + "\n" +
                               harness::kSecretAccessKey + "\n");
        write("site/index.html", "<p>index</p>\n");
    }
    // Writes strRel below the folder, making its folders; returns the full path.
    std::string write(const std::string &strRel, const std::string &strContent) const
    {
        std::filesystem::create_directories(
            std::filesystem::path(dir.path() + "/" + strRel).parent_path());
        return dir.write(strRel, strContent);
    }
    std::map<std::string, std::string> env() const
    {
        return {{"SITEMIRROR_BUCKET", bucket},
                {"SITEMIRROR_ROOT", dir.path() + "/site/"},
                {"SITEMIRROR_KEY_FILE", dir.path() + "/s3key"},
                {"SITEMIRROR_SITE_URL", "http://" + bucket},
                {"SITEMIRROR_ENDPOINT", "http://" + store.endpoint()},
                {"SITEMIRROR_CA_FILE", ""},
                {"SITEMIRROR_RETRIES", "3"},
                {"XDG_CONFIG_HOME", dir.path() + "/config"},
                {"XDG_CACHE_HOME", dir.path() + "/cache"}};
    }
    int tool(const std::string &strArgs, const std::map<std::string, std::string> &extra = {})
    {
        auto vars = env();
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        std::string strCommand = std::string(SITEMIRROR_BINARY) + " -q";
        if (!strArgs.empty())
            strCommand += " " + strArgs;
        return harness::runCommand(strCommand, &out, &err, vars, 120);
    }
    // How many lines of the last run's output are exactly strLine, or begin with it.
    long count(const std::string &strLine, bool bPrefix = false) const
    {
        std::istringstream in(out);
        long n = 0;
        for (std::string line; std::getline(in, line);)
            n += bPrefix ? line.rfind(strLine, 0) == 0 : line == strLine;
        return n;
    }

    harness::Store store;
    TempDir dir;
    std::string bucket = "session.example";
    std::string out, err;
};

TEST(OneFileForm, RetriesASlowDownAndTakesTheCacheControlRuleOfItsKey)
{
    harness::StoreOptions options;
    options.slowDownPuts = 2;
    ToolOverStore run(options);
    run.write("config/sitemirror/config.toml",
                  "rules = [ { match = \"*.css\", cache_control = \"public, max-age=60\" } ]\n");
    std::string strFile = run.write("style.css", "p { }\n");

    ASSERT_EQ(run.tool("'" + strFile + "'"), 0) << run.out;
    harness::StoredObject obj = run.store.getObject(run.bucket, "style.css");
    ASSERT_TRUE(obj.exists);
    EXPECT_EQ(obj.body, "p { }\n");
    EXPECT_EQ(obj.headers["cache-control"], "public, max-age=60");
    EXPECT_EQ(obj.storageClass, "REDUCED_REDUNDANCY");
    EXPECT_TRUE(run.store.isPublicRead(run.bucket, "style.css"));
    EXPECT_EQ(run.count("retry 1 of 3 in ", true), 1) << run.out;
    EXPECT_EQ(run.count("retry 2 of 3 in ", true), 1) << run.out;
    EXPECT_EQ(run.count("code:SlowDown"), 2) << run.out;
    // Only the response lines: the form names no file of its own.
    EXPECT_EQ(run.count("upload", true), 0) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - 8), "succeed\n") << run.out;
}

TEST(Refusals, EachNamesTheStoresCodeAndItsHintOncePerRun)
{
    // Every upload refused alike: each says why, the hint comes once.
    harness::StoreOptions standardOnly;
    standardOnly.storageClasses = {"STANDARD"};
    ToolOverStore run(standardOnly);
    run.write("site/a.html", "a\n");
    run.write("site/b.html", "b\n");
    EXPECT_EQ(run.tool(""), 1) << run.out;
    // a, b and the page of the pages' phase; the index page waits for them.
    EXPECT_EQ(run.count("code:InvalidStorageClass"), 3) << run.out;
    EXPECT_EQ(run.count("status:", true), 3) << run.out;
    EXPECT_EQ(run.count("hint: ", true), 1) << run.out;

    // A refused listing: its code, and the hint naming the key file in use.
    run.write("wrong-key", std::string(harness::kAccessKeyId) + "\nnot-the-secret\n");
    EXPECT_EQ(run.tool("", {{"SITEMIRROR_KEY_FILE", run.dir.path() + "/wrong-key"}}), 1)
        << run.out;
    EXPECT_EQ(run.count("code:SignatureDoesNotMatch"), 1) << run.out;
    EXPECT_EQ(run.count("hint: the store computed another signature: check the secret access "
                        "key in " + run.dir.path() + "/wrong-key"),
              1)
        << run.out;

    // A bucket the store does not have.
    EXPECT_EQ(run.tool("", {{"SITEMIRROR_BUCKET", "missing.example"}}), 1) << run.out;
    EXPECT_EQ(run.count("code:NoSuchBucket"), 1) << run.out;
    EXPECT_EQ(run.count("hint: the store has no such bucket: set SITEMIRROR_BUCKET"), 1)
        << run.out;
}

TEST(RulesFile, ACacheControlValueTooLongToSendStopsTheRunBeforeAnything)
{
    ToolOverStore run;
    const std::string strConfig = run.write(
        "config/sitemirror/config.toml",
        "jobs = 2\nrules = [\n  { match = \"*\", cache_control = \"" +
            std::string(S3_MAX_HEADER_VALUE_SIZE + 1, 'x') + "\" },\n]\n");
    std::string strFile = run.write("one.html", "1\n");
    for (const std::string &strArgs : {std::string(), "'" + strFile + "'"}) {
        SCOPED_TRACE(strArgs.empty() ? "mirror" : "one file");
        run.store.resetCounters();
        EXPECT_EQ(run.tool(strArgs), 2) << run.out;
        EXPECT_EQ(run.out.rfind(strConfig + ":3: cache_control is longer than", 0), 0u) << run.out;
        EXPECT_EQ(run.store.counters().requests, 0);
    }
    EXPECT_FALSE(std::ifstream(run.dir.path() + "/site/fileLists.html").good());
}

TEST(CaFile, OneTheClientCannotUseFailsTheRunBeforeAnythingIsWrittenOrSent)
{
    ToolOverStore run;
    const std::string strCaFile = run.dir.path() + "/" + std::string(4096, 'c') + ".pem";
    std::string strFile = run.write("one.html", "1\n");
    for (const std::string &strArgs : {std::string(), "'" + strFile + "'"}) {
        SCOPED_TRACE(strArgs.empty() ? "mirror" : "one file");
        run.store.resetCounters();
        EXPECT_EQ(run.tool(strArgs, {{"SITEMIRROR_CA_FILE", strCaFile}}), 1) << run.out;
        EXPECT_EQ(run.out.rfind("cannot use CA file: " + strCaFile + " (", 0), 0u) << run.out;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        EXPECT_EQ(run.store.counters().requests, 0);
    }
    EXPECT_FALSE(std::ifstream(run.dir.path() + "/site/fileLists.html").good());
}

} // namespace
