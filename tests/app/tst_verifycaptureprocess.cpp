#include "files/RecordingFile.h"
#include "support/ScopedEnvironmentVariable.h"
#include "support/TestSupport.h"

#include <QDir>

#include <algorithm>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Outcome {
    bool exited = false;
    int exitCode = -1;
    QByteArray standardError;
};

// Runs the real binary with `arguments` in `workingDirectory`, headless.
Outcome runVessaro(const QStringList& arguments, const QString& workingDirectory,
                   const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                   int timeoutMs = 60000)
{
    QProcess process;
    QProcessEnvironment env = environment;
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(VESSARO_BINARY), arguments);
    Outcome outcome;
    outcome.exited = process.waitForFinished(timeoutMs);
    if (!outcome.exited) {
        process.kill();
        process.waitForFinished();
    }
    outcome.exitCode = process.exitCode();
    outcome.standardError = process.readAllStandardError();
    return outcome;
}

QJsonObject readReport(const QString& directory)
{
    QFile file(directory + QStringLiteral("/result.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QString codecOf(const QString& path)
{
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "a:0", "-show_entries",
                                            "stream=codec_name", "-of", "csv=p=0", path});
    probe.waitForFinished();
    return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
}

double durationOf(const QString& path)
{
    // A fragmented file has no overall duration: the last packet's start is
    // how far it reads at least.
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "a:0", "-show_entries",
                                            "packet=pts_time", "-of", "csv=p=0", path});
    probe.waitForFinished();
    double seconds = 0;
    for (const QByteArray& line : probe.readAllStandardOutput().split('\n'))
        seconds = std::max(seconds, line.trimmed().toDouble());
    return seconds;
}

// A tune that keeps the output busy while the test records.
class BackgroundTune {
public:
    explicit BackgroundTune(const QString& directory)
    {
        const QString file = directory + QStringLiteral("/tune.wav");
        QProcess::execute(QStringLiteral("sox"), {"-n", "-r", "48000", "-c", "2", "-b", "16", file, "synth", "20",
                                                  "sine", "300-900", "vol", "0.3"});
        m_player.start(QStringLiteral("paplay"), {file});
    }
    ~BackgroundTune()
    {
        m_player.kill();
        m_player.waitForFinished();
    }
    BackgroundTune(const BackgroundTune&) = delete;
    BackgroundTune& operator=(const BackgroundTune&) = delete;

private:
    QProcess m_player;
};

} // namespace

class VerifyCaptureProcessTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void passingRun()
    {
        if (!vessaro::test::audioServerAvailable())
            QSKIP("needs the private audio server");
        QTemporaryDir dir;
        BackgroundTune tune(dir.path());
        const QString reportDirectory = dir.filePath(QStringLiteral("report"));
        const Outcome outcome = runVessaro({QStringLiteral("--verify-capture"), reportDirectory}, dir.path());
        QVERIFY(outcome.exited);
        QCOMPARE(outcome.exitCode, 0);

        const QJsonObject report = readReport(reportDirectory);
        QCOMPARE(report.value(QStringLiteral("status")).toString(), QStringLiteral("passed"));
        QCOMPARE(report.value(QStringLiteral("backend")).toString(), QStringLiteral("PulseAudio"));
        QVERIFY(report.contains(QStringLiteral("cancelled")));
        QVERIFY(!report.contains(QStringLiteral("error")));
        const QJsonArray cycles = report.value(QStringLiteral("cycles")).toArray();
        QCOMPARE(cycles.size(), 3);
        for (const QJsonValue& value : cycles) {
            const QJsonObject cycle = value.toObject();
            const QJsonObject stopped = cycle.value(QStringLiteral("stopped")).toObject();
            QCOMPARE(stopped.value(QStringLiteral("tap")).toString(), QStringLiteral("0"));
            QCOMPARE(stopped.value(QStringLiteral("device")).toString(), QStringLiteral("0"));
            QCOMPARE(stopped.value(QStringLiteral("io")).toString(), QStringLiteral("none"));
            const QString file = reportDirectory + QLatin1Char('/') + cycle.value(QStringLiteral("file")).toString();
            QCOMPARE(codecOf(file), QStringLiteral("alac"));
            // Three seconds were recorded. A PulseAudio output that a player keeps at a
            // long latency renders up to two seconds ahead, and what it rendered before
            // the capture began never reaches the capture: so only a lower bound.
            const double duration = cycle.value(QStringLiteral("duration")).toDouble();
            QVERIFY2(duration > 0.5 && duration < 3.5, qPrintable(QString::number(duration)));
        }
        QCOMPARE(QDir(reportDirectory).entryList({QStringLiteral("*.mp4")}, QDir::Files).size(), 3);
    }

    void relativeDirectoryNamedLikeAFlagIsReused()
    {
        if (!vessaro::test::audioServerAvailable())
            QSKIP("needs the private audio server");
        QTemporaryDir dir;
        BackgroundTune tune(dir.path());
        // The argument after the first flag is the directory, even the flag itself.
        const QString reportDirectory = dir.filePath(QStringLiteral("--verify-capture"));
        QVERIFY(QDir().mkpath(reportDirectory));
        QFile old(reportDirectory + QStringLiteral("/result.json"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("{\"status\": \"older\"}");
        old.close();
        QFile earlier(reportDirectory + QStringLiteral("/cycle-1-EARLIER.mp4"));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.close();

        const Outcome outcome = runVessaro({QStringLiteral("--verify-capture"), QStringLiteral("--verify-capture"),
                                            QStringLiteral("other")},
                                           dir.path());
        QVERIFY(outcome.exited);
        QCOMPARE(readReport(reportDirectory).value(QStringLiteral("status")).toString(), QStringLiteral("passed"));
        QCOMPARE(QDir(reportDirectory).entryList({QStringLiteral("*.mp4")}, QDir::Files).size(), 4);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("other"))));
    }

    void flagWithoutADirectoryOpensTheAppAsUsual()
    {
        QTemporaryDir dir;
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.path());
        process.start(QStringLiteral(VESSARO_BINARY), {QStringLiteral("--verify-capture")});
        QVERIFY(process.waitForStarted());
        QVERIFY(!process.waitForFinished(1500));
        process.terminate();
        process.waitForFinished();
        QVERIFY(QDir(dir.path()).isEmpty());
    }

    // A process killed mid-recording leaves a file that holds at least what
    // could be read of it a second before the kill, and that the next launch
    // repairs.
    void sigkillLeavesAReadableRecording_data()
    {
        QTest::addColumn<int>("killAfterMs");
        QTest::newRow("in the first second") << 1100;
        QTest::newRow("later") << 2500;
    }
    void sigkillLeavesAReadableRecording()
    {
        QFETCH(int, killAfterMs);
        QTemporaryDir dir;
        BackgroundTune tune(dir.path());
        const QString cache = dir.filePath(QStringLiteral("cache"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CACHE_HOME"), cache);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(VESSARO_BINARY), {QStringLiteral("--verify-capture"), dir.filePath(QStringLiteral("report"))});
        // The first cycle's file appears in the cache once its capture runs.
        const QDir recordings(cache + QStringLiteral("/vessaro/Vessaro"));
        const auto files = [&] { return recordings.entryList({QStringLiteral("recording-*.mp4")}, QDir::Files); };
        QTRY_VERIFY_WITH_TIMEOUT(!files().isEmpty(), 20000);
        const QString path = recordings.filePath(files().first());
        QTest::qWait(killAfterMs - 1000);
        const double readableBefore = durationOf(path);
        QTest::qWait(1000);
        process.kill();
        QVERIFY(process.waitForFinished(5000));

        QCOMPARE(files().size(), 1);
        QCOMPARE(codecOf(path), QStringLiteral("alac"));
        vessaro::test::ScopedEnvironmentVariable cacheHome("XDG_CACHE_HOME", QFile::encodeName(cache));
        // A file that held no whole piece of audio yet is refused (and removed).
        const auto recovered = vessaro::RecordingFile::recoverNewestLeftover();
        if (!recovered) {
            QCOMPARE(readableBefore, 0.0);
            return;
        }
        QVERIFY2(recovered->summary.duration > 0 && recovered->summary.duration >= readableBefore,
                 qPrintable(QStringLiteral("%1 s readable a second before the kill, %2 s kept")
                                .arg(readableBefore)
                                .arg(recovered->summary.duration)));
    }

    void noAudioServerGivesAFailedReport()
    {
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + dir.filePath(QStringLiteral("no-server")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral("cache")));
        const QString reportDirectory = dir.filePath(QStringLiteral("report"));
        const Outcome outcome = runVessaro({QStringLiteral("--verify-capture"), reportDirectory}, dir.path(), env);
        QVERIFY(outcome.exited);
        const QJsonObject report = readReport(reportDirectory);
        QCOMPARE(report.value(QStringLiteral("status")).toString(), QStringLiteral("failed"));
        QVERIFY2(report.value(QStringLiteral("error")).toString().startsWith(QStringLiteral("创建系统音频采集失败（")),
                 qPrintable(report.value(QStringLiteral("error")).toString()));
        QCOMPARE(report.value(QStringLiteral("cycles")).toArray().size(), 0);
        QVERIFY(!report.contains(QStringLiteral("cleanupError")));
        QVERIFY(!report.contains(QStringLiteral("cancelled")));
    }

    void unwritableDirectoryLeavesOneLogLine()
    {
        QTemporaryDir dir;
        QFile plain(dir.filePath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + dir.filePath(QStringLiteral("no-server")));
        // Root writes through mode bits; nothing can be created below a regular file.
        const Outcome outcome = runVessaro({QStringLiteral("--verify-capture"), plain.fileName() + QStringLiteral("/report")},
                                           dir.path(), env);
        QVERIFY(outcome.exited);
        const QList<QByteArray> lines = outcome.standardError.trimmed().split('\n');
        const auto reportLines = std::count_if(lines.cbegin(), lines.cend(), [](const QByteArray& line) {
            return line.startsWith("Capture verification report failed: ");
        });
        QCOMPARE(reportLines, 1);
#ifdef NDEBUG
        // Release builds silence the libraries' own messages: the line is all there is.
        QCOMPARE(lines.size(), 1);
#endif
    }

    void helpAndVersionOpenNoWindow_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QByteArray>("start");
        QTest::newRow("help") << "--help" << QByteArray("Usage: vessaro");
        QTest::newRow("version") << "--version" << QByteArray("vessaro ");
    }

    void helpAndVersionOpenNoWindow()
    {
        QFETCH(QString, argument);
        QFETCH(QByteArray, start);
        QProcess process;
        process.start(QStringLiteral(VESSARO_BINARY), {QStringLiteral("--unknown"), argument});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(process.readAllStandardOutput().startsWith(start));
    }
};

QTEST_GUILESS_MAIN(VerifyCaptureProcessTest)
#include "tst_verifycaptureprocess.moc"
