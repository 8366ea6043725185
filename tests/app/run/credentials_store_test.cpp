// Each credential source through the binary and the checking store: the keys
// it finds sign the run's requests, a session token travels signed in both
// versions, and a store holding temporary keys refuses a wrong or missing one.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "harness.h"
#include "settings.h"
#include "tempdir.h"

namespace {

const char *const kToken = "IQoJb3JpZ2luX2VjEXAMPLE/+token==";

// A site, a scratch home and one store; runs of the binary with every
// credential variable set empty (unset) unless a case sets it.
class CredentialRun {
public:
    explicit CredentialRun(harness::StoreOptions options = {}) : store(options)
    {
        store.createBucket(bucket);
        std::filesystem::create_directories(dir.path() + "/site");
        std::filesystem::create_directories(dir.path() + "/home/.aws");
        dir.write("site/index.html", "<p>index</p>\n");
    }
    int mirror(const std::map<std::string, std::string> &extra, const std::string &strArgs = "")
    {
        std::map<std::string, std::string> vars = {
            {"SITEMIRROR_BUCKET", bucket},
            {"SITEMIRROR_ROOT", dir.path() + "/site/"},
            {"SITEMIRROR_SITE_URL", "http://" + bucket},
            {"SITEMIRROR_ENDPOINT", "http://" + store.endpoint()},
            {"SITEMIRROR_KEY_FILE", ""},
            {"SITEMIRROR_SIGNATURE", ""},
            {"HOME", dir.path() + "/home"},
            {"XDG_CONFIG_HOME", dir.path() + "/config"},
            {"XDG_CACHE_HOME", dir.path() + "/cache"},
            {"AWS_ACCESS_KEY_ID", ""},
            {"AWS_SECRET_ACCESS_KEY", ""},
            {"AWS_SESSION_TOKEN", ""},
            {"AWS_PROFILE", ""},
            {"AWS_SHARED_CREDENTIALS_FILE", ""}};
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        std::string strCommand = std::string(SITEMIRROR_BINARY) + (bTrace ? "" : " -q") + strArgs;
        return harness::runCommand(strCommand, &out, &err, vars, 120);
    }
    bool has(const std::string &strText) const { return out.find(strText) != std::string::npos; }
    bool stored() { return store.getObject(bucket, "index.html").exists; }

