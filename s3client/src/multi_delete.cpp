// multi_delete.cpp - the multi-object delete: many keys of a bucket removed
// in one POST ?delete request, and the store's report of the keys it refused.

#include <cstdlib>
#include <cstring>

#include "error_parser.h"
#include "forward.h"
#include "request.h"
#include "simplexml.h"
#include "util.h"

namespace {

// The document around the keys. Quiet mode: the store answers only for the
// keys it did not delete.
const char kDocumentHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                             "<Delete xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
                             "<Quiet>true</Quiet>";
const char kObjectHead[] = "<Object><Key>";
const char kObjectTail[] = "</Key></Object>";
const char kDocumentTail[] = "</Delete>";

// Longest escape of one key byte ("&quot;", "&#x1F;").
constexpr size_t kMaxEscapedByteSize = 6;

// Texts kept of one refused key; longer ones are cut.
constexpr int kRefusedCodeSize = 256;
constexpr int kRefusedMessageSize = 1024;

// base64 of a 16-byte digest and its terminator.
constexpr int kMd5Base64Size = 25;

// One delete in flight: allocated by S3_delete_objects, freed by
// delete_objects_complete_callback after the caller's complete callback.
struct DeleteObjectsData {
    CallerHandler caller; // first member: see forward.h
    S3DeleteObjectsRefusedCallback refusedCallback;
    SimpleXml simpleXml;
    // A 200 whose body is an Error document is that error.
    ErrorParser errorParser;
    int errorDocument;
    // The root element DeleteResult has ended: only then is the answer the
    // store's report (a portal's page answered 200 is none).
    int deleteResultEnded;
    char *body; // the Delete document, malloc'd
    int64_t bodyLen;
    int64_t bodySent;
    char md5[kMd5Base64Size];
    char sha256[SHA256_HEX_SIZE];
    S3PutProperties properties;
    // The refused key being read.
    char key[S3_MAX_KEY_SIZE + 1];
    int keyLen;
    char code[kRefusedCodeSize + 1];
    int codeLen;
    char message[kRefusedMessageSize + 1];
    int messageLen;
};


void append(char *body, size_t &len, const char *text, size_t textLen)
{
    memcpy(body + len, text, textLen);
    len += textLen;
}

// The Delete document naming every key; null when there is no memory.
char *compose_document(int keyCount, const char *const *keys, size_t &len)
{
    size_t size = sizeof(kDocumentHead) - 1 + sizeof(kDocumentTail) - 1;
    for (int i = 0; i < keyCount; ++i) {
        size += sizeof(kObjectHead) - 1 + xml_escape(keys[i], nullptr) + sizeof(kObjectTail) - 1;
    }
    char *body = static_cast<char *>(malloc(size + 1));
    if (!body) {
        return nullptr;
    }
    len = 0;
    append(body, len, kDocumentHead, sizeof(kDocumentHead) - 1);
    for (int i = 0; i < keyCount; ++i) {
        append(body, len, kObjectHead, sizeof(kObjectHead) - 1);
        len += xml_escape(keys[i], body + len);
        append(body, len, kObjectTail, sizeof(kObjectTail) - 1);
    }
    append(body, len, kDocumentTail, sizeof(kDocumentTail) - 1);
    body[len] = 0;
    return body;
}

void clear_refused(DeleteObjectsData *data)
{
    data->key[0] = 0;
    data->keyLen = 0;
    data->code[0] = 0;
    data->codeLen = 0;
    data->message[0] = 0;
    data->messageLen = 0;
}

S3Status delete_objects_xml_callback(const char *elementPath, const char *text, int textLen,
                                     void *callbackData)
{
    DeleteObjectsData *data = static_cast<DeleteObjectsData *>(callbackData);
    if (!strcmp(elementPath, "Error") || !strncmp(elementPath, "Error/", 6)) {
        data->errorDocument = 1;
        return S3StatusOK;
    }
    if (!text) {
        if (!strcmp(elementPath, "DeleteResult")) {
            data->deleteResultEnded = 1;
            return S3StatusOK;
        }
        if (strcmp(elementPath, "DeleteResult/Error")) {
            return S3StatusOK;
        }
        S3Status status = S3StatusOK;
        if (data->refusedCallback) {
            status = data->refusedCallback(data->key, data->code, data->message,
                                           data->caller.callbackData);
        }
        clear_refused(data);
        return status;
    }
    if (!strcmp(elementPath, "DeleteResult/Error/Key")) {
        text_append(data->key, &data->keyLen, S3_MAX_KEY_SIZE, text, textLen);
    } else if (!strcmp(elementPath, "DeleteResult/Error/Code")) {
        text_append(data->code, &data->codeLen, kRefusedCodeSize, text, textLen);
    } else if (!strcmp(elementPath, "DeleteResult/Error/Message")) {
        text_append(data->message, &data->messageLen, kRefusedMessageSize, text, textLen);
    }
    return S3StatusOK;
}

int delete_objects_body_callback(int bufferSize, char *buffer, void *callbackData)
{
    DeleteObjectsData *data = static_cast<DeleteObjectsData *>(callbackData);
    return memory_body_read(data->body, data->bodyLen, &data->bodySent, bufferSize, buffer);
}

int delete_objects_rewind_callback(void *callbackData)
{
    static_cast<DeleteObjectsData *>(callbackData)->bodySent = 0;
    return 0;
}

S3Status delete_objects_data_callback(int bufferSize, const char *buffer, void *callbackData)
{
    DeleteObjectsData *data = static_cast<DeleteObjectsData *>(callbackData);
    S3Status status = simplexml_add(&data->simpleXml, buffer, bufferSize);
    if (status == S3StatusOK) {
        status = error_parser_add(&data->errorParser, buffer, bufferSize);
    }
    return status;
}

void delete_objects_complete_callback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
                                      void *callbackData)
{
    DeleteObjectsData *data = static_cast<DeleteObjectsData *>(callbackData);
    // An answer cut short may have left out keys the store refused: only a
    // whole document counts as the store's report.
    if (requestStatus == S3StatusOK && !data->errorDocument) {
        requestStatus = simplexml_finish(&data->simpleXml);
        if (requestStatus == S3StatusOK && !data->deleteResultEnded) {
            requestStatus = S3StatusXmlParseFailure;
        }
    }
    if (requestStatus == S3StatusOK && data->errorDocument) {
        requestStatus = S3StatusErrorUnknown;
        error_parser_convert_status(&data->errorParser, &requestStatus);
        data->errorParser.s3ErrorDetails.httpStatus = s3ErrorDetails ? s3ErrorDetails->httpStatus : 0;
        s3ErrorDetails = &data->errorParser.s3ErrorDetails;
    }
    data->caller.completeCallback(requestStatus, s3ErrorDetails, data->caller.callbackData);
    simplexml_deinitialize(&data->simpleXml);
    error_parser_deinitialize(&data->errorParser);
    free(data->body);
    free(data);
}

} // namespace

