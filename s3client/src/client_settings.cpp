// client_settings.cpp: the process-wide settings of S3_set_ca_file,
// S3_set_timeouts and S3_set_trace.
#include "client_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

// 0: the built-in value.
long connectTimeoutSecondsG = 0;
long requestTimeoutSecondsG = 0;
bool traceG = true;
char caFileG[CA_FILE_SIZE];

} // namespace

S3Status request_set_ca_file(const char *caFile)
{
    if (!caFile || !caFile[0]) {
        caFileG[0] = 0;
        return S3StatusOK;
    }
    if (strlen(caFile) >= sizeof(caFileG)) {
        return S3StatusUriTooLong;
    }
    // Kept even when it cannot be read: requests then fail to verify the
    // server instead of trusting the system's store behind the caller's back.
    strcpy(caFileG, caFile);
    const int fd = open(caFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return S3StatusServerFailedVerification;
    }
    struct stat st;
    const bool regular = (fstat(fd, &st) == 0) && S_ISREG(st.st_mode);
    close(fd);
    return regular ? S3StatusOK : S3StatusServerFailedVerification;
}

void request_set_timeouts(long connectTimeoutSeconds, long requestTimeoutSeconds)
{
    connectTimeoutSecondsG = connectTimeoutSeconds > 0 ? connectTimeoutSeconds : 0;
    requestTimeoutSecondsG = requestTimeoutSeconds > 0 ? requestTimeoutSeconds : 0;
}

void request_set_trace(int enabled)
{
    traceG = enabled != 0;
}

const char *request_ca_file(void)
{
    return caFileG[0] ? caFileG : nullptr;
}

long request_connect_timeout(void)
{
    return connectTimeoutSecondsG;
}

long request_request_timeout(void)
{
    return requestTimeoutSecondsG;
}

bool request_trace_enabled(void)
{
    return traceG;
}
