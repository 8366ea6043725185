// Digests, encoders, hex text, and small string and path helpers.
#include "myS3Common.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace {

// Files are hashed in blocks of this size: large enough that a big file is
// read at disk speed, fixed so memory does not grow with the file.
const std::size_t kReadBlockSize = 256 * 1024;

const std::size_t kMD5Size = 16;
const std::size_t kSHA1Size = 20;

// Input bytes per EVP_EncodeBlock call (a multiple of 3) and the output room
// they need: 4 characters per 3 bytes and the terminating NUL.
const std::size_t kEncodeChunk = 3 * 256;
const std::size_t kEncodeOutSize = 4 * (kEncodeChunk / 3) + 1;

// Feeds the whole file at strPath into md. False when it cannot be opened or
// a read fails before the end.
bool digestFile(const std::string &strPath, MyMD5 &md)
{
    const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::unique_ptr<char[]> buffer(new char[kReadBlockSize]);
    bool bOk = true;
    for (;;) {
        const ssize_t n = read(fd, buffer.get(), kReadBlockSize);
        if (n > 0) {
            md.update(buffer.get(), static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            bOk = false;
            break;
        }
    }
    close(fd);
    return bOk;
}

void appendBase64(std::string &strOut, const unsigned char *p, std::size_t n)
{
    unsigned char out[kEncodeOutSize];
    while (n > 0) {
        const std::size_t chunk = n < kEncodeChunk ? n : kEncodeChunk;
        const int len = EVP_EncodeBlock(out, p, static_cast<int>(chunk));
        strOut.append(reinterpret_cast<const char *>(out), static_cast<std::size_t>(len));
        p += chunk;
        n -= chunk;
    }
}

// Value of a base64 character, -1 for a byte outside the alphabet.
int base64Value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool isBase64Space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Upper-cased byte as the signed value the comparisons use.
int upperSigned(char ch)
{
    return static_cast<signed char>(myToUpper(ch));
}

int upperUnsigned(char ch)
{
    return static_cast<unsigned char>(myToUpper(ch));
}

bool isDirectory(const std::string &strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

// ---------------------------------------------------------------------------
// File digests

bool calculateMD5Hex(const std::string &strPath, std::string &strResult)
{
    MyMD5 md(true);
    if (!digestFile(strPath, md)) {
        return false;
    }
    strResult = md.finalize();
    return true;
}

bool calculateMD5Base64(const std::string &strPath, std::string &strResult)
{
    MyMD5 md(false);
    if (!digestFile(strPath, md)) {
        return false;
    }
    MyBase64Encoder encoder;
    encoder.update(md.finalize());
    strResult = encoder.finalize();
    return true;
}

// ---------------------------------------------------------------------------
// MyMD5

MyMD5::MyMD5(bool bHexIn) : ctx(EVP_MD_CTX_new()), bHex(bHexIn)
{
    if (ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        ctx = nullptr;
    }
}

MyMD5::~MyMD5()
{
    EVP_MD_CTX_free(ctx);
}

void MyMD5::update(const std::string &strIn)
{
    update(strIn.data(), strIn.size());
}

void MyMD5::update(const void *pData, std::size_t nLen)
{
    if (ctx != nullptr && nLen > 0) {
        EVP_DigestUpdate(ctx, pData, nLen);
    }
}

std::string MyMD5::finalize()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    std::string strRaw;
    if (ctx != nullptr && EVP_DigestFinal_ex(ctx, digest, &len) == 1 && len == kMD5Size) {
        strRaw.assign(reinterpret_cast<const char *>(digest), len);
    }
    // The context is spent: a second finalize gives the empty text.
    EVP_MD_CTX_free(ctx);
    ctx = nullptr;
    return bHex ? convertToHex(strRaw) : strRaw;
}

// ---------------------------------------------------------------------------
// MyBase64Encoder

MyBase64Encoder::MyBase64Encoder() = default;

MyBase64Encoder::~MyBase64Encoder() = default;

void MyBase64Encoder::update(const std::string &strIn)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(strIn.data());
    std::size_t n = strIn.size();
    // Complete a group begun by an earlier update first.
    if (!strPending.empty()) {
        while (strPending.size() < 3 && n > 0) {
            strPending.push_back(static_cast<char>(*p++));
            --n;
        }
        if (strPending.size() < 3) {
            return;
        }
        appendBase64(strEncoded, reinterpret_cast<const unsigned char *>(strPending.data()), 3);
        strPending.clear();
    }
    const std::size_t whole = n - n % 3;
    appendBase64(strEncoded, p, whole);
    strPending.assign(reinterpret_cast<const char *>(p + whole), n - whole);
}

