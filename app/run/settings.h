// settings.h - the tool's fixed settings, each overridable by the rules file and by
// one SITEMIRROR_* environment variable; read once by the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cache_rules.h"
#include "redirect_list.h"
#include "s3client.h"

struct RulesFile;

// The defaults of the uploads in parts (see the README for the measurements),
// and the bounds of both settings: the store's smallest part and largest
// single upload.
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kDefaultMultipartThreshold = 256 * kMiB;
constexpr uint64_t kDefaultPartSize = 16 * kMiB;
constexpr uint64_t kMinPartSize = 5 * kMiB;
constexpr uint64_t kMaxPartSize = 5 * 1024 * kMiB;

// Reads a size: a whole number of bytes, or one followed by KiB, MiB or GiB
// (any letter case, blanks allowed before the unit). False for anything else.
bool parseByteSize(const std::string &strValue, uint64_t &size);
// The size as the help text shows it: "16 MiB" when whole, else bytes.
std::string byteSizeText(uint64_t size);

struct Settings {
    std::string strBucket;   // SITEMIRROR_BUCKET: bucket every operation addresses
    std::string strRootPath; // SITEMIRROR_ROOT: local site tree, as given (trailing "/" kept)
    std::string strKeyFile;  // SITEMIRROR_KEY_FILE: two lines, access key id and secret
    bool bKeyFileNamed = false; // the key file was named (environment or rules file), so it
                                // is the credential source; else the default is tried in turn
    // Named, or set to another path than the default by whoever made these settings.
    bool keyFileNamed() const;
    std::string strSiteUrl;  // SITEMIRROR_SITE_URL: public base address used on the index page
    std::string strEndpoint; // SITEMIRROR_ENDPOINT: host[:port] or http(s)://host[:port]; empty = client default
    std::string strCaFile;   // SITEMIRROR_CA_FILE: CA bundle for the endpoint; empty = system store
    std::string strPrefix;   // SITEMIRROR_PREFIX: folder of the bucket the site lives in ("" = whole bucket);
                             // never begins with "/", always ends with one, no "." or ".." folder

    bool bSignatureV4 = false;       // SITEMIRROR_SIGNATURE: v2 (default) | v4
    std::string strRegion = "us-east-1"; // SITEMIRROR_REGION: the V4 signing region
    bool bInstanceMetadata = false;  // SITEMIRROR_INSTANCE_METADATA: on | off (default): the
                                     // instance's metadata service is a credential source
    bool bVirtualHost = false;       // SITEMIRROR_ADDRESSING: path (default) | virtual (the
                                     // bucket in the host name, when it is a DNS name without dots)
    // The settings whose value came from the aws tool's conventions
    // (AWS_REGION, a profile's region, ...), by name, with where it was found.
    std::map<std::string, std::string> conventionOrigins;
    bool bCannedAcl = true;          // SITEMIRROR_ACL: canned (designed rule) | none (no x-amz-acl)
                                     // | a canned ACL name for every file outside "personal"
    S3CannedAcl defaultAcl = S3CannedAclPublicRead; // what files outside "personal" get
    std::string strCharset;          // SITEMIRROR_CHARSET: added to text types ("" = none)
    std::string strSse;              // SITEMIRROR_SSE: AES256 | aws:kms ("" = none)
    std::string strSseKmsKeyId;      // SITEMIRROR_SSE_KMS_KEY_ID: the KMS key of aws:kms
    std::string strWebsiteIndex = "index.html"; // SITEMIRROR_WEBSITE_INDEX: a folder's page
    std::string strWebsiteError;     // SITEMIRROR_WEBSITE_ERROR: the website's error page ("" = none)
    std::string strStorageClass = "REDUCED_REDUNDANCY"; // SITEMIRROR_STORAGE_CLASS ("none": "", sent none)
    int nJobs = 0;                   // SITEMIRROR_JOBS (-j): uploads in flight, 1 = designed
                                     // sequence, 0 = auto (found while sending)
    int nRetries = 3;                // SITEMIRROR_RETRIES: further tries of a retryable outcome
    long nRequestTimeout = 300;      // SITEMIRROR_REQUEST_TIMEOUT: seconds for one request
    bool bDigestCache = true;        // SITEMIRROR_DIGEST_CACHE: on | off
    bool bPublishVcs = false;        // SITEMIRROR_PUBLISH_VCS (publish_vcs = true): .git, .hg,
                                     // .svn and .bzr folders are mirrored like any other
    std::string strCacheDir;         // where digest caches live: $XDG_CACHE_HOME/sitemirror/
    std::string strConfigFile;       // SITEMIRROR_CONFIG: the rules file ("" = none)
    std::vector<CacheRule> cacheRules; // the rules file's Cache-Control rules, in order
    std::vector<Redirect> redirects;   // the rules file's redirects, keys set (see redirect_list.h)
    bool bDelete = false;            // SITEMIRROR_DELETE (--delete, rules file "delete"): on | off
    long nMaxDelete = 100;           // SITEMIRROR_MAX_DELETE: most deletions a run may make
    int nMaxDeleteShare = 50;        // SITEMIRROR_MAX_DELETE_SHARE: most deletions a run may
                                     // make, in percent of the objects listed under the prefix
    // Files larger than the threshold go up in parts of the part size (which
    // grows for a file that would need more than the store's 10,000 parts).
    uint64_t multipartThreshold = kDefaultMultipartThreshold; // SITEMIRROR_MULTIPART_THRESHOLD
    uint64_t partSize = kDefaultPartSize;                     // SITEMIRROR_PART_SIZE

