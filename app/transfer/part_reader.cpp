// part_reader.cpp - the parts' digests in one pass over the file, a block of
// 1 MiB at a time.
#include "part_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "myS3Common.h"

PartsRead digestParts(int fd, uint64_t size, uint64_t partSize, std::vector<std::string> &partMd5s,
                      std::string &strWholeHex, int &nErrno, const std::function<bool()> &stop)
{
    constexpr std::size_t kBlock = 1024 * 1024;
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    MyMD5 whole(true);
    std::unique_ptr<MyMD5> part;
    partMd5s.clear();
    uint64_t done = 0;
    uint64_t inPart = 0;
    while (done < size) {
        if (stop && stop())
            return PartsRead::Stopped;
        const std::size_t want =
            static_cast<std::size_t>(std::min<uint64_t>({kBlock, size - done, partSize - inPart}));
        const ssize_t n = ::pread(fd, buffer.get(), want, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            nErrno = errno;
            return PartsRead::Error;
        }
        if (n == 0)
            return PartsRead::Short;
        if (!part)
            part.reset(new MyMD5(false));
        whole.update(buffer.get(), static_cast<std::size_t>(n));
        part->update(buffer.get(), static_cast<std::size_t>(n));
        done += static_cast<uint64_t>(n);
        inPart += static_cast<uint64_t>(n);
        if (inPart == partSize || done == size) {
            MyBase64Encoder base64;
            base64.update(part->finalize());
            partMd5s.push_back(base64.finalize());
            part.reset();
            inPart = 0;
        }
    }
    strWholeHex = whole.finalize();
    return PartsRead::Ok;
}
