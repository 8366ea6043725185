// runclient.cpp - one client set-up and one bucket context for the run.
#include "runclient.h"

#include <cstring>

#include "myPutObj.h"

namespace {
RunClient *currentG = nullptr;
}

RunClient::RunClient(const Settings &s)
    : settings(s), bReady(S3_initialize(pszUserAgentInfo, 0, nullptr) == S3StatusOK),
      endpoint(parseEndpoint(s.strEndpoint))
{
    if (!bReady) {
        S3_deinitialize(); // a failed initialisation still counts
        return;
    }
    if (!settings.strCaFile.empty())
        S3_set_ca_file(settings.strCaFile.c_str());
    S3_set_timeouts(10, settings.nRequestTimeout);
    S3_set_trace(settings.bQuiet ? 0 : 1);
    currentG = this;
}

RunClient::~RunClient()
{
    if (currentG == this)
        currentG = nullptr;
    if (bReady)
        S3_deinitialize();
}

RunClient *RunClient::current() { return currentG; }

bool RunClient::bucketContext(const char *pszBucket, S3BucketContext &ctx)
{
    if (!bReady)
        return false;
    if (!MyS3Context::bKeyInitialized) {
        if (!loadKeyFile(settings.strKeyFile.c_str()))
            return false;
        MyS3Context::bKeyInitialized = true;
    }
    fillBucketContext(settings, endpoint, pszBucket, ctx);
    return true;
}

void fillBucketContext(const Settings &settings, const Endpoint &endpoint, const char *pszBucket,
                       S3BucketContext &ctx)
{
    const Credentials &creds = processCredentials();
    std::memset(&ctx, 0, sizeof ctx);
    ctx.hostName = endpoint.strHost.empty() ? nullptr : endpoint.strHost.c_str();
    ctx.bucketName = pszBucket;
    ctx.protocol = endpoint.bHttps ? S3ProtocolHTTPS : S3ProtocolHTTP;
    // Path style always: the bucket is the first path segment, which also
    // works for endpoints given as an IP address and for dotted bucket names.
    ctx.uriStyle = S3UriStylePath;
    ctx.accessKeyId = creds.strAccessKeyId.c_str();
    ctx.secretAccessKey = creds.strSecretAccessKey.c_str();
    ctx.signatureVersion = settings.bSignatureV4 ? S3SignatureV4 : S3SignatureV2;
    ctx.region = settings.strRegion.c_str();
}
