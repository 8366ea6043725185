// Text utilities: URL encoding, base64, SHA-1 and HMAC-SHA1 (checked against
// published vectors and OpenSSL), ISO 8601 times in any time zone, numbers.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <stdlib.h>
#include <string>
#include <time.h>

#include "util.h"

namespace {

std::string url_encode(const std::string &src, int max = 1024)
{
    std::string dest(3 * src.size() + 1, '?');
    if (!urlEncode(&dest[0], src.c_str(), max)) {
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
        EXPECT_EQ(url_encode(r.in), r.out) << r.in;
    }

    char dest[4] = "xyz";
    EXPECT_EQ(urlEncode(dest, nullptr, 0), 1);
    EXPECT_STREQ(dest, "");
}

TEST(UrlEncode, SourceLimitCountsUnencodedBytes)
{
    EXPECT_EQ(url_encode("abc", 3), "abc");
    EXPECT_EQ(url_encode("abcd", 3), "<refused:>");
    EXPECT_EQ(url_encode("   ", 3), "%20%20%20");
    EXPECT_EQ(url_encode("", 0), "");
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
        const int len = base64Encode((const unsigned char *) r.in.data(),
                                     (int) r.in.size(), out);
        EXPECT_EQ(std::string(out, (size_t) len), r.out);
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
    SHA1_init(&ctx);
    for (size_t i = 0; i < data.size(); i += piece) {
        SHA1_update(&ctx, (const unsigned char *) data.data() + i,
                    std::min(piece, data.size() - i));
    }
    unsigned char digest[SHA1_DIGEST_SIZE];
    SHA1_final(digest, &ctx);
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

std::string hmac_hex(const std::string &key, const std::string &msg)
{
    unsigned char out[SHA1_DIGEST_SIZE];
    HMAC_SHA1(out, (const unsigned char *) key.data(), key.size(),
              (const unsigned char *) msg.data(), msg.size());
    return hex(out, sizeof(out));
}

TEST(HmacSha1, AgreesWithOpenSslForAllKeyAndMessageSizes)
{
    std::mt19937 rng(12345);
    for (size_t keyLen = 0; keyLen <= 130; keyLen += 13) {
        for (size_t msgLen : {0ul, 1ul, 55ul, 56ul, 64ul, 119ul, 120ul, 1000ul}) {
            std::string key(keyLen, 0), msg(msgLen, 0);
            for (char &c : key) c = (char) rng();
            for (char &c : msg) c = (char) rng();
            unsigned char expected[EVP_MAX_MD_SIZE];
            unsigned int expectedLen = 0;
            HMAC(EVP_sha1(), key.data(), (int) key.size(),
                 (const unsigned char *) msg.data(), msg.size(), expected,
                 &expectedLen);
            ASSERT_EQ(expectedLen, (unsigned) SHA1_DIGEST_SIZE);
            EXPECT_EQ(hmac_hex(key, msg), hex(expected, expectedLen))
                << keyLen << " " << msgLen;
        }
    }
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
            EXPECT_EQ(parseIso8601Time(r.in), r.out)
                << zone << " " << (r.in ? r.in : "(null)");
        }
    }
}

TEST(TextParsing, UnsignedNumbers)
{
    EXPECT_EQ(parseUnsignedInt("12345"), 12345u);
    EXPECT_EQ(parseUnsignedInt(" \t 42abc"), 42u);
    EXPECT_EQ(parseUnsignedInt("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parseUnsignedInt("x1"), 0u);
    EXPECT_EQ(parseUnsignedInt(""), 0u);
    EXPECT_EQ(parseUnsignedInt("-5"), 0u);
}

} // namespace
