// uploader.h - many uploads in flight on one request context, retried when the
// outcome is worth another try, each upload's lines printed as one block in
// key order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "s3client.h"
#include "session.h"
#include "settings.h"

struct UploadItem {
    std::string strKey;
    std::string strPath;
    std::string strMd5Hex;       // the scan's digest; "" = computed from the file
    uint64_t size = 0;           // the scan's size
    S3CannedAcl acl = S3CannedAclPublicRead;
    std::string strCacheControl; // "" = no Cache-Control header
    std::vector<std::string> leadLines; // printed at the head of the block
    bool bNamed = true; // the block names the file ("upload:", "upload error"); the
                        // one-file form prints only the response lines
};

struct UploadTotals {
    long nSent = 0;
    uint64_t nBytesSent = 0;
    long nFailed = 0;
};

// True for the outcomes worth another try: the client's retryable set, SlowDown,
// InternalError, 500/503 and timeouts. pszCode is the error document's code.
bool isRetryableOutcome(S3Status status, const char *pszCode);

// Sends items (in key order) with up to settings.nJobs in flight and at most
// that many files open, with the session's settings and hints. ctx, the
// session's bucket context, must stay valid for the call. Each block is
// "upload:PATH ; KEY", its response lines, any retry lines and, on failure,
// the "upload error" line.
UploadTotals uploadItems(Session &session, const S3BucketContext &ctx,
                         const std::string &strBucket, std::vector<UploadItem> &items);

// Exponential backoff with full jitter: a random wait in [0, min(5, 0.25 * 2^try)] s.
double retryDelaySeconds(int nTry);
