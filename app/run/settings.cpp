// settings.cpp - fixed defaults, overridden by the rules file, the SITEMIRROR_*
// environment and the command line, each value checked once.
#include "settings.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "aws_config.h"
#include "myListTool.h"
#include "rulesfile.h"

const char *const pszBucketName = "www.quillmere.org";
const char *const pszRootPath = "/home/quorvin/Downloads/quillmere/public_html/";
const char *const pszKeyFilePath = "/home/quorvin/.amazon/s3key";
const char *const pszSiteUrl = siteindex::defaultSiteAddress;

namespace {

std::string lowerCase(const char *psz)
{
    std::string strLower;
    for (const char *p = psz; *p; ++p)
        strLower += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return strLower;
}

// The aws tool's settings of the same meaning as a SITEMIRROR_ one, each
// below it and above the rules file, highest first: variables, then keys of
// the run's profile in the config file.
struct Convention {
    const char *pszSetting;
    const char *pszVars[2];
    const char *pszProfileKeys[2];
};
const Convention kConventions[] = {
    {"SITEMIRROR_ENDPOINT", {"AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL"},
     {"s3.endpoint_url", "endpoint_url"}},
    {"SITEMIRROR_REGION", {"AWS_REGION", "AWS_DEFAULT_REGION"}, {"region", nullptr}},
    {"SITEMIRROR_ADDRESSING", {nullptr, nullptr}, {"s3.addressing_style", nullptr}},
};

// Where each setting's value comes from, highest first: the command line's
// options, the environment, the aws tool's conventions, the rules file;
// empty means not given.
class Layers {
public:
    Layers(const char *(*getVar)(const char *), const RulesFile &rules,
           const std::string &strRulesPath, const OptionSettings &options, const AwsConfig &aws)
        : getVar(getVar), rules(rules), strRulesPath(strRulesPath), options(options), aws(aws)
    {
    }

    // The value the aws tool's conventions give pszName, or null; strOrigin
    // names where it was found ("AWS_REGION", "region of profile [p] in F").
    const char *convention(const char *pszName, std::string &strOrigin) const
    {
        const char *pszIgnore = getVar("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS");
        const bool bNoEndpoints = pszIgnore && lowerCase(pszIgnore) == "true";
        for (const Convention &c : kConventions) {
            if (std::strcmp(c.pszSetting, pszName) != 0 ||
                (bNoEndpoints && std::strcmp(pszName, "SITEMIRROR_ENDPOINT") == 0))
                continue;
            for (const char *pszVar : c.pszVars) {
                const char *pszValue = pszVar ? getVar(pszVar) : nullptr;
                if (pszValue && *pszValue) {
                    strOrigin = pszVar;
                    return pszValue;
                }
            }
            const AwsSection *profile = aws.profile(aws.strProfile);
            for (const char *pszKey : c.pszProfileKeys) {
                if (!profile || !pszKey)
                    continue;
                const auto it = profile->find(pszKey);
                if (it == profile->end() || it->second.empty())
                    continue;
                // "s3.addressing_style" is written "s3 addressing_style".
                std::string strKey = pszKey;
                std::replace(strKey.begin(), strKey.end(), '.', ' ');
                strOrigin = strKey + " of " + aws.place(aws.strProfile);
                return it->second.c_str();
            }
        }
        return nullptr;
    }

    // The value of the variable pszName, or null when no layer gives one.
    const char *value(const char *pszName) const
    {
        const auto option = options.find(pszName);
        if (option != options.end())
            return option->second.strValue.c_str(); // given, even if empty
        const char *pszValue = getVar(pszName);
        if (pszValue && *pszValue)
            return pszValue;
        std::string strOrigin;
        if (const char *pszConvention = convention(pszName, strOrigin))
            return pszConvention;
        const auto it = rules.values.find(pszName);
        if (it != rules.values.end() && !it->second.empty())
            return it->second.c_str();
        return nullptr;
    }

