// request_runner.h - the one loop every repeated request of a run goes
// through: uploads, HEADs, header copies and multi-object deletes are jobs of
// a RequestRunner, which owns what each of them needs: the run's request
// context, the job limit, the one retry policy with its heap of due retries,
// the rule that stops sending when the store is gone (counted over the whole
// run), the blocks of lines printed in the jobs' order, and the clean-up of a
// context that broke.
#pragma once

#include <chrono>
#include <deque>
#include <cstddef>
#include <limits>
#include <functional>
#include <string>
#include <vector>

#include "aside_worker.h"
#include "events.h"
#include "s3client.h"
#include "store_answer.h"

class Session;
class TransferObserver;

// One request repeated until it is done or given up. A job is owned by its
// caller and must outlive RequestRunner::run(); the runner holds pointers.
class RunnerJob {
public:
    using Clock = std::chrono::steady_clock;

    // How a try ended, as the job sees it before the retry policy is asked.
    enum class Settled {
        No,           // nothing of its own: the retry policy decides
        OwnFailure,   // it failed for a reason of its own (a changed file): no retry
        OutOfTime,    // past its life limit: no retry, counts for the stop rule
    };

    virtual ~RunnerJob() = default;

    // Readies the next try (the first when tries() is 0). False when the job
    // cannot be sent: it has then ended itself with finish(false).
    virtual bool prepareTry() = 0;
    // Sends the readied try on rc; its complete callback calls tryEnded().
    virtual void sendTry(S3RequestContext *rc) = 0;
    // Called when a failed try ended, before the retry policy.
    virtual Settled settle() { return Settled::No; }
    // What follows a try that succeeded: the job is done, it has another
    // request to send now (the next page of a listing; its tries count anew),
    // it failed after all (an answer the job cannot take), or it waits for
    // jobs it added (a file's parts) until resume() hands it back (its tries
    // then count anew).
    enum class Next { Done, More, Failed, Wait };
    virtual Next succeeded() { return Next::Done; }
    // Ends the job: the store did what was asked (bOk), or the job is given
    // up. Adds the job's last lines. Called exactly once.
    virtual void finish(bool bOk) = 0;
    // What a retry line names after "retry N of M in S s: " and the code.
    virtual std::string retrySubject() const { return ""; }
    // The key a retry event names ("" = none).
    virtual std::string retryKey() const { return ""; }
    // The whole text of a retry line after "retry N of M in S s: ": the
    // store's code (or the status) and retrySubject().
    virtual std::string retryReason() const;
    // Whether the failed try is worth another: the run's retry policy
    // (isRetryableOutcome), unless the job's service has its own.
    virtual bool worthRetry() const;
    // The end of the job's life limit; past it no retry starts.
    virtual Clock::time_point deadline() const { return Clock::time_point::max(); }
    // The line that says the job ran out of time (with Settled::OutOfTime or
    // a retry due past the deadline).
    virtual std::string outOfTimeLine() const { return "took longer than its limit"; }
    // Told that a retry was scheduled (the progress line counts them).
    virtual void retryScheduled() {}
    // The runner gives up on the job before its (next) try, because sending
    // stopped (the store is gone, or a signal asked the run to stop): the
    // block says so (notSentLine()).
    virtual void notSent();
    // Prints the job's block.
    virtual void print();

    // Filled by the job's complete callback through tryEnded().
    void tryEnded(S3Status status, const S3ErrorDetails *details);

