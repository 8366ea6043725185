// retry.cpp - the one retry policy of uploads and listing pages.
#include "retry.h"

#include <algorithm>
#include <cstring>
#include <random>

bool isRetryableOutcome(S3Status status, const char *pszCode, int httpStatus)
{
    if (isConnectionFailure(status) || S3_status_is_retryable(status))
        return true;
    if (httpStatus == 500 || httpStatus == 502 || httpStatus == 503 || httpStatus == 504)
        return true;
    switch (status) {
    case S3StatusErrorSlowDown:
    case S3StatusErrorInternalError:
    case S3StatusErrorRequestTimeout:
    case S3StatusErrorOperationAborted:
    case S3StatusHttpErrorInternalServerError:
    case S3StatusHttpErrorBadGateway:
    case S3StatusHttpErrorServiceUnavailable:
    case S3StatusHttpErrorGatewayTimeout:
        return true;
    default:
        break;
    }
    if (!pszCode)
        return false;
    static const char *const codes[] = {"SlowDown", "InternalError", "ServiceUnavailable",
                                        "RequestTimeout", "OperationAborted"};
    return std::any_of(std::begin(codes), std::end(codes),
                       [pszCode](const char *c) { return std::strcmp(c, pszCode) == 0; });
}

bool isConnectionFailure(S3Status status)
{
    return status == S3StatusNameLookupError || status == S3StatusFailedToConnect ||
           status == S3StatusConnectionFailed;
}

double retryDelaySeconds(int nTry)
{
    static std::mt19937 engine{std::random_device{}()};
    double cap = std::min(kMaxRetryDelaySeconds,
                          0.25 * static_cast<double>(1u << std::clamp(nTry, 0, 10)));
    return std::uniform_real_distribution<double>(cap / 2, cap)(engine);
}

int64_t uploadLifeSeconds(long nRequestTimeout, int nRetries)
{
    constexpr int64_t kCap = 86400;
    const int64_t nTries = static_cast<int64_t>(std::max(nRetries, 0)) + 1;
    const int64_t nRequest = std::clamp<int64_t>(nRequestTimeout, 1, kCap);
    const int64_t nWaits = (nTries - 1) * static_cast<int64_t>(kMaxRetryDelaySeconds);
    return std::min(kCap, nRequest * nTries + nWaits);
}
