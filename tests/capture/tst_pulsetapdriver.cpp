// The capture driver over the PulseAudio backend on a real private server
// (scripts/audio-server.sh): cycles, its diagnostics per state, server failures,
// following the output, reconnecting, and audio the server drops.

#include "PrivateAudioServer.h"
#include "ReceivedAudio.h"
#include "support/ScopedEnvironmentVariable.h"
#include "ServerAudio.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/PulseAudioHardware.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QTest>

#include <cmath>

using namespace vessaro;
using namespace vessaro::test;

namespace {

// What the user would read, or nothing on success.
QString messageOf(const Result<void>& result)
{
    return result ? QString() : result.error().localizedDescription();
}

// The diagnostics, with a held tap or device shown as "held".
Diagnostics shown(const CoreAudioTapDriver& driver)
{
    Diagnostics diagnostics = driver.diagnostics();
    for (const QString& key : {QStringLiteral("tap"), QStringLiteral("device")})
        if (diagnostics.value(key) != QStringLiteral("0"))
            diagnostics[key] = QStringLiteral("held");
    return diagnostics;
}

Diagnostics state(const char* handles, const char* io, const char* running, const QString& sampleRate)
{
    return {{"backend", "PulseAudio"}, {"tap", handles},          {"device", handles}, {"io", io},
            {"running", running},      {"sampleRate", sampleRate}};
}

const QString rate = QString::number(ServerAudio::outputSampleRate(), 'f', 1);

bool setDefaultSink(const QString& sink)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("set-default-sink"), sink});
    return pactl.waitForFinished(10000) && pactl.exitCode() == 0;
}

// Whether `heard` holds tones near `expected`, in that order.
bool heardInOrder(const std::vector<double>& heard, const std::vector<double>& expected)
{
    std::size_t next = 0;
    for (double frequency : heard)
        if (next < expected.size() && std::fabs(frequency - expected[next]) < expected[next] / 10)
            ++next;
    return next == expected.size();
}

} // namespace

