// multipart.cpp - uploads in parts: beginning one (with the headers a single
// upload sends), sending a part or copying one from a stored object, joining
// the parts, giving an upload up, and
// the listing of a bucket's unfinished uploads. Every answer that carries a
// document is read whole before it counts: a 200 whose body is an Error
// document is that error, and a document cut short is no success.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "error_parser.h"
#include "forward.h"
#include "request.h"
#include "simplexml.h"
#include "util.h"

namespace {

// The SHA-256 of no bytes: what a V4 request without a body signs.
const char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Longest texts kept of an answer; longer ones are cut (an upload id or a
// key that does not fit fails the answer instead).
constexpr size_t kETagSize = 256;
constexpr size_t kMarkerSize = 3 * S3_MAX_KEY_SIZE;
constexpr size_t kTimeSize = 64;
constexpr size_t kStorageClassSize = 64;
constexpr size_t kFlagSize = 16;
// Uploads handed to the caller at once.
constexpr int kListBatchUploads = 32;

// The sub-resource of a request about an upload of key: "uploadId=ID" (and,
// with a part number, "partNumber=N&uploadId=ID") with the id encoded.
// S3StatusOK, else what the request ends with: no key or no id
// (InternalError), an id too long (UriTooLong).
S3Status upload_sub_resource(std::string *out, const char *key, int partNumber, const char *uploadId)
{
    if (!key || !key[0] || !uploadId || !uploadId[0]) {
        return S3StatusInternalError;
    }
    if (strlen(uploadId) > S3_MAX_UPLOAD_ID_SIZE) {
        return S3StatusUriTooLong;
    }
    char encoded[3 * S3_MAX_UPLOAD_ID_SIZE + 1];
    uri_encode(encoded, uploadId, static_cast<int>(strlen(uploadId)), 0);
    out->clear();
    if (partNumber > 0) {
        out->append("partNumber=").append(std::to_string(partNumber)).append("&");
    }
    out->append("uploadId=").append(encoded);
    return S3StatusOK;
}

void append_cut(std::string *text, size_t capacity, const char *data, int dataLen)
{
    if (text->size() < capacity) {
        text->append(data, std::min(capacity - text->size(), static_cast<size_t>(dataLen)));
    }
}

// What every operation here that reads a document keeps: the caller, the
// reader, and the error document a 200 may carry. The first member of each
// operation's record (see forward.h for the caller's handler).
struct AnswerData {
    CallerHandler caller;
    SimpleXml simpleXml;
    ErrorParser errorParser;
    bool errorDocument = false;
    bool complete = false; // the expected root element has ended
    const char *root = "";  // its name
    const char *root2 = ""; // another name some stores give it ("" none)
};

// True when the element path is the Error document's.
bool is_error_path(const char *elementPath)
{
    return !strcmp(elementPath, "Error") || !strncmp(elementPath, "Error/", 6);
}

// The path below the root, or null for another element. Marks the end of
// the root and an Error document.
const char *answer_field(AnswerData *answer, const char *elementPath, const char *data)
{
    if (is_error_path(elementPath)) {
        answer->errorDocument = true;
        return nullptr;
    }
    const char *root = answer->root;
    size_t rootLen = strlen(root);
    if (strncmp(elementPath, root, rootLen) ||
        (elementPath[rootLen] && elementPath[rootLen] != '/')) {
        root = answer->root2;
        rootLen = strlen(root);
        if (!rootLen || strncmp(elementPath, root, rootLen)) {
            return nullptr;
        }
    }
    if (!elementPath[rootLen]) {
        if (!data) {
            answer->complete = true;
        }
        return nullptr;
    }
    return elementPath[rootLen] == '/' ? elementPath + rootLen + 1 : nullptr;
}

S3Status answer_body(AnswerData *answer, int bufferSize, const char *buffer)
{
    S3Status status = simplexml_add(&answer->simpleXml, buffer, bufferSize);
    if (status == S3StatusOK) {
        status = error_parser_add(&answer->errorParser, buffer, bufferSize);
    }
    return status;
}

// The final status of a request whose answer is a document: an Error
// document is that error (its details replace *details), and anything but a
// whole document of the expected root is S3StatusXmlParseFailure.
S3Status answer_status(AnswerData *answer, S3Status requestStatus, const S3ErrorDetails **details)
{
    if (requestStatus != S3StatusOK) {
        return requestStatus;
    }
    if (!answer->errorDocument) {
        requestStatus = simplexml_finish(&answer->simpleXml);
    }
    if (answer->errorDocument) {
        requestStatus = S3StatusErrorUnknown;
        error_parser_convert_status(&answer->errorParser, &requestStatus);
        answer->errorParser.s3ErrorDetails.httpStatus = *details ? (*details)->httpStatus : 0;
        *details = &answer->errorParser.s3ErrorDetails;
        return requestStatus;
    }
    if (requestStatus == S3StatusOK && !answer->complete) {
        requestStatus = S3StatusXmlParseFailure;
    }
    return requestStatus;
}

void answer_initialize(AnswerData *answer, const S3ResponseHandler *handler, void *callbackData,
                       SimpleXmlCallback xmlCallback, const char *root)
{
    caller_handler_set(&answer->caller, handler, callbackData);
    simplexml_initialize(&answer->simpleXml, xmlCallback, answer);
    error_parser_initialize(&answer->errorParser);
    answer->root = root;
}

void answer_deinitialize(AnswerData *answer)
{
    simplexml_deinitialize(&answer->simpleXml);
    error_parser_deinitialize(&answer->errorParser);
}

RequestParams answer_params(const S3BucketContext *bucketContext, HttpRequestType type,
                            const char *key, AnswerData *answer,
                            S3GetObjectDataCallback dataCallback,
                            S3ResponseCompleteCallback completeCallback)
{
    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = type;
    params.bucketContext = *bucketContext;
    params.key = key;
    params.propertiesCallback = &forward_properties;
    params.fromS3Callback = dataCallback;
    params.completeCallback = completeCallback;
    params.callbackData = answer;
    return params;
}

// ---- initiate ----

struct InitiateData {
    AnswerData answer; // first member
    S3MultipartInitialCallback initialCallback;
    std::string uploadId;
    bool idTooLong = false;
    S3PutProperties properties;
};

S3Status initiate_xml_callback(const char *elementPath, const char *data, int dataLen,
                               void *callbackData)
{
    InitiateData *d = static_cast<InitiateData *>(callbackData);
    const char *field = answer_field(&d->answer, elementPath, data);
    if (field && data && !strcmp(field, "UploadId")) {
        d->uploadId.append(data, static_cast<size_t>(dataLen));
        if (d->uploadId.size() > S3_MAX_UPLOAD_ID_SIZE) {
            return S3StatusXmlParseFailure;
        }
    }
    return S3StatusOK;
}

S3Status answer_data_callback(int bufferSize, const char *buffer, void *callbackData)
{
    return answer_body(static_cast<AnswerData *>(callbackData), bufferSize, buffer);
}

void initiate_complete_callback(S3Status requestStatus, const S3ErrorDetails *details,
                                void *callbackData)
{
    InitiateData *d = static_cast<InitiateData *>(callbackData);
    S3Status status = answer_status(&d->answer, requestStatus, &details);
    if (status == S3StatusOK && d->uploadId.empty()) {
        status = S3StatusXmlParseFailure;
    }
    if (status == S3StatusOK && d->initialCallback) {
        status = d->initialCallback(d->uploadId.c_str(), d->answer.caller.callbackData);
    }
    d->answer.caller.completeCallback(status, details, d->answer.caller.callbackData);
    answer_deinitialize(&d->answer);
    delete d;
}

// ---- complete ----

struct CompleteData {
    AnswerData answer; // first member
    S3MultipartCompleteCallback resultCallback;
    std::string body;
    int64_t bodySent = 0;
    std::string eTag;
    char md5[32];
    char sha256[SHA256_HEX_SIZE];
    S3PutProperties properties;
};

S3Status complete_xml_callback(const char *elementPath, const char *data, int dataLen,
                               void *callbackData)
{
    CompleteData *d = static_cast<CompleteData *>(callbackData);
    const char *field = answer_field(&d->answer, elementPath, data);
    if (field && data && !strcmp(field, "ETag")) {
        append_cut(&d->eTag, kETagSize, data, dataLen);
    }
    return S3StatusOK;
}

int complete_body_callback(int bufferSize, char *buffer, void *callbackData)
{
    CompleteData *d = static_cast<CompleteData *>(callbackData);
    return memory_body_read(d->body.data(), static_cast<int64_t>(d->body.size()), &d->bodySent,
                            bufferSize, buffer);
}

int complete_rewind_callback(void *callbackData)
{
    static_cast<CompleteData *>(callbackData)->bodySent = 0;
    return 0;
}

void complete_complete_callback(S3Status requestStatus, const S3ErrorDetails *details,
                                void *callbackData)
{
    CompleteData *d = static_cast<CompleteData *>(callbackData);
    S3Status status = answer_status(&d->answer, requestStatus, &details);
    if (status == S3StatusOK && d->resultCallback) {
        status = d->resultCallback(d->eTag.c_str(), d->answer.caller.callbackData);
    }
    d->answer.caller.completeCallback(status, details, d->answer.caller.callbackData);
    answer_deinitialize(&d->answer);
    delete d;
}

// The XML escape of an ETag (it is quoted, and a store may put anything in it).
void append_escaped(std::string *out, const char *text)
{
    for (const char *p = text; *p; ++p) {
        switch (*p) {
        case '&': out->append("&amp;"); break;
        case '<': out->append("&lt;"); break;
        case '>': out->append("&gt;"); break;
        case '"': out->append("&quot;"); break;
        default: out->push_back(*p); break;
        }
    }
}

// ---- list ----

struct ListedUpload {
    std::string key;
    std::string uploadId;
    std::string initiated;
    std::string storageClass;
};

struct ListUploadsData {
    AnswerData answer; // first member
    S3ListMultipartUploadsCallback listCallback;
    std::string isTruncated;
    std::string nextKeyMarker;
    std::string nextUploadIdMarker;
    std::string encodingType;
    std::vector<ListedUpload> uploads;
    bool open = false;
    bool tooLong = false;
};

S3Status list_uploads_xml_callback(const char *elementPath, const char *data, int dataLen,
                                   void *callbackData)
{
    ListUploadsData *d = static_cast<ListUploadsData *>(callbackData);
    const char *field = answer_field(&d->answer, elementPath, data);
    if (!field) {
        return S3StatusOK;
    }
    if (!data) {
        if (!strcmp(field, "Upload")) {
            d->open = false;
        }
        return S3StatusOK;
    }
    const size_t len = static_cast<size_t>(dataLen);
    if (!strcmp(field, "IsTruncated")) {
        append_cut(&d->isTruncated, kFlagSize, data, dataLen);
    } else if (!strcmp(field, "NextKeyMarker")) {
        append_cut(&d->nextKeyMarker, kMarkerSize, data, dataLen);
    } else if (!strcmp(field, "NextUploadIdMarker")) {
        append_cut(&d->nextUploadIdMarker, S3_MAX_UPLOAD_ID_SIZE, data, dataLen);
    } else if (!strcmp(field, "EncodingType")) {
        append_cut(&d->encodingType, kFlagSize, data, dataLen);
    } else if (!strncmp(field, "Upload/", 7)) {
        if (!d->open) {
            d->uploads.emplace_back();
            d->open = true;
        }
        ListedUpload &u = d->uploads.back();
        const char *name = field + 7;
        if (!strcmp(name, "Key")) {
            u.key.append(data, len);
            if (u.key.size() > kMarkerSize) {
                return S3StatusXmlParseFailure;
            }
        } else if (!strcmp(name, "UploadId")) {
            u.uploadId.append(data, len);
            if (u.uploadId.size() > S3_MAX_UPLOAD_ID_SIZE) {
                return S3StatusXmlParseFailure;
            }
        } else if (!strcmp(name, "Initiated")) {
            append_cut(&u.initiated, kTimeSize, data, dataLen);
        } else if (!strcmp(name, "StorageClass")) {
            append_cut(&u.storageClass, kStorageClassSize, data, dataLen);
        }
    }
    return S3StatusOK;
}

// Undoes the store's URL encoding of a key ("%XY", "+" for a space).
std::string url_decoded(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i] == '+' ? ' ' : text[i]);
        }
    }
    return out;
}

