// util.cpp: small text utilities of the client: URL encoding, base64, hex,
// the digests and HMACs of the signatures, ISO 8601 time and number parsing.
#include "util.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <string.h>
#include <time.h>

void hex_encode_percent(unsigned char c, char out[4])
{
    out[0] = '%';
    hex_encode(&c, 1, out + 1, 1);
}

// The one percent-encoder: letters, digits and the bytes of kept are copied,
// every other byte becomes "%XX"; dest is terminated.  Returns the length.
static int percent_encode(char *dest, const char *src, int srcLen, const char *kept)
{
    char *const start = dest;
    for (int i = 0; i < srcLen; ++i) {
        const unsigned char c = (unsigned char) src[i];
        if (((c >= 'a') && (c <= 'z')) || ((c >= 'A') && (c <= 'Z')) ||
            ((c >= '0') && (c <= '9')) || (c && strchr(kept, c))) {
            *dest++ = (char) c;
        }
        else {
            hex_encode_percent(c, dest);
            dest += 3;
        }
    }
    *dest = 0;
    return (int) (dest - start);
}

int url_encode(char *dest, const char *src, int maxSrcSize)
{
    // A space is encoded too: "+" would come back as a plus sign from the
    // service, so keys with spaces need "%20".
    const size_t len = src ? strlen(src) : 0;
    if (len > (size_t) maxSrcSize) {
        *dest = 0;
        return 0;
    }
    percent_encode(dest, src ? src : "", (int) len, "-_.!~*'()/");
    return 1;
}

int uri_encode(char *dest, const char *src, int srcLen, int keepSlash)
{
    return percent_encode(dest, src, srcLen, keepSlash ? "-_.~/" : "-_.~");
}

int hex_value(char c)
{
    if ((c >= '0') && (c <= '9')) {
        return c - '0';
    }
    if ((c >= 'a') && (c <= 'f')) {
        return c - 'a' + 10;
    }
    if ((c >= 'A') && (c <= 'F')) {
        return c - 'A' + 10;
    }
    return -1;
}

int memory_body_read(const char *body, int64_t size, int64_t *sent, int bufferSize, char *buffer)
{
    int64_t n = size - *sent;
    if (n > bufferSize) {
        n = bufferSize;
    }
    if (n <= 0) {
        return 0;
    }
    memcpy(buffer, body + *sent, static_cast<size_t>(n));
    *sent += n;
    return static_cast<int>(n);
}

int text_append(char *text, int *textLen, int capacity, const char *data, int dataLen)
{
    int take = capacity - *textLen;
    if (take > dataLen) {
        take = dataLen;
    }
    if (take > 0) {
        memcpy(text + *textLen, data, (size_t) take);
        *textLen += take;
    }
    if (*textLen >= 0 && *textLen <= capacity) {
        text[*textLen] = 0;
    }
    return take == dataLen;
}

// The digests, HMACs and base64 below are OpenSSL's: one well-kept
// implementation for every signature the client makes.

int base64_encode(const unsigned char *in, int inLen, char *out)
{
    if (inLen <= 0) {
        return 0;
    }
    // EVP_EncodeBlock writes 4 characters per started group of 3 bytes and a
    // terminator; the terminator is not part of the result, so it goes to a
    // scratch buffer rather than past what the caller sized out for.
    const int len = 4 * ((inLen + 2) / 3);
    unsigned char last[BASE64_GROUP_SIZE + 1];
    const int whole = (inLen - 1) / 3;  // groups before the last one
    if (whole) {
        EVP_EncodeBlock((unsigned char *) out, in, 3 * whole);
    }
    EVP_EncodeBlock(last, in + 3 * whole, inLen - 3 * whole);
    memcpy(out + BASE64_GROUP_SIZE * whole, last, BASE64_GROUP_SIZE);
    return len;
}

// One digest over any number of byte runs.
static void evp_digest_init(EvpDigest *digest, const EVP_MD *md)
{
    digest->ctx = EVP_MD_CTX_new();
    if (digest->ctx && !EVP_DigestInit_ex(digest->ctx, md, NULL)) {
        EVP_MD_CTX_free(digest->ctx);
        digest->ctx = NULL;
    }
}

void sha1_init(SHA1Context *context)
{
    evp_digest_init(&context->digest, EVP_sha1());
}

void sha1_update(SHA1Context *context, const unsigned char *data, size_t len)
{
    if (context->digest.ctx) {
        EVP_DigestUpdate(context->digest.ctx, data, len);
    }
}

