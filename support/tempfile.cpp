// tempfile.cpp - the registry of temporary files being written and the signal
// handler that unlinks them. The handler only reads fixed slots and calls
// unlink, sigaction and raise, all async-signal-safe.
#include "tempfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kSlots = 8;              // temporaries open at the same time
constexpr std::size_t kPathMax = PATH_MAX;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

char g_szPaths[kSlots][kPathMax];
std::atomic<bool> g_bUsed[kSlots];
std::atomic<bool> g_bInstalled{false};
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];
void (*g_hook)(const char *) = nullptr;
std::atomic<bool> g_bCatchStop{false}; // the first signal asks the run to stop
std::atomic<int> g_stopSignal{0};      // the signal that asked, 0 = none

void onSignal(int sig)
{
    const int savedErrno = errno;
    // The first asks the run to stop: it ends its work, says what it did and
    // then ends as the signal would have. A second ends the process now.
    int expected = 0;
    if (g_bCatchStop.load() && g_stopSignal.compare_exchange_strong(expected, sig)) {
        errno = savedErrno;
        return;
    }
    for (int i = 0; i < kSlots; ++i)
        if (g_bUsed[i].load())
            unlink(g_szPaths[i]);
    // End as the signal would have: the disposition in place before ours.
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
        if (kSignals[i] == sig)
            sigaction(sig, &g_previous[i], nullptr);
    raise(sig);
    errno = savedErrno;
}

void installOnce()
{
    if (g_bInstalled.exchange(true))
        return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        sigaction(kSignals[i], &action, &g_previous[i]);
        // A signal ignored when the process started (a run under nohup) stays ignored.
        if (!(g_previous[i].sa_flags & SA_SIGINFO) && g_previous[i].sa_handler == SIG_IGN)
            sigaction(kSignals[i], &g_previous[i], nullptr);
    }
}

struct BlockedSignals {
    sigset_t old;
    BlockedSignals()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kSignals)
            sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &old);
    }
    ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

} // namespace

int createTempFile(std::string &strTemplate, int flags, int &slot)
{
    slot = -1;
    if (strTemplate.size() >= kPathMax) {
        errno = ENAMETOOLONG;
        return -1;
    }
    installOnce();
    int fd = -1;
    {
        BlockedSignals blocked;
        fd = mkostemp(&strTemplate[0], flags);
        if (fd < 0)
            return -1;
        for (int i = 0; i < kSlots && slot < 0; ++i) {
            if (!g_bUsed[i].load()) {
                std::memcpy(g_szPaths[i], strTemplate.c_str(), strTemplate.size() + 1);
                g_bUsed[i].store(true);
                slot = i;
            }
        }
    }
    if (slot < 0) { // more at once than the registry holds: refuse rather than risk a leftover
        close(fd);
        unlink(strTemplate.c_str());
        errno = EMFILE;
        return -1;
    }
    if (g_hook != nullptr)
        g_hook(strTemplate.c_str());
    return fd;
}

void releaseTempFile(int slot)
{
    if (slot >= 0 && slot < kSlots)
        g_bUsed[slot].store(false);
}

bool isTempFileName(const std::string &strName, const std::string &strBase)
{
    if (strName.size() != strBase.size() + 7 || strName.compare(0, strBase.size(), strBase) != 0 ||
        strName[strBase.size()] != '.')
        return false;
    for (std::size_t i = strBase.size() + 1; i < strName.size(); ++i) {
        const char ch = strName[i];
        if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z')))
            return false;
    }
    return true;
}

void removeStaleTempFiles(const std::string &strDir, const std::string &strBase)
{
    DIR *dir = opendir(strDir.c_str());
    if (dir == nullptr)
        return;
    while (struct dirent *entry = readdir(dir)) {
        if (!isTempFileName(entry->d_name, strBase))
            continue;
        const std::string strPath = strDir + "/" + entry->d_name;
        struct stat st;
        if (lstat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            unlink(strPath.c_str());
    }
    closedir(dir);
}

void setTempFileHook(void (*hook)(const char *pszPath)) { g_hook = hook; }

void catchStopSignals()
{
    g_bCatchStop.store(true);
    installOnce();
}

int stopSignal() { return g_stopSignal.load(); }

void endByStopSignal()
{
    const int sig = g_stopSignal.load();
    if (sig == 0)
        return;
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
        if (kSignals[i] == sig)
            sigaction(sig, &g_previous[i], nullptr);
    raise(sig);
}
