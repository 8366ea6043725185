// uploader.cpp - uploads in flight on one request context.
//
// Cost per wake-up does not depend on the number of files: the callbacks put
// ended uploads on a queue, retries wait in a heap ordered by their due time,
// new files start in key order from a cursor, and blocks are printed from a
// second cursor as soon as the block before them is out. Waiting is done by
// libcurl's own poll, which has no limit on descriptor numbers.
#include "uploader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <queue>
#include <thread>
#include <utility>

#include "compress.h"
#include "concurrency.h"
#include "console.h"
#include "mime.h"
#include "myPutObj.h"
#include "myS3Common.h"
#include "outcome_lines.h"
#include "progress.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Slot {
    UploadItem *item = nullptr;
    std::vector<std::size_t> *completed = nullptr; // where the complete callback reports
    std::size_t index = 0;
    int fd = -1;
    uint64_t nGiven = 0; // body bytes handed to the client in this try
    std::string strMd5Base64;
    std::string strMd5Hex;            // of the bytes sent
    std::string strContentType;
    bool bInMemory = false;           // the body is strBody (an encoded file), not the file
    std::string strBody;
    uint64_t bodySize = 0;            // bytes sent
    std::string strETag;              // as the store answered an accepted upload
    std::vector<std::string> lines;
    int nTries = 0;
    bool bDone = false;
    int nUnreachableTries = 0;         // tries that ended in a connection failure
    bool bChanged = false;            // the file is not the scanned one, or shrank
    int nReadErrno = 0;               // the file could not be opened or read: why
    bool bExpired = false;            // past the life limit while sending
    Clock::time_point deadline;       // end of this file's life limit
    S3Status status = S3StatusInternalError;
    std::string strCode;
    int httpStatus = 0;
    bool bSentStorageClass = false;
    HintLog *hints = nullptr;
    TransferObserver *observer = nullptr; // the progress line, or null
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
    slot.status = status;
    slot.strCode = details && details->code ? details->code : "";
    slot.httpStatus = details ? details->httpStatus : 0;
    std::vector<std::string> lines =
        outcomeLines(status, details, slot.hints, slot.bSentStorageClass);
    slot.lines.insert(slot.lines.end(), lines.begin(), lines.end());
    closeFile(slot);
    slot.completed->push_back(slot.index);
}

