// Benchmarks of the FFmpeg media writer: encoding throughput against the
// ffmpeg program on the same input, and the cost of the audio thread's
// append sequence (with a count of its allocations, which must be zero).

#include "media/FfmpegMediaWriter.h"
#include "media/FfmpegMediaWriterFactory.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <random>
#include <vector>

#include <sys/resource.h>
#include <time.h>

// ---- allocation counting: every operator new on a thread that asks for it ----

namespace {
thread_local bool t_countAllocations = false;
thread_local std::uint64_t t_allocations = 0;

void* allocate(std::size_t size)
{
    if (t_countAllocations)
        ++t_allocations;
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (!memory)
        std::abort();
    return memory;
}
} // namespace

void* operator new(std::size_t size)
{
    return allocate(size);
}
void* operator new[](std::size_t size)
{
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}
void operator delete(void* memory) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory) noexcept
{
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}

using namespace vessaro;

namespace {

constexpr int kRate = 48000;
constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kBytesPerFrame = kChannels * sizeof(float);
constexpr std::uint32_t kBufferFrames = 512;

AudioStreamBasicDescription floatStereo()
{
    AudioStreamBasicDescription stream;
    stream.mSampleRate = kRate;
    stream.mFormatID = kAudioFormatLinearPCM;
    stream.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    stream.mBytesPerPacket = kBytesPerFrame;
    stream.mFramesPerPacket = 1;
    stream.mBytesPerFrame = kBytesPerFrame;
    stream.mChannelsPerFrame = kChannels;
    stream.mBitsPerChannel = 32;
    return stream;
}

// Music-like input: two tones and a little noise, at 24-bit precision.
std::vector<float> makeSignal(std::size_t frames)
{
    std::vector<float> samples(frames * kChannels);
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, 0.01);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double left = 0.4 * std::sin(2 * M_PI * 440 * t) + 0.2 * std::sin(2 * M_PI * 1234.5 * t) + noise(random);
        const double right = 0.4 * std::sin(2 * M_PI * 330 * t) + 0.2 * std::sin(2 * M_PI * 987.6 * t) + noise(random);
        samples[i * 2] = static_cast<float>(std::round(left * 8388608.0) / 8388608.0);
        samples[i * 2 + 1] = static_cast<float>(std::round(right * 8388608.0) / 8388608.0);
    }
    return samples;
}

void writeFloatWav(const QString& path, const std::vector<float>& samples)
{
    std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary);
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * sizeof(float));
    auto u32 = [&out](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&out](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(4 + 26 + 12 + 8 + dataBytes);
    out.write("WAVE", 4);
    out.write("fmt ", 4);
    u32(18);
    u16(3); // IEEE float
    u16(kChannels);
    u32(kRate);
    u32(kRate * kBytesPerFrame);
    u16(kBytesPerFrame);
    u16(32);
    u16(0);
    out.write("fact", 4);
    u32(4);
    u32(static_cast<std::uint32_t>(samples.size() / kChannels));
    out.write("data", 4);
    u32(dataBytes);
    out.write(reinterpret_cast<const char*>(samples.data()), dataBytes);
}

std::unique_ptr<MediaWriter> startWriter(const FfmpegMediaWriterFactory& factory, const QString& path)
{
    std::optional<AudioFormatDescription> description;
    if (factory.makeFormatDescription(floatStereo(), &description) != 0)
        return nullptr;
    auto created = factory.createWriter(path);
    if (!created)
        return nullptr;
    std::unique_ptr<MediaWriter> writer = std::move(created).value();
    const AudioOutputSettings settings { kAudioFormatAppleLossless, kRate, static_cast<int>(kChannels), 24 };
    if (!writer->canApplyOutputSettings(settings) || !writer->canAddInput())
        return nullptr;
    writer->addInput(settings, *description);
    if (!writer->startWriting())
        return nullptr;
    writer->startSessionAtZero();
    return writer;
}

