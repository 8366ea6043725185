// Defaults and SITEMIRROR_* overrides of the settings module.
#include "settings.h"

#include <gtest/gtest.h>

#include "rulesfile.h"
#include "tempdir.h"

#include <map>
#include <string>

namespace {

std::map<std::string, std::string> g_vars;

const char *lookup(const char *name)
{
    auto it = g_vars.find(name);
    return it == g_vars.end() ? nullptr : it->second.c_str();
}

TEST(Settings, DefaultsHoldWhenNothingIsSet)
{
    g_vars.clear();
    Settings s = loadSettings(lookup);
    EXPECT_EQ(s.strBucket, "www.quillmere.org");
    EXPECT_EQ(s.strRootPath, "/home/quorvin/Downloads/quillmere/public_html/");
    EXPECT_EQ(s.strKeyFile, "/home/quorvin/.amazon/s3key");
    EXPECT_EQ(s.strSiteUrl, "https://www.quillmere.org");
    EXPECT_EQ(s.strEndpoint, "");
    EXPECT_EQ(s.strCaFile, "");
}

TEST(Settings, EachVariableOverridesItsSettingAndEmptyMeansUnset)
{
    g_vars = {{"SITEMIRROR_BUCKET", "b.example"},     {"SITEMIRROR_ROOT", "/tmp/site"},
              {"SITEMIRROR_KEY_FILE", "/tmp/k"},       {"SITEMIRROR_SITE_URL", "http://x"},
              {"SITEMIRROR_ENDPOINT", "127.0.0.1:9"}, {"SITEMIRROR_CA_FILE", ""}};
    Settings s = loadSettings(lookup);
    EXPECT_EQ(s.strBucket, "b.example");
    EXPECT_EQ(s.strRootPath, "/tmp/site");
    EXPECT_EQ(s.strKeyFile, "/tmp/k");
    EXPECT_EQ(s.strSiteUrl, "http://x");
    EXPECT_EQ(s.strEndpoint, "127.0.0.1:9");
    EXPECT_EQ(s.strCaFile, "");
}

} // namespace

