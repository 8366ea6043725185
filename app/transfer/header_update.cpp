// header_update.cpp - HEADs and in-place header replacements as jobs of the
// run's request runner.
#include "header_update.h"

#include <algorithm>
#include <cstring>

#include "console.h"
#include "copy_in_parts.h"
#include "events.h"
#include "outcome_lines.h"
#include "request_runner.h"

namespace {

std::string unquoted(const char *psz)
{
    std::string str = psz ? psz : "";
    if (str.size() >= 2 && str.front() == '"' && str.back() == '"')
        str = str.substr(1, str.size() - 2);
    return str;
}

// What HEADs and header copies share: the context they go to, the run's
// hints, and the last try's outcome lines.
struct HeaderJob : public RunnerJob {
    const S3BucketContext *ctx = nullptr;
    HintLog *hints = nullptr;
    bool bSentStorageClass = false;
    std::vector<std::string> outcome; // the last try's outcome lines
    bool prepareTry() override { return true; }
};

void completeCallback(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    HeaderJob &job = *static_cast<HeaderJob *>(callbackData);
    job.outcome = outcomeLines(status, details, job.hints, job.bSentStorageClass);
    job.tryEnded(status, details);
}

// One HEAD: what the store holds under a key.
struct HeadJob : public HeaderJob {
    const std::string *strKey = nullptr;
    HeadResult head;     // the last try's answer
    HeadResult *result = nullptr;

    void sendTry(S3RequestContext *rc) override
    {
        head = HeadResult();
        S3ResponseHandler handler = {propertiesCallback, completeCallback};
        const S3BucketContext now = sending(*ctx);
        S3_head_object(&now, strKey->c_str(), rc, &handler, this);
    }
    void finish(bool) override
    {
        const bool bMissing = status() == S3StatusHttpErrorNotFound || status() == S3StatusErrorNoSuchKey;
        if (tries() > 0 && (status() == S3StatusOK || bMissing)) {
            *result = head;
            result->bAnswered = true;
            result->bFound = !bMissing;
            return;
        }
        lines.insert(lines.begin(), "cannot read headers: " + consoleText(*strKey));
        lines.insert(lines.end(), outcome.begin(), outcome.end());
    }
    void notSent() override { finish(false); }

    static S3Status propertiesCallback(const S3ResponseProperties *prop, void *callbackData)
    {
        if (!prop)
            return S3StatusOK;
        HeadResult &head = static_cast<HeadJob *>(callbackData)->head;
        auto text = [](const char *psz) { return std::string(psz ? psz : ""); };
        head.strContentType = text(prop->contentType);
        head.strCacheControl = text(prop->cacheControl);
        head.strContentEncoding = text(prop->contentEncoding);
        head.strStorageClass = text(prop->storageClass);
        head.strETag = unquoted(prop->eTag);
        head.size = prop->contentLength;
        head.strContentDisposition = text(prop->contentDisposition);
        head.strContentLanguage = text(prop->contentLanguage);
        head.strExpires = text(prop->expires);
        head.strSse = text(prop->serverSideEncryption);
        head.strRedirect = text(prop->websiteRedirectLocation);
        for (int i = 0; i < prop->metaDataCount; ++i) {
            const std::string strName = text(prop->metaData[i].name);
            if (strName == "md5")
                head.strMd5Meta = text(prop->metaData[i].value);
            else
                head.metadata.emplace_back(strName, text(prop->metaData[i].value));
        }
        return S3StatusOK;
    }
};

// One copy of an object onto itself with new headers.
struct CopyJob : public HeaderJob {
    HeaderUpdate *update = nullptr;
    HeaderUpdateTotals *totals = nullptr;
    // The request of the try in flight, alive until its complete callback.
    PutMetaData meta;
    S3PutProperties properties;
    char szETag[256] = {0};
    bool bNamed = false; // the block's first line is out

