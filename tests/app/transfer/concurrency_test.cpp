// The upload limit: fixed numbers stay, auto grows while the completion rate
// rises, stops past the link's width and halves when the store pushes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <queue>
#include <vector>

#include "concurrency.h"
#include "s3client.h"

namespace {

using Clock = JobGovernor::Clock;

// The simulated time, going forward only.
Clock::time_point now = Clock::time_point() + std::chrono::hours(1);

// A link that carries nWidth requests at once: a request takes 100 ms, or
// proportionally longer when more than nWidth share the link as it starts.
// Runs nTries tries through the governor, as many in flight as it allows
// (a finished try is replaced at once), and returns the limits it went
// through. pushBack(nTry) says which tries the store pushes back.
std::vector<int> drive(JobGovernor &governor, int nWidth, int nTries,
                       bool (*pushBack)(int nTry) = nullptr)
{
    std::vector<int> limits{governor.limit()};
    std::priority_queue<Clock::time_point, std::vector<Clock::time_point>,
                        std::greater<Clock::time_point>>
        inFlight;
    int nStarted = 0, nEnded = 0;
    while (nEnded < nTries) {
        while (static_cast<int>(inFlight.size()) < governor.limit() && nStarted < nTries) {
            const double share = std::max(1.0, (inFlight.size() + 1.0) / nWidth);
            inFlight.push(now + std::chrono::microseconds(static_cast<long>(100000 * share)));
            ++nStarted;
            governor.started(static_cast<int>(inFlight.size()), now);
        }
        now = inFlight.top();
        inFlight.pop();
        governor.ended(pushBack && pushBack(nEnded), now);
        ++nEnded;
        if (limits.back() != governor.limit())
            limits.push_back(governor.limit());
    }
    return limits;
}

TEST(JobGovernor, AFixedNumberStaysWhateverTheStoreSays)
{
    for (int nJobs : {1, 4, 16, 64}) {
        JobGovernor governor(nJobs);
        drive(governor, 1000, 500, [](int nTry) { return nTry % 3 == 0; });
        EXPECT_EQ(governor.limit(), nJobs);
        EXPECT_EQ(governor.mostInFlight(), nJobs);
    }
}

TEST(JobGovernor, AutoGrowsFromSixteenWhileTheRateRisesAndHoldsOneStepPastTheWidth)
{
    const struct {
        int nWidth;
        int nFinal;
    } rows[] = {
        {1000, kAutoJobsMost}, // a wide link: all the way, never beyond
        {20, 48},              // 20 at once: 48 is the first step that is no faster
        {10, 32},              // narrower than the start: one step tried, held
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.nWidth);
        JobGovernor governor(0);
        EXPECT_EQ(governor.limit(), kAutoJobsStart);
        std::vector<int> limits = drive(governor, row.nWidth, 3000);
        EXPECT_EQ(governor.limit(), row.nFinal);
        EXPECT_EQ(governor.mostInFlight(), row.nFinal);
        // Additive steps only, upwards.
        for (std::size_t i = 1; i < limits.size(); ++i)
            EXPECT_EQ(limits[i] - limits[i - 1], kAutoJobsStep);
    }
}

TEST(JobGovernor, AutoStepsUpAfterItsFirstWaveAndReachesTheTopWithinAFewHundredFiles)
{
    // The first wave is measured from its start: a batch of a hundred files
    // does not wait two waves at the start limit.
    JobGovernor first(0);
    drive(first, 1000, kAutoJobsStart);
    EXPECT_EQ(first.limit(), kAutoJobsStart + kAutoJobsStep);

    JobGovernor governor(0);
    drive(governor, 1000, 300);
    EXPECT_EQ(governor.limit(), kAutoJobsMost);
}

TEST(JobGovernor, PushBackHalvesOnceForTriesRefusedTogetherAndGrowthResumes)
{
    JobGovernor governor(0);
    drive(governor, 1000, 1000);
    ASSERT_EQ(governor.limit(), kAutoJobsMost);
    // Five tries refused one after another: one halving, not five.
    for (int i = 0; i < 5; ++i)
        governor.ended(true, now += std::chrono::milliseconds(1));
    EXPECT_EQ(governor.limit(), kAutoJobsMost / 2);
    // Refused again after a window of completions: halved again.
    drive(governor, 20, kAutoJobsMost / 2);
    governor.ended(true, now += std::chrono::seconds(10));
    EXPECT_EQ(governor.limit(), kAutoJobsMost / 4);
    // Never below one.
    for (int i = 0; i < 20; ++i) {
        drive(governor, 1, governor.limit()); // the window that settles after a halving
        governor.ended(true, now += std::chrono::seconds(10 + i));
    }
    EXPECT_EQ(governor.limit(), 1);
    // The store takes more again: additive growth from there, one step
    // after a window to settle and one to measure.
    drive(governor, 1000, 2);
    EXPECT_EQ(governor.limit(), 1 + kAutoJobsStep);
    drive(governor, 1000, 1000);
    EXPECT_EQ(governor.limit(), kAutoJobsMost);
    EXPECT_EQ(governor.mostInFlight(), kAutoJobsMost);
}

TEST(JobGovernor, SlowDownServiceUnavailableAndBrokenConnectionsArePushBack)
{
    const struct {
        S3Status status;
        const char *code;
        int http;
        bool bPushBack;
    } rows[] = {
        {S3StatusErrorSlowDown, "SlowDown", 503, true},
        {S3StatusHttpErrorServiceUnavailable, nullptr, 503, true},
        {S3StatusErrorUnknown, "ServiceUnavailable", 503, true},
        {S3StatusErrorUnknown, "SlowDown", 0, true},
        {S3StatusConnectionFailed, nullptr, 0, true},
        {S3StatusFailedToConnect, nullptr, 0, true},
        {S3StatusOK, nullptr, 200, false},
        {S3StatusErrorAccessDenied, "AccessDenied", 403, false},
        {S3StatusErrorInternalError, "InternalError", 500, false},
        {S3StatusErrorBadDigest, "BadDigest", 400, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(S3_get_status_name(row.status));
        EXPECT_EQ(isPushBack(row.status, row.code, row.http), row.bPushBack);
    }
}

} // namespace
