// stale_uploads.h - unfinished uploads in parts under the site's folder of
// the bucket that a run (killed, or cut off from the store) left behind: the
// store keeps their parts, and bills them, until they are given up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "s3client.h"
#include "session.h"

// An upload in parts is stale once it has been open this long.
constexpr int64_t kStaleUploadSeconds = 24 * 60 * 60;

struct StaleUpload {
    std::string strKey;
    std::string strUploadId;
};

// Of the listed uploads (key, id, start time), those under strPrefix begun
// more than kStaleUploadSeconds before now, in the listing's order.
std::vector<StaleUpload> staleUploads(const std::vector<std::pair<StaleUpload, int64_t>> &listed,
                                      const std::string &strPrefix, int64_t now);

// The one line that names the stale uploads: how many, the first few keys,
// and what gives them up (bAborting: how many were given up, of how many).
std::string staleUploadsLine(const std::vector<StaleUpload> &stale, bool bAborting, std::size_t nAborted);

// Gives up one upload in parts (one request, tried once more when worth it;
// an upload the store no longer has counts as given up). False with the
// store's code, or the status's name, in strWhy.
bool abortUploadInParts(const S3BucketContext &ctx, const std::string &strKey,
                        const std::string &strUploadId, std::string &strWhy);

// Lists the bucket's unfinished uploads under the settings' prefix and, when
// any is stale, prints one line naming them; with bAbort (and not a dry run)
// gives them up first. Listing is best effort: a store that cannot list them
// is passed over in silence unless bAbort asked for them. False only when
// giving them up was asked for and did not happen in full.
bool reportStaleUploads(Session &session, const S3BucketContext &ctx, bool bAbort, bool bDryRun);
