// hints.cpp - which setting fixes which refusal, and giving each hint once.
#include "hints.h"


#include "settings.h"
#include "store_answer.h"

namespace {

// Hints for refusals that come with an error document, by its code.
std::string hintForCode(const std::string &strCode, const S3ErrorDetails *details,
                        const HintContext &context)
{
    const std::string strMessage = details->message ? details->message : "";
    if (strCode == "InvalidRequest" && strMessage.find("AWS4-HMAC-SHA256") != std::string::npos)
        return "hint: the store refuses signature V2: set SITEMIRROR_SIGNATURE=v4 and the "
               "bucket's SITEMIRROR_REGION";
    if (strCode == "AuthorizationHeaderMalformed") {
        std::string strRegion = errorExtraDetail(details, "Region");
        return strRegion.empty()
                   ? "hint: the store expects another signing region: set SITEMIRROR_REGION"
                   : "hint: the bucket is in region " + strRegion +
                         ": set SITEMIRROR_REGION=" + strRegion;
    }
    if (strCode == "AccessControlListNotSupported")
        return "hint: the bucket does not allow ACLs: set SITEMIRROR_ACL=none, and keep "
               "\"personal\" private with a bucket policy";
    if (strCode == "InvalidStorageClass" ||
        ((strCode == "NotImplemented" || strCode == "InvalidArgument") &&
         context.bSentStorageClass))
        return "hint: the store does not take this storage class: set "
               "SITEMIRROR_STORAGE_CLASS (none sends none)";
    if (strCode == "PermanentRedirect") {
        std::string strEndpoint = errorExtraDetail(details, "Endpoint");
        return strEndpoint.empty()
                   ? "hint: the bucket is served by another endpoint: set SITEMIRROR_ENDPOINT"
                   : "hint: the bucket is served by " + strEndpoint +
                         ": set SITEMIRROR_ENDPOINT=" + strEndpoint;
    }
    if (strCode == "SignatureDoesNotMatch")
        return context.bSignatureV4
                   ? "hint: the store computed another signature: check the secret access key "
                     "in " + context.strKeyFile + " and this machine's clock"
                   : "hint: the store computed another signature: check the secret access key "
                     "in " + context.strKeyFile;
    if (strCode == "InvalidAccessKeyId")
        return "hint: the store does not know the access key id read from " +
               context.strKeyFile + ": set SITEMIRROR_KEY_FILE to the store's key pair";
    if (strCode == "NoSuchBucket")
        return "hint: the store has no such bucket: set SITEMIRROR_BUCKET";
    // A bucket policy that demands encryption refuses an upload without it
    // with a plain AccessDenied.
    if (strCode == "AccessDenied" && !context.bSse)
        return "hint: the store denied access: check the permissions of the key pair in " +
               context.strKeyFile + ", send no ACLs with SITEMIRROR_ACL=none, or, when the "
               "bucket's policy demands encryption, set SITEMIRROR_SSE";
    if (strCode == "AccessDenied")
        return "hint: the store denied access: check the permissions of the key pair in " +
               context.strKeyFile + ", or send no ACLs with SITEMIRROR_ACL=none";
    return "";
}

} // namespace

std::string hintFor(S3Status status, const S3ErrorDetails *details, const HintContext &context)
{
    if (status == S3StatusTlsFailed)
        return "hint: the endpoint does not speak HTTPS: write http:// in SITEMIRROR_ENDPOINT";
    if (!details || !details->code)
        return "";
    return hintForCode(details->code, details, context);
}

HintLog::HintLog(const Settings &settings)
{
    context.strKeyFile = settings.strKeyFile;
    context.bSignatureV4 = settings.bSignatureV4;
    context.bSse = !settings.strSse.empty();
}

std::string HintLog::once(S3Status status, const S3ErrorDetails *details, bool bSentStorageClass)
{
    HintContext request = context;
    request.bSentStorageClass = bSentStorageClass;
    std::string strHint = hintFor(status, details, request);
    if (strHint.empty() || !given.insert(strHint).second)
        return "";
    return strHint;
}
