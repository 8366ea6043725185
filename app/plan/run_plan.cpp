// run_plan.cpp - the decisions of a mirror run: every scanned file against
// its listed object, this store's record of it and, where needed, the
// object's own headers (HEAD).
#include "run_plan.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "console.h"
#include "site_policy.h"

namespace {

// True when an entity tag has the form of an MD5: 32 hex digits (a multipart
// upload's has a "-N" part count, an encrypted object's may be anything).
bool looksLikeMd5(const std::string &strTag)
{
    return strTag.size() == 32 &&
           strTag.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}


} // namespace

// A file held until the whole listing is seen: whether its object must be
// asked depends on what the other objects' tags show.
struct PlanBuilder::Candidate {
    S3Obj local;
    S3Obj remote;
    bool bRemote = false;
    SentDigest sent;
    bool bAsk = false;
};

// A file being encoded on the pool for the digest of its encoded bytes.
struct PlanBuilder::Encoding {
    S3Obj local;
    S3Obj remote;
    bool bRemote = false;
    UploadItem item; // its path and encoding are read on the pool
    SentDigest sent;
    std::future<void> done;
};

PlanBuilder::PlanBuilder(const PlanInput &input) : in(input), settings(*input.settings) {}

PlanBuilder::~PlanBuilder() = default;

FileVerdict PlanBuilder::judge(const S3Obj &local, const S3Obj *remote, const SentDigest &sent) const
{
    FileVerdict file;
    file.remote = remote;
    file.sent = sent;
    file.bRecord = in.cache && in.cache->findRecord(in.strTarget, local.key, file.record);
    file.verdict = decideAgainstStore(file.remote, file.sent, file.bRecord ? &file.record : nullptr,
                                      &file.pszWhy);
    return file;
}

// Where the store has shown that its tags are digests (some listed object's
// ETag is its file's MD5), a tag of that form that is not this file's digest
// is another file's: no need to ask which bytes it holds.
bool PlanBuilder::mustAsk(StoreVerdict verdict, const S3Obj *remote) const
{
    if (verdict == VerdictAsk)
        return !(nDigestTags > 0 && looksLikeMd5(remote->tag));
    return verdict == VerdictUnchanged && settings.bRefreshHeaders;
}

void PlanBuilder::add(const S3Obj &local, const S3Obj *remote)
{
    UploadItem item = uploadItemFor(local, in.strRootPath, settings);
    SentDigest sent;
    if (item.strContentEncoding.empty() || !in.bEncodeNow ||
        cachedSentDigest(local, item.strContentEncoding, in.encodeCache, sent)) {
        if (!sent.bKnown)
            sent = sentOf(local, item);
        addWithSent(local, remote, item, sent);
        return;
    }
    if (!pool)
        pool.reset(new HashPool());
    std::unique_ptr<Encoding> one(new Encoding);
    one->local = local;
    one->bRemote = remote != nullptr;
    if (remote)
        one->remote = *remote;
    one->item = std::move(item);
    Encoding *task = one.get();
    one->done = pool->submitTask([task] {
        task->sent = encodedSentDigest(task->local, task->item.strPath, task->item.strContentEncoding);
    });
    encoding.push_back(std::move(one));
    // Enough files ahead to keep every thread at work.
    while (encoding.size() > 2 * static_cast<std::size_t>(pool->threads()))
        takeEncoded();
}

void PlanBuilder::takeEncoded()
{
    std::unique_ptr<Encoding> one = std::move(encoding.front());
    encoding.pop_front();
    one->done.wait();
    rememberEncoded(one->local, one->item.strContentEncoding, one->sent, in.encodeCache);
    addWithSent(one->local, one->bRemote ? &one->remote : nullptr, one->item, one->sent);
}

