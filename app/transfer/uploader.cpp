// uploader.cpp - one file's upload as a job of the run's request runner: the
// file opened (never through a link) and held to the scan's record, its body
// read or encoded, its block of lines, and what the store answered.
#include "uploader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "compress.h"
#include "events.h"
#include "console.h"
#include "mime.h"
#include "myPutObj.h"
#include "myS3Common.h"
#include "outcome_lines.h"
#include "progress.h"
#include "request_runner.h"

namespace {

using Clock = std::chrono::steady_clock;

// One file's upload, a job of the run's request runner.
struct Slot : public RunnerJob {
    UploadItem *item = nullptr;
    const S3BucketContext *ctx = nullptr;
    const std::string *strBucket = nullptr;
    const Settings *settings = nullptr;
    UploadTotals *totals = nullptr;
    int fd = -1;
    uint64_t nGiven = 0; // body bytes handed to the client in this try
    std::string strMd5Base64;
    std::string strMd5Hex;            // of the bytes sent
    std::string strContentType;
    bool bInMemory = false;           // the body is strBody (an encoded file), not the file
    std::string strBody;
    uint64_t bodySize = 0;            // bytes sent
    std::string strETag;              // as the store answered an accepted upload
    bool bChanged = false;            // the file is not the scanned one, or shrank
    int nReadErrno = 0;               // the file could not be opened or read: why
    bool bExpired = false;            // past the life limit while sending
    Clock::duration life{};           // the file's life limit ...
    Clock::time_point lifeEnd;        // ... and when it ends
    bool bSentStorageClass = false;
    HintLog *hints = nullptr;
    std::string strHint;              // the hint given with the last try's failure
    std::string strWhy;               // why the file itself could not be sent
    TransferObserver *observer = nullptr; // the progress line, or null
    // The request of the try in flight: alive until its complete callback,
    // so nothing the client was handed is gone before it is sent.
    ObjectHeaders headers;
    PutMetaData meta;
    S3PutProperties properties;

    bool prepareTry() override;
    void sendTry(S3RequestContext *rc) override;
    Settled settle() override;
    void finish(bool bOk) override;
    std::string retrySubject() const override { return " key:" + consoleText(item->strKey); }
    std::string retryKey() const override { return item->strKey; }
    Clock::time_point deadline() const override { return lifeEnd; }
    std::string outOfTimeLine() const override
    {
        return "upload took longer than its limit of " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(life).count()) +
               " s: " + consoleText(item->strPath);
    }
    void retryScheduled() override
    {
        if (observer) observer->retryDue();
    }
    void notSent() override;
    // Ends the job with one line saying why.
    void fail(const std::string &strLine)
    {
        lines.push_back(strLine);
        strWhy = strLine;
        finish(false);
    }
    // Why the file cannot be sent: it is not the scanned one any more (its
    // digest is then not trusted again), or it could not be opened or read.
    std::string fileFailureLine();
    // The block's head: the lead lines and "upload:PATH ; KEY".
    void blockHead()
    {
        lines = item->leadLines;
        if (item->bNamed)
            lines.push_back("upload:" + consoleText(item->strPath) + " ; " + consoleText(item->strKey));
    }
};

void closeFile(Slot &slot)
{
    if (slot.fd >= 0) {
        ::close(slot.fd);
        slot.fd = -1;
    }
}

S3Status propertiesCallback(const S3ResponseProperties *prop, void *callbackData)
{
    if (!prop)
        return S3StatusHttpErrorBadRequest;
    std::vector<std::string> lines = propertiesLines(*prop);
    Slot &slot = *static_cast<Slot *>(callbackData);
    slot.lines.insert(slot.lines.end(), lines.begin(), lines.end());
    return S3StatusOK;
}

