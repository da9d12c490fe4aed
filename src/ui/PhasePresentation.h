#pragma once

#include "capture/hal/CaptureTarget.h"
#include "recorder/RecorderPhase.h"

#include <QList>
#include <QString>

#include <optional>

namespace vessaro {

// What the window shows for one state of the recorder: a pure function of the
// phase, the clock and whether the recording is still pending, so the whole
// per-phase table is checked without drawing anything. A plain value, any
// thread.
struct PhasePresentation {
    enum class Indicator { none, spinner, recordingPulse, pendingTray, savedCheck, failedExclamation };
    // What a button asks of the model (or of the file manager).
    enum class Action {
        start,
        cancelCountdown,
        stop,
        exportAgain,
        recordAgain,
        retry,
        revealInFileManager,
        openSoundSettings,
        chooseTarget,
        none
    };

    struct Button {
        QString title;
        // The symbol drawn before the title; empty for a secondary button.
        QString symbol;
        Action action = Action::none;
        bool enabled = true;

        friend bool operator==(const Button&, const Button&) = default;
    };

    static constexpr int largeTimePointSize = 66;
    // From one hour on the display has eight characters, not five.
    static constexpr int smallTimePointSize = 52;

    Indicator indicator = Indicator::none;
    QString primaryStatus;
    QString displayTime;
    QString timerAccessibilityLabel;
    int timePointSize = largeTimePointSize;
    Button primary;
    // The row under the primary button, in order.
    QList<Button> secondary;
    bool showsFooter = true;
    // The footer's chooser of which sound to record; it opens only at rest.
    Button chooser;
    // The failure's text, or why a running capture ended, shown on the notice card.
    std::optional<QString> notice;

    // What the running capture or the finished take adds to the phase.
    struct CaptureState {
        // While recording: why the capture ended early; empty while it runs.
        QString interruptionReason;
        // While recording: a short note (the output changed, the server came back).
        QString transientNote;
        // The finished take holds nothing but digital silence.
        bool silent = false;
        // While recording: nothing but digital zero has arrived for a while.
        bool hearsNothing = false;
        // Which sound the take records, or the next one will.
        CaptureTarget target;
    };

    // `recordingPending`: the finished file, or after a failed export the
    // recording the model still holds, has not been exported yet.
    static PhasePresentation of(
        const RecorderPhase& phase, double elapsedSeconds, bool recordingPending, const CaptureState& capture);
    static PhasePresentation of(const RecorderPhase& phase, double elapsedSeconds, bool recordingPending);

    friend bool operator==(const PhasePresentation&, const PhasePresentation&) = default;
};

// "mm:ss" below an hour, "hh:mm:ss" from then on (the hours grow past two
// digits when needed). Fractions are cut off; negative and non-finite values
// show "00:00".
QString formatDuration(double seconds);

} // namespace vessaro
