// request.cpp - runs composed requests over HTTP with libcurl: the pool of
// reusable requests and their easy handles, the handle's configuration, the
// transfer callbacks, and the decision of every request's final status.
#include "request.h"

#include <pthread.h>
#include <strings.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "error_parser.h"
#include "response_headers_handler.h"

namespace {

// The pool of finished requests; guarded by requestStackMutexG, which is
// held only to push or pop one entry.  It keeps REQUEST_STACK_SIZE requests,
// or as many as were ever out of the pool at once when that is more, so that
// a request context with many transfers in flight reuses every handle (and
// its connection) instead of destroying and making them anew.  The stack is
// allocated by request_api_initialize and grows when the peak does.
Request **requestStackG = nullptr;
int requestStackCountG = 0;
int requestStackCapacityG = 0;
// Requests out of the pool (being set up, queued or transferring), and the
// most there have been since set-up.
int requestsOutG = 0;
int requestsOutPeakG = 0;
pthread_mutex_t requestStackMutexG; // prepared by request_api_initialize

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

// Settings of S3_set_timeouts (0: the built-in value), S3_set_trace and
// S3_set_ca_file.
long connectTimeoutSecondsG = 0;
long requestTimeoutSecondsG = 0;
bool traceG = true;
char caFileG[CA_FILE_SIZE];

// Versions written into the user agent, and the room for its platform part
// (at most 95 characters).
constexpr char kUserAgentMajorVersion[] = "2";
constexpr char kUserAgentMinorVersion[] = "0";
constexpr int kPlatformTextSize = 96;

// Size of one "Content-Length: N" header line.
constexpr int kContentLengthHeaderSize = 64;

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

// Latches the HTTP status known so far, closes the header collection and, for
// a success, calls the properties callback.  Runs once per request, at the
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

    if (!is_success(request->httpResponseCode)) {
        request->status = error_parser_add(&request->errorParser, ptr, static_cast<int>(len));
    } else if (request->fromS3Callback) {
        request->status = request->fromS3Callback(static_cast<int>(len), ptr, request->callbackData);
    } else {
        // A success response with a body that nobody asked for.
        request->status = S3StatusInternalError;
    }
    return request->status == S3StatusOK ? len : 0;
}

// ---- the trace ----

// What a signature looks like in the trace once it is replaced.
constexpr char kRedacted[] = "<redacted>";

bool starts_with_nocase(const char *text, const char *end, const char *prefix)
{
    size_t n = strlen(prefix);
    return static_cast<size_t>(end - text) >= n && strncasecmp(text, prefix, n) == 0;
}

// Writes one line of the trace (with its line end, if any) with every
// signature replaced: the V2 header's "AWS id:SIGNATURE", and the value of
// any "Signature=" (the V4 header, a pre-signed query's Signature or
// X-Amz-Signature) up to the next separator.
void trace_write_line(const char *line, const char *end, FILE *out)
{
    const char *p = line;
    if (starts_with_nocase(p, end, "authorization:")) {
        const char *value = p + strlen("authorization:");
        while (value < end && (*value == ' ' || *value == '\t')) {
            ++value;
        }
        if (starts_with_nocase(value, end, "AWS ") && !starts_with_nocase(value, end, "AWS4")) {
            const char *colon = static_cast<const char *>(
                memchr(value, ':', static_cast<size_t>(end - value)));
            if (colon) {
                const char *stop = colon + 1;
                while (stop < end && *stop != '\r' && *stop != '\n') {
                    ++stop;
                }
                fwrite(p, 1, static_cast<size_t>(colon + 1 - p), out);
                fputs(kRedacted, out);
                p = stop;
            }
        }
    }
    static const char kSignature[] = "Signature=";
    const size_t n = sizeof(kSignature) - 1;
    while (p < end) {
        const char *hit = nullptr;
        for (const char *q = p; q + n <= end; ++q) {
            if (strncasecmp(q, kSignature, n) == 0) {
                hit = q;
                break;
            }
        }
        if (!hit) {
            break;
        }
        const char *value = hit + n;
        const char *stop = value;
        while (stop < end && !strchr("& ,;\r\n\"", *stop)) {
            ++stop;
        }
        fwrite(p, 1, static_cast<size_t>(value - p), out);
        if (stop > value) {
            fputs(kRedacted, out);
        }
        p = stop;
    }
    fwrite(p, 1, static_cast<size_t>(end - p), out);
}