void S3_delete_objects(const S3BucketContext *bucketContext, int keyCount,
                       const char *const *keys, S3RequestContext *requestContext,
                       const S3DeleteObjectsHandler *handler, void *callbackData)
{
    const S3ResponseCompleteCallback complete = handler->responseHandler.completeCallback;
    if (keyCount < 1 || keyCount > S3_MAX_DELETE_OBJECTS_COUNT || !keys) {
        complete(S3StatusInternalError, nullptr, callbackData);
        return;
    }
    for (int i = 0; i < keyCount; ++i) {
        if (!keys[i] || !keys[i][0]) {
            complete(S3StatusInternalError, nullptr, callbackData);
            return;
        }
        if (strlen(keys[i]) > S3_MAX_KEY_SIZE) {
            complete(S3StatusKeyTooLong, nullptr, callbackData);
            return;
        }
    }

    DeleteObjectsData *data = static_cast<DeleteObjectsData *>(malloc(sizeof(DeleteObjectsData)));
    if (!data) {
        complete(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    size_t bodyLen = 0;
    data->body = compose_document(keyCount, keys, bodyLen);
    if (!data->body) {
        free(data);
        complete(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    data->bodyLen = static_cast<int64_t>(bodyLen);
    data->bodySent = 0;
    if (!body_digests(data->body, bodyLen, data->md5, data->sha256)) {
        free(data->body);
        free(data);
        complete(S3StatusInternalError, nullptr, callbackData);
        return;
    }
    caller_handler_set(&data->caller, &handler->responseHandler, callbackData);
    data->refusedCallback = handler->refusedCallback;
    simplexml_initialize(&data->simpleXml, &delete_objects_xml_callback, data);
    error_parser_initialize(&data->errorParser);
    data->errorDocument = 0;
    data->deleteResultEnded = 0;
    clear_refused(data);

    xml_body_properties(&data->properties, data->md5, data->sha256);

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypePOST;
    params.bucketContext = *bucketContext;
    params.subResource = "delete";
    params.putProperties = &data->properties;
    params.propertiesCallback = &forward_properties;
    params.toS3Callback = &delete_objects_body_callback;
    params.toS3CallbackTotalSize = data->bodyLen;
    params.toS3RewindCallback = &delete_objects_rewind_callback;
    params.fromS3Callback = &delete_objects_data_callback;
    params.completeCallback = &delete_objects_complete_callback;
    params.callbackData = data;
    request_perform(&params, requestContext);
}
