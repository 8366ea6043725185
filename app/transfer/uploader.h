// uploader.h - the uploads of a run, each a job of the request runner:
// retried as the retry policy says, each upload's lines printed as one block
// in key order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cache_rules.h"
#include "myPutObj.h"
#include "retry.h"
#include "s3client.h"
#include "session.h"
#include "settings.h"

struct UploadItem {
    std::string strKey;
    std::string strPath;
    std::string strMd5Hex;       // the scan's digest; "" = computed from the file
    uint64_t size = 0;           // the scan's size
    uint64_t device = 0;         // the scanned file's device and inode; 0 and 0: the
    uint64_t inode = 0;          // file is only held to its size
    S3CannedAcl acl = S3CannedAclPublicRead;
    std::string strCacheControl;    // "" = no Cache-Control header
    std::string strContentType;     // "" = the type of the file name's extension
    std::string strContentEncoding; // "gzip" or "br": the file is sent encoded so; "" = as it is
    CacheRule rule;                 // the matched rule's further headers (none when no rule)
    std::vector<std::string> leadLines; // printed at the head of the block
    bool bForced = false; // sent by --force though nothing shows it changed
    bool bNamed = true; // the block names the file ("upload:", "upload error"); the
                        // one-file form prints only the response lines
    // Set by the uploader when the store took the file: what was sent (the
    // MD5 and size of the bytes, encoded or not) and the ETag it answered
    // (without quotes; "" when it gave none).
    bool bStored = false;
    std::string strSentMd5Hex;
    uint64_t sentSize = 0;
    std::string strETag;
};

// Gives item the headers of the first rule that matches strSitePath, the
// file's path below the site root (its key without the bucket folder the
// site lives in): Cache-Control, content type (else by the file name's
// extension), content encoding, the further headers and the rule's canned
// ACL (never for a file under "personal", which stays private).
void applyRules(const std::vector<CacheRule> &rules, const std::string &strSitePath, UploadItem &item);

// The headers item is sent with under settings (after applyRules).
ObjectHeaders itemHeaders(const Settings &settings, const UploadItem &item);

// The part size a file of size bytes goes up in: the setting's, grown to a
// whole number of MiB when the file would need more parts than the store takes.
uint64_t partSizeFor(uint64_t size, uint64_t setting);

struct UploadTotals {
    long nSent = 0;
    uint64_t nBytesSent = 0;
    long nFailed = 0;
    // Keys whose remembered digest must not be trusted again: the file
    // changed during the run, or the store refused its bytes (BadDigest).
    std::vector<std::string> staleKeys;
    int nMostInFlight = 0; // the most uploads in flight at once
};

// Sends items (in key order) with up to settings.nJobs in flight (0: as many
// as the link takes, see concurrency.h) and at most that many files open,
// with the session's settings and hints. Each upload carries x-amz-meta-md5,
// the hex MD5 of the bytes sent. An item with a content encoding is read
// once and encoded into a scratch file outside the tree (its plain bytes held
// to the scan's digest), then sent from there, every try the same bytes; the
// totals count bytes as sent. Encoding, and reading a file in parts for its
// digests, is done on the runner's worker thread. ctx, the
// session's bucket context, must stay valid for the call. Each block is the
// item's lead lines, "upload:PATH ; KEY", its response lines, any retry lines
// and, on failure, the "upload error" line. A file is sent only when the file
// opened (never through a symbolic link) is the one scanned: same size, and
// same device and inode when the item has them; otherwise, and when it
// shrinks while it is sent, "file changed during the run: PATH" is printed
// and the upload fails without a retry. One file's upload, retries included,
// is bounded by uploadLifeSeconds(settings.nRequestTimeout, settings.nRetries).
// A body (the file, or its encoding) larger than settings.multipartThreshold
// goes up in parts of partSizeFor(size, settings.partSize), each a job of its own with
// the same limits, read from the file where it lies; a file that fails, or a
// SIGINT, SIGTERM or SIGHUP while such uploads are open, gives its upload up
// (after which the signal ends the process as it would have).
UploadTotals uploadItems(Session &session, const S3BucketContext &ctx,
                         const std::string &strBucket, std::vector<UploadItem> &items);

// The files a long run sends, each made into its upload only when its turn
// comes and handed back once its block is printed, so that a run holds an
// upload only while it is being sent or waits to be printed, never one for
// every file.
class UploadSource {
public:
    virtual ~UploadSource() = default;
    virtual std::size_t count() const = 0;
    // What the uploads need to know before the first goes: upload i's bucket
    // key, its size, and whether it is sent encoded.
    virtual std::string key(std::size_t i) const = 0;
    virtual uint64_t size(std::size_t i) const = 0;
    virtual bool encoded(std::size_t i) const = 0;
    // Upload i, made when it is about to go (in order, each once).
    virtual UploadItem make(std::size_t i) = 0;
    // Upload i has ended and its block is printed: item says what the store
    // took (bStored and what was sent, as uploadItems sets them).
    virtual void ended(std::size_t i, const UploadItem &item) = 0;
};

// uploadItems for the uploads of source, in its order.
UploadTotals uploadFrom(Session &session, const S3BucketContext &ctx, const std::string &strBucket,
                        UploadSource &source);
