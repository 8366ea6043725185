// response_headers_handler.h - collects the response headers of one request
// into the S3ResponseProperties record handed to the properties callback.
//
// Ownership: the handler lives inside its Request; every text the record
// points to lives in the handler's two fixed stores and is valid until the
// handler is initialised again.
#pragma once

#include <curl/curl.h>

#include "s3client.h"

// Store of request id, second request id, content type, server, ETag,
// Cache-Control, Content-Encoding, storage class, Content-Disposition,
// Content-Language, Expires, server-side encryption and website redirect
// location: thirteen texts of up to
// S3_MAX_HEADER_VALUE_SIZE characters (the longest value the client sends),
// each with its terminator; a longer text is cut to that size.
constexpr int kResponsePropertySize = S3_MAX_HEADER_VALUE_SIZE;
constexpr int kResponsePropertyStringsSize = 13 * (kResponsePropertySize + 1);
// Store of the metadata names and values: room for S3_MAX_METADATA_COUNT
// pairs of the size of "x-amz-meta-" "n: v" with its terminator.
constexpr int kResponseMetaDataStringsSize =
    S3_MAX_METADATA_COUNT * static_cast<int>(sizeof(S3_METADATA_HEADER_NAME_PREFIX "n: v"));

struct ResponseHeadersHandler {
    S3ResponseProperties responseProperties;
    int done;  // set once the headers are declared complete
    char responsePropertyStrings[kResponsePropertyStringsSize];
    int responsePropertyStringsSize;
    char responseMetaDataStrings[kResponseMetaDataStringsSize];
    int responseMetaDataStringsSize;
    S3NameValue responseMetaData[S3_MAX_METADATA_COUNT];
};

void response_headers_handler_initialize(ResponseHeadersHandler *handler);

// Takes one raw header line as libcurl delivers it (CR LF included).
void response_headers_handler_add(ResponseHeadersHandler *handler, const char *header, int len);

// Fills lastModified from libcurl's parse of the response and closes the
// handler: later lines are ignored.
void response_headers_handler_done(ResponseHeadersHandler *handler, CURL *curl);
