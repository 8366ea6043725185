// Every setting the reference's settings table names is taken from the rules
// file: the test walks the table, writes each setting into one rules file by
// its name in the file, and reads the value back from -h. An empty rules
// file is no rules.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "site.h"

namespace {

// The variables of the settings table (docs/configuration.md), in its order:
// the SITEMIRROR_* names in backticks that begin the rows of the first table
// holding one (its other rows name variables of other tools).
std::vector<std::string> documentedSettings()
{
    std::ifstream in(std::string(SITEMIRROR_SOURCE_DIR) + "/docs/configuration.md");
    std::vector<std::string> names;
    std::string line;
    bool bInTable = false;
    while (std::getline(in, line)) {
        const bool bSetting = line.rfind("| `SITEMIRROR_", 0) == 0;
        if (bSetting) {
            bInTable = true;
            names.push_back(line.substr(3, line.find('`', 3) - 3));
        } else if (bInTable && line.rfind("| `", 0) != 0) {
            break; // the table has ended
        }
    }
    return names;
}

// A value each setting takes, written as TOML, and how -h shows it.
struct Sample {
    std::string toml;
    std::string shown;
};

TEST(SettingsReference, EverySettingOfTheReadmeTableIsTakenFromTheRulesFile)
{
    e2e::Site site;
    const std::map<std::string, Sample> samples = {
        {"SITEMIRROR_BUCKET", {"\"rules.example\"", "rules.example"}},
        {"SITEMIRROR_ROOT", {"\"/srv/from-rules/\"", "/srv/from-rules/"}},
        {"SITEMIRROR_KEY_FILE", {"\"/srv/rules-key\"", "/srv/rules-key"}},
        {"SITEMIRROR_SITE_URL", {"\"https://rules.example\"", "https://rules.example"}},
        {"SITEMIRROR_ENDPOINT", {"\"http://127.0.0.1:9\"", "http://127.0.0.1:9"}},
        {"SITEMIRROR_CA_FILE", {"\"/srv/rules-ca.pem\"", "/srv/rules-ca.pem"}},
        {"SITEMIRROR_SIGNATURE", {"\"v4\"", "v4"}},
        {"SITEMIRROR_REGION", {"\"eu-west-3\"", "eu-west-3"}},
        {"SITEMIRROR_ACL", {"\"none\"", "none"}},
        {"SITEMIRROR_STORAGE_CLASS", {"\"STANDARD_IA\"", "STANDARD_IA"}},
        {"SITEMIRROR_CHARSET", {"\"utf-8\"", "utf-8"}},
        {"SITEMIRROR_SSE", {"\"aws:kms\"", "aws:kms"}},
        {"SITEMIRROR_SSE_KMS_KEY_ID", {"\"alias/site\"", "alias/site"}},
        {"SITEMIRROR_WEBSITE_INDEX", {"\"home.html\"", "home.html"}},
        {"SITEMIRROR_WEBSITE_ERROR", {"\"errors/404.html\"", "errors/404.html"}},
        {"SITEMIRROR_JOBS", {"7", "7"}},
        {"SITEMIRROR_RETRIES", {"9", "9"}},
        {"SITEMIRROR_REQUEST_TIMEOUT", {"77", "77"}},
        {"SITEMIRROR_DIGEST_CACHE", {"false", "off"}},
        {"SITEMIRROR_PUBLISH_VCS", {"true", "on"}},
        {"SITEMIRROR_PREFIX", {"\"from/rules\"", "from/rules/"}},
        {"SITEMIRROR_DELETE", {"true", "on"}},
        {"SITEMIRROR_MAX_DELETE", {"17", "17"}},
        {"SITEMIRROR_MAX_DELETE_SHARE", {"\"30%\"", "30%"}},
        {"SITEMIRROR_CLOUDFRONT_DISTRIBUTION", {"\"E2RULES\"", "E2RULES"}},
        {"SITEMIRROR_CLOUDFRONT_ENDPOINT", {"\"http://127.0.0.1:10\"", "http://127.0.0.1:10"}},
        {"SITEMIRROR_INVALIDATION_MAX_PATHS", {"33", "33"}},
        {"SITEMIRROR_ADDRESSING", {"\"virtual\"", "virtual"}},
        {"SITEMIRROR_INSTANCE_METADATA", {"\"on\"", "on"}},
        {"SITEMIRROR_CLOUDFLARE_ZONE", {"\"Z0NE\"", "Z0NE"}},
        {"SITEMIRROR_CLOUDFLARE_ENDPOINT", {"\"http://127.0.0.1:11\"", "http://127.0.0.1:11"}},
        {"SITEMIRROR_PURGE_MAX_URLS", {"44", "44"}},
        {"SITEMIRROR_OUTPUT", {"\"json\"", "json"}},
        {"SITEMIRROR_MULTIPART_THRESHOLD", {"\"96 MiB\"", "96 MiB"}},
        {"SITEMIRROR_PART_SIZE", {"\"6MiB\"", "6 MiB"}},
    };
    const std::string strRules = site.base() + "/config.toml";
    std::map<std::string, std::string> env = {{"SITEMIRROR_CONFIG", strRules},
                                              {"HOME", site.base()},
                                              {"XDG_CONFIG_HOME", site.base() + "/config"},
                                              {"CLOUDFLARE_API_TOKEN", "token-of-the-test"}};

    const std::vector<std::string> names = documentedSettings();
    ASSERT_GT(names.size(), 10u);
    std::string strToml;
    for (const std::string &name : names) {
        if (name == "SITEMIRROR_CONFIG" || name == "SITEMIRROR_TARGET")
            continue; // name the rules file and its table: the environment or an option only
        const auto it = samples.find(name);
        ASSERT_NE(it, samples.end()) << name << " is in the settings table: give it a sample here";
        std::string key = name.substr(std::string("SITEMIRROR_").size());
        for (char &c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        strToml += key + " = " + it->second.toml + "\n";
    }
    std::ofstream(strRules) << strToml;

    e2e::ToolRun help = e2e::runTool("-h", env);
    ASSERT_EQ(help.status, 0) << strToml << help.out;
    for (const std::string &name : names) {
        if (name == "SITEMIRROR_CONFIG" || name == "SITEMIRROR_TARGET")
            continue;
        EXPECT_NE(help.out.find("\n  " + name + "=" + samples.at(name).shown), std::string::npos)
            << name << "\n" << help.out;
    }

    // An empty rules file, or one of comments, is no rules.
    for (const char *pszText : {"", "# nothing yet\n"}) {
        std::ofstream(strRules, std::ios::trunc) << pszText;
        e2e::ToolRun empty = e2e::runTool("-h", env);
        EXPECT_EQ(empty.status, 0) << empty.out;
        EXPECT_NE(empty.out.find("\n  SITEMIRROR_JOBS=auto\n"), std::string::npos) << empty.out;
    }
}

} // namespace
