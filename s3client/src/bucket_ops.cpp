// bucket_ops.cpp - the bucket's own operations: test (its location), create
// and delete.  Each keeps a small record per request, freed by its complete
// callback after the caller's.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "forward.h"
#include "request.h"
#include "simplexml.h"
#include "util.h"

namespace {

// The bucket context of an operation that takes the bucket's settings one
// by one; everything else (signature, region) stays as zero gives it.
void fill_bucket_context(S3BucketContext *context, S3Protocol protocol, S3UriStyle uriStyle,
                         const char *accessKeyId, const char *secretAccessKey,
                         const char *hostName, const char *bucketName)
{
    memset(context, 0, sizeof(*context));
    context->hostName = hostName;
    context->bucketName = bucketName;
    context->protocol = protocol;
    context->uriStyle = uriStyle;
    context->accessKeyId = accessKeyId;
    context->secretAccessKey = secretAccessKey;
}

constexpr int kLocationConstraintSize = 256;
constexpr int kCreateBucketDocSize = 1024; // at most 1023 characters

// S3_test_bucket's request: allocated there, freed by its complete callback.
struct TestBucketData {
    CallerHandler caller; // first member: see forward.h
    SimpleXml simpleXml;
    int locationConstraintReturnSize;
    char *locationConstraintReturn;
    char locationConstraint[kLocationConstraintSize + 1];
    int locationConstraintLen;
};

S3Status test_bucket_xml_callback(const char *elementPath, const char *data, int dataLen,
                               void *callbackData)
{
    TestBucketData *tbData = static_cast<TestBucketData *>(callbackData);
    if (data && !strcmp(elementPath, "LocationConstraint")) {
        text_append(tbData->locationConstraint, &tbData->locationConstraintLen,
                    kLocationConstraintSize, data, dataLen);
    }
    return S3StatusOK;
}

S3Status test_bucket_data_callback(int bufferSize, const char *buffer, void *callbackData)
{
    TestBucketData *tbData = static_cast<TestBucketData *>(callbackData);
    return simplexml_add(&tbData->simpleXml, buffer, bufferSize);
}

void test_bucket_complete_callback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
                                void *callbackData)
{
    TestBucketData *tbData = static_cast<TestBucketData *>(callbackData);
    if (tbData->locationConstraintReturn && tbData->locationConstraintReturnSize > 0) {
        int len = tbData->locationConstraintLen;
        if (len > tbData->locationConstraintReturnSize - 1) {
            len = tbData->locationConstraintReturnSize - 1;
        }
        memcpy(tbData->locationConstraintReturn, tbData->locationConstraint,
               static_cast<size_t>(len));
        tbData->locationConstraintReturn[len] = '\0';
    }
    tbData->caller.completeCallback(requestStatus, s3ErrorDetails, tbData->caller.callbackData);
    simplexml_deinitialize(&tbData->simpleXml);
    free(tbData);
}

// S3_create_bucket's request: allocated there, freed by its complete callback.
struct CreateBucketData {
    CallerHandler caller; // first member: see forward.h
    char doc[kCreateBucketDocSize];
    int docLen;
    int docBytesWritten;
};

int create_bucket_data_callback(int bufferSize, char *buffer, void *callbackData)
{
    CreateBucketData *cbData = static_cast<CreateBucketData *>(callbackData);
    int remaining = cbData->docLen - cbData->docBytesWritten;
    int toCopy = bufferSize < remaining ? bufferSize : remaining;
    if (toCopy <= 0) {
        return 0;
    }
    memcpy(buffer, cbData->doc + cbData->docBytesWritten, static_cast<size_t>(toCopy));
    cbData->docBytesWritten += toCopy;
    return toCopy;
}

int create_bucket_rewind_callback(void *callbackData)
{
    static_cast<CreateBucketData *>(callbackData)->docBytesWritten = 0;
    return 0;
}

void create_bucket_complete_callback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
                                  void *callbackData)
{
    CreateBucketData *cbData = static_cast<CreateBucketData *>(callbackData);
    cbData->caller.completeCallback(requestStatus, s3ErrorDetails, cbData->caller.callbackData);
    free(cbData);
}

// S3_delete_bucket's request: allocated there, freed by its complete callback.
struct DeleteBucketData {
    CallerHandler caller; // first member: see forward.h
};

