// transfer_callbacks.cpp: what libcurl calls during a transfer: the response
// headers into the collector, the upload body from the caller's put-data
// callback, the response body to the caller or to the error parser, and the
// latching of the response's status and headers.
#include "transfer_callbacks.h"

#include <cstdio>
#include <cstring>

bool is_success(int httpResponseCode)
{
    return httpResponseCode >= 200 && httpResponseCode <= 299;
}

// The HTTP status of the last response libcurl has received, or 0.
int current_response_code(Request *request)
{
    long code = 0;
    if (curl_easy_getinfo(request->curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
        return 0;
    }
    return static_cast<int>(code);
}

// Runs at the
// first request for body bytes, the first body bytes, or the finish.  An
// upload gets there before its answer, which is why it never makes the
// properties call; that holds even when the answer happens to arrive first.
void request_headers_done(Request *request)
{
    if (request->propertiesCallbackMade) {
        return;
    }
    request->propertiesCallbackMade = 1;
    request->httpResponseCode = 0;

    long code = 0;
    if (curl_easy_getinfo(request->curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
        if (request->status == S3StatusOK) {
            request->status = S3StatusInternalError;
        }
        return;
    }
    request->httpResponseCode = static_cast<int>(code);

    response_headers_handler_done(&request->responseHeadersHandler, request->curl);

    if (request->propertiesCallback && !request->isUpload &&
        is_success(request->httpResponseCode)) {
        S3Status status = request->propertiesCallback(
            &request->responseHeadersHandler.responseProperties, request->callbackData);
        if (request->status == S3StatusOK) {
            request->status = status;
        }
    }
}

size_t curl_header_func(char *ptr, size_t size, size_t nmemb, void *data)
{
    Request *request = static_cast<Request *>(data);
    size_t len = size * nmemb;
    // An upload closes its headers at the first request for body bytes, before
    // its answer; when the caller wants the answer's own headers, each answer
    // that comes after that is collected afresh from its status line on.
    if (request->isUpload && request->uploadAnswerCallback &&
        request->responseHeadersHandler.done && len >= 5 && !memcmp(ptr, "HTTP/", 5)) {
        response_headers_handler_initialize(&request->responseHeadersHandler);
    }
    response_headers_handler_add(&request->responseHeadersHandler, ptr, static_cast<int>(len));
    return len;
}

size_t curl_read_func(char *ptr, size_t size, size_t nmemb, void *data)
{
    Request *request = static_cast<Request *>(data);
    int64_t len = static_cast<int64_t>(size * nmemb);

    request_headers_done(request);
    if (request->status != S3StatusOK) {
        return CURL_READFUNC_ABORT;
    }
    if (!request->toS3Callback || request->toS3CallbackBytesRemaining <= 0) {
        return 0;
    }
    if (len > request->toS3CallbackBytesRemaining) {
        len = request->toS3CallbackBytesRemaining;
    }
    int given = request->toS3Callback(static_cast<int>(len), ptr, request->callbackData);
    if (given < 0) {
        request->status = S3StatusAbortedByCallback;
        return CURL_READFUNC_ABORT;
    }
    // More than was asked for counts as what was asked for, which never
    // exceeds the bytes still due.
    if (given > len) {
        given = static_cast<int>(len);
    }
    request->toS3CallbackBytesRemaining -= given;
    return static_cast<size_t>(given);
}

int curl_seek_func(void *data, curl_off_t offset, int origin)
{
    Request *request = static_cast<Request *>(data);
    // The put-data callback only streams forward: its byte 0 is the one
    // place it can go back to, and only if the caller says it can.
    if (origin != SEEK_SET || offset != 0 || !request->toS3RewindCallback ||
        request->status != S3StatusOK ||
        request->toS3RewindCallback(request->callbackData) != 0) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    request->toS3CallbackBytesRemaining = request->toS3CallbackTotalSize;
    return CURL_SEEKFUNC_OK;
}

size_t curl_write_func(char *ptr, size_t size, size_t nmemb, void *data)
{
    Request *request = static_cast<Request *>(data);
    size_t len = size * nmemb;

    request_headers_done(request);
    if (request->status != S3StatusOK) {
        return 0;
    }

    // Body bytes belong to the final response, whose headers are complete by
    // now; an upload latched its status before that response arrived, so the
    // body goes where the final response's status says.
    int code = current_response_code(request);
    if (code != 0) {
        request->httpResponseCode = code;
    }

    if (!is_success(request->httpResponseCode) && !request->answerToCaller) {
        // A body that is not an error document is no reason to cut the
        // answer short: without a code, the HTTP status decides.
        if (!request->errorBodyUnreadable) {
            const S3Status status =
                error_parser_add(&request->errorParser, ptr, static_cast<int>(len));
            if (status == S3StatusXmlParseFailure) {
                request->errorBodyUnreadable = 1;
            } else {
                request->status = status;
            }
        }
    } else if (request->fromS3Callback) {
        request->status = request->fromS3Callback(static_cast<int>(len), ptr, request->callbackData);
    } else {
        // A success response with a body that nobody asked for.
        request->status = S3StatusInternalError;
    }
    return request->status == S3StatusOK ? len : 0;
}
