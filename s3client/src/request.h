// request.h: the internal description of one request and its composition.
//
// An operation fills a RequestParams; the composition turns it into header
// lines, canonical forms, the signed Authorization header and the URI, all in
// the fixed buffers of a RequestComputedValues.  Nothing here keeps state
// between requests.
#pragma once

#include <stdint.h>

#include "s3client.h"

// ---- composition ----

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
#define MAX_AMZ_HEADERS (S3_MAX_METADATA_COUNT + 2)          // 159
#define AMZ_HEADERS_RAW_SIZE 2769       // at most 2768 bytes used
#define METADATA_NAME_BUFFER_SIZE (S3_MAX_METADATA_SIZE - 4)  // 2044
#define MAX_URLENCODED_KEY_SIZE (3 * S3_MAX_KEY_SIZE + 1)     // 3073
#define MAX_CANONICALIZED_RESOURCE_SIZE 3339
#define HEADER_LINE_SIZE 128
#define STRING_TO_SIGN_SIZE 6383
#define MAX_URI_SIZE 3602
// The user agent: at most 255 characters.
#define USER_AGENT_SIZE 256
// The CA bundle path of S3_set_ca_file.
#define CA_FILE_SIZE 4096

// Everything composed for one request; lives on the stack of the request's
// set-up and is not kept afterwards.
typedef struct RequestComputedValues
{
    // Pointers into amzHeadersRaw, one complete "name: value" header each,
    // in composition order.
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
    char authorizationHeader[HEADER_LINE_SIZE];
} RequestComputedValues;

// The "x-amz-" headers: metadata (names lower-cased, no prefix added), the
// canned ACL, the date, and for a copy the copy source and directive.
S3Status compose_amz_headers(const RequestParams *params,
                             RequestComputedValues *values);

// The eleven standard header fields other than authorizationHeader.
S3Status compose_standard_headers(const RequestParams *params,
                                  RequestComputedValues *values);

// urlEncodedKey from params->key; S3StatusUriTooLong above S3_MAX_KEY_SIZE.
S3Status encode_key(const RequestParams *params,
                    RequestComputedValues *values);

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

// authorizationHeader: "Authorization: AWS <key id>:<signature>".
S3Status compose_auth_header(const RequestParams *params,
                             RequestComputedValues *values);

// All composition steps in order: amz headers, standard headers, key,
// canonical headers, canonical resource, Authorization.  Stops at the first
// failure.
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
