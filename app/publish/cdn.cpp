// cdn.cpp - the CloudFront invalidation after a run: the paths of the changed
// keys, the request document, its V4 signature (service "cloudfront", region
// us-east-1), the request over libcurl and the answer's id or error.
#include "cdn.h"

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <thread>

#include "console.h"
#include "myListTool.h"
#include "myS3Common.h"
#include "retry.h"

const char *const pszCloudFrontEndpoint = "https://cloudfront.amazonaws.com";

namespace {

const char kApiVersion[] = "2020-05-31";
const char kService[] = "cloudfront";
const char kRegion[] = "us-east-1"; // CloudFront is global and signs for this region
const char kIndexName[] = "index.html";
// The largest answer read; CloudFront's documents are a few hundred bytes.
const std::size_t kMaxAnswerSize = 64 * 1024;
const long kConnectTimeoutSeconds = 10;

std::string hmacSha256(const std::string &strKey, const std::string &strData)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), strKey.data(), static_cast<int>(strKey.size()),
         reinterpret_cast<const unsigned char *>(strData.data()), strData.size(), mac, &len);
    return std::string(reinterpret_cast<const char *>(mac), len);
}

std::string lowerCase(std::string str)
{
    for (char &c : str)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return str;
}

// A header value as V4 signs it: outer blanks dropped, inner runs as one space.
std::string squeezed(const std::string &strValue)
{
    std::string strOut;
    bool bPending = false;
    for (char c : strValue) {
        if (c == ' ' || c == '\t') {
            bPending = !strOut.empty();
            continue;
        }
        if (bPending)
            strOut += ' ';
        bPending = false;
        strOut += c;
    }
    return strOut;
}

// "/" + the key as the index page links it; a double quote, which the page
// keeps but a browser sends encoded, as %22.
std::string pathOfKey(const std::string &strKey)
{
    std::string strPath = "/";
    for (char c : siteindex::urlEncode(strKey))
        strPath += c == '"' ? std::string("%22") : std::string(1, c);
    return strPath;
}

// The text of the first element named pszName below node, "" when none.
std::string elementText(xmlNode *node, const char *pszName)
{
    for (xmlNode *n = node; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (xmlStrcmp(n->name, reinterpret_cast<const xmlChar *>(pszName)) == 0) {
            xmlChar *text = xmlNodeGetContent(n);
            std::string str = text ? reinterpret_cast<const char *>(text) : "";
            xmlFree(text);
            return str;
        }
        std::string str = elementText(n->children, pszName);
        if (!str.empty())
            return str;
    }
    return "";
}

// The answer document's texts named by the elements asked for.
std::map<std::string, std::string> answerTexts(const std::string &strBody,
                                               const std::vector<const char *> &names)
{
    std::map<std::string, std::string> texts;
    xmlDoc *doc = xmlReadMemory(strBody.data(), static_cast<int>(strBody.size()), nullptr,
                                nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return texts;
    for (const char *pszName : names)
        texts[pszName] = elementText(xmlDocGetRootElement(doc), pszName);
    xmlFreeDoc(doc);
    return texts;
}

size_t collectAnswer(char *data, size_t size, size_t count, void *userData)
{
    std::string &strBody = *static_cast<std::string *>(userData);
    const size_t n = size * count;
    if (strBody.size() + n > kMaxAnswerSize)
        return 0; // not a CloudFront answer: stop reading
    strBody.append(data, n);
    return n;
}

struct Answer {
    CURLcode curlCode = CURLE_OK;
    std::string strCurlError;
    long httpStatus = 0;
    std::string strBody;
};

Answer post(const std::string &strUrl, const std::vector<std::string> &headerLines,
            const std::string &strBody, long nTimeoutSeconds)
{
    Answer answer;
    CURL *curl = curl_easy_init();
    if (!curl) {
        answer.curlCode = CURLE_FAILED_INIT;
        answer.strCurlError = "cannot set up the request";
        return answer;
    }
    char szError[CURL_ERROR_SIZE] = "";
    struct curl_slist *headers = nullptr;
    for (const std::string &strLine : headerLines)
        headers = curl_slist_append(headers, strLine.c_str());
    // Expect: 100-continue would add a round trip for a body this small.
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, strBody.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(strBody.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectAnswer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.strBody);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, szError);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NETRC, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, nTimeoutSeconds);
    // No trace: the request carries the signature and any session token.
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    answer.curlCode = curl_easy_perform(curl);
    if (answer.curlCode != CURLE_OK)
        answer.strCurlError = *szError ? szError : curl_easy_strerror(answer.curlCode);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.httpStatus);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return answer;
}

