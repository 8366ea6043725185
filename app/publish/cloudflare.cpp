// cloudflare.cpp - the Cloudflare purge after a run: the changed keys' public
// URLs, the purge_cache documents, and the requests, which carry the API
// token as a bearer token (no signature) and go through the run's request
// runner like every other request, with its retries; then the JSON answer's
// success or errors.
#include "cloudflare.h"

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "cdn.h"
#include "console.h"
#include "events.h"
#include "request_runner.h"
#include "session.h"
#include "settings.h"
#include "s3client.h"

const char *const pszCloudflareEndpoint = "https://api.cloudflare.com";

namespace {

const char kStoredNote[] = " (the files are stored; the CDN may serve old copies until they expire)";

// One purge_cache request, a job of the run's request runner.
struct PurgeJob : public RunnerJob {
    std::string strHost;
    std::string strZone;
    std::string strBody;
    std::string strTarget;
    const std::string *strToken = nullptr;
    long nUrls = 0; // 0: everything
    S3ServiceRequest request;
    S3ServiceRequestHandler handler;
    // The last try's answer.
    bool bAnswered = false;
    int nHttp = 0;
    std::string strAnswer;
    bool bPurged = false;

    bool prepareTry() override
    {
        bAnswered = false;
        nHttp = 0;
        strAnswer.clear();
        std::memset(&request, 0, sizeof request);
        static const S3NameValue headers[] = {{"Content-Type", "application/json"}};
        request.method = "POST";
        request.protocol = bHttps ? S3ProtocolHTTPS : S3ProtocolHTTP;
        request.hostName = strHost.c_str();
        request.path = strTarget.c_str();
        request.headers = headers;
        request.headerCount = 1;
        request.body = strBody.data();
        request.bodySize = static_cast<int64_t>(strBody.size());
        request.bearerToken = strToken->c_str();
        handler = {{nullptr, &completeCallback}, &answerCallback};
        return true;
    }
    void sendTry(S3RequestContext *rc) override { S3_send_service_request(&request, rc, &handler, this); }
    Next succeeded() override
    {
        // A 200 whose document does not say success is no purge.
        const nlohmann::json answer = nlohmann::json::parse(strAnswer, nullptr, false);
        if (answer.is_object() && answer.value("success", false) == true)
            return Next::Done;
        return Next::Failed;
    }
    // The runner's policy, and the API's "too many requests".
    bool worthRetry() const override { return RunnerJob::worthRetry() || nHttp == 429; }
    std::string retryReason() const override { return "purge: " + why(); }
    void finish(bool bOk) override
    {
        bPurged = bOk;
        if (bOk)
            return;
        lines.push_back("purge failed: zone " + strZone + ": " + why() + kStoredNote);
        ErrorEvent error;
        error.strStage = "purge";
        error.nHttp = nHttp;
        error.strCode = apiCodes();
        error.strMessage = why();
        emitError(error);
    }
    // The API's error codes, "1012,1013" ("" when it gave none).
    std::string apiCodes() const
    {
        std::string strCodes;
        const nlohmann::json answer = nlohmann::json::parse(strAnswer, nullptr, false);
        if (!answer.is_object() || !answer.contains("errors") || !answer["errors"].is_array())
            return strCodes;
        for (const nlohmann::json &error : answer["errors"]) {
            if (error.is_object() && error.contains("code") && error["code"].is_number_integer())
                strCodes += (strCodes.empty() ? "" : ",") + std::to_string(error["code"].get<long>());
        }
        return strCodes;
    }
    // What went wrong with the last try: the API's errors as it said them.
    std::string why() const
    {
        if (tries() == 0)
            return "not sent";
        if (!bAnswered)
            return "cannot reach " + strHost + ": " + S3_get_status_name(status());
        std::string strWhy = "HTTP " + std::to_string(nHttp);
        const nlohmann::json answer = nlohmann::json::parse(strAnswer, nullptr, false);
        std::string strErrors;
        if (answer.is_object() && answer.contains("errors") && answer["errors"].is_array()) {
            for (const nlohmann::json &error : answer["errors"]) {
                if (!error.is_object())
                    continue;
                std::string strOne;
                if (error.contains("code") && error["code"].is_number_integer())
                    strOne = std::to_string(error["code"].get<long>());
                if (error.contains("message") && error["message"].is_string())
                    strOne += (strOne.empty() ? "" : " ") + error["message"].get<std::string>();
                if (!strOne.empty())
                    strErrors += (strErrors.empty() ? "" : "; ") + strOne;
            }
        }
        if (!strErrors.empty())
            strWhy += ": " + strErrors;
        else if (answer.is_discarded() && !strAnswer.empty())
            strWhy += ": the answer is not JSON";
        return consoleText(strWhy);
    }