S3Status deliver_uploads(ListUploadsData *d)
{
    const bool decode = d->encodingType == "url";
    const int isTruncated = d->isTruncated == "true" || d->isTruncated == "1";
    const std::string nextKey = decode ? url_decoded(d->nextKeyMarker) : d->nextKeyMarker;
    std::vector<std::string> keys;
    std::vector<S3ListMultipartUpload> batch;
    auto deliver = [&]() {
        S3Status status = d->listCallback(isTruncated, nextKey.c_str(), d->nextUploadIdMarker.c_str(),
                                          static_cast<int>(batch.size()), batch.data(),
                                          d->answer.caller.callbackData);
        batch.clear();
        keys.clear();
        return status;
    };
    keys.reserve(kListBatchUploads);
    for (const ListedUpload &u : d->uploads) {
        keys.push_back(decode ? url_decoded(u.key) : u.key);
        S3ListMultipartUpload out;
        out.key = keys.back().c_str();
        out.uploadId = u.uploadId.c_str();
        out.initiated = u.initiated.empty() ? -1 : parse_iso8601_time(u.initiated.c_str());
        out.storageClass = u.storageClass.empty() ? nullptr : u.storageClass.c_str();
        batch.push_back(out);
        if (batch.size() == kListBatchUploads) {
            const S3Status status = deliver();
            if (status != S3StatusOK) {
                return status;
            }
        }
    }
    // The last batch, and a page without uploads still says whether more follow.
    if (!batch.empty() || d->uploads.empty()) {
        return deliver();
    }
    return S3StatusOK;
}

