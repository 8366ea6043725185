// cloudfront.h - moto's CloudFront as the tests drive it (a distribution made
// for a test, and the invalidations moto recorded for it), and a stand-in
// that checks the invalidation's signature as CloudFront does.
#pragma once

#include <curl/curl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "site.h"

namespace e2e {

// Every text of the elements called name, in document order.
inline std::vector<std::string> xmlElements(const std::string &xml, const std::string &name)
{
    std::vector<std::string> out;
    const std::string open = "<" + name + ">", close = "</" + name + ">";
    for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at)) {
        at += open.size();
        const std::size_t end = xml.find(close, at);
        if (end == std::string::npos)
            break;
        out.push_back(xml.substr(at, end - at));
    }
    return out;
}

class MotoCloudFront {
public:
    // moto at endpoint ("127.0.0.1:PORT", straight, not through the proxy).
    explicit MotoCloudFront(std::string endpoint) : endpoint(std::move(endpoint)) {}

    // A new distribution in front of bucket (its folder strOriginPath, "/blog",
    // when not empty); its id.
    std::string createDistribution(const std::string &bucket, const std::string &strOriginPath = "")
    {
        static int nDistribution = 0;
        const std::string config =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
            "<DistributionConfig xmlns=\"http://cloudfront.amazonaws.com/doc/2020-05-31/\">"
            "<CallerReference>test-" + std::to_string(++nDistribution) + "</CallerReference>"
            "<Origins><Quantity>1</Quantity><Items><Origin><Id>site</Id>"
            "<DomainName>" + bucket + ".s3.amazonaws.com</DomainName>"
            "<OriginPath>" + strOriginPath + "</OriginPath>"
            "<S3OriginConfig><OriginAccessIdentity></OriginAccessIdentity></S3OriginConfig>"
            "</Origin></Items></Origins>"
            "<DefaultCacheBehavior><TargetOriginId>site</TargetOriginId>"
            "<ViewerProtocolPolicy>allow-all</ViewerProtocolPolicy><MinTTL>0</MinTTL>"
            "</DefaultCacheBehavior><Comment></Comment><Enabled>true</Enabled>"
            "</DistributionConfig>";
        const std::vector<std::string> ids =
            xmlElements(request("POST", "/2020-05-31/distribution", config), "Id");
        if (ids.empty())
            throw std::runtime_error("moto made no distribution");
        return ids[0];
    }
    // The ids of the invalidations moto holds for distribution.
    std::vector<std::string> invalidations(const std::string &distribution)
    {
        return xmlElements(
            request("GET", "/2020-05-31/distribution/" + distribution + "/invalidation"), "Id");
    }
    // The paths of one of them.
    std::set<std::string> paths(const std::string &distribution, const std::string &id)
    {
        const std::vector<std::string> all = xmlElements(
            request("GET", "/2020-05-31/distribution/" + distribution + "/invalidation/" + id),
            "Path");
        return std::set<std::string>(all.begin(), all.end());
    }

private:
    static size_t collect(char *data, size_t size, size_t count, void *out)
    {
        static_cast<std::string *>(out)->append(data, size * count);
        return size * count;
    }
    // moto picks the service from the credential scope and checks no signature.
    std::string request(const std::string &method, const std::string &target,
                        const std::string &body = "")
    {
        CURL *curl = curl_easy_init();
        std::string answer;
        struct curl_slist *headers = nullptr;
        headers = curl_slist_append(headers, "Authorization: AWS4-HMAC-SHA256 Credential=AKID/"
                                             "20260101/us-east-1/cloudfront/aws4_request, "
                                             "SignedHeaders=host, Signature=00");
        headers = curl_slist_append(headers, "Content-Type: application/xml");
        const std::string url = "http://" + endpoint + target;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (!body.empty())
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
        const CURLcode rc = curl_easy_perform(curl);
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        if (rc != CURLE_OK)
            throw std::runtime_error("CloudFront request failed: " + url);
        return answer;
    }

    std::string endpoint;
};

// A stand-in service of tests/e2e on a free port of loopback: a Python
// script whose first line on standard output is its port; ended with the test.
class StandInServer {
public:
    explicit StandInServer(const std::vector<std::string> &argv)
    {
        const Spawned child = spawnReadingOutput(argv);
        pid = child.pid;
        const int fd = child.fd;
        // Its first line is its port; a server that does not say it in time failed.
        std::string line;
        struct pollfd p = {fd, POLLIN, 0};
        while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
            char buffer[64];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            line.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
        if (line.find('\n') == std::string::npos) {
            stop();
            throw std::runtime_error(argv.at(1) + " did not start");
        }
        port = std::stoi(line);
    }
    ~StandInServer() { stop(); }
    StandInServer(const StandInServer &) = delete;
    StandInServer &operator=(const StandInServer &) = delete;

    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port); }
    // The body of a GET of target from the stand-in.
    std::string get(const std::string &target) const
    {
        CURL *curl = curl_easy_init();
        std::string answer;
        const std::string url = "http://" + endpoint() + target;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
        const CURLcode rc = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        if (rc != CURLE_OK)
            throw std::runtime_error("the stand-in does not answer " + url);
        return answer;
    }

private:
    static size_t collect(char *data, size_t size, size_t count, void *out)
    {
        static_cast<std::string *>(out)->append(data, size * count);
        return size * count;
    }
    void stop()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    pid_t pid = -1;
    int port = 0;
};

// cloudfront_check.py: takes an invalidation only when it is signed V4 for
// CloudFront with the key pair given, and says what it took.
class CheckingCloudFront : public StandInServer {
public:
    CheckingCloudFront(const std::string &accessKeyId, const std::string &secretAccessKey)
        : StandInServer({"python3", SITEMIRROR_SOURCE_DIR "/tests/e2e/cloudfront_check.py",
                         "--access-key", accessKeyId, "--secret-key", secretAccessKey})
    {
    }
    // One line per request: "accepted PATH PATH..." or "refused CODE".
    std::string verdicts() const { return get("/__check__/verdicts"); }
};

} // namespace e2e
