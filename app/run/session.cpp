// session.cpp - one client set-up, one set of credentials and one bucket
// context for the run.
#include "session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "console.h"

const char *const pszUserAgentInfo = "ubuntu 10.04";

Session::Session(const Settings &settings)
    : settingsRef(settings), endpoint(parseEndpoint(settings.strEndpoint)),
      bSignatureV4(settings.bSignatureV4), strRegion(settings.strRegion), hintLog(settings),
      jobGovernor(settings.nJobs)
{
    // Every call, also a failed one, is matched by one S3_deinitialize.
    bInitializeCalled = true;
    if (S3_initialize(pszUserAgentInfo, 0, nullptr) != S3StatusOK)
        return;
    S3Status caStatus = S3_set_ca_file(settings.strCaFile.c_str());
    if (caStatus != S3StatusOK) {
        // Falling back on the system store would trust what the file was to exclude.
        printLine("cannot use CA file: " + settings.strCaFile + " (" +
                  S3_get_status_name(caStatus) + ")");
        bCaFileRefused = true;
        return;
    }
    S3_set_timeouts(10, settings.nRequestTimeout);
    S3_set_trace(settings.bQuiet ? 0 : 1);
    bReady = true;
}

Session::~Session()
{
    endRequestContext();
    if (bInitializeCalled)
        S3_deinitialize();
}

S3RequestContext *Session::requestContext()
{
    if (!rc && S3_create_request_context(&rc) != S3StatusOK)
        rc = nullptr;
    return rc;
}

void Session::endRequestContext()
{
    if (rc) {
        S3RequestContext *ending = rc;
        rc = nullptr;
        S3_destroy_request_context(ending);
    }
}

bool Session::waitForTransfers(std::chrono::steady_clock::time_point due)
{
    // Longest single wait, so that retries and printing never lag far.
    constexpr int64_t kMaxWaitMs = 100;
    if (!rc)
        return false;
    if (waitReplacement)
        return waitReplacement();
    int64_t waitMs = S3_get_request_context_timeout(rc);
    if (waitMs < 0 || waitMs > kMaxWaitMs)
        waitMs = kMaxWaitMs;
    if (due != std::chrono::steady_clock::time_point::max()) {
        const auto untilDue = std::chrono::duration_cast<std::chrono::milliseconds>(
            due - std::chrono::steady_clock::now());
        waitMs = std::max<int64_t>(0, std::min<int64_t>(waitMs, untilDue.count()));
    }
    return S3_wait_request_context(rc, static_cast<int>(waitMs)) == S3StatusOK;
}

