// merge.cpp - the scan and the listing walked in step, and what a mirror run
// keeps of the walk.
#include "merge.h"

#include <algorithm>
#include <functional>

#include "deletion_plan.h"
#include "myListTool.h"
#include "run_plan.h"
#include "ignore.h"

namespace {

// The next record of source whose key rises above strLast (the last one
// given; bAny: one was). False at the end.
bool nextRising(const RecordSource &source, S3Obj &obj, bool &bAny, std::string &strLast, std::size_t &nPassed)
{
    while (source(obj)) {
        if (bAny && obj.key.compare(strLast) <= 0) {
            ++nPassed;
            continue;
        }
        bAny = true;
        strLast = obj.key;
        return true;
    }
    return false;
}

} // namespace

std::size_t mergeInKeyOrder(const RecordSource &local, const RecordSource &remote, MergeVisitor &visitor)
{
    std::size_t nPassed = 0;
    S3Obj l;
    S3Obj r;
    bool bAnyL = false;
    bool bAnyR = false;
    std::string strLastL;
    std::string strLastR;
    bool bHaveL = nextRising(local, l, bAnyL, strLastL, nPassed);
    bool bHaveR = nextRising(remote, r, bAnyR, strLastR, nPassed);
    while (bHaveL || bHaveR) {
        const int nOrder = !bHaveL ? 1 : !bHaveR ? -1 : l.key.compare(r.key);
        if (nOrder == 0) {
            visitor.both(l, r);
            bHaveL = nextRising(local, l, bAnyL, strLastL, nPassed);
            bHaveR = nextRising(remote, r, bAnyR, strLastR, nPassed);
        } else if (nOrder < 0) {
            visitor.localOnly(l);
            bHaveL = nextRising(local, l, bAnyL, strLastL, nPassed);
        } else {
            visitor.remoteOnly(r);
            bHaveR = nextRising(remote, r, bAnyR, strLastR, nPassed);
        }
    }
    return nPassed;
}

// Ten bits and seven probes a key: about one false yes in a hundred.
namespace {
constexpr uint64_t kBitsPerKey = 10;
constexpr int kProbes = 7;
} // namespace

KeyFilter::KeyFilter(std::size_t nExpected)
{
    const uint64_t nWanted = std::max<uint64_t>(static_cast<uint64_t>(nExpected) * kBitsPerKey, 1u << 16);
    bits.assign((nWanted + 63) / 64, 0);
    nBits = bits.size() * 64;
}

namespace {
// Two independent hashes of a key, for double hashing.
void keyHashes(const std::string &strKey, uint64_t &h1, uint64_t &h2)
{
    h1 = std::hash<std::string>()(strKey);
    // FNV-1a, a second hash unrelated to the library's.
    h2 = 1469598103934665603ull;
    for (unsigned char c : strKey) {
        h2 ^= c;
        h2 *= 1099511628211ull;
    }
    h2 |= 1; // odd: the probes never repeat one bit
}
} // namespace

void KeyFilter::add(const std::string &strKey)
{
    uint64_t h1, h2;
    keyHashes(strKey, h1, h2);
    for (int i = 0; i < kProbes; ++i) {
        const uint64_t bit = (h1 + static_cast<uint64_t>(i) * h2) % nBits;
        bits[bit / 64] |= uint64_t(1) << (bit % 64);
    }
}

bool KeyFilter::mayHold(const std::string &strKey) const
{
    uint64_t h1, h2;
    keyHashes(strKey, h1, h2);
    for (int i = 0; i < kProbes; ++i) {
        const uint64_t bit = (h1 + static_cast<uint64_t>(i) * h2) % nBits;
        if ((bits[bit / 64] & (uint64_t(1) << (bit % 64))) == 0)
            return false;
    }
    return true;
}

SiteMerge::SiteMerge(PlanBuilder &builder, const std::string &strRootPath, const IgnoreRules *ignore,
                     bool bDeleting, std::size_t nExpectedFiles, bool bHoldPage)
    : scanned(nExpectedFiles), builder(builder), strRootPath(strRootPath), ignore(ignore), bDeleting(bDeleting),
      bHoldPage(bHoldPage)
{
}

void SiteMerge::local(const S3Obj &obj)
{
    ++nLocal;
    if (obj.key == siteindex::targetFileName)
        bPageScanned = true;
    scanned.add(obj.key);
}

void SiteMerge::listed(const S3Obj &obj, bool bScanned)
{
    ++nListed;
    if (isUnderVcsFolder(obj.key) && nVcs++ == 0)
        strFirstVcs = obj.key;
    if (!redirectKeys.empty() && redirectKeys.count(obj.key) != 0) {
        redirectObjects.insert(redirectObjects.end(), obj);
        return;
    }
    if (bDeleting && isDeletionCandidate(obj.key, strRootPath, ignore, bScanned))
        deletable.push_back(obj.key);
}

void SiteMerge::both(const S3Obj &localObj, const S3Obj &remote)
{
    local(localObj);
    listed(remote, true);
    if (bHoldPage && localObj.key == siteindex::targetFileName) {
        bHeldPageObject = true;
        heldPageObject = remote;
        return;
    }
    builder.add(localObj, &remote);
}

void SiteMerge::localOnly(const S3Obj &localObj)
{
    local(localObj);
    if (bHoldPage && localObj.key == siteindex::targetFileName)
        return;
    builder.add(localObj, nullptr);
}

void SiteMerge::remoteOnly(const S3Obj &remote)
{
    listed(remote, false);
    if (bHoldPage && remote.key == siteindex::targetFileName) {
        bHeldPageObject = true;
        heldPageObject = remote;
    }
}