std::string MyBase64Encoder::finalize()
{
    appendBase64(strEncoded, reinterpret_cast<const unsigned char *>(strPending.data()),
                 strPending.size());
    strPending.clear();
    return strEncoded;
}

// ---------------------------------------------------------------------------
// MyBase64Decoder

MyBase64Decoder::MyBase64Decoder()
    : nAccum(0), nAccumBits(0), nGroupPos(0), nPadding(0), bOk(true)
{
}

MyBase64Decoder::~MyBase64Decoder() = default;

bool MyBase64Decoder::update(const std::string &strIn)
{
    for (std::size_t i = 0; bOk && i < strIn.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(strIn[i]);
        if (isBase64Space(c)) {
            continue;
        }
        if (c == '=') {
            // Padding only completes a group that holds two or three
            // characters: "xx==" or "xxx=".
            if (nGroupPos + nPadding < 2 || nGroupPos + nPadding >= 4) {
                bOk = false;
                break;
            }
            ++nPadding;
            continue;
        }
        const int v = base64Value(c);
        if (v < 0 || nPadding > 0) {
            // Outside the alphabet, or data after the padding.
            bOk = false;
            break;
        }
        nAccum = ((nAccum << 6) | static_cast<unsigned int>(v)) & 0xFFFFu;
        nAccumBits += 6;
        if (nAccumBits >= 8) {
            nAccumBits -= 8;
            strDecoded.push_back(static_cast<char>((nAccum >> nAccumBits) & 0xFFu));
        }
        nGroupPos = (nGroupPos + 1) % 4;
        if (nGroupPos == 0) {
            nAccumBits = 0;
        }
    }
    return bOk;
}

std::string MyBase64Decoder::finalize()
{
    // One lone character cannot carry a byte: the text was cut short.
    if (nPadding == 0 && nGroupPos == 1) {
        bOk = false;
    }
    return strDecoded;
}

// ---------------------------------------------------------------------------
// MySH1

MySH1::MySH1(const std::string &strKeyIn, bool bHexIn)
    : theHctx(nullptr), strKey(strKeyIn), bHex(bHexIn)
{
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (mac == nullptr) {
        return;
    }
    theHctx = EVP_MAC_CTX_new(mac);
    EVP_MAC_free(mac);  // the context keeps its own reference
    if (theHctx == nullptr) {
        return;
    }
    char szDigest[] = "SHA1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, szDigest, 0),
        OSSL_PARAM_construct_end(),
    };
    // An empty key still needs a non-null pointer, or the call would mean
    // "keep the previous key".
    static const unsigned char emptyKey[1] = {0};
    const unsigned char *pKey = strKey.empty()
        ? emptyKey
        : reinterpret_cast<const unsigned char *>(strKey.data());
    if (EVP_MAC_init(theHctx, pKey, strKey.size(), params) != 1) {
        EVP_MAC_CTX_free(theHctx);
        theHctx = nullptr;
    }
}

MySH1::~MySH1()
{
    EVP_MAC_CTX_free(theHctx);
}

void MySH1::update(const std::string &strIn)
{
    if (theHctx != nullptr && !strIn.empty()) {
        EVP_MAC_update(theHctx, reinterpret_cast<const unsigned char *>(strIn.data()),
                       strIn.size());
    }
}

