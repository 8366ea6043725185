// listing_ranges.h - the bucket listed as ranges of keys side by side, each
// range a job of the run's request runner, merged into one set equal to one
// sequential pass.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "listing_page.h"
#include "myDir.h"
#include "request_runner.h"
#include "s3client.h"
#include "session.h"

// Local keys from one cut point to the next: a little under one page, so a
// range whose keys the bucket holds as they are is listed by one request.
constexpr std::size_t kKeysPerRange = 900;

// Listing requests in flight at once.
constexpr int kListingInFlight = 32;

// The markers where the ranges after the first begin: every kKeysPerRange-th
// key of sortedKeys (byte order), each after strPrefix. None when the keys
// fill fewer than two pages: such a tree is listed in one pass.
std::vector<std::string> rangeCuts(const std::vector<const std::string *> &sortedKeys,
                                   const std::string &strPrefix);

// The same cut points picked from the keys as they come, in byte order,
// holding only the cut points.
class RangeCutter {
public:
    explicit RangeCutter(const std::string &strPrefix) : strPrefix(strPrefix) {}
    void add(const std::string &strKey);
    std::vector<std::string> cuts() const; // after the last key

private:
    std::string strPrefix;
    std::size_t nKeys = 0;
    std::vector<std::string> picked;
};

// One listing of the bucket (or of the keys beginning with a prefix) in
// len(cuts) + 1 ranges: the first from the beginning, each next one after its
// cut point, each up to and including the next cut point, the last to the
// end of the bucket. A range goes on page after page, each after the last key
// of the one before, until a page is empty, reaches the range's end, or (in
// a ranged listing) is the store's last. Without cut points that is the
// designed sequential pass: pages until one comes back empty.
//
// Nothing is printed while it runs: each request's lines (response headers,
// outcome, retries) are kept with its range and printed by finish() in key
// order, as a sequential pass prints them. Runs on the caller's thread:
// poll() does the work that is ready and returns at once, so a scan can
// drive the listing between files; finish() runs it to its end.
class RangedListing {
public:
    // ctx is the run's bucket context (it and pszPrefix must outlive the
    // listing); records are added to result, a key already there keeps its
    // earlier record (null: they are taken with next()).
    RangedListing(Session &session, const S3BucketContext &ctx, const char *pszPrefix,
                  const std::vector<std::string> &cuts, S3ObjSet *result);
    ~RangedListing();
    RangedListing(const RangedListing &) = delete;
    RangedListing &operator=(const RangedListing &) = delete;

    // Queues the first pages. False (after one line) when no request context
    // can be made.
    bool start();
    // The work that is ready now, without waiting.
    void poll();
    // Runs every range to its end, prints the lines and returns true when the
    // whole bucket was listed. On a page that failed for good: the lines of
    // the ranges up to that one, its failure line, and false.
    bool finish();
    // Stops at once: requests in flight are ended, nothing is printed.
    void abandon();

    // A listing made with no result set gives its records in key order, one
    // at a time, as its ranges come in (listed side by side, taken in
    // order): each range's records are held only until they are taken, and
    // only kRangesAhead ranges after the one being taken are listed ahead.
    // The next record; false at the end, or where a range failed (failed()
    // then says so; finish() prints what a listing prints).
    bool next(S3Obj &obj);
    // The same without waiting: Waiting when the range being taken has not
    // come in yet (poll() lets it come).
    enum class Take { Record, Waiting, End };
    Take take(S3Obj &obj);
    bool failed() const { return bFailed; }
    static constexpr std::size_t kRangesAhead = kListingInFlight + 8;

    struct Range; // one range of keys, a job of the request runner

private:
    std::vector<std::unique_ptr<Range>> ranges;
    std::unique_ptr<RequestRunner> runner;
    bool bStarted = false;
    std::size_t nTaking = 0; // the range next() takes from
    bool bFailed = false;
};