class TestPulseTapDriver : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // prepare → start → stop three times on one driver, checking the state
    // table after each step and that stop() is the hand-over.
    void threeCyclesFollowTheStateTable()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        const QString tone = ServerAudio::sound({"0.3", "sine", "440"});
        CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());
        for (int cycle = 0; cycle < 3; ++cycle) {
            QCOMPARE(messageOf(driver.prepare()), QString());
            QCOMPARE(shown(driver), state("held", "none", "false", rate));
            auto received = std::make_shared<ReceivedAudio>();
            QVERIFY(driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received), {}));
            QCOMPARE(shown(driver), state("held", "allocated", "true", rate));

            QVERIFY(ServerAudio::play(tone));
            QVERIFY(eventually([&] { return received->peakFrom(0) > 0.1F; })); // the tone arrived
            QCOMPARE(messageOf(driver.stop()), QString());
            received->markBarrier();
            QCOMPARE(shown(driver), state("0", "none", "false", rate));
            QVERIFY(ServerAudio::play(tone));
            std::lock_guard lock(received->mutex);
            QCOMPARE(received->afterBarrier, 0);
            QCOMPARE(received->malformed, 0);
        }
    }

    // Without a server the first step fails with the status the user reads,
    // and nothing stays held.
    void prepareWithoutServerFailsAndReleasesEverything()
    {
        ScopedEnvironmentVariable server("PULSE_SERVER", "unix:/nonexistent/vessaro/native");
        CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());
        QCOMPARE(messageOf(driver.prepare()),
                 QStringLiteral("创建系统音频采集失败（-6）。请确认声音服务正在运行后重试。"));
        QCOMPARE(shown(driver), state("0", "none", "false", "0.0"));
        QVERIFY(driver.stop());
        QVERIFY(!driver.start([](const AudioBufferList*) {}, nullptr, nullptr));
    }

    // The server dies mid-recording: stop() still succeeds and reaches idle,
    // and the death is not reported as lost audio.
    void serverDeathWhileRecordingStopsCleanly()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        PrivateAudioServer doomed;
        QVERIFY2(doomed.isRunning(), "could not start a second private server");
        CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());
        QCOMPARE(messageOf(driver.prepare()), QString());
        auto received = std::make_shared<ReceivedAudio>();
        QVERIFY(driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received), {}));
        QVERIFY(eventually([&] { return received->sampleCount() > 0; }));

        QVERIFY(doomed.kill());
        QCOMPARE(messageOf(driver.stop()), QString());
        QCOMPARE(shown(driver), state("0", "none", "false", rate));
        std::lock_guard lock(received->mutex);
        QCOMPARE(received->losses, 0);
    }

    // Two outputs play different tones. A new default output mid-recording,
    // then a restart of the server: the one stream holds the first tone, the
    // second, then the first again, and nothing counts as lost.
    void followsTheDefaultOutputAndSurvivesARestart()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        PrivateAudioServer server;
        QVERIFY2(server.isRunning(), "could not start a second private server");
        const QString low = ServerAudio::sound({"0.5", "sine", "440"});
        const QString high = ServerAudio::sound({"0.5", "sine", "1000"});
        CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());
        QCOMPARE(messageOf(driver.prepare()), QString());
        auto received = std::make_shared<ReceivedAudio>();
        QVERIFY(driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received),
                             ReceivedAudio::eventsInto(received)));
        const auto restoreDefault = qScopeGuard([] { setDefaultSink(ServerAudio::outputSink()); });

        // A new stream may begin to deliver a moment after it is ready: play
        // each tone until it is heard, a few times at most.
        const auto playUntilHeard = [&](const QString& tone, const QString& sink, const std::vector<double>& order) {
            for (int attempt = 0; attempt < 5; ++attempt) {
                if (!ServerAudio::play(tone, sink))
                    return false;
                if (heardInOrder(received->tones(ServerAudio::outputSampleRate()), order))
                    return true;
            }
            return false;
        };
        QVERIFY(playUntilHeard(low, ServerAudio::outputSink(), {440}));
        QVERIFY(setDefaultSink(ServerAudio::fakeMicrophoneSink()));
        QVERIFY(eventually([&] { return received->eventCount(AudioDeviceEvent::followedOutput) == 1; }));
        QVERIFY(playUntilHeard(high, ServerAudio::fakeMicrophoneSink(), {440, 1000}));

        QVERIFY(server.restart());
        QVERIFY(eventually([&] { return received->eventCount(AudioDeviceEvent::reconnected) == 1; }));
        // The restarted server's default is the first output again.
        QVERIFY(playUntilHeard(low, ServerAudio::outputSink(), {440, 1000, 440}));
        QCOMPARE(shown(driver), state("held", "allocated", "true", rate));
        QCOMPARE(messageOf(driver.stop()), QString());
        QCOMPARE(received->lossCount(), 0);
        QCOMPARE(received->eventCount(AudioDeviceEvent::serverLost), 0);
    }

    // A server that does not come back within the window is reported lost
    // once; stopping still succeeds.
    void aServerGoneForGoodIsReported()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        PrivateAudioServer doomed;
        QVERIFY2(doomed.isRunning(), "could not start a second private server");
        CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>(PulseAudioHardware::defaultOperationTimeout,
                                                                       std::chrono::milliseconds(500)));
        QCOMPARE(messageOf(driver.prepare()), QString());
        auto received = std::make_shared<ReceivedAudio>();
        QVERIFY(driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received),
                             ReceivedAudio::eventsInto(received)));
        QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
        QVERIFY(doomed.kill());
        QVERIFY(eventually([&] { return received->eventCount(AudioDeviceEvent::serverLost) == 1; }));
        QCOMPARE(messageOf(driver.stop()), QString());
        QCOMPARE(received->eventCount(AudioDeviceEvent::reconnected), 0);
    }

    // The audio thread stalls for longer than the server holds audio for us:
    // the server drops some without a word, and the supervisor reports it.
    void audioTheServerDropsIsReportedAsLoss()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        auto hardware = std::make_unique<PulseAudioHardware>();
        PulseAudioHardware* stalled = hardware.get();
        CoreAudioTapDriver driver(std::move(hardware));
        QCOMPARE(messageOf(driver.prepare()), QString());
        auto received = std::make_shared<ReceivedAudio>();
        QVERIFY(driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received),
                             ReceivedAudio::eventsInto(received)));
        // Long enough for the supervisor to take its measure of the intake first.
        QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
        QTest::qWait(1000);
        QCOMPARE(received->lossCount(), 0);
        stalled->stallAudioThreadOnce(std::chrono::milliseconds(6000));
        QVERIFY(eventually([&] { return received->lossCount() == 1; }));
        QCOMPARE(messageOf(driver.stop()), QString());
    }
};

QTEST_GUILESS_MAIN(TestPulseTapDriver)
#include "tst_pulsetapdriver.moc"
