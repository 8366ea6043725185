// One run of a site at a time: while another process holds the site's lock
// (the test itself, standing for a run), a run waits and names it, or with
// --no-wait fails at once; another site, and the same site reached through a
// link, are told apart by the resolved root.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>

#include "harness.h"
#include "site.h"

namespace {

using e2e::ToolRun;

std::string sha256Hex(const std::string &text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

// The lock a run of this site takes, held by the test as another run would.
class HeldLock {
public:
    explicit HeldLock(const std::string &path)
    {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
            throw std::runtime_error("cannot hold " + path);
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) != 0 || ::write(fd, pid.data(), pid.size()) < 0)
            throw std::runtime_error("cannot write " + path);
    }
    ~HeldLock() { release(); }
    void release()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    int fd = -1;
};

// The tool running in the background, its standard output read as it comes.
class Background {
public:
    Background(const std::string &args, const std::map<std::string, std::string> &env)
    {
        const e2e::Spawned child =
            e2e::spawnReadingOutput({"/bin/sh", "-c", std::string(SITEMIRROR_BINARY) + " " + args}, env);
        pid = child.pid;
        fd = child.fd;
    }
    ~Background()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (fd >= 0)
            ::close(fd);
    }
    // Reads until text has appeared, or seconds have passed (false).
    bool waitFor(const std::string &text, int seconds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (out.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !readSome(static_cast<int>(left)))
                return false;
        }
        return true;
    }
    // Reads to the end and waits for the exit status (-1 past seconds).
    int finish(int seconds)
    {
        waitFor(std::string(1, '\0'), seconds); // to the end of the output
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            ::poll(nullptr, 0, 10);
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out;

private:
    bool readSome(int timeoutMs)
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        out.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    pid_t pid = -1;
    int fd = -1;
};

class RunLockTest : public e2e::StoreSuite {
protected:
    void SetUp() override
    {
        e2e::StoreSuite::SetUp();
        site.write("a.html", "a");
        ::mkdir((site.base() + "/cache").c_str(), 0700);
        ::mkdir((site.base() + "/cache/sitemirror").c_str(), 0700);
    }
    // Named like the site's digest cache: the SHA-256 of the resolved root.
    std::string lockPath() const
    {
        return site.base() + "/cache/sitemirror/" + sha256Hex(site.root()) + ".lock";
    }
    std::map<std::string, std::string> runEnv() const
    {
        auto vars = env();
        vars["SITEMIRROR_RETRIES"] = "0";
        return vars;
    }
    std::string pid() const { return std::to_string(::getpid()); }
};

TEST_F(RunLockTest, ARunWaitsForTheRunThatHoldsTheSiteAndGoesOnWhenItEnds)
{
    HeldLock held(lockPath());
    store->resetCounters();
    Background second("-q", runEnv());
    ASSERT_TRUE(second.waitFor("waiting for the other run of this site (pid " + pid() +
                                   ") to end: " + lockPath() + "\n",
                               60))
        << second.out;
    // Held up before anything is written or sent.
    EXPECT_FALSE(site.exists("fileLists.html"));
    EXPECT_EQ(store->counters().requests, 0);

    held.release();
    EXPECT_EQ(second.finish(60), 0) << second.out;
    EXPECT_EQ(second.out.find("waiting for"), 0u) << second.out;
    EXPECT_EQ(e2e::uploadedKeys(second.out), (std::set<std::string>{"a.html", "fileLists.html"}))
        << second.out;
    // The lock now names the run that had it last, and the digest cache sits
    // beside it under the same name.
    EXPECT_EQ(::access((site.base() + "/cache/sitemirror/" + sha256Hex(site.root()) + ".sqlite")
                           .c_str(),
                       F_OK),
              0);
}

