// object_tag.h - the MD5 or entity tag of a scanned or listed record, held as
// its 16 bytes when it is an MD5 in lower-case hex (nearly every record), so
// that a site of many files carries no text of it.
#pragma once

#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>

class ObjTag {
public:
    ObjTag() noexcept {}
    ObjTag(const std::string &str) { assign(str.data(), str.size()); }
    ObjTag(const char *psz) { assign(psz, std::strlen(psz)); }
    ObjTag(const ObjTag &other) { copyFrom(other); }
    ObjTag(ObjTag &&other) noexcept { takeFrom(other); }
    ObjTag &operator=(const ObjTag &other)
    {
        if (this != &other) {
            release();
            copyFrom(other);
        }
        return *this;
    }
    ObjTag &operator=(ObjTag &&other) noexcept
    {
        if (this != &other) {
            release();
            takeFrom(other);
        }
        return *this;
    }
    ObjTag &operator=(const std::string &str)
    {
        release();
        assign(str.data(), str.size());
        return *this;
    }
    ObjTag &operator=(const char *psz)
    {
        release();
        assign(psz, std::strlen(psz));
        return *this;
    }
    ~ObjTag() { release(); }

    // The text, exactly as it was given.
    std::string str() const;
    operator std::string() const { return str(); }
    bool empty() const { return pszText == nullptr; }
    std::size_t size() const;

    // True when the text is exactly these n bytes.
    bool equals(const char *p, std::size_t n) const;

    friend bool operator==(const ObjTag &a, const ObjTag &b);
    friend bool operator==(const ObjTag &a, const std::string &b) { return a.equals(b.data(), b.size()); }
    friend bool operator==(const std::string &a, const ObjTag &b) { return b == a; }
    friend bool operator==(const ObjTag &a, const char *b) { return a.equals(b, std::strlen(b)); }
    friend bool operator!=(const ObjTag &a, const ObjTag &b) { return !(a == b); }
    friend bool operator!=(const ObjTag &a, const std::string &b) { return !(a == b); }
    friend bool operator!=(const std::string &a, const ObjTag &b) { return !(b == a); }
    friend bool operator!=(const ObjTag &a, const char *b) { return !(a == b); }
    friend std::ostream &operator<<(std::ostream &os, const ObjTag &tag) { return os << tag.str(); }

private:
    void assign(const char *p, std::size_t n);
    void copyFrom(const ObjTag &other);
    void takeFrom(ObjTag &other) noexcept;
    void release() noexcept;

    // null: no tag; kDigest: the tag is digest; otherwise the tag's length
    // and then its bytes, NUL-terminated (a tag may hold any byte).
    static char kDigest[1];
    bool isDigest() const { return pszText == kDigest; }
    bool isText() const { return pszText != nullptr && pszText != kDigest; }

    unsigned char digest[16] = {0};
    char *pszText = nullptr;
};
