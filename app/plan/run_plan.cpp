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

class Planner {
public:
    Planner(const PlanInput &input, long nDigestTagsSeen)
        : in(input), settings(*input.settings), nDigestTags(nDigestTagsSeen)
    {
    }

    FileVerdict judge(const S3Obj &local, const UploadItem &item) const
    {
        FileVerdict file;
        auto it = in.remote->find(local);
        file.remote = it == in.remote->end() ? nullptr : &*it;
        file.sent = sentOf(local, item);
        file.bRecord = in.cache && in.cache->findRecord(in.strTarget, local.key, file.record);
        file.verdict = decideAgainstStore(file.remote, file.sent, file.bRecord ? &file.record : nullptr,
                                          &file.pszWhy);
        return file;
    }

    // Where the store has shown that its tags are digests (some listed
    // object's ETag is its file's MD5), a tag of that form that is not this
    // file's digest is another file's: no need to ask which bytes it holds.
    bool mustAsk(StoreVerdict verdict, const S3Obj *remote) const
    {
        if (verdict == VerdictAsk)
            return !(nDigestTags > 0 && looksLikeMd5(remote->tag));
        return verdict == VerdictUnchanged && settings.bRefreshHeaders;
    }

    // The first look at every file: which objects must be asked. Whether
    // the store's tags are digests is known only after every file is seen,
    // so the candidates are sorted out at the end.
    void findAsks(Plan &plan)
    {
        if (settings.bForce)
            return; // every file is sent: nothing to ask
        struct Candidate {
            const S3Obj *local;
            const S3Obj *remote;
            StoreVerdict verdict;
        };
        std::vector<Candidate> candidates;
        for (const S3Obj &local : *in.local) {
            const FileVerdict file = judge(local, uploadItemFor(local, in.strRootPath, settings));
            if (file.remote && file.sent.bKnown && file.remote->tag == file.sent.strMd5Hex)
                ++nDigestTags;
            if (file.verdict == VerdictAsk || (file.verdict == VerdictUnchanged && settings.bRefreshHeaders))
                candidates.push_back({&local, file.remote, file.verdict});
        }
        plan.nDigestTags = nDigestTags;
        for (const Candidate &candidate : candidates)
            if (mustAsk(candidate.verdict, candidate.remote))
                plan.asks.push_back(settings.strPrefix + candidate.local->key);
    }

    // Decides every file, with the answers (heads, null: none) to asks, the
    // keys asked in key order.
    void decide(Plan &plan, const std::vector<std::string> &asks, const std::vector<HeadResult> *heads)
    {
        const std::string &strPrefix = settings.strPrefix;
        std::size_t nextAsked = 0;
        for (const S3Obj &local : *in.local) {
            UploadItem item = uploadItemFor(local, in.strRootPath, settings);
            FileVerdict file = judge(local, item);
            const HeadResult *head = nullptr;
            if (nextAsked < asks.size() && asks[nextAsked].size() == strPrefix.size() + local.key.size() &&
                asks[nextAsked].compare(strPrefix.size(), std::string::npos, local.key) == 0) {
                if (heads && nextAsked < heads->size())
                    head = &(*heads)[nextAsked];
                ++nextAsked;
            }
            if (settings.bForce && file.verdict != VerdictUpload) {
                // Sent though nothing shows it changed.
                ++plan.nForced;
                item.bForced = true;
                upload(plan, local, file.remote, std::move(item), "forced", file.sent.size);
                continue;
            }
            if (file.verdict == VerdictAsk && !mustAsk(file.verdict, file.remote))
                file.verdict = VerdictUpload;
            if (file.verdict == VerdictUpload) {
                upload(plan, local, file.remote, std::move(item), file.pszWhy, file.sent.size);
                continue;
            }
            if (file.verdict == VerdictAsk) {
                // Trusted only when the object names these bytes as its own.
                const bool bSame = head && head->bFound && !head->strMd5Meta.empty() &&
                                   head->strMd5Meta == file.sent.strMd5Hex && head->size == file.sent.size;
                if (!bSame) {
                    upload(plan, local, file.remote, std::move(item), "digest", file.sent.size);
                    continue;
                }
            }
            ++plan.nUnchanged;
            const ObjectHeaders want = itemHeaders(settings, item);
            const StoredHeaders stored =
                storedHeadersDiffer(want, file.sent, file.bRecord ? &file.record : nullptr, head);
            if (stored == StoredHeaders::Differ) {
                PlannedUpdate planned;
                planned.update.strKey = item.strKey;
                planned.update.headers = want;
                planned.update.strMd5Hex = file.sent.strMd5Hex;
                planned.update.size = file.sent.size;
                planned.strKey = local.key;
                planned.sentSize = file.sent.size;
                planned.strListedETag = file.remote->tag;
                plan.order.emplace_back(false, plan.updates.size());
                plan.updates.push_back(std::move(planned));
            } else if (stored == StoredHeaders::Same && in.cache &&
                       (!file.bRecord || file.record.strETag != file.remote->tag)) {
                // Known now to hold these bytes with these headers.
                plan.learnt.push_back(
                    {local.key, {file.sent.strMd5Hex, file.sent.size, file.remote->tag, want.record()}});
            }
        }
    }

private:
    SentDigest sentOf(const S3Obj &local, const UploadItem &item) const
    {
        if (item.strContentEncoding.empty()) {
            SentDigest sent;
            sent.bKnown = true;
            sent.strMd5Hex = local.tag;
            sent.size = local.size;
            sent.partTags = local.partTags;
            return sent;
        }
        if (in.encoded) {
            auto it = in.encoded->find(local.key);
            if (it != in.encoded->end())
                return it->second;
        }
        return SentDigest(); // the upload will say why its bytes cannot be made
    }

