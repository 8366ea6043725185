// version.h - what --version prints: the tool's version, then the libraries
// this process runs with, as they name themselves at run time.
#pragma once

#include <string>
#include <vector>

// "sitemirror X.Y.Z", then one line per library: "libcurl 7.88.1 (OpenSSL/3.0.17)",
// "OpenSSL 3.0.17", "libxml2 2.9.14", "zlib 1.2.13", "brotli 1.0.9".
std::vector<std::string> versionLines();
