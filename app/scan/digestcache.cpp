// digestcache.cpp - the digest cache file: a header line, the root as
// "<length>:<bytes>", one "f" line per file digest, one "e" line per encoded
// digest and one "r" line per store record, each with the key last as
// "<length>:<bytes>" (keys and texts may hold any byte), and an "end <count>"
// line that shows the file was written whole. Files of the first format (only
// "f" lines) are read as having no records. In memory every key is held once,
// in one block of bytes, by a table ordered by key (keys new since the load
// wait in a small map until they are many); digests are raw bytes; store
// names, header texts, encodings and ETags that are not the digest are kept
// once per distinct text and named by their number.
#include "digestcache.h"

#include "console.h"

#include "myS3Common.h"
#include "tempfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <string_view>
#include <unordered_map>

static const char *const kMagic = "sitemirror digest cache 2\n";
static const char *const kMagicFirst = "sitemirror digest cache 1\n"; // digests only

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// Keys new since the load that may wait unsorted (beyond this many, up to a
// quarter of the table) before they are merged into the table.
constexpr std::size_t kAddedMost = 1024;

struct Md5 {
    unsigned char bytes[16] = {0};
};

// 32 lower-case hex digits: the only digest text that is held as raw bytes
// (anything else would not come back the same).
bool isMd5Hex(std::string_view str)
{
    unsigned char bytes[16];
    return lowerHexMd5Bytes(str.data(), str.size(), bytes);
}

// The digest isMd5Hex(strHex) accepted.
Md5 md5OfHex(std::string_view strHex)
{
    Md5 md5;
    lowerHexMd5Bytes(strHex.data(), strHex.size(), md5.bytes);
    return md5;
}

void appendHex(std::string &str, const Md5 &md5)
{
    for (unsigned char b : md5.bytes) {
        str += ch2hex(static_cast<unsigned char>(b >> 4));
        str += ch2hex(static_cast<unsigned char>(b & 15));
    }
}

std::string hexOf(const Md5 &md5)
{
    std::string str;
    str.reserve(32);
    appendHex(str, md5);
    return str;
}

// One key: the file's digest with the status it was read at, and the heads
// of its lists of records and encoded digests.
struct Slot {
    std::size_t keyAt = 0; // where the key starts in the table's key bytes
    uint64_t dev = 0, ino = 0, size = 0;
    int64_t mtimeNs = 0, ctimeNs = 0;
    Md5 tag;
    uint32_t keyLength = 0;
    uint32_t tagText = kNone; // the tag as text, when it is not an MD5 in hex
    uint32_t firstRecord = kNone, firstEncoded = kNone;
    bool bEntry = false; // the digest and status above are remembered
    bool bSeen = false;  // looked up or stored since the load
    bool holdsNothing() const { return !bEntry && firstRecord == kNone && firstEncoded == kNone; }
};

// What one store holds under a key; name: the store's target text. Records of
// a key form a list in the byte order of their names.
struct Record {
    Md5 md5;
    uint64_t size = 0;
    uint32_t name = kNone, headers = kNone;
    uint32_t etag = kNone; // kNone: the ETag is the MD5 in hex
    uint32_t next = kNone;
};

// An encoded digest of a key; name: the encoding.
struct Encoded {
    Md5 plain, md5;
    uint64_t size = 0;
    uint32_t name = kNone;
    uint32_t next = kNone;
};

// Items in blocks that never move (no copy of them all as they grow), lists
// linked by index; freed items are reused.
template <class T> struct Pool {
    std::deque<T> items;
    uint32_t freeList = kNone;

    uint32_t add(const T &item)
    {
        if (freeList != kNone) {
            const uint32_t i = freeList;
            freeList = items[i].next;
            items[i] = item;
            return i;
        }
        items.push_back(item);
        return static_cast<uint32_t>(items.size() - 1);
    }
    void release(uint32_t i)
    {
        items[i].next = freeList;
        freeList = i;
    }
};

