// The encoders a rule may ask for: what they make decodes to the file's
// bytes, is the same every time and from a file or memory alike, and says
// nothing of when or from which file it was made.
#include "compress.h"
#include "myS3Common.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <brotli/decode.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <string>

namespace {

std::string md5Hex(const std::string &bytes)
{
    MyMD5 md5(true);
    md5.update(bytes);
    return md5.finalize();
}

std::string decode(const std::string &strEncoding, const std::string &bytes)
{
    std::string out;
    if (strEncoding == "gzip") {
        z_stream zs = {};
        if (inflateInit2(&zs, 15 + 16) != Z_OK)
            return "<init>";
        zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
        zs.avail_in = static_cast<uInt>(bytes.size());
        int rc = Z_OK;
        while (rc == Z_OK) {
            char block[4096];
            zs.next_out = reinterpret_cast<Bytef *>(block);
            zs.avail_out = sizeof block;
            rc = inflate(&zs, Z_NO_FLUSH);
            out.append(block, sizeof block - zs.avail_out);
        }
        inflateEnd(&zs);
        return rc == Z_STREAM_END && zs.avail_in == 0 ? out : "<bad gzip>";
    }
    BrotliDecoderState *state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    std::size_t availIn = bytes.size();
    const uint8_t *nextIn = reinterpret_cast<const uint8_t *>(bytes.data());
    BrotliDecoderResult rc;
    do {
        uint8_t block[4096];
        std::size_t availOut = sizeof block;
        uint8_t *nextOut = block;
        rc = BrotliDecoderDecompressStream(state, &availIn, &nextIn, &availOut, &nextOut, nullptr);
        out.append(reinterpret_cast<char *>(block), sizeof block - availOut);
    } while (rc == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT);
    BrotliDecoderDestroyInstance(state);
    return rc == BROTLI_DECODER_RESULT_SUCCESS && availIn == 0 ? out : "<bad br>";
}

// Bytes that do not compress: a simple generator, the same on every run.
std::string noise(std::size_t n)
{
    std::string s(n, '\0');
    uint32_t x = 2463534242u;
    for (char &c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

TEST(Compress, BothEncodingsDecodeToTheBytesAndAreTheSameFromAFileOrMemory)
{
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "<li>item " + std::to_string(i % 13) + "</li>\n";
    // Empty, one byte, text across many read blocks, and bytes that grow
    // when encoded (their encoded size is still what is counted).
    const std::string inputs[] = {"", "a", text, noise(200000)};
    TempDir dir;
    for (const char *pszEncoding : {"gzip", "br"}) {
        for (const std::string &input : inputs) {
            SCOPED_TRACE(std::string(pszEncoding) + " of " + std::to_string(input.size()) + " bytes");
            EncodedFile memory;
            ASSERT_TRUE(encodeBytes(input, pszEncoding, memory));
            EXPECT_EQ(decode(pszEncoding, memory.strBody), input);
            EXPECT_EQ(memory.strPlainMd5Hex, md5Hex(input));
            EXPECT_EQ(memory.plainSize, input.size());
            EXPECT_EQ(memory.size, memory.strBody.size());
            EXPECT_EQ(memory.strMd5Hex, md5Hex(memory.strBody));

            const std::string strPath = dir.write("f", input);
            for (bool bKeep : {true, false}) {
                const int fd = ::open(strPath.c_str(), O_RDONLY);
                ASSERT_GE(fd, 0);
                EncodedFile file;
                EXPECT_TRUE(encodeFile(fd, pszEncoding, bKeep, file));
                ::close(fd);
                EXPECT_EQ(file.strMd5Hex, memory.strMd5Hex);
                EXPECT_EQ(file.size, memory.size);
                EXPECT_EQ(file.strPlainMd5Hex, memory.strPlainMd5Hex);
                EXPECT_EQ(file.strBody, bKeep ? memory.strBody : "");
            }
        }
    }
    EncodedFile none;
    EXPECT_FALSE(encodeBytes("x", "deflate", none));
    EXPECT_FALSE(encodeFile(-1, "gzip", true, none));
}

TEST(Compress, GzipCarriesNoNameAndNoTime)
{
    EncodedFile gz;
    ASSERT_TRUE(encodeBytes("hello, hello, hello\n", "gzip", gz));
    ASSERT_GE(gz.strBody.size(), 10u);
    const auto byte = [&gz](std::size_t i) { return static_cast<unsigned char>(gz.strBody[i]); };
    EXPECT_EQ(byte(0), 0x1f);
    EXPECT_EQ(byte(1), 0x8b);
    EXPECT_EQ(byte(3), 0) << "flags: no name, comment or extra field";
    EXPECT_EQ(byte(4) | byte(5) | byte(6) | byte(7), 0) << "modification time";
}

} // namespace
