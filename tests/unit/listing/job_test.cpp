#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "listing_support.h"
#include "platform/accounts/Impersonation.h"
#include "service/transfer/listing/ListingJob.h"
#include "service/transfer/listing/ListingProducer.h"

namespace orvyn {
namespace {

using test::TempTree;
using namespace std::chrono_literals;

std::string Drain(SpoolFile& spool) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = spool.Read(buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

// Records completion calls; waits for the first.
struct CompletionLog {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<ListingOutcome> outcomes;
    std::thread::id thread;

    ListingJob::Completion Callback() {
        return [this](ListingOutcome outcome) {
            std::lock_guard<std::mutex> lock(mutex);
            outcomes.push_back(outcome);
            thread = std::this_thread::get_id();
            cv.notify_all();
        };
    }
    bool WaitForOne() {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, 30s, [&] { return !outcomes.empty(); });
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return outcomes.size();
    }
};

TEST(ListingJob, CompletesOnTheWorkerAndHandsOverTheSpool) {
    TempTree tree;
    CompletionLog log;
    ListingJob job(
        nullptr, SpoolFile::Create(tree.top()),
        [](SpoolFile& spool, const std::atomic<bool>&) {
            return spool.Write("a\r\nb\r\n") ? ListingOutcome::Completed : ListingOutcome::Failed;
        },
        log.Callback());
    EXPECT_EQ(job.TakeSpool(), nullptr);  // not started: nothing to take
    ASSERT_TRUE(job.Start());
    EXPECT_FALSE(job.Start());
    ASSERT_TRUE(log.WaitForOne());
    EXPECT_EQ(log.outcomes, (std::vector<ListingOutcome>{ListingOutcome::Completed}));
    EXPECT_NE(log.thread, std::this_thread::get_id());
    auto spool = job.TakeSpool();
    ASSERT_NE(spool, nullptr);
    EXPECT_TRUE(job.finished());
    EXPECT_EQ(job.outcome(), ListingOutcome::Completed);
    // Rewound by the worker: read from the start.
    EXPECT_EQ(Drain(*spool), "a\r\nb\r\n");
    EXPECT_EQ(job.Stop(), ListingJob::StopResult::NotRunning);
}

TEST(ListingJob, FailuresAreReported) {
    CompletionLog failed;
    {
        ListingJob job(nullptr, SpoolFile::InMemory(),
                       [](SpoolFile&, const std::atomic<bool>&) { return ListingOutcome::Failed; }, failed.Callback());
        ASSERT_TRUE(job.Start());
        ASSERT_TRUE(failed.WaitForOne());
    }
    EXPECT_EQ(failed.outcomes, (std::vector<ListingOutcome>{ListingOutcome::Failed}));

    CompletionLog thrown;
    {
        ListingJob job(
            nullptr, SpoolFile::InMemory(),
            [](SpoolFile&, const std::atomic<bool>&) -> ListingOutcome { throw std::runtime_error("broken"); },
            thrown.Callback());
        ASSERT_TRUE(job.Start());
        ASSERT_TRUE(thrown.WaitForOne());
    }
    EXPECT_EQ(thrown.outcomes, (std::vector<ListingOutcome>{ListingOutcome::Failed}));
}

TEST(ListingJob, StopDuringLongDirectoryRead) {
    TempTree tree;
    const std::string big = tree.Dir("big");
    const int total = 20000;
    for (int i = 0; i < total; ++i) {
        const int fd = open((big + "/entry-" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }

    auto asked = std::make_shared<std::atomic<int>>(0);
    auto reading = std::make_shared<std::promise<void>>();
    ListingRequest request;
    request.options = ListOptions::Parse("-l", 'l');
    request.resolve = [big](const std::string&) { return std::optional<std::string>(big); };
    request.reader.rightsOf = [asked, reading](const std::string&) {
        if (asked->fetch_add(1) == 100) reading->set_value();
        return 15;
    };
    CompletionLog log;
    ListingJob job(
        nullptr, SpoolFile::Create(tree.top()),
        [request](SpoolFile& spool, const std::atomic<bool>& stop) {
            ListingOutput out([&spool](std::string_view text) { return spool.Write(text); }, false);
            ListingProducer producer(request, &stop);
            return producer.Run(out);
        },
        log.Callback());
    ASSERT_TRUE(job.Start());
    ASSERT_EQ(reading->get_future().wait_for(30s), std::future_status::ready);
    // The worker leaves the folder at its next entry: it ends within the first wait.
    EXPECT_EQ(job.Stop(), ListingJob::StopResult::Finished);
    EXPECT_EQ(job.outcome(), ListingOutcome::Stopped);
    EXPECT_LT(asked->load(), total);
    EXPECT_EQ(log.count(), 0u);  // a stopped listing is never announced
    // What a stopped worker wrote is never handed on.
    EXPECT_EQ(job.TakeSpool(), nullptr);
}

TEST(ListingJob, WorkerThatDoesNotStopIsDetachedAndOwnsWhatItUses) {
    // A sentinel destroyed with the work function tells when the detached
    // worker has let go of everything.
    struct Sentinel {
        explicit Sentinel(std::shared_ptr<std::promise<void>> p) : gone(std::move(p)) {}
        ~Sentinel() { gone->set_value(); }
        std::shared_ptr<std::promise<void>> gone;
    };
    auto gate = std::make_shared<std::promise<void>>();
    auto gateOpen = gate->get_future().share();
    auto gone = std::make_shared<std::promise<void>>();
    auto goneFuture = gone->get_future();
    auto wrote = std::make_shared<std::atomic<bool>>(false);
    auto sentinel = std::make_shared<Sentinel>(gone);

    CompletionLog log;
    auto job = std::make_unique<ListingJob>(
        nullptr, SpoolFile::InMemory(),
        [gateOpen, wrote, sentinel](SpoolFile& spool, const std::atomic<bool>& stop) {
            gateOpen.wait();  // deaf to the stop flag for a while
            // Still writes into the spool after its job is gone.
            for (int i = 0; i < 1000; ++i) spool.Write("late line\r\n");
            wrote->store(true);
            return stop.load() ? ListingOutcome::Stopped : ListingOutcome::Completed;
        },
        log.Callback(), ListingJob::Waits{20ms, 20ms});
    sentinel.reset();
    ASSERT_TRUE(job->Start());
    EXPECT_EQ(job->Stop(), ListingJob::StopResult::Detached);
    EXPECT_EQ(job->TakeSpool(), nullptr);
    job.reset();  // the owner is gone while the worker still runs

    gate->set_value();
    ASSERT_EQ(goneFuture.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(wrote->load());
    EXPECT_EQ(log.count(), 0u);
}

TEST(ListingJob, DestroyingARunningJobStopsIt) {
    CompletionLog log;
    auto started = std::make_shared<std::promise<void>>();
    auto startedFuture = started->get_future();
    {
        ListingJob job(
            nullptr, SpoolFile::InMemory(),
            [started](SpoolFile&, const std::atomic<bool>& stop) {
                started->set_value();
                while (!stop.load()) std::this_thread::sleep_for(1ms);
                return ListingOutcome::Stopped;
            },
            log.Callback());
        ASSERT_TRUE(job.Start());
        ASSERT_EQ(startedFuture.wait_for(30s), std::future_status::ready);
    }
    EXPECT_EQ(log.count(), 0u);
}

TEST(ListingJob, WorksUnderTheAccountsIdentity) {
    if (!accounts::CanImpersonate()) GTEST_SKIP() << "identity switching needs root";
    auto token = std::make_shared<accounts::Token>();
    token->name = "listing-test";
    token->uid = 54321;  // a number no account of this machine needs to have
    token->gid = 54321;
    token->groups = {54321};
    try {
        accounts::ImpersonationScope probe(token.get());
    } catch (const std::system_error&) {
        GTEST_SKIP() << "the uid is not mapped here";
    }
    TempTree tree;
    chmod(tree.top().c_str(), 0755);
    const std::string open = tree.Dir("open");
    chmod(open.c_str(), 0777);
    CompletionLog log;
    ListingJob job(
        token, SpoolFile::InMemory(),
        [open](SpoolFile&, const std::atomic<bool>&) {
            const int fd = ::open((open + "/made").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) return ListingOutcome::Failed;
            close(fd);
            return ListingOutcome::Completed;
        },
        log.Callback());
    ASSERT_TRUE(job.Start());
    ASSERT_TRUE(log.WaitForOne());
    EXPECT_EQ(log.outcomes.front(), ListingOutcome::Completed);
    struct stat st;
    ASSERT_EQ(stat((open + "/made").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 54321u);
    // The calling thread's identity was never touched.
    const int fd = ::open((open + "/mine").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(stat((open + "/mine").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
}

}  // namespace
}  // namespace orvyn