// Distinct texts, each held once and named by its number.
class Texts {
public:
    uint32_t intern(std::string_view str)
    {
        auto it = index.find(str);
        if (it != index.end())
            return it->second;
        const uint32_t n = static_cast<uint32_t>(texts.size());
        texts.emplace_back(str); // a deque: the texts never move
        index.emplace(std::string_view(texts.back()), n);
        return n;
    }
    uint32_t find(std::string_view str) const
    {
        auto it = index.find(str);
        return it == index.end() ? kNone : it->second;
    }
    const std::string &at(uint32_t n) const { return texts[n]; }

private:
    std::deque<std::string> texts;
    std::unordered_map<std::string_view, uint32_t> index;
};

template <class T> uint32_t findNamed(const Pool<T> &pool, uint32_t first, uint32_t name)
{
    for (uint32_t i = first; i != kNone; i = pool.items[i].next)
        if (pool.items[i].name == name)
            return i;
    return kNone;
}

// Puts item in the list at first, in place of the item of the same name.
template <class T> void putNamed(Pool<T> &pool, uint32_t &first, T item, const Texts &texts)
{
    uint32_t prev = kNone;
    for (uint32_t i = first; i != kNone; i = pool.items[i].next) {
        T &cur = pool.items[i];
        if (cur.name == item.name) {
            item.next = cur.next;
            cur = item;
            return;
        }
        if (texts.at(item.name) < texts.at(cur.name))
            break;
        prev = i;
    }
    item.next = prev == kNone ? first : pool.items[prev].next;
    const uint32_t n = pool.add(item);
    (prev == kNone ? first : pool.items[prev].next) = n;
}

template <class T> bool dropNamed(Pool<T> &pool, uint32_t &first, uint32_t name)
{
    uint32_t prev = kNone;
    for (uint32_t i = first; i != kNone; i = pool.items[i].next) {
        if (pool.items[i].name == name) {
            (prev == kNone ? first : pool.items[prev].next) = pool.items[i].next;
            pool.release(i);
            return true;
        }
        prev = i;
    }
    return false;
}

template <class T> void dropAll(Pool<T> &pool, uint32_t &first)
{
    while (first != kNone) {
        const uint32_t next = pool.items[first].next;
        pool.release(first);
        first = next;
    }
}

int64_t nanoseconds(const struct timespec &ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

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

// Lines of the cache file gathered in a buffer and written in large pieces.
class Writer {
public:
    explicit Writer(FILE *outIn) : out(outIn) { buf.reserve(2 * kPiece); }
    ~Writer() { flush(); }

    std::string &text() { return buf; }
    Writer &operator<<(std::string_view str)
    {
        buf.append(str.data(), str.size());
        return *this;
    }
    Writer &operator<<(char c)
    {
        buf += c;
        return *this;
    }
    template <class Number> Writer &number(Number value)
    {
        char sz[24];
        const auto result = std::to_chars(sz, sz + sizeof sz, value);
        buf.append(sz, static_cast<std::size_t>(result.ptr - sz));
        return *this;
    }
    Writer &counted(std::string_view str, char endCh)
    {
        number(str.size());
        return *this << ':' << str << endCh;
    }
    // Called after each line.
    void lineDone()
    {
        if (buf.size() >= kPiece)
            flush();
    }
    void flush()
    {
        if (!buf.empty())
            std::fwrite(buf.data(), 1, buf.size(), out);
        buf.clear();
    }

private:
    static constexpr std::size_t kPiece = 1 << 16;
    FILE *out;
    std::string buf;
};

} // namespace

struct DigestCache::Table {
    std::string keyBytes;                            // the keys of slots, one after another
    std::deque<Slot> slots;                          // in key order; grows without copying
    std::map<std::string, Slot, std::less<>> added;  // keys not in slots
    Pool<Record> records;
    Pool<Encoded> encoded;
    Texts texts;

    std::string_view keyOf(const Slot &slot) const
    {
        return std::string_view(keyBytes.data() + slot.keyAt, slot.keyLength);
    }

    const Slot *find(std::string_view key) const
    {
        auto it = std::lower_bound(slots.begin(), slots.end(), key,
                                   [this](const Slot &slot, std::string_view k) { return keyOf(slot) < k; });
        if (it != slots.end() && keyOf(*it) == key)
            return &*it;
        if (added.empty())
            return nullptr;
        auto at = added.find(key);
        return at == added.end() ? nullptr : &at->second;
    }
    Slot *find(std::string_view key) { return const_cast<Slot *>(static_cast<const Table *>(this)->find(key)); }

