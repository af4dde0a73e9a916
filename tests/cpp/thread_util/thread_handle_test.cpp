#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "thread_util/log_capture.hpp"
#include "thread_util/thread_handle.hpp"
#include "util/poller.hpp"

using namespace oculane;

namespace {

// A worker shaped like the real ones: it waits on its poller with no timeout
// at all, so only a wake can end a wait, and it checks the stop flag between
// waits.
ThreadHandle::Body polling_worker(std::promise<void>* started = nullptr) {
    return [started](ThreadHandle self) {
        auto poller = Poller::create();
        ASSERT_TRUE(poller);
        ASSERT_TRUE(poller->add_waker(self.waker(), 1));
        if (started) started->set_value();
        while (!self.stop_requested()) {
            ASSERT_TRUE(poller->wait(std::nullopt));
        }
        self.set_worker_stopped();
    };
}

ThreadHandle handle_with_waker() {
    auto h = ThreadHandle::create();
    auto waker = Waker::create();
    EXPECT_TRUE(waker);
    h.set_waker(*waker);
    return h;
}

std::string thread_name() {
    char buf[32] = {};
    ::pthread_getname_np(::pthread_self(), buf, sizeof buf);
    return buf;
}

}  // namespace

TEST(ThreadHandle, FreshHandleState) {
    auto h = ThreadHandle::create();
    EXPECT_TRUE(h.is_owner());
    EXPECT_TRUE(h.worker_running());
    EXPECT_FALSE(h.stop_requested());
    EXPECT_FALSE(h.has_thread());
    EXPECT_EQ(h.waker(), nullptr);
    h.wake();  // harmless without a waker
    auto copy = h.share();
    EXPECT_FALSE(copy.is_owner());
}

// The release sets the flag and wakes a worker that would otherwise wait
// forever; the test hangs if either is missing.
TEST(ThreadHandle, OwnerReleaseStopsWakesAndJoins) {
    std::promise<void> started;
    auto observer = [&] {
        auto h = handle_with_waker();
        ThreadHandle seen = h.share();
        EXPECT_TRUE(h.start(std::string(kControlThreadName), polling_worker(&started)));
        started.get_future().wait();
        EXPECT_TRUE(seen.worker_running());
        return seen;
    }();
    EXPECT_TRUE(observer.stop_requested());
    EXPECT_FALSE(observer.worker_running());
}

// A worker that only stops when asked: the wait must time out while it runs
// and end once it has stopped, however long the wait was allowed to be.
TEST(ThreadHandle, WaitStoppedEndsWhenTheWorkerStops) {
    std::promise<void> started;
    auto h = handle_with_waker();
    ASSERT_TRUE(h.start("waiter", polling_worker(&started)));
    started.get_future().wait();
    const ThreadHandle observer = h.share();
    EXPECT_FALSE(observer.wait_stopped(std::chrono::milliseconds(1)));
    EXPECT_FALSE(observer.wait_stopped(std::chrono::nanoseconds::zero()));
    std::thread stopper([&] { observer.request_stop(); });
    EXPECT_TRUE(observer.wait_stopped(std::chrono::nanoseconds::max()));
    stopper.join();
    EXPECT_FALSE(observer.worker_running());
}

TEST(ThreadHandle, NonOwningCopiesNeverStopTheWorker) {
    std::promise<void> started;
    auto h = handle_with_waker();
    ASSERT_TRUE(h.start("t", polling_worker(&started)));
    started.get_future().wait();
    {
        auto copy = h.share();
        auto moved = std::move(copy);
        EXPECT_FALSE(moved.is_owner());
        EXPECT_FALSE(moved.has_thread());
    }
    EXPECT_FALSE(h.stop_requested());
    EXPECT_TRUE(h.worker_running());
    h.stop_and_join();
    EXPECT_FALSE(h.worker_running());
    h.stop_and_join();  // idempotent
}

TEST(ThreadHandle, AnyHolderMayRequestAStop) {
    std::promise<void> started;
    auto h = handle_with_waker();
    ASSERT_TRUE(h.start("t", polling_worker(&started)));
    started.get_future().wait();
    h.share().request_stop();
    // Joining returns only because the worker saw the request and ended.
    h.stop_and_join();
    EXPECT_FALSE(h.worker_running());
}

TEST(ThreadHandle, WorkerThreadsCarryTheirNames) {
    const struct {
        std::string name;
        std::string expected;
    } cases[] = {
        {std::string(kControlThreadName), "oculane-gvcp"},
        {stream_thread_name(0), "oculane-gvsp0"},
        {stream_thread_name(3), "oculane-gvsp3"},
        {stream_thread_name(123), "oculane-gvsp123"},
        // Linux keeps 15 characters; longer names are cut, not refused.
        {stream_thread_name(4000000000u), "oculane-gvsp400"},
    };
    for (const auto& c : cases) {
        std::promise<std::string> seen;
        auto h = ThreadHandle::create();
        ASSERT_TRUE(h.start(c.name, [&](ThreadHandle) { seen.set_value(thread_name()); }));
        EXPECT_EQ(seen.get_future().get(), c.expected);
    }
}

TEST(ThreadHandle, WorkerRunningClearedWhenBodyEndsOrThrows) {
    test::LogCapture capture;
    for (bool throws : {false, true}) {
        auto h = ThreadHandle::create();
        auto observer = h.share();
        ASSERT_TRUE(h.start("t", [throws](ThreadHandle) {
            if (throws) throw std::runtime_error("boom");
        }));
        h.stop_and_join();
        EXPECT_FALSE(observer.worker_running());
    }
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log::Level::Error);
    EXPECT_EQ(lines[0].message, "worker thread t ended abnormally: boom");
}

TEST(ThreadHandle, StartOnlyOnceAndOnlyByTheOwner) {
    auto h = ThreadHandle::create();
    ASSERT_TRUE(h.start("t", [](ThreadHandle) {}));
    EXPECT_EQ(h.start("t", [](ThreadHandle) {}).error(), std::errc::operation_in_progress);
    auto copy = h.share();
    EXPECT_EQ(copy.start("t", [](ThreadHandle) {}).error(), std::errc::operation_not_permitted);
}

TEST(ThreadHandle, MoveTransfersOwnershipAndAssignmentReleasesTheOld) {
    std::promise<void> started;
    auto first = handle_with_waker();
    auto first_observer = first.share();
    ASSERT_TRUE(first.start("first", polling_worker(&started)));
    started.get_future().wait();

    ThreadHandle moved = std::move(first);
    EXPECT_TRUE(moved.is_owner());
    EXPECT_TRUE(moved.has_thread());
    EXPECT_FALSE(first.is_owner());  // NOLINT: checking the moved-from state on purpose
    first.stop_and_join();           // no effect: not the owner any more
    EXPECT_FALSE(first_observer.stop_requested());

    moved = ThreadHandle::create();  // releases (stops and joins) the first worker
    EXPECT_TRUE(first_observer.stop_requested());
    EXPECT_FALSE(first_observer.worker_running());
    EXPECT_TRUE(moved.worker_running());  // the new handle's own state
}
