// Each source of temporary keys end to end: the binary finds it, fetches the
// keys from a loopback stand-in of its service (STS checking the V4 signature
// of AssumeRole, a web identity token, the SSO portal, a container endpoint
// checking its Authorization, IMDSv2 demanding its session token, a
// credential_process), and every request the store gets carries that
// source's session token. A source that is set but fails stops the run before
// anything is sent, with one line naming it; keys that expire during a run
// are fetched again.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <openssl/sha.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "harness.h"
#include "tempdir.h"

namespace {

const char *const kToken = "FwoGZXIvYXdzEXAMPLEsessionTOKEN/+=";
const char *const kRoleArn = "arn:aws:iam::123456789012:role/site-deployer";

// A site, a scratch home, the store holding temporary keys that go with
// kToken, and the stand-ins that hand them out.
class SourceRun {
public:
    explicit SourceRun(harness::StoreOptions options = temporaryStore(),
                       double lifetimeSeconds = 3600)
        : store(options), services(serviceOptions(lifetimeSeconds))
    {
        store.createBucket(bucket);
        std::filesystem::create_directories(dir.path() + "/site");
        std::filesystem::create_directories(dir.path() + "/home/.aws/sso/cache");
        dir.write("site/index.html", "<p>index</p>\n");
    }
    static harness::StoreOptions temporaryStore()
    {
        harness::StoreOptions options;
        options.sessionToken = kToken;
        return options;
    }
    static harness::CredentialServerOptions serviceOptions(double lifetimeSeconds)
    {
        harness::CredentialServerOptions o;
        o.sourceAccessKey = "AKIDSOURCEEXAMPLE";
        o.sourceSecretKey = "source/secret/key";
        o.containerToken = "Bearer container-token";
        o.giveKey = harness::kAccessKeyId;
        o.giveSecret = harness::kSecretAccessKey;
        o.giveToken = kToken;
        o.lifetimeSeconds = lifetimeSeconds;
        return o;
    }
    int mirror(const std::map<std::string, std::string> &extra, const std::string &strArgs = " -q")
    {
        std::map<std::string, std::string> vars = {
            {"SITEMIRROR_BUCKET", bucket},
            {"SITEMIRROR_ROOT", dir.path() + "/site/"},
            {"SITEMIRROR_SITE_URL", "http://" + bucket},
            {"SITEMIRROR_ENDPOINT", "http://" + store.endpoint()},
            {"SITEMIRROR_SIGNATURE", "v4"},
            {"SITEMIRROR_KEY_FILE", ""},
            {"SITEMIRROR_INSTANCE_METADATA", ""},
            {"HOME", dir.path() + "/home"},
            {"XDG_CONFIG_HOME", dir.path() + "/config"},
            {"XDG_CACHE_HOME", dir.path() + "/cache"},
            {"AWS_ENDPOINT_URL_STS", services.url()},
            {"AWS_ENDPOINT_URL_SSO", services.url()}};
        for (const char *pszName :
             {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE",
              "AWS_SHARED_CREDENTIALS_FILE", "AWS_CONFIG_FILE", "AWS_REGION", "AWS_DEFAULT_REGION",
              "AWS_ENDPOINT_URL", "AWS_ENDPOINT_URL_S3", "AWS_WEB_IDENTITY_TOKEN_FILE",
              "AWS_ROLE_ARN", "AWS_ROLE_SESSION_NAME", "AWS_CONTAINER_CREDENTIALS_FULL_URI",
              "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", "AWS_CONTAINER_AUTHORIZATION_TOKEN",
              "AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE", "AWS_EC2_METADATA_SERVICE_ENDPOINT"})
            vars[pszName] = "";
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        return harness::runCommand(std::string(SITEMIRROR_BINARY) + strArgs, &out, &err, vars, 120);
    }
    bool has(const std::string &strText) const { return out.find(strText) != std::string::npos; }
    std::string config(const std::string &strText) { return dir.write("home/.aws/config", strText); }

