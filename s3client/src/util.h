// util.h: small text utilities of the client: URL encoding, base64, hex,
// the digests and HMACs of the signatures (OpenSSL's), ISO 8601 time and
// number parsing, and the bounded append of a text.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Writes the URL-encoded src into dest, which needs room for three times the
// source length plus one.  Letters, digits, "-_.!~*'()/" are copied, every
// other byte (a space too) becomes "%XX".  Returns 1, or 0 with dest empty
// when src is longer than maxSrcSize characters.  A NULL src encodes to "".
int url_encode(char *dest, const char *src, int maxSrcSize);

// The encoding signature V4 signs (RFC 3986): letters, digits and "-_.~"
// are copied, every other byte becomes "%XX"; "/" is copied too when
// keepSlash is set (a path), else encoded (a query name or value).  dest
// needs 3 * srcLen + 1 bytes; it is terminated.  Returns the length written.
int uri_encode(char *dest, const char *src, int srcLen, int keepSlash);

// Standard base64 of inLen bytes, padded; out is not terminated.  Returns the
// number of characters written (4 per started group of 3 bytes).
int base64_encode(const unsigned char *in, int inLen, char *out);
#define BASE64_GROUP_SIZE 4

// Hex of inLen bytes into out (2 * inLen + 1 bytes), terminated; lower-case
// digits unless upperCase.
void hex_encode(const unsigned char *in, int inLen, char *out, int upperCase);

// "%XX" of one byte (upper-case digits) into out, terminated.
void hex_encode_percent(unsigned char c, char out[4]);

// The value of one hex digit (either case), or -1 for any other character.
int hex_value(char c);

// Appends data to text (capacity characters, plus its terminator), cutting
// what does not fit; text stays terminated.  Returns 1 when all of it fitted.
int text_append(char *text, int *textLen, int capacity, const char *data, int dataLen);

// Hands out the next bytes of a request body held in memory: of the size
// bytes at body, *sent are out already; copies at most bufferSize more into
// buffer, advances *sent and returns how many (0 at the end).
int memory_body_read(const char *body, int64_t size, int64_t *sent, int bufferSize, char *buffer);

#define SHA1_DIGEST_SIZE 20
// Writes the XML escape of text into out (when not null; room for 6 bytes a
// byte of text) and returns its length: markup characters become entities,
// control bytes references, so a reader gets the text back as it was.
size_t xml_escape(const char *text, char *out);

#define SHA256_DIGEST_SIZE 32
// The base64 MD5 (into md5Base64, 25 bytes) and the hex SHA-256 (into
// sha256Hex, SHA256_HEX_SIZE bytes) of a request body held in memory, for
// its Content-MD5 and its V4 payload hash; false when OpenSSL fails.
bool body_digests(const char *body, size_t len, char *md5Base64, char *sha256Hex);
// Hex of a SHA-256 digest and its terminator.
#define SHA256_HEX_SIZE (2 * SHA256_DIGEST_SIZE + 1)

// An OpenSSL digest in progress; the context is released by the final call.
typedef struct EvpDigest
{
    struct evp_md_ctx_st *ctx;  // NULL when OpenSSL could not start one
} EvpDigest;

// SHA-1 over any number of byte runs: init, updates, then final (which
// releases the context; every init must be matched by a final).
typedef struct SHA1Context
{
    EvpDigest digest;
} SHA1Context;

void sha1_init(SHA1Context *context);
void sha1_update(SHA1Context *context, const unsigned char *data, size_t len);
void sha1_final(unsigned char digest[SHA1_DIGEST_SIZE], SHA1Context *context);

// HMAC-SHA1 (RFC 2104) of message with key into hmac.
void hmac_sha1(unsigned char hmac[SHA1_DIGEST_SIZE], const unsigned char *key,
               size_t key_len, const unsigned char *message,
               size_t message_len);

// SHA-256 of one byte run, and HMAC-SHA256 (RFC 2104).
void sha256_digest(unsigned char digest[SHA256_DIGEST_SIZE],
                   const unsigned char *data, size_t len);
void hmac_sha256(unsigned char hmac[SHA256_DIGEST_SIZE],
                 const unsigned char *key, size_t key_len,
                 const unsigned char *message, size_t message_len);

// Seconds since the epoch of a "dddd-dd-ddTdd:dd:dd[.fff][Z|+hh:mm|-hh:mm]"
// time, read as UTC and then corrected by the offset; -1 when the text does
// not begin with the pattern.  Independent of the process's time zone.
int64_t parse_iso8601_time(const char *str);

// Leading blanks skipped, then decimal digits up to the first non-digit; no
// digits give 0.  Does not check for overflow.
uint64_t parse_unsigned_int(const char *str);

// 1 when str begins with format, where "d" in format matches any ASCII digit
// and every other character matches itself; else 0.
int check_string(const char *str, const char *format);

// 1 for a space or a tab.
int is_blank(char c);

#ifdef __cplusplus
#include <string.h>

// The integer held by an enumeration that came from a caller.  A C caller may
// store any int there, so the value is read as an int, never as one of the
// enumerators.
template <typename E> inline int enum_int(const E &value)
{
    static_assert(sizeof(E) == sizeof(int), "enumerations are 32-bit");
    int v;
    memcpy(&v, &value, sizeof(v));
    return v;
}
#endif
