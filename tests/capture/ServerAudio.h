#pragma once

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>
#include <QThread>

// Helpers for tests that run against the private audio server (see
// scripts/audio-server.sh). Test thread only.
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

} // namespace vessaro::test

// Skips the calling test without a private server (support/TestSupport.h).
#define VESSARO_REQUIRE_AUDIO_SERVER()                                                                                 \
    if (!vessaro::test::audioServerAvailable())                                                                        \
    QSKIP("needs the private audio server (scripts/audio-server.sh)")

namespace vessaro::test::ServerAudio {

// A sound file that sox makes from its synth arguments `synth`, e.g.
// {"0.4", "sine", "1000"}, once per process. Its path, or an empty string.
QString sound(const QStringList& synth);

// Plays `file` with paplay to `sink` (the default output when empty) and
// returns when it has been played out; false when paplay failed.
bool play(const QString& file, const QString& sink = {});

// The sink and the fake microphone that the script creates.
QString outputSink();
QString fakeMicrophoneSink();
// The output's sample rate, as configured by the script.
double outputSampleRate();

} // namespace vessaro::test::ServerAudio