    static S3Status answerCallback(const S3ServiceAnswer *answer, void *data)
    {
        PurgeJob &job = *static_cast<PurgeJob *>(data);
        job.bAnswered = true;
        job.nHttp = answer->httpStatus;
        if (answer->body && answer->bodySize > 0)
            job.strAnswer.assign(answer->body, static_cast<std::size_t>(answer->bodySize));
        return S3StatusOK;
    }
    static void completeCallback(S3Status status, const S3ErrorDetails *details, void *data)
    {
        static_cast<PurgeJob *>(data)->tryEnded(status, details);
    }

    bool bHttps = true;
};

} // namespace

std::vector<std::string> purgeUrls(const std::vector<std::string> &changedKeys,
                                   const std::string &strSiteUrl, const std::string &strPrefix)
{
    std::vector<std::string> below;
    for (const std::string &strKey : changedKeys) {
        if (strKey.compare(0, strPrefix.size(), strPrefix) == 0)
            below.push_back(strKey.substr(strPrefix.size()));
    }
    std::string strBase = strSiteUrl;
    while (!strBase.empty() && strBase.back() == '/')
        strBase.pop_back();
    std::vector<std::string> urls;
    for (const std::string &strPath : servedPaths(below))
        urls.push_back(strBase + strPath);
    return urls;
}

std::string purgeBody(const std::vector<std::string> &urls, bool bEverything)
{
    nlohmann::json body;
    if (bEverything)
        body["purge_everything"] = true;
    else
        body["files"] = urls;
    return body.dump();
}

bool purgeChangedKeys(Session &session, const std::vector<std::string> &changedKeys)
{
    const Settings &settings = session.settings();
    if (settings.strCloudflareZone.empty() || changedKeys.empty())
        return true;
    const std::vector<std::string> urls =
        purgeUrls(changedKeys, settings.strSiteUrl, settings.strPrefix);
    if (urls.empty())
        return true;
    const bool bEverything = urls.size() > static_cast<std::size_t>(settings.nPurgeMaxUrls);

    const Endpoint endpoint = parseEndpoint(
        settings.strCloudflareEndpoint.empty() ? pszCloudflareEndpoint : settings.strCloudflareEndpoint);
    const std::string strTarget = "/client/v4/zones/" + settings.strCloudflareZone + "/purge_cache";
    std::vector<PurgeJob> purges(bEverything ? 1 : (urls.size() + kPurgeBatchSize - 1) / kPurgeBatchSize);
    std::vector<RunnerJob *> jobs;
    for (std::size_t i = 0; i < purges.size(); ++i) {
        PurgeJob &job = purges[i];
        job.strHost = endpoint.strHost;
        job.bHttps = endpoint.bHttps;
        job.strZone = settings.strCloudflareZone;
        job.strTarget = strTarget;
        job.strToken = &settings.strCloudflareToken;
        if (bEverything) {
            job.strBody = purgeBody({}, true);
        } else {
            const auto first = urls.begin() + static_cast<std::ptrdiff_t>(i * kPurgeBatchSize);
            const auto last = urls.begin() + static_cast<std::ptrdiff_t>(
                                                 std::min(urls.size(), (i + 1) * kPurgeBatchSize));
            const std::vector<std::string> batch(first, last);
            job.strBody = purgeBody(batch, false);
            job.nUrls = static_cast<long>(batch.size());
        }
        jobs.push_back(&job);
    }
    RunnerOptions options;
    options.nFixedLimit = 1; // one after another: the API counts requests per token
    RequestRunner runner(session, jobs, nullptr, options);
    if (!runner.run("purge failed: cannot set up the request" + std::string(kStoredNote)))
        return false;
    long nPurged = 0;
    for (const PurgeJob &job : purges)
        nPurged += job.bPurged ? job.nUrls : 0;
    if (bEverything && purges[0].bPurged) {
        printLine("purge: everything for " + std::to_string(changedKeys.size()) + " changed keys");
        emitPurge(settings.strCloudflareZone, static_cast<long>(urls.size()), true);
    } else if (nPurged > 0) {
        printLine("purge: " + std::to_string(nPurged) + (nPurged == 1 ? " URL" : " URLs"));
        emitPurge(settings.strCloudflareZone, nPurged, false);
    }
    return !runner.anyFailed();
}
