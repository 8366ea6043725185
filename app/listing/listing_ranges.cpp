// listing_ranges.cpp - ranges of the bucket listed side by side on one request
// context, each page's lines kept for printing in key order.
#include "listing_ranges.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>

#include "console.h"
#include "outcome_lines.h"
#include "retry.h"

struct RangedListing::Range {
    RangedListing *owner = nullptr;
    std::size_t index = 0;
    std::string strMarker; // the next page starts after it
    bool bHaveMarker = false;
    std::string strEnd; // the range's last key: the next range starts after it
    bool bHaveEnd = false;
    ListPageData data;  // the page in flight
    int nTry = 0;       // tries of the page in flight before this one
    bool bInFlight = false;
    bool bDone = false;
    bool bFailed = false;
    Clock::time_point due; // when a page to be tried again may go
    // The lines of its requests so far; a hint is given (or not) when printed.
    std::vector<std::pair<std::string, bool>> lines; // text, is a hint
    void add(const std::vector<std::string> &texts)
    {
        for (const std::string &strText : texts)
            lines.emplace_back(strText, false);
    }
};

std::vector<std::string> rangeCuts(const std::vector<const std::string *> &sortedKeys,
                                   const std::string &strPrefix)
{
    std::vector<std::string> cuts;
    if (sortedKeys.size() < 2 * static_cast<std::size_t>(kListPageSize))
        return cuts;
    for (std::size_t i = kKeysPerRange; i < sortedKeys.size(); i += kKeysPerRange)
        cuts.push_back(strPrefix + *sortedKeys[i]);
    return cuts;
}

RangedListing::RangedListing(Session &session, const S3BucketContext &ctx, const char *pszPrefix,
                             const std::vector<std::string> &cuts, S3ObjSet &result)
    : session(session), ctx(ctx), pszPrefix(pszPrefix), result(result),
      ranges(cuts.size() + 1), nFailedRange(std::numeric_limits<std::size_t>::max()),
      bRanged(!cuts.empty())
{
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        Range &range = ranges[i];
        range.owner = this;
        range.index = i;
        if (i > 0) {
            range.strMarker = cuts[i - 1];
            range.bHaveMarker = true;
        }
        if (i < cuts.size()) {
            range.strEnd = cuts[i];
            range.bHaveEnd = true;
        }
        ready.push_back(i);
    }
}

RangedListing::~RangedListing() { abandon(); }

S3Status RangedListing::propertiesCallback(const S3ResponseProperties *prop, void *callbackData)
{
    Range &range = *static_cast<Range *>(callbackData);
    if (!prop)
        return S3StatusHttpErrorBadRequest;
    if (!range.owner->bAbandoned) {
        range.add(propertiesLines(*prop));
    }
    return S3StatusOK;
}

void RangedListing::completeCallback(S3Status status, const S3ErrorDetails *details,
                                     void *callbackData)
{
    Range &range = *static_cast<Range *>(callbackData);
    RangedListing &owner = *range.owner;
    range.data.status = status;
    range.data.strCode = details && details->code ? details->code : "";
    range.data.httpStatus = details ? details->httpStatus : 0;
    if (owner.bAbandoned)
        return;
    range.add(outcomeLines(status, details, nullptr, false));
    // Which hint, if any, this outcome has (worked out on a copy of the run's
    // hints, so it names where the keys came from); whether it is new to the
    // run is known only when the lines are printed in key order.
    const std::string strHint = HintLog(owner.session.hints()).once(status, details, false);
    if (!strHint.empty())
        range.lines.emplace_back(strHint, true);
    owner.completed.push_back(range.index);
}

S3Status RangedListing::listCallback(int isTruncated, const char *nextMarker, int contentsCount,
                                     const S3ListBucketContent *contents,
                                     int commonPrefixesCount, const char **commonPrefixes,
                                     void *callbackData)
{
    Range &range = *static_cast<Range *>(callbackData);
    return listBucketCallback(isTruncated, nextMarker, contentsCount, contents,
                              commonPrefixesCount, commonPrefixes, &range.data);
}

bool RangedListing::start()
{
    rc = session.requestContext();
    if (!rc) {
        printLine("cannot set up the listing");
        return false;
    }
    startReady();
    return true;
}

void RangedListing::send(Range &range)
{
    range.data = ListPageData();
    range.bInFlight = true;
    ++nRunning;
    S3ListBucketHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.responseHandler.propertiesCallback = propertiesCallback;
    handler.responseHandler.completeCallback = completeCallback;
    handler.listBucketCallback = listCallback;
    S3_list_bucket(&ctx, pszPrefix, range.bHaveMarker ? range.strMarker.c_str() : nullptr,
                   nullptr, kListPageSize, rc, &handler, &range);
}

// "listing failed at the page after: KEY", or "... at its first page".
std::string RangedListing::failedPageLine(const Range &range)
{
    return range.bHaveMarker ? "listing failed at the page after: " + consoleText(range.strMarker)
                             : std::string("listing failed at its first page");
}

void RangedListing::failRange(Range &range, const std::string &strLine)
{
    range.lines.emplace_back(strLine, false);
    range.bFailed = true;
    nFailedRange = std::min(nFailedRange, range.index);
}

