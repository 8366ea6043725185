// general.cpp: the client's public library-wide entries: counted set-up and
// tear-down, the settings' public setters, bucket-name validation, status
// names and the retryable statuses.
#include <stdio.h>
#include <string.h>

#include "client_settings.h"
#include "request.h"
#include "request_api.h"
#include "util.h"

static int initializeCountG = 0;
// Whether the request layer is set up.  A call that failed leaves it unset,
// and the next S3_initialize tries the set-up again even while that failed
// call is still counted.
static bool requestLayerReadyG = false;

static void request_layer_teardown(void)
{
    request_api_deinitialize();
    requestLayerReadyG = false;
}

S3Status S3_initialize(const char *userAgentInfo, int flags,
                       const char *defaultS3HostName)
{
    // Counted first: a call that fails below still needs its
    // S3_deinitialize.
    ++initializeCountG;
    if (requestLayerReadyG) {
        // A tear-down still waiting for a complete callback to return is
        // no longer wanted.
        request_defer_until_idle(NULL);
        return S3StatusOK;
    }
    const S3Status status =
        request_api_initialize(userAgentInfo, flags, defaultS3HostName);
    requestLayerReadyG = (status == S3StatusOK);
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
    if (!requestLayerReadyG) {
        return;
    }
    if (request_callback_depth() > 0) {
        // Inside a complete callback the request that made it still needs
        // the pool: the tear-down waits until the callback has returned.
        request_defer_until_idle(&request_layer_teardown);
        return;
    }
    request_layer_teardown();
}

S3Status S3_set_ca_file(const char *caFile)
{
    return request_set_ca_file(caFile);
}

void S3_set_timeouts(long connectTimeoutSeconds, long requestTimeoutSeconds)
{
    request_set_timeouts(connectTimeoutSeconds, requestTimeoutSeconds);
}

void S3_set_trace(int enabled)
{
    request_set_trace(enabled);
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
    "HttpErrorInternalServerError",
    "HttpErrorBadGateway",
    "HttpErrorServiceUnavailable",
    "HttpErrorGatewayTimeout",
    "TlsFailed",
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
    case S3StatusHttpErrorInternalServerError:
    case S3StatusHttpErrorBadGateway:
    case S3StatusHttpErrorServiceUnavailable:
    case S3StatusHttpErrorGatewayTimeout:
        return 1;
    default:
        return 0;
    }
}
