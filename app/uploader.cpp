// uploader.cpp - uploads in flight on one request context.
#include "uploader.h"

#include <sys/select.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "console.h"
#include "mime.h"
#include "myPutObj.h"
#include "myS3Common.h"
#include "outcome_lines.h"

namespace {

using Clock = std::chrono::steady_clock;

// After this many uploads in a row fail for connection reasons the store is
// taken to be gone and nothing more is sent.
constexpr int kConnectionFailuresToStop = 10;

struct Slot {
    UploadItem *item = nullptr;
    std::FILE *fp = nullptr;
    std::string strMd5Base64;
    std::string strContentType;
    std::vector<std::string> lines;
    int nTries = 0;
    bool bRunning = false;
    bool bDone = false;
    bool bOk = false;
    bool bCompleted = false; // the request ended and awaits a decision
    S3Status status = S3StatusInternalError;
    std::string strCode;
    Clock::time_point retryAt;
    bool bWaiting = false;
    bool bSentStorageClass = false;
    HintLog *hints = nullptr;
};

S3Status propertiesCallback(const S3ResponseProperties *prop, void *callbackData)
{
    if (!prop)
        return S3StatusHttpErrorBadRequest;
    std::vector<std::string> lines = propertiesLines(*prop);
    Slot &slot = *static_cast<Slot *>(callbackData);
    slot.lines.insert(slot.lines.end(), lines.begin(), lines.end());
    return S3StatusOK;
}

void completeCallback(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    Slot &slot = *static_cast<Slot *>(callbackData);
    slot.status = status;
    slot.strCode = details && details->code ? details->code : "";
    std::vector<std::string> lines =
        outcomeLines(status, details, slot.hints, slot.bSentStorageClass);
    slot.lines.insert(slot.lines.end(), lines.begin(), lines.end());
    if (slot.fp) {
        std::fclose(slot.fp);
        slot.fp = nullptr;
    }
    slot.bRunning = false;
    slot.bCompleted = true;
}

int dataCallback(int bufferSize, char *buffer, void *callbackData)
{
    return myS3PutObjectDataCallback(bufferSize, buffer, static_cast<Slot *>(callbackData)->fp);
}

// 32 hex digits to the base64 of the 16 bytes; false when not a digest.
bool hexToBase64(const std::string &strHex, std::string &strBase64)
{
    std::string strBytes;
    if (strHex.size() != 32 || !hexToBytes(strHex, strBytes))
        return false;
    MyBase64Encoder encoder;
    encoder.update(strBytes);
    strBase64 = encoder.finalize();
    return true;
}

// The client reports a connection that broke without an answer (sent or
// received data lost, nothing returned) as its own internal error with no
// error document: that is a connection failure too.
bool isConnectionFailure(S3Status status, const std::string &strCode)
{
    return status == S3StatusNameLookupError || status == S3StatusFailedToConnect ||
           status == S3StatusConnectionFailed ||
           (status == S3StatusInternalError && strCode.empty());
}

} // namespace

bool isRetryableOutcome(S3Status status, const char *pszCode)
{
    if (S3_status_is_retryable(status) || status == S3StatusErrorSlowDown ||
        status == S3StatusErrorInternalError || status == S3StatusErrorRequestTimeout)
        return true;
    const std::string strCode = pszCode ? pszCode : "";
    return strCode == "SlowDown" || strCode == "InternalError" ||
           strCode == "ServiceUnavailable" || strCode == "RequestTimeout";
}

double retryDelaySeconds(int nTry)
{
    static std::mt19937 engine{std::random_device{}()};
    double cap = std::min(5.0, 0.25 * static_cast<double>(1u << std::min(nTry, 10)));
    return std::uniform_real_distribution<double>(0.0, cap)(engine);
}

