// bench_client - the S3 client against the loopback store of the test harness
// (moto_server behind the signature-checking proxy). It reports:
//   - requests per second and client CPU per request for sequential 4 KiB
//     puts within one initialisation (pooled handle, one connection);
//   - the same with S3_initialize/S3_deinitialize around every put;
//   - the peak memory (max RSS) of a process that uploads, and of one that
//     downloads, a large object, next to that of a process that only sets
//     the client up: bodies are streamed, so the peaks stay flat;
//   - the cost of composing and signing one upload request like the mirror's
//     (no transfer), signature V2 beside V4, in microseconds.
// Each memory phase runs in a child process of its own (this program run
// again with a phase argument), so one phase's peak does not hide another's.
//
// Usage: bench_client [PUTS] [LARGE_MIB]     (defaults 2000 and 1024)
//        bench_client --signing [ITERATIONS]  (default 200000): signing only
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "harness.h"
#include "request.h"
#include "s3client.h"

namespace {

const char *kBucket = "bench-client";

struct Transfer {
    uint64_t total = 0;
    uint64_t done = 0;
    S3Status status = S3StatusInternalError;
    int completes = 0;
};

void onComplete(S3Status status, const S3ErrorDetails *, void *data)
{
    Transfer *t = static_cast<Transfer *>(data);
    t->status = status;
    t->completes++;
}

// Generates the body as it goes: nothing of it is held in memory.
int onPutData(int bufferSize, char *buffer, void *data)
{
    Transfer *t = static_cast<Transfer *>(data);
    uint64_t left = t->total - t->done;
    int n = left < static_cast<uint64_t>(bufferSize) ? static_cast<int>(left) : bufferSize;
    for (int i = 0; i < n; i++) {
        buffer[i] = static_cast<char>((t->done + static_cast<uint64_t>(i)) * 131 >> 3);
    }
    t->done += static_cast<uint64_t>(n);
    return n;
}

S3Status onGetData(int bufferSize, const char *, void *data)
{
    static_cast<Transfer *>(data)->done += static_cast<uint64_t>(bufferSize);
    return S3StatusOK;
}

S3BucketContext contextFor(const std::string &endpoint)
{
    static std::string host;
    host = endpoint;
    return S3BucketContext{host.c_str(),          kBucket,
                           S3ProtocolHTTP,        S3UriStylePath,
                           harness::kAccessKeyId, harness::kSecretAccessKey,
                           S3SignatureV2,         nullptr, nullptr};
}

bool put(const S3BucketContext &ctx, const std::string &key, uint64_t size)
{
    const S3PutObjectHandler handler = {{nullptr, &onComplete}, &onPutData, nullptr, nullptr};
    Transfer t;
    t.total = size;
    S3_put_object(&ctx, key.c_str(), size, nullptr, nullptr, &handler, &t);
    if (t.completes != 1 || t.status != S3StatusOK || t.done != size) {
        printf("put %s: %d completion(s), status %s, %llu of %llu bytes\n", key.c_str(),
               t.completes, S3_get_status_name(t.status), static_cast<unsigned long long>(t.done),
               static_cast<unsigned long long>(size));
        return false;
    }
    return true;
}

bool get(const S3BucketContext &ctx, const std::string &key, uint64_t size)
{
    const S3GetObjectHandler handler = {{nullptr, &onComplete}, &onGetData};
    Transfer t;
    S3_get_object(&ctx, key.c_str(), nullptr, 0, 0, nullptr, &handler, &t);
    return t.completes == 1 && t.status == S3StatusOK && t.done == size;
}

double cpuSeconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void reportPuts(const char *what, int puts, double seconds, double cpu)
{
    printf("%-44s %6d puts  %8.1f requests/s  %7.1f us CPU/request\n", what, puts,
           puts / seconds, cpu / puts * 1e6);
    fflush(stdout);
}

// One memory phase, in this (child) process: returns the exit status.
int runPhase(const std::string &phase, const std::string &endpoint, uint64_t size)
{
    if (S3_initialize("bench", 0, nullptr) != S3StatusOK) {
        return 2;
    }
    S3BucketContext ctx = contextFor(endpoint);
    bool ok = true;
    if (phase == "upload") {
        ok = put(ctx, "large", size);
    } else if (phase == "download") {
        ok = get(ctx, "large", size);
    } else if (phase == "idle") {
        ok = put(ctx, "small", 4096);
    }
    S3_deinitialize();
    return ok ? 0 : 1;
}

// Runs a phase in a child process and returns its peak RSS in KiB, or -1.
long childPeakKiB(const char *self, const char *phase, const std::string &endpoint,
                  uint64_t size, double *seconds)
{
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        const std::string sizeText = std::to_string(size);
        execl(self, self, "--phase", phase, endpoint.c_str(), sizeText.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ru.ru_maxrss;
}

// Microseconds of wall time per composition and signature of an upload like
// the mirror's (content type, MD5, ACL, storage class, a key with a folder
// and a space), over iterations rounds.
double signingMicros(S3SignatureVersion version, int iterations)
{
    const S3NameValue storageClass = {"x-amz-storage-class", "REDUCED_REDUNDANCY"};
    S3PutProperties props;
    memset(&props, 0, sizeof(props));
    props.expires = -1;
    props.contentType = "text/html";
    props.md5 = "rL0Y20zC+Fzt72VPzMSk2A==";
    props.cannedAcl = S3CannedAclPublicRead;
    props.metaDataCount = 1;
    props.metaData = &storageClass;

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = HttpRequestTypePUT;
    params.bucketContext = S3BucketContext{"s3.eu-west-3.amazonaws.com", "www.example-site.org",
                                           S3ProtocolHTTPS, S3UriStylePath, harness::kAccessKeyId,
                                           harness::kSecretAccessKey, version, "eu-west-3", nullptr};
    params.key = "blog/2026/a long article.html";
    params.putProperties = &props;
    params.toS3CallbackTotalSize = 4096;

    // On the heap: one is as large as a request's own composition.
    std::unique_ptr<RequestComputedValues> values(new RequestComputedValues);
    size_t check = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; i++) {
        if (request_compose(&params, values.get()) != S3StatusOK) {
            return -1;
        }
        check += static_cast<size_t>(values->authorizationHeader[40]);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (check == 0) {
        return -1;
    }
    return seconds / iterations * 1e6;
}

int runSigning(int iterations)
{
    printf("bench_client: composition and signing of one upload, %d rounds each\n", iterations);
    for (S3SignatureVersion version : {S3SignatureV2, S3SignatureV4}) {
        const double us = signingMicros(version, iterations);
        if (us < 0) {
            printf("composition failed\n");
            return 1;
        }
        printf("%-44s %8.2f us/request\n",
               version == S3SignatureV2 ? "signature V2 (HMAC-SHA1):"
                                        : "signature V4 (AWS4-HMAC-SHA256):",
               us);
    }
    fflush(stdout);
    return 0;
}

} // namespace

int run(int argc, char **argv);

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        printf("bench_client: %s\n", e.what());
        return 1;
    }
}

