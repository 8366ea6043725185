// digestcache_legacy.h - the digest cache file of earlier releases, read
// once so that its digests and records move into the cache database.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// What one line of the file held; keys and texts are raw bytes.
struct LegacyVisitor {
    std::function<void(const std::string &strKey, uint64_t dev, uint64_t ino, uint64_t size, int64_t mtimeNs,
                       int64_t ctimeNs, const std::string &strMd5Hex)>
        file;
    std::function<void(const std::string &strKey, const std::string &strEncoding, const std::string &strPlainHex,
                       const std::string &strMd5Hex, uint64_t size)>
        encoded;
    std::function<void(const std::string &strKey, const std::string &strTarget, const std::string &strMd5Hex,
                       uint64_t size, const std::string &strETag, const std::string &strHeaders)>
        record;
};

// Reads the file at strPath written for the site root strRoot, line by line
// into visit. False when it is damaged (cut short, garbage) or another root's;
// then some lines may have been visited already. nDistinctFiles: how many
// different keys the "f" lines named, as the file of the first format counts
// them at its end (asked once, before the end is checked).
bool readLegacyDigestCache(const std::string &strPath, const std::string &strRoot, const LegacyVisitor &visit,
                           const std::function<uint64_t()> &nDistinctFiles);
