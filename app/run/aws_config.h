// aws_config.h - the aws tool's config file (AWS_CONFIG_FILE, else
// ~/.aws/config) as this tool reads it: its profiles and sso-sessions, and
// which profile a run uses (AWS_PROFILE, else "default").
#pragma once

#include <map>
#include <string>

// One section: key -> value, keys lower-cased. A key given with an empty
// value and indented "name = value" lines after it (the aws tool's nested
// "s3 =" block) is kept as "key.name" -> value.
typedef std::map<std::string, std::string> AwsSection;

struct AwsConfig {
    std::string strProfile = "default"; // AWS_PROFILE, else "default"
    bool bProfileNamed = false;         // AWS_PROFILE is set
    std::string strFile;                // the config file's path; "" when HOME is not set either
    bool bFileNamed = false;            // AWS_CONFIG_FILE is set
    bool bFileThere = false;            // the file exists (and was read)
    std::string strError; // one line when the file is there but cannot be read or parsed
    // Sections by their header's text: "profile NAME", "default", "sso-session NAME".
    std::map<std::string, AwsSection> sections;

    // The profile NAME's section ("[profile NAME]", or "[default]" for
    // default, which "[profile default]" also names); null when there is none.
    const AwsSection *profile(const std::string &strName) const;
    // The run's profile's value of strKey; "" when it has none.
    std::string value(const std::string &strKey) const { return valueOf(strProfile, strKey); }
    std::string valueOf(const std::string &strName, const std::string &strKey) const;
    // "profile [NAME] in FILE": what a line names as the place of a value.
    std::string place(const std::string &strName) const;
};

// Reads the config file the environment names (getVar: AWS_CONFIG_FILE,
// AWS_PROFILE, HOME; empty counts as unset). A missing file is no error
// (bFileThere false); one that cannot be read, or is not INI, sets strError.
AwsConfig readAwsConfig(const char *(*getVar)(const char *name));

// What stands where an AWS INI file (config or credentials) is looked for.
// A character device such as /dev/null, the usual way to keep the aws tool's
// files out, holds no profile: it is read as an empty file, as that tool
// reads it. Anything but a regular file or a device is refused, with
// strError naming pszWhat and the file.
enum class IniFileKind { Missing, Device, Regular, Refused };
IniFileKind inspectIniFile(const std::string &strPath, const char *pszWhat, std::string &strError);

// Parses the INI file strPath into sections (lower-cased keys, nested blocks
// as "key.name"). False with strError naming the file (and the line) when it
// cannot be read or is not INI. Also the reader of the shared credentials
// file's sections for the sources that need more than a key pair.
bool readIniSections(const std::string &strPath, const char *pszWhat,
                     std::map<std::string, AwsSection> &sections, std::string &strError);
