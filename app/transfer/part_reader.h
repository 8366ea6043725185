// part_reader.h - one read of a body about to go up in parts: every part's
// Content-MD5 and the MD5 of the whole, computed off the runner's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class PartsRead {
    Ok,
    Short,   // the file ended before size bytes: it is not the one scanned
    Error,   // a read failed (nErrno says why)
    Stopped, // stop() said so
};

// Reads the first size bytes of the open file fd (with pread: its offset is
// left alone) in parts of partSize bytes: the base64 MD5 of each part into
// partMd5s (none for an empty file) and the hex MD5 of all of them into
// strWholeHex. stop (may be empty) is asked between blocks.
PartsRead digestParts(int fd, uint64_t size, uint64_t partSize, std::vector<std::string> &partMd5s,
                      std::string &strWholeHex, int &nErrno,
                      const std::function<bool()> &stop = std::function<bool()>());
