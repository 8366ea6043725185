// held_temporary.h - a signal that arrives while a temporary file is being
// written: the work runs in a child that stops as soon as it has registered
// its temporary file, the caller looks at the folder, then the child gets the
// signal. No sleeps: the child says when it holds the file through a pipe.
#pragma once

#include "tempfile.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct HeldRun {
    bool bHeld = false;        // the child reached its temporary file
    bool bKilledBySig = false; // and ended by the signal sent
};

inline int &heldReportFd()
{
    static int fd = -1;
    return fd;
}

// Tells the parent that the temporary exists, then waits for its signal.
inline void holdTemporary(const char *)
{
    char ch = 't';
    if (write(heldReportFd(), &ch, 1) != 1)
        _exit(4);
    for (;;)
        pause();
}

// Runs work in a child until it holds a temporary file, calls whileHeld,
// sends sig and waits for the child.
inline HeldRun signalWhileTemporaryIsHeld(const std::function<void()> &work, int sig,
                                          const std::function<void()> &whileHeld)
{
    HeldRun run;
    int fds[2];
    if (pipe(fds) != 0)
        return run;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        close(fds[0]);
        heldReportFd() = fds[1];
        setTempFileHook(holdTemporary);
        work();
        _exit(3);
    }
    close(fds[1]);
    char ch = 0;
    run.bHeld = read(fds[0], &ch, 1) == 1;
    close(fds[0]);
    if (run.bHeld)
        whileHeld();
    kill(pid, sig);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid)
        run.bKilledBySig = WIFSIGNALED(status) && WTERMSIG(status) == sig;
    return run;
}

// The names in a folder, sorted.
inline std::vector<std::string> namesIn(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
