// harness.cpp - starts and stops the loopback servers of the tests: moto_server
// behind the signature-checking proxy (sigproxy.py, in the store modes the
// options ask for), and the fault server
// (faultserver.py); talks to moto directly with libcurl to set up and inspect
// what a test stored; runs shell commands with a time limit.
//
// Every child runs in its own process group, so stopping a server also stops
// anything it started. Waits are bounded and poll; nothing sleeps for luck.
#include "harness.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char **environ;

#ifndef HARNESS_SCRIPT_DIR
#error "HARNESS_SCRIPT_DIR must name the folder of sigproxy.py and faultserver.py"
#endif

namespace harness {

const char *const kAccessKeyId = "AKIAHARNESSTEST00000";
const char *const kSecretAccessKey = "hArNeSsTeStSeCrEt/0123456789+abcdefGHIJK";

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartSeconds = 20;        // longest wait for a server to answer after its start
constexpr int kStopSeconds = 5;          // longest wait after SIGTERM before SIGKILL
constexpr int kPollMillis = 20;          // interval of the readiness and exit polls
constexpr int kStartAttempts = 3;        // moto is retried on a fresh port this often
constexpr size_t kLogTailBytes = 4000;   // stderr tail quoted in a start failure
constexpr long kDirectTimeoutSeconds = 30; // libcurl limit for the harness's own requests

// Any Authorization header makes moto treat a request as the bucket owner's; it
// does not check the signature.
const char *const kOwnerAuthorization = "Authorization: AWS AKIAHARNESSTEST00000:owner";

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string tail(const std::string &text) {
    return text.size() <= kLogTailBytes ? text : text.substr(text.size() - kLogTailBytes);
}

void pauseMillis(int millis) { poll(nullptr, 0, millis); }

// A started child process and the log file that holds its stderr.
struct Child {
    pid_t pid = -1;
    std::string log;
};

// What every child of the harness starts with: its own process group (so it
// can be stopped with everything it starts), default signal handling, nothing
// blocked, and stdin from /dev/null.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;

    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                            POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attr, 0);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;
};

// Starts argv in a new process group, stdin from /dev/null, stderr (and stdout,
// unless stdoutFd is given) to logPath.
Child spawn(const std::vector<std::string> &argv, const std::string &logPath, int stdoutFd = -1,
            int closeFd = -1) {
    SpawnSetup setup;
    posix_spawn_file_actions_t &actions = setup.actions;
    posix_spawnattr_t &attr = setup.attr;
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    else
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    if (closeFd >= 0)
        posix_spawn_file_actions_addclose(&actions, closeFd);

    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    Child child;
    child.log = logPath;
    int rc = posix_spawnp(&child.pid, args[0], &actions, &attr, args.data(), environ);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return child;
}

// True once the child has ended (it is left unreaped so its group id stays ours).
bool hasExited(pid_t pid) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return true;
    return info.si_pid == pid;
}

// SIGTERM to the group, a bounded wait, then SIGKILL to whatever of the group is left.
void stop(Child &child) {
    if (child.pid <= 0)
        return;
    kill(-child.pid, SIGTERM);
    auto deadline = Clock::now() + std::chrono::seconds(kStopSeconds);
    while (!hasExited(child.pid) && Clock::now() < deadline)
        pauseMillis(kPollMillis);
    kill(-child.pid, SIGKILL);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    child.pid = -1;
}

// Reads one line from fd within the deadline; throws naming what did not start.
std::string readLine(int fd, const Child &child, const std::string &what) {
    std::string line;
    auto deadline = Clock::now() + std::chrono::seconds(kStartSeconds);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            throw std::runtime_error(what + " did not report its port in time:\n" +
                                     tail(readFile(child.log)));
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            continue;
        char c;
        ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            throw std::runtime_error(what + " ended before reporting its port:\n" +
                                     tail(readFile(child.log)));
        if (c == '\n')
            return line;
        line += c;
    }
}

bool canConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