UploadTotals uploadItems(Session &session, const S3BucketContext &ctx,
                         const std::string &strBucket, std::vector<UploadItem> &items)
{
    const Settings &settings = session.settings();
    UploadTotals totals;
    std::vector<Slot> slots(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        slots[i].item = &items[i];
        slots[i].hints = &session.hints();
    }

    S3RequestContext *rc = nullptr;
    if (S3_create_request_context(&rc) != S3StatusOK) {
        printLine("cannot set up the transfers");
        totals.nFailed = static_cast<long>(items.size());
        return totals;
    }
    const int nJobs = std::max(1, settings.nJobs);
    S3NameValue storageClass;

    std::size_t nextNew = 0, nextPrint = 0;
    int nRunning = 0;
    int nConnectionFailuresInARow = 0;
    bool bStopped = false;

    auto finish = [&](Slot &slot, bool bOk) {
        slot.bDone = true;
        slot.bOk = bOk;
        if (bOk) {
            ++totals.nSent;
            totals.nBytesSent += slot.item->size;
        } else {
            ++totals.nFailed;
            if (slot.item->bNamed)
                slot.lines.push_back("upload error: bucket: " + strBucket +
                                     " key:" + slot.item->strKey + " path:" + slot.item->strPath);
        }
    };

    auto start = [&](Slot &slot) {
        UploadItem &item = *slot.item;
        if (slot.nTries == 0) {
            slot.lines = item.leadLines;
            if (item.bNamed)
                slot.lines.push_back("upload:" + item.strPath + " ; " + item.strKey);
            slot.strContentType = getFileContentType(item.strPath);
            uint64_t size = 0;
            bool bDigest = hexToBase64(item.strMd5Hex, slot.strMd5Base64) ||
                           calculateMD5Base64(item.strPath, slot.strMd5Base64);
            if (!getFileSize(item.strPath, size) || !bDigest) {
                finish(slot, false);
                return;
            }
        }
        ++slot.nTries;
        slot.fp = std::fopen(item.strPath.c_str(), "rb");
        if (!slot.fp) {
            finish(slot, false);
            return;
        }
        S3PutProperties properties;
        fillPutProperties(settings, item.acl, slot.strContentType.c_str(),
                          slot.strMd5Base64.c_str(),
                          item.strCacheControl.empty() ? nullptr : item.strCacheControl.c_str(),
                          storageClass, properties);
        slot.bSentStorageClass = properties.metaDataCount > 0;
        S3PutObjectHandler handler;
        std::memset(&handler, 0, sizeof handler);
        handler.responseHandler.propertiesCallback = propertiesCallback;
        handler.responseHandler.completeCallback = completeCallback;
        handler.putObjectDataCallback = dataCallback;
        slot.bRunning = true;
        slot.bCompleted = false;
        ++nRunning;
        S3_put_object(&ctx, item.strKey.c_str(), item.size, &properties, rc, &handler, &slot);
    };

    while (nextPrint < slots.size()) {
        // Decide on the requests that ended.
        for (Slot &slot : slots) {
            if (!slot.bCompleted)
                continue;
            slot.bCompleted = false;
            --nRunning;
            if (slot.status == S3StatusOK) {
                nConnectionFailuresInARow = 0;
                finish(slot, true);
                continue;
            }
            nConnectionFailuresInARow =
                isConnectionFailure(slot.status, slot.strCode) ? nConnectionFailuresInARow + 1 : 0;
            if (slot.status == S3StatusErrorBadDigest || slot.strCode == "BadDigest")
                slot.lines.push_back("file changed during the run: " + slot.item->strPath);
            if (!bStopped && slot.nTries <= settings.nRetries &&
                (isRetryableOutcome(slot.status, slot.strCode.c_str()) ||
                 isConnectionFailure(slot.status, slot.strCode))) {
                double delay = retryDelaySeconds(slot.nTries - 1);
                char sz[160];
                std::snprintf(sz, sizeof sz, "retry %d of %d in %.2f s: ", slot.nTries,
                              settings.nRetries, delay);
                std::string strWhy = slot.strCode.empty() ? S3_get_status_name(slot.status)
                                                          : slot.strCode;
                slot.lines.push_back(sz + strWhy + " key:" + slot.item->strKey);
                slot.retryAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(delay));
                slot.bWaiting = true;
            } else {
                finish(slot, false);
            }
        }
        if (!bStopped && nConnectionFailuresInARow >= kConnectionFailuresToStop) {
            bStopped = true;
            printLine("stopped sending: " + std::to_string(kConnectionFailuresToStop) +
                      " uploads in a row could not reach the store");
        }
        // Print every block whose earlier blocks are all out.
        while (nextPrint < slots.size() && slots[nextPrint].bDone) {
            for (const std::string &strLine : slots[nextPrint].lines)
                printLine(strLine);
            slots[nextPrint].lines.clear();
            ++nextPrint;
        }
        // Start what is due: retries first, then new files in key order.
        Clock::time_point now = Clock::now();
        Clock::time_point nextDue = Clock::time_point::max();
        for (Slot &slot : slots) {
            if (!slot.bWaiting)
                continue;
            if (bStopped) {
                slot.bWaiting = false;
                finish(slot, false);
            } else if (slot.retryAt <= now && nRunning < nJobs) {
                slot.bWaiting = false;
                start(slot);
            } else {
                nextDue = std::min(nextDue, slot.retryAt);
            }
        }
        while (nRunning < nJobs && nextNew < slots.size()) {
            Slot &slot = slots[nextNew++];
            if (bStopped)
                finish(slot, false);
            else
                start(slot);
        }
        if (nextPrint < slots.size() && slots[nextPrint].bDone)
            continue;
        if (nRunning == 0) {
            if (nextDue == Clock::time_point::max())
                continue;
            std::this_thread::sleep_until(nextDue);
            continue;
        }
        int nRemaining = 0;
        if (S3_runonce_request_context(rc, &nRemaining) != S3StatusOK)
            break;
        bool bEnded = std::any_of(slots.begin(), slots.end(),
                                  [](const Slot &s) { return s.bCompleted; });
        if (bEnded)
            continue;
        fd_set readSet, writeSet, exceptSet;
        FD_ZERO(&readSet);
        FD_ZERO(&writeSet);
        FD_ZERO(&exceptSet);
        int maxFd = -1;
        S3_get_request_context_fdsets(rc, &readSet, &writeSet, &exceptSet, &maxFd);
        int64_t waitMs = S3_get_request_context_timeout(rc);
        if (waitMs < 0 || waitMs > 100)
            waitMs = 100;
        if (nextDue != Clock::time_point::max()) {
            auto untilDue = std::chrono::duration_cast<std::chrono::milliseconds>(nextDue - now);
            waitMs = std::max<int64_t>(0, std::min<int64_t>(waitMs, untilDue.count()));
        }
        struct timeval tv = {static_cast<time_t>(waitMs / 1000),
                             static_cast<suseconds_t>((waitMs % 1000) * 1000)};
        if (maxFd >= 0)
            select(maxFd + 1, &readSet, &writeSet, &exceptSet, &tv);
        else if (waitMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(waitMs, 10)));
    }
    S3_destroy_request_context(rc);
    // A broken context leaves the rest unsent: those count as failures.
    for (std::size_t i = nextPrint; i < slots.size(); ++i) {
        if (!slots[i].bDone)
            finish(slots[i], false);
        for (const std::string &strLine : slots[i].lines)
            printLine(strLine);
    }
    return totals;
}
