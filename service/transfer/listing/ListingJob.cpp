#include "service/transfer/listing/ListingJob.h"

#include <condition_variable>
#include <mutex>
#include <system_error>

#include "platform/accounts/Impersonation.h"

namespace orvyn {

// Everything the worker touches. The job and the worker each hold a
// reference; whichever lets go last frees it.
struct ListingJob::Shared {
    accounts::TokenPtr token;
    std::unique_ptr<SpoolFile> spool;
    Work work;
    std::atomic<bool> stop{false};

    std::mutex mutex;
    std::condition_variable ended;
    Completion done;  // cleared by Stop, under the mutex
    bool finished = false;
    ListingOutcome outcome = ListingOutcome::Failed;
};

ListingJob::ListingJob(accounts::TokenPtr token, std::unique_ptr<SpoolFile> spool, Work work, Completion done)
    : ListingJob(std::move(token), std::move(spool), std::move(work), std::move(done), Waits{}) {}

ListingJob::ListingJob(accounts::TokenPtr token, std::unique_ptr<SpoolFile> spool, Work work, Completion done,
                       Waits waits)
    : shared_(std::make_shared<Shared>()), waits_(waits) {
    shared_->token = std::move(token);
    shared_->spool = spool ? std::move(spool) : SpoolFile::InMemory();
    shared_->work = std::move(work);
    shared_->done = std::move(done);
}

ListingJob::~ListingJob() { Stop(); }

bool ListingJob::Start() {
    if (started_) return false;
    try {
        thread_ = std::thread(&ListingJob::RunWorker, shared_);
    } catch (const std::system_error&) {
        return false;
    }
    started_ = true;
    return true;
}

void ListingJob::RunWorker(const std::shared_ptr<Shared>& shared) {
    ListingOutcome outcome = ListingOutcome::Failed;
    try {
        // The identity is given back before anyone is told the listing ended.
        accounts::ImpersonationScope as(shared->token.get());
        outcome = shared->work ? shared->work(*shared->spool, shared->stop) : ListingOutcome::Failed;
        if (outcome == ListingOutcome::Completed && !shared->spool->Rewind()) outcome = ListingOutcome::Failed;
    } catch (...) {
        // No identity could be taken on, or the work broke down: the listing
        // did not complete.
        outcome = ListingOutcome::Failed;
    }
    if (shared->stop.load() && outcome == ListingOutcome::Completed) outcome = ListingOutcome::Stopped;

    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->finished = true;
    shared->outcome = outcome;
    // Called under the mutex, so Stop either waits for it or has already
    // taken the callback away; it only posts, so the wait is short.
    if (shared->done && !shared->stop.load()) shared->done(outcome);
    shared->ended.notify_all();
}

bool ListingJob::finished() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->finished;
}

std::optional<ListingOutcome> ListingJob::outcome() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (!shared_->finished) return std::nullopt;
    return shared_->outcome;
}

ListingJob::StopResult ListingJob::Stop() {
    if (!thread_.joinable()) return StopResult::NotRunning;
    Completion dropped;  // destroyed outside the lock, on this thread
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->stop.store(true);
        dropped = std::move(shared_->done);
        shared_->done = nullptr;
        ended = shared_->ended.wait_for(lock, waits_.first, [&] { return shared_->finished; });
        if (!ended) ended = shared_->ended.wait_for(lock, waits_.second, [&] { return shared_->finished; });
    }
    if (ended) {
        thread_.join();
        return StopResult::Finished;
    }
    // The worker keeps its own reference to everything it uses.
    thread_.detach();
    detached_ = true;
    return StopResult::Detached;
}

std::unique_ptr<SpoolFile> ListingJob::TakeSpool() {
    if (detached_ || !started_) return nullptr;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (!shared_->finished || shared_->outcome != ListingOutcome::Completed) return nullptr;
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return std::move(shared_->spool);
}

}  // namespace orvyn
