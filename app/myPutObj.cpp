// myPutObj.cpp - the upload of one file, the request fill shared by every
// upload, and the response callbacks shared by every request.
#include "myPutObj.h"

#include <cstdio>
#include <cstring>

#include "console.h"
#include "mime.h"
#include "myS3Common.h"
#include "outcome_lines.h"

const char *const pszStorageClassHeader = "x-amz-storage-class";

namespace {

void printLines(const std::vector<std::string> &lines)
{
    for (const std::string &strLine : lines)
        printLine(strLine);
}

// State of one upload: the operation, the open file and the final status.
struct PutObjectData {
    MyS3Context *context;
    std::FILE *fp;
    bool bSentStorageClass;
    S3Status status;
};

int putObjectDataCallback(int bufferSize, char *buffer, void *callbackData)
{
    return myS3PutObjectDataCallback(bufferSize, buffer,
                                     static_cast<PutObjectData *>(callbackData)->fp);
}

// The body again from its first byte (a kept connection found closed).
int putObjectRewindCallback(void *callbackData)
{
    return std::fseek(static_cast<PutObjectData *>(callbackData)->fp, 0, SEEK_SET) == 0 ? 0 : -1;
}

void putObjectCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails,
                               void *callbackData)
{
    auto *data = static_cast<PutObjectData *>(callbackData);
    data->status = status;
    printLines(outcomeLines(status, errorDetails, &data->context->session().hints(),
                            data->bSentStorageClass));
}

} // namespace

void fillPutProperties(const Settings &settings, S3CannedAcl acl, const char *pszContentType,
                       const char *pszMd5, const char *pszCacheControl, S3NameValue &storageClass,
                       S3PutProperties &properties)
{
    std::memset(&properties, 0, sizeof properties);
    properties.contentType = pszContentType;
    properties.md5 = pszMd5;
    properties.cacheControl = pszCacheControl;
    properties.expires = -1;
    // Private sends no x-amz-acl header, which is what "none" asks for.
    properties.cannedAcl = settings.bCannedAcl ? acl : S3CannedAclPrivate;
    storageClass.name = pszStorageClassHeader;
    storageClass.value = settings.strStorageClass.c_str();
    properties.metaDataCount = settings.strStorageClass.empty() ? 0 : 1;
    properties.metaData = &storageClass;
}

int myS3PutObjectDataCallback(int bufferSize, char *buffer, void *callbackData)
{
    auto *fp = static_cast<std::FILE *>(callbackData);
    if (bufferSize <= 0)
        return 0;
    return static_cast<int>(std::fread(buffer, 1, static_cast<std::size_t>(bufferSize), fp));
}

bool putObject(Session &session, const std::string &strBucket, const std::string &strObj,
               const std::string &strPath, S3CannedAcl acl)
{
    MyS3Context context(session);
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return false;

    uint64_t size = 0;
    std::string strMd5;
    if (!getFileSize(strPath, size) || !calculateMD5Base64(strPath, strMd5))
        return false;
    const std::string strContentType = getFileContentType(strPath);
    S3NameValue storageClass;
    S3PutProperties properties;
    fillPutProperties(session.settings(), acl, strContentType.c_str(), strMd5.c_str(), nullptr,
                      storageClass, properties);

    PutObjectData data = {&context, std::fopen(strPath.c_str(), "rb"),
                          properties.metaDataCount > 0, S3StatusInternalError};
    if (!data.fp)
        return false;
    S3PutObjectHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.responseHandler.propertiesCallback = MyS3ResponsePropertiesCallback;
    handler.responseHandler.completeCallback = putObjectCompleteCallback;
    handler.putObjectDataCallback = putObjectDataCallback;
    handler.putObjectRewindCallback = putObjectRewindCallback;
    S3_put_object(&ctx, strObj.c_str(), size, &properties, nullptr, &handler, &data);
    std::fclose(data.fp);
    // A request the service refused, or that broke off, is a failed upload.
    return data.status == S3StatusOK;
}

S3Status MyS3ResponsePropertiesCallback(const S3ResponseProperties *prop, void *)
{
    if (!prop)
        return S3StatusHttpErrorBadRequest;
    printLines(propertiesLines(*prop));
    return S3StatusOK;
}

void MyS3ResponseCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails,
                                  void *callbackData)
{
    auto *context = static_cast<MyS3Context *>(callbackData);
    printLines(outcomeLines(status, errorDetails, context ? &context->session().hints() : nullptr,
                            false));
}