// The body, read from the file opened for this try. The client asks only for
// bytes the scan counted, so a file that ends early has shrunk since: the
// request is abandoned at once instead of waiting for bytes that never come.
// Past the file's life limit the request is abandoned too.
int dataCallback(int bufferSize, char *buffer, void *callbackData)
{
    Slot &slot = *static_cast<Slot *>(callbackData);
    if (Clock::now() > slot.deadline) {
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

class Uploader {
public:
    Uploader(Session &session, const S3BucketContext &ctx, const std::string &strBucket,
             std::vector<UploadItem> &items)
        : session(session), ctx(ctx), strBucket(strBucket), settings(session.settings()),
          slots(items.size()), governor(session.governor()),
          life(std::chrono::seconds(uploadLifeSeconds(settings.nRequestTimeout, settings.nRetries)))
    {
        for (std::size_t i = 0; i < items.size(); ++i) {
            slots[i].item = &items[i];
            slots[i].index = i;
            slots[i].completed = &completed;
            slots[i].hints = &session.hints();
            slots[i].observer = session.transferObserver();
        }
    }

    UploadTotals run();

private:
    using Due = std::pair<Clock::time_point, std::size_t>;

    void finish(Slot &slot, bool bOk);
    void fail(Slot &slot, const std::string &strWhy);
    void notSent(Slot &slot);
    void start(Slot &slot);
    void decide(Slot &slot);
    void printReady();
    void stopSending();

    Session &session;
    const S3BucketContext &ctx;
    const std::string &strBucket;
    const Settings &settings;
    std::vector<Slot> slots;
    JobGovernor &governor; // how many may be in flight: the run's
    const Clock::duration life;
    // The request fill of the upload being started; the client copies the
    // headers before S3_put_object returns.
    ObjectHeaders headers;
    PutMetaData meta;
    S3RequestContext *rc = nullptr;

    std::vector<std::size_t> completed; // filled by the complete callback
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> retries;
    std::size_t nextNew = 0;
    std::size_t nextPrint = 0;
    int nRunning = 0;
    ConnectionGuard guard;
    bool bStopped = false;
    UploadTotals totals;
};

void Uploader::finish(Slot &slot, bool bOk)
{
    closeFile(slot);
    slot.bDone = true;
    std::string().swap(slot.strBody);
    if (slot.observer) slot.observer->fileEnded(bOk);
    if (bOk) {
        slot.item->bStored = true;
        slot.item->strSentMd5Hex = slot.strMd5Hex;
        slot.item->sentSize = slot.bodySize;
        slot.item->strETag = slot.strETag;
        ++totals.nSent;
        totals.nBytesSent += slot.bodySize;
    } else {
        ++totals.nFailed;
        if (slot.item->bNamed)
            slot.lines.push_back("upload error: bucket: " + strBucket + " key:" +
                                 consoleText(slot.item->strKey) + " path:" + consoleText(slot.item->strPath));
    }
}

void Uploader::fail(Slot &slot, const std::string &strWhy)
{
    slot.lines.push_back(strWhy);
    finish(slot, false);
}

// A file the run gave up on before (another) try: its whole block, and why.
void Uploader::notSent(Slot &slot)
{
    if (slot.nTries == 0) {
        slot.lines = slot.item->leadLines;
        if (slot.item->bNamed)
            slot.lines.push_back("upload:" + consoleText(slot.item->strPath) + " ; " + consoleText(slot.item->strKey));
    }
    fail(slot, "not sent: the store could not be reached");
}

void Uploader::start(Slot &slot)
{
    UploadItem &item = *slot.item;
    if (slot.nTries == 0) {
        slot.lines = item.leadLines;
        if (item.bNamed)
            slot.lines.push_back("upload:" + consoleText(item.strPath) + " ; " + consoleText(item.strKey));
        slot.deadline = Clock::now() + life;
        slot.strContentType =
            item.strContentType.empty() ? getFileContentType(item.strPath) : item.strContentType;
        slot.bInMemory = !item.strContentEncoding.empty();
        slot.bodySize = item.size;
        if (!slot.bInMemory) {
            slot.strMd5Hex = item.strMd5Hex;
            errno = 0;
            if (slot.strMd5Hex.empty() && !calculateMD5Hex(item.strPath, slot.strMd5Hex)) {
                fail(slot, cannotReadLine(item.strPath, errno ? errno : EIO));
                return;
            }
            if (!md5HexToBase64(slot.strMd5Hex, slot.strMd5Base64)) {
                finish(slot, false);
                return;
            }
        }
    }
    if (slot.bInMemory) {
        // Read and encoded once, on the first try; retries send the same bytes.
        if (slot.nTries == 0) {
            slot.fd = openScannedFile(slot);
            const bool bOpened = slot.fd >= 0;
            const bool bEncoded = bOpened && encodeScannedFile(slot);
            closeFile(slot);
            if (!bEncoded) {
                if (slot.bChanged) {
                    totals.staleKeys.push_back(item.strKey);
                    fail(slot, "file changed during the run: " + consoleText(item.strPath));
                } else if (bOpened) {
                    fail(slot, "cannot encode: " + consoleText(item.strPath));
                } else {
                    fail(slot, cannotReadLine(item.strPath, slot.nReadErrno));
                }
                return;
            }
        }
    } else {
        slot.fd = openScannedFile(slot);
        if (slot.fd < 0) {
            if (slot.bChanged) {
                totals.staleKeys.push_back(item.strKey);
                fail(slot, "file changed during the run: " + consoleText(item.strPath));
            } else {
                fail(slot, cannotReadLine(item.strPath, slot.nReadErrno));
            }
            return;
        }
    }
    ++slot.nTries;
    if (slot.observer) slot.observer->bodyBytes(-static_cast<int64_t>(slot.nGiven));
    slot.nGiven = 0;
    slot.strETag.clear();
    headers = itemHeaders(settings, item);
    headers.strContentType = slot.strContentType;
    S3PutProperties properties;
    fillPutProperties(headers, slot.strMd5Base64.c_str(), slot.strMd5Hex.c_str(), meta, properties);
    slot.bSentStorageClass = !headers.strStorageClass.empty();
    S3PutObjectHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.responseHandler.propertiesCallback = propertiesCallback;
    handler.responseHandler.completeCallback = completeCallback;
    handler.putObjectDataCallback = dataCallback;
    handler.putObjectRewindCallback = rewindCallback;
    handler.putObjectAnswerCallback = answerCallback;
    ++nRunning;
    governor.started(nRunning, Clock::now());
    S3_put_object(&ctx, item.strKey.c_str(), slot.bodySize, &properties, rc, &handler, &slot);
}

// One try ended: done, failed for good, or due again later.
void Uploader::decide(Slot &slot)
{
    --nRunning;
    governor.ended(isPushBack(slot.status, slot.strCode.c_str(), slot.httpStatus), Clock::now());
    const UploadItem &item = *slot.item;
    if (slot.status == S3StatusOK) {
        guard.fileDecided(true, slot.nTries, slot.nUnreachableTries);
        finish(slot, true);
        return;
    }
    if (slot.bChanged) {
        totals.staleKeys.push_back(item.strKey);
        fail(slot, "file changed during the run: " + consoleText(item.strPath));
        return;
    }
    if (slot.nReadErrno != 0) {
        fail(slot, cannotReadLine(item.strPath, slot.nReadErrno));
        return;
    }
    if (slot.status == S3StatusErrorBadDigest || slot.strCode == "BadDigest") {
        totals.staleKeys.push_back(item.strKey);
        fail(slot, "file changed during the run: " + consoleText(item.strPath));
        return;
    }
    const std::string strLimit = "upload took longer than its limit of " +
                                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                                    life).count()) +
                                 " s: " + consoleText(item.strPath);
    if (slot.bExpired) {
        guard.fileDecided(false, slot.nTries, 0);
        fail(slot, strLimit);
        return;
    }
    if (isConnectionFailure(slot.status))
        ++slot.nUnreachableTries;
    if (bStopped || slot.nTries > settings.nRetries ||
        !isRetryableOutcome(slot.status, slot.strCode.c_str(), slot.httpStatus)) {
        guard.fileDecided(false, slot.nTries, slot.nUnreachableTries);
        finish(slot, false);
        return;
    }
    const double delay = retryDelaySeconds(slot.nTries - 1);
    const Clock::time_point due =
        Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
    if (due >= slot.deadline) {
        guard.fileDecided(false, slot.nTries, slot.nUnreachableTries);
        fail(slot, strLimit);
        return;
    }
    char sz[160];
    std::snprintf(sz, sizeof sz, "retry %d of %d in %.2f s: ", slot.nTries, settings.nRetries,
                  delay);
    const std::string strWhy = slot.strCode.empty() ? S3_get_status_name(slot.status)
                                                    : slot.strCode;
    slot.lines.push_back(sz + strWhy + " key:" + consoleText(item.strKey));
    retries.push({due, slot.index});
    if (slot.observer) slot.observer->retryDue();
}

