// copy_in_parts.cpp - the copy in parts as a job of the run's request runner:
// create, then the parts as jobs of their own (each retried alone, sharing
// the job limit), then complete; abort when the copy fails.
#include "copy_in_parts.h"

#include <algorithm>
#include <vector>

#include "console.h"
#include "events.h"
#include "in_parts.h"
#include "myPutObj.h"
#include "outcome_lines.h"
#include "stale_uploads.h"
#include "uploader.h"

namespace {

CopyLimits g_limits;

struct CopyInParts;

// One part, copied on the store from its byte range of the object.
struct PartCopy : public RunnerJob {
    CopyInParts *copy = nullptr;
    int nNumber = 0;
    uint64_t first = 0;
    uint64_t last = 0;
    std::string strETag;

    bool prepareTry() override;
    void sendTry(S3RequestContext *rc) override;
    void finish(bool bOk) override;
    std::string retrySubject() const override;
    void notSent() override { finish(false); }
    void print() override {}
};

struct CopyInParts : public RunnerJob, public InParts {
    const S3BucketContext *ctx = nullptr;
    HintLog *hints = nullptr;
    HeaderUpdate *update = nullptr;
    HeaderUpdateTotals *totals = nullptr;
    uint64_t partSize = 0;
    enum class Stage { Create, Parts, Complete };
    Stage stage = Stage::Create;
    std::unique_ptr<PartCopy[]> parts;
    bool bNamed = false;
    bool bSentStorageClass = false;
    std::vector<std::string> outcome; // the failure's lines, or "succeed" once joined
    // The request of the try in flight, alive until its complete callback.
    PutMetaData meta;
    S3PutProperties properties;

    void name()
    {
        if (!bNamed)
            lines.push_back("update headers: " + consoleText(update->strKey));
        bNamed = true;
    }
    bool prepareTry() override
    {
        name();
        if (stage == Stage::Parts) {
            // Every part has ended.
            if (bPartFailed) {
                finish(false);
                return false;
            }
            listParts(parts.get());
            stage = Stage::Complete;
        }
        return true;
    }
    void sendTry(S3RequestContext *rc) override
    {
        const S3BucketContext now = sending(*ctx);
        if (stage == Stage::Create) {
            strUploadId.clear();
            fillPutProperties(update->headers, nullptr, update->strMd5Hex.c_str(), meta, properties);
            bSentStorageClass = !update->headers.strStorageClass.empty();
            const S3MultipartInitialHandler handler = {{nullptr, stageEnded}, uploadBegun<CopyInParts>};
            S3_initiate_multipart(&now, update->strKey.c_str(), &properties, rc, &handler, this);
            return;
        }
        strETag.clear();
        const S3MultipartCompleteHandler handler = {{nullptr, stageEnded}, uploadJoined<CopyInParts>};
        S3_complete_multipart_upload(&now, update->strKey.c_str(), strUploadId.c_str(), nParts,
                                     partList.data(), rc, &handler, this);
    }
    Next succeeded() override
    {
        if (stage != Stage::Create)
            return Next::Done;
        stage = Stage::Parts;
        nParts = static_cast<int>((update->size + partSize - 1) / partSize);
        parts.reset(new PartCopy[static_cast<std::size_t>(nParts)]);
        for (int i = 0; i < nParts; ++i) {
            PartCopy &part = parts[static_cast<std::size_t>(i)];
            part.copy = this;
            part.nNumber = i + 1;
            part.first = static_cast<uint64_t>(i) * partSize;
            part.last = std::min(update->size, part.first + partSize) - 1;
        }
        for (int i = 0; i < nParts; ++i)
            spawn(parts[static_cast<std::size_t>(i)]);
        return Next::Wait;
    }
    void partEnded(bool bOk)
    {
        if (InParts::partEnded(bOk))
            resume();
    }
    void finish(bool bOk) override
    {
        name();
        if (!bOk && !strUploadId.empty())
            lines.push_back(giveUp(sending(*ctx), update->strKey));
        lines.insert(lines.end(), outcome.begin(), outcome.end());
        headerUpdateEnded(*this, bOk, strETag, *update, *totals);
    }
    std::string retrySubject() const override { return " key:" + consoleText(update->strKey); }
    std::string retryKey() const override { return update->strKey; }

    // The block shows the outcome of the whole copy ("succeed" once it is
    // joined) and every failure.
    static void stageEnded(S3Status status, const S3ErrorDetails *details, void *callbackData)
    {
        CopyInParts &copy = *static_cast<CopyInParts *>(callbackData);
        copy.outcome.clear();
        if (status != S3StatusOK || copy.stage == Stage::Complete)
            copy.outcome = outcomeLines(status, details, copy.hints, copy.bSentStorageClass);
        copy.tryEnded(status, details);
    }
};

bool PartCopy::prepareTry()
{
    if (copy->bPartFailed) {
        finish(false);
        return false;
    }
    strETag.clear();
    return true;
}

S3Status partCopied(const char *pszETag, void *callbackData)
{
    static_cast<PartCopy *>(callbackData)->strETag = pszETag ? pszETag : "";
    return S3StatusOK;
}

// A part's failed tries show in its copy's block; a copied part says nothing.
void partCopyEnded(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    PartCopy &part = *static_cast<PartCopy *>(callbackData);
    partTryEnded(part, !part.strETag.empty(), status, details, part.copy->hints, part.copy->bSentStorageClass);
}

void PartCopy::sendTry(S3RequestContext *rc)
{
    const S3MultipartCompleteHandler handler = {{nullptr, partCopyEnded}, partCopied};
    const S3BucketContext now = sending(*copy->ctx);
    const char *pszKey = copy->update->strKey.c_str();
    S3_upload_part_copy(&now, pszKey, copy->strUploadId.c_str(), nNumber, now.bucketName, pszKey, first,
                        last, rc, &handler, this);
}

void PartCopy::finish(bool bOk)
{
    copy->lines.insert(copy->lines.end(), lines.begin(), lines.end());
    lines.clear();
    copy->partEnded(bOk);
}

std::string PartCopy::retrySubject() const
{
    return " key:" + consoleText(copy->update->strKey) + " part " + std::to_string(nNumber);
}

} // namespace

CopyLimits copyLimits() { return g_limits; }

void setCopyLimits(const CopyLimits &limits) { g_limits = limits; }

std::unique_ptr<RunnerJob> copyInPartsJob(const S3BucketContext &ctx, HintLog &hints, uint64_t partSize,
                                          HeaderUpdate &update, HeaderUpdateTotals &totals)
{
    std::unique_ptr<CopyInParts> job(new CopyInParts);
    job->ctx = &ctx;
    job->hints = &hints;
    job->update = &update;
    job->totals = &totals;
    job->partSize = partSizeFor(update.size, std::max(partSize, g_limits.part));
    return job;
}

void headerUpdateEnded(const RunnerJob &job, bool bOk, const std::string &strETag, HeaderUpdate &update,
                       HeaderUpdateTotals &totals)
{
    update.bUpdated = bOk;
    if (bOk) {
        update.strETag = strETag;
        ++totals.nUpdated;
        emitUpdate(update.strKey);
    } else {
        ++totals.nFailed;
        emitError(job.errorEvent("update", update.strKey, ""));
    }
}
