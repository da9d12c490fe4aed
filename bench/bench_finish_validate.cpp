// How long the user waits after pressing stop: the writer's finish() and the
// validation of the file, after 10 s, 10 min and 1 h of audio, and the peak
// memory of the process for the longest. Run by hand:
//   build/bench/bench_finish_validate [seconds...]

#include "base/AudioStreamBasicDescription.h"
#include "capture/AudioSampleWriter.h"
#include "files/RecordingFile.h"
#include "media/FfmpegMediaWriterFactory.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include <sys/resource.h>

using namespace vessaro;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kFramesPerBuffer = 512;
// Feeding faster than real time, but well below what the encoder sustains,
// so the ring never refuses (a refusal would end the recording).
constexpr double kFeedSpeed = 40.0;

long peakKilobytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Row {
    double seconds;
    double feedWall;
    double finishMs;
    double validateMs;
    long peakKb;
    bool ok;
};

Row measure(double seconds)
{
    const AudioStreamBasicDescription format = AudioStreamBasicDescription::stereoFloat(48000);
    auto created = AudioSampleWriter::create(format, std::make_shared<FfmpegMediaWriterFactory>());
    if (!created) {
        std::fprintf(stderr, "writer: %s\n", qPrintable(created.error().localizedDescription()));
        return { seconds, 0, 0, 0, 0, false };
    }
    auto writer = created.value();

    // A slow sweep: not silence, so the encoder does real work.
    std::vector<float> samples(kFramesPerBuffer * 2);
    AudioBufferList list { 1, { { 2, kFramesPerBuffer * 8, samples.data() } } };
    const auto buffers = static_cast<std::uint64_t>(seconds * 48000 / kFramesPerBuffer);
    const auto started = Clock::now();
    double phase = 0;
    for (std::uint64_t i = 0; i < buffers; ++i) {
        for (std::uint32_t f = 0; f < kFramesPerBuffer; ++f) {
            phase += 0.03 + 0.02 * std::sin(double(i) * 1e-4);
            samples[f * 2] = samples[f * 2 + 1] = static_cast<float>(0.5 * std::sin(phase));
        }
        writer->append(&list);
        const auto due = started + std::chrono::duration<double>(double(i + 1) * kFramesPerBuffer / 48000 / kFeedSpeed);
        std::this_thread::sleep_until(due);
    }
    const double feedWall = std::chrono::duration<double>(Clock::now() - started).count();

    const auto finishing = Clock::now();
    auto finished = writer->finish();
    const double finishMs = std::chrono::duration<double, std::milli>(Clock::now() - finishing).count();
    writer.reset();
    if (!finished) {
        std::fprintf(stderr, "finish: %s\n", qPrintable(finished.error().localizedDescription()));
        return { seconds, feedWall, finishMs, 0, peakKilobytes(), false };
    }
    const auto validating = Clock::now();
    auto summary = RecordingFile::validate(finished.value());
    const double validateMs = std::chrono::duration<double, std::milli>(Clock::now() - validating).count();
    const bool ok
        = summary.ok() && std::abs(summary.value().duration - double(buffers * kFramesPerBuffer) / 48000) < 1e-9;
    QFile::remove(finished.value());
    return { seconds, feedWall, finishMs, validateMs, peakKilobytes(), ok };
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));

    std::vector<double> lengths;
    for (int i = 1; i < argc; ++i)
        lengths.push_back(std::atof(argv[i])); // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
    if (lengths.empty())
        lengths = { 10, 600, 3600 };

    std::printf("%12s %12s %12s %14s %18s %14s %6s\n", "audio (s)", "fed in (s)", "finish (ms)", "validate (ms)",
        "stop to file (ms)", "peak RSS (MiB)", "ok");
    for (double seconds : lengths) {
        const Row row = measure(seconds);
        std::printf("%12.0f %12.1f %12.1f %14.1f %18.1f %14.1f %6s\n", row.seconds, row.feedWall, row.finishMs,
            row.validateMs, row.finishMs + row.validateMs, double(row.peakKb) / 1024, row.ok ? "yes" : "NO");
        std::fflush(stdout);
    }
    return 0;
}
