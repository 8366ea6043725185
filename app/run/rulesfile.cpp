// rulesfile.cpp - reads the TOML rules file with toml++.
#include "rulesfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <toml++/toml.h>

#include "compress.h"
#include "s3client.h"

namespace {

// The settings a rules file may hold, by their key in the file.
struct SettingKey {
    const char *pszKey;
    const char *pszVariable;
};
const SettingKey kSettingKeys[] = {
    {"bucket", "SITEMIRROR_BUCKET"},
    {"root", "SITEMIRROR_ROOT"},
    {"key_file", "SITEMIRROR_KEY_FILE"},
    {"site_url", "SITEMIRROR_SITE_URL"},
    {"endpoint", "SITEMIRROR_ENDPOINT"},
    {"ca_file", "SITEMIRROR_CA_FILE"},
    {"signature", "SITEMIRROR_SIGNATURE"},
    {"region", "SITEMIRROR_REGION"},
    {"addressing", "SITEMIRROR_ADDRESSING"},
    {"instance_metadata", "SITEMIRROR_INSTANCE_METADATA"},
    {"acl", "SITEMIRROR_ACL"},
    {"storage_class", "SITEMIRROR_STORAGE_CLASS"},
    {"charset", "SITEMIRROR_CHARSET"},
    {"sse", "SITEMIRROR_SSE"},
    {"sse_kms_key_id", "SITEMIRROR_SSE_KMS_KEY_ID"},
    {"website_index", "SITEMIRROR_WEBSITE_INDEX"},
    {"website_error", "SITEMIRROR_WEBSITE_ERROR"},
    {"jobs", "SITEMIRROR_JOBS"},
    {"retries", "SITEMIRROR_RETRIES"},
    {"request_timeout", "SITEMIRROR_REQUEST_TIMEOUT"},
    {"digest_cache", "SITEMIRROR_DIGEST_CACHE"},
    {"publish_vcs", "SITEMIRROR_PUBLISH_VCS"},
    {"delete", "SITEMIRROR_DELETE"},
    {"prefix", "SITEMIRROR_PREFIX"},
    {"max_delete", "SITEMIRROR_MAX_DELETE"},
    {"max_delete_share", "SITEMIRROR_MAX_DELETE_SHARE"},
    {"cloudfront_distribution", "SITEMIRROR_CLOUDFRONT_DISTRIBUTION"},
    {"cloudfront_endpoint", "SITEMIRROR_CLOUDFRONT_ENDPOINT"},
    {"invalidation_max_paths", "SITEMIRROR_INVALIDATION_MAX_PATHS"},
    {"cloudflare_zone", "SITEMIRROR_CLOUDFLARE_ZONE"},
    {"cloudflare_endpoint", "SITEMIRROR_CLOUDFLARE_ENDPOINT"},
    {"purge_max_urls", "SITEMIRROR_PURGE_MAX_URLS"},
    {"output", "SITEMIRROR_OUTPUT"},
    {"multipart_threshold", "SITEMIRROR_MULTIPART_THRESHOLD"},
    {"part_size", "SITEMIRROR_PART_SIZE"},
};
const char *const kRulesKey = "rules";
const char *const kTargetsKey = "targets";
const char *const kRedirectsKey = "redirects";

std::string where(const std::string &strPath, const toml::source_region &source)
{
    return strPath + ":" + std::to_string(source.begin.line) + ": ";
}

// A setting's value as the text the environment would give.
bool valueText(const toml::node &node, std::string &strText)
{
    if (const auto *s = node.as_string()) {
        strText = s->get();
        return true;
    }
    if (const auto *i = node.as_integer()) {
        strText = std::to_string(i->get());
        return true;
    }
    if (const auto *b = node.as_boolean()) {
        strText = b->get() ? "on" : "off";
        return true;
    }
    return false;
}

// A header value must stay one header: no line breaks or other control bytes.
bool isHeaderSafe(const std::string &strValue)
{
    for (unsigned char c : strValue) {
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    }
    return true;
}

// The fields a rule may hold besides match, and where each value goes.
struct RuleField {
    const char *pszName;
    std::string CacheRule::*member;
};
const RuleField kRuleFields[] = {
    {"cache_control", &CacheRule::strCacheControl},
    {"content_type", &CacheRule::strContentType},
    {"content_encoding", &CacheRule::strContentEncoding},
    {"content_disposition", &CacheRule::strContentDisposition},
    {"content_language", &CacheRule::strContentLanguage},
    {"storage_class", &CacheRule::strStorageClass},
    {"acl", &CacheRule::strAcl},
};
const char *const kRuleFieldNames =
    "match, cache_control, content_type, content_encoding, content_disposition, "
    "content_language, expires, metadata, storage_class and acl";

// A header value: non-empty, one line, no longer than the client sends.
bool checkHeaderValue(const std::string &strPath, const toml::node &value, const std::string &strName,
                      const std::string &strValue, std::string &strError)
{
    if (strValue.empty()) {
        strError = where(strPath, value.source()) + strName + " must be a non-empty string";
        return false;
    }
    if (!isHeaderSafe(strValue)) {
        strError = where(strPath, value.source()) + strName +
                   " must not hold line breaks or control characters";
        return false;
    }
    // The client cannot send a longer header value: refuse it now, not
    // upload by upload.
    if (strValue.size() > S3_MAX_HEADER_VALUE_SIZE) {
        strError = where(strPath, value.source()) + strName + " is longer than " +
                   std::to_string(S3_MAX_HEADER_VALUE_SIZE) + " bytes";
        return false;
    }
    return true;
}

// metadata = { name = "value", ... }: each sent as x-amz-meta-name.
bool readMetadata(const std::string &strPath, const toml::node &node, CacheRule &rule,
                  std::string &strError)
{
    const toml::table *table = node.as_table();
    if (!table || table->empty()) {
        strError = where(strPath, node.source()) +
                   "metadata must be a table of names and strings { name = \"value\" }";
        return false;
    }
    for (const auto &[key, value] : *table) {
        const std::string strName(key.str());
        if (!isMetadataName(strName)) {
            strError = where(strPath, key.source()) + "metadata name \"" + strName +
                       "\" must be lower-case letters, digits, - and _ (and not md5)";
            return false;
        }
        const auto *text = value.as_string();
        const std::string strValue = text ? text->get() : "";
        bool bAscii = true;
        for (unsigned char c : strValue)
            bAscii = bAscii && c < 0x80;
        if (!text || !bAscii) {
            strError = where(strPath, value.source()) + "metadata " + strName +
                       " must be a string of ASCII characters";
            return false;
        }
        if (!checkHeaderValue(strPath, value, "metadata " + strName, strValue, strError))
            return false;
        rule.metadata.emplace_back(strName, strValue);
    }
    return true;
}

bool readRule(const std::string &strPath, const toml::node &node, CacheRule &rule,
              std::string &strError)
{
    const toml::table *table = node.as_table();
    if (!table) {
        strError = where(strPath, node.source()) +
                   "a rule must be a table { match = \"...\", cache_control = \"...\" }";
        return false;
    }
    bool bMatch = false;
    bool bHeader = false;
    for (const auto &[key, value] : *table) {
        const std::string strKey(key.str());
        const auto *text = value.as_string();
        const RuleField *field = nullptr;
        for (const RuleField &f : kRuleFields) {
            if (strKey == f.pszName)
                field = &f;
        }
        if (strKey == "metadata") {
            if (!readMetadata(strPath, value, rule, strError))
                return false;
            bHeader = true;
            continue;
        }
        if (strKey != "match" && strKey != "expires" && !field) {
            strError = where(strPath, key.source()) + "unknown rule field \"" + strKey +
                       "\" (a rule has " + kRuleFieldNames + ")";
            return false;
        }
        if (!text || text->get().empty()) {
            strError = where(strPath, value.source()) + strKey + " must be a non-empty string";
            return false;
        }
        if (strKey == "match") {
            rule.strMatch = text->get();
            bMatch = true;
            continue;
        }
        if (!checkHeaderValue(strPath, value, strKey, text->get(), strError))
            return false;
        if (strKey == "expires") {
            if (!parseHttpDate(text->get(), rule.expires)) {
                strError = where(strPath, value.source()) +
                           "expires must be an HTTP date such as \"Thu, 01 Jan 2037 00:00:00 GMT\"";
                return false;
            }
            bHeader = true;
            continue;
        }
        if (field->member == &CacheRule::strContentEncoding &&
            !isKnownContentEncoding(text->get())) {
            strError = where(strPath, value.source()) + "content_encoding must be \"gzip\" or \"br\"";
            return false;
        }
        S3CannedAcl acl;
        if (field->member == &CacheRule::strAcl && !cannedAclByName(text->get(), acl)) {
            strError = where(strPath, value.source()) + "acl must be a canned ACL (" + cannedAclNames() + ")";
            return false;
        }
        if (field->member == &CacheRule::strStorageClass &&
            text->get().find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") !=
                std::string::npos) {
            strError = where(strPath, value.source()) +
                       "storage_class must be a storage class name of letters, digits and _, or none";
            return false;
        }
        rule.*(field->member) = text->get();
        bHeader = true;
    }
    if (!bMatch || !bHeader) {
        strError = where(strPath, node.source()) +
                   "a rule needs match and at least one of cache_control, content_type, content_encoding, "
                   "content_disposition, content_language, expires, metadata, storage_class, acl";
        return false;
    }
    return true;
}

// redirects = [ { from = "...", to = "..." }, ... ]
bool readRedirects(const std::string &strPath, const toml::node &node, RulesFile &out, std::string &strError)
{
    const toml::array *list = node.as_array();
    if (!list) {
        strError = where(strPath, node.source()) + "redirects must be an array of tables { from = \"/old/\", to = \"/new/\" }";
        return false;
    }
    for (const toml::node &item : *list) {
        const toml::table *table = item.as_table();
        Redirect redirect;
        redirect.strWhere = strPath + ":" + std::to_string(item.source().begin.line);
        for (const auto &[key, value] : table ? *table : toml::table()) {
            const std::string strKey(key.str());
            const auto *text = value.as_string();
            if ((strKey != "from" && strKey != "to") || !text) {
                strError = where(strPath, key.source()) + "a redirect has from and to, both strings";
                return false;
            }
            (strKey == "from" ? redirect.strFrom : redirect.strTo) = text->get();
        }
        if (!table || redirect.strFrom.empty() || redirect.strTo.empty()) {
            strError = where(strPath, item.source()) + "a redirect needs from and to { from = \"/old/\", to = \"/new/\" }";
            return false;
        }
        if (!isRedirectTarget(redirect.strTo)) {
            strError = where(strPath, item.source()) + "to must be a path beginning with / or an http(s) address";
            return false;
        }
        out.redirects.push_back(redirect);
    }
    return true;
}

// One "key = value" setting into values and origins; false with strError.
bool readSetting(const std::string &strPath, const toml::key &key, const toml::node &value,
                 std::map<std::string, std::string> &values,
                 std::map<std::string, RulesFile::Origin> &origins, std::string &strError)
{
    const std::string strKey(key.str());
    const SettingKey *known = nullptr;
    for (const SettingKey &k : kSettingKeys) {
        if (strKey == k.pszKey)
            known = &k;
    }
    if (!known) {
        strError = where(strPath, key.source()) + "unknown setting \"" + strKey + "\"";
        return false;
    }
    std::string strValue;
    if (!valueText(value, strValue)) {
        strError = where(strPath, value.source()) + strKey +
                   " must be a string, a number or true/false";
        return false;
    }
    values[known->pszVariable] = strValue;
    origins[known->pszVariable] = {strKey, static_cast<long>(key.source().begin.line)};
    return true;
}

// The [targets.NAME] tables: each holds settings only.
bool readTargets(const std::string &strPath, const toml::node &node, RulesFile &out,
                 std::string &strError)
{
    const toml::table *targets = node.as_table();
    if (!targets) {
        strError = where(strPath, node.source()) + "targets must be tables [targets.NAME]";
        return false;
    }
    for (const auto &[name, table] : *targets) {
        const toml::table *settings = table.as_table();
        if (!settings) {
            strError = where(strPath, name.source()) + "targets." + std::string(name.str()) +
                       " must be a table of settings";
            return false;
        }
        RulesFile::Target &target = out.targets[std::string(name.str())];
        for (const auto &[key, value] : *settings) {
            if (!readSetting(strPath, key, value, target.values, target.origins, strError))
                return false;
        }
    }
    return true;
}

} // namespace

