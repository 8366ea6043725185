// object_plan.cpp - the bytes an upload sends, and the decisions against the
// listing, the records and the HEAD answers.
#include "object_plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compress.h"
#include "hash_pool.h"

#include <algorithm>

namespace {

// Encodes the scanned file at strPath; false when it is not that file any
// more or cannot be read.
bool encodeScanned(const S3Obj &local, const std::string &strPath, const std::string &strEncoding,
                   EncodedFile &encoded)
{
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st;
    bool bOk = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
               static_cast<uint64_t>(st.st_size) == local.size &&
               ((local.device == 0 && local.inode == 0) ||
                (static_cast<uint64_t>(st.st_dev) == local.device &&
                 static_cast<uint64_t>(st.st_ino) == local.inode)) &&
               encodeFile(fd, strEncoding, false, encoded) && encoded.plainSize == local.size &&
               encoded.strPlainMd5Hex == local.tag;
    ::close(fd);
    return bOk;
}

} // namespace

bool cachedSentDigest(const S3Obj &local, const std::string &strEncoding, DigestCache *cache, SentDigest &sent)
{
    EncodedDigest digest;
    if (!cache || !cache->findEncoded(local.key, strEncoding, local.tag, digest))
        return false;
    sent.bKnown = true;
    sent.strMd5Hex = digest.strMd5Hex;
    sent.size = digest.size;
    return true;
}

SentDigest encodedSentDigest(const S3Obj &local, const std::string &strPath, const std::string &strEncoding)
{
    SentDigest sent;
    EncodedFile encoded;
    if (!encodeScanned(local, strPath, strEncoding, encoded))
        return sent;
    sent.bKnown = true;
    sent.strMd5Hex = encoded.strMd5Hex;
    sent.size = encoded.size;
    return sent;
}

void rememberEncoded(const S3Obj &local, const std::string &strEncoding, const SentDigest &sent,
                     DigestCache *cache)
{
    if (!cache || !sent.bKnown)
        return;
    EncodedDigest digest;
    digest.strPlainMd5Hex = local.tag;
    digest.strMd5Hex = sent.strMd5Hex;
    digest.size = sent.size;
    cache->putEncoded(local.key, strEncoding, digest);
}

SentDigest sentDigestFor(const S3Obj &local, const std::string &strPath, const std::string &strEncoding,
                         DigestCache *cache)
{
    SentDigest sent;
    if (strEncoding.empty()) {
        sent.bKnown = true;
        sent.strMd5Hex = local.tag;
        sent.size = local.size;
        sent.partTags = local.partTags;
        return sent;
    }
    if (cachedSentDigest(local, strEncoding, cache, sent))
        return sent;
    sent = encodedSentDigest(local, strPath, strEncoding);
    rememberEncoded(local, strEncoding, sent, cache);
    return sent;
}

std::vector<SentDigest> sentDigestsFor(const std::vector<EncodeAsk> &asks, DigestCache *cache)
{
    std::vector<SentDigest> sent(asks.size());
    std::vector<std::size_t> toEncode;
    for (std::size_t i = 0; i < asks.size(); ++i) {
        const EncodeAsk &ask = asks[i];
        if (ask.strEncoding.empty())
            sent[i] = sentDigestFor(*ask.local, ask.strPath, ask.strEncoding, nullptr);
        else if (!cachedSentDigest(*ask.local, ask.strEncoding, cache, sent[i]))
            toEncode.push_back(i);
    }
    if (toEncode.empty())
        return sent;
    {
        // Each task writes only its own slot; the pool's end waits for them all.
        HashPool pool(std::min<std::size_t>(HashPool::defaultThreads(), toEncode.size()));
        for (std::size_t i : toEncode)
            pool.submitTask([&asks, &sent, i] {
                sent[i] = encodedSentDigest(*asks[i].local, asks[i].strPath, asks[i].strEncoding);
            });
    }
    for (std::size_t i : toEncode)
        rememberEncoded(*asks[i].local, asks[i].strEncoding, sent[i], cache);
    return sent;
}

StoreVerdict decideAgainstStore(const S3Obj *remote, const SentDigest &sent, const StoredRecord *record,
                                const char **ppszWhy)
{
    const char *pszWhy = "digest";
    StoreVerdict verdict = VerdictUpload;
    if (!remote) {
        pszWhy = "new";
    } else if (!sent.bKnown) {
        pszWhy = "digest";
    } else if (remote->size != sent.size) {
        pszWhy = "size";
    } else if (remote->tag.empty()) {
        // A listed object without an entity tag cannot be shown to hold the
        // same bytes: it is sent again.
        pszWhy = "digest";
    } else if (remote->tag == sent.strMd5Hex) {
        verdict = VerdictUnchanged;
    } else if (sent.partTags && std::find(sent.partTags->begin(), sent.partTags->end(),
                                          remote->tag.str()) != sent.partTags->end()) {
        // Another tool sent these bytes in parts of a common size.
        verdict = VerdictUnchanged;
    } else if (record && !record->strETag.empty() && record->strETag == remote->tag) {
        // The object is the one this tool last sent: the same bytes or not.
        const bool bSame = record->strMd5Hex == sent.strMd5Hex && record->size == sent.size;
        verdict = bSame ? VerdictUnchanged : VerdictUpload;
    } else {
        verdict = VerdictAsk;
    }
    if (ppszWhy)
        *ppszWhy = pszWhy;
    return verdict;
}

StoredHeaders storedHeadersDiffer(const ObjectHeaders &want, const SentDigest &sent, const StoredRecord *record,
                                  const HeadResult *head)
{
    const bool bRecord = record && record->strMd5Hex == sent.strMd5Hex && record->size == sent.size;
    const bool bRecordDiffers = bRecord && record->strHeaders != want.record();
    // A HEAD does not show the ACL: a record that differs (in it) still counts.
    if (head && head->bAnswered && head->bFound)
        return headersDiffer(want, *head) || bRecordDiffers ? StoredHeaders::Differ : StoredHeaders::Same;
    if (bRecord)
        return bRecordDiffers ? StoredHeaders::Differ : StoredHeaders::Same;
    return StoredHeaders::Unknown;
}
