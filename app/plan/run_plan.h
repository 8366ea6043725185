// run_plan.h - what a mirror run will do, as a value: made from the scan, the
// listing, the digest cache's records and (once asked) the HEAD answers by
// one step that sends, reads and prints nothing. The dry run prints it; the
// transfers carry it out.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "digestcache.h"
#include "hash_pool.h"
#include "header_update.h"
#include "myDir.h"
#include "object_plan.h"
#include "phases.h"
#include "settings.h"
#include "uploader.h"

// The upload of one scanned file (its key, path, digest, ACL and the rules'
// headers), before anything is decided about it.
UploadItem uploadItemFor(const S3Obj &local, const std::string &strRootPath, const Settings &settings);

// What a plan is made from. Every pointer must outlive the plan's making.
struct PlanInput {
    std::string strRootPath;           // the site root, ending in "/"
    const Settings *settings = nullptr;
    const DigestCache *cache = nullptr;            // null: no records
    std::string strTarget;                         // the cache's name for this store
    // Files a rule sends encoded: their bytes are encoded as they are met
    // for the digest of what would be sent (unless encodeCache holds it;
    // remembered there). Without it, their digest is unknown.
    bool bEncodeNow = false;
    DigestCache *encodeCache = nullptr;
    std::string strIndexPageKey;                   // the index page's bucket key
};

// An unchanged object whose headers are replaced, and what its record will say.
struct PlannedUpdate {
    HeaderUpdate update;
    std::string strKey; // below the site root
    uint64_t sentSize = 0; // of the bytes stored (their MD5: update.strMd5Hex)
    std::string strListedETag;
};

// A record the run learnt without sending: the object holds these bytes
// with these headers.
struct LearntRecord {
    std::string strKey; // below the site root
    StoredRecord record;
};

// A file the plan sends, kept small (the plan of a first mirror holds one
// for every file of the site): its upload is made from it, by uploadOf(),
// only when its turn comes.
struct PlannedUpload {
    S3Obj local;              // the scanned file, its key below the site root
    const char *pszWhy = "";  // "new", "size", "digest", "forced"; "page" for the index page
    uint64_t sentSize = 0;    // of the bytes sent (encoded, when a rule says so)
    bool bListed = false;     // an object is listed under its key
    bool bForced = false;     // sent by --force though nothing shows it changed
    bool bEncoded = false;    // a rule sends it encoded
    UploadPhase phase = PhaseAssets;
};

struct Plan {
    // Files to send, in key order.
    std::vector<PlannedUpload> uploads;
    std::vector<PlannedUpdate> updates;
    std::vector<LearntRecord> learnt;
    // Uploads (true) and updates (false) by index, in key order: what a dry
    // run prints.
    std::vector<std::pair<bool, std::size_t>> order;
    long nUnchanged = 0;
    // Files sent by --force though nothing shows that they changed ("forced").
    long nForced = 0;
    // Listed objects whose ETag is their file's MD5: a store that shows this
    // has digests for ETags (see PlanBuilder).
    long nDigestTags = 0;
    // What an upload is made with (see uploadOf).
    std::string strRootPath;
    const Settings *settings = nullptr;
};

// The upload of plan.uploads[i]: the file's key, path, digest, ACL and the
// rules' headers, with the lead lines of a file the bucket did not have.
UploadItem uploadOf(const Plan &plan, std::size_t i);
// The bucket key of plan.uploads[i].
std::string bucketKeyOf(const Plan &plan, std::size_t i);

// What is known of one scanned file against the store: the object listed
// under its key, the bytes it would be sent as, this store's record of it and
// the verdict of the listing and the record alone.
struct FileVerdict {
    const S3Obj *remote = nullptr;
    SentDigest sent;
    bool bRecord = false;
    StoredRecord record;
    StoreVerdict verdict = VerdictUpload;
    const char *pszWhy = "digest";
};

// Makes the plan one file at a time, as the scan and the listing are walked
// in step, keeping only what will be done (files to send, header updates,
// records learnt) and the few files whose objects may have to be asked:
// nothing of an unchanged file. Sends, reads (but for encoding) and prints
// nothing.
class PlanBuilder {
public:
    explicit PlanBuilder(const PlanInput &input); // input must outlive the builder
    ~PlanBuilder();
    PlanBuilder(const PlanBuilder &) = delete;
    PlanBuilder &operator=(const PlanBuilder &) = delete;

    // One scanned file and the object listed under its key (null: none);
    // files may come in any order, each once. A file a rule sends encoded,
    // whose encoded digest the cache does not hold, is encoded on the
    // hashing pool while the next files come (a few at a time).
    void add(const S3Obj &local, const S3Obj *remote);
    // After the last file: the bucket keys whose objects must be asked (HEAD)
    // before the plan is whole, in key order. Whether the store's tags are
    // digests is known only now, after every file.
    std::vector<std::string> asks();
    // The whole plan, in key order, with the answers to asks() (one per
    // ask, in its order; an ask without its answer counts as not answered).
    Plan finish(const std::vector<HeadResult> &heads);

private:
    struct Candidate;
    struct Encoding;
    void addWithSent(const S3Obj &local, const S3Obj *remote, const UploadItem &item, const SentDigest &sent);
    // Decides the oldest file being encoded, once it is.
    void takeEncoded();
    FileVerdict judge(const S3Obj &local, const S3Obj *remote, const SentDigest &sent) const;
    bool mustAsk(StoreVerdict verdict, const S3Obj *remote) const;
    void decide(const S3Obj &local, const UploadItem &item, FileVerdict file, const HeadResult *head);
    SentDigest sentOf(const S3Obj &local, const UploadItem &item) const;
    void upload(const S3Obj &local, const S3Obj *remote, const UploadItem &item, const char *pszWhy,
                uint64_t sentSize, bool bForced = false);
    void putInKeyOrder();

    const PlanInput &in;
    const Settings &settings;
    Plan plan;
    std::vector<Candidate> candidates;
    std::deque<std::unique_ptr<Encoding>> encoding; // files being encoded, oldest first
    std::unique_ptr<HashPool> pool;                  // made for the first of them
    long nDigestTags = 0; // listed objects whose ETag is their file's MD5
    bool bAsked = false;
};

// "would upload: KEY (why)" and "would update headers: KEY" in key order.
std::vector<std::string> dryRunLines(const Plan &plan);