// The accepted upload's own headers: its ETag, quotes taken off.
S3Status answerCallback(const S3ResponseProperties *prop, void *callbackData)
{
    Slot &slot = *static_cast<Slot *>(callbackData);
    std::string strETag = prop && prop->eTag ? prop->eTag : "";
    if (strETag.size() >= 2 && strETag.front() == '"' && strETag.back() == '"')
        strETag = strETag.substr(1, strETag.size() - 2);
    slot.strETag = strETag;
    return S3StatusOK;
}

void completeCallback(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    Slot &slot = *static_cast<Slot *>(callbackData);
    std::vector<std::string> lines = outcomeLines(status, details, nullptr, slot.bSentStorageClass);
    slot.strHint = status == S3StatusOK || !slot.hints
                       ? std::string()
                       : slot.hints->once(status, details, slot.bSentStorageClass);
    if (!slot.strHint.empty())
        lines.push_back(slot.strHint);
    slot.lines.insert(slot.lines.end(), lines.begin(), lines.end());
    closeFile(slot);
    slot.tryEnded(status, details);
}

// The body, read from the file opened for this try. The client asks only for
// bytes the scan counted, so a file that ends early has shrunk since: the
// request is abandoned at once instead of waiting for bytes that never come.
// Past the file's life limit the request is abandoned too.
int dataCallback(int bufferSize, char *buffer, void *callbackData)
{
    Slot &slot = *static_cast<Slot *>(callbackData);
    if (Clock::now() > slot.lifeEnd) {
        slot.bExpired = true;
        return -1;
    }
    if (slot.bInMemory) {
        const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(std::max(bufferSize, 0)),
                                                       slot.strBody.size() - slot.nGiven);
        slot.strBody.copy(buffer, take, slot.nGiven);
        slot.nGiven += take;
        if (slot.observer) slot.observer->bodyBytes(static_cast<int64_t>(take));
        return static_cast<int>(take);
    }
    ssize_t n;
    do {
        n = ::read(slot.fd, buffer, static_cast<std::size_t>(std::max(bufferSize, 0)));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        slot.nReadErrno = errno; // a read error is no change of the file
        return -1;
    }
    if (n == 0 && bufferSize > 0) {
        slot.bChanged = true;
        return -1;
    }
    slot.nGiven += static_cast<uint64_t>(n);
    if (slot.observer) slot.observer->bodyBytes(n);
    // The last bytes: a file that has grown is not the one whose digest is sent.
    struct stat st;
    if (slot.nGiven >= slot.item->size &&
        (::fstat(slot.fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != slot.item->size)) {
        slot.bChanged = true;
        return -1;
    }
    return static_cast<int>(n);
}

// The body again from its first byte, when the client must send it once more
// (a kept connection found closed): the same open file, from the start.
int rewindCallback(void *callbackData)
{
    Slot &slot = *static_cast<Slot *>(callbackData);
    if (!slot.bInMemory && ::lseek(slot.fd, 0, SEEK_SET) != 0)
        return -1;
    if (slot.observer) slot.observer->bodyBytes(-static_cast<int64_t>(slot.nGiven));
    slot.nGiven = 0;
    return 0;
}

// "cannot read: PATH (REASON)" for a file that could not be opened or read.
std::string cannotReadLine(const std::string &strPath, int nErrno)
{
    return "cannot read: " + consoleText(strPath) + " (" + std::strerror(nErrno) + ")";
}

// Opens the item's file for one try, never through a link, and holds it to
// the scan's record. -1 with bChanged set when it is not that file any more,
// -1 alone when it cannot be opened for another reason.
int openScannedFile(Slot &slot)
{
    const UploadItem &item = *slot.item;
    int fd = ::open(item.strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        slot.bChanged = errno == ELOOP || errno == ENOENT || errno == ENOTDIR;
        if (!slot.bChanged)
            slot.nReadErrno = errno;
        return -1;
    }
    struct stat st;
    bool bSame = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                 static_cast<uint64_t>(st.st_size) == item.size &&
                 ((item.device == 0 && item.inode == 0) ||
                  (static_cast<uint64_t>(st.st_dev) == item.device &&
                   static_cast<uint64_t>(st.st_ino) == item.inode));
    if (!bSame) {
        ::close(fd);
        slot.bChanged = true;
        return -1;
    }
    return fd;
}