std::string utcStamp(std::time_t t)
{
    struct tm stm;
    char sz[32] = "";
    if (gmtime_r(&t, &stm))
        std::strftime(sz, sizeof sz, "%Y%m%dT%H%M%SZ", &stm);
    return sz;
}

// Worth another try: no answer, or CloudFront's own "try again".
bool isRetryable(const Answer &answer, const std::string &strCode)
{
    if (answer.curlCode != CURLE_OK)
        return answer.httpStatus == 0 || answer.httpStatus >= 500;
    return answer.httpStatus == 429 || answer.httpStatus >= 500 || strCode == "Throttling" ||
           strCode == "ServiceUnavailable" || strCode == "RequestTimeout";
}

} // namespace

std::vector<std::string> invalidationPaths(const std::vector<std::string> &keys,
                                           std::size_t nMaxPaths)
{
    const std::string strIndex = kIndexName;
    std::set<std::string> paths;
    for (const std::string &strKey : keys) {
        paths.insert(pathOfKey(strKey));
        // The folder's own address serves its index page.
        const bool bIndex = strKey.size() >= strIndex.size() &&
                            strKey.compare(strKey.size() - strIndex.size(), strIndex.size(),
                                           strIndex) == 0 &&
                            (strKey.size() == strIndex.size() ||
                             strKey[strKey.size() - strIndex.size() - 1] == '/');
        if (bIndex)
            paths.insert(pathOfKey(strKey.substr(0, strKey.size() - strIndex.size())));
    }
    if (paths.size() > nMaxPaths)
        return {"/*"};
    return std::vector<std::string>(paths.begin(), paths.end());
}

std::string invalidationBatchXml(const std::vector<std::string> &paths,
                                 const std::string &strCallerReference)
{
    std::string strXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                         "<InvalidationBatch xmlns=\"http://cloudfront.amazonaws.com/doc/";
    strXml += kApiVersion;
    strXml += "/\"><Paths><Quantity>" + std::to_string(paths.size()) + "</Quantity><Items>";
    for (const std::string &strPath : paths)
        strXml += "<Path>" + siteindex::htmlEscape(strPath) + "</Path>";
    strXml += "</Items></Paths><CallerReference>" + siteindex::htmlEscape(strCallerReference) +
              "</CallerReference></InvalidationBatch>";
    return strXml;
}

SigningResult signV4(const SigningRequest &request)
{
    SigningResult result;
    // Names lower-cased and sorted; repeated names joined with ",".
    std::map<std::string, std::string> canonical;
    for (const auto &header : request.headers) {
        std::string &strValue = canonical[lowerCase(header.first)];
        strValue += (strValue.empty() ? "" : ",") + squeezed(header.second);
    }
    std::string strHeaders;
    for (const auto &header : canonical) {
        strHeaders += header.first + ":" + header.second + "\n";
        result.strSignedHeaders += (result.strSignedHeaders.empty() ? "" : ";") + header.first;
    }
    result.strCanonicalRequest = request.strMethod + "\n" + request.strPath + "\n" +
                                 request.strQuery + "\n" + strHeaders + "\n" +
                                 result.strSignedHeaders + "\n" + request.strPayloadHash;

    const std::string strDay = request.strAmzDate.substr(0, 8);
    const std::string strScope =
        strDay + "/" + request.strRegion + "/" + request.strService + "/aws4_request";
    result.strStringToSign = "AWS4-HMAC-SHA256\n" + request.strAmzDate + "\n" + strScope + "\n" +
                             sha256Hex(result.strCanonicalRequest);

    // The signing key: the secret, then the day, region, service and
    // terminator, each an HMAC keyed by the one before.
    std::string strKey = hmacSha256("AWS4" + request.strSecretAccessKey, strDay);
    strKey = hmacSha256(strKey, request.strRegion);
    strKey = hmacSha256(strKey, request.strService);
    strKey = hmacSha256(strKey, "aws4_request");
    result.strSignature = convertToHex(hmacSha256(strKey, result.strStringToSign));
    result.strAuthorization = "AWS4-HMAC-SHA256 Credential=" + request.strAccessKeyId + "/" +
                              strScope + ",SignedHeaders=" + result.strSignedHeaders +
                              ",Signature=" + result.strSignature;
    return result;
}

