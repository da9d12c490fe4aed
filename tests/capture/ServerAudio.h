#pragma once

#include <QString>

// Sounds for tests that run against the private audio server (see
// scripts/audio-server.sh). Test thread only.
namespace vessaro::test::ServerAudio {

// Writes a sound file with sox: `synth` is sox's synth arguments, e.g.
// {"0.4", "sine", "1000"}. Returns its path, or an empty string.
QString makeSound(const QString& directory, const QString& name, const QStringList& synth);

// Plays `file` with paplay to `sink` (the default output when empty) and
// returns when it has been played out; false when paplay failed.
bool play(const QString& file, const QString& sink = {});

// The sink and the fake microphone that the script creates.
QString outputSink();
QString fakeMicrophoneSink();
// The output's sample rate, as configured by the script.
double outputSampleRate();

} // namespace vessaro::test::ServerAudio
