// phases.h - the order in which a run's uploads go up so that no live page
// ever links to what is not there yet: every file but HTML pages, then the
// HTML pages, then the index page; each phase starts when the one before
// has ended.
#pragma once

#include <string>
#include <vector>

#include "uploader.h"

enum UploadPhase { PhaseAssets = 0, PhasePages = 1, PhaseIndexPage = 2 };

// The phase of one upload: the index page by its key, an HTML page by the
// content type it is sent with (text/html, application/xhtml+xml).
UploadPhase phaseOf(const UploadItem &item, const std::string &strIndexPageKey);

// The line that says why the pages were not sent: "not sending pages: N
// files of an earlier phase failed".
std::string notSendingPagesLine(long nFailed);

// The uploads of a run, each in its phase.
class PhasedUploads : public UploadSource {
public:
    virtual UploadPhase phase(std::size_t i) const = 0;
    virtual std::string path(std::size_t i) const = 0; // the file's, for error events
};

// Sends the uploads (in key order). With more than one job, phase after
// phase, each in key order, its blocks printed in key order; a phase starts
// only when every upload of the phases before it succeeded, otherwise the
// later phases are not sent (one line says so, and they count as failed).
// With one job, one sequence in key order. The totals are those of all phases.
UploadTotals uploadInPhases(Session &session, const S3BucketContext &ctx,
                            const std::string &strBucket, PhasedUploads &uploads);
