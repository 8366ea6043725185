// deletion.cpp - multi-object deletes as jobs of the run's request runner.
#include "deletion.h"

#include <map>

#include "console.h"
#include "events.h"
#include "outcome_lines.h"
#include "request_runner.h"

namespace {

struct Refusal {
    std::string strKey;
    std::string strCode;
    std::string strMessage;
};

// True when XML 1.0 can carry every byte of strKey: control bytes other than
// tab, line feed and carriage return cannot be written in it, not even as
// references, and a store refuses the whole document that holds one.
bool fitsXml(const std::string &strKey)
{
    for (unsigned char c : strKey)
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return false;
    return true;
}

// One multi-object delete of up to S3_MAX_DELETE_OBJECTS_COUNT keys, or one
// DELETE of a single key that no multi-object delete can name; a job of the
// run's request runner.
struct DeleteJob : public RunnerJob {
    bool bSingle = false; // one key, deleted by its own DELETE request
    const S3BucketContext *ctx = nullptr;
    const std::string *strBucket = nullptr;
    HintLog *hints = nullptr;
    std::vector<const char *> names; // into the caller's keys
    std::vector<Refusal> refused;    // of the last try
    std::vector<std::string> deleted;
    long nFailed = 0;

    // The block's head: "delete: KEY" for each key of the request.
    void blockHead()
    {
        for (const char *pszKey : names)
            lines.push_back("delete: " + consoleText(pszKey));
    }
    bool prepareTry() override
    {
        if (tries() == 0)
            blockHead();
        refused.clear();
        return true;
    }
    void sendTry(S3RequestContext *rc) override
    {
        const S3DeleteObjectsHandler handler = {{nullptr, &completeCallback}, &refusedCallback};
        const S3BucketContext now = sending(*ctx);
        if (bSingle)
            S3_delete_object(&now, names[0], rc, &handler.responseHandler, this);
        else
            S3_delete_objects(&now, static_cast<int>(names.size()), names.data(), rc, &handler, this);
    }
    std::string retrySubject() const override
    {
        if (bSingle)
            return " (delete of " + consoleText(names[0]) + ")";
        return " (delete of " + std::to_string(names.size()) + " keys)";
    }
    void notSent() override
    {
        if (tries() == 0)
            blockHead();
        RunnerJob::notSent();
    }
    void finish(bool bOk) override
    {
        if (!bOk) {
            nFailed = static_cast<long>(names.size());
            for (const char *pszKey : names)
                emitError(errorEvent("delete", pszKey, ""));
            return;
        }
        std::map<std::string, const Refusal *> refusedKeys;
        for (const Refusal &refusal : refused) {
            lines.push_back("delete error: bucket: " + *strBucket + " key:" +
                            consoleText(refusal.strKey) + " (" + consoleText(refusal.strCode) +
                            ": " + consoleText(refusal.strMessage) + ")");
            refusedKeys.emplace(refusal.strKey, &refusal);
        }
        for (const char *pszKey : names) {
            const auto refusal = refusedKeys.find(pszKey);
            if (refusal != refusedKeys.end()) {
                ++nFailed;
                emitError({"delete", pszKey, "", refusal->second->strCode, httpStatus(),
                           refusal->second->strMessage, ""});
            } else {
                deleted.push_back(pszKey);
                emitDelete(pszKey);
            }
        }
    }

    static S3Status refusedCallback(const char *key, const char *code, const char *message, void *data)
    {
        static_cast<DeleteJob *>(data)->refused.push_back({key, code, message});
        return S3StatusOK;
    }
    static void completeCallback(S3Status status, const S3ErrorDetails *details, void *data)
    {
        DeleteJob &job = *static_cast<DeleteJob *>(data);
        std::vector<std::string> lines = outcomeLines(status, details, job.hints, false);
        job.lines.insert(job.lines.end(), lines.begin(), lines.end());
        job.tryEnded(status, details);
    }
};

} // namespace

DeleteTotals deleteKeys(Session &session, const S3BucketContext &ctx,
                        const std::string &strBucket, const std::vector<std::string> &keys)
{
    session.aboutToChange(keys);
    DeleteTotals totals;
    // Keys XML cannot carry go one by one, after the batches, which go without them.
    std::vector<const std::string *> batched, single;
    for (const std::string &strKey : keys)
        (fitsXml(strKey) ? batched : single).push_back(&strKey);
    const std::size_t nBatches =
        (batched.size() + S3_MAX_DELETE_OBJECTS_COUNT - 1) / S3_MAX_DELETE_OBJECTS_COUNT;
    std::vector<DeleteJob> requests(nBatches + single.size());
    for (std::size_t i = 0; i < batched.size(); ++i)
        requests[i / S3_MAX_DELETE_OBJECTS_COUNT].names.push_back(batched[i]->c_str());
    for (std::size_t i = 0; i < single.size(); ++i) {
        requests[nBatches + i].bSingle = true;
        requests[nBatches + i].names.push_back(single[i]->c_str());
    }
    std::vector<RunnerJob *> jobs;
    for (DeleteJob &job : requests) {
        job.ctx = &ctx;
        job.strBucket = &strBucket;
        job.hints = &session.hints();
        jobs.push_back(&job);
    }
    RequestRunner(session, std::move(jobs)).run();
    for (const DeleteJob &job : requests) {
        totals.nFailed += job.nFailed;
        totals.nDeleted += static_cast<long>(job.deleted.size());
        session.changedKeys().insert(session.changedKeys().end(), job.deleted.begin(),
                                     job.deleted.end());
    }
    return totals;
}
