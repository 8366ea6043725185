// The request runner's rules seen with jobs of its own making: blocks in the
// jobs' order, a job's next request, and a wait that breaks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "request_runner.h"
#include "session.h"
#include "settings.h"

namespace {

// A job whose tries end at once with the statuses given (one per try), or,
// with none left, never: its request stays in flight.
class ScriptedJob : public RunnerJob {
public:
    ScriptedJob(std::string strName, std::vector<S3Status> tries, int nPages = 1)
        : strName(std::move(strName)), script(std::move(tries)), nPagesLeft(nPages)
    {
    }
    bool prepareTry() override { return true; }
    void sendTry(S3RequestContext *) override
    {
        if (next >= script.size())
            return; // in flight until the context ends
        lines.push_back(strName + " try");
        tryEnded(script[next++], nullptr);
    }
    Next succeeded() override { return --nPagesLeft > 0 ? Next::More : Next::Done; }
    void finish(bool bOk) override
    {
        if (lines.empty() || lines.back() != "not sent: the store could not be reached")
            lines.push_back(strName + (bOk ? " done" : " failed"));
    }
    void print() override { printed = lines; }

    std::string strName;
    std::vector<S3Status> script;
    std::size_t next = 0;
    int nPagesLeft;
    std::vector<std::string> printed;
};

class Runner : public ::testing::Test {
protected:
    Runner() : session(settings()) {}
    static const Settings &settings()
    {
        static Settings s = [] {
            Settings made = readProcessSettings({});
            made.nRetries = 2;
            made.bQuiet = true;
            return made;
        }();
        return s;
    }
    Session session;
};

TEST_F(Runner, RetriesNextRequestsAndBlocksInOrder)
{
    ScriptedJob a("a", {S3StatusOK, S3StatusOK, S3StatusOK}, 3);           // three pages
    ScriptedJob b("b", {S3StatusErrorSlowDown, S3StatusOK});               // one retry
    ScriptedJob c("c", {S3StatusErrorAccessDenied});                        // refused: no retry
    ScriptedJob d("d", {S3StatusErrorSlowDown, S3StatusErrorSlowDown, S3StatusErrorSlowDown});
    RequestRunner runner(session, {&a, &b, &c, &d});
    ASSERT_TRUE(runner.run());
    EXPECT_EQ(a.printed, (std::vector<std::string>{"a try", "a try", "a try", "a done"}));
    ASSERT_EQ(b.printed.size(), 4u);
    EXPECT_EQ(b.printed[1].rfind("retry 1 of 2 in ", 0), 0u) << b.printed[1];
    EXPECT_EQ(b.printed[3], "b done");
    EXPECT_EQ(c.printed, (std::vector<std::string>{"c try", "c failed"}));
    // Three tries in all (two retries), then given up.
    EXPECT_EQ(d.next, 3u);
    EXPECT_EQ(d.printed.back(), "d failed");
    EXPECT_TRUE(runner.anyFailed());
}

// Ten jobs in a row that never reach the store stop the sending for the
// rest of the run: a later step (another runner) sends nothing at all.
TEST_F(Runner, AfterTenUnreachableJobsNoLaterStepSends)
{
    const std::vector<S3Status> unreachable(3, S3StatusFailedToConnect);
    std::vector<ScriptedJob> failing;
    for (int i = 0; i < 12; ++i)
        failing.emplace_back("f" + std::to_string(i), unreachable);
    std::vector<RunnerJob *> first;
    for (ScriptedJob &job : failing)
        first.push_back(&job);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(RequestRunner(session, first).run());
    EXPECT_TRUE(session.connectionGuard().shouldStop());

    ScriptedJob later("later", {S3StatusOK});
    ASSERT_TRUE(RequestRunner(session, {&later}).run());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(later.next, 0u);
    EXPECT_EQ(later.printed.front(), "not sent: the store could not be reached");
    // Said once for the run.
    EXPECT_EQ(out, "stopped sending: 10 uploads in a row could not reach the store\n");
}

// A wait that breaks ends the context: with a failure ending the later jobs
// (a listing), the first job not done in the jobs' order is the one named,
// whichever it is, and nothing after it is printed.
TEST_F(Runner, ABrokenWaitNamesTheFirstJobNotDone)
{
    ScriptedJob first("first", {S3StatusOK});
    ScriptedJob second("second", {S3StatusOK, S3StatusOK}, 3); // its third page never ends
    ScriptedJob third("third", {});                          // never ends
    int nWaits = 0;
    session.replaceWait([&nWaits] { return ++nWaits < 3; });
    RunnerOptions options;
    options.bHoldOutput = true;
    options.bFailureEndsLater = true;
    options.nFixedLimit = 8;
    RequestRunner runner(session, {&first, &second, &third}, nullptr, options);
    ASSERT_TRUE(runner.start());
    runner.finish();
    EXPECT_TRUE(runner.anyFailed());
    EXPECT_EQ(first.printed, (std::vector<std::string>{"first try", "first done"}));
    EXPECT_EQ(second.printed, (std::vector<std::string>{"second try", "second try", "second failed"}));
    EXPECT_TRUE(third.printed.empty());
    EXPECT_EQ(nWaits, 3);
}

// A job with slow work before its request (a large file read for its
// digests, or encoded) does it on the worker thread: the other jobs' requests
// go on and end meanwhile, then the job is sent.
TEST_F(Runner, SlowWorkOfAJobsOwnDoesNotHoldUpTheOthers)
{
    std::atomic<bool> bOthersDone{false};
    class Slow : public ScriptedJob {
    public:
        explicit Slow(std::atomic<bool> &bOthers) : ScriptedJob("slow", {S3StatusOK}), bOthers(bOthers) {}
        bool prepareTry() override
        {
            if (!bAsked) {
                bAsked = true;
                runAside([this](const std::atomic<bool> &bCancel) {
                    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(20);
                    while (!bOthers.load() && !bCancel.load() && Clock::now() < giveUp)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    bSawOthersEnd = bOthers.load();
                });
            }
            return true;
        }
        std::atomic<bool> &bOthers;
        bool bAsked = false;
        bool bSawOthersEnd = false;
    };
    class Other : public ScriptedJob {
    public:
        // Three pages, the first tried again.
        explicit Other(std::atomic<bool> &bDone)
            : ScriptedJob("other", {S3StatusErrorSlowDown, S3StatusOK, S3StatusOK, S3StatusOK}, 3), bDone(bDone)
        {
        }
        void finish(bool bOk) override
        {
            ScriptedJob::finish(bOk);
            bDone.store(true);
        }
        std::atomic<bool> &bDone;
    };
    Slow slow(bOthersDone);
    Other other(bOthersDone);
    RunnerOptions options;
    options.nFixedLimit = 2;
    RequestRunner runner(session, {&slow, &other}, nullptr, options);
    ASSERT_TRUE(runner.run());
    EXPECT_TRUE(slow.bSawOthersEnd);
    EXPECT_EQ(slow.printed, (std::vector<std::string>{"slow try", "slow done"}));
    EXPECT_EQ(other.printed.back(), "other done");
    EXPECT_FALSE(runner.anyFailed());
}

} // namespace

