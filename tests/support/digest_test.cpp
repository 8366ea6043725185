// File digests, base64, hex and the HMAC-SHA1 signer.
#include "myS3Common.h"

#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace {

// The same pattern the expected digests below were computed over.
std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    }
    return s;
}

std::string bytes(std::size_t n, unsigned char b)
{
    return std::string(n, static_cast<char>(b));
}

std::string hmacHex(const std::string &key, const std::string &data)
{
    MySH1 signer(key, true);
    signer.update(data);
    return signer.finalize();
}

struct FileDigestCase {
    std::size_t size;
    const char *hex;
    const char *base64;
};

TEST(FileDigest, KnownContents)
{
    TempDir dir;
    std::string hex = "untouched", b64 = "untouched";

    ASSERT_TRUE(calculateMD5Hex(dir.write("empty", ""), hex));
    ASSERT_TRUE(calculateMD5Base64(dir / "empty", b64));
    EXPECT_EQ(hex, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(b64, "1B2M2Y8AsgTpgAmY7PhCfg==");

    ASSERT_TRUE(calculateMD5Hex(dir.write("abc", "abc"), hex));
    ASSERT_TRUE(calculateMD5Base64(dir / "abc", b64));
    EXPECT_EQ(hex, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(b64, "kAFQmDzST7DWlj99KOF/cg==");

    ASSERT_TRUE(calculateMD5Hex(dir.write("nul", std::string("a\0b", 3)), hex));
    EXPECT_EQ(hex, "70350f6027bce3713f6b76473084309b");
}

TEST(FileDigest, BlockBoundariesDoNotShow)
{
    // Sizes around 1 KiB and around the 256 KiB read block.
    const FileDigestCase cases[] = {
        {1023, "aa217140da10ed9796690dd1ed22a21a", "qiFxQNoQ7ZeWaQ3R7SKiGg=="},
        {1024, "63b2177a7af739b5cc52ab1d1c714702", "Y7IXenr3ObXMUqsdHHFHAg=="},
        {1025, "31d56d8e673d2856b7a4eee144ee8275", "MdVtjmc9KFa3pO7hRO6CdQ=="},
        {2048, "fbb2e3b38a23c7d820533df281b4b6ec", "+7Ljs4ojx9ggUz3ygbS27A=="},
        {262143, "01fe46490841a2fd2e1eec3cc5c68b8b", "Af5GSQhBov0uHuw8xcaLiw=="},
        {262144, "7c9bf00fd6836f46b8d3b6f4d18e9298", "fJvwD9aDb0a407b00Y6SmA=="},
        {262145, "305921415f32f913327d109c602f3e62", "MFkhQV8y+RMyfRCcYC8+Yg=="},
        {524291, "7e4fb2c47d1d64ba8bde67d5c7922dc4", "fk+yxH0dZLqL3mfVx5ItxA=="},
    };
    TempDir dir;
    for (const FileDigestCase &c : cases) {
        const std::string content = pattern(c.size);
        const std::string path = dir.write("f" + std::to_string(c.size), content);
        std::string hex, b64;
        ASSERT_TRUE(calculateMD5Hex(path, hex)) << c.size;
        ASSERT_TRUE(calculateMD5Base64(path, b64)) << c.size;
        EXPECT_EQ(hex, c.hex) << c.size;
        EXPECT_EQ(b64, c.base64) << c.size;

        // The accumulator over the whole content at once agrees.
        MyMD5 md(true);
        md.update(content);
        EXPECT_EQ(md.finalize(), c.hex) << c.size;
    }
}

TEST(FileDigest, UnreadableFileFailsAndLeavesResult)
{
    TempDir dir;
    std::string hex = "keep", b64 = "keep";

    // A path that does not exist.
    EXPECT_FALSE(calculateMD5Hex(dir / "missing", hex));
    EXPECT_FALSE(calculateMD5Base64(dir / "missing", b64));
    // A folder opens but cannot be read: a failed read, not an empty digest.
    EXPECT_FALSE(calculateMD5Hex(dir.path(), hex));
    EXPECT_FALSE(calculateMD5Base64(dir.path(), b64));
    EXPECT_EQ(hex, "keep");
    EXPECT_EQ(b64, "keep");
}

TEST(FileDigest, FileWithoutReadPermissionFails)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to switch to another user";
    }
    TempDir dir;
    const std::string path = dir.write("secret", "private");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // As nobody: the file is there but cannot be opened.
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        std::string hex = "keep", b64 = "keep";
        const bool bHex = calculateMD5Hex(path, hex);
        const bool bB64 = calculateMD5Base64(path, b64);
        _exit(!bHex && !bB64 && hex == "keep" && b64 == "keep" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(FileDigest, LargeFileInConstantMemory)
{
    // A sparse file of 256 MiB of zeros: reading it whole into memory would
    // show in the peak resident size.
    TempDir dir;
    const std::string path = dir / "big";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 256L << 20), 0);
    close(fd);

    struct rusage before {};
    getrusage(RUSAGE_SELF, &before);
    std::string hex;
    ASSERT_TRUE(calculateMD5Hex(path, hex));
    struct rusage after {};
    getrusage(RUSAGE_SELF, &after);

    EXPECT_EQ(hex, "1f5039e50bd66b290c56684d8550c6c2");
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32L * 1024);  // KiB
}