    // The slot of key, made when there is none. Keys that come in order (as
    // when loading) go straight to the end of the table.
    Slot &obtain(std::string_view key)
    {
        if (Slot *slot = find(key))
            return *slot;
        if (added.size() >= std::max(kAddedMost, slots.size() / 4))
            merge();
        if (slots.empty() || keyOf(slots.back()) < key) {
            Slot slot;
            slot.keyAt = keyBytes.size();
            slot.keyLength = static_cast<uint32_t>(key.size());
            keyBytes.append(key.data(), key.size());
            slots.push_back(slot);
            return slots.back();
        }
        return added.emplace(std::string(key), Slot()).first->second;
    }

    // Takes the added keys into the table and leaves out keys that hold
    // nothing any more (a slot is only made to be filled at once).
    void merge()
    {
        std::size_t nBytes = 0;
        forEachInKeyOrder([&](std::string_view key, const Slot &) { nBytes += key.size(); });
        std::deque<Slot> merged;
        std::string bytes;
        bytes.reserve(nBytes);
        forEachInKeyOrder([&](std::string_view key, Slot slot) {
            slot.keyAt = bytes.size();
            slot.keyLength = static_cast<uint32_t>(key.size());
            bytes.append(key.data(), key.size());
            merged.push_back(slot);
        });
        slots.swap(merged);
        keyBytes.swap(bytes);
        added.clear();
    }

    // Every key that holds anything, in key order, the added ones among the rest.
    template <class Visit> void forEachInKeyOrder(Visit visit) const
    {
        auto it = slots.begin();
        auto take = [&](std::string_view key, const Slot &slot) {
            if (!slot.holdsNothing())
                visit(key, slot);
        };
        for (const auto &kv : added) {
            for (; it != slots.end() && keyOf(*it) < kv.first; ++it)
                take(keyOf(*it), *it);
            take(kv.first, kv.second);
        }
        for (; it != slots.end(); ++it)
            take(keyOf(*it), *it);
    }

    // Every key, in no particular order.
    template <class Visit> void forEach(Visit visit)
    {
        for (Slot &slot : slots)
            visit(keyOf(slot), slot);
        for (auto &kv : added)
            visit(std::string_view(kv.first), kv.second);
    }

    void forgetAllDigests()
    {
        forEach([](std::string_view, Slot &slot) {
            slot.bEntry = false;
            slot.bSeen = false;
        });
    }

    void fitToSize() { keyBytes.shrink_to_fit(); }
};


DigestCache::DigestCache(const std::string &strCacheDir, const std::string &strRootIn)
    : strDir(strCacheDir), table(std::make_unique<Table>())
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

DigestCache::~DigestCache() = default;

void DigestCache::setScanStart(const struct timespec &start) { scanStartNs = nanoseconds(start); }

bool DigestCache::isRacy(const struct stat &st) const
{
    const int64_t latestNs = std::max(nanoseconds(st.st_mtim), nanoseconds(st.st_ctim));
    return latestNs > scanStartNs - kRacyWindowNs;
}

