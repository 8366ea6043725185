// settings.cpp - fixed defaults and their SITEMIRROR_* environment overrides.
#include "settings.h"

#include <cstdlib>

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
