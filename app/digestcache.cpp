// digestcache.cpp - the digest cache file: a header line, the root as
// "<length>:<bytes>", one line per file with the key last as
// "<length>:<bytes>" (keys may hold any byte), and an "end <count>" line that
// shows the file was written whole.
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

static const char *const kMagic = "sitemirror digest cache 1\n";

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
    bool bOk = std::fgets(szMagic, sizeof szMagic, in) != nullptr && std::strcmp(szMagic, kMagic) == 0 &&
               readCounted(in, strStoredRoot, '\n') && strStoredRoot == strRoot;
    std::map<std::string, Entry> read;
    while (bOk) {
        char szWord[8] = {0};
        if (std::fscanf(in, "%7s", szWord) != 1) {
            bOk = false;
            break;
        }
        if (std::strcmp(szWord, "end") == 0) {
            unsigned long long count = 0;
            bOk = std::fscanf(in, "%llu", &count) == 1 && std::fgetc(in) == '\n' && count == read.size() &&
                  std::fgetc(in) == EOF;
            break;
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
    std::fprintf(out, "end %zu\n", nSeen);
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
