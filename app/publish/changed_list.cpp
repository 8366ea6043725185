// changed_list.cpp - the changed keys, one a line, written whole or not at all.
#include "changed_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console.h"

bool writeChangedList(const std::string &strPath, const std::vector<std::string> &keys)
{
    bool bAllKeys = true;
    std::string strText;
    for (const std::string &strKey : keys) {
        if (strKey.find_first_of("\r\n") != std::string::npos) {
            printLine("changed list: a key with a line break is left out: " + consoleText(strKey));
            bAllKeys = false;
            continue;
        }
        strText += strKey;
        strText += '\n';
    }

    std::string strTemp = strPath + ".XXXXXX";
    int fd = ::mkstemp(&strTemp[0]);
    if (fd < 0) {
        printLine("cannot write changed list: " + consoleText(strPath) + " (" +
                  std::strerror(errno) + ")");
        return false;
    }
    // Readable as a file written by the shell would be.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    const char *p = strText.data();
    std::size_t nLeft = strText.size();
    int nError = 0;
    while (nLeft > 0) {
        ssize_t n = ::write(fd, p, nLeft);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            nError = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        nLeft -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && nError == 0)
        nError = errno;
    if (nError == 0 && ::rename(strTemp.c_str(), strPath.c_str()) != 0)
        nError = errno;
    if (nError != 0) {
        ::unlink(strTemp.c_str());
        printLine("cannot write changed list: " + consoleText(strPath) + " (" +
                  std::strerror(nError) + ")");
        return false;
    }
    return bAllKeys;
}
