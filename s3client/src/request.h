// request.h: the internal description of one request and its composition.
//
// An operation fills a RequestParams; the composition turns it into header
// lines, canonical forms, the signed Authorization header and the URI, all in
// the fixed buffers of a RequestComputedValues.  Nothing here keeps state
// between requests.
#pragma once

#include <stdint.h>

#include "s3client.h"
#include "util.h"

// ---- composition ----
//
// request_compose.cpp composes the headers, the key and the URI and picks the
// signature; sign_v2.cpp and sign_v4.cpp sign.

typedef enum
{
    HttpRequestTypeGET    = 0,
    HttpRequestTypeHEAD   = 1,
    HttpRequestTypePUT    = 2,
    HttpRequestTypeCOPY   = 3,
    HttpRequestTypeDELETE = 4
} HttpRequestType;

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
    const S3GetConditions *getConditions;   // may be NULL
    uint64_t startByte;
    uint64_t byteCount;                     // 0: to the end
    const S3PutProperties *putProperties;   // may be NULL
    S3ResponsePropertiesCallback propertiesCallback;
    S3PutObjectDataCallback toS3Callback;
    int64_t toS3CallbackTotalSize;
    S3GetObjectDataCallback fromS3Callback;
    S3ResponseCompleteCallback completeCallback;
    void *callbackData;
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
// The longest sub-resource word a canonical resource or URI makes room for.
#define MAX_SUB_RESOURCE_LENGTH ((int) sizeof("location") - 1)
// "/" bucket "/" encoded key "?" sub-resource, and the terminator.
#define MAX_CANONICALIZED_RESOURCE_SIZE \
    (1 + S3_MAX_BUCKET_NAME_SIZE + 1 + (MAX_URLENCODED_KEY_SIZE - 1) + 1 + \
     MAX_SUB_RESOURCE_LENGTH + 1)                                  // 3339
// One standard header line ("Content-Type: ...", "Range: ...").
#define HEADER_LINE_SIZE 128
// The V2 string to sign: the method and its line feed (17), the Content-MD5
// and Content-Type values with their line feeds (129 each), the empty date
// line (1), the canonical headers and resource without their terminators,
// and a terminator.
#define STRING_TO_SIGN_SIZE \
    (17 + 129 + 129 + 1 + (AMZ_HEADERS_RAW_SIZE - 1) + \
     (MAX_CANONICALIZED_RESOURCE_SIZE - 1) + 1)                    // 6383
// The request URI: "https://" (8), host, bucket, "/", the encoded key's
// buffer (terminator included), "?torrent" (8), and two bytes to spare.
#define MAX_URI_SIZE \
    (8 + S3_MAX_HOSTNAME_SIZE + S3_MAX_BUCKET_NAME_SIZE + 1 + \
     MAX_URLENCODED_KEY_SIZE + 8 + 1 + 1)                          // 3602
// "Host: " and the host a V4 request signs: the bucket, a dot and the
// endpoint for a virtual-host address.
#define HOST_HEADER_SIZE \
    ((int) sizeof("Host: ") + S3_MAX_BUCKET_NAME_SIZE + 1 + S3_MAX_HOSTNAME_SIZE)
// The Authorization line.  V2 cuts its line at HEADER_LINE_SIZE, as it
// always has; V4 names every signed header, so it gets room for all the
// "x-amz-" header names and the fixed parts (credential scope, signature).
#define AUTHORIZATION_HEADER_SIZE (AMZ_HEADERS_RAW_SIZE + 1024)
// "x-amz-date" of V4: "yyyymmddThhmmssZ" and its terminator.
#define V4_DATE_SIZE 17
// The user agent: at most 255 characters.
#define USER_AGENT_SIZE 256
// The CA bundle path of S3_set_ca_file.
#define CA_FILE_SIZE 4096

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

// The "x-amz-" headers: metadata (names lower-cased, no prefix added), the
// canned ACL, the date, and for a copy the copy source and directive.
S3Status compose_amz_headers(const RequestParams *params,
                             RequestComputedValues *values);

