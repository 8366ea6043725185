// object.cpp - the operations on one object: put, get, head, delete, and the
// server-side copy with its result document. Each fills one RequestParams
// and hands it to request_perform; every outcome reaches the caller's
// complete callback, exactly once.
#include <cstdlib>
#include <cstring>

#include "error_parser.h"
#include "forward.h"
#include "request.h"
#include "simplexml.h"
#include "util.h"

namespace {

RequestParams empty_params(const S3BucketContext *bucketContext)
{
    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.bucketContext = *bucketContext;
    return params;
}

} // namespace

void S3_put_object(const S3BucketContext *bucketContext, const char *key, uint64_t contentLength,
                   const S3PutProperties *putProperties, S3RequestContext *requestContext,
                   const S3PutObjectHandler *handler, void *callbackData)
{
    RequestParams params = empty_params(bucketContext);
    params.httpRequestType = HttpRequestTypePUT;
    params.key = key;
    params.putProperties = putProperties;
    params.propertiesCallback = handler->responseHandler.propertiesCallback;
    params.toS3Callback = handler->putObjectDataCallback;
    params.toS3CallbackTotalSize = static_cast<int64_t>(contentLength);
    params.toS3RewindCallback = handler->putObjectRewindCallback;
    params.uploadAnswerCallback = handler->putObjectAnswerCallback;
    params.completeCallback = handler->responseHandler.completeCallback;
    params.callbackData = callbackData;
    request_perform(&params, requestContext);
}

void S3_get_object(const S3BucketContext *bucketContext, const char *key,
                   const S3GetConditions *getConditions, uint64_t startByte, uint64_t byteCount,
                   S3RequestContext *requestContext, const S3GetObjectHandler *handler,
                   void *callbackData)
{
    RequestParams params = empty_params(bucketContext);
    params.httpRequestType = HttpRequestTypeGET;
    params.key = key;
    params.getConditions = getConditions;
    params.startByte = startByte;
    params.byteCount = byteCount;
    params.propertiesCallback = handler->responseHandler.propertiesCallback;
    params.fromS3Callback = handler->getObjectDataCallback;
    params.completeCallback = handler->responseHandler.completeCallback;
    params.callbackData = callbackData;
    request_perform(&params, requestContext);
}

namespace {

// A request on one object without a body either way: head or delete.
void perform_bodiless(HttpRequestType type, const S3BucketContext *bucketContext,
                      const char *key, S3RequestContext *requestContext,
                      const S3ResponseHandler *handler, void *callbackData)
{
    RequestParams params = empty_params(bucketContext);
    params.httpRequestType = type;
    params.key = key;
    params.propertiesCallback = handler->propertiesCallback;
    params.completeCallback = handler->completeCallback;
    params.callbackData = callbackData;
    request_perform(&params, requestContext);
}

} // namespace

void S3_head_object(const S3BucketContext *bucketContext, const char *key,
                    S3RequestContext *requestContext, const S3ResponseHandler *handler,
                    void *callbackData)
{
    perform_bodiless(HttpRequestTypeHEAD, bucketContext, key, requestContext, handler,
                     callbackData);
}

void S3_delete_object(const S3BucketContext *bucketContext, const char *key,
                      S3RequestContext *requestContext, const S3ResponseHandler *handler,
                      void *callbackData)
{
    perform_bodiless(HttpRequestTypeDELETE, bucketContext, key, requestContext, handler,
                     callbackData);
}

// ---- copy ----