std::string MySH1::finalize()
{
    if (theHctx != nullptr) {
        unsigned char mac[EVP_MAX_MD_SIZE];
        std::size_t len = 0;
        if (EVP_MAC_final(theHctx, mac, &len, sizeof(mac)) == 1 && len == kSHA1Size) {
            strSigned.assign(reinterpret_cast<const char *>(mac), len);
        }
        EVP_MAC_CTX_free(theHctx);
        theHctx = nullptr;
    }
    return bHex ? convertToHex(strSigned) : strSigned;
}

// ---------------------------------------------------------------------------
// Hex

char ch2hex(unsigned char ch)
{
    static const char digits[] = "0123456789abcdef";
    return digits[ch & 0x0F];
}

std::string sha256Hex(const std::string &str)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(str.data(), str.size(), digest, &len, EVP_sha256(), nullptr);
    return convertToHex(std::string(reinterpret_cast<const char *>(digest), len));
}

bool md5HexToBase64(const std::string &strHex, std::string &strBase64)
{
    std::string strBytes;
    if (strHex.size() != 32 || !hexToBytes(strHex, strBytes))
        return false;
    MyBase64Encoder encoder;
    encoder.update(strBytes);
    strBase64 = encoder.finalize();
    return true;
}

std::string convertToHex(const std::string &strIn)
{
    std::string strOut;
    strOut.reserve(strIn.size() * 2);
    for (const char c : strIn) {
        const unsigned char b = static_cast<unsigned char>(c);
        strOut.push_back(ch2hex(static_cast<unsigned char>(b >> 4)));
        strOut.push_back(ch2hex(b));
    }
    return strOut;
}

namespace {

// '0'-'9', 'a'-'f', 'A'-'F' to 0-15; -1 for any other byte.
int hexValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

} // namespace

