// scan_listing.h - the first stage of a mirror run: the local scan and the
// bucket listing side by side, the listing cut into ranges at the scanned
// names, both walked in step in byte order of keys.
#pragma once

#include <string>

#include "merge.h"
#include "myDir.h"
#include "session.h"

enum ScanListOutcome { ScanListWhole, ScanListScanFailed, ScanListListingFailed };

// Walks the tree at strRootPath (ending in "/") once for its names (to cut
// the listing of the bucket's keys under strPrefix, "" = all, into ranges),
// starts the listing, then reads the files in key order while the ranges
// come in, and tells visitor of every key (keys below the prefix) as the two
// meet. Neither side is held: a scanned file or a listed object is kept only
// by what visitor keeps. The console shows what one scan followed by one
// listing shows: the scan's lines, then the listing's, in key order. When
// the walk finds names no store takes, the listing waits for the scan
// (their lines come first); so it does when the walk finds a file the
// process may not read or a folder it cannot open (the scan fails, and a
// failed scan sends nothing): then the scan's records are held until the
// listing comes. A bucket context that cannot be had says so once, and the
// listing fails after the scan. A scan that fails later (a file that
// vanishes, a read error) ends the listing unprinted. nFiles is set to the
// number of files the walk found before any is read (for sizing what the
// visitor keeps, see SiteMerge).
ScanListOutcome scanAndMerge(Session &session, const std::string &strBucket, const std::string &strPrefix,
                             const std::string &strRootPath, const ScanOptions &scan,
                             const std::function<MergeVisitor &(std::size_t nFiles)> &visitorFor);
