// curl_setup.h: the configuration of a request's easy handle: its options,
// its header list, its URL and its method.
#pragma once

#include "request_record.h"

// Configures request->curl for params with the composed values (NULL for a
// prepared request);
// S3StatusFailedToInitializeRequest when libcurl refuses an option,
// S3StatusOutOfMemory when the header list cannot be built.
S3Status setup_curl(Request *request, const RequestParams *params,
                    const RequestComputedValues *values);
