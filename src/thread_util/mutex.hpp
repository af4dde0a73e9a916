#pragma once
// A mutex the compiler can check. Under Clang's thread-safety analysis
// (-Wthread-safety, `make thread-safety`) a field marked
// OCULANE_GUARDED_BY(m) may only be touched with m held, and a function
// marked OCULANE_REQUIRES(m) only called so; other compilers see a plain
// std::mutex and std::condition_variable.
//
// Rules the analysis cannot express (a field written once under the lock and
// read without it after an atomic flag says so, a role handed between
// threads) stay comments, and say so where they stand.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define OCULANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OCULANE_THREAD_ANNOTATION(x)
#endif

#define OCULANE_CAPABILITY(name) OCULANE_THREAD_ANNOTATION(capability(name))
#define OCULANE_SCOPED_CAPABILITY OCULANE_THREAD_ANNOTATION(scoped_lockable)
#define OCULANE_GUARDED_BY(m) OCULANE_THREAD_ANNOTATION(guarded_by(m))
#define OCULANE_PT_GUARDED_BY(m) OCULANE_THREAD_ANNOTATION(pt_guarded_by(m))
#define OCULANE_REQUIRES(...) OCULANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define OCULANE_EXCLUDES(...) OCULANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define OCULANE_ACQUIRE(...) OCULANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define OCULANE_RELEASE(...) OCULANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define OCULANE_TRY_ACQUIRE(...) OCULANE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define OCULANE_NO_THREAD_SAFETY_ANALYSIS OCULANE_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace oculane {

class OCULANE_CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() OCULANE_ACQUIRE() { m_.lock(); }
    void unlock() OCULANE_RELEASE() { m_.unlock(); }
    bool try_lock() OCULANE_TRY_ACQUIRE(true) { return m_.try_lock(); }

private:
    friend class UniqueLock;
    std::mutex m_;
};

// A mutex whose lock may be given up on after a bounded wait.
class OCULANE_CAPABILITY("mutex") TimedMutex {
public:
    TimedMutex() = default;
    TimedMutex(const TimedMutex&) = delete;
    TimedMutex& operator=(const TimedMutex&) = delete;

    void lock() OCULANE_ACQUIRE() { m_.lock(); }
    void unlock() OCULANE_RELEASE() { m_.unlock(); }
    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& d) OCULANE_TRY_ACQUIRE(true) {
        return m_.try_lock_for(d);
    }

private:
    std::timed_mutex m_;
};

// For MutexLock: the mutex is held already (taken by a try_lock), and the
// lock only lets go of it at the end of its scope.
struct AdoptLock {};

// Holds a mutex for its scope (what std::lock_guard does).
template <class M = Mutex>
class OCULANE_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(M& m) OCULANE_ACQUIRE(m) : m_(m) { m_.lock(); }
    MutexLock(M& m, AdoptLock) OCULANE_REQUIRES(m) : m_(m) {}
    ~MutexLock() OCULANE_RELEASE() { m_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    M& m_;
};

// A scoped lock that may be let go and taken again, and waited on with a
// CondVar (what std::unique_lock does).
class OCULANE_SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& m) OCULANE_ACQUIRE(m) : lock_(m.m_) {}
    ~UniqueLock() OCULANE_RELEASE() = default;
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void lock() OCULANE_ACQUIRE() { lock_.lock(); }
    void unlock() OCULANE_RELEASE() { lock_.unlock(); }

private:
    friend class CondVar;
    std::unique_lock<std::mutex> lock_;
};

// std::condition_variable over a UniqueLock. The waits take no predicate: a
// predicate would be a separate function to the analysis, one that does not
// hold the lock; callers loop on their condition instead.
class CondVar {
public:
    void notify_one() noexcept { cv_.notify_one(); }
    void notify_all() noexcept { cv_.notify_all(); }

    void wait(UniqueLock& lock) { cv_.wait(lock.lock_); }
    template <class Clock, class Dur>
    std::cv_status wait_until(UniqueLock& lock, const std::chrono::time_point<Clock, Dur>& until) {
        return cv_.wait_until(lock.lock_, until);
    }
    template <class Rep, class Period>
    std::cv_status wait_for(UniqueLock& lock, const std::chrono::duration<Rep, Period>& d) {
        return cv_.wait_for(lock.lock_, d);
    }

private:
    std::condition_variable cv_;
};

}  // namespace oculane
