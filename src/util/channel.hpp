#pragma once
// Multi-producer, multi-consumer queue between threads, bounded or unbounded.
//
// A channel has two kinds of ends, Sender<T> and Receiver<T>; both are cheap to
// copy (a copy is another end of the same channel) and every operation may be
// called from any thread. The channel is disconnected for receivers once every
// sender is gone and the queue is empty, and for senders once every receiver is
// gone. Failed sends hand the value back, so nothing is lost silently.
//
// Values live in a ring buffer: a bounded channel allocates its whole capacity
// once at creation, and an unbounded one grows by doubling and never shrinks,
// so steady traffic (frame pool, frame subscribers, worker requests) allocates
// nothing per message. Destructors of values discarded by the channel run
// outside its lock, because a value may itself be an end of another channel
// (a frame carries its way back to the pool).
//
// Capacity 0 is a hand-off: a send is admitted only while a receiver is
// blocked waiting and has not been promised a value yet.
//
// A bounded channel made with Overflow::DropOldest never refuses for want of
// room: a full queue lets go of its oldest value to admit the new one, and
// try_send hands that value back as SendError::Displaced, so the sender
// learns what was lost and the value is destroyed outside the lock.
//
// A receiver may ask for a notification descriptor (an eventfd, for event
// loops and poll sets): from then on every value queued and the loss of the
// last sender make it readable. Reading it is the waiter's business; the
// channel only adds to its counter.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <sys/eventfd.h>
#include <unistd.h>

#include "thread_util/mutex.hpp"

namespace oculane {

enum class SendError : std::uint8_t {
    Full,          // bounded and at capacity (try_send only)
    Disconnected,  // every receiver is gone
    Displaced,     // accepted; the oldest queued value made room and comes back (DropOldest only)
};

// What a full bounded channel does with one more value.
enum class Overflow : std::uint8_t {
    Refuse,      // try_send fails with Full, send waits
    DropOldest,  // the oldest queued value goes, the new one is queued
};

enum class RecvError : std::uint8_t {
    Empty,         // nothing queued right now (try_recv only)
    Timeout,       // the deadline passed with nothing queued
    Disconnected,  // empty and every sender is gone
};

// A refused send: why, and the value, returned to the caller.
template <class T>
struct SendFailure {
    SendError reason;
    T value;
};

namespace detail {

template <class T>
class ChannelCore {
public:
    explicit ChannelCore(std::optional<std::size_t> capacity, Overflow overflow = Overflow::Refuse)
        : capacity_(capacity), drop_oldest_(overflow == Overflow::DropOldest && capacity && *capacity > 0) {
        // A huge capacity asked for by a user is a limit, not an allocation:
        // the ring starts small and grows up to it.
        ring_.resize(capacity && *capacity > 0 ? std::min<std::size_t>(*capacity, kInitialLimit) : 16);
    }
    ~ChannelCore() {
        if (const int fd = notify_fd_.load(std::memory_order_relaxed); fd >= 0) ::close(fd);
    }
    ChannelCore(const ChannelCore&) = delete;
    ChannelCore& operator=(const ChannelCore&) = delete;

    // The eventfd made readable by every queued value and by the loss of the
    // last sender; created on first use and kept until the channel goes.
    // -1 when the system refuses one.
    int notify_fd() {
        MutexLock lock(m_);
        int fd = notify_fd_.load(std::memory_order_relaxed);
        if (fd < 0) {
            fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            notify_fd_.store(fd, std::memory_order_release);
        }
        return fd;
    }

    // --- end counting -------------------------------------------------------
    void add_sender() {
        MutexLock lock(m_);
        ++senders_;
    }
    void add_receiver() {
        MutexLock lock(m_);
        ++receivers_;
    }
    void drop_sender() {
        bool last;
        {
            MutexLock lock(m_);
            last = --senders_ == 0;
        }
        // Blocked receivers must learn that nothing more will come.
        if (last) {
            not_empty_.notify_all();
            signal();
        }
    }
    void drop_receiver() {
        std::vector<std::optional<T>> discarded;
        bool last;
        {
            MutexLock lock(m_);
            last = --receivers_ == 0;
            // Nobody can receive what is queued any more; free it now rather
            // than when the last sender happens to go.
            if (last && size_ > 0) {
                discarded.reserve(size_);
                while (size_ > 0) discarded.push_back(pop_locked());
            }
        }
        if (last) not_full_.notify_all();
        // `discarded` is destroyed here, outside the lock.
    }

