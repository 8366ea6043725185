// How many uploads a mirror run keeps in flight, against the checking store:
// a number fixes it, auto starts at 16 and halves when the store says to slow
// down (it never grows while refused), and the summary names the most that were in flight.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "site.h"

namespace {

// The summary's ", most in flight N"; -1 when it has none.
int mostInFlight(const std::string &out)
{
    const std::size_t summary = out.rfind("\nsummary: sent ");
    if (summary == std::string::npos)
        return -1;
    const std::size_t end = out.find('\n', summary + 1);
    const std::string line = out.substr(summary + 1, end - summary - 1);
    const std::string mark = ", most in flight ";
    const std::size_t at = line.find(mark);
    return at == std::string::npos ? -1 : std::stoi(line.substr(at + mark.size()));
}

void writePages(e2e::Site &site, int n)
{
    for (int i = 0; i < n; ++i)
        site.write("p" + std::to_string(1000 + i) + ".html", "<p>" + std::to_string(i) + "</p>\n");
}

TEST(JobsInFlight, ANumberFixesItAndTheSummaryNamesTheMost)
{
    for (const char *pszJobs : {"1", "3"}) {
        SCOPED_TRACE(pszJobs);
        e2e::StoreRun run({}, "jobs.example", "-q");
        writePages(run.site, 24);
        e2e::ToolRun first = run.mirror({{"SITEMIRROR_JOBS", pszJobs}});
        ASSERT_EQ(first.status, 0) << first.out;
        EXPECT_EQ(mostInFlight(first.out), std::stoi(pszJobs)) << first.out;
        EXPECT_LE(run.store.counters().maxInFlight, std::stoi(pszJobs));
        // Nothing sent: the summary has no such count.
        e2e::ToolRun settled = run.mirror({{"SITEMIRROR_JOBS", pszJobs}});
        e2e::ToolRun again = run.mirror({{"SITEMIRROR_JOBS", pszJobs}});
        ASSERT_EQ(again.status, 0) << again.out;
        EXPECT_EQ(mostInFlight(again.out), -1) << again.out;
        EXPECT_NE(again.out.find("\nsummary: sent 0 (0 B), failed 0, unchanged 25, ignored 0, "),
                  std::string::npos)
            << again.out;
    }
}

TEST(JobsInFlight, AutoStartsAtSixteenAndNeverPassesSixtyFour)
{
    e2e::StoreRun run({}, "auto.example", "-q");
    writePages(run.site, 300);
    e2e::ToolRun first = run.mirror();
    ASSERT_EQ(first.status, 0) << first.out;
    const int nMost = mostInFlight(first.out);
    EXPECT_GE(nMost, 16) << first.out;
    EXPECT_LE(nMost, 64) << first.out;
    EXPECT_LE(run.store.counters().maxInFlight, nMost);
}

TEST(JobsInFlight, AutoNeverGrowsWhileTheStoreSaysSlowDown)
{
    harness::StoreOptions options;
    options.slowDownPuts = -1; // every PUT: 503 SlowDown
    e2e::StoreRun run(options, "slow.example", "-q");
    writePages(run.site, 63);
    e2e::ToolRun first = run.mirror({{"SITEMIRROR_RETRIES", "1"}});
    EXPECT_EQ(first.status, 1) << first.out;
    EXPECT_EQ(mostInFlight(first.out), 16) << first.out;
    EXPECT_LE(run.store.counters().maxInFlight, 16);
    EXPECT_EQ(run.store.counters().puts, 126); // the index page waits for the pages
    EXPECT_NE(first.out.find("\nsummary: sent 0 (0 B), failed 64, "), std::string::npos) << first.out;
}

} // namespace
