// cdn.cpp - the CloudFront invalidation after a run: the paths of the changed
// keys, the request document, and the request itself, which the client signs
// V4 for the service "cloudfront" in us-east-1 and sends; then the answer's id
// or error, and another try when CloudFront asks for one.
#include "cdn.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include "console.h"
#include "events.h"
#include "myListTool.h"
#include "request_runner.h"
#include "session.h"
#include "s3client.h"

const char *const pszCloudFrontEndpoint = "https://cloudfront.amazonaws.com";

namespace {

const char kApiVersion[] = "2020-05-31";
const char kService[] = "cloudfront";
const char kRegion[] = "us-east-1"; // CloudFront is global and signs for this region
const char kIndexName[] = "index.html";

// "/" + the key as the index page links it; a double quote, which the page
// keeps but a browser sends encoded, as %22. With bWildcard (CloudFront,
// which takes "*" as a wildcard, and only as a path's last character) a key
// holding "*" is its path up to the first "*", a wildcard that covers it (and
// whatever else begins so) and counts as one path.
std::string pathOfKey(const std::string &strKey, bool bWildcard)
{
    std::string strPath = "/";
    for (char c : siteindex::urlEncode(strKey)) {
        strPath += c == '"' ? std::string("%22") : std::string(1, c);
        if (bWildcard && c == '*')
            break;
    }
    return strPath;
}

// What the client reported of one try.
struct Answer {
    S3Status status = S3StatusInternalError;
    bool bSent = false; // the request went out (error details came)
    int httpStatus = 0; // 0: no answer
    std::string strId, strCode, strMessage, strOriginPath;
};

S3Status onAnswer(const S3ServiceAnswer *answer, void *data)
{
    Answer &out = *static_cast<Answer *>(data);
    out.httpStatus = answer->httpStatus;
    for (int i = 0; i < answer->elementCount; ++i) {
        const char *pszName = answer->elementNames[i];
        std::string &strText = std::strcmp(pszName, "Id") == 0           ? out.strId
                               : std::strcmp(pszName, "Code") == 0       ? out.strCode
                               : std::strcmp(pszName, "OriginPath") == 0 ? out.strOriginPath
                                                                         : out.strMessage;
        strText = answer->elementTexts[i];
    }
    return S3StatusOK;
}

void onComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    Answer &out = *static_cast<Answer *>(data);
    out.status = status;
    out.bSent = details != nullptr;
    if (details)
        out.httpStatus = details->httpStatus;
}

// Worth another try: no answer, or CloudFront's own "try again".
bool isRetryable(const Answer &answer)
{
    if (!answer.bSent)
        return false; // refused before it was sent: the same again would be too
    return answer.httpStatus == 0 || answer.httpStatus == 429 || answer.httpStatus >= 500 ||
           answer.strCode == "Throttling" || answer.strCode == "ServiceUnavailable" ||
           answer.strCode == "RequestTimeout";
}

} // namespace

std::set<std::string> servedPaths(const std::vector<std::string> &keys, bool bWildcard)
{
    const std::string strIndex = kIndexName;
    std::set<std::string> paths;
    for (const std::string &strKey : keys) {
        paths.insert(pathOfKey(strKey, bWildcard));
        // The folder's own address serves its index page.
        const bool bIndex = strKey.size() >= strIndex.size() &&
                            strKey.compare(strKey.size() - strIndex.size(), strIndex.size(),
                                           strIndex) == 0 &&
                            (strKey.size() == strIndex.size() ||
                             strKey[strKey.size() - strIndex.size() - 1] == '/');
        if (bIndex)
            paths.insert(pathOfKey(strKey.substr(0, strKey.size() - strIndex.size()), bWildcard));
    }
    return paths;
}

std::vector<std::string> invalidationPaths(const std::vector<std::string> &keys,
                                           std::size_t nMaxPaths, bool *pbCollapsed)
{
    if (pbCollapsed)
        *pbCollapsed = false;
    const std::set<std::string> paths = servedPaths(keys, true);
    if (paths.size() > nMaxPaths) {
        if (pbCollapsed)
            *pbCollapsed = true;
        return {"/*"};
    }
    return std::vector<std::string>(paths.begin(), paths.end());
}

std::string invalidationBatchXml(const std::vector<std::string> &paths,
                                 const std::string &strCallerReference)
{
    std::string strXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                         "<InvalidationBatch xmlns=\"http://cloudfront.amazonaws.com/doc/";
    strXml += kApiVersion;
    strXml += "/\"><Paths><Quantity>" + std::to_string(paths.size()) + "</Quantity><Items>";
    for (const std::string &strPath : paths)
        strXml += "<Path>" + siteindex::htmlEscape(strPath) + "</Path>";
    strXml += "</Items></Paths><CallerReference>" + siteindex::htmlEscape(strCallerReference) +
              "</CallerReference></InvalidationBatch>";
    return strXml;
}

