// listing.cpp - one page of a bucket listing.  The page is asked for with
// URL-encoded keys (a key may hold bytes that XML cannot carry), read whole,
// and handed to the caller in batches once the document has proved to be a
// complete ListBucketResult, with keys, prefixes and the next marker decoded
// when the store says it encoded them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "forward.h"
#include "request.h"
#include "simplexml.h"
#include "util.h"

namespace {

// Longest query string of a listing, in characters.
constexpr int kMaxQueryParamsSize = 4096;
// Longest unencoded value of one query parameter.
constexpr int kMaxQueryParamValueSize = 1024;

// Objects and common prefixes of one batch.
constexpr int kListBatchContents = 32;
constexpr int kListBatchPrefixes = 8;

// Capacities of the texts as delivered, in characters; over-long texts are
// cut silently.  A URL-encoded text may take three times as many on the
// wire, so texts that may be encoded are gathered up to that.
constexpr size_t kKeySize = 1024;
constexpr size_t kLastModifiedSize = 256;
constexpr size_t kETagSize = 256;
constexpr size_t kSizeSize = 24;
constexpr size_t kOwnerIdSize = 256;
constexpr size_t kOwnerDisplayNameSize = 256;
constexpr size_t kIsTruncatedSize = 64;
constexpr size_t kEncodingTypeSize = 64;
constexpr size_t kNextMarkerSize = 1024;
constexpr size_t kCommonPrefixSize = 1023;
constexpr size_t kEncodedFactor = 3;

// Appends data to text, cutting silently at capacity characters.
void append_cut(std::string *text, size_t capacity, const char *data, int dataLen)
{
    if (text->size() >= capacity) {
        return;
    }
    text->append(data, std::min(capacity - text->size(), static_cast<size_t>(dataLen)));
}

// One listed object, or one common prefix (in key), as received. A page is
// held whole until its document ends: the time and the size are read into
// numbers when the object's element ends, so the page holds no text of them.
struct ListedEntry {
    bool isPrefix = false;
    std::string key;
    std::string eTag;
    std::string ownerId;
    std::string ownerDisplayName;
    int64_t lastModified = -1;
    uint64_t size = 0;
};

// One listing request: allocated by S3_list_bucket, freed by
// list_bucket_complete_callback after the caller's complete callback.
struct ListBucketData {
    CallerHandler caller; // first member: see forward.h
    S3ListBucketCallback listBucketCallback;
    SimpleXml simpleXml;
    std::string isTruncated;
    std::string nextMarker;
    std::string encodingType;
    // Objects and prefixes in document order; the last entry is the one
    // being read while an object or prefix is open.
    std::vector<ListedEntry> entries;
    bool entryOpen = false;
    // The open object's time and size as text, until its element ends.
    std::string lastModified;
    std::string size;
    // The root element ListBucketResult has ended.
    bool complete = false;
};

// Undoes the store's URL encoding: "%XY" is the byte XY, "+" a space.  A "%"
// that starts no escape stands for itself.
std::string url_decode(const std::string &text, size_t capacity)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size() && out.size() < capacity; i++) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else if (c == '+') {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string cut(const std::string &text, size_t capacity)
{
    return text.size() > capacity ? text.substr(0, capacity) : text;
}

ListedEntry &open_entry(ListBucketData *lbData, bool isPrefix)
{
    if (!lbData->entryOpen) {
        lbData->entries.emplace_back();
        lbData->entries.back().isPrefix = isPrefix;
        lbData->entryOpen = true;
    }
    return lbData->entries.back();
}

S3Status list_bucket_xml_callback(const char *elementPath, const char *data, int dataLen,
                               void *callbackData)
{
    ListBucketData *lbData = static_cast<ListBucketData *>(callbackData);
    static const char kContents[] = "ListBucketResult/Contents/";
    const size_t kContentsLen = sizeof(kContents) - 1;

    if (!data) {
        const bool isObject = !strcmp(elementPath, "ListBucketResult/Contents");
        if (isObject || !strcmp(elementPath, "ListBucketResult/CommonPrefixes/Prefix")) {
            ListedEntry &entry = open_entry(lbData, !isObject);
            if (isObject) {
                entry.lastModified = parse_iso8601_time(lbData->lastModified.c_str());
                entry.size = parse_unsigned_int(lbData->size.c_str());
                lbData->lastModified.clear();
                lbData->size.clear();
            }
            lbData->entryOpen = false;
        } else if (!strcmp(elementPath, "ListBucketResult")) {
            lbData->complete = true;
        }
        return S3StatusOK;
    }

    if (!strcmp(elementPath, "ListBucketResult/IsTruncated")) {
        append_cut(&lbData->isTruncated, kIsTruncatedSize, data, dataLen);
    } else if (!strcmp(elementPath, "ListBucketResult/NextMarker")) {
        append_cut(&lbData->nextMarker, kNextMarkerSize * kEncodedFactor, data, dataLen);
    } else if (!strcmp(elementPath, "ListBucketResult/EncodingType")) {
        append_cut(&lbData->encodingType, kEncodingTypeSize, data, dataLen);
    } else if (!strcmp(elementPath, "ListBucketResult/CommonPrefixes/Prefix")) {
        ListedEntry &entry = open_entry(lbData, true);
        entry.key.append(data, static_cast<size_t>(dataLen));
        if (entry.key.size() > kCommonPrefixSize * kEncodedFactor) {
            return S3StatusXmlParseFailure;
        }
    } else if (!strncmp(elementPath, kContents, kContentsLen)) {
        const char *field = elementPath + kContentsLen;
        ListedEntry &entry = open_entry(lbData, false);
        if (!strcmp(field, "Key")) {
            append_cut(&entry.key, kKeySize * kEncodedFactor, data, dataLen);
        } else if (!strcmp(field, "LastModified")) {
            append_cut(&lbData->lastModified, kLastModifiedSize, data, dataLen);
        } else if (!strcmp(field, "ETag")) {
            append_cut(&entry.eTag, kETagSize, data, dataLen);
        } else if (!strcmp(field, "Size")) {
            append_cut(&lbData->size, kSizeSize, data, dataLen);
        } else if (!strcmp(field, "Owner/ID")) {
            append_cut(&entry.ownerId, kOwnerIdSize, data, dataLen);
        } else if (!strcmp(field, "Owner/DisplayName")) {
            append_cut(&entry.ownerDisplayName, kOwnerDisplayNameSize, data, dataLen);
        }
    }
    return S3StatusOK;
}

// Hands the page to the caller: a batch whenever 32 objects or 8 prefixes
// have gathered, and the rest at the end.  The first refusal stops it.
S3Status deliver_page(ListBucketData *lbData)
{
    const bool decode = lbData->encodingType == "url";
    auto text = [decode](const std::string &raw, size_t capacity) {
        return decode ? url_decode(raw, capacity) : cut(raw, capacity);
    };
    const int isTruncated = (lbData->isTruncated == "true" || lbData->isTruncated == "1");
    const std::string nextMarker = text(lbData->nextMarker, kNextMarkerSize);

    std::vector<std::string> keys, prefixes;
    std::vector<const ListedEntry *> objects;
    auto deliver = [&]() {
        S3ListBucketContent contents[kListBatchContents];
        for (size_t i = 0; i < objects.size(); i++) {
            const ListedEntry &src = *objects[i];
            S3ListBucketContent &dst = contents[i];
            dst.key = keys[i].c_str();
            dst.lastModified = src.lastModified;
            dst.eTag = src.eTag.c_str();
            dst.size = src.size;
            dst.ownerId = src.ownerId.empty() ? nullptr : src.ownerId.c_str();
            dst.ownerDisplayName =
                src.ownerDisplayName.empty() ? nullptr : src.ownerDisplayName.c_str();
        }
        const char *commonPrefixes[kListBatchPrefixes];
        for (size_t i = 0; i < prefixes.size(); i++) {
            commonPrefixes[i] = prefixes[i].c_str();
        }
        S3Status status = lbData->listBucketCallback(
            isTruncated, nextMarker.c_str(), static_cast<int>(objects.size()), contents,
            static_cast<int>(prefixes.size()), commonPrefixes, lbData->caller.callbackData);
        objects.clear();
        keys.clear();
        prefixes.clear();
        return status;
    };

    for (const ListedEntry &entry : lbData->entries) {
        if (entry.isPrefix) {
            prefixes.push_back(text(entry.key, kCommonPrefixSize));
        } else {
            objects.push_back(&entry);
            keys.push_back(text(entry.key, kKeySize));
        }
        if (objects.size() == kListBatchContents || prefixes.size() == kListBatchPrefixes) {
            S3Status status = deliver();
            if (status != S3StatusOK) {
                return status;
            }
        }
    }
    if (!objects.empty() || !prefixes.empty()) {
        return deliver();
    }
    return S3StatusOK;
}

S3Status list_bucket_data_callback(int bufferSize, const char *buffer, void *callbackData)
{
    ListBucketData *lbData = static_cast<ListBucketData *>(callbackData);
    return simplexml_add(&lbData->simpleXml, buffer, bufferSize);
}

// A page counts only when its document is complete and is a listing: an
// answer cut short, an HTML page, an error document or no body at all is a
// failed listing (S3StatusXmlParseFailure), never an empty or shorter page.
void list_bucket_complete_callback(S3Status requestStatus, const S3ErrorDetails *s3ErrorDetails,
                                void *callbackData)
{
    ListBucketData *lbData = static_cast<ListBucketData *>(callbackData);
    if (requestStatus == S3StatusOK) {
        requestStatus = simplexml_finish(&lbData->simpleXml);
        if (requestStatus == S3StatusOK && !lbData->complete) {
            requestStatus = S3StatusXmlParseFailure;
        }
        // In a page that is not URL-encoded, "%01" would be read as three
        // characters of a key: such a page still cannot be read.
        if (requestStatus == S3StatusOK && lbData->simpleXml.controlReferencesEscaped &&
            lbData->encodingType != "url") {
            requestStatus = S3StatusXmlParseFailure;
        }
        if (requestStatus == S3StatusOK) {
            requestStatus = deliver_page(lbData);
        }
    }
    lbData->caller.completeCallback(requestStatus, s3ErrorDetails, lbData->caller.callbackData);
    simplexml_deinitialize(&lbData->simpleXml);
    delete lbData;
}

// Appends "name=" and the URL-encoded value to the query string; false when
// the value or the whole string is too long.
bool append_query_param(char *queryParams, int *len, const char *name, const char *value)
{
    char encoded[3 * kMaxQueryParamValueSize + 1];
    if (!url_encode(encoded, value, kMaxQueryParamValueSize)) {
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
    // Keys come back URL-encoded, so that any byte of a key survives the XML.
    fits = fits && append_query_param(queryParams, &len, "encoding-type", "url");
    if (!fits) {
        handler->responseHandler.completeCallback(S3StatusQueryParamsTooLong, nullptr,
                                                  callbackData);
        return;
    }

    ListBucketData *lbData = new (std::nothrow) ListBucketData();
    if (!lbData) {
        handler->responseHandler.completeCallback(S3StatusOutOfMemory, nullptr, callbackData);
        return;
    }
    caller_handler_set(&lbData->caller, &handler->responseHandler, callbackData);
    lbData->listBucketCallback = handler->listBucketCallback;
    // Room for the whole page at once: a page is held until its document
    // ends, and memory not reached by a shorter page is never touched.
    if (maxkeys > 0) {
        try {
            lbData->entries.reserve(static_cast<size_t>(std::min(maxkeys, 1000)));
        } catch (const std::bad_alloc &) {
            // the page grows as it comes instead
        }
    }
    simplexml_initialize(&lbData->simpleXml, &list_bucket_xml_callback, lbData);
    // A store that leaves NextMarker unencoded writes a control byte in it as
    // a character reference XML forbids; in a URL-encoded page that reads
    // as the byte's URL encoding.
    simplexml_escape_control_references(&lbData->simpleXml);

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypeGET;
    params.bucketContext = *bucketContext;
    params.key = nullptr;
    params.queryParams = queryParams;
    params.propertiesCallback = &forward_properties;
    params.fromS3Callback = &list_bucket_data_callback;
    params.completeCallback = &list_bucket_complete_callback;
    params.callbackData = lbData;
    request_perform(&params, requestContext);
}
