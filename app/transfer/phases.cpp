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

namespace {

// The uploads of one phase.
class PhaseSource : public UploadSource {
public:
    PhaseSource(PhasedUploads &all, std::vector<std::size_t> which) : all(all), which(std::move(which)) {}
    std::size_t count() const override { return which.size(); }
    std::string key(std::size_t i) const override { return all.key(which[i]); }
    uint64_t size(std::size_t i) const override { return all.size(which[i]); }
    bool encoded(std::size_t i) const override { return all.encoded(which[i]); }
    UploadItem make(std::size_t i) override { return all.make(which[i]); }
    void ended(std::size_t i, const UploadItem &item) override { all.ended(which[i], item); }

private:
    PhasedUploads &all;
    const std::vector<std::size_t> which;
};

} // namespace

UploadTotals uploadInPhases(Session &session, const S3BucketContext &ctx,
                            const std::string &strBucket, PhasedUploads &uploads)
{
    // One job (0 is auto, many): the designed key-order sequence.
    if (session.settings().nJobs == 1)
        return uploadFrom(session, ctx, strBucket, uploads);

    UploadTotals totals;
    const std::size_t nAll = uploads.count();
    for (int phase = PhaseAssets; phase <= PhaseIndexPage; ++phase) {
        std::vector<std::size_t> which;
        for (std::size_t i = 0; i < nAll; ++i)
            if (uploads.phase(i) == phase)
                which.push_back(i);
        if (which.empty())
            continue;
        // A page goes live only once what it may link to is stored: after a
        // failure the later phases wait for the next run, and count as failed.
        if (totals.nFailed > 0) {
            long nLeft = 0;
            const std::string strLine = notSendingPagesLine(totals.nFailed);
            for (std::size_t i = 0; i < nAll; ++i) {
                if (uploads.phase(i) >= phase) {
                    ++nLeft;
                    emitError({"upload", uploads.key(i), uploads.path(i), "", 0, strLine, ""});
                }
            }
            printLine(strLine);
            totals.nFailed += nLeft;
            break;
        }
        PhaseSource source(uploads, std::move(which));
        UploadTotals part = uploadFrom(session, ctx, strBucket, source);
        totals.nSent += part.nSent;
        totals.nBytesSent += part.nBytesSent;
        totals.nFailed += part.nFailed;
        totals.nMostInFlight = std::max(totals.nMostInFlight, part.nMostInFlight);
        totals.staleKeys.insert(totals.staleKeys.end(), part.staleKeys.begin(),
                                part.staleKeys.end());
    }
    return totals;
}
