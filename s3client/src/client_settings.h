// client_settings.h: the process-wide settings of S3_set_ca_file,
// S3_set_timeouts and S3_set_trace, which apply to requests configured
// afterwards.
#pragma once

#include "s3client.h"

// The longest CA bundle path S3_set_ca_file keeps, terminator included.
#define CA_FILE_SIZE 4096

S3Status request_set_ca_file(const char *caFile);
void request_set_timeouts(long connectTimeoutSeconds, long requestTimeoutSeconds);
void request_set_trace(int enabled);

// The CA bundle given to S3_set_ca_file, or NULL for the system's store.
const char *request_ca_file(void);
// The limits of S3_set_timeouts, 0 where the built-in value applies.
long request_connect_timeout(void);
long request_request_timeout(void);
// Whether libcurl's trace is written.
bool request_trace_enabled(void);