std::string makeTempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/sitemirror-harness-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("cannot create a temporary folder: " +
                                 std::string(std::strerror(errno)));
    return buf.data();
}

void removeTree(const std::string &dir) {
    if (dir.empty())
        return;
    std::string out, err;
    runCommand("rm -rf -- '" + dir + "'", &out, &err, {}, 30);
}

// ---- libcurl, for the harness's own requests

} // namespace

// One answer to a request of the harness's own (declared in harness.h for RealStore).
struct Response {
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers; // names lower-cased, last one wins
};

namespace {

size_t collectBody(char *data, size_t size, size_t n, void *user) {
    static_cast<Response *>(user)->body.append(data, size * n);
    return size * n;
}

size_t collectHeader(char *data, size_t size, size_t n, void *user) {
    auto *r = static_cast<Response *>(user);
    std::string line(data, size * n);
    if (line.rfind("HTTP/", 0) == 0) {
        r->headers.clear(); // an interim answer's fields do not belong to the final one
        return size * n;
    }
    auto colon = line.find(':');
    if (colon == std::string::npos)
        return size * n;
    std::string name = line.substr(0, colon), value = line.substr(colon + 1);
    for (auto &c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto first = value.find_first_not_of(" \t");
    auto last = value.find_last_not_of(" \t\r\n");
    value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
    r->headers[name] = value;
    return size * n;
}

struct Upload {
    const std::string *body;
    size_t offset;
};

size_t supplyBody(char *buffer, size_t size, size_t n, void *user) {
    auto *u = static_cast<Upload *>(user);
    size_t take = std::min(size * n, u->body->size() - u->offset);
    std::memcpy(buffer, u->body->data() + u->offset, take);
    u->offset += take;
    return take;
}

// With awsUser ("ID:SECRET") the request is signed with signature V4 by libcurl
// itself, region us-east-1; the payload is left unsigned.
Response request(const std::string &method, const std::string &url,
                 const std::vector<std::string> &headers, const std::string *body,
                 const std::string &caFile = "", const std::string &awsUser = "") {
    CURL *curl = curl_easy_init();
    if (!curl)
        throw std::runtime_error("curl_easy_init failed");
    Response r;
    Upload upload{body, 0};
    curl_slist *list = nullptr;
    for (const auto &h : headers)
        list = curl_slist_append(list, h.c_str());
    // libcurl 7.88 would sign the emptied "Expect:" as a header it then does not send,
    // so a signed request keeps libcurl's own choice (radosgw answers 100-continue).
    if (awsUser.empty())
        list = curl_slist_append(list, "Expect:");
    if (!awsUser.empty()) {
        list = curl_slist_append(list, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
        curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, "aws:amz:us-east-1:s3");
        curl_easy_setopt(curl, CURLOPT_USERPWD, awsUser.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kDirectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    if (!caFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    if (method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, supplyBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(body ? body->size() : 0));
    } else if (method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body ? body->c_str() : "");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body ? body->size() : 0));
    } else if (method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    static const std::string empty;
    if (method == "PUT" && !body)
        upload.body = &empty;
    CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK)
        throw std::runtime_error(method + " " + url + " failed: " + curl_easy_strerror(rc));
    return r;
}

// Percent-encodes a key for a URL; "/" is kept as the path separator.
std::string encodeKey(const std::string &key) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : key) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

long jsonNumber(const std::string &json, const std::string &name) {
    auto pos = json.find("\"" + name + "\":");
    if (pos == std::string::npos)
        throw std::runtime_error("counter " + name + " missing in " + json);
    return std::strtol(json.c_str() + pos + name.size() + 3, nullptr, 10);
}

// Picks a port that is free now: bind to port 0, read it, close.
int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("cannot bind a loopback port");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

// Starts a Python server script that prints its port(s) on its first stdout line.
Child startScript(const std::vector<std::string> &argv, const std::string &logPath,
                  const std::string &what, std::string *firstLine) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    Child child;
    try {
        child = spawn(argv, logPath, fds[1], fds[0]);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    try {
        *firstLine = readLine(fds[0], child, what);
    } catch (...) {
        close(fds[0]);
        stop(child);
        throw;
    }
    close(fds[0]);
    return child;
}