    // --- sending ------------------------------------------------------------
    std::expected<void, SendFailure<T>> try_send(T&& value) {
        bool wake;
        std::optional<T> displaced;
        {
            UniqueLock lock(m_);
            if (receivers_ == 0) return std::unexpected(SendFailure<T>{SendError::Disconnected, std::move(value)});
            if (!admits_locked()) {
                if (!drop_oldest_) return std::unexpected(SendFailure<T>{SendError::Full, std::move(value)});
                displaced.emplace(std::move(*ring_[head_]));  // move-construction only, as elsewhere
                ring_[head_].reset();
                head_ = wrap(head_ + 1);
                --size_;
            }
            push_locked(std::move(value));
            wake = waiting_receivers_ > 0;
        }
        if (wake) not_empty_.notify_one();
        signal();
        if (displaced) return std::unexpected(SendFailure<T>{SendError::Displaced, std::move(*displaced)});
        return {};
    }

    std::expected<void, T> send(T&& value) {
        if (drop_oldest_) {
            // Never waits; what made room is destroyed here, outside the lock.
            auto sent = try_send(std::move(value));
            if (!sent && sent.error().reason == SendError::Disconnected)
                return std::unexpected(std::move(sent.error().value));
            return {};
        }
        bool wake;
        {
            UniqueLock lock(m_);
            if (!admits_locked()) {
                ++waiting_senders_;
                while (receivers_ != 0 && !admits_locked()) not_full_.wait(lock);
                --waiting_senders_;
            }
            if (receivers_ == 0) return std::unexpected(std::move(value));
            push_locked(std::move(value));
            wake = waiting_receivers_ > 0;
        }
        if (wake) not_empty_.notify_one();
        signal();
        return {};
    }

    // --- receiving ----------------------------------------------------------
    std::expected<T, RecvError> try_recv() {
        std::optional<T> out;
        bool wake;
        {
            MutexLock lock(m_);
            if (size_ == 0) return std::unexpected(senders_ == 0 ? RecvError::Disconnected : RecvError::Empty);
            out = pop_locked();
            wake = waiting_senders_ > 0;
        }
        if (wake) not_full_.notify_one();
        return std::move(*out);
    }

    // deadline == nullopt waits without limit.
    std::expected<T, RecvError> recv_until(std::optional<std::chrono::steady_clock::time_point> deadline) {
        std::optional<T> out;
        bool wake;
        {
            UniqueLock lock(m_);
            if (size_ == 0 && senders_ > 0) {
                ++waiting_receivers_;
                // A hand-off channel may now admit a sender that waits for us.
                if (capacity_ && *capacity_ == 0 && waiting_senders_ > 0) not_full_.notify_one();
                while (size_ == 0 && senders_ > 0) {
                    if (!deadline) {
                        not_empty_.wait(lock);
                    } else if (not_empty_.wait_until(lock, *deadline) == std::cv_status::timeout) {
                        break;
                    }
                }
                --waiting_receivers_;
            }
            if (size_ == 0) return std::unexpected(senders_ == 0 ? RecvError::Disconnected : RecvError::Timeout);
            out = pop_locked();
            wake = waiting_senders_ > 0;
        }
        if (wake) not_full_.notify_one();
        return std::move(*out);
    }

    // Everything queued at this moment, taken under one lock, so a sender
    // that keeps sending cannot keep the caller looping.
    std::vector<T> take_all() {
        std::vector<T> out;
        bool wake;
        {
            MutexLock lock(m_);
            out.reserve(size_);
            while (size_ > 0) out.push_back(std::move(*pop_locked()));
            wake = waiting_senders_ > 0 && !out.empty();
        }
        if (wake) not_full_.notify_all();
        return out;
    }

    std::size_t size() const {
        MutexLock lock(m_);
        return size_;
    }
    bool senders_gone() const {
        MutexLock lock(m_);
        return senders_ == 0;
    }
    bool receivers_gone() const {
        MutexLock lock(m_);
        return receivers_ == 0;
    }
    std::optional<std::size_t> capacity() const { return capacity_; }

private:
    // One relaxed-cost load when nobody asked for a descriptor. The write
    // can only fail when the counter would overflow, and then it is
    // readable anyway.
    void signal() {
        if (const int fd = notify_fd_.load(std::memory_order_acquire); fd >= 0) {
            const std::uint64_t one = 1;
            (void)!::write(fd, &one, sizeof one);
        }
    }

