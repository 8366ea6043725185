// stale_uploads.cpp - the unfinished uploads a run names at its start, and
// gives up when asked.
#include "stale_uploads.h"

#include <ctime>

#include "console.h"
#include "retry.h"

namespace {

// Keys a line names before it says how many more there are.
constexpr std::size_t kKeysNamed = 3;
// Pages of a listing read at most (1,000 uploads each).
constexpr int kMaxPages = 100;

struct Listing {
    std::vector<std::pair<StaleUpload, int64_t>> uploads;
    bool bTruncated = false;
    std::string strNextKey;
    std::string strNextId;
    S3Status status = S3StatusInternalError;
    std::string strCode;
};

S3Status onUploads(int isTruncated, const char *pszNextKey, const char *pszNextId, int count,
                   const S3ListMultipartUpload *uploads, void *data)
{
    Listing &listing = *static_cast<Listing *>(data);
    listing.bTruncated = isTruncated != 0;
    listing.strNextKey = pszNextKey ? pszNextKey : "";
    listing.strNextId = pszNextId ? pszNextId : "";
    for (int i = 0; i < count; ++i)
        listing.uploads.push_back({{uploads[i].key, uploads[i].uploadId}, uploads[i].initiated});
    return S3StatusOK;
}

void onListed(S3Status status, const S3ErrorDetails *details, void *data)
{
    Listing &listing = *static_cast<Listing *>(data);
    listing.status = status;
    listing.strCode = details && details->code ? details->code : "";
}

struct Aborted {
    S3Status status = S3StatusInternalError;
    std::string strCode;
};

void onAborted(S3Status status, const S3ErrorDetails *details, void *data)
{
    Aborted &aborted = *static_cast<Aborted *>(data);
    aborted.status = status;
    aborted.strCode = details && details->code ? details->code : "";
}

} // namespace

bool abortUploadInParts(const S3BucketContext &ctx, const std::string &strKey,
                        const std::string &strUploadId, std::string &strWhy)
{
    const S3ResponseHandler handler = {nullptr, onAborted};
    Aborted aborted;
    for (int nTry = 0; nTry < 2; ++nTry) {
        aborted = Aborted();
        S3_abort_multipart_upload(&ctx, strKey.c_str(), strUploadId.c_str(), nullptr, &handler,
                                  &aborted);
        if (aborted.status == S3StatusOK || aborted.strCode == "NoSuchUpload")
            return true;
        if (!isRetryableOutcome(aborted.status, aborted.strCode.c_str(), 0))
            break;
    }
    strWhy = aborted.strCode.empty() ? S3_get_status_name(aborted.status) : aborted.strCode;
    return false;
}

std::vector<StaleUpload> staleUploads(const std::vector<std::pair<StaleUpload, int64_t>> &listed,
                                      const std::string &strPrefix, int64_t now)
{
    std::vector<StaleUpload> stale;
    for (const auto &entry : listed) {
        // A start time the store did not give cannot show the upload is old.
        if (entry.second < 0 || now - entry.second <= kStaleUploadSeconds)
            continue;
        if (entry.first.strKey.compare(0, strPrefix.size(), strPrefix) != 0)
            continue;
        stale.push_back(entry.first);
    }
    return stale;
}

std::string staleUploadsLine(const std::vector<StaleUpload> &stale, bool bAborting, std::size_t nAborted)
{
    std::string strKeys;
    for (std::size_t i = 0; i < stale.size() && i < kKeysNamed; ++i)
        strKeys += (i ? ", " : "") + consoleText(stale[i].strKey);
    if (stale.size() > kKeysNamed)
        strKeys += ", and " + std::to_string(stale.size() - kKeysNamed) + " more";
    const std::string strHead = "unfinished uploads older than a day: " + std::to_string(stale.size()) +
                                " (" + strKeys + ")";
    if (!bAborting)
        return strHead + "; --abort-stale-uploads gives them up";
    if (nAborted == stale.size())
        return strHead + "; given up";
    return strHead + "; given up " + std::to_string(nAborted) + ", the others could not be";
}

bool reportStaleUploads(Session &session, const S3BucketContext &ctx, bool bAbort, bool bDryRun)
{
    const std::string &strPrefix = session.settings().strPrefix;
    const S3ListMultipartUploadsHandler handler = {{nullptr, onListed}, onUploads};
    std::vector<std::pair<StaleUpload, int64_t>> listed;
    std::string strKeyMarker, strIdMarker;
    for (int nPage = 0; nPage < kMaxPages; ++nPage) {
        Listing listing;
        S3_list_multipart_uploads(&ctx, strPrefix.empty() ? nullptr : strPrefix.c_str(),
                                  strKeyMarker.empty() ? nullptr : strKeyMarker.c_str(),
                                  strIdMarker.empty() ? nullptr : strIdMarker.c_str(), 0, nullptr,
                                  &handler, &listing);
        if (listing.status != S3StatusOK) {
            if (bAbort && !bDryRun) {
                printLine("cannot list unfinished uploads: " +
                          (listing.strCode.empty() ? std::string(S3_get_status_name(listing.status))
                                                   : listing.strCode));
                return false;
            }
            return true;
        }
        listed.insert(listed.end(), listing.uploads.begin(), listing.uploads.end());
        if (!listing.bTruncated || listing.strNextKey.empty())
            break;
        strKeyMarker = listing.strNextKey;
        strIdMarker = listing.strNextId;
    }
    const std::vector<StaleUpload> stale = staleUploads(listed, strPrefix, static_cast<int64_t>(std::time(nullptr)));
    if (stale.empty())
        return true;
    if (!bAbort || bDryRun) {
        printLine(staleUploadsLine(stale, false, 0));
        return true;
    }
    std::size_t nAborted = 0;
    std::string strWhy;
    for (const StaleUpload &upload : stale)
        nAborted += abortUploadInParts(ctx, upload.strKey, upload.strUploadId, strWhy) ? 1 : 0;
    printLine(staleUploadsLine(stale, true, nAborted));
    return nAborted == stale.size();
}
