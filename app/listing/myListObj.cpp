// myListObj.cpp - the paged listing of a bucket into object records.
#include "myListObj.h"

#include <cstring>

#include "listing_ranges.h"
#include "myS3Common.h"

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
             const std::vector<std::string> &cuts, S3ObjSet &s3List)
{
    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return false;
    RangedListing listing(session, ctx, pszPrefix, cuts, &s3List);
    return listing.start() && listing.finish();
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

bool listObjects(Session &session, const std::string &strBucket, S3ObjSet &s3List)
{
    return listAll(session, strBucket, nullptr, {}, s3List);
}

bool listObjects(Session &session, const std::string &strBucket, const std::string &strPrefix,
                 S3ObjSet &s3List)
{
    return listAll(session, strBucket, strPrefix.c_str(), {}, s3List);
}

bool listObjects(Session &session, const std::string &strBucket, const std::string &strPrefix,
                 const std::vector<std::string> &cuts, S3ObjSet &s3List)
{
    return listAll(session, strBucket, strPrefix.empty() ? nullptr : strPrefix.c_str(), cuts,
                   s3List);
}