TEST_F(RunLockTest, WithNoWaitARunFailsAtOnceNamingTheOtherAndTouchesNothing)
{
    HeldLock held(lockPath());
    store->resetCounters();
    ToolRun busy = e2e::runTool("-q --no-wait", runEnv());
    EXPECT_EQ(busy.status, 1) << busy.out;
    EXPECT_EQ(busy.out, "another run of this site is in progress (pid " + pid() +
                            "); not waiting: " + lockPath() + "\n");
    EXPECT_FALSE(site.exists("fileLists.html"));
    EXPECT_EQ(store->counters().requests, 0);

    // The same site through a link to its folder is the same site.
    ASSERT_EQ(::symlink(site.root().c_str(), (site.base() + "/link").c_str()), 0);
    auto linked = runEnv();
    linked["SITEMIRROR_ROOT"] = site.base() + "/link/";
    ToolRun viaLink = e2e::runTool("-q --no-wait", linked);
    EXPECT_EQ(viaLink.status, 1) << viaLink.out;

    held.release();
    ToolRun free = e2e::runTool("-q --no-wait", runEnv());
    EXPECT_EQ(free.status, 0) << free.out;
    EXPECT_NE(free.out.find("upload:"), std::string::npos) << free.out;
}

TEST_F(RunLockTest, AnotherSiteIsNotHeldUpByThisOne)
{
    HeldLock held(lockPath());
    e2e::Site other;
    other.write("b.html", "b");
    other.writeKeyFile(harness::kAccessKeyId, harness::kSecretAccessKey);
    auto vars = other.env(bucket, "http://" + store->endpoint());
    // The same cache folder as the held site: only the root tells them apart.
    vars["XDG_CACHE_HOME"] = site.base() + "/cache";
    ToolRun run = e2e::runTool("-q --no-wait", vars);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("upload:" + other.path("b.html")), std::string::npos) << run.out;
}

TEST_F(RunLockTest, ACacheFolderThatCannotHoldALockIsSaidAndTheRunGoesOn)
{
    // A file where the cache folder would be.
    auto vars = runEnv();
    const std::string blocked = site.base() + "/not-a-folder";
    std::ofstream(blocked) << "x";
    vars["XDG_CACHE_HOME"] = blocked;
    ToolRun run = e2e::runTool("-q", vars);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.err.find("cannot take the run lock: " + blocked + "/sitemirror/"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("(going on without it)\n"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("upload:"), std::string::npos) << run.out;
}

// With neither XDG_CACHE_HOME nor HOME there is no cache folder: the lock
// is taken in a private folder of the user in /tmp all the same.
TEST_F(RunLockTest, WithoutACacheFolderTheLockIsTakenInAPrivateFolderOfTmp)
{
    const std::string strDir = "/tmp/sitemirror-" + std::to_string(::getuid());
    ::mkdir(strDir.c_str(), 0700);
    HeldLock held(strDir + "/" + sha256Hex(site.root()) + ".lock");
    auto vars = runEnv();
    vars["XDG_CACHE_HOME"] = "";
    vars["HOME"] = "";
    const std::string strList = site.base() + "/changed.txt";
    std::ofstream(strList) << "from the run before\n";
    ToolRun busy = e2e::runTool("-q --no-wait --changed-list " + e2e::quote(strList), vars);
    EXPECT_EQ(busy.status, 1) << busy.out << busy.err;
    EXPECT_EQ(busy.out, "another run of this site is in progress (pid " + pid() +
                            "); not waiting: " + strDir + "/" + sha256Hex(site.root()) + ".lock\n");
    // A run that did nothing writes no changed list either.
    std::ifstream in(strList);
    std::string strLine;
    std::getline(in, strLine);
    EXPECT_EQ(strLine, "from the run before");

    held.release();
    ToolRun free = e2e::runTool("-q --no-wait", vars);
    EXPECT_EQ(free.status, 0) << free.out << free.err;
    EXPECT_EQ(free.err.find("run lock"), std::string::npos) << free.err;
    ::unlink((strDir + "/" + sha256Hex(site.root()) + ".lock").c_str());
}

} // namespace
