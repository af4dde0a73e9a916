#pragma once
// One-shot reply slot between the control worker and a waiting caller.
//
// The caller creates the handle, puts a copy into its request and waits on its
// own copy. Whoever answers first (the worker, or the caller itself when the
// request could not be delivered) fills the slot; later answers are dropped.
// Copies share the slot, which lives as long as its last holder.
//
// Thread safety: every member may be called from any thread at the same time.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "error/camera_error.hpp"

namespace oculane {

template <class T>
class ResponseHandle {
public:
    // What the worker delivers and waiters receive: the value, or an error
    // shared with the slot (which keeps its own reference).
    using Result = std::expected<T, SharedCameraError>;

    ResponseHandle() : slot_(std::make_shared<Slot>()) {}
    // Copying shares the slot. No move operations are declared, so a "moved"
    // handle is a copy and never loses its slot.
    ResponseHandle(const ResponseHandle&) = default;
    ResponseHandle& operator=(const ResponseHandle&) = default;

    // Stores the result unless the slot already holds one (the first answer
    // wins), then wakes every waiter either way.
    void fulfill(Result result) const { store(std::move(result)); }

    // Convenience for the answering side: an owned error, shared from here on.
    void fail(CameraError error) const {
        // Built in place: moving a whole error Result into the slot makes
        // GCC 12 warn that the inactive value member may be used uninitialized.
        store(std::unexpect, std::make_shared<const CameraError>(std::move(error)));
    }

    // Never blocks. Empty: a fresh, unshared AckTimeout. Filled: a copy of the
    // value, or another reference to the stored error.
    Result get() const {
        // A filled slot never changes again, so after the acquire load it can
        // be read without the lock.
        if (!slot_->filled.load(std::memory_order_acquire)) {
            return std::unexpected(std::make_shared<const CameraError>(CameraError::ack_timeout()));
        }
        return *slot_->result;
    }

    // Waits until the slot is filled or the timeout passes, then answers as
    // get(). The fill check and the wait happen under the slot's lock, which
    // fulfill() also takes, so an answer that races the wait is never missed.
    // A timeout too long for the clock waits without limit.
    template <class Rep, class Period>
    Result wait_timeout(std::chrono::duration<Rep, Period> timeout) const {
        using Clock = std::chrono::steady_clock;
        if (slot_->filled.load(std::memory_order_acquire)) return get();
        {
            std::unique_lock lock(slot_->m);
            auto filled = [this] { return slot_->filled.load(std::memory_order_relaxed); };
            const auto now = Clock::now();
            if (timeout <= timeout.zero()) {
                // Checked under the lock like any wait.
            } else if (timeout >= Clock::time_point::max() - now) {
                slot_->cv.wait(lock, filled);
            } else {
                slot_->cv.wait_until(lock, now + std::chrono::ceil<Clock::duration>(timeout), filled);
            }
        }
        return get();
    }

    // The same as wait_timeout, with the error converted to an owned one
    // (unwrap_arc), for callers that need not inspect it in place first.
    template <class Rep, class Period>
    CameraResult<T> wait_owned(std::chrono::duration<Rep, Period> timeout) const {
        auto r = wait_timeout(timeout);
        if (!r) return std::unexpected(unwrap_arc(std::move(r.error())));
        if constexpr (std::is_void_v<T>) {
            return {};
        } else {
            return std::move(*r);
        }
    }

    bool is_filled() const { return slot_->filled.load(std::memory_order_acquire); }

    // Wall-clock time at which the slot was filled; nullopt while empty.
    std::optional<std::chrono::system_clock::time_point> filled_at() const {
        if (!is_filled()) return std::nullopt;
        return slot_->filled_at;
    }

    // Holders of this slot, this handle included (for tests and diagnostics).
    long holders() const { return slot_.use_count(); }

private:
    template <class... Args>
    void store(Args&&... args) const {
        {
            std::lock_guard lock(slot_->m);
            if (!slot_->filled.load(std::memory_order_relaxed)) {
                slot_->result.emplace(std::forward<Args>(args)...);
                slot_->filled_at = std::chrono::system_clock::now();
                slot_->filled.store(true, std::memory_order_release);
            }
        }
        slot_->cv.notify_all();
    }

    struct Slot {
        std::mutex m;
        std::condition_variable cv;
        std::atomic<bool> filled{false};
        // Written once under m before `filled` is released; read-only after.
        std::optional<Result> result;
        std::chrono::system_clock::time_point filled_at{};
    };

    std::shared_ptr<Slot> slot_;
};

}  // namespace oculane
