// Digests, encoders, hex text, and small string and path helpers.
//
// Functions that can fail return bool (true for success) and give their
// result through an output parameter, which is left untouched on failure;
// functions that cannot fail return a new std::string. Nothing throws, and
// nothing here keeps state between calls.
#ifndef SITEMIRROR_SUPPORT_MYS3COMMON_H
#define SITEMIRROR_SUPPORT_MYS3COMMON_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <openssl/types.h>

// ---------------------------------------------------------------------------
// File digests

// MD5 of the file's whole content as 32 lower-case hex digits. False when the
// file cannot be opened or a read fails part-way (strResult untouched).
// The file is streamed in fixed-size blocks: memory does not grow with size.
bool calculateMD5Hex(const std::string &strPath, std::string &strResult);

// The same digest as base64 of the 16 raw bytes: 24 characters ending "==".
bool calculateMD5Base64(const std::string &strPath, std::string &strResult);

// ---------------------------------------------------------------------------
// Accumulators and encoders. Each object is used once: update() any number
// of times, then finalize() once. Objects own library state: not copyable.

// MD5 accumulator.
class MyMD5 {
public:
    explicit MyMD5(bool bHex = true);
    ~MyMD5();
    MyMD5(const MyMD5 &) = delete;
    MyMD5 &operator=(const MyMD5 &) = delete;

    void update(const std::string &strIn);  // any bytes, NUL included
    void update(const void *pData, std::size_t nLen);
    // 16 raw bytes, or 32 lower-case hex digits when bHex.
    std::string finalize();

private:
    EVP_MD_CTX *ctx;
    bool bHex;
};

// Base64 encoder (standard alphabet, "=" padding, no line breaks). update()
// may be called several times; the output is that of the concatenated input.
class MyBase64Encoder {
public:
    MyBase64Encoder();
    ~MyBase64Encoder();
    MyBase64Encoder(const MyBase64Encoder &) = delete;
    MyBase64Encoder &operator=(const MyBase64Encoder &) = delete;

    void update(const std::string &strIn);
    std::string finalize();  // encodes the tail, padding included

private:
    std::string strEncoded;
    std::string strPending;  // 0-2 input bytes awaiting a full group
};

// Base64 decoder: the reverse of MyBase64Encoder. White space in the input is
// skipped. update() returns false on a byte outside the alphabet or data
// after the padding; the decoder then stays failed and finalize() returns
// only what was decoded before the fault.
class MyBase64Decoder {
public:
    MyBase64Decoder();
    ~MyBase64Decoder();
    MyBase64Decoder(const MyBase64Decoder &) = delete;
    MyBase64Decoder &operator=(const MyBase64Decoder &) = delete;

    bool update(const std::string &strIn);
    std::string finalize();
    bool ok() const { return bOk; }

private:
    std::string strDecoded;
    unsigned int nAccum;     // input bits not yet written out
    unsigned int nAccumBits; // how many of them (0-12)
    unsigned int nGroupPos;  // characters of the current 4-character group
    unsigned int nPadding;   // "=" seen in the current group
    bool bOk;
};

// HMAC-SHA1 signer keyed with strKey.
class MySH1 {
public:
    explicit MySH1(const std::string &strKey, bool bHex = false);
    ~MySH1();
    MySH1(const MySH1 &) = delete;
    MySH1 &operator=(const MySH1 &) = delete;

    void update(const std::string &strIn);
    // 20 raw bytes, or 40 lower-case hex digits when bHex.
    std::string finalize();

private:
    EVP_MAC_CTX *theHctx;
    std::string strKey;
    bool bHex;
    std::string strSigned;
};

// SHA-256 of the bytes of str as 64 lower-case hex digits.
std::string sha256Hex(const std::string &str);

// The base64 of the 16 bytes that 32 hex digits stand for (a Content-MD5 from
// a hex MD5). False, strBase64 untouched, for any other text.
bool md5HexToBase64(const std::string &strHex, std::string &strBase64);

// The 16 bytes that the n bytes at p stand for when they are 32 lower-case
// hex digits (an MD5 as this tool writes it); false, out untouched, for any
// other text.
bool lowerHexMd5Bytes(const char *p, std::size_t n, unsigned char out[16]);

// Hex text of the bytes of strIn, two lower-case digits per byte.
std::string convertToHex(const std::string &strIn);
// Nibble 0-15 to '0'-'9', 'a'-'f'.
char ch2hex(unsigned char ch);
// The bytes that the hex text strHex (an even number of digits, either case)
// stands for. False, strBytes untouched, for anything else.
bool hexToBytes(const std::string &strHex, std::string &strBytes);

// ---------------------------------------------------------------------------
// Strings

class StringManager {
public:
    // Negative, zero or positive. A shorter text orders before a longer one;
    // texts of equal length compare byte by byte after ASCII upper-casing,
    // bytes taken as signed (0x80 and up order before ASCII).
    static int icompare(const std::string &left, const std::string &right);
    // Like icompare over the first min(len, both lengths) bytes only.
    static int incompare(const std::string &left, const std::string &right,
                         std::size_t len);
    static std::string int2string(int number);
};

int CompareCaseInsensitive(const std::string &strFirst, const std::string &strSecond);
std::string int2string(int number);
// One decimal integer from the start of str (leading white space skipped,
// trailing text ignored). False when there is none or it does not fit in int.
bool string2int(const std::string &str, int &number);
// ASCII upper-casing of one byte ("C" locale: only a-z change).
char myToUpper(char ch);

// Character traits that compare ASCII letters without regard to case.
struct ci_char_traits : public std::char_traits<char> {
    static bool eq(char c1, char c2);
    static bool ne(char c1, char c2);
    static bool lt(char c1, char c2);
    static int compare(const char *s1, const char *s2, std::size_t n);
    static const char *find(const char *s, std::size_t n, char a);
};
typedef std::basic_string<char, ci_char_traits> ci_string;

// str without one enclosing pair of quotes (each '"' or '\'', not
// necessarily alike), else an unchanged copy.
std::string trimQuote(const std::string &str);

// ---------------------------------------------------------------------------
// Paths

// Creates every directory along s (mode 0755). True when every one of them
// exists as a directory at the end.
bool mkpath(const std::string &s);
// Makes sure strPath is a directory, creating it and missing ancestors
// (mode 0777 less umask). A symbolic link is not followed. Prints
// "mkdir error: <reason>" on standard error when a creation fails.
bool ensureDirectory(const std::string &strPath);
// mkpath of the part of strPath before its last "/"; true when there is none.
bool ensureParentDirectory(const std::string &strPath);

// True and the size in bytes when strPath names a regular file (symbolic links
// followed); false otherwise, with size unchanged.
bool getFileSize(const std::string &strPath, uint64_t &size);

#endif  // SITEMIRROR_SUPPORT_MYS3COMMON_H