namespace {

// One request to CloudFront, a job of the run's request runner: a
// distribution's configuration (GetDistributionConfig) or its invalidation.
struct CdnJob : public RunnerJob {
    std::string strDistribution;
    bool bConfig = false; // reads the configuration
    std::string strHost;
    std::string strTarget;
    std::string strBody;
    std::string strCount; // " (N paths)" after the id of an accepted invalidation
    long nPaths = 0;
    S3ServiceRequest request;
    S3ServiceRequestHandler handler;
    Answer answer;
    bool bOk = false;

    // CloudFront is no bucket store: its refusals ask nothing of the store's signing.
    bool followsStore() const override { return false; }

    bool prepareTry() override
    {
        answer = Answer();
        return true;
    }
    void sendTry(S3RequestContext *rc) override { S3_send_service_request(&request, rc, &handler, this); }
    Next succeeded() override
    {
        if (bConfig)
            return answer.httpStatus / 100 == 2 ? Next::Done : Next::Failed;
        if (answer.httpStatus / 100 == 2 && !answer.strId.empty()) {
            lines.push_back("invalidation: " + consoleText(answer.strId) + strCount);
            emitInvalidation(strDistribution, answer.strId, nPaths);
            return Next::Done;
        }
        return Next::Failed;
    }
    bool worthRetry() const override { return isRetryable(answer); }
    std::string retryReason() const override { return "invalidation: " + why(); }
    void finish(bool bDone) override
    {
        bOk = bDone;
        if (bDone)
            return;
        if (bConfig) {
            // Without it the keys are taken to be served as they are.
            lines.push_back("invalidation: distribution " + strDistribution +
                            ": cannot read its origin path: " + why() +
                            " (its paths are the keys as they are)");
            return;
        }
        lines.push_back("invalidation failed: distribution " + strDistribution + ": " + why() +
                        " (the files are stored; the CDN may serve old copies until they expire)");
        emitError({"invalidation", "", "", answer.strCode, answer.httpStatus, why(), ""});
    }
    // What went wrong with the last try.
    std::string why() const
    {
        std::string strWhy;
        if (!answer.bSent) {
            strWhy = std::string("cannot send the request: ") + S3_get_status_name(answer.status);
        } else if (answer.httpStatus == 0) {
            strWhy = "cannot reach " + strHost + ": " + S3_get_status_name(answer.status);
        } else {
            strWhy = "HTTP " + std::to_string(answer.httpStatus);
            if (!answer.strCode.empty())
                strWhy += " " + answer.strCode;
            if (!answer.strMessage.empty())
                strWhy += ": " + answer.strMessage;
        }
        return consoleText(strWhy);
    }

    // The request, signed with creds, to the host of endpoint.
    void prepare(const Endpoint &endpoint, const CdnCredentials &creds)
    {
        static const char *const answerNames[] = {"Id", "Code", "Message", "OriginPath"};
        static const S3NameValue headers[] = {{"Content-Type", "application/xml"}};
        strHost = endpoint.strHost;
        std::memset(&request, 0, sizeof request);
        request.method = bConfig ? "GET" : "POST";
        request.protocol = endpoint.bHttps ? S3ProtocolHTTPS : S3ProtocolHTTP;
        request.hostName = strHost.c_str();
        request.path = strTarget.c_str();
        request.headers = bConfig ? nullptr : headers;
        request.headerCount = bConfig ? 0 : 1;
        request.body = bConfig ? nullptr : strBody.data();
        request.bodySize = bConfig ? 0 : static_cast<int64_t>(strBody.size());
        request.service = kService;
        request.region = kRegion;
        request.accessKeyId = creds.strAccessKeyId.c_str();
        request.secretAccessKey = creds.strSecretAccessKey.c_str();
        request.securityToken = creds.strSessionToken.c_str();
        request.answerElementNames = answerNames;
        request.answerElementCount = 4;
        handler = {{nullptr, &CdnJob::completeCallback}, &CdnJob::answerCallback};
    }

