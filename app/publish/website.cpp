// website.cpp - the bucket's website configuration, set and read back
// through the client's bucket website operations.
#include "website.h"

#include <string>

#include "cli.h"
#include "console.h"
#include "events.h"
#include "myPutObj.h"

namespace {

std::string describe(const std::string &strIndex, const std::string &strError)
{
    return "index document " + consoleText(strIndex) + ", " +
           (strError.empty() ? std::string("no error document") : "error document " + consoleText(strError));
}

struct ReadBack {
    std::string strIndex;
    std::string strError;
};

S3Status websiteCallback(const char *pszIndex, const char *pszError, void *callbackData)
{
    ReadBack &back = *static_cast<ReadBack *>(callbackData);
    back.strIndex = pszIndex ? pszIndex : "";
    back.strError = pszError ? pszError : "";
    return S3StatusOK;
}

struct Outcome {
    MyS3Context *context;
    S3Status status = S3StatusInternalError;
};

void setComplete(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    Outcome &outcome = *static_cast<Outcome *>(callbackData);
    outcome.status = status;
    if (status != S3StatusOK)
        MyS3ResponseCompleteCallback(status, details, outcome.context);
}

} // namespace

int configureWebsite(Session &session)
{
    const Settings &settings = session.settings();
    const std::string strError =
        settings.strWebsiteError.empty() ? std::string() : settings.strPrefix + settings.strWebsiteError;
    const std::string strWant = describe(settings.strWebsiteIndex, strError);
    if (settings.bDryRun) {
        printLine("would set website: " + strWant);
        return ExitOk;
    }
    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(settings.strBucket.c_str(), ctx)) {
        printLine("website not set: no credentials");
        emitError({"website", "", "", "", 0, "no credentials", ""});
        return ExitFailed;
    }
    Outcome set{&context};
    const S3ResponseHandler setHandler = {nullptr, setComplete};
    S3_set_bucket_website(&ctx, settings.strWebsiteIndex.c_str(), strError.empty() ? nullptr : strError.c_str(),
                          nullptr, &setHandler, &set);
    if (set.status != S3StatusOK) {
        printLine("website not set: " + strWant);
        emitError({"website", "", "", "", 0, "the store refused the website configuration", ""});
        return ExitFailed;
    }
    printLine("website set: " + strWant);
    // The read-back's outcome (and its lines) go to read, its text to back.
    ReadBack back;
    Outcome read{&context};
    struct Both {
        ReadBack *back;
        Outcome *read;
    };
    S3BucketWebsiteHandler handler = {{nullptr,
                                       [](S3Status status, const S3ErrorDetails *details, void *data) {
                                           setComplete(status, details, static_cast<Both *>(data)->read);
                                       }},
                                      [](const char *pszIndex, const char *pszError, void *data) {
                                          return websiteCallback(pszIndex, pszError, static_cast<Both *>(data)->back);
                                      }};
    Both both{&back, &read};
    S3_get_bucket_website(&ctx, nullptr, &handler, &both);
    if (read.status != S3StatusOK) {
        printLine("website not read back");
        return ExitFailed;
    }
    printLine("website now: " + describe(back.strIndex, back.strError));
    return back.strIndex == settings.strWebsiteIndex && back.strError == strError ? ExitOk : ExitFailed;
}