// Prints every block whose earlier blocks are all out.
void Uploader::printReady()
{
    while (nextPrint < slots.size() && slots[nextPrint].bDone) {
        if (slots[nextPrint].observer) slots[nextPrint].observer->linesFollow();
        for (const std::string &strLine : slots[nextPrint].lines)
            printLine(strLine);
        std::vector<std::string>().swap(slots[nextPrint].lines);
        ++nextPrint;
    }
}

// Nothing more is sent: waiting retries and files not yet started fail with
// their whole block; uploads in flight end on their own.
void Uploader::stopSending()
{
    bStopped = true;
    if (!slots.empty() && slots[0].observer) slots[0].observer->linesFollow();
    printLine("stopped sending: " + std::to_string(kConnectionFailuresToStop) +
              " uploads in a row could not reach the store");
    for (; !retries.empty(); retries.pop())
        notSent(slots[retries.top().second]);
    for (; nextNew < slots.size(); ++nextNew)
        notSent(slots[nextNew]);
}

UploadTotals Uploader::run()
{
    rc = session.requestContext();
    if (!rc) {
        printLine("cannot set up the transfers");
        totals.nFailed = static_cast<long>(slots.size());
        return totals;
    }
    if (TransferObserver *observer = slots.empty() ? nullptr : slots[0].observer) {
        uint64_t nBytes = 0;
        for (const Slot &slot : slots) nBytes += slot.item->size;
        observer->transfersBegin(slots.size(), nBytes);
    }
    std::vector<std::size_t> ended;
    while (nextPrint < slots.size()) {
        ended.swap(completed);
        for (std::size_t i : ended)
            decide(slots[i]);
        ended.clear();
        if (!bStopped && guard.shouldStop())
            stopSending();
        printReady();

        // Start what is due: retries first, then new files in key order.
        const Clock::time_point now = Clock::now();
        while (nRunning < governor.limit() && !retries.empty() && retries.top().first <= now) {
            std::size_t i = retries.top().second;
            retries.pop();
            start(slots[i]);
        }
        while (nRunning < governor.limit() && nextNew < slots.size())
            start(slots[nextNew++]);
        if ((nextPrint < slots.size() && slots[nextPrint].bDone) || !completed.empty())
            continue;

        if (nRunning == 0) {
            if (!retries.empty())
                std::this_thread::sleep_until(retries.top().first);
            continue;
        }
        if (S3_runonce_request_context(rc, nullptr) != S3StatusOK)
            break;
        if (!completed.empty())
            continue;
        if (!session.waitForTransfers(retries.empty() ? Clock::time_point::max() : retries.top().first))
            break;
    }
    // A broken context ends every request still queued (their complete
    // callbacks run here); what is left unsent counts as failed. A whole
    // run leaves the context with its connections for the next step.
    if (nextPrint < slots.size())
        session.endRequestContext();
    rc = nullptr;
    totals.nMostInFlight = governor.mostInFlight();
    for (std::size_t i = nextPrint; i < slots.size(); ++i) {
        if (!slots[i].bDone) {
            closeFile(slots[i]);
            finish(slots[i], false);
        }
        if (slots[i].observer) slots[i].observer->linesFollow();
        for (const std::string &strLine : slots[i].lines)
            printLine(strLine);
    }
    if (!slots.empty() && slots[0].observer) slots[0].observer->transfersEnd();
    return totals;
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
    return Uploader(session, ctx, strBucket, items).run();
}