// libcurl's trace hands its pieces here.
int curl_debug_func(CURL *, curl_infotype type, char *data, size_t size, void *)
{
    request_trace_write(stderr, type, data, size);
    return 0;
}

// The total time a request may take: the request limit, raised for a body
// by the time it takes at the low-speed floor.
long request_time_limit(int64_t bodySize)
{
    long limit = requestTimeoutSecondsG > 0 ? requestTimeoutSecondsG
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
    if (params->httpRequestType == HttpRequestTypePUT) {
        char contentLength[kContentLengthHeaderSize];
        snprintf(contentLength, sizeof(contentLength), "Content-Length: %llu",
                 static_cast<unsigned long long>(params->toS3CallbackTotalSize));
        if (!append_header(request, contentLength)) {
            return S3StatusOutOfMemory;
        }
    }
    if (params->httpRequestType == HttpRequestTypePUT ||
        params->httpRequestType == HttpRequestTypeCOPY) {
        // An empty value keeps libcurl from sending the body in chunks.
        if (!append_header(request, "Transfer-Encoding:")) {
            return S3StatusOutOfMemory;
        }
        // A small body goes with the head: waiting for "100 Continue" would
        // cost a round trip for every upload.
        const int64_t bodySize =
            params->httpRequestType == HttpRequestTypePUT ? params->toS3CallbackTotalSize : 0;
        if (bodySize < kExpectContinueThreshold && !append_header(request, "Expect:")) {
            return S3StatusOutOfMemory;
        }
    }

    // hostHeader is set for V4 only, which signs the host: libcurl then
    // sends that line instead of its own.
    const char *standard[] = {
        values->hostHeader,
        values->cacheControlHeader,      values->contentTypeHeader,
        values->md5Header,               values->contentDispositionHeader,
        values->contentEncodingHeader,   values->expiresHeader,
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

    if (traceG) {
        SET_OPTION(CURLOPT_DEBUGFUNCTION, &curl_debug_func);
        SET_OPTION(CURLOPT_VERBOSE, 1L);
    }
    SET_OPTION(CURLOPT_PRIVATE, request);
    SET_OPTION(CURLOPT_HEADERDATA, request);
    SET_OPTION(CURLOPT_HEADERFUNCTION, &curl_header_func);
    SET_OPTION(CURLOPT_READFUNCTION, &curl_read_func);
    SET_OPTION(CURLOPT_READDATA, request);
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
    SET_OPTION(CURLOPT_CONNECTTIMEOUT, connectTimeoutSecondsG > 0
                                           ? connectTimeoutSecondsG
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
    case HttpRequestTypeCOPY:
        SET_OPTION(CURLOPT_UPLOAD, 1L);
        break;
    case HttpRequestTypeDELETE:
        SET_OPTION(CURLOPT_CUSTOMREQUEST, "DELETE");
        break;
    default:
        break;
    }
#undef SET_OPTION
    return S3StatusOK;
}

// Cleans a request for reuse: its header list, its error parser, and the
// easy handle back to libcurl's defaults.
void request_deinitialize(Request *request)
{
    if (request->headers) {
        curl_slist_free_all(request->headers);
        request->headers = nullptr;
    }
    error_parser_deinitialize(&request->errorParser);
    curl_easy_reset(request->curl);
}

// Frees a request that is no longer counted as out of the pool.
void request_free(Request *request)
{
    request_deinitialize(request);
    curl_easy_cleanup(request->curl);
    free(request);
}

} // namespace

char defaultHostNameG[S3_MAX_HOSTNAME_SIZE];
char userAgentG[USER_AGENT_SIZE];

