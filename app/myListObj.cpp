// myListObj.cpp - the paged listing of a bucket into object records.
#include "myListObj.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "console.h"
#include "myS3Common.h"
#include "retry.h"

namespace {

S3Status listPagePropertiesCallback(const S3ResponseProperties *prop, void *)
{
    return MyS3ResponsePropertiesCallback(prop, nullptr);
}

void listPageCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails,
                              void *callbackData)
{
    auto *data = static_cast<ListPageData *>(callbackData);
    data->status = status;
    data->strCode = errorDetails && errorDetails->code ? errorDetails->code : "";
    data->httpStatus = errorDetails ? errorDetails->httpStatus : 0;
    MyS3ResponseCompleteCallback(status, errorDetails, data->context);
}

bool listAll(Session &session, const std::string &strBucket, const char *pszPrefix,
             S3ObjSet &s3List)
{
    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return false;

    // The first page starts at the beginning of the bucket: no marker.
    std::string strMarker;
    bool bHaveMarker = false;
    for (;;) {
        ListPageData data;
        const Settings &settings = session.settings();
        for (int nTry = 0;; ++nTry) {
            data = ListPageData();
            data.context = &context;
            if (listObjectHelper(ctx, pszPrefix, bHaveMarker ? strMarker.c_str() : nullptr, data))
                break;
            // A page the store could not give now is asked for again; a
            // refusal, or the last try, fails the listing.
            if (!isRetryableOutcome(data.status, data.strCode.c_str(), data.httpStatus) ||
                nTry >= settings.nRetries) {
                // A failed page is not the end of the bucket. Say which page it was.
                printLine(bHaveMarker ? "listing failed at the page after: " + consoleText(strMarker)
                                      : std::string("listing failed at its first page"));
                return false;
            }
            double delay = retryDelaySeconds(nTry);
            char sz[128];
            std::snprintf(sz, sizeof sz, "retry %d of %d in %.2f s: %s listing", nTry + 1,
                          settings.nRetries, delay,
                          data.strCode.empty() ? S3_get_status_name(data.status)
                                               : data.strCode.c_str());
            printLine(sz);
            std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        }
        if (data.page.empty())
            return true;
        for (const S3Obj &obj : data.page)
            s3List.insert(obj);
        // A service that does not move past the marker would page forever.
        const std::string &strLast = data.page.back().key;
        if (bHaveMarker && strLast.compare(strMarker) <= 0) {
            printLine("listing does not move past: " + consoleText(strMarker));
            return false;
        }
        strMarker = strLast;
        bHaveMarker = true;
    }
}

} // namespace

bool listObjectHelper(const S3BucketContext &ctx, const char *pszPrefix, const char *marker,
                      ListPageData &data)
{
    S3ListBucketHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.responseHandler.propertiesCallback = listPagePropertiesCallback;
    handler.responseHandler.completeCallback = listPageCompleteCallback;
    handler.listBucketCallback = listBucketCallback;
    data.status = S3StatusInternalError;
    S3_list_bucket(&ctx, pszPrefix, marker, nullptr, kListPageSize, nullptr, &handler, &data);
    return data.status == S3StatusOK;
}

S3Status listBucketCallback(int, const char *, int contentsCount,
                            const S3ListBucketContent *contents, int, const char **,
                            void *callbackData)
{
    auto *data = static_cast<ListPageData *>(callbackData);
    for (int i = 0; i < contentsCount; ++i) {
        const S3ListBucketContent &content = contents[i];
        S3Obj obj;
        // A key is kept exactly as listed: quotes may be part of it. Only the
        // entity tag comes quoted.
        obj.key = content.key ? content.key : "";
        obj.tag = trimQuote(content.eTag ? content.eTag : "");
        obj.size = content.size;
        obj.time = content.lastModified;
        data->page.push_back(obj);
    }
    return S3StatusOK;
}

bool listObjects(Session &session, const std::string &strBucket, S3ObjSet &s3List)
{
    return listAll(session, strBucket, nullptr, s3List);
}

bool listObjects(Session &session, const std::string &strBucket, const std::string &strPrefix,
                 S3ObjSet &s3List)
{
    return listAll(session, strBucket, strPrefix.c_str(), s3List);
}