namespace {

TEST(Settings, EndpointGivesHostAndProtocol)
{
    struct Row {
        const char *in;
        const char *host;
        bool https;
    } rows[] = {
        {"", "", true},
        {"s3.example.com", "s3.example.com", true},
        {"127.0.0.1:9000", "127.0.0.1:9000", true},
        {"http://127.0.0.1:9000", "127.0.0.1:9000", false},
        {"HTTP://127.0.0.1:9000/", "127.0.0.1:9000", false},
        {"https://s3.example.com:8443", "s3.example.com:8443", true},
        {"https://", "", true},
    };
    for (const Row &row : rows) {
        Endpoint e = parseEndpoint(row.in);
        EXPECT_EQ(e.strHost, row.host) << row.in;
        EXPECT_EQ(e.bHttps, row.https) << row.in;
    }
}

TEST(Settings, TransferSettingsParseAndInvalidValuesNameTheVariable)
{
    g_vars = {{"SITEMIRROR_SIGNATURE", "V4"},      {"SITEMIRROR_REGION", "eu-west-1"},
              {"SITEMIRROR_ACL", "none"},          {"SITEMIRROR_STORAGE_CLASS", "none"},
              {"SITEMIRROR_JOBS", "1"},            {"SITEMIRROR_RETRIES", "0"},
              {"SITEMIRROR_REQUEST_TIMEOUT", "5"}, {"SITEMIRROR_DIGEST_CACHE", "off"},
              {"XDG_CACHE_HOME", "/c"},            {"HOME", "/h"}};
    Settings s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_TRUE(s.bSignatureV4);
    EXPECT_EQ(s.strRegion, "eu-west-1");
    EXPECT_FALSE(s.bCannedAcl);
    EXPECT_EQ(s.strStorageClass, ""); // "none": no header
    EXPECT_EQ(s.nJobs, 1);
    EXPECT_EQ(s.nRetries, 0);
    EXPECT_EQ(s.nRequestTimeout, 5);
    EXPECT_FALSE(s.bDigestCache);
    EXPECT_EQ(s.strCacheDir, "/c/sitemirror/");

    g_vars = {{"HOME", "/h"}, {"SITEMIRROR_STORAGE_CLASS", ""}};
    s = loadSettings(lookup);
    EXPECT_EQ(s.strCacheDir, "/h/.cache/sitemirror/");
    EXPECT_EQ(s.strStorageClass, "REDUCED_REDUNDANCY");
    EXPECT_EQ(s.nJobs, 0); // auto: found while sending

    const char *bad[][2] = {{"SITEMIRROR_SIGNATURE", "v3"},  {"SITEMIRROR_ACL", "public"},
                            {"SITEMIRROR_JOBS", "0"},        {"SITEMIRROR_JOBS", "65"},
                            {"SITEMIRROR_RETRIES", "-1"},    {"SITEMIRROR_RETRIES", "3x"},
                            {"SITEMIRROR_REQUEST_TIMEOUT", "0"},
                            {"SITEMIRROR_DIGEST_CACHE", "yes"},
                            {"SITEMIRROR_STORAGE_CLASS", "A\r\nx-amz-acl: public-read"},
                            {"SITEMIRROR_REGION", "eu-west-1\r\nx-amz-acl: public-read"},
                            {"SITEMIRROR_REGION", "eu west"}};
    for (const auto &row : bad) {
        SCOPED_TRACE(std::string(row[0]) + "=" + row[1]);
        g_vars = {{row[0], row[1]}};
        s = loadSettings(lookup);
        ASSERT_EQ(s.errors.size(), 1u);
        EXPECT_EQ(s.errors[0].rfind(std::string("invalid setting: ") + row[0] + "=", 0), 0u);
        EXPECT_NE(s.errors[0].find("accepted"), std::string::npos);
    }
}

TEST(SettingsJobs, AutoOrAWholeNumberFromOneTo64ForTheVariableAndTheOption)
{
    const struct {
        const char *value;
        bool ok;
        int nJobs;
    } rows[] = {{"auto", true, 0}, {"AUTO", true, 0}, {"Auto", true, 0}, {"1", true, 1},
                {"64", true, 64},  {"0", false, 0},   {"65", false, 0},  {"auto2", false, 0},
                {" auto", false, 0}, {"-1", false, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.value);
        g_vars = {{"SITEMIRROR_JOBS", row.value}};
        Settings s = loadSettings(lookup);
        EXPECT_EQ(s.errors.empty(), row.ok);
        EXPECT_EQ(s.nJobs, row.nJobs); // a refused value keeps the default, auto
        // The option reads its value as the variable does, and names itself.
        Settings o = loadSettings(lookup, RulesFile(), "", {{"SITEMIRROR_JOBS", {"--jobs", row.value}}});
        EXPECT_EQ(o.nJobs, row.nJobs);
        if (row.ok)
            EXPECT_TRUE(o.errors.empty());
        else
            EXPECT_EQ(o.errors, std::vector<std::string>{std::string("invalid option: --jobs ") + row.value +
                                                         " (accepted: auto, or a whole number from 1 to 64)"});
    }
}

} // namespace

