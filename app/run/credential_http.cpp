// credential_http.cpp - one unsigned request with libcurl, bounded in time,
// and the small readers of what comes back.
#include "credential_http.h"

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <ctime>

namespace {

size_t collect(char *data, size_t size, size_t n, void *user)
{
    std::string &body = *static_cast<std::string *>(user);
    if (body.size() + size * n > kMaxCredentialAnswer)
        return 0; // ends the transfer
    body.append(data, size * n);
    return size * n;
}

bool retryable(CURLcode code)
{
    return code == CURLE_COULDNT_CONNECT || code == CURLE_OPERATION_TIMEDOUT ||
           code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR || code == CURLE_GOT_NOTHING;
}

const xmlNode *findElement(const xmlNode *node, const char *pszName)
{
    for (; node; node = node->next) {
        if (node->type == XML_ELEMENT_NODE &&
            std::strcmp(reinterpret_cast<const char *>(node->name), pszName) == 0)
            return node;
        if (const xmlNode *found = findElement(node->children, pszName))
            return found;
    }
    return nullptr;
}

} // namespace

bool httpFetch(const HttpAsk &ask, HttpAnswer &answer, std::string &strError)
{
    CURLcode code = CURLE_OK;
    for (int nTry = 0; nTry <= ask.nRetries; ++nTry) {
        CURL *curl = curl_easy_init();
        if (!curl) {
            strError = "cannot set up the request";
            return false;
        }
        answer = HttpAnswer();
        curl_slist *headers = nullptr;
        for (const std::string &strHeader : ask.headers)
            headers = curl_slist_append(headers, strHeader.c_str());
        // An empty Expect: the answer is small and the endpoint near.
        headers = curl_slist_append(headers, "Expect:");
        curl_easy_setopt(curl, CURLOPT_URL, ask.strUrl.c_str());
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, ask.strMethod.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        if (!ask.strBody.empty() || ask.strMethod == "POST" || ask.strMethod == "PUT") {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, ask.strBody.c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(ask.strBody.size()));
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, ask.strMethod.c_str());
        }
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.strBody);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, ask.nConnectSeconds);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, ask.nTotalSeconds);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
        if (!ask.strCaFile.empty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, ask.strCaFile.c_str());
        code = curl_easy_perform(curl);
        if (code == CURLE_OK)
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.nStatus);
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        if (code == CURLE_OK)
            return true;
        if (!retryable(code))
            break;
    }
    strError = code == CURLE_WRITE_ERROR ? "the answer is larger than 64 KiB"
                                         : curl_easy_strerror(code);
    return false;
}

std::string xmlElementText(const std::string &strXml, const char *pszName)
{
    xmlDocPtr doc = xmlReadMemory(strXml.data(), static_cast<int>(strXml.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return "";
    std::string strText;
    if (const xmlNode *node = findElement(xmlDocGetRootElement(doc), pszName)) {
        xmlChar *text = xmlNodeGetContent(node);
        if (text)
            strText = reinterpret_cast<const char *>(text);
        xmlFree(text);
    }
    xmlFreeDoc(doc);
    return strText;
}

std::string formEncode(const std::string &str)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string strOut;
    for (unsigned char c : str) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::strchr("-_.~", c)) {
            strOut += static_cast<char>(c);
        } else {
            strOut += '%';
            strOut += kHex[c >> 4];
            strOut += kHex[c & 15];
        }
    }
    return strOut;
}

long long parseIsoTime(const std::string &str)
{
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    const char *pszRest = strptime(str.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (!pszRest)
        return -1;
    long long seconds = static_cast<long long>(timegm(&tm));
    if (*pszRest == '.') {
        ++pszRest;
        while (*pszRest >= '0' && *pszRest <= '9')
            ++pszRest;
    }
    if ((*pszRest == '+' || *pszRest == '-') && std::strlen(pszRest) >= 6 && pszRest[3] == ':') {
        const int nMinutes = ((pszRest[1] - '0') * 10 + (pszRest[2] - '0')) * 60 +
                             (pszRest[4] - '0') * 10 + (pszRest[5] - '0');
        seconds += (*pszRest == '+' ? -60LL : 60LL) * nMinutes;
        pszRest += 6;
    } else if (*pszRest == 'Z') {
        ++pszRest;
    }
    return *pszRest == '\0' ? seconds : -1;
}
