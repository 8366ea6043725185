// curl_setup.cpp: configures a request's easy handle: the transfer options
// and time limits, the header list built from the composed values, the URL
// and the method.
#include "curl_setup.h"

#include "client_settings.h"
#include "request_trace.h"
#include "transfer_callbacks.h"
#include "user_agent.h"

namespace {

// Low-speed abort: a transfer below this many bytes per second ...
constexpr long kLowSpeedLimit = 1024;
// ... for this many seconds is abandoned.
constexpr long kLowSpeedTime = 15;

// Built-in time limits: establishing the connection, and a whole request.
constexpr long kDefaultConnectTimeoutSeconds = 10;
constexpr long kDefaultRequestTimeoutSeconds = 300;
// Bodies from this size on ask the store for "100 Continue" before they are
// sent, so that a refusal costs no body; smaller ones go at once.
constexpr int64_t kExpectContinueThreshold = 1024 * 1024;

// The total time a request may take: the request limit, raised for a body
// by the time it takes at the low-speed floor.
long request_time_limit(int64_t bodySize)
{
    long limit = request_request_timeout() > 0 ? request_request_timeout()
                                            : kDefaultRequestTimeoutSeconds;
    if (bodySize > 0) {
        limit += static_cast<long>(bodySize / kLowSpeedLimit);
    }
    return limit;
}

// Appends one header line; false when libcurl has no memory for it.
bool append_header(Request *request, const char *line)
{
    struct curl_slist *list = curl_slist_append(request->headers, line);
    if (!list) {
        return false;
    }
    request->headers = list;
    return true;
}

S3Status build_header_list(Request *request, const RequestParams *params,
                           const RequestComputedValues *values)
{
    if (params->httpRequestType == HttpRequestTypePUT ||
        params->httpRequestType == HttpRequestTypePOST ||
        params->httpRequestType == HttpRequestTypeCOPY) {
        // An empty value keeps libcurl from sending the body in chunks.
        if (!append_header(request, "Transfer-Encoding:")) {
            return S3StatusOutOfMemory;
        }
        // A small body goes with the head: waiting for "100 Continue" would
        // cost a round trip for every upload.
        const int64_t bodySize =
            params->httpRequestType != HttpRequestTypeCOPY ? params->toS3CallbackTotalSize : 0;
        if (bodySize < kExpectContinueThreshold && !append_header(request, "Expect:")) {
            return S3StatusOutOfMemory;
        }
    }

    // A prepared request brings every line of its own, its Host signed.
    if (params->prepared) {
        for (int i = 0; i < params->prepared->headerCount; i++) {
            if (!append_header(request, params->prepared->headerLines[i])) {
                return S3StatusOutOfMemory;
            }
        }
        return S3StatusOK;
    }

    // hostHeader is set for V4 only, which signs the host: libcurl then
    // sends that line instead of its own.
    const char *standard[] = {
        values->hostHeader,
        values->cacheControlHeader,      values->contentTypeHeader,
        values->md5Header,               values->contentDispositionHeader,
        values->contentEncodingHeader,   values->contentLanguageHeader,
        values->expiresHeader,
        values->ifModifiedSinceHeader,   values->ifUnmodifiedSinceHeader,
        values->ifMatchHeader,           values->ifNoneMatchHeader,
        values->rangeHeader,             values->authorizationHeader,
    };
    for (const char *line : standard) {
        if (line[0] && !append_header(request, line)) {
            return S3StatusOutOfMemory;
        }
    }
    for (int i = 0; i < values->amzHeadersCount; i++) {
        if (!append_header(request, values->amzHeaders[i])) {
            return S3StatusOutOfMemory;
        }
    }
    return S3StatusOK;
}

} // namespace

