// error_parser.cpp: reads the service's "Error" document into S3ErrorDetails
// and turns its code into an S3Status.
#include "error_parser.h"

#include <string.h>

#include "util.h"

void error_parser_initialize(ErrorParser *errorParser)
{
    errorParser->s3ErrorDetails.message = NULL;
    errorParser->s3ErrorDetails.resource = NULL;
    errorParser->s3ErrorDetails.furtherDetails = NULL;
    errorParser->s3ErrorDetails.extraDetailsCount = 0;
    errorParser->s3ErrorDetails.extraDetails = errorParser->extraDetails;
    errorParser->s3ErrorDetails.code = NULL;
    errorParser->s3ErrorDetails.httpStatus = 0;
    errorParser->errorXmlParserInitialized = 0;
    errorParser->code[0] = 0;
    errorParser->codeLen = 0;
    errorParser->message[0] = 0;
    errorParser->messageLen = 0;
    errorParser->resource[0] = 0;
    errorParser->resourceLen = 0;
    errorParser->furtherDetails[0] = 0;
    errorParser->furtherDetailsLen = 0;
    errorParser->extraDetailsNamesValuesSize = 0;
}

// Appends to a text of ERROR_TEXT_SIZE bytes; what does not fit is dropped.
static void append_text(char *text, int *textLen, const char *data,
                        int dataLen)
{
    text_append(text, textLen, ERROR_TEXT_SIZE - 1, data, dataLen);
}

// Appends data and a terminator to the store; false when it does not fit.
static bool store_append(ErrorParser *errorParser, const char *data,
                         size_t dataLen)
{
    const size_t used = (size_t) errorParser->extraDetailsNamesValuesSize;
    if (used + dataLen + 1 > EXTRA_DETAILS_STORE_SIZE) {
        return false;
    }
    memcpy(&errorParser->extraDetailsNamesValues[used], data, dataLen);
    errorParser->extraDetailsNamesValues[used + dataLen] = 0;
    errorParser->extraDetailsNamesValuesSize += (int) (dataLen + 1);
    return true;
}

static void store_mark_full(ErrorParser *errorParser)
{
    errorParser->extraDetailsNamesValuesSize = EXTRA_DETAILS_STORE_SIZE;
}

static void add_extra_detail(ErrorParser *errorParser, const char *name,
                             const char *data, int dataLen)
{
    S3ErrorDetails *details = &errorParser->s3ErrorDetails;
    const int count = details->extraDetailsCount;

    if (count && !strcmp(errorParser->extraDetails[count - 1].name, name)) {
        // More text of the same element, or a repeated element: the value
        // continues over its own terminator, which is the store's last byte.
        --errorParser->extraDetailsNamesValuesSize;
        if (!store_append(errorParser, data, (size_t) dataLen)) {
            details->extraDetailsCount = count - 1;
            store_mark_full(errorParser);
        }
        return;
    }

    if (count == MAX_EXTRA_DETAILS) {
        return;
    }

    const int nameStart = errorParser->extraDetailsNamesValuesSize;
    if (!store_append(errorParser, name, strlen(name))) {
        store_mark_full(errorParser);
        return;
    }
    const int valueStart = errorParser->extraDetailsNamesValuesSize;
    if (!store_append(errorParser, data, (size_t) dataLen)) {
        store_mark_full(errorParser);
        return;
    }
    errorParser->extraDetails[count].name =
        &errorParser->extraDetailsNamesValues[nameStart];
    errorParser->extraDetails[count].value =
        &errorParser->extraDetailsNamesValues[valueStart];
    details->extraDetailsCount = count + 1;
}

#define ERROR_PREFIX "Error/"

