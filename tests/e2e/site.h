// site.h - a site tree and key file in a temporary folder, and the runs of the
// sitemirror binary over it.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

class Site {
public:
    Site()
    {
        char szTemplate[] = "/tmp/sitemirror-e2e-XXXXXX";
        if (!mkdtemp(szTemplate))
            throw std::runtime_error("mkdtemp failed");
        char *pszReal = realpath(szTemplate, nullptr);
        strBase = pszReal;
        free(pszReal);
        strRoot = strBase + "/site";
        mkdirs(strRoot);
    }
    ~Site()
    {
        nftw(strBase.c_str(),
             [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); },
             16, FTW_DEPTH | FTW_PHYS);
    }
    Site(const Site &) = delete;
    Site &operator=(const Site &) = delete;

    // The tree's root: absolute, no links, no trailing "/".
    const std::string &root() const { return strRoot; }
    std::string path(const std::string &rel) const { return strRoot + "/" + rel; }
    std::string keyFile() const { return strBase + "/s3key"; }
    std::string base() const { return strBase; } // beside the tree, never in it

    void write(const std::string &rel, const std::string &bytes) const
    {
        std::string strPath = path(rel);
        mkdirs(strPath.substr(0, strPath.rfind('/')));
        std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
        out << bytes;
        if (!out)
            throw std::runtime_error("cannot write " + strPath);
    }
    std::string read(const std::string &rel) const
    {
        std::ifstream in(path(rel), std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool exists(const std::string &rel) const { return ::access(path(rel).c_str(), F_OK) == 0; }
    void symlink(const std::string &target, const std::string &rel) const
    {
        if (::symlink(target.c_str(), path(rel).c_str()) != 0)
            throw std::runtime_error("cannot link " + rel);
    }
    void setTime(const std::string &rel, time_t t) const
    {
        struct timespec times[2] = {{t, 0}, {t, 0}};
        if (::utimensat(AT_FDCWD, path(rel).c_str(), times, 0) != 0)
            throw std::runtime_error("cannot set the time of " + rel);
    }
    void writeKeyFile(const std::string &id, const std::string &secret) const
    {
        std::ofstream out(keyFile(), std::ios::trunc);
        out << id << "\n" << secret << "\n";
    }
    // Lets an unprivileged user walk the folders and read the key file.
    void openToEveryone() const
    {
        nftw(strBase.c_str(),
             [](const char *p, const struct stat *st, int type, struct FTW *) {
                 if (type == FTW_D)
                     ::chmod(p, 0755);
                 else if (type == FTW_F && (st->st_mode & 0777) != 0600)
                     ::chmod(p, 0644);
                 return 0;
             },
             16, FTW_PHYS);
    }

    // The environment of a mirror run of this tree into bucket at endpoint.
    std::map<std::string, std::string> env(const std::string &bucket,
                                           const std::string &endpoint) const
    {
        return {{"SITEMIRROR_BUCKET", bucket},
                {"SITEMIRROR_ROOT", strRoot + "/"},
                {"SITEMIRROR_KEY_FILE", keyFile()},
                {"SITEMIRROR_SITE_URL", "http://" + bucket},
                {"SITEMIRROR_ENDPOINT", endpoint},
                {"SITEMIRROR_CA_FILE", ""},
                // Rules file and digest cache of this test alone, outside the tree.
                {"XDG_CONFIG_HOME", strBase + "/config"},
                {"XDG_CACHE_HOME", strBase + "/cache"}};
    }

private:
    static void mkdirs(const std::string &strPath)
    {
        for (std::size_t pos = 1; pos != std::string::npos;) {
            pos = strPath.find('/', pos + 1);
            ::mkdir(strPath.substr(0, pos).c_str(), 0755);
        }
    }

    std::string strBase;
    std::string strRoot;
};

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the binary with the given argument text (already quoted for the shell).
inline ToolRun runTool(const std::string &args, const std::map<std::string, std::string> &env,
                   const std::string &prefix = "")
{
    ToolRun run;
    std::string cmd = prefix + SITEMIRROR_BINARY;
    if (!args.empty())
        cmd += " " + args;
    run.status = harness::runCommand(cmd, &run.out, &run.err, env, 120);
    return run;
}

inline std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Keys of the "upload:PATH ; KEY" lines of one run's output.
inline std::set<std::string> uploadedKeys(const std::string &out)
{
    std::set<std::string> keys;
    for (const std::string &line : lines(out)) {
        auto pos = line.find(" ; ");
        if (line.rfind("upload:", 0) == 0 && pos != std::string::npos)
            keys.insert(line.substr(pos + 3));
    }
    return keys;
}

// One store for a whole test suite; a fresh bucket, tree and key file per test.
class StoreSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { store = new harness::Store(); }
    static void TearDownTestSuite()
    {
        delete store;
        store = nullptr;
    }
    void SetUp() override
    {
        static int nBucket = 0;
        bucket = "site-" + std::to_string(++nBucket) + ".example";
        store->createBucket(bucket);
        site.writeKeyFile(harness::kAccessKeyId, harness::kSecretAccessKey);
    }
    std::map<std::string, std::string> env() const
    {
        return site.env(bucket, "http://" + store->endpoint());
    }

    inline static harness::Store *store = nullptr;
    std::string bucket;
    Site site;
};

} // namespace e2e
