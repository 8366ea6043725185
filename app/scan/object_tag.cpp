// object_tag.cpp - an MD5 in lower-case hex kept as its bytes, any other tag
// as its text.
#include "object_tag.h"

#include <cstdlib>
#include <new>

#include "myS3Common.h"

namespace {

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
    if (lowerHexMd5Bytes(p, n, digest)) {
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
            str[2 * i] = ch2hex(static_cast<unsigned char>(digest[i] >> 4));
            str[2 * i + 1] = ch2hex(static_cast<unsigned char>(digest[i] & 0xf));
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
        return lowerHexMd5Bytes(p, n, other) && std::memcmp(other, digest, sizeof digest) == 0;
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
