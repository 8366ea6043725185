// version.cpp - the tool's version and its libraries' own run-time version
// calls, so that a user reports what the process really loaded.
#include "version.h"

#include <cstdint>
#include <cstdlib>

#include <brotli/encode.h>
#include <curl/curl.h>
#include <libxml/xmlversion.h>
#include <libxml/parser.h>
#include <openssl/crypto.h>
#include <zlib.h>

namespace {

// libxml2 gives its version as one decimal number, 20914 for 2.9.14.
std::string dottedXmlVersion(const char *pszNumber)
{
    if (!pszNumber)
        return "unknown";
    const long n = std::strtol(pszNumber, nullptr, 10);
    return std::to_string(n / 10000) + "." + std::to_string(n / 100 % 100) + "." +
           std::to_string(n % 100);
}

// Brotli packs it into 32 bits: major in the top 8, minor and patch in 12 each.
std::string dottedBrotliVersion(uint32_t v)
{
    return std::to_string(v >> 24) + "." + std::to_string((v >> 12) & 0xFFF) + "." +
           std::to_string(v & 0xFFF);
}

} // namespace

std::vector<std::string> versionLines()
{
    std::vector<std::string> lines;
    lines.push_back("sitemirror " SITEMIRROR_VERSION);
    const curl_version_info_data *curl = curl_version_info(CURLVERSION_NOW);
    std::string strCurl = std::string("libcurl ") + (curl && curl->version ? curl->version : "unknown");
    if (curl && curl->ssl_version)
        strCurl += std::string(" (") + curl->ssl_version + ")";
    lines.push_back(strCurl);
#ifdef OPENSSL_VERSION_STRING
    lines.push_back(std::string("OpenSSL ") + OpenSSL_version(OPENSSL_VERSION_STRING));
#else
    lines.push_back(OpenSSL_version(OPENSSL_VERSION));
#endif
    lines.push_back("libxml2 " + dottedXmlVersion(xmlParserVersion));
    lines.push_back(std::string("zlib ") + zlibVersion());
    lines.push_back("brotli " + dottedBrotliVersion(BrotliEncoderVersion()));
    return lines;
}
