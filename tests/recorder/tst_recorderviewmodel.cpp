#include "base/Platform.h"
#include "support/RecorderRig.h"
#include "support/ScopedTmpfs.h"

#include <QFileInfo>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTest>

using namespace vessaro;
using namespace std::chrono_literals;
using Phase = RecorderViewModel::Phase;
using Kind = Phase::Kind;
using Call = SimulatedAudioHardware::Call;
using Rig = test::RecorderRig;

namespace {

const RecordingSummary kSummary { 1.0, 4 };
using Op = std::function<void(Rig&)>;

const auto leftoverPath = [](const Rig& rig) { return rig.exports.filePath(QStringLiteral("leftover.mp4")); };
const auto adopt = [](Rig& rig) { rig.model->adoptLeftoverRecording({ leftoverPath(rig), kSummary, {} }); };
// The only question the model asks, before a pending recording is deleted.
const DesktopServices::Alert kDiscard { DesktopServices::AlertStyle::warning, QStringLiteral("这段录音还没有导出"),
    QStringLiteral("再次录制会删除当前临时录音。请先点“再次导出”保存，或者确认放弃后继续。"),
    { { QStringLiteral("放弃并再次录制"), true, false, false }, { QStringLiteral("取消"), false, true, true } } };

} // namespace

class RecorderViewModelTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The countdown and the clock run on the injected clock; the export is a copy of the take that others may read.
    void recordingRoadEndsInTheExportedFile()
    {
        Rig rig;
        const QString destination = rig.exports.filePath(QStringLiteral("saved.mp4"));
        rig.desktop->savePanelAnswers = { destination };
        QByteArray recorded;
        rig.desktop->whileModal = [&] {
            QFile::setPermissions(rig.pending(), QFile::ReadOwner | QFile::WriteOwner);
            recorded = test::readAll(rig.pending());
            // The dialog's event loop lets neither a second dialog nor a start in.
            rig.model->exportAgain();
            rig.model->start();
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
                Phase::recording(), Phase::exporting(), Phase::exporting(100),
                Phase::finished(destination, kSummary) }));
        QVERIFY(!recorded.isEmpty());
        QCOMPARE(test::readAll(destination), recorded);
        QVERIFY(QFile::permissions(destination) & QFile::ReadOther);
        QVERIFY(rig.recordings().isEmpty() && !rig.model->hasUnexportedRecording());
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QCOMPARE(rig.clock->pendingSleeps(), 0);
        // A take of nothing but zeros is still offered, and flagged.
        QVERIFY(rig.model->isSilent());
    }

    // The phase stays recording until stop, with the clock at what was captured; what came before the loss waits for
    // "再次导出".
    void aLostCaptureKeepsWhatCameBefore()
    {
        Rig rig;
        QVERIFY(rig.countDownTo());
        rig.deliver(4800, 0.25F);
        QVERIFY(rig.hardware->reportLoss(0));
        QVERIFY(rig.waitFor([&] { return !rig.model->interruptionReason().isEmpty(); }));
        rig.clock->advance(5s);
        rig.settle();
        QCOMPARE(rig.model->phase(), Phase::recording());
        QCOMPARE(rig.model->elapsedSeconds(), 0.1);
        QVERIFY(!rig.model->hearsNothing()); // the interruption says more

        rig.model->stop();
        QVERIFY(rig.waitForKind(Kind::failed));
        QVERIFY(QFileInfo::exists(rig.pending()));
    }

    // Five seconds by the model's clock of nothing, then of digital zero, bring the notice, not 4.9; a sound clears
    // it and starts the count anew. The level is the peak of what arrived; stop ends both.
    void silenceIsNoticed()
    {
        Rig rig;
        QList<float> levels;
        QObject::connect(rig.model.get(), &RecorderViewModel::levelChanged, [&](float level) { levels.append(level); });
        QVERIFY(rig.countDownTo());
        for (const float tone : { 0.25F, -1.0F }) {
            QVERIFY(rig.waitFor([&] { return rig.model->level() == 0; }));
            if (tone < 0)
                rig.deliver(4800, 0);
            rig.clock->advance(4900ms);
            rig.settle();
            QVERIFY(!rig.model->hearsNothing());
            rig.clock->advance(100ms);
            QVERIFY(rig.waitFor([&] { return rig.model->hearsNothing(); }));
            rig.deliver(480, tone);
            QVERIFY(rig.waitFor([&] { return !rig.model->hearsNothing(); }));
        }
        rig.model->stop();
        QVERIFY(!rig.model->hearsNothing());
        QCOMPARE(levels, QList<float>({ 0.25F, 0, 1, 0 }));
    }

    // Each operation from each state: ignored, or where it leads. Starting over asks before deleting a pending
    // recording; every failure releases the capture and says why, and a failed release is what the user reads.
    void transitions_data()
    {
        QTest::addColumn<Op>("at");
        QTest::addColumn<Op>("op");
        QTest::addColumn<std::optional<Kind>>("after"); // none: ignored, nothing changes
        QTest::addColumn<std::optional<int>>("answer"); // to the question; none: not asked
        QTest::addColumn<QString>("says"); // a part of the failure's message; "-2": the release failed
        const auto call = [](void (RecorderViewModel::*op)()) { return Op([op](Rig& rig) { (*rig.model.*op)(); }); };
        const auto failing = [](Call failed, int status, const Op& then) {
            return Op([=](Rig& rig) {
                rig.hardware->failCall(failed, status, 2);
                then(rig);
            });
        };
        const Op idle = [](Rig&) {};
        const Op counting = [](Rig& rig) { QVERIFY(rig.countDownTo(3)); };
        const Op recording = [](Rig& rig) { QVERIFY(rig.countDownTo()); };
        const Op recordingSound = [](Rig& rig) {
            QVERIFY(rig.countDownTo());
            rig.deliver(4800, 0.25F);
        };
        const Op dismissed = [](Rig& rig) { QVERIFY(rig.recordAndStop()); };
        const Op leftover = [](Rig& rig) {
            QVERIFY(Platform::writeAtomically("an earlier run", leftoverPath(rig)));
            adopt(rig);
        };
        const Op exportFailed = [](Rig& rig) {
            rig.desktop->savePanelAnswers = { rig.exports.filePath(QStringLiteral("missing/a.mp4")) };
            QVERIFY(rig.recordAndStop());
            QVERIFY(rig.model->phase().message().startsWith(QStringLiteral("导出失败：")));
        };
        const Op quit = [](Rig& rig) { QVERIFY(rig.shutdown().ok()); };
        const Op start = call(&RecorderViewModel::start);
        const Op stop = call(&RecorderViewModel::stop);
        const Op recordAgain = call(&RecorderViewModel::recordAgain);
        const Op retry = call(&RecorderViewModel::retry);
        const Op cancel = call(&RecorderViewModel::cancelCountdown);
        const Op startFailed = failing(Call::createProcessTap, -5, [](Rig& rig) {
            rig.model->start();
            QVERIFY(rig.waitForKind(Kind::failed));
        });
        const auto row = [](const char* name, const Op& at, const Op& op, std::optional<Kind> after,
                             std::optional<int> answer = {},
                             const QString& says = {}) { QTest::newRow(name) << at << op << after << answer << says; };
        const std::optional<Kind> ignored;
        row("idle: stop", idle, stop, ignored);
        row("idle: adopt", idle, adopt, Kind::finished);
        row("idle: start, prepare fails", idle, failing(Call::createAggregateDevice, -5, start), Kind::failed, {},
            "-5");
        row("preparing: cancel", start, cancel, Kind::idle);
        row("counting down: start", counting, start, ignored);
        row("counting down: cancel", counting, cancel, Kind::idle);
        row("counting down: cancel, release fails", counting, failing(Call::destroyProcessTap, -2, cancel),
            Kind::failed, {}, "-2");
        row("counting down: quit", counting, quit, Kind::idle);
        row("recording: start", recording, start, ignored);
        row("recording: adopt", recording, adopt, ignored);
        row("recording: stop, no audio", recording, stop, Kind::failed, {},
            RecorderError::noAudioReceived().localizedDescription());
        row("recording: quit keeps the take", recordingSound, quit, Kind::recording);
        row("recording: stop, the device fails to stop", recordingSound, failing(Call::deviceStop, -7, stop),
            Kind::failed, {}, "-7");
        row("pending: start discards unasked", dismissed, start, Kind::preparing);
        row("pending: record again, cancel", dismissed, recordAgain, ignored, 1);
        row("pending: record again, discard", dismissed, recordAgain, Kind::preparing, 0);
        row("pending: adopt", dismissed, adopt, ignored);
        row("export failed: retry, cancel", exportFailed, retry, ignored, 1);
        row("start failed: retry", startFailed, retry, Kind::preparing);
        row("leftover: start forgets it", leftover, start, Kind::preparing);
        row("after quit: start", quit, start, ignored);
    }
    void transitions()
    {
        QFETCH(Op, at);
        QFETCH(Op, op);
        QFETCH(std::optional<Kind>, after);
        QFETCH(std::optional<int>, answer);
        QFETCH(QString, says);
        Rig rig;
        // Idle is shown only once the capture is released.
        int heldAtIdle = 0;
        QObject::connect(rig.model.get(), &RecorderViewModel::phaseChanged, rig.model.get(),
            [&](const Phase& phase) { heldAtIdle += phase == Phase::idle() ? rig.hardware->heldObjects() : 0; });
        at(rig);
        const QString temporary = rig.pending();
        const qsizetype calls = rig.hardware->calls().size();
        rig.phases.clear();
        rig.desktop->alertAnswers = { answer };

        op(rig);
        if (after) {
            QVERIFY(rig.waitForKind(*after));
        } else {
            rig.settle();
            QVERIFY(rig.phases.isEmpty());
            QCOMPARE(rig.hardware->calls().size(), calls);
        }
        QVERIFY(rig.desktop->alerts == (answer ? QList({ kDiscard }) : QList<DesktopServices::Alert>()));
        QVERIFY2(rig.model->phase().message().contains(says), qPrintable(rig.model->phase().message()));
        const bool startsOver = after == Kind::preparing;
        if (!temporary.isEmpty()) {
            QCOMPARE(rig.pending(), startsOver ? QString() : temporary);
            // Only our own temporary files are deleted.
            QCOMPARE(QFileInfo::exists(temporary), !startsOver || !temporary.startsWith(rig.home.path()));
        }
        QCOMPARE(heldAtIdle, 0);
        if (!rig.model->phase().isBusy() || rig.model->isTerminating()) {
            QCOMPARE(rig.hardware->heldObjects() > 0, says == QLatin1String("-2"));
            QCOMPARE(rig.clock->pendingSleeps(), 0);
        }
        // A take with sound is never lost: pending, or left for the next launch.
        if (!rig.script->frameCounts.isEmpty() && rig.model->phase().kind() != Kind::preparing)
            QCOMPARE(rig.recordings(), QStringList { QFileInfo(rig.pending()).fileName() });
        else if (rig.model->isTerminating())
            QVERIFY(rig.recordings().isEmpty());
    }

    // Saved onto the pending file itself (here through a link), it stays.
    void exportIntoTheChosenPlace_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::newRow("replaces an existing file") << QStringLiteral("existing.mp4");
        QTest::newRow("another file system") << QStringLiteral("mnt/other.mp4");
        QTest::newRow("onto the pending file") << QStringLiteral("link.mp4");
    }
    void exportIntoTheChosenPlace()
    {
        QFETCH(QString, destination);
        Rig rig;
        std::optional<test::ScopedTmpfs> mount;
        if (destination.startsWith(QLatin1String("mnt/"))
            && !mount.emplace(rig.exports.filePath(QStringLiteral("mnt")), test::ScopedTmpfs::Access::readWrite)
                    .isMounted())
            QSKIP("mounting a tmpfs needs root");
        QVERIFY(Platform::writeAtomically("an older recording", rig.exports.filePath(QStringLiteral("existing.mp4"))));
        QString temporary;
        const QString saved = rig.exports.filePath(destination);
        QByteArray recorded;
        rig.desktop->whileModal = [&] {
            temporary = rig.pending();
            recorded = test::readAll(temporary);
            if (destination == QLatin1String("link.mp4"))
                QVERIFY(QFile::link(temporary, saved));
            rig.desktop->savePanelAnswers = { saved };
        };
        QVERIFY(rig.recordAndStop());
        QCOMPARE(rig.model->phase(), Phase::finished(saved, kSummary));
        QCOMPARE(test::readAll(saved), recorded);
        QCOMPARE(QFileInfo::exists(temporary), destination == QLatin1String("link.mp4"));
        QVERIFY(!rig.model->hasUnexportedRecording());
    }

    // What the model hands the desktop: the save dialog with the dated name, .mp4 alone and new folders allowed, in
    // Music (else home), then in the last export's folder; and a note on the running capture for exactly three seconds.
    void whatTheDesktopIsHanded()
    {
        Rig rig;
        QVERIFY(QDir(rig.exports.path()).mkdir(QStringLiteral("sub")));
        rig.desktop->savePanelAnswers = { rig.exports.filePath(QStringLiteral("sub/a.mp4")) };
        QVERIFY(rig.recordAndStop());
        QVERIFY(rig.countDownTo());
        QVERIFY(rig.hardware->reportEvent(AudioDeviceEvent::followedOutput));
        QVERIFY(rig.waitFor([&] { return !rig.model->transientNote().isEmpty(); }));
        rig.clock->advance(2999ms);
        rig.settle();
        QVERIFY(!rig.model->transientNote().isEmpty());
        rig.clock->advance(1ms);
        QVERIFY(rig.waitFor([&] { return rig.model->transientNote().isEmpty(); }));
        rig.deliver();
        rig.model->stop();
        QVERIFY(rig.waitForKind(Kind::finished));
        const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        const auto panel = [](const QString& name, const QString& directory) {
            return DesktopServices::SavePanel { QStringLiteral("保存Brisal录音"), QStringLiteral("文件名："), name,
                { QStringLiteral("mp4") }, true, directory };
        };
        QCOMPARE(rig.desktop->savePanels,
            QList({ panel(QStringLiteral("系统音频 2027-01-15 08.00.03.mp4"),
                        QFileInfo(music).isDir() ? music : QDir::homePath()),
                panel(QStringLiteral("系统音频 2027-01-15 08.00.09.mp4"),
                    rig.exports.filePath(QStringLiteral("sub"))) }));
    }

    // A take the device would not let go of at stop comes back through the release and waits first; a leftover adopted
    // during the take waits behind it. Each is offered once the one before it is exported.
    void keptRecordingsAreOfferedInTurn()
    {
        Rig rig;
        QVERIFY(rig.countDownTo());
        rig.deliver(4800, 0.25F);
        adopt(rig);
        rig.hardware->failCall(Call::destroyIOProc, -8, 1);
        rig.hardware->failCall(Call::destroyAggregateDevice, -9, 1);
        rig.model->stop();
        QVERIFY(rig.waitFor([&] { return rig.model->hasUnexportedRecording(); }));
        QVERIFY(rig.model->phase().message().contains(QStringLiteral("-8")));
        QVERIFY(rig.pending().startsWith(rig.home.path()));
        rig.desktop->savePanelAnswers = { rig.exports.filePath(QStringLiteral("take.mp4")) };
        rig.model->exportAgain();
        QVERIFY(rig.waitFor([&] { return rig.model->phase() == Phase::finished(leftoverPath(rig), kSummary); }));
        QCOMPARE(rig.model->waitingRecordings(), 0U);
    }

    // A quit during an export ends it: the take stays pending, and nothing takes the chosen name.
    void aQuitDuringTheExportKeepsTheTake()
    {
        Rig rig;
        const QString destination = rig.exports.filePath(QStringLiteral("never.mp4"));
        QVERIFY(test::writeFile(leftoverPath(rig), "take"));
        adopt(rig);
        QVERIFY(rig.waitFor([&] { return rig.model->hasUnexportedRecording(); }));
        rig.desktop->savePanelAnswers = { destination };
        rig.model->exportAgain();
        QVERIFY(rig.shutdown());
        QCOMPARE(rig.model->phase(), Phase::finished(leftoverPath(rig), kSummary));
        QVERIFY(!QFile::exists(destination) && QFile::exists(leftoverPath(rig)));
    }

    // A quit while the writer finishes, or with the first save dialog open (closed by it), keeps the take pending.
    void aQuitDuringTheFinishKeepsTheTake()
    {
        for (const bool inDialog : { false, true }) {
            Rig rig;
            QSemaphore finishing, proceed;
            std::optional<Result<void>> shut;
            const auto quit = [&] {
                QCoro::connect(rig.model->shutdownForTermination(), rig.model.get(), [&](Result<void> r) { shut = r; });
            };
            rig.desktop->savePanelAnswers = { rig.exports.filePath(QStringLiteral("never.mp4")) };
            rig.desktop->whileModal = inDialog ? std::function<void()>(quit) : nullptr;
            if (!inDialog)
                rig.script->onFinish = [&] { finishing.release(), proceed.acquire(); };
            QVERIFY(rig.countDownTo());
            rig.deliver();
            rig.model->stop();
            if (!inDialog) {
                QVERIFY(rig.waitFor([&] { return finishing.available() == 1; }));
                quit();
                proceed.release();
            }
            QVERIFY(rig.waitFor([&] { return shut.has_value(); }));
            QVERIFY(shut->ok() && rig.hardware->heldObjects() == 0 && QFileInfo::exists(rig.pending()));
            QCOMPARE(rig.model->phase(), inDialog ? Phase::finished(rig.pending(), kSummary) : Phase::exporting());
            QCOMPARE(rig.desktop->savePanels.size(), qsizetype(inDialog));
        }
    }
};

QTEST_GUILESS_MAIN(RecorderViewModelTest)
#include "tst_recorderviewmodel.moc"
