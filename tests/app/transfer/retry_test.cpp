// The retry policy: what is tried again, what counts as an unreachable store,
// the backoff's bounds, one file's life limit, and when sending stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "retry.h"

namespace {

TEST(RetryPolicy, GatewayAndStoreTryAgainAnswersAreRetriedRefusalsAreNot)
{
    struct Case {
        S3Status status;
        const char *code;
        bool bRetry;
        bool bConnection;
        int httpStatus = 0;
    };
    const std::vector<Case> cases = {
        {S3StatusHttpErrorInternalServerError, nullptr, true, false},
        {S3StatusHttpErrorBadGateway, nullptr, true, false},
        {S3StatusHttpErrorServiceUnavailable, nullptr, true, false},
        {S3StatusHttpErrorGatewayTimeout, nullptr, true, false},
        {S3StatusErrorSlowDown, "SlowDown", true, false},
        {S3StatusErrorInternalError, "InternalError", true, false},
        // A code the client has no status for still decides.
        {S3StatusErrorUnknown, "ServiceUnavailable", true, false},
        {S3StatusHttpErrorUnknown, "SlowDown", true, false},
        {S3StatusErrorRequestTimeout, "RequestTimeout", true, false},
        {S3StatusConnectionFailed, nullptr, true, true},
        {S3StatusFailedToConnect, nullptr, true, true},
        {S3StatusNameLookupError, nullptr, true, true},
        // A real fault of the client is neither worth a retry nor the network.
        {S3StatusInternalError, nullptr, false, false},
        {S3StatusInternalError, "", false, false},
        {S3StatusAbortedByCallback, nullptr, false, false},
        {S3StatusErrorAccessDenied, "AccessDenied", false, false},
        {S3StatusErrorSignatureDoesNotMatch, "SignatureDoesNotMatch", false, false},
        {S3StatusErrorBadDigest, "BadDigest", false, false},
        {S3StatusHttpErrorNotFound, nullptr, false, false},
        {S3StatusHttpErrorUnknown, nullptr, false, false},
        {S3StatusHttpErrorForbidden, "", false, false},
        // A gateway's page the client could not read as an error document.
        {S3StatusXmlParseFailure, nullptr, true, false, 503},
        {S3StatusXmlParseFailure, nullptr, true, false, 502},
        {S3StatusXmlParseFailure, nullptr, true, false, 500},
        {S3StatusXmlParseFailure, nullptr, false, false, 0},
        {S3StatusXmlParseFailure, nullptr, false, false, 200},
        {S3StatusErrorNotImplemented, "NotImplemented", false, false, 501},
        {S3StatusErrorAccessDenied, "AccessDenied", false, false, 403},
    };
    for (const Case &c : cases) {
        const std::string strWhat = std::string(S3_get_status_name(c.status)) + "/" +
                                    (c.code ? c.code : "(none)");
        EXPECT_EQ(isRetryableOutcome(c.status, c.code, c.httpStatus), c.bRetry)
            << strWhat << " " << c.httpStatus;
        EXPECT_EQ(isConnectionFailure(c.status), c.bConnection) << strWhat;
    }
}

// The waits of one file's tries add up to at least their floors, so a blip
// shorter than that is outlasted.
TEST(RetryPolicy, BackoffStaysBetweenHalfAndAllOfItsGrowingCap)
{
    for (int nTry : {-1, 0, 1, 2, 3, 4, 5, 30}) {
        const double cap = nTry <= 0 ? 0.25 : std::min(5.0, 0.25 * (1 << std::min(nTry, 10)));
        for (int i = 0; i < 200; ++i) {
            double d = retryDelaySeconds(nTry);
            ASSERT_GE(d, cap / 2) << nTry;
            ASSERT_LE(d, cap) << nTry;
        }
    }
}

TEST(RetryPolicy, OneFilesLifeIsEveryTryPlusEveryWaitCappedAtADay)
{
    struct Case {
        long nRequestTimeout;
        int nRetries;
        int64_t nLife;
    };
    const std::vector<Case> cases = {
        {300, 3, 300 * 4 + 3 * 5}, // the defaults: 20 min 15 s
        {1, 0, 1},
        {10, 2, 30 + 10},
        {300, -1, 300},
        {86400, 3, 86400},
        {50000, 1, 86400},
    };
    for (const Case &c : cases)
        EXPECT_EQ(uploadLifeSeconds(c.nRequestTimeout, c.nRetries), c.nLife)
            << c.nRequestTimeout << " s, " << c.nRetries << " retries";
}

// Each word is one file decided for good, in completion order, and the
// outcome of each of its tries: 'U' a connection failure, 'R' another
// failure (a refusal, a gateway's 503), 'S' stored. Tries that failed
// together and were retried do not count: only files whose every try failed.
TEST(RetryPolicy, SendingStopsAfterTenUnreachableFilesInARowNotTenTries)
{
    struct Case {
        std::vector<std::string> files;
        bool bStop;
        int nInARow;
    };
    auto repeat = [](int n, const std::string &word) { return std::vector<std::string>(n, word); };
    auto join = [](std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<Case> cases = {
        {{}, false, 0},
        // A blip: 16 uploads in flight lose their connection at once and get
        // through on their second try.
        {repeat(16, "US"), false, 0},
        {repeat(32, "UUUS"), false, 0},
        {repeat(9, "UUUU"), false, 9},
        {repeat(10, "UUUU"), true, 10},
        {repeat(10, "U"), true, 10}, // no retries configured
        {join(repeat(9, "UUUU"), join({"UUS"}, repeat(9, "UUUU"))), false, 9},
        {join(repeat(5, "UUUU"), join({"UUUR"}, repeat(5, "UUUU"))), false, 5},
        {join(repeat(4, "S"), repeat(10, "UUUU")), true, 10},
        {repeat(16, "UUUU"), true, 16},
        {repeat(12, "RRRR"), false, 0},
    };
    for (const Case &c : cases) {
        ConnectionGuard guard;
        std::string strWhat;
        for (const std::string &file : c.files) {
            const int nUnreachable = static_cast<int>(std::count(file.begin(), file.end(), 'U'));
            guard.fileDecided(!file.empty() && file.back() == 'S', static_cast<int>(file.size()),
                              nUnreachable);
            strWhat += file + " ";
        }
        EXPECT_EQ(guard.shouldStop(), c.bStop) << strWhat;
        EXPECT_EQ(guard.filesInARow(), c.nInARow) << strWhat;
    }
}

} // namespace