    // The head of the line that refuses the value of pszName: it names the
    // layer the value came from.
    std::string invalid(const char *pszName) const
    {
        const char *pszValue = value(pszName);
        const std::string strValue = pszValue ? pszValue : "";
        const auto option = options.find(pszName);
        if (option != options.end())
            return "invalid option: " + option->second.strOption + " " + strValue;
        const char *pszVar = getVar(pszName);
        if (pszVar && *pszVar)
            return std::string("invalid setting: ") + pszName + "=" + strValue;
        std::string strOrigin;
        if (convention(pszName, strOrigin))
            return std::string("invalid setting: ") + pszName + "=" + strValue + " (from " +
                   strOrigin + ")";
        const auto origin = rules.origins.find(pszName);
        if (origin != rules.origins.end())
            return strRulesPath + ":" + std::to_string(origin->second.nLine) +
                   ": invalid setting: " + origin->second.strKey + "=" + strValue;
        return std::string("invalid setting: ") + pszName + "=" + strValue;
    }

private:
    const char *(*getVar)(const char *);
    const RulesFile &rules;
    const std::string &strRulesPath;
    const OptionSettings &options;
    const AwsConfig &aws;
};

std::string pick(const Layers &layers, const char *name, const char *fallback)
{
    const char *value = layers.value(name);
    return value ? std::string(value) : std::string(fallback);
}

// Reads a whole decimal number in [lo, hi]; anything else is refused.
bool parseBounded(const std::string &strValue, long lo, long hi, long &value)
{
    if (strValue.empty() || strValue.size() > 9)
        return false;
    long n = 0;
    for (char c : strValue) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    if (n < lo || n > hi)
        return false;
    value = n;
    return true;
}

// Picks one of two spellings (any letter case); not given keeps the default.
void pickChoice(const Layers &layers, const char *name, const char *pszTrue,
                const char *pszFalse, bool &value, std::vector<std::string> &errors)
{
    const char *pszValue = layers.value(name);
    if (!pszValue)
        return;
    const std::string strLower = lowerCase(pszValue);
    if (strLower == pszTrue)
        value = true;
    else if (strLower == pszFalse)
        value = false;
    else
        errors.push_back(layers.invalid(name) + " (accepted: " + pszTrue + ", " + pszFalse + ")");
}

void pickNumber(const Layers &layers, const char *name, long lo, long hi, long &value,
                std::vector<std::string> &errors)
{
    const char *pszValue = layers.value(name);
    if (!pszValue)
        return;
    if (!parseBounded(pszValue, lo, hi, value))
        errors.push_back(layers.invalid(name) + " (accepted: a whole number from " +
                         std::to_string(lo) + " to " + std::to_string(hi) + ")");
}

// An id that goes into a request's path: letters and digits, at most 64 of
// them; with bList several, separated by commas (and blanks). Refused: ""
// with one line naming where it was given and what is accepted.
void pickIds(const Layers &layers, const char *name, bool bList, const char *pszAccepted,
             std::string &strValue, std::vector<std::string> &errors)
{
    strValue = pick(layers, name, "");
    bool bOk = true;
    std::size_t nLength = 0;
    for (char c : strValue) {
        if (bList && (c == ',' || c == ' '))
            nLength = 0;
        else if (!std::isalnum(static_cast<unsigned char>(c)) || ++nLength > 64)
            bOk = false;
    }
    if (!bOk) {
        errors.push_back(layers.invalid(name) + " (accepted: " + pszAccepted + ")");
        strValue.clear();
    }
}

// A size in [lo, hi] (see parseByteSize); anything else is refused.
void pickSize(const Layers &layers, const char *name, uint64_t lo, uint64_t hi, uint64_t &value,
              std::vector<std::string> &errors)
{
    const char *pszValue = layers.value(name);
    if (!pszValue)
        return;
    uint64_t size = 0;
    if (parseByteSize(pszValue, size) && size >= lo && size <= hi)
        value = size;
    else
        errors.push_back(layers.invalid(name) + " (accepted: a size from " + byteSizeText(lo) +
                         " to " + byteSizeText(hi) + ", in bytes or with KiB, MiB or GiB)");
}

const char *readEnvironment(const char *name) { return std::getenv(name); }

// "auto" (any letter case) is 0, the limit found while sending; else 1 to 64.
bool readJobs(const std::string &strValue, int &nJobs)
{
    std::string strLower;
    for (char c : strValue)
        strLower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (strLower == "auto") {
        nJobs = 0;
        return true;
    }
    long n = 0;
    if (!parseBounded(strValue, 1, 64, n))
        return false;
    nJobs = static_cast<int>(n);
    return true;
}

} // namespace

bool Settings::keyFileNamed() const { return bKeyFileNamed || strKeyFile != pszKeyFilePath; }

Settings loadSettings(const char *(*getVar)(const char *name))
{
    return loadSettings(getVar, RulesFile(), "", OptionSettings());
}

