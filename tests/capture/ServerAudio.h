#pragma once

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

// Skips the calling test without a private server (support/TestSupport.h).
#define VESSARO_REQUIRE_AUDIO_SERVER()                                                                                 \
    if (!vessaro::test::audioServerAvailable())                                                                        \
    QSKIP("needs the private audio server (scripts/audio-server.sh)")

namespace vessaro::test {

// Polls until `done` holds. The limit only turns a hang into a failure; it measures nothing.
template <typename Predicate> bool eventually(Predicate done)
{
    for (QDeadlineTimer deadline(20000); !done(); QThread::msleep(5))
        if (deadline.hasExpired())
            return false;
    return true;
}

// Sound on the private audio server of scripts/audio-server.sh. Test thread only.
struct ServerAudio {
    // A file sox makes once per process from its synth arguments, e.g. {"0.4", "sine", "1000"}; empty on failure.
    static QString sound(const QStringList& synth)
    {
        static QTemporaryDir directory; // removed at exit; the sounds are tiny
        const QString path = directory.filePath(synth.join(QLatin1Char('_')) + QStringLiteral(".wav"));
        // 16-bit stereo at the output's rate; the server converts as it pleases.
        const QStringList arguments
            = QStringList { "-n", "-r", QString::number(outputSampleRate()), "-c", "2", "-b", "16", path, "synth" }
            + synth + QStringList { "vol", "0.5" };
        return QFile::exists(path) || (directory.isValid() && run("sox", arguments)) ? path : QString();
    }
    // Plays `file` to `sink` (empty: the default output) and returns once played out; false when paplay failed.
    static bool play(const QString& file, const QString& sink = {})
    {
        return run("paplay", sink.isEmpty() ? QStringList { file } : QStringList { "--device=" + sink, file });
    }

    static bool setDefaultSink(const QString& sink) { return run("pactl", { "set-default-sink", sink }); }
    // The sink and the fake microphone that the script creates, and the output's rate.
    static QString outputSink() { return qEnvironmentVariable("VESSARO_TEST_SINK", QStringLiteral("vessaro_out")); }
    static QString fakeMicrophoneSink() { return qEnvironmentVariable("VESSARO_TEST_FAKE_MIC", "vessaro_fake_mic"); }
    static double outputSampleRate() { return qEnvironmentVariable("VESSARO_TEST_SINK_RATE", "48000").toDouble(); }

private:
    static bool run(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(program, arguments);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }
};

} // namespace vessaro::test