    void upload(Plan &plan, const S3Obj &local, const S3Obj *remote, UploadItem item, const char *pszWhy,
                uint64_t sentSize)
    {
        if (!remote) {
            item.leadLines.push_back("DirectionUpload:" + consoleText(item.strKey));
            char szLine[64];
            std::snprintf(szLine, sizeof szLine, "%" PRIu64 "%" PRId64,
                          static_cast<uint64_t>(local.size), static_cast<int64_t>(local.time));
            item.leadLines.push_back(szLine);
        }
        if (item.strKey == in.strIndexPageKey)
            pszWhy = "page";
        plan.order.emplace_back(true, plan.uploads.size());
        plan.uploads.push_back(std::move(item));
        plan.uploadWhy.push_back(pszWhy);
        plan.uploadSizes.push_back(sentSize);
    }

    const PlanInput &in;
    const Settings &settings;
    long nDigestTags; // listed objects whose ETag is their file's MD5
};

} // namespace

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

std::map<std::string, SentDigest> encodedDigests(const S3ObjSet &localList,
                                                 const std::string &strRootPath,
                                                 const Settings &settings, DigestCache *cache)
{
    std::map<std::string, SentDigest> digests;
    if (std::none_of(settings.cacheRules.begin(), settings.cacheRules.end(),
                     [](const CacheRule &rule) { return !rule.strContentEncoding.empty(); }))
        return digests;
    std::vector<EncodeAsk> asks;
    for (const S3Obj &local : localList) {
        UploadItem item = uploadItemFor(local, strRootPath, settings);
        if (!item.strContentEncoding.empty())
            asks.push_back({&local, item.strPath, item.strContentEncoding});
    }
    const std::vector<SentDigest> sent = sentDigestsFor(asks, cache); // encoded on every core
    for (std::size_t i = 0; i < asks.size(); ++i)
        digests.emplace(asks[i].local->key, sent[i]);
    return digests;
}

Plan planRun(const PlanInput &input)
{
    Plan plan;
    Planner planner(input, 0);
    planner.findAsks(plan);
    if (plan.asks.empty())
        planner.decide(plan, plan.asks, nullptr);
    return plan;
}

Plan planRun(const PlanInput &input, const Plan &asking, const std::vector<HeadResult> &heads)
{
    Plan plan;
    plan.nDigestTags = asking.nDigestTags;
    Planner(input, asking.nDigestTags).decide(plan, asking.asks, &heads);
    return plan;
}

std::vector<std::string> dryRunLines(const Plan &plan)
{
    std::vector<std::string> lines;
    for (const auto &step : plan.order) {
        if (step.first)
            lines.push_back("would upload: " + consoleText(plan.uploads[step.second].strKey) + " (" +
                            plan.uploadWhy[step.second] + ")");
        else
            lines.push_back("would update headers: " + consoleText(plan.updates[step.second].update.strKey));
    }
    return lines;
}
