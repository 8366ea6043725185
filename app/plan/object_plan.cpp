// object_plan.cpp - the bytes an upload sends, and the decisions against the
// listing, the records and the HEAD answers.
#include "object_plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compress.h"

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
    EncodedDigest digest;
    if (cache && cache->findEncoded(local.key, strEncoding, local.tag, digest)) {
        sent.bKnown = true;
        sent.strMd5Hex = digest.strMd5Hex;
        sent.size = digest.size;
        return sent;
    }
    EncodedFile encoded;
    if (!encodeScanned(local, strPath, strEncoding, encoded))
        return sent;
    sent.bKnown = true;
    sent.strMd5Hex = encoded.strMd5Hex;
    sent.size = encoded.size;
    if (cache) {
        digest.strPlainMd5Hex = local.tag;
        digest.strMd5Hex = encoded.strMd5Hex;
        digest.size = encoded.size;
        cache->putEncoded(local.key, strEncoding, digest);
    }
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
