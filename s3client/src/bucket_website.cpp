// bucket_website.cpp - the bucket's website configuration: set (PUT
// ?website) with its index and error documents, and read back (GET
// ?website). Each request keeps a record, freed by its complete callback
// after the caller's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "forward.h"
#include "request.h"
#include "simplexml.h"
#include "util.h"

namespace {

const char kWebsiteHead[] = "<WebsiteConfiguration xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
const char kWebsiteTail[] = "</WebsiteConfiguration>";
// The longest index suffix and error key the client sends.
constexpr size_t kMaxDocumentNameSize = 1024;

// S3_set_bucket_website's request.
struct SetWebsiteData {
    CallerHandler caller; // first member: see forward.h
    std::string body;
    int64_t bodySent;
    char md5[32];
    char sha256[SHA256_HEX_SIZE];
    S3PutProperties properties;
};

int set_website_body_callback(int bufferSize, char *buffer, void *callbackData)
{
    SetWebsiteData *data = static_cast<SetWebsiteData *>(callbackData);
    return memory_body_read(data->body.data(), static_cast<int64_t>(data->body.size()), &data->bodySent,
                            bufferSize, buffer);
}

int set_website_rewind_callback(void *callbackData)
{
    static_cast<SetWebsiteData *>(callbackData)->bodySent = 0;
    return 0;
}

void set_website_complete_callback(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    SetWebsiteData *data = static_cast<SetWebsiteData *>(callbackData);
    data->caller.completeCallback(status, details, data->caller.callbackData);
    delete data;
}

// One element's text, escaped, onto body.
void append_element(std::string &body, const char *open, const char *text, const char *close)
{
    const size_t len = xml_escape(text, nullptr);
    std::string escaped(len, '\0');
    xml_escape(text, &escaped[0]);
    body += open;
    body += escaped;
    body += close;
}

// S3_get_bucket_website's request.
struct GetWebsiteData {
    CallerHandler caller; // first member: see forward.h
    S3BucketWebsiteCallback *websiteCallback;
    SimpleXml simpleXml;
    std::string index;
    std::string error;
};

S3Status get_website_xml_callback(const char *elementPath, const char *data, int dataLen,
                                  void *callbackData)
{
    GetWebsiteData *website = static_cast<GetWebsiteData *>(callbackData);
    if (!data) {
        return S3StatusOK;
    }
    std::string *target = nullptr;
    if (!strcmp(elementPath, "WebsiteConfiguration/IndexDocument/Suffix")) {
        target = &website->index;
    } else if (!strcmp(elementPath, "WebsiteConfiguration/ErrorDocument/Key")) {
        target = &website->error;
    }
    if (target && target->size() + static_cast<size_t>(dataLen) <= kMaxDocumentNameSize) {
        target->append(data, static_cast<size_t>(dataLen));
    }
    return S3StatusOK;
}

S3Status get_website_data_callback(int bufferSize, const char *buffer, void *callbackData)
{
    return simplexml_add(&static_cast<GetWebsiteData *>(callbackData)->simpleXml, buffer, bufferSize);
}

void get_website_complete_callback(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    GetWebsiteData *data = static_cast<GetWebsiteData *>(callbackData);
    if (status == S3StatusOK && data->websiteCallback) {
        status = data->websiteCallback(data->index.empty() ? nullptr : data->index.c_str(),
                                       data->error.empty() ? nullptr : data->error.c_str(),
                                       data->caller.callbackData);
    }
    data->caller.completeCallback(status, details, data->caller.callbackData);
    simplexml_deinitialize(&data->simpleXml);
    delete data;
}

} // namespace

void S3_set_bucket_website(const S3BucketContext *bucketContext, const char *indexSuffix,
                           const char *errorKey, S3RequestContext *requestContext,
                           const S3ResponseHandler *handler, void *callbackData)
{
    if (!indexSuffix || !indexSuffix[0] || strlen(indexSuffix) > kMaxDocumentNameSize ||
        (errorKey && strlen(errorKey) > kMaxDocumentNameSize)) {
        handler->completeCallback(S3StatusBadMetaData, nullptr, callbackData);
        return;
    }
    SetWebsiteData *data = new (std::nothrow) SetWebsiteData();
    if (!data) {
        handler->completeCallback(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    caller_handler_set(&data->caller, handler, callbackData);
    data->body = kWebsiteHead;
    append_element(data->body, "<IndexDocument><Suffix>", indexSuffix, "</Suffix></IndexDocument>");
    if (errorKey && errorKey[0]) {
        append_element(data->body, "<ErrorDocument><Key>", errorKey, "</Key></ErrorDocument>");
    }
    data->body += kWebsiteTail;
    data->bodySent = 0;

    if (!body_digests(data->body.data(), data->body.size(), data->md5, data->sha256)) {
        delete data;
        handler->completeCallback(S3StatusInternalError, nullptr, callbackData);
        return;
    }

    xml_body_properties(&data->properties, data->md5, data->sha256);

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypePUT;
    params.bucketContext = *bucketContext;
    params.subResource = "website";
    params.putProperties = &data->properties;
    params.propertiesCallback = &forward_properties;
    params.toS3Callback = &set_website_body_callback;
    params.toS3CallbackTotalSize = static_cast<int64_t>(data->body.size());
    params.toS3RewindCallback = &set_website_rewind_callback;
    params.completeCallback = &set_website_complete_callback;
    params.callbackData = data;
    request_perform(&params, requestContext);
}

void S3_get_bucket_website(const S3BucketContext *bucketContext, S3RequestContext *requestContext,
                           const S3BucketWebsiteHandler *handler, void *callbackData)
{
    GetWebsiteData *data = new (std::nothrow) GetWebsiteData();
    if (!data) {
        handler->responseHandler.completeCallback(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    caller_handler_set(&data->caller, &handler->responseHandler, callbackData);
    data->websiteCallback = handler->websiteCallback;
    simplexml_initialize(&data->simpleXml, &get_website_xml_callback, data);

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypeGET;
    params.bucketContext = *bucketContext;
    params.subResource = "website";
    params.propertiesCallback = &forward_properties;
    params.fromS3Callback = &get_website_data_callback;
    params.completeCallback = &get_website_complete_callback;
    params.callbackData = data;
    request_perform(&params, requestContext);
}
