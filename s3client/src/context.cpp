// context.cpp - request contexts: many requests in flight on one libcurl multi
// handle, whose connection cache they share, run from the caller's thread.
//
// Every request queued on a context ends in exactly one complete callback:
// when its transfer is done, when the multi handle fails (all of them, with
// S3StatusInternalError), or when the context is destroyed first (with
// S3StatusInterrupted).  A complete callback may queue further requests on the
// same context; they run in the same S3_runall_request_context.
#include <new>

#include "request.h"
#include "request_context.h"

namespace {

void context_end_all(S3RequestContext *context, S3Status status);

// Ends a request that is linked on the context and added to its multi handle.
void context_end(S3RequestContext *context, Request *request, S3Status status)
{
    curl_multi_remove_handle(context->curlm, request->curl);
    request_context_unlink(context, request);
    if (request->status == S3StatusOK) {
        request->status = status;
    }
    // The callback may queue new requests on this context, or ask for its
    // destruction, which waits until the callback has returned.
    ++context->callbackDepth;
    request_finish(request);
    --context->callbackDepth;
}

// Ends every request still queued (S3StatusInterrupted) and frees the context.
void context_destroy(S3RequestContext *context)
{
    context->closing = 1;
    context_end_all(context, S3StatusInterrupted);
    curl_multi_cleanup(context->curlm);
    delete context;
}

// After callbacks have run: a destruction they asked for is carried out.
// True when the context is gone.
bool context_destroyed_if_requested(S3RequestContext *context)
{
    if (!context->destroyRequested || context->callbackDepth > 0 || context->closing) {
        return false;
    }
    context_destroy(context);
    return true;
}

// Ends every transfer the multi handle reports as done.
S3Status context_finish_done(S3RequestContext *context)
{
    int remaining = 0;
    while (CURLMsg *msg = curl_multi_info_read(context->curlm, &remaining)) {
        if (msg->msg != CURLMSG_DONE) {
            continue;
        }
        Request *request = nullptr;
        if (curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &request) != CURLE_OK ||
            !request) {
            return S3StatusInternalError;
        }
        const CURLcode code = msg->data.result;
        context_end(context, request,
                    code == CURLE_OK ? S3StatusOK : request_curl_code_to_status(code));
    }
    return S3StatusOK;
}

// Ends every request still linked with status, also those that the
// callbacks queue meanwhile.
void context_end_all(S3RequestContext *context, S3Status status)
{
    while (Request *request = context->requests) {
        context_end(context, request, status);
    }
}

} // namespace

S3Status S3_create_request_context(S3RequestContext **requestContextReturn)
{
    if (!requestContextReturn) {
        return S3StatusInternalError;
    }
    *requestContextReturn = nullptr;
    S3RequestContext *context = new (std::nothrow) S3RequestContext();
    if (!context) {
        return S3StatusOutOfMemory;
    }
    context->curlm = curl_multi_init();
    if (!context->curlm) {
        delete context;
        return S3StatusOutOfMemory;
    }
    context->requests = nullptr;
    context->requestCount = 0;
    context->maxConnects = 0;
    context->closing = 0;
    context->callbackDepth = 0;
    context->destroyRequested = 0;
    *requestContextReturn = context;
    return S3StatusOK;
}

void S3_destroy_request_context(S3RequestContext *requestContext)
{
    if (!requestContext || requestContext->closing) {
        return;
    }
    if (requestContext->callbackDepth > 0) {
        // Called from one of its own complete callbacks: the run that made
        // the callback still holds the context, and destroys it on return.
        requestContext->destroyRequested = 1;
        return;
    }
    context_destroy(requestContext);
}

S3Status S3_runonce_request_context(S3RequestContext *requestContext,
                                    int *requestsRemainingReturn)
{
    if (!requestContext) {
        return S3StatusInternalError;
    }
    int running = 0;
    CURLMcode mcode;
    do {
        mcode = curl_multi_perform(requestContext->curlm, &running);
    } while (mcode == CURLM_CALL_MULTI_PERFORM);
    S3Status status = mcode == CURLM_OK ? context_finish_done(requestContext)
                                        : S3StatusInternalError;
    if (status != S3StatusOK) {
        context_end_all(requestContext, status);
    }
    if (context_destroyed_if_requested(requestContext)) {
        if (requestsRemainingReturn) {
            *requestsRemainingReturn = 0;
        }
        return S3StatusInterrupted;
    }
    if (requestsRemainingReturn) {
        // Requests queued by the callbacks count as remaining.
        *requestsRemainingReturn = requestContext->requestCount;
    }
    return status;
}

S3Status S3_runall_request_context(S3RequestContext *requestContext)
{
    if (!requestContext) {
        return S3StatusInternalError;
    }
    // Longest single wait; the multi handle's own timers are usually shorter.
    constexpr int kMaxWaitMs = 1000;
    for (;;) {
        int remaining = 0;
        S3Status status = S3_runonce_request_context(requestContext, &remaining);
        if (status != S3StatusOK) {
            return status; // also when a callback destroyed the context
        }
        if (remaining == 0) {
            return S3StatusOK;
        }
        if (curl_multi_poll(requestContext->curlm, nullptr, 0, kMaxWaitMs, nullptr) !=
            CURLM_OK) {
            context_end_all(requestContext, S3StatusInternalError);
            context_destroyed_if_requested(requestContext);
            return S3StatusInternalError;
        }
    }
}

S3Status S3_get_request_context_fdsets(S3RequestContext *requestContext, fd_set *readFdSet,
                                        fd_set *writeFdSet, fd_set *exceptFdSet,
                                        int *maxFdReturn)
{
    if (!requestContext || !maxFdReturn) {
        return S3StatusInternalError;
    }
    return curl_multi_fdset(requestContext->curlm, readFdSet, writeFdSet, exceptFdSet,
                            maxFdReturn) == CURLM_OK
               ? S3StatusOK
               : S3StatusInternalError;
}

int64_t S3_get_request_context_timeout(S3RequestContext *requestContext)
{
    long timeoutMs = -1;
    if (!requestContext ||
        curl_multi_timeout(requestContext->curlm, &timeoutMs) != CURLM_OK) {
        return -1;
    }
    return timeoutMs;
}

S3Status S3_wait_request_context(S3RequestContext *requestContext, int timeoutMs)
{
    if (!requestContext || timeoutMs < 0) {
        return S3StatusInternalError;
    }
    return curl_multi_poll(requestContext->curlm, nullptr, 0, timeoutMs, nullptr) == CURLM_OK
               ? S3StatusOK
               : S3StatusInternalError;
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
