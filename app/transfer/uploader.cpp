// uploader.cpp - one file's upload as a job of the run's request runner: the
// file opened (never through a link) and held to the scan's record, its body
// read or encoded, its block of lines, and what the store answered.
#include "uploader.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "compress.h"
#include "encoded_body.h"
#include "events.h"
#include "in_parts.h"
#include "console.h"
#include "mime.h"
#include "myPutObj.h"
#include "myS3Common.h"
#include "outcome_lines.h"
#include "part_reader.h"
#include "progress.h"
#include "request_runner.h"
#include "site_policy.h"
#include "stale_uploads.h"

namespace {

using Clock = std::chrono::steady_clock;

// A SIGINT, SIGTERM or SIGHUP that came while uploads in parts were open: the
// transfers stop, the open uploads are given up, and the process then ends as
// the signal would have ended it.
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<int> g_nStopSignal{0};

void onStopSignal(int sig) { g_nStopSignal.store(sig); }

bool stopRequested() { return g_nStopSignal.load() != 0; }

// Catches the stop signals while it lives; then ends the process with the
// one that came, if any, after the previous handlers are back.
class StopSignals {
public:
    explicit StopSignals(bool bWanted) : bInstalled(bWanted)
    {
        if (!bInstalled)
            return;
        g_nStopSignal.store(0);
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i)
            sigaction(kStopSignals[i], &action, &previous[i]);
    }
    ~StopSignals()
    {
        if (!bInstalled)
            return;
        for (std::size_t i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i)
            sigaction(kStopSignals[i], &previous[i], nullptr);
        const int sig = g_nStopSignal.exchange(0);
        if (sig != 0)
            raise(sig);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    bool bInstalled;
    struct sigaction previous[sizeof kStopSignals / sizeof kStopSignals[0]];
};

struct Slot;

// One part of a file sent in parts, a job of the run's request runner: its
// bytes are read from the file where they lie, its digest when it is first
// readied, and it is retried on its own with a life limit of its own. Its
// lines join its file's block.
struct PartJob : public RunnerJob {
    Slot *file = nullptr;
    int nNumber = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t nGiven = 0;
    std::string strMd5Base64;
    std::string strETag;
    bool bChanged = false;
    int nReadErrno = 0;
    bool bExpired = false;
    bool bStopped = false; // given up because the file failed or a stop signal came
    Clock::time_point lifeEnd;
    S3PutProperties properties;

    bool prepareTry() override;
    void sendTry(S3RequestContext *rc) override;
    Settled settle() override;
    void finish(bool bOk) override;
    std::string retrySubject() const override;
    Clock::time_point deadline() const override { return lifeEnd; }
    std::string outOfTimeLine() const override;
    void retryScheduled() override;
    void notSent() override { finish(false); }
    void print() override {}
};

// One file's upload, a job of the run's request runner.
struct Slot : public RunnerJob, public InParts {
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
    bool bEncoded = false;            // the body is the file encoded, in bodyFd
    int bodyFd = -1;                  // the encoded body in a scratch file, kept for every try
    uint64_t bodySize = 0;            // bytes sent
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

    // A file sent in parts: begun (create), its parts sent as jobs of their
    // own while this job waits, then joined (complete); given up (abort)
    // when anything fails, so that no unfinished upload is left.
    enum class Stage { Single, Create, Parts, Complete };
    Stage stage = Stage::Single;
    uint64_t partSize = 0;
    std::unique_ptr<PartJob[]> parts;
    std::vector<std::string> partMd5s; // each part's base64 MD5, read before the create

    // Readying the body before the first request: a file under a compressing
    // rule is encoded, and a body that goes up in parts read for its parts'
    // digests, on the runner's worker thread (readBody).
    enum class Ready { Done, Aside, Failed };
    Ready readyBody();
    void readBody(const std::atomic<bool> &bCancel);
    bool bHeaded = false;   // the block's head is in lines
    bool bAsked = false;    // readBody was handed to the worker
    bool bReady = false;    // the body is ready (or failed)
    bool bBodyRead = false; // readBody got through
    bool bReadStopped = false;
    int nEncodeErrno = 0;   // why encoding failed, when a call said
    int bodySource() const { return bodyFd >= 0 ? bodyFd : fd; }