    static S3Status answerCallback(const S3ServiceAnswer *served, void *data)
    {
        return onAnswer(served, &static_cast<CdnJob *>(data)->answer);
    }
    static void completeCallback(S3Status status, const S3ErrorDetails *details, void *data)
    {
        CdnJob &job = *static_cast<CdnJob *>(data);
        onComplete(status, details, &job.answer);
        job.tryEnded(status, details);
    }
};

// Runs jobs one after another on the run's request runner. False when no
// request could be set up.
bool runCdnJobs(Session &session, std::vector<CdnJob> &cdnJobs)
{
    std::vector<RunnerJob *> jobs;
    for (CdnJob &job : cdnJobs)
        jobs.push_back(&job);
    RunnerOptions options;
    options.nFixedLimit = 1;
    RequestRunner runner(session, jobs, nullptr, options);
    return runner.run("invalidation failed: cannot set up the request");
}

} // namespace

std::vector<std::string> cloudFrontDistributions(const std::string &strSetting)
{
    std::vector<std::string> ids;
    std::size_t pos = 0;
    while (pos <= strSetting.size()) {
        const std::size_t end = std::min(strSetting.find(',', pos), strSetting.size());
        std::string strId = strSetting.substr(pos, end - pos);
        while (!strId.empty() && strId.front() == ' ')
            strId.erase(0, 1);
        while (!strId.empty() && strId.back() == ' ')
            strId.pop_back();
        if (!strId.empty() && std::find(ids.begin(), ids.end(), strId) == ids.end())
            ids.push_back(strId);
        pos = end + 1;
    }
    return ids;
}

std::vector<std::string> keysBelowOriginPath(const std::vector<std::string> &keys,
                                             const std::string &strOriginPath)
{
    std::string strFolder = strOriginPath;
    while (!strFolder.empty() && strFolder.front() == '/')
        strFolder.erase(0, 1);
    while (!strFolder.empty() && strFolder.back() == '/')
        strFolder.pop_back();
    if (strFolder.empty())
        return keys;
    strFolder += '/';
    std::vector<std::string> below;
    for (const std::string &strKey : keys) {
        if (strKey.size() > strFolder.size() && strKey.compare(0, strFolder.size(), strFolder) == 0)
            below.push_back(strKey.substr(strFolder.size()));
    }
    return below;
}

bool invalidateChangedKeys(Session &session, const CdnCredentials &creds,
                           const std::vector<std::string> &changedKeys)
{
    if (changedKeys.empty())
        return true;
    const Settings &settings = session.settings();
    const std::vector<std::string> ids = cloudFrontDistributions(settings.strCloudFrontDistribution);
    if (ids.empty())
        return true;
    const std::size_t nMax = static_cast<std::size_t>(std::max(1, settings.nInvalidationMaxPaths));
    const Endpoint endpoint = parseEndpoint(
        settings.strCloudFrontEndpoint.empty() ? pszCloudFrontEndpoint
                                               : settings.strCloudFrontEndpoint);
    const std::string strApi = std::string("/") + kApiVersion + "/distribution/";

    // 1. Each distribution's origin path, read once per run.
    std::vector<CdnJob> configs(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        configs[i].strDistribution = ids[i];
        configs[i].bConfig = true;
        configs[i].strTarget = strApi + ids[i] + "/config";
        configs[i].prepare(endpoint, creds);
    }
    if (!runCdnJobs(session, configs))
        return false;

    // 2. Each distribution forgets the paths it serves the changed keys under.
    // One reference for every try: CloudFront answers a repeated batch with
    // the invalidation it already made instead of making a second one.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string strCallerReference =
        "sitemirror-" +
        std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) + "-" +
        std::to_string(static_cast<long>(::getpid()));
    std::vector<CdnJob> invalidations;
    invalidations.reserve(ids.size());
    for (const CdnJob &config : configs) {
        const std::vector<std::string> keys =
            keysBelowOriginPath(changedKeys, config.bOk ? config.answer.strOriginPath : "");
        if (keys.empty())
            continue; // it serves none of them
        bool bCollapsed = false;
        const std::vector<std::string> paths = invalidationPaths(keys, nMax, &bCollapsed);
        invalidations.emplace_back();
        CdnJob &job = invalidations.back();
        job.strDistribution = config.strDistribution;
        job.strTarget = strApi + config.strDistribution + "/invalidation";
        job.strBody = invalidationBatchXml(paths, strCallerReference);
        job.nPaths = static_cast<long>(paths.size());
        job.strCount = " (" +
                       (bCollapsed ? "/* for " + std::to_string(keys.size()) +
                                         (keys.size() == 1 ? " changed key" : " changed keys")
                                   : std::to_string(paths.size()) + (paths.size() == 1 ? " path" : " paths")) +
                       ")";
        job.prepare(endpoint, creds);
    }
    if (!runCdnJobs(session, invalidations))
        return false;
    return std::all_of(invalidations.begin(), invalidations.end(),
                       [](const CdnJob &job) { return job.bOk; });
}