    void name()
    {
        if (!bNamed)
            lines.push_back("update headers: " + consoleText(update->strKey));
        bNamed = true;
    }
    void notSent() override
    {
        name();
        RunnerJob::notSent();
    }
    void sendTry(S3RequestContext *rc) override
    {
        name();
        fillPutProperties(update->headers, nullptr, update->strMd5Hex.c_str(), meta, properties);
        bSentStorageClass = !update->headers.strStorageClass.empty();
        szETag[0] = '\0';
        S3ResponseHandler handler = {propertiesCallback, completeCallback};
        const S3BucketContext now = sending(*ctx);
        S3_copy_object(&now, update->strKey.c_str(), nullptr, nullptr, &properties, nullptr,
                       static_cast<int>(sizeof szETag), szETag, rc, &handler, this);
    }
    void finish(bool bOk) override
    {
        name();
        lines.insert(lines.end(), outcome.begin(), outcome.end());
        headerUpdateEnded(*this, bOk, unquoted(szETag), *update, *totals);
    }
    static S3Status propertiesCallback(const S3ResponseProperties *, void *) { return S3StatusOK; }
};

} // namespace

std::vector<HeadResult> headObjects(Session &session, const S3BucketContext &ctx,
                                    const std::vector<std::string> &keys)
{
    std::vector<HeadResult> results(keys.size());
    std::vector<HeadJob> heads(keys.size());
    std::vector<RunnerJob *> jobs;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        heads[i].ctx = &ctx;
        heads[i].hints = &session.hints();
        heads[i].strKey = &keys[i];
        heads[i].result = &results[i];
        jobs.push_back(&heads[i]);
    }
    RequestRunner(session, std::move(jobs)).run();
    return results;
}

bool headersDiffer(const ObjectHeaders &want, const HeadResult &got)
{
    auto storedClass = [](const std::string &str) { return str.empty() ? std::string("STANDARD") : str; };
    if (want.strContentType != got.strContentType || want.strCacheControl != got.strCacheControl ||
        want.strContentEncoding != got.strContentEncoding ||
        storedClass(want.strStorageClass) != storedClass(got.strStorageClass) ||
        want.strContentDisposition != got.strContentDisposition ||
        want.strContentLanguage != got.strContentLanguage || want.strRedirect != got.strRedirect)
        return true;
    // A store may write the date in another form: compared as a time.
    int64_t gotExpires = -1;
    if (!got.strExpires.empty() && !parseHttpDate(got.strExpires, gotExpires))
        gotExpires = -2;
    if (want.expires != gotExpires)
        return true;
    // Encryption asked for and not shown (a store without it shows none).
    if (!want.strSse.empty() && want.strSse != got.strSse)
        return true;
    auto sorted = [](std::vector<std::pair<std::string, std::string>> pairs) {
        std::sort(pairs.begin(), pairs.end());
        return pairs;
    };
    return sorted(want.metadata) != sorted(got.metadata);
}

HeaderUpdateTotals updateHeaders(Session &session, const S3BucketContext &ctx,
                                 std::vector<HeaderUpdate> &updates)
{
    std::vector<std::string> keys;
    for (const HeaderUpdate &update : updates)
        keys.push_back(update.strKey);
    session.aboutToChange(keys);
    HeaderUpdateTotals totals;
    std::vector<CopyJob> copies(updates.size());
    std::vector<std::unique_ptr<RunnerJob>> inParts;
    std::vector<RunnerJob *> jobs;
    for (std::size_t i = 0; i < updates.size(); ++i) {
        if (updates[i].size > copyLimits().single) {
            inParts.push_back(
                copyInPartsJob(ctx, session.hints(), session.settings().partSize, updates[i], totals));
            jobs.push_back(inParts.back().get());
            continue;
        }
        copies[i].ctx = &ctx;
        copies[i].hints = &session.hints();
        copies[i].update = &updates[i];
        copies[i].totals = &totals;
        jobs.push_back(&copies[i]);
    }
    if (!RequestRunner(session, std::move(jobs)).run()) {
        totals = HeaderUpdateTotals();
        totals.nFailed = static_cast<long>(updates.size());
    }
    return totals;
}
