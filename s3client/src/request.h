// request.h: the execution of one request (request_record.h): running it
// with libcurl, deciding its final status and reporting it to the caller.
#pragma once

#include <curl/curl.h>

#include "request_params.h"
#include "request_record.h"

// Validates, composes and signs the request, then runs it (no context) or
// queues it (context).  Every outcome goes to params->completeCallback,
// exactly once; with null error details when no request object came to be.
void request_perform(const RequestParams *params, S3RequestContext *context);

// Decides the final status, calls the complete callback, releases the request.
void request_finish(Request *request);

// Complete callbacks running now (on this thread; the client is used from
// one thread at a time).
int request_callback_depth(void);
// Has teardown run once the outermost complete callback has returned and
// its request is released; NULL cancels a teardown still waiting.
void request_defer_until_idle(void (*teardown)(void));

// The properties of a request whose body is an XML document held in memory
// (a bucket's website, a multi-object delete, the join of an upload's parts):
// an XML type of its own (else libcurl would send a form's, unsigned), its
// Content-MD5 and V4 payload hash (body_digests; both must outlive the
// request), and no ACL header.
void xml_body_properties(S3PutProperties *properties, const char *md5Base64, const char *sha256Hex);

S3Status request_curl_code_to_status(CURLcode code);
// The status for an HTTP status outside 200-299 that came without an error code.
S3Status request_http_status_to_status(int httpResponseCode);
