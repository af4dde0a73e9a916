#pragma once
// Ownership of a worker thread.
//
// The owning handle starts the thread and, when released, sets the stop flag,
// wakes the worker's readiness wait and joins it. Non-owning copies (the
// worker's own, and one per ControlPort) share the stop flag, the
// worker-running flag and the waker; releasing them never blocks or stops
// anything.
//
// Thread safety: flag accessors and wake() may be called from any thread.
// set_waker() and start() belong to the owner, before the handle is shared.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "util/poller.hpp"

namespace oculane {

// Worker thread names. Linux keeps 15 characters of a name.
inline constexpr std::string_view kControlThreadName = "oculane-gvcp";
std::string stream_thread_name(std::uint32_t channel);

class ThreadHandle {
public:
    // The worker's body receives its own non-owning copy of the handle.
    using Body = std::move_only_function<void(ThreadHandle)>;

    // An owning handle: worker-running set, stop clear, no thread, no waker.
    static ThreadHandle create();

    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;
    ThreadHandle(ThreadHandle&& other) noexcept;
    // An owner assigned over releases its own thread first (stop, wake, join).
    ThreadHandle& operator=(ThreadHandle&& other) noexcept;
    ~ThreadHandle();

    // A non-owning copy sharing the flags and the waker.
    ThreadHandle share() const;

    // Owner only, before share() and start(): copies made earlier would not
    // see it.
    void set_waker(std::shared_ptr<Waker> waker);

    // Owner only, once: starts the thread under `name` (cut to 15 characters)
    // and runs body on it. An exception escaping body is logged and swallowed;
    // either way the worker-running flag is cleared when body ends, so callers
    // never queue work for a thread that is gone.
    std::expected<void, std::error_code> start(std::string name, Body body);

    bool is_owner() const { return owner_; }
    bool has_thread() const { return thread_.joinable(); }

    bool worker_running() const { return state_->running.load(std::memory_order_acquire); }
    // The worker calls this when its shutdown is complete.
    void set_worker_stopped() const;
    // Waits until the worker-running flag is cleared or the timeout passes;
    // true when it was cleared. A timeout too long for the clock waits
    // without limit.
    bool wait_stopped(std::chrono::nanoseconds timeout) const;

    bool stop_requested() const { return state_->stop.load(std::memory_order_acquire); }
    // Sets the stop flag and wakes the worker; any holder may ask.
    void request_stop() const;

    // Ends the worker's current readiness wait; a no-op without a waker.
    void wake() const;
    const std::shared_ptr<Waker>& waker() const { return state_->waker; }

    // What the owner's release does, available earlier (idempotent): stop,
    // wake, join. Does nothing on a non-owning copy.
    void stop_and_join();

private:
    struct State {
        std::atomic<bool> running{true};
        // Only for wait_stopped(): the flag is cleared under this lock so that
        // a waiter cannot miss the notification.
        std::mutex stopped_mutex;
        std::condition_variable stopped_cv;
        std::atomic<bool> stop{false};
        std::shared_ptr<Waker> waker;  // set before sharing; read-only after
    };

    ThreadHandle(std::shared_ptr<State> state, bool owner) : state_(std::move(state)), owner_(owner) {}

    std::shared_ptr<State> state_;
    std::thread thread_;  // only in the owner
    bool owner_;
};

}  // namespace oculane