// One page ended: its records are taken, and the range goes on, is tried
// again, is done, or has failed.
void RangedListing::pageEnded(Range &range)
{
    range.bInFlight = false;
    --nRunning;
    ListPageData &data = range.data;
    if (data.status != S3StatusOK) {
        // A page the store could not give now is asked for again; a refusal,
        // or the last try, fails the listing. A failed page is not the end
        // of the bucket: the line says which page it was.
        const int nRetries = session.settings().nRetries;
        if (!isRetryableOutcome(data.status, data.strCode.c_str(), data.httpStatus) ||
            range.nTry >= nRetries) {
            failRange(range, failedPageLine(range));
            return;
        }
        const double delay = retryDelaySeconds(range.nTry);
        char sz[128];
        std::snprintf(sz, sizeof sz, "retry %d of %d in %.2f s: %s listing", range.nTry + 1,
                      nRetries, delay,
                      data.strCode.empty() ? S3_get_status_name(data.status)
                                           : data.strCode.c_str());
        range.lines.emplace_back(sz, false);
        ++range.nTry;
        range.due = Clock::now() +
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
        ready.push_back(range.index);
        return;
    }
    range.nTry = 0;
    S3ObjVect page;
    page.swap(data.page);
    const bool bTruncated = data.bTruncated;
    if (page.empty()) {
        range.bDone = true;
        return;
    }
    // A service that does not move past the marker would page forever.
    const std::string strLast = page.back().key;
    if (range.bHaveMarker && strLast.compare(range.strMarker) <= 0) {
        failRange(range, "listing does not move past: " + consoleText(range.strMarker));
        return;
    }
    for (const S3Obj &obj : page) {
        // Keys past the range's end are the next range's.
        if (range.bHaveEnd && obj.key.compare(range.strEnd) > 0)
            break;
        result.insert(obj);
    }
    if (range.bHaveEnd && strLast.compare(range.strEnd) >= 0) {
        range.bDone = true;
        return;
    }
    // A ranged listing takes the store's word for its last page; one pass
    // asks until a page comes back empty, as designed.
    if (bRanged && !bTruncated && page.size() < static_cast<std::size_t>(kListPageSize)) {
        range.bDone = true;
        return;
    }
    range.strMarker = strLast;
    range.bHaveMarker = true;
    range.due = Clock::time_point();
    ready.push_back(range.index);
}

// Sends what may go now: pages in the order they became ready, a retry only
// once it is due. After a failure only the ranges before it go on: their
// lines come first, and one of them may fail earlier in key order.
void RangedListing::startReady()
{
    if (bAbandoned)
        return;
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < ready.size() && nRunning < kListingInFlight; ++i) {
        Range &range = ranges[ready[i]];
        if (range.due > now || range.index > nFailedRange)
            continue;
        send(range);
        ready.erase(ready.begin() + static_cast<std::ptrdiff_t>(i));
        --i;
    }
}

void RangedListing::poll()
{
    if (!rc || bAbandoned)
        return;
    if (nRunning > 0)
        S3_runonce_request_context(rc, nullptr);
    std::vector<std::size_t> ended;
    ended.swap(completed);
    for (std::size_t i : ended)
        pageEnded(ranges[i]);
    startReady();
}

bool RangedListing::finished() const
{
    for (const Range &range : ranges)
        if (range.index < nFailedRange && !range.bDone)
            return false;
    return true;
}

bool RangedListing::finish()
{
    if (!rc)
        return false;
    while (!finished()) {
        poll();
        if (finished() || !completed.empty())
            continue;
        if (nRunning == 0) {
            // Only retries that are not yet due: wait for the first.
            Clock::time_point first = Clock::time_point::max();
            for (std::size_t i : ready)
                if (i < nFailedRange)
                    first = std::min(first, ranges[i].due);
            if (first != Clock::time_point::max())
                std::this_thread::sleep_until(first);
            continue;
        }
        if (!session.waitForTransfers()) {
            // The pages in flight end with the context: the first of them in
            // key order is where the listing failed.
            for (Range &range : ranges) {
                if (range.bInFlight) {
                    failRange(range, failedPageLine(range));
                    break;
                }
            }
            break;
        }
    }
    const bool bWhole = nFailedRange == std::numeric_limits<std::size_t>::max();
    // Requests still in flight after a failure end here, unprinted; a whole
    // listing leaves the run's connections open for the uploads.
    bAbandoned = true;
    if (nRunning > 0)
        session.endRequestContext();
    rc = nullptr;
    const std::size_t nPrinted = bWhole ? ranges.size() : nFailedRange + 1;
    for (std::size_t i = 0; i < nPrinted; ++i) {
        for (const auto &line : ranges[i].lines)
            if (!line.second || session.hints().giveOnce(line.first))
                printLine(line.first);
        std::vector<std::pair<std::string, bool>>().swap(ranges[i].lines);
    }
    return bWhole;
}

void RangedListing::abandon()
{
    bAbandoned = true;
    if (rc) {
        if (nRunning > 0)
            session.endRequestContext();
        rc = nullptr;
    }
}
