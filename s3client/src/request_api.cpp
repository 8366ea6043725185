// request_api.cpp: sets the request layer up for the first S3_initialize
// (the HTTP library, the default host, the user agent, the request pool) and
// tears it down for the last S3_deinitialize.
#include "request_api.h"

#include <sys/utsname.h>

#include <cstring>

#include <curl/curl.h>

#include "request_pool.h"
#include "user_agent.h"

S3Status request_api_initialize(const char *userAgentInfo, int flags,
                                const char *defaultHostName)
{
    if (curl_global_init((flags & S3_INIT_WINSOCK) ? CURL_GLOBAL_ALL : CURL_GLOBAL_SSL)) {
        return S3StatusInternalError;
    }
    if (!defaultHostName) {
        defaultHostName = S3_DEFAULT_HOSTNAME;
    }
    if (strlen(defaultHostName) >= S3_MAX_HOSTNAME_SIZE) {
        return S3StatusUriTooLong;
    }
    strcpy(defaultHostNameG, defaultHostName);

    struct utsname utsn;
    if (uname(&utsn)) {
        compose_user_agent(userAgentG, static_cast<int>(sizeof(userAgentG)), userAgentInfo,
                           nullptr, nullptr);
    } else {
        compose_user_agent(userAgentG, static_cast<int>(sizeof(userAgentG)), userAgentInfo,
                           utsn.sysname, utsn.machine);
    }
    return request_pool_initialize();
}

void request_api_deinitialize(void)
{
    request_pool_deinitialize();
}
