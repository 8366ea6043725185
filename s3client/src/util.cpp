// util.cpp: small text utilities of the client: URL encoding, base64, SHA-1
// and HMAC-SHA1, ISO 8601 time and number parsing.
#include "util.h"

#include <string.h>
#include <time.h>

int urlEncode(char *dest, const char *src, int maxSrcSize)
{
    static const char hex[] = "0123456789ABCDEF";
    static const char unreserved[] = "-_.!~*'()/";

    char *const start = dest;
    int len = 0;
    if (src) {
        for (; *src; ++src) {
            if (++len > maxSrcSize) {
                *start = 0;
                return 0;
            }
            const unsigned char c = (unsigned char) *src;
            if (((c >= 'a') && (c <= 'z')) || ((c >= 'A') && (c <= 'Z')) ||
                ((c >= '0') && (c <= '9')) || (c && strchr(unreserved, c))) {
                *dest++ = (char) c;
            }
            else {
                // A space too: "+" would come back as a plus sign from the
                // service, so keys with spaces need "%20".
                *dest++ = '%';
                *dest++ = hex[c >> 4];
                *dest++ = hex[c & 15];
            }
        }
    }
    *dest = 0;
    return 1;
}

int base64Encode(const unsigned char *in, int inLen, char *out)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

    char *start = out;
    while (inLen >= 3) {
        *out++ = alphabet[in[0] >> 2];
        *out++ = alphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
        *out++ = alphabet[((in[1] & 0x0f) << 2) | (in[2] >> 6)];
        *out++ = alphabet[in[2] & 0x3f];
        in += 3;
        inLen -= 3;
    }
    if (inLen == 2) {
        *out++ = alphabet[in[0] >> 2];
        *out++ = alphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
        *out++ = alphabet[(in[1] & 0x0f) << 2];
        *out++ = '=';
    }
    else if (inLen == 1) {
        *out++ = alphabet[in[0] >> 2];
        *out++ = alphabet[(in[0] & 0x03) << 4];
        *out++ = '=';
        *out++ = '=';
    }
    return (int) (out - start);
}

// ---------------------------------------------------------------- SHA-1

static uint32_t rotl(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

// One 64-byte block; words are read big-endian byte by byte, so the result
// does not depend on the machine's byte order.
static void sha1_block(uint32_t state[5], const unsigned char *block)
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = ((uint32_t) block[4 * i] << 24) |
               ((uint32_t) block[4 * i + 1] << 16) |
               ((uint32_t) block[4 * i + 2] << 8) | (uint32_t) block[4 * i + 3];
    }
    for (int i = 16; i < 80; ++i) {
        w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    }

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3],
             e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        }
        else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        }
        else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        }
        else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

void SHA1_init(SHA1Context *context)
{
    context->state[0] = 0x67452301;
    context->state[1] = 0xEFCDAB89;
    context->state[2] = 0x98BADCFE;
    context->state[3] = 0x10325476;
    context->state[4] = 0xC3D2E1F0;
    context->totalBytes = 0;
    context->blockUsed = 0;
}

void SHA1_update(SHA1Context *context, const unsigned char *data, size_t len)
{
    context->totalBytes += len;
    while (len) {
        size_t take = SHA1_BLOCK_SIZE - context->blockUsed;
        if (take > len) {
            take = len;
        }
        memcpy(context->block + context->blockUsed, data, take);
        context->blockUsed += take;
        data += take;
        len -= take;
        if (context->blockUsed == SHA1_BLOCK_SIZE) {
            sha1_block(context->state, context->block);
            context->blockUsed = 0;
        }
    }
}

void SHA1_final(unsigned char digest[SHA1_DIGEST_SIZE], SHA1Context *context)
{
    const uint64_t bits = context->totalBytes * 8;

    // 0x80, zeros up to 56 bytes into a block, then the bit count.
    context->block[context->blockUsed++] = 0x80;
    if (context->blockUsed > SHA1_BLOCK_SIZE - 8) {
        memset(context->block + context->blockUsed, 0,
               SHA1_BLOCK_SIZE - context->blockUsed);
        sha1_block(context->state, context->block);
        context->blockUsed = 0;
    }
    memset(context->block + context->blockUsed, 0,
           SHA1_BLOCK_SIZE - 8 - context->blockUsed);
    for (int i = 0; i < 8; ++i) {
        context->block[SHA1_BLOCK_SIZE - 1 - i] = (unsigned char) (bits >> (8 * i));
    }
    sha1_block(context->state, context->block);

    for (int i = 0; i < 5; ++i) {
        digest[4 * i] = (unsigned char) (context->state[i] >> 24);
        digest[4 * i + 1] = (unsigned char) (context->state[i] >> 16);
        digest[4 * i + 2] = (unsigned char) (context->state[i] >> 8);
        digest[4 * i + 3] = (unsigned char) context->state[i];
    }
}