void DigestCache::load()
{
    table->forgetAllDigests();
    const std::size_t posName = strFile.rfind('/');
    removeStaleTempFiles(strFile.substr(0, posName), strFile.substr(posName + 1));
    FILE *in = std::fopen(strFile.c_str(), "rb");
    if (in == nullptr) {
        bChanged = true;
        return;
    }
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
    bool bOk = (bFirst || std::strcmp(szMagic, kMagic) == 0) && reader.counted(strStoredRoot, '\n') &&
               strStoredRoot == strRoot;
    auto read = std::make_unique<Table>();
    std::size_t nLines = 0, nEntries = 0;
    std::string strKey, strTarget, strETag, strHeaders;
    while (bOk) {
        char szWord[8] = {0};
        if (!reader.word(szWord, 7)) {
            bOk = false;
            break;
        }
        if (std::strcmp(szWord, "end") == 0) {
            uint64_t count = 0;
            bOk = reader.unsignedNumber(count) && reader.get() == '\n' &&
                  count == (bFirst ? nEntries : nLines) && reader.get() == EOF;
            break;
        }
        ++nLines;
        if (!bFirst && std::strcmp(szWord, "e") == 0) {
            char szEncoding[16] = {0}, szPlain[33] = {0}, szMd5[33] = {0};
            Encoded digest;
            reader.skipBlanks();
            bOk = reader.run(szEncoding, 15, [](int c) { return c >= 'a' && c <= 'z'; }) > 0 &&
                  reader.hexDigest(szPlain, digest.plain) && reader.hexDigest(szMd5, digest.md5) &&
                  reader.unsignedNumber(digest.size) && reader.counted(strKey, '\n');
            if (!bOk)
                break;
            digest.name = read->texts.intern(szEncoding);
            putNamed(read->encoded, read->obtain(strKey).firstEncoded, digest, read->texts);
            continue;
        }
        if (!bFirst && std::strcmp(szWord, "r") == 0) {
            char szMd5[33] = {0};
            Record record;
            bOk = reader.hexDigest(szMd5, record.md5) && reader.unsignedNumber(record.size) &&
                  reader.counted(strTarget, ' ') && reader.counted(strETag, ' ') &&
                  reader.counted(strHeaders, ' ') && reader.counted(strKey, '\n');
            if (!bOk)
                break;
            record.name = read->texts.intern(strTarget);
            record.headers = read->texts.intern(strHeaders);
            record.etag = strETag == szMd5 ? kNone : read->texts.intern(strETag);
            putNamed(read->records, read->obtain(strKey).firstRecord, record, read->texts);
            continue;
        }
        if (std::strcmp(szWord, "f") != 0) {
            bOk = false;
            break;
        }
        Slot entry;
        char szTag[33] = {0};
        bOk = reader.unsignedNumber(entry.dev) && reader.unsignedNumber(entry.ino) &&
              reader.unsignedNumber(entry.size) && reader.signedNumber(entry.mtimeNs) &&
              reader.signedNumber(entry.ctimeNs) && reader.hexDigest(szTag, entry.tag) &&
              reader.counted(strKey, '\n');
        if (!bOk)
            break;
        Slot &slot = read->obtain(strKey);
        nEntries += slot.bEntry ? 0 : 1;
        slot.dev = entry.dev;
        slot.ino = entry.ino;
        slot.size = entry.size;
        slot.mtimeNs = entry.mtimeNs;
        slot.ctimeNs = entry.ctimeNs;
        slot.tag = entry.tag;
        slot.tagText = kNone;
        slot.bEntry = true;
    }
    if (!bOk) {
        printErrorLine("digest cache damaged or foreign, rebuilt: " + strFile);
        bChanged = true;
        return;
    }
    read->fitToSize();
    table.swap(read);
}

bool DigestCache::lookup(const std::string &strKey, const struct stat &st, std::string &strTag)
{
    Slot *slot = table->find(strKey);
    if (slot == nullptr || !slot->bEntry)
        return false;
    if (slot->dev != static_cast<uint64_t>(st.st_dev) || slot->ino != static_cast<uint64_t>(st.st_ino) ||
        slot->size != static_cast<uint64_t>(st.st_size) || slot->mtimeNs != nanoseconds(st.st_mtim) ||
        slot->ctimeNs != nanoseconds(st.st_ctim))
        return false;
    slot->bSeen = true;
    strTag = slot->tagText == kNone ? hexOf(slot->tag) : table->texts.at(slot->tagText);
    return true;
}

bool DigestCache::store(const std::string &strKey, const struct stat &st, const std::string &strTag)
{
    if (isRacy(st)) {
        forget(strKey);
        return false;
    }
    Slot &slot = table->obtain(strKey);
    slot.dev = static_cast<uint64_t>(st.st_dev);
    slot.ino = static_cast<uint64_t>(st.st_ino);
    slot.size = static_cast<uint64_t>(st.st_size);
    slot.mtimeNs = nanoseconds(st.st_mtim);
    slot.ctimeNs = nanoseconds(st.st_ctim);
    const bool bHex = isMd5Hex(strTag);
    slot.tag = bHex ? md5OfHex(strTag) : Md5();
    slot.tagText = bHex ? kNone : table->texts.intern(strTag);
    slot.bEntry = true;
    slot.bSeen = true;
    bChanged = true;
    return true;
}

