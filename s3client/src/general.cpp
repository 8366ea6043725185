// general.cpp: the client's set-up and tear-down, its process-wide settings,
// bucket-name validation, status names and the retryable statuses.
#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>

#include <curl/curl.h>

#include "request.h"
#include "util.h"

// Versions written into the user agent.
#define USER_AGENT_MAJOR_VERSION "2"
#define USER_AGENT_MINOR_VERSION "0"
// The platform part of the user agent: at most 95 characters.
#define PLATFORM_TEXT_SIZE 96

static int initializeCountG = 0;
// Whether the request pool was prepared by the initialising call; a call
// that failed earlier leaves it untouched and tear-down must not destroy it.
static bool requestPoolReadyG = false;

char defaultHostNameG[S3_MAX_HOSTNAME_SIZE];
char userAgentG[USER_AGENT_SIZE];

static char caFileG[CA_FILE_SIZE];

void compose_user_agent(char *buffer, int bufferSize,
                        const char *userAgentInfo, const char *sysname,
                        const char *machine)
{
    char platform[PLATFORM_TEXT_SIZE];
    if (sysname) {
        const bool hasMachine = machine && machine[0];
        snprintf(platform, sizeof(platform), "%s%s%s", sysname,
                 hasMachine ? " " : "", hasMachine ? machine : "");
    }
    else {
        snprintf(platform, sizeof(platform), "%s", "Unknown");
    }

    if (!userAgentInfo || !userAgentInfo[0]) {
        userAgentInfo = "Unknown";
    }
    snprintf(buffer, (size_t) bufferSize,
             "Mozilla/4.0 (Compatible; %s; strato %s.%s; %s)", userAgentInfo,
             USER_AGENT_MAJOR_VERSION, USER_AGENT_MINOR_VERSION, platform);
}

S3Status S3_initialize(const char *userAgentInfo, int flags,
                       const char *defaultS3HostName)
{
    // Counted first: a call that fails below still needs its
    // S3_deinitialize.
    if (initializeCountG++) {
        return S3StatusOK;
    }

    if (curl_global_init((flags & S3_INIT_WINSOCK) ? CURL_GLOBAL_ALL
                                                   : CURL_GLOBAL_SSL)) {
        return S3StatusInternalError;
    }

    if (!defaultS3HostName) {
        defaultS3HostName = S3_DEFAULT_HOSTNAME;
    }
    if (strlen(defaultS3HostName) >= S3_MAX_HOSTNAME_SIZE) {
        return S3StatusUriTooLong;
    }
    strcpy(defaultHostNameG, defaultS3HostName);

    struct utsname utsn;
    if (uname(&utsn)) {
        compose_user_agent(userAgentG, (int) sizeof(userAgentG),
                           userAgentInfo, NULL, NULL);
    }
    else {
        compose_user_agent(userAgentG, (int) sizeof(userAgentG),
                           userAgentInfo, utsn.sysname, utsn.machine);
    }

    const S3Status status =
        request_api_initialize(userAgentInfo, flags, defaultHostNameG);
    requestPoolReadyG = (status == S3StatusOK);
    return status;
}

void S3_deinitialize(void)
{
    // An unmatched call must not drive the count below zero, or the next
    // S3_initialize would count instead of setting up.
    if (initializeCountG <= 0) {
        return;
    }
    if (--initializeCountG) {
        return;
    }
    if (requestPoolReadyG) {
        request_api_deinitialize();
        requestPoolReadyG = false;
    }
}

S3Status S3_set_ca_file(const char *caFile)
{
    if (!caFile || !caFile[0]) {
        caFileG[0] = 0;
        return S3StatusOK;
    }
    if (strlen(caFile) >= sizeof(caFileG)) {
        return S3StatusUriTooLong;
    }
    strcpy(caFileG, caFile);
    return S3StatusOK;
}

// Transfer time limits of S3_set_timeouts; 0 = the built-in value.
static long connectTimeoutSecondsG = 0;
static long requestTimeoutSecondsG = 0;

