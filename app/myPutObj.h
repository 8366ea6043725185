// myPutObj.h - the per-operation view of the run's session (MyS3Context), the
// single-object transfers, the request fill every upload uses, and the shared
// response callbacks of every request of the tool.
#pragma once

#include <cstdint>
#include <string>

#include "s3client.h"
#include "session.h"
#include "settings.h"

// The header that names an upload's storage class.
extern const char *const pszStorageClassHeader;

// One bucket operation's view of the session: make one as a local of the
// operation. The S3BucketContext and the bucket name text belong to the
// caller and must outlive the operation; the session owns the client.
class MyS3Context {
public:
    explicit MyS3Context(Session &session) : sessionRef(session) {}
    MyS3Context(const MyS3Context &) = delete;
    MyS3Context &operator=(const MyS3Context &) = delete;

    // True when the credentials are available and the client is set up; ctx
    // is then the run's bucket context for pszBucket.
    bool initialize(const char *pszBucket, S3BucketContext &ctx)
    {
        return sessionRef.bucketContext(pszBucket, ctx);
    }
    Session &session() { return sessionRef; }

private:
    Session &sessionRef;
};

// The properties of one upload: content type, Content-MD5, Cache-Control
// (each null for none), the canned ACL (none at all with the ACL setting
// "none") and the configured storage class as its own header, which
// storageClass holds; it must outlive the request.
void fillPutProperties(const Settings &settings, S3CannedAcl acl, const char *pszContentType,
                       const char *pszMd5, const char *pszCacheControl, S3NameValue &storageClass,
                       S3PutProperties &properties);

// Uploads the local file strPath as object strObj with the canned ACL acl,
// its content type, Content-MD5 and the configured storage class.
// True only when the service accepted the upload; false when it never started
// (no credentials, not a regular file, unreadable) or ended in another status.
bool putObject(Session &session, const std::string &strBucket, const std::string &strObj,
               const std::string &strPath, S3CannedAcl acl);

// Downloads the whole object strObj into the local file strPath (created or
// truncated). True only when the request completed with S3StatusOK.
bool getObject(Session &session, const std::string &strBucket, const std::string &strObj,
               const std::string &strPath);

// Deletes one object. True only when the request completed with S3StatusOK.
bool deleteObject(Session &session, const std::string &strBucket, const std::string &strObj);

// The upload's data source: callbackData is the open local FILE*.
int myS3PutObjectDataCallback(int bufferSize, char *buffer, void *callbackData);

// The shared response handler of every request. callbackData is the
// operation's MyS3Context, whose session gives each hint once per run; null
// prints no hints.
S3Status MyS3ResponsePropertiesCallback(const S3ResponseProperties *prop, void *callbackData);
void MyS3ResponseCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails,
                                  void *callbackData);