    // The bucket context to send the try with: ctx as the run sends now
    // (Session::current). Only while the runner runs the job.
    S3BucketContext sending(const S3BucketContext &ctx) const;
    // Whether a refusal that asks for another signature, region or endpoint
    // is followed (the try sent again as asked); a request to another
    // service than the store says no.
    virtual bool followsStore() const { return true; }
    // Drops the lines of a try that is sent again as the store asked: the
    // lines from nLines on.
    virtual void forgetTry(std::size_t nLines) { lines.resize(nLines); }
    // Adds job to this job's runner, to start before any job not yet begun
    // (the parts of a file that is being sent); it shares the job limit and
    // the retry policy. Its lines are this job's to take (the runner prints
    // no block for it), and it must stay valid until this job has ended.
    void spawn(RunnerJob &job);
    // Sends this waiting job's next request (see Next::Wait).
    void resume();
    // Slow work the next try needs first (reading a large file for its
    // digests, encoding it): called from prepareTry(), which then returns
    // true. The try is not sent; work runs on the runner's worker thread
    // while the requests in flight go on, and once it has ended prepareTry()
    // is called again (tries() unchanged). Meanwhile the job holds its place
    // among the jobs in flight, and work may touch only the job's own state.
    void runAside(AsideWork work) { aside = std::move(work); }

    int tries() const { return nTries; }
    bool done() const { return bDone; }
    S3Status status() const { return lastStatus; }
    const std::string &code() const { return strCode; }
    int httpStatus() const { return nHttpStatus; }
    // The last try's error message from the answer ("" = none).
    const std::string &message() const { return strMessage; }
    // The error event of the job's last try: the store's code (else the
    // client's status name), its HTTP status and message; strWhy, when the
    // job failed for a reason of its own, in place of the message.
    ErrorEvent errorEvent(const char *pszStage, const std::string &strKey,
                          const std::string &strPath, const std::string &strWhy = "") const;

    // The job's block: printed once every block before it is out.
    std::vector<std::string> lines;

private:
    friend class RequestRunner;
    class RequestRunner *runner = nullptr;
    std::size_t index = 0;
    int nTries = 0;
    int nUnreachableTries = 0;
    int nGeneration = 0;          // the session's signing when the try was sent
    std::size_t nLinesAtTry = 0;  // lines before the try's own
    int nFollowed = 0;            // tries sent again as the store asked
    StoreAsk ask;                 // what the last try's refusal asked for
    bool bDone = false;
    AsideWork aside;              // set by runAside() until the runner takes it
    Clock::time_point due;
    S3Status lastStatus = S3StatusInternalError;
    std::string strCode;
    std::string strMessage;
    int nHttpStatus = 0;
};

// The line of a job given up before (another) try: the store could not be
// reached, or a signal asked the run to stop.
std::string notSentLine();
// "SIGTERM" for SIGTERM, and so on for the signals that stop a run.
const char *signalName(int sig);

// How a runner goes about its jobs.
struct RunnerOptions {
    // Requests in flight at once: this many, or (0) the session's job limit,
    // which the requests then teach (SITEMIRROR_JOBS=auto).
    int nFixedLimit = 0;
    // Blocks are printed only by finish(), not as they are ready (a listing
    // that runs beside the scan prints after it).
    bool bHoldOutput = false;
    // A job that fails ends every job after it: they are not sent on and
    // their blocks are not printed (a listing is whole up to its first
    // failed range, and no further).
    bool bFailureEndsLater = false;
};

// The jobs of a long run (a million files to send), made one at a time as
// the runner takes them and given back as soon as they end: the runner holds
// only the jobs in flight or waiting, and the lines of those that ended
// until their turn to print, never a job per file. A feed's jobs print their
// lines as they are (RunnerJob::print is not called).
class JobFeed {
public:
    virtual ~JobFeed() = default;
    // How many jobs there are.
    virtual std::size_t count() const = 0;
    // Job i, made when the runner first needs it (in order, each once); it
    // stays valid until given back.
    virtual RunnerJob &make(std::size_t i) = 0;
    // Job i has ended (its lines are taken): the runner does not touch it again.
    virtual void giveBack(std::size_t i) = 0;
};

