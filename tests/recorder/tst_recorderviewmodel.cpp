#include "base/Platform.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "capture/hal/SimulatedAudioHardware.h"
#include "recorder/RecorderViewModel.h"
#include "support/FakeMediaWriter.h"
#include "support/ManualClock.h"
#include "support/ScriptedDesktopServices.h"
#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <sys/stat.h>

#include <atomic>
#include <vector>

using namespace vessaro;
using namespace std::chrono_literals;
using Phase = RecorderViewModel::Phase;
using Call = SimulatedAudioHardware::Call;

namespace vessaro {
char* toString(const RecorderPhase& phase)
{
    return QTest::toString(phase.description());
}
} // namespace vessaro

namespace {

const QString kNoAudio = QStringLiteral("没有收到系统音频。请检查系统音频录制权限，并确认 Mac 正在播放声音。");
// The first dialog opens once the countdown has moved the clock by three seconds.
const QString kFirstName = QStringLiteral("系统音频 2027-01-15 08.00.03.mp4");

QString captureFailed(const QString& step, int status)
{
    return RecorderError::captureFailed(step, status).localizedDescription();
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A recorder over the simulated hardware and fake media, with a hand-moved
// clock, scripted dialogs and every phase it announces.
struct Rig {
    Rig()
    {
        auto hardwareOwned = std::make_unique<SimulatedAudioHardware>();
        hardware = hardwareOwned.get();
        auto service = std::make_unique<SystemAudioCaptureService>(
            std::make_unique<CoreAudioTapDriver>(std::move(hardwareOwned)),
            std::make_shared<test::FakeMediaWriterFactory>(script), std::make_shared<test::FakeMediaAssetOpener>(asset));
        model = std::make_unique<RecorderViewModel>(std::move(service), desktop, clock,
                                                    [] { return ZonedCalendar{QCalendar(), QTimeZone::utc()}; });
        QObject::connect(model.get(), &RecorderViewModel::phaseChanged, model.get(),
                         [this](const Phase& phase) { phases.append(phase); });
    }

    // Runs the event loop until `done` holds; a hang fails the test.
    template <typename Predicate>
    bool waitFor(Predicate done)
    {
        QDeadlineTimer deadline(10s);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return true;
    }
    bool waitForPhase(const Phase& phase)
    {
        return waitFor([&] { return model->phase() == phase; });
    }
    // Lets the event loop run a while, for things that must not happen.
    void settle()
    {
        for (int i = 0; i < 50; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            QTest::qWait(1);
        }
    }

    bool countDownToRecording()
    {
        model->start();
        for (int n = 3; n >= 1; --n) {
            if (!waitForPhase(Phase::countingDown(n)))
                return false;
            clock->advance(1s);
        }
        return waitForPhase(Phase::recording());
    }
    // Records a little audio and stops; the save dialog answers from the script.
    bool recordAndStop()
    {
        if (!countDownToRecording())
            return false;
        deliver(480);
        deliver(480);
        model->stop();
        return waitFor([&] { return !model->phase().isBusy(); });
    }

    void deliver(std::uint32_t frames)
    {
        std::vector<char> bytes(frames * 8);
        AudioBufferList list{1, {{2, frames * 8, bytes.data()}}};
        hardware->deliver(&list);
    }
    QStringList recordings() const { return QDir(home.recordingsDirectory()).entryList(QDir::Files); }
    Result<void> shutdown() { return QCoro::waitFor(model->shutdownForTermination()); }

    test::ScopedCacheHome home;
    QTemporaryDir exports;
    std::shared_ptr<test::FakeMediaScript> script = std::make_shared<test::FakeMediaScript>();
    std::shared_ptr<test::FakeAssetScript> asset = std::make_shared<test::FakeAssetScript>();
    std::shared_ptr<test::ManualClock> clock = std::make_shared<test::ManualClock>();
    std::shared_ptr<test::ScriptedDesktopServices> desktop = std::make_shared<test::ScriptedDesktopServices>();
    SimulatedAudioHardware* hardware = nullptr;
    std::unique_ptr<RecorderViewModel> model;
    QList<Phase> phases;
};

} // namespace

class RecorderViewModelTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { ::umask(022); }

    // --- The road of one recording ---

