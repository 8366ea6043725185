// site_policy.cpp - the "personal" rule and the folders the page never enters.
#include "site_policy.h"

namespace {
const char kPersonal[] = "personal";
}

bool isPersonalKey(const std::string &strKey)
{
    return strKey.compare(0, sizeof kPersonal - 1, kPersonal) == 0;
}

bool isUnlistedFolderName(const std::string &strName)
{
    return strName == kPersonal || strName == "repo.git";
}
