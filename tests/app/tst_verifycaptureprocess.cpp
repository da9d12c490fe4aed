// The real binary: its answers to --help and --version, and the self-test as it runs on the private audio server.

#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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
            { { "recording.mp4" }, 2, QProcess::StandardError, "vessaro: unexpected argument recording.mp4" } };
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
};

QTEST_GUILESS_MAIN(VerifyCaptureProcessTest)
#include "tst_verifycaptureprocess.moc"
