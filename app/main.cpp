// main.cpp - the command line: no argument mirrors the site, one argument
// uploads one file, anything else prints the usage line.
#include <malloc.h>

#include "cli.h"

int main(int argc, char **argv)
{
    // Buffers of 64 KiB and more (listing pages in flight, read buffers) are
    // mapped on their own and go back to the system when freed, so a large
    // site's peak does not depend on how they happened to fall in the heap.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    return runCommandLine(argc, argv);
}
