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
    const char *pszAcl = !bCannedAcl ? "none" : cannedAclName(acl);
    std::string str = "type=" + strContentType + "\ncache-control=" + strCacheControl + "\nencoding=" +
                      strContentEncoding + "\nacl=" + pszAcl + "\nclass=" + strStorageClass;
    // The later headers only when set, so that older records still match.
    auto add = [&str](const char *pszName, const std::string &strValue) {
        if (!strValue.empty())
            str += std::string("\n") + pszName + "=" + strValue;
    };
    add("disposition", strContentDisposition);
    add("language", strContentLanguage);
    add("expires", expires < 0 ? "" : std::to_string(expires));
    for (const auto &pair : metadata)
        add(("meta-" + pair.first).c_str(), pair.second);
    add("sse", strSse);
    add("sse-kms-key", strSseKmsKeyId);
    add("redirect", strRedirect);
    return str;
}

std::string typeWithCharset(const std::string &strType, const std::string &strCharset)
{
    if (strCharset.empty() || strType.empty() || strType.find(';') != std::string::npos)
        return strType;
    const bool bText = strType.compare(0, 5, "text/") == 0 || strType == "application/javascript" ||
                       strType == "application/json" || strType == "application/xml" ||
                       (strType.size() > 4 && strType.compare(strType.size() - 4, 4, "+xml") == 0) ||
                       (strType.size() > 5 && strType.compare(strType.size() - 5, 5, "+json") == 0);
    return bText ? strType + "; charset=" + strCharset : strType;
}

ObjectHeaders objectHeaders(const Settings &settings, S3CannedAcl acl, const std::string &strContentType,
                            const std::string &strCacheControl, const std::string &strContentEncoding)
{
    ObjectHeaders headers;
    headers.strContentType = typeWithCharset(strContentType, settings.strCharset);
    headers.strCacheControl = strCacheControl;
    headers.strContentEncoding = strContentEncoding;
    headers.acl = acl;
    headers.bCannedAcl = settings.bCannedAcl;
    headers.strStorageClass = settings.strStorageClass;
    headers.strSse = settings.strSse;
    headers.strSseKmsKeyId = settings.strSseKmsKeyId;
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
    properties.contentDisposition = orNull(headers.strContentDisposition);
    properties.contentLanguage = orNull(headers.strContentLanguage);
    properties.expires = headers.expires;
    // Private sends no x-amz-acl header, which is what "none" asks for.
    properties.cannedAcl = headers.bCannedAcl ? headers.acl : S3CannedAclPrivate;
    // Names and values first, then the pairs that point into them.
    meta.texts.clear();
    auto add = [&meta](const std::string &strName, const std::string &strValue) {
        if (strValue.empty())
            return;
        meta.texts.push_back(strName);
        meta.texts.push_back(strValue);
    };
    add(pszStorageClassHeader, headers.strStorageClass);
    add(pszMd5MetaHeader, pszMd5Hex ? pszMd5Hex : "");
    add("x-amz-server-side-encryption", headers.strSse);
    add("x-amz-server-side-encryption-aws-kms-key-id", headers.strSseKmsKeyId);
    add("x-amz-website-redirect-location", headers.strRedirect);
    for (const auto &pair : headers.metadata)
        add("x-amz-meta-" + pair.first, pair.second);
    meta.pairs.clear();
    for (std::size_t i = 0; i + 1 < meta.texts.size(); i += 2)
        meta.pairs.push_back({meta.texts[i].c_str(), meta.texts[i + 1].c_str()});
    properties.metaDataCount = static_cast<int>(meta.pairs.size());
    properties.metaData = meta.pairs.empty() ? nullptr : meta.pairs.data();
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
