// site.h - a site tree and key file in a temporary folder, the runs of the
// sitemirror binary over it, and the fixtures that give each test a store:
// moto behind the checking proxy, or the real store (radosgw) of the run.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
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
        {
            std::ofstream out(keyFile(), std::ios::trunc);
            out << id << "\n" << secret << "\n";
        }
        // As a careful publisher keeps it: no warning about who may read it.
        if (::chmod(keyFile().c_str(), 0600) != 0)
            throw std::runtime_error("cannot restrict the key file");
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
        // The key file too, though kept private: the other user must read it.
        ::chmod(keyFile().c_str(), 0644);
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

// Runs the binary with env, each of extra set over it.
inline ToolRun runToolOver(const std::string &args, std::map<std::string, std::string> env,
                           const std::map<std::string, std::string> &extra)
{
    for (const auto &kv : extra)
        env[kv.first] = kv.second;
    return runTool(args, env);
}

// A child process started in the background with its standard output on a
// pipe: argv run as given (the program looked up in PATH), env added to the
// environment. The caller reads fd, and ends and reaps pid.
struct Spawned {
    pid_t pid = -1;
    int fd = -1;
};
inline Spawned spawnReadingOutput(const std::vector<std::string> &argv,
                                  const std::map<std::string, std::string> &env = {})
{
    int fds[2];
    if (::pipe(fds) != 0)
        throw std::runtime_error("pipe");
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        for (const auto &kv : env)
            ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    return Spawned{pid, fds[0]};
}

inline std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Lines of out that begin with prefix, in order.
inline std::vector<std::string> linesStartingWith(const std::string &out, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : lines(out))
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

// One response header of a stored object ("" when it has none).
inline std::string storedHeader(const harness::StoredObject &object, const std::string &name)
{
    auto it = object.headers.find(name);
    return it == object.headers.end() ? "" : it->second;
}

