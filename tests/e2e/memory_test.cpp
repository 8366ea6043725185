// The memory of a large tree's runs, against a stand-in bucket that only
// lists (the keys and digests it is given) and takes every upload: an
// unchanged run, where the scan and the listing are walked in step so that
// the peak does not grow with a record per file, and a first mirror.
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <fstream>

#include "myS3Common.h"
#include "site.h"

namespace {

// Peak resident memory (KiB) of one run of the binary with env; its exit
// status in status and its standard output in out.
long runForPeak(const std::map<std::string, std::string> &env, const std::string &strOutFile, int &status)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        const int fd = ::open(strOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        for (const auto &kv : env)
            ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
        ::execl(SITEMIRROR_BINARY, SITEMIRROR_BINARY, static_cast<char *>(nullptr));
        ::_exit(127);
    }
    struct rusage usage;
    if (::wait4(pid, &status, 0, &usage) != pid)
        throw std::runtime_error("wait4");
    return usage.ru_maxrss;
}

struct StandIn {
    e2e::Spawned child;
    std::string strPort;
    explicit StandIn(const std::string &strListing)
    {
        child = e2e::spawnReadingOutput(
            {"python3", std::string(SITEMIRROR_SOURCE_DIR) + "/tests/harness/listing_standin.py", strListing});
        char c;
        while (::read(child.fd, &c, 1) == 1 && c != '\n')
            strPort += c;
        if (strPort.empty())
            throw std::runtime_error("the listing stand-in did not start");
    }
    ~StandIn()
    {
        ::kill(child.pid, SIGTERM);
        ::waitpid(child.pid, nullptr, 0);
        ::close(child.fd);
    }
};

// One run of the site's tree into a stand-in bucket listing what strListing
// holds, without the digest cache: its peak (KiB) and its whole output, after
// checking that it succeeded.
long peakOfRun(const e2e::Site &site, const std::string &strListing, std::string &out)
{
    StandIn standIn(strListing);
    auto env = site.env("memory.example", "http://127.0.0.1:" + standIn.strPort);
    env["SITEMIRROR_DIGEST_CACHE"] = "off";
    int status = -1;
    const long peakKiB = runForPeak(env, site.base() + "/run.out", status);
    std::ifstream in(site.base() + "/run.out");
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    EXPECT_EQ(WEXITSTATUS(status), 0) << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
    return peakKiB;
}

TEST(Memory, AnUnchangedRunOfFortyThousandFilesHoldsNoRecordPerFile)
{
    constexpr int kFolders = 200;
    constexpr int kFilesPerFolder = 200;
    e2e::Site site;
    site.writeKeyFile("AKIDEXAMPLE", "secret");
    const std::string strListing = site.base() + "/listing.tsv";
    {
        std::ofstream listing(strListing);
        for (int d = 0; d < kFolders; ++d) {
            // Folder names that sort between a folder and its files' keys.
            const std::string strFolder = "section-" + std::to_string(d) + (d % 3 == 0 ? "-b" : "/b");
            for (int f = 0; f < kFilesPerFolder; ++f) {
                const std::string strKey = strFolder + "/page " + std::to_string(f) + ".html";
                const std::string strBytes = "<p>" + strKey + "</p>\n";
                site.write(strKey, strBytes);
                MyMD5 md5;
                md5.update(strBytes.data(), strBytes.size());
                listing << strKey << '\t' << strBytes.size() << '\t' << md5.finalize() << '\n';
            }
        }
    }
    std::string out;
    const long peakKiB = peakOfRun(site, strListing, out);
    // Only the index page went up: the listing matched every file.
    EXPECT_EQ(e2e::uploadedKeys(out), std::set<std::string>({"fileLists.html"}));
    // About 17 MB of any run, and the ranges listed ahead of the merge (a
    // few MB whatever the size of the tree): 22 MB here. A record per file
    // on either side, as in a run that holds the scan, the listing, the plan
    // and the page's rows, comes to 31 MB.
    // Under AddressSanitizer the tool's resident memory is mostly the
    // sanitizer's shadow and quarantine: there the run is checked, not its peak.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(peakKiB, 27 * 1024) << "peak " << peakKiB << " KiB";
#endif
    std::printf("peak of an unchanged run of %d files: %ld KiB\n", kFolders * kFilesPerFolder, peakKiB);
}

// The memory of a first mirror: every file is sent, and each upload is made
// only when its turn comes and let go once it ends, so the run holds a small
// record per file, not an upload (nor a job) per file.
TEST(Memory, AFirstMirrorOfTwentyThousandFilesHoldsNoUploadPerFile)
{
    constexpr int kFiles = 20000;
    e2e::Site site;
    site.writeKeyFile("AKIDEXAMPLE", "secret");
    for (int i = 0; i < kFiles; ++i) {
        const std::string strKey = "part-" + std::to_string(i / 500) + "/file " + std::to_string(i) +
                                   (i % 3 == 0 ? ".html" : ".css");
        site.write(strKey, "<p>" + strKey + "</p>\n");
    }
    const std::string strListing = site.base() + "/empty.tsv";
    std::ofstream(strListing).close();
    std::string out;
    const long peakKiB = peakOfRun(site, strListing, out);
    EXPECT_EQ(e2e::uploadedKeys(out).size(), static_cast<std::size_t>(kFiles + 1));
    // About 17 MB of any run and a few hundred bytes a file: 27 MB here.
    // An upload and a job made for every file at the start came to 70 MB.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(peakKiB, 40 * 1024) << "peak " << peakKiB << " KiB";
#endif
    std::printf("peak of a first mirror of %d files: %ld KiB\n", kFiles, peakKiB);
}

} // namespace
