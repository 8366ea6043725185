// digestcache.cpp - the digest cache file: a header line, the root as
// "<length>:<bytes>", one "f" line per file digest, one "e" line per encoded
// digest and one "r" line per store record, each with the key last as
// "<length>:<bytes>" (keys and texts may hold any byte), and an "end <count>"
// line that shows the file was written whole. Files of the first format (only
// "f" lines) are read as having no records.
#include "digestcache.h"

#include "myS3Common.h"
#include "tempfile.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

static const char *const kMagic = "sitemirror digest cache 2\n";
static const char *const kMagicFirst = "sitemirror digest cache 1\n"; // digests only

static std::string sha256Hex(const std::string &str)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(str.data(), str.size(), digest, &len, EVP_sha256(), nullptr);
    return convertToHex(std::string(reinterpret_cast<const char *>(digest), len));
}

DigestCache::DigestCache(const std::string &strCacheDir, const std::string &strRootIn)
    : strDir(strCacheDir)
{
    while (strDir.size() > 1 && strDir.back() == '/')
        strDir.pop_back();
    char *pszRoot = realpath(strRootIn.c_str(), nullptr);
    strRoot = pszRoot ? pszRoot : strRootIn;
    std::free(pszRoot);
    strFile = strDir + "/" + sha256Hex(strRoot) + ".digests";
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    setScanStart(now);
}