    bool prepareTry() override;
    void sendTry(S3RequestContext *rc) override;
    Settled settle() override;
    Next succeeded() override;
    void finish(bool bOk) override;
    std::string retrySubject() const override { return " key:" + consoleText(item->strKey); }
    std::string retryKey() const override { return item->strKey; }
    // Readies the next request of a file in parts; false when the job ended.
    bool prepareParts();
    // Gives up the open upload in parts (one request of its own, bounded by
    // the request time limit, tried again once when worth it).
    void abortUpload();
    // Told by each part as it ends.
    void partEnded(PartJob &part, bool bOk);

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
    // The same for a part that found the file changed or unreadable: the
    // file fails, and the line is given once ("" after that).
    std::string fileFailureLine(bool bChangedFile, int nErrno);
    bool bFailureSaid = false;
    // The block's head: the lead lines and "upload:PATH ; KEY".
    void blockHead()
    {
        bHeaded = true;
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
    static_cast<Slot *>(callbackData)->strETag = unquotedETag(prop ? prop->eTag : nullptr);
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
    if (stopRequested())
        return -1;
    ssize_t n;
    do {
        n = ::read(slot.bodySource(), buffer, static_cast<std::size_t>(std::max(bufferSize, 0)));
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
    if (slot.bodyFd < 0 && slot.nGiven >= slot.item->size &&
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
    if (::lseek(slot.bodySource(), 0, SEEK_SET) != 0)
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

void Slot::finish(bool bOk)
{
    if (!bOk && !strUploadId.empty())
        abortUpload();
    closeFile(*this);
    if (bodyFd >= 0) {
        ::close(bodyFd);
        bodyFd = -1;
    }
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

// The end of a file's create or complete: the block shows the outcome of
// the whole upload ("succeed" once it is joined) and every failure.
void stageCompleteCallback(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    Slot &slot = *static_cast<Slot *>(callbackData);
    if (status != S3StatusOK || slot.stage == Slot::Stage::Complete) {
        std::vector<std::string> lines = outcomeLines(status, details, slot.hints, slot.bSentStorageClass);
        slot.lines.insert(slot.lines.end(), lines.begin(), lines.end());
    }
    slot.tryEnded(status, details);
}

// The part's bytes, read where they lie in the file opened for the upload.
// A file that ends early or has grown is not the scanned one; past the part's
// life limit, after a stop signal, or once another part failed, the request
// is abandoned.
int partDataCallback(int bufferSize, char *buffer, void *callbackData)
{
    PartJob &part = *static_cast<PartJob *>(callbackData);
    Slot &file = *part.file;
    if (Clock::now() > part.lifeEnd) {
        part.bExpired = true;
        return -1;
    }
    if (file.bPartFailed || stopRequested()) {
        part.bStopped = true;
        return -1;
    }
    const std::size_t want =
        static_cast<std::size_t>(std::min<uint64_t>(static_cast<uint64_t>(std::max(bufferSize, 0)),
                                                    part.size - part.nGiven));
    if (want == 0)
        return 0;
    ssize_t n;
    do {
        n = ::pread(file.bodySource(), buffer, want, static_cast<off_t>(part.offset + part.nGiven));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        part.nReadErrno = errno;
        return -1;
    }
    if (n == 0) {
        part.bChanged = true;
        return -1;
    }
    part.nGiven += static_cast<uint64_t>(n);
    if (file.observer) file.observer->bodyBytes(n);
    struct stat st;
    if (part.nGiven == part.size && file.bodyFd < 0 &&
        (::fstat(file.fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != file.item->size)) {
        part.bChanged = true;
        return -1;
    }
    return static_cast<int>(n);
}

int partRewindCallback(void *callbackData)
{
    PartJob &part = *static_cast<PartJob *>(callbackData);
    if (part.file->observer) part.file->observer->bodyBytes(-static_cast<int64_t>(part.nGiven));
    part.nGiven = 0;
    return 0;
}

S3Status partAnswerCallback(const S3ResponseProperties *prop, void *callbackData)
{
    static_cast<PartJob *>(callbackData)->strETag = prop && prop->eTag ? prop->eTag : "";
    return S3StatusOK;
}

// A part's failed tries show in its file's block; a sent part says nothing.
void partCompleteCallback(S3Status status, const S3ErrorDetails *details, void *callbackData)
{
    PartJob &part = *static_cast<PartJob *>(callbackData);
    partTryEnded(part, !part.strETag.empty(), status, details, part.file->hints, part.file->bSentStorageClass);
}

bool PartJob::prepareTry()
{
    if (file->bPartFailed || stopRequested()) {
        bStopped = true;
        finish(false);
        return false;
    }
    if (tries() == 0) {
        lifeEnd = Clock::now() + file->life;
        strMd5Base64 = file->partMd5s[static_cast<std::size_t>(nNumber - 1)];
    }
    if (file->observer) file->observer->bodyBytes(-static_cast<int64_t>(nGiven));
    nGiven = 0;
    strETag.clear();
    std::memset(&properties, 0, sizeof properties);
    properties.expires = -1;
    properties.md5 = strMd5Base64.c_str();
    return true;
}

void PartJob::sendTry(S3RequestContext *rc)
{
    S3PutObjectHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.responseHandler.completeCallback = partCompleteCallback;
    handler.putObjectDataCallback = partDataCallback;
    handler.putObjectRewindCallback = partRewindCallback;
    handler.putObjectAnswerCallback = partAnswerCallback;
    const S3BucketContext now = sending(*file->ctx);
    S3_upload_part(&now, file->item->strKey.c_str(), &properties, &handler, nNumber,
                   file->strUploadId.c_str(), size, rc, this);
}

// A part whose bytes the store refused, or that could not be read, fails its
// file without a retry; so does one stopped because the file failed.
RunnerJob::Settled PartJob::settle()
{
    if (status() == S3StatusErrorBadDigest || code() == "BadDigest")
        bChanged = true;
    if (bChanged || nReadErrno) {
        const std::string strLine = file->fileFailureLine(bChanged, nReadErrno);
        if (!strLine.empty())
            lines.push_back(strLine);
        return Settled::OwnFailure;
    }
    if (bStopped)
        return Settled::OwnFailure;
    return bExpired ? Settled::OutOfTime : Settled::No;
}

void PartJob::finish(bool bOk)
{
    file->lines.insert(file->lines.end(), lines.begin(), lines.end());
    lines.clear();
    file->partEnded(*this, bOk);
}

std::string PartJob::retrySubject() const
{
    return " key:" + consoleText(file->item->strKey) + " part " + std::to_string(nNumber);
}

std::string PartJob::outOfTimeLine() const
{
    return "upload of part " + std::to_string(nNumber) + " took longer than its limit of " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(file->life).count()) +
           " s: " + consoleText(file->item->strPath);
}

void PartJob::retryScheduled()
{
    if (file->observer) file->observer->retryDue();
}

bool Slot::prepareParts()
{
    if (stage == Stage::Create) {
        if (tries() == 0 && stopRequested()) {
            fail("not sent: stopped by a signal");
            return false;
        }
        lifeEnd = Clock::now() + life;
        strUploadId.clear();
        headers = itemHeaders(*settings, *item);
        headers.strContentType = strContentType;
        // The same headers a single upload sends; the client leaves out the
        // body's Content-MD5, which each part carries for its own bytes.
        fillPutProperties(headers, strMd5Base64.c_str(), strMd5Hex.c_str(), meta, properties);
        bSentStorageClass = !headers.strStorageClass.empty();
        return true;
    }
    if (stage == Stage::Parts) {
        // Every part has ended.
        if (bPartFailed || stopRequested()) {
            if (stopRequested() && !bPartFailed)
                lines.push_back("not sent: stopped by a signal");
            finish(false);
            return false;
        }
        listParts(parts.get());
        stage = Stage::Complete;
    }
    if (tries() == 0)
        lifeEnd = Clock::now() + life;
    strETag.clear();
    return true;
}

RunnerJob::Next Slot::succeeded()
{
    if (stage != Stage::Create)
        return Next::Done;
    stage = Stage::Parts;
    parts.reset(new PartJob[static_cast<std::size_t>(nParts)]);
    for (int i = 0; i < nParts; ++i) {
        PartJob &part = parts[static_cast<std::size_t>(i)];
        part.file = this;
        part.nNumber = i + 1;
        part.offset = static_cast<uint64_t>(i) * partSize;
        part.size = std::min<uint64_t>(partSize, bodySize - part.offset);
    }
    for (int i = 0; i < nParts; ++i)
        spawn(parts[static_cast<std::size_t>(i)]);
    return Next::Wait;
}

void Slot::partEnded(PartJob &, bool bOk)
{
    if (InParts::partEnded(bOk))
        resume();
}

void Slot::abortUpload()
{
    lines.push_back(giveUp(sending(*ctx), item->strKey));
}

// A file the run gave up on before (another) try: its whole block, and why.
void Slot::notSent()
{
    if (!bHeaded)
        blockHead();
    fail(notSentLine());
}

bool Slot::prepareTry()
{
    if (!bReady) {
        const Ready ready = readyBody();
        if (ready != Ready::Done)
            return ready == Ready::Aside;
    }
    // A file in parts comes back with its tries counted anew for each stage.
    if (stage != Stage::Single)
        return prepareParts();
    if (bodyFd >= 0) {
        // The encoded body: every try sends the same bytes from the start.
        if (::lseek(bodyFd, 0, SEEK_SET) != 0) {
            fail("cannot encode: " + consoleText(item->strPath) + " (" + std::strerror(errno) + ")");
            return false;
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

// Before the first request: a plain file below the threshold whose digest the
// scan gave is ready at once; any other is opened here (held to the scan's
// record) and read on the worker thread (readBody), after which this is
// called again to see how that went.
Slot::Ready Slot::readyBody()
{
    if (!bAsked) {
        blockHead();
        strContentType = itemHeaders(*settings, *item).strContentType;
        bEncoded = !item->strContentEncoding.empty();
        bodySize = item->size;
        strMd5Hex = item->strMd5Hex;
        if (!bEncoded && item->size <= settings->multipartThreshold && !strMd5Hex.empty()) {
            bReady = true;
            if (!md5HexToBase64(strMd5Hex, strMd5Base64)) {
                finish(false);
                return Ready::Failed;
            }
            return Ready::Done;
        }
        if (stopRequested()) {
            fail("not sent: stopped by a signal");
            return Ready::Failed;
        }
        fd = openScannedFile(*this);
        if (fd < 0) {
            fail(fileFailureLine());
            return Ready::Failed;
        }
        bAsked = true;
        runAside([this](const std::atomic<bool> &bCancel) { readBody(bCancel); });
        return Ready::Aside;
    }
    bReady = true;
    if (!bBodyRead) {
        closeFile(*this);
        if (bReadStopped)
            fail("not sent: stopped by a signal");
        else if (bEncoded && !bChanged && nReadErrno == 0)
            fail("cannot encode: " + consoleText(item->strPath) +
                 (nEncodeErrno ? std::string(" (") + std::strerror(nEncodeErrno) + ")" : std::string()));
        else
            fail(fileFailureLine());
        return Ready::Failed;
    }
    if (bEncoded && observer)
        observer->sizeChanged(static_cast<int64_t>(bodySize) - static_cast<int64_t>(item->size));
    if (!md5HexToBase64(strMd5Hex, strMd5Base64)) {
        finish(false);
        return Ready::Failed;
    }
    if (bodySize > settings->multipartThreshold)
        stage = Stage::Create;
    // A single upload opens the file anew for each try; parts of a plain
    // file read it where it lies, through the descriptor opened here.
    if (stage == Stage::Single || bEncoded)
        closeFile(*this);
    return Ready::Done;
}

// On the worker thread; touches only the slot's body state. The plain bytes
// must be the scanned ones (same size, and the scan's digest when there is
// one), else bChanged; an encoded body is written to a scratch file, so that
// no file is ever held whole in memory and every try sends the same bytes.
void Slot::readBody(const std::atomic<bool> &bCancel)
{
    const std::function<bool()> stop = [&bCancel] { return bCancel.load() || stopRequested(); };
    if (bEncoded) {
        EncodedFile encoded;
        if (!encodeToScratch(fd, item->strContentEncoding, bodyFd, encoded, nEncodeErrno, stop)) {
            bReadStopped = stop();
            return;
        }
        if (encoded.plainSize != item->size ||
            (!item->strMd5Hex.empty() && encoded.strPlainMd5Hex != item->strMd5Hex)) {
            bChanged = true;
            return;
        }
        bodySize = encoded.size;
        strMd5Hex = encoded.strMd5Hex;
    }
    const bool bInParts = bodySize > settings->multipartThreshold;
    if (bInParts) {
        partSize = partSizeFor(bodySize, settings->partSize);
        nParts = static_cast<int>((bodySize + partSize - 1) / partSize);
    }
    if (bInParts || strMd5Hex.empty()) {
        // One read gives every part's Content-MD5 and the whole digest,
        // which must be the scan's: a change after it is refused by the
        // store as the part's bad digest.
        std::string strWholeHex;
        switch (digestParts(bodySource(), bodySize, bInParts ? partSize : bodySize + 1, partMd5s,
                            strWholeHex, nReadErrno, stop)) {
        case PartsRead::Ok:
            break;
        case PartsRead::Short:
            bChanged = true;
            return;
        case PartsRead::Error:
            return;
        case PartsRead::Stopped:
            bReadStopped = true;
            return;
        }
        if (!strMd5Hex.empty() && strWholeHex != strMd5Hex) {
            bChanged = true;
            return;
        }
        strMd5Hex = strWholeHex;
    }
    bBodyRead = true;
}

void Slot::sendTry(S3RequestContext *rc)
{
    const S3BucketContext now = sending(*ctx);
    if (stage == Stage::Create) {
        const S3MultipartInitialHandler handler = {{nullptr, stageCompleteCallback}, uploadBegun<Slot>};
        S3_initiate_multipart(&now, item->strKey.c_str(), &properties, rc, &handler, this);
        return;
    }
    if (stage == Stage::Complete) {
        const S3MultipartCompleteHandler handler = {{nullptr, stageCompleteCallback}, uploadJoined<Slot>};
        S3_complete_multipart_upload(&now, item->strKey.c_str(), strUploadId.c_str(), nParts,
                                     partList.data(), rc, &handler, this);
        return;
    }
    S3PutObjectHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.responseHandler.propertiesCallback = propertiesCallback;
    handler.responseHandler.completeCallback = completeCallback;
    handler.putObjectDataCallback = dataCallback;
    handler.putObjectRewindCallback = rewindCallback;
    handler.putObjectAnswerCallback = answerCallback;
    S3_put_object(&now, item->strKey.c_str(), bodySize, &properties, rc, &handler, this);
}

std::string Slot::fileFailureLine()
{
    if (!bChanged)
        return cannotReadLine(item->strPath, nReadErrno);
    totals->staleKeys.push_back(item->strKey);
    return "file changed during the run: " + consoleText(item->strPath);
}

std::string Slot::fileFailureLine(bool bChangedFile, int nErrno)
{
    bPartFailed = true;
    if (bFailureSaid)
        return "";
    bFailureSaid = true;
    bChanged = bChangedFile;
    nReadErrno = nErrno;
    return fileFailureLine();
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

uint64_t partSizeFor(uint64_t size, uint64_t setting)
{
    if (size <= setting * S3_MAX_PART_COUNT)
        return setting;
    const uint64_t least = (size + S3_MAX_PART_COUNT - 1) / S3_MAX_PART_COUNT;
    return (least + kMiB - 1) / kMiB * kMiB;
}

void applyRules(const std::vector<CacheRule> &rules, const std::string &strSitePath, UploadItem &item)
{
    item.strCacheControl.clear();
    item.strContentType.clear();
    item.strContentEncoding.clear();
    item.rule = CacheRule();
    if (const CacheRule *rule = findCacheRule(rules, strSitePath)) {
        item.strCacheControl = rule->strCacheControl;
        item.strContentType = rule->strContentType;
        item.strContentEncoding = rule->strContentEncoding;
        item.rule = *rule;
        if (!rule->strAcl.empty() && !isPersonalKey(strSitePath))
            cannedAclByName(rule->strAcl, item.acl);
    }
}

ObjectHeaders itemHeaders(const Settings &settings, const UploadItem &item)
{
    ObjectHeaders headers =
        objectHeaders(settings, item.acl,
                      item.strContentType.empty() ? getFileContentType(item.strPath) : item.strContentType,
                      item.strCacheControl, item.strContentEncoding);
    const CacheRule &rule = item.rule;
    headers.strContentDisposition = rule.strContentDisposition;
    headers.strContentLanguage = rule.strContentLanguage;
    headers.expires = rule.expires;
    headers.metadata = rule.metadata;
    if (!rule.strStorageClass.empty())
        headers.strStorageClass = rule.strStorageClass == "none" ? "" : rule.strStorageClass;
    return headers;
}

namespace {

// The uploads of a source as jobs of the runner: each file's upload and its
// job made as the runner takes it, and let go once its block is out.
class SlotFeed : public JobFeed {
public:
    SlotFeed(Session &session, const S3BucketContext &ctx, const std::string &strBucket,
             UploadSource &source, UploadTotals &totals, TransferObserver *observer)
        : session(session), ctx(ctx), strBucket(strBucket), source(source), totals(totals),
          observer(observer), live(source.count()),
          life(std::chrono::seconds(uploadLifeSeconds(session.settings().nRequestTimeout,
                                                      session.settings().nRetries)))
    {
    }

    std::size_t count() const override { return live.size(); }

    RunnerJob &make(std::size_t i) override
    {
        live[i].reset(new Live);
        Live &one = *live[i];
        one.item = source.make(i);
        Slot &slot = one.slot;
        slot.item = &one.item;
        slot.ctx = &ctx;
        slot.strBucket = &strBucket;
        slot.settings = &session.settings();
        slot.totals = &totals;
        slot.life = life;
        slot.hints = &session.hints();
        slot.observer = observer;
        return slot;
    }

    void giveBack(std::size_t i) override
    {
        source.ended(i, live[i]->item);
        live[i].reset();
    }

private:
    struct Live {
        UploadItem item;
        Slot slot;
    };
    Session &session;
    const S3BucketContext &ctx;
    const std::string &strBucket;
    UploadSource &source;
    UploadTotals &totals;
    TransferObserver *observer;
    std::vector<std::unique_ptr<Live>> live; // null: not made yet, or given back
    const Clock::duration life;
};

// The items of a list as a source: each copied when made, what it learnt
// copied back.
class ListSource : public UploadSource {
public:
    explicit ListSource(std::vector<UploadItem> &items) : items(items) {}
    std::size_t count() const override { return items.size(); }
    std::string key(std::size_t i) const override { return items[i].strKey; }
    uint64_t size(std::size_t i) const override { return items[i].size; }
    bool encoded(std::size_t i) const override { return !items[i].strContentEncoding.empty(); }
    UploadItem make(std::size_t i) override { return items[i]; }
    void ended(std::size_t i, const UploadItem &item) override
    {
        items[i].bStored = item.bStored;
        items[i].strSentMd5Hex = item.strSentMd5Hex;
        items[i].sentSize = item.sentSize;
        items[i].strETag = item.strETag;
    }

private:
    std::vector<UploadItem> &items;
};

} // namespace

UploadTotals uploadItems(Session &session, const S3BucketContext &ctx,
                         const std::string &strBucket, std::vector<UploadItem> &items)
{
    ListSource source(items);
    return uploadFrom(session, ctx, strBucket, source);
}

UploadTotals uploadFrom(Session &session, const S3BucketContext &ctx, const std::string &strBucket,
                        UploadSource &source)
{
    const Settings &settings = session.settings();
    const std::size_t nFiles = source.count();
    if (session.wantsChangeIntent()) {
        std::vector<std::string> keys;
        keys.reserve(nFiles);
        for (std::size_t i = 0; i < nFiles; ++i)
            keys.push_back(source.key(i));
        session.aboutToChange(keys);
    }
    UploadTotals totals;
    TransferObserver *observer = nFiles == 0 ? nullptr : session.transferObserver();
    uint64_t nBytes = 0;
    // An encoded body may come out a little larger than the file (incompressible
    // bytes): it counts as possibly in parts near the threshold.
    bool bAnyInParts = false;
    for (std::size_t i = 0; i < nFiles; ++i) {
        const uint64_t size = source.size(i);
        nBytes += size;
        bAnyInParts = bAnyInParts ||
                      size + (source.encoded(i) ? size / 256 + 1024 : 0) > settings.multipartThreshold;
    }
    if (observer)
        observer->transfersBegin(nFiles, nBytes);
    {
        // Uploads in parts are given up on a stop signal, not left behind.
        StopSignals stopSignals(bAnyInParts);
        SlotFeed feed(session, ctx, strBucket, source, totals, observer);
        RequestRunner runner(session, feed, observer);
        if (!runner.run()) {
            // Nothing was sent; each file counts as failed once.
            totals = UploadTotals();
            totals.nFailed = static_cast<long>(nFiles);
        }
    }
    totals.nMostInFlight = session.governor().mostInFlight();
    if (observer)
        observer->transfersEnd();
    return totals;
}
