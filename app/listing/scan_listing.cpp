// scan_listing.cpp - the scan and the ranged listing of a mirror run, side by side.
#include "scan_listing.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "listing_ranges.h"
#include "myListObj.h"
#include "myPutObj.h"

namespace {

// The cut points of the listing, from the walked names.
std::vector<std::string> cutsFromNames(const ScanNames &names, const std::string &strPrefix)
{
    std::vector<const std::string *> keys;
    keys.reserve(names.names.size() - names.nRefused);
    for (const ScanName &name : names.names)
        if (name.pszRefusal == nullptr)
            keys.push_back(&name.strKey);
    std::sort(keys.begin(), keys.end(),
              [](const std::string *a, const std::string *b) { return a->compare(*b) < 0; });
    return rangeCuts(keys, strPrefix);
}

void pollListing(void *data) { static_cast<RangedListing *>(data)->poll(); }

} // namespace

ScanListOutcome scanAndList(Session &session, const std::string &strBucket,
                            const std::string &strPrefix, const std::string &strRootPath,
                            const ScanOptions &scan, S3ObjSet &localList, S3ObjSet &remoteList)
{
    ScanNames names;
    const bool bWalked = walkTree(strRootPath, names, scan);
    const std::vector<std::string> cuts = bWalked ? cutsFromNames(names, strPrefix)
                                                  : std::vector<std::string>();
    const char *pszPrefix = strPrefix.empty() ? nullptr : strPrefix.c_str();

    // The listing goes out now unless the scan has lines of its own to print
    // first (names no store takes): the context's own line, if it fails,
    // must not come before them. Nor when a file is already known to be
    // unreadable: the scan will fail, and a failed scan sends nothing.
    MyS3Context context(session);
    S3BucketContext ctx;
    std::unique_ptr<RangedListing> listing;
    bool bContextFailed = false;
    ScanOptions options = scan;
    if (bWalked && names.nRefused == 0 && names.nUnreadable == 0) {
        if (context.initialize(strBucket.c_str(), ctx)) {
            listing = std::make_unique<RangedListing>(session, ctx, pszPrefix, cuts, remoteList);
            if (listing->start()) {
                options.pfnBetweenFiles = pollListing;
                options.pBetweenFilesData = listing.get();
            } else {
                listing.reset();
                bContextFailed = true;
            }
        } else {
            bContextFailed = true;
        }
    }

    const bool bScanned = digestTree(names, localList, options);
    std::deque<ScanName>().swap(names.names);
    if (!bScanned) {
        if (listing)
            listing->abandon();
        return ScanListScanFailed;
    }
    if (bContextFailed)
        return ScanListListingFailed;
    if (!listing) {
        if (!context.initialize(strBucket.c_str(), ctx))
            return ScanListListingFailed;
        listing = std::make_unique<RangedListing>(session, ctx, pszPrefix, cuts, remoteList);
        if (!listing->start())
            return ScanListListingFailed;
    }
    return listing->finish() ? ScanListWhole : ScanListListingFailed;
}