void globalInit() { curl_global_init(CURL_GLOBAL_ALL); }

// A stand-in run from one of this folder's scripts, with a temporary folder
// of its own for its log. start() hands the first line the script printed to
// readPorts, which throws when the line names no port; on any failure the
// script is stopped and everything undone before the error goes on.
struct ScriptServer {
    std::string dir;
    Child server;

    template <class ReadPorts>
    void start(const std::string &script, const std::vector<std::string> &args,
               const std::string &what, ReadPorts readPorts) {
        globalInit();
        try {
            dir = makeTempDir();
            std::vector<std::string> argv = {"python3", std::string(HARNESS_SCRIPT_DIR) + "/" + script};
            argv.insert(argv.end(), args.begin(), args.end());
            std::string line;
            server = startScript(argv, dir + "/" + script.substr(0, script.find('.')) + ".log", what,
                                 &line);
            readPorts(line);
        } catch (...) {
            release();
            throw;
        }
    }
    void release() {
        stop(server);
        removeTree(dir);
        curl_global_cleanup();
    }
};

StoredObject storedObject(Response r, const std::string &bucket, const std::string &key);

} // namespace

// ------------------------------------------------------------------ Store

struct Store::Impl {
    StoreOptions options;
    std::string dir;
    Child moto, proxy;
    int motoPort = 0, proxyPort = 0;
    std::string ca;

    std::string motoUrl(const std::string &bucket, const std::string &key = "") const {
        return "http://127.0.0.1:" + std::to_string(motoPort) + "/" + bucket +
               (key.empty() ? "" : "/" + encodeKey(key));
    }
    std::string controlUrl(const std::string &what) const {
        return std::string(options.tls ? "https" : "http") + "://127.0.0.1:" +
               std::to_string(proxyPort) + "/__harness__/" + what;
    }