void S3_set_timeouts(long connectTimeoutSeconds, long requestTimeoutSeconds)
{
    connectTimeoutSecondsG = connectTimeoutSeconds > 0 ? connectTimeoutSeconds : 0;
    requestTimeoutSecondsG = requestTimeoutSeconds > 0 ? requestTimeoutSeconds : 0;
}

static int traceG = 1;

void S3_set_trace(int enabled)
{
    traceG = enabled ? 1 : 0;
}

const char *request_ca_file(void)
{
    return caFileG[0] ? caFileG : NULL;
}

// ------------------------------------------------------- bucket names

#define MAX_VIRTUAL_HOST_BUCKET_NAME 63

S3Status S3_validate_bucket_name(const char *bucketName, S3UriStyle uriStyle)
{
    const bool virtualHostStyle = (enum_int(uriStyle) == S3UriStyleVirtualHost);
    const int maxlen = virtualHostStyle ? MAX_VIRTUAL_HOST_BUCKET_NAME
                                        : S3_MAX_BUCKET_NAME_SIZE;
    int len = 0;
    bool hasDot = false;
    bool hasNonDigit = false;

    const char *b = bucketName ? bucketName : "";
    for (; *b; ++b) {
        if (len == maxlen) {
            return S3StatusInvalidBucketNameTooLong;
        }
        const char c = *b;
        if (((c >= 'a') && (c <= 'z')) || ((c >= 'A') && (c <= 'Z'))) {
            ++len;
            hasNonDigit = true;
        }
        else if ((c >= '0') && (c <= '9')) {
            ++len;
        }
        else if (len == 0) {
            return S3StatusInvalidBucketNameFirstCharacter;
        }
        else if (c == '_') {
            if (virtualHostStyle) {
                return S3StatusInvalidBucketNameCharacter;
            }
            ++len;
            hasNonDigit = true;
        }
        else if (c == '-') {
            if (virtualHostStyle && (b[-1] == '.')) {
                return S3StatusInvalidBucketNameCharacterSequence;
            }
            ++len;
            hasNonDigit = true;
        }
        else if (c == '.') {
            if (virtualHostStyle && (b[-1] == '-')) {
                return S3StatusInvalidBucketNameCharacterSequence;
            }
            ++len;
            hasDot = true;
        }
        else {
            return S3StatusInvalidBucketNameCharacter;
        }
    }

    if (len < 3) {
        return S3StatusInvalidBucketNameTooShort;
    }
    if (hasDot && !hasNonDigit) {
        return S3StatusInvalidBucketNameDotQuadNotation;
    }
    return S3StatusOK;
}

// ------------------------------------------------------------- statuses

