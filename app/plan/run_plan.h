// run_plan.h - what a mirror run will do, as a value: made from the scan, the
// listing, the digest cache's records and (once asked) the HEAD answers by
// one step that sends, reads and prints nothing. The dry run prints it; the
// transfers carry it out.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "digestcache.h"
#include "header_update.h"
#include "myDir.h"
#include "object_plan.h"
#include "settings.h"
#include "uploader.h"

// The upload of one scanned file (its key, path, digest, ACL and the rules'
// headers), before anything is decided about it.
UploadItem uploadItemFor(const S3Obj &local, const std::string &strRootPath, const Settings &settings);

// The digests of the bytes an upload would send, for the files a rule sends
// encoded (read and encoded now unless the cache holds them; remembered in
// it). Files sent as they are need none: their bytes are the scan's.
std::map<std::string, SentDigest> encodedDigests(const S3ObjSet &localList,
                                                 const std::string &strRootPath,
                                                 const Settings &settings, DigestCache *cache);

// What a plan is made from. Every pointer must outlive the plan's making.
struct PlanInput {
    const S3ObjSet *local = nullptr;   // the scan's records, keys below the site root
    const S3ObjSet *remote = nullptr;  // the listing's records, keys below the prefix
    std::string strRootPath;           // the site root, ending in "/"
    const Settings *settings = nullptr;
    const DigestCache *cache = nullptr;            // null: no records
    std::string strTarget;                         // the cache's name for this store
    const std::map<std::string, SentDigest> *encoded = nullptr; // encodedDigests()
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

struct Plan {
    // Bucket keys whose objects must be asked (HEAD) before the plan is whole,
    // in key order. Empty in a plan made with the answers.
    std::vector<std::string> asks;
    // Files to send, in key order, each with why ("new", "size", "digest",
    // "forced";
    // "page" for the index page in a dry run) and the size of its bytes.
    std::vector<UploadItem> uploads;
    std::vector<const char *> uploadWhy;
    std::vector<uint64_t> uploadSizes;
    std::vector<PlannedUpdate> updates;
    std::vector<LearntRecord> learnt;
    // Uploads (true) and updates (false) by index, in key order: what a dry
    // run prints.
    std::vector<std::pair<bool, std::size_t>> order;
    long nUnchanged = 0;
    // Files sent by --force though nothing shows that they changed ("forced").
    long nForced = 0;
    // Listed objects whose ETag is their file's MD5: a store that shows this
    // has digests for ETags (see planRun).
    long nDigestTags = 0;
};

// The plan for input: whole when nothing must be asked, otherwise only its
// asks say something (what to HEAD).
Plan planRun(const PlanInput &input);
// The whole plan, from the plan that asked and the answers to its asks (one
// per ask, in its order), without looking at every file for asks again.
Plan planRun(const PlanInput &input, const Plan &asking, const std::vector<HeadResult> &heads);

// "would upload: KEY (why)" and "would update headers: KEY" in key order.
std::vector<std::string> dryRunLines(const Plan &plan);
