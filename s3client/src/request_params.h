// request_params.h: the records describing one request: what it asks for and what is composed for it.
#pragma once

#include <stdint.h>

#include "s3client.h"

typedef enum
{
    HttpRequestTypeGET    = 0,
    HttpRequestTypeHEAD   = 1,
    HttpRequestTypePUT    = 2,
    HttpRequestTypeCOPY   = 3,
    HttpRequestTypeDELETE = 4,
    HttpRequestTypePOST   = 5   // with a body from toS3Callback, as PUT
} HttpRequestType;

// A request its operation composed and signed itself (a request to another
// service): sent to uri with exactly these header lines, nothing composed
// from the bucket context.  Its trace is never written (the lines carry the
// signature and any session token), and every answer body, whatever its
// HTTP status, goes to fromS3Callback: only the operation knows the
// service's error document, so it also judges the HTTP status of a whole
// answer (the request itself ends with S3StatusOK for any answer that
// arrived whole).  The texts are read during the set-up of the request only.
typedef struct PreparedRequest
{
    const char *uri;
    const char *const *headerLines;
    int headerCount;
} PreparedRequest;

// One request as an operation describes it.  Every pointer is borrowed from
// the caller; the texts are read during composition only, the callbacks and
// callbackData are used until the complete callback has run.
typedef struct RequestParams
{
    HttpRequestType httpRequestType;
    S3BucketContext bucketContext;          // held by value
    const char *key;                        // not yet encoded, may be NULL
    const char *queryParams;                // encoded, without "?", may be NULL
    const char *subResource;                // without "?", may be NULL
    const char *copySourceBucketName;       // may be NULL
    const char *copySourceKey;              // may be NULL
    const char *copySourceRange;            // "bytes=A-B" of a copy in parts, may be NULL
    const S3GetConditions *getConditions;   // may be NULL
    uint64_t startByte;
    uint64_t byteCount;                     // 0: to the end
    const S3PutProperties *putProperties;   // may be NULL
    S3ResponsePropertiesCallback propertiesCallback;
    S3PutObjectDataCallback toS3Callback;
    int64_t toS3CallbackTotalSize;
    S3PutObjectRewindCallback toS3RewindCallback;  // may be NULL
    S3ResponsePropertiesCallback uploadAnswerCallback; // may be NULL: an accepted upload's headers
    S3GetObjectDataCallback fromS3Callback;
    S3ResponseCompleteCallback completeCallback;
    void *callbackData;
    const PreparedRequest *prepared;        // NULL: an S3 request, composed here
} RequestParams;

// Buffer sizes of the composition, terminators included.

// The "x-amz-" header table: every metadata header the response table can
// hold, and the ACL and date headers (more, as V4's payload hash or a
// copy's headers would need, are refused as too long).
#define MAX_AMZ_HEADERS (S3_MAX_METADATA_COUNT + 2)          // 159
// The packed "x-amz-" headers: 157 metadata headers of the shortest form
// "x-amz-meta-n: v" with their terminators (16 bytes each), 256 bytes for
// the ACL, date, payload-hash and copy headers, and a final terminator.
#define AMZ_HEADERS_RAW_SIZE \
    (S3_MAX_METADATA_COUNT * (int) sizeof(S3_METADATA_HEADER_NAME_PREFIX "n: v") + 256 + 1) // 2769
// A metadata header name alone.
#define METADATA_NAME_BUFFER_SIZE (S3_MAX_METADATA_SIZE - 4)  // 2044
// Every key byte may become "%XX".
#define MAX_URLENCODED_KEY_SIZE (3 * S3_MAX_KEY_SIZE + 1)     // 3073
// The longest sub-resource a canonical resource or URI makes room for: a
// part's number and its upload's id, every byte of which may be encoded.
#define MAX_SUB_RESOURCE_LENGTH \
    ((int) sizeof("partNumber=10000&uploadId=") - 1 + 3 * S3_MAX_UPLOAD_ID_SIZE)
// "/" bucket "/" encoded key "?" sub-resource, and the terminator.
#define MAX_CANONICALIZED_RESOURCE_SIZE \
    (1 + S3_MAX_BUCKET_NAME_SIZE + 1 + (MAX_URLENCODED_KEY_SIZE - 1) + 1 + \
     MAX_SUB_RESOURCE_LENGTH + 1)                                  // 6429
