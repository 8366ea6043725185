// settings.cpp - fixed defaults and their SITEMIRROR_* environment overrides.
#include "settings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "myListTool.h"
#include "rulesfile.h"

const char *const pszBucketName = "www.quillmere.org";
const char *const pszRootPath = "/home/quorvin/Downloads/quillmere/public_html/";
const char *const pszKeyFilePath = "/home/quorvin/.amazon/s3key";
const char *const pszSiteUrl = siteindex::defaultSiteAddress;

namespace {

std::string pick(const char *(*getVar)(const char *), const char *name, const char *fallback)
{
    const char *value = getVar(name);
    return (value && *value) ? std::string(value) : std::string(fallback);
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

// Picks one of two spellings (any letter case); unset or empty keeps the default.
void pickChoice(const char *(*getVar)(const char *), const char *name, const char *pszTrue,
                const char *pszFalse, bool &value, std::vector<std::string> &errors)
{
    const char *pszValue = getVar(name);
    if (!pszValue || !*pszValue)
        return;
    std::string strLower;
    for (const char *p = pszValue; *p; ++p)
        strLower += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    if (strLower == pszTrue)
        value = true;
    else if (strLower == pszFalse)
        value = false;
    else
        errors.push_back(std::string("invalid setting: ") + name + "=" + pszValue +
                         " (accepted: " + pszTrue + ", " + pszFalse + ")");
}

void pickNumber(const char *(*getVar)(const char *), const char *name, long lo, long hi,
                long &value, std::vector<std::string> &errors)
{
    const char *pszValue = getVar(name);
    if (!pszValue || !*pszValue)
        return;
    if (!parseBounded(pszValue, lo, hi, value))
        errors.push_back(std::string("invalid setting: ") + name + "=" + pszValue +
                         " (accepted: a whole number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ")");
}

const char *readEnvironment(const char *name) { return std::getenv(name); }

} // namespace

Settings loadSettings(const char *(*getVar)(const char *name))
{
    Settings s;
    s.strBucket = pick(getVar, "SITEMIRROR_BUCKET", pszBucketName);
    s.strRootPath = pick(getVar, "SITEMIRROR_ROOT", pszRootPath);
    s.strKeyFile = pick(getVar, "SITEMIRROR_KEY_FILE", pszKeyFilePath);
    s.strSiteUrl = pick(getVar, "SITEMIRROR_SITE_URL", pszSiteUrl);
    s.strEndpoint = pick(getVar, "SITEMIRROR_ENDPOINT", "");
    s.strCaFile = pick(getVar, "SITEMIRROR_CA_FILE", "");

    // "v4" selects the V4 signature: true; "v2": false.
    pickChoice(getVar, "SITEMIRROR_SIGNATURE", "v4", "v2", s.bSignatureV4, s.errors);
    // The region goes into every V4 signature and its Authorization header.
    const std::string strRegion = pick(getVar, "SITEMIRROR_REGION", s.strRegion.c_str());
    bool bRegionOk = strRegion.size() <= 64;
    for (char c : strRegion) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            bRegionOk = false;
    }
    if (bRegionOk)
        s.strRegion = strRegion;
    else
        s.errors.push_back("invalid setting: SITEMIRROR_REGION=" + strRegion +
                           " (accepted: a region name of letters, digits, - and _)");
    pickChoice(getVar, "SITEMIRROR_ACL", "canned", "none", s.bCannedAcl, s.errors);
    // Set but empty means: send no storage class at all.
    if (const char *pszClass = getVar("SITEMIRROR_STORAGE_CLASS")) {
        s.strStorageClass = pszClass;
        for (char c : s.strStorageClass) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
                s.errors.push_back(std::string("invalid setting: SITEMIRROR_STORAGE_CLASS=") +
                                   pszClass +
                                   " (accepted: a storage class name of letters, digits and _,"
                                   " or empty for none)");
                s.strStorageClass = "REDUCED_REDUNDANCY";
                break;
            }
        }
    }
    long n = s.nJobs;
    pickNumber(getVar, "SITEMIRROR_JOBS", 1, 64, n, s.errors);
    s.nJobs = static_cast<int>(n);
    n = s.nRetries;
    pickNumber(getVar, "SITEMIRROR_RETRIES", 0, 10, n, s.errors);
    s.nRetries = static_cast<int>(n);
    pickNumber(getVar, "SITEMIRROR_REQUEST_TIMEOUT", 1, 86400, s.nRequestTimeout, s.errors);
    pickChoice(getVar, "SITEMIRROR_DIGEST_CACHE", "on", "off", s.bDigestCache, s.errors);
    s.strConfigFile = pick(getVar, "SITEMIRROR_CONFIG", "");

    // The id goes into the request's path: letters and digits only.
    s.strCloudFrontDistribution = pick(getVar, "SITEMIRROR_CLOUDFRONT_DISTRIBUTION", "");
    bool bIdOk = s.strCloudFrontDistribution.size() <= 64;
    for (char c : s.strCloudFrontDistribution) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            bIdOk = false;
    }
    if (!bIdOk) {
        s.errors.push_back("invalid setting: SITEMIRROR_CLOUDFRONT_DISTRIBUTION=" +
                           s.strCloudFrontDistribution +
                           " (accepted: a distribution id of letters and digits)");
        s.strCloudFrontDistribution.clear();
    }
    s.strCloudFrontEndpoint = pick(getVar, "SITEMIRROR_CLOUDFRONT_ENDPOINT", "");
    n = s.nInvalidationMaxPaths;
    pickNumber(getVar, "SITEMIRROR_INVALIDATION_MAX_PATHS", 1, 3000, n, s.errors);
    s.nInvalidationMaxPaths = static_cast<int>(n);

    const char *pszXdg = getVar("XDG_CACHE_HOME");
    const char *pszHome = getVar("HOME");
    if (pszXdg && *pszXdg == '/')
        s.strCacheDir = std::string(pszXdg) + "/sitemirror/";
    else if (pszHome && *pszHome)
        s.strCacheDir = std::string(pszHome) + "/.cache/sitemirror/";
    return s;
}

namespace {

// The rules file's values, under the environment (see processLookup).
RulesFile rulesFileG;

// The environment first; a variable it does not set comes from the rules file.
const char *processLookup(const char *name)
{
    if (const char *pszValue = std::getenv(name))
        return pszValue;
    auto it = rulesFileG.values.find(name);
    return it == rulesFileG.values.end() ? nullptr : it->second.c_str();
}

} // namespace

Settings readProcessSettings()
{
    bool bNamed = false;
    std::string strError;
    const std::string strRulesFile = rulesFilePath(readEnvironment, bNamed);
    bool bRulesRead = readRulesFile(strRulesFile, bNamed, rulesFileG, strError);
    Settings s = loadSettings(processLookup);
    s.cacheRules = rulesFileG.cacheRules;
    s.strConfigFile = strRulesFile;
    if (!bRulesRead)
        s.errors.insert(s.errors.begin(), strError);
    return s;
}

bool parseJobs(const std::string &strValue, int &nJobs, std::string &strError)
{
    long n = 0;
    if (!parseBounded(strValue, 1, 64, n)) {
        strError = "invalid option: --jobs " + strValue + " (accepted: a whole number from 1 to 64)";
        return false;
    }
    nJobs = static_cast<int>(n);
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
