// transfer_callbacks.h: what libcurl calls during a transfer: the response
// headers, the upload body, the response body, and the one moment the
// response's status and headers are latched.
#pragma once

#include <stddef.h>

#include "request_record.h"

// Whether an HTTP status is a success (200 to 299).
bool is_success(int httpResponseCode);

// The HTTP status of the last response libcurl has received, or 0.
int current_response_code(Request *request);

// Latches the HTTP status known so far, closes the header collection and, for
// a success, calls the properties callback.  Runs once per request.
void request_headers_done(Request *request);

// CURLOPT_HEADERFUNCTION, CURLOPT_READFUNCTION and CURLOPT_WRITEFUNCTION;
// their data is the Request.
size_t curl_header_func(char *ptr, size_t size, size_t nmemb, void *data);
size_t curl_read_func(char *ptr, size_t size, size_t nmemb, void *data);
size_t curl_write_func(char *ptr, size_t size, size_t nmemb, void *data);
// CURLOPT_SEEKFUNCTION: libcurl asks to send the body again from its start;
// only the caller's rewind callback can say yes.
int curl_seek_func(void *data, curl_off_t offset, int origin);
