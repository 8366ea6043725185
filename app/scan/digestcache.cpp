// digestcache.cpp - the digest cache database: SQLite, one row per file
// digest, per store record and per encoded digest, keys as raw bytes (so the
// table's order is the keys' byte order), digests as 16 raw bytes, store
// names and header texts once each in a table of texts. The scan's lookups
// walk the file table in step with the walk (a window of rows read ahead),
// so an unchanged run reads each row once and holds only the window; rows
// the walk passes by without asking for them are files gone, dropped at save.
// Everything a run changes goes into one transaction, committed by save();
// SQLite's rollback journal undoes a transaction cut short by a crash.
#include "digestcache.h"

#include "console.h"
#include "digestcache_legacy.h"
#include "myS3Common.h"
#include "tempfile.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

const int64_t kFormat = 3;         // of the database's tables
const int kWindowRows = 256;       // file rows read ahead of the walk at a time
const int kBusyMilliseconds = 30000; // waits for another process's transaction

const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value BLOB) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS files(key BLOB PRIMARY KEY, dev INTEGER, ino INTEGER, size INTEGER,"
    " mtime_ns INTEGER, ctime_ns INTEGER, tag BLOB) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS texts(id INTEGER PRIMARY KEY, text BLOB UNIQUE);"
    "CREATE TABLE IF NOT EXISTS records(key BLOB, store INTEGER, md5 BLOB, size INTEGER, etag BLOB,"
    " headers INTEGER, PRIMARY KEY(key, store)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS encoded(key BLOB, encoding TEXT, plain BLOB, md5 BLOB, size INTEGER,"
    " PRIMARY KEY(key, encoding)) WITHOUT ROWID;";

bool isMd5Hex(std::string_view str)
{
    unsigned char bytes[16];
    return lowerHexMd5Bytes(str.data(), str.size(), bytes);
}

// The 16 bytes of a digest isMd5Hex accepted.
std::string md5Bytes(std::string_view strHex)
{
    unsigned char bytes[16] = {0};
    lowerHexMd5Bytes(strHex.data(), strHex.size(), bytes);
    return std::string(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

std::string hexOf(std::string_view bytes)
{
    std::string str;
    str.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const unsigned char b = static_cast<unsigned char>(ch);
        str += ch2hex(static_cast<unsigned char>(b >> 4));
        str += ch2hex(static_cast<unsigned char>(b & 15));
    }
    return str;
}

int64_t nanoseconds(const struct timespec &ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint64_t keyHash(std::string_view key) { return std::hash<std::string_view>()(key); }

// One prepared statement, made once and reset after each use.
class Stmt {
public:
    Stmt() = default;
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;
    ~Stmt() { sqlite3_finalize(p); }

    bool prepare(sqlite3 *h, const char *pszSql) { return sqlite3_prepare_v2(h, pszSql, -1, &p, nullptr) == SQLITE_OK; }
    Stmt &blob(int i, std::string_view bytes)
    {
        sqlite3_bind_blob(p, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &text(int i, std::string_view str)
    {
        sqlite3_bind_text(p, i, str.data(), static_cast<int>(str.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &number(int i, int64_t value)
    {
        sqlite3_bind_int64(p, i, value);
        return *this;
    }
    Stmt &null(int i)
    {
        sqlite3_bind_null(p, i);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return sqlite3_step(p); }
    // Runs a statement that gives no rows, and resets it.
    bool run()
    {
        const int rc = step();
        reset();
        return rc == SQLITE_DONE;
    }
    void reset()
    {
        sqlite3_reset(p);
        sqlite3_clear_bindings(p);
    }
    std::string bytes(int col) const
    {
        const void *data = sqlite3_column_blob(p, col);
        return std::string(static_cast<const char *>(data), static_cast<std::size_t>(sqlite3_column_bytes(p, col)));
    }
    int64_t integer(int col) const { return sqlite3_column_int64(p, col); }
    bool isNull(int col) const { return sqlite3_column_type(p, col) == SQLITE_NULL; }
    bool isText(int col) const { return sqlite3_column_type(p, col) == SQLITE_TEXT; }

private:
    sqlite3_stmt *p = nullptr;
};

// A digest row of the files table.
struct FileRow {
    std::string key;
    uint64_t dev = 0, ino = 0, size = 0;
    int64_t mtimeNs = 0, ctimeNs = 0;
    std::string tag; // 16 raw bytes, or the tag as text (bTagText)
    bool bTagText = false;
};

const char *const kFileColumns = "key, dev, ino, size, mtime_ns, ctime_ns, tag";

FileRow fileRowOf(const Stmt &s)
{
    FileRow row;
    row.key = s.bytes(0);
    row.dev = static_cast<uint64_t>(s.integer(1));
    row.ino = static_cast<uint64_t>(s.integer(2));
    row.size = static_cast<uint64_t>(s.integer(3));
    row.mtimeNs = s.integer(4);
    row.ctimeNs = s.integer(5);
    row.bTagText = s.isText(6);
    row.tag = s.bytes(6);
    return row;
}

} // namespace

struct DigestCache::Db {
    sqlite3 *h = nullptr;
    bool bInTransaction = false;
    Stmt selFile, selFirstRows, selNextRows, putFile, delFile, selFileKeysAfter, selFileKeys;
    Stmt selRecord, putRecord, delRecord, selEncoded, putEncoded, selRecordKeys, delRecords, delEncoded;
    Stmt selTextId, selText, putText;
    std::unordered_map<std::string, int64_t> textIds; // texts of the database seen so far
    std::unordered_map<int64_t, std::string> textsById;

    // The lookups in step with the table: while they come in key order, the
    // rows between two of them are files gone. Once they do not, the keys
    // looked up from then on are remembered by their hashes instead.
    bool bOrdered = true;
    bool bLookedUp = false;
    std::string strLastLooked;      // in order: the last key looked up
    std::string strOrderedUpTo;     // out of order: the last key looked up in order
    std::deque<FileRow> window;     // rows after it, read ahead
    std::string strFetchedUpTo;     // the last row read into the window
    bool bFetchedAny = false, bFetchedAll = false;
    std::vector<std::string> gone;  // rows passed by in order (in key order)
    std::set<std::string> storedAhead; // stored, in order, beyond the last key looked up
    std::vector<uint64_t> seenHashes;  // keys looked up or stored once out of order

    ~Db()
    {
        if (bInTransaction)
            sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(h); // once the statements are finalized
    }

    bool exec(const char *pszSql) { return sqlite3_exec(h, pszSql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    bool prepareAll()
    {
        const std::string strFiles = std::string("SELECT ") + kFileColumns + " FROM files";
        return selFile.prepare(h, (strFiles + " WHERE key = ?1").c_str()) &&
               selFirstRows.prepare(h, (strFiles + " ORDER BY key LIMIT ?1").c_str()) &&
               selNextRows.prepare(h, (strFiles + " WHERE key > ?1 ORDER BY key LIMIT ?2").c_str()) &&
               putFile.prepare(h, "INSERT OR REPLACE INTO files VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)") &&
               delFile.prepare(h, "DELETE FROM files WHERE key = ?1") &&
               selFileKeysAfter.prepare(h, "SELECT key FROM files WHERE key > ?1 ORDER BY key") &&
               selFileKeys.prepare(h, "SELECT key FROM files ORDER BY key") &&
               selRecord.prepare(h, "SELECT md5, size, etag, headers FROM records WHERE key = ?1 AND store = ?2") &&
               putRecord.prepare(h, "INSERT OR REPLACE INTO records VALUES (?1, ?2, ?3, ?4, ?5, ?6)") &&
               delRecord.prepare(h, "DELETE FROM records WHERE key = ?1 AND store = ?2") &&
               selEncoded.prepare(h, "SELECT plain, md5, size FROM encoded WHERE key = ?1 AND encoding = ?2") &&
               putEncoded.prepare(h, "INSERT OR REPLACE INTO encoded VALUES (?1, ?2, ?3, ?4, ?5)") &&
               selRecordKeys.prepare(h, "SELECT key FROM records UNION SELECT key FROM encoded") &&
               delRecords.prepare(h, "DELETE FROM records WHERE key = ?1") &&
               delEncoded.prepare(h, "DELETE FROM encoded WHERE key = ?1") &&
               selTextId.prepare(h, "SELECT id FROM texts WHERE text = ?1") &&
               selText.prepare(h, "SELECT text FROM texts WHERE id = ?1") &&
               putText.prepare(h, "INSERT INTO texts(text) VALUES (?1)");
    }

    // The number of a text, made when bMake and there is none (-1: none).
    int64_t textId(const std::string &str, bool bMake)
    {
        auto it = textIds.find(str);
        if (it != textIds.end())
            return it->second;
        int64_t id = -1;
        if (selTextId.blob(1, str).step() == SQLITE_ROW)
            id = selTextId.integer(0);
        selTextId.reset();
        if (id < 0 && bMake && putText.blob(1, str).run())
            id = sqlite3_last_insert_rowid(h);
        if (id >= 0) {
            textIds.emplace(str, id);
            textsById.emplace(id, str);
        }
        return id;
    }
    std::string textOf(int64_t id)
    {
        auto it = textsById.find(id);
        if (it != textsById.end())
            return it->second;
        std::string str;
        if (selText.number(1, id).step() == SQLITE_ROW)
            str = selText.bytes(0);
        selText.reset();
        textIds.emplace(str, id);
        textsById.emplace(id, str);
        return str;
    }
    void forgetTexts()
    {
        textIds.clear();
        textsById.clear();
    }

    bool pointFile(const std::string &strKey, FileRow &row)
    {
        const bool bFound = selFile.blob(1, strKey).step() == SQLITE_ROW;
        if (bFound)
            row = fileRowOf(selFile);
        selFile.reset();
        return bFound;
    }

    // The next rows of the table into the window: after the last read and
    // the last looked up (a row behind the lookups is one this run stored).
    void fetch()
    {
        Stmt &s = bFetchedAny ? selNextRows : selFirstRows;
        if (bFetchedAny)
            s.blob(1, bLookedUp && strLastLooked > strFetchedUpTo ? strLastLooked : strFetchedUpTo)
                .number(2, kWindowRows);
        else
            s.number(1, kWindowRows);
        int n = 0;
        while (s.step() == SQLITE_ROW) {
            window.push_back(fileRowOf(s));
            ++n;
        }
        s.reset();
        bFetchedAny = true;
        if (n > 0)
            strFetchedUpTo = window.back().key;
        bFetchedAll = n < kWindowRows;
    }

    // The row of strKey, found in step with the table when the keys come in
    // order, else asked for alone.
    bool findFile(const std::string &strKey, FileRow &row)
    {
        if (bOrdered && bLookedUp && strKey == strLastLooked) {
            if (!window.empty() && window.front().key == strKey) {
                row = window.front();
                return true;
            }
            return pointFile(strKey, row); // stored or forgotten since
        }
        if (bOrdered && (!bLookedUp || strKey > strLastLooked)) {
            if (bLookedUp && !window.empty() && window.front().key == strLastLooked)
                window.pop_front(); // the row of the last key: seen
            for (;;) {
                if (window.empty()) {
                    if (bFetchedAll)
                        break;
                    fetch();
                    continue;
                }
                if (window.front().key >= strKey)
                    break;
                gone.push_back(std::move(window.front().key));
                window.pop_front();
            }
            bLookedUp = true;
            strLastLooked = strKey;
            if (!window.empty() && window.front().key == strKey) {
                row = window.front();
                return true;
            }
            return false;
        }
        if (bOrdered) {
            bOrdered = false;
            // Looked up in order before: the key that ended the order, when
            // it is looked up no more, goes with the rest it passed by.
            strOrderedUpTo = strLastLooked;
        }
        return pointFile(strKey, row);
    }

    // The row found for strKey did not match the file: it counts as passed
    // by (dropped at save unless stored again).
    void noteMissed(const std::string &strKey)
    {
        if (bOrdered && bLookedUp && strKey == strLastLooked && !window.empty() && window.front().key == strKey) {
            gone.push_back(std::move(window.front().key));
            window.pop_front();
        }
    }
    // The row of strKey matched the file.
    void noteHit(const std::string &strKey)
    {
        if (!bOrdered)
            seenHashes.push_back(keyHash(strKey));
    }

    // A row written for strKey: kept at save, also when the walk never asks for it.
    void noteStored(const std::string &strKey, const FileRow *row)
    {
        if (!bOrdered) {
            seenHashes.push_back(keyHash(strKey));
            return;
        }
        // The window read ahead must not give back what was replaced.
        auto at = std::lower_bound(window.begin(), window.end(), strKey,
                                   [](const FileRow &r, const std::string &k) { return r.key < k; });
        if (at != window.end() && at->key == strKey) {
            if (row != nullptr)
                *at = *row;
            else
                window.erase(at);
        } else if (row != nullptr && bFetchedAny && strKey <= strFetchedUpTo &&
                   (!bLookedUp || strKey > strLastLooked)) {
            window.insert(at, *row); // a new row among those read ahead
        } else if (row != nullptr && bFetchedAny && strKey > strFetchedUpTo &&
                   (!bLookedUp || strKey > strLastLooked)) {
            bFetchedAll = false; // a new row beyond the last read, ahead of the lookups
        }
        if (bLookedUp && strKey <= strLastLooked) {
            auto it = std::lower_bound(gone.begin(), gone.end(), strKey);
            if (it != gone.end() && *it == strKey)
                gone.erase(it);
        } else if (row != nullptr) {
            storedAhead.insert(strKey);
        }
    }

    // The keys of files neither looked up nor stored since the load.
    std::vector<std::string> unseenFiles()
    {
        std::vector<std::string> keys;
        if (bOrdered) {
            keys = gone;
            Stmt &s = bLookedUp ? selFileKeysAfter : selFileKeys;
            if (bLookedUp)
                s.blob(1, strLastLooked);
            while (s.step() == SQLITE_ROW) {
                std::string strKey = s.bytes(0);
                if (!storedAhead.count(strKey))
                    keys.push_back(std::move(strKey));
            }
            s.reset();
            return keys;
        }
        std::sort(seenHashes.begin(), seenHashes.end());
        while (selFileKeys.step() == SQLITE_ROW) {
            std::string strKey = selFileKeys.bytes(0);
            if (std::binary_search(seenHashes.begin(), seenHashes.end(), keyHash(strKey)))
                continue;
            if (bLookedUp && strKey <= strOrderedUpTo && !std::binary_search(gone.begin(), gone.end(), strKey))
                continue; // looked up while the keys still came in order
            if (storedAhead.count(strKey))
                continue;
            keys.push_back(std::move(strKey));
        }
        selFileKeys.reset();
        return keys;
    }
};

DigestCache::DigestCache(const std::string &strCacheDir, const std::string &strRootIn) : strDir(strCacheDir)
{
    while (strDir.size() > 1 && strDir.back() == '/')
        strDir.pop_back();
    char *pszRoot = realpath(strRootIn.c_str(), nullptr);
    strRoot = pszRoot ? pszRoot : strRootIn;
    std::free(pszRoot);
    const std::string strStem = strDir + "/" + sha256Hex(strRoot);
    strLegacyFile = strStem + ".digests";
    strFile = strStem + ".sqlite";
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

void DigestCache::begin()
{
    if (db && !db->bInTransaction)
        db->bInTransaction = db->exec("BEGIN");
}

// Opens the database, made with its tables when missing; converts the cache
// file of earlier releases into a new one.
bool DigestCache::open()
{
    db.reset();
    bOpenTried = true;
    // The cache folder and its parents, private to the user.
    for (std::size_t pos = 1; pos <= strDir.size(); ++pos) {
        if (pos == strDir.size() || strDir[pos] == '/') {
            const std::string strPart = strDir.substr(0, pos);
            if (mkdir(strPart.c_str(), 0700) != 0 && errno != EEXIST) {
                printErrorLine("cannot create cache folder: " + strPart + ": " + std::strerror(errno));
                return false;
            }
        }
    }
    const std::size_t posName = strLegacyFile.rfind('/');
    removeStaleTempFiles(strLegacyFile.substr(0, posName), strLegacyFile.substr(posName + 1));

    for (int attempt = 0; attempt < 2; ++attempt) {
        auto opened = std::make_unique<Db>();
        const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
        int rc = sqlite3_open_v2(strFile.c_str(), &opened->h, flags, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(opened->h, kBusyMilliseconds);
            rc = sqlite3_exec(opened->h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        }
        if (rc == SQLITE_OK) {
            opened->bInTransaction = true;
            rc = sqlite3_exec(opened->h, kSchema, nullptr, nullptr, nullptr);
        }
        if (rc == SQLITE_OK && !opened->prepareAll())
            rc = sqlite3_errcode(opened->h);
        if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) {
            // Kept aside, not lost; a new one is made in its place.
            opened.reset();
            printErrorLine("digest cache damaged or foreign, rebuilt: " + strFile);
            if (std::rename(strFile.c_str(), (strFile + ".damaged").c_str()) != 0)
                std::remove(strFile.c_str());
            std::remove((strFile + "-journal").c_str());
            continue;
        }
        if (rc != SQLITE_OK) {
            printErrorLine("cannot open digest cache: " + strFile + ": " +
                           (opened->h ? sqlite3_errmsg(opened->h) : sqlite3_errstr(rc)));
            return false;
        }
        db = std::move(opened);
        break;
    }
    if (!db)
        return false;

    // Whose cache it is: another root's (a file copied in place) is emptied.
    Stmt meta;
    std::string strStoredRoot;
    int64_t format = 0;
    bool bKnown = false;
    if (meta.prepare(db->h, "SELECT name, value FROM meta")) {
        while (meta.step() == SQLITE_ROW) {
            const std::string strName = meta.bytes(0);
            bKnown = true;
            if (strName == "root")
                strStoredRoot = meta.bytes(1);
            else if (strName == "format")
                format = meta.integer(1);
        }
        meta.reset();
    }
    bool bConverted = false;
    if (bKnown && (strStoredRoot != strRoot || format != kFormat)) {
        printErrorLine("digest cache damaged or foreign, rebuilt: " + strFile);
        db->exec("DELETE FROM files; DELETE FROM records; DELETE FROM encoded; DELETE FROM texts;"
                 " DELETE FROM meta");
        bKnown = false;
    } else if (!bKnown && access(strLegacyFile.c_str(), F_OK) == 0) {
        bConverted = convertLegacy();
    }
    if (!bKnown) {
        Stmt put;
        put.prepare(db->h, "INSERT OR REPLACE INTO meta VALUES (?1, ?2)");
        put.text(1, "root").blob(2, strRoot).run();
        put.text(1, "format").number(2, kFormat).run();
    }
    if (!db->exec("COMMIT")) {
        printErrorLine("cannot write digest cache: " + strFile + ": " + sqlite3_errmsg(db->h));
        db.reset();
        return false;
    }
    db->bInTransaction = false;
    // Converted and committed: the old file stays as a backup that no
    // release reads again.
    if (bConverted)
        std::rename(strLegacyFile.c_str(), (strLegacyFile + ".converted").c_str());
    return true;
}

void DigestCache::load()
{
    if (open())
        begin();
}

bool DigestCache::convertLegacy()
{
    LegacyVisitor visit;
    visit.file = [this](const std::string &strKey, uint64_t dev, uint64_t ino, uint64_t size, int64_t mtimeNs,
                        int64_t ctimeNs, const std::string &strMd5Hex) {
        db->putFile.blob(1, strKey)
            .number(2, static_cast<int64_t>(dev))
            .number(3, static_cast<int64_t>(ino))
            .number(4, static_cast<int64_t>(size))
            .number(5, mtimeNs)
            .number(6, ctimeNs)
            .blob(7, md5Bytes(strMd5Hex))
            .run();
    };
    visit.encoded = [this](const std::string &strKey, const std::string &strEncoding, const std::string &strPlainHex,
                           const std::string &strMd5Hex, uint64_t size) {
        putEncoded(strKey, strEncoding, {strPlainHex, strMd5Hex, size});
    };
    visit.record = [this](const std::string &strKey, const std::string &strTarget, const std::string &strMd5Hex,
                          uint64_t size, const std::string &strETag, const std::string &strHeaders) {
        putRecord(strTarget, strKey, {strMd5Hex, size, strETag, strHeaders});
    };
    auto nFiles = [this]() -> uint64_t {
        Stmt count;
        count.prepare(db->h, "SELECT count(*) FROM files");
        const uint64_t n = count.step() == SQLITE_ROW ? static_cast<uint64_t>(count.integer(0)) : 0;
        count.reset();
        return n;
    };
    db->exec("SAVEPOINT convert");
    if (readLegacyDigestCache(strLegacyFile, strRoot, visit, nFiles)) {
        db->exec("RELEASE convert");
        return true;
    }
    db->exec("ROLLBACK TO convert");
    db->exec("RELEASE convert");
    db->forgetTexts();
    printErrorLine("digest cache damaged or foreign, rebuilt: " + strLegacyFile);
    return false;
}

bool DigestCache::lookup(const std::string &strKey, const struct stat &st, std::string &strTag)
{
    FileRow row;
    if (!db || !db->findFile(strKey, row))
        return false;
    if (row.dev != static_cast<uint64_t>(st.st_dev) || row.ino != static_cast<uint64_t>(st.st_ino) ||
        row.size != static_cast<uint64_t>(st.st_size) || row.mtimeNs != nanoseconds(st.st_mtim) ||
        row.ctimeNs != nanoseconds(st.st_ctim)) {
        db->noteMissed(strKey);
        return false;
    }
    db->noteHit(strKey);
    strTag = row.bTagText ? row.tag : hexOf(row.tag);
    return true;
}

bool DigestCache::store(const std::string &strKey, const struct stat &st, const std::string &strTag)
{
    if (isRacy(st)) {
        forget(strKey);
        return false;
    }
    if (!db)
        return false;
    FileRow row;
    row.key = strKey;
    row.dev = static_cast<uint64_t>(st.st_dev);
    row.ino = static_cast<uint64_t>(st.st_ino);
    row.size = static_cast<uint64_t>(st.st_size);
    row.mtimeNs = nanoseconds(st.st_mtim);
    row.ctimeNs = nanoseconds(st.st_ctim);
    row.bTagText = !isMd5Hex(strTag);
    row.tag = row.bTagText ? strTag : md5Bytes(strTag);
    Stmt &s = db->putFile;
    s.blob(1, strKey)
        .number(2, static_cast<int64_t>(row.dev))
        .number(3, static_cast<int64_t>(row.ino))
        .number(4, static_cast<int64_t>(row.size))
        .number(5, row.mtimeNs)
        .number(6, row.ctimeNs);
    if (row.bTagText)
        s.text(7, strTag);
    else
        s.blob(7, row.tag);
    if (!s.run())
        return false;
    db->noteStored(strKey, &row);
    return true;
}

bool DigestCache::save()
{
    if (!db && (bOpenTried || !open()))
        return false; // the line that says why is out
    begin();
    bool bOk = db->bInTransaction;
    if (bOk) {
        for (const std::string &strKey : db->unseenFiles())
            bOk = db->delFile.blob(1, strKey).run() && bOk;
    }
    if (bOk && db->exec("COMMIT")) {
        db->bInTransaction = false;
        begin(); // for what the run changes next
        return true;
    }
    printErrorLine("cannot write digest cache: " + strFile + ": " + sqlite3_errmsg(db->h));
    if (db->bInTransaction && db->exec("ROLLBACK"))
        db->bInTransaction = false;
    db->forgetTexts();
    begin();
    return false;
}

void DigestCache::forget(const std::string &strKey)
{
    if (!db)
        return;
    db->delFile.blob(1, strKey).run();
    db->noteStored(strKey, nullptr);
}

std::string DigestCache::storeTarget(const std::string &strEndpoint, const std::string &strBucket,
                                     const std::string &strPrefix)
{
    return strEndpoint + "\n" + strBucket + "\n" + strPrefix;
}

bool DigestCache::findRecord(const std::string &strTarget, const std::string &strKey,
                             StoredRecord &record) const
{
    if (!db)
        return false;
    const int64_t store = db->textId(strTarget, false);
    if (store < 0)
        return false;
    Stmt &s = db->selRecord;
    if (s.blob(1, strKey).number(2, store).step() != SQLITE_ROW) {
        s.reset();
        return false;
    }
    record.strMd5Hex = hexOf(s.bytes(0));
    record.size = static_cast<uint64_t>(s.integer(1));
    record.strETag = s.isNull(2) ? record.strMd5Hex : s.bytes(2);
    const int64_t headers = s.integer(3);
    s.reset();
    record.strHeaders = db->textOf(headers);
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
    if (!db)
        return;
    Stmt &s = db->putRecord;
    s.blob(1, strKey)
        .number(2, db->textId(strTarget, true))
        .blob(3, md5Bytes(record.strMd5Hex))
        .number(4, static_cast<int64_t>(record.size));
    if (record.strETag == record.strMd5Hex)
        s.null(5);
    else
        s.blob(5, record.strETag);
    s.number(6, db->textId(record.strHeaders, true)).run();
}

void DigestCache::dropRecord(const std::string &strTarget, const std::string &strKey)
{
    if (!db)
        return;
    const int64_t store = db->textId(strTarget, false);
    if (store >= 0)
        db->delRecord.blob(1, strKey).number(2, store).run();
}

bool DigestCache::findEncoded(const std::string &strKey, const std::string &strEncoding,
                              const std::string &strPlainMd5Hex, EncodedDigest &digest) const
{
    if (!db)
        return false;
    Stmt &s = db->selEncoded;
    if (s.blob(1, strKey).text(2, strEncoding).step() != SQLITE_ROW) {
        s.reset();
        return false;
    }
    std::string strPlain = hexOf(s.bytes(0));
    const std::string strMd5 = hexOf(s.bytes(1));
    const uint64_t size = static_cast<uint64_t>(s.integer(2));
    s.reset();
    if (strPlain != strPlainMd5Hex)
        return false;
    digest.strPlainMd5Hex = std::move(strPlain);
    digest.strMd5Hex = strMd5;
    digest.size = size;
    return true;
}

void DigestCache::putEncoded(const std::string &strKey, const std::string &strEncoding,
                             const EncodedDigest &digest)
{
    if (!db || !isMd5Hex(digest.strPlainMd5Hex) || !isMd5Hex(digest.strMd5Hex) || strEncoding.empty() ||
        strEncoding.size() > 15 || strEncoding.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos)
        return;
    db->putEncoded.blob(1, strKey)
        .text(2, strEncoding)
        .blob(3, md5Bytes(digest.strPlainMd5Hex))
        .blob(4, md5Bytes(digest.strMd5Hex))
        .number(5, static_cast<int64_t>(digest.size))
        .run();
}

void DigestCache::keepRecordsOf(const std::function<bool(const std::string &strKey)> &isKept)
{
    if (!db)
        return;
    std::vector<std::string> dropped;
    Stmt &s = db->selRecordKeys;
    while (s.step() == SQLITE_ROW) {
        std::string strKey = s.bytes(0);
        if (!isKept(strKey))
            dropped.push_back(std::move(strKey));
    }
    s.reset();
    for (const std::string &strKey : dropped) {
        db->delRecords.blob(1, strKey).run();
        db->delEncoded.blob(1, strKey).run();
    }
}