S3Status request_get(const RequestParams *params, const RequestComputedValues *values,
                     Request **reqReturn)
{
    Request *request = nullptr;

    pthread_mutex_lock(&requestStackMutexG);
    if (requestStackCountG > 0) {
        request = requestStackG[--requestStackCountG];
    }
    pthread_mutex_unlock(&requestStackMutexG);

    if (request) {
        request_deinitialize(request);
    } else {
        request = static_cast<Request *>(malloc(sizeof(Request)));
        if (!request) {
            return S3StatusOutOfMemory;
        }
        request->curl = curl_easy_init();
        if (!request->curl) {
            free(request);
            return S3StatusFailedToInitializeRequest;
        }
    }
    pthread_mutex_lock(&requestStackMutexG);
    if (++requestsOutG > requestsOutPeakG) {
        requestsOutPeakG = requestsOutG;
    }
    pthread_mutex_unlock(&requestStackMutexG);
    // The parser is ready before anything can fail, so that destroying a
    // request whose set-up failed releases nothing twice.
    error_parser_initialize(&request->errorParser);

    request->prev = nullptr;
    request->next = nullptr;
    request->headers = nullptr;
    request->status = S3StatusOK;

    S3Status status = compose_uri(request->uri, sizeof(request->uri), &params->bucketContext,
                                  values->urlEncodedKey, params->subResource,
                                  params->queryParams);
    if (status == S3StatusOK) {
        status = setup_curl(request, params, values);
    }
    if (status != S3StatusOK) {
        request_destroy(request);
        return status;
    }

    request->propertiesCallback = params->propertiesCallback;
    request->toS3Callback = params->toS3Callback;
    request->toS3CallbackBytesRemaining = params->toS3CallbackTotalSize;
    request->fromS3Callback = params->fromS3Callback;
    request->completeCallback = params->completeCallback;
    request->callbackData = params->callbackData;
    response_headers_handler_initialize(&request->responseHeadersHandler);
    request->propertiesCallbackMade = 0;
    request->isUpload = (params->httpRequestType == HttpRequestTypePUT ||
                         params->httpRequestType == HttpRequestTypeCOPY);
    request->httpResponseCode = 0;

    *reqReturn = request;
    return S3StatusOK;
}

void request_trace_write(FILE *out, curl_infotype type, const char *data, size_t size)
{
    const char *prefix;
    switch (type) {
    case CURLINFO_TEXT:
        prefix = "* ";
        break;
    case CURLINFO_HEADER_IN:
        prefix = "< ";
        break;
    case CURLINFO_HEADER_OUT:
        prefix = "> ";
        break;
    default:
        return;
    }
    fputs(prefix, out);
    const char *p = data;
    const char *end = data + size;
    while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *lineEnd = nl ? nl + 1 : end;
        trace_write_line(p, lineEnd, out);
        p = lineEnd;
    }
}

void request_destroy(Request *request)
{
    pthread_mutex_lock(&requestStackMutexG);
    --requestsOutG;
    pthread_mutex_unlock(&requestStackMutexG);
    request_free(request);
}

void request_release(Request *request)
{
    pthread_mutex_lock(&requestStackMutexG);
    --requestsOutG;
    if (requestStackCountG == requestStackCapacityG && requestStackG &&
        requestsOutPeakG > requestStackCapacityG) {
        // More were in flight at once than the pool holds: let it grow to
        // that peak.  Without room the request is simply destroyed.
        Request **grown = static_cast<Request **>(
            realloc(requestStackG, sizeof(Request *) * static_cast<size_t>(requestsOutPeakG)));
        if (grown) {
            requestStackG = grown;
            requestStackCapacityG = requestsOutPeakG;
        }
    }
    if (!requestStackG || requestStackCountG == requestStackCapacityG) {
        pthread_mutex_unlock(&requestStackMutexG);
        request_free(request);
        return;
    }
    requestStackG[requestStackCountG++] = request;
    pthread_mutex_unlock(&requestStackMutexG);
}

int request_pool_count(void)
{
    pthread_mutex_lock(&requestStackMutexG);
    int count = requestStackCountG;
    pthread_mutex_unlock(&requestStackMutexG);
    return count;
}

