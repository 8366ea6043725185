// request.h: one request in flight (Request) and its execution: running it
// with libcurl, deciding its final status and reporting it to the caller.
#pragma once

#include <curl/curl.h>

#include "error_parser.h"
#include "request_compose.h"
#include "response_headers_handler.h"

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
    int64_t toS3CallbackTotalSize;
    int64_t toS3CallbackBytesRemaining;
    // Asked to start the body again; NULL: the body cannot be sent twice.
    S3PutObjectRewindCallback toS3RewindCallback;
    S3GetObjectDataCallback fromS3Callback;
    S3ResponseCompleteCallback completeCallback;
    void *callbackData;
    ResponseHeadersHandler responseHeadersHandler;
    // Set once request_headers_done has run.
    int propertiesCallbackMade;
    // PUT or copy: the status is latched when the body is first asked for,
    // before the answer, so the properties callback is never made.
    int isUpload;
    // Set when the body of a failure is not an error document (a gateway's
    // page, plain text): the rest of it is read and dropped, and the HTTP
    // status decides.
    int errorBodyUnreadable;
    // Its s3ErrorDetails go to the complete callback.
    ErrorParser errorParser;
} Request;

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

S3Status request_curl_code_to_status(CURLcode code);
// The status for an HTTP status outside 200-299 that came without an error code.
S3Status request_http_status_to_status(int httpResponseCode);
