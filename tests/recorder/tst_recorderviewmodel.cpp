#include "base/Platform.h"
#include "support/RecorderRig.h"
#include "support/ScopedEnvironmentVariable.h"
#include "support/ScopedTmpfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <sys/stat.h>

using namespace vessaro;
using namespace std::chrono_literals;
using Phase = RecorderViewModel::Phase;
using Kind = Phase::Kind;
using Call = SimulatedAudioHardware::Call;
using Rig = test::RecorderRig;

namespace {

// The first dialog opens once the countdown has moved the clock by three seconds.
const QString kFirstName = QStringLiteral("系统音频 2027-01-15 08.00.03.mp4");
const RecordingSummary kSummary { 1.0, 4 };

} // namespace

class RecorderViewModelTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { ::umask(022); }

    void recordingRoadEndsInTheExportedFile()
    {
        Rig rig;
        // A home without a Music folder: the first save dialog opens at home.
        QTemporaryDir home;
        test::ScopedEnvironmentVariable homeVariable("HOME", QFile::encodeName(home.path()));
        test::ScopedEnvironmentVariable configVariable("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
        const QString destination = rig.exports.filePath(QStringLiteral("saved.mp4"));
        rig.desktop->savePanelAnswers = { destination };
        QByteArray recorded;
        // The temporary file is private; the export must not inherit that.
        rig.desktop->whileModal = [&] {
            QFile::setPermissions(rig.pending(), QFile::ReadOwner | QFile::WriteOwner);
            recorded = Rig::contents(rig.pending());
        };
        QVERIFY(rig.countDownTo());
        rig.clock->advance(350ms);
        QVERIFY(rig.waitFor([&] { return rig.model->elapsedSeconds() == 0.35; }));
        rig.deliver();
        rig.deliver();
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return !rig.model->phase().isBusy(); }));

        QCOMPARE(rig.phases,
            QList<Phase>({ Phase::preparing(), Phase::countingDown(3), Phase::countingDown(2), Phase::countingDown(1),
                Phase::recording(), Phase::exporting(), Phase::finished(destination, kSummary) }));
        QCOMPARE(rig.desktop->savePanels,
            QList<DesktopServices::SavePanel>({ { QStringLiteral("保存Brisal录音"), QStringLiteral("文件名："),
                kFirstName, { QStringLiteral("mp4") }, true, home.path() } }));
        QVERIFY(!recorded.isEmpty());
        QCOMPARE(Rig::contents(destination), recorded);
        struct stat info { };
        QCOMPARE(::stat(QFile::encodeName(destination).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0644u);
        QVERIFY(rig.recordings().isEmpty());
        QVERIFY(!rig.model->pendingTemporaryPath() && !rig.model->pendingSummary());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        // The clock stopped with the recording and kept its last value.
        QCOMPARE(rig.model->elapsedSeconds(), 0.35);
        QCOMPARE(rig.clock->pendingSleeps(), 0);

        // A take of nothing but zeros is still offered, and flagged until the next start.
        QVERIFY(rig.model->isSilent());
        rig.model->start();
        QVERIFY(!rig.model->isSilent());
        // The next save dialog opens where the last export went.
        rig.desktop->whileModal = {};
        QVERIFY(rig.recordAndStop());
        QCOMPARE(rig.desktop->savePanels.value(1).directory, rig.exports.path());
    }

    // While recording the capture's events show at once; the phase stays
    // recording until stop, and the clock stands at what was captured.
    void theRunningCaptureSpeaksUpAtOnce()
    {
        Rig rig;
        QVERIFY(rig.countDownTo());
        rig.deliver(4800, 0.25F);
        QVERIFY(rig.hardware->reportEvent(AudioDeviceEvent::followedOutput));
        QVERIFY(rig.waitFor([&] { return rig.model->transientNote() == QStringLiteral("已切换到新的输出设备"); }));
        QVERIFY(rig.hardware->reportEvent(AudioDeviceEvent::reconnected));
        QVERIFY(rig.waitFor([&] { return rig.model->transientNote() == QStringLiteral("声音服务已重新连接"); }));
        rig.clock->advance(RecorderViewModel::noteDuration);
        QVERIFY(rig.waitFor([&] { return rig.model->transientNote().isEmpty(); }));

        QVERIFY(rig.hardware->reportLoss(0));
        QVERIFY(rig.waitFor([&] { return !rig.model->interruptionReason().isEmpty(); }));
        QCOMPARE(rig.model->phase(), Phase::recording());
        // A second happening neither replaces the reason nor moves the clock.
        rig.clock->advance(5s);
        QVERIFY(rig.hardware->reportEvent(AudioDeviceEvent::serverLost));
        rig.settle();
        QCOMPARE(rig.model->elapsedSeconds(), 0.1);

        // Stop tells the failure, and what came before it waits for "再次导出".
        rig.model->stop();
        QVERIFY(rig.waitForKind(Kind::failed));
        QVERIFY(rig.model->interruptionReason().isEmpty());
        rig.desktop->savePanelAnswers = { rig.exports.filePath(QStringLiteral("kept.mp4")) };
        rig.model->exportAgain();
        QCOMPARE(rig.model->phase().kind(), Kind::finished);
        QVERIFY(!rig.model->isSilent());
    }

    void operationsAreIgnoredWhereTheyDoNotApply()
    {
        Rig rig;
        const auto others = [&](bool stopToo) {
            rig.model->start();
            rig.model->recordAgain();
            rig.model->exportAgain();
            rig.model->retry();
            if (stopToo)
                rig.model->stop();
        };
        rig.model->stop();
        rig.model->cancelCountdown();
        rig.model->exportAgain();
        rig.model->retry();
        rig.settle();
        QVERIFY(rig.phases.isEmpty() && rig.hardware->calls().isEmpty());
        rig.model->openScreenRecordingSettings();
        QCOMPARE(rig.desktop->soundSettingsOpened, 1);

        rig.model->start();
        others(true);
        QCOMPARE(rig.phases, QList<Phase>({ Phase::preparing() }));
        QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        others(true);
        QVERIFY(rig.countDownTo());
        others(false);
        QCOMPARE(rig.model->phase(), Phase::recording());

        // While the save dialog is up the phase is still exporting, and a
        // second dialog is never stacked on the first.
        rig.desktop->whileModal = [&] {
            QCOMPARE(rig.model->phase(), Phase::exporting());
            others(true);
        };
        rig.deliver();
        rig.model->stop();
        rig.model->stop();
        QVERIFY(rig.waitForKind(Kind::finished));
        QCOMPARE(rig.desktop->savePanels.size(), 1);
        QCOMPARE(rig.phases.count(Phase::preparing()), 1);
        QCOMPARE(rig.phases.count(Phase::exporting()), 1);
        QVERIFY(rig.desktop->alerts.isEmpty());
    }

    // The phase holds until the capture is released; a failed release is what
    // the user reads.
    void cancellingTheCountdownReleasesTheCaptureFirst_data()
    {
        QTest::addColumn<int>("secondsLeft"); // 0: while preparing
        QTest::addColumn<int>("releaseStatus");
        QTest::newRow("while preparing") << 0 << 0;
        QTest::newRow("at 1") << 1 << 0;
        QTest::newRow("at 3, release fails") << 3 << -2;
    }
    void cancellingTheCountdownReleasesTheCaptureFirst()
    {
        QFETCH(int, secondsLeft);
        QFETCH(int, releaseStatus);
        Rig rig;
        QList<int> heldWhenIdle;
        QObject::connect(rig.model.get(), &RecorderViewModel::phaseChanged, rig.model.get(), [&](const Phase& phase) {
            if (phase == Phase::idle())
                heldWhenIdle.append(rig.hardware->heldObjects());
        });
        if (secondsLeft == 0)
            rig.model->start();
        else
            QVERIFY(rig.countDownTo(secondsLeft));
        const Phase shown = rig.model->phase();
        rig.hardware->failCall(Call::destroyProcessTap, releaseStatus, 1);

        rig.model->cancelCountdown();
        QCOMPARE(rig.model->phase(), shown);
        // Woken at once: the clock is not moved again.
        QVERIFY(rig.waitFor([&] { return !rig.model->phase().isBusy(); }));
        QCOMPARE(rig.phases.last(2).first(), shown);
        QCOMPARE(rig.model->phase().kind(), releaseStatus == 0 ? Kind::idle : Kind::failed);
        QVERIFY(releaseStatus == 0 || rig.model->phase().message().contains(QString::number(releaseStatus)));
        QCOMPARE(heldWhenIdle, releaseStatus == 0 ? QList<int>({ 0 }) : QList<int>());
        QVERIFY(rig.script->paths.isEmpty());
        QCOMPARE(rig.clock->pendingSleeps(), 0);
    }

    // Every failure releases the capture and says why; a failed release
    // replaces the error it follows.
    void failuresAreReported_data()
    {
        QTest::addColumn<int>("call"); // -1: none
        QTest::addColumn<int>("chunks"); // -1: fails before recording
        QTest::addColumn<Phase>("before");
        QTest::addColumn<QString>("says"); // a part of the message
        QTest::newRow("prepare, after the tap") << int(Call::createAggregateDevice) << -1 << Phase::preparing() << "-5";
        QTest::newRow("start") << int(Call::deviceStart) << -1 << Phase::countingDown(1) << "-5";
        QTest::newRow("no audio") << -1 << 0 << Phase::exporting()
                                  << RecorderError::noAudioReceived().localizedDescription();
        // The stop fails at the device (-3), then at the tap; the release
        // fails at the tap once more, and that is what the user reads.
        QTest::newRow("stop, then release") << int(Call::destroyProcessTap) << 1 << Phase::exporting() << "-5";
    }
    void failuresAreReported()
    {
        QFETCH(int, call);
        QFETCH(int, chunks);
        QFETCH(Phase, before);
        QFETCH(QString, says);
        Rig rig;
        if (call >= 0)
            rig.hardware->failCall(Call(call), -5, chunks < 0 ? -1 : 2);
        if (chunks > 0)
            rig.hardware->failCall(Call::deviceStop, -3, 1);
        if (chunks < 0) {
            rig.clock->autoAdvance = true;
            rig.model->start();
            QVERIFY(rig.waitFor([&] { return !rig.model->phase().isBusy(); }));
        } else {
            QVERIFY(rig.recordAndStop(chunks));
        }
        QCOMPARE(rig.phases.last(2).first(), before);
        QCOMPARE(rig.model->phase().kind(), Kind::failed);
        QVERIFY2(rig.model->phase().message().contains(says), qPrintable(rig.model->phase().message()));
        QVERIFY(rig.hardware->heldObjects() == 0 || chunks > 0);
        QVERIFY(!rig.model->pendingTemporaryPath());
    }

    // A dismissed dialog or a failed export leaves the recording pending;
    // which ways of starting over ask before deleting it. Only our own
    // temporary files are deleted: one elsewhere is just forgotten.
    void startingOverWithAPendingRecording_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("asks");
        QTest::addColumn<std::optional<int>>("answer");
        const auto row
            = [](const char* name, const char* before, const char* action, bool asks, std::optional<int> answer = {}) {
                  QTest::newRow(name) << QString::fromLatin1(before) << QString::fromLatin1(action) << asks << answer;
              };
        row("start discards unasked", "dismissed", "start", false);
        row("start forgets a file outside", "moved away", "start", false);
        row("record again, cancel", "dismissed", "recordAgain", true, 1);
        row("record again, closed", "dismissed", "recordAgain", true);
        row("record again, discard", "dismissed", "recordAgain", true, 0);
        row("record again, nothing pending", "exported", "recordAgain", false);
        row("retry after failed export, cancel", "export failed", "retry", true, 1);
        row("retry, nothing pending", "start failed", "retry", false);
    }
    void startingOverWithAPendingRecording()
    {
        QFETCH(QString, before);
        QFETCH(QString, action);
        QFETCH(bool, asks);
        QFETCH(std::optional<int>, answer);
        Rig rig;
        if (before == QLatin1String("start failed")) {
            rig.hardware->failCall(Call::createProcessTap, -5, 1);
            rig.model->start();
            QVERIFY(rig.waitForKind(Kind::failed));
        } else {
            if (before == QLatin1String("exported") || before == QLatin1String("export failed"))
                rig.desktop->savePanelAnswers = { rig.exports.filePath(
                    before == QLatin1String("exported") ? QStringLiteral("a.mp4") : QStringLiteral("missing/x.mp4")) };
            QVERIFY(rig.recordAndStop());
        }
        const QString temporary = rig.pending();
        QCOMPARE(QFileInfo::exists(temporary), asks || action == QLatin1String("start"));
        // The temporary directory moves away from under the pending file.
        std::optional<test::ScopedCacheHome> elsewhere;
        if (before == QLatin1String("moved away"))
            elsewhere.emplace();
        const Phase shown = rig.model->phase();
        rig.phases.clear();
        rig.desktop->alertAnswers = { answer };

        if (action == QLatin1String("start"))
            rig.model->start();
        else if (action == QLatin1String("retry"))
            rig.model->retry();
        else
            rig.model->recordAgain();
        const DesktopServices::Alert alert { DesktopServices::AlertStyle::warning, QStringLiteral("这段录音还没有导出"),
            QStringLiteral("再次录制会删除当前临时录音。请先点“再次导出”保存，或者确认放弃后继续。"),
            { { QStringLiteral("放弃并再次录制"), true, false }, { QStringLiteral("取消"), false, true } } };
        QCOMPARE(
            rig.desktop->alerts, asks ? QList<DesktopServices::Alert>({ alert }) : QList<DesktopServices::Alert>());
        const bool startsOver = !asks || answer == 0;
        if (!startsOver)
            rig.settle();
        QCOMPARE(rig.phases.isEmpty(), !startsOver);
        QCOMPARE(rig.model->phase(), startsOver ? Phase::preparing() : shown);
        QCOMPARE(rig.pending(), startsOver ? QString() : temporary);
        QCOMPARE(QFileInfo::exists(temporary), !startsOver || bool(elsewhere));
    }

    void exportIntoTheChosenPlace_data()
    {
        QTest::addColumn<QString>("destination"); // "link.mp4": a link to the pending file
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<bool>("mounted"); // a tmpfs at "mnt"
        QTest::newRow("replaces an existing file") << QStringLiteral("existing.mp4") << true << false;
        QTest::newRow("missing folder") << QStringLiteral("missing/inside.mp4") << false << false;
        QTest::newRow("another file system") << QStringLiteral("mnt/other.mp4") << true << true;
        // Saved onto the pending file itself (here through a link): it stays.
        QTest::newRow("onto the pending file") << QStringLiteral("link.mp4") << true << false;
    }
    void exportIntoTheChosenPlace()
    {
        QFETCH(QString, destination);
        QFETCH(bool, succeeds);
        QFETCH(bool, mounted);
        Rig rig;
        std::optional<test::ScopedTmpfs> mount;
        if (mounted
            && !mount.emplace(rig.exports.filePath(QStringLiteral("mnt")), test::ScopedTmpfs::Access::readWrite)
                    .isMounted())
            QSKIP("mounting a tmpfs needs root");
        QVERIFY(Platform::writeAtomically("an older recording", rig.exports.filePath(QStringLiteral("existing.mp4"))));
        QString temporary;
        const QString saved = rig.exports.filePath(destination);
        QByteArray recorded;
        rig.desktop->whileModal = [&] {
            temporary = rig.pending();
            recorded = Rig::contents(temporary);
            if (destination == QLatin1String("link.mp4"))
                QVERIFY(QFile::link(temporary, saved));
            rig.desktop->savePanelAnswers = { saved };
        };
        QVERIFY(rig.recordAndStop());
        QVERIFY(!recorded.isEmpty());
        if (succeeds) {
            QCOMPARE(rig.model->phase(), Phase::finished(saved, kSummary));
            QCOMPARE(Rig::contents(saved), recorded);
            QCOMPARE(QFileInfo::exists(temporary), destination == QLatin1String("link.mp4"));
            QVERIFY(!rig.model->pendingTemporaryPath());
            return;
        }
        QCOMPARE(rig.model->phase().kind(), Kind::failed);
        QVERIFY(rig.model->phase().message().startsWith(QStringLiteral("导出失败：")));
        QCOMPARE(rig.pending(), temporary);

        // The pending recording can still be exported, under a name computed afresh.
        rig.desktop->whileModal = {};
        rig.clock->advance(61s);
        const QString second = rig.exports.filePath(QStringLiteral("second try.mp4"));
        rig.desktop->savePanelAnswers = { second };
        rig.model->exportAgain();
        QCOMPARE(rig.model->phase(), Phase::finished(second, kSummary));
        QCOMPARE(Rig::contents(second), recorded);
        QVERIFY(!QFileInfo::exists(temporary));
        QVERIFY(rig.desktop->savePanels.at(1).suggestedName != kFirstName);
    }

    // After termination nothing is held or left behind, and start is refused
    // for good (a failed release is the delegate's test).
    void terminationReleasesEverything_data()
    {
        QTest::addColumn<bool>("recording");
        QTest::newRow("counting down") << false;
        QTest::newRow("recording") << true;
    }
    void terminationReleasesEverything()
    {
        QFETCH(bool, recording);
        Rig rig;
        QVERIFY(rig.countDownTo(recording ? 0 : 2));
        if (recording)
            rig.deliver();
        QVERIFY(rig.shutdown().ok());
        QVERIFY(rig.waitFor([&] { return !rig.model->phase().isBusy() || recording; }));
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QVERIFY(rig.recordings().isEmpty());
        QVERIFY(rig.desktop->savePanels.isEmpty());
        QCOMPARE(rig.clock->pendingSleeps(), 0);
        QCOMPARE(rig.script->paths.isEmpty(), !recording);

        const qsizetype calls = rig.hardware->calls().size();
        const qsizetype shown = rig.phases.size();
        rig.model->start();
        rig.model->recordAgain();
        rig.settle();
        QVERIFY(!rig.phases.mid(shown).contains(Phase::preparing()));
        QCOMPARE(rig.hardware->calls().size(), calls);
    }

    // A quit during the finish keeps the file pending and opens no dialog; a
    // quit during the dialog waits for the export.
    void terminationWhileFinishing_data()
    {
        QTest::addColumn<bool>("inDialog");
        QTest::newRow("while the capture finishes") << false;
        QTest::newRow("while the save dialog is up") << true;
    }
    void terminationWhileFinishing()
    {
        QFETCH(bool, inDialog);
        Rig rig;
        const QString destination = rig.exports.filePath(QStringLiteral("during quit.mp4"));
        rig.desktop->savePanelAnswers = { destination };
        QSemaphore finishing;
        QSemaphore proceed;
        std::optional<Result<void>> shut;
        const auto quit = [&] {
            QCoro::connect(rig.model->shutdownForTermination(), rig.model.get(), [&](Result<void> r) { shut = r; });
        };
        if (inDialog) {
            rig.desktop->whileModal = [&] {
                quit();
                rig.settle();
                QVERIFY(!shut);
            };
        } else {
            rig.script->onFinish = [&] {
                finishing.release();
                proceed.acquire();
            };
        }
        QVERIFY(rig.countDownTo());
        rig.deliver();
        rig.model->stop();
        if (!inDialog) {
            QVERIFY(rig.waitFor([&] { return finishing.available() == 1; }));
            quit();
            proceed.release();
        }
        QVERIFY(rig.waitFor([&] { return shut.has_value(); }));
        QVERIFY(shut->ok());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QCOMPARE(rig.model->phase(), inDialog ? Phase::finished(destination, kSummary) : Phase::exporting());
        QCOMPARE(rig.desktop->savePanels.size(), inDialog ? 1 : 0);
        QCOMPARE(QFileInfo::exists(rig.pending()), !inDialog);
        QCOMPARE(rig.model->pendingSummary().has_value(), !inDialog);
    }

    // A leftover of an earlier run is taken only by an idle recorder with
    // nothing pending.
    void aLeftoverIsAdoptedOnlyWhenIdle_data()
    {
        QTest::addColumn<QString>("state");
        QTest::newRow("idle") << QStringLiteral("idle");
        QTest::newRow("recording") << QStringLiteral("recording");
        QTest::newRow("pending") << QStringLiteral("pending");
        QTest::newRow("terminating") << QStringLiteral("terminating");
    }
    void aLeftoverIsAdoptedOnlyWhenIdle()
    {
        QFETCH(QString, state);
        Rig rig;
        if (state == QLatin1String("recording"))
            QVERIFY(rig.countDownTo());
        else if (state == QLatin1String("pending"))
            QVERIFY(rig.recordAndStop());
        else if (state == QLatin1String("terminating"))
            QVERIFY(rig.shutdown().ok());
        const Phase before = rig.model->phase();
        const QString pending = rig.pending();
        const QString leftover = rig.exports.filePath(QStringLiteral("leftover.mp4"));
        rig.model->adoptLeftoverRecording(leftover, kSummary, {});
        const bool adopted = state == QLatin1String("idle");
        QCOMPARE(rig.model->phase(), adopted ? Phase::finished(leftover, kSummary) : before);
        QCOMPARE(rig.pending(), adopted ? leftover : pending);
    }

    void destroyingTheModelEndsItsTasksQuietly()
    {
        Rig rig;
        QVERIFY(rig.countDownTo(3));
        // The model takes the service and its hardware with it; the sleeping
        // task wakes later and must touch nothing.
        rig.hardware = nullptr;
        rig.model.reset();
        rig.clock->advance(5s);
        rig.settle();
        QCOMPARE(rig.phases.size(), 2);
    }
};

QTEST_GUILESS_MAIN(RecorderViewModelTest)
#include "tst_recorderviewmodel.moc"
