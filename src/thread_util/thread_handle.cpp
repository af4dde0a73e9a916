#include "thread_util/thread_handle.hpp"

#include <pthread.h>

#include <exception>
#include <utility>

#include <fmt/format.h>

#include "util/log.hpp"

namespace oculane {

std::string stream_thread_name(std::uint32_t channel) { return fmt::format("oculane-gvsp{}", channel); }

ThreadHandle ThreadHandle::create() { return ThreadHandle(std::make_shared<State>(), true); }

ThreadHandle::ThreadHandle(ThreadHandle&& other) noexcept
    : state_(other.state_), thread_(std::move(other.thread_)), owner_(std::exchange(other.owner_, false)) {
    // The moved-from handle keeps the shared state so its accessors stay
    // valid, but it owns nothing any more.
}

ThreadHandle& ThreadHandle::operator=(ThreadHandle&& other) noexcept {
    if (this != &other) {
        stop_and_join();
        state_ = other.state_;
        thread_ = std::move(other.thread_);
        owner_ = std::exchange(other.owner_, false);
    }
    return *this;
}

ThreadHandle::~ThreadHandle() { stop_and_join(); }

ThreadHandle ThreadHandle::share() const { return ThreadHandle(state_, false); }

void ThreadHandle::set_waker(std::shared_ptr<Waker> waker) {
    if (owner_) state_->waker = std::move(waker);
}

std::expected<void, std::error_code> ThreadHandle::start(std::string name, Body body) {
    if (!owner_) return std::unexpected(std::make_error_code(std::errc::operation_not_permitted));
    if (thread_.joinable()) return std::unexpected(std::make_error_code(std::errc::operation_in_progress));
    if (name.size() > 15) name.resize(15);
    try {
        thread_ = std::thread([name, body = std::move(body), worker = share()]() mutable {
            ::pthread_setname_np(::pthread_self(), name.c_str());
            try {
                body(worker.share());
            } catch (const std::exception& e) {
                OCULANE_LOG(log::Level::Error, log::kThreadUtil, "worker thread {} ended abnormally: {}", name,
                            e.what());
            } catch (...) {
                OCULANE_LOG(log::Level::Error, log::kThreadUtil, "worker thread {} ended abnormally", name);
            }
            worker.set_worker_stopped();
        });
    } catch (const std::system_error& e) {
        // Nothing runs, so nobody may queue work for it.
        set_worker_stopped();
        return std::unexpected(e.code());
    }
    return {};
}

void ThreadHandle::set_worker_stopped() const {
    {
        std::lock_guard lock(state_->stopped_mutex);
        state_->running.store(false, std::memory_order_release);
    }
    state_->stopped_cv.notify_all();
}

bool ThreadHandle::wait_stopped(std::chrono::nanoseconds timeout) const {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(state_->stopped_mutex);
    const auto stopped = [this] { return !state_->running.load(std::memory_order_acquire); };
    const auto now = Clock::now();
    if (timeout >= Clock::time_point::max() - now) {
        state_->stopped_cv.wait(lock, stopped);
        return true;
    }
    return state_->stopped_cv.wait_until(lock, now + timeout, stopped);
}

void ThreadHandle::request_stop() const {
    state_->stop.store(true, std::memory_order_release);
    wake();
}

void ThreadHandle::wake() const {
    // Nothing useful can be done about a failed wake; the worker still sees
    // the flag at its next timeout.
    if (state_->waker) (void)state_->waker->wake();
}

void ThreadHandle::stop_and_join() {
    if (!owner_) return;
    request_stop();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // The worker released its own owner (its last holder let go on the
        // worker thread). It cannot join itself; it is already past its loop
        // and ends on its own.
        OCULANE_LOG(log::Level::Debug, log::kThreadUtil, "worker thread released its own handle");
        thread_.detach();
        return;
    }
    thread_.join();
}

}  // namespace oculane
