// header_update.h - asking stored objects for their headers (HEAD) and giving
// stored objects new headers in place (a copy onto itself that replaces
// them; no body is sent), many requests in flight on one request context,
// each retried as the retry policy says.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "myPutObj.h"
#include "s3client.h"
#include "session.h"

// What a HEAD of one key told.
struct HeadResult {
    bool bAnswered = false; // the store answered: the object is there, or it is not
    bool bFound = false;
    std::string strContentType;
    std::string strCacheControl;
    std::string strContentEncoding;
    std::string strStorageClass; // "" when the store named none (STANDARD)
    std::string strMd5Meta;      // x-amz-meta-md5, "" when none
    std::string strETag;         // without quotes
    uint64_t size = 0;
    std::string strContentDisposition;
    std::string strContentLanguage;
    std::string strExpires;      // as the store sent it
    std::string strSse;          // x-amz-server-side-encryption
    std::string strRedirect;     // x-amz-website-redirect-location
    std::vector<std::pair<std::string, std::string>> metadata; // x-amz-meta-*, but md5
};

// HEADs every key (bucket keys) with up to settings.nJobs in flight; the
// results are in the order of keys. A HEAD that fails for another reason
// than a missing object prints "cannot read headers: KEY" and its outcome
// lines, and is not answered.
std::vector<HeadResult> headObjects(Session &session, const S3BucketContext &ctx,
                                    const std::vector<std::string> &keys);

// True when what a HEAD reports differs from want: content type,
// Cache-Control, Content-Encoding, storage class (a missing class is
// STANDARD), Content-Disposition, Content-Language, Expires, user metadata,
// encryption asked for, or website redirect. The ACL and the KMS key, which
// a HEAD does not show (or not as sent), are not compared.
bool headersDiffer(const ObjectHeaders &want, const HeadResult &got);

// One object whose headers are to be replaced.
struct HeaderUpdate {
    std::string strKey;    // the bucket key
    ObjectHeaders headers; // what it is to have
    std::string strMd5Hex; // x-amz-meta-md5 again: the replace drops all user metadata
    uint64_t size = 0;     // the object's: above the limit of one copy it is copied in parts
    bool bUpdated = false; // set when the store took the new headers
    std::string strETag;   // the ETag the copy answered, without quotes ("" when none)
};

struct HeaderUpdateTotals {
    long nUpdated = 0;
    long nFailed = 0;
};

// Copies each object onto itself with its new headers
// (x-amz-metadata-directive: REPLACE), or, above the limit of one copy, by a
// copy in parts (copy_in_parts.h), with up to settings.nJobs in flight,
// and prints one block per object in the order given: "update headers: KEY",
// then the outcome lines ("succeed", or the status lines) and any retry lines.
HeaderUpdateTotals updateHeaders(Session &session, const S3BucketContext &ctx,
                                 std::vector<HeaderUpdate> &updates);
