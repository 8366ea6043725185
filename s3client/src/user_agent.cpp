// user_agent.cpp: composes the User-Agent text every request is sent with.
#include "user_agent.h"

#include <cstdio>

namespace {

// Versions written into the user agent, and the room for its platform part
// (at most 95 characters).
constexpr char kUserAgentMajorVersion[] = "2";
constexpr char kUserAgentMinorVersion[] = "0";
constexpr int kPlatformTextSize = 96;

} // namespace

char userAgentG[USER_AGENT_SIZE];

void compose_user_agent(char *buffer, int bufferSize, const char *userAgentInfo,
                        const char *sysname, const char *machine)
{
    char platform[kPlatformTextSize];
    if (sysname) {
        const bool hasMachine = machine && machine[0];
        snprintf(platform, sizeof(platform), "%s%s%s", sysname, hasMachine ? " " : "",
                 hasMachine ? machine : "");
    } else {
        snprintf(platform, sizeof(platform), "%s", "Unknown");
    }
    if (!userAgentInfo || !userAgentInfo[0]) {
        userAgentInfo = "Unknown";
    }
    snprintf(buffer, static_cast<size_t>(bufferSize),
             "Mozilla/4.0 (Compatible; %s; strato %s.%s; %s)", userAgentInfo,
             kUserAgentMajorVersion, kUserAgentMinorVersion, platform);
}