namespace {

// Longest LastModified text kept from the copy's result document.
constexpr int kCopyLastModifiedSize = 256;

// One copy in flight: allocated by S3_copy_object, freed by
// copy_object_complete_callback after the caller's complete callback.
struct CopyObjectData {
    CallerHandler caller; // first member: see forward.h
    SimpleXml simpleXml;
    // The store may answer a copy 200 and still fail it, with an Error
    // document in place of the result: the body is read for that too.
    ErrorParser errorParser;
    int errorDocument; // the body's root element is Error
    int64_t *lastModifiedReturn;
    int eTagReturnSize;
    char *eTagReturn;
    int eTagReturnLen;
    char lastModified[kCopyLastModifiedSize + 1];
    int lastModifiedLen;
};

S3Status copy_object_xml_callback(const char *elementPath, const char *data, int dataLen,
                               void *callbackData)
{
    CopyObjectData *coData = static_cast<CopyObjectData *>(callbackData);
    if (!strcmp(elementPath, "Error") || !strncmp(elementPath, "Error/", 6)) {
        coData->errorDocument = 1;
    }
    if (!data) {
        return S3StatusOK;
    }
    if (!strcmp(elementPath, "CopyObjectResult/LastModified")) {
        text_append(coData->lastModified, &coData->lastModifiedLen, kCopyLastModifiedSize, data,
                    dataLen);
    } else if (!strcmp(elementPath, "CopyObjectResult/ETag")) {
        if (coData->eTagReturnSize && coData->eTagReturn) {
            if (coData->eTagReturnLen + dataLen > coData->eTagReturnSize - 1) {
                return S3StatusXmlParseFailure;
            }
            memcpy(coData->eTagReturn + coData->eTagReturnLen, data, static_cast<size_t>(dataLen));
            coData->eTagReturnLen += dataLen;
            coData->eTagReturn[coData->eTagReturnLen] = '\0';
        }
    }
    return S3StatusOK;
}

S3Status copy_object_data_callback(int bufferSize, const char *buffer, void *callbackData)
{
    CopyObjectData *coData = static_cast<CopyObjectData *>(callbackData);
    S3Status status = simplexml_add(&coData->simpleXml, buffer, bufferSize);
    if (status == S3StatusOK) {
        status = error_parser_add(&coData->errorParser, buffer, bufferSize);
    }
    return status;
}

void copy_object_complete_callback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
                                void *callbackData)
{
    CopyObjectData *coData = static_cast<CopyObjectData *>(callbackData);
    if (coData->lastModifiedReturn) {
        *coData->lastModifiedReturn =
            coData->lastModifiedLen ? parse_iso8601_time(coData->lastModified) : -1;
    }
    // A 200 whose body is an Error document is that error: its code decides
    // the status (one without a code is still no success), and its details
    // are the caller's.
    if (requestStatus == S3StatusOK && coData->errorDocument) {
        requestStatus = S3StatusErrorUnknown;
        error_parser_convert_status(&coData->errorParser, &requestStatus);
        coData->errorParser.s3ErrorDetails.httpStatus = s3ErrorDetails ? s3ErrorDetails->httpStatus : 0;
        s3ErrorDetails = &coData->errorParser.s3ErrorDetails;
    }
    coData->caller.completeCallback(requestStatus, s3ErrorDetails, coData->caller.callbackData);
    simplexml_deinitialize(&coData->simpleXml);
    error_parser_deinitialize(&coData->errorParser);
    free(coData);
}

} // namespace

void S3_copy_object(const S3BucketContext *bucketContext, const char *key,
                    const char *destinationBucket, const char *destinationKey,
                    const S3PutProperties *putProperties, int64_t *lastModifiedReturn,
                    int eTagReturnSize, char *eTagReturn, S3RequestContext *requestContext,
                    const S3ResponseHandler *handler, void *callbackData)
{
    // Without a source the copy header is left out, and the request would
    // store an empty object over the destination: refuse it instead.
    if (!bucketContext->bucketName || !bucketContext->bucketName[0]) {
        handler->completeCallback(S3StatusInvalidBucketNameTooShort, nullptr, callbackData);
        return;
    }
    if (!key || !key[0]) {
        handler->completeCallback(S3StatusInternalError, nullptr, callbackData);
        return;
    }
    // An empty destination would make the copy a PUT on the bucket (or the
    // service) itself: refused like an empty source.
    if (destinationBucket && !destinationBucket[0]) {
        handler->completeCallback(S3StatusInvalidBucketNameTooShort, nullptr, callbackData);
        return;
    }
    if (destinationKey && !destinationKey[0]) {
        handler->completeCallback(S3StatusInternalError, nullptr, callbackData);
        return;
    }

    CopyObjectData *data = static_cast<CopyObjectData *>(malloc(sizeof(CopyObjectData)));
    if (!data) {
        handler->completeCallback(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    simplexml_initialize(&data->simpleXml, &copy_object_xml_callback, data);
    error_parser_initialize(&data->errorParser);
    data->errorDocument = 0;
    caller_handler_set(&data->caller, handler, callbackData);
    data->lastModifiedReturn = lastModifiedReturn;
    data->eTagReturnSize = eTagReturnSize;
    data->eTagReturn = eTagReturn;
    if (data->eTagReturnSize && data->eTagReturn) {
        data->eTagReturn[0] = '\0';
    }
    data->eTagReturnLen = 0;
    data->lastModified[0] = '\0';
    data->lastModifiedLen = 0;

    RequestParams params = empty_params(bucketContext);
    params.httpRequestType = HttpRequestTypeCOPY;
    if (destinationBucket) {
        params.bucketContext.bucketName = destinationBucket;
    }
    params.key = destinationKey ? destinationKey : key;
    params.copySourceBucketName = bucketContext->bucketName;
    params.copySourceKey = key;
    params.putProperties = putProperties;
    params.propertiesCallback = &forward_properties;
    params.fromS3Callback = &copy_object_data_callback;
    params.completeCallback = &copy_object_complete_callback;
    params.callbackData = data;
    request_perform(&params, requestContext);
}
