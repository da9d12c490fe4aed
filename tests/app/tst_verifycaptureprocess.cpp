// The self-test as the real binary runs it on the private audio server.

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class VerifyCaptureProcessTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Three cycles, each a real ALAC file that holds part of the three
    // seconds recorded (a player at a long latency renders up to two seconds
    // ahead, which the capture never sees).
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
        QProcess vessaro;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        vessaro.setProcessEnvironment(environment);
        vessaro.setWorkingDirectory(dir.path());
        vessaro.start(QStringLiteral(VESSARO_BINARY), { "--verify-capture", "report" });
        QVERIFY(vessaro.waitForFinished(60000));
        QCOMPARE(vessaro.exitCode(), 0);
        const QDir report(dir.filePath(QStringLiteral("report")));
        QFile file(report.filePath(QStringLiteral("result.json")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject result = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(QStringList({ result["status"].toString(), result["backend"].toString() }),
            QStringList({ "passed", "PulseAudio" }));
        const QJsonArray cycles = result.value(QStringLiteral("cycles")).toArray();
        QCOMPARE(cycles.size(), 3);
        for (const QJsonValue& cycle : cycles) {
            QProcess probe;
            probe.start(QStringLiteral("ffprobe"),
                { "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0",
                    report.filePath(cycle[QStringLiteral("file")].toString()) });
            QVERIFY(probe.waitForFinished());
            QCOMPARE(probe.readAllStandardOutput().trimmed(), QByteArray("alac"));
            const double duration = cycle[QStringLiteral("duration")].toDouble();
            QVERIFY2(duration > 0.5 && duration < 3.5, qPrintable(QString::number(duration)));
        }
    }
};

QTEST_GUILESS_MAIN(VerifyCaptureProcessTest)
#include "tst_verifycaptureprocess.moc"
