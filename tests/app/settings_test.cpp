// Defaults and SITEMIRROR_* overrides of the settings module.
#include "settings.h"

#include <gtest/gtest.h>

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
              {"SITEMIRROR_ACL", "none"},          {"SITEMIRROR_STORAGE_CLASS", ""},
              {"SITEMIRROR_JOBS", "1"},            {"SITEMIRROR_RETRIES", "0"},
              {"SITEMIRROR_REQUEST_TIMEOUT", "5"}, {"SITEMIRROR_DIGEST_CACHE", "off"},
              {"XDG_CACHE_HOME", "/c"},            {"HOME", "/h"}};
    Settings s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_TRUE(s.bSignatureV4);
    EXPECT_EQ(s.strRegion, "eu-west-1");
    EXPECT_FALSE(s.bCannedAcl);
    EXPECT_EQ(s.strStorageClass, ""); // set but empty: no header
    EXPECT_EQ(s.nJobs, 1);
    EXPECT_EQ(s.nRetries, 0);
    EXPECT_EQ(s.nRequestTimeout, 5);
    EXPECT_FALSE(s.bDigestCache);
    EXPECT_EQ(s.strCacheDir, "/c/sitemirror/");

    g_vars = {{"HOME", "/h"}};
    s = loadSettings(lookup);
    EXPECT_EQ(s.strCacheDir, "/h/.cache/sitemirror/");
    EXPECT_EQ(s.strStorageClass, "REDUCED_REDUNDANCY");
    EXPECT_EQ(s.nJobs, 16);

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

    // The id goes into the request's path: nothing but letters and digits.
    const char *bad[][2] = {{"SITEMIRROR_INVALIDATION_MAX_PATHS", "0"},
                            {"SITEMIRROR_INVALIDATION_MAX_PATHS", "3001"},
                            {"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E1/../x"},
                            {"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "E1 x"},
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

} // namespace
