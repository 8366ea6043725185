// The progress line's text: counts, sizes, rate, time left and retries.
#include <gtest/gtest.h>

#include <string>

#include "progress.h"

namespace {

TEST(ProgressText, CountsSizesRateAndTimeLeftReadAsMeant)
{
    struct Row {
        std::size_t nDone, nFiles, nFailed;
        int64_t nBytesDone;
        uint64_t nBytes, nHanded;
        int nRetries;
        double seconds;
        const char *text;
    };
    const uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;
    const Row rows[] = {
        // Nothing known yet: no rate, no time left.
        {0, 2, 0, 0, 2 * KiB, 0, 0, 0.0, "files 0/2, 0 B of 2.0 KiB, -- B/s, ETA --, 0 retries"},
        {1, 2, 0, 1024, 2 * KiB, 1024, 0, 1.0,
         "files 1/2, 1.0 KiB of 2.0 KiB, 1.0 KiB/s, ETA 0:01, 0 retries"},
        // The rate counts bytes sent again; what is left does not.
        {1, 3, 0, static_cast<int64_t>(MiB), 3 * MiB, 2 * MiB, 1, 2.0,
         "files 1/3, 1.0 MiB of 3.0 MiB, 1.0 MiB/s, ETA 0:02, 1 retry"},
        // Hours; a part second left is a whole one.
        {0, 9, 0, 0, 10 * GiB, MiB, 2, 1.0,
         "files 0/9, 0 B of 10.0 GiB, 1.0 MiB/s, ETA 2:50:40, 2 retries"},
        {0, 1, 0, 0, 1000, 300, 0, 1.0, "files 0/1, 0 B of 1000 B, 300 B/s, ETA 0:04, 0 retries"},
        {2, 2, 1, 10, 10, 10, 3, 1.0, "files 2/2, 10 B of 10 B, 10 B/s, ETA 0:00, 3 retries, 1 failed"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        ProgressState state;
        state.nFilesDone = row.nDone;
        state.nFiles = row.nFiles;
        state.nFailed = row.nFailed;
        state.nBytesDone = row.nBytesDone;
        state.nBytes = row.nBytes;
        state.nBytesHanded = row.nHanded;
        state.nRetries = row.nRetries;
        EXPECT_EQ(progressText(state, row.seconds), row.text);
    }
}

} // namespace