    harness::Store store;
    harness::CredentialServer services;
    TempDir dir;
    std::string bucket = "sources.example";
    std::string out, err;
};

std::string sha1Hex(const std::string &str)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(str.data()), str.size(), digest);
    char sz[2 * SHA_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA_DIGEST_LENGTH; ++i)
        std::snprintf(sz + 2 * i, 3, "%02x", digest[i]);
    return sz;
}

// A credential_process printing the keys that go with kToken.
std::string processPrinting(const std::string &strExpiration)
{
    return std::string("printf '{\"Version\": 1, \"AccessKeyId\": \"") + harness::kAccessKeyId +
           "\", \"SecretAccessKey\": \"" + harness::kSecretAccessKey + "\", \"SessionToken\": \"" +
           kToken + "\"" + strExpiration + "}'";
}

TEST(TemporaryCredentialSources, EachSignsTheRunWithItsSessionToken)
{
    SourceRun run;
    const std::string home = run.dir.path() + "/home";
    const std::string shared = run.dir.write(
        "home/.aws/credentials", "[base]\naws_access_key_id = AKIDSOURCEEXAMPLE\n"
                                 "aws_secret_access_key = source/secret/key\n");
    chmod(shared.c_str(), 0600);
    const std::string tokenFile = run.dir.write("web-token", "web-identity-token\n");
    const std::string script = run.dir.write("process.sh", processPrinting("") + "\n");
    chmod(script.c_str(), 0700);
    const std::string config = run.config(
        "[profile process]\ncredential_process = " + script +
        "\n[profile deploy]\nrole_arn = " + kRoleArn + "\nsource_profile = base\n"
        "external_id = site-42\nduration_seconds = 900\n"
        "[profile from-instance]\nrole_arn = " + kRoleArn +
        "\ncredential_source = Ec2InstanceMetadata\n"
        "[profile sso]\nsso_session = corp\nsso_account_id = 123456789012\n"
        "sso_role_name = Deployer\n[sso-session corp]\nsso_region = eu-west-1\n"
        "sso_start_url = https://corp.awsapps.example/start\n");
    run.dir.write("home/.aws/sso/cache/" + sha1Hex("corp") + ".json",
                  "{\"accessToken\": \"sso-access-token\", \"expiresAt\": \"2099-01-01T00:00:00Z\"}");

    // An instance whose role's keys are the ones STS takes for AssumeRole.
    harness::CredentialServerOptions sourceKeys = SourceRun::serviceOptions(3600);
    sourceKeys.giveKey = sourceKeys.sourceAccessKey;
    sourceKeys.giveSecret = sourceKeys.sourceSecretKey;
    harness::CredentialServer instance(sourceKeys);

    const struct {
        const char *what;
        std::map<std::string, std::string> env;
        std::string source; // the start of the line -h prints
        const char *service; // the stand-in that handed out the keys ("" = none)
    } rows[] = {
        {"credential_process", {{"AWS_PROFILE", "process"}},
         "credentials: credential_process of profile [process] in " + config, ""},
        {"a role assumed with a source profile's keys", {{"AWS_PROFILE", "deploy"}},
         std::string("credentials: role ") + kRoleArn + " of profile [deploy] in " + config +
             " (STS AssumeRole with profile [base] in " + shared + ")",
         "sts"},
        {"a role assumed with the instance's keys",
         {{"AWS_PROFILE", "from-instance"}, {"AWS_EC2_METADATA_SERVICE_ENDPOINT", instance.url()}},
         std::string("credentials: role ") + kRoleArn + " of profile [from-instance]", "sts"},
        {"web identity", {{"AWS_WEB_IDENTITY_TOKEN_FILE", tokenFile}, {"AWS_ROLE_ARN", kRoleArn}},
         "credentials: web identity " + tokenFile, "web"},
        {"SSO", {{"AWS_PROFILE", "sso"}},
         "credentials: SSO role Deployer of account 123456789012 (profile [sso] in " + config,
         "sso"},
        {"a container's endpoint",
         {{"AWS_CONTAINER_CREDENTIALS_FULL_URI", run.services.url() + "/container/v2/creds"},
          {"AWS_CONTAINER_AUTHORIZATION_TOKEN", "Bearer container-token"}},
         "credentials: container endpoint " + run.services.url() + "/container/v2/creds", "container"},
        {"instance metadata when asked",
         {{"AWS_EC2_METADATA_SERVICE_ENDPOINT", run.services.url()}},
         "credentials: instance metadata " + run.services.url(), "imds"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        // -h names the source and fetches nothing.
        const int nBefore = *row.service ? run.services.count(row.service) : 0;
        ASSERT_EQ(run.mirror(row.env, " -h"), 0) << run.out;
        EXPECT_TRUE(run.has("\n" + row.source)) << run.out;
        EXPECT_FALSE(run.has(kToken)) << run.out;
        if (*row.service) {
            EXPECT_EQ(run.services.count(row.service), nBefore);
        }

        run.store.resetCounters();
        run.dir.write("site/index.html", std::string("<p>") + row.what + "</p>\n");
        EXPECT_EQ(run.mirror(row.env), 0) << run.out << run.err;
        EXPECT_EQ(run.store.getObject(run.bucket, "index.html").body,
                  std::string("<p>") + row.what + "</p>\n");
        // The store takes the keys only with kToken: every request carried it.
        EXPECT_EQ(run.store.counters().rejected, 0);
        EXPECT_GE(run.store.counters().puts, 1);
        if (*row.service) {
            EXPECT_EQ(run.services.count(row.service), nBefore + 1);
        }
    }
    EXPECT_EQ(run.services.count("refused"), 0);
    EXPECT_EQ(instance.count("imds"), 1);
}

TEST(TemporaryCredentialSources, OneThatIsSetButFailsStopsTheRunBeforeAnythingIsSent)
{
    SourceRun run;
    const std::string config = run.config(
        "[profile exits]\ncredential_process = sh -c 'echo no >&2; exit 3'\n"
        "[profile garbled]\ncredential_process = echo not json\n"
        "[profile wrong-role]\nrole_arn = arn:aws:iam::123456789012:role/other\n"
        "aws_access_key_id = AKIDSOURCEEXAMPLE\n"
        "source_profile = wrong-role\naws_secret_access_key = source/secret/key\n"
        "[profile wrong-keys]\nrole_arn = " + std::string(kRoleArn) +
        "\nsource_profile = wrong-keys\naws_access_key_id = AKIDSOURCEEXAMPLE\n"
        "aws_secret_access_key = not-the-secret\n"
        "[profile no-source]\nrole_arn = " + kRoleArn + "\n"
        "[profile sso]\nsso_start_url = https://corp.example/start\nsso_region = eu-west-1\n"
        "sso_account_id = 1\nsso_role_name = R\n");
    run.dir.write("home/.aws/sso/cache/" + sha1Hex("https://corp.example/start") + ".json",
                  "{\"accessToken\": \"sso-access-token\", \"expiresAt\": \"2020-01-01T00:00:00Z\"}");
    const std::string missing = run.dir.path() + "/no-such-token";

    const struct {
        const char *what;
        std::map<std::string, std::string> env;
        std::string line;
    } rows[] = {
        {"a process that fails", {{"AWS_PROFILE", "exits"}},
         "credentials: credential_process of profile [exits] in " + config +
             " exited with status 3\n"},
        {"a process that prints no JSON", {{"AWS_PROFILE", "garbled"}},
         "credentials: credential_process of profile [garbled] in " + config +
             " printed no usable credentials: not a JSON object\n"},
        {"STS refuses the role", {{"AWS_PROFILE", "wrong-role"}},
         "): STS " + run.services.url().substr(7) + " refused: AccessDenied not authorized to "
         "assume this role\n"},
        {"STS refuses the signature", {{"AWS_PROFILE", "wrong-keys"}}, "refused: SignatureDoesNotMatch"},
        {"a role without a source", {{"AWS_PROFILE", "no-source"}},
         "credentials: profile [no-source] in " + config +
             " has role_arn but no source_profile or credential_source\n"},
        {"a missing token file", {{"AWS_WEB_IDENTITY_TOKEN_FILE", missing}, {"AWS_ROLE_ARN", kRoleArn}},
         "credentials: web identity " + missing + " for role " + kRoleArn +
             " (AWS_WEB_IDENTITY_TOKEN_FILE, AWS_ROLE_ARN): cannot read " + missing +
             " (No such file or directory)\n"},
        {"half of web identity", {{"AWS_ROLE_ARN", kRoleArn}},
         "credentials: AWS_ROLE_ARN is set in the environment but AWS_WEB_IDENTITY_TOKEN_FILE is "
         "not\n"},
        {"an expired SSO login", {{"AWS_PROFILE", "sso"}},
         "the SSO login has expired: run aws sso login\n"},
        {"a container that refuses its token",
         {{"AWS_CONTAINER_CREDENTIALS_FULL_URI", run.services.url() + "/container/creds"},
          {"AWS_CONTAINER_AUTHORIZATION_TOKEN", "Bearer wrong"}},
         "credentials: container endpoint " + run.services.url() +
             "/container/creds (AWS_CONTAINER_CREDENTIALS_FULL_URI): refused (HTTP 401)\n"},
        {"a container endpoint elsewhere over plain http",
         {{"AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://192.0.2.1/creds"}},
         "credentials: AWS_CONTAINER_CREDENTIALS_FULL_URI=http://192.0.2.1/creds: plain http only "
         "to this machine or the container agent; others need https://\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        run.store.resetCounters();
        EXPECT_EQ(run.mirror(row.env), 1) << run.out;
        EXPECT_TRUE(run.has(row.line)) << run.out;
        EXPECT_EQ(run.store.counters().requests, 0);
        // One line for the credentials, then the designed failure lines.
        EXPECT_EQ(run.out.compare(0, 13, "credentials: "), 0) << run.out;
        EXPECT_EQ(run.out.find("\ncredentials: "), std::string::npos) << run.out;
    }
}

TEST(TemporaryCredentialSources, KeysThatExpireDuringTheRunAreFetchedAgainAndNothingIsLost)
{
    // Every upload is answered SlowDown three times first, so the run lasts
    // longer than the keys: they live 2 s and are fetched again half way.
    harness::StoreOptions options = SourceRun::temporaryStore();
    options.slowDownPuts = 3;
    SourceRun run(options);
    const std::string counter = run.dir.path() + "/fetches";
    const std::string script = run.dir.write(
        "process.sh", "#!/bin/sh\necho fetched >> '" + counter + "'\n" +
                          processPrinting(", \"Expiration\": \"'\"$(date -u -d '+2 seconds' "
                                          "+%Y-%m-%dT%H:%M:%SZ)\"'\"") + "\n");
    chmod(script.c_str(), 0700);
    run.config("[default]\ncredential_process = " + script + "\n");
    for (int i = 0; i < 4; ++i)
        run.dir.write("site/page" + std::to_string(i) + ".html", "<p>" + std::to_string(i) + "</p>\n");

    ASSERT_EQ(run.mirror({{"SITEMIRROR_JOBS", "1"}}), 0) << run.out << run.err;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(run.store.getObject(run.bucket, "page" + std::to_string(i) + ".html").body,
                  "<p>" + std::to_string(i) + "</p>\n");
    std::ifstream in(counter);
    int nFetches = 0;
    for (std::string strLine; std::getline(in, strLine);)
        ++nFetches;
    EXPECT_GE(nFetches, 2) << run.out;
    EXPECT_EQ(run.err.find("cannot fetch the keys again"), std::string::npos) << run.err;
}

TEST(TemporaryCredentialSources, TheInstanceIsNeverAskedUnlessTheRunSaysSo)
{
    SourceRun run;
    EXPECT_EQ(run.mirror({}), 1);
    EXPECT_TRUE(run.has(", instance metadata (not asked for: SITEMIRROR_INSTANCE_METADATA=on)\n"))
        << run.out;
    EXPECT_EQ(run.store.counters().requests, 0);
    EXPECT_EQ(run.services.count("imds"), 0);
}

} // namespace
