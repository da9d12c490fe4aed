// The real binary: its answers to --help, --version and a misuse, and the self-test and the terminal's recorder as
// they run on the private audio server.

#include "files/RecordingFile.h"
#include "support/TestSupport.h"

#include <QDir>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class VerifyCaptureProcessTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // They answer before any window or server is touched, so they work anywhere. Qt's own options pass; anything
    // else is refused with the usage.
    void helpAndVersion()
    {
        const struct {
            QStringList arguments;
            int status;
            QProcess::ProcessChannel channel;
            const char* start;
        } runs[] = { { { "--help" }, 0, QProcess::StandardOutput, "Usage: vessaro" },
            { { "-session", "1a2b", "--platform", "offscreen", "-reverse", "-style=fusion", "--version" }, 0,
                QProcess::StandardOutput, "vessaro " },
            { { "--bogus", "--help" }, 2, QProcess::StandardError,
                "vessaro: unknown option --bogus\n\nUsage: vessaro" },
            { { "--verify-capture" }, 2, QProcess::StandardError, "vessaro: --verify-capture needs a DIRECTORY" },
            { { "recording.mp4" }, 2, QProcess::StandardError, "vessaro: unexpected argument recording.mp4" },
            { { "--record" }, 2, QProcess::StandardError, "vessaro: --record needs a FILE" },
            { { "--record", "a.mp4", "--seconds", "0" }, 2, QProcess::StandardError,
                "vessaro: --seconds needs a positive" },
            { { "--seconds", "3" }, 2, QProcess::StandardError,
                "vessaro: --app, --seconds and --force go with --record" },
            { { "--record", "a.mp4", "--list-apps" }, 2, QProcess::StandardError, "vessaro: --record, --list-apps" } };
        for (const auto& run : runs) {
            QProcess vessaro;
            vessaro.setProcessEnvironment(QProcessEnvironment());
            vessaro.setReadChannel(run.channel);
            vessaro.start(QStringLiteral(VESSARO_BINARY), run.arguments);
            QVERIFY(vessaro.waitForFinished(10000));
            QCOMPARE(vessaro.exitCode(), run.status);
            QVERIFY2(vessaro.readAll().startsWith(run.start), run.start);
        }
    }

    // Three cycles of a real recording, each validated by the self-test.
    void aFullRun()
    {
        if (!vessaro::test::audioServerAvailable())
            QSKIP("needs the private audio server");
        QTemporaryDir dir;
        const QString tune = dir.filePath(QStringLiteral("tune.wav"));
        QProcess::execute(QStringLiteral("sox"),
            { "-n", "-r", "48000", "-c", "2", "-b", "16", tune, "synth", "20", "sine", "300-900", "vol", "0.3" });
        QProcess player;
        player.start(QStringLiteral("paplay"), { tune });
        const auto stopPlayer = qScopeGuard([&] {
            player.kill();
            player.waitForFinished();
        });
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QProcess vessaro;
        vessaro.setWorkingDirectory(dir.path());
        vessaro.start(QStringLiteral(VESSARO_BINARY), { "--verify-capture", "report" });
        QVERIFY(vessaro.waitForFinished(60000));
        QCOMPARE(vessaro.exitCode(), 0);
        const QJsonObject result
            = QJsonDocument::fromJson(vessaro::test::readAll(dir.filePath("report/result.json"))).object();
        QCOMPARE(QStringList({ result["status"].toString(), result["backend"].toString() }),
            QStringList({ "passed", "PulseAudio" }));
        QCOMPARE(result["cycles"].toArray().size(), 3);
        for (const QJsonValue cycle : result["cycles"].toArray())
            QCOMPARE(cycle["bitDepth"].toInt(), 16); // the tune is 16-bit
    }

    // The terminal's recorder: a take ended by SIGINT is validated and put at its file; an existing file is refused
    // before anything is recorded, unless --force replaces it. Its stderr is no terminal, so it carries no progress.
    void recordFromTheCommandLine()
    {
        if (!vessaro::test::audioServerAvailable())
            QSKIP("needs the private audio server");
        QTemporaryDir dir;
        vessaro::test::ScopedCacheHome home;
        QProcess player;
        player.start(QStringLiteral("sh"),
            { "-c",
                "sox -n -r 48000 -c 2 -b 16 -t wav - synth 30 sine 500 vol 0.3 | paplay "
                "--property=application.name=Tone" });
        const auto stopPlayer = qScopeGuard([&] {
            player.kill();
            player.waitForFinished();
        });
        const QString file = dir.filePath(QStringLiteral("take.mp4"));
        const auto record = [&](const QStringList& more, int signalAfterMs) {
            QProcess vessaro;
            vessaro.start(QStringLiteral(VESSARO_BINARY), QStringList { "--record", file } + more);
            if (signalAfterMs && vessaro.waitForStarted() && !vessaro.waitForFinished(signalAfterMs))
                ::kill(static_cast<pid_t>(vessaro.processId()), SIGINT);
            vessaro.waitForFinished(20000);
            return std::pair(vessaro.exitCode(), QString::fromUtf8(vessaro.readAllStandardError()));
        };
        auto [status, report] = record({}, 2500);
        QCOMPARE(status, 0);
        QVERIFY2(
            report.startsWith(QStringLiteral("已保存：") + file) && report.contains("16 位") && !report.contains('\r'),
            qPrintable(report));
        const auto summary = vessaro::RecordingFile::validate(file);
        QVERIFY(summary && summary.value().duration > 0.5);
        std::tie(status, report) = record({ "--seconds", "1" }, 0);
        QVERIFY2(status == 1 && report.contains("--force"), qPrintable(report));
        QCOMPARE(vessaro::RecordingFile::validate(file).value().duration, summary.value().duration);
        // --seconds counts the audio the file holds, however late the server's first delivery. A program that plays
        // nothing records silence, and only the listed one plays.
        std::tie(status, report) = record({ "--seconds", "1", "--force", "--app", "Silent" }, 0);
        const double seconds = vessaro::RecordingFile::validate(file).value().duration;
        QVERIFY2(
            status == 0 && seconds >= 1.0 && seconds < 1.5 && report.contains("录音里没有声音"), qPrintable(report));
        QProcess list;
        list.start(QStringLiteral(VESSARO_BINARY), { "--list-apps" });
        QVERIFY(list.waitForFinished(10000) && list.exitCode() == 0);
        QCOMPARE(list.readAllStandardOutput().split('\t').first(), "Tone");
        QVERIFY(QDir(home.recordingsDirectory()).isEmpty(QDir::Files | QDir::Hidden));
    }
};

QTEST_GUILESS_MAIN(VerifyCaptureProcessTest)
#include "tst_verifycaptureprocess.moc"
