// myDeleteObj.cpp - deletion of one object.
#include <cstring>

#include "myPutObj.h"

namespace {

// State of one deletion: the operation and the request's final status.
struct DeleteObjectData {
    MyS3Context *context;
    S3Status status;
};

void deleteObjectCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails,
                                  void *callbackData)
{
    auto *data = static_cast<DeleteObjectData *>(callbackData);
    data->status = status;
    MyS3ResponseCompleteCallback(status, errorDetails, data->context);
}

} // namespace

bool deleteObject(Session &session, const std::string &strBucket, const std::string &strObj)
{
    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return false;

    DeleteObjectData data = {&context, S3StatusInternalError};
    S3ResponseHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.propertiesCallback = MyS3ResponsePropertiesCallback;
    handler.completeCallback = deleteObjectCompleteCallback;
    S3_delete_object(&ctx, strObj.c_str(), nullptr, &handler, &data);
    return data.status == S3StatusOK;
}
