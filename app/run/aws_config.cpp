// aws_config.cpp - reads the aws tool's config file with the INI reader the
// shared credentials file is read with.
#include "aws_config.h"

#include <sys/stat.h>

#include <ini.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console.h"

namespace {

std::string lowered(const char *psz)
{
    std::string str = psz;
    for (char &c : str)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return str;
}

std::string trimmed(const std::string &str)
{
    const std::size_t b = str.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    return str.substr(b, str.find_last_not_of(" \t") + 1 - b);
}

struct IniReading {
    std::map<std::string, AwsSection> *sections;
};

int onValue(void *user, const char *pszSection, const char *pszName, const char *pszValue)
{
    AwsSection &section = (*static_cast<IniReading *>(user)->sections)[trimmed(pszSection)];
    const std::string strName = lowered(pszName);
    const auto it = section.find(strName);
    // The reader hands an indented line after "name =" over as a second
    // value of the same name: one "key = value" of a nested block.
    if (it != section.end() && it->second.empty()) {
        const std::string strLine = pszValue;
        const std::size_t eq = strLine.find('=');
        if (eq != std::string::npos) {
            const std::string strKey = trimmed(strLine.substr(0, eq));
            section[strName + "." + lowered(strKey.c_str())] = trimmed(strLine.substr(eq + 1));
        }
        return 1;
    }
    section[strName] = pszValue;
    return 1;
}

const char *setVar(const char *(*getVar)(const char *), const char *pszName)
{
    const char *pszValue = getVar(pszName);
    return pszValue && *pszValue ? pszValue : nullptr;
}

} // namespace

IniFileKind inspectIniFile(const std::string &strPath, const char *pszWhat, std::string &strError)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return IniFileKind::Missing;
        strError = std::string("cannot read ") + pszWhat + ": " + consoleText(strPath) + " (" +
                   std::strerror(errno) + ")";
        return IniFileKind::Refused;
    }
    if (S_ISCHR(st.st_mode))
        return IniFileKind::Device;
    if (S_ISREG(st.st_mode))
        return IniFileKind::Regular;
    strError = std::string("cannot read ") + pszWhat + ": " + consoleText(strPath) + " (not a regular file)";
    return IniFileKind::Refused;
}

bool readIniSections(const std::string &strPath, const char *pszWhat,
                     std::map<std::string, AwsSection> &sections, std::string &strError)
{
    const IniFileKind kind = inspectIniFile(strPath, pszWhat, strError);
    if (kind == IniFileKind::Device)
        return true;
    if (kind == IniFileKind::Refused)
        return false;
    const std::string strFile = consoleText(strPath);
    std::FILE *fp = std::fopen(strPath.c_str(), "r");
    if (!fp) {
        strError = std::string("cannot read ") + pszWhat + ": " + strFile + " (" +
                   std::strerror(errno) + ")";
        return false;
    }
    IniReading reading{&sections};
    const int nResult = ini_parse_file(fp, onValue, &reading);
    std::fclose(fp);
    if (nResult != 0) {
        strError = nResult > 0 ? strFile + ":" + std::to_string(nResult) + ": not a line of the " +
                                     pszWhat + " ([section] or name = value)"
                               : std::string("cannot read ") + pszWhat + ": " + strFile;
        return false;
    }
    return true;
}

const AwsSection *AwsConfig::profile(const std::string &strName) const
{
    auto it = sections.find("profile " + strName);
    if (it == sections.end() && strName == "default")
        it = sections.find("default");
    return it == sections.end() ? nullptr : &it->second;
}

std::string AwsConfig::valueOf(const std::string &strName, const std::string &strKey) const
{
    const AwsSection *section = profile(strName);
    if (!section)
        return "";
    const auto it = section->find(strKey);
    return it == section->end() ? "" : it->second;
}

std::string AwsConfig::place(const std::string &strName) const
{
    return "profile [" + consoleText(strName) + "] in " + consoleText(strFile);
}

AwsConfig readAwsConfig(const char *(*getVar)(const char *name))
{
    AwsConfig config;
    if (const char *pszProfile = setVar(getVar, "AWS_PROFILE")) {
        config.strProfile = pszProfile;
        config.bProfileNamed = true;
    }
    if (const char *pszFile = setVar(getVar, "AWS_CONFIG_FILE")) {
        config.strFile = pszFile;
        config.bFileNamed = true;
    } else if (const char *pszHome = setVar(getVar, "HOME")) {
        config.strFile = std::string(pszHome) + "/.aws/config";
    }
    struct stat st;
    if (config.strFile.empty() || stat(config.strFile.c_str(), &st) != 0)
        return config;
    config.bFileThere = true;
    if (!readIniSections(config.strFile, "AWS config file", config.sections, config.strError))
        config.sections.clear();
    return config;
}
