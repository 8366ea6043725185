#include "cloudflare.h"
const char *const pszCloudflareEndpoint = "https://api.cloudflare.com";