Settings loadSettings(const char *(*getVar)(const char *name), const RulesFile &rules,
                      const std::string &strRulesPath, const OptionSettings &options)
{
    const AwsConfig aws = readAwsConfig(getVar);
    const Layers layers(getVar, rules, strRulesPath, options, aws);
    Settings s;
    if (!aws.strError.empty())
        s.errors.push_back(aws.strError);
    for (const Convention &c : kConventions) {
        std::string strOrigin;
        const auto option = options.find(c.pszSetting);
        const char *pszVar = getVar(c.pszSetting);
        if (option == options.end() && !(pszVar && *pszVar) && layers.convention(c.pszSetting, strOrigin))
            s.conventionOrigins[c.pszSetting] = strOrigin;
    }
    s.strBucket = pick(layers, "SITEMIRROR_BUCKET", pszBucketName);
    s.strRootPath = pick(layers, "SITEMIRROR_ROOT", pszRootPath);
    s.bKeyFileNamed = layers.value("SITEMIRROR_KEY_FILE") != nullptr;
    s.strKeyFile = pick(layers, "SITEMIRROR_KEY_FILE", pszKeyFilePath);
    s.strSiteUrl = pick(layers, "SITEMIRROR_SITE_URL", pszSiteUrl);
    s.strEndpoint = pick(layers, "SITEMIRROR_ENDPOINT", "");
    s.strCaFile = pick(layers, "SITEMIRROR_CA_FILE", "");

    // "v4" selects the V4 signature: true; "v2": false.
    pickChoice(layers, "SITEMIRROR_SIGNATURE", "v4", "v2", s.bSignatureV4, s.errors);
    // The region goes into every V4 signature and its Authorization header.
    const std::string strRegion = pick(layers, "SITEMIRROR_REGION", s.strRegion.c_str());
    bool bRegionOk = strRegion.size() <= 64;
    for (char c : strRegion) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            bRegionOk = false;
    }
    if (bRegionOk)
        s.strRegion = strRegion;
    else
        s.errors.push_back(layers.invalid("SITEMIRROR_REGION") +
                           " (accepted: a region name of letters, digits, - and _)");
    // The aws tool's "auto" leaves the choice to the tool: path, as without it.
    const char *pszAddressing = layers.value("SITEMIRROR_ADDRESSING");
    if (!(pszAddressing && s.conventionOrigins.count("SITEMIRROR_ADDRESSING") &&
          lowerCase(pszAddressing) == "auto"))
        pickChoice(layers, "SITEMIRROR_ADDRESSING", "virtual", "path", s.bVirtualHost, s.errors);
    // canned (the designed rule), none, or one canned ACL for every file
    // outside "personal".
    if (const char *pszAcl = layers.value("SITEMIRROR_ACL")) {
        const std::string strAcl = lowerCase(pszAcl);
        if (strAcl == "none")
            s.bCannedAcl = false;
        else if (strAcl != "canned" && !cannedAclByName(strAcl, s.defaultAcl))
            s.errors.push_back(layers.invalid("SITEMIRROR_ACL") + " (accepted: canned, none, " +
                               cannedAclNames() + ")");
    }
    if (const char *pszCharset = layers.value("SITEMIRROR_CHARSET")) {
        const std::string strCharset = pszCharset;
        if (strCharset.size() > 40 ||
            strCharset.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.:") !=
                std::string::npos)
            s.errors.push_back(layers.invalid("SITEMIRROR_CHARSET") +
                               " (accepted: a charset name such as utf-8)");
        else
            s.strCharset = strCharset;
    }
    if (const char *pszSse = layers.value("SITEMIRROR_SSE")) {
        const std::string strSse = pszSse;
        if (strSse == "AES256" || strSse == "aws:kms")
            s.strSse = strSse;
        else if (lowerCase(pszSse) != "none")
            s.errors.push_back(layers.invalid("SITEMIRROR_SSE") + " (accepted: AES256, aws:kms, none)");
    }
    if (const char *pszKey = layers.value("SITEMIRROR_SSE_KMS_KEY_ID")) {
        const std::string strKey = pszKey;
        if (s.strSse != "aws:kms")
            s.errors.push_back(layers.invalid("SITEMIRROR_SSE_KMS_KEY_ID") +
                               " (a KMS key goes with SITEMIRROR_SSE=aws:kms)");
        else if (strKey.size() > 2048 ||
                 strKey.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_:/")
                     != std::string::npos)
            s.errors.push_back(layers.invalid("SITEMIRROR_SSE_KMS_KEY_ID") +
                               " (accepted: a key id, alias or ARN)");
        else
            s.strSseKmsKeyId = strKey;
    }
    // Object names: one path segment for the index, a key for the error page.
    if (const char *pszIndex = layers.value("SITEMIRROR_WEBSITE_INDEX")) {
        const std::string strIndex = pszIndex;
        bool bOk = strIndex.find('/') == std::string::npos && strIndex != "." && strIndex != ".." &&
                   strIndex.size() <= 255;
        for (unsigned char c : strIndex)
            bOk = bOk && c >= 0x20 && c != 0x7f;
        if (bOk)
            s.strWebsiteIndex = strIndex;
        else
            s.errors.push_back(layers.invalid("SITEMIRROR_WEBSITE_INDEX") +
                               " (accepted: a file name without /, such as index.html)");
    }
    if (const char *pszError = layers.value("SITEMIRROR_WEBSITE_ERROR")) {
        const std::string strError = pszError;
        bool bOk = strError[0] != '/' && strError.size() <= 1024;
        for (unsigned char c : strError)
            bOk = bOk && c >= 0x20 && c != 0x7f;
        if (bOk)
            s.strWebsiteError = strError;
        else
            s.errors.push_back(layers.invalid("SITEMIRROR_WEBSITE_ERROR") +
                               " (accepted: the error page's path below the site root, such as 404.html)");
    }
    pickChoice(layers, "SITEMIRROR_INSTANCE_METADATA", "on", "off", s.bInstanceMetadata, s.errors);
    // "none" sends no storage class at all (an empty value is one not given).
    if (const char *pszClass = layers.value("SITEMIRROR_STORAGE_CLASS")) {
        std::string strClass = pszClass;
        bool bClassOk = true;
        for (char c : strClass) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
                bClassOk = false;
        }
        if (!bClassOk)
            s.errors.push_back(layers.invalid("SITEMIRROR_STORAGE_CLASS") +
                               " (accepted: a storage class name of letters, digits and _,"
                               " or none)");
        else
            s.strStorageClass = lowerCase(pszClass) == "none" ? "" : strClass;
    }
    if (const char *pszJobs = layers.value("SITEMIRROR_JOBS")) {
        if (!readJobs(pszJobs, s.nJobs))
            s.errors.push_back(layers.invalid("SITEMIRROR_JOBS") +
                               " (accepted: auto, or a whole number from 1 to 64)");
    }
    long n = 0;
    n = s.nRetries;
    pickNumber(layers, "SITEMIRROR_RETRIES", 0, 10, n, s.errors);
    s.nRetries = static_cast<int>(n);
    pickNumber(layers, "SITEMIRROR_REQUEST_TIMEOUT", 1, 86400, s.nRequestTimeout, s.errors);
    pickChoice(layers, "SITEMIRROR_DIGEST_CACHE", "on", "off", s.bDigestCache, s.errors);
    pickChoice(layers, "SITEMIRROR_PUBLISH_VCS", "on", "off", s.bPublishVcs, s.errors);
    s.strConfigFile = strRulesPath;
    if (const char *pszPrefix = layers.value("SITEMIRROR_PREFIX")) {
        std::string strError;
        if (!parsePrefix(pszPrefix, s.strPrefix, strError)) {
            // The reason, after the line's head, which names where the value came from.
            const std::string strHead = std::string("invalid setting: SITEMIRROR_PREFIX=") + pszPrefix;
            s.errors.push_back(layers.invalid("SITEMIRROR_PREFIX") + strError.substr(strHead.size()));
        }
    }
    pickChoice(layers, "SITEMIRROR_DELETE", "on", "off", s.bDelete, s.errors);
    pickNumber(layers, "SITEMIRROR_MAX_DELETE", 0, 100000000, s.nMaxDelete, s.errors);
    // A share in percent, written with or without its "%".
    if (const char *pszShare = layers.value("SITEMIRROR_MAX_DELETE_SHARE")) {
        std::string strShare = pszShare;
        if (!strShare.empty() && strShare.back() == '%')
            strShare.pop_back();
        long nShare = 0;
        if (parseBounded(strShare, 0, 100, nShare))
            s.nMaxDeleteShare = static_cast<int>(nShare);
        else
            s.errors.push_back(layers.invalid("SITEMIRROR_MAX_DELETE_SHARE") +
                               " (accepted: a share from 0% to 100%)");
    }
    pickSize(layers, "SITEMIRROR_MULTIPART_THRESHOLD", kMinPartSize, kMaxPartSize,
             s.multipartThreshold, s.errors);
    pickSize(layers, "SITEMIRROR_PART_SIZE", kMinPartSize, kMaxPartSize, s.partSize, s.errors);

    // Each id goes into a request's path; several are separated by commas.
    pickIds(layers, "SITEMIRROR_CLOUDFRONT_DISTRIBUTION", true,
            "distribution ids of letters and digits, separated by commas",
            s.strCloudFrontDistribution, s.errors);
    s.strCloudFrontEndpoint = pick(layers, "SITEMIRROR_CLOUDFRONT_ENDPOINT", "");
    n = s.nInvalidationMaxPaths;
    pickNumber(layers, "SITEMIRROR_INVALIDATION_MAX_PATHS", 1, 3000, n, s.errors);
    s.nInvalidationMaxPaths = static_cast<int>(n);

    pickIds(layers, "SITEMIRROR_CLOUDFLARE_ZONE", false, "a zone id of letters and digits",
            s.strCloudflareZone, s.errors);
    s.strCloudflareEndpoint = pick(layers, "SITEMIRROR_CLOUDFLARE_ENDPOINT", "");
    // The token only from the environment: a rules file is shared and kept.
    const char *pszToken = getVar("CLOUDFLARE_API_TOKEN");
    s.strCloudflareToken = pszToken ? pszToken : "";
    if (!s.strCloudflareZone.empty() && s.strCloudflareToken.empty())
        s.errors.push_back(layers.invalid("SITEMIRROR_CLOUDFLARE_ZONE") +
                           " (CLOUDFLARE_API_TOKEN is not set in the environment)");
    pickNumber(layers, "SITEMIRROR_PURGE_MAX_URLS", 1, 100000, s.nPurgeMaxUrls, s.errors);

    pickChoice(layers, "SITEMIRROR_OUTPUT", "json", "text", s.bJsonOutput, s.errors);

    const char *pszXdg = getVar("XDG_CACHE_HOME");
    const char *pszHome = getVar("HOME");
    if (pszXdg && *pszXdg == '/')
        s.strCacheDir = std::string(pszXdg) + "/sitemirror/";
    else if (pszHome && *pszHome)
        s.strCacheDir = std::string(pszHome) + "/.cache/sitemirror/";
    s.cacheRules = rules.cacheRules;
    for (Redirect redirect : rules.redirects) {
        std::string strWhy;
        if (redirectKeyFor(redirect.strFrom, s.strWebsiteIndex, redirect.strKey, strWhy))
            s.redirects.push_back(redirect);
        else
            s.errors.push_back(redirect.strWhere + ": " + strWhy);
    }
    return s;
}

