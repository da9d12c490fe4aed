#include "capture/SystemAudioCaptureService.h"

#include "base/Platform.h"
#include "capture/AudioSampleWriter.h"
#include "files/RecordingFile.h"
#include "media/MediaAssetOpener.h"
#include "media/MediaWriterFactory.h"
#include "media/PlatformMedia.h"

#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>

#include <atomic>

namespace vessaro {
namespace {

// Why the recording ended when the audio server went away for good.
QString serverLostReason()
{
    return QStringLiteral("声音服务已断开，10 秒内没有恢复。");
}

// What the device told on the audio side, for the executor's watch to pick up.
struct DeviceNotices {
    std::atomic<std::uint32_t> outputsFollowed { 0 };
    std::atomic<std::uint32_t> reconnections { 0 };
    std::atomic<bool> serverLost { false };
    static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
};

// Finishes `writer`, keeping every sample it holds, and validates the file.
// The intake's own failure is told before `stopFailure`, which came later. An
// error means no file is offered; one that exists stays where it is, for the
// next launch's repair. Off the audio thread, after the hand-over.
Result<CaptureOutcome> finishAndValidate(
    AudioSampleWriter& writer, const MediaAssetOpener* assets, std::optional<Error> stopFailure = std::nullopt)
{
    FinishedWriting finished = writer.finishKeepingAudio();
    std::optional<Error> failure = finished.failure ? finished.failure : stopFailure;
    if (!finished.kept)
        return failure ? *failure : Error(RecorderError::noAudioReceived());
    const QString path = finished.kept->path;
    auto summary = RecordingFile::validate(path, assets);
    if (!summary)
        return AudioSampleWriter::keptAt(failure ? *failure : summary.error(), path);
    return CaptureOutcome { path, summary.value(), writer.isSilent(),
        std::make_shared<FileLock>(std::move(finished.kept->lock)), failure };
}

} // namespace

// Everything the executor's jobs touch. Only the executor uses `driver` and
// `sink`; the audio thread reaches the writer through a weak reference only.
struct SystemAudioCaptureService::State {
    // Declared before the driver so that the driver is destroyed (and stopped)
    // first: no audio callback may outlive the writer's owner.
    std::shared_ptr<AudioSampleWriter> sink;
    std::unique_ptr<AudioCaptureDriver> driver;
    std::shared_ptr<const MediaWriterFactory> writers;
    std::shared_ptr<const MediaAssetOpener> assets;
    // A new set per recording, so a late notice of the last one finds its own.
    std::shared_ptr<DeviceNotices> notices = std::make_shared<DeviceNotices>();
    CaptureEvents* events = nullptr;
    std::unique_ptr<QTimer> watch;
    bool interruptionTold = false;

    // On the executor, every watch interval: passes on what the audio side
    // left in atomics. Only here may the signals be emitted.
    void watchRecording()
    {
        if (!sink || sinkAbandoned)
            return;
        Q_EMIT events->levelChanged(sink->takePeak());
        for (auto n = notices->outputsFollowed.exchange(0, std::memory_order_relaxed); n > 0; --n)
            Q_EMIT events->outputFollowed();
        for (auto n = notices->reconnections.exchange(0, std::memory_order_relaxed); n > 0; --n)
            Q_EMIT events->serverReconnected();
        if (interruptionTold)
            return;
        std::optional<QString> reason;
        if (auto failure = sink->interruption())
            reason = failure->localizedDescription();
        else if (notices->serverLost.load(std::memory_order_relaxed))
            reason = serverLostReason();
        if (!reason)
            return;
        interruptionTold = true;
        Q_EMIT events->captureInterrupted(*reason, sink->capturedSeconds());
    }

    // The writer's recording was given up, but the driver could not be stopped,
    // so the audio thread may still reach it. The next recording lets it go
    // once the driver stops.
    bool sinkAbandoned = false;

    // Stops the driver; once no callback can reach the writer, lets it go: a
    // writer that holds audio is finished and kept, never thrown away.
    Result<void> cancel()
    {
        const Result<void> stopped = driver->stop();
        if (sink && !driver->holdsCallbacks())
            letGoOfSink(std::exchange(sink, nullptr));
        sinkAbandoned = sink != nullptr;
        return stopped;
    }

    void letGoOfSink(const std::shared_ptr<AudioSampleWriter>& writer)
    {
        if (writer->frames() <= 0) {
            writer->discard();
            return;
        }
        // One that does not validate stays where it is, unlocked, for the next
        // launch's repair.
        if (auto kept = finishAndValidate(*writer, assets.get()))
            Q_EMIT events->recordingKept(kept.value());
    }

    // Before a new recording: an abandoned writer is let go, or the
    // driver's failure to stop is what the caller sees.
    Result<void> releaseAbandonedSink()
    {
        if (!sinkAbandoned)
            return {};
        return cancel();
    }

    Result<void> prepare(const CaptureTarget& target)
    {
        if (auto released = releaseAbandonedSink(); !released)
            return released;
        return driver->prepare(target);
    }