TEST(MD5, RawAndHexForms)
{
    MyMD5 raw(false);
    raw.update("ab");
    raw.update(std::string());
    raw.update("c");
    const std::string digest = raw.finalize();
    ASSERT_EQ(digest.size(), 16u);
    EXPECT_EQ(convertToHex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Hex, LowerCaseTwoDigitsPerByte)
{
    EXPECT_EQ(convertToHex(""), "");
    EXPECT_EQ(convertToHex(std::string("\x00\x0f\xab\xff\x10", 5)), "000fabff10");
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    const std::string hex = convertToHex(all);
    ASSERT_EQ(hex.size(), 512u);
    EXPECT_EQ(hex.substr(0, 8), "00010203");
    EXPECT_EQ(hex.substr(504), "fcfdfeff");
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);

    // Read back: every byte, either case; a text that is not hex leaves the result alone.
    std::string back;
    ASSERT_TRUE(hexToBytes(hex, back));
    EXPECT_EQ(back, all);
    ASSERT_TRUE(hexToBytes("0FaB", back));
    EXPECT_EQ(back, std::string("\x0f\xab", 2));
    for (const char *bad : {"0", "abc", "0g", "g0", " 0", "0x", "\xc3\xa9"}) {
        std::string kept = "kept";
        EXPECT_FALSE(hexToBytes(bad, kept)) << bad;
        EXPECT_EQ(kept, "kept") << bad;
    }
    ASSERT_TRUE(hexToBytes("", back));
    EXPECT_EQ(back, "");
}

