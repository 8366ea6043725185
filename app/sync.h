// sync.h - the one-way mirror of the local site tree into the bucket, and the
// bulk upload of a whole tree.
#pragma once

#include <string>

#include "myDir.h"
#include "redirects.h"
#include "s3client.h"
#include "session.h"

// What to do with one local file.
enum SyncDirectionEnum { DirectionDownload = -1, DirectionNone = 0, DirectionUpload = 1 };

// The decision for a local record against its remote counterpart (null when
// the bucket lacks the key), by the listing alone: upload when missing, when
// the sizes differ, when the remote tag is missing or differs from the local
// digest. Times never count. (A run also weighs the record of its last
// upload to the store and, where needed, the object's x-amz-meta-md5.)
SyncDirectionEnum decideDirection(const S3Obj &local, const S3Obj *remote);

// Files whose full path begins with strRootPath + "personal" (a plain text
// prefix) are stored private, everything else public-read.
S3CannedAcl aclForPath(const std::string &strPath, const std::string &strRootPath);

// Brings the bucket up to date with the tree at strRootPathIn (absolute, no
// trailing "/"): scans it, lists the bucket (only the keys under the
// settings' prefix, compared by the path below it), uploads what is new or
// changed under prefix + path (in phases with more than one job), replaces the
// headers of unchanged objects the rules now give others and, with deletion
// on, deletes what the tree no longer has. True only when the scan, the
// listing, every upload, every header update and every deletion succeeded.
// Ends with the summary line. Takes the dry-run switch from the settings.
bool sync(Session &session, const std::string &strBucket, const std::string &strRootPathIn);

// The same with the dry-run switch given: bDryRun lists and compares but
// sends nothing, printing "would upload: KEY (new|size|digest)" for each file
// that would go up ("(page)" for the index page a run would write now) and
// "would delete: KEY" for each deletion; the summary counts them. The scan takes scanOptions (ignore rules, a loaded digest
// cache, which is saved after a whole scan; counts for the summary).
// redirects are stored after the files ("would redirect: KEY -> TO (why)" in
// a dry run) and kept from deletion.
bool sync(Session &session, const std::string &strBucket, const std::string &strRootPathIn,
          bool bDryRun, const ScanOptions &scanOptions, const std::vector<Redirect> &redirects = {});

// Uploads every file of the tree without listing or comparing. True only when
// the scan and every upload succeeded.
bool upload(Session &session, const std::string &strBucket, const std::string &strInputRootPath);
