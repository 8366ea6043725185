// request_record.h: the record of one request in flight (Request), shared by the request layer.
#pragma once

#include <stdint.h>

#include <curl/curl.h>

#include "error_parser.h"
#include "request_params.h"
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
    // Given an accepted upload's response headers at its finish; may be NULL.
    S3ResponsePropertiesCallback uploadAnswerCallback;
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
    // A prepared request (request_params.h): every answer body goes to
    // fromS3Callback, and a whole answer is no failure of the request.
    int answerToCaller;
    // Its s3ErrorDetails go to the complete callback.
    ErrorParser errorParser;
} Request;
