// bucket.cpp - one page of a bucket listing, read as the document streams in
// and handed to the caller in batches; and the bucket's own operations:
// test (its location), create and delete.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "request.h"
#include "simplexml.h"
#include "util.h"

namespace {

// ---- listing ----

// Longest query string of a listing, in characters.
constexpr int kMaxQueryParamsSize = 4096;
// Longest unencoded value of one query parameter.
constexpr int kMaxQueryParamValueSize = 1024;

// Objects and common prefixes of one batch.
constexpr int kListBatchContents = 32;
constexpr int kListBatchPrefixes = 8;

constexpr int kKeySize = 1024;
constexpr int kLastModifiedSize = 256;
constexpr int kETagSize = 256;
constexpr int kSizeSize = 24;
constexpr int kOwnerIdSize = 256;
constexpr int kOwnerDisplayNameSize = 256;
constexpr int kIsTruncatedSize = 64;
constexpr int kNextMarkerSize = 1024;
constexpr int kCommonPrefixSize = 1024; // at most 1023 characters

// Appends data to a text of capacity characters, cutting silently.
void append_cut(char *text, int *textLen, int capacity, const char *data, int dataLen)
{
    int take = capacity - *textLen;
    if (take > dataLen) {
        take = dataLen;
    }
    if (take <= 0) {
        return;
    }
    memcpy(text + *textLen, data, static_cast<size_t>(take));
    *textLen += take;
    text[*textLen] = '\0';
}

// The texts of one listed object as received.
struct ListBucketContents {
    char key[kKeySize + 1];
    int keyLen;
    char lastModified[kLastModifiedSize + 1];
    int lastModifiedLen;
    char eTag[kETagSize + 1];
    int eTagLen;
    char size[kSizeSize + 1];
    int sizeLen;
    char ownerId[kOwnerIdSize + 1];
    int ownerIdLen;
    char ownerDisplayName[kOwnerDisplayNameSize + 1];
    int ownerDisplayNameLen;
};

// One listing request: allocated by S3_list_bucket, freed by
// listBucketCompleteCallback after the caller's complete callback.
struct ListBucketData {
    SimpleXml simpleXml;
    S3ResponsePropertiesCallback responsePropertiesCallback;
    S3ListBucketCallback listBucketCallback;
    S3ResponseCompleteCallback responseCompleteCallback;
    void *callbackData;
    char isTruncated[kIsTruncatedSize + 1];
    int isTruncatedLen;
    char nextMarker[kNextMarkerSize + 1];
    int nextMarkerLen;
    int contentsCount; // completed objects; contents[contentsCount] is being read
    ListBucketContents contents[kListBatchContents];
    int commonPrefixesCount;
    char commonPrefixes[kListBatchPrefixes][kCommonPrefixSize];
    int commonPrefixLens[kListBatchPrefixes];
};

void initialize_list_bucket_contents(ListBucketContents *contents)
{
    contents->key[0] = '\0';
    contents->keyLen = 0;
    contents->lastModified[0] = '\0';
    contents->lastModifiedLen = 0;
    contents->eTag[0] = '\0';
    contents->eTagLen = 0;
    contents->size[0] = '\0';
    contents->sizeLen = 0;
    contents->ownerId[0] = '\0';
    contents->ownerIdLen = 0;
    contents->ownerDisplayName[0] = '\0';
    contents->ownerDisplayNameLen = 0;
}

void initialize_list_bucket_data(ListBucketData *lbData)
{
    lbData->contentsCount = 0;
    initialize_list_bucket_contents(&lbData->contents[0]);
    lbData->commonPrefixesCount = 0;
    lbData->commonPrefixes[0][0] = '\0';
    lbData->commonPrefixLens[0] = 0;
}

S3Status make_list_bucket_callback(ListBucketData *lbData)
{
    int isTruncated = (!strcmp(lbData->isTruncated, "true") || !strcmp(lbData->isTruncated, "1"))
                          ? 1
                          : 0;

    S3ListBucketContent contents[kListBatchContents];
    for (int i = 0; i < lbData->contentsCount; i++) {
        const ListBucketContents &src = lbData->contents[i];
        S3ListBucketContent &dst = contents[i];
        dst.key = src.key;
        dst.lastModified = parseIso8601Time(src.lastModified);
        dst.eTag = src.eTag;
        dst.size = parseUnsignedInt(src.size);
        dst.ownerId = src.ownerId[0] ? src.ownerId : nullptr;
        dst.ownerDisplayName = src.ownerDisplayName[0] ? src.ownerDisplayName : nullptr;
    }

    const char *commonPrefixes[kListBatchPrefixes];
    for (int i = 0; i < lbData->commonPrefixesCount; i++) {
        commonPrefixes[i] = lbData->commonPrefixes[i];
    }

    return lbData->listBucketCallback(isTruncated, lbData->nextMarker, lbData->contentsCount,
                                      contents, lbData->commonPrefixesCount, commonPrefixes,
                                      lbData->callbackData);
}

S3Status listBucketXmlCallback(const char *elementPath, const char *data, int dataLen,
                               void *callbackData)
{
    ListBucketData *lbData = static_cast<ListBucketData *>(callbackData);

    if (data) {
        ListBucketContents *contents = &lbData->contents[lbData->contentsCount];
        if (!strcmp(elementPath, "ListBucketResult/IsTruncated")) {
            append_cut(lbData->isTruncated, &lbData->isTruncatedLen, kIsTruncatedSize, data,
                       dataLen);
        } else if (!strcmp(elementPath, "ListBucketResult/NextMarker")) {
            append_cut(lbData->nextMarker, &lbData->nextMarkerLen, kNextMarkerSize, data, dataLen);
        } else if (!strcmp(elementPath, "ListBucketResult/Contents/Key")) {
            append_cut(contents->key, &contents->keyLen, kKeySize, data, dataLen);
        } else if (!strcmp(elementPath, "ListBucketResult/Contents/LastModified")) {
            append_cut(contents->lastModified, &contents->lastModifiedLen, kLastModifiedSize,
                       data, dataLen);
        } else if (!strcmp(elementPath, "ListBucketResult/Contents/ETag")) {
            append_cut(contents->eTag, &contents->eTagLen, kETagSize, data, dataLen);
        } else if (!strcmp(elementPath, "ListBucketResult/Contents/Size")) {
            append_cut(contents->size, &contents->sizeLen, kSizeSize, data, dataLen);
        } else if (!strcmp(elementPath, "ListBucketResult/Contents/Owner/ID")) {
            append_cut(contents->ownerId, &contents->ownerIdLen, kOwnerIdSize, data, dataLen);
        } else if (!strcmp(elementPath, "ListBucketResult/Contents/Owner/DisplayName")) {
            append_cut(contents->ownerDisplayName, &contents->ownerDisplayNameLen,
                       kOwnerDisplayNameSize, data, dataLen);
        } else if (!strcmp(elementPath, "ListBucketResult/CommonPrefixes/Prefix")) {
            int which = lbData->commonPrefixesCount;
            int *len = &lbData->commonPrefixLens[which];
            if (*len + dataLen > kCommonPrefixSize - 1) {
                return S3StatusXmlParseFailure;
            }
            memcpy(lbData->commonPrefixes[which] + *len, data, static_cast<size_t>(dataLen));
            *len += dataLen;
            lbData->commonPrefixes[which][*len] = '\0';
        }
        return S3StatusOK;
    }

    if (!strcmp(elementPath, "ListBucketResult/Contents")) {
        lbData->contentsCount++;
        if (lbData->contentsCount == kListBatchContents) {
            S3Status status = make_list_bucket_callback(lbData);
            if (status != S3StatusOK) {
                return status;
            }
            initialize_list_bucket_data(lbData);
        } else {
            initialize_list_bucket_contents(&lbData->contents[lbData->contentsCount]);
        }
    } else if (!strcmp(elementPath, "ListBucketResult/CommonPrefixes/Prefix")) {
        lbData->commonPrefixesCount++;
        if (lbData->commonPrefixesCount == kListBatchPrefixes) {
            S3Status status = make_list_bucket_callback(lbData);
            if (status != S3StatusOK) {
                return status;
            }
            initialize_list_bucket_data(lbData);
        } else {
            lbData->commonPrefixes[lbData->commonPrefixesCount][0] = '\0';
            lbData->commonPrefixLens[lbData->commonPrefixesCount] = 0;
        }
    }
    return S3StatusOK;
}

S3Status listBucketPropertiesCallback(const S3ResponseProperties *responseProperties,
                                      void *callbackData)
{
    ListBucketData *lbData = static_cast<ListBucketData *>(callbackData);
    if (!lbData->responsePropertiesCallback) {
        return S3StatusOK;
    }
    return lbData->responsePropertiesCallback(responseProperties, lbData->callbackData);
}

S3Status listBucketDataCallback(int bufferSize, const char *buffer, void *callbackData)
{
    ListBucketData *lbData = static_cast<ListBucketData *>(callbackData);
    return simplexml_add(&lbData->simpleXml, buffer, bufferSize);
}

void listBucketCompleteCallback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
                                void *callbackData)
{
    ListBucketData *lbData = static_cast<ListBucketData *>(callbackData);
    // What was read before the end still reaches the caller, whatever the
    // outcome; the answer no longer matters.
    if (lbData->contentsCount || lbData->commonPrefixesCount) {
        make_list_bucket_callback(lbData);
    }
    lbData->responseCompleteCallback(requestStatus, s3ErrorDetails, lbData->callbackData);
    simplexml_deinitialize(&lbData->simpleXml);
    free(lbData);
}

