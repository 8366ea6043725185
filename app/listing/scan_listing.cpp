// scan_listing.cpp - the scan and the ranged listing of a mirror run, side by
// side and in step.
#include "scan_listing.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "listing_ranges.h"
#include "myListObj.h"
#include "myPutObj.h"

namespace {

void pollListing(void *data) { static_cast<RangedListing *>(data)->poll(); }

// What a first walk learns of the tree without reading a file: how many
// there are, whether some will be refused or cannot be read, whether every
// folder opens, and where the listing is cut.
struct TreeSurvey {
    std::size_t nFiles = 0;
    bool bPlain = true; // every folder opened, every name a key, every file readable
    std::vector<std::string> cuts;
};

TreeSurvey surveyTree(const std::string &strRootPath, const std::string &strPrefix, const ScanOptions &scan)
{
    ScanOptions quiet = scan; // counted by the scan proper
    quiet.stats = nullptr;
    TreeSurvey survey;
    RangeCutter cutter(strPrefix);
    TreeWalk walk(strRootPath, quiet);
    ScanName name;
    while (walk.next(name)) {
        ++survey.nFiles;
        if (name.pszRefusal == nullptr)
            cutter.add(name.strKey);
    }
    survey.bPlain = walk.whole() && walk.refusedCount() == 0 && walk.unreadableCount() == 0;
    survey.cuts = cutter.cuts();
    return survey;
}

// The listing's records below the prefix, the prefix cut off; next gives
// the listing's next record.
RecordSource listedBelow(const std::function<bool(S3Obj &)> &next, const std::string &strPrefix)
{
    return [next, strPrefix](S3Obj &obj) {
        while (next(obj)) {
            if (obj.key.compare(0, strPrefix.size(), strPrefix) != 0)
                continue;
            obj.key.erase(0, strPrefix.size());
            return true;
        }
        return false;
    };
}

// The listing's next record. While the range it comes from has not come in,
// the scan goes ahead as far as it may (names walked and looked up, files
// read by the pool), so that the scan and the listing overlap rather than
// the scan starting only when the first range is in.
bool nextListedWhileScanning(RangedListing &listing, TreeScan &tree, S3Obj &obj)
{
    for (;;) {
        const RangedListing::Take taken = listing.take(obj);
        if (taken != RangedListing::Take::Waiting)
            return taken == RangedListing::Take::Record;
        if (!tree.readAhead() && !tree.waitAhead(std::chrono::milliseconds(1)))
            return listing.next(obj); // nothing the scan can do: wait for the range
        listing.poll();
    }
}

// A tree that will show lines of its own before the listing's (refused
// names, a file that cannot be read, a folder that cannot be opened): the
// scan runs alone, its records held, then the listing.
ScanListOutcome scanThenList(Session &session, const std::string &strBucket, const std::string &strPrefix,
                             const char *pszPrefix, const std::string &strRootPath, const ScanOptions &scan,
                             const std::vector<std::string> &cuts, MergeVisitor &visitor)
{
    S3ObjSet localList;
    {
        ScanNames names;
        walkTree(strRootPath, names, scan);
        if (!digestTree(names, localList, scan))
            return ScanListScanFailed;
    }
    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return ScanListListingFailed;
    RangedListing listing(session, ctx, pszPrefix, cuts, nullptr);
    if (!listing.start())
        return ScanListListingFailed;
    S3ObjSet::iterator it = localList.begin();
    const RecordSource local = [&](S3Obj &obj) {
        if (it == localList.end())
            return false;
        obj = *it;
        it = localList.erase(it); // each record goes as it is merged
        return true;
    };
    mergeInKeyOrder(local, listedBelow([&listing](S3Obj &obj) { return listing.next(obj); }, strPrefix),
                    visitor);
    const bool bListed = !listing.failed();
    return listing.finish() && bListed ? ScanListWhole : ScanListListingFailed;
}

} // namespace

ScanListOutcome scanAndMerge(Session &session, const std::string &strBucket, const std::string &strPrefix,
                             const std::string &strRootPath, const ScanOptions &scan,
                             const std::function<MergeVisitor &(std::size_t nFiles)> &visitorFor)
{
    const TreeSurvey survey = surveyTree(strRootPath, strPrefix, scan);
    MergeVisitor &visitor = visitorFor(survey.nFiles);
    const char *pszPrefix = strPrefix.empty() ? nullptr : strPrefix.c_str();
    if (!survey.bPlain)
        return scanThenList(session, strBucket, strPrefix, pszPrefix, strRootPath, scan, survey.cuts, visitor);

    MyS3Context context(session);
    S3BucketContext ctx;
    std::unique_ptr<RangedListing> listing;
    ScanOptions options = scan;
    if (context.initialize(strBucket.c_str(), ctx)) {
        listing = std::make_unique<RangedListing>(session, ctx, pszPrefix, survey.cuts, nullptr);
        if (listing->start()) {
            options.pfnBetweenFiles = pollListing;
            options.pBetweenFilesData = listing.get();
        } else {
            listing.reset();
        }
    }
    TreeScan tree(strRootPath, options);
    if (!listing) {
        // Nothing to merge with: the scan still runs to its end (its digests
        // are kept), and the listing fails after it.
        S3Obj obj;
        while (tree.next(obj)) {
        }
        return tree.failed() ? ScanListScanFailed : ScanListListingFailed;
    }
    const RecordSource local = [&tree](S3Obj &obj) { return tree.next(obj); };
    const auto listed = [&listing, &tree](S3Obj &obj) { return nextListedWhileScanning(*listing, tree, obj); };
    mergeInKeyOrder(local, listedBelow(listed, strPrefix), visitor);
    if (tree.failed()) {
        listing->abandon();
        return ScanListScanFailed;
    }
    const bool bListed = !listing->failed();
    return listing->finish() && bListed ? ScanListWhole : ScanListListingFailed;
}