void HMAC_SHA1(unsigned char hmac[SHA1_DIGEST_SIZE], const unsigned char *key,
               size_t key_len, const unsigned char *message,
               size_t message_len)
{
    unsigned char keyBlock[SHA1_BLOCK_SIZE];
    memset(keyBlock, 0, sizeof(keyBlock));
    if (key_len > SHA1_BLOCK_SIZE) {
        SHA1Context context;
        SHA1_init(&context);
        SHA1_update(&context, key, key_len);
        SHA1_final(keyBlock, &context);
    }
    else if (key_len) {
        memcpy(keyBlock, key, key_len);
    }

    unsigned char pad[SHA1_BLOCK_SIZE];
    unsigned char inner[SHA1_DIGEST_SIZE];

    SHA1Context context;
    for (int i = 0; i < SHA1_BLOCK_SIZE; ++i) {
        pad[i] = keyBlock[i] ^ 0x36;
    }
    SHA1_init(&context);
    SHA1_update(&context, pad, SHA1_BLOCK_SIZE);
    SHA1_update(&context, message, message_len);
    SHA1_final(inner, &context);

    for (int i = 0; i < SHA1_BLOCK_SIZE; ++i) {
        pad[i] = keyBlock[i] ^ 0x5c;
    }
    SHA1_init(&context);
    SHA1_update(&context, pad, SHA1_BLOCK_SIZE);
    SHA1_update(&context, inner, SHA1_DIGEST_SIZE);
    SHA1_final(hmac, &context);
}

// ----------------------------------------------------------- text parsing

int is_blank(char c)
{
    return (c == ' ') || (c == '\t');
}

int checkString(const char *str, const char *format)
{
    for (; *format; ++str, ++format) {
        if (*format == 'd') {
            if ((*str < '0') || (*str > '9')) {
                return 0;
            }
        }
        else if (*str != *format) {
            return 0;
        }
    }
    return 1;
}

static int two_digits(const char *s)
{
    return (s[0] - '0') * 10 + (s[1] - '0');
}

int64_t parseIso8601Time(const char *str)
{
    if (!str || !checkString(str, "dddd-dd-ddTdd:dd:dd")) {
        return -1;
    }

    struct tm stm;
    memset(&stm, 0, sizeof(stm));
    stm.tm_year = (two_digits(str) * 100 + two_digits(str + 2)) - 1900;
    stm.tm_mon = two_digits(str + 5) - 1;
    stm.tm_mday = two_digits(str + 8);
    stm.tm_hour = two_digits(str + 11);
    stm.tm_min = two_digits(str + 14);
    stm.tm_sec = two_digits(str + 17);
    str += 19;

    // The listing's times are UTC: convert them as such, whatever the
    // process's time zone is.
    int64_t ret = (int64_t) timegm(&stm);

    if (*str == '.') {
        ++str;
        while ((*str >= '0') && (*str <= '9')) {
            ++str;
        }
    }

    if (checkString(str, "-dd:dd") || checkString(str, "+dd:dd")) {
        const int64_t offset =
            ((int64_t) two_digits(str + 1) * 60 + two_digits(str + 4)) * 60;
        if (*str == '+') {
            ret -= offset;
        }
        else {
            ret += offset;
        }
    }
    // "Z" or any other ending: UTC as read.
    return ret;
}

uint64_t parseUnsignedInt(const char *str)
{
    while (is_blank(*str)) {
        ++str;
    }
    uint64_t ret = 0;
    while ((*str >= '0') && (*str <= '9')) {
        ret = ret * 10 + (uint64_t) (*str++ - '0');
    }
    return ret;
}