    void startMoto() {
        std::string lastLog;
        for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
            motoPort = freePort();
            moto = spawn({"moto_server", "-H", "127.0.0.1", "-p", std::to_string(motoPort)},
                         dir + "/moto.log");
            auto deadline = Clock::now() + std::chrono::seconds(kStartSeconds);
            bool exited = false;
            while (Clock::now() < deadline) {
                if (hasExited(moto.pid)) {
                    exited = true;
                    break;
                }
                if (canConnect(motoPort)) {
                    try {
                        Response r = request("GET", "http://127.0.0.1:" + std::to_string(motoPort) +
                                                        "/",
                                             {kOwnerAuthorization}, nullptr);
                        if (r.status == 200)
                            return;
                    } catch (const std::runtime_error &) {
                    }
                }
                pauseMillis(kPollMillis);
            }
            lastLog = readFile(moto.log);
            stop(moto);
            if (!exited)
                break; // it ran but never answered: another port will not help
        }
        throw std::runtime_error("moto_server did not start:\n" + tail(lastLog));
    }

    void makeCertificates() {
        std::string out, err;
        std::string script =
            "set -e; cd '" + dir + "'\n"
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout ca.key -out ca.pem -days 2 -subj '/CN=sitemirror test CA' "
            "-addext basicConstraints=critical,CA:TRUE "
            "-addext keyUsage=critical,keyCertSign,cRLSign\n"
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout server.key -out server.csr -subj '/CN=127.0.0.1'\n"
            "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nbasicConstraints=CA:FALSE\\n"
            "extendedKeyUsage=serverAuth\\n' > server.ext\n"
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-out server.pem -days 2 -extfile server.ext\n";
        int rc = runCommand(script, &out, &err, {}, 60);
        if (rc != 0)
            throw std::runtime_error("openssl could not make the test certificates:\n" + tail(err));
        ca = dir + "/ca.pem";
    }

    void startProxy() {
        std::vector<std::string> argv = {"python3", std::string(HARNESS_SCRIPT_DIR) + "/sigproxy.py",
                                         "--upstream", "127.0.0.1:" + std::to_string(motoPort),
                                         "--access-key", kAccessKeyId, "--secret-key",
                                         kSecretAccessKey};
        if (options.refuseV2)
            argv.push_back("--refuse-v2");
        argv.insert(argv.end(), {"--region", options.region});
        if (options.aclsDisabled)
            argv.push_back("--acls-disabled");
        if (!options.storageClasses.empty()) {
            std::string list;
            for (const auto &c : options.storageClasses)
                list += (list.empty() ? "" : ",") + c;
            argv.insert(argv.end(), {"--storage-classes", list});
        }
        if (options.storageClassNotImplemented)
            argv.push_back("--storage-class-not-implemented");
        if (!options.redirectEndpoint.empty())
            argv.insert(argv.end(), {"--redirect-endpoint", options.redirectEndpoint});
        if (options.slowDownPuts != 0)
            argv.insert(argv.end(), {"--slow-down-puts", std::to_string(options.slowDownPuts)});
        if (!options.dropMidBodyKey.empty())
            argv.insert(argv.end(), {"--drop-mid-body-key", options.dropMidBodyKey,
                                     "--drop-mid-body-tries", std::to_string(options.dropMidBodyTries)});
        if (!options.sessionToken.empty())
            argv.insert(argv.end(), {"--session-token", options.sessionToken});
        if (options.gatewayFirstTries)
            argv.push_back("--gateway-first-tries");
        if (options.opaqueETags)
            argv.push_back("--opaque-etags");
        if (options.blipAfterPuts > 0)
            argv.insert(argv.end(), {"--blip-after-puts", std::to_string(options.blipAfterPuts),
                                     "--blip-ms", std::to_string(options.blipMs)});
        if (options.tls) {
            argv.push_back("--tls");
            argv.push_back(dir + "/server.pem");
            argv.push_back(dir + "/server.key");
        }
        std::string line;
        proxy = startScript(argv, dir + "/sigproxy.log", "sigproxy", &line);
        proxyPort = std::atoi(line.c_str());
        auto deadline = Clock::now() + std::chrono::seconds(kStartSeconds);
        while (true) {
            try {
                if (request("GET", controlUrl("counters"), {}, nullptr, ca).status == 200)
                    return;
            } catch (const std::runtime_error &) {
            }
            if (hasExited(proxy.pid) || Clock::now() >= deadline)
                throw std::runtime_error("sigproxy did not answer:\n" +
                                         tail(readFile(proxy.log)));
            pauseMillis(kPollMillis);
        }
    }

    void shutdown() {
        stop(proxy);
        stop(moto);
        removeTree(dir);
        dir.clear();
    }
};

Store::Store(StoreOptions options) : impl_(new Impl) {
    globalInit();
    impl_->options = options;
    try {
        impl_->dir = makeTempDir();
        if (options.tls)
            impl_->makeCertificates();
        impl_->startMoto();
        impl_->startProxy();
    } catch (...) {
        impl_->shutdown();
        delete impl_;
        curl_global_cleanup();
        throw;
    }
}

Store::~Store() {
    impl_->shutdown();
    delete impl_;
    curl_global_cleanup();
}

std::string Store::endpoint() const { return "127.0.0.1:" + std::to_string(impl_->proxyPort); }
std::string Store::motoEndpoint() const { return "127.0.0.1:" + std::to_string(impl_->motoPort); }
std::string Store::caFile() const { return impl_->ca; }

void Store::createBucket(const std::string &bucket) {
    Response r = request("PUT", impl_->motoUrl(bucket), {kOwnerAuthorization}, nullptr);
    if (r.status != 200)
        throw std::runtime_error("creating bucket " + bucket + " answered " +
                                 std::to_string(r.status) + ": " + r.body);
}

StoredObject Store::getObject(const std::string &bucket, const std::string &key) {
    return storedObject(request("GET", impl_->motoUrl(bucket, key), {kOwnerAuthorization}, nullptr),
                        bucket, key);
}

