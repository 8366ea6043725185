// cli.cpp - the options and the help text, then the one session of the run,
// handed to the form it asks for (mirror_run), and the exit statuses.
#include "cli.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console.h"
#include "cache_rules.h"
#include "credentials.h"
#include "cdn.h"
#include "cloudflare.h"
#include "events.h"
#include "options.h"
#include "mirror_run.h"
#include "myPutObj.h"
#include "progress.h"
#include "session.h"
#include "settings.h"
#include "version.h"
#include "website.h"

namespace {

const char *environmentValue(const char *pszName) { return std::getenv(pszName); }

void printHelp(const std::string &strProgram, const Settings &s)
{
    const char *const pszHelp[] = {
        "",
        "  (no argument)  write fileLists.html into the site root, then mirror the site into",
        "                 the bucket: every file the bucket lacks or holds in another version",
        "  FILE           upload FILE public-read into the top of the bucket, under its base name",
        "",
        "options (before the argument; -- ends them):",
        "  -h, --help     this text, and every setting with its current value",
        "  -V, --version  the version, and the versions of the libraries it runs with",
        "  -n, --dry-run  scan and list, print \"would upload: KEY (new|size|digest)\" for each",
        "                 file that would be sent (\"(page)\" for the index page a run would",
        "                 write) and \"would delete: KEY\"; send nothing, write no index page",
        "  -q, --quiet    no libcurl trace on standard error",
        "  -j, --jobs N   uploads in flight, auto or 1 to 64 (as SITEMIRROR_JOBS); above 1 they go",
        "                 in phases: other files, then HTML pages, then the index page",
        "  --delete       after every upload succeeded, delete the objects of the bucket (or",
        "                 of SITEMIRROR_PREFIX) that have no local file and that the ignore",
        "                 rules do not match; at most SITEMIRROR_MAX_DELETE of them and",
        "                 SITEMIRROR_MAX_DELETE_SHARE of the objects listed, and none when the",
        "                 site root holds no file but the index page",
        "  --changed-list FILE",
        "                 after the run, write the keys it changed to FILE, one a line",
        "  --refresh-headers  ask every unchanged object for its headers (HEAD) and update",
        "                 those that differ from the rules",
        "  -P, --progress one line on standard error, redrawn in place while files go up:",
        "                 files and bytes done of the total, rate, time left, retries (shown on",
        "                 a terminal only); no libcurl trace",
        "  --no-wait      when another run of the same site holds its lock, exit 1 at once",
        "                 instead of waiting for it to end",
        "  --root DIR     the site root (as SITEMIRROR_ROOT)",
        "  --bucket NAME  the bucket (as SITEMIRROR_BUCKET)",
        "  --prefix P     the bucket's folder the site lives in (as SITEMIRROR_PREFIX)",
        "  --endpoint URL the store's address (as SITEMIRROR_ENDPOINT)",
        "  --target NAME  the rules file's [targets.NAME] settings (as SITEMIRROR_TARGET)",
        "  --exclude PATTERN",
        "                 leave out what PATTERN matches, as a last line of the root's",
        "                 .sitemirrorignore (gitignore syntax); may be given again",
        "  --force        send every file, even those the bucket already holds as they are",
        "  --output FORMAT",
        "                 text, or json: standard output holds one JSON event a line, the",
        "                 other lines go to standard error, no libcurl trace (as",
        "                 SITEMIRROR_OUTPUT)",
        "  --summary-markdown FILE",
        "                 append a Markdown summary of the run to FILE (GITHUB_STEP_SUMMARY",
        "                 when not given)",
        "  --abort-stale-uploads  give up the unfinished uploads in parts under the prefix",
        "                 that are older than a day (a run only names them)",
        "  --configure-website  set the bucket's website: SITEMIRROR_WEBSITE_INDEX as every",
        "                 folder's page, SITEMIRROR_WEBSITE_ERROR (if set) for a missing key;",
        "                 print it as read back and end (with -n: what would be set)",
        "",
        "settings (options, over the environment, over the rules file's target, over the",
        "rules file, over the built-in default):",
    };
    printLine("usage:" + strProgram + "[filetoupload]");
    printLine("       " + strProgram + " [options] [--] [FILE]");
    for (const char *pszLine : pszHelp)
        printLine(pszLine);
    const char *const pszConventions[] = {
        "  the aws tool's own come between the environment and the rules file's target,",
        "  in this order:",
        "  SITEMIRROR_ENDPOINT: AWS_ENDPOINT_URL_S3, AWS_ENDPOINT_URL, the profile's s3",
        "    endpoint_url, endpoint_url; SITEMIRROR_REGION: AWS_REGION, AWS_DEFAULT_REGION, the",
        "    profile's region; SITEMIRROR_ADDRESSING: the profile's s3 addressing_style (the",
        "    profile: AWS_PROFILE, else default, of AWS_CONFIG_FILE, else ~/.aws/config)",
    };
    for (const char *pszLine : pszConventions)
        printLine(pszLine);
    auto show = [&s](const char *pszName, const std::string &strValue) {
        const auto origin = s.conventionOrigins.find(pszName);
        printLine(std::string("  ") + pszName + "=" + strValue +
                  (origin == s.conventionOrigins.end() ? "" : " (" + origin->second + ")"));
    };
    show("SITEMIRROR_BUCKET", s.strBucket);
    show("SITEMIRROR_ROOT", s.strRootPath);
    show("SITEMIRROR_KEY_FILE", s.strKeyFile);
    show("SITEMIRROR_SITE_URL", s.strSiteUrl);
    show("SITEMIRROR_ENDPOINT", s.strEndpoint.empty() ? S3_DEFAULT_HOSTNAME : s.strEndpoint);
    show("SITEMIRROR_CA_FILE", s.strCaFile.empty() ? "(the system's CA store)" : s.strCaFile);
    show("SITEMIRROR_PREFIX", s.strPrefix.empty() ? "(the whole bucket)" : s.strPrefix);
    show("SITEMIRROR_SIGNATURE", s.bSignatureV4 ? "v4" : "v2");
    show("SITEMIRROR_REGION", s.strRegion);
    show("SITEMIRROR_ADDRESSING", s.bVirtualHost ? "virtual" : "path");
    show("SITEMIRROR_ACL", !s.bCannedAcl                             ? std::string("none")
                           : s.defaultAcl == S3CannedAclPublicRead ? std::string("canned")
                                                                     : cannedAclName(s.defaultAcl));
    show("SITEMIRROR_CHARSET", s.strCharset.empty() ? "(none)" : s.strCharset);
    show("SITEMIRROR_SSE", s.strSse.empty() ? "(none)" : s.strSse);
    show("SITEMIRROR_SSE_KMS_KEY_ID", s.strSseKmsKeyId.empty() ? "(none)" : s.strSseKmsKeyId);
    show("SITEMIRROR_WEBSITE_INDEX", s.strWebsiteIndex);
    show("SITEMIRROR_WEBSITE_ERROR", s.strWebsiteError.empty() ? "(none)" : s.strWebsiteError);
    show("SITEMIRROR_INSTANCE_METADATA", s.bInstanceMetadata ? "on" : "off");
    show("SITEMIRROR_STORAGE_CLASS", s.strStorageClass);
    show("SITEMIRROR_JOBS", s.nJobs == 0 ? std::string("auto") : std::to_string(s.nJobs));
    show("SITEMIRROR_RETRIES", std::to_string(s.nRetries));
    show("SITEMIRROR_REQUEST_TIMEOUT", std::to_string(s.nRequestTimeout));
    show("SITEMIRROR_DIGEST_CACHE", std::string(s.bDigestCache ? "on" : "off") +
                                        (s.strCacheDir.empty() ? "" : " (" + s.strCacheDir + ")"));
    show("SITEMIRROR_PUBLISH_VCS", s.bPublishVcs ? "on" : "off (.git, .hg, .svn, .bzr left out)");
    show("SITEMIRROR_DELETE", s.bDelete ? "on" : "off");
    show("SITEMIRROR_MAX_DELETE", std::to_string(s.nMaxDelete));
    show("SITEMIRROR_MAX_DELETE_SHARE", std::to_string(s.nMaxDeleteShare) + "%");
    show("SITEMIRROR_MULTIPART_THRESHOLD", byteSizeText(s.multipartThreshold));
    show("SITEMIRROR_PART_SIZE", byteSizeText(s.partSize));
    show("SITEMIRROR_CONFIG", s.strConfigFile.empty() ? "(none)" : s.strConfigFile);
    show("SITEMIRROR_CLOUDFRONT_DISTRIBUTION",
         s.strCloudFrontDistribution.empty() ? "(none)" : s.strCloudFrontDistribution);
    show("SITEMIRROR_CLOUDFRONT_ENDPOINT",
         s.strCloudFrontEndpoint.empty() ? pszCloudFrontEndpoint : s.strCloudFrontEndpoint);
    show("SITEMIRROR_INVALIDATION_MAX_PATHS", std::to_string(s.nInvalidationMaxPaths));
    show("SITEMIRROR_CLOUDFLARE_ZONE", s.strCloudflareZone.empty() ? "(none)" : s.strCloudflareZone);
    show("SITEMIRROR_CLOUDFLARE_ENDPOINT",
         s.strCloudflareEndpoint.empty() ? pszCloudflareEndpoint : s.strCloudflareEndpoint);
    show("SITEMIRROR_PURGE_MAX_URLS", std::to_string(s.nPurgeMaxUrls));
    // The token itself is never shown.
    printLine(std::string("  CLOUDFLARE_API_TOKEN ") +
              (s.strCloudflareToken.empty() ? "not set" : "set"));
    show("SITEMIRROR_OUTPUT", s.bJsonOutput ? "json" : "text");
    {
        std::string strNames;
        for (const std::string &strName : s.targetNames)
            strNames += (strNames.empty() ? "" : ", ") + strName;
        show("SITEMIRROR_TARGET", (s.strTarget.empty() ? std::string("(none)") : s.strTarget) +
                                      (strNames.empty() ? "" : " (targets: " + strNames + ")"));
    }
    if (!s.strSummaryMarkdown.empty())
        printLine("  Markdown summary: " + s.strSummaryMarkdown);
    printLine("  Cache-Control rules: " + std::to_string(s.cacheRules.size()));
    for (const CacheRule &rule : s.cacheRules)
        printLine("    " + rule.strMatch + " -> " + rule.strCacheControl);

    // Where the keys would come from; the secret is never shown.
    CredentialLookup lookup;
    if (findCredentials(s.strKeyFile, s.keyFileNamed(), environmentValue, lookup,
                        credentialOptions(s))) {
        printLine("credentials: " + lookup.strSource);
        for (const std::string &strWarning : lookup.warnings)
            printLine(strWarning);
    } else {
        const std::string strHead = "credentials: ";
        const std::string &strWhy = lookup.strError;
        printLine("credentials: none: " +
                  (strWhy.compare(0, strHead.size(), strHead) == 0 ? strWhy.substr(strHead.size())
                                                                   : strWhy));
    }
}

} // namespace