// Reads the opened file once, encoding it into the slot's body. The plain
// bytes must be the scanned ones (same size, and the scan's digest when there
// is one); otherwise bChanged is set. False on either failure.
bool encodeScannedFile(Slot &slot)
{
    const UploadItem &item = *slot.item;
    EncodedFile encoded;
    if (!encodeFile(slot.fd, item.strContentEncoding, true, encoded))
        return false;
    if (encoded.plainSize != item.size ||
        (!item.strMd5Hex.empty() && encoded.strPlainMd5Hex != item.strMd5Hex)) {
        slot.bChanged = true;
        return false;
    }
    slot.strBody.swap(encoded.strBody);
    slot.bodySize = encoded.size;
    if (slot.observer)
        slot.observer->sizeChanged(static_cast<int64_t>(encoded.size) - static_cast<int64_t>(item.size));
    slot.strMd5Hex = encoded.strMd5Hex;
    return md5HexToBase64(slot.strMd5Hex, slot.strMd5Base64);
}

void Slot::finish(bool bOk)
{
    closeFile(*this);
    std::string().swap(strBody);
    if (observer) observer->fileEnded(bOk);
    if (bOk) {
        item->bStored = true;
        item->strSentMd5Hex = strMd5Hex;
        item->sentSize = bodySize;
        item->strETag = strETag;
        ++totals->nSent;
        totals->nBytesSent += bodySize;
        emitUpload(item->strKey, item->strPath, bodySize, strETag, item->bForced);
    } else {
        ++totals->nFailed;
        ErrorEvent error = errorEvent("upload", item->strKey, item->strPath, strWhy);
        error.strHint = strHint;
        emitError(error);
        if (item->bNamed)
            lines.push_back("upload error: bucket: " + *strBucket + " key:" +
                            consoleText(item->strKey) + " path:" + consoleText(item->strPath));
    }
}

// A file the run gave up on before (another) try: its whole block, and why.
void Slot::notSent()
{
    if (tries() == 0)
        blockHead();
    fail(notSentLine());
}

bool Slot::prepareTry()
{
    if (tries() == 0) {
        blockHead();
        strContentType =
            item->strContentType.empty() ? getFileContentType(item->strPath) : item->strContentType;
        bInMemory = !item->strContentEncoding.empty();
        bodySize = item->size;
        if (!bInMemory) {
            strMd5Hex = item->strMd5Hex;
            errno = 0;
            if (strMd5Hex.empty() && !calculateMD5Hex(item->strPath, strMd5Hex)) {
                fail(cannotReadLine(item->strPath, errno ? errno : EIO));
                return false;
            }
            if (!md5HexToBase64(strMd5Hex, strMd5Base64)) {
                finish(false);
                return false;
            }
        }
    }
    if (bInMemory) {
        // Read and encoded once, on the first try; retries send the same bytes.
        if (tries() == 0) {
            fd = openScannedFile(*this);
            const bool bOpened = fd >= 0;
            const bool bEncoded = bOpened && encodeScannedFile(*this);
            closeFile(*this);
            if (!bEncoded) {
                if (bOpened && !bChanged)
                    fail("cannot encode: " + consoleText(item->strPath));
                else
                    fail(fileFailureLine());
                return false;
            }
        }
    } else {
        fd = openScannedFile(*this);
        if (fd < 0) {
            fail(fileFailureLine());
            return false;
        }
    }
    // The life limit bounds the sending: it starts once the bytes are ready
    // (a large file under a compressing rule takes its time to encode).
    if (tries() == 0)
        lifeEnd = Clock::now() + life;
    if (observer) observer->bodyBytes(-static_cast<int64_t>(nGiven));
    nGiven = 0;
    strETag.clear();
    headers = itemHeaders(*settings, *item);
    headers.strContentType = strContentType;
    fillPutProperties(headers, strMd5Base64.c_str(), strMd5Hex.c_str(), meta, properties);
    bSentStorageClass = !headers.strStorageClass.empty();
    return true;
}