bool invalidateChangedKeys(const Settings &settings, const CdnCredentials &creds,
                           const std::vector<std::string> &changedKeys)
{
    if (changedKeys.empty())
        return true;
    const std::size_t nMax = static_cast<std::size_t>(std::max(1, settings.nInvalidationMaxPaths));
    const std::vector<std::string> paths = invalidationPaths(changedKeys, nMax);

    const Endpoint endpoint = parseEndpoint(
        settings.strCloudFrontEndpoint.empty() ? pszCloudFrontEndpoint
                                               : settings.strCloudFrontEndpoint);
    const std::string strTarget = std::string("/") + kApiVersion + "/distribution/" +
                                  settings.strCloudFrontDistribution + "/invalidation";
    const std::string strUrl = (endpoint.bHttps ? "https://" : "http://") + endpoint.strHost +
                               strTarget;
    // One reference for every try: CloudFront answers a repeated batch with
    // the invalidation it already made instead of making a second one.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string strCallerReference =
        "sitemirror-" +
        std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) + "-" +
        std::to_string(static_cast<long>(::getpid()));
    const std::string strBody = invalidationBatchXml(paths, strCallerReference);
    const std::string strNote = " (the files are stored; the CDN may serve old copies until they expire)";

    for (int nTry = 0;; ++nTry) {
        SigningRequest request;
        request.strMethod = "POST";
        request.strPath = strTarget;
        request.strAmzDate = utcStamp(std::time(nullptr));
        request.headers = {{"Host", endpoint.strHost},
                           {"Content-Type", "application/xml"},
                           {"X-Amz-Date", request.strAmzDate}};
        if (!creds.strSessionToken.empty())
            request.headers.push_back({"X-Amz-Security-Token", creds.strSessionToken});
        request.strPayloadHash = sha256Hex(strBody);
        request.strRegion = kRegion;
        request.strService = kService;
        request.strAccessKeyId = creds.strAccessKeyId;
        request.strSecretAccessKey = creds.strSecretAccessKey;
        const SigningResult signature = signV4(request);

        std::vector<std::string> lines;
        for (const auto &header : request.headers)
            lines.push_back(header.first + ": " + header.second);
        lines.push_back("Authorization: " + signature.strAuthorization);
        const Answer answer = post(strUrl, lines, strBody, settings.nRequestTimeout);

        const auto texts = answerTexts(answer.strBody, {"Id", "Code", "Message"});
        const std::string strId = texts.count("Id") ? texts.at("Id") : "";
        const std::string strCode = texts.count("Code") ? texts.at("Code") : "";
        if (answer.curlCode == CURLE_OK && answer.httpStatus / 100 == 2 && !strId.empty()) {
            const std::string strCount =
                paths.size() == 1 && paths[0] == "/*" && changedKeys.size() > 1
                    ? "/* for " + std::to_string(changedKeys.size()) + " changed keys"
                    : std::to_string(paths.size()) + (paths.size() == 1 ? " path" : " paths");
            printLine("invalidation: " + consoleText(strId) + " (" + strCount + ")");
            return true;
        }
        std::string strWhy;
        if (answer.curlCode != CURLE_OK && answer.httpStatus == 0) {
            strWhy = "cannot reach " + endpoint.strHost + ": " + answer.strCurlError;
        } else {
            strWhy = "HTTP " + std::to_string(answer.httpStatus);
            if (!strCode.empty())
                strWhy += " " + strCode;
            const std::string strMessage = texts.count("Message") ? texts.at("Message") : "";
            if (!strMessage.empty())
                strWhy += ": " + strMessage;
        }
        strWhy = consoleText(strWhy);
        if (nTry >= settings.nRetries || !isRetryable(answer, strCode)) {
            printLine("invalidation failed: distribution " + settings.strCloudFrontDistribution +
                      ": " + strWhy + strNote);
            return false;
        }
        const double delay = retryDelaySeconds(nTry);
        char sz[96];
        std::snprintf(sz, sizeof sz, "retry %d of %d in %.2f s: invalidation: ", nTry + 1,
                      settings.nRetries, delay);
        printLine(sz + strWhy);
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    }
}