void PlanBuilder::addWithSent(const S3Obj &local, const S3Obj *remote, const UploadItem &item,
                              const SentDigest &sent)
{
    FileVerdict file = judge(local, remote, sent);
    if (remote && sent.bKnown && remote->tag == sent.strMd5Hex)
        ++nDigestTags;
    // Every file is sent with --force: nothing to ask.
    if (!settings.bForce &&
        (file.verdict == VerdictAsk || (file.verdict == VerdictUnchanged && settings.bRefreshHeaders))) {
        Candidate candidate;
        candidate.local = local;
        candidate.bRemote = remote != nullptr;
        if (remote)
            candidate.remote = *remote;
        candidate.sent = sent;
        candidates.push_back(std::move(candidate));
        return;
    }
    decide(local, item, file, nullptr);
}

std::vector<std::string> PlanBuilder::asks()
{
    while (!encoding.empty())
        takeEncoded();
    std::vector<std::string> keys;
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate &a, const Candidate &b) { return a.local.key < b.local.key; });
    for (Candidate &candidate : candidates) {
        candidate.bAsk = mustAsk(judge(candidate.local, candidate.bRemote ? &candidate.remote : nullptr,
                                       candidate.sent).verdict,
                                 candidate.bRemote ? &candidate.remote : nullptr);
        if (candidate.bAsk)
            keys.push_back(settings.strPrefix + candidate.local.key);
    }
    bAsked = true;
    return keys;
}

Plan PlanBuilder::finish(const std::vector<HeadResult> &heads)
{
    if (!bAsked)
        asks();
    std::size_t nextAsked = 0;
    for (Candidate &candidate : candidates) {
        const HeadResult *head = nullptr;
        if (candidate.bAsk) {
            if (nextAsked < heads.size())
                head = &heads[nextAsked];
            ++nextAsked;
        }
        const S3Obj *remote = candidate.bRemote ? &candidate.remote : nullptr;
        decide(candidate.local, uploadItemFor(candidate.local, in.strRootPath, settings),
               judge(candidate.local, remote, candidate.sent), head);
    }
    std::vector<Candidate>().swap(candidates);
    plan.nDigestTags = nDigestTags;
    plan.strRootPath = in.strRootPath;
    plan.settings = &settings;
    putInKeyOrder();
    Plan whole;
    std::swap(whole, plan);
    return whole;
}

// Files decided after the whole listing was seen join the others in key order.
void PlanBuilder::putInKeyOrder()
{
    std::sort(plan.uploads.begin(), plan.uploads.end(),
              [](const PlannedUpload &a, const PlannedUpload &b) { return a.local.key < b.local.key; });
    plan.uploads.shrink_to_fit();
    std::sort(plan.updates.begin(), plan.updates.end(), [](const PlannedUpdate &a, const PlannedUpdate &b) {
        return a.update.strKey < b.update.strKey;
    });
    plan.order.clear();
    std::size_t u = 0;
    std::size_t h = 0;
    while (u < plan.uploads.size() || h < plan.updates.size()) {
        const bool bUpload = h == plan.updates.size() ||
                             (u < plan.uploads.size() && plan.uploads[u].local.key < plan.updates[h].strKey);
        plan.order.emplace_back(bUpload, bUpload ? u++ : h++);
    }
}

// Decides one file, with the answer to its ask (null: none).
void PlanBuilder::decide(const S3Obj &local, const UploadItem &item, FileVerdict file, const HeadResult *head)
{
    if (settings.bForce && file.verdict != VerdictUpload) {
        // Sent though nothing shows it changed.
        ++plan.nForced;
        upload(local, file.remote, item, "forced", file.sent.size, true);
        return;
    }
    if (file.verdict == VerdictAsk && !mustAsk(file.verdict, file.remote))
        file.verdict = VerdictUpload;
    if (file.verdict == VerdictUpload) {
        upload(local, file.remote, item, file.pszWhy, file.sent.size);
        return;
    }
    if (file.verdict == VerdictAsk) {
        // Trusted only when the object names these bytes as its own.
        const bool bSame = head && head->bFound && !head->strMd5Meta.empty() &&
                           head->strMd5Meta == file.sent.strMd5Hex && head->size == file.sent.size;
        if (!bSame) {
            upload(local, file.remote, item, "digest", file.sent.size);
            return;
        }
    }
    ++plan.nUnchanged;
    const ObjectHeaders want = itemHeaders(settings, item);
    const StoredHeaders stored = storedHeadersDiffer(want, file.sent, file.bRecord ? &file.record : nullptr, head);
    if (stored == StoredHeaders::Differ) {
        PlannedUpdate planned;
        planned.update.strKey = item.strKey;
        planned.update.headers = want;
        planned.update.strMd5Hex = file.sent.strMd5Hex;
        planned.update.size = file.sent.size;
        planned.strKey = local.key;
        planned.sentSize = file.sent.size;
        planned.strListedETag = file.remote->tag;
        plan.updates.push_back(std::move(planned));
    } else if (stored == StoredHeaders::Same && in.cache &&
               (!file.bRecord || file.record.strETag != file.remote->tag)) {
        // Known now to hold these bytes with these headers.
        plan.learnt.push_back({local.key, {file.sent.strMd5Hex, file.sent.size, file.remote->tag, want.record()}});
    }
}