namespace {

// The object of a GET answer: 404 is "no such object", anything but 200 throws.
StoredObject storedObject(Response r, const std::string &bucket, const std::string &key) {
    StoredObject o;
    if (r.status == 404)
        return o;
    if (r.status != 200)
        throw std::runtime_error("reading " + bucket + "/" + key + " answered " +
                                 std::to_string(r.status) + ": " + r.body);
    o.exists = true;
    o.body = std::move(r.body);
    o.headers = std::move(r.headers);
    auto field = [&](const char *name) {
        auto it = o.headers.find(name);
        return it == o.headers.end() ? std::string() : it->second;
    };
    o.contentType = field("content-type");
    o.storageClass = field("x-amz-storage-class");
    o.etag = field("etag");
    if (o.etag.size() >= 2 && o.etag.front() == '"' && o.etag.back() == '"')
        o.etag = o.etag.substr(1, o.etag.size() - 2);
    return o;
}

} // namespace

std::string Store::getAclXml(const std::string &bucket, const std::string &key) {
    Response r = request("GET", impl_->motoUrl(bucket, key) + "?acl", {kOwnerAuthorization}, nullptr);
    if (r.status != 200)
        throw std::runtime_error("reading the ACL of " + bucket + "/" + key + " answered " +
                                 std::to_string(r.status) + ": " + r.body);
    return r.body;
}

bool Store::isPublicRead(const std::string &bucket, const std::string &key) {
    return grantsPublicRead(getAclXml(bucket, key));
}

bool grantsPublicRead(const std::string &xml) {
    // One <Grant> element at a time: AllUsers as grantee and READ as permission.
    size_t pos = 0;
    while ((pos = xml.find("<Grant>", pos)) != std::string::npos) {
        size_t end = xml.find("</Grant>", pos);
        if (end == std::string::npos)
            break;
        std::string grant = xml.substr(pos, end - pos);
        if (grant.find("http://acs.amazonaws.com/groups/global/AllUsers") != std::string::npos &&
            grant.find("<Permission>READ</Permission>") != std::string::npos)
            return true;
        pos = end;
    }
    return false;
}

void Store::putObject(const std::string &bucket, const std::string &key, const std::string &body) {
    Response r = request("PUT", impl_->motoUrl(bucket, key),
                         {kOwnerAuthorization, "Content-Type: application/octet-stream"}, &body);
    if (r.status != 200)
        throw std::runtime_error("storing " + bucket + "/" + key + " answered " +
                                 std::to_string(r.status) + ": " + r.body);
}

Counters Store::counters() {
    Response r = request("GET", impl_->controlUrl("counters"), {}, nullptr, impl_->ca);
    if (r.status != 200)
        throw std::runtime_error("proxy counters answered " + std::to_string(r.status));
    Counters c;
    c.connections = static_cast<int>(jsonNumber(r.body, "connections"));
    c.requests = static_cast<int>(jsonNumber(r.body, "requests"));
    c.puts = static_cast<int>(jsonNumber(r.body, "puts"));
    c.rejected = static_cast<int>(jsonNumber(r.body, "rejected"));
    c.maxInFlight = static_cast<int>(jsonNumber(r.body, "max_in_flight"));
    return c;
}

void Store::resetCounters() {
    std::string none;
    Response r = request("POST", impl_->controlUrl("reset"), {}, &none, impl_->ca);
    if (r.status != 200)
        throw std::runtime_error("proxy reset answered " + std::to_string(r.status));
}

std::string Store::requestsJson() {
    Response r = request("GET", impl_->controlUrl("requests"), {}, nullptr, impl_->ca);
    if (r.status != 200)
        throw std::runtime_error("proxy request log answered " + std::to_string(r.status));
    return r.body;
}

std::vector<int> Store::pids() const { return {impl_->moto.pid, impl_->proxy.pid}; }

// ------------------------------------------------------------------ FaultServer

struct FaultServer::Impl {
    ScriptServer script;
    int port = 0, controlPort = 0;

