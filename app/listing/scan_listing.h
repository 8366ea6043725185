// scan_listing.h - the first stage of a mirror run: the local scan and the
// bucket listing side by side, the listing cut into ranges at the scanned names.
#pragma once

#include <string>

#include "myDir.h"
#include "session.h"

enum ScanListOutcome { ScanListWhole, ScanListScanFailed, ScanListListingFailed };

// Walks the tree at strRootPath (ending in "/"), starts the listing of the
// bucket's keys under strPrefix ("" = all) as soon as the names are known,
// cut into ranges at them, and reads the files for their digests meanwhile.
// The console shows what one scan followed by one listing shows: the scan's
// lines, then the listing's, in key order. When the walk finds names no store
// takes, the listing waits for the scan (their lines come first); so it does
// when the walk finds a file the process may not read (the scan fails, and a
// failed scan sends nothing). A bucket context that cannot be had says so
// once, and the listing fails after the scan. A scan that fails later (a file
// that vanishes, a read error) ends the listing unprinted. remoteList gets
// whole keys (the prefix included).
ScanListOutcome scanAndList(Session &session, const std::string &strBucket,
                            const std::string &strPrefix, const std::string &strRootPath,
                            const ScanOptions &scan, S3ObjSet &localList, S3ObjSet &remoteList);