S3Status request_api_initialize(const char *userAgentInfo, int flags,
                                const char *defaultHostName)
{
    if (curl_global_init((flags & S3_INIT_WINSOCK) ? CURL_GLOBAL_ALL : CURL_GLOBAL_SSL)) {
        return S3StatusInternalError;
    }
    if (!defaultHostName) {
        defaultHostName = S3_DEFAULT_HOSTNAME;
    }
    if (strlen(defaultHostName) >= S3_MAX_HOSTNAME_SIZE) {
        return S3StatusUriTooLong;
    }
    strcpy(defaultHostNameG, defaultHostName);

    struct utsname utsn;
    if (uname(&utsn)) {
        compose_user_agent(userAgentG, static_cast<int>(sizeof(userAgentG)), userAgentInfo,
                           nullptr, nullptr);
    } else {
        compose_user_agent(userAgentG, static_cast<int>(sizeof(userAgentG)), userAgentInfo,
                           utsn.sysname, utsn.machine);
    }

    requestStackG = static_cast<Request **>(malloc(sizeof(Request *) * REQUEST_STACK_SIZE));
    if (!requestStackG) {
        return S3StatusOutOfMemory;
    }
    if (pthread_mutex_init(&requestStackMutexG, nullptr) != 0) {
        free(requestStackG);
        requestStackG = nullptr;
        return S3StatusInternalError;
    }
    requestStackCapacityG = REQUEST_STACK_SIZE;
    requestStackCountG = 0;
    requestsOutG = 0;
    requestsOutPeakG = 0;
    return S3StatusOK;
}

void request_api_deinitialize(void)
{
    pthread_mutex_destroy(&requestStackMutexG);
    while (requestStackCountG > 0) {
        request_free(requestStackG[--requestStackCountG]);
    }
    free(requestStackG);
    requestStackG = nullptr;
    requestStackCapacityG = 0;
}

void compose_user_agent(char *buffer, int bufferSize, const char *userAgentInfo,
                        const char *sysname, const char *machine)
{
    char platform[kPlatformTextSize];
    if (sysname) {
        const bool hasMachine = machine && machine[0];
        snprintf(platform, sizeof(platform), "%s%s%s", sysname, hasMachine ? " " : "",
                 hasMachine ? machine : "");
    } else {
        snprintf(platform, sizeof(platform), "%s", "Unknown");
    }
    if (!userAgentInfo || !userAgentInfo[0]) {
        userAgentInfo = "Unknown";
    }
    snprintf(buffer, static_cast<size_t>(bufferSize),
             "Mozilla/4.0 (Compatible; %s; strato %s.%s; %s)", userAgentInfo,
             kUserAgentMajorVersion, kUserAgentMinorVersion, platform);
}

S3Status request_set_ca_file(const char *caFile)
{
    if (!caFile || !caFile[0]) {
        caFileG[0] = 0;
        return S3StatusOK;
    }
    if (strlen(caFile) >= sizeof(caFileG)) {
        return S3StatusUriTooLong;
    }
    strcpy(caFileG, caFile);
    return S3StatusOK;
}

void request_set_timeouts(long connectTimeoutSeconds, long requestTimeoutSeconds)
{
    connectTimeoutSecondsG = connectTimeoutSeconds > 0 ? connectTimeoutSeconds : 0;
    requestTimeoutSecondsG = requestTimeoutSeconds > 0 ? requestTimeoutSeconds : 0;
}

void request_set_trace(int enabled)
{
    traceG = enabled != 0;
}

const char *request_ca_file(void)
{
    return caFileG[0] ? caFileG : nullptr;
}

S3Status request_curl_code_to_status(CURLcode code)
{
    switch (code) {
    case CURLE_OUT_OF_MEMORY:
        return S3StatusOutOfMemory;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
        return S3StatusNameLookupError;
    case CURLE_COULDNT_CONNECT:
        return S3StatusFailedToConnect;
    case CURLE_WRITE_ERROR:
    case CURLE_OPERATION_TIMEDOUT:
    // A body cut short: what arrived is incomplete, so the transfer failed.
    case CURLE_PARTIAL_FILE:
        return S3StatusConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION: // also CURLE_SSL_CACERT
        return S3StatusServerFailedVerification;
    default:
        return S3StatusInternalError;
    }
}

