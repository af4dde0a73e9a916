#pragma once
// Single-frame capture on top of the feature facade: switch the camera to
// "SingleFrame" acquisition where it can, open a stream, trigger, wait,
// and put the camera's settings back.
//
// Thread safety: none of its own. Every call takes the facade with the
// camera-state lock held by the caller; between calls a session holds only
// its stream and its subscription, so a caller may release the lock between
// snaps (the Python snapshot session does), and also between the start and
// the finish of one snap (PendingSnap), while it waits for the frame.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "error/genicam_error.hpp"
#include "gige/runner/control_worker.hpp"
#include "gige/stream/stream_channel.hpp"
#include "util/duration.hpp"
#include "util/log.hpp"

namespace oculane {

class GenICamera;

// A snap between its start (the camera was told to acquire) and its finish.
// Holds its own reference to the session's subscription, so the wait for the
// frame needs neither the camera-state lock nor the session; if the session
// is closed meanwhile the subscription reports disconnection.
struct PendingSnap {
    FrameChannel frames;
    bool single_frame = false;
    std::string_view log_target;
};

class SnapshotSession {
public:
    // Reads AcquisitionMode and switches it to "SingleFrame" when needed,
    // fills the payload size, opens the stream, sets TLParamsLocked and
    // subscribes (capacity 4). Device refusals of the mode or of
    // TLParamsLocked are logged under `log_target`, not errors. On a failed
    // payload read or stream open the mode is put back first.
    static GenicamResult<SnapshotSession> open(GenICamera& camera, StreamConfig config,
                                               std::string_view log_target = log::kSnapshot);

    SnapshotSession(SnapshotSession&&) noexcept = default;
    SnapshotSession& operator=(SnapshotSession&&) noexcept = default;
    // Without close(): the stream is closed (port register 0, worker joined),
    // nothing on the camera's features is touched.
    ~SnapshotSession() = default;

    // Drops stale frames, executes AcquisitionStart and waits for one frame
    // until now + timeout (without limit when that is not representable).
    // Executes AcquisitionStop unless a frame came in single-frame mode. The
    // frame is returned whatever its status; none is SnapTimeout.
    GenicamResult<FramePtr> snap(GenICamera& camera, Duration timeout);

    // snap() in its steps. start_snap drops stale frames and executes
    // AcquisitionStart; the caller waits on the result's frames (with any
    // locks of its own released) and hands what it got to finish_snap, which
    // executes AcquisitionStop unless a frame came in single-frame mode and
    // returns the frame, or ControlLost (as Transport) when the stream ended
    // because control was lost, or else SnapTimeout. finish_snap works on
    // the camera alone, so it also finishes a snap whose session was closed
    // while it waited.
    GenicamResult<PendingSnap> start_snap(GenICamera& camera);
    static GenicamResult<FramePtr> finish_snap(GenICamera& camera, const PendingSnap& pending,
                                               std::optional<FramePtr> frame);

    // TLParamsLocked 0, the saved mode back, then the stream closed. Never
    // fails; device refusals are logged. A closed session's close does
    // nothing. No device access waits past `limit` (see
    // GenICamera::limit_traffic).
    void close(GenICamera& camera, const gige::WaitLimit& limit = {});

    // Closes the stream (and the subscription) without touching any
    // feature, telling the camera no later than `deadline`: for a session
    // released while the camera-state lock is busy.
    void abandon(Instant deadline = Instant::max());

    bool is_closed() const { return stream_ == nullptr; }
    // Only while open.
    const StreamChannel* stream() const { return stream_.get(); }
    bool single_frame() const { return single_frame_; }
    const std::optional<std::string>& saved_mode() const { return saved_mode_; }

private:
    SnapshotSession() = default;

    std::optional<std::string> saved_mode_;
    std::unique_ptr<StreamChannel> stream_;
    FrameChannel frames_;
    bool single_frame_ = false;
    std::string_view log_target_ = log::kSnapshot;  // one of the static targets
};

}  // namespace oculane