namespace {

// The layers a value may come from: option over variable over rules file over
// default, where an empty variable or file value is one not given; a refused
// value names the layer it came from.
TEST(SettingLayers, EachValueComesFromTheHighestLayerThatGivesOneAndIsNamedWhenRefused)
{
    TempDir dir;
    const std::string strFile = dir.write("config.toml", "bucket = \"file.example\"\n"
                                                         "jobs = 8\n"
                                                         "\n"
                                                         "retries = 11\n"
                                                         "region = \"\"\n"
                                                         "key_file = \"/k/file\"\n"
                                                         "publish_vcs = true\n");
    RulesFile rules;
    std::string strError;
    ASSERT_TRUE(readRulesFile(strFile, true, rules, strError)) << strError;

    struct Row {
        const char *what;
        std::map<std::string, std::string> vars;
        OptionSettings options;
        std::string bucket;
        int jobs;
        std::vector<std::string> errors;
    } rows[] = {
        {"the file under nothing",
         {},
         {},
         "file.example",
         8,
         {strFile + ":4: invalid setting: retries=11 (accepted: a whole number from 0 to 10)"}},
        {"empty variables are not given: the file's values stand",
         {{"SITEMIRROR_BUCKET", ""}, {"SITEMIRROR_JOBS", ""}, {"SITEMIRROR_RETRIES", "2"}},
         {},
         "file.example",
         8,
         {}},
        {"variables over the file",
         {{"SITEMIRROR_BUCKET", "env.example"}, {"SITEMIRROR_JOBS", "0"}, {"SITEMIRROR_RETRIES", "2"}},
         {},
         "env.example",
         0,
         {"invalid setting: SITEMIRROR_JOBS=0 (accepted: auto, or a whole number from 1 to 64)"}},
        {"an option over an invalid variable",
         {{"SITEMIRROR_JOBS", "many"}, {"SITEMIRROR_RETRIES", "2"}},
         {{"SITEMIRROR_JOBS", {"--jobs", "4"}}},
         "file.example",
         4,
         {}},
        {"an invalid option over a valid variable",
         {{"SITEMIRROR_JOBS", "2"}, {"SITEMIRROR_RETRIES", "2"}},
         {{"SITEMIRROR_JOBS", {"--jobs", "0"}}},
         "file.example",
         0,
         {"invalid option: --jobs 0 (accepted: auto, or a whole number from 1 to 64)"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        g_vars = row.vars;
        Settings s = loadSettings(lookup, rules, strFile, row.options);
        EXPECT_EQ(s.strBucket, row.bucket);
        EXPECT_EQ(s.nJobs, row.jobs);
        EXPECT_EQ(s.errors, row.errors);
        EXPECT_EQ(s.strRegion, "us-east-1"); // empty in the file: the default
        EXPECT_TRUE(s.bPublishVcs);
        EXPECT_TRUE(s.bKeyFileNamed);
        EXPECT_EQ(s.strKeyFile, "/k/file");
        EXPECT_EQ(s.strConfigFile, strFile);
    }

    // The key file counts as named only when some layer names it.
    g_vars = {{"SITEMIRROR_KEY_FILE", ""}};
    Settings s = loadSettings(lookup);
    EXPECT_FALSE(s.bKeyFileNamed);
    EXPECT_EQ(s.strKeyFile, "/home/quorvin/.amazon/s3key");
    EXPECT_FALSE(s.bPublishVcs);
    g_vars = {{"SITEMIRROR_KEY_FILE", "/k/env"}, {"SITEMIRROR_PUBLISH_VCS", "maybe"}};
    s = loadSettings(lookup);
    EXPECT_TRUE(s.bKeyFileNamed);
    EXPECT_EQ(s.errors, (std::vector<std::string>{
                            "invalid setting: SITEMIRROR_PUBLISH_VCS=maybe (accepted: on, off)"}));
}

TEST(Settings, APrefixIsAFolderOfTheBucketOrRefusedNamingTheVariable)
{
    struct Row {
        const char *in;
        const char *prefix; // null: refused
    } rows[] = {
        {"", ""},
        {"blog", "blog/"},
        {"blog/", "blog/"},
        {"sites/blog/2026", "sites/blog/2026/"},
        {"a..b/c.d/", "a..b/c.d/"},
        {"caf\xc3\xa9/", "caf\xc3\xa9/"},
        {"/blog/", nullptr},
        {"/", nullptr},
        {"../blog", nullptr},
        {"blog/../other", nullptr},
        {"blog/./x", nullptr},
        {"a//b", nullptr},
        {"blog\n", nullptr},
        {"tab\there", nullptr},
    };
    for (const Row &r : rows) {
        g_vars = {{"SITEMIRROR_PREFIX", r.in}};
        Settings s = loadSettings(lookup);
        if (r.prefix) {
            EXPECT_TRUE(s.errors.empty()) << r.in;
            EXPECT_EQ(s.strPrefix, r.prefix) << r.in;
        } else {
            ASSERT_EQ(s.errors.size(), 1u) << r.in;
            EXPECT_EQ(s.errors[0].rfind("invalid setting: SITEMIRROR_PREFIX=", 0), 0u) << s.errors[0];
            EXPECT_EQ(s.strPrefix, "") << r.in;
        }
    }
    std::string strPrefix;
    std::string strError;
    EXPECT_TRUE(parsePrefix(std::string(kMaxPrefixSize - 1, 'p'), strPrefix, strError));
    EXPECT_EQ(strPrefix.size(), kMaxPrefixSize);
    EXPECT_FALSE(parsePrefix(std::string(kMaxPrefixSize, 'p'), strPrefix, strError));
}

TEST(Settings, DeletionIsOffAndLimitedUnlessSet)
{
    g_vars.clear();
    Settings s = loadSettings(lookup);
    EXPECT_FALSE(s.bDelete);
    EXPECT_EQ(s.nMaxDelete, 100);

    g_vars = {{"SITEMIRROR_DELETE", "ON"}, {"SITEMIRROR_MAX_DELETE", "0"}};
    s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_TRUE(s.bDelete);
    EXPECT_EQ(s.nMaxDelete, 0);

    g_vars = {{"SITEMIRROR_DELETE", "yes"}, {"SITEMIRROR_MAX_DELETE", "-1"}};
    s = loadSettings(lookup);
    ASSERT_EQ(s.errors.size(), 2u);
    EXPECT_EQ(s.errors[0].rfind("invalid setting: SITEMIRROR_DELETE=yes", 0), 0u);
    EXPECT_EQ(s.errors[1].rfind("invalid setting: SITEMIRROR_MAX_DELETE=-1", 0), 0u);
    EXPECT_FALSE(s.bDelete);
    EXPECT_EQ(s.nMaxDelete, 100);

    // The share of the listed objects a run may delete: percent, "%" optional.
    EXPECT_EQ(s.nMaxDeleteShare, 50);
    for (const auto &row : std::vector<std::pair<const char *, int>>{{"0", 0}, {"100%", 100}, {"7%", 7}}) {
        g_vars = {{"SITEMIRROR_MAX_DELETE_SHARE", row.first}};
        s = loadSettings(lookup);
        EXPECT_TRUE(s.errors.empty()) << row.first;
        EXPECT_EQ(s.nMaxDeleteShare, row.second) << row.first;
    }
    for (const char *pszBad : {"101", "%", "50%%", "-5", "half"}) {
        g_vars = {{"SITEMIRROR_MAX_DELETE_SHARE", pszBad}};
        s = loadSettings(lookup);
        ASSERT_EQ(s.errors.size(), 1u) << pszBad;
        EXPECT_EQ(s.errors[0], std::string("invalid setting: SITEMIRROR_MAX_DELETE_SHARE=") + pszBad +
                                   " (accepted: a share from 0% to 100%)");
        EXPECT_EQ(s.nMaxDeleteShare, 50);
    }
}

TEST(Settings, CloudFrontSettingsParseAndAnIdThatIsNoIdIsRefused)
{
    g_vars = {};
    Settings s = loadSettings(lookup);
    EXPECT_EQ(s.strCloudFrontDistribution, "");
    EXPECT_EQ(s.strCloudFrontEndpoint, "");
    EXPECT_EQ(s.nInvalidationMaxPaths, 100);

    g_vars = {{"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E2ABC123xyz"},
              {"SITEMIRROR_CLOUDFRONT_ENDPOINT", "http://127.0.0.1:9"},
              {"SITEMIRROR_INVALIDATION_MAX_PATHS", "3000"}};
    s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.strCloudFrontDistribution, "E2ABC123xyz");
    EXPECT_EQ(s.strCloudFrontEndpoint, "http://127.0.0.1:9");
    EXPECT_EQ(s.nInvalidationMaxPaths, 3000);
    g_vars = {{"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E1, E2"}};
    s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.strCloudFrontDistribution, "E1, E2");

    // The id goes into the request's path: nothing but letters and digits.
    const char *bad[][2] = {{"SITEMIRROR_INVALIDATION_MAX_PATHS", "0"},
                            {"SITEMIRROR_INVALIDATION_MAX_PATHS", "3001"},
                            {"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E1/../x"},
                            {"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E1,E2/x"},
                            {"SITEMIRROR_CLOUDFRONT_DISTRIBUTION",
                             "E1,E1234567890123456789012345678901234567890123456789012345678901234"},
                            {"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E1?x=1"},
                            {"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E1\r\nHost: x"}};
    for (const auto &row : bad) {
        SCOPED_TRACE(std::string(row[0]) + "=" + row[1]);
        g_vars = {{row[0], row[1]}};
        s = loadSettings(lookup);
        ASSERT_EQ(s.errors.size(), 1u);
        EXPECT_EQ(s.errors[0].rfind(std::string("invalid setting: ") + row[0] + "=", 0), 0u);
        EXPECT_EQ(s.strCloudFrontDistribution, "");
        EXPECT_EQ(s.nInvalidationMaxPaths, 100);
    }
}

TEST(SettingLayers, ANamedTargetSitsBetweenTheFileAndTheEnvironment)
{
    TempDir dir;
    const std::string strFile = dir.write("config.toml", "bucket = \"file.example\"\n"
                                                         "jobs = 8\n"
                                                         "[targets.staging]\n"
                                                         "bucket = \"staging.example\"\n"
                                                         "prefix = \"preview\"\n"
                                                         "[targets.broken]\n"
                                                         "retries = 99\n");
    RulesFile rules;
    std::string strError;
    ASSERT_TRUE(readRulesFile(strFile, true, rules, strError)) << strError;
    ASSERT_EQ(rules.targets.size(), 2u);

    struct Row {
        const char *what;
        std::map<std::string, std::string> vars;
        OptionSettings options;
        std::string bucket, prefix, target;
        std::vector<std::string> errors;
    } rows[] = {
        {"no target: the file's top level", {}, {}, "file.example", "", "", {}},
        {"the variable names it", {{"SITEMIRROR_TARGET", "staging"}}, {}, "staging.example",
         "preview/", "staging", {}},
        {"the environment over the target",
         {{"SITEMIRROR_TARGET", "staging"}, {"SITEMIRROR_BUCKET", "env.example"}}, {},
         "env.example", "preview/", "staging", {}},
        {"the option over the variable",
         {{"SITEMIRROR_TARGET", "nope"}},
         {{"SITEMIRROR_TARGET", {"--target", "staging"}}},
         "staging.example", "preview/", "staging", {}},
        {"an unknown name, with the names there are",
         {{"SITEMIRROR_TARGET", "prod"}}, {}, "file.example", "", "",
         {"invalid setting: SITEMIRROR_TARGET=prod (no such target; targets in " + strFile +
          ": broken, staging)"}},
        {"a target's value is refused at its line",
         {}, {{"SITEMIRROR_TARGET", {"--target", "broken"}}}, "file.example", "", "broken",
         {strFile + ":7: invalid setting: retries=99 (accepted: a whole number from 0 to 10)"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        g_vars = row.vars;
        Settings s = loadSettingsWithTarget(lookup, rules, strFile, row.options);
        EXPECT_EQ(s.strBucket, row.bucket);
        EXPECT_EQ(s.strPrefix, row.prefix);
        EXPECT_EQ(s.strTarget, row.target);
        EXPECT_EQ(s.nJobs, 8);
        EXPECT_EQ(s.errors, row.errors);
        EXPECT_EQ(s.targetNames, (std::vector<std::string>{"broken", "staging"}));
    }

    // Without a rules file a name is refused all the same.
    g_vars = {{"SITEMIRROR_TARGET", "staging"}};
    Settings s = loadSettingsWithTarget(lookup, RulesFile(), "", OptionSettings());
    EXPECT_EQ(s.errors, (std::vector<std::string>{
                            "invalid setting: SITEMIRROR_TARGET=staging (no such target; there "
                            "is no rules file)"}));
}

TEST(Settings, CloudflareNeedsTheTokenFromTheEnvironmentAndOutputIsTextOrJson)
{
    g_vars = {};
    Settings s = loadSettings(lookup);
    EXPECT_EQ(s.strCloudflareZone, "");
    EXPECT_EQ(s.nPurgeMaxUrls, 300);
    EXPECT_FALSE(s.bJsonOutput);

    g_vars = {{"SITEMIRROR_CLOUDFLARE_ZONE", "abc123"}, {"CLOUDFLARE_API_TOKEN", "t"},
              {"SITEMIRROR_PURGE_MAX_URLS", "31"}, {"SITEMIRROR_OUTPUT", "JSON"}};
    s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.strCloudflareZone, "abc123");
    EXPECT_EQ(s.strCloudflareToken, "t");
    EXPECT_EQ(s.nPurgeMaxUrls, 31);
    EXPECT_TRUE(s.bJsonOutput);

    const std::pair<const char *, std::map<std::string, std::string>> bad[] = {
        {"SITEMIRROR_CLOUDFLARE_ZONE", {{"SITEMIRROR_CLOUDFLARE_ZONE", "abc123"}}},
        {"SITEMIRROR_CLOUDFLARE_ZONE",
         {{"SITEMIRROR_CLOUDFLARE_ZONE", "abc/../x"}, {"CLOUDFLARE_API_TOKEN", "t"}}},
        {"SITEMIRROR_PURGE_MAX_URLS", {{"SITEMIRROR_PURGE_MAX_URLS", "0"}}},
        {"SITEMIRROR_OUTPUT", {{"SITEMIRROR_OUTPUT", "yaml"}}},
    };
    for (const auto &row : bad) {
        SCOPED_TRACE(row.first);
        g_vars = row.second;
        s = loadSettings(lookup);
        ASSERT_EQ(s.errors.size(), 1u);
        EXPECT_EQ(s.errors[0].rfind(std::string("invalid setting: ") + row.first + "=", 0), 0u)
            << s.errors[0];
    }

    // The token is never taken from the rules file.
    TempDir dir;
    RulesFile rules;
    std::string strError;
    EXPECT_FALSE(readRulesFile(dir.write("c.toml", "cloudflare_api_token = \"t\"\n"), true, rules,
                               strError));
    EXPECT_NE(strError.find("unknown setting \"cloudflare_api_token\""), std::string::npos);
}

} // namespace

namespace {

TEST(Settings, PartSizesAreBytesOrBinaryUnitsWithinTheStoresLimits)
{
    struct Row {
        const char *text;
        bool ok;
        uint64_t size;
    } rows[] = {
        {"5242880", true, 5242880},   {"5MiB", true, 5 * kMiB},     {"16 mib", true, 16 * kMiB},
        {"1GiB", true, 1024 * kMiB},  {"8192 KiB", true, 8 * kMiB}, {"0", true, 0},
        {"", false, 0},               {"MiB", false, 0},            {"5 MB", false, 0},
        {"-5MiB", false, 0},          {"5.5MiB", false, 0},         {"5MiB ", false, 0},
        {"99999999999999999999", false, 0}, {"18014398509481984 GiB", false, 0},
    };
    for (const Row &row : rows) {
        uint64_t size = 0;
        EXPECT_EQ(parseByteSize(row.text, size), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(size, row.size) << row.text;
        }
    }
    EXPECT_EQ(byteSizeText(16 * kMiB), "16 MiB");
    EXPECT_EQ(byteSizeText(5 * 1024 * kMiB), "5 GiB");
    EXPECT_EQ(byteSizeText(5 * kMiB + 1), "5242881");

    g_vars.clear();
    Settings s = loadSettings(lookup);
    EXPECT_EQ(s.multipartThreshold, kDefaultMultipartThreshold);
    EXPECT_EQ(s.partSize, kDefaultPartSize);
    g_vars = {{"SITEMIRROR_MULTIPART_THRESHOLD", "5MiB"}, {"SITEMIRROR_PART_SIZE", "5 GiB"}};
    s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.multipartThreshold, 5 * kMiB);
    EXPECT_EQ(s.partSize, 5 * 1024 * kMiB);
    // Below the store's smallest part, or above its largest single upload.
    g_vars = {{"SITEMIRROR_MULTIPART_THRESHOLD", "5119 KiB"}, {"SITEMIRROR_PART_SIZE", "5GiB1"}};
    s = loadSettings(lookup);
    EXPECT_EQ(s.errors,
              (std::vector<std::string>{
                  "invalid setting: SITEMIRROR_MULTIPART_THRESHOLD=5119 KiB (accepted: a size from 5 MiB "
                  "to 5 GiB, in bytes or with KiB, MiB or GiB)",
                  "invalid setting: SITEMIRROR_PART_SIZE=5GiB1 (accepted: a size from 5 MiB to 5 GiB, in "
                  "bytes or with KiB, MiB or GiB)"}));
    EXPECT_EQ(s.multipartThreshold, kDefaultMultipartThreshold);
    EXPECT_EQ(s.partSize, kDefaultPartSize);

