// request_api.h: the set-up and tear-down of the request layer, the work of
// the first S3_initialize and the last S3_deinitialize, and the default host
// it sets.
#pragma once

#include "default_host.h"
#include "s3client.h"

// The HTTP library (flags as S3_initialize's), the default host (NULL:
// S3_DEFAULT_HOSTNAME; S3StatusUriTooLong when too long), the user agent and
// the request pool.  A failed call leaves the pool unprepared and may simply
// be repeated.  request_api_deinitialize destroys the pool's mutex and every
// pooled request.
S3Status request_api_initialize(const char *userAgentInfo, int flags,
                                const char *defaultHostName);
void request_api_deinitialize(void);
