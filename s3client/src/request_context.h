// request_context.h: a request context (many requests in flight on one
// libcurl multi handle) and the list of the requests queued on it.
#pragma once

#include "request_record.h"

// Requests in flight on one libcurl multi handle, whose connection cache
// they share; run from the caller's thread by context.cpp.  Created and
// destroyed by its owner; a request queued on it is owned by it until its
// complete callback has run.
struct S3RequestContext
{
    CURLM *curlm;
    Request *requests; // head of a circular doubly linked list, or NULL
    int requestCount;  // requests linked
    int maxConnects;   // connections the multi handle keeps: the most linked
    // Set while the context is being destroyed: a request queued then (by a
    // complete callback) ends at once with S3StatusInterrupted.
    int closing;
    // Complete callbacks of this context's requests now running; while there
    // are any, S3_destroy_request_context only asks for the destruction,
    // which the run that made the callback then carries out.
    int callbackDepth;
    int destroyRequested;
};

// Links a request whose handle was added to the context's multi handle at
// the tail of its list; unlinks one.
void request_context_link(S3RequestContext *context, Request *request);
void request_context_unlink(S3RequestContext *context, Request *request);
