// The memory of a recording fed through the writer (the real FFmpeg one),
// faster than real time: resident size at the start, after each hour, and
// how it grows per hour. Arguments: hours (default 2).
//   build/bench/bench_recording_memory 2

#include "base/AudioStreamBasicDescription.h"
#include "capture/AudioSampleWriter.h"
#include "media/FfmpegMediaWriterFactory.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

using namespace vessaro;

namespace {

// Resident set size in MiB, from /proc.
double residentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toDouble() / 1024.0;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int hours = argc > 1 ? std::atoi(argv[1]) : 2;
    QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", cache.path().toUtf8());
    constexpr std::uint32_t rate = 48000;
    constexpr std::uint32_t framesPerBuffer = 480;
    // Quiet noise, about what a recording of music compresses like.
    std::vector<float> sound(std::size_t { rate } * 10 * 2);
    std::mt19937 random(7);
    std::normal_distribution<float> normal(0.0F, 0.05F);
    for (float& value : sound)
        value = normal(random);

    const AudioStreamBasicDescription format = AudioStreamBasicDescription::stereoFloat(rate);
    auto made
        = AudioSampleWriter::create(format, std::make_shared<FfmpegMediaWriterFactory>(std::size_t { rate } * 8 * 60));
    if (!made)
        return 1;
    const auto writer = made.value();
    std::vector<double> residents { residentMiB() };
    std::printf("start: %.1f MiB\n", residents.back());
    const auto started = std::chrono::steady_clock::now();
    const std::int64_t framesPerHour = std::int64_t { 3600 } * rate;
    for (std::int64_t fed = 0; fed < hours * framesPerHour; fed += framesPerBuffer) {
        const auto offset = static_cast<std::size_t>(fed % (std::int64_t { rate } * 10)) * 2;
        AudioBufferList list { 1, { { 2, framesPerBuffer * 8, sound.data() + offset } } };
        writer->append(&list);
        if (fed % (std::int64_t { rate } * 60) == 0) {
            if (writer->interruption())
                return 1;
            // Sixty times real time: the one-minute ring never fills.
            std::this_thread::sleep_until(started + std::chrono::duration<double>(double(fed) / rate / 60));
        }
        if ((fed + framesPerBuffer) % framesPerHour == 0) {
            residents.push_back(residentMiB());
            std::printf("after hour %zu: %.1f MiB\n", residents.size() - 1, residents.back());
            std::fflush(stdout);
        }
    }
    auto finished = writer->finish();
    if (!finished)
        return 1;
    std::printf("file: %.0f MiB\n", static_cast<double>(QFile(finished.value()).size()) / 1048576.0);
    if (residents.size() > 2)
        std::printf("growth per hour after the first: %.1f MiB\n",
            (residents.back() - residents[1]) / static_cast<double>(residents.size() - 2));
    QFile::remove(finished.value());
    return 0;
}
