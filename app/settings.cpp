// settings.cpp - fixed defaults and their SITEMIRROR_* environment overrides.
#include "settings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

const char *const pszBucketName = "www.quillmere.org";
const char *const pszRootPath = "/home/quorvin/Downloads/quillmere/public_html/";
const char *const pszKeyFilePath = "/home/quorvin/.amazon/s3key";
const char *const pszSiteUrl = "https://www.quillmere.org";

namespace {

std::string pick(const char *(*getVar)(const char *), const char *name, const char *fallback)
{
    const char *value = getVar(name);
    return (value && *value) ? std::string(value) : std::string(fallback);
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
    return s;
}

const Settings &getSettings()
{
    static const Settings settings = loadSettings(readEnvironment);
    return settings;
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
