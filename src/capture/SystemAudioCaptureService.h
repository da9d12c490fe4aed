#pragma once

#include "base/CancellationToken.h"
#include "base/Result.h"
#include "base/SerialExecutor.h"
#include "capture/AudioCaptureDriver.h"
#include "capture/CaptureEvents.h"
#include "capture/CaptureOutcome.h"
#include "capture/RecordingProgress.h"

#include <QFuture>

#include <memory>

namespace vessaro {

class AudioSampleWriter;
class MediaAssetOpener;
class MediaWriterFactory;

// The capture engine's front door. Every operation may be called from any
// thread; it runs on the service's own serial executor, one at a time, and its
// result arrives through the returned future (never cancelled: failures,
// cancellation included, are Result errors). The audio never passes through
// the executor. Destroying the service waits for the operations already
// submitted, then stops the driver.
//
// While a recording runs the executor watches it, and events() tells at once
// (within a tenth of a second) when the capture ended early, followed a new
// output or reconnected, and how loud what arrives is; nothing of that is
// sent from the audio thread.
class SystemAudioCaptureService {
public:
    // The media seams default to FFmpeg.
    explicit SystemAudioCaptureService(std::unique_ptr<AudioCaptureDriver> driver,
        std::shared_ptr<const MediaWriterFactory> writers = {}, std::shared_ptr<const MediaAssetOpener> assets = {});
    ~SystemAudioCaptureService();
    SystemAudioCaptureService(const SystemAudioCaptureService&) = delete;
    SystemAudioCaptureService& operator=(const SystemAudioCaptureService&) = delete;

    // prepare() and start() first discard a writer that a failed cancel had to
    // keep, once the driver stops; if it still cannot, that failure is returned.
    QFuture<Result<void>> prepare(CaptureTarget target = CaptureTarget::everything());
    // The programs playing now, for choosing a target.
    QFuture<Result<std::vector<PlayingProgram>>> playingPrograms();
    // `token` is checked before anything is touched and again once capture runs.
    QFuture<Result<void>> start(CancellationTokenPtr token = {});
    // Other operations may run while the writer finishes and the file is
    // validated. A take cut short keeps what was captured before the cut: the
    // outcome then carries the reason, and so it does when the driver failed
    // to stop but let go of its callbacks. An error means no file was kept;
    // a writer the audio thread may still reach stays for cancel().
    QFuture<Result<CaptureOutcome>> stop();
    // Stops the driver and lets go of the writer: one that holds no audio is
    // discarded, one that holds audio is finished and handed over through
    // events()->recordingKept. A driver that cannot stop keeps the writer for
    // the next cancel(), prepare() or start().
    QFuture<Result<void>> cancel();
    QFuture<Diagnostics> diagnostics();
    // The running recording's length and size; zeros when none runs.
    QFuture<RecordingProgress> progress();

    // Lives on the thread that created the service; its signals come from the
    // executor's thread.
    CaptureEvents* events() const { return m_events.get(); }
    // How often the executor looks at a running recording.
    static constexpr int watchIntervalMilliseconds = 100;
    // Every look reports the level, which the window may take at most 15
    // times a second.
    static_assert(watchIntervalMilliseconds * 15 >= 1000);

private:
    struct State;
    std::shared_ptr<State> m_state;
    // Outlives the executor, whose watch emits its signals.
    std::unique_ptr<CaptureEvents> m_events;
    // Declared last so it is destroyed first: it drains the jobs that use m_state.
    std::unique_ptr<SerialExecutor> m_executor;
};

} // namespace vessaro