std::string rulesFilePath(const char *(*getVar)(const char *name), bool &bNamed)
{
    const char *pszNamed = getVar("SITEMIRROR_CONFIG");
    bNamed = pszNamed && *pszNamed;
    if (bNamed)
        return pszNamed;
    const char *pszConfigHome = getVar("XDG_CONFIG_HOME");
    if (pszConfigHome && *pszConfigHome == '/')
        return std::string(pszConfigHome) + "/sitemirror/config.toml";
    const char *pszHome = getVar("HOME");
    if (pszHome && *pszHome)
        return std::string(pszHome) + "/.config/sitemirror/config.toml";
    return "";
}

bool readRulesFile(const std::string &strPath, bool bMustExist, RulesFile &out,
                   std::string &strError)
{
    out = RulesFile();
    if (strPath.empty())
        return true;

    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) {
        if (errno == ENOENT && !bMustExist)
            return true;
        strError = strPath + ": cannot read rules file: " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        strError = strPath + ": cannot read rules file: not a regular file";
        return false;
    }
    // An empty file is no rules (inserting an empty stream fails, reading did not).
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    if (!in || in.bad()) {
        strError = strPath + ": cannot read rules file";
        return false;
    }

    toml::table root;
    try {
        root = toml::parse(text.str(), strPath);
    } catch (const toml::parse_error &e) {
        strError = where(strPath, e.source()) + std::string(e.description());
        return false;
    }

    for (const auto &[key, value] : root) {
        const std::string strKey(key.str());
        if (strKey == kRulesKey) {
            const toml::array *rules = value.as_array();
            if (!rules) {
                strError = where(strPath, value.source()) + "rules must be an array of tables";
                return false;
            }
            for (const toml::node &node : *rules) {
                CacheRule rule;
                if (!readRule(strPath, node, rule, strError))
                    return false;
                out.cacheRules.push_back(rule);
            }
            continue;
        }
        if (strKey == kRedirectsKey) {
            if (!readRedirects(strPath, value, out, strError))
                return false;
            continue;
        }
        if (strKey == kTargetsKey) {
            if (!readTargets(strPath, value, out, strError))
                return false;
            continue;
        }
        if (!readSetting(strPath, key, value, out.values, out.origins, strError))
            return false;
    }
    return true;
}
