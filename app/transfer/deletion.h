// deletion.h - removing from the bucket what the site no longer has: which
// listed objects go, the limit on how many may go in one run, and the
// multi-object deletes that remove them.
#pragma once

#include <string>
#include <vector>

#include "myDir.h"
#include "s3client.h"
#include "session.h"

class IgnoreRules;

// True when strRel (a path below the site root) is left out by the rules:
// the file itself, or any folder on its way, as the scan would have met them.
bool isIgnoredPath(const IgnoreRules &rules, const std::string &strRel);

// The relative keys of remoteList (keys below the prefix, the prefix cut off)
// that may be deleted, in key order: no local file, folder or link of that
// path below strRootPath (which ends in "/"), not left out by the ignore
// rules (ignored means not ours to touch; null: no rules), not the index
// page, which the run writes itself, and not empty (the prefix's own marker).
std::vector<std::string> deletionCandidates(const S3ObjSet &remoteList,
                                            const std::string &strRootPath,
                                            const IgnoreRules *ignore);

// The line that stops a run with more deletions than nMaxDelete allows.
std::string deleteLimitLine(std::size_t nCandidates, long nMaxDelete, const std::string &strPrefix);

struct DeleteTotals {
    long nDeleted = 0; // keys the store removed
    long nFailed = 0;  // keys it refused, or whose request failed
};

// Deletes keys (full keys, in key order) from the bucket of ctx, up to
// S3_MAX_DELETE_OBJECTS_COUNT per request, a request retried as an upload
// would be. Prints "delete: KEY" for each key of a request, the request's
// outcome lines, and "delete error: bucket: B key:KEY (CODE: MESSAGE)" for
// each key the store refused. Deleted keys are appended to
// session.changedKeys().
DeleteTotals deleteKeys(Session &session, const S3BucketContext &ctx,
                        const std::string &strBucket, const std::vector<std::string> &keys);
