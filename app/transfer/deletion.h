// deletion.h - the multi-object deletes that remove from the bucket what the
// site no longer has (which objects go: deletion_plan.h).
#pragma once

#include <string>
#include <vector>

#include "myDir.h"
#include "s3client.h"
#include "session.h"

struct DeleteTotals {
    long nDeleted = 0; // keys the store removed
    long nFailed = 0;  // keys it refused, or whose request failed
};

// Deletes keys (full keys, in key order) from the bucket of ctx, up to
// S3_MAX_DELETE_OBJECTS_COUNT per request, a request retried as an upload
// would be. A key holding a control byte other than tab, line feed and
// carriage return, which no multi-object delete can name, is deleted by a
// DELETE of its own after the batches, so it never blocks the others. Prints "delete: KEY" for each key of a request, the request's
// outcome lines, and "delete error: bucket: B key:KEY (CODE: MESSAGE)" for
// each key the store refused. Deleted keys are appended to
// session.changedKeys().
DeleteTotals deleteKeys(Session &session, const S3BucketContext &ctx,
                        const std::string &strBucket, const std::vector<std::string> &keys);
