// myGetObj.cpp - download of one object into a local file.
#include <cstdio>
#include <cstring>

#include "myPutObj.h"

namespace {

// State of one download: the open local file and the request's final status.
struct GetObjectData {
    MyS3Context *context;
    std::FILE *fp;
    S3Status status;
};

S3Status getObjectDataCallback(int bufferSize, const char *buffer, void *callbackData)
{
    auto *data = static_cast<GetObjectData *>(callbackData);
    std::size_t nWant = bufferSize > 0 ? static_cast<std::size_t>(bufferSize) : 0;
    std::size_t nWritten = std::fwrite(buffer, 1, nWant, data->fp);
    return nWritten < nWant ? S3StatusAbortedByCallback : S3StatusOK;
}

void getObjectCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails,
                               void *callbackData)
{
    auto *data = static_cast<GetObjectData *>(callbackData);
    data->status = status;
    MyS3ResponseCompleteCallback(status, errorDetails, data->context);
}

} // namespace

bool getObject(Session &session, const std::string &strBucket, const std::string &strObj,
               const std::string &strPath)
{
    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return false;

    GetObjectData data = {&context, std::fopen(strPath.c_str(), "wb"), S3StatusInternalError};
    if (!data.fp)
        return false;
    S3GetConditions conditions;
    std::memset(&conditions, 0, sizeof conditions);
    conditions.ifModifiedSince = -1;
    conditions.ifNotModifiedSince = -1;

    S3GetObjectHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.responseHandler.propertiesCallback = MyS3ResponsePropertiesCallback;
    handler.responseHandler.completeCallback = getObjectCompleteCallback;
    handler.getObjectDataCallback = getObjectDataCallback;

    S3_get_object(&ctx, strObj.c_str(), &conditions, 0, 0, nullptr, &handler, &data);
    bool bClosed = std::fclose(data.fp) == 0;
    return data.status == S3StatusOK && bClosed;
}
