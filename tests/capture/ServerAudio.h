#pragma once

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>
#include <QThread>

// Skips the calling test without a private server (support/TestSupport.h).
#define VESSARO_REQUIRE_AUDIO_SERVER()                                                                                 \
    if (!vessaro::test::audioServerAvailable())                                                                        \
    QSKIP("needs the private audio server (scripts/audio-server.sh)")

namespace vessaro::test {

// Polls until `done` holds. The limit only turns a hang into a failure; it
// measures nothing.
template <typename Predicate> bool eventually(Predicate done)
{
    for (QDeadlineTimer deadline(20000); !done(); QThread::msleep(5))
        if (deadline.hasExpired())
            return false;
    return true;
}

// Sound on the private audio server of scripts/audio-server.sh. Test thread only.
struct ServerAudio {
    // A sound file that sox makes from its synth arguments `synth`, e.g.
    // {"0.4", "sine", "1000"}, once per process. Its path, or an empty string.
    static QString sound(const QStringList& synth);
    // Plays `file` with paplay to `sink` (the default output when empty) and
    // returns when it has been played out; false when paplay failed.
    static bool play(const QString& file, const QString& sink = {});

    // The sink and the fake microphone that the script creates, and the output's rate.
    static QString outputSink() { return qEnvironmentVariable("VESSARO_TEST_SINK", QStringLiteral("vessaro_out")); }
    static QString fakeMicrophoneSink() { return qEnvironmentVariable("VESSARO_TEST_FAKE_MIC", "vessaro_fake_mic"); }
    static double outputSampleRate() { return qEnvironmentVariable("VESSARO_TEST_SINK_RATE", "48000").toDouble(); }
};

} // namespace vessaro::test