// The digest texts the tool writes and reads back: an MD5 in lower-case hex
// to its bytes (and nothing else), to a Content-MD5, and SHA-256 in hex.
TEST(Hex, DigestTextsAndTheirBytes)
{
    const std::string md5Empty = "d41d8cd98f00b204e9800998ecf8427e";
    unsigned char bytes[16] = {0};
    ASSERT_TRUE(lowerHexMd5Bytes(md5Empty.data(), md5Empty.size(), bytes));
    EXPECT_EQ(convertToHex(std::string(reinterpret_cast<char *>(bytes), 16)), md5Empty);
    for (const std::string &bad : {std::string("D41D8CD98F00B204E9800998ECF8427E"), md5Empty.substr(1),
                                  md5Empty + "0", std::string("d41d8cd98f00b204e9800998ecf8427g"),
                                  std::string("d41d8cd98f00b204e9800998ecf8427e-2").substr(0, 31) + "-"}) {
        unsigned char kept[16] = {7};
        EXPECT_FALSE(lowerHexMd5Bytes(bad.data(), bad.size(), kept)) << bad;
        EXPECT_EQ(kept[0], 7) << bad;
    }

    std::string base64 = "kept";
    ASSERT_TRUE(md5HexToBase64(md5Empty, base64));
    EXPECT_EQ(base64, "1B2M2Y8AsgTpgAmY7PhCfg==");
    base64 = "kept";
    EXPECT_FALSE(md5HexToBase64("d41d8cd9", base64));
    EXPECT_EQ(base64, "kept");

    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Base64, KnownVectors)
{
    const struct {
        const char *plain;
        const char *encoded;
    } cases[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
        {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="},
    };
    for (const auto &c : cases) {
        MyBase64Encoder enc;
        enc.update(c.plain);
        EXPECT_EQ(enc.finalize(), c.encoded) << c.plain;

        MyBase64Decoder dec;
        EXPECT_TRUE(dec.update(c.encoded)) << c.encoded;
        EXPECT_EQ(dec.finalize(), c.plain) << c.encoded;
        EXPECT_TRUE(dec.ok()) << c.encoded;
    }
}

TEST(Base64, RoundTripsAnyBytesInPieces)
{
    std::string all;
    for (int r = 0; r < 40; ++r) {
        for (int i = 0; i < 256; ++i) {
            all.push_back(static_cast<char>(i));
        }
    }
    for (std::size_t len : {0u, 1u, 2u, 3u, 4u, 5u, 767u, 768u, 769u, 10240u}) {
        const std::string plain = all.substr(0, len);
        MyBase64Encoder whole;
        whole.update(plain);
        const std::string encoded = whole.finalize();
        EXPECT_EQ(encoded.size(), (len + 2) / 3 * 4) << len;
        EXPECT_EQ(encoded.find('\n'), std::string::npos) << len;

        // Fed in uneven pieces, the encoder gives the same text.
        MyBase64Encoder pieces;
        for (std::size_t i = 0, step = 1; i < len; i += step, step = step % 5 + 1) {
            pieces.update(plain.substr(i, step));
        }
        EXPECT_EQ(pieces.finalize(), encoded) << len;

        MyBase64Decoder dec;
        for (std::size_t i = 0; i < encoded.size(); i += 7) {
            ASSERT_TRUE(dec.update(encoded.substr(i, 7))) << len;
        }
        EXPECT_EQ(dec.finalize(), plain) << len;
        EXPECT_TRUE(dec.ok());
    }
}

TEST(Base64, DecoderRejectsMalformedText)
{
    const struct {
        const char *text;
        const char *decodedBeforeFault;
    } bad[] = {
        {"Zm9v!", "foo"},      // outside the alphabet
        {"Zg==Zg==", "f"},     // data after the padding
        {"Z===", ""},          // padding too early
        {"====", ""},
        {"Zm9vY", "foo"},      // a lone last character carries no byte
    };
    for (const auto &c : bad) {
        MyBase64Decoder dec;
        dec.update(c.text);
        EXPECT_EQ(dec.finalize(), c.decodedBeforeFault) << c.text;
        EXPECT_FALSE(dec.ok()) << c.text;
    }

    // Line breaks and spaces, as in wrapped base64, are skipped.
    MyBase64Decoder wrapped;
    EXPECT_TRUE(wrapped.update("Zm9v\r\nYmFy\n Zg=\t=\n"));
    EXPECT_EQ(wrapped.finalize(), "foobarf");
    EXPECT_TRUE(wrapped.ok());
}

TEST(HmacSha1, Rfc2202Vectors)
{
    std::string key4;
    for (int i = 1; i <= 25; ++i) {
        key4.push_back(static_cast<char>(i));
    }
    const struct {
        std::string key;
        std::string data;
        const char *mac;
    } cases[] = {
        {bytes(20, 0x0b), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {bytes(20, 0xaa), bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {key4, bytes(50, 0xcd), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {bytes(20, 0x0c), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {bytes(80, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {bytes(80, 0xaa),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        {"", "", "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(hmacHex(c.key, c.data), c.mac) << c.data;
    }

    // Raw output, fed in pieces.
    MySH1 raw("Jefe");
    raw.update("what do ya ");
    raw.update("want for nothing?");
    const std::string mac = raw.finalize();
    ASSERT_EQ(mac.size(), 20u);
    EXPECT_EQ(convertToHex(mac), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

}  // namespace
