// website.h - --configure-website: the bucket's website configuration set
// to the run's index document and error page, and read back.
#pragma once

#include "session.h"

// Sets the bucket's website (settings.strWebsiteIndex as every folder's page,
// the prefix and settings.strWebsiteError as the page for a missing key,
// when given), then reads it back: "website set: index document I, error
// document E" and "website now: ..." as the store tells it. A dry run prints
// "would set website: ..." and sends nothing. The exit status.
int configureWebsite(Session &session);
