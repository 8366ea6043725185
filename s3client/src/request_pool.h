// request_pool.h: the pool of finished requests whose easy handles (and
// their connections) later requests reuse.
#pragma once

#include "request_record.h"

// Finished requests kept, with their easy handles, for reuse.
#define REQUEST_STACK_SIZE 32

// Prepares the pool (its mutex and stack); S3StatusOutOfMemory or
// S3StatusInternalError when it cannot.  request_pool_deinitialize destroys
// the mutex and every pooled request.
S3Status request_pool_initialize(void);
void request_pool_deinitialize(void);

// A configured request for params, from the pool or new; values is NULL
// for a prepared request (params->prepared).
S3Status request_get(const RequestParams *params,
                     const RequestComputedValues *values,
                     Request **reqReturn);
// Back to the pool, or destroyed when the pool is full.
void request_release(Request *request);
void request_destroy(Request *request);

// Number of requests held by the pool.
int request_pool_count(void);
