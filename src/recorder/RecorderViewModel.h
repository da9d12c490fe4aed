#pragma once

#include "base/FileLock.h"

#include "base/Clock.h"
#include "base/Result.h"
#include "base/ZonedCalendar.h"
#include "capture/hal/CaptureTarget.h"
#include "capture/hal/PlayingProgram.h"
#include "files/RecordingSummary.h"
#include "recorder/DesktopServices.h"
#include "recorder/PendingRecording.h"
#include "recorder/RecorderPhase.h"
#include "recorder/RecorderTask.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vessaro {

class SystemAudioCaptureService;
struct CaptureOutcome;

// The application's one recorder: turns start, stop, export again and record
// again into the phases the window draws, runs the countdown and the clock,
// finishes the recording and offers it for export.
//
// Main thread only: every member, every task and every signal. Operations
// called in a phase that does not accept them do nothing. The tasks hold the
// model weakly and end quietly when it is destroyed under them.
class RecorderViewModel final : public QObject {
    Q_OBJECT
public:
    using Phase = RecorderPhase;
    using CalendarSource = std::function<ZonedCalendar()>;

    static constexpr std::chrono::nanoseconds countdownStep { 1'000'000'000 };
    static constexpr std::chrono::nanoseconds clockTick { 100'000'000 };
    // How long a note about the running capture stays.
    static constexpr std::chrono::nanoseconds noteDuration { 3'000'000'000 };
    // How long a recording may hear nothing but digital zero before it says so.
    static constexpr std::chrono::milliseconds silenceNoticeAfter { 5000 };

    // `calendar` dates the suggested file name; it defaults to the user's.
    RecorderViewModel(std::unique_ptr<SystemAudioCaptureService> recorder, std::shared_ptr<DesktopServices> desktop,
        std::shared_ptr<Clock> clock = {}, CalendarSource calendar = {}, QObject* parent = nullptr);
    ~RecorderViewModel() override;

    const Phase& phase() const { return m_phase; }
    double elapsedSeconds() const { return m_elapsedSeconds; }
    // The finished temporary recording that has not been exported yet.
    const std::optional<PendingRecording>& pending() const { return m_pending; }
    // The one answer to whether the window offers an unexported recording.
    bool hasUnexportedRecording() const { return m_pending.has_value(); }
    // Kept recordings waiting for their turn as the pending one, next first.
    std::size_t waitingRecordings() const { return m_waiting.size(); }
    bool isTerminating() const { return m_terminating; }
    // While recording: why the capture ended early (the user reads it under
    // "录音已中断"); empty while it runs. The phase stays recording until stop,
    // and the clock stands at the duration the recording holds.
    const QString& interruptionReason() const { return m_interruptionReason; }
    // While recording: a short note that capture followed a new output or
    // reconnected to the sound server; empty after noteDuration.
    const QString& transientNote() const { return m_transientNote; }
    // The finished recording (the pending one, or the one just exported) holds
    // nothing but digital silence. It is offered for export all the same.
    bool isSilent() const { return m_silent; }
    // While recording: the peak of what last reached the file, 0..1 of full
    // scale; 0 otherwise.
    float level() const { return m_level; }
    // While a recording runs (not cut short): no sample but digital zero has
    // arrived for silenceNoticeAfter, by the model's clock; nothing arriving
    // at all counts the same.
    bool hearsNothing() const { return m_hearsNothing; }

    // In idle, finished and failed, unless terminating: discards a pending
    // recording without asking and records anew.
    void start();
    // In recording: stops, finalises and offers the file for export.
    void stop();
    // Cancels the running start sequence, which then releases the capture and
    // returns to idle. Meant for the countdown; it does not look at the phase.
    void cancelCountdown();
    // While a recording is pending, in any phase: offers it for export again.
    void exportAgain();
    // In idle, finished and failed: asks before an unexported recording is
    // thrown away, then records anew.
    void recordAgain();
    // The retry button of the failed phase: a pending recording (left by a
    // failed export) goes through recordAgain()'s question; otherwise start().
    void retry();
    // Cancels the tasks without waiting, discards the pending recording and
    // returns to idle. It leaves the capture service alone, so call it only
    // when no capture runs (recordAgain() does).
    void reset();
    // A recording an earlier run left behind (repaired and validated, with its
    // lock) waits behind those given before it and is offered as the pending
    // one, as if just finished, as soon as the recorder rests with nothing
    // pending. Never dropped: one not offered by the end of the run stays
    // for the next launch.
    void adoptLeftoverRecording(PendingRecording leftover);
    void openScreenRecordingSettings();

    // Which sound the next take records: every program's, or one program's.
    // Changed only at rest (idle, finished, failed); a take keeps its own.
    const CaptureTarget& target() const { return m_target; }
    void chooseTarget(const CaptureTarget& target);
    // The programs playing, as last listed; refreshPrograms() lists them anew
    // and tells through programsListed (an empty list when listing failed).
    const std::vector<PlayingProgram>& programs() const { return m_programs; }
    void refreshPrograms();

    // For the application's termination: from now on start() is refused;
    // closes an open dialog as if dismissed, finishes a recording in progress
    // and keeps it for the next launch, cancels the tasks, releases the
    // capture, waits for the running sequence to end and releases again.
    // Fails only when a release fails. Leaves the phase and a pending
    // recording alone.
    QCoro::Task<Result<void>> shutdownForTermination();

Q_SIGNALS:
    // Emitted on every assignment, also of an equal value.
    void phaseChanged(const vessaro::RecorderPhase& phase);
    void elapsedSecondsChanged(double seconds);
    void interruptionReasonChanged(const QString& reason);
    void transientNoteChanged(const QString& note);
    void silentChanged(bool silent);
    void targetChanged(const vessaro::CaptureTarget& target);
    void programsListed();
    void levelChanged(float level);
    void hearsNothingChanged(bool hearsNothing);

private:
    // Each sequence starts on a later turn of the event loop and runs to its
    // end on its own: the returned QCoro task is dropped, and the RecorderTask
    // handle is how it is cancelled and waited for.
    QCoro::Task<> runStartSequence(RecorderTask task);
    QCoro::Task<Result<void>> prepareCountDownAndStart(QPointer<RecorderViewModel> self, RecorderTask task);
    QCoro::Task<> runFinishSequence(RecorderTask task);
    // The tail of both sequences once `cause` ended them: releases the
    // capture, then shows the failed release, else the failure, else (when
    // cancelled) `whenCancelled` if given.
    QCoro::Task<> releaseThenReport(Error cause, std::optional<Phase> whenCancelled);
    QCoro::Task<> listPrograms();

    // Cancels the timer in `slot` and starts a new one there that calls `fire`
    // after each `period` (once unless `repeating`) until it is cancelled.
    void restartTimer(std::optional<RecorderTask>& slot, std::chrono::nanoseconds period, bool repeating,
        void (RecorderViewModel::*fire)());
    QCoro::Task<> runTimer(
        RecorderTask task, std::chrono::nanoseconds period, bool repeating, void (RecorderViewModel::*fire)());
    void tickClock();
    void clearNote();

    // From the capture service's events, queued.
    void captureInterrupted(const QString& reason, double capturedSeconds);
    void showNote(const QString& note);
    void hearLevel(float peak);

    void finishRecording();
    void exportPendingRecording();
    // Writes the pending recording to `destination` off the main thread,
    // showing its progress, then offers the next waiting recording.
    QCoro::Task<> runExportSequence(RecorderTask task, PendingRecording pending, QString destination);
    void cleanupPendingTemporaryFile();
    // Takes the finished file, its summary and its lock as the pending recording.
    void holdPending(const CaptureOutcome& outcome);
    // Forgets the pending recording if it still is `exported`.
    void forgetPendingRecording(const QString& exported);
    // A recording kept by the capture service's cancel waits its turn.
    void keepRecording(const CaptureOutcome& outcome);
    // At rest with nothing pending: the next waiting recording becomes pending,
    // under the failure if one is shown.
    void offerWaitingRecording();

    void setPhase(Phase phase);
    void setElapsedSeconds(double seconds);
    void setInterruptionReason(const QString& reason);
    void setTransientNote(const QString& note);
    void setSilent(bool silent);
    void setLevel(float level);
    // Derives hearsNothing from the phase, the interruption and the clock.
    void updateHearsNothing();

    std::unique_ptr<SystemAudioCaptureService> m_recorder;
    std::shared_ptr<DesktopServices> m_desktop;
    std::shared_ptr<Clock> m_clock;
    CalendarSource m_calendar;

    Phase m_phase;
    double m_elapsedSeconds = 0;
    std::optional<RecorderTask> m_actionTask;
    std::optional<RecorderTask> m_clockTask;
    std::optional<RecorderTask> m_noteTask;
    // While a recording runs: when it began, and when a sound last arrived.
    struct RecordingTimes {
        QDateTime startedAt;
        QDateTime lastSoundAt;
    };
    std::optional<RecordingTimes> m_recordingTimes;
    std::optional<PendingRecording> m_pending;
    std::deque<PendingRecording> m_waiting;
    bool m_terminating = false;
    QString m_interruptionReason;
    QString m_transientNote;
    bool m_silent = false;
    CaptureTarget m_target;
    std::vector<PlayingProgram> m_programs;
    float m_level = 0;
    bool m_hearsNothing = false;
    // The save dialog is open: its nested event loop must not open another.
    bool m_savePanelOpen = false;
    // The folder of the last export of this run; the save dialog opens there.
    std::optional<QString> m_lastExportDirectory;
};

} // namespace vessaro