void delete_bucket_complete_callback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
                                  void *callbackData)
{
    DeleteBucketData *dbData = static_cast<DeleteBucketData *>(callbackData);
    dbData->caller.completeCallback(requestStatus, s3ErrorDetails, dbData->caller.callbackData);
    free(dbData);
}

} // namespace

void S3_test_bucket(S3Protocol protocol, S3UriStyle uriStyle, const char *accessKeyId,
                    const char *secretAccessKey, const char *hostName, const char *bucketName,
                    int locationConstraintReturnSize, char *locationConstraintReturn,
                    S3RequestContext *requestContext, const S3ResponseHandler *handler,
                    void *callbackData)
{
    TestBucketData *tbData = static_cast<TestBucketData *>(malloc(sizeof(TestBucketData)));
    if (!tbData) {
        handler->completeCallback(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    simplexml_initialize(&tbData->simpleXml, &test_bucket_xml_callback, tbData);
    caller_handler_set(&tbData->caller, handler, callbackData);
    tbData->locationConstraintReturnSize = locationConstraintReturnSize;
    tbData->locationConstraintReturn = locationConstraintReturn;
    tbData->locationConstraint[0] = '\0';
    tbData->locationConstraintLen = 0;

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypeGET;
    fill_bucket_context(&params.bucketContext, protocol, uriStyle, accessKeyId, secretAccessKey,
                        hostName, bucketName);
    params.subResource = "location";
    params.propertiesCallback = &forward_properties;
    params.fromS3Callback = &test_bucket_data_callback;
    params.completeCallback = &test_bucket_complete_callback;
    params.callbackData = tbData;
    request_perform(&params, requestContext);
}

void S3_create_bucket(S3Protocol protocol, const char *accessKeyId, const char *secretAccessKey,
                      const char *hostName, const char *bucketName, S3CannedAcl cannedAcl,
                      const char *locationConstraint, S3RequestContext *requestContext,
                      const S3ResponseHandler *handler, void *callbackData)
{
    CreateBucketData *cbData = static_cast<CreateBucketData *>(malloc(sizeof(CreateBucketData)));
    if (!cbData) {
        handler->completeCallback(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    caller_handler_set(&cbData->caller, handler, callbackData);
    cbData->docBytesWritten = 0;
    cbData->docLen = 0;
    cbData->doc[0] = '\0';
    if (locationConstraint) {
        int written = snprintf(cbData->doc, sizeof(cbData->doc),
                               "<CreateBucketConfiguration><LocationConstraint>%s"
                               "</LocationConstraint></CreateBucketConfiguration>",
                               locationConstraint);
        if (written < 0 || written >= static_cast<int>(sizeof(cbData->doc))) {
            // A body cut short would be a malformed document: refuse instead.
            free(cbData);
            handler->completeCallback(S3StatusErrorInvalidLocationConstraint, nullptr, callbackData);
            return;
        }
        cbData->docLen = written;
    }

    S3PutProperties properties;
    memset(&properties, 0, sizeof(properties));
    properties.cannedAcl = cannedAcl;

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypePUT;
    fill_bucket_context(&params.bucketContext, protocol, S3UriStylePath, accessKeyId, secretAccessKey,
                        hostName, bucketName);
    params.putProperties = &properties;
    params.propertiesCallback = &forward_properties;
    params.toS3Callback = &create_bucket_data_callback;
    params.toS3CallbackTotalSize = cbData->docLen;
    params.toS3RewindCallback = &create_bucket_rewind_callback;
    params.completeCallback = &create_bucket_complete_callback;
    params.callbackData = cbData;
    request_perform(&params, requestContext);
}

void S3_delete_bucket(S3Protocol protocol, S3UriStyle uriStyle, const char *accessKeyId,
                      const char *secretAccessKey, const char *hostName, const char *bucketName,
                      S3RequestContext *requestContext, const S3ResponseHandler *handler,
                      void *callbackData)
{
    DeleteBucketData *dbData = static_cast<DeleteBucketData *>(malloc(sizeof(DeleteBucketData)));
    if (!dbData) {
        handler->completeCallback(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    caller_handler_set(&dbData->caller, handler, callbackData);

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypeDELETE;
    fill_bucket_context(&params.bucketContext, protocol, uriStyle, accessKeyId, secretAccessKey,
                        hostName, bucketName);
    params.propertiesCallback = &forward_properties;
    params.completeCallback = &delete_bucket_complete_callback;
    params.callbackData = dbData;
    request_perform(&params, requestContext);
}