static S3Status error_xml_callback(const char *elementPath, const char *data,
                                 int dataLen, void *callbackData)
{
    ErrorParser *errorParser = (ErrorParser *) callbackData;
    S3ErrorDetails *details = &errorParser->s3ErrorDetails;

    // End calls, and the whitespace between the root's children.
    if (!data || !strcmp(elementPath, "Error")) {
        return S3StatusOK;
    }

    if (!strcmp(elementPath, "Error/Code")) {
        append_text(errorParser->code, &errorParser->codeLen, data, dataLen);
        // The code as sent reaches the caller too, also one that no status
        // is named after.
        if (errorParser->codeLen) {
            details->code = errorParser->code;
        }
    }
    else if (!strcmp(elementPath, "Error/Message")) {
        append_text(errorParser->message, &errorParser->messageLen, data,
                    dataLen);
        details->message = errorParser->message;
    }
    else if (!strcmp(elementPath, "Error/Resource")) {
        append_text(errorParser->resource, &errorParser->resourceLen, data,
                    dataLen);
        details->resource = errorParser->resource;
    }
    else if (!strcmp(elementPath, "Error/FurtherDetails")) {
        append_text(errorParser->furtherDetails,
                    &errorParser->furtherDetailsLen, data, dataLen);
        details->furtherDetails = errorParser->furtherDetails;
    }
    else if (!strncmp(elementPath, ERROR_PREFIX, sizeof(ERROR_PREFIX) - 1)) {
        add_extra_detail(errorParser,
                         elementPath + sizeof(ERROR_PREFIX) - 1, data,
                         dataLen);
    }
    return S3StatusOK;
}

S3Status error_parser_add(ErrorParser *errorParser, const char *buffer,
                          int bufferSize)
{
    if (!errorParser->errorXmlParserInitialized) {
        simplexml_initialize(&errorParser->errorXmlParser, error_xml_callback,
                             errorParser);
        errorParser->errorXmlParserInitialized = 1;
    }
    return simplexml_add(&errorParser->errorXmlParser, buffer, bufferSize);
}