    Result<void> start(const CancellationTokenPtr& token)
    {
        const auto cancelled = [&token] { return token && token->isCancelled(); };
        if (cancelled())
            return CancellationError {};
        if (auto released = releaseAbandonedSink(); !released)
            return released;
        // A second start would discard the recording in progress: refuse it
        // and leave the running capture alone.
        if (sink)
            return RecorderError::invalidOutput(QStringLiteral("录音设备未准备好或已开始录制。"));

        std::optional<Error> failure;
        auto created = AudioSampleWriter::create(driver->format(), writers);
        if (!created) {
            failure = created.error();
        } else {
            sink = created.value();
            notices = std::make_shared<DeviceNotices>();
            interruptionTold = false;
            std::weak_ptr<AudioSampleWriter> weak = sink;
            auto receive = [weak](const AudioBufferList* list) {
                if (auto writer = weak.lock())
                    writer->append(list);
            };
            auto loss = [weak](std::uint64_t bytes) {
                if (auto writer = weak.lock())
                    writer->noteLoss(bytes);
            };
            // Atomics only: this runs beside the audio and must not wait.
            auto deviceEvent = [told = notices](AudioDeviceEvent event) {
                switch (event) {
                case AudioDeviceEvent::followedOutput:
                    told->outputsFollowed.fetch_add(1, std::memory_order_relaxed);
                    break;
                case AudioDeviceEvent::reconnected:
                    told->reconnections.fetch_add(1, std::memory_order_relaxed);
                    break;
                case AudioDeviceEvent::serverLost:
                    told->serverLost.store(true, std::memory_order_relaxed);
                    break;
                }
            };
            if (auto started = driver->start(std::move(receive), std::move(loss), std::move(deviceEvent)); !started)
                failure = started.error();
            else if (cancelled())
                failure = Error(CancellationError {});
        }
        if (!failure)
            return {};
        // The clean-up's own failure replaces the one that caused it.
        if (auto cleaned = cancel(); !cleaned)
            return cleaned;
        return *failure;
    }
};

SystemAudioCaptureService::SystemAudioCaptureService(std::unique_ptr<AudioCaptureDriver> driver,
    std::shared_ptr<const MediaWriterFactory> writers, std::shared_ptr<const MediaAssetOpener> assets)
    : m_state(std::make_shared<State>())
    , m_events(std::make_unique<CaptureEvents>())
    , m_executor(std::make_unique<SerialExecutor>(QStringLiteral("capture service")))
{
    m_state->driver = std::move(driver);
    m_state->writers = writers ? std::move(writers) : PlatformMedia::writerFactory();
    m_state->assets = assets ? std::move(assets) : PlatformMedia::assetOpener();
    m_state->events = m_events.get();
    // The timer belongs to the executor's thread: made and dropped there.
    m_executor->submit([state = m_state] {
        state->watch = std::make_unique<QTimer>();
        QObject::connect(state->watch.get(), &QTimer::timeout, [state = state.get()] { state->watchRecording(); });
        state->watch->start(watchIntervalMilliseconds);
    });
}

SystemAudioCaptureService::~SystemAudioCaptureService()
{
    m_executor->submit([state = m_state] { state->watch.reset(); });
    // Runs the jobs already submitted before the state goes away.
    m_executor.reset();
}

QFuture<Result<void>> SystemAudioCaptureService::prepare(CaptureTarget target)
{
    return m_executor->submit([state = m_state, target = std::move(target)] { return state->prepare(target); });
}

QFuture<Result<std::vector<PlayingProgram>>> SystemAudioCaptureService::playingPrograms()
{
    return m_executor->submit([state = m_state] { return state->driver->playingPrograms(); });
}

QFuture<Result<void>> SystemAudioCaptureService::start(CancellationTokenPtr token)
{
    return m_executor->submit([state = m_state, token = std::move(token)] { return state->start(token); });
}

QFuture<Result<CaptureOutcome>> SystemAudioCaptureService::stop()
{
    struct Stopped {
        std::shared_ptr<AudioSampleWriter> writer;
        // The driver's failure to stop, once its callbacks are gone all the same.
        std::optional<Error> stopFailure;
    };
    using Taken = Result<Stopped>;
    QFuture<Taken> taken = m_executor->submit([state = m_state]() -> Taken {
        const Result<void> stopped = state->driver->stop();
        // While the audio thread may still reach the writer, it stays for the
        // caller's cancel.
        if (!stopped && state->driver->holdsCallbacks())
            return stopped.error();
        if (!state->sink)
            return stopped ? Error(RecorderError::noAudioReceived()) : stopped.error();
        return Stopped { std::exchange(state->sink, nullptr),
            stopped ? std::nullopt : std::optional<Error>(stopped.error()) };
    });
    // Finishing and validating run on the general pool, so the executor is free
    // for other operations meanwhile. The writer is let go here, not kept.
    return taken.then(
        QThreadPool::globalInstance(), [assets = m_state->assets](Taken writer) -> Result<CaptureOutcome> {
            if (!writer)
                return writer.error();
            const Stopped stopped = std::move(writer).value();
            return finishAndValidate(*stopped.writer, assets.get(), stopped.stopFailure);
        });
}

QFuture<Result<void>> SystemAudioCaptureService::cancel()
{
    return m_executor->submit([state = m_state] { return state->cancel(); });
}

QFuture<Diagnostics> SystemAudioCaptureService::diagnostics()
{
    return m_executor->submit([state = m_state] { return state->driver->diagnostics(); });
}

QFuture<RecordingProgress> SystemAudioCaptureService::progress()
{
    return m_executor->submit([state = m_state] {
        if (!state->sink || state->sinkAbandoned)
            return RecordingProgress {};
        const auto size = Platform::fileSize(state->sink->path());
        return RecordingProgress { state->sink->capturedSeconds(), size ? size.value().value_or(0) : 0 };
    });
}

} // namespace vessaro