    // The rules file takes both, as numbers or texts.
    TempDir dir;
    RulesFile rules;
    std::string strError;
    ASSERT_TRUE(readRulesFile(dir.write("parts.toml", "multipart_threshold = \"32 MiB\"\n"
                                                      "part_size = 8388608\n"),
                              true, rules, strError))
        << strError;
    g_vars.clear();
    s = loadSettings(lookup, rules, dir.path() + "/parts.toml", OptionSettings());
    EXPECT_TRUE(s.errors.empty());
    EXPECT_EQ(s.multipartThreshold, 32 * kMiB);
    EXPECT_EQ(s.partSize, 8 * kMiB);
}

} // namespace

// SITEMIRROR_ACL's canned names, the charset, encryption and the website
// documents: what each takes, and the line of a value refused.
TEST(Settings, AclNamesCharsetEncryptionAndWebsiteDocuments)
{
    g_vars = {{"SITEMIRROR_ACL", "Bucket-Owner-Full-Control"}, {"SITEMIRROR_CHARSET", "utf-8"},
              {"SITEMIRROR_SSE", "aws:kms"}, {"SITEMIRROR_SSE_KMS_KEY_ID", "alias/site"},
              {"SITEMIRROR_WEBSITE_INDEX", "home.html"}, {"SITEMIRROR_WEBSITE_ERROR", "errors/404.html"}};
    Settings s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty()) << s.errors.front();
    EXPECT_TRUE(s.bCannedAcl);
    EXPECT_EQ(s.defaultAcl, S3CannedAclBucketOwnerFullControl);
    EXPECT_EQ(s.strCharset, "utf-8");
    EXPECT_EQ(s.strSse, "aws:kms");
    EXPECT_EQ(s.strSseKmsKeyId, "alias/site");
    EXPECT_EQ(s.strWebsiteIndex, "home.html");
    EXPECT_EQ(s.strWebsiteError, "errors/404.html");

    g_vars = {{"SITEMIRROR_ACL", "private"}};
    s = loadSettings(lookup);
    EXPECT_EQ(s.defaultAcl, S3CannedAclPrivate);
    EXPECT_TRUE(s.bCannedAcl);
    g_vars = {{"SITEMIRROR_ACL", "canned"}};
    EXPECT_EQ(loadSettings(lookup).defaultAcl, S3CannedAclPublicRead);

    struct Row {
        const char *name, *value, *part;
    } rows[] = {
        {"SITEMIRROR_ACL", "everyone", "accepted: canned, none, private, public-read"},
        {"SITEMIRROR_CHARSET", "utf 8", "a charset name"},
        {"SITEMIRROR_SSE", "aes256", "AES256, aws:kms, none"},
        {"SITEMIRROR_SSE_KMS_KEY_ID", "k1", "goes with SITEMIRROR_SSE=aws:kms"},
        {"SITEMIRROR_WEBSITE_INDEX", "a/index.html", "without /"},
        {"SITEMIRROR_WEBSITE_ERROR", "/404.html", "below the site root"},
    };
    for (const Row &row : rows) {
        g_vars = {{row.name, row.value}};
        s = loadSettings(lookup);
        ASSERT_EQ(s.errors.size(), 1u) << row.name;
        EXPECT_EQ(s.errors[0].rfind(std::string("invalid setting: ") + row.name + "=" + row.value, 0), 0u)
            << s.errors[0];
        EXPECT_NE(s.errors[0].find(row.part), std::string::npos) << s.errors[0];
    }
}
