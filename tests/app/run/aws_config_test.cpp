// The aws tool's settings of the same meaning as a SITEMIRROR_ one: each
// below it and above the rules file, in the aws tool's own order, read from
// the profile AWS_PROFILE names (or default) of AWS_CONFIG_FILE or
// ~/.aws/config.
#include "aws_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "rulesfile.h"
#include "session.h"
#include "settings.h"
#include "tempdir.h"

namespace {

std::map<std::string, std::string> g_vars;

const char *lookup(const char *name)
{
    auto it = g_vars.find(name);
    return it == g_vars.end() ? nullptr : it->second.c_str();
}

const char *const kConfig = "[default]\n"
                            "region = eu-north-1\n"
                            "[profile deploy]\n"
                            "region = ap-south-2\n"
                            "endpoint_url = https://generic.example\n"
                            "s3 =\n"
                            "  addressing_style = virtual\n"
                            "  endpoint_url = http://s3.example:9000\n"
                            "[profile plain]\n"
                            "endpoint_url = https://generic.example\n"
                            "s3 =\n"
                            "  addressing_style = auto\n";

TEST(AwsConventions, EachComesBelowItsSettingAndAboveTheRulesFileInTheAwsToolsOrder)
{
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "/home/.aws");
    const std::string strConfig = dir.write("home/.aws/config", kConfig);
    const std::string strRules = dir.write("config.toml", "endpoint = \"rules.example\"\n"
                                                          "region = \"rules-1\"\n");
    RulesFile rules;
    std::string strError;
    ASSERT_TRUE(readRulesFile(strRules, true, rules, strError)) << strError;
    const std::string strHome = dir.path() + "/home";

    struct Row {
        const char *what;
        std::map<std::string, std::string> vars;
        std::string endpoint, region;
        bool virtualHost;
        std::string regionOrigin; // "" when not a convention's
    } rows[] = {
        {"the default profile's region over the rules file", {{"HOME", strHome}},
         "rules.example", "eu-north-1", false,
         "region of profile [default] in " + strConfig},
        {"a named profile: its s3 block over its own endpoint_url",
         {{"HOME", strHome}, {"AWS_PROFILE", "deploy"}},
         "http://s3.example:9000", "ap-south-2", true,
         "region of profile [deploy] in " + strConfig},
        {"auto addressing is path; the generic endpoint_url",
         {{"HOME", strHome}, {"AWS_PROFILE", "plain"}},
         "https://generic.example", "rules-1", false, ""},
        {"the variables over the profile, the S3 one over the generic one",
         {{"HOME", strHome}, {"AWS_PROFILE", "deploy"}, {"AWS_DEFAULT_REGION", "us-west-2"},
          {"AWS_ENDPOINT_URL", "https://all.example"}, {"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:1"}},
         "http://127.0.0.1:1", "us-west-2", true, "AWS_DEFAULT_REGION"},
        {"AWS_REGION over AWS_DEFAULT_REGION; the aws tool's switch that ignores endpoints",
         {{"HOME", strHome}, {"AWS_PROFILE", "deploy"}, {"AWS_DEFAULT_REGION", "us-west-2"},
          {"AWS_REGION", "sa-east-1"}, {"AWS_ENDPOINT_URL", "https://all.example"},
          {"AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "true"}},
         "rules.example", "sa-east-1", true, "AWS_REGION"},
        {"SITEMIRROR_ over every convention",
         {{"HOME", strHome}, {"AWS_PROFILE", "deploy"}, {"AWS_REGION", "sa-east-1"},
          {"SITEMIRROR_REGION", "own-1"}, {"SITEMIRROR_ENDPOINT", "own.example"},
          {"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:1"}, {"SITEMIRROR_ADDRESSING", "path"}},
         "own.example", "own-1", false, ""},
        {"AWS_CONFIG_FILE over ~/.aws/config",
         {{"HOME", dir.path()}, {"AWS_CONFIG_FILE", strConfig}, {"AWS_PROFILE", "deploy"}},
         "http://s3.example:9000", "ap-south-2", true,
         "region of profile [deploy] in " + strConfig},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        g_vars = row.vars;
        const Settings s = loadSettings(lookup, rules, strRules, OptionSettings());
        EXPECT_TRUE(s.errors.empty()) << s.errors.front();
        EXPECT_EQ(s.strEndpoint, row.endpoint);
        EXPECT_EQ(s.strRegion, row.region);
        EXPECT_EQ(s.bVirtualHost, row.virtualHost);
        const auto origin = s.conventionOrigins.find("SITEMIRROR_REGION");
        EXPECT_EQ(origin == s.conventionOrigins.end() ? "" : origin->second, row.regionOrigin);
    }
}

TEST(AwsConventions, ARefusedValueNamesWhereItCameFromAndABrokenConfigFileStopsTheRun)
{
    TempDir dir;
    const std::string strConfig =
        dir.write("config", "[default]\nregion = eu west\ns3 =\n  addressing_style = sideways\n");
    g_vars = {{"AWS_CONFIG_FILE", strConfig}};
    Settings s = loadSettings(lookup);
    EXPECT_EQ(s.errors,
              (std::vector<std::string>{
                  "invalid setting: SITEMIRROR_REGION=eu west (from region of profile [default] in " +
                      strConfig + ") (accepted: a region name of letters, digits, - and _)",
                  "invalid setting: SITEMIRROR_ADDRESSING=sideways (from s3 addressing_style of "
                  "profile [default] in " + strConfig + ") (accepted: virtual, path)"}));

    g_vars = {{"AWS_REGION", "eu-west-1"}, {"SITEMIRROR_ADDRESSING", "VIRTUAL"}};
    s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty());
    EXPECT_TRUE(s.bVirtualHost);
    EXPECT_EQ(s.strRegion, "eu-west-1");

    const std::string strBroken = dir.write("broken", "[default\nregion = x\n");
    g_vars = {{"AWS_CONFIG_FILE", strBroken}};
    s = loadSettings(lookup);
    EXPECT_EQ(s.errors, (std::vector<std::string>{
                            strBroken + ":1: not a line of the AWS config file ([section] or name = value)"}));
    // No file at all is no error: the conventions are not given; nor is
    // /dev/null, the usual way to keep them out. A folder is refused.
    g_vars = {{"AWS_CONFIG_FILE", dir.path() + "/none"}};
    EXPECT_TRUE(loadSettings(lookup).errors.empty());
    g_vars = {{"AWS_CONFIG_FILE", "/dev/null"}, {"AWS_PROFILE", "ci"}};
    s = loadSettings(lookup);
    EXPECT_TRUE(s.errors.empty()) << s.errors.front();
    EXPECT_EQ(s.strRegion, "us-east-1");
    g_vars = {{"AWS_CONFIG_FILE", dir.path()}};
    EXPECT_EQ(loadSettings(lookup).errors,
              (std::vector<std::string>{"cannot read AWS config file: " + dir.path() + " (not a regular file)"}));
}

TEST(AwsConventions, VirtualAddressingPutsOnlyAHostNameBucketInTheHost)
{
    EXPECT_TRUE(hostNameBucket("site-2026"));
    EXPECT_FALSE(hostNameBucket("www.example.org")); // no certificate covers the dots
    EXPECT_FALSE(hostNameBucket("Upper"));
    EXPECT_FALSE(hostNameBucket("-edge"));
    EXPECT_FALSE(hostNameBucket("ab"));
    EXPECT_FALSE(hostNameBucket(std::string(64, 'a').c_str()));
}

} // namespace
