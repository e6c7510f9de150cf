// A listing in progress: the worker thread that builds it into a spool file,
// and what the thread needs while it runs.
//
// The worker acts for the user (it takes on the account's file-system
// identity from its own reference to the token), runs the work function
// against the spool, rewinds the spool and calls the completion callback on
// its own thread; the callback is meant to post to the event loop and return.
//
// A thread cannot be killed safely, so stopping is cooperative: Stop raises
// the stop flag, which the work function checks between entries, and waits
// for the worker, first for a short while and then once more. A worker that
// still has not finished is let go (detached). Everything it may still touch
// - the spool, the flag, the work function and what it holds - is shared with
// it and lives until it ends, so no thread ever writes into freed memory.
// After Stop the completion callback is never called.
//
// The spool may keep the listing's place in its instance's bound
// (ListingQuota, SpoolFile::Keep): the place goes with the spool, so a worker
// that was let go holds it until it really ends.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "platform/accounts/Token.h"
#include "service/transfer/listing/ListingOutput.h"
#include "service/transfer/listing/SpoolFile.h"

namespace orvyn {

class ListingJob {
public:
    // Builds the listing into the spool; returns how it ended. Runs on the
    // worker thread under the user's identity; must return soon after stop
    // is raised, and must own (or share) everything it uses.
    using Work = std::function<ListingOutcome(SpoolFile& spool, const std::atomic<bool>& stop)>;
    // Told how the listing ended, on the worker thread, unless the job was
    // stopped first. It runs while the job's lock is held: it posts to the
    // event loop and returns, and never calls back into the job.
    using Completion = std::function<void(ListingOutcome outcome)>;

    struct Waits {
        std::chrono::milliseconds first{500};   // after raising the stop flag
        std::chrono::milliseconds second{500};  // before giving up on the worker
    };

    enum class StopResult {
        NotRunning,  // never started, or already collected
        Finished,    // the worker ended (in time, or before Stop)
        Detached,    // the worker did not end in time and was let go
    };

    ListingJob(accounts::TokenPtr token, std::unique_ptr<SpoolFile> spool, Work work, Completion done);
    ListingJob(accounts::TokenPtr token, std::unique_ptr<SpoolFile> spool, Work work, Completion done, Waits waits);
    // Stops a worker that is still running.
    ~ListingJob();
    ListingJob(const ListingJob&) = delete;
    ListingJob& operator=(const ListingJob&) = delete;

    // Starts the worker; false when it was started before or no thread could
    // be created.
    bool Start();

    // Tells the worker to finish and waits for it (see above). Also collects
    // a worker that has already finished.
    StopResult Stop();

    bool started() const { return started_; }
    // Whether the worker has ended.
    bool finished() const;
    // How the worker's listing ended, once it has.
    std::optional<ListingOutcome> outcome() const;

    // The spool, rewound, once the worker has completed the listing (null
    // before that, when it stopped or failed, after a detach, or when taken
    // already). Joins the finished worker.
    std::unique_ptr<SpoolFile> TakeSpool();

private:
    struct Shared;
    static void RunWorker(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    Waits waits_;
    bool started_ = false;
    bool detached_ = false;
};

}  // namespace orvyn
