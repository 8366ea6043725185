/* eio_preload.c - a library preloaded into the tool by tests (LD_PRELOAD) to
 * give a read error where no real disk can be made to fail on cue: every
 * read() of a file whose path contains $EIO_PRELOAD_MARK fails with EIO.
 * Opening, stat and everything else behave as they do without it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef ssize_t (*read_fn)(int, void *, size_t);

ssize_t read(int fd, void *buf, size_t count)
{
    static read_fn real_read;
    if (!real_read)
        real_read = (read_fn)dlsym(RTLD_NEXT, "read");
    const char *mark = getenv("EIO_PRELOAD_MARK");
    if (mark && *mark) {
        char link[64], path[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t len = readlink(link, path, sizeof path - 1);
        if (len > 0) {
            path[len] = '\0';
            if (strstr(path, mark)) {
                errno = EIO;
                return -1;
            }
        }
    }
    return real_read(fd, buf, count);
}
