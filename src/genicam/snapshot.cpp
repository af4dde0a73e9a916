#include "genicam/snapshot.hpp"

#include "genicam/genicamera.hpp"
#include "gige/stream/frame.hpp"

namespace oculane {

namespace {

constexpr std::string_view kAcquisitionMode = "AcquisitionMode";
constexpr std::string_view kSingleFrame = "SingleFrame";
constexpr std::string_view kTlParamsLocked = "TLParamsLocked";
constexpr std::size_t kSubscriptionCapacity = 4;

constexpr std::string_view kTriggerSelector = "TriggerSelector";
constexpr std::string_view kTriggerMode = "TriggerMode";
constexpr std::string_view kTriggerSource = "TriggerSource";
constexpr std::string_view kTriggerSoftware = "TriggerSoftware";

// True when the trigger now selected (or the only one) waits for software.
// A trigger feature that cannot be read counts as off.
bool software_trigger(GenICamera& camera) {
    auto mode = camera.get_enum(kTriggerMode);
    if (!mode || *mode != "On") return false;
    auto source = camera.get_enum(kTriggerSource);
    return source && *source == "Software";
}

// A camera in trigger mode sends nothing until triggered: the snap fires
// the triggers that wait for software itself, the acquisition start trigger
// before the frame start trigger, and leaves those on a line or an action
// to the outside world (the snap then waits for them within its timeout).
// The selector is put back as it was.
GenicamResult<void> fire_software_triggers(GenICamera& camera) {
    if (!camera.has_feature(kTriggerMode) || !camera.has_feature(kTriggerSoftware)) return {};
    if (!camera.has_feature(kTriggerSelector)) {
        if (software_trigger(camera)) return camera.execute(kTriggerSoftware);
        return {};
    }
    auto saved = camera.get_enum(kTriggerSelector);
    if (!saved) return {};
    std::string current = *saved;
    auto select = [&](std::string_view sel) {
        if (current == sel) return true;
        if (!camera.set_enum(kTriggerSelector, sel)) return false;  // a selector the camera lacks
        current = sel;
        return true;
    };
    // The selector in force is looked at first, so a camera with triggers
    // off costs one selector write and its restore.
    constexpr std::string_view kOrder[] = {"AcquisitionStart", "FrameStart"};
    bool fire[2] = {false, false};
    const int first = current == kOrder[1] ? 1 : 0;
    for (int i : {first, 1 - first})
        if (select(kOrder[i])) fire[i] = software_trigger(camera);
    GenicamResult<void> fired;
    for (int i = 0; i < 2 && fired; ++i)
        if (fire[i] && select(kOrder[i])) fired = camera.execute(kTriggerSoftware);
    if (current != *saved) (void)camera.set_enum(kTriggerSelector, *saved);
    return fired;
}

}  // namespace

GenicamResult<SnapshotSession> SnapshotSession::open(GenICamera& camera, StreamConfig config,
                                                     std::string_view log_target) {
    SnapshotSession s;
    s.log_target_ = log_target;

    // Single-frame mode makes the camera stop by itself after the frame;
    // without it each snap stops the camera explicitly.
    if (auto mode = camera.get_enum(kAcquisitionMode); !mode) {
        OCULANE_LOG(log::Level::Debug, log_target, "AcquisitionMode unavailable, stopping per snap: {}",
                    mode.error());
    } else if (*mode == kSingleFrame) {
        s.single_frame_ = true;
    } else if (auto set = camera.set_enum(kAcquisitionMode, kSingleFrame); set) {
        s.saved_mode_ = std::move(*mode);
        s.single_frame_ = true;
    } else {
        OCULANE_LOG(log::Level::Debug, log_target, "SingleFrame mode unavailable, stopping per snap: {}",
                    set.error());
    }

    auto put_mode_back = [&] {
        if (s.saved_mode_) (void)camera.set_enum(kAcquisitionMode, *s.saved_mode_);
    };
    if (auto filled = camera.fill_payload_size(config); !filled) {
        put_mode_back();
        return std::unexpected(std::move(filled.error()));
    }
    auto stream = camera.transport().open_stream(config);
    if (!stream) {
        put_mode_back();
        return std::unexpected(GenicamError(genicam_error::Transport{std::move(stream.error())}));
    }
    s.stream_ = std::move(*stream);

    if (auto locked = camera.set_integer(kTlParamsLocked, 1); !locked)
        OCULANE_LOG(log::Level::Debug, log_target, "TLParamsLocked not set: {}", locked.error());
    s.frames_ = s.stream_->subscribe(kSubscriptionCapacity);
    return s;
}

GenicamResult<FramePtr> SnapshotSession::snap(GenICamera& camera, Duration timeout) {
    auto pending = start_snap(camera);
    if (!pending) return std::unexpected(std::move(pending.error()));
    // recv_timeout waits without limit when now + timeout is not representable.
    std::optional<FramePtr> frame;
    if (auto got = pending->frames.recv_timeout(timeout)) frame = std::move(*got);
    return finish_snap(camera, *pending, std::move(frame));
}

GenicamResult<PendingSnap> SnapshotSession::start_snap(GenICamera& camera) {
    if (!stream_) return std::unexpected(GenicamError(genicam_error::SnapTimeout{}));
    // A frame from before this snap's start must not answer it.
    frames_.clear();
    if (auto started = camera.execute("AcquisitionStart"); !started) return std::unexpected(std::move(started.error()));
    stream_->acquisition_started();
    if (auto fired = fire_software_triggers(camera); !fired) {
        (void)camera.execute("AcquisitionStop");
        return std::unexpected(std::move(fired.error()));
    }
    return PendingSnap{frames_, single_frame_, log_target_};
}

GenicamResult<FramePtr> SnapshotSession::finish_snap(GenICamera& camera, const PendingSnap& pending,
                                                     std::optional<FramePtr> frame) {
    if (!frame || !pending.single_frame) {
        if (auto stopped = camera.execute("AcquisitionStop"); !stopped)
            OCULANE_LOG(log::Level::Warn, pending.log_target, "AcquisitionStop after snap failed: {}",
                        stopped.error());
    }
    if (frame) return std::move(*frame);
    if (pending.frames.control_lost())
        return std::unexpected(GenicamError(genicam_error::Transport{CameraError::control_lost()}));
    return std::unexpected(GenicamError(genicam_error::SnapTimeout{}));
}

void SnapshotSession::close(GenICamera& camera, const gige::WaitLimit& limit) {
    if (!stream_) return;
    auto bounded = camera.limit_traffic(limit);
    if (auto unlocked = camera.set_integer(kTlParamsLocked, 0); !unlocked)
        OCULANE_LOG(log::Level::Debug, log_target_, "TLParamsLocked not cleared: {}", unlocked.error());
    if (saved_mode_) {
        if (auto restored = camera.set_enum(kAcquisitionMode, *saved_mode_); !restored)
            OCULANE_LOG(log::Level::Debug, log_target_, "AcquisitionMode not restored: {}", restored.error());
        saved_mode_.reset();
    }
    stream_->close(limit.deadline);
    stream_.reset();
    frames_ = FrameChannel();
}

void SnapshotSession::abandon(Instant deadline) {
    if (!stream_) return;
    stream_->close(deadline);
    stream_.reset();
    frames_ = FrameChannel();
}

GenicamResult<FramePtr> GenICamera::snap(StreamConfig config, Duration timeout) {
    auto session = SnapshotSession::open(*this, std::move(config));
    if (!session) return std::unexpected(std::move(session.error()));
    auto frame = session->snap(*this, timeout);
    session->close(*this);
    return frame;
}

}  // namespace oculane