void Slot::sendTry(S3RequestContext *rc)
{
    S3PutObjectHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.responseHandler.propertiesCallback = propertiesCallback;
    handler.responseHandler.completeCallback = completeCallback;
    handler.putObjectDataCallback = dataCallback;
    handler.putObjectRewindCallback = rewindCallback;
    handler.putObjectAnswerCallback = answerCallback;
    const S3BucketContext now = sending(*ctx);
    S3_put_object(&now, item->strKey.c_str(), bodySize, &properties, rc, &handler, this);
}

std::string Slot::fileFailureLine()
{
    if (!bChanged)
        return cannotReadLine(item->strPath, nReadErrno);
    totals->staleKeys.push_back(item->strKey);
    return "file changed during the run: " + consoleText(item->strPath);
}

// A try that failed for a reason of the file's own is not tried again (the
// runner ends the job: the line is added here). A refused digest means the
// bytes sent were not the scanned ones.
RunnerJob::Settled Slot::settle()
{
    if (status() == S3StatusErrorBadDigest || code() == "BadDigest")
        bChanged = true;
    if (!bChanged && nReadErrno == 0)
        return bExpired ? Settled::OutOfTime : Settled::No;
    strWhy = fileFailureLine();
    lines.push_back(strWhy);
    return Settled::OwnFailure;
}

} // namespace

void applyRules(const std::vector<CacheRule> &rules, const std::string &strSitePath, UploadItem &item)
{
    item.strCacheControl.clear();
    item.strContentType.clear();
    item.strContentEncoding.clear();
    if (const CacheRule *rule = findCacheRule(rules, strSitePath)) {
        item.strCacheControl = rule->strCacheControl;
        item.strContentType = rule->strContentType;
        item.strContentEncoding = rule->strContentEncoding;
    }
}

ObjectHeaders itemHeaders(const Settings &settings, const UploadItem &item)
{
    return objectHeaders(settings, item.acl,
                         item.strContentType.empty() ? getFileContentType(item.strPath) : item.strContentType,
                         item.strCacheControl, item.strContentEncoding);
}

UploadTotals uploadItems(Session &session, const S3BucketContext &ctx,
                         const std::string &strBucket, std::vector<UploadItem> &items)
{
    const Settings &settings = session.settings();
    std::vector<std::string> keys;
    for (const UploadItem &item : items)
        keys.push_back(item.strKey);
    session.aboutToChange(keys);
    UploadTotals totals;
    std::vector<Slot> slots(items.size());
    std::vector<RunnerJob *> jobs;
    jobs.reserve(items.size());
    TransferObserver *observer = items.empty() ? nullptr : session.transferObserver();
    const Clock::duration life =
        std::chrono::seconds(uploadLifeSeconds(settings.nRequestTimeout, settings.nRetries));
    uint64_t nBytes = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Slot &slot = slots[i];
        slot.item = &items[i];
        slot.ctx = &ctx;
        slot.strBucket = &strBucket;
        slot.settings = &settings;
        slot.totals = &totals;
        slot.life = life;
        slot.hints = &session.hints();
        slot.observer = observer;
        nBytes += items[i].size;
        jobs.push_back(&slot);
    }
    if (observer)
        observer->transfersBegin(items.size(), nBytes);
    RequestRunner runner(session, std::move(jobs), observer);
    if (!runner.run()) {
        // Nothing was sent; each file counts as failed once.
        totals = UploadTotals();
        totals.nFailed = static_cast<long>(items.size());
    }
    totals.nMostInFlight = session.governor().mostInFlight();
    if (observer)
        observer->transfersEnd();
    return totals;
}