namespace {

// Jobs made on demand: counts how many are alive at once and keeps the
// printed blocks in the order they came out.
class CountingFeed : public JobFeed {
public:
    // The first job tries as first says, every other as rest says.
    CountingFeed(std::size_t n, std::vector<S3Status> first, std::vector<S3Status> rest)
        : jobs(n), firstScript(std::move(first)), script(std::move(rest))
    {
    }
    std::size_t count() const override { return jobs.size(); }
    RunnerJob &make(std::size_t i) override
    {
        EXPECT_FALSE(jobs[i]) << "job " << i << " made twice";
        jobs[i].reset(new ScriptedJob("j" + std::to_string(i), i == 0 ? firstScript : script));
        ++nMade;
        nMostAlive = std::max(nMostAlive, ++nAlive);
        return *jobs[i];
    }
    void giveBack(std::size_t i) override
    {
        ASSERT_TRUE(jobs[i]) << "job " << i << " given back before it was made";
        EXPECT_TRUE(jobs[i]->done());
        jobs[i].reset();
        --nAlive;
    }
    std::vector<std::unique_ptr<ScriptedJob>> jobs;
    std::vector<S3Status> firstScript, script;
    std::size_t nMade = 0, nAlive = 0, nMostAlive = 0;
};

} // namespace

// Thousands of jobs from a feed: each is made as the runner takes it and let
// go as soon as it ends, its lines kept until its turn, so that only the jobs
// in flight or waiting for a retry are alive at once, however many wait to be
// printed behind a first job that waits for its retry; blocks come out whole
// and in order, also when the store cannot be reached and sending stops.
TEST_F(Runner, JobsOfAFeedAreMadeAsTakenAndLetGoAsTheyEnd)
{
    const std::vector<std::vector<S3Status>> scripts = {
        {S3StatusOK},
        std::vector<S3Status>(3, S3StatusFailedToConnect),
    };
    for (const std::vector<S3Status> &script : scripts) {
        Session fresh(settings());
        CountingFeed feed(3000, {S3StatusErrorSlowDown, script.front(), script.front()}, script);
        RunnerOptions options;
        options.nFixedLimit = 4;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(RequestRunner(fresh, feed, nullptr, options).run());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(feed.nMade, 3000u);
        EXPECT_EQ(feed.nAlive, 0u);
        // Four in flight and the first waiting for its retry (when every
        // try fails, every job waits for its retry: no bound to check).
        if (script.front() == S3StatusOK) {
            EXPECT_LE(feed.nMostAlive, 5u);
        }
        // Every block whole, in the jobs' order: each job's lines, or the
        // line of a job given up, before the next job's.
        std::istringstream lines(out);
        std::string strLine;
        std::size_t nBlocks = 0, nNotSent = 0;
        while (std::getline(lines, strLine)) {
            if (strLine.rfind("stopped sending: ", 0) == 0 || strLine.rfind("retry ", 0) == 0)
                continue;
            const std::string strName = "j" + std::to_string(nBlocks);
            if (strLine == "not sent: the store could not be reached") {
                ++nNotSent;
                ++nBlocks;
            } else if (strLine == strName + " done" || strLine == strName + " failed") {
                ++nBlocks;
            } else {
                ASSERT_EQ(strLine, strName + " try");
            }
        }
        EXPECT_EQ(nBlocks, 3000u);
        if (script.back() == S3StatusOK)
            EXPECT_EQ(nNotSent, 0u);
        else
            EXPECT_GT(nNotSent, 1000u);
    }
}
