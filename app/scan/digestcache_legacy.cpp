// digestcache_legacy.cpp - the digest cache file of earlier releases: a
// header line, the root as "<length>:<bytes>", one "f" line per file digest,
// one "e" line per encoded digest and one "r" line per store record, each
// with the key last as "<length>:<bytes>" (keys and texts may hold any byte),
// and an "end <count>" line that shows the file was written whole. Files of
// the first format hold only "f" lines.
#include "digestcache_legacy.h"

#include "myS3Common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char *const kMagic = "sitemirror digest cache 2\n";
const char *const kMagicFirst = "sitemirror digest cache 1\n"; // digests only

struct Md5 {
    unsigned char bytes[16] = {0};
};

// The cache file, read through a buffer with the rules of the scanf
// directives it was first read with: numbers after any blanks, with an
// optional sign; runs of allowed characters; counted texts.
class Reader {
public:
    explicit Reader(FILE *inIn) : in(inIn) {}

    int peek()
    {
        if (at == end) {
            at = 0;
            end = std::fread(buf, 1, sizeof buf, in);
            if (end == 0)
                return EOF;
        }
        return static_cast<unsigned char>(buf[at]);
    }
    int get()
    {
        const int c = peek();
        if (c != EOF)
            ++at;
        return c;
    }
    void skipBlanks()
    {
        while (isBlank(peek()))
            ++at;
    }
    // Up to nMost characters that isIn accepts, into psz; how many.
    template <class Accept> std::size_t run(char *psz, std::size_t nMost, Accept isIn)
    {
        std::size_t n = 0;
        while (n < nMost && (at < end || peek() != EOF) && isIn(static_cast<unsigned char>(buf[at])))
            psz[n++] = buf[at++];
        psz[n] = '\0';
        return n;
    }
    // A word: blanks skipped, then up to nMost other characters.
    bool word(char *psz, std::size_t nMost)
    {
        skipBlanks();
        return run(psz, nMost, [](int c) { return !isBlank(c); }) > 0;
    }
    // After blanks, 32 lower-case hex digits into psz (33 bytes), and the
    // digest they stand for.
    bool hexDigest(char *psz, Md5 &md5)
    {
        skipBlanks();
        if (run(psz, 32, [](int c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }) != 32)
            return false;
        return lowerHexMd5Bytes(psz, 32, md5.bytes);
    }
    bool unsignedNumber(uint64_t &value)
    {
        bool bNegative = false;
        uint64_t magnitude = 0;
        if (!number(bNegative, magnitude))
            return false;
        value = bNegative && magnitude != UINT64_MAX ? 0 - magnitude : magnitude;
        return true;
    }
    bool signedNumber(int64_t &value)
    {
        bool bNegative = false;
        uint64_t magnitude = 0;
        if (!number(bNegative, magnitude))
            return false;
        const uint64_t limit = bNegative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
        magnitude = std::min(magnitude, limit);
        value = bNegative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
        return true;
    }
    // "<length>:<bytes>" followed by endCh.
    bool counted(std::string &str, int endCh)
    {
        uint64_t len = 0;
        if (!unsignedNumber(len) || get() != ':' || len > 65536)
            return false;
        str.resize(len);
        for (std::size_t done = 0; done < len;) {
            if (peek() == EOF)
                return false;
            const std::size_t n = std::min<std::size_t>(len - done, end - at);
            std::memcpy(&str[done], buf + at, n);
            at += n;
            done += n;
        }
        return get() == endCh;
    }

private:
    static bool isBlank(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    // Blanks, an optional sign, decimal digits (too many: the largest value).
    bool number(bool &bNegative, uint64_t &magnitude)
    {
        skipBlanks();
        const int sign = peek();
        if (sign == '+' || sign == '-') {
            bNegative = sign == '-';
            ++at;
        }
        magnitude = 0;
        std::size_t nDigits = 0;
        for (int c = peek(); c >= '0' && c <= '9'; c = peek(), ++nDigits) {
            ++at;
            const uint64_t digit = static_cast<uint64_t>(c - '0');
            magnitude = magnitude > (UINT64_MAX - digit) / 10 ? UINT64_MAX : magnitude * 10 + digit;
        }
        return nDigits > 0;
    }

    FILE *in;
    char buf[65536];
    std::size_t at = 0, end = 0;
};

} // namespace

bool readLegacyDigestCache(const std::string &strPath, const std::string &strRoot, const LegacyVisitor &visit,
                           const std::function<uint64_t()> &nDistinctFiles)
{
    FILE *in = std::fopen(strPath.c_str(), "rb");
    if (in == nullptr)
        return false;
    std::unique_ptr<FILE, int (*)(FILE *)> guard(in, std::fclose);
    Reader reader(in);
    char szMagic[64] = {0};
    for (std::size_t n = 0; n + 1 < sizeof szMagic;) {
        const int c = reader.get();
        if (c == EOF)
            break;
        szMagic[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    std::string strStoredRoot;
    const bool bFirst = std::strcmp(szMagic, kMagicFirst) == 0;
    if (!(bFirst || std::strcmp(szMagic, kMagic) == 0) || !reader.counted(strStoredRoot, '\n') ||
        strStoredRoot != strRoot)
        return false;
    uint64_t nLines = 0;
    std::string strKey, strTarget, strETag, strHeaders;
    for (;;) {
        char szWord[8] = {0};
        if (!reader.word(szWord, 7))
            return false;
        if (std::strcmp(szWord, "end") == 0) {
            uint64_t count = 0;
            return reader.unsignedNumber(count) && reader.get() == '\n' &&
                   count == (bFirst ? nDistinctFiles() : nLines) && reader.get() == EOF;
        }
        ++nLines;
        if (!bFirst && std::strcmp(szWord, "e") == 0) {
            char szEncoding[16] = {0}, szPlain[33] = {0}, szMd5[33] = {0};
            Md5 plain, md5;
            uint64_t size = 0;
            reader.skipBlanks();
            if (reader.run(szEncoding, 15, [](int c) { return c >= 'a' && c <= 'z'; }) == 0 ||
                !reader.hexDigest(szPlain, plain) || !reader.hexDigest(szMd5, md5) ||
                !reader.unsignedNumber(size) || !reader.counted(strKey, '\n'))
                return false;
            visit.encoded(strKey, szEncoding, szPlain, szMd5, size);
            continue;
        }
        if (!bFirst && std::strcmp(szWord, "r") == 0) {
            char szMd5[33] = {0};
            Md5 md5;
            uint64_t size = 0;
            if (!reader.hexDigest(szMd5, md5) || !reader.unsignedNumber(size) || !reader.counted(strTarget, ' ') ||
                !reader.counted(strETag, ' ') || !reader.counted(strHeaders, ' ') || !reader.counted(strKey, '\n'))
                return false;
            visit.record(strKey, strTarget, szMd5, size, strETag, strHeaders);
            continue;
        }
        if (std::strcmp(szWord, "f") != 0)
            return false;
        uint64_t dev = 0, ino = 0, size = 0;
        int64_t mtimeNs = 0, ctimeNs = 0;
        char szTag[33] = {0};
        Md5 tag;
        if (!reader.unsignedNumber(dev) || !reader.unsignedNumber(ino) || !reader.unsignedNumber(size) ||
            !reader.signedNumber(mtimeNs) || !reader.signedNumber(ctimeNs) || !reader.hexDigest(szTag, tag) ||
            !reader.counted(strKey, '\n'))
            return false;
        visit.file(strKey, dev, ino, size, mtimeNs, ctimeNs, szTag);
    }
}