    harness::Store store;
    TempDir dir;
    std::string bucket = "credentials.example";
    std::string out, err;
    bool bTrace = false; // libcurl's trace on standard error (runs are -q otherwise)
};

std::map<std::string, std::string> environmentPair()
{
    return {{"AWS_ACCESS_KEY_ID", harness::kAccessKeyId},
            {"AWS_SECRET_ACCESS_KEY", harness::kSecretAccessKey}};
}

TEST(CredentialSourcesOverTheStore, EachSourceSignsTheRun)
{
    // The designed key file must not stand in for the sources below.
    struct stat st;
    ASSERT_NE(stat(pszKeyFilePath, &st), 0) << pszKeyFilePath << " exists on this machine";

    CredentialRun run;
    const std::string pair = std::string(harness::kAccessKeyId) + "\n" +
                             harness::kSecretAccessKey + "\n";
    const std::string keyFile = run.dir.write("s3key", pair);
    chmod(keyFile.c_str(), 0600);
    const std::string profiles = std::string("[default]\naws_access_key_id = ") +
                                 harness::kAccessKeyId + "\naws_secret_access_key = " +
                                 harness::kSecretAccessKey + "\n[other]\naws_access_key_id = " +
                                 "AKIDOTHER\naws_secret_access_key = wrong\n";
    const std::string shared = run.dir.write("home/.aws/credentials", profiles);
    chmod(shared.c_str(), 0600);
    const std::string named = run.dir.write("ci-credentials", profiles);
    chmod(named.c_str(), 0600);

    const struct {
        const char *what;
        std::map<std::string, std::string> env;
        std::string source; // the line -h prints
    } rows[] = {
        {"SITEMIRROR_KEY_FILE", {{"SITEMIRROR_KEY_FILE", keyFile}, {"AWS_PROFILE", "other"}},
         "credentials: key file " + keyFile + " (SITEMIRROR_KEY_FILE)"},
        {"the environment's pair", environmentPair(),
         "credentials: environment (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY)"},
        {"a named profile of a named file",
         {{"AWS_PROFILE", "default"}, {"AWS_SHARED_CREDENTIALS_FILE", named}},
         "credentials: profile [default] in " + named + " (AWS_PROFILE)"},
        {"the default profile of ~/.aws/credentials", {},
         "credentials: profile [default] in " + shared},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(run.mirror(row.env, " -h"), 0) << run.out;
        EXPECT_TRUE(run.has("\n" + row.source + "\n")) << run.out;
        EXPECT_FALSE(run.has(harness::kSecretAccessKey)) << run.out;

        run.store.resetCounters();
        run.dir.write("site/index.html", std::string("<p>") + row.what + "</p>\n");
        EXPECT_EQ(run.mirror(row.env), 0) << run.out;
        EXPECT_EQ(run.store.getObject(run.bucket, "index.html").body,
                  std::string("<p>") + row.what + "</p>\n");
        EXPECT_EQ(run.store.counters().rejected, 0);
    }

    // A profile the store does not know is refused there, and the hint names
    // the profile, not a key file.
    EXPECT_EQ(run.mirror({{"AWS_PROFILE", "other"}}), 1) << run.out;
    EXPECT_TRUE(run.has("hint: the store does not know the access key id read from profile "
                        "[other] in " + shared))
        << run.out;

    // What is set but unusable stops the run before any request.
    run.store.resetCounters();
    EXPECT_EQ(run.mirror({{"AWS_ACCESS_KEY_ID", harness::kAccessKeyId}}), 1);
    EXPECT_TRUE(run.has("credentials: AWS_ACCESS_KEY_ID is set in the environment but "
                        "AWS_SECRET_ACCESS_KEY is not\n"))
        << run.out;
    EXPECT_EQ(run.mirror({{"AWS_PROFILE", "ci"}}), 1);
    EXPECT_TRUE(run.has("credentials: AWS_PROFILE=ci, but " + shared + " has no profile [ci]; "
                        "looked at: profile [ci] in the config file " + run.dir.path() +
                        "/home/.aws/config (no such file)\n"))
        << run.out;
    EXPECT_EQ(run.store.counters().requests, 0);

    // A key file others can read still signs, after one warning with its chmod.
    chmod(keyFile.c_str(), 0644);
    EXPECT_EQ(run.mirror({{"SITEMIRROR_KEY_FILE", keyFile}}), 0) << run.out;
    EXPECT_NE(run.err.find("warning: key file " + keyFile + " is readable by group or others "
                           "(mode 644); to fix: chmod go-rwx " + keyFile + "\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("warning:"), std::string::npos) << run.out;
}

TEST(SessionTokenOverTheStore, SignedInBothVersionsAndRefusedWhenWrongOrMissing)
{
    harness::StoreOptions temporary;
    temporary.sessionToken = kToken;
    CredentialRun run(temporary);
    for (const char *pszVersion : {"v2", "v4"}) {
        SCOPED_TRACE(pszVersion);
        auto env = environmentPair();
        env["SITEMIRROR_SIGNATURE"] = pszVersion;
        env["AWS_SESSION_TOKEN"] = kToken;

        ASSERT_EQ(run.mirror(env, " -h"), 0) << run.out;
        EXPECT_TRUE(run.has("\ncredentials: environment (AWS_ACCESS_KEY_ID, "
                            "AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN)\n"))
            << run.out;
        EXPECT_FALSE(run.has(kToken)) << run.out;

        run.store.resetCounters();
        run.dir.write("site/index.html", std::string("<p>") + pszVersion + "</p>\n");
        EXPECT_EQ(run.mirror(env), 0) << run.out;
        EXPECT_EQ(run.store.getObject(run.bucket, "index.html").body,
                  std::string("<p>") + pszVersion + "</p>\n");
        const harness::Counters counters = run.store.counters();
        EXPECT_EQ(counters.rejected, 0);
        EXPECT_GE(counters.puts, 2); // the page and index.html

        // The same keys with another token, or none, are the store's to refuse.
        run.dir.write("site/index.html", std::string("<p>changed ") + pszVersion + "</p>\n");
        env["AWS_SESSION_TOKEN"] = std::string(kToken) + "x";
        EXPECT_EQ(run.mirror(env), 1) << run.out;
        EXPECT_TRUE(run.has("code:InvalidToken")) << run.out;
        env["AWS_SESSION_TOKEN"] = "";
        EXPECT_EQ(run.mirror(env), 1) << run.out;
        EXPECT_TRUE(run.has("code:InvalidAccessKeyId")) << run.out;
        EXPECT_EQ(run.store.getObject(run.bucket, "index.html").body,
                  std::string("<p>") + pszVersion + "</p>\n");
    }

    // With the trace on, nothing the run prints holds the token, also when
    // the store refuses and echoes what it signed.
    run.bTrace = true;
    auto env = environmentPair();
    env["SITEMIRROR_SIGNATURE"] = "v4";
    env["AWS_SESSION_TOKEN"] = kToken;
    run.dir.write("site/index.html", "<p>traced</p>\n");
    EXPECT_EQ(run.mirror(env), 0) << run.out;
    EXPECT_NE(run.err.find("x-amz-security-token: <redacted>"), std::string::npos) << run.err;
    env["AWS_SECRET_ACCESS_KEY"] = "wrong";
    EXPECT_EQ(run.mirror(env), 1) << run.out;
    EXPECT_TRUE(run.has("code:SignatureDoesNotMatch")) << run.out;
    EXPECT_TRUE(run.has("x-amz-security-token:<redacted>")) << run.out;
    for (const std::string &strPrinted : {run.out, run.err})
        EXPECT_EQ(strPrinted.find("b3JpZ2luX2Vj"), std::string::npos) << strPrinted;
    run.bTrace = false;

    // The token of a profile goes the same way.
    const std::string profile = std::string("[deploy]\naws_access_key_id=") + harness::kAccessKeyId +
                                "\naws_secret_access_key=" + harness::kSecretAccessKey +
                                "\naws_session_token=" + kToken + "\n";
    const std::string shared = run.dir.write("home/.aws/credentials", profile);
    chmod(shared.c_str(), 0600);
    run.dir.write("site/index.html", "<p>profile</p>\n");
    EXPECT_EQ(run.mirror({{"AWS_PROFILE", "deploy"}, {"SITEMIRROR_SIGNATURE", "v4"}}), 0)
        << run.out;
    EXPECT_EQ(run.store.getObject(run.bucket, "index.html").body, "<p>profile</p>\n");
}

} // namespace
