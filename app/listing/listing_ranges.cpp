// listing_ranges.cpp - ranges of the bucket listed side by side as jobs of a
// request runner, each page's lines kept for printing in key order.
#include "listing_ranges.h"

#include <cstring>
#include <deque>
#include <utility>

#include "console.h"
#include "outcome_lines.h"

std::vector<std::string> rangeCuts(const std::vector<const std::string *> &sortedKeys,
                                   const std::string &strPrefix)
{
    RangeCutter cutter(strPrefix);
    for (const std::string *key : sortedKeys)
        cutter.add(*key);
    return cutter.cuts();
}

void RangeCutter::add(const std::string &strKey)
{
    if (nKeys > 0 && nKeys % kKeysPerRange == 0)
        picked.push_back(strPrefix + strKey);
    ++nKeys;
}

std::vector<std::string> RangeCutter::cuts() const
{
    if (nKeys < 2 * static_cast<std::size_t>(kListPageSize))
        return std::vector<std::string>();
    return picked;
}

// One range: its pages one after the other, each after the last key of the
// one before, until the range's end.
struct RangedListing::Range : public RunnerJob {
    Session *session = nullptr;
    const S3BucketContext *ctx = nullptr;
    const char *pszPrefix = nullptr;
    S3ObjSet *result = nullptr; // null: records wait in ready for next()
    std::deque<S3Obj> ready;
    bool bEnded = false;
    bool bEndedWell = false;
    bool bRanged = false;
    std::string strMarker; // the next page starts after it
    bool bHaveMarker = false;
    std::string strEnd; // the range's last key: the next range starts after it
    bool bHaveEnd = false;
    ListPageData data;  // the page in flight
    bool bFailureSaid = false;
    // Which of its lines are hints: a hint is given (or not) when printed,
    // in key order.
    std::vector<std::size_t> hintsAt;

    void add(const std::vector<std::string> &more) { lines.insert(lines.end(), more.begin(), more.end()); }
    // "listing failed at the page after: KEY", or "... at its first page".
    std::string failedPageLine() const
    {
        return bHaveMarker ? "listing failed at the page after: " + consoleText(strMarker)
                           : std::string("listing failed at its first page");
    }

    bool prepareTry() override
    {
        data = ListPageData();
        return true;
    }
    void sendTry(S3RequestContext *rc) override
    {
        S3ListBucketHandler handler;
        std::memset(&handler, 0, sizeof handler);
        handler.responseHandler.propertiesCallback = propertiesCallback;
        handler.responseHandler.completeCallback = completeCallback;
        handler.listBucketCallback = listCallback;
        const S3BucketContext now = sending(*ctx);
        S3_list_bucket(&now, pszPrefix, bHaveMarker ? strMarker.c_str() : nullptr, nullptr, kListPageSize,
                       rc, &handler, this);
    }
    std::string retrySubject() const override { return " listing"; }
    void forgetTry(std::size_t nLines) override
    {
        RunnerJob::forgetTry(nLines);
        while (!hintsAt.empty() && hintsAt.back() >= nLines)
            hintsAt.pop_back();
    }
    Next succeeded() override;
    void finish(bool bOk) override
    {
        bEnded = true;
        bEndedWell = bOk;
        if (!bOk && !bFailureSaid)
            lines.push_back(failedPageLine());
    }
    void print() override
    {
        std::size_t nextHint = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const bool bHint = nextHint < hintsAt.size() && hintsAt[nextHint] == i;
            nextHint += bHint;
            if (!bHint || session->hints().giveOnce(lines[i]))
                printLine(lines[i]);
        }
    }

    static S3Status propertiesCallback(const S3ResponseProperties *prop, void *callbackData)
    {
        Range &range = *static_cast<Range *>(callbackData);
        if (!prop)
            return S3StatusHttpErrorBadRequest;
        range.add(propertiesLines(*prop));
        return S3StatusOK;
    }
    static void completeCallback(S3Status status, const S3ErrorDetails *details, void *callbackData)
    {
        Range &range = *static_cast<Range *>(callbackData);
        range.data.status = status;
        range.data.strCode = details && details->code ? details->code : "";
        range.data.httpStatus = details ? details->httpStatus : 0;
        range.add(outcomeLines(status, details, nullptr, false));
        // Which hint, if any, this outcome has (worked out on a copy of the
        // run's hints, so it names where the keys came from); whether it is
        // new to the run is known only when the lines are printed in key order.
        const std::string strHint = HintLog(range.session->hints()).once(status, details, false);
        if (!strHint.empty()) {
            range.hintsAt.push_back(range.lines.size());
            range.lines.push_back(strHint);
        }
        range.tryEnded(status, details);
    }
    static S3Status listCallback(int isTruncated, const char *nextMarker, int contentsCount,
                                 const S3ListBucketContent *contents, int commonPrefixesCount,
                                 const char **commonPrefixes, void *callbackData)
    {
        Range &range = *static_cast<Range *>(callbackData);
        return listBucketCallback(isTruncated, nextMarker, contentsCount, contents, commonPrefixesCount,
                                  commonPrefixes, &range.data);
    }
};