S3Status setup_curl(Request *request, const RequestParams *params,
                    const RequestComputedValues *values)
{
    CURL *curl = request->curl;
#define SET_OPTION(option, value)                                   \
    do {                                                            \
        if (curl_easy_setopt(curl, option, value) != CURLE_OK) {    \
            return S3StatusFailedToInitializeRequest;               \
        }                                                           \
    } while (0)

    // A prepared request's lines carry its session token in the clear.
    if (request_trace_enabled() && !params->prepared) {
        SET_OPTION(CURLOPT_DEBUGFUNCTION, &request_trace_callback);
        SET_OPTION(CURLOPT_VERBOSE, 1L);
    }
    SET_OPTION(CURLOPT_PRIVATE, request);
    SET_OPTION(CURLOPT_HEADERDATA, request);
    SET_OPTION(CURLOPT_HEADERFUNCTION, &curl_header_func);
    SET_OPTION(CURLOPT_READFUNCTION, &curl_read_func);
    SET_OPTION(CURLOPT_READDATA, request);
    SET_OPTION(CURLOPT_SEEKFUNCTION, &curl_seek_func);
    SET_OPTION(CURLOPT_SEEKDATA, request);
    SET_OPTION(CURLOPT_WRITEFUNCTION, &curl_write_func);
    SET_OPTION(CURLOPT_WRITEDATA, request);
    SET_OPTION(CURLOPT_FILETIME, 1L);
    SET_OPTION(CURLOPT_NOSIGNAL, 1L);
    SET_OPTION(CURLOPT_NOPROGRESS, 1L);
    SET_OPTION(CURLOPT_TCP_NODELAY, 1L);
    SET_OPTION(CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    // A key is a name, not a path: "a/../b" must reach the store as written,
    // or the request is signed for one object and stores another.
    SET_OPTION(CURLOPT_PATH_AS_IS, 1L);
    // The server's certificate and its host name are always verified, against
    // the CA bundle of S3_set_ca_file when one was given.
    SET_OPTION(CURLOPT_SSL_VERIFYPEER, 1L);
    SET_OPTION(CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char *caFile = request_ca_file()) {
        SET_OPTION(CURLOPT_CAINFO, caFile);
    }
    // A redirect is an answer like any other: following it would send the
    // request, signed for one host, to another (perhaps over plain HTTP),
    // without its body.
    SET_OPTION(CURLOPT_FOLLOWLOCATION, 0L);
    SET_OPTION(CURLOPT_USERAGENT, userAgentG);
    SET_OPTION(CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit);
    SET_OPTION(CURLOPT_LOW_SPEED_TIME, kLowSpeedTime);
    SET_OPTION(CURLOPT_CONNECTTIMEOUT, request_connect_timeout() > 0
                                           ? request_connect_timeout()
                                           : kDefaultConnectTimeoutSeconds);
    SET_OPTION(CURLOPT_TIMEOUT,
               request_time_limit(params->httpRequestType == HttpRequestTypePUT
                                      ? params->toS3CallbackTotalSize
                                      : 0));

    S3Status status = build_header_list(request, params, values);
    if (status != S3StatusOK) {
        return status;
    }
    SET_OPTION(CURLOPT_HTTPHEADER, request->headers);
    SET_OPTION(CURLOPT_URL, request->uri);

    switch (params->httpRequestType) {
    case HttpRequestTypeHEAD:
        SET_OPTION(CURLOPT_NOBODY, 1L);
        break;
    case HttpRequestTypePUT:
        // libcurl sends the Content-Length itself, and knows how much to
        // send again when it has to resend the body.
        SET_OPTION(CURLOPT_UPLOAD, 1L);
        SET_OPTION(CURLOPT_INFILESIZE_LARGE,
                   static_cast<curl_off_t>(params->toS3CallbackTotalSize));
        break;
    case HttpRequestTypeCOPY:
        SET_OPTION(CURLOPT_UPLOAD, 1L);
        break;
    case HttpRequestTypeDELETE:
        SET_OPTION(CURLOPT_CUSTOMREQUEST, "DELETE");
        break;
    case HttpRequestTypePOST:
        // The body comes from the read callback, as for an upload.
        SET_OPTION(CURLOPT_POST, 1L);
        SET_OPTION(CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(params->toS3CallbackTotalSize));
        break;
    default:
        break;
    }
#undef SET_OPTION
    return S3StatusOK;
}