// The eleven standard header fields other than authorizationHeader.
S3Status compose_standard_headers(const RequestParams *params,
                                  RequestComputedValues *values);

// urlEncodedKey from params->key; S3StatusUriTooLong above S3_MAX_KEY_SIZE.
// V2 keeps its own encoding (urlEncode); V4 encodes every byte but the
// unreserved ones and "/" (uriEncode), the form the service signs, so that
// the path sent and the path signed are the same text.
S3Status encode_key(const RequestParams *params,
                    RequestComputedValues *values);

// ---- V2 signature (sign_v2.cpp) ----

// canonicalizedAmzHeaders from amzHeaders: one "name:value" line per
// distinct name, in name order, repeated names joined with ",".
void canonicalize_amz_headers(RequestComputedValues *values);

// "/bucket" (when named), "/", the encoded key, "?subResource" (when given),
// into buffer of MAX_CANONICALIZED_RESOURCE_SIZE bytes.
void canonicalize_resource(const char *bucketName, const char *subResource,
                           const char *urlEncodedKey, char *buffer);

// Writes the string to sign into buffer (bufferSize bytes, cut to fit) and
// returns its length.
int compose_string_to_sign(const RequestParams *params,
                           const RequestComputedValues *values,
                           char *buffer, int bufferSize);

// authorizationHeader: "Authorization: AWS <key id>:<signature>", from the
// canonical headers and resource.
S3Status sign_v2_auth_header(const RequestParams *params,
                             RequestComputedValues *values);

// The V2 pre-signed URI ("AWSAccessKeyId=...&Expires=...&Signature=...").
S3Status sign_v2_query_string(char *buffer,
                              const S3BucketContext *bucketContext,
                              const char *key, int64_t expires,
                              const char *resource);

// ---- V4 signature (sign_v4.cpp) ----

// The hex SHA-256 of an empty body.
#define V4_EMPTY_PAYLOAD_HASH \
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
#define V4_UNSIGNED_PAYLOAD "UNSIGNED-PAYLOAD"
// The signed header names, ";"-separated: host, the "x-amz-" names and the
// three standard ones, with room to spare.
#define V4_SIGNED_HEADERS_SIZE (AMZ_HEADERS_RAW_SIZE + 256)
// The canonical request: method, path, the query re-encoded (which may
// triple it), every signed header line, the signed names, the payload hash.
#define V4_CANONICAL_REQUEST_SIZE \
    (16 + MAX_URI_SIZE + 3 * MAX_URI_SIZE + HOST_HEADER_SIZE + \
     AMZ_HEADERS_RAW_SIZE + 3 * HEADER_LINE_SIZE + V4_SIGNED_HEADERS_SIZE + 128)
// "AWS4-HMAC-SHA256", the date, the scope and the hash, one per line.
#define V4_STRING_TO_SIGN_SIZE 512

// The region a V4 context signs for: its own, or "us-east-1".
const char *v4_region(const S3BucketContext *bucketContext);

// "yyyymmddThhmmssZ" of t in UTC into out (V4_DATE_SIZE bytes).
void v4_format_date(char *out, int64_t t);

// The x-amz-content-sha256 value of a request: the caller's SHA-256 of the
// body (S3PutProperties.payloadSha256), V4_UNSIGNED_PAYLOAD for a body
// without one, V4_EMPTY_PAYLOAD_HASH when there is no body.  NULL when the
// caller's hash is not 64 lower-case hex digits.
const char *v4_payload_hash(const RequestParams *params);

// One request as V4 signs it.  header lines are "Name: value" (any case,
// any blanks around the value); query is as it appears after "?" (or NULL).
typedef struct V4Request
{
    const char *method;
    const char *path;                 // as sent, already encoded
    const char *query;                // may be NULL
    const char *const *headerLines;
    int headerCount;
    const char *payloadHash;
    const char *amzDate;              // "yyyymmddThhmmssZ"
    const char *region;
    const char *secretAccessKey;
} V4Request;

