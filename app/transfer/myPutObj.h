// myPutObj.h - the per-operation view of the run's session (MyS3Context), the
// single-object transfers, the request fill every upload uses, and the shared
// response callbacks of every request of the tool.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "s3client.h"
#include "session.h"
#include "settings.h"

// The header that names an upload's storage class.
extern const char *const pszStorageClassHeader;
// The user metadata header that carries the hex MD5 of the bytes sent, which
// a store whose ETag is not the MD5 (SSE-KMS, multipart) still answers.
extern const char *const pszMd5MetaHeader;

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

// The headers an object is stored with: what the store is told on an upload,
// and again on a copy onto itself when only they change.
struct ObjectHeaders {
    std::string strContentType;
    std::string strCacheControl;    // "" = none
    std::string strContentEncoding; // "" = none
    S3CannedAcl acl = S3CannedAclPublicRead;
    bool bCannedAcl = true;         // false: no ACL header at all (the ACL setting "none")
    std::string strStorageClass;    // "" = none
    // Each "" (or -1, or empty) for none.
    std::string strContentDisposition;
    std::string strContentLanguage;
    int64_t expires = -1;
    std::vector<std::pair<std::string, std::string>> metadata; // x-amz-meta-NAME, by NAME
    std::string strSse;              // x-amz-server-side-encryption: "AES256" or "aws:kms"
    std::string strSseKmsKeyId;      // its KMS key, with aws:kms
    std::string strRedirect;         // x-amz-website-redirect-location

    // One text that is the same exactly when the headers are: what the digest
    // cache keeps of them.
    std::string record() const;
};

// The headers for an object under the run's settings: with SITEMIRROR_CHARSET
// a text type that names no charset gets it, and SITEMIRROR_SSE asks for
// encryption.
ObjectHeaders objectHeaders(const Settings &settings, S3CannedAcl acl, const std::string &strContentType,
                            const std::string &strCacheControl, const std::string &strContentEncoding);

// The extra headers of one request (storage class, MD5 metadata, encryption,
// redirect, user metadata): the texts and the pairs that point into them.
struct PutMetaData {
    std::vector<std::string> texts;
    std::vector<S3NameValue> pairs;
};

// The properties of one upload (or, with pszMd5Base64 null, of a copy onto
// itself): the object's headers, Content-MD5, and as extra headers the
// storage class and, when pszMd5Hex is given, x-amz-meta-md5. meta holds the
// extra headers; it and headers must outlive the request.
void fillPutProperties(const ObjectHeaders &headers, const char *pszMd5Base64, const char *pszMd5Hex,
                       PutMetaData &meta, S3PutProperties &properties);

// strType with "; charset=CHARSET" when strCharset is given and the type is
// text, JavaScript, JSON or XML and names no charset; else strType.
std::string typeWithCharset(const std::string &strType, const std::string &strCharset);

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