    void recordingRoadEndsInTheExportedFile()
    {
        Rig rig;
        const QString destination = rig.exports.filePath(QStringLiteral("saved.mp4"));
        rig.desktop->savePanelAnswers = {destination};
        QByteArray recorded;
        // The temporary file is private; the export must not inherit that.
        rig.desktop->whileModal = [&] {
            const QString source = *rig.model->pendingTemporaryURL();
            QFile::setPermissions(source, QFile::ReadOwner | QFile::WriteOwner);
            recorded = contents(source);
        };

        QVERIFY(rig.countDownToRecording());
        QVERIFY(rig.waitFor([&] { return rig.clock->pendingSleeps() == 1; }));
        QVERIFY(rig.clock->requested == QList<std::chrono::nanoseconds>({1s, 1s, 1s, 100ms}));
        QCOMPARE(rig.model->elapsedSeconds(), 0.0);
        rig.clock->advance(100ms);
        QVERIFY(rig.waitFor([&] { return rig.model->elapsedSeconds() == 0.1; }));
        rig.clock->advance(250ms);
        QVERIFY(rig.waitFor([&] { return rig.model->elapsedSeconds() == 0.35; }));
        rig.deliver(480);
        rig.deliver(480);

        rig.model->stop();
        QCOMPARE(rig.model->phase(), Phase::exporting());
        QVERIFY(rig.waitFor([&] { return !rig.model->phase().isBusy(); }));

        const RecordingSummary summary{1.0, 4};
        QCOMPARE(rig.phases, QList<Phase>({Phase::preparing(), Phase::countingDown(3), Phase::countingDown(2),
                                           Phase::countingDown(1), Phase::recording(), Phase::exporting(),
                                           Phase::finished(destination, summary)}));
        QCOMPARE(rig.desktop->savePanels.size(), 1);
        const auto& panel = rig.desktop->savePanels.first();
        QCOMPARE(panel.title, QStringLiteral("保存Brisal录音"));
        QCOMPARE(panel.nameFieldLabel, QStringLiteral("文件名："));
        QCOMPARE(panel.suggestedName, kFirstName);
        QCOMPARE(panel.allowedSuffixes, QStringList({QStringLiteral("mp4")}));
        QVERIFY(panel.canCreateDirectories);

        QVERIFY(!recorded.isEmpty());
        QCOMPARE(contents(destination), recorded);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(destination).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0644u);
        QVERIFY(rig.recordings().isEmpty());
        QVERIFY(!rig.model->pendingTemporaryURL() && !rig.model->pendingSummary());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        // The clock stopped with the recording and kept its last value.
        QCOMPARE(rig.model->elapsedSeconds(), 0.35);
        QCOMPARE(rig.clock->pendingSleeps(), 0);

