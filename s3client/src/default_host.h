// default_host.h: the host of requests whose bucket context names none.
#pragma once

#include "s3client.h"

// Set by request_api_initialize, read by the URI and the V4 signature.
extern char defaultHostNameG[S3_MAX_HOSTNAME_SIZE];
