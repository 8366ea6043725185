// myPutObj.h - the bridge between the mirror and the S3 client: credentials,
// the per-operation bucket context, single-object transfers and the console
// report that every request of the tool prints.
#pragma once

#include <cstdint>
#include <string>

#include "credentials.h"
#include "s3client.h"
#include "settings.h"

// Credentials, read from the key file by the first operation that finds it
// usable and kept for the process.
const Credentials &processCredentials();

// User-agent information handed to S3_initialize by every context (and by the
// run-long initialisation that the command line holds).
extern const char *const pszUserAgentInfo;

// One bucket operation's hold on the client. Make one as a local of the
// operation: initialize() sets the client up, the destructor tears it down
// again. The S3BucketContext and the bucket name text belong to the caller and
// must outlive the operation.
class MyS3Context {
public:
    MyS3Context() = default;
    ~MyS3Context();
    MyS3Context(const MyS3Context &) = delete;
    MyS3Context &operator=(const MyS3Context &) = delete;

    // True when the credentials are available and the client is initialised.
    // ctx is filled whenever the credentials are available (host and protocol
    // from the configured endpoint, path-style URIs). While a RunClient exists
    // the run's bucket context is taken and nothing is set up again.
    bool initialize(const char *pszBucket, S3BucketContext &ctx);

    // True once a key file has been opened and read; shared by all contexts.
    static bool bKeyInitialized;
    // Settings the contexts use (key file, endpoint, CA file); null means the
    // process's own (getSettings()). Tests point it at their own.
    static const Settings *pSettings;

private:
    bool bInitialized = false;
    Endpoint endpoint; // where this operation's requests go; ctx points into it
};

// Reads the key file into processCredentials(). False, with one line printed
// naming the file and what is wrong, when the file is not a usable key file.
bool loadKeyFile(const char *pszPath);

// Uploads the local file strPath as object strObj with the canned ACL acl,
// its content type, Content-MD5 and the configured storage class (none when
// empty); with the ACL setting "none" no x-amz-acl is sent at all.
// True only when the service accepted the upload; false when it never started
// (no credentials, not a regular file, unreadable) or ended in another status.
bool putObject(const std::string &strBucket, const std::string &strObj,
               const std::string &strPath, S3CannedAcl acl);

// Downloads the whole object strObj into the local file strPath (created or
// truncated). True only when the request completed with S3StatusOK.
bool getObject(const std::string &strBucket, const std::string &strObj,
               const std::string &strPath);

// Deletes one object. True only when the request completed with S3StatusOK.
bool deleteObject(const std::string &strBucket, const std::string &strObj);

// The upload's data source: callbackData is the open local FILE*.
int myS3PutObjectDataCallback(int bufferSize, char *buffer, void *callbackData);

// The shared response handler of every request; callbackData is ignored.
S3Status MyS3ResponsePropertiesCallback(const S3ResponseProperties *prop, void *callbackData);
void MyS3ResponseCompleteCallback(S3Status status, const S3ErrorDetails *errorDetails,
                                  void *callbackData);

// True and the size in bytes when strFileName names a regular file (symbolic
// links followed); false otherwise, with size unchanged.
bool getFileSize(const std::string &strFileName, uint64_t &size);
