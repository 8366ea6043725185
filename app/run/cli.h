// cli.h - the command-line forms of sitemirror and their exit statuses.
#pragma once

// Exit statuses: everything asked for succeeded / something failed / usage line.
enum ExitStatus { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

// Runs the form that the argument count selects and returns the exit status.
int runCommandLine(int argc, char **argv);