bool DigestCache::save()
{
    std::size_t nEntries = 0, nSeen = 0;
    table->forEach([&](std::string_view, const Slot &slot) {
        nEntries += slot.bEntry ? 1 : 0;
        nSeen += slot.bEntry && slot.bSeen ? 1 : 0;
    });
    if (!bChanged && nSeen == nEntries)
        return true;

    // Create the cache folder and its parents, private to the user.
    for (std::size_t pos = 1; pos <= strDir.size(); ++pos) {
        if (pos == strDir.size() || strDir[pos] == '/') {
            const std::string strPart = strDir.substr(0, pos);
            if (mkdir(strPart.c_str(), 0700) != 0 && errno != EEXIST) {
                printErrorLine("cannot create cache folder: " + strPart + ": " + std::strerror(errno));
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
        printErrorLine("cannot write digest cache: " + strFile);
        return false;
    }
    const Table &t = *table;
    {
        Writer w(out);
        w << kMagic;
        w.counted(strRoot, '\n');
        t.forEachInKeyOrder([&](std::string_view key, const Slot &s) {
            if (!s.bEntry || !s.bSeen)
                return;
            w << "f ";
            w.number(s.dev) << ' ';
            w.number(s.ino) << ' ';
            w.number(s.size) << ' ';
            w.number(s.mtimeNs) << ' ';
            w.number(s.ctimeNs) << ' ';
            if (s.tagText == kNone)
                appendHex(w.text(), s.tag);
            else
                w << t.texts.at(s.tagText);
            w << ' ';
            w.counted(key, '\n');
            w.lineDone();
        });
        std::size_t nLines = nSeen;
        t.forEachInKeyOrder([&](std::string_view key, const Slot &s) {
            for (uint32_t i = s.firstEncoded; i != kNone; i = t.encoded.items[i].next) {
                const Encoded &d = t.encoded.items[i];
                w << "e " << t.texts.at(d.name) << ' ';
                appendHex(w.text(), d.plain);
                w << ' ';
                appendHex(w.text(), d.md5);
                w << ' ';
                w.number(d.size) << ' ';
                w.counted(key, '\n');
                w.lineDone();
                ++nLines;
            }
        });
        t.forEachInKeyOrder([&](std::string_view key, const Slot &s) {
            for (uint32_t i = s.firstRecord; i != kNone; i = t.records.items[i].next) {
                const Record &r = t.records.items[i];
                w << "r ";
                appendHex(w.text(), r.md5);
                w << ' ';
                w.number(r.size) << ' ';
                w.counted(t.texts.at(r.name), ' ');
                if (r.etag == kNone) {
                    w << "32:";
                    appendHex(w.text(), r.md5);
                    w << ' ';
                } else {
                    w.counted(t.texts.at(r.etag), ' ');
                }
                w.counted(t.texts.at(r.headers), ' ');
                w.counted(key, '\n');
                w.lineDone();
                ++nLines;
            }
        });
        w << "end ";
        w.number(nLines) << '\n';
    }
    const bool bWritten = std::ferror(out) == 0 && std::fflush(out) == 0 && fsync(fd) == 0;
    const bool bClosed = std::fclose(out) == 0;
    if (!bWritten || !bClosed || std::rename(strTemp.c_str(), strFile.c_str()) != 0) {
        std::remove(strTemp.c_str());
        releaseTempFile(slot);
        printErrorLine("cannot write digest cache: " + strFile);
        return false;
    }
    releaseTempFile(slot);
    bChanged = false;
    return true;
}

void DigestCache::forget(const std::string &strKey)
{
    Slot *slot = table->find(strKey);
    if (slot != nullptr && slot->bEntry) {
        slot->bEntry = false;
        slot->bSeen = false;
        bChanged = true;
    }
}

std::string DigestCache::storeTarget(const std::string &strEndpoint, const std::string &strBucket,
                                     const std::string &strPrefix)
{
    return strEndpoint + "\n" + strBucket + "\n" + strPrefix;
}

bool DigestCache::findRecord(const std::string &strTarget, const std::string &strKey,
                             StoredRecord &record) const
{
    const Slot *slot = table->find(strKey);
    if (slot == nullptr || slot->firstRecord == kNone)
        return false;
    const uint32_t name = table->texts.find(strTarget);
    const uint32_t i = name == kNone ? kNone : findNamed(table->records, slot->firstRecord, name);
    if (i == kNone)
        return false;
    const Record &r = table->records.items[i];
    record.strMd5Hex = hexOf(r.md5);
    record.size = r.size;
    record.strETag = r.etag == kNone ? record.strMd5Hex : table->texts.at(r.etag);
    record.strHeaders = table->texts.at(r.headers);
    return true;
}

void DigestCache::putRecord(const std::string &strTarget, const std::string &strKey,
                            const StoredRecord &record)
{
    // A record is only of use with a digest that can name the bytes it describes.
    if (!isMd5Hex(record.strMd5Hex) || record.strETag.size() > 1024 || record.strHeaders.size() > 65536) {
        dropRecord(strTarget, strKey);
        return;
    }
    Record r;
    r.md5 = md5OfHex(record.strMd5Hex);
    r.size = record.size;
    r.name = table->texts.intern(strTarget);
    r.headers = table->texts.intern(record.strHeaders);
    r.etag = record.strETag == record.strMd5Hex ? kNone : table->texts.intern(record.strETag);
    putNamed(table->records, table->obtain(strKey).firstRecord, r, table->texts);
    bChanged = true;
}

void DigestCache::dropRecord(const std::string &strTarget, const std::string &strKey)
{
    Slot *slot = table->find(strKey);
    const uint32_t name = table->texts.find(strTarget);
    if (slot != nullptr && name != kNone && dropNamed(table->records, slot->firstRecord, name))
        bChanged = true;
}

bool DigestCache::findEncoded(const std::string &strKey, const std::string &strEncoding,
                              const std::string &strPlainMd5Hex, EncodedDigest &digest) const
{
    const Slot *slot = table->find(strKey);
    if (slot == nullptr || slot->firstEncoded == kNone)
        return false;
    const uint32_t name = table->texts.find(strEncoding);
    const uint32_t i = name == kNone ? kNone : findNamed(table->encoded, slot->firstEncoded, name);
    if (i == kNone)
        return false;
    const Encoded &d = table->encoded.items[i];
    std::string strPlain = hexOf(d.plain);
    if (strPlain != strPlainMd5Hex)
        return false;
    digest.strPlainMd5Hex = std::move(strPlain);
    digest.strMd5Hex = hexOf(d.md5);
    digest.size = d.size;
    return true;
}

void DigestCache::putEncoded(const std::string &strKey, const std::string &strEncoding,
                             const EncodedDigest &digest)
{
    if (!isMd5Hex(digest.strPlainMd5Hex) || !isMd5Hex(digest.strMd5Hex) || strEncoding.empty() ||
        strEncoding.size() > 15 || strEncoding.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos)
        return;
    Encoded d;
    d.plain = md5OfHex(digest.strPlainMd5Hex);
    d.md5 = md5OfHex(digest.strMd5Hex);
    d.size = digest.size;
    d.name = table->texts.intern(strEncoding);
    putNamed(table->encoded, table->obtain(strKey).firstEncoded, d, table->texts);
    bChanged = true;
}

void DigestCache::keepRecordsOf(const std::function<bool(const std::string &strKey)> &isKept)
{
    std::string strKey;
    table->forEach([&](std::string_view key, Slot &slot) {
        if (slot.firstRecord == kNone && slot.firstEncoded == kNone)
            return;
        strKey.assign(key.data(), key.size());
        if (isKept(strKey))
            return;
        dropAll(table->records, slot.firstRecord);
        dropAll(table->encoded, slot.firstEncoded);
        bChanged = true;
    });
}