// Appends "name=" and the URL-encoded value to the query string; false when
// the value or the whole string is too long.
bool append_query_param(char *queryParams, int *len, const char *name, const char *value)
{
    char encoded[3 * kMaxQueryParamValueSize + 1];
    if (!urlEncode(encoded, value, kMaxQueryParamValueSize)) {
        return false;
    }
    int room = kMaxQueryParamsSize + 1 - *len;
    int written = snprintf(queryParams + *len, static_cast<size_t>(room), "%s%s=%s",
                           *len ? "&" : "", name, encoded);
    if (written < 0 || written >= room) {
        return false;
    }
    *len += written;
    return true;
}

} // namespace

void S3_list_bucket(const S3BucketContext *bucketContext, const char *prefix, const char *marker,
                    const char *delimiter, int maxkeys, S3RequestContext *requestContext,
                    const S3ListBucketHandler *handler, void *callbackData)
{
    char queryParams[kMaxQueryParamsSize + 1];
    queryParams[0] = '\0';
    int len = 0;
    bool fits = true;
    if (prefix) {
        fits = fits && append_query_param(queryParams, &len, "prefix", prefix);
    }
    if (marker) {
        fits = fits && append_query_param(queryParams, &len, "marker", marker);
    }
    if (delimiter) {
        fits = fits && append_query_param(queryParams, &len, "delimiter", delimiter);
    }
    if (maxkeys) {
        char maxKeysText[64];
        snprintf(maxKeysText, sizeof(maxKeysText), "%d", maxkeys);
        fits = fits && append_query_param(queryParams, &len, "max-keys", maxKeysText);
    }
    if (!fits) {
        handler->responseHandler.completeCallback(S3StatusQueryParamsTooLong, nullptr,
                                                  callbackData);
        return;
    }

    ListBucketData *lbData = static_cast<ListBucketData *>(malloc(sizeof(ListBucketData)));
    if (!lbData) {
        handler->responseHandler.completeCallback(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    simplexml_initialize(&lbData->simpleXml, &listBucketXmlCallback, lbData);
    lbData->responsePropertiesCallback = handler->responseHandler.propertiesCallback;
    lbData->listBucketCallback = handler->listBucketCallback;
    lbData->responseCompleteCallback = handler->responseHandler.completeCallback;
    lbData->callbackData = callbackData;
    lbData->isTruncated[0] = '\0';
    lbData->isTruncatedLen = 0;
    lbData->nextMarker[0] = '\0';
    lbData->nextMarkerLen = 0;
    initialize_list_bucket_data(lbData);

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypeGET;
    params.bucketContext = *bucketContext;
    params.key = nullptr;
    params.queryParams = queryParams[0] ? queryParams : nullptr;
    params.propertiesCallback = &listBucketPropertiesCallback;
    params.fromS3Callback = &listBucketDataCallback;
    params.completeCallback = &listBucketCompleteCallback;
    params.callbackData = lbData;
    request_perform(&params, requestContext);
}

// ---- bucket operations ----

namespace {

constexpr int kLocationConstraintSize = 256;
constexpr int kCreateBucketDocSize = 1024; // at most 1023 characters

// S3_test_bucket's request: allocated there, freed by its complete callback.
struct TestBucketData {
    SimpleXml simpleXml;
    S3ResponsePropertiesCallback responsePropertiesCallback;
    S3ResponseCompleteCallback responseCompleteCallback;
    void *callbackData;
    int locationConstraintReturnSize;
    char *locationConstraintReturn;
    char locationConstraint[kLocationConstraintSize + 1];
    int locationConstraintLen;
};

S3Status testBucketXmlCallback(const char *elementPath, const char *data, int dataLen,
                               void *callbackData)
{
    TestBucketData *tbData = static_cast<TestBucketData *>(callbackData);
    if (data && !strcmp(elementPath, "LocationConstraint")) {
        append_cut(tbData->locationConstraint, &tbData->locationConstraintLen,
                   kLocationConstraintSize, data, dataLen);
    }
    return S3StatusOK;
}

S3Status testBucketPropertiesCallback(const S3ResponseProperties *responseProperties,
                                      void *callbackData)
{
    TestBucketData *tbData = static_cast<TestBucketData *>(callbackData);
    if (!tbData->responsePropertiesCallback) {
        return S3StatusOK;
    }
    return tbData->responsePropertiesCallback(responseProperties, tbData->callbackData);
}

S3Status testBucketDataCallback(int bufferSize, const char *buffer, void *callbackData)
{
    TestBucketData *tbData = static_cast<TestBucketData *>(callbackData);
    return simplexml_add(&tbData->simpleXml, buffer, bufferSize);
}

void testBucketCompleteCallback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
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
    tbData->responseCompleteCallback(requestStatus, s3ErrorDetails, tbData->callbackData);
    simplexml_deinitialize(&tbData->simpleXml);
    free(tbData);
}

// S3_create_bucket's request: allocated there, freed by its complete callback.
struct CreateBucketData {
    S3ResponsePropertiesCallback responsePropertiesCallback;
    S3ResponseCompleteCallback responseCompleteCallback;
    void *callbackData;
    char doc[kCreateBucketDocSize];
    int docLen;
    int docBytesWritten;
};

S3Status createBucketPropertiesCallback(const S3ResponseProperties *responseProperties,
                                        void *callbackData)
{
    CreateBucketData *cbData = static_cast<CreateBucketData *>(callbackData);
    if (!cbData->responsePropertiesCallback) {
        return S3StatusOK;
    }
    return cbData->responsePropertiesCallback(responseProperties, cbData->callbackData);
}

int createBucketDataCallback(int bufferSize, char *buffer, void *callbackData)
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

void createBucketCompleteCallback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
                                  void *callbackData)
{
    CreateBucketData *cbData = static_cast<CreateBucketData *>(callbackData);
    cbData->responseCompleteCallback(requestStatus, s3ErrorDetails, cbData->callbackData);
    free(cbData);
}

// S3_delete_bucket's request: allocated there, freed by its complete callback.
struct DeleteBucketData {
    S3ResponsePropertiesCallback responsePropertiesCallback;
    S3ResponseCompleteCallback responseCompleteCallback;
    void *callbackData;
};

S3Status deleteBucketPropertiesCallback(const S3ResponseProperties *responseProperties,
                                        void *callbackData)
{
    DeleteBucketData *dbData = static_cast<DeleteBucketData *>(callbackData);
    if (!dbData->responsePropertiesCallback) {
        return S3StatusOK;
    }
    return dbData->responsePropertiesCallback(responseProperties, dbData->callbackData);
}

void deleteBucketCompleteCallback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
                                  void *callbackData)
{
    DeleteBucketData *dbData = static_cast<DeleteBucketData *>(callbackData);
    dbData->responseCompleteCallback(requestStatus, s3ErrorDetails, dbData->callbackData);
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
    simplexml_initialize(&tbData->simpleXml, &testBucketXmlCallback, tbData);
    tbData->responsePropertiesCallback = handler->propertiesCallback;
    tbData->responseCompleteCallback = handler->completeCallback;
    tbData->callbackData = callbackData;
    tbData->locationConstraintReturnSize = locationConstraintReturnSize;
    tbData->locationConstraintReturn = locationConstraintReturn;
    tbData->locationConstraint[0] = '\0';
    tbData->locationConstraintLen = 0;

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypeGET;
    params.bucketContext.hostName = hostName;
    params.bucketContext.bucketName = bucketName;
    params.bucketContext.protocol = protocol;
    params.bucketContext.uriStyle = uriStyle;
    params.bucketContext.accessKeyId = accessKeyId;
    params.bucketContext.secretAccessKey = secretAccessKey;
    params.subResource = "location";
    params.propertiesCallback = &testBucketPropertiesCallback;
    params.fromS3Callback = &testBucketDataCallback;
    params.completeCallback = &testBucketCompleteCallback;
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
    cbData->responsePropertiesCallback = handler->propertiesCallback;
    cbData->responseCompleteCallback = handler->completeCallback;
    cbData->callbackData = callbackData;
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
    params.bucketContext.hostName = hostName;
    params.bucketContext.bucketName = bucketName;
    params.bucketContext.protocol = protocol;
    params.bucketContext.uriStyle = S3UriStylePath;
    params.bucketContext.accessKeyId = accessKeyId;
    params.bucketContext.secretAccessKey = secretAccessKey;
    params.putProperties = &properties;
    params.propertiesCallback = &createBucketPropertiesCallback;
    params.toS3Callback = &createBucketDataCallback;
    params.toS3CallbackTotalSize = cbData->docLen;
    params.completeCallback = &createBucketCompleteCallback;
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
    dbData->responsePropertiesCallback = handler->propertiesCallback;
    dbData->responseCompleteCallback = handler->completeCallback;
    dbData->callbackData = callbackData;

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypeDELETE;
    params.bucketContext.hostName = hostName;
    params.bucketContext.bucketName = bucketName;
    params.bucketContext.protocol = protocol;
    params.bucketContext.uriStyle = uriStyle;
    params.bucketContext.accessKeyId = accessKeyId;
    params.bucketContext.secretAccessKey = secretAccessKey;
    params.propertiesCallback = &deleteBucketPropertiesCallback;
    params.completeCallback = &deleteBucketCompleteCallback;
    params.callbackData = dbData;
    request_perform(&params, requestContext);
}
