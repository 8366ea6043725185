// redirects_file.cpp - the site root's _redirects in its common form, as far
// as an S3 website can serve it: "FROM TO [301]" per line.
#include "redirect_list.h"

#include <sstream>

namespace {

std::vector<std::string> fields(const std::string &strLine)
{
    std::istringstream in(strLine);
    std::vector<std::string> out;
    std::string strField;
    while (in >> strField)
        out.push_back(strField);
    return out;
}

// Why S3 cannot serve a line, "" when it can.
std::string refusal(const std::vector<std::string> &words)
{
    if (words.size() < 2)
        return "a redirect needs FROM and TO";
    const std::string &strFrom = words[0];
    const std::string &strTo = words[1];
    if (strFrom.find('*') != std::string::npos || strTo.find('*') != std::string::npos ||
        strTo.find(":splat") != std::string::npos)
        return "splats (*) cannot be stored: an S3 website redirects one key to one address";
    if (strFrom.find("/:") != std::string::npos || strTo.find("/:") != std::string::npos)
        return "placeholders (:name) cannot be stored: an S3 website redirects one key to one address";
    if (strFrom.find('?') != std::string::npos)
        return "query conditions cannot be stored: an S3 website redirects the key whatever the query";
    if (words.size() > 3)
        return "conditions (query, country, language, role) cannot be stored: an S3 website has none";
    if (words.size() == 3) {
        const std::string &strStatus = words[2];
        if (!strStatus.empty() && strStatus.back() == '!')
            return "a forced redirect (!) cannot be stored: an S3 website only redirects where no page is";
        if (strStatus.find('=') != std::string::npos)
            return "conditions (query, country, language, role) cannot be stored: an S3 website has none";
        if (strStatus != "301" && strStatus != "302")
            return "status " + strStatus + " cannot be stored: an S3 website redirect answers 301";
    }
    if (!isRedirectTarget(strTo))
        return "TO must be a path beginning with / or an http(s) address";
    return "";
}

} // namespace

bool parseRedirectsFile(const std::string &strText, const std::string &strName, const std::string &strIndex,
                        std::vector<Redirect> &out, std::string &strError)
{
    std::istringstream in(strText);
    std::string strLine;
    long nLine = 0;
    while (std::getline(in, strLine)) {
        ++nLine;
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        const std::size_t hash = strLine.find('#');
        const std::vector<std::string> words = fields(hash == std::string::npos ? strLine : strLine.substr(0, hash));
        if (words.empty())
            continue;
        const std::string strWhere = strName + ":" + std::to_string(nLine);
        std::string strWhy = refusal(words);
        Redirect redirect;
        if (strWhy.empty())
            redirectKeyFor(words[0], strIndex, redirect.strKey, strWhy);
        if (!strWhy.empty()) {
            strError = strWhere + ": " + strWhy;
            return false;
        }
        redirect.strFrom = words[0];
        redirect.strTo = words[1];
        redirect.strWhere = strWhere;
        out.push_back(redirect);
    }
    return true;
}
