// encoded_body.cpp - scratch files for encoded bodies: O_TMPFILE where the
// file system has it, else a named temporary unlinked at once (registered
// with the signal handler in between).
#include "encoded_body.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "tempfile.h"

namespace {

std::string scratchFolder()
{
    const char *pszTmp = std::getenv("TMPDIR");
    return pszTmp && pszTmp[0] == '/' ? pszTmp : "/tmp";
}

} // namespace

int openScratchFile(int &nErrno)
{
    const std::string strDir = scratchFolder();
    int fd = ::open(strDir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        nErrno = errno;
        return -1;
    }
    std::string strTemplate = strDir + "/sitemirror-body.XXXXXX";
    int slot = -1;
    fd = createTempFile(strTemplate, O_CLOEXEC, slot);
    if (fd < 0) {
        nErrno = errno;
        return -1;
    }
    ::unlink(strTemplate.c_str());
    releaseTempFile(slot);
    return fd;
}

bool encodeToScratch(int fd, const std::string &strEncoding, int &fdBody, EncodedFile &out, int &nErrno,
                     const std::function<bool()> &stop)
{
    fdBody = openScratchFile(nErrno);
    if (fdBody < 0)
        return false;
    errno = 0;
    if (!encodeFileTo(fd, strEncoding, fdBody, out, stop) || ::lseek(fdBody, 0, SEEK_SET) != 0) {
        nErrno = errno;
        ::close(fdBody);
        fdBody = -1;
        return false;
    }
    return true;
}