SentDigest PlanBuilder::sentOf(const S3Obj &local, const UploadItem &item) const
{
    if (item.strContentEncoding.empty()) {
        SentDigest sent;
        sent.bKnown = true;
        sent.strMd5Hex = local.tag;
        sent.size = local.size;
        sent.partTags = local.partTags;
        return sent;
    }
    // Not encoded while planning (add() encodes on the pool when it may):
    // unknown until the upload, which says why its bytes cannot be made.
    return SentDigest();
}

void PlanBuilder::upload(const S3Obj &local, const S3Obj *remote, const UploadItem &item, const char *pszWhy,
                         uint64_t sentSize, bool bForced)
{
    PlannedUpload planned;
    planned.local = local;
    planned.local.partTags = nullptr; // of use only to the decision
    planned.pszWhy = item.strKey == in.strIndexPageKey ? "page" : pszWhy;
    planned.sentSize = sentSize;
    planned.bListed = remote != nullptr;
    planned.bForced = bForced;
    planned.bEncoded = !item.strContentEncoding.empty();
    planned.phase = phaseOf(item, in.strIndexPageKey);
    plan.uploads.push_back(std::move(planned));
}

UploadItem uploadOf(const Plan &plan, std::size_t i)
{
    const PlannedUpload &planned = plan.uploads[i];
    UploadItem item = uploadItemFor(planned.local, plan.strRootPath, *plan.settings);
    item.bForced = planned.bForced;
    if (!planned.bListed) {
        item.leadLines.push_back("DirectionUpload:" + consoleText(item.strKey));
        char szLine[64];
        std::snprintf(szLine, sizeof szLine, "%" PRIu64 "%" PRId64, static_cast<uint64_t>(planned.local.size),
                      static_cast<int64_t>(planned.local.time));
        item.leadLines.push_back(szLine);
    }
    return item;
}

std::string bucketKeyOf(const Plan &plan, std::size_t i)
{
    return plan.settings->strPrefix + plan.uploads[i].local.key;
}

UploadItem uploadItemFor(const S3Obj &local, const std::string &strRootPath, const Settings &settings)
{
    UploadItem item;
    item.strKey = settings.strPrefix + local.key;
    item.strPath = strRootPath + local.key;
    item.strMd5Hex = local.tag;
    item.size = local.size;
    item.device = local.device;
    item.inode = local.inode;
    item.acl = isPersonalKey(local.key) ? S3CannedAclPrivate : settings.defaultAcl;
    applyRules(settings.cacheRules, local.key, item);
    return item;
}

std::vector<std::string> dryRunLines(const Plan &plan)
{
    std::vector<std::string> lines;
    for (const auto &step : plan.order) {
        if (step.first)
            lines.push_back("would upload: " + consoleText(bucketKeyOf(plan, step.second)) + " (" +
                            plan.uploads[step.second].pszWhy + ")");
        else
            lines.push_back("would update headers: " + consoleText(plan.updates[step.second].update.strKey));
    }
    return lines;
}