    bool admits_locked() const OCULANE_REQUIRES(m_) {
        if (!capacity_) return true;
        if (*capacity_ == 0) return size_ < waiting_receivers_;
        return size_ < *capacity_;
    }

    void push_locked(T&& value) OCULANE_REQUIRES(m_) {
        if (size_ == ring_.size()) grow_locked();
        ring_[wrap(head_ + size_)].emplace(std::move(value));
        ++size_;
    }

    // i < 2 * ring size always, so one subtraction replaces a division.
    std::size_t wrap(std::size_t i) const OCULANE_REQUIRES(m_) { return i < ring_.size() ? i : i - ring_.size(); }

    std::optional<T> pop_locked() OCULANE_REQUIRES(m_) {
        std::optional<T> out(std::move(ring_[head_]));
        ring_[head_].reset();
        head_ = wrap(head_ + 1);
        --size_;
        return out;
    }

    static constexpr std::size_t kInitialLimit = 1024;

    // Bounded channels get here only when their capacity exceeds the initial
    // ring, and never grow beyond that capacity since admits_locked() refuses.
    void grow_locked() OCULANE_REQUIRES(m_) {
        std::size_t new_size = ring_.size() * 2;
        if (capacity_ && *capacity_ > 0) new_size = std::min(new_size, *capacity_);
        std::vector<std::optional<T>> bigger(new_size);
        // emplace, not assignment: values need only be move-constructible.
        for (std::size_t i = 0; i < size_; ++i) bigger[i].emplace(std::move(*ring_[wrap(head_ + i)]));
        ring_ = std::move(bigger);
        head_ = 0;
    }

    const std::optional<std::size_t> capacity_;
    const bool drop_oldest_;
    std::atomic<int> notify_fd_{-1};  // set once, under m_
    mutable Mutex m_;
    CondVar not_empty_;  // receivers wait here
    CondVar not_full_;   // senders of a bounded channel wait here
    // The waiting counts let an operation skip the notify when nobody can
    // be waiting; every waiter is counted before it waits, under the lock,
    // so no wake-up is lost.
    std::vector<std::optional<T>> ring_ OCULANE_GUARDED_BY(m_);
    std::size_t head_ OCULANE_GUARDED_BY(m_) = 0;
    std::size_t size_ OCULANE_GUARDED_BY(m_) = 0;
    std::size_t senders_ OCULANE_GUARDED_BY(m_) = 1;
    std::size_t receivers_ OCULANE_GUARDED_BY(m_) = 1;
    std::size_t waiting_receivers_ OCULANE_GUARDED_BY(m_) = 0;
    std::size_t waiting_senders_ OCULANE_GUARDED_BY(m_) = 0;
};

}  // namespace detail

template <class T>
class Receiver;

// The sending end. A default-constructed or moved-from sender is not attached
// to any channel and reports Disconnected.
template <class T>
class Sender {
public:
    Sender() = default;
    Sender(const Sender& other) : core_(other.core_) {
        if (core_) core_->add_sender();
    }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(const Sender& other) {
        if (this != &other) *this = Sender(other);
        return *this;
    }
    Sender& operator=(Sender&& other) noexcept {
        if (this != &other) {
            release();
            core_ = std::move(other.core_);
        }
        return *this;
    }
    ~Sender() { release(); }

    // Blocks while a bounded channel is full. Fails, returning the value, when
    // every receiver is gone (also while blocked).
    std::expected<void, T> send(T value) {
        if (!core_) return std::unexpected(std::move(value));
        return core_->send(std::move(value));
    }

    // Never blocks.
    std::expected<void, SendFailure<T>> try_send(T value) {
        if (!core_) return std::unexpected(SendFailure<T>{SendError::Disconnected, std::move(value)});
        return core_->try_send(std::move(value));
    }