int runCommandLine(int argc, char **argv)
{
    // A reader of standard output that went away ends the printing, never the
    // run: its summary, digest cache, changed list and invalidation still come.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string strProgram = argc > 0 && argv[0] ? argv[0] : "";
    const std::string strUsage = "usage:" + strProgram + "[filetoupload]";
    CommandLine cl = parseCommandLine(argc, argv);
    if (cl.bUsage) {
        printLine(strUsage);
        return ExitUsage;
    }

    // A setting that was not accepted stops the run before anything is written
    // or sent; an option overrides the setting's other sources, invalid or not.
    OptionSettings options;
    for (const CommandLine::Given &given : cl.settings)
        options[given.strVariable] = {given.strOption, given.strValue};
    Settings settings = readProcessSettings(options);
    settings.bDryRun = cl.bDryRun;
    // The progress line and the JSON lines take the place of libcurl's trace.
    settings.bQuiet = cl.bQuiet || cl.bProgress || settings.bJsonOutput;
    settings.excludes = cl.excludes;
    settings.bForce = cl.bForce;
    const char *pszStepSummary = environmentValue("GITHUB_STEP_SUMMARY");
    settings.strSummaryMarkdown = !cl.strSummaryMarkdown.empty() ? cl.strSummaryMarkdown
                                  : pszStepSummary               ? pszStepSummary
                                                                 : "";
    if (cl.bDelete)
        settings.bDelete = true;
    settings.strChangedList = cl.strChangedList;
    settings.bRefreshHeaders = cl.bRefreshHeaders;
    settings.bProgress = cl.bProgress;
    settings.bNoWait = cl.bNoWait;
    settings.bAbortStaleUploads = cl.bAbortStaleUploads;
    settings.bConfigureWebsite = cl.bConfigureWebsite;

    if (cl.bHelp) {
        printHelp(strProgram, settings);
        for (const std::string &strError : settings.errors)
            printLine(strError);
        return settings.errors.empty() ? ExitOk : ExitUsage;
    }
    if (cl.bVersion) {
        for (const std::string &strLine : versionLines())
            printLine(strLine);
        return ExitOk;
    }
    // From here standard output holds only the JSON events, when asked for.
    setJsonEvents(settings.bJsonOutput);
    setLinesToStandardError(settings.bJsonOutput);
    for (const std::string &strError : settings.errors) {
        printLine(strError);
        emitError({"settings", "", "", "", 0, strError, ""});
    }
    if (!settings.errors.empty())
        return ExitUsage;
    if (cl.args.size() > 1) {
        printLine(strUsage);
        return ExitUsage;
    }
    // One owner of the client for the whole run; nothing is sent when its
    // set-up refused the CA file.
    Session session(settings);
    if (session.caFileRefused()) {
        emitError({"settings", "", settings.strCaFile, "", 0, "the CA file cannot be used", ""});
        emitSummary(session.runSummary());
        return ExitFailed;
    }
    if (settings.bConfigureWebsite) {
        if (!cl.args.empty()) {
            printLine(strUsage);
            return ExitUsage;
        }
        return configureWebsite(session);
    }
    ProgressLine progress;
    if (settings.bProgress && ProgressLine::wanted())
        session.setTransferObserver(&progress);
    return runForm(session, cl.args);
}