    // After a run that changed anything, the CloudFront distribution in front
    // of the bucket is told to forget the changed paths.
    std::string strCloudFrontDistribution; // SITEMIRROR_CLOUDFRONT_DISTRIBUTION: its id ("" = none)
    std::string strCloudFrontEndpoint;     // SITEMIRROR_CLOUDFRONT_ENDPOINT: "" = CloudFront's own
    int nInvalidationMaxPaths = 100;       // SITEMIRROR_INVALIDATION_MAX_PATHS: more become "/*"

    // Cloudflare in front of the bucket: after a run that changed anything,
    // the zone's cache forgets the changed URLs. The token comes from the
    // environment alone (CLOUDFLARE_API_TOKEN) and is never shown.
    std::string strCloudflareZone;     // SITEMIRROR_CLOUDFLARE_ZONE: the zone id ("" = none)
    std::string strCloudflareEndpoint; // SITEMIRROR_CLOUDFLARE_ENDPOINT: "" = Cloudflare's own API
    std::string strCloudflareToken;    // CLOUDFLARE_API_TOKEN
    long nPurgeMaxUrls = 300;          // SITEMIRROR_PURGE_MAX_URLS: more purge everything

    // The named target in use (SITEMIRROR_TARGET, --target; "" = none) and
    // the names the rules file has.
    std::string strTarget;
    std::vector<std::string> targetNames;

    bool bJsonOutput = false; // SITEMIRROR_OUTPUT (--output): text | json

    // One line per value that was not accepted, naming where it was given (the
    // variable, the rules file and line, or the option) and the values it
    // takes; that setting keeps its default. A run with any of these stops
    // before sending (exit status 2), and so does -h after its text.
    std::vector<std::string> errors;

    // From the command line, not the environment.
    bool bDryRun = false; // -n: list what would be sent, send nothing
    bool bRefreshHeaders = false; // --refresh-headers: HEAD every unchanged object, mend its headers
    bool bQuiet = false;  // -q: no libcurl trace on standard error
    std::string strChangedList; // --changed-list FILE: where the changed keys are written ("" = nowhere)
    bool bProgress = false; // -P: one progress line on standard error (a terminal only)
    bool bNoWait = false;   // --no-wait: fail instead of waiting for another run of the site
    std::vector<std::string> excludes; // --exclude: lines after the root's ignore rules
    bool bForce = false;    // --force: send every file, unchanged ones too
    // --summary-markdown FILE, else GITHUB_STEP_SUMMARY: where the run's
    // Markdown summary is appended ("" = nowhere).
    std::string strSummaryMarkdown;
    bool bConfigureWebsite = false; // --configure-website: set the bucket's website and end
    bool bAbortStaleUploads = false; // --abort-stale-uploads: give up this tool's unfinished
                                     // uploads older than a day under the prefix
};

// The defaults compiled into the tool.
extern const char *const pszBucketName;
extern const char *const pszRootPath;
extern const char *const pszKeyFilePath;
extern const char *const pszSiteUrl;

// A setting given on the command line: the option as typed and its value,
// by the setting's variable name ("SITEMIRROR_JOBS" -> {"--jobs", "8"}).
struct OptionSetting {
    std::string strOption;
    std::string strValue;
};
typedef std::map<std::string, OptionSetting> OptionSettings;

// Settings as seen by this process: the built-in defaults, overridden by the
// rules file (SITEMIRROR_CONFIG or $XDG_CONFIG_HOME/sitemirror/config.toml),
// overridden by its [targets.NAME] table when a target is named (the
// option, else SITEMIRROR_TARGET), overridden by the aws tool's conventions
// (the endpoint: AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL, the profile's s3
// endpoint_url and endpoint_url; the region: AWS_REGION, AWS_DEFAULT_REGION,
// the profile's region; the addressing: the profile's s3 addressing_style;
// each in that order, the profile being AWS_PROFILE's or "default" of
// AWS_CONFIG_FILE or ~/.aws/config), overridden by the environment,
// overridden by the command line's options. An unknown target name is an
// entry of errors that names the targets there are.
// A variable or rules-file value that is empty counts as not given. A rules
// file that cannot be read or parsed is the first entry of errors. The command
// line reads them once and hands them to the run's session.
Settings readProcessSettings(const OptionSettings &options = OptionSettings());

// Checks a SITEMIRROR_PREFIX value and gives it its trailing "/" ("" stays
// ""): no leading "/", no empty, "." or ".." folder, no control bytes, at most
// kMaxPrefixSize bytes. False with one line naming the variable.
constexpr std::size_t kMaxPrefixSize = 512;
bool parsePrefix(const std::string &strValue, std::string &strPrefix, std::string &strError);

// Builds the settings from a lookup function alone (tests pass their own map).
Settings loadSettings(const char *(*getVar)(const char *name));

// The same with the rules file's values (read from strRulesPath) below the
// variables, and options above them.
Settings loadSettings(const char *(*getVar)(const char *name), const RulesFile &rules,
                      const std::string &strRulesPath, const OptionSettings &options);

// The same with the target that the options or SITEMIRROR_TARGET name taken
// from rules (see readProcessSettings).
Settings loadSettingsWithTarget(const char *(*getVar)(const char *name), RulesFile rules,
                                const std::string &strRulesPath, const OptionSettings &options);

// Where requests go, taken from SITEMIRROR_ENDPOINT: "host[:port]" or
// "http://host[:port]" / "https://host[:port]" (scheme letters in any case,
// trailing "/" dropped). No scheme means HTTPS; an empty host means the
// client's default endpoint.
struct Endpoint {
    std::string strHost; // "host[:port]", "" = client default
    bool bHttps = true;
};
Endpoint parseEndpoint(const std::string &strEndpoint);