int run(int argc, char **argv)
{
    if (argc == 5 && !strcmp(argv[1], "--phase")) {
        return runPhase(argv[2], argv[3], strtoull(argv[4], nullptr, 10));
    }
    if (argc >= 2 && !strcmp(argv[1], "--signing")) {
        return runSigning(argc > 2 ? atoi(argv[2]) : 200000);
    }
    const int puts = argc > 1 ? atoi(argv[1]) : 2000;
    const uint64_t largeMiB = argc > 2 ? strtoull(argv[2], nullptr, 10) : 1024;
    const uint64_t largeSize = largeMiB << 20;

    // The client's libcurl trace goes to standard error; it is written (that
    // is part of the client's cost) but kept off the report.
    if (!getenv("BENCH_CLIENT_TRACE") && !freopen("/dev/null", "w", stderr)) {
        return 1;
    }

    harness::Store store;
    store.createBucket(kBucket);
    const std::string endpoint = store.endpoint();
    S3BucketContext ctx = contextFor(endpoint);
    printf("bench_client: %d puts of 4 KiB, large object %llu MiB, store at %s\n", puts,
           static_cast<unsigned long long>(largeMiB), endpoint.c_str());

    // Sequential puts within one initialisation.
    {
        if (S3_initialize("bench", 0, nullptr) != S3StatusOK) {
            return 1;
        }
        store.resetCounters();
        const double cpu0 = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < puts; i++) {
            if (!put(ctx, "seq/" + std::to_string(i), 4096)) {
                printf("put %d failed\n", i);
                return 1;
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = cpuSeconds() - cpu0;
        S3_deinitialize();
        reportPuts("one initialisation:", puts, seconds, cpu);
        printf("%-44s %6d connection(s) for %d requests\n", "", store.counters().connections,
               store.counters().requests);
    }

    // The same with set-up and tear-down around every put.
    {
        store.resetCounters();
        const double cpu0 = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < puts; i++) {
            if (S3_initialize("bench", 0, nullptr) != S3StatusOK) {
                return 1;
            }
            const bool ok = put(ctx, "each/" + std::to_string(i), 4096);
            S3_deinitialize();
            if (!ok) {
                printf("put %d failed\n", i);
                return 1;
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = cpuSeconds() - cpu0;
        reportPuts("S3_initialize/S3_deinitialize per put:", puts, seconds, cpu);
        printf("%-44s %6d connection(s) for %d requests\n", "", store.counters().connections,
               store.counters().requests);
    }

    // Peak memory of streamed bodies.
    double seconds = 0;
    const long idle = childPeakKiB(argv[0], "idle", endpoint, 0, &seconds);
    printf("%-44s %8ld KiB max RSS\n", "set-up and one 4 KiB put:", idle);
    const long up = childPeakKiB(argv[0], "upload", endpoint, largeSize, &seconds);
    printf("%-44s %8ld KiB max RSS  (%.1f s, %.1f MiB/s)\n", "upload of the large object:", up,
           seconds, static_cast<double>(largeMiB) / seconds);
    const long down = childPeakKiB(argv[0], "download", endpoint, largeSize, &seconds);
    printf("%-44s %8ld KiB max RSS  (%.1f s, %.1f MiB/s)\n", "download of the large object:",
           down, seconds, static_cast<double>(largeMiB) / seconds);
    fflush(stdout);
    if (runSigning(200000) != 0) {
        return 1;
    }
    return (idle < 0 || up < 0 || down < 0) ? 1 : 0;
}