bool hostNameBucket(const char *pszBucket)
{
    const std::size_t n = std::strlen(pszBucket);
    if (n < 3 || n > 63 || pszBucket[0] == '-' || pszBucket[n - 1] == '-')
        return false;
    for (const char *p = pszBucket; *p; ++p) {
        if (!((*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '-'))
            return false;
    }
    return true;
}

bool Session::bucketContext(const char *pszBucket, S3BucketContext &ctx)
{
    if (!bReady)
        return false;
    if (!bKeyInitialized) {
        CredentialLookup lookup;
        if (!findCredentials(settingsRef.strKeyFile, settingsRef.keyFileNamed(),
                             [](const char *pszName) -> const char * { return std::getenv(pszName); },
                             lookup, credentialOptions(settingsRef))) {
            printLine(lookup.strError);
            return false;
        }
        // A source of temporary keys is asked now, before anything is sent;
        // one that fails stops the run with its line.
        if (lookup.source) {
            TemporaryCredentials fetched;
            std::string strError;
            if (!lookup.source->fetch(fetched, strError)) {
                printLine(strError);
                return false;
            }
            source = lookup.source;
            adoptFetched(fetched);
            lookup.creds = creds;
        }
        // Beside the designed lines, as the scan's own warnings are.
        for (const std::string &strWarning : lookup.warnings)
            printErrorLine(strWarning);
        creds = lookup.creds;
        strSource = lookup.strSource;
        hintLog.setCredentialPlace(lookup.strPlace);
        bKeyInitialized = true;
    }
    refreshCredentials();
    std::memset(&ctx, 0, sizeof ctx);
    ctx.hostName = endpoint.strHost.empty() ? nullptr : endpoint.strHost.c_str();
    ctx.bucketName = pszBucket;
    ctx.protocol = endpoint.bHttps ? S3ProtocolHTTPS : S3ProtocolHTTP;
    // Path style unless virtual is asked for: the bucket is the first path
    // segment, which also works for endpoints given as an IP address and for
    // dotted bucket names (which no certificate of the store's covers).
    ctx.uriStyle = settingsRef.bVirtualHost && hostNameBucket(pszBucket) ? S3UriStyleVirtualHost
                                                                         : S3UriStylePath;
    ctx.accessKeyId = creds.strAccessKeyId.c_str();
    ctx.secretAccessKey = creds.strSecretAccessKey.c_str();
    ctx.signatureVersion = bSignatureV4 ? S3SignatureV4 : S3SignatureV2;
    ctx.region = strRegion.c_str();
    ctx.securityToken = creds.strSessionToken.empty() ? nullptr : creds.strSessionToken.c_str();
    return true;
}

CredentialOptions credentialOptions(const Settings &settings)
{
    CredentialOptions options;
    options.strCaFile = settings.strCaFile;
    options.bInstanceMetadata = settings.bInstanceMetadata;
    return options;
}

bool Session::adoptFetched(const TemporaryCredentials &fetched)
{
    creds = fetched.creds;
    expiration = fetched.expiration;
    const long long now = static_cast<long long>(std::time(nullptr));
    // Five minutes ahead, or half way for keys that live less than ten.
    const long long lead = std::min<long long>(300, (expiration - now) / 2);
    refreshAt = expiration > 0 ? expiration - std::max<long long>(lead, 0) : 0;
    return true;
}

void Session::refreshCredentials()
{
    // How long a source that failed is left alone before it is asked again.
    constexpr long long kRetrySeconds = 10;
    if (!source || refreshAt == 0)
        return;
    const long long now = static_cast<long long>(std::time(nullptr));
    if (now < refreshAt || now < nextTryAt)
        return;
    TemporaryCredentials fetched;
    std::string strError;
    if (source->fetch(fetched, strError)) {
        adoptFetched(fetched);
        bRefreshFailureSaid = false;
        return;
    }
    // The keys in hand may still be good for a while: the requests go on
    // with them and the store says when they are not.
    nextTryAt = now + kRetrySeconds;
    if (!bRefreshFailureSaid)
        printErrorLine("warning: cannot fetch the keys again: " + strError);
    bRefreshFailureSaid = true;
}

S3BucketContext Session::current(const S3BucketContext &ctx)
{
    refreshCredentials();
    S3BucketContext now = ctx;
    now.hostName = endpoint.strHost.empty() ? nullptr : endpoint.strHost.c_str();
    now.accessKeyId = creds.strAccessKeyId.c_str();
    now.secretAccessKey = creds.strSecretAccessKey.c_str();
    now.securityToken = creds.strSessionToken.empty() ? nullptr : creds.strSessionToken.c_str();
    now.signatureVersion = bSignatureV4 ? S3SignatureV4 : S3SignatureV2;
    now.region = strRegion.c_str();
    return now;
}

bool Session::follow(const StoreAsk &ask, int nSentGeneration, std::string &strHint)
{
    strHint.clear();
    const bool bSentBefore = nSentGeneration < nGeneration;
    switch (ask.kind) {
    case StoreAsk::None:
        return false;
    case StoreAsk::SignatureV4:
        if (bSignatureV4 || bV4Followed)
            return bSignatureV4 && bSentBefore;
        bSignatureV4 = bV4Followed = true;
        strHint = "hint: the store asks for signature V4; the run goes on with it: set "
                  "SITEMIRROR_SIGNATURE=v4 to start with it";
        break;
    case StoreAsk::Region:
        if (strRegion == ask.strRegion || bRegionFollowed)
            return strRegion == ask.strRegion && bSentBefore;
        strRegion = ask.strRegion;
        bRegionFollowed = true;
        strHint = "hint: the bucket is in region " + ask.strRegion +
                  "; the run goes on there: set SITEMIRROR_REGION=" + ask.strRegion +
                  " (or AWS_REGION) to start there";
        break;
    case StoreAsk::Endpoint: {
        // Only from one AWS endpoint to another: the store's word sends the
        // site's files nowhere else.
        std::string strHost, strRegionNow;
        const bool bOnAws = endpoint.strHost.empty() ||
                            awsRegionalEndpoint(endpoint.strHost, strHost, strRegionNow) ||
                            endpoint.strHost == S3_DEFAULT_HOSTNAME;
        if (endpoint.strHost == ask.strHost || bEndpointFollowed || !bOnAws)
            return endpoint.strHost == ask.strHost && bSentBefore;
        endpoint.strHost = ask.strHost;
        strRegion = ask.strRegion;
        bEndpointFollowed = bRegionFollowed = true;
        strHint = "hint: the bucket is served by " + ask.strHost + " in region " + ask.strRegion +
                  "; the run goes on there: set SITEMIRROR_ENDPOINT=" + ask.strHost +
                  " and SITEMIRROR_REGION=" + ask.strRegion + " to start there";
        break;
    }
    }
    ++nGeneration;
    return true;
}