Settings loadSettingsWithTarget(const char *(*getVar)(const char *name), RulesFile rules,
                                const std::string &strRulesPath, const OptionSettings &options)
{
    // The target's name: the option, else the environment.
    std::string strTarget;
    std::string strHead;
    const auto option = options.find("SITEMIRROR_TARGET");
    const char *pszVar = getVar("SITEMIRROR_TARGET");
    if (option != options.end()) {
        strTarget = option->second.strValue;
        strHead = "invalid option: " + option->second.strOption + " " + strTarget;
    } else if (pszVar && *pszVar) {
        strTarget = pszVar;
        strHead = "invalid setting: SITEMIRROR_TARGET=" + strTarget;
    }
    std::string strUnknown;
    if (!strTarget.empty()) {
        const auto it = rules.targets.find(strTarget);
        if (it == rules.targets.end()) {
            std::string strNames;
            for (const auto &target : rules.targets)
                strNames += (strNames.empty() ? "" : ", ") + target.first;
            strUnknown = strHead + " (no such target; " +
                         (strRulesPath.empty() ? std::string("there is no rules file)")
                          : strNames.empty()   ? strRulesPath + " has no [targets.NAME] tables)"
                                               : "targets in " + strRulesPath + ": " + strNames + ")");
        } else {
            // Between the file's top level and the environment.
            for (const auto &value : it->second.values)
                rules.values[value.first] = value.second;
            for (const auto &origin : it->second.origins)
                rules.origins[origin.first] = origin.second;
        }
    }
    Settings s = loadSettings(getVar, rules, strRulesPath, options);
    if (strUnknown.empty())
        s.strTarget = strTarget;
    else
        s.errors.push_back(strUnknown);
    for (const auto &target : rules.targets)
        s.targetNames.push_back(target.first);
    return s;
}