// What signing one request gives; the texts are terminated.
typedef struct V4Signature
{
    char canonicalRequest[V4_CANONICAL_REQUEST_SIZE];
    char signedHeaders[V4_SIGNED_HEADERS_SIZE];
    char stringToSign[V4_STRING_TO_SIGN_SIZE];
    char signature[SHA256_HEX_SIZE];
} V4Signature;

// Canonical request, string to sign and signature of request.
// S3StatusHeadersTooLong when a text does not fit its buffer.
S3Status v4_sign(const V4Request *request, V4Signature *signature);

// "AWS4-HMAC-SHA256 Credential=ID/DATE/REGION/s3/aws4_request,
// SignedHeaders=...,Signature=..." into buffer; false when it does not fit.
bool v4_authorization(char *buffer, int bufferSize, const char *accessKeyId,
                      const char *amzDate, const char *region,
                      const V4Signature *signature);

// hostHeader and authorizationHeader of a composed V4 request.
S3Status sign_v4_auth_header(const RequestParams *params,
                             RequestComputedValues *values);

// The V4 pre-signed URI (X-Amz-Algorithm ... X-Amz-Signature); the expiry
// is what is left until expires, at most 604800 seconds.
S3Status sign_v4_query_string(char *buffer,
                              const S3BucketContext *bucketContext,
                              const char *key, int64_t expires,
                              const char *resource);

// ---- both ----

// Whether a context asks for V4 (any other value, and zero, is V2).
bool uses_signature_v4(const S3BucketContext *bucketContext);

// authorizationHeader (and for V4 hostHeader) by the context's signature.
S3Status compose_auth_header(const RequestParams *params,
                             RequestComputedValues *values);

// All composition steps in order: amz headers, standard headers, key, the
// signature (V2: canonical headers and resource first), and last the empty
// "x-amz-" values turned into libcurl's "name;".  Stops at the first failure.
S3Status request_compose(const RequestParams *params,
                         RequestComputedValues *values);

// The request URI into buffer; S3StatusUriTooLong when it needs bufferSize
// characters or more.
S3Status compose_uri(char *buffer, int bufferSize,
                     const S3BucketContext *bucketContext,
                     const char *urlEncodedKey, const char *subResource,
                     const char *queryParams);

// "GET", "HEAD", "PUT" (also for a copy) or "DELETE".
const char *http_request_type_to_verb(HttpRequestType requestType);

// The clock of the "x-amz-date" header; time(NULL) unless a test pins it.
// Not thread-safe to change while requests are composed.
extern int64_t (*compose_clockG)(void);

// ---- execution ----

// The request layer's process-wide state (request.cpp): the default host
// and the user agent, set by request_api_initialize.
extern char defaultHostNameG[S3_MAX_HOSTNAME_SIZE];
extern char userAgentG[USER_AGENT_SIZE];

// "Mozilla/4.0 (Compatible; <info>; strato 2.0; <sysname> <machine>)" into
// buffer; info NULL or "" reads "Unknown", sysname NULL (uname failed) gives
// the platform "Unknown", an empty machine drops it and its space.
void compose_user_agent(char *buffer, int bufferSize,
                        const char *userAgentInfo, const char *sysname,
                        const char *machine);

// The set-up of the request layer, the work of the first S3_initialize: the
// HTTP library (flags as S3_initialize's), the default host (NULL:
// S3_DEFAULT_HOSTNAME; S3StatusUriTooLong when too long), the user agent and
// the request pool.  A failed call leaves the pool unprepared and may simply
// be repeated.  request_api_deinitialize, the work of the last
// S3_deinitialize, destroys the pool's mutex and every pooled request.
S3Status request_api_initialize(const char *userAgentInfo, int flags,
                                const char *defaultHostName);
void request_api_deinitialize(void);

