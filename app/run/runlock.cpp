// runlock.cpp - the run lock: flock on the site's lock file in the cache
// folder, the holder's pid written into it for the runs that wait.
#include "runlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console.h"
#include "digestcache.h"
#include "tempfile.h"

namespace {

const char kDigestsSuffix[] = ".digests";
const char kLockSuffix[] = ".lock";

// The holder's pid as its file says it, "unknown" while it has not said it yet.
std::string holderOf(int fd)
{
    char sz[32] = "";
    const ssize_t n = ::pread(fd, sz, sizeof sz - 1, 0);
    std::string strPid;
    for (ssize_t i = 0; i < n && sz[i] >= '0' && sz[i] <= '9'; ++i)
        strPid += sz[i];
    return strPid.empty() ? "unknown" : strPid;
}

// Creates the folder and its parents, private to the user, as the digest
// cache does when it saves.
bool makeFolders(const std::string &strDir)
{
    for (std::size_t pos = 1; pos <= strDir.size(); ++pos) {
        if (pos != strDir.size() && strDir[pos] != '/')
            continue;
        const std::string strPart = strDir.substr(0, pos);
        if (::mkdir(strPart.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

RunLock::Result unavailable(const std::string &strPath, int err)
{
    printErrorLine("cannot take the run lock: " + consoleText(strPath) + ": " +
                   std::strerror(err) + " (going on without it)");
    return RunLock::Unavailable;
}

} // namespace

RunLock::~RunLock()
{
    if (fd >= 0)
        ::close(fd);
}

std::string RunLock::pathFor(const std::string &strCacheDir, const std::string &strRoot)
{
    std::string strPath = DigestCache(strCacheDir, strRoot).legacyPath();
    const std::size_t nSuffix = sizeof kDigestsSuffix - 1;
    if (strPath.size() >= nSuffix &&
        strPath.compare(strPath.size() - nSuffix, nSuffix, kDigestsSuffix) == 0)
        strPath.erase(strPath.size() - nSuffix);
    return strPath + kLockSuffix;
}

std::string RunLock::fallbackFolder()
{
    const std::string strDir = "/tmp/sitemirror-" + std::to_string(static_cast<long>(::getuid()));
    ::mkdir(strDir.c_str(), 0700);
    struct stat st;
    if (::lstat(strDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0)
        return "";
    return strDir + "/";
}

RunLock::Result RunLock::take(const std::string &strCacheDir, const std::string &strRoot, bool bWait)
{
    const std::string strPath = pathFor(strCacheDir, strRoot);
    const std::string strDir = strPath.substr(0, strPath.rfind('/'));
    int lockFd = -1;
    if (makeFolders(strDir))
        lockFd = ::open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd < 0)
        return unavailable(strPath, errno);
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            const int err = errno;
            ::close(lockFd);
            return unavailable(strPath, err);
        }
        const std::string strHolder = holderOf(lockFd);
        if (!bWait) {
            printLine("another run of this site is in progress (pid " + strHolder +
                      "); not waiting: " + consoleText(strPath));
            ::close(lockFd);
            return Busy;
        }
        printLine("waiting for the other run of this site (pid " + strHolder +
                  ") to end: " + consoleText(strPath));
        int rc;
        do {
            rc = ::flock(lockFd, LOCK_EX);
        } while (rc != 0 && errno == EINTR && stopSignal() == 0);
        // Asked to stop while waiting: this run does nothing.
        if (rc != 0 && stopSignal() != 0) {
            ::close(lockFd);
            return Busy;
        }
        if (rc != 0) {
            const int err = errno;
            ::close(lockFd);
            return unavailable(strPath, err);
        }
    }
    const std::string strPid = std::to_string(static_cast<long>(::getpid())) + "\n";
    if (::ftruncate(lockFd, 0) != 0 ||
        ::pwrite(lockFd, strPid.data(), strPid.size(), 0) != static_cast<ssize_t>(strPid.size())) {
        // The lock holds all the same; only a waiting run cannot name us.
    }
    fd = lockFd;
    return Taken;
}
