#pragma once

#include "recorder/RecorderViewModel.h"
#include "support/ManualClock.h"
#include "support/ScriptedDesktopServices.h"
#include "support/SimulatedCapture.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QTest>

#include <qcoro/qcorotask.h>

namespace vessaro {
// For QCOMPARE of phases.
inline char* toString(const RecorderPhase& phase)
{
    return QTest::toString(phase.description());
}
} // namespace vessaro

namespace vessaro::test {

// A recorder model over the simulated hardware and fake media, with a hand-moved clock, scripted dialogs and every
// phase it announces. Test thread only.
struct RecorderRig {
    using Phase = RecorderViewModel::Phase;

    RecorderRig();

    // Runs the event loop until `done` holds; the limit only catches a hang.
    template <typename Predicate> bool waitFor(Predicate done) { return QTest::qWaitFor(done, 10000); }
    bool waitForKind(Phase::Kind kind)
    {
        return waitFor([&] { return model->phase().kind() == kind; });
    }
    // Lets the event loop run a while, for things that must not happen.
    void settle() { QTest::qWait(50); }

    // Starts if need be and moves the clock through the countdown until `secondsLeft` remain (0: into recording).
    bool countDownTo(int secondsLeft = 0);
    // Records `chunks` of audio and stops; the save dialog answers from the script.
    bool recordAndStop(int chunks = 2, float sample = 0);
    // Stereo float frames, every sample `sample`.
    void deliver(std::uint32_t frames = 480, float sample = 0) { SimulatedCapture::deliver(*hardware, frames, sample); }
    QString pending() const { return model->pending() ? model->pending()->path : QString(); }
    QStringList recordings() const { return QDir(home.recordingsDirectory()).entryList(QDir::Files); }
    Result<void> shutdown() { return QCoro::waitFor(model->shutdownForTermination()); }

    ScopedCacheHome home;
    QTemporaryDir exports;
    SimulatedCapture capture;
    std::shared_ptr<FakeMediaScript> script = capture.script;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ScriptedDesktopServices> desktop = std::make_shared<ScriptedDesktopServices>();
    SimulatedAudioHardware* hardware = capture.hardware;
    std::unique_ptr<RecorderViewModel> model;
    QList<Phase> phases;
};

} // namespace vessaro::test
