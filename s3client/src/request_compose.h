// request_compose.h: the composition of one request (request_params.h)
// into header lines, the encoded key and the URI.
//
// An operation fills a RequestParams; the composition turns it into the fixed
// buffers of a RequestComputedValues and has it signed (signature.h).  The
// composition reads the default host and the clock and writes nothing else.
#pragma once

#include <stdint.h>

#include "request_params.h"
#include "s3client.h"
#include "util.h"

// The "x-amz-" headers: metadata (names lower-cased, no prefix added), the
// canned ACL, the date, and for a copy the copy source and directive.
S3Status compose_amz_headers(const RequestParams *params,
                             RequestComputedValues *values);

// The eleven standard header fields other than authorizationHeader.
S3Status compose_standard_headers(const RequestParams *params,
                                  RequestComputedValues *values);

// urlEncodedKey from params->key; S3StatusUriTooLong above S3_MAX_KEY_SIZE.
// V2 keeps its own encoding (url_encode); V4 encodes every byte but the
// unreserved ones and "/" (uri_encode), the form the service signs, so that
// the path sent and the path signed are the same text.
S3Status encode_key(const RequestParams *params,
                    RequestComputedValues *values);

// ---- the signature of a request ----

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
