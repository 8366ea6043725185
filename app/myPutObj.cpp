// myPutObj.cpp - credentials, the per-operation bucket context, the upload of
// one file and the response report shared by every request of the tool.
#include "myPutObj.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "runclient.h"
#include "mime.h"
#include "myS3Common.h"
#include "report.h"
#include "settings.h"

namespace {
Credentials g_credentials;
} // namespace

const Credentials &processCredentials() { return g_credentials; }

const char *const pszUserAgentInfo = "ubuntu 10.04";

bool MyS3Context::bKeyInitialized = false;
const Settings *MyS3Context::pSettings = nullptr;

namespace {

// The storage class every upload asks for, sent as a header of its own.
const char *const kStorageClassHeader = "x-amz-storage-class";

void printField(const char *pszLabel, const char *pszValue)
{
    printLine(std::string(pszLabel) + (pszValue ? pszValue : ""));
}

void printNameValue(const S3NameValue &nv)
{
    printLine(std::string(nv.name ? nv.name : "") + "=" + (nv.value ? nv.value : ""));
}

const Settings &contextSettings()
{
    return MyS3Context::pSettings ? *MyS3Context::pSettings : getSettings();
}

// State of one upload: the open file and the final status of its request.
struct PutObjectData {
    std::FILE *fp;
    S3Status status;
};

int putObjectDataCallback(int bufferSize, char *buffer, void *callbackData)
{
    return myS3PutObjectDataCallback(bufferSize, buffer,
                                     static_cast<PutObjectData *>(callbackData)->fp);
}

void putObjectCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails,
                               void *callbackData)
{
    static_cast<PutObjectData *>(callbackData)->status = status;
    MyS3ResponseCompleteCallback(status, errorDetails, nullptr);
}

} // namespace

bool loadKeyFile(const char *pszPath)
{
    Credentials creds;
    std::string strError;
    if (!readCredentials(pszPath, creds, strError)) {
        printLine(strError);
        return false;
    }
    g_credentials = creds;
    return true;
}

MyS3Context::~MyS3Context()
{
    if (bInitialized)
        S3_deinitialize();
}

bool MyS3Context::initialize(const char *pszBucket, S3BucketContext &ctx)
{
    // Within a run the run's client owns the set-up: take its bucket context.
    if (RunClient *run = RunClient::current())
        return run->bucketContext(pszBucket, ctx);

    const Settings &settings = contextSettings();
    if (!bKeyInitialized) {
        if (!loadKeyFile(settings.strKeyFile.c_str()))
            return false; // tried again by the next operation
        bKeyInitialized = true;
    }

    endpoint = parseEndpoint(settings.strEndpoint);
    fillBucketContext(settings, endpoint, pszBucket, ctx);

    bInitialized = S3_initialize(pszUserAgentInfo, 0, nullptr) == S3StatusOK;
    if (!bInitialized)
        S3_deinitialize(); // a failed initialisation still counts; leave the count as it was
    if (bInitialized && !settings.strCaFile.empty())
        S3_set_ca_file(settings.strCaFile.c_str());
    return bInitialized;
}

bool getFileSize(const std::string &strFileName, uint64_t &size)
{
    return regularFileSize(strFileName, size);
}

int myS3PutObjectDataCallback(int bufferSize, char *buffer, void *callbackData)
{
    auto *fp = static_cast<std::FILE *>(callbackData);
    if (bufferSize <= 0)
        return 0;
    return static_cast<int>(std::fread(buffer, 1, static_cast<std::size_t>(bufferSize), fp));
}

bool putObject(const std::string &strBucket, const std::string &strObj,
               const std::string &strPath, S3CannedAcl acl)
{
    const Settings &settings = contextSettings();
    S3NameValue storageClass = {kStorageClassHeader, settings.strStorageClass.c_str()};
    std::string strMd5;
    std::string strContentType;
    S3PutProperties properties;
    std::memset(&properties, 0, sizeof properties);
    properties.expires = -1;
    // Private sends no x-amz-acl header, which is what "none" asks for.
    properties.cannedAcl = settings.bCannedAcl ? acl : S3CannedAclPrivate;
    properties.metaDataCount = settings.strStorageClass.empty() ? 0 : 1;
    properties.metaData = &storageClass;

    PutObjectData data = {nullptr, S3StatusInternalError};
    S3PutObjectHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.responseHandler.propertiesCallback = MyS3ResponsePropertiesCallback;
    handler.responseHandler.completeCallback = putObjectCompleteCallback;
    handler.putObjectDataCallback = putObjectDataCallback;

    MyS3Context context;
    S3BucketContext ctx;
    if (!context.initialize(strBucket.c_str(), ctx))
        return false;

    uint64_t size = 0;
    if (!getFileSize(strPath, size))
        return false;
    if (!calculateMD5Base64(strPath, strMd5))
        return false;
    properties.md5 = strMd5.c_str();
    strContentType = getFileContentType(strPath);
    properties.contentType = strContentType.c_str();

    data.fp = std::fopen(strPath.c_str(), "rb");
    if (!data.fp)
        return false;
    S3_put_object(&ctx, strObj.c_str(), size, &properties, nullptr, &handler, &data);
    std::fclose(data.fp);
    // A request the service refused, or that broke off, is a failed upload.
    return data.status == S3StatusOK;
}

S3Status MyS3ResponsePropertiesCallback(const S3ResponseProperties *prop, void *)
{
    if (!prop)
        return S3StatusHttpErrorBadRequest;
    printField("requestId:", prop->requestId);
    printField("requestId2: ", prop->requestId2);
    printField("contentType:", prop->contentType);
    printLine("contentLength:" + std::to_string(static_cast<uint64_t>(prop->contentLength)));
    printField("server: ", prop->server);
    printField("eTag:", prop->eTag);
    printLine("lastModified:" + std::to_string(static_cast<int64_t>(prop->lastModified)));
    printLine("metaDataCount:" + std::to_string(prop->metaDataCount));
    for (int i = 0; i < prop->metaDataCount && prop->metaData; ++i) {
        const S3NameValue &nv = prop->metaData[i];
        printNameValue(nv);
    }
    return S3StatusOK;
}

void MyS3ResponseCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails, void *)
{
    if (status == S3StatusOK) {
        printLine("succeed");
        return;
    }
    printLine("status:" + std::to_string(static_cast<int>(status)));
    if (!errorDetails)
        return;
    printField("resource:", errorDetails->resource);
    printField("message:", errorDetails->message);
    printField("furtherDetails:", errorDetails->furtherDetails);
    for (int i = 0; i < errorDetails->extraDetailsCount && errorDetails->extraDetails; ++i) {
        const S3NameValue &nv = errorDetails->extraDetails[i];
        printNameValue(nv);
    }
    std::string strHint = hintOnce(errorDetails, false);
    if (!strHint.empty())
        printLine(strHint);
}
