// request_pool.cpp: the pool of finished requests: a request is taken from it
// (or made) and configured for each operation, and given back, with its easy
// handle and libcurl's open connection, when the operation has ended.
#include "request_pool.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "curl_setup.h"
#include "request_compose.h"

namespace {

// The pool of finished requests; guarded by requestStackMutexG, which is
// held only to push or pop one entry.  It keeps REQUEST_STACK_SIZE requests,
// or as many as were ever out of the pool at once when that is more, so that
// a request context with many transfers in flight reuses every handle (and
// its connection) instead of destroying and making them anew.  The stack is
// allocated by request_pool_initialize and grows when the peak does.
Request **requestStackG = nullptr;
int requestStackCountG = 0;
int requestStackCapacityG = 0;
// Requests out of the pool (being set up, queued or transferring), and the
// most there have been since set-up.
int requestsOutG = 0;
int requestsOutPeakG = 0;
pthread_mutex_t requestStackMutexG; // prepared by request_pool_initialize

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

    S3Status status = S3StatusOK;
    if (params->prepared) {
        const size_t len = strlen(params->prepared->uri);
        if (len >= sizeof(request->uri)) {
            status = S3StatusUriTooLong;
        } else {
            memcpy(request->uri, params->prepared->uri, len + 1);
        }
    } else {
        status = compose_uri(request->uri, sizeof(request->uri), &params->bucketContext,
                             values->urlEncodedKey, params->subResource,
                             params->queryParams);
    }
    if (status == S3StatusOK) {
        status = setup_curl(request, params, values);
    }
    if (status != S3StatusOK) {
        request_destroy(request);
        return status;
    }

    request->propertiesCallback = params->propertiesCallback;
    request->toS3Callback = params->toS3Callback;
    request->toS3CallbackTotalSize = params->toS3CallbackTotalSize;
    request->toS3CallbackBytesRemaining = params->toS3CallbackTotalSize;
    request->toS3RewindCallback = params->toS3RewindCallback;
    request->uploadAnswerCallback = params->uploadAnswerCallback;
    request->fromS3Callback = params->fromS3Callback;
    request->completeCallback = params->completeCallback;
    request->callbackData = params->callbackData;
    response_headers_handler_initialize(&request->responseHeadersHandler);
    request->propertiesCallbackMade = 0;
    request->isUpload = (params->httpRequestType == HttpRequestTypePUT ||
                         params->httpRequestType == HttpRequestTypeCOPY);
    request->httpResponseCode = 0;
    request->errorBodyUnreadable = 0;
    request->answerToCaller = params->prepared != nullptr;

    *reqReturn = request;
    return S3StatusOK;
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

S3Status request_pool_initialize(void)
{
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

void request_pool_deinitialize(void)
{
    pthread_mutex_destroy(&requestStackMutexG);
    while (requestStackCountG > 0) {
        request_free(requestStackG[--requestStackCountG]);
    }
    free(requestStackG);
    requestStackG = nullptr;
    requestStackCapacityG = 0;
}
