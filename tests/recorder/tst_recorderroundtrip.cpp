#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingFile.h"
#include "recorder/RecorderViewModel.h"
#include "support/ScriptedDesktopServices.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace vessaro;
using namespace std::chrono_literals;
using Phase = RecorderViewModel::Phase;

namespace {

// The limit only catches a hang.
template <typename Predicate>
bool waitFor(Predicate done)
{
    return QTest::qWaitFor(done, 30000);
}

QString probeCodec(const QString& path)
{
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
        QStringLiteral("-v error -select_streams a:0 -show_entries stream=codec_name "
                       "-of default=nw=1:nk=1")
                .split(QLatin1Char(' '))
            << path);
    return probe.waitForFinished(60000) ? QString::fromUtf8(probe.readAllStandardOutput()).trimmed() : QString();
}

} // namespace

// The whole road with the real engine on the private audio server and the
// real clock: countdown, two seconds of a played tone, stop, export.
class RecorderRoundTripTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void recordsAndExportsAPlayedTone()
    {
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server of scripts/audio-server.sh");
        test::ScopedCacheHome home;
        QTemporaryDir scratch;
        const QString tone = scratch.filePath(QStringLiteral("tone.wav"));
        QCOMPARE(QProcess::execute(QStringLiteral("sox"),
                     QStringList{QStringLiteral("-n"), QStringLiteral("-r48000"), QStringLiteral("-c2"), tone}
                         << QStringLiteral("synth 4 sine 440").split(QLatin1Char(' '))),
            0);

        auto desktop = std::make_shared<test::ScriptedDesktopServices>();
        const QString destination = scratch.filePath(QStringLiteral("系统音频 导出.mp4"));
        desktop->savePanelAnswers = {destination};
        RecorderViewModel model(
            std::make_unique<SystemAudioCaptureService>(std::make_unique<CoreAudioTapDriver>()), desktop);
        QList<Phase> phases;
        connect(&model, &RecorderViewModel::phaseChanged, this, [&](const Phase& phase) { phases.append(phase); });

        model.start();
        QVERIFY2(
            waitFor([&] { return model.phase() == Phase::recording() || model.phase().kind() == Phase::Kind::failed; }),
            qPrintable(model.phase().description()));
        QCOMPARE(model.phase(), Phase::recording());
        QProcess player;
        player.start(QStringLiteral("paplay"), {tone});
        QTest::qWait(2000);
        model.stop();
        QVERIFY(waitFor([&] { return !model.phase().isBusy(); }));
        player.kill();
        player.waitForFinished();

        QVERIFY2(model.phase().kind() == Phase::Kind::finished, qPrintable(model.phase().description()));
        QCOMPARE(phases.mid(0, 5),
            QList<Phase>({Phase::preparing(), Phase::countingDown(3), Phase::countingDown(2), Phase::countingDown(1),
                Phase::recording()}));
        QCOMPARE(model.phase().url(), destination);
        QCOMPARE(desktop->savePanels.size(), 1);

        auto summary = RecordingFile::validate(destination);
        QVERIFY2(summary.ok(), qPrintable(summary.ok() ? QString() : summary.error().localizedDescription()));
        QCOMPARE(summary.value(), model.phase().summary());
        QCOMPARE(probeCodec(destination), QStringLiteral("alac"));
        QVERIFY(model.elapsedSeconds() > 0);
        QCOMPARE(QDir(home.recordingsDirectory()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(!model.pendingTemporaryURL());

        QVERIFY(QCoro::waitFor(model.shutdownForTermination()).ok());
    }
};

QTEST_GUILESS_MAIN(RecorderRoundTripTest)
#include "tst_recorderroundtrip.moc"
