// The self-test as the real binary runs it on the private audio server, and
// the command line's other ways out.

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray standardOutput;
};

// Runs the real binary with `arguments` in `directory`, headless, to its end.
Outcome runVessaro(const QStringList& arguments, const QString& directory, const QString& pulseServer = {})
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!pulseServer.isEmpty())
        environment.insert(QStringLiteral("PULSE_SERVER"), pulseServer);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(directory);
    process.start(QStringLiteral(VESSARO_BINARY), arguments);
    if (!process.waitForFinished(60000))
        process.kill();
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput() };
}

} // namespace

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
        QCOMPARE(runVessaro({ "--verify-capture", "report" }, dir.path()).exitCode, 0);
        const QDir report(dir.filePath(QStringLiteral("report")));
        QFile file(report.filePath(QStringLiteral("result.json")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject result = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(result.value(QStringLiteral("status")).toString(), QStringLiteral("passed"));
        QCOMPARE(result.value(QStringLiteral("backend")).toString(), QStringLiteral("PulseAudio"));
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

    // What the process prints and how it exits, without a window or a server.
    void waysOut_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("help") << QStringList { "--unknown", "--help" } << QByteArray("Usage: vessaro");
        QTest::newRow("version") << QStringList { "--unknown", "--version" } << QByteArray("vessaro ");
    }

    void waysOut()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, output);
        QTemporaryDir dir;
        const Outcome outcome = runVessaro(arguments, dir.path(), QStringLiteral("unix:/nonexistent/native"));
        QCOMPARE(outcome.exitCode, 0);
        QVERIFY(outcome.standardOutput.startsWith(output));
    }
};

QTEST_GUILESS_MAIN(VerifyCaptureProcessTest)
#include "tst_verifycaptureprocess.moc"
