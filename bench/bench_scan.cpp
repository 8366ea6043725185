// bench_scan.cpp - measures the local tree scan, and makes the trees to measure.
//
//   bench_scan make-tree DIR FILES BYTES   writes FILES files of together about
//                                          BYTES bytes of pseudo-random content
//                                          under DIR, 100 to a folder
//   bench_scan scan DIR                    scans DIR as the mirror run does and
//                                          prints files, bytes, wall seconds and
//                                          the process's peak resident memory
//   bench_scan cache-scan DIR CACHEDIR     the same with the digest cache in
//                                          CACHEDIR (loaded before, saved after
//                                          the timed scan), and the files read
#include "digestcache.h"
#include "myDir.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t g_state = 0x9E3779B97F4A7C15ull;

uint64_t nextRandom()
{
    g_state ^= g_state << 13;
    g_state ^= g_state >> 7;
    g_state ^= g_state << 17;
    return g_state;
}

bool writeRandomFile(const std::string &strPath, uint64_t nBytes)
{
    FILE *out = std::fopen(strPath.c_str(), "wb");
    if (out == nullptr) {
        std::perror(strPath.c_str());
        return false;
    }
    std::vector<uint64_t> block(8192);
    while (nBytes > 0) {
        for (uint64_t &word : block)
            word = nextRandom();
        const size_t nChunk = nBytes < block.size() * 8 ? static_cast<size_t>(nBytes) : block.size() * 8;
        if (std::fwrite(block.data(), 1, nChunk, out) != nChunk) {
            std::perror(strPath.c_str());
            std::fclose(out);
            return false;
        }
        nBytes -= nChunk;
    }
    return std::fclose(out) == 0;
}

// Sizes spread between 0 and twice the mean, summing to nTotal.
int makeTree(const std::string &strDir, uint64_t nFiles, uint64_t nTotal)
{
    if (nFiles == 0)
        return 2;
    const uint64_t nMean = nTotal / nFiles;
    uint64_t nWritten = 0;
    for (uint64_t i = 0; i < nFiles; ++i) {
        const std::string strSub = strDir + "/d" + std::to_string(i / 100);
        if (i % 100 == 0 && mkdir(strSub.c_str(), 0755) != 0) {
            std::perror(strSub.c_str());
            return 1;
        }
        uint64_t nSize = nFiles == 1 ? nTotal : nextRandom() % (2 * nMean + 1);
        if (i + 1 == nFiles)
            nSize = nTotal > nWritten ? nTotal - nWritten : 0;
        if (!writeRandomFile(strSub + "/f" + std::to_string(i) + ".bin", nSize))
            return 1;
        nWritten += nSize;
    }
    std::printf("made %" PRIu64 " files, %" PRIu64 " bytes under %s\n", nFiles, nWritten, strDir.c_str());
    return 0;
}

int scan(const std::string &strDir)
{
    S3ObjSet setFiles;
    const auto start = std::chrono::steady_clock::now();
    const bool bOk = getAllFiles(strDir + "/", setFiles);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    uint64_t nBytes = 0;
    for (const S3Obj &obj : setFiles)
        nBytes += obj.size;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    // Processor time of every thread (the hashing pool's too).
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("scan %s: files %zu bytes %" PRIu64 " wall %.3f s cpu %.3f s maxrss %ld KiB\n",
                bOk ? "ok" : "FAILED", setFiles.size(), nBytes, wall.count(), cpu, usage.ru_maxrss);
    return bOk ? 0 : 1;
}

int cacheScan(const std::string &strDir, const std::string &strCacheDir)
{
    S3ObjSet setFiles;
    ScanStats stats;
    const auto start = std::chrono::steady_clock::now();
    DigestCache cache(strCacheDir, strDir);
    cache.load();
    ScanOptions options;
    options.cache = &cache;
    options.stats = &stats;
    const bool bOk = getAllFiles(strDir + "/", setFiles, options) && cache.save();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("cache-scan %s: files %zu hashed %" PRIu64 " hits %" PRIu64 " wall %.3f s maxrss %ld KiB\n",
                bOk ? "ok" : "FAILED", setFiles.size(), stats.nHashed, stats.nCacheHits, wall.count(),
                usage.ru_maxrss);
    return bOk ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "make-tree") == 0)
        return makeTree(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10));
    if (argc == 3 && std::strcmp(argv[1], "scan") == 0)
        return scan(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "cache-scan") == 0)
        return cacheScan(argv[2], argv[3]);
    std::fprintf(stderr, "usage: %s make-tree DIR FILES BYTES | scan DIR | cache-scan DIR CACHEDIR\n", argv[0]);
    return 2;
}