// The settings behind S3_set_ca_file, S3_set_timeouts and S3_set_trace; they
// apply to requests configured afterwards.
S3Status request_set_ca_file(const char *caFile);
void request_set_timeouts(long connectTimeoutSeconds, long requestTimeoutSeconds);
void request_set_trace(int enabled);
// The CA bundle given to S3_set_ca_file, or NULL for the system's store.
const char *request_ca_file(void);


#include <stdio.h>

#include <curl/curl.h>

#include "error_parser.h"
#include "response_headers_handler.h"

// Finished requests kept, with their easy handles, for reuse.
#define REQUEST_STACK_SIZE 32

// One request in flight.  Allocated by request_get (or taken from the pool),
// owned by the request in progress until request_finish hands it back to the
// pool, which owns it until it is reused or destroyed.
typedef struct Request
{
    // Links of a request context's circular list; NULL otherwise.
    struct Request *prev, *next;
    // The first status other than S3StatusOK sticks.
    S3Status status;
    // The HTTP status: latched by request_headers_done, then replaced by the
    // status of the final response once it is known (body or finish).
    int httpResponseCode;
    // Every request header line; freed when the request is reused or destroyed.
    struct curl_slist *headers;
    CURL *curl;
    char uri[MAX_URI_SIZE];
    S3ResponsePropertiesCallback propertiesCallback;
    S3PutObjectDataCallback toS3Callback;
    int64_t toS3CallbackBytesRemaining;
    S3GetObjectDataCallback fromS3Callback;
    S3ResponseCompleteCallback completeCallback;
    void *callbackData;
    ResponseHeadersHandler responseHeadersHandler;
    // Set once request_headers_done has run.
    int propertiesCallbackMade;
    // PUT or copy: the status is latched when the body is first asked for,
    // before the answer, so the properties callback is never made.
    int isUpload;
    // Its s3ErrorDetails go to the complete callback.
    ErrorParser errorParser;
} Request;

// Requests in flight on one libcurl multi handle, whose connection cache
// they share; run from the caller's thread by context.cpp.  Created and
// destroyed by its owner; a request queued on it is owned by it until its
// complete callback has run.
struct S3RequestContext
{
    CURLM *curlm;
    Request *requests; // head of a circular doubly linked list, or NULL
    int requestCount;  // requests linked
    int maxConnects;   // connections the multi handle keeps: the most linked
    // Set while the context is being destroyed: a request queued then (by a
    // complete callback) ends at once with S3StatusInterrupted.
    int closing;
};

// Links a request whose handle was added to the context's multi handle at
// the tail of its list; unlinks one.
void request_context_link(S3RequestContext *context, Request *request);
void request_context_unlink(S3RequestContext *context, Request *request);

// Validates, composes and signs the request, then runs it (no context) or
// queues it (context).  Every outcome goes to params->completeCallback,
// exactly once; with null error details when no request object came to be.
void request_perform(const RequestParams *params, S3RequestContext *context);

// Decides the final status, calls the complete callback, releases the request.
void request_finish(Request *request);

// A configured request for params, from the pool or new.
S3Status request_get(const RequestParams *params,
                     const RequestComputedValues *values,
                     Request **reqReturn);
// Back to the pool, or destroyed when the pool is full.
void request_release(Request *request);
void request_destroy(Request *request);

S3Status request_curl_code_to_status(CURLcode code);
// The status for an HTTP status outside 200-299 that came without an error code.
S3Status request_http_status_to_status(int httpResponseCode);

// One piece of libcurl's trace, written as libcurl's own verbose mode does
// ("* " information, "> " the request head, "< " a response header; body
// bytes not at all) with every signature replaced by "<redacted>": the V2
// "Authorization: AWS id:SIGNATURE", and the value of any "Signature=" (the
// V4 header, a pre-signed Signature or X-Amz-Signature query value).
void request_trace_write(FILE *out, curl_infotype type, const char *data, size_t size);

// Number of requests held by the pool.
int request_pool_count(void);