bool lowerHexMd5Bytes(const char *p, std::size_t n, unsigned char out[16])
{
    // Each byte's value as a lower-case hex digit, 16 for any other byte:
    // one look-up per digit, as listings and the digest cache parse a digest
    // per object.
    static const struct Table {
        unsigned char value[256];
        Table()
        {
            std::memset(value, 16, sizeof value);
            for (int c = '0'; c <= '9'; ++c)
                value[c] = static_cast<unsigned char>(c - '0');
            for (int c = 'a'; c <= 'f'; ++c)
                value[c] = static_cast<unsigned char>(c - 'a' + 10);
        }
    } table;
    if (n != 32)
        return false;
    unsigned char bytes[16];
    for (std::size_t i = 0; i < 16; ++i) {
        const unsigned hi = table.value[static_cast<unsigned char>(p[2 * i])];
        const unsigned lo = table.value[static_cast<unsigned char>(p[2 * i + 1])];
        if ((hi | lo) & 16)
            return false;
        bytes[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    std::memcpy(out, bytes, sizeof bytes);
    return true;
}

bool hexToBytes(const std::string &strHex, std::string &strBytes)
{
    if (strHex.size() % 2 != 0)
        return false;
    std::string strOut;
    strOut.reserve(strHex.size() / 2);
    for (std::size_t i = 0; i < strHex.size(); i += 2) {
        const int hi = hexValue(strHex[i]);
        const int lo = hexValue(strHex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        strOut.push_back(static_cast<char>((hi << 4) | lo));
    }
    strBytes = strOut;
    return true;
}

// ---------------------------------------------------------------------------
// Strings

char myToUpper(char ch)
{
    return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
}

int StringManager::icompare(const std::string &left, const std::string &right)
{
    if (left.size() != right.size()) {
        // Only the sign matters to callers; keep it right for any length.
        const long long diff = static_cast<long long>(left.size())
                             - static_cast<long long>(right.size());
        if (diff > INT_MAX) return INT_MAX;
        if (diff < INT_MIN) return INT_MIN;
        return static_cast<int>(diff);
    }
    for (std::size_t i = 0; i < left.size(); ++i) {
        const int a = upperSigned(left[i]);
        const int b = upperSigned(right[i]);
        if (a != b) {
            return a - b;
        }
    }
    return 0;
}

int StringManager::incompare(const std::string &left, const std::string &right,
                             std::size_t len)
{
    std::size_t n = len;
    if (left.size() < n) n = left.size();
    if (right.size() < n) n = right.size();
    for (std::size_t i = 0; i < n; ++i) {
        const int a = upperSigned(left[i]);
        const int b = upperSigned(right[i]);
        if (a != b) {
            return a - b;
        }
    }
    return 0;
}

std::string StringManager::int2string(int number)
{
    std::ostringstream os;
    os << number;
    return os.str();
}

int CompareCaseInsensitive(const std::string &strFirst, const std::string &strSecond)
{
    return StringManager::icompare(strFirst, strSecond);
}

std::string int2string(int number)
{
    return StringManager::int2string(number);
}

bool string2int(const std::string &str, int &number)
{
    const char *begin = str.c_str();
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return false;
    }
    number = static_cast<int>(value);
    return true;
}

bool ci_char_traits::eq(char c1, char c2)
{
    return myToUpper(c1) == myToUpper(c2);
}

bool ci_char_traits::ne(char c1, char c2)
{
    return myToUpper(c1) != myToUpper(c2);
}

bool ci_char_traits::lt(char c1, char c2)
{
    return upperUnsigned(c1) < upperUnsigned(c2);
}

int ci_char_traits::compare(const char *s1, const char *s2, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const int a = upperUnsigned(s1[i]);
        const int b = upperUnsigned(s2[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    return 0;
}

const char *ci_char_traits::find(const char *s, std::size_t n, char a)
{
    const char ua = myToUpper(a);
    for (std::size_t i = 0; i < n; ++i) {
        if (myToUpper(s[i]) == ua) {
            return s + i;
        }
    }
    return nullptr;
}

std::string trimQuote(const std::string &str)
{
    const auto isQuote = [](char c) { return c == '"' || c == '\''; };
    if (!str.empty() && isQuote(str.front()) && isQuote(str.back())) {
        // A lone quote character is both ends of the pair.
        return str.size() < 2 ? std::string() : str.substr(1, str.size() - 2);
    }
    return str;
}

// ---------------------------------------------------------------------------
// Paths

bool mkpath(const std::string &s)
{
    const std::string strPath = s + "/";
    for (std::string::size_type pos = strPath.find('/'); pos != std::string::npos;
         pos = strPath.find('/', pos + 1)) {
        if (pos == 0 || strPath[pos - 1] == '/') {
            continue;  // leading "/" or "//"
        }
        const std::string strDir = strPath.substr(0, pos);
        if (mkdir(strDir.c_str(), 0755) != 0 && !isDirectory(strDir)) {
            // Something other than a directory is in the way, or the
            // creation failed outright.
            return false;
        }
    }
    return true;
}

bool ensureDirectory(const std::string &strPath)
{
    if (strPath.empty()) {
        return false;
    }
    struct stat st;
    if (lstat(strPath.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    if (errno != ENOENT) {
        return false;
    }
    // The parent: "." for a bare name, "/" for a name directly below the root.
    const std::string::size_type pos = strPath.rfind('/');
    const std::string strParent = pos == std::string::npos ? std::string(".")
                                : pos == 0                 ? std::string("/")
                                                           : strPath.substr(0, pos);
    // A parent that is the path itself (a vanished working folder) ends here.
    if (strParent == strPath || !ensureDirectory(strParent)) {
        return false;
    }
    if (mkdir(strPath.c_str(), 0777) == 0) {
        return true;
    }
    const int err = errno;
    if (err == EEXIST) {
        return isDirectory(strPath);
    }
    std::fprintf(stderr, "mkdir error: %s\n", std::strerror(err));
    std::fflush(stderr);
    return false;
}

bool ensureParentDirectory(const std::string &strPath)
{
    const std::string::size_type pos = strPath.rfind('/');
    if (pos == std::string::npos) {
        return true;
    }
    return mkpath(strPath.substr(0, pos));
}

bool getFileSize(const std::string &strPath, uint64_t &size)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}
