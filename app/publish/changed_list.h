// changed_list.h - the file that tells a CDN, or any script after the run,
// which keys of the bucket the run changed: one key a line.
#pragma once

#include <string>
#include <vector>

// Writes keys to strPath, each followed by a line feed, replacing the file
// as a whole (written beside it, then renamed over it). A key holding a line
// feed or carriage return cannot be one line: it is left out and named in
// one line on standard output. False, after one line naming the file and the
// reason, when it cannot be written; also when a key was left out.
bool writeChangedList(const std::string &strPath, const std::vector<std::string> &keys);
