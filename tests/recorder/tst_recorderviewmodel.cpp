#include "base/Platform.h"
#include "recorder/RecorderViewModel.h"
#include "support/RecorderRig.h"
#include "support/ScopedEnvironmentVariable.h"
#include "support/ScopedTmpfs.h"
#include "support/ScriptedDesktopServices.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <sys/stat.h>

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

// The first dialog opens once the countdown has moved the clock by three seconds.
const QString kFirstName = QStringLiteral("系统音频 2027-01-15 08.00.03.mp4");
const RecordingSummary kSummary{1.0, 4};

QString captureFailed(const char* step, int status)
{
    return RecorderError::captureFailed(QString::fromUtf8(step), status).localizedDescription();
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using Rig = test::RecorderRig;

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
        rig.desktop->savePanelAnswers = {destination};
        QByteArray recorded;
        // The temporary file is private; the export must not inherit that.
        rig.desktop->whileModal = [&] {
            QFile::setPermissions(rig.pending(), QFile::ReadOwner | QFile::WriteOwner);
            recorded = contents(rig.pending());
        };
        QVERIFY(rig.countDownTo());
        QVERIFY(rig.waitFor([&] { return rig.clock->pendingSleeps() == 1; }));
        QVERIFY(rig.clock->requested == QList<std::chrono::nanoseconds>({1s, 1s, 1s, 100ms}));
        rig.clock->advance(350ms);
        QVERIFY(rig.waitFor([&] { return rig.model->elapsedSeconds() == 0.35; }));
        rig.deliver();
        rig.deliver();
        rig.model->stop();
        QCOMPARE(rig.model->phase(), Phase::exporting());
        QVERIFY(rig.waitFor([&] { return !rig.model->phase().isBusy(); }));

        QCOMPARE(rig.phases,
            QList<Phase>({Phase::preparing(), Phase::countingDown(3), Phase::countingDown(2), Phase::countingDown(1),
                Phase::recording(), Phase::exporting(), Phase::finished(destination, kSummary)}));
        QCOMPARE(rig.desktop->savePanels,
            QList<DesktopServices::SavePanel>({{QStringLiteral("保存Brisal录音"), QStringLiteral("文件名："),
                kFirstName, {QStringLiteral("mp4")}, true, home.path()}}));
        QVERIFY(!recorded.isEmpty());
        QCOMPARE(contents(destination), recorded);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(destination).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0644u);
        QVERIFY(rig.recordings().isEmpty());
        QVERIFY(!rig.model->pendingTemporaryPath() && !rig.model->pendingSummary());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        // The clock stopped with the recording and kept its last value.
        QCOMPARE(rig.model->elapsedSeconds(), 0.35);
        QCOMPARE(rig.clock->pendingSleeps(), 0);

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
        QCOMPARE(rig.model->elapsedSeconds(), 0.1);
        rig.clock->advance(5s);
        rig.settle();
        QCOMPARE(rig.model->elapsedSeconds(), 0.1);
        // A second happening does not replace the first reason or move the clock.
        QVERIFY(rig.hardware->reportEvent(AudioDeviceEvent::serverLost));
        rig.settle();
        QCOMPARE(rig.model->elapsedSeconds(), 0.1);

        // Stop tells the failure, and what came before it waits for "再次导出".
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::failed; }));
        QVERIFY(rig.model->interruptionReason().isEmpty());
        QCOMPARE(rig.recordings().size(), 1);
        QVERIFY(rig.desktop->savePanels.isEmpty());
        rig.desktop->savePanelAnswers = {rig.exports.filePath(QStringLiteral("kept.mp4"))};
        rig.model->exportAgain();
        QCOMPARE(rig.model->phase().kind(), Phase::Kind::finished);
        QVERIFY(rig.recordings().isEmpty());
    }

    // A take of nothing but zeros is still offered, and flagged; the next
    // take with sound is not.
    void aSilentTakeIsFlagged()
    {
        Rig rig;
        QVERIFY(rig.recordAndStop());
        QCOMPARE(rig.model->phase().kind(), Phase::Kind::finished);
        QVERIFY(rig.model->pendingTemporaryPath());
        QVERIFY(rig.model->isSilent());
        rig.model->start();
        QVERIFY(!rig.model->isSilent());
        QVERIFY(rig.countDownTo());
        rig.deliver(480, 0.25F);
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::finished; }));
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
        QCOMPARE(rig.phases, QList<Phase>({Phase::preparing()}));
        QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        others(true);
        QCOMPARE(rig.model->phase(), Phase::countingDown(3));
        QVERIFY(rig.countDownTo());
        others(false);
        QCOMPARE(rig.model->phase(), Phase::recording());

        rig.deliver();
        // While the save dialog is up the phase is still exporting, and a
        // second dialog is never stacked on the first.
        rig.desktop->whileModal = [&] {
            QCOMPARE(rig.model->phase(), Phase::exporting());
            others(true);
        };
        rig.model->stop();
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::finished; }));
        QCOMPARE(rig.desktop->savePanels.size(), 1);
        QCOMPARE(rig.phases.count(Phase::preparing()), 1);
        QCOMPARE(rig.phases.count(Phase::exporting()), 1);
        QVERIFY(rig.desktop->alerts.isEmpty());
    }

    void cancellingTheCountdownReleasesTheCaptureFirst_data()
    {
        QTest::addColumn<int>("secondsLeft");
        QTest::addColumn<int>("releaseStatus");
        QTest::newRow("while preparing") << 0 << 0;
        QTest::newRow("at 3") << 3 << 0;
        QTest::newRow("at 2") << 2 << 0;
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
        QCOMPARE(shown, secondsLeft == 0 ? Phase::preparing() : Phase::countingDown(secondsLeft));
        if (releaseStatus != 0)
            rig.hardware->failCall(Call::destroyProcessTap, releaseStatus, 1);

        rig.model->cancelCountdown();
        // The phase holds until the capture is released; a failed release is
        // what the user reads.
        QCOMPARE(rig.model->phase(), shown);
        const Phase end
            = releaseStatus == 0 ? Phase::idle() : Phase::failed(captureFailed("释放系统音频采集", releaseStatus));
        // Woken at once: the clock is not moved again.
        QVERIFY(rig.waitForPhase(end));
        QCOMPARE(rig.phases.last(2), QList<Phase>({shown, end}));
        QCOMPARE(heldWhenIdle, releaseStatus == 0 ? QList<int>({0}) : QList<int>());
        QVERIFY(rig.script->paths.isEmpty());
        QVERIFY(!rig.hardware->calls().contains(QStringLiteral("deviceStart")));
        QCOMPARE(rig.clock->pendingSleeps(), 0);
        rig.settle();
        QCOMPARE(rig.model->phase(), end);
    }

    // Every failure releases the capture and says why; a failed release
    // replaces the error it follows.
    void failuresAreReported_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<int>("times");
        QTest::addColumn<int>("chunks"); // -1: fails before recording
        QTest::addColumn<Phase>("before");
        QTest::addColumn<QString>("message");
        const auto start = [](const char* name, Call call, Phase before, const char* step) {
            QTest::newRow(name) << int(call) << -1 << -1 << before << captureFailed(step, -5);
        };
        start("prepare", Call::createProcessTap, Phase::preparing(), "创建系统音频采集");
        start("prepare, after the tap", Call::createAggregateDevice, Phase::preparing(), "创建录音输入");
        start("start", Call::deviceStart, Phase::countingDown(1), "开始系统音频录制");
        QTest::newRow("no audio") << -1 << 0 << 0 << Phase::exporting()
                                  << QStringLiteral(
                                         "没有收到系统音频。请确认声音服务正在运行，并确认电脑正在播放声音。");
        // The stop fails at the device, then at the tap; the release fails at
        // the tap once more, and that is what the user reads.
        QTest::newRow("stop, then release")
            << int(Call::destroyProcessTap) << 2 << 1 << Phase::exporting() << captureFailed("释放系统音频采集", -5);
        QTest::newRow("no audio track") << -1 << 0 << 2 << Phase::exporting()
                                        << QStringLiteral("导出的 MP4 中没有音频轨道。");
    }
    void failuresAreReported()
    {
        QFETCH(int, call);
        QFETCH(int, times);
        QFETCH(int, chunks);
        QFETCH(Phase, before);
        QFETCH(QString, message);
        Rig rig;
        if (call >= 0)
            rig.hardware->failCall(Call(call), -5, times);
        if (call == int(Call::destroyProcessTap))
            rig.hardware->failCall(Call::deviceStop, -3, 1);
        if (QTest::currentDataTag() == QByteArray("no audio track"))
            rig.asset->tracks = QList<MediaAsset::TrackID>();
        if (chunks < 0) {
            rig.clock->autoAdvance = true;
            rig.model->start();
            QVERIFY(rig.waitFor([&] { return !rig.model->phase().isBusy(); }));
        } else {
            QVERIFY(rig.recordAndStop(chunks));
        }
        QCOMPARE(rig.phases.last(2), QList<Phase>({before, Phase::failed(message)}));
        QVERIFY(rig.hardware->heldObjects() == 0 || call == int(Call::destroyProcessTap));
        QVERIFY(!rig.model->pendingTemporaryPath());
        QVERIFY(rig.desktop->savePanels.isEmpty());
        QVERIFY(chunks >= 0 || rig.recordings().isEmpty());
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
        row("retry after failed export, discard", "export failed", "retry", true, 0);
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
            QVERIFY(rig.waitFor([&] { return rig.model->phase().kind() == Phase::Kind::failed; }));
        } else {
            if (before == QLatin1String("exported") || before == QLatin1String("export failed"))
                rig.desktop->savePanelAnswers = {rig.exports.filePath(
                    before == QLatin1String("exported") ? QStringLiteral("a.mp4") : QStringLiteral("missing/x.mp4"))};
            QVERIFY(rig.recordAndStop());
        }
        const QString temporary = rig.pending();
        if (before == QLatin1String("dismissed") || before == QLatin1String("moved away")) {
            QVERIFY(Platform::isInsideTemporaryDirectory(temporary));
            QCOMPARE(rig.model->phase(), Phase::finished(temporary, kSummary));
        }
        QCOMPARE(QFileInfo::exists(temporary), asks || action == QLatin1String("start"));
        // The temporary directory moves away from under the pending file.
        std::optional<test::ScopedCacheHome> elsewhere;
        if (before == QLatin1String("moved away"))
            elsewhere.emplace();
        const Phase shown = rig.model->phase();
        rig.phases.clear();
        rig.desktop->alertAnswers = {answer};

        if (action == QLatin1String("start"))
            rig.model->start();
        else if (action == QLatin1String("retry"))
            rig.model->retry();
        else
            rig.model->recordAgain();
        const DesktopServices::Alert alert{DesktopServices::AlertStyle::warning, QStringLiteral("这段录音还没有导出"),
            QStringLiteral("再次录制会删除当前临时录音。请先点“再次导出”保存，或者确认放弃后继续。"),
            {{QStringLiteral("放弃并再次录制"), true, false}, {QStringLiteral("取消"), false, true}}};
        QCOMPARE(
            rig.desktop->alerts, asks ? QList<DesktopServices::Alert>({alert}) : QList<DesktopServices::Alert>());
        if (!asks || answer == 0) {
            QCOMPARE(rig.model->phase(), Phase::preparing());
            QVERIFY(!rig.model->pendingTemporaryPath() && !rig.model->pendingSummary());
            QCOMPARE(QFileInfo::exists(temporary), bool(elsewhere));
            QVERIFY(rig.waitForPhase(Phase::countingDown(3)));
        } else {
            rig.settle();
            QVERIFY(rig.phases.isEmpty());
            QCOMPARE(rig.model->phase(), shown);
            QCOMPARE(rig.pending(), temporary);
            QVERIFY(QFileInfo::exists(temporary));
        }
    }

    void exportIntoTheChosenPlace_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<bool>("sourceVanishes");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<int>("mount");  // -1: none; else a tmpfs at "mnt" with this access
        const int none = -1;
        const auto tmpfs = [](test::ScopedTmpfs::Access access) { return int(access); };
        QTest::newRow("replaces an existing file") << QStringLiteral("existing.mp4") << false << true << none;
        QTest::newRow("below a regular file") << QStringLiteral("plain-file/inside.mp4") << false << false << none;
        QTest::newRow("missing folder") << QStringLiteral("missing/inside.mp4") << false << false << none;
        // The copy cannot read its source: the existing destination must survive.
        QTest::newRow("existing destination, copy fails") << QStringLiteral("existing.mp4") << true << false << none;
        QTest::newRow("another file system") << QStringLiteral("mnt/other.mp4") << false << true
                                             << tmpfs(test::ScopedTmpfs::Access::readWrite);
        QTest::newRow("read-only file system") << QStringLiteral("mnt/other.mp4") << false << false
                                               << tmpfs(test::ScopedTmpfs::Access::readOnly);
    }
    void exportIntoTheChosenPlace()
    {
        QFETCH(QString, destination);
        QFETCH(bool, sourceVanishes);
        QFETCH(bool, succeeds);
        QFETCH(int, mount);
        Rig rig;
        std::optional<test::ScopedTmpfs> mounted;
        if (mount >= 0) {
            mounted.emplace(rig.exports.filePath(QStringLiteral("mnt")), test::ScopedTmpfs::Access(mount));
            if (!mounted->isMounted())
                QSKIP("mounting a tmpfs needs root");
        }
        QVERIFY(Platform::writeAtomically("not a folder", rig.exports.filePath(QStringLiteral("plain-file"))).ok());
        const QString existing = rig.exports.filePath(QStringLiteral("existing.mp4"));
        QVERIFY(Platform::writeAtomically("an older recording", existing).ok());
        rig.desktop->savePanelAnswers = {rig.exports.filePath(destination)};
        const QString moved = rig.exports.filePath(QStringLiteral("moved-away"));
        QByteArray recorded;
        rig.desktop->whileModal = [&] {
            recorded = contents(rig.pending());
            if (sourceVanishes)
                QVERIFY(QFile::rename(rig.pending(), moved));
        };
        QVERIFY(rig.recordAndStop());
        const QStringList files = QDir(rig.exports.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(files.size(), sourceVanishes ? 3 : 2);
        if (succeeds) {
            const QString saved = rig.exports.filePath(destination);
            QCOMPARE(rig.model->phase(), Phase::finished(saved, kSummary));
            QCOMPARE(contents(saved), recorded);
            return;
        }
        const QString message = rig.model->phase().message();
        QCOMPARE(rig.model->phase().kind(), Phase::Kind::failed);
        QVERIFY2(message.startsWith(QStringLiteral("导出失败：")) && message.size() > 5, qPrintable(message));
        QCOMPARE(contents(existing), QByteArray("an older recording"));
        const QString temporary = rig.pending();
        QVERIFY(!temporary.isEmpty() && rig.model->pendingSummary());

        // The pending recording can still be exported, under a name computed afresh.
        rig.desktop->whileModal = {};
        if (sourceVanishes)
            QVERIFY(QFile::rename(moved, temporary));
        rig.clock->advance(61s);
        const QString second = rig.exports.filePath(QStringLiteral("second try.mp4"));
        rig.desktop->savePanelAnswers = {second};
        rig.model->exportAgain();
        QCOMPARE(rig.model->phase(), Phase::finished(second, kSummary));
        QCOMPARE(contents(second), recorded);
        QVERIFY(!QFileInfo::exists(temporary));
        QVERIFY(rig.desktop->savePanels.at(1).suggestedName != kFirstName);
    }

    // Saving onto the pending file itself keeps it, by its own path or a link.
    void exportOntoThePendingFileKeepsIt_data()
    {
        QTest::addColumn<bool>("throughLink");
        QTest::newRow("same path") << false;
        QTest::newRow("symlink") << true;
    }
    void exportOntoThePendingFileKeepsIt()
    {
        QFETCH(bool, throughLink);
        Rig rig;
        QString temporary;
        QString chosen;
        QByteArray recorded;
        rig.desktop->whileModal = [&] {
            temporary = chosen = rig.pending();
            recorded = contents(temporary);
            if (throughLink) {
                chosen = rig.exports.filePath(QStringLiteral("link.mp4"));
                QVERIFY(QFile::link(temporary, chosen));
            }
            rig.desktop->savePanelAnswers = {chosen};
        };
        QVERIFY(rig.recordAndStop());
        QCOMPARE(rig.model->phase(), Phase::finished(chosen, kSummary));
        QVERIFY(!recorded.isEmpty());
        QCOMPARE(contents(temporary), recorded);
        QVERIFY(!rig.model->pendingTemporaryPath());
    }

    // After termination nothing is held or left behind, and start is refused
    // for good; a failed release fails it, and quitting again retries.
    void terminationReleasesEverything_data()
    {
        QTest::addColumn<int>("secondsLeft"); // -1: idle, 0: recording
        QTest::addColumn<int>("releaseStatus");
        QTest::newRow("idle") << -1 << 0;
        QTest::newRow("counting down") << 2 << 0;
        QTest::newRow("counting down, release fails") << 3 << -7;
        QTest::newRow("recording") << 0 << 0;
    }
    void terminationReleasesEverything()
    {
        QFETCH(int, secondsLeft);
        QFETCH(int, releaseStatus);
        Rig rig;
        if (secondsLeft >= 0)
            QVERIFY(rig.countDownTo(secondsLeft));
        if (secondsLeft == 0) {
            rig.deliver();
            QCOMPARE(rig.recordings().size(), 1);
        }
        if (releaseStatus != 0) {
            rig.hardware->failCall(Call::destroyProcessTap, releaseStatus, 1);
            const auto shut = rig.shutdown();
            QCOMPARE(shut.ok() ? QString() : shut.error().localizedDescription(),
                captureFailed("释放系统音频采集", releaseStatus));
        }
        QVERIFY(rig.shutdown().ok());
        QVERIFY(rig.waitFor([&] { return !rig.model->phase().isBusy() || secondsLeft == 0; }));
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QVERIFY(rig.recordings().isEmpty());
        QVERIFY(rig.desktop->savePanels.isEmpty());
        QCOMPARE(rig.clock->pendingSleeps(), 0);
        QCOMPARE(rig.hardware->calls().contains(QStringLiteral("deviceStart")), secondsLeft == 0);

        const qsizetype calls = rig.hardware->calls().size();
        const qsizetype shown = rig.phases.size();
        rig.model->start();
        rig.model->recordAgain();
        rig.settle();
        QVERIFY(!rig.phases.mid(shown).contains(Phase::preparing()));
        QCOMPARE(rig.hardware->calls().size(), calls);
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
        QVERIFY(rig.countDownTo());
        rig.deliver();
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return finishing.available() == 1; }));
        auto shutdown = rig.model->shutdownForTermination();
        proceed.release();
        QVERIFY(QCoro::waitFor(std::move(shutdown)).ok());

        QCOMPARE(rig.model->phase(), Phase::exporting());
        QVERIFY(rig.desktop->savePanels.isEmpty());
        QVERIFY(QFileInfo::exists(rig.pending()));
        QCOMPARE(rig.model->pendingSummary(), std::optional<RecordingSummary>(kSummary));
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
            QCoro::connect(
                rig.model->shutdownForTermination(), rig.model.get(), [&](Result<void> result) { shut = result; });
            rig.settle();
            QVERIFY(!shut);
        };
        QVERIFY(rig.recordAndStop());
        QVERIFY(rig.waitFor([&] { return shut.has_value(); }));
        QVERIFY(shut->ok());
        QCOMPARE(rig.model->phase(), Phase::finished(destination, kSummary));
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
