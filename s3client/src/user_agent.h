// user_agent.h: the User-Agent text every request is sent with.
#pragma once

// The user agent: at most 255 characters.
#define USER_AGENT_SIZE 256

// Set by request_api_initialize, read by every request's set-up.
extern char userAgentG[USER_AGENT_SIZE];

// "Mozilla/4.0 (Compatible; <info>; strato 2.0; <sysname> <machine>)" into
// buffer; info NULL or "" reads "Unknown", sysname NULL (uname failed) gives
// the platform "Unknown", an empty machine drops it and its space.
void compose_user_agent(char *buffer, int bufferSize,
                        const char *userAgentInfo, const char *sysname,
                        const char *machine);