// Writes the rules file where the default lookup of a site's environment
// finds it ($XDG_CONFIG_HOME/sitemirror/config.toml).
inline void writeRulesFileOf(const std::string &strBase, const std::string &text)
{
    ::mkdir((strBase + "/config").c_str(), 0755);
    ::mkdir((strBase + "/config/sitemirror").c_str(), 0755);
    std::ofstream(strBase + "/config/sitemirror/config.toml", std::ios::trunc) << text;
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

// The operations the end-to-end tests use, on either store.
class AnyStore {
public:
    virtual ~AnyStore() = default;
    virtual std::string endpoint() const = 0; // "127.0.0.1:PORT", plain HTTP
    virtual std::string accessKeyId() const = 0;
    virtual std::string secretAccessKey() const = 0;
    virtual void createBucket(const std::string &bucket) = 0;
    virtual harness::StoredObject getObject(const std::string &bucket, const std::string &key) = 0;
    virtual bool isPublicRead(const std::string &bucket, const std::string &key) = 0;
    virtual std::string getAclXml(const std::string &bucket, const std::string &key) = 0;
    virtual void putObject(const std::string &bucket, const std::string &key,
                           const std::string &body) = 0;
    // The proxy's counters; null on the real store, which has no proxy in front.
    virtual harness::Store *proxied() { return nullptr; }
};

// The operations both stores have, forwarded to the store itself.
template <class S> class StoreOf : public AnyStore {
public:
    std::string endpoint() const override { return store.endpoint(); }
    void createBucket(const std::string &bucket) override { store.createBucket(bucket); }
    harness::StoredObject getObject(const std::string &bucket, const std::string &key) override
    {
        return store.getObject(bucket, key);
    }
    bool isPublicRead(const std::string &bucket, const std::string &key) override
    {
        return store.isPublicRead(bucket, key);
    }
    std::string getAclXml(const std::string &bucket, const std::string &key) override
    {
        return store.getAclXml(bucket, key);
    }
    void putObject(const std::string &bucket, const std::string &key,
                   const std::string &body) override
    {
        store.putObject(bucket, key, body);
    }

protected:
    S store;
};

class MotoStore : public StoreOf<harness::Store> {
public:
    std::string accessKeyId() const override { return harness::kAccessKeyId; }
    std::string secretAccessKey() const override { return harness::kSecretAccessKey; }
    harness::Store *proxied() override { return &store; }
};

class RgwStore : public StoreOf<harness::RealStore> {
public:
    std::string accessKeyId() const override { return store.accessKeyId(); }
    std::string secretAccessKey() const override { return store.secretAccessKey(); }
};

// Which store a case of an OnEachStore suite runs on, and with which signature.
struct StoreCase {
    const char *name; // the case's suffix in the test name
    bool bRgw;
    const char *signature; // SITEMIRROR_SIGNATURE, "" for the default
};

inline void PrintTo(const StoreCase &c, std::ostream *os) { *os << c.name; }

// moto with the designed defaults; radosgw with the Ceph row of docs/deploying.md
// exactly (SITEMIRROR_SIGNATURE=v4 SITEMIRROR_STORAGE_CLASS=STANDARD), and again with V2,
// which radosgw still takes.
inline const StoreCase kEachStore[] = {
    {"moto", false, ""},
    {"rgw_v4", true, "v4"},
    {"rgw_v2", true, "v2"},
};

inline std::string storeCaseName(const ::testing::TestParamInfo<StoreCase> &info)
{
    return info.param.name;
}

// A bucket name of its own: unique across test processes that run at the same
// time and across the two passes of scripts/test over one radosgw.
inline std::string uniqueBucketName()
{
    static int nBucket = 0;
    static const std::string strRun = [] {
        unsigned char bytes[6] = {};
        std::ifstream urandom("/dev/urandom", std::ios::binary);
        urandom.read(reinterpret_cast<char *>(bytes), sizeof bytes);
        if (!urandom)
            throw std::runtime_error("cannot read /dev/urandom");
        static const char szHex[] = "0123456789abcdef";
        std::string s;
        for (unsigned char b : bytes) {
            s += szHex[b >> 4];
            s += szHex[b & 15];
        }
        return s;
    }();
    return "sm-" + strRun + "-" + std::to_string(++nBucket) + ".example";
}

// Each case on moto and on radosgw: a fresh bucket, tree and key file per
// test. The moto store is started once per test process and only when a moto
// case runs; radosgw runs for the whole test run, outside the process.
class OnEachStore : public ::testing::TestWithParam<StoreCase> {
protected:
    static void TearDownTestSuite()
    {
        delete moto;
        moto = nullptr;
    }
    void SetUp() override
    {
        if (GetParam().bRgw) {
            rgw = std::make_unique<RgwStore>();
            store = rgw.get();
        } else {
            if (!moto)
                moto = new MotoStore();
            store = moto;
        }
        bucket = uniqueBucketName();
        store->createBucket(bucket);
        site.writeKeyFile(store->accessKeyId(), store->secretAccessKey());
    }
    bool onRgw() const { return GetParam().bRgw; }
    // The storage class uploads land in: the designed default on moto;
    // radosgw refuses REDUCED_REDUNDANCY, so its runs ask for STANDARD.
    std::string storageClass() const { return onRgw() ? "STANDARD" : "REDUCED_REDUNDANCY"; }
    // The proxy's counters, null on radosgw (no proxy in front of it).
    harness::Store *proxy() { return store->proxied(); }
    // The tool on this store's site, with extra variables over env().
    ToolRun run(const std::string &args, const std::map<std::string, std::string> &extra = {}) const
    {
        std::map<std::string, std::string> vars = env();
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        return runTool(args, vars);
    }
    void writeRulesFile(const std::string &text) const { writeRulesFileOf(site.base(), text); }
    std::map<std::string, std::string> env() const
    {
        auto vars = site.env(bucket, "http://" + store->endpoint());
        if (*GetParam().signature)
            vars["SITEMIRROR_SIGNATURE"] = GetParam().signature;
        if (onRgw())
            vars["SITEMIRROR_STORAGE_CLASS"] = "STANDARD";
        return vars;
    }

    inline static MotoStore *moto = nullptr;
    std::unique_ptr<RgwStore> rgw;
    AnyStore *store = nullptr;
    std::string bucket;
    Site site;
};

// One store of its own for one case (each case needs its own mode), a bucket
// in it and a site, and a mirror run over them with three retries.
struct StoreRun {
    explicit StoreRun(harness::StoreOptions options = {}, std::string strBucket = "up.example",
                      std::string strToolArgs = "")
        : store(options), bucket(std::move(strBucket)), args(std::move(strToolArgs))
    {
        store.createBucket(bucket);
        site.writeKeyFile(harness::kAccessKeyId, harness::kSecretAccessKey);
    }
    ToolRun mirror(std::map<std::string, std::string> extra = {})
    {
        auto vars = site.env(bucket, "http://" + store.endpoint());
        vars["SITEMIRROR_RETRIES"] = "3";
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        return runTool(args, vars);
    }
    harness::Store store;
    Site site;
    std::string bucket;
    std::string args; // the tool's options
};

} // namespace e2e
