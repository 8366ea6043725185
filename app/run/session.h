// session.h - the one owner of the client for a run: its settings, the
// credentials, the client's set-up and tear-down, the bucket context every
// request of the run uses, and the hints given so far. Made once by the
// command line and passed to every operation; there is no global one.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "concurrency.h"
#include "credential_sources.h"
#include "credentials.h"
#include "hints.h"
#include "report.h"
#include "retry.h"
#include "s3client.h"
#include "settings.h"
#include "store_answer.h"

class TransferObserver;

// True when the bucket can be the first label of a host name: 3 to 63
// lower-case letters, digits and "-", no dot, no "-" at either end.
bool hostNameBucket(const char *pszBucket);

// What the credential sources need of the settings.
CredentialOptions credentialOptions(const Settings &settings);

// User-agent information handed to S3_initialize.
extern const char *const pszUserAgentInfo;

class Session {
public:
    // Sets the client up for the run: initialisation, CA file, time limits and
    // trace. A CA file the client cannot use is reported in one line naming it,
    // and the session is then not ready (nothing may be sent). settings must
    // outlive the session.
    explicit Session(const Settings &settings);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // False when the client could not be set up.
    bool ready() const { return bReady; }
    // True when the set-up failed on the CA file (the run fails before sending).
    bool caFileRefused() const { return bCaFileRefused; }

    const Settings &settings() const { return settingsRef; }
    HintLog &hints() { return hintLog; }

    // Fills ctx with the run's bucket context for pszBucket (the text must
    // outlive the operation). The credentials are looked for (findCredentials)
    // the first time one is asked for, until they are found: a lookup that
    // fails prints its one line and is tried again by the next call; one that
    // succeeds prints its warnings on standard error. False then, and when
    // the client is not set up. Temporary credentials put their session token
    // into ctx.
    bool bucketContext(const char *pszBucket, S3BucketContext &ctx);

    // The bucket context a request is sent with now: ctx (as bucketContext
    // filled it) with the run's current keys, signature, region and
    // endpoint, which the store's answers may have changed since (follow).
    // The texts it points to stay valid until the next call.
    S3BucketContext current(const S3BucketContext &ctx);
    // Counts the changes follow() made: a try sent at an earlier count was
    // signed as the store no longer wants.
    int signingGeneration() const { return nGeneration; }
    // A refused try asked for ask (readStoreAsk). True when the run now
    // sends as asked and the try is to be sent again: the first time each
    // kind of change is made (once per run), strHint is its one line naming
    // the settings that make it permanent; a try sent before a change
    // (nSentGeneration below the count) gets true and no line. False: the
    // refusal stands (asked before, or nothing the run can follow).
    bool follow(const StoreAsk &ask, int nSentGeneration, std::string &strHint);

    // True once the credentials have been found.
    bool keysLoaded() const { return bKeyInitialized; }
    const Credentials &credentials() const { return creds; }
    // Where they came from ("" until found); never a secret.
    const std::string &credentialSource() const { return strSource; }

    // The keys this run changed in the bucket (uploaded, headers updated,
    // deleted), in the order they were changed; what a CDN is told to forget.
    std::vector<std::string> &changedKeys() { return changed; }
    // Told the keys a step is about to change, before it sends anything (the
    // pending invalidations keep them, so a run killed mid-step loses none).
    void aboutToChange(const std::vector<std::string> &keys)
    {
        if (changeIntent && !keys.empty())
            changeIntent(keys);
    }
    // Whether aboutToChange() is listened to (a caller may spare making the keys).
    bool wantsChangeIntent() const { return static_cast<bool>(changeIntent); }
    void onChangeIntent(std::function<void(const std::vector<std::string> &)> intent)
    {
        changeIntent = std::move(intent);
    }

    // The mirror's counts, as its summary line gave them: the JSON summary
    // and the Markdown summary are made from them at the run's end.
    RunSummary &runSummary() { return summary; }

    // The run's request context: one pool of connections for the listing,
    // the HEADs, the uploads and the header updates, so that each step goes
    // out on the connections the one before opened. Made when first asked
    // for; null when it cannot be made (the step that asked says so). The
    // steps use it one after another, never two at once.
    S3RequestContext *requestContext();
    // Ends the run's request context with every request still in it (their
    // complete callbacks run now): after a wait that failed, or a listing
    // given up. The next requestContext() makes a new one.
    void endRequestContext();
    // Waits until one of the run's transfers moves (the client's own
    // time-out), at most 100 ms and not past due (a retry due then). False
    // when the wait itself failed: the context is broken.
    bool waitForTransfers(std::chrono::steady_clock::time_point due =
                              std::chrono::steady_clock::time_point::max());
    // Puts wait() in the place of the client's wait: how a test makes a wait
    // fail, which no store can. Empty: the client's own.
    void replaceWait(std::function<bool()> wait) { waitReplacement = std::move(wait); }

    // How many of the run's transfers may be in flight: settings.nJobs, or
    // the limit found while sending (auto), carried from one step to the
    // next so that the pages start where the assets left off.
    JobGovernor &governor() { return jobGovernor; }

    // When to stop sending: files in a row that could not reach the store,
    // counted over every request of the run, whatever its kind or step.
    ConnectionGuard &connectionGuard() { return guard; }
    // True the first time it is called: the line that says sending stopped
    // is printed once per run.
    bool announceStop() { return !bStopAnnounced && (bStopAnnounced = true); }

    // Told how the run's uploads go (the progress line); null: nobody.
    TransferObserver *transferObserver() const { return observer; }
    void setTransferObserver(TransferObserver *pObserver) { observer = pObserver; }

private:
    const Settings &settingsRef;
    Endpoint endpoint; // parsed once; the bucket contexts point into it
    bool bInitializeCalled = false;
    bool bReady = false;
    bool bCaFileRefused = false;
    bool bKeyInitialized = false;
    Credentials creds;
    std::string strSource;
    // Where temporary keys are fetched again before they expire; null for
    // keys that do not.
    std::shared_ptr<CredentialSource> source;
    long long expiration = 0;    // of creds, seconds since 1970; 0: never
    long long refreshAt = 0;     // when to fetch again
    long long nextTryAt = 0;     // after a fetch that failed, not before
    // Fetches the keys again when they are due; keeps the old ones (and
    // says so once) when the source fails.
    void refreshCredentials();
    bool adoptFetched(const TemporaryCredentials &fetched);
    bool bRefreshFailureSaid = false;
    // How requests are signed and where they go, from the settings until
    // the store's answers change them.
    bool bSignatureV4;
    std::string strRegion;
    int nGeneration = 0;
    bool bV4Followed = false, bRegionFollowed = false, bEndpointFollowed = false;
    HintLog hintLog;
    std::vector<std::string> changed;
    std::function<void(const std::vector<std::string> &)> changeIntent;
    RunSummary summary;
    TransferObserver *observer = nullptr;
    S3RequestContext *rc = nullptr;
    JobGovernor jobGovernor;
    ConnectionGuard guard;
    bool bStopAnnounced = false;
    std::function<bool()> waitReplacement;
};