static int64_t nanoseconds(const struct timespec &ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void DigestCache::setScanStart(const struct timespec &start) { scanStartNs = nanoseconds(start); }

bool DigestCache::isRacy(const struct stat &st) const
{
    const int64_t latestNs = std::max(nanoseconds(st.st_mtim), nanoseconds(st.st_ctim));
    return latestNs > scanStartNs - kRacyWindowNs;
}

DigestCache::Entry DigestCache::entryOf(const struct stat &st)
{
    Entry e;
    e.dev = static_cast<uint64_t>(st.st_dev);
    e.ino = static_cast<uint64_t>(st.st_ino);
    e.size = static_cast<uint64_t>(st.st_size);
    e.mtimeNs = nanoseconds(st.st_mtim);
    e.ctimeNs = nanoseconds(st.st_ctim);
    return e;
}

// Reads "<length>:<bytes>" followed by endCh.
static bool readCounted(FILE *in, std::string &str, int endCh)
{
    unsigned long long len = 0;
    if (std::fscanf(in, "%llu", &len) != 1 || std::fgetc(in) != ':' || len > 65536)
        return false;
    str.resize(len);
    if (len > 0 && std::fread(&str[0], 1, len, in) != len)
        return false;
    return std::fgetc(in) == endCh;
}

void DigestCache::load()
{
    entries.clear();
    const std::size_t posName = strFile.rfind('/');
    removeStaleTempFiles(strFile.substr(0, posName), strFile.substr(posName + 1));
    FILE *in = std::fopen(strFile.c_str(), "rb");
    if (in == nullptr) {
        bChanged = true;
        return;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> guard(in, std::fclose);
    char szMagic[64] = {0};
    std::string strStoredRoot;
    const bool bMagic = std::fgets(szMagic, sizeof szMagic, in) != nullptr;
    const bool bFirst = bMagic && std::strcmp(szMagic, kMagicFirst) == 0;
    bool bOk = bMagic && (bFirst || std::strcmp(szMagic, kMagic) == 0) &&
               readCounted(in, strStoredRoot, '\n') && strStoredRoot == strRoot;
    std::map<std::string, Entry> read;
    std::map<std::string, std::map<std::string, StoredRecord>> readRecords;
    std::map<std::string, std::map<std::string, EncodedDigest>> readEncoded;
    std::size_t nLines = 0;
    while (bOk) {
        char szWord[8] = {0};
        if (std::fscanf(in, "%7s", szWord) != 1) {
            bOk = false;
            break;
        }
        if (std::strcmp(szWord, "end") == 0) {
            unsigned long long count = 0;
            bOk = std::fscanf(in, "%llu", &count) == 1 && std::fgetc(in) == '\n' &&
                  count == (bFirst ? read.size() : nLines) && std::fgetc(in) == EOF;
            break;
        }
        ++nLines;
        if (!bFirst && std::strcmp(szWord, "e") == 0) {
            char szEncoding[16] = {0}, szPlain[40] = {0}, szMd5[40] = {0};
            EncodedDigest digest;
            std::string strKey;
            bOk = std::fscanf(in, " %15[a-z] %32[0-9a-f] %32[0-9a-f] %" SCNu64 " ", szEncoding, szPlain, szMd5,
                              &digest.size) == 4 &&
                  std::strlen(szPlain) == 32 && std::strlen(szMd5) == 32 && readCounted(in, strKey, '\n');
            digest.strPlainMd5Hex = szPlain;
            digest.strMd5Hex = szMd5;
            readEncoded[strKey][szEncoding] = digest;
            continue;
        }
        if (!bFirst && std::strcmp(szWord, "r") == 0) {
            char szMd5[40] = {0};
            StoredRecord record;
            std::string strTarget, strKey;
            bOk = std::fscanf(in, " %32[0-9a-f] %" SCNu64 " ", szMd5, &record.size) == 2 &&
                  std::strlen(szMd5) == 32 && readCounted(in, strTarget, ' ') &&
                  readCounted(in, record.strETag, ' ') && readCounted(in, record.strHeaders, ' ') &&
                  readCounted(in, strKey, '\n');
            record.strMd5Hex = szMd5;
            readRecords[strKey][strTarget] = record;
            continue;
        }
        if (std::strcmp(szWord, "f") != 0) {
            bOk = false;
            break;
        }
        Entry e;
        char szTag[40] = {0};
        std::string strKey;
        if (std::fscanf(in, " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64 " %32[0-9a-f] ", &e.dev,
                        &e.ino, &e.size, &e.mtimeNs, &e.ctimeNs, szTag) != 6 ||
            std::strlen(szTag) != 32 || !readCounted(in, strKey, '\n')) {
            bOk = false;
            break;
        }
        e.tag = szTag;
        read[strKey] = e;
    }
    if (!bOk) {
        std::fprintf(stderr, "digest cache damaged or foreign, rebuilt: %s\n", strFile.c_str());
        bChanged = true;
        return;
    }
    entries.swap(read);
    records.swap(readRecords);
    encoded.swap(readEncoded);
}

bool DigestCache::lookup(const std::string &strKey, const struct stat &st, std::string &strTag)
{
    auto it = entries.find(strKey);
    if (it == entries.end())
        return false;
    const Entry now = entryOf(st);
    Entry &e = it->second;
    if (e.dev != now.dev || e.ino != now.ino || e.size != now.size || e.mtimeNs != now.mtimeNs ||
        e.ctimeNs != now.ctimeNs)
        return false;
    e.bSeen = true;
    strTag = e.tag;
    return true;
}

bool DigestCache::store(const std::string &strKey, const struct stat &st, const std::string &strTag)
{
    if (isRacy(st)) {
        forget(strKey);
        return false;
    }
    Entry e = entryOf(st);
    e.tag = strTag;
    e.bSeen = true;
    entries[strKey] = e;
    bChanged = true;
    return true;
}

bool DigestCache::save()
{
    std::size_t nSeen = 0;
    for (const auto &kv : entries)
        nSeen += kv.second.bSeen ? 1 : 0;
    if (!bChanged && nSeen == entries.size())
        return true;

    // Create the cache folder and its parents, private to the user.
    for (std::size_t pos = 1; pos <= strDir.size(); ++pos) {
        if (pos == strDir.size() || strDir[pos] == '/') {
            const std::string strPart = strDir.substr(0, pos);
            if (mkdir(strPart.c_str(), 0700) != 0 && errno != EEXIST) {
                std::fprintf(stderr, "cannot create cache folder: %s: %s\n", strPart.c_str(), std::strerror(errno));
                return false;
            }
        }
    }
    // Registered, so an interrupt while writing leaves no temporary behind.
    std::string strTemp = strFile + ".XXXXXX";
    int slot = -1;
    const int fd = createTempFile(strTemp, O_CLOEXEC, slot);
    FILE *out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (out == nullptr) {
        if (fd >= 0) {
            close(fd);
            unlink(strTemp.c_str());
        }
        releaseTempFile(slot);
        std::fprintf(stderr, "cannot write digest cache: %s\n", strFile.c_str());
        return false;
    }
    std::fputs(kMagic, out);
    std::fprintf(out, "%zu:", strRoot.size());
    std::fwrite(strRoot.data(), 1, strRoot.size(), out);
    std::fputc('\n', out);
    for (const auto &kv : entries) {
        const Entry &e = kv.second;
        if (!e.bSeen)
            continue;
        std::fprintf(out, "f %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %s %zu:", e.dev, e.ino,
                     e.size, e.mtimeNs, e.ctimeNs, e.tag.c_str(), kv.first.size());
        std::fwrite(kv.first.data(), 1, kv.first.size(), out);
        std::fputc('\n', out);
    }
    auto putCounted = [out](const std::string &str, char endCh) {
        std::fprintf(out, "%zu:", str.size());
        std::fwrite(str.data(), 1, str.size(), out);
        std::fputc(endCh, out);
    };
    std::size_t nLines = nSeen;
    for (const auto &kv : encoded) {
        for (const auto &byEncoding : kv.second) {
            const EncodedDigest &d = byEncoding.second;
            std::fprintf(out, "e %s %s %s %" PRIu64 " ", byEncoding.first.c_str(), d.strPlainMd5Hex.c_str(),
                         d.strMd5Hex.c_str(), d.size);
            putCounted(kv.first, '\n');
            ++nLines;
        }
    }
    for (const auto &kv : records) {
        for (const auto &byTarget : kv.second) {
            const StoredRecord &r = byTarget.second;
            std::fprintf(out, "r %s %" PRIu64 " ", r.strMd5Hex.c_str(), r.size);
            putCounted(byTarget.first, ' ');
            putCounted(r.strETag, ' ');
            putCounted(r.strHeaders, ' ');
            putCounted(kv.first, '\n');
            ++nLines;
        }
    }
    std::fprintf(out, "end %zu\n", nLines);
    const bool bWritten = std::ferror(out) == 0 && std::fflush(out) == 0 && fsync(fd) == 0;
    const bool bClosed = std::fclose(out) == 0;
    if (!bWritten || !bClosed || std::rename(strTemp.c_str(), strFile.c_str()) != 0) {
        std::remove(strTemp.c_str());
        releaseTempFile(slot);
        std::fprintf(stderr, "cannot write digest cache: %s\n", strFile.c_str());
        return false;
    }
    releaseTempFile(slot);
    bChanged = false;
    return true;
}

void DigestCache::forget(const std::string &strKey)
{
    if (entries.erase(strKey) > 0)
        bChanged = true;
}

std::string DigestCache::storeTarget(const std::string &strEndpoint, const std::string &strBucket,
                                     const std::string &strPrefix)
{
    return strEndpoint + "\n" + strBucket + "\n" + strPrefix;
}

// A record is only of use with a digest that can name the bytes it describes.
static bool isMd5Hex(const std::string &str)
{
    if (str.size() != 32)
        return false;
    for (char c : str)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool DigestCache::findRecord(const std::string &strTarget, const std::string &strKey,
                             StoredRecord &record) const
{
    auto it = records.find(strKey);
    if (it == records.end())
        return false;
    auto at = it->second.find(strTarget);
    if (at == it->second.end())
        return false;
    record = at->second;
    return true;
}

void DigestCache::putRecord(const std::string &strTarget, const std::string &strKey,
                            const StoredRecord &record)
{
    if (!isMd5Hex(record.strMd5Hex) || record.strETag.size() > 1024 || record.strHeaders.size() > 65536) {
        dropRecord(strTarget, strKey);
        return;
    }
    records[strKey][strTarget] = record;
    bChanged = true;
}

void DigestCache::dropRecord(const std::string &strTarget, const std::string &strKey)
{
    auto it = records.find(strKey);
    if (it != records.end() && it->second.erase(strTarget) > 0) {
        if (it->second.empty())
            records.erase(it);
        bChanged = true;
    }
}

bool DigestCache::findEncoded(const std::string &strKey, const std::string &strEncoding,
                              const std::string &strPlainMd5Hex, EncodedDigest &digest) const
{
    auto it = encoded.find(strKey);
    if (it == encoded.end())
        return false;
    auto at = it->second.find(strEncoding);
    if (at == it->second.end() || at->second.strPlainMd5Hex != strPlainMd5Hex)
        return false;
    digest = at->second;
    return true;
}

void DigestCache::putEncoded(const std::string &strKey, const std::string &strEncoding,
                             const EncodedDigest &digest)
{
    if (!isMd5Hex(digest.strPlainMd5Hex) || !isMd5Hex(digest.strMd5Hex) || strEncoding.empty() ||
        strEncoding.size() > 15 || strEncoding.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos)
        return;
    encoded[strKey][strEncoding] = digest;
    bChanged = true;
}

void DigestCache::keepRecordsOf(const std::set<std::string> &keys)
{
    for (auto it = records.begin(); it != records.end();) {
        if (keys.count(it->first) == 0) {
            it = records.erase(it);
            bChanged = true;
        } else {
            ++it;
        }
    }
    for (auto it = encoded.begin(); it != encoded.end();) {
        if (keys.count(it->first) == 0) {
            it = encoded.erase(it);
            bChanged = true;
        } else {
            ++it;
        }
    }
}
