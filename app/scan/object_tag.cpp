// object_tag.cpp - an MD5 in lower-case hex kept as its bytes, any other tag
// as its text.
#include "object_tag.h"

#include <cstdlib>
#include <new>

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int lowerHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The 16 bytes of 32 lower-case hex digits; false for any other text, which
// then keeps its own bytes (upper case included, so it comes back as given).
bool parseDigest(const char *p, std::size_t n, unsigned char out[16])
{
    if (n != 32)
        return false;
    for (std::size_t i = 0; i < 16; ++i) {
        const int hi = lowerHexValue(p[2 * i]);
        const int lo = lowerHexValue(p[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

std::size_t textLength(const char *pszText)
{
    std::size_t n;
    std::memcpy(&n, pszText, sizeof n);
    return n;
}

} // namespace

char ObjTag::kDigest[1];

void ObjTag::assign(const char *p, std::size_t n)
{
    pszText = nullptr;
    if (n == 0)
        return;
    if (parseDigest(p, n, digest)) {
        pszText = kDigest;
        return;
    }
    // The length first, so a tag may hold any byte, NUL included.
    char *block = static_cast<char *>(std::malloc(sizeof n + n + 1));
    if (!block)
        throw std::bad_alloc();
    std::memcpy(block, &n, sizeof n);
    std::memcpy(block + sizeof n, p, n);
    block[sizeof n + n] = '\0';
    pszText = block;
}

void ObjTag::copyFrom(const ObjTag &other)
{
    pszText = nullptr;
    if (other.isText()) {
        assign(other.pszText + sizeof(std::size_t), textLength(other.pszText));
    } else {
        std::memcpy(digest, other.digest, sizeof digest);
        pszText = other.pszText;
    }
}

void ObjTag::takeFrom(ObjTag &other) noexcept
{
    std::memcpy(digest, other.digest, sizeof digest);
    pszText = other.pszText;
    other.pszText = nullptr;
}

void ObjTag::release() noexcept
{
    if (isText())
        std::free(pszText);
    pszText = nullptr;
}

std::string ObjTag::str() const
{
    if (isDigest()) {
        std::string str(32, '0');
        for (std::size_t i = 0; i < 16; ++i) {
            str[2 * i] = kHexDigits[digest[i] >> 4];
            str[2 * i + 1] = kHexDigits[digest[i] & 0xf];
        }
        return str;
    }
    if (isText())
        return std::string(pszText + sizeof(std::size_t), textLength(pszText));
    return std::string();
}

std::size_t ObjTag::size() const
{
    if (isDigest())
        return 32;
    return isText() ? textLength(pszText) : 0;
}

bool ObjTag::equals(const char *p, std::size_t n) const
{
    if (isDigest()) {
        unsigned char other[16];
        return parseDigest(p, n, other) && std::memcmp(other, digest, sizeof digest) == 0;
    }
    if (isText())
        return textLength(pszText) == n && std::memcmp(pszText + sizeof(std::size_t), p, n) == 0;
    return n == 0;
}

bool operator==(const ObjTag &a, const ObjTag &b)
{
    if (a.isDigest() || b.isDigest())
        return a.isDigest() && b.isDigest() && std::memcmp(a.digest, b.digest, sizeof a.digest) == 0;
    if (a.isText())
        return a.equals(b.pszText ? b.pszText + sizeof(std::size_t) : "", b.isText() ? textLength(b.pszText) : 0);
    return !b.isText();
}