Settings readProcessSettings(const OptionSettings &options)
{
    bool bNamed = false;
    std::string strError;
    const std::string strRulesFile = rulesFilePath(readEnvironment, bNamed);
    RulesFile rules;
    bool bRulesRead = readRulesFile(strRulesFile, bNamed, rules, strError);
    Settings s = loadSettingsWithTarget(readEnvironment, rules, strRulesFile, options);
    if (!bRulesRead)
        s.errors.insert(s.errors.begin(), strError);
    return s;
}

bool parseByteSize(const std::string &strValue, uint64_t &size)
{
    std::size_t i = 0;
    uint64_t n = 0;
    for (; i < strValue.size() && strValue[i] >= '0' && strValue[i] <= '9'; ++i) {
        if (n > (UINT64_MAX - 9) / 10)
            return false;
        n = n * 10 + static_cast<uint64_t>(strValue[i] - '0');
    }
    if (i == 0)
        return false;
    while (i < strValue.size() && (strValue[i] == ' ' || strValue[i] == '\t'))
        ++i;
    const std::string strUnit = lowerCase(strValue.substr(i).c_str());
    uint64_t unit = 1;
    if (strUnit == "kib")
        unit = 1024;
    else if (strUnit == "mib")
        unit = kMiB;
    else if (strUnit == "gib")
        unit = 1024 * kMiB;
    else if (!strUnit.empty())
        return false;
    if (n > UINT64_MAX / unit)
        return false;
    size = n * unit;
    return true;
}

