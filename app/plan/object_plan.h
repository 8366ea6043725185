// object_plan.h - what the store holds of each scanned file, and what to do
// about it: the bytes an upload would send (encoded as its rule says), the
// decision against the listing and the record of the last upload to that
// store, and whether the stored headers are the ones the rules give.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "digestcache.h"
#include "header_update.h"
#include "myDir.h"
#include "myPutObj.h"

// The MD5 and size of the bytes an upload of a file sends.
struct SentDigest {
    bool bKnown = false; // false: the encoded bytes could not be made (the upload will say why)
    std::string strMd5Hex;
    uint64_t size = 0;
    // The ETags other tools give the bytes when sent in parts (a file sent as
    // it is, read for its digest in this run; else null).
    std::shared_ptr<const std::vector<std::string>> partTags;
};

// For a file sent as it is: the scan's digest and size. For an encoded file
// (strEncoding "gzip" or "br"): the digest and size of its encoded bytes,
// from the cache while the file's own digest is the one they were made from,
// else by encoding the file now (opened without following a link, held to
// the scan's size, device, inode and digest), remembered in the cache.
SentDigest sentDigestFor(const S3Obj &local, const std::string &strPath, const std::string &strEncoding,
                         DigestCache *cache);

// sentDigestFor in its steps, for a caller that encodes on other threads:
// the digest the cache remembers for local's encoded bytes (false: none),
// the encoding itself (on any thread), and remembering what it gave (on the
// cache's own thread).
bool cachedSentDigest(const S3Obj &local, const std::string &strEncoding, DigestCache *cache, SentDigest &sent);
SentDigest encodedSentDigest(const S3Obj &local, const std::string &strPath, const std::string &strEncoding);
void rememberEncoded(const S3Obj &local, const std::string &strEncoding, const SentDigest &sent,
                     DigestCache *cache);

// One file whose encoded bytes' digest is wanted.
struct EncodeAsk {
    const S3Obj *local = nullptr;
    std::string strPath, strEncoding;
};

// sentDigestFor for many files, in the order asked: what the cache knows is
// taken from it, the rest is encoded on every core (the hashing pool).
std::vector<SentDigest> sentDigestsFor(const std::vector<EncodeAsk> &asks, DigestCache *cache);

enum StoreVerdict {
    VerdictUnchanged, // the store holds these bytes
    VerdictUpload,    // it does not
    VerdictAsk,       // not known from the listing: ask the object (HEAD) for its x-amz-meta-md5
};

// The decision for one file against its listed object (null: none) and the
// record of what this tool last sent to that store (null: none). Unchanged
// when the listed ETag is the MD5 of the bytes, or is the ETag the store
// answered the last upload of these same bytes (same size and MD5). Upload
// when the object is missing, of another size, without an ETag, or when the
// listed ETag is that of a last upload of other bytes. Otherwise Ask: a store
// whose ETags are not MD5s (SSE-KMS, multipart), or an object another tool
// wrote. pszWhy gets "new", "size" or "digest" for an upload.
StoreVerdict decideAgainstStore(const S3Obj *remote, const SentDigest &sent, const StoredRecord *record,
                                const char **ppszWhy);

// Whether the headers of a stored object with these bytes differ from want:
// by the HEAD's answer when there is one (head non-null and found), else by
// the record when it is of the same bytes; a record of the same bytes whose
// headers differ counts with a HEAD too, as a HEAD does not show the ACL.
enum class StoredHeaders { Same, Differ, Unknown };
StoredHeaders storedHeadersDiffer(const ObjectHeaders &want, const SentDigest &sent, const StoredRecord *record,
                        const HeadResult *head);