// One page came back: its records are taken, and the range goes on, is done,
// or has failed (a store that does not move past the marker would page
// forever).
RunnerJob::Next RangedListing::Range::succeeded()
{
    S3ObjVect page;
    page.swap(data.page);
    const bool bTruncated = data.bTruncated;
    if (page.empty())
        return Next::Done;
    const std::string strLast = page.back().key;
    if (bHaveMarker && strLast.compare(strMarker) <= 0) {
        lines.push_back("listing does not move past: " + consoleText(strMarker));
        bFailureSaid = true;
        return Next::Failed;
    }
    for (const S3Obj &obj : page) {
        // Keys past the range's end are the next range's.
        if (bHaveEnd && obj.key.compare(strEnd) > 0)
            break;
        if (result)
            result->insert(obj);
        else
            ready.push_back(obj);
    }
    if (bHaveEnd && strLast.compare(strEnd) >= 0)
        return Next::Done;
    // A ranged listing takes the store's word for its last page; one pass
    // asks until a page comes back empty, as designed.
    if (bRanged && !bTruncated && page.size() < static_cast<std::size_t>(kListPageSize))
        return Next::Done;
    strMarker = strLast;
    bHaveMarker = true;
    return Next::More;
}

RangedListing::RangedListing(Session &session, const S3BucketContext &ctx, const char *pszPrefix,
                             const std::vector<std::string> &cuts, S3ObjSet *result)
{
    std::vector<RunnerJob *> jobs;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        auto range = std::make_unique<Range>();
        range->session = &session;
        range->ctx = &ctx;
        range->pszPrefix = pszPrefix;
        range->result = result;
        range->bRanged = !cuts.empty();
        if (i > 0) {
            range->strMarker = cuts[i - 1];
            range->bHaveMarker = true;
        }
        if (i < cuts.size()) {
            range->strEnd = cuts[i];
            range->bHaveEnd = true;
        }
        jobs.push_back(range.get());
        ranges.push_back(std::move(range));
    }
    RunnerOptions options;
    options.nFixedLimit = kListingInFlight;
    options.bHoldOutput = true;
    options.bFailureEndsLater = true;
    runner = std::make_unique<RequestRunner>(session, std::move(jobs), nullptr, options);
}

RangedListing::~RangedListing() { runner.reset(); }

bool RangedListing::start()
{
    if (!ranges.front()->result)
        runner->holdNewFrom(kRangesAhead + 1);
    bStarted = runner->start("cannot set up the listing");
    return bStarted;
}

void RangedListing::poll()
{
    if (bStarted)
        runner->poll();
}

bool RangedListing::finish()
{
    if (!bStarted)
        return false;
    runner->finish();
    return !runner->anyFailed();
}

void RangedListing::abandon() { runner->abandon(); }

RangedListing::Take RangedListing::take(S3Obj &obj)
{
    while (bStarted && !bFailed && nTaking < ranges.size()) {
        Range &range = *ranges[nTaking];
        if (!range.ready.empty()) {
            obj = std::move(range.ready.front());
            range.ready.pop_front();
            return Take::Record;
        }
        if (!range.bEnded)
            return Take::Waiting;
        if (!range.bEndedWell) {
            bFailed = true;
            break;
        }
        ++nTaking;
        runner->holdNewFrom(nTaking + kRangesAhead + 1);
    }
    return Take::End;
}

bool RangedListing::next(S3Obj &obj)
{
    for (;;) {
        const Take taken = take(obj);
        if (taken != Take::Waiting)
            return taken == Take::Record;
        Range &range = *ranges[nTaking];
        if (!runner->waitUntil([&range]() { return !range.ready.empty() || range.bEnded; }) ||
            (range.ready.empty() && !range.bEnded)) {
            bFailed = true; // the context broke, or a signal stopped the run
            return false;
        }
    }
}
