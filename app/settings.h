// settings.h - the tool's fixed settings, each overridable by one SITEMIRROR_*
// environment variable. Read once, on first use; the values live for the process.
#pragma once

#include <string>

struct Settings {
    std::string strBucket;   // SITEMIRROR_BUCKET: bucket every operation addresses
    std::string strRootPath; // SITEMIRROR_ROOT: local site tree, as given (trailing "/" kept)
    std::string strKeyFile;  // SITEMIRROR_KEY_FILE: two lines, access key id and secret
    std::string strSiteUrl;  // SITEMIRROR_SITE_URL: public base address used on the index page
    std::string strEndpoint; // SITEMIRROR_ENDPOINT: host[:port] or http(s)://host[:port]; empty = client default
    std::string strCaFile;   // SITEMIRROR_CA_FILE: CA bundle for the endpoint; empty = system store
};

// The defaults compiled into the tool.
extern const char *const pszBucketName;
extern const char *const pszRootPath;
extern const char *const pszKeyFilePath;
extern const char *const pszSiteUrl;

// Settings as seen by this process: defaults overridden by the environment.
const Settings &getSettings();

// Builds the settings from a lookup function (tests pass their own map).
Settings loadSettings(const char *(*getVar)(const char *name));

// Where requests go, taken from SITEMIRROR_ENDPOINT: "host[:port]" or
// "http://host[:port]" / "https://host[:port]" (scheme letters in any case,
// trailing "/" dropped). No scheme means HTTPS; an empty host means the
// client's default endpoint.
struct Endpoint {
    std::string strHost; // "host[:port]", "" = client default
    bool bHttps = true;
};
Endpoint parseEndpoint(const std::string &strEndpoint);
