// response_headers_handler.cpp - turns raw response header lines into the
// S3ResponseProperties record: the few known headers, and the "x-amz-meta-"
// headers as metadata pairs. Texts that do not fit their store are cut or
// dropped; nothing here is ever an error.
#include "response_headers_handler.h"

#include <cstring>

namespace {

bool is_blank_char(char c) { return c == ' ' || c == '\t'; }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whole-name comparison ignoring ASCII case (header names are case-insensitive).
bool name_equals(const char *name, int nameLen, const char *known)
{
    int knownLen = static_cast<int>(strlen(known));
    if (nameLen != knownLen) {
        return false;
    }
    for (int i = 0; i < nameLen; i++) {
        if (ascii_lower(name[i]) != ascii_lower(known[i])) {
            return false;
        }
    }
    return true;
}

bool name_has_prefix(const char *name, int nameLen, const char *prefix)
{
    int prefixLen = static_cast<int>(strlen(prefix));
    if (nameLen < prefixLen) {
        return false;
    }
    for (int i = 0; i < prefixLen; i++) {
        if (ascii_lower(name[i]) != ascii_lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

// Appends text (len bytes, cut to kResponsePropertySize) and its terminator
// to the property store and returns where it was put; a text that does not
// fit is cut to the room left, and the store is then full. Returns null when
// the store is already full.
const char *store_property(ResponseHeadersHandler *handler, const char *text, int len)
{
    int room = kResponsePropertyStringsSize - handler->responsePropertyStringsSize;
    if (room <= 0) {
        return nullptr;
    }
    if (len > kResponsePropertySize) {
        len = kResponsePropertySize;
    }
    if (len > room - 1) {
        len = room - 1;
    }
    char *dest = handler->responsePropertyStrings + handler->responsePropertyStringsSize;
    memcpy(dest, text, static_cast<size_t>(len));
    dest[len] = '\0';
    handler->responsePropertyStringsSize += len + 1;
    if (handler->responsePropertyStringsSize >= kResponsePropertyStringsSize - 1) {
        handler->responsePropertyStringsSize = kResponsePropertyStringsSize;
    }
    return dest;
}

// Appends text and its terminator to the metadata store only when it fits
// completely; otherwise the store counts as full and null is returned.
const char *store_metadata(ResponseHeadersHandler *handler, const char *text, int len)
{
    int room = kResponseMetaDataStringsSize - handler->responseMetaDataStringsSize;
    if (len + 1 > room) {
        handler->responseMetaDataStringsSize = kResponseMetaDataStringsSize;
        return nullptr;
    }
    char *dest = handler->responseMetaDataStrings + handler->responseMetaDataStringsSize;
    memcpy(dest, text, static_cast<size_t>(len));
    dest[len] = '\0';
    handler->responseMetaDataStringsSize += len + 1;
    return dest;
}

// Decimal digits only, up to the first non-digit; no digits give 0.
uint64_t parse_content_length(const char *value, int len)
{
    uint64_t result = 0;
    for (int i = 0; i < len && value[i] >= '0' && value[i] <= '9'; i++) {
        result = result * 10 + static_cast<uint64_t>(value[i] - '0');
    }
    return result;
}

} // namespace

void response_headers_handler_initialize(ResponseHeadersHandler *handler)
{
    S3ResponseProperties &props = handler->responseProperties;
    props.requestId = nullptr;
    props.requestId2 = nullptr;
    props.contentType = nullptr;
    props.contentLength = 0;
    props.server = nullptr;
    props.eTag = nullptr;
    props.lastModified = -1;
    props.metaDataCount = 0;
    props.metaData = nullptr;
    props.cacheControl = nullptr;
    props.contentEncoding = nullptr;
    props.storageClass = nullptr;
    props.contentDisposition = nullptr;
    props.contentLanguage = nullptr;
    props.expires = nullptr;
    props.serverSideEncryption = nullptr;
    props.websiteRedirectLocation = nullptr;
    handler->done = 0;
    handler->responsePropertyStringsSize = 0;
    handler->responseMetaDataStringsSize = 0;
}

void response_headers_handler_add(ResponseHeadersHandler *handler, const char *header, int len)
{
    // A full property store keeps no more texts; the metadata has its own.
    if (handler->done || len < 3) {
        return;
    }

    const char *begin = header;
    const char *end = header + len;
    // The line ends in CR LF (a bare LF is accepted as well).
    if (end > begin && end[-1] == '\n') {
        end--;
    }
    if (end > begin && end[-1] == '\r') {
        end--;
    }
    while (begin < end && is_blank_char(*begin)) {
        begin++;
    }
    while (end > begin && is_blank_char(end[-1])) {
        end--;
    }
    if (begin == end) {
        return;
    }

    const char *colon = static_cast<const char *>(memchr(begin, ':', static_cast<size_t>(end - begin)));
    const char *nameEnd = colon ? colon : end;
    const char *value = colon ? colon + 1 : end;
    while (value < end && is_blank_char(*value)) {
        value++;
    }
    int nameLen = static_cast<int>(nameEnd - begin);
    int valueLen = static_cast<int>(end - value);
    if (nameLen == 0) {
        return;
    }

    S3ResponseProperties &props = handler->responseProperties;
    if (name_equals(begin, nameLen, "x-amz-request-id")) {
        props.requestId = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "x-amz-id-2")) {
        props.requestId2 = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "Content-Type")) {
        props.contentType = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "Content-Length")) {
        props.contentLength = parse_content_length(value, valueLen);
    } else if (name_equals(begin, nameLen, "Server")) {
        props.server = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "ETag")) {
        props.eTag = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "Cache-Control")) {
        props.cacheControl = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "Content-Encoding")) {
        props.contentEncoding = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "x-amz-storage-class")) {
        props.storageClass = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "Content-Disposition")) {
        props.contentDisposition = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "Content-Language")) {
        props.contentLanguage = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "Expires")) {
        props.expires = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "x-amz-server-side-encryption")) {
        props.serverSideEncryption = store_property(handler, value, valueLen);
    } else if (name_equals(begin, nameLen, "x-amz-website-redirect-location")) {
        props.websiteRedirectLocation = store_property(handler, value, valueLen);
    } else if (name_has_prefix(begin, nameLen, S3_METADATA_HEADER_NAME_PREFIX)) {
        if (props.metaDataCount >= S3_MAX_METADATA_COUNT) {
            return;
        }
        const int prefixLen = static_cast<int>(sizeof(S3_METADATA_HEADER_NAME_PREFIX)) - 1;
        const char *metaName = store_metadata(handler, begin + prefixLen, nameLen - prefixLen);
        const char *metaValue = metaName ? store_metadata(handler, value, valueLen) : nullptr;
        if (!metaValue) {
            return; // the pair is dropped; the store now counts as full
        }
        S3NameValue &pair = handler->responseMetaData[props.metaDataCount++];
        pair.name = metaName;
        pair.value = metaValue;
        props.metaData = handler->responseMetaData;
    }
}

void response_headers_handler_done(ResponseHeadersHandler *handler, CURL *curl)
{
    curl_off_t fileTime = -1;
    if (curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &fileTime) == CURLE_OK) {
        handler->responseProperties.lastModified = static_cast<int64_t>(fileTime);
    }
    handler->done = 1;
}