void list_uploads_complete_callback(S3Status requestStatus, const S3ErrorDetails *details,
                                    void *callbackData)
{
    ListUploadsData *d = static_cast<ListUploadsData *>(callbackData);
    S3Status status = answer_status(&d->answer, requestStatus, &details);
    if (status == S3StatusOK) {
        status = deliver_uploads(d);
    }
    d->answer.caller.completeCallback(status, details, d->answer.caller.callbackData);
    answer_deinitialize(&d->answer);
    delete d;
}

} // namespace

void S3_initiate_multipart(const S3BucketContext *bucketContext, const char *key,
                           const S3PutProperties *putProperties, S3RequestContext *requestContext,
                           const S3MultipartInitialHandler *handler, void *callbackData)
{
    const S3ResponseCompleteCallback complete = handler->responseHandler.completeCallback;
    if (!key || !key[0]) {
        complete(S3StatusInternalError, nullptr, callbackData);
        return;
    }
    InitiateData *d = new (std::nothrow) InitiateData();
    if (!d) {
        complete(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    answer_initialize(&d->answer, &handler->responseHandler, callbackData, &initiate_xml_callback,
                      "InitiateMultipartUploadResult");
    d->initialCallback = handler->initialCallback;
    // The object's headers are the single upload's; the body's digest is not
    // (there is no body: each part carries its own).
    if (putProperties) {
        d->properties = *putProperties;
    } else {
        memset(&d->properties, 0, sizeof(d->properties));
        d->properties.expires = -1;
    }
    d->properties.md5 = nullptr;
    d->properties.payloadSha256 = kEmptySha256;
    // Without a type of its own the request would go out with a form's type,
    // which the store then keeps as the object's.
    if (!d->properties.contentType || !d->properties.contentType[0]) {
        d->properties.contentType = "binary/octet-stream";
    }

    RequestParams params = answer_params(bucketContext, HttpRequestTypePOST, key, &d->answer,
                                         &answer_data_callback, &initiate_complete_callback);
    params.subResource = "uploads";
    params.putProperties = &d->properties;
    request_perform(&params, requestContext);
}

void S3_upload_part(const S3BucketContext *bucketContext, const char *key,
                    const S3PutProperties *putProperties, const S3PutObjectHandler *handler,
                    int partNumber, const char *uploadId, uint64_t partContentLength,
                    S3RequestContext *requestContext, void *callbackData)
{
    const S3ResponseCompleteCallback complete = handler->responseHandler.completeCallback;
    std::string subResource;
    const S3Status status = partNumber < 1 || partNumber > S3_MAX_PART_COUNT ||
                                    partContentLength > S3_MAX_SINGLE_UPLOAD_SIZE
                                ? S3StatusInternalError
                                : upload_sub_resource(&subResource, key, partNumber, uploadId);
    if (status != S3StatusOK) {
        complete(status, nullptr, callbackData);
        return;
    }
    // A part carries its own digests and nothing of the object's headers.
    S3PutProperties properties;
    memset(&properties, 0, sizeof(properties));
    properties.expires = -1;
    if (putProperties) {
        properties.md5 = putProperties->md5;
        properties.payloadSha256 = putProperties->payloadSha256;
    }
    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypePUT;
    params.bucketContext = *bucketContext;
    params.key = key;
    params.subResource = subResource.c_str();
    params.putProperties = &properties;
    params.propertiesCallback = handler->responseHandler.propertiesCallback;
    params.toS3Callback = handler->putObjectDataCallback;
    params.toS3CallbackTotalSize = static_cast<int64_t>(partContentLength);
    params.toS3RewindCallback = handler->putObjectRewindCallback;
    params.uploadAnswerCallback = handler->putObjectAnswerCallback;
    params.completeCallback = complete;
    params.callbackData = callbackData;
    request_perform(&params, requestContext);
}

void S3_complete_multipart_upload(const S3BucketContext *bucketContext, const char *key,
                                  const char *uploadId, int partCount,
                                  const S3MultipartPart *parts, S3RequestContext *requestContext,
                                  const S3MultipartCompleteHandler *handler, void *callbackData)
{
    const S3ResponseCompleteCallback complete = handler->responseHandler.completeCallback;
    if (partCount < 1 || partCount > S3_MAX_PART_COUNT || !parts) {
        complete(S3StatusInternalError, nullptr, callbackData);
        return;
    }
    for (int i = 0; i < partCount; ++i) {
        const bool ascending = i == 0 || parts[i].partNumber > parts[i - 1].partNumber;
        if (!ascending || parts[i].partNumber < 1 || parts[i].partNumber > S3_MAX_PART_COUNT ||
            !parts[i].eTag || !parts[i].eTag[0] || strlen(parts[i].eTag) > kETagSize) {
            complete(S3StatusInternalError, nullptr, callbackData);
            return;
        }
    }
    std::string subResource;
    const S3Status status = upload_sub_resource(&subResource, key, 0, uploadId);
    if (status != S3StatusOK) {
        complete(status, nullptr, callbackData);
        return;
    }
    CompleteData *d = new (std::nothrow) CompleteData();
    if (!d) {
        complete(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    try {
        d->body.reserve(64 + static_cast<size_t>(partCount) * 96);
    } catch (const std::bad_alloc &) {
        delete d;
        complete(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    d->body = "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
    for (int i = 0; i < partCount; ++i) {
        d->body.append("<Part><PartNumber>").append(std::to_string(parts[i].partNumber));
        d->body.append("</PartNumber><ETag>");
        append_escaped(&d->body, parts[i].eTag);
        d->body.append("</ETag></Part>");
    }
    d->body.append("</CompleteMultipartUpload>");

    if (!body_digests(d->body.data(), d->body.size(), d->md5, d->sha256)) {
        delete d;
        complete(S3StatusInternalError, nullptr, callbackData);
        return;
    }

    answer_initialize(&d->answer, &handler->responseHandler, callbackData, &complete_xml_callback,
                      "CompleteMultipartUploadResult");
    // The name of the answer's root in the store's documentation is
    // CompleteMultipartUploadResult; some stores call it ...Response.
    d->answer.root2 = "CompleteMultipartUploadResponse";
    d->resultCallback = handler->completeResultCallback;
    xml_body_properties(&d->properties, d->md5, d->sha256);

    RequestParams params = answer_params(bucketContext, HttpRequestTypePOST, key, &d->answer,
                                         &answer_data_callback, &complete_complete_callback);
    params.subResource = subResource.c_str();
    params.putProperties = &d->properties;
    params.toS3Callback = &complete_body_callback;
    params.toS3CallbackTotalSize = static_cast<int64_t>(d->body.size());
    params.toS3RewindCallback = &complete_rewind_callback;
    request_perform(&params, requestContext);
}

void S3_upload_part_copy(const S3BucketContext *bucketContext, const char *key,
                         const char *uploadId, int partNumber, const char *sourceBucket,
                         const char *sourceKey, uint64_t firstByte, uint64_t lastByte,
                         S3RequestContext *requestContext,
                         const S3MultipartCompleteHandler *handler, void *callbackData)
{
    const S3ResponseCompleteCallback complete = handler->responseHandler.completeCallback;
    std::string subResource;
    const S3Status status = !sourceBucket || !sourceBucket[0] || !sourceKey || !sourceKey[0] ||
                                    partNumber < 1 || partNumber > S3_MAX_PART_COUNT || lastByte < firstByte ||
                                    lastByte - firstByte >= S3_MAX_SINGLE_UPLOAD_SIZE
                                ? S3StatusInternalError
                                : upload_sub_resource(&subResource, key, partNumber, uploadId);
    if (status != S3StatusOK) {
        complete(status, nullptr, callbackData);
        return;
    }
    // The answer is read as a join's is: the ETag below its root.
    CompleteData *d = new (std::nothrow) CompleteData();
    if (!d) {
        complete(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    answer_initialize(&d->answer, &handler->responseHandler, callbackData, &complete_xml_callback,
                      "CopyPartResult");
    d->resultCallback = handler->completeResultCallback;
    const std::string range = "bytes=" + std::to_string(firstByte) + "-" + std::to_string(lastByte);

    RequestParams params = answer_params(bucketContext, HttpRequestTypeCOPY, key, &d->answer,
                                         &answer_data_callback, &complete_complete_callback);
    params.subResource = subResource.c_str();
    params.copySourceBucketName = sourceBucket;
    params.copySourceKey = sourceKey;
    params.copySourceRange = range.c_str();
    request_perform(&params, requestContext);
}

void S3_abort_multipart_upload(const S3BucketContext *bucketContext, const char *key,
                               const char *uploadId, S3RequestContext *requestContext,
                               const S3ResponseHandler *handler, void *callbackData)
{
    std::string subResource;
    const S3Status status = upload_sub_resource(&subResource, key, 0, uploadId);
    if (status != S3StatusOK) {
        handler->completeCallback(status, nullptr, callbackData);
        return;
    }
    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypeDELETE;
    params.bucketContext = *bucketContext;
    params.key = key;
    params.subResource = subResource.c_str();
    params.propertiesCallback = handler->propertiesCallback;
    params.completeCallback = handler->completeCallback;
    params.callbackData = callbackData;
    request_perform(&params, requestContext);
}

void S3_list_multipart_uploads(const S3BucketContext *bucketContext, const char *prefix,
                               const char *keyMarker, const char *uploadIdMarker, int maxUploads,
                               S3RequestContext *requestContext,
                               const S3ListMultipartUploadsHandler *handler, void *callbackData)
{
    const S3ResponseCompleteCallback complete = handler->responseHandler.completeCallback;
    std::string query;
    auto param = [&query](const char *name, const char *value) {
        if (!value || strlen(value) > 3 * S3_MAX_KEY_SIZE) {
            return value == nullptr;
        }
        std::vector<char> encoded(3 * strlen(value) + 1);
        uri_encode(encoded.data(), value, static_cast<int>(strlen(value)), 0);
        query.append(query.empty() ? "" : "&").append(name).append("=").append(encoded.data());
        return true;
    };
    const std::string maxText = std::to_string(maxUploads);
    const bool fits = param("encoding-type", "url") && param("key-marker", keyMarker) &&
                      param("max-uploads", maxUploads > 0 ? maxText.c_str() : nullptr) &&
                      param("prefix", prefix) && param("upload-id-marker", uploadIdMarker);
    if (!fits) {
        complete(S3StatusQueryParamsTooLong, nullptr, callbackData);
        return;
    }
    ListUploadsData *d = new (std::nothrow) ListUploadsData();
    if (!d) {
        complete(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    answer_initialize(&d->answer, &handler->responseHandler, callbackData,
                      &list_uploads_xml_callback, "ListMultipartUploadsResult");
    d->listCallback = handler->listMultipartUploadsCallback;
    RequestParams params = answer_params(bucketContext, HttpRequestTypeGET, nullptr, &d->answer,
                                         &answer_data_callback, &list_uploads_complete_callback);
    params.subResource = "uploads";
    params.queryParams = query.c_str();
    request_perform(&params, requestContext);
}