void sha1_final(unsigned char digest[SHA1_DIGEST_SIZE], SHA1Context *context)
{
    memset(digest, 0, SHA1_DIGEST_SIZE);
    if (context->digest.ctx) {
        EVP_DigestFinal_ex(context->digest.ctx, digest, NULL);
        EVP_MD_CTX_free(context->digest.ctx);
        context->digest.ctx = NULL;
    }
}

void hmac_sha1(unsigned char hmac[SHA1_DIGEST_SIZE], const unsigned char *key,
               size_t key_len, const unsigned char *message,
               size_t message_len)
{
    unsigned int len = SHA1_DIGEST_SIZE;
    // HMAC() takes a NULL key as "no key given"; an empty key is a key.
    static const unsigned char noKey[1] = {0};
    if (!HMAC(EVP_sha1(), key_len ? key : noKey, (int) key_len, message,
              message_len, hmac, &len)) {
        memset(hmac, 0, SHA1_DIGEST_SIZE);
    }
}

void sha256_digest(unsigned char digest[SHA256_DIGEST_SIZE],
                   const unsigned char *data, size_t len)
{
    unsigned int outLen = SHA256_DIGEST_SIZE;
    if (!EVP_Digest(data, len, digest, &outLen, EVP_sha256(), NULL)) {
        memset(digest, 0, SHA256_DIGEST_SIZE);
    }
}

void hmac_sha256(unsigned char hmac[SHA256_DIGEST_SIZE],
                 const unsigned char *key, size_t key_len,
                 const unsigned char *message, size_t message_len)
{
    unsigned int len = SHA256_DIGEST_SIZE;
    static const unsigned char noKey[1] = {0};
    if (!HMAC(EVP_sha256(), key_len ? key : noKey, (int) key_len, message,
              message_len, hmac, &len)) {
        memset(hmac, 0, SHA256_DIGEST_SIZE);
    }
}

void hex_encode(const unsigned char *in, int inLen, char *out, int upperCase)
{
    const char *const digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    for (int i = 0; i < inLen; ++i) {
        *out++ = digits[in[i] >> 4];
        *out++ = digits[in[i] & 15];
    }
    *out = 0;
}

// ----------------------------------------------------------- text parsing

int is_blank(char c)
{
    return (c == ' ') || (c == '\t');
}

int check_string(const char *str, const char *format)
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

int64_t parse_iso8601_time(const char *str)
{
    if (!str || !check_string(str, "dddd-dd-ddTdd:dd:dd")) {
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

    if (check_string(str, "-dd:dd") || check_string(str, "+dd:dd")) {
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

uint64_t parse_unsigned_int(const char *str)
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

// Writes the XML escape of key into out (when not null); returns its length.
// Markup characters become entities, so a key cannot end its element; tab,
// line feed and carriage return become references, so a reader keeps them
// as sent instead of normalising them; other control bytes too.
size_t xml_escape(const char *key, char *out)
{
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p; ++p) {
        const char *entity = nullptr;
        char reference[6 + 1];
        switch (*p) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        case '\'': entity = "&apos;"; break;
        default:
            if (*p < 0x20 || *p == 0x7f) {
                static const char hex[] = "0123456789ABCDEF";
                reference[0] = '&';
                reference[1] = '#';
                reference[2] = 'x';
                reference[3] = hex[*p >> 4];
                reference[4] = hex[*p & 15];
                reference[5] = ';';
                reference[6] = 0;
                entity = reference;
            }
            break;
        }
        if (entity) {
            const size_t len = strlen(entity);
            if (out) {
                memcpy(out + n, entity, len);
            }
            n += len;
        } else {
            if (out) {
                out[n] = static_cast<char>(*p);
            }
            ++n;
        }
    }
    return n;
}

bool body_digests(const char *body, size_t len, char *md5Base64, char *sha256Hex)
{
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned int md5Len = 0;
    if (EVP_Digest(body, len, md5, &md5Len, EVP_md5(), nullptr) != 1 || md5Len != 16) {
        return false;
    }
    md5Base64[base64_encode(md5, (int) md5Len, md5Base64)] = 0;
    unsigned char sha256[SHA256_DIGEST_SIZE];
    sha256_digest(sha256, (const unsigned char *) body, len);
    hex_encode(sha256, SHA256_DIGEST_SIZE, sha256Hex, 0);
    return true;
}
