#include "recorder/RecorderViewModel.h"

#include "base/Platform.h"
#include "base/ProductName.h"
#include "base/SystemClock.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingExport.h"
#include "files/RecordingFile.h"
#include "recorder/ExportProgress.h"
#include "recorder/NextTurn.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThreadPool>
#include <QtConcurrent>

#include <qcoro/qcorofuture.h>

namespace vessaro {
namespace {

const QString kNothingPending = QStringLiteral("找不到刚刚完成的录音。");
const QString kExportFailed = QStringLiteral("导出失败：");
const QString kOutputFollowed = QStringLiteral("已切换到新的输出设备");
const QString kServerReconnected = QStringLiteral("声音服务已重新连接");

DesktopServices::Alert discardPendingAlert()
{
    DesktopServices::Alert alert;
    alert.style = DesktopServices::AlertStyle::warning;
    alert.messageText = QStringLiteral("这段录音还没有导出");
    alert.informativeText = QStringLiteral("再次录制会删除当前临时录音。请先点“再次导出”保存，或者确认放弃后继续。");
    // Return and Escape both keep the recording: only a click deletes it.
    alert.buttons
        = { { QStringLiteral("放弃并再次录制"), true, false, false }, { QStringLiteral("取消"), false, true, true } };
    return alert;
}

// The outcome may linger in a future's result store after the model is done
// with it: the lock itself moves out, so that the model alone holds the file
// and lets it go when it means to.
std::shared_ptr<FileLock> takeLock(const CaptureOutcome& outcome)
{
    if (!outcome.lock || !outcome.lock->isHeld())
        return {};
    return std::make_shared<FileLock>(std::move(*outcome.lock));
}

// Before the first export of this run: the user's Music folder, else home.
QString defaultExportDirectory()
{
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    return !music.isEmpty() && QFileInfo(music).isDir() ? music : QDir::homePath();
}

DesktopServices::SavePanel savePanel(const QString& suggestedName, const QString& directory)
{
    DesktopServices::SavePanel panel;
    panel.directory = directory;
    panel.title = QStringLiteral("保存") + kProductName.toString();
    panel.nameFieldLabel = QStringLiteral("文件名：");
    panel.suggestedName = suggestedName;
    panel.allowedSuffixes = { QStringLiteral("mp4") };
    panel.canCreateDirectories = true;
    return panel;
}

} // namespace

RecorderViewModel::RecorderViewModel(std::unique_ptr<SystemAudioCaptureService> recorder,
    std::shared_ptr<DesktopServices> desktop, std::shared_ptr<Clock> clock, CalendarSource calendar, QObject* parent)
    : QObject(parent)
    , m_recorder(std::move(recorder))
    , m_desktop(std::move(desktop))
    , m_clock(clock ? std::move(clock) : std::make_shared<SystemClock>())
    , m_calendar(calendar ? std::move(calendar) : CalendarSource(&ZonedCalendar::current))
{
    // Queued: the service emits on its own thread, and a late event must find
    // the phase as it is now.
    CaptureEvents* events = m_recorder->events();
    connect(
        events, &CaptureEvents::captureInterrupted, this, &RecorderViewModel::captureInterrupted, Qt::QueuedConnection);
    connect(
        events, &CaptureEvents::outputFollowed, this, [this] { showNote(kOutputFollowed); }, Qt::QueuedConnection);
    connect(
        events, &CaptureEvents::serverReconnected, this, [this] { showNote(kServerReconnected); },
        Qt::QueuedConnection);
    connect(events, &CaptureEvents::recordingKept, this, &RecorderViewModel::keepRecording, Qt::QueuedConnection);
    connect(events, &CaptureEvents::levelChanged, this, &RecorderViewModel::hearLevel, Qt::QueuedConnection);
}

RecorderViewModel::~RecorderViewModel()
{
    // The tasks notice at their next step that the model is gone.
    if (m_actionTask)
        m_actionTask->cancel();
    if (m_clockTask)
        m_clockTask->cancel();
    if (m_noteTask)
        m_noteTask->cancel();
}

// --- Operations ---

void RecorderViewModel::start()
{
    if (m_phase.isBusy() || m_terminating)
        return;
    if (m_actionTask)
        m_actionTask->cancel();
    cleanupPendingTemporaryFile();
    setElapsedSeconds(0);
    setInterruptionReason({});
    setTransientNote({});
    setPhase(Phase::preparing());
    RecorderTask task;
    m_actionTask = task;
    runStartSequence(task);
}

void RecorderViewModel::stop()
{
    if (m_phase.kind() != Phase::Kind::recording)
        return;
    setPhase(Phase::exporting());
    if (m_clockTask)
        m_clockTask->cancel();
    m_clockTask.reset();
    if (m_noteTask)
        m_noteTask->cancel();
    setInterruptionReason({});
    setTransientNote({});
    finishRecording();
}

void RecorderViewModel::cancelCountdown()
{
    if (m_actionTask)
        m_actionTask->cancel();
}

void RecorderViewModel::exportAgain()
{
    if (m_pending && !m_terminating && m_phase.kind() != Phase::Kind::exporting)
        exportPendingRecording();
}

void RecorderViewModel::recordAgain()
{
    if (m_phase.isBusy())
        return;
    if (m_pending) {
        QPointer<RecorderViewModel> self(this);
        const std::optional<int> answer = m_desktop->runAlert(discardPendingAlert());
        // The alert's event loop may have run anything meanwhile, a quit too.
        if (!self || answer != 0 || m_phase.isBusy() || m_terminating)
            return;
    }
    reset();
    start();
}

void RecorderViewModel::retry()
{
    if (m_phase.kind() != Phase::Kind::failed)
        return;
    // A failed export leaves its recording pending: never discard it unasked.
    if (m_pending)
        recordAgain();
    else
        start();
}

void RecorderViewModel::reset()
{
    if (m_actionTask)
        m_actionTask->cancel();
    if (m_clockTask)
        m_clockTask->cancel();
    cleanupPendingTemporaryFile();
    setElapsedSeconds(0);
    setInterruptionReason({});
    setTransientNote({});
    m_recordingTimes.reset();
    setPhase(Phase::idle());
}

void RecorderViewModel::openScreenRecordingSettings()
{
    m_desktop->openSoundSettings();
}

void RecorderViewModel::chooseTarget(const CaptureTarget& target)
{
    if (m_phase.isBusy() || m_terminating || target == m_target)
        return;
    m_target = target;
    Q_EMIT targetChanged(m_target);
}

void RecorderViewModel::refreshPrograms()
{
    // The task runs on by itself and holds the model weakly.
    (void)listPrograms();
}

QCoro::Task<> RecorderViewModel::listPrograms()
{
    QPointer<RecorderViewModel> self(this);
    auto listed = co_await m_recorder->playingPrograms();
    if (!self)
        co_return;
    m_programs = listed ? std::move(listed.value()) : std::vector<PlayingProgram> {};
    Q_EMIT programsListed();
}

QCoro::Task<Result<void>> RecorderViewModel::shutdownForTermination()
{
    QPointer<RecorderViewModel> self(this);
    const bool recording = m_phase.kind() == Phase::Kind::recording;
    m_terminating = true;
    // A dialog waiting for the user would hold the finish sequence, and with
    // it the quit, until answered: it is dismissed, and the take stays pending.
    m_desktop->closeModalDialogs();
    const std::optional<RecorderTask> remembered = m_actionTask;
    if (remembered)
        remembered->cancel();
    if (m_clockTask)
        m_clockTask->cancel();
    m_clockTask.reset();

    // Whoever quits, the recording is finished and stays in the temporary
    // directory, where the next launch offers it. Should the stop fail, the
    // cancel below still keeps what the writer holds.
    if (recording) {
        const Result<CaptureOutcome> stopped = co_await m_recorder->stop();
        if (self && stopped)
            holdPending(stopped.value());
    }
    if (!self)
        co_return {};

    // Destroying the model destroys the service, which releases the capture itself.
    if (auto released = co_await m_recorder->cancel(); !released || !self)
        co_return released;
    if (remembered)
        co_await remembered->ended();
    if (!self)
        co_return {};
    // Releases whatever the remembered task built after the first release.
    const Result<void> released = co_await m_recorder->cancel();
    if (self && released)
        m_actionTask.reset();
    co_return released;
}

// --- Start sequence ---

QCoro::Task<> RecorderViewModel::runStartSequence(RecorderTask task)
{
    const RecorderTask::Running running(task);
    QPointer<RecorderViewModel> self(this);
    co_await NextTurn {};
    if (!self)
        co_return;

    const Result<void> started = co_await prepareCountDownAndStart(self, task);
    if (self && !started)
        co_await releaseThenReport(started.error(), Phase::idle());
}

QCoro::Task<> RecorderViewModel::releaseThenReport(Error cause, std::optional<Phase> whenCancelled)
{
    QPointer<RecorderViewModel> self(this);
    // Release the capture before saying anything; a failed release is what
    // the user must hear about.
    const Result<void> released = co_await m_recorder->cancel();
    // A take the release kept comes as a queued event, which may still wait
    // behind us when the release was quick: let it in before anything is
    // offered, so that it goes before older leftovers.
    co_await NextTurn {};
    if (!self)
        co_return;
    if (!released)
        setPhase(Phase::failed(released.error().localizedDescription()));
    else if (!cause.isCancellation())
        setPhase(Phase::failed(cause.localizedDescription()));
    else if (whenCancelled)
        setPhase(*whenCancelled);
    offerWaitingRecording();
}

QCoro::Task<Result<void>> RecorderViewModel::prepareCountDownAndStart(
    QPointer<RecorderViewModel> self, RecorderTask task)
{
    if (auto prepared = co_await m_recorder->prepare(m_target); !prepared)
        co_return prepared;
    if (!self)
        co_return CancellationError {};

    for (int secondsLeft = 3; secondsLeft >= 1; --secondsLeft) {
        if (task.isCancelled())
            co_return CancellationError {};
        setPhase(Phase::countingDown(secondsLeft));
        const bool slept = co_await m_clock->sleep(countdownStep, task.token());
        if (!self || !slept)
            co_return CancellationError {};
    }

    if (task.isCancelled())
        co_return CancellationError {};
    if (auto captureStarted = co_await m_recorder->start(task.token()); !captureStarted)
        co_return captureStarted;
    if (!self || task.isCancelled())
        co_return CancellationError {};

    const QDateTime now = m_clock->now();
    m_recordingTimes = RecordingTimes { now, now };
    setPhase(Phase::recording());
    restartTimer(m_clockTask, clockTick, true, &RecorderViewModel::tickClock);
    co_return {};
}

// --- Timers ---

void RecorderViewModel::restartTimer(std::optional<RecorderTask>& slot, std::chrono::nanoseconds period, bool repeating,
    void (RecorderViewModel::*fire)())
{
    if (slot)
        slot->cancel();
    RecorderTask task;
    slot = task;
    runTimer(task, period, repeating, fire);
}

QCoro::Task<> RecorderViewModel::runTimer(
    RecorderTask task, std::chrono::nanoseconds period, bool repeating, void (RecorderViewModel::*fire)())
{
    const RecorderTask::Running running(task);
    QPointer<RecorderViewModel> self(this);
    while (!task.isCancelled()) {
        const bool slept = co_await m_clock->sleep(period, task.token());
        // A cancelled timer was stopped or replaced by whoever cancelled it.
        if (!self || !slept || task.isCancelled())
            co_return;
        (this->*fire)();
        if (!repeating)
            co_return;
    }
}

void RecorderViewModel::tickClock()
{
    // An ended capture holds the time display at what was captured.
    if (m_recordingTimes && m_interruptionReason.isEmpty())
        setElapsedSeconds(static_cast<double>(m_recordingTimes->startedAt.msecsTo(m_clock->now())) / 1000.0);
    // Without a tick of the clock a server that sends nothing would never be noticed.
    updateHearsNothing();
}

void RecorderViewModel::clearNote()
{
    setTransientNote({});
}

// --- Finish sequence ---

void RecorderViewModel::finishRecording()
{
    // The start sequence has ended by now; its handle is simply replaced.
    RecorderTask task;
    m_actionTask = task;
    runFinishSequence(task);
}

QCoro::Task<> RecorderViewModel::runFinishSequence(RecorderTask task)
{
    const RecorderTask::Running running(task);
    QPointer<RecorderViewModel> self(this);
    co_await NextTurn {};
    if (!self)
        co_return;

    const Result<CaptureOutcome> stopped = co_await m_recorder->stop();
    if (!self)
        co_return;
    if (!stopped) {
        co_await releaseThenReport(stopped.error(), std::nullopt);
        co_return;
    }
    const CaptureOutcome& outcome = stopped.value();
    holdPending(outcome);
    setSilent(outcome.silent);
    // During termination the file stays pending and no dialog opens.
    if (task.isCancelled() || m_terminating)
        co_return;
    // Cut short: the failure is told, and what came before it waits for
    // "再次导出" like a recording whose export failed.
    if (outcome.interruption)
        setPhase(Phase::failed(outcome.interruption->localizedDescription()));
    else
        exportPendingRecording();
}

// --- Events of the running capture ---

void RecorderViewModel::captureInterrupted(const QString& reason, double capturedSeconds)
{
    // The state machine does not move: the user still stops the recording.
    if (m_phase.kind() != Phase::Kind::recording || !m_interruptionReason.isEmpty())
        return;
    setInterruptionReason(reason);
    setElapsedSeconds(capturedSeconds);
}

void RecorderViewModel::showNote(const QString& note)
{
    if (m_phase.kind() != Phase::Kind::recording)
        return;
    setTransientNote(note);
    restartTimer(m_noteTask, noteDuration, false, &RecorderViewModel::clearNote);
}

void RecorderViewModel::hearLevel(float peak)
{
    // A late report of an ended recording changes nothing.
    if (m_phase.kind() != Phase::Kind::recording || !m_recordingTimes)
        return;
    if (peak > 0)
        m_recordingTimes->lastSoundAt = m_clock->now();
    setLevel(peak);
    updateHearsNothing();
}

// --- Export ---

void RecorderViewModel::exportPendingRecording()
{
    if (!m_pending) {
        setPhase(Phase::failed(kNothingPending));
        return;
    }
    if (m_savePanelOpen)
        return;
    const QString source = m_pending->path;
    const RecordingSummary summary = m_pending->summary;

    QPointer<RecorderViewModel> self(this);
    m_savePanelOpen = true;
    const std::optional<QString> destination
        = m_desktop->runSavePanel(savePanel(RecordingFile::suggestedFilename(m_clock->now(), m_calendar()),
            m_lastExportDirectory.value_or(defaultExportDirectory())));
    if (!self)
        return;
    m_savePanelOpen = false;

    if (!destination || destination->isEmpty()) {
        setPhase(Phase::finished(source, summary));
        return;
    }
    // Saved onto itself (the same path, a link or a mount of it): replacing it
    // and then removing the source would delete the only copy. It stays, and
    // counts as exported.
    if (Platform::isSameFile(source, *destination)) {
        m_lastExportDirectory = QFileInfo(*destination).absolutePath();
        forgetPendingRecording(source);
        setPhase(Phase::finished(*destination, summary));
        offerWaitingRecording();
        return;
    }
    // From stop, the phase already is exporting; from "再次导出", it becomes so.
    if (m_phase.kind() != Phase::Kind::exporting)
        setPhase(Phase::exporting());
    RecorderTask task;
    m_actionTask = task;
    runExportSequence(task, PendingRecording { source, summary, {} }, *destination);
}

QCoro::Task<> RecorderViewModel::runExportSequence(RecorderTask task, PendingRecording pending, QString destination)
{
    const RecorderTask::Running running(task);
    QPointer<RecorderViewModel> self(this);
    const auto progress = std::make_unique<ExportProgress>();
    connect(progress.get(), &ExportProgress::advanced, this, [this](int percentDone) {
        if (m_phase.kind() == Phase::Kind::exporting)
            setPhase(Phase::exporting(percentDone));
    });
    // Replaces an existing destination in one step: a failed export leaves the
    // old file where it was, and the recording pending.
    // Made before it is awaited: GCC 12 destroys a lambda's captures twice in
    // a co_await operand. The relay is this frame's, which outlives the job,
    // so that it is deleted on the main thread.
    QFuture<Result<RecordingExport::Exported>> job = QtConcurrent::run(QThreadPool::globalInstance(),
        [relay = progress.get(), token = task.token(), source = pending.path, summary = pending.summary, destination] {
            const auto advance = [relay](double fraction) { Q_EMIT relay->advanced(static_cast<int>(fraction * 100)); };
            return RecordingExport::run(source, summary, destination, advance, *token);
        });
    const Result<RecordingExport::Exported> exported = co_await job;
    if (!self)
        co_return;
    if (!exported) {
        // Cancelled for the quit: the recording stays pending, as if the dialog had been dismissed.
        setPhase(exported.error().isCancellation()
                ? Phase::finished(pending.path, pending.summary)
                : Phase::failed(kExportFailed + exported.error().localizedDescription()));
        co_return;
    }
    (void)Platform::removeItem(pending.path); // a leftover is harmless and no longer tracked
    m_lastExportDirectory = QFileInfo(destination).absolutePath();
    forgetPendingRecording(pending.path);
    setPhase(Phase::finished(destination, exported.value().summary));
    offerWaitingRecording();
}

void RecorderViewModel::holdPending(const CaptureOutcome& outcome)
{
    m_pending = PendingRecording { outcome.path, outcome.summary, takeLock(outcome) };
}

void RecorderViewModel::forgetPendingRecording(const QString& exported)
{
    // The dialog's event loop may have let a new recording replace it meanwhile.
    if (m_pending && m_pending->path == exported)
        m_pending.reset();
}

void RecorderViewModel::adoptLeftoverRecording(PendingRecording leftover)
{
    m_waiting.push_back(std::move(leftover));
    offerWaitingRecording();
}

void RecorderViewModel::keepRecording(const CaptureOutcome& outcome)
{
    // Newer than any leftover of an earlier run: it goes first.
    m_waiting.push_front(PendingRecording { outcome.path, outcome.summary, takeLock(outcome) });
    offerWaitingRecording();
}

void RecorderViewModel::offerWaitingRecording()
{
    // One pending recording at a time, and only at rest: the next one waits
    // until this one is exported or thrown away.
    const Phase::Kind kind = m_phase.kind();
    if (m_pending || m_waiting.empty() || m_terminating || m_phase.isBusy())
        return;
    m_pending = std::move(m_waiting.front());
    m_waiting.pop_front();
    setSilent(false);
    // A failure stays on screen, and "再次导出" under it saves the recording.
    setPhase(kind == Phase::Kind::failed ? m_phase : Phase::finished(m_pending->path, m_pending->summary));
}

void RecorderViewModel::cleanupPendingTemporaryFile()
{
    setSilent(false);
    // Only our own temporary files are ever deleted; anything else is just forgotten.
    if (m_pending && Platform::isInsideTemporaryDirectory(m_pending->path))
        (void)Platform::removeItem(m_pending->path);
    // The lock goes only once the file is gone: nobody else may take it first.
    m_pending.reset();
}

// --- Observable state ---

void RecorderViewModel::setPhase(Phase phase)
{
    m_phase = std::move(phase);
    if (m_phase.kind() != Phase::Kind::recording)
        setLevel(0);
    updateHearsNothing();
    Q_EMIT phaseChanged(m_phase);
}

void RecorderViewModel::setLevel(float level)
{
    if (m_level == level)
        return;
    m_level = level;
    Q_EMIT levelChanged(m_level);
}

void RecorderViewModel::updateHearsNothing()
{
    // A capture cut short says so itself; what it no longer hears is no news.
    const bool listening
        = m_phase.kind() == Phase::Kind::recording && m_recordingTimes && m_interruptionReason.isEmpty();
    const bool nothing
        = listening && m_recordingTimes->lastSoundAt.msecsTo(m_clock->now()) >= silenceNoticeAfter.count();
    if (m_hearsNothing == nothing)
        return;
    m_hearsNothing = nothing;
    Q_EMIT hearsNothingChanged(m_hearsNothing);
}

void RecorderViewModel::setElapsedSeconds(double seconds)
{
    m_elapsedSeconds = seconds;
    Q_EMIT elapsedSecondsChanged(m_elapsedSeconds);
}

void RecorderViewModel::setInterruptionReason(const QString& reason)
{
    if (m_interruptionReason == reason)
        return;
    m_interruptionReason = reason;
    updateHearsNothing();
    Q_EMIT interruptionReasonChanged(m_interruptionReason);
}

void RecorderViewModel::setTransientNote(const QString& note)
{
    if (m_transientNote == note)
        return;
    m_transientNote = note;
    Q_EMIT transientNoteChanged(m_transientNote);
}

void RecorderViewModel::setSilent(bool silent)
{
    if (m_silent == silent)
        return;
    m_silent = silent;
    Q_EMIT silentChanged(m_silent);
}

} // namespace vessaro
