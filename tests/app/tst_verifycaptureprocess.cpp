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
    QByteArray standardError;
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
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
        process.readAllStandardError() };
}

QString codecOf(const QString& path)
{
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
        { "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=codec_name", "-of", "csv=p=0", path });
    probe.waitForFinished();
    return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
}

} // namespace

class VerifyCaptureProcessTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The argument after the first flag is the directory, even the flag
    // itself; an older report there is replaced and older takes are kept.
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
        const QDir report(dir.filePath(QStringLiteral("--verify-capture")));
        QVERIFY(QDir().mkpath(report.path()));
        for (const char* name : { "result.json", "cycle-1-EARLIER.mp4" }) {
            QFile earlier(report.filePath(QLatin1String(name)));
            QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("{\"status\": \"older\"}") > 0);
        }

        const Outcome outcome = runVessaro({ "--verify-capture", "--verify-capture", "other" }, dir.path());
        QCOMPARE(outcome.exitCode, 0);
        QFile file(report.filePath(QStringLiteral("result.json")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject result = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(result.value(QStringLiteral("status")).toString(), QStringLiteral("passed"));
        QCOMPARE(result.value(QStringLiteral("backend")).toString(), QStringLiteral("PulseAudio"));
        QVERIFY(result.contains(QStringLiteral("cancelled")));
        const QJsonArray cycles = result.value(QStringLiteral("cycles")).toArray();
        QCOMPARE(cycles.size(), 3);
        for (const QJsonValue& value : cycles) {
            const QJsonObject cycle = value.toObject();
            const QJsonObject stopped = cycle.value(QStringLiteral("stopped")).toObject();
            QCOMPARE(stopped.value(QStringLiteral("tap")).toString(), QStringLiteral("0"));
            QCOMPARE(stopped.value(QStringLiteral("io")).toString(), QStringLiteral("none"));
            QCOMPARE(codecOf(report.filePath(cycle.value(QStringLiteral("file")).toString())), QStringLiteral("alac"));
            // Three seconds were recorded. A PulseAudio output that a player keeps at a
            // long latency renders up to two seconds ahead, and what it rendered before
            // the capture began never reaches the capture: so only a lower bound.
            const double duration = cycle.value(QStringLiteral("duration")).toDouble();
            QVERIFY2(duration > 0.5 && duration < 3.5, qPrintable(QString::number(duration)));
        }
        QCOMPARE(report.entryList({ QStringLiteral("*.mp4") }, QDir::Files).size(), 4);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("other"))));
    }

    // What the process prints and how it exits, without a window. A report
    // that cannot be written leaves one line in the log.
    void waysOut_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("log");
        QTest::newRow("help") << QStringList { "--unknown", "--help" } << QByteArray("Usage: vessaro") << QByteArray();
        QTest::newRow("version") << QStringList { "--unknown", "--version" } << QByteArray("vessaro ") << QByteArray();
        QTest::newRow("a self-test without a place for its report") << QStringList { "--verify-capture",
            "plain/report" } << QByteArray() << QByteArray("Capture verification report failed: ");
    }

    void waysOut()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, log);
        QTemporaryDir dir;
        QFile plain(dir.filePath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        const Outcome outcome = runVessaro(arguments, dir.path(), QStringLiteral("unix:/nonexistent/native"));
        QCOMPARE(outcome.exitCode, 0);
        QVERIFY(outcome.standardOutput.startsWith(output));
        const QList<QByteArray> lines = outcome.standardError.trimmed().split('\n');
        QCOMPARE(std::count_if(lines.cbegin(), lines.cend(),
                     [&](const QByteArray& line) { return !log.isEmpty() && line.startsWith(log); }),
            log.isEmpty() ? 0 : 1);
#ifdef NDEBUG
        // Release builds silence the libraries' own messages: the line is all there is.
        QCOMPARE(outcome.standardError.trimmed().isEmpty(), log.isEmpty());
#endif
    }
};

QTEST_GUILESS_MAIN(VerifyCaptureProcessTest)
#include "tst_verifycaptureprocess.moc"
