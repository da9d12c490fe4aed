// The export of a 16-bit recording: how fast the 24-bit recording is rewritten
// as 16-bit ALAC and verified (in multiples of real time; it must stay at 100
// or more), and what a minute of it costs on disk beside ffmpeg's own 16-bit
// ALAC of the same samples (it must stay within 1.1 times). Run by hand
// (bench/table.sh does):
//   build/bench/bench_sixteen_bit_export SIGNAL.s16le
// where the signal is raw 16-bit stereo at 48 kHz. Prints key=value lines.

#include "base/AudioStreamBasicDescription.h"
#include "files/RecordingExport.h"
#include "files/RecordingFile.h"
#include "media/FfmpegMediaWriterFactory.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

using namespace vessaro;

namespace {

constexpr double kRate = 48000;
constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kFramesPerBuffer = 960;

// CPU time of every thread of the process so far.
double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double mibPerMinute(const QString& path, double seconds)
{
    return static_cast<double>(QFileInfo(path).size()) / (1024.0 * 1024.0) / (seconds / 60.0);
}

// The app's 24-bit recording of the samples, with a ring that holds them all.
bool record(const QByteArray& samples, const QString& path)
{
    const AudioStreamBasicDescription stream { kRate, kAudioFormatLinearPCM,
        kAudioFormatFlagIsPacked | kAudioFormatFlagIsSignedInteger, 4, 1, 4, kChannels, 16 };
    const FfmpegMediaWriterFactory factory(static_cast<std::size_t>(samples.size()) * 2);
    std::optional<AudioFormatDescription> description;
    auto created = factory.createWriter(path);
    if (!created || factory.makeFormatDescription(stream, &description) != 0)
        return false;
    MediaWriter& writer = *created.value();
    AudioOutputSettings settings = RecordingFile::alacSettings();
    writer.addInput(settings, *description);
    if (!writer.startWriting())
        return false;
    const auto frames = static_cast<std::int64_t>(samples.size() / 4);
    for (std::int64_t done = 0; done < frames; done += kFramesPerBuffer) {
        const auto count = static_cast<std::uint32_t>(std::min<std::int64_t>(kFramesPerBuffer, frames - done));
        AudioBufferList list { 1, { { kChannels, count * 4, const_cast<char*>(samples.constData() + done * 4) } } };
        if (writer.createSampleBuffer(count, done) != 0 || writer.copyIntoSampleBuffer(&list) != 0
            || !writer.appendSampleBuffer())
            return false;
    }
    writer.finishWriting();
    return writer.status() == MediaWriter::Status::completed;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SIGNAL.s16le (16-bit stereo, 48 kHz)\n", argv[0]);
        return 2;
    }
    QFile input(QString::fromLocal8Bit(argv[1]));
    if (!input.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray samples = input.readAll();
    const double seconds = static_cast<double>(samples.size()) / 4 / kRate;
    QTemporaryDir dir;
    const QString recording = dir.filePath(QStringLiteral("recording.mp4"));
    const QString exported = dir.filePath(QStringLiteral("exported.mp4"));
    const QString anchor = dir.filePath(QStringLiteral("ffmpeg.m4a"));
    if (!record(samples, recording))
        return 1;
    const auto summary = RecordingFile::validate(recording);
    if (!summary)
        return 1;

    const double cpuBefore = cpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    std::chrono::duration<double> encoded {};
    const auto result = RecordingExport::run(
        recording, summary.value(), exported,
        [&](double fraction) {
            if (fraction <= 0.7)
                encoded = std::chrono::steady_clock::now() - started;
        },
        *CancellationToken::create());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const double cpu = cpuSeconds() - cpuBefore;
    if (!result || result.value().bitDepth != 16)
        return 1;
    if (QProcess::execute(QStringLiteral("ffmpeg"),
            { "-nostdin", "-loglevel", "error", "-y", "-f", "s16le", "-ar", "48000", "-ac", "2", "-i", input.fileName(),
                "-c:a", "alac", "-sample_fmt", "s16p", anchor })
        != 0)
        return 1;
    const double ours = mibPerMinute(exported, seconds);
    const double theirs = mibPerMinute(anchor, seconds);
    std::printf("seconds=%.1f\nexport_seconds=%.3f\nencoding_seconds=%.3f\nexport_x_realtime=%.1f\n", seconds,
        took.count(), encoded.count(), seconds / took.count());
    std::printf("export_cpu_seconds=%.3f\n", cpu);
    std::printf(
        "recording24_mib_per_minute=%.2f\nexported16_mib_per_minute=%.2f\n", mibPerMinute(recording, seconds), ours);
    std::printf("ffmpeg_alac16_mib_per_minute=%.2f\nsize_ratio=%.3f\n", theirs, ours / theirs);
    return seconds / took.count() >= 100 && ours / theirs <= 1.1 ? 0 : 3;
}
