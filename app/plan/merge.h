// merge.h - the scan and the listing walked in step. Both give their records
// in byte order of keys, so each key is met once, as a local file with or
// without the object listed under it, or as a listed object alone, and
// nothing of either side needs to be held: only what the walk decides to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "myDir.h"

class IgnoreRules;
class PlanBuilder;

// One side of the merge: the next record (keys rising); false at the end.
using RecordSource = std::function<bool(S3Obj &obj)>;

// What the merge meets, key by key.
class MergeVisitor {
public:
    virtual ~MergeVisitor() = default;
    virtual void both(const S3Obj &local, const S3Obj &remote) = 0;
    virtual void localOnly(const S3Obj &local) = 0;
    virtual void remoteOnly(const S3Obj &remote) = 0;
};

// Walks local and remote in step to their ends, telling visitor of every
// key in byte order. A record whose key does not rise above the one before
// it on its side is passed over (the first of a key wins, as in a set);
// their number is returned.
std::size_t mergeInKeyOrder(const RecordSource &local, const RecordSource &remote, MergeVisitor &visitor);

// A set of keys that holds a few bytes a key: asked about a key it was
// given, it always says yes; about another, it says no but for about one
// key in a hundred. Enough to keep what belongs to the site's files while
// dropping most of what belongs to files long gone.
class KeyFilter {
public:
    explicit KeyFilter(std::size_t nExpected);
    void add(const std::string &strKey);
    bool mayHold(const std::string &strKey) const;

private:
    std::vector<uint64_t> bits;
    uint64_t nBits;
};

// The merge of a mirror run: every scanned file goes to the plan with its
// listed object; what the deletions and the run's lines need of the listing
// is counted (listed objects, those under version-control folders) or kept
// only when it will be done (the keys a deletion may remove).
class SiteMerge : public MergeVisitor {
public:
    // strRootPath ends in "/"; bDeleting: keep the deletion candidates;
    // nExpectedFiles sizes the filter of scanned keys. bHoldPage: the index
    // page's file and its object are held (the object in heldPageObject), not given
    // to the plan, for a dry run to put the page it would write in its place.
    SiteMerge(PlanBuilder &builder, const std::string &strRootPath, const IgnoreRules *ignore,
              bool bDeleting, std::size_t nExpectedFiles, bool bHoldPage = false);
    void both(const S3Obj &local, const S3Obj &remote) override;
    void localOnly(const S3Obj &local) override;
    void remoteOnly(const S3Obj &remote) override;

    std::size_t nLocal = 0;       // files scanned
    bool bPageScanned = false;    // the index page among them
    std::size_t nListed = 0;      // objects listed (below the prefix)
    long nVcs = 0;                // of them under version-control folders
    std::string strFirstVcs;      // the first of those
    std::vector<std::string> deletable; // keys below the prefix a deletion may remove, in key order
    KeyFilter scanned;            // the keys of the files scanned
    bool bHeldPageObject = false; // with bHoldPage: the page's object was listed,
    S3Obj heldPageObject;         // this one
    // The keys of the site's redirects, set before the walk: their objects
    // are kept here for the redirects' own step, never offered for deletion.
    std::set<std::string> redirectKeys;
    S3ObjSet redirectObjects;

private:
    void local(const S3Obj &obj);
    void listed(const S3Obj &obj, bool bScanned);

    PlanBuilder &builder;
    std::string strRootPath;
    const IgnoreRules *ignore;
    bool bDeleting;
    bool bHoldPage;
};