static const char *const statusNamesG[S3_STATUS_COUNT] = {
    "OK",
    "InternalError",
    "OutOfMemory",
    "Interrupted",
    "InvalidBucketNameTooLong",
    "InvalidBucketNameFirstCharacter",
    "InvalidBucketNameCharacter",
    "InvalidBucketNameCharacterSequence",
    "InvalidBucketNameTooShort",
    "InvalidBucketNameDotQuadNotation",
    "QueryParamsTooLong",
    "FailedToInitializeRequest",
    "MetaDataHeadersTooLong",
    "BadMetaData",
    "BadContentType",
    "ContentTypeTooLong",
    "BadMD5",
    "MD5TooLong",
    "BadCacheControl",
    "CacheControlTooLong",
    "BadContentDispositionFilename",
    "ContentDispositionFilenameTooLong",
    "BadContentEncoding",
    "ContentEncodingTooLong",
    "BadIfMatchETag",
    "IfMatchETagTooLong",
    "BadIfNotMatchETag",
    "IfNotMatchETagTooLong",
    "HeadersTooLong",
    "KeyTooLong",
    "UriTooLong",
    "XmlParseFailure",
    "EmailAddressTooLong",
    "UserIdTooLong",
    "UserDisplayNameTooLong",
    "GroupUriTooLong",
    "PermissionTooLong",
    "TargetBucketTooLong",
    "TargetPrefixTooLong",
    "TooManyGrants",
    "BadGrantee",
    "BadPermission",
    "XmlDocumentTooLarge",
    "NameLookupError",
    "FailedToConnect",
    "ServerFailedVerification",
    "ConnectionFailed",
    "AbortedByCallback",
    "ErrorAccessDenied",
    "ErrorAccountProblem",
    "ErrorAmbiguousGrantByEmailAddress",
    "ErrorBadDigest",
    "ErrorBucketAlreadyExists",
    "ErrorBucketAlreadyOwnedByYou",
    "ErrorBucketNotEmpty",
    "ErrorCredentialsNotSupported",
    "ErrorCrossLocationLoggingProhibited",
    "ErrorEntityTooSmall",
    "ErrorEntityTooLarge",
    "ErrorExpiredToken",
    "ErrorIncompleteBody",
    "ErrorIncorrectNumberOfFilesInPostRequest",
    "ErrorInlineDataTooLarge",
    "ErrorInternalError",
    "ErrorInvalidAccessKeyId",
    "ErrorInvalidAddressingHeader",
    "ErrorInvalidArgument",
    "ErrorInvalidBucketName",
    "ErrorInvalidDigest",
    "ErrorInvalidLocationConstraint",
    "ErrorInvalidPayer",
    "ErrorInvalidPolicyDocument",
    "ErrorInvalidRange",
    "ErrorInvalidSecurity",
    "ErrorInvalidSOAPRequest",
    "ErrorInvalidStorageClass",
    "ErrorInvalidTargetBucketForLogging",
    "ErrorInvalidToken",
    "ErrorInvalidURI",
    "ErrorKeyTooLong",
    "ErrorMalformedACLError",
    "ErrorMalformedXML",
    "ErrorMaxMessageLengthExceeded",
    "ErrorMaxPostPreDataLengthExceededError",
    "ErrorMetadataTooLarge",
    "ErrorMethodNotAllowed",
    "ErrorMissingAttachment",
    "ErrorMissingContentLength",
    "ErrorMissingSecurityElement",
    "ErrorMissingSecurityHeader",
    "ErrorNoLoggingStatusForKey",
    "ErrorNoSuchBucket",
    "ErrorNoSuchKey",
    "ErrorNotImplemented",
    "ErrorNotSignedUp",
    "ErrorOperationAborted",
    "ErrorPermanentRedirect",
    "ErrorPreconditionFailed",
    "ErrorRedirect",
    "ErrorRequestIsNotMultiPartContent",
    "ErrorRequestTimeout",
    "ErrorRequestTimeTooSkewed",
    "ErrorRequestTorrentOfBucketError",
    "ErrorSignatureDoesNotMatch",
    "ErrorSlowDown",
    "ErrorTemporaryRedirect",
    "ErrorTokenRefreshRequired",
    "ErrorTooManyBuckets",
    "ErrorUnexpectedContent",
    "ErrorUnresolvableGrantByEmailAddress",
    "ErrorUserKeyMustBeSpecified",
    "ErrorUnknown",
    "HttpErrorMovedTemporarily",
    "HttpErrorBadRequest",
    "HttpErrorForbidden",
    "HttpErrorNotFound",
    "HttpErrorConflict",
    "HttpErrorUnknown",
};

const char *S3_get_status_name(S3Status status)
{
    const int index = enum_int(status);
    if ((index < 0) || (index >= S3_STATUS_COUNT)) {
        return "Unknown";
    }
    return statusNamesG[index];
}

int S3_status_is_retryable(S3Status status)
{
    switch (enum_int(status)) {
    case S3StatusNameLookupError:
    case S3StatusFailedToConnect:
    case S3StatusConnectionFailed:
    case S3StatusErrorInternalError:
    case S3StatusErrorOperationAborted:
    case S3StatusErrorRequestTimeout:
        return 1;
    default:
        return 0;
    }
}
