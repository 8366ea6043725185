// phases.cpp - uploads in phases: assets, HTML pages, the index page.
#include "phases.h"

#include <algorithm>
#include <utility>

#include "console.h"
#include "events.h"
#include "mime.h"

std::string notSendingPagesLine(long nFailed)
{
    return "not sending pages: " + std::to_string(nFailed) + (nFailed == 1 ? " file" : " files") +
           " of an earlier phase failed";
}

UploadPhase phaseOf(const UploadItem &item, const std::string &strIndexPageKey)
{
    if (item.strKey == strIndexPageKey)
        return PhaseIndexPage;
    // The type it is sent with: the rules' own, else its extension's.
    const std::string strType =
        item.strContentType.empty() ? getFileContentType(item.strPath) : item.strContentType;
    if (strType.compare(0, 9, "text/html") == 0 || strType == "application/xhtml+xml")
        return PhasePages;
    return PhaseAssets;
}

UploadTotals uploadInPhases(Session &session, const S3BucketContext &ctx,
                            const std::string &strBucket, std::vector<UploadItem> &items,
                            const std::string &strIndexPageKey)
{
    // One job (0 is auto, many): the designed key-order sequence.
    if (session.settings().nJobs == 1)
        return uploadItems(session, ctx, strBucket, items);

    UploadTotals totals;
    for (int phase = PhaseAssets; phase <= PhaseIndexPage; ++phase) {
        std::vector<UploadItem> batch;
        std::vector<std::size_t> where;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (phaseOf(items[i], strIndexPageKey) == phase) {
                batch.push_back(items[i]);
                where.push_back(i);
            }
        }
        if (batch.empty())
            continue;
        // A page goes live only once what it may link to is stored: after a
        // failure the later phases wait for the next run, and count as failed.
        if (totals.nFailed > 0) {
            long nLeft = 0;
            const std::string strLine = notSendingPagesLine(totals.nFailed);
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (phaseOf(items[i], strIndexPageKey) >= phase) {
                    ++nLeft;
                    emitError({"upload", items[i].strKey, items[i].strPath, "", 0, strLine, ""});
                }
            }
            printLine(strLine);
            totals.nFailed += nLeft;
            break;
        }
        UploadTotals part = uploadItems(session, ctx, strBucket, batch);
        for (std::size_t i = 0; i < batch.size(); ++i)
            items[where[i]] = std::move(batch[i]); // what the upload learnt: stored, ETag, sent digest
        totals.nSent += part.nSent;
        totals.nBytesSent += part.nBytesSent;
        totals.nFailed += part.nFailed;
        totals.nMostInFlight = std::max(totals.nMostInFlight, part.nMostInFlight);
        totals.staleKeys.insert(totals.staleKeys.end(), part.staleKeys.begin(),
                                part.staleKeys.end());
    }
    return totals;
}
