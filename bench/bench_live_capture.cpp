// Live capture on a real sound server, while something plays:
//   - the time from the start request to the first captured frame (ten starts);
//   - how long one audio callback of ours runs (the writer's append), over a
//     recording of the given length (default 60 s).
// Run under scripts/audio-server.sh, with a signal playing into its sink:
//   scripts/audio-server.sh run pulseaudio -- build/bench/bench_live_capture 60
// Prints "name value" lines for bench/table.sh.

#include "capture/AudioSampleWriter.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/PulseAudioHardware.h"
#include "media/FfmpegMediaWriterFactory.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace vessaro;
using Clock = std::chrono::steady_clock;

namespace {

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

// From start() to the first callback that carries audio, in milliseconds.
bool measureStarts(int count, std::vector<double>& startMs)
{
    CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());
    for (int i = 0; i < count; ++i) {
        if (auto prepared = driver.prepare(CaptureTarget::everything()); !prepared) {
            std::fprintf(stderr, "prepare: %s\n", qPrintable(prepared.error().localizedDescription()));
            return false;
        }
        std::atomic<std::int64_t> firstFrameNs { 0 };
        const auto requested = Clock::now();
        auto started = driver.start(
            [&firstFrameNs, requested](const AudioBufferList* list) {
                if (list->mBuffers[0].mDataByteSize > 0 && firstFrameNs.load(std::memory_order_relaxed) == 0)
                    firstFrameNs.store((Clock::now() - requested).count(), std::memory_order_relaxed);
            },
            [](std::uint64_t) {}, [](AudioDeviceEvent) {});
        if (!started) {
            std::fprintf(stderr, "start: %s\n", qPrintable(started.error().localizedDescription()));
            return false;
        }
        for (int wait = 0; wait < 500 && firstFrameNs.load() == 0; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (auto stopped = driver.stop(); !stopped) {
            std::fprintf(stderr, "stop: %s\n", qPrintable(stopped.error().localizedDescription()));
            return false;
        }
        if (firstFrameNs.load() == 0) {
            std::fprintf(stderr, "no audio within a second of the start\n");
            return false;
        }
        startMs.push_back(static_cast<double>(firstFrameNs.load()) / 1e6);
    }
    return true;
}

// Every append of a real recording, timed on the audio thread into a
// buffer reserved beforehand (the timing itself must not allocate).
bool measureCallbacks(double seconds, std::vector<double>& callbackUs, double& bufferMs)
{
    CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());
    if (!driver.prepare(CaptureTarget::everything()))
        return false;
    auto created = AudioSampleWriter::create(driver.format(), std::make_shared<FfmpegMediaWriterFactory>());
    if (!created)
        return false;
    std::shared_ptr<AudioSampleWriter> writer = created.value();
    std::vector<double> timings(static_cast<std::size_t>(seconds * 1000) + 1000);
    std::atomic<std::size_t> count { 0 };
    std::atomic<std::uint64_t> bytes { 0 };
    auto started = driver.start(
        [&](const AudioBufferList* list) {
            const auto before = Clock::now();
            writer->append(list);
            const double us = std::chrono::duration<double, std::micro>(Clock::now() - before).count();
            const std::size_t at = count.load(std::memory_order_relaxed);
            if (at < timings.size()) {
                timings[at] = us;
                count.store(at + 1, std::memory_order_relaxed);
            }
            bytes.fetch_add(list->mBuffers[0].mDataByteSize, std::memory_order_relaxed);
        },
        [](std::uint64_t) {}, [](AudioDeviceEvent) {});
    if (!started)
        return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const bool stopped = driver.stop().ok();
    auto finished = writer->finish();
    if (finished)
        QFile::remove(finished.value());
    const std::size_t calls = count.load();
    callbackUs.assign(timings.begin(), timings.begin() + static_cast<std::ptrdiff_t>(calls));
    const double frames = static_cast<double>(bytes.load()) / driver.format().mBytesPerFrame;
    bufferMs = calls ? frames / static_cast<double>(calls) / driver.format().mSampleRate * 1000.0 : 0;
    return stopped && finished.ok() && calls > 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));

    std::vector<double> startMs;
    if (!measureStarts(10, startMs)) {
        std::fprintf(stderr, "bench_live_capture: a start failed (is a sound server running?)\n");
        return 1;
    }
    std::vector<double> callbackUs;
    double bufferMs = 0;
    if (!measureCallbacks(seconds, callbackUs, bufferMs)) {
        std::fprintf(stderr, "bench_live_capture: the recording failed\n");
        return 1;
    }
    std::printf("start_to_first_frame_median_ms %.1f\n", percentile(startMs, 0.5));
    std::printf("start_to_first_frame_worst_ms %.1f\n", percentile(startMs, 1.0));
    std::printf("start_to_first_frame_each_ms");
    for (const double ms : startMs)
        std::printf(" %.1f", ms);
    std::printf("\n");
    std::printf("callback_count %zu\n", callbackUs.size());
    std::printf("callback_median_us %.1f\n", percentile(callbackUs, 0.5));
    std::printf("callback_p999_us %.1f\n", percentile(callbackUs, 0.999));
    std::printf("callback_worst_us %.1f\n", percentile(callbackUs, 1.0));
    std::printf("callback_audio_ms %.1f\n", bufferMs);
    return 0;
}
