// request_trace.h: libcurl's trace of a transfer, written with every request
// signature replaced.
#pragma once

#include <stdio.h>

#include <curl/curl.h>

// One piece of libcurl's trace, written as libcurl's own verbose mode does
// ("* " information, "> " the request head, "< " a response header; body
// bytes not at all) with every secret replaced by "<redacted>": the V2
// "Authorization: AWS id:SIGNATURE", the value of any "Signature=" (the V4
// header, a pre-signed Signature or X-Amz-Signature query value), and the
// session token (the x-amz-security-token header, a pre-signed
// X-Amz-Security-Token query value).
void request_trace_write(FILE *out, curl_infotype type, const char *data, size_t size);

// The CURLOPT_DEBUGFUNCTION that writes the trace to standard error.
int request_trace_callback(CURL *curl, curl_infotype type, char *data, size_t size,
                           void *userData);