// The audio thread's whole sequence for one buffer.
bool appendSequence(MediaWriter& writer, AudioBufferList& list, std::int64_t presentationFrame)
{
    return writer.createSampleBuffer(kBufferFrames, presentationFrame) == 0 && writer.copyIntoSampleBuffer(&list) == 0
        && writer.isReadyForMoreMediaData() && writer.appendSampleBuffer();
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// (a) Encoder throughput, in times real time, against `ffmpeg -c:a alac` on the same input.
void BM_WriterThroughputVersusFfmpeg(benchmark::State& state)
{
    const auto seconds = static_cast<std::size_t>(state.range(0));
    const std::size_t frames = seconds * kRate;
    QTemporaryDir dir;
    const std::vector<float> samples = makeSignal(frames);
    const QString wav = dir.filePath(QStringLiteral("input.wav"));
    writeFloatWav(wav, samples);

    double writerSeconds = 0;
    double ffmpegSeconds = 0;
    for (auto _ : state) {
        // The ring holds the whole input, so feeding never waits for the
        // encoder and the time measured is the encoder's.
        FfmpegMediaWriterFactory factory(samples.size() * sizeof(float));
        const auto start = std::chrono::steady_clock::now();
        auto writer = startWriter(factory, dir.filePath(QStringLiteral("vessaro.mp4")));
        if (!writer) {
            state.SkipWithError("writer did not start");
            return;
        }
        AudioBufferList list;
        list.mNumberBuffers = 1;
        for (std::size_t frame = 0; frame + kBufferFrames <= frames; frame += kBufferFrames) {
            list.mBuffers[0]
                = { kChannels, kBufferFrames * kBytesPerFrame, const_cast<float*>(samples.data() + frame * kChannels) };
            if (!appendSequence(*writer, list, static_cast<std::int64_t>(frame))) {
                state.SkipWithError("writer refused a buffer");
                return;
            }
        }
        writer->markAsFinished();
        writer->finishWriting();
        writerSeconds = secondsSince(start);
        if (writer->status() != MediaWriter::Status::completed) {
            state.SkipWithError("writer did not complete");
            return;
        }

        const QString command = QStringLiteral("ffmpeg -nostdin -loglevel error -y -i '%1' -c:a alac '%2'")
                                    .arg(wav, dir.filePath(QStringLiteral("ffmpeg.mp4")));
        const auto ffmpegStart = std::chrono::steady_clock::now();
        if (std::system(command.toLocal8Bit().constData()) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        ffmpegSeconds = secondsSince(ffmpegStart);
        state.SetIterationTime(writerSeconds);
    }
    const double audioSeconds = static_cast<double>(frames) / kRate;
    state.counters["vessaro_x_realtime"] = audioSeconds / writerSeconds;
    state.counters["ffmpeg_x_realtime"] = audioSeconds / ffmpegSeconds;
    state.counters["vessaro_over_ffmpeg"] = ffmpegSeconds / writerSeconds;
}
BENCHMARK(BM_WriterThroughputVersusFfmpeg)
    ->Arg(60)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// (b) One append sequence (create, copy, ready, append) of 512 frames, as the
// audio thread runs it while the encoder thread works beside it.
void BM_AppendSequence(benchmark::State& state)
{
    constexpr std::int64_t appends = 15000; // 61 MB: fits the ring below even if the encoder never ran
    QTemporaryDir dir;
    const std::vector<float> samples = makeSignal(kBufferFrames * 64);
    FfmpegMediaWriterFactory factory(std::size_t { 64 } << 20);
    auto writer = startWriter(factory, dir.filePath(QStringLiteral("append.mp4")));
    if (!writer) {
        state.SkipWithError("writer did not start");
        return;
    }
    std::vector<std::int64_t> nanoseconds;
    nanoseconds.reserve(appends);
    // Where the worst calls' time goes: page faults and preemptions of the
    // calling thread, read outside the timed span.
    std::int64_t faultsInAppends = 0;
    std::int64_t callsWithFaults = 0;
    std::int64_t worstNanoseconds = -1;
    std::int64_t worstFaults = 0;
    std::int64_t worstSwitches = 0;
    AudioBufferList list;
    list.mNumberBuffers = 1;
    std::int64_t frame = 0;
    bool refused = false;

    // The counter must see an allocation that is known to happen.
    t_allocations = 0;
    t_countAllocations = true;
    benchmark::DoNotOptimize(std::make_unique<int>(1));
    if (t_allocations != 1) {
        t_countAllocations = false;
        state.SkipWithError("the allocation counter does not count");
        return;
    }
    t_allocations = 0;
    for (auto _ : state) {
        list.mBuffers[0] = { kChannels, kBufferFrames * kBytesPerFrame,
            const_cast<float*>(samples.data() + static_cast<std::size_t>(frame % (kBufferFrames * 64)) * kChannels) };
        timespec before {};
        timespec after {};
        rusage usageBefore {};
        rusage usageAfter {};
        getrusage(RUSAGE_THREAD, &usageBefore);
        clock_gettime(CLOCK_MONOTONIC, &before);
        refused |= !appendSequence(*writer, list, frame);
        clock_gettime(CLOCK_MONOTONIC, &after);
        getrusage(RUSAGE_THREAD, &usageAfter);
        const std::int64_t spent = (after.tv_sec - before.tv_sec) * 1000000000LL + (after.tv_nsec - before.tv_nsec);
        const std::int64_t faults
            = (usageAfter.ru_minflt - usageBefore.ru_minflt) + (usageAfter.ru_majflt - usageBefore.ru_majflt);
        faultsInAppends += faults;
        callsWithFaults += faults > 0 ? 1 : 0;
        if (spent > worstNanoseconds) {
            worstNanoseconds = spent;
            worstFaults = faults;
            worstSwitches
                = (usageAfter.ru_nivcsw - usageBefore.ru_nivcsw) + (usageAfter.ru_nvcsw - usageBefore.ru_nvcsw);
        }
        // The vector is reserved, so this does not allocate.
        nanoseconds.push_back(spent);
        frame += kBufferFrames;
    }
    t_countAllocations = false;
    const std::uint64_t allocations = t_allocations;

    writer->markAsFinished();
    writer->finishWriting();
    if (refused) {
        state.SkipWithError("writer refused a buffer");
        return;
    }
    std::sort(nanoseconds.begin(), nanoseconds.end());
    const auto at = [&](double quantile) {
        return static_cast<double>(
            nanoseconds[static_cast<std::size_t>(quantile * static_cast<double>(nanoseconds.size() - 1))]);
    };
    state.counters["median_ns"] = at(0.5);
    state.counters["p99.9_ns"] = at(0.999);
    state.counters["max_ns"] = static_cast<double>(nanoseconds.back());
    state.counters["allocations"] = static_cast<double>(allocations);
    state.counters["page_faults"] = static_cast<double>(faultsInAppends);
    state.counters["calls_with_faults"] = static_cast<double>(callsWithFaults);
    state.counters["worst_faults"] = static_cast<double>(worstFaults);
    state.counters["worst_switches"] = static_cast<double>(worstSwitches);
}
BENCHMARK(BM_AppendSequence)->Iterations(15000)->Repetitions(10);

} // namespace

BENCHMARK_MAIN();
