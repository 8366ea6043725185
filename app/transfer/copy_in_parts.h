// copy_in_parts.h - new headers for an object too large for one copy: an
// upload in parts of the object onto itself (begun with the new headers, each
// part copied on the store from a byte range of the object, then joined),
// given up when anything fails, so that no unfinished upload is left.
#pragma once

#include <cstdint>
#include <memory>

#include "header_update.h"
#include "hints.h"
#include "request_runner.h"

// The largest object one copy may give new headers (the store's limit), and
// the least size of the parts a larger one is copied in (grown as uploads'
// parts are). Tests lower them.
struct CopyLimits {
    uint64_t single = S3_MAX_SINGLE_UPLOAD_SIZE;
    uint64_t part = 1024ULL * 1024 * 1024;
};
CopyLimits copyLimits();
void setCopyLimits(const CopyLimits &limits);

// The job that gives update its headers by a copy in parts (update.size
// bytes, in parts of at least partSize bytes). Its block is the header
// update's: "update headers: KEY", retry and failure lines, the outcome.
std::unique_ptr<RunnerJob> copyInPartsJob(const S3BucketContext &ctx, HintLog &hints, uint64_t partSize,
                                          HeaderUpdate &update, HeaderUpdateTotals &totals);

// The end of one header update, however it was made: the update and the
// totals say how it went, and the event is emitted.
void headerUpdateEnded(const RunnerJob &job, bool bOk, const std::string &strETag, HeaderUpdate &update,
                       HeaderUpdateTotals &totals);
