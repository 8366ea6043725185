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
const char *const pszMd5MetaHeader = "x-amz-meta-md5";

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

std::string ObjectHeaders::record() const
{
    const char *pszAcl = !bCannedAcl ? "none" : acl == S3CannedAclPrivate ? "private" : "public-read";
    return "type=" + strContentType + "\ncache-control=" + strCacheControl + "\nencoding=" +
           strContentEncoding + "\nacl=" + pszAcl + "\nclass=" + strStorageClass;
}

ObjectHeaders objectHeaders(const Settings &settings, S3CannedAcl acl, const std::string &strContentType,
                            const std::string &strCacheControl, const std::string &strContentEncoding)
{
    ObjectHeaders headers;
    headers.strContentType = strContentType;
    headers.strCacheControl = strCacheControl;
    headers.strContentEncoding = strContentEncoding;
    headers.acl = acl;
    headers.bCannedAcl = settings.bCannedAcl;
    headers.strStorageClass = settings.strStorageClass;
    return headers;
}

void fillPutProperties(const ObjectHeaders &headers, const char *pszMd5Base64, const char *pszMd5Hex,
                       PutMetaData &meta, S3PutProperties &properties)
{
    std::memset(&properties, 0, sizeof properties);
    auto orNull = [](const std::string &str) { return str.empty() ? nullptr : str.c_str(); };
    properties.contentType = orNull(headers.strContentType);
    properties.md5 = pszMd5Base64;
    properties.cacheControl = orNull(headers.strCacheControl);
    properties.contentEncoding = orNull(headers.strContentEncoding);
    properties.expires = -1;
    // Private sends no x-amz-acl header, which is what "none" asks for.
    properties.cannedAcl = headers.bCannedAcl ? headers.acl : S3CannedAclPrivate;
    int n = 0;
    if (!headers.strStorageClass.empty())
        meta.pairs[n++] = {pszStorageClassHeader, headers.strStorageClass.c_str()};
    if (pszMd5Hex && *pszMd5Hex)
        meta.pairs[n++] = {pszMd5MetaHeader, pszMd5Hex};
    properties.metaDataCount = n;
    properties.metaData = meta.pairs;
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
    std::string strMd5Hex;
    if (!getFileSize(strPath, size) || !calculateMD5Base64(strPath, strMd5) ||
        !calculateMD5Hex(strPath, strMd5Hex))
        return false;
    const ObjectHeaders headers = objectHeaders(session.settings(), acl, getFileContentType(strPath), "", "");
    PutMetaData meta;
    S3PutProperties properties;
    fillPutProperties(headers, strMd5.c_str(), strMd5Hex.c_str(), meta, properties);

    PutObjectData data = {&context, std::fopen(strPath.c_str(), "rb"),
                          !headers.strStorageClass.empty(), S3StatusInternalError};
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