    // True once every receiver is gone; a later send is bound to fail.
    bool is_disconnected() const { return !core_ || core_->receivers_gone(); }
    std::size_t size() const { return core_ ? core_->size() : 0; }
    explicit operator bool() const { return core_ != nullptr; }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::optional<std::size_t>, Overflow);
    explicit Sender(std::shared_ptr<detail::ChannelCore<T>> core) : core_(std::move(core)) {}

    void release() {
        if (core_) {
            core_->drop_sender();
            core_.reset();
        }
    }

    std::shared_ptr<detail::ChannelCore<T>> core_;
};

// The receiving end. A default-constructed or moved-from receiver is not
// attached to any channel and reports Disconnected.
template <class T>
class Receiver {
public:
    using Clock = std::chrono::steady_clock;

    Receiver() = default;
    Receiver(const Receiver& other) : core_(other.core_) {
        if (core_) core_->add_receiver();
    }
    Receiver(Receiver&& other) noexcept = default;
    Receiver& operator=(const Receiver& other) {
        if (this != &other) *this = Receiver(other);
        return *this;
    }
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            release();
            core_ = std::move(other.core_);
        }
        return *this;
    }
    ~Receiver() { release(); }

    // Blocks until a value arrives or the channel is disconnected.
    std::expected<T, RecvError> recv() {
        if (!core_) return std::unexpected(RecvError::Disconnected);
        return core_->recv_until(std::nullopt);
    }

    // Waits until the deadline at most: a value, Timeout or Disconnected.
    std::expected<T, RecvError> recv_deadline(Clock::time_point deadline) {
        if (!core_) return std::unexpected(RecvError::Disconnected);
        return core_->recv_until(deadline);
    }

    // Waits for the timeout at most; a timeout too long to add to the clock
    // waits without limit.
    template <class Rep, class Period>
    std::expected<T, RecvError> recv_timeout(std::chrono::duration<Rep, Period> timeout) {
        if (!core_) return std::unexpected(RecvError::Disconnected);
        const auto now = Clock::now();
        if (timeout <= timeout.zero()) return core_->recv_until(now);
        if (timeout >= Clock::time_point::max() - now) return core_->recv_until(std::nullopt);
        return core_->recv_until(now + std::chrono::ceil<Clock::duration>(timeout));
    }

    // Never blocks: a value, Empty or Disconnected.
    std::expected<T, RecvError> try_recv() {
        if (!core_) return std::unexpected(RecvError::Disconnected);
        return core_->try_recv();
    }

    // Every value queued at this moment, oldest first, possibly none; never
    // waits. Values sent meanwhile stay for the next call. Dropping the result
    // is how to discard what is queued.
    std::vector<T> try_recv_all() {
        if (!core_) return {};
        return core_->take_all();
    }

    // The channel's notification eventfd (see the top of this file); -1 for
    // a detached receiver or when the system refuses one. Owned by the
    // channel: never close it.
    int notify_fd() { return core_ ? core_->notify_fd() : -1; }

    // True once every sender is gone; values still queued can be received.
    bool senders_gone() const { return !core_ || core_->senders_gone(); }
    std::size_t size() const { return core_ ? core_->size() : 0; }
    bool empty() const { return size() == 0; }
    std::optional<std::size_t> capacity() const { return core_ ? core_->capacity() : std::nullopt; }
    explicit operator bool() const { return core_ != nullptr; }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::optional<std::size_t>, Overflow);
    explicit Receiver(std::shared_ptr<detail::ChannelCore<T>> core) : core_(std::move(core)) {}

    void release() {
        if (core_) {
            core_->drop_receiver();
            core_.reset();
        }
    }

    std::shared_ptr<detail::ChannelCore<T>> core_;
};

// capacity == nullopt: unbounded (and `overflow` is moot).
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::optional<std::size_t> capacity, Overflow overflow) {
    auto core = std::make_shared<detail::ChannelCore<T>>(capacity, overflow);
    return {Sender<T>(core), Receiver<T>(core)};
}

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::optional<std::size_t> capacity) {
    return make_channel<T>(capacity, Overflow::Refuse);
}

template <class T>
std::pair<Sender<T>, Receiver<T>> bounded(std::size_t capacity, Overflow overflow = Overflow::Refuse) {
    return make_channel<T>(capacity, overflow);
}

template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded() {
    return make_channel<T>(std::nullopt);
}

}  // namespace oculane
