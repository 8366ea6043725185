// mirror_run.h - what a run does once its settings are read: the mirror of
// the site (its steps in order, in mirrorSite), or the upload of one file,
// then the changed keys written where --changed-list asks.
#pragma once

#include <string>
#include <vector>

#include "session.h"

// Runs the form the arguments ask for (none: the mirror; one: that file)
// and writes the changed list; the exit status.
int runForm(Session &session, const std::vector<std::string> &args);
