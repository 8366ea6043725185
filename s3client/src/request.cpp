// request.cpp: runs a composed request: validates and composes it, performs
// it with libcurl (or queues it on a request context), decides its final
// status from the transfer, the error document and the HTTP status, and
// calls the caller's complete callback once.
#include "request.h"

#include "request_compose.h"
#include "request_context.h"
#include "request_pool.h"
#include "transfer_callbacks.h"

namespace {

// Complete callbacks now running, and what is to run once none is (the last
// S3_deinitialize called from inside one).
int callbackDepthG = 0;
void (*deferredTeardownG)(void) = nullptr;

} // namespace

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
    // The connection broke or closed without an answer, or libcurl found a
    // kept connection dead and could not send the body again.
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_FAIL_REWIND:
        return S3StatusConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION: // also CURLE_SSL_CACERT
    case CURLE_SSL_CACERT_BADFILE:
        return S3StatusServerFailedVerification;
    // No TLS session came about: the endpoint speaks plain HTTP, or no
    // cipher or certificate of ours is acceptable.
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
        return S3StatusTlsFailed;
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
    // A gateway, proxy or load balancer in front of the store answers these
    // with a page of its own (or nothing): the status says which it was.
    case 500:
        return S3StatusHttpErrorInternalServerError;
    case 501:
        return S3StatusErrorNotImplemented;
    case 502:
        return S3StatusHttpErrorBadGateway;
    case 503:
        return S3StatusHttpErrorServiceUnavailable;
    case 504:
        return S3StatusHttpErrorGatewayTimeout;
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
    if (request->status == S3StatusOK && !is_success(request->httpResponseCode) &&
        !request->answerToCaller) {
        request->status = request_http_status_to_status(request->httpResponseCode);
    }
    // An accepted upload's own headers (its ETag) are whole only now.
    if (request->status == S3StatusOK && request->isUpload && request->uploadAnswerCallback) {
        response_headers_handler_done(&request->responseHeadersHandler, request->curl);
        request->status = request->uploadAnswerCallback(
            &request->responseHeadersHandler.responseProperties, request->callbackData);
    }

    request->errorParser.s3ErrorDetails.httpStatus = request->httpResponseCode;
    ++callbackDepthG;
    request->completeCallback(request->status, &request->errorParser.s3ErrorDetails,
                              request->callbackData);
    --callbackDepthG;
    request_release(request);
    if (callbackDepthG == 0 && deferredTeardownG) {
        void (*teardown)(void) = deferredTeardownG;
        deferredTeardownG = nullptr;
        teardown();
    }
}

int request_callback_depth(void)
{
    return callbackDepthG;
}

void request_defer_until_idle(void (*teardown)(void))
{
    deferredTeardownG = teardown;
}

void xml_body_properties(S3PutProperties *properties, const char *md5Base64, const char *sha256Hex)
{
    memset(properties, 0, sizeof(*properties));
    properties->contentType = "application/xml";
    properties->md5 = md5Base64;
    properties->expires = -1;
    properties->cannedAcl = S3CannedAclPrivate; // no ACL header
    properties->payloadSha256 = sha256Hex;
}

void request_perform(const RequestParams *params, S3RequestContext *context)
{
    S3Status status;

    if (params->bucketContext.bucketName && !params->prepared) {
        status = S3_validate_bucket_name(params->bucketContext.bucketName,
                                         params->bucketContext.uriStyle);
        if (status != S3StatusOK) {
            params->completeCallback(status, nullptr, params->callbackData);
            return;
        }
    }

    // A prepared request was composed and signed by its operation.
    RequestComputedValues computed;
    if (!params->prepared) {
        status = request_compose(params, &computed);
        if (status != S3StatusOK) {
            params->completeCallback(status, nullptr, params->callbackData);
            return;
        }
    }

    Request *request = nullptr;
    status = request_get(params, params->prepared ? nullptr : &computed, &request);
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