class RequestRunner {
public:
    // jobs in the order their blocks are printed; observer (null: none) is
    // told before lines are printed, so that a progress line makes room.
    RequestRunner(Session &session, std::vector<RunnerJob *> jobs,
                  TransferObserver *observer = nullptr, RunnerOptions options = RunnerOptions());
    // The same with jobs made by feed (which must outlive the runner).
    RequestRunner(Session &session, JobFeed &feed, TransferObserver *observer = nullptr,
                  RunnerOptions options = RunnerOptions());
    ~RequestRunner();
    RequestRunner(const RequestRunner &) = delete;
    RequestRunner &operator=(const RequestRunner &) = delete;

    // Runs every job to its end on the session's request context, at most
    // the job limit in flight, and prints their blocks. False when no
    // request context could be had: strNoContextLine is printed and every
    // job is given up.
    bool run(const std::string &strNoContextLine = "cannot set up the transfers");

    // The same in steps, for a caller with work of its own between them:
    // start() sends the first requests (false as run()), poll() does what is
    // ready now without waiting, finish() runs the jobs to their end and
    // prints, abandon() ends the requests in flight and prints nothing.
    bool start(const std::string &strNoContextLine = "cannot set up the transfers");
    void poll();
    void finish();
    void abandon();

    // True when a job failed (or, with bFailureEndsLater, the first that did
    // is known).
    bool anyFailed() const { return bAnyFailed; }

    // For a caller that takes the jobs' results in order as they come: new
    // jobs from index on wait (retries and next requests of started jobs go
    // on) until a later call lets them; finish() lets every job go.
    void holdNewFrom(std::size_t index);
    // Does the work until ready() is true or nothing more can come. False
    // when the request context broke or a signal asked the run to stop
    // (finish() then ends what is left).
    bool waitUntil(const std::function<bool()> &ready);

private:
    friend class RunnerJob;
    void decide(RunnerJob &job);
    bool runUntil(const std::function<bool()> &done);
    void add(RunnerJob &job);
    void start(RunnerJob &job);
    void startReady();
    void printNext();
    void printReady();
    void step();
    void stopSending();
    void end(RunnerJob &job, bool bOk);
    void markDone(RunnerJob &job, bool bOk);
    void queueAt(RunnerJob &job, std::chrono::steady_clock::time_point due);
    bool finished() const;
    bool mayStart(std::size_t index) const { return index <= firstFailed; }
    // Job i, made by the feed when it is not yet.
    RunnerJob &jobAt(std::size_t i);
    bool isDone(std::size_t i) const { return doneAt[i]; }
    // A job of the feed that ended: its lines kept, the job given back.
    void retire(RunnerJob &job);
    // Ends a job before (another) try: its block says it was not sent.
    void giveUpUnsent(RunnerJob &job);
    void takeAsideEnded();
    int limit() const;
    // Orders the heap of due jobs: the earliest due on top.
    struct DueLater {
        const RequestRunner *runner;
        bool operator()(std::size_t a, std::size_t b) const;
    };

    Session &session;
    std::vector<RunnerJob *> jobs; // null: not yet made, or given back to the feed
    std::vector<bool> doneAt;       // by index: the job has ended
    JobFeed *feed = nullptr;
    std::deque<std::vector<std::string>> held; // lines of the feed's jobs from nextPrint on
    TransferObserver *observer;
    RunnerOptions options;
    S3RequestContext *rc = nullptr;
    std::size_t nDone = 0;
    std::size_t firstFailed; // with bFailureEndsLater, the first job that failed
    bool bAnyFailed = false;
    bool bAbandoned = false;
    std::vector<std::size_t> completed; // filled by tryEnded()
    std::vector<std::size_t> retries;   // a heap by due time
    std::size_t nInitial; // the jobs given; those added later start from the heap
    std::size_t nextNew = 0;
    std::size_t nNewLimit = std::numeric_limits<std::size_t>::max(); // new jobs from here wait
    bool bBrokenWait = false; // waitUntil() met a broken context
    std::size_t nextPrint = 0;
    int nRunning = 0;
    int nAside = 0; // jobs whose work is with the worker
    AsideWorker worker;
    bool bStopped = false;
};
