// compress.cpp - gzip and brotli encoders over a stream of plain bytes, each
// output block going to an MD5 and, when wanted, to memory.
#include "compress.h"

#include <unistd.h>

#include <brotli/encode.h>
#include <zlib.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "myS3Common.h"

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

// Where encoded bytes go: a digest, a count, and maybe the body (in memory,
// or written to a file).
class Sink {
public:
    Sink(EncodedFile &out, bool bKeep, int fdOut) : out(out), bKeep(bKeep), fdOut(fdOut), md5(true) {}
    void put(const unsigned char *p, std::size_t n)
    {
        if (n == 0)
            return;
        md5.update(p, n);
        out.size += n;
        if (bKeep)
            out.strBody.append(reinterpret_cast<const char *>(p), n);
        while (fdOut >= 0 && n > 0 && !bWriteFailed) {
            const ssize_t w = ::write(fdOut, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                bWriteFailed = true;
                break;
            }
            p += w;
            n -= static_cast<std::size_t>(w);
        }
    }
    void finish() { out.strMd5Hex = md5.finalize(); }
    bool failed() const { return bWriteFailed; }

private:
    EncodedFile &out;
    bool bKeep;
    int fdOut;
    bool bWriteFailed = false;
    MyMD5 md5;
};

// One encoder: feed(plain bytes, last?) writes what it can into the sink.
class Encoder {
public:
    virtual ~Encoder() = default;
    virtual bool ok() const = 0;
    virtual bool feed(const unsigned char *p, std::size_t n, bool bLast, Sink &sink) = 0;
};

class GzipEncoder : public Encoder {
public:
    GzipEncoder()
    {
        // 15 + 16: a gzip wrapper; its header gets no name and time 0.
        bOk = deflateInit2(&zs, kGzipLevel, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~GzipEncoder() override
    {
        if (bOk)
            deflateEnd(&zs);
    }
    bool ok() const override { return bOk; }
    bool feed(const unsigned char *p, std::size_t n, bool bLast, Sink &sink) override
    {
        zs.next_in = const_cast<unsigned char *>(p);
        zs.avail_in = static_cast<uInt>(n);
        unsigned char block[kBlockSize];
        int rc;
        do {
            zs.next_out = block;
            zs.avail_out = sizeof block;
            rc = deflate(&zs, bLast ? Z_FINISH : Z_NO_FLUSH);
            if (rc == Z_STREAM_ERROR)
                return false;
            sink.put(block, sizeof block - zs.avail_out);
        } while (zs.avail_out == 0 || (bLast && rc != Z_STREAM_END));
        return true;
    }

private:
    z_stream zs = {};
    bool bOk = false;
};

class BrotliEncoder : public Encoder {
public:
    BrotliEncoder() : state(BrotliEncoderCreateInstance(nullptr, nullptr, nullptr))
    {
        bOk = state && BrotliEncoderSetParameter(state, BROTLI_PARAM_QUALITY, kBrotliQuality) &&
              BrotliEncoderSetParameter(state, BROTLI_PARAM_LGWIN, BROTLI_DEFAULT_WINDOW);
    }
    ~BrotliEncoder() override
    {
        if (state)
            BrotliEncoderDestroyInstance(state);
    }
    bool ok() const override { return bOk; }
    bool feed(const unsigned char *p, std::size_t n, bool bLast, Sink &sink) override
    {
        std::size_t availIn = n;
        const uint8_t *nextIn = p;
        const BrotliEncoderOperation op = bLast ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_PROCESS;
        unsigned char block[kBlockSize];
        for (;;) {
            std::size_t availOut = sizeof block;
            uint8_t *nextOut = block;
            if (!BrotliEncoderCompressStream(state, op, &availIn, &nextIn, &availOut, &nextOut, nullptr))
                return false;
            sink.put(block, sizeof block - availOut);
            const bool bDone = bLast ? BrotliEncoderIsFinished(state) != 0
                                     : availIn == 0 && !BrotliEncoderHasMoreOutput(state);
            if (bDone)
                return true;
        }
    }

private:
    BrotliEncoderState *state;
    bool bOk = false;
};

std::unique_ptr<Encoder> makeEncoder(const std::string &strEncoding)
{
    if (strEncoding == "gzip")
        return std::make_unique<GzipEncoder>();
    if (strEncoding == "br")
        return std::make_unique<BrotliEncoder>();
    return nullptr;
}

// Runs the encoder over the blocks read(buffer, size) gives (0 at the end,
// -1 on an error).
bool encodeStream(const std::function<ssize_t(unsigned char *, std::size_t)> &read,
                  const std::string &strEncoding, bool bKeepBody, EncodedFile &out, int fdOut = -1)
{
    out = EncodedFile();
    std::unique_ptr<Encoder> encoder = makeEncoder(strEncoding);
    if (!encoder || !encoder->ok())
        return false;
    Sink sink(out, bKeepBody, fdOut);
    MyMD5 plain(true);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBlockSize]);
    for (;;) {
        const ssize_t n = read(buffer.get(), kBlockSize);
        if (n < 0)
            return false;
        plain.update(buffer.get(), static_cast<std::size_t>(n));
        out.plainSize += static_cast<uint64_t>(n);
        if (!encoder->feed(buffer.get(), static_cast<std::size_t>(n), n == 0, sink) || sink.failed())
            return false;
        if (n == 0)
            break;
    }
    sink.finish();
    out.strPlainMd5Hex = plain.finalize();
    return true;
}

} // namespace

bool isKnownContentEncoding(const std::string &strEncoding)
{
    return strEncoding == "gzip" || strEncoding == "br";
}

bool encodeFile(int fd, const std::string &strEncoding, bool bKeepBody, EncodedFile &out)
{
    return encodeStream(
        [fd](unsigned char *p, std::size_t n) {
            ssize_t got;
            do {
                got = ::read(fd, p, n);
            } while (got < 0 && errno == EINTR);
            return got;
        },
        strEncoding, bKeepBody, out);
}

bool encodeFileTo(int fd, const std::string &strEncoding, int fdOut, EncodedFile &out,
                  const std::function<bool()> &stop)
{
    return encodeStream(
        [fd, &stop](unsigned char *p, std::size_t n) -> ssize_t {
            if (stop && stop())
                return -1;
            ssize_t got;
            do {
                got = ::read(fd, p, n);
            } while (got < 0 && errno == EINTR);
            return got;
        },
        strEncoding, false, out, fdOut);
}

bool encodeBytes(const std::string &strPlain, const std::string &strEncoding, EncodedFile &out)
{
    std::size_t pos = 0;
    return encodeStream(
        [&strPlain, &pos](unsigned char *p, std::size_t n) {
            const std::size_t take = std::min(n, strPlain.size() - pos);
            strPlain.copy(reinterpret_cast<char *>(p), take, pos);
            pos += take;
            return static_cast<ssize_t>(take);
        },
        strEncoding, true, out);
}
