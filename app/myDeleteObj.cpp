// myDeleteObj.cpp - deletion of one object.
#include <cstring>

#include "myPutObj.h"

namespace {

void deleteObjectCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails,
                                  void *callbackData)
{
    *static_cast<S3Status *>(callbackData) = status;
    MyS3ResponseCompleteCallback(status, errorDetails, nullptr);
}

} // namespace

bool deleteObject(const std::string &strBucket, const std::string &strObj)
{
    MyS3Context context;
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return false;

    S3Status status = S3StatusInternalError;
    S3ResponseHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.propertiesCallback = MyS3ResponsePropertiesCallback;
    handler.completeCallback = deleteObjectCompleteCallback;
    S3_delete_object(&ctx, strObj.c_str(), nullptr, &handler, &status);
    return status == S3StatusOK;
}
