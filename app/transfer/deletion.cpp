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

// One multi-object delete of up to S3_MAX_DELETE_OBJECTS_COUNT keys, a job
// of the run's request runner.
struct DeleteJob : public RunnerJob {
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
        S3_delete_objects(ctx, static_cast<int>(names.size()), names.data(), rc, &handler, this);
    }
    std::string retrySubject() const override
    {
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
    DeleteTotals totals;
    std::vector<DeleteJob> requests((keys.size() + S3_MAX_DELETE_OBJECTS_COUNT - 1) /
                                    S3_MAX_DELETE_OBJECTS_COUNT);
    std::vector<RunnerJob *> jobs;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        DeleteJob &job = requests[i / S3_MAX_DELETE_OBJECTS_COUNT];
        job.names.push_back(keys[i].c_str());
    }
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
