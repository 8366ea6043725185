// Text utilities: URL encoding, base64, the digests and HMACs (checked
// against published vectors), ISO 8601 times in any time zone, numbers.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>
#include <time.h>

#include "util.h"

namespace {

std::string encoded(const std::string &src, int max = 1024)
{
    std::string dest(3 * src.size() + 1, '?');
    if (!::url_encode(&dest[0], src.c_str(), max)) {
        return "<refused:" + std::string(dest.c_str()) + ">";
    }
    return dest.c_str();
}

TEST(UrlEncode, WhichBytesAreKeptAndWhichEncoded)
{
    const struct
    {
        const char *in, *out;
    } rows[] = {
        {"AZaz09", "AZaz09"},
        {"-_.!~*'()/", "-_.!~*'()/"},
        {"a b", "a%20b"},       // a space is %20, never "+"
        {"a+b", "a%2Bb"},
        {"100%", "100%25"},
        {"?&=#:;,@$", "%3F%26%3D%23%3A%3B%2C%40%24"},
        {"\x01\x7f\x80\xff", "%01%7F%80%FF"},
        {"caf\xc3\xa9", "caf%C3%A9"},
        {"", ""},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(encoded(r.in), r.out) << r.in;
    }

    char dest[4] = "xyz";
    EXPECT_EQ(url_encode(dest, nullptr, 0), 1);
    EXPECT_STREQ(dest, "");
}

TEST(UrlEncode, SourceLimitCountsUnencodedBytes)
{
    EXPECT_EQ(encoded("abc", 3), "abc");
    EXPECT_EQ(encoded("abcd", 3), "<refused:>");
    EXPECT_EQ(encoded("   ", 3), "%20%20%20");
    EXPECT_EQ(encoded("", 0), "");
}

TEST(Base64, PaddingAndAlphabet)
{
    const struct
    {
        std::string in;
        const char *out;
    } rows[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {"abcd", "YWJjZA=="},
        {std::string("\xfb\xff\xbf", 3), "+/+/"},
        {std::string("\0\0\0", 3), "AAAA"},
    };
    for (const auto &r : rows) {
        char out[16];
        memset(out, '#', sizeof(out));
        const int len = base64_encode((const unsigned char *) r.in.data(),
                                     (int) r.in.size(), out);
        EXPECT_EQ(std::string(out, (size_t) len), r.out);
        // The output is not terminated: nothing is written past it.
        EXPECT_EQ(out[len], '#') << r.out;
    }
}

std::string hex(const unsigned char *d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string sha1_hex(const std::string &data, size_t piece)
{
    SHA1Context ctx;
    sha1_init(&ctx);
    for (size_t i = 0; i < data.size(); i += piece) {
        sha1_update(&ctx, (const unsigned char *) data.data() + i,
                    std::min(piece, data.size() - i));
    }
    unsigned char digest[SHA1_DIGEST_SIZE];
    sha1_final(digest, &ctx);
    return hex(digest, sizeof(digest));
}

TEST(Sha1, PublishedVectorsInAnyPieces)
{
    const struct
    {
        std::string in;
        const char *out;
    } rows[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto &r : rows) {
        for (size_t piece : {1ul, 3ul, 63ul, 64ul, 65ul, 100000ul}) {
            EXPECT_EQ(sha1_hex(r.in, piece), r.out) << piece;
        }
    }
}

// The published HMAC examples (RFC 2202, RFC 4231): short keys, and keys
// longer than a block, which are hashed first; and the empty key, which is
// a key of no bytes, not "no key".
TEST(Hmac, PublishedVectorsForBothDigests)
{
    const std::string longKeyText =
        "Test Using Larger Than Block-Size Key - Hash Key First";
    const struct
    {
        std::string key, msg;
        const char *sha1, *sha256;
    } rows[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b617318655057264e28bc0b6fb378c8ef146be00",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(80, '\xaa'), longKeyText,
         "aa4ae5e15272d00e95705637ce8a3b55ed402112", nullptr},
        {std::string(131, '\xaa'), longKeyText, nullptr,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"", "", "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d",
         "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
    };
    for (const auto &r : rows) {
        const unsigned char *key = (const unsigned char *) r.key.data();
        const unsigned char *msg = (const unsigned char *) r.msg.data();
        if (r.sha1) {
            unsigned char out[SHA1_DIGEST_SIZE];
            hmac_sha1(out, key, r.key.size(), msg, r.msg.size());
            EXPECT_EQ(hex(out, sizeof(out)), r.sha1) << r.msg;
        }
        if (r.sha256) {
            unsigned char out[SHA256_DIGEST_SIZE];
            hmac_sha256(out, key, r.key.size(), msg, r.msg.size());
            EXPECT_EQ(hex(out, sizeof(out)), r.sha256) << r.msg;
        }
    }

    unsigned char digest[SHA256_DIGEST_SIZE];
    char digestHex[SHA256_HEX_SIZE];
    sha256_digest(digest, (const unsigned char *) "abc", 3);
    hex_encode(digest, SHA256_DIGEST_SIZE, digestHex, 0);
    EXPECT_STREQ(digestHex,
                 "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    sha256_digest(digest, (const unsigned char *) "", 0);
    hex_encode(digest, SHA256_DIGEST_SIZE, digestHex, 0);
    EXPECT_STREQ(digestHex,
                 "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// Runs the body once under each of several time zones.
class TimeZones : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        if (tz) {
            savedTz_ = tz;
        }
    }
    void TearDown() override
    {
        if (hadTz_) {
            setenv("TZ", savedTz_.c_str(), 1);
        }
        else {
            unsetenv("TZ");
        }
        tzset();
    }
    bool hadTz_ = false;
    std::string savedTz_;
};

TEST_F(TimeZones, Iso8601TimesAreUtcWhateverTheZone)
{
    const struct
    {
        const char *in;
        int64_t out;
    } rows[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"1970-01-01T00:00:00.000Z", 0},
        {"2011-03-13T07:06:40.123456Z", 1300000000},
        {"2011-03-13T07:06:40", 1300000000},
        // Summer time in the zones below: still UTC.
        {"2026-07-01T12:00:00.000Z", 1782907200},
        {"2011-03-13T09:06:40+02:00", 1300000000},
        {"2011-03-13T02:06:40.5-05:00", 1300000000},
        {"2011-03-13T07:06:40+0200", 1300000000},  // not the offset form
        {"2011-03-13 07:06:40Z", -1},
        {"2011-3-13T07:06:40Z", -1},
        {"2011-03-13T07:06", -1},
        {"", -1},
        {nullptr, -1},
    };
    for (const char *zone : {"UTC", "America/New_York", "Asia/Kolkata",
                             "Pacific/Chatham", "XYZ-13:45"}) {
        setenv("TZ", zone, 1);
        tzset();
        for (const auto &r : rows) {
            EXPECT_EQ(parse_iso8601_time(r.in), r.out)
                << zone << " " << (r.in ? r.in : "(null)");
        }
    }
}

TEST(TextParsing, UnsignedNumbers)
{
    EXPECT_EQ(parse_unsigned_int("12345"), 12345u);
    EXPECT_EQ(parse_unsigned_int(" \t 42abc"), 42u);
    EXPECT_EQ(parse_unsigned_int("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parse_unsigned_int("x1"), 0u);
    EXPECT_EQ(parse_unsigned_int(""), 0u);
    EXPECT_EQ(parse_unsigned_int("-5"), 0u);
}

} // namespace