std::string byteSizeText(uint64_t size)
{
    const char *const units[] = {"GiB", "MiB", "KiB"};
    uint64_t unit = 1024 * kMiB;
    for (const char *pszUnit : units) {
        if (size >= unit && size % unit == 0)
            return std::to_string(size / unit) + " " + pszUnit;
        unit /= 1024;
    }
    return std::to_string(size);
}

bool parsePrefix(const std::string &strValue, std::string &strPrefix, std::string &strError)
{
    const char *pszWhy = nullptr;
    std::string strFolders = strValue;
    if (!strFolders.empty() && strFolders.back() != '/')
        strFolders += '/';
    if (strFolders.size() > kMaxPrefixSize)
        pszWhy = "longer than 512 bytes";
    else if (!strFolders.empty() && strFolders[0] == '/')
        pszWhy = "must not begin with /";
    for (unsigned char c : strFolders) {
        if (!pszWhy && (c < 0x20 || c == 0x7f))
            pszWhy = "must not hold control characters";
    }
    // Each folder of the prefix: "a//b", "." and ".." would name another
    // place on stores and CDNs that resolve them, or none at all.
    for (std::size_t pos = 0; !pszWhy && pos < strFolders.size();) {
        const std::size_t end = strFolders.find('/', pos);
        const std::string strFolder = strFolders.substr(pos, end - pos);
        if (strFolder.empty() || strFolder == "." || strFolder == "..")
            pszWhy = "must not hold an empty, \".\" or \"..\" folder";
        pos = end + 1;
    }
    if (pszWhy) {
        strError = "invalid setting: SITEMIRROR_PREFIX=" + strValue + " (" + pszWhy +
                   "; accepted: folders of the bucket such as blog/)";
        return false;
    }
    strPrefix = strFolders;
    return true;
}

Endpoint parseEndpoint(const std::string &strEndpoint)
{
    Endpoint endpoint;
    std::string strRest = strEndpoint;
    auto startsWithNoCase = [&strRest](const char *pszScheme) {
        std::size_t n = std::strlen(pszScheme);
        if (strRest.size() < n)
            return false;
        for (std::size_t i = 0; i < n; ++i) {
            if (std::tolower(static_cast<unsigned char>(strRest[i])) != pszScheme[i])
                return false;
        }
        return true;
    };
    if (startsWithNoCase("https://")) {
        strRest.erase(0, 8);
    } else if (startsWithNoCase("http://")) {
        strRest.erase(0, 7);
        endpoint.bHttps = false;
    }
    while (!strRest.empty() && strRest.back() == '/')
        strRest.pop_back();
    endpoint.strHost = strRest;
    return endpoint;
}
