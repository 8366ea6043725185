// outcome_lines.h - the console lines of one response: its headers, or its
// status with the store's code, message, resource, details and hint.
#pragma once

#include <string>
#include <vector>

#include "s3client.h"

class HintLog;
class RunnerJob;

// "requestId:...", "requestId2: ...", ... one line per metadata pair.
std::vector<std::string> propertiesLines(const S3ResponseProperties &prop);

// "succeed" for S3StatusOK. Otherwise "status:N", then "code:NAME" when the
// store sent a code, "http:N" when the answer had an HTTP status but no error
// document; with details the resource, message, further details and extra
// details; last the hint from hints (null: none), which it gives once per run.
// bSentStorageClass: the request named a storage class.
std::vector<std::string> outcomeLines(S3Status status, const S3ErrorDetails *details,
                                      HintLog *hints, bool bSentStorageClass);

// The end of one try of a part of an upload (sent, or copied on the store): a
// part the store named no ETag for failed, since it cannot be named when the
// parts are joined; a failed try's outcome lines join the part's lines, a
// good one says nothing. Then part.tryEnded().
void partTryEnded(RunnerJob &part, bool bHasETag, S3Status status, const S3ErrorDetails *details,
                  HintLog *hints, bool bSentStorageClass);
