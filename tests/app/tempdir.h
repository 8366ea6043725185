// tempdir.h - a temporary folder per test, removed with everything in it.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

class TempDir {
public:
    TempDir()
    {
        char szTemplate[] = "/tmp/sitemirror-app-XXXXXX";
        if (!mkdtemp(szTemplate))
            throw std::runtime_error("mkdtemp failed");
        strPath = szTemplate;
    }
    ~TempDir()
    {
        nftw(strPath.c_str(),
             [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); },
             16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return strPath; }

    // Writes bytes to path()/rel (the folders must exist) and returns the full path.
    std::string write(const std::string &rel, const std::string &bytes) const
    {
        std::string strFull = strPath + "/" + rel;
        std::ofstream out(strFull, std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out)
            throw std::runtime_error("cannot write " + strFull);
        return strFull;
    }

private:
    std::string strPath;
};