S3Status request_http_status_to_status(int httpResponseCode)
{
    switch (httpResponseCode) {
    case 0:
        return S3StatusConnectionFailed;
    case 100:
        return S3StatusOK;
    case 301:
        return S3StatusErrorPermanentRedirect;
    case 307:
        return S3StatusHttpErrorMovedTemporarily;
    case 400:
        return S3StatusHttpErrorBadRequest;
    case 403:
        return S3StatusHttpErrorForbidden;
    case 404:
        return S3StatusHttpErrorNotFound;
    case 405:
        return S3StatusErrorMethodNotAllowed;
    case 409:
        return S3StatusHttpErrorConflict;
    case 411:
        return S3StatusErrorMissingContentLength;
    case 412:
        return S3StatusErrorPreconditionFailed;
    case 416:
        return S3StatusErrorInvalidRange;
    case 500:
        return S3StatusErrorInternalError;
    case 501:
        return S3StatusErrorNotImplemented;
    case 503:
        return S3StatusErrorSlowDown;
    default:
        return S3StatusHttpErrorUnknown;
    }
}

void request_finish(Request *request)
{
    request_headers_done(request);

    // The final response decides, not the status latched on the way: an
    // upload latches before its response arrives.
    int code = current_response_code(request);
    if (code != 0) {
        request->httpResponseCode = code;
    }

    if (request->status == S3StatusOK) {
        error_parser_convert_status(&request->errorParser, &request->status);
    }
    if (request->status == S3StatusOK && !is_success(request->httpResponseCode)) {
        request->status = request_http_status_to_status(request->httpResponseCode);
    }

    request->completeCallback(request->status, &request->errorParser.s3ErrorDetails,
                              request->callbackData);
    request_release(request);
}

void request_perform(const RequestParams *params, S3RequestContext *context)
{
    S3Status status;

    if (params->bucketContext.bucketName) {
        status = S3_validate_bucket_name(params->bucketContext.bucketName,
                                         params->bucketContext.uriStyle);
        if (status != S3StatusOK) {
            params->completeCallback(status, nullptr, params->callbackData);
            return;
        }
    }

    RequestComputedValues computed;
    status = request_compose(params, &computed);
    if (status != S3StatusOK) {
        params->completeCallback(status, nullptr, params->callbackData);
        return;
    }

    Request *request = nullptr;
    status = request_get(params, &computed, &request);
    if (status != S3StatusOK) {
        params->completeCallback(status, nullptr, params->callbackData);
        return;
    }

    if (!context) {
        CURLcode code = curl_easy_perform(request->curl);
        if (code != CURLE_OK && request->status == S3StatusOK) {
            request->status = request_curl_code_to_status(code);
        }
        request_finish(request);
        return;
    }

    if (context->closing) {
        request->status = S3StatusInterrupted;
        request_finish(request);
        return;
    }
    CURLMcode mcode = curl_multi_add_handle(context->curlm, request->curl);
    if (mcode == CURLM_OK) {
        request_context_link(context, request);
        return;
    }
    if (request->status == S3StatusOK) {
        request->status =
            (mcode == CURLM_OUT_OF_MEMORY) ? S3StatusOutOfMemory : S3StatusInternalError;
    }
    request_finish(request);
}

void request_context_link(S3RequestContext *context, Request *request)
{
    if (context->requests) {
        request->prev = context->requests->prev;
        request->next = context->requests;
        context->requests->prev->next = request;
        context->requests->prev = request;
    } else {
        context->requests = request->next = request->prev = request;
    }
    ++context->requestCount;
    // libcurl keeps four connections per transfer still added, so the cache
    // would shrink as the last transfers of a wave end and close the
    // connections the next wave needs: keep as many as were ever in flight.
    if (context->requestCount > context->maxConnects &&
        curl_multi_setopt(context->curlm, CURLMOPT_MAXCONNECTS,
                          static_cast<long>(context->requestCount)) == CURLM_OK) {
        context->maxConnects = context->requestCount;
    }
}

void request_context_unlink(S3RequestContext *context, Request *request)
{
    if (request->next == request) {
        context->requests = nullptr;
    } else {
        request->prev->next = request->next;
        request->next->prev = request->prev;
        if (context->requests == request) {
            context->requests = request->next;
        }
    }
    request->prev = request->next = nullptr;
    --context->requestCount;
}