    std::string control(const std::string &what) {
        return request("GET", "http://127.0.0.1:" + std::to_string(controlPort) + "/__harness__/" +
                                  what,
                       {}, nullptr)
            .body;
    }
};

FaultServer::FaultServer(const std::string &mode) : impl_(new Impl) {
    try {
        impl_->script.start("faultserver.py", {mode}, "faultserver " + mode, [this](const std::string &line) {
            if (std::sscanf(line.c_str(), "%d %d", &impl_->port, &impl_->controlPort) != 2)
                throw std::runtime_error("faultserver printed no ports: " + line);
        });
    } catch (...) {
        delete impl_;
        throw;
    }
}

FaultServer::~FaultServer() {
    impl_->script.release();
    delete impl_;
}

std::string FaultServer::endpoint() const { return "127.0.0.1:" + std::to_string(impl_->port); }

int FaultServer::requestsSeen() {
    return static_cast<int>(jsonNumber(impl_->control("counters"), "requests"));
}

int64_t FaultServer::bodyBytesReceived() {
    std::string json = impl_->control("counters");
    auto pos = json.find("\"body_bytes\":");
    if (pos == std::string::npos)
        throw std::runtime_error("faultserver counters lack body_bytes: " + json);
    return std::strtoll(json.c_str() + pos + 13, nullptr, 10);
}

int FaultServer::pid() const { return impl_->script.server.pid; }

void FaultServer::release() {
    request("POST", "http://127.0.0.1:" + std::to_string(impl_->controlPort) + "/__harness__/release", {},
            nullptr);
}

// ------------------------------------------------------------------ free functions

struct CredentialServer::Impl {
    ScriptServer script;
    int port = 0;
};

CredentialServer::CredentialServer(const CredentialServerOptions &o) : impl_(new Impl) {
    try {
        impl_->script.start(
            "credserver.py",
            {"--access-key", o.sourceAccessKey, "--secret-key", o.sourceSecretKey, "--region", o.region,
             "--role-arn", o.roleArn, "--web-token", o.webToken, "--sso-token", o.ssoToken,
             "--container-token", o.containerToken, "--imds-role", o.imdsRole, "--give-key",
             o.giveKey, "--give-secret", o.giveSecret, "--give-token", o.giveToken,
             "--lifetime", std::to_string(o.lifetimeSeconds)},
            "credserver", [this](const std::string &line) {
                impl_->port = std::atoi(line.c_str());
                if (impl_->port <= 0)
                    throw std::runtime_error("credserver printed no port: " + line);
            });
    } catch (...) {
        delete impl_;
        throw;
    }
}

CredentialServer::~CredentialServer() {
    impl_->script.release();
    delete impl_;
}

std::string CredentialServer::url() const { return "http://127.0.0.1:" + std::to_string(impl_->port); }

int CredentialServer::count(const std::string &kind) {
    try {
        return static_cast<int>(
            jsonNumber(request("GET", url() + "/__harness__/counts", {}, nullptr).body, kind));
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(std::string(e.what()) + "\ncredserver's log:\n" +
                                 tail(readFile(impl_->script.server.log)));
    }
}

int refusedPort() { return freePort(); }

int runCommand(const std::string &command, std::string *out, std::string *err,
               const std::map<std::string, std::string> &env, int timeoutSeconds) {
    std::vector<std::string> envText;
    for (char **e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos && env.count(entry.substr(0, eq)))
            continue;
        envText.push_back(entry);
    }
    for (const auto &kv : env)
        envText.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (auto &e : envText)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        throw std::runtime_error("pipe failed");
    }
    SpawnSetup setup;
    posix_spawn_file_actions_t &actions = setup.actions;
    posix_spawnattr_t &attr = setup.attr;
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    const char *argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char **>(argv), envp.data());
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("cannot run /bin/sh: " + std::string(std::strerror(rc)));
    }

    std::string outText, errText;
    bool timedOut = false;
    auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&outText, &errText};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        int n = poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2 && n > 0; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    if (timedOut) {
        kill(-pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    } else {
        // Output closed: wait (bounded) for the shell itself.
        auto stopBy = Clock::now() + std::chrono::milliseconds(
                                         std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                               deadline - Clock::now())
                                                               .count()));
        while (!hasExited(pid) && Clock::now() < stopBy)
            pauseMillis(kPollMillis / 4);
        if (!hasExited(pid)) {
            timedOut = true;
            kill(-pid, SIGKILL);
        }
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0)
            close(f.fd);
    if (timedOut)
        errText += "\n[harness: command killed after " + std::to_string(timeoutSeconds) + " s]\n";
    if (out)
        *out = std::move(outText);
    if (err)
        *err = std::move(errText);
    if (timedOut)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// ------------------------------------------------------------------ RealStore

