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

void ObjTag::assign(const char *p, std::size_t n)
{
    kind = Empty;
    pszText = nullptr;
    if (n == 0)
        return;
    if (parseDigest(p, n, digest)) {
        kind = Digest;
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
    kind = Text;
}

void ObjTag::copyFrom(const ObjTag &other)
{
    kind = Empty;
    pszText = nullptr;
    if (other.kind == Text) {
        assign(other.pszText + sizeof(std::size_t), textLength(other.pszText));
    } else {
        std::memcpy(digest, other.digest, sizeof digest);
        kind = other.kind;
    }
}

void ObjTag::takeFrom(ObjTag &other) noexcept
{
    std::memcpy(digest, other.digest, sizeof digest);
    pszText = other.pszText;
    kind = other.kind;
    other.pszText = nullptr;
    other.kind = Empty;
}

void ObjTag::release() noexcept
{
    std::free(pszText);
    pszText = nullptr;
    kind = Empty;
}

std::string ObjTag::str() const
{
    switch (kind) {
    case Digest: {
        std::string str(32, '0');
        for (std::size_t i = 0; i < 16; ++i) {
            str[2 * i] = kHexDigits[digest[i] >> 4];
            str[2 * i + 1] = kHexDigits[digest[i] & 0xf];
        }
        return str;
    }
    case Text:
        return std::string(pszText + sizeof(std::size_t), textLength(pszText));
    case Empty:
        break;
    }
    return std::string();
}

std::size_t ObjTag::size() const
{
    switch (kind) {
    case Digest:
        return 32;
    case Text:
        return textLength(pszText);
    case Empty:
        break;
    }
    return 0;
}

bool ObjTag::equals(const char *p, std::size_t n) const
{
    switch (kind) {
    case Digest: {
        unsigned char other[16];
        return parseDigest(p, n, other) && std::memcmp(other, digest, sizeof digest) == 0;
    }
    case Text:
        return textLength(pszText) == n && std::memcmp(pszText + sizeof(std::size_t), p, n) == 0;
    case Empty:
        break;
    }
    return n == 0;
}

bool operator==(const ObjTag &a, const ObjTag &b)
{
    if (a.kind != b.kind)
        return false;
    if (a.kind == ObjTag::Digest)
        return std::memcmp(a.digest, b.digest, sizeof a.digest) == 0;
    if (a.kind == ObjTag::Text)
        return a.equals(b.pszText + sizeof(std::size_t), textLength(b.pszText));
    return true;
}