static const struct
{
    const char *code;
    S3Status status;
} errorCodesG[] = {
    {"AccessDenied", S3StatusErrorAccessDenied},
    {"AccountProblem", S3StatusErrorAccountProblem},
    {"AmbiguousGrantByEmailAddress", S3StatusErrorAmbiguousGrantByEmailAddress},
    {"BadDigest", S3StatusErrorBadDigest},
    {"BucketAlreadyExists", S3StatusErrorBucketAlreadyExists},
    {"BucketAlreadyOwnedByYou", S3StatusErrorBucketAlreadyOwnedByYou},
    {"BucketNotEmpty", S3StatusErrorBucketNotEmpty},
    {"CredentialsNotSupported", S3StatusErrorCredentialsNotSupported},
    {"CrossLocationLoggingProhibited", S3StatusErrorCrossLocationLoggingProhibited},
    {"EntityTooSmall", S3StatusErrorEntityTooSmall},
    {"EntityTooLarge", S3StatusErrorEntityTooLarge},
    {"ExpiredToken", S3StatusErrorExpiredToken},
    {"IncompleteBody", S3StatusErrorIncompleteBody},
    {"IncorrectNumberOfFilesInPostRequest", S3StatusErrorIncorrectNumberOfFilesInPostRequest},
    {"InlineDataTooLarge", S3StatusErrorInlineDataTooLarge},
    {"InternalError", S3StatusErrorInternalError},
    {"InvalidAccessKeyId", S3StatusErrorInvalidAccessKeyId},
    {"InvalidAddressingHeader", S3StatusErrorInvalidAddressingHeader},
    {"InvalidArgument", S3StatusErrorInvalidArgument},
    {"InvalidBucketName", S3StatusErrorInvalidBucketName},
    {"InvalidDigest", S3StatusErrorInvalidDigest},
    {"InvalidLocationConstraint", S3StatusErrorInvalidLocationConstraint},
    {"InvalidPayer", S3StatusErrorInvalidPayer},
    {"InvalidPolicyDocument", S3StatusErrorInvalidPolicyDocument},
    {"InvalidRange", S3StatusErrorInvalidRange},
    {"InvalidSecurity", S3StatusErrorInvalidSecurity},
    {"InvalidSOAPRequest", S3StatusErrorInvalidSOAPRequest},
    {"InvalidStorageClass", S3StatusErrorInvalidStorageClass},
    {"InvalidTargetBucketForLogging", S3StatusErrorInvalidTargetBucketForLogging},
    {"InvalidToken", S3StatusErrorInvalidToken},
    {"InvalidURI", S3StatusErrorInvalidURI},
    {"KeyTooLong", S3StatusErrorKeyTooLong},
    {"MalformedACLError", S3StatusErrorMalformedACLError},
    {"MalformedXML", S3StatusErrorMalformedXML},
    {"MaxMessageLengthExceeded", S3StatusErrorMaxMessageLengthExceeded},
    {"MaxPostPreDataLengthExceededError", S3StatusErrorMaxPostPreDataLengthExceededError},
    {"MetadataTooLarge", S3StatusErrorMetadataTooLarge},
    {"MethodNotAllowed", S3StatusErrorMethodNotAllowed},
    {"MissingAttachment", S3StatusErrorMissingAttachment},
    {"MissingContentLength", S3StatusErrorMissingContentLength},
    {"MissingSecurityElement", S3StatusErrorMissingSecurityElement},
    {"MissingSecurityHeader", S3StatusErrorMissingSecurityHeader},
    {"NoLoggingStatusForKey", S3StatusErrorNoLoggingStatusForKey},
    {"NoSuchBucket", S3StatusErrorNoSuchBucket},
    {"NoSuchKey", S3StatusErrorNoSuchKey},
    {"NotImplemented", S3StatusErrorNotImplemented},
    {"NotSignedUp", S3StatusErrorNotSignedUp},
    {"OperationAborted", S3StatusErrorOperationAborted},
    {"PermanentRedirect", S3StatusErrorPermanentRedirect},
    {"PreconditionFailed", S3StatusErrorPreconditionFailed},
    {"Redirect", S3StatusErrorRedirect},
    {"RequestIsNotMultiPartContent", S3StatusErrorRequestIsNotMultiPartContent},
    {"RequestTimeout", S3StatusErrorRequestTimeout},
    {"RequestTimeTooSkewed", S3StatusErrorRequestTimeTooSkewed},
    {"RequestTorrentOfBucketError", S3StatusErrorRequestTorrentOfBucketError},
    {"SignatureDoesNotMatch", S3StatusErrorSignatureDoesNotMatch},
    {"SlowDown", S3StatusErrorSlowDown},
    {"TemporaryRedirect", S3StatusErrorTemporaryRedirect},
    {"TokenRefreshRequired", S3StatusErrorTokenRefreshRequired},
    {"TooManyBuckets", S3StatusErrorTooManyBuckets},
    {"UnexpectedContent", S3StatusErrorUnexpectedContent},
    {"UnresolvableGrantByEmailAddress", S3StatusErrorUnresolvableGrantByEmailAddress},
    {"UserKeyMustBeSpecified", S3StatusErrorUserKeyMustBeSpecified},
};

S3Status error_code_status(const char *code)
{
    for (const auto &entry : errorCodesG) {
        if (!strcmp(code, entry.code)) {
            return entry.status;
        }
    }
    return S3StatusErrorUnknown;
}

void error_parser_convert_status(ErrorParser *errorParser, S3Status *status)
{
    if (!errorParser->codeLen) {
        return;
    }
    *status = error_code_status(errorParser->code);
}

void error_parser_deinitialize(ErrorParser *errorParser)
{
    if (errorParser->errorXmlParserInitialized) {
        simplexml_deinitialize(&errorParser->errorXmlParser);
        errorParser->errorXmlParserInitialized = 0;
    }
}
