// encoded_body.h - the body of a file under a compressing rule, encoded into
// a scratch file outside the tree (never into memory): the upload sends it
// from there, every try and every part the same bytes.
#pragma once

#include <functional>
#include <string>

#include "compress.h"

// Opens a scratch file with no name (in $TMPDIR when it is an absolute path,
// else /tmp), so that nothing is left behind however the process ends. The
// descriptor, or -1 with nErrno set.
int openScratchFile(int &nErrno);

// Encodes the open file fd (from where it stands to its end) with strEncoding
// into a new scratch file: its descriptor (offset at 0) in fdBody, the plain
// and encoded digests and sizes in out. False when the scratch file cannot
// be had or written (nErrno set), the file cannot be read, or stop said so.
bool encodeToScratch(int fd, const std::string &strEncoding, int &fdBody, EncodedFile &out, int &nErrno,
                     const std::function<bool()> &stop = std::function<bool()>());
