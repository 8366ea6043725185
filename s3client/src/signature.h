// signature.h: the two ways a composed request is signed: version 2
// (HMAC-SHA1 over the canonical headers and resource, sign_v2.cpp) and
// version 4 (AWS4-HMAC-SHA256, sign_v4.cpp), each with its pre-signed URI.
#pragma once

#include "request_params.h"
#include "util.h"

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
// A service name of the credential scope ("s3", "cloudfront") and its
// terminator; a longer name is refused.
#define V4_SERVICE_SIZE 64

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
// service names the service of the credential scope; NULL signs for S3.
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
    const char *service = nullptr;    // nullptr: "s3"
} V4Request;

// What signing one request gives; the texts are terminated.
typedef struct V4Signature
{
    char canonicalRequest[V4_CANONICAL_REQUEST_SIZE];
    char signedHeaders[V4_SIGNED_HEADERS_SIZE];
    char stringToSign[V4_STRING_TO_SIGN_SIZE];
    char signature[SHA256_HEX_SIZE];
    char service[V4_SERVICE_SIZE];    // the service signed for
} V4Signature;

// Canonical request, string to sign and signature of request.
// S3StatusHeadersTooLong when a text does not fit its buffer (also a service
// name of V4_SERVICE_SIZE characters or more, or one holding a "/").
S3Status v4_sign(const V4Request *request, V4Signature *signature);

// "AWS4-HMAC-SHA256 Credential=ID/DATE/REGION/SERVICE/aws4_request,
// SignedHeaders=...,Signature=..." into buffer, SERVICE the one signature
// was made for; false when it does not fit.
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
