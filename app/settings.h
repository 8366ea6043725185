// settings.h - the tool's fixed settings, each overridable by the rules file and by
// one SITEMIRROR_* environment variable; read once by the command line.
#pragma once

#include <string>
#include <vector>

#include "cache_rules.h"


struct Settings {
    std::string strBucket;   // SITEMIRROR_BUCKET: bucket every operation addresses
    std::string strRootPath; // SITEMIRROR_ROOT: local site tree, as given (trailing "/" kept)
    std::string strKeyFile;  // SITEMIRROR_KEY_FILE: two lines, access key id and secret
    std::string strSiteUrl;  // SITEMIRROR_SITE_URL: public base address used on the index page
    std::string strEndpoint; // SITEMIRROR_ENDPOINT: host[:port] or http(s)://host[:port]; empty = client default
    std::string strCaFile;   // SITEMIRROR_CA_FILE: CA bundle for the endpoint; empty = system store
    std::string strPrefix;   // SITEMIRROR_PREFIX: folder of the bucket the site lives in ("" = whole bucket)

    bool bSignatureV4 = false;       // SITEMIRROR_SIGNATURE: v2 (default) | v4
    std::string strRegion = "us-east-1"; // SITEMIRROR_REGION: the V4 signing region
    bool bCannedAcl = true;          // SITEMIRROR_ACL: canned (designed rule) | none (no x-amz-acl)
    std::string strStorageClass = "REDUCED_REDUNDANCY"; // SITEMIRROR_STORAGE_CLASS; "" sends none
    int nJobs = 16;                  // SITEMIRROR_JOBS (-j): uploads in flight, 1 = designed sequence
    int nRetries = 3;                // SITEMIRROR_RETRIES: further tries of a retryable outcome
    long nRequestTimeout = 300;      // SITEMIRROR_REQUEST_TIMEOUT: seconds for one request
    bool bDigestCache = true;        // SITEMIRROR_DIGEST_CACHE: on | off
    std::string strCacheDir;         // where digest caches live: $XDG_CACHE_HOME/sitemirror/
    std::string strConfigFile;       // SITEMIRROR_CONFIG: the rules file ("" = none)
    std::vector<CacheRule> cacheRules; // the rules file's Cache-Control rules, in order

    // After a run that changed anything, the CloudFront distribution in front
    // of the bucket is told to forget the changed paths.
    std::string strCloudFrontDistribution; // SITEMIRROR_CLOUDFRONT_DISTRIBUTION: its id ("" = none)
    std::string strCloudFrontEndpoint;     // SITEMIRROR_CLOUDFRONT_ENDPOINT: "" = CloudFront's own
    int nInvalidationMaxPaths = 100;       // SITEMIRROR_INVALIDATION_MAX_PATHS: more become "/*"

    // One line per variable whose value was not accepted, naming the variable
    // and the values it takes; that setting keeps its default. A run with any
    // of these stops before sending (exit status 2).
    std::vector<std::string> errors;

    // From the command line, not the environment.
    bool bDryRun = false; // -n: list what would be sent, send nothing
    bool bQuiet = false;  // -q: no libcurl trace on standard error
    bool bProgress = false; // -P: one progress line on standard error (a terminal only)
    bool bNoWait = false;   // --no-wait: fail instead of waiting for another run of the site
};

// The defaults compiled into the tool.
extern const char *const pszBucketName;
extern const char *const pszRootPath;
extern const char *const pszKeyFilePath;
extern const char *const pszSiteUrl;

// Settings as seen by this process: the built-in defaults, overridden by the
// rules file (SITEMIRROR_CONFIG or $XDG_CONFIG_HOME/sitemirror/config.toml),
// overridden by the environment. A rules file that cannot be read or parsed
// is the first entry of errors. The command line reads them once, applies its
// options, and hands them to the run's session.
Settings readProcessSettings();

// Reads a -j/--jobs value as SITEMIRROR_JOBS is read; false with one line.
bool parseJobs(const std::string &strValue, int &nJobs, std::string &strError);

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