        // Nothing is left to export or to discard.
        rig.model->exportAgain();
        QCOMPARE(rig.desktop->savePanels.size(), 1);
        QCOMPARE(rig.model->phase(), Phase::finished(destination, summary));
        QVERIFY(QFileInfo::exists(destination));
    }

    void startAndStopAreIgnoredWhereTheyDoNotApply()
    {
        Rig rig;
        rig.model->stop();
        QVERIFY(rig.phases.isEmpty());

        rig.model->start();
        rig.model->start();
        rig.model->stop();
        QCOMPARE(rig.phases, QList<Phase>({Phase::preparing()}));
        QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        rig.model->start();
        rig.model->stop();
        QCOMPARE(rig.model->phase(), Phase::countingDown(3));
        for (int n = 3; n >= 1; --n) {
            QVERIFY(rig.waitForPhase(Phase::countingDown(n)));
            rig.clock->advance(1s);
        }
        QVERIFY(rig.waitForPhase(Phase::recording()));
        rig.model->start();
        rig.model->recordAgain();
        QCOMPARE(rig.model->phase(), Phase::recording());

        rig.deliver(100);
        // While the save dialog is up the phase is still exporting.
        rig.desktop->whileModal = [&] {
            QCOMPARE(rig.model->phase(), Phase::exporting());
            rig.model->start();
            rig.model->stop();
            rig.model->recordAgain();
            // A second dialog is never stacked on the first.
            rig.model->exportAgain();
        };
        rig.model->stop();
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::finished; }));
        QCOMPARE(rig.desktop->savePanels.size(), 1);
        QCOMPARE(rig.phases.count(Phase::preparing()), 1);
        QCOMPARE(rig.phases.count(Phase::exporting()), 1);
        QVERIFY(rig.desktop->alerts.isEmpty());
    }

    // --- Countdown and start failures ---

    void cancellingTheCountdownReleasesTheCaptureFirst_data()
    {
        QTest::addColumn<int>("secondsLeft");
        QTest::newRow("while preparing") << 0;
        QTest::newRow("at 3") << 3;
        QTest::newRow("at 2") << 2;
        QTest::newRow("at 1") << 1;
    }
    void cancellingTheCountdownReleasesTheCaptureFirst()
    {
        QFETCH(int, secondsLeft);
        Rig rig;
        QList<int> heldWhenIdle;
        QObject::connect(rig.model.get(), &RecorderViewModel::phaseChanged, rig.model.get(),
                         [&](const Phase& phase) {
                             if (phase == Phase::idle())
                                 heldWhenIdle.append(rig.hardware->heldObjects());
                         });
        rig.model->start();
        for (int n = 3; secondsLeft != 0 && n > secondsLeft; --n) {
            QVERIFY(rig.waitForPhase(Phase::countingDown(n)));
            rig.clock->advance(1s);
        }
        const Phase shown = secondsLeft == 0 ? Phase::preparing() : Phase::countingDown(secondsLeft);
        if (secondsLeft != 0)
            QVERIFY(rig.waitForPhase(shown));

        rig.model->cancelCountdown();
        QCOMPARE(rig.model->phase(), shown);
        // Woken at once: the clock is not moved again.
        QVERIFY(rig.waitForPhase(Phase::idle()));
        QCOMPARE(heldWhenIdle, QList<int>({0}));
        QCOMPARE(rig.phases.last(2).first(), shown);
        QVERIFY(rig.recordings().isEmpty());
        QVERIFY(rig.script->paths.isEmpty());
        QVERIFY(!rig.hardware->calls().contains(QStringLiteral("deviceStart")));
        QCOMPARE(rig.clock->pendingSleeps(), 0);
        rig.settle();
        QCOMPARE(rig.model->phase(), Phase::idle());
    }

    void cancelCountdownWithoutATaskDoesNothing()
    {
        Rig rig;
        rig.model->cancelCountdown();
        rig.settle();
        QVERIFY(rig.phases.isEmpty());
        QVERIFY(rig.hardware->calls().isEmpty());
    }

    void failedReleaseAfterCancellationIsReported()
    {
        Rig rig;
        rig.model->start();
        QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        rig.hardware->failCall(Call::destroyProcessTap, -2, 1);
        rig.model->cancelCountdown();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::failed; }));
        QCOMPARE(rig.model->phase(), Phase::failed(captureFailed(QStringLiteral("释放系统音频采集"), -2)));
        QCOMPARE(rig.model->phase().message(), QStringLiteral("释放系统音频采集失败（-2）。请检查系统音频录制权限后重试。"));
    }

    void failuresOfTheStartSequence_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QList<Phase>>("shown");
        const QList<Phase> countdown{Phase::preparing(), Phase::countingDown(3), Phase::countingDown(2),
                                     Phase::countingDown(1)};
        QTest::newRow("prepare") << int(Call::createProcessTap) << captureFailed(QStringLiteral("创建系统音频采集"), -5)
                                 << QList<Phase>{Phase::preparing()};
        QTest::newRow("prepare, after the tap") << int(Call::createAggregateDevice)
                                                << captureFailed(QStringLiteral("创建录音输入"), -5)
                                                << QList<Phase>{Phase::preparing()};
        QTest::newRow("start") << int(Call::deviceStart) << captureFailed(QStringLiteral("开始系统音频录制"), -5)
                               << countdown;
    }
    void failuresOfTheStartSequence()
    {
        QFETCH(int, call);
        QFETCH(QString, message);
        QFETCH(QList<Phase>, shown);
        Rig rig;
        rig.hardware->failCall(Call(call), -5);
        rig.clock->autoAdvance = true;
        rig.model->start();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::failed; }));
        QCOMPARE(rig.phases, shown + QList<Phase>{Phase::failed(message)});
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QVERIFY(rig.recordings().isEmpty());
        QVERIFY(rig.desktop->savePanels.isEmpty());
    }

    // --- Stop failures ---

    void stopWithoutAudioFailsAndLeavesNothingPending()
    {
        Rig rig;
        QVERIFY(rig.countDownToRecording());
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::failed; }));
        QCOMPARE(rig.phases.last(2), QList<Phase>({Phase::exporting(), Phase::failed(kNoAudio)}));
        QVERIFY(!rig.model->pendingTemporaryURL());
        QVERIFY(rig.desktop->savePanels.isEmpty());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        rig.model->exportAgain();
        QVERIFY(rig.desktop->savePanels.isEmpty());
    }

    void failedReleaseReplacesTheStopError()
    {
        Rig rig;
        QVERIFY(rig.countDownToRecording());
        rig.deliver(100);
        // The stop fails at the device and again at the tap; the release then
        // fails at the tap once more, and that is what the user reads.
        rig.hardware->failCall(Call::deviceStop, -3, 1);
        rig.hardware->failCall(Call::destroyProcessTap, -4, 2);
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::failed; }));
        QCOMPARE(rig.model->phase(), Phase::failed(captureFailed(QStringLiteral("释放系统音频采集"), -4)));
        QVERIFY(!rig.model->pendingTemporaryURL());
    }

    void invalidRecordingIsReportedAndNotOffered()
    {
        Rig rig;
        rig.asset->tracks = QList<MediaAsset::TrackID>();
        QVERIFY(rig.recordAndStop());
        QCOMPARE(rig.model->phase(), Phase::failed(QStringLiteral("导出的 MP4 中没有音频轨道。")));
        QVERIFY(rig.desktop->savePanels.isEmpty());
        QVERIFY(!rig.model->pendingTemporaryURL());
    }

    // --- Pending recordings, record again and retry ---

    void dismissedDialogKeepsTheRecordingPending()
    {
        Rig rig;
        QVERIFY(rig.recordAndStop());
        const QString temporary = rig.model->pendingTemporaryURL().value_or(QString());
        QVERIFY(Platform::isInsideTemporaryDirectory(temporary));
        QCOMPARE(rig.model->phase(), Phase::finished(temporary, RecordingSummary{1.0, 4}));
        QVERIFY(QFileInfo::exists(temporary));

        // Exporting again computes the name afresh.
        rig.clock->advance(61s);
        const QString destination = rig.exports.filePath(QStringLiteral("later.mp4"));
        rig.desktop->savePanelAnswers = {destination};
        rig.model->exportAgain();
        QCOMPARE(rig.desktop->savePanels.size(), 2);
        QCOMPARE(rig.desktop->savePanels.at(0).suggestedName, kFirstName);
        QVERIFY(rig.desktop->savePanels.at(1).suggestedName != kFirstName);
        QCOMPARE(rig.model->phase(), Phase::finished(destination, RecordingSummary{1.0, 4}));
        QVERIFY(!QFileInfo::exists(temporary));
        QVERIFY(!rig.model->pendingTemporaryURL());
    }

    void recordAgainAsksBeforeDiscarding_data()
    {
        QTest::addColumn<std::optional<int>>("answer");
        QTest::newRow("cancel") << std::optional<int>(1);
        QTest::newRow("closed") << std::optional<int>();
        QTest::newRow("discard") << std::optional<int>(0);
    }
    void recordAgainAsksBeforeDiscarding()
    {
        QFETCH(std::optional<int>, answer);
        Rig rig;
        QVERIFY(rig.recordAndStop());
        const QString temporary = *rig.model->pendingTemporaryURL();
        const Phase finished = rig.model->phase();
        rig.phases.clear();
        rig.desktop->alertAnswers = {answer};

        rig.model->recordAgain();
        QCOMPARE(rig.desktop->alerts.size(), 1);
        const auto& alert = rig.desktop->alerts.first();
        QCOMPARE(alert.style, DesktopServices::AlertStyle::warning);
        QCOMPARE(alert.messageText, QStringLiteral("这段录音还没有导出"));
        QCOMPARE(alert.informativeText,
                 QStringLiteral("再次录制会删除当前临时录音。请先点“再次导出”保存，或者确认放弃后继续。"));
        QCOMPARE(alert.buttons,
                 QList<DesktopServices::AlertButton>({{QStringLiteral("放弃并再次录制"), true, false},
                                                      {QStringLiteral("取消"), false, true}}));
        if (answer == 0) {
            QCOMPARE(rig.phases, QList<Phase>({Phase::idle(), Phase::preparing()}));
            QVERIFY(!QFileInfo::exists(temporary));
            QVERIFY(!rig.model->pendingTemporaryURL());
            QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        } else {
            rig.settle();
            QVERIFY(rig.phases.isEmpty());
            QCOMPARE(rig.model->phase(), finished);
            QCOMPARE(rig.model->pendingTemporaryURL(), std::optional<QString>(temporary));
            QVERIFY(QFileInfo::exists(temporary));
        }
    }

    void recordAgainWithNothingPendingStartsAtOnce()
    {
        Rig rig;
        rig.desktop->savePanelAnswers = {rig.exports.filePath(QStringLiteral("a.mp4"))};
        QVERIFY(rig.recordAndStop());
        rig.phases.clear();
        rig.model->recordAgain();
        QCOMPARE(rig.phases, QList<Phase>({Phase::idle(), Phase::preparing()}));
        QVERIFY(rig.desktop->alerts.isEmpty());
        QCOMPARE(rig.model->elapsedSeconds(), 0.0);
    }

    void startDiscardsAPendingRecordingWithoutAsking()
    {
        Rig rig;
        QVERIFY(rig.recordAndStop());
        const QString temporary = *rig.model->pendingTemporaryURL();
        rig.model->start();
        QCOMPARE(rig.model->phase(), Phase::preparing());
        QVERIFY(rig.desktop->alerts.isEmpty());
        QVERIFY(!QFileInfo::exists(temporary));
        QVERIFY(!rig.model->pendingTemporaryURL() && !rig.model->pendingSummary());
    }

    void pendingRecordingOutsideTheTemporaryDirectoryIsOnlyForgotten()
    {
        Rig rig;
        QVERIFY(rig.recordAndStop());
        const QString temporary = *rig.model->pendingTemporaryURL();
        // The temporary directory moves away from under the pending file.
        test::ScopedCacheHome elsewhere;
        QVERIFY(!Platform::isInsideTemporaryDirectory(temporary));
        rig.model->start();
        QVERIFY(!rig.model->pendingTemporaryURL());
        QVERIFY(QFileInfo::exists(temporary));
        rig.model->cancelCountdown();
        QVERIFY(rig.waitForPhase(Phase::idle()));
    }

    void retryAfterAFailedExportAsksFirst()
    {
        Rig rig;
        rig.desktop->savePanelAnswers = {rig.exports.filePath(QStringLiteral("missing/folder/x.mp4"))};
        QVERIFY(rig.recordAndStop());
        QVERIFY(rig.model->phase().message().startsWith(QStringLiteral("导出失败：")));
        const QString temporary = *rig.model->pendingTemporaryURL();

        rig.desktop->alertAnswers = {1};
        rig.model->retry();
        QCOMPARE(rig.desktop->alerts.size(), 1);
        QCOMPARE(rig.model->phase().kind(), Phase::Kind::failed);
        QVERIFY(QFileInfo::exists(temporary));

        rig.desktop->alertAnswers = {0};
        rig.model->retry();
        QCOMPARE(rig.desktop->alerts.size(), 2);
        QCOMPARE(rig.model->phase(), Phase::preparing());
        QVERIFY(!QFileInfo::exists(temporary));
    }

    void retryWithNothingPendingStartsAtOnce()
    {
        Rig rig;
        rig.hardware->failCall(Call::createProcessTap, -5, 1);
        rig.model->retry();
        QVERIFY(rig.phases.isEmpty());
        rig.model->start();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::failed; }));
        rig.model->retry();
        QCOMPARE(rig.model->phase(), Phase::preparing());
        QVERIFY(rig.desktop->alerts.isEmpty());
        QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
    }

    // --- Export ---

    void exportReplacesAnExistingDestination()
    {
        Rig rig;
        const QString destination = rig.exports.filePath(QStringLiteral("existing.mp4"));
        QVERIFY(Platform::writeAtomically("an older recording", destination).ok());
        rig.desktop->savePanelAnswers = {destination};
        QByteArray recorded;
        rig.desktop->whileModal = [&] { recorded = contents(*rig.model->pendingTemporaryURL()); };
        QVERIFY(rig.recordAndStop());
        QCOMPARE(rig.model->phase().kind(), Phase::Kind::finished);
        QCOMPARE(contents(destination), recorded);
        QCOMPARE(QDir(rig.exports.path()).entryList(QDir::Files | QDir::Hidden), QStringList({QStringLiteral("existing.mp4")}));
    }

    void failedExportKeepsBothFiles_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<bool>("sourceVanishes");
        QTest::newRow("below a regular file") << QStringLiteral("plain-file/inside.mp4") << false;
        QTest::newRow("missing folder") << QStringLiteral("missing/inside.mp4") << false;
        QTest::newRow("existing destination, copy fails") << QStringLiteral("existing.mp4") << true;
    }
    void failedExportKeepsBothFiles()
    {
        QFETCH(QString, destination);
        QFETCH(bool, sourceVanishes);
        Rig rig;
        QVERIFY(Platform::writeAtomically("not a folder", rig.exports.filePath(QStringLiteral("plain-file"))).ok());
        QVERIFY(Platform::writeAtomically("an older recording", rig.exports.filePath(QStringLiteral("existing.mp4"))).ok());
        const QString target = rig.exports.filePath(destination);
        rig.desktop->savePanelAnswers = {target};
        QString moved;
        if (sourceVanishes) {
            // The copy cannot read its source: an existing destination must survive.
            rig.desktop->whileModal = [&] {
                moved = rig.exports.filePath(QStringLiteral("moved-away"));
                QVERIFY(QFile::rename(*rig.model->pendingTemporaryURL(), moved));
            };
        }
        QVERIFY(rig.recordAndStop());
        const QString message = rig.model->phase().message();
        QCOMPARE(rig.model->phase().kind(), Phase::Kind::failed);
        QVERIFY2(message.startsWith(QStringLiteral("导出失败：")) && message.size() > 5, qPrintable(message));
        QCOMPARE(contents(rig.exports.filePath(QStringLiteral("existing.mp4"))), QByteArray("an older recording"));
        QCOMPARE(QDir(rig.exports.path()).entryList(QDir::Files | QDir::Hidden).size(), sourceVanishes ? 3 : 2);
        const QString temporary = rig.model->pendingTemporaryURL().value_or(QString());
        QVERIFY(!temporary.isEmpty());
        QVERIFY(rig.model->pendingSummary().has_value());

        // The pending recording can still be exported.
        rig.desktop->whileModal = {};
        if (sourceVanishes)
            QVERIFY(QFile::rename(moved, temporary));
        QVERIFY(QFileInfo::exists(temporary));
        const QByteArray recorded = contents(temporary);
        const QString second = rig.exports.filePath(QStringLiteral("second try.mp4"));
        rig.desktop->savePanelAnswers = {second};
        rig.model->exportAgain();
        QCOMPARE(rig.model->phase(), Phase::finished(second, RecordingSummary{1.0, 4}));
        QCOMPARE(contents(second), recorded);
        QVERIFY(!QFileInfo::exists(temporary));
    }

    void exportAgainWithNothingPendingDoesNothing()
    {
        Rig rig;
        rig.model->exportAgain();
        QVERIFY(rig.phases.isEmpty());
        QVERIFY(rig.desktop->savePanels.isEmpty());
        QVERIFY(rig.countDownToRecording());
        rig.model->exportAgain();
        QCOMPARE(rig.model->phase(), Phase::recording());
        QVERIFY(rig.desktop->savePanels.isEmpty());
    }

    void openScreenRecordingSettingsOpensTheSoundSettings()
    {
        Rig rig;
        rig.model->openScreenRecordingSettings();
        QCOMPARE(rig.desktop->soundSettingsOpened, 1);
        QVERIFY(rig.phases.isEmpty());
    }

    // --- Termination ---

    void terminationRefusesStartForGood()
    {
        Rig rig;
        QVERIFY(rig.shutdown().ok());
        rig.model->start();
        rig.model->recordAgain();
        rig.settle();
        QVERIFY(!rig.phases.contains(Phase::preparing()));
        QCOMPARE(rig.model->phase(), Phase::idle());
        QVERIFY(!rig.hardware->calls().contains(QStringLiteral("createProcessTap")));
        QVERIFY(rig.model->isTerminating());
    }

    void terminationDuringTheCountdown()
    {
        Rig rig;
        rig.model->start();
        QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        rig.clock->advance(1s);
        QVERIFY(rig.waitForPhase(Phase::countingDown(2)));
        const auto shut = rig.shutdown();
        QVERIFY(shut.ok());
        QCOMPARE(rig.model->phase(), Phase::idle());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QVERIFY(!rig.hardware->calls().contains(QStringLiteral("deviceStart")));
    }

    void terminationWhileRecordingDiscardsTheFile()
    {
        Rig rig;
        QVERIFY(rig.countDownToRecording());
        rig.deliver(100);
        QCOMPARE(rig.recordings().size(), 1);
        QVERIFY(rig.shutdown().ok());
        QVERIFY(rig.recordings().isEmpty());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QVERIFY(rig.desktop->savePanels.isEmpty());
        QCOMPARE(rig.clock->pendingSleeps(), 0);
    }

    void failedReleaseFailsTheTermination()
    {
        Rig rig;
        rig.model->start();
        QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        rig.hardware->failCall(Call::destroyProcessTap, -7, 1);
        const auto shut = rig.shutdown();
        QVERIFY(!shut.ok());
        QCOMPARE(shut.error().localizedDescription(), captureFailed(QStringLiteral("释放系统音频采集"), -7));
        // Quitting again retries, and this time the release works.
        QVERIFY(rig.shutdown().ok());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QVERIFY(rig.waitFor([&] { return !rig.model->phase().isBusy(); }));
        rig.model->start();
        QVERIFY(!rig.model->phase().isBusy());
    }

    void finishSequenceDuringTerminationStoresThePendingFile()
    {
        Rig rig;
        QSemaphore finishing;
        QSemaphore proceed;
        rig.script->onFinish = [&] {
            finishing.release();
            proceed.acquire();
        };
        QVERIFY(rig.countDownToRecording());
        rig.deliver(480);
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return finishing.available() == 1; }));

        auto shutdown = rig.model->shutdownForTermination();
        QVERIFY(rig.model->isTerminating());
        proceed.release();
        QVERIFY(QCoro::waitFor(std::move(shutdown)).ok());

        QCOMPARE(rig.model->phase(), Phase::exporting());
        QVERIFY(rig.desktop->savePanels.isEmpty());
        const QString temporary = rig.model->pendingTemporaryURL().value_or(QString());
        QVERIFY(QFileInfo::exists(temporary));
        QCOMPARE(rig.model->pendingSummary(), std::optional<RecordingSummary>(RecordingSummary{1.0, 4}));
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }

    void terminationDuringTheSaveDialogWaitsForTheExport()
    {
        Rig rig;
        const QString destination = rig.exports.filePath(QStringLiteral("during quit.mp4"));
        rig.desktop->savePanelAnswers = {destination};
        std::optional<Result<void>> shut;
        rig.desktop->whileModal = [&] {
            // A quit request arrives while the dialog's own event loop runs.
            QCoro::connect(rig.model->shutdownForTermination(), rig.model.get(),
                           [&](Result<void> result) { shut = result; });
            rig.settle();
            QVERIFY(!shut);
        };
        QVERIFY(rig.recordAndStop());
        QVERIFY(rig.waitFor([&] { return shut.has_value(); }));
        QVERIFY(shut->ok());
        QCOMPARE(rig.model->phase().kind(), Phase::Kind::finished);
        QVERIFY(QFileInfo::exists(destination));
    }

    void destroyingTheModelEndsItsTasksQuietly()
    {
        Rig rig;
        rig.model->start();
        QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        // The model takes the service and its hardware with it; the sleeping
        // task wakes later and must touch nothing.
        rig.hardware = nullptr;
        rig.model.reset();
        rig.clock->advance(5s);
        rig.settle();
        QVERIFY(rig.phases.size() == 2);
    }
};

QTEST_GUILESS_MAIN(RecorderViewModelTest)
#include "tst_recorderviewmodel.moc"
