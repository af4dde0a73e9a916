#pragma once
// The C++ object behind Python's Camera, its busy slot and busy tokens.
// Acquisitions and snapshot sessions hold their own references to both the
// camera state and the busy slot, so they outlive the Camera if Python keeps
// them.
//
// Lock order: camera-state lock, then an object's own state lock, then its
// busy-holder lock, then the busy-slot lock (held only to claim or release).
// A snapshot session's snap lock (one snap at a time) comes before all of
// them. A thread holding the camera-state lock never takes the interpreter
// lock; that is why a snap holds the camera-state lock only to start and to
// finish, and waits for its frame (running signal handlers) without it, its
// busy token keeping other long operations out meanwhile.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <nanobind/nanobind.h>

#include "genicam/genicamera.hpp"
#include "py/errors.hpp"
#include "py/interpreter_lock.hpp"
#include "thread_util/mutex.hpp"

namespace oculane::py {

// The lock-protected camera state shared by a Camera and everything made from it.
struct CameraState {
    explicit CameraState(gige::GigESettings settings)
        : device_text(settings.device.to_string()), camera(std::move(settings)), view(camera.transport().view()) {}
    // Constant after construction: readable without the lock.
    const std::string device_text;
    // Timed, so that the drop path of an acquisition or snapshot session can
    // give up on it after a bounded wait.
    TimedMutex mutex;
    GenICamera camera OCULANE_GUARDED_BY(mutex);
    // Connected, identity and counters for the quick queries, which answer
    // from here without waiting for the lock (a connect or a slow
    // transaction may hold it for long).
    const std::shared_ptr<gige::LinkView> view;
};

// At most one labelled long operation at a time.
struct BusySlot {
    Mutex mutex;
    const char* label OCULANE_GUARDED_BY(mutex) = nullptr;  // a fixed text such as "a connect"
};

// Proof of holding the busy slot; releasing it (destruction or release())
// empties the slot.
class BusyToken {
public:
    // Raises ValueError "camera is busy ({} in progress); stop it first"
    // when the slot is taken.
    static BusyToken claim(const std::shared_ptr<BusySlot>& slot, const char* label);

    BusyToken(BusyToken&& other) noexcept : slot_(std::move(other.slot_)) {}
    BusyToken& operator=(BusyToken&& other) noexcept;
    BusyToken(const BusyToken&) = delete;
    BusyToken& operator=(const BusyToken&) = delete;
    ~BusyToken() { release(); }

    void release();
    bool held() const { return slot_ != nullptr; }

private:
    explicit BusyToken(std::shared_ptr<BusySlot> slot) : slot_(std::move(slot)) {}
    std::shared_ptr<BusySlot> slot_;
};

// The busy token of an acquisition or snapshot session: given back once, by
// whichever thread stops it first (or when the object ends).
class BusyHolder {
public:
    explicit BusyHolder(BusyToken token) : token_(std::move(token)) {}

    void release() {
        std::optional<BusyToken> token;
        {
            MutexLock lock(mutex_);
            token.swap(token_);
        }
        // The token's release takes the busy-slot lock, after ours is let go.
    }

private:
    Mutex mutex_;  // the busy-holder lock
    std::optional<BusyToken> token_ OCULANE_GUARDED_BY(mutex_);
};

class Camera {
public:
    explicit Camera(std::shared_ptr<CameraState> camera_state)
        : state(std::move(camera_state)), busy(std::make_shared<BusySlot>()) {}

    std::shared_ptr<CameraState> state;
    std::shared_ptr<BusySlot> busy;
};

// Runs a facade operation with the interpreter lock released while it waits
// for the camera-state lock and the device, and returns its outcome as is,
// with the interpreter lock held again. The quick queries that need only the
// node map go through here too: a long operation may hold the camera-state
// lock.
template <class F>
auto with_camera(Camera& self, F&& op) {
    // The outcome is made before the lock is let go and the interpreter lock
    // taken back (locals end after the return value is built).
    ReleasedInterpreter unlocked;
    MutexLock lock(self.state->mutex);
    return op(self.state->camera);
}

// with_camera, then the outcome's value, or its error raised.
template <class F>
auto call_camera(Camera& self, F&& op) {
    return unwrap(with_camera(self, std::forward<F>(op)));
}

// call_camera for an operation on the feature `name`: its error names it.
template <class F>
auto call_feature(Camera& self, std::string_view name, F&& op) {
    return unwrap(with_camera(self, std::forward<F>(op)), name);
}

// Labels of the operations that hold the busy slot.
inline constexpr const char* kBusyConnect = "a connect";
inline constexpr const char* kBusyDisconnect = "a disconnect";
inline constexpr const char* kBusySnap = "a snap";
inline constexpr const char* kBusySnapshotSession = "a snapshot session";
inline constexpr const char* kBusyAcquisition = "an acquisition";

// "invalid IP address: \"cam1\"", with quotes, backslashes and control
// characters inside the input escaped.
std::string invalid_ip_message(std::string_view input);

// heartbeat_timeout seconds to whole milliseconds: clamped to 0..2^32-1,
// truncated toward zero, NaN gives 0.
std::uint32_t heartbeat_millis(double seconds);

}  // namespace oculane::py