namespace {

std::string requiredVariable(const char *name) {
    const char *value = std::getenv(name);
    if (!value || !*value)
        throw std::runtime_error(std::string(name) +
                                 " is not set: the real-store tests need the store scripts/test "
                                 "starts (scripts/rgw-start, then source its env.sh)");
    return value;
}

} // namespace

RealStore::RealStore()
    : endpoint_(requiredVariable("SITEMIRROR_TEST_RGW_ENDPOINT")),
      accessKeyId_(requiredVariable("SITEMIRROR_TEST_RGW_ACCESS_KEY")),
      secretAccessKey_(requiredVariable("SITEMIRROR_TEST_RGW_SECRET_KEY")) {
    globalInit();
    // The owner's bucket list: the store answers, and it takes these keys.
    Response r;
    try {
        r = signedRequest("GET", url(""), {}, nullptr);
    } catch (const std::exception &e) {
        curl_global_cleanup();
        throw std::runtime_error("the real store at " + endpoint_ + " does not answer: " + e.what());
    }
    if (r.status != 200) {
        curl_global_cleanup();
        throw std::runtime_error("the real store at " + endpoint_ + " refused the key pair: " +
                                 std::to_string(r.status) + " " + r.body);
    }
}

RealStore::~RealStore() { curl_global_cleanup(); }

std::string RealStore::url(const std::string &bucket, const std::string &key) const {
    std::string u = "http://" + endpoint_ + "/" + bucket;
    if (!key.empty())
        u += "/" + encodeKey(key);
    return u;
}

Response RealStore::signedRequest(const std::string &method, const std::string &target,
                                  const std::vector<std::string> &headers,
                                  const std::string *body) const {
    return request(method, target, headers, body, "", accessKeyId_ + ":" + secretAccessKey_);
}

void RealStore::createBucket(const std::string &bucket) {
    Response r = signedRequest("PUT", url(bucket), {}, nullptr);
    if (r.status != 200)
        throw std::runtime_error("creating bucket " + bucket + " on the real store answered " +
                                 std::to_string(r.status) + ": " + r.body);
}

StoredObject RealStore::getObject(const std::string &bucket, const std::string &key) {
    return storedObject(signedRequest("GET", url(bucket, key), {}, nullptr), bucket, key);
}

std::string RealStore::getAclXml(const std::string &bucket, const std::string &key) {
    // "acl=" rather than "acl": libcurl 7.88 signs a query word without "=" wrongly.
    Response r = signedRequest("GET", url(bucket, key) + "?acl=", {}, nullptr);
    if (r.status != 200)
        throw std::runtime_error("reading the ACL of " + bucket + "/" + key + " answered " +
                                 std::to_string(r.status) + ": " + r.body);
    return r.body;
}

bool RealStore::isPublicRead(const std::string &bucket, const std::string &key) {
    return grantsPublicRead(getAclXml(bucket, key));
}

void RealStore::putObject(const std::string &bucket, const std::string &key,
                          const std::string &body) {
    Response r = signedRequest("PUT", url(bucket, key),
                               {"Content-Type: application/octet-stream"}, &body);
    if (r.status != 200)
        throw std::runtime_error("storing " + bucket + "/" + key + " answered " +
                                 std::to_string(r.status) + ": " + r.body);
}

} // namespace harness
