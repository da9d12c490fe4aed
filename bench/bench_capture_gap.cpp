// The audio missing at a switch of the default output and at a restart of the
// sound server, in milliseconds. Run under scripts/audio-server.sh (it restarts
// the server when sent SIGUSR1, and this program is its command):
//   scripts/audio-server.sh run pulseaudio -- build/bench/bench_capture_gap
// Missing audio is measured as the growth of (wall time x rate - frames
// received) across the event, each side taken once the intake is steady.

#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/PulseAudioHardware.h"

#include <QProcess>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

using namespace vessaro;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<std::uint64_t> g_bytes { 0 };
std::atomic<int> g_followed { 0 };
std::atomic<int> g_reconnected { 0 };

bool pactl(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    return process.waitForFinished(10000) && process.exitCode() == 0;
}

// Wall time times rate minus frames received, in milliseconds of audio.
double deficitMilliseconds(Clock::time_point since, double rate)
{
    const double elapsed = std::chrono::duration<double>(Clock::now() - since).count();
    const double frames = static_cast<double>(g_bytes.load()) / 8.0;
    return (elapsed * rate - frames) / rate * 1000.0;
}

bool waitFor(const std::atomic<int>& counter, int value)
{
    for (int i = 0; i < 2000 && counter.load() < value; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return counter.load() >= value;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main()
{
    const char* sink = std::getenv("VESSARO_TEST_SINK");
    const char* other = std::getenv("VESSARO_TEST_FAKE_MIC");
    if (!sink || !other) {
        std::fprintf(stderr, "run under scripts/audio-server.sh\n");
        return 2;
    }
    CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());
    if (!driver.prepare(CaptureTarget::everything())) {
        std::fprintf(stderr, "prepare failed\n");
        return 1;
    }
    const double rate = driver.format().mSampleRate;
    auto started = driver.start([](const AudioBufferList* list) { g_bytes += list->mBuffers[0].mDataByteSize; },
        [](std::uint64_t) {},
        [](AudioDeviceEvent event) {
            if (event == AudioDeviceEvent::followedOutput)
                ++g_followed;
            else if (event == AudioDeviceEvent::reconnected)
                ++g_reconnected;
        });
    if (!started)
        return 1;
    const auto since = Clock::now();
    const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2500)); };
    settle();

    std::vector<double> switches;
    for (int i = 0; i < 6; ++i) {
        const double before = deficitMilliseconds(since, rate);
        if (!pactl({ QStringLiteral("set-default-sink"), QString::fromUtf8(i % 2 == 0 ? other : sink) })
            || !waitFor(g_followed, i + 1))
            return 1;
        settle();
        switches.push_back(deficitMilliseconds(since, rate) - before);
    }
    pactl({ QStringLiteral("set-default-sink"), QString::fromUtf8(sink) });
    std::vector<double> restarts;
    for (int i = 0; i < 3; ++i) {
        const double before = deficitMilliseconds(since, rate);
        ::kill(::getppid(), SIGUSR1);
        if (!waitFor(g_reconnected, i + 1))
            return 1;
        settle();
        restarts.push_back(deficitMilliseconds(since, rate) - before);
    }
    (void)driver.stop();
    const auto print = [](const char* what, const std::vector<double>& gaps) {
        std::printf("%s:", what);
        for (double gap : gaps)
            std::printf(" %.0f", gap);
        std::printf("  (median %.0f ms)\n", median(gaps));
    };
    std::printf("%s\n", std::getenv("VESSARO_TEST_AUDIO_SERVER"));
    print("gap at a switch of the default output, ms", switches);
    print("gap at a restart of the server, ms", restarts);
    return 0;
}
