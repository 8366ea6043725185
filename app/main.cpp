// main.cpp - the command line: no argument mirrors the site, one argument
// uploads one file, anything else prints the usage line.
#include "cli.h"

int main(int argc, char **argv) { return runCommandLine(argc, argv); }