// One standard header line ("Content-Type: ...", "Range: ..."): the longest
// fixed part ("Content-Disposition: attachment; filename=\"" and "\"", 44
// characters, with room to spare), a value of S3_MAX_HEADER_VALUE_SIZE
// characters, and the terminator.
#define HEADER_LINE_SIZE (64 + S3_MAX_HEADER_VALUE_SIZE + 1)
// The V2 string to sign: the method and its line feed (17), the Content-MD5
// and Content-Type values with their line feeds, the empty date
// line (1), the canonical headers and resource without their terminators,
// and a terminator.
#define STRING_TO_SIGN_SIZE \
    (17 + 2 * (S3_MAX_HEADER_VALUE_SIZE + 1) + 1 + (AMZ_HEADERS_RAW_SIZE - 1) + \
     (MAX_CANONICALIZED_RESOURCE_SIZE - 1) + 1)
// The request URI: "https://" (8), host, bucket, "/", the encoded key's
// buffer (terminator included), "?" and the longest sub-resource, and two
// bytes to spare.
#define MAX_URI_SIZE \
    (8 + S3_MAX_HOSTNAME_SIZE + S3_MAX_BUCKET_NAME_SIZE + 1 + \
     MAX_URLENCODED_KEY_SIZE + 1 + MAX_SUB_RESOURCE_LENGTH + 1 + 1)
// "Host: " and the host a V4 request signs: the bucket, a dot and the
// endpoint for a virtual-host address.
#define HOST_HEADER_SIZE \
    ((int) sizeof("Host: ") + S3_MAX_BUCKET_NAME_SIZE + 1 + S3_MAX_HOSTNAME_SIZE)
// The Authorization line.  V4 names every signed header, so it gets room for
// all the "x-amz-" header names and the fixed parts (credential scope,
// signature) besides an access key id of S3_MAX_ACCESS_KEY_ID_SIZE
// characters; V2's line ("AWS", the key id, a colon, 28 characters) fits
// easily.
#define AUTHORIZATION_HEADER_SIZE (AMZ_HEADERS_RAW_SIZE + 1024 + S3_MAX_ACCESS_KEY_ID_SIZE)
// "x-amz-date" of V4: "yyyymmddThhmmssZ" and its terminator.
#define V4_DATE_SIZE 17

// Everything composed for one request; lives on the stack of the request's
// set-up and is not kept afterwards.
typedef struct RequestComputedValues
{
    // Pointers into amzHeadersRaw, one complete "name: value" header each,
    // in composition order.  request_compose leaves them as handed to
    // libcurl: a header with an empty value reads "name;", libcurl's way of
    // sending it empty (a bare "name:" would make libcurl drop it).
    char *amzHeaders[MAX_AMZ_HEADERS];
    int amzHeadersCount;
    char amzHeadersRaw[AMZ_HEADERS_RAW_SIZE];
    char canonicalizedAmzHeaders[AMZ_HEADERS_RAW_SIZE];
    char urlEncodedKey[MAX_URLENCODED_KEY_SIZE];
    char canonicalizedResource[MAX_CANONICALIZED_RESOURCE_SIZE];
    // One complete standard header line each, or "" when not sent.
    char cacheControlHeader[HEADER_LINE_SIZE];
    char contentTypeHeader[HEADER_LINE_SIZE];
    char md5Header[HEADER_LINE_SIZE];
    char contentDispositionHeader[HEADER_LINE_SIZE];
    char contentEncodingHeader[HEADER_LINE_SIZE];
    char contentLanguageHeader[HEADER_LINE_SIZE];
    char expiresHeader[HEADER_LINE_SIZE];
    char ifModifiedSinceHeader[HEADER_LINE_SIZE];
    char ifUnmodifiedSinceHeader[HEADER_LINE_SIZE];
    char ifMatchHeader[HEADER_LINE_SIZE];
    char ifNoneMatchHeader[HEADER_LINE_SIZE];
    char rangeHeader[HEADER_LINE_SIZE];
    // V4 only: the Host line that was signed, sent in place of libcurl's own
    // so that the two cannot differ; "" for V2, which leaves Host to libcurl.
    char hostHeader[HOST_HEADER_SIZE];
    // V4 only: the time of x-amz-date, which the signature's scope repeats.
    char v4Date[V4_DATE_SIZE];
    char authorizationHeader[AUTHORIZATION_HEADER_SIZE];
} RequestComputedValues;
