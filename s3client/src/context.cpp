// context.cpp - request contexts: many requests in flight on one libcurl multi
// handle, run from the caller's thread.
#include <cstdlib>
#include <new>

#include "request.h"

namespace {

// Unlinks request from its context's circular list.
void context_unlink(S3RequestContext *context, Request *request)
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
        CURLcode code = msg->data.result;
        curl_multi_remove_handle(context->curlm, msg->easy_handle);
        context_unlink(context, request);
        if (code != CURLE_OK && request->status == S3StatusOK) {
            request->status = request_curl_code_to_status(code);
        }
        // The callback may queue new requests on this context.
        request_finish(request);
    }
    return S3StatusOK;
}

// Ends every request still linked with status.
void context_abort_all(S3RequestContext *context, S3Status status)
{
    while (Request *request = context->requests) {
        curl_multi_remove_handle(context->curlm, request->curl);
        context_unlink(context, request);
        if (request->status == S3StatusOK) {
            request->status = status;
        }
        request_finish(request);
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
    *requestContextReturn = context;
    return S3StatusOK;
}

void S3_destroy_request_context(S3RequestContext *requestContext)
{
    if (!requestContext) {
        return;
    }
    context_abort_all(requestContext, S3StatusInterrupted);
    curl_multi_cleanup(requestContext->curlm);
    delete requestContext;
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
    if (mcode != CURLM_OK) {
        context_abort_all(requestContext, S3StatusInternalError);
        return S3StatusInternalError;
    }
    S3Status status = context_finish_done(requestContext);
    if (status != S3StatusOK) {
        context_abort_all(requestContext, status);
        return status;
    }
    if (requestsRemainingReturn) {
        // Requests queued by the callbacks count as remaining.
        int linked = 0;
        if (Request *head = requestContext->requests) {
            Request *request = head;
            do {
                ++linked;
                request = request->next;
            } while (request != head);
        }
        *requestsRemainingReturn = linked;
    }
    return S3StatusOK;
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
            return status;
        }
        if (remaining == 0) {
            return S3StatusOK;
        }
        CURLMcode mcode = curl_multi_poll(requestContext->curlm, nullptr, 0, kMaxWaitMs, nullptr);
        if (mcode != CURLM_OK) {
            context_abort_all(requestContext, S3StatusInternalError);
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
