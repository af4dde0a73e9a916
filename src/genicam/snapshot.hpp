#pragma once
// Single-frame capture on top of the feature facade: switch the camera to
// "SingleFrame" acquisition where it can, open a stream, trigger, wait,
// and put the camera's settings back.
//
// Thread safety: none of its own. Every call takes the facade with the
// camera-state lock held by the caller; between calls a session holds only
// its stream and its subscription, so a caller may release the lock between
// snaps (the Python snapshot session does).

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "error/genicam_error.hpp"
#include "gige/stream/stream_channel.hpp"
#include "util/duration.hpp"
#include "util/log.hpp"

namespace oculane {

class GenICamera;

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

    // TLParamsLocked 0, the saved mode back, then the stream closed. Never
    // fails; device refusals are logged. A closed session's close does
    // nothing.
    void close(GenICamera& camera);

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
