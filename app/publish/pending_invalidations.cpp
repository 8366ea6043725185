// pending_invalidations.cpp - one key a line, escaped so any key is one line,
// written whole or not at all.
#include "pending_invalidations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "console.h"
#include "myS3Common.h"
#include "tempfile.h"

namespace {

const char kMagic[] = "sitemirror pending invalidations 1";
const char kHex[] = "0123456789ABCDEF";

// "%", CR and LF as %XX: a key stays one line and reads back byte for byte.
std::string escapeKey(const std::string &strKey)
{
    std::string strOut;
    for (unsigned char c : strKey) {
        if (c == '%' || c == '\n' || c == '\r') {
            strOut += '%';
            strOut += kHex[c >> 4];
            strOut += kHex[c & 15];
        } else {
            strOut += static_cast<char>(c);
        }
    }
    return strOut;
}

int hexDigit(char c)
{
    const char *p = std::strchr(kHex, c);
    return c != '\0' && p ? static_cast<int>(p - kHex) : -1;
}

bool unescapeKey(const std::string &strLine, std::string &strKey)
{
    strKey.clear();
    for (std::size_t i = 0; i < strLine.size(); ++i) {
        if (strLine[i] != '%') {
            strKey += strLine[i];
            continue;
        }
        if (i + 2 >= strLine.size())
            return false;
        const int hi = hexDigit(strLine[i + 1]), lo = hexDigit(strLine[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        strKey += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

} // namespace

PendingInvalidations::PendingInvalidations(const std::string &strCacheDir,
                                           const std::string &strStore, const std::string &strCdn)
    : strDir(strCacheDir)
{
    while (strDir.size() > 1 && strDir.back() == '/')
        strDir.pop_back();
    strFile = strDir + "/" + sha256Hex(strStore + "\n" + strCdn) + ".pending";
}

bool PendingInvalidations::load(std::vector<std::string> &keys) const
{
    keys.clear();
    std::ifstream in(strFile, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return true;
        printErrorLine("cannot read pending invalidations: " + consoleText(strFile) + " (" +
                       std::strerror(errno) + ")");
        return false;
    }
    std::string strLine;
    if (!std::getline(in, strLine) || strLine != kMagic) {
        printErrorLine("pending invalidations damaged or foreign: " + consoleText(strFile));
        return false;
    }
    std::set<std::string> seen;
    while (std::getline(in, strLine)) {
        std::string strKey;
        if (!unescapeKey(strLine, strKey)) {
            printErrorLine("pending invalidations damaged or foreign: " +
                           consoleText(strFile));
            return false;
        }
        if (seen.insert(strKey).second)
            keys.push_back(strKey);
    }
    return true;
}

bool PendingInvalidations::add(const std::vector<std::string> &added)
{
    if (added.empty())
        return true;
    std::vector<std::string> keys;
    load(keys);
    std::set<std::string> seen(keys.begin(), keys.end());
    for (const std::string &strKey : added)
        if (seen.insert(strKey).second)
            keys.push_back(strKey);
    return write(keys);
}

bool PendingInvalidations::clear(const std::vector<std::string> &accepted)
{
    std::vector<std::string> keys;
    if (!load(keys))
        return false;
    const std::set<std::string> gone(accepted.begin(), accepted.end());
    std::vector<std::string> left;
    for (const std::string &strKey : keys)
        if (!gone.count(strKey))
            left.push_back(strKey);
    if (left.size() == keys.size())
        return true;
    if (left.empty()) {
        if (::unlink(strFile.c_str()) != 0 && errno != ENOENT) {
            printErrorLine("cannot write pending invalidations: " + consoleText(strFile) + " (" +
                           std::strerror(errno) + ")");
            return false;
        }
        return true;
    }
    return write(left);
}

bool PendingInvalidations::write(const std::vector<std::string> &keys) const
{
    auto fail = [this](int nError) {
        printErrorLine("cannot write pending invalidations: " + consoleText(strFile) + " (" +
                       std::strerror(nError) + ")");
        return false;
    };
    // The cache folder and its parents, private to the user.
    for (std::size_t pos = 1; pos <= strDir.size(); ++pos) {
        if (pos == strDir.size() || strDir[pos] == '/') {
            if (::mkdir(strDir.substr(0, pos).c_str(), 0700) != 0 && errno != EEXIST)
                return fail(errno);
        }
    }
    std::string strText = std::string(kMagic) + "\n";
    for (const std::string &strKey : keys)
        strText += escapeKey(strKey) + "\n";
    std::string strTemp = strFile + ".XXXXXX";
    int slot = -1;
    const int fd = createTempFile(strTemp, O_CLOEXEC, slot);
    if (fd < 0)
        return fail(errno);
    int nError = 0;
    for (const char *p = strText.data(), *end = p + strText.size(); p < end && nError == 0;) {
        const ssize_t n = ::write(fd, p, static_cast<std::size_t>(end - p));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            nError = n < 0 ? errno : EIO;
        else
            p += n;
    }
    // On the disk before the run goes on to change what it names.
    if (nError == 0 && ::fsync(fd) != 0)
        nError = errno;
    if (::close(fd) != 0 && nError == 0)
        nError = errno;
    if (nError == 0 && ::rename(strTemp.c_str(), strFile.c_str()) != 0)
        nError = errno;
    if (nError != 0)
        ::unlink(strTemp.c_str());
    releaseTempFile(slot);
    return nError == 0 || fail(nError);
}
