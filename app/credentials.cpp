// credentials.cpp - reading and checking the key file.
#include "credentials.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A key file is two short lines; anything much larger is not one.
constexpr std::size_t kMaxKeyFileSize = 4096;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string trimmed(const std::string &str)
{
    std::size_t b = 0, e = str.size();
    while (b < e && isBlank(str[b]))
        ++b;
    while (e > b && isBlank(str[e - 1]))
        --e;
    return str.substr(b, e - b);
}

} // namespace

bool readCredentials(const std::string &strPath, Credentials &creds, std::string &strError)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        strError = "cannot read key file: " + strPath + " (a folder)";
        return false;
    }
    std::FILE *fp = std::fopen(strPath.c_str(), "rb");
    if (!fp) {
        strError = "cannot read key file: " + strPath + " (" + std::strerror(errno) + ")";
        return false;
    }
    std::string strContent;
    char buf[1024];
    std::size_t n;
    bool bReadError = false;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) {
        strContent.append(buf, n);
        if (strContent.size() > kMaxKeyFileSize)
            break;
    }
    bReadError = std::ferror(fp) != 0;
    std::fclose(fp);
    if (bReadError) {
        strError = "cannot read key file: " + strPath;
        return false;
    }
    if (strContent.size() > kMaxKeyFileSize) {
        strError = "key file is too large to hold two keys: " + strPath;
        return false;
    }
    if (strContent.compare(0, 3, "\xEF\xBB\xBF") == 0)
        strContent.erase(0, 3);
    for (char c : strContent) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 && c != '\n' && c != '\r' && c != '\t') {
            strError = "key file is not text: " + strPath;
            return false;
        }
    }

    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= strContent.size()) {
        std::size_t end = strContent.find('\n', start);
        if (end == std::string::npos)
            end = strContent.size();
        std::string strLine = trimmed(strContent.substr(start, end - start));
        if (!(lines.empty() && strLine.empty()))
            lines.push_back(strLine);
        start = end + 1;
    }
    if (lines.empty() || lines[0].empty()) {
        strError = "key file is empty: " + strPath;
        return false;
    }
    if (lines.size() < 2 || lines[1].empty()) {
        strError = "key file holds no secret access key on its second line: " + strPath;
        return false;
    }
    if (lines[0].size() > kMaxAccessKeyIdSize) {
        strError = "key file holds a access key id longer than " +
                   std::to_string(kMaxAccessKeyIdSize) + " bytes: " + strPath;
        return false;
    }
    if (lines[1].size() > kMaxSecretAccessKeySize) {
        strError = "key file holds a secret access key longer than " +
                   std::to_string(kMaxSecretAccessKeySize) + " bytes: " + strPath;
        return false;
    }
    creds.strAccessKeyId = lines[0];
    creds.strSecretAccessKey = lines[1];
    return true;
}
