// compress.h - the content encodings a rule may ask for, gzip (zlib) and br
// (brotli), made the same way every time: no file name, no time, a fixed level,
// so the same bytes always give the same body and the same digest.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The encodings a rule may name, by their Content-Encoding value.
bool isKnownContentEncoding(const std::string &strEncoding);

// Fixed levels: zlib's best (9) for gzip, brotli quality 9 with its default
// window (quality 11 costs several times the time for a few per cent).
constexpr int kGzipLevel = 9;
constexpr int kBrotliQuality = 9;

// A file's bytes read once and encoded: the plain bytes' digest and size, and
// the encoded bytes' digest and size (what is sent and what the store's ETag
// is of). strBody holds the encoded bytes when asked for.
struct EncodedFile {
    std::string strPlainMd5Hex;
    uint64_t plainSize = 0;
    std::string strMd5Hex;
    uint64_t size = 0;
    std::string strBody;
};

// Reads the open file fd from where it stands to its end and encodes it with
// strEncoding ("gzip" or "br"). bKeepBody: also keep the encoded bytes (else
// only their digest and size; memory then stays bounded). False when the file
// cannot be read or the library fails.
bool encodeFile(int fd, const std::string &strEncoding, bool bKeepBody, EncodedFile &out);

// The same, writing the encoded bytes to the open file fdOut (from where it
// stands) instead of keeping them; stop (may be empty), asked before each
// block is read, ends the encoding early when it says so. False then, and
// when a write fails.
bool encodeFileTo(int fd, const std::string &strEncoding, int fdOut, EncodedFile &out,
                  const std::function<bool()> &stop = std::function<bool()>());

// The same over bytes in memory.
bool encodeBytes(const std::string &strPlain, const std::string &strEncoding, EncodedFile &out);
