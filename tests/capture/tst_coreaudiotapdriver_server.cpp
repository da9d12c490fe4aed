// The capture driver over the PulseAudio backend on a real private server
// (scripts/audio-server.sh): a cycle that follows the output and survives a
// restart, a server gone for good, and audio the server drops.

#include "PrivateAudioServer.h"
#include "ReceivedAudio.h"
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

bool setDefaultSink(const QString& sink)
{
    return QProcess::execute(QStringLiteral("pactl"), { QStringLiteral("set-default-sink"), sink }) == 0;
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

// A driver on its own backend, started into `received`.
struct Capture {
    explicit Capture(std::chrono::milliseconds reconnectWindow = PulseAudioHardware::defaultReconnectWindow)
        : driver(std::make_unique<PulseAudioHardware>(PulseAudioHardware::defaultOperationTimeout, reconnectWindow))
    { }
    bool start()
    {
        return driver.prepare()
            && driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received),
                ReceivedAudio::eventsInto(received));
    }
    Diagnostics running() const
    {
        return { QStringLiteral("PulseAudio"), 1, 2, true, true, ServerAudio::outputSampleRate() };
    }
    std::shared_ptr<ReceivedAudio> received = std::make_shared<ReceivedAudio>();
    CoreAudioTapDriver driver;
};

} // namespace

class CoreAudioTapDriverServerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Two outputs play different tones. A new default output mid-recording,
    // then a restart of the server: the one stream holds the first tone, the
    // second, then the first again, and nothing counts as lost. Once stopped,
    // nothing more arrives.
    void aCycleFollowsTheOutputAndSurvivesARestart()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        PrivateAudioServer server;
        QVERIFY2(server.isRunning(), "could not start a second private server");
        const QString low = ServerAudio::sound({ "0.5", "sine", "440" });
        const QString high = ServerAudio::sound({ "0.5", "sine", "1000" });
        Capture capture;
        QVERIFY(capture.start());
        QCOMPARE(capture.driver.diagnostics(), capture.running());
        const auto restoreDefault = qScopeGuard([] { setDefaultSink(ServerAudio::outputSink()); });

        // A new stream may begin to deliver a moment after it is ready: play
        // each tone until it is heard, a few times at most.
        const auto playUntilHeard = [&](const QString& tone, const QString& sink, const std::vector<double>& order) {
            for (int attempt = 0; attempt < 5; ++attempt)
                if (ServerAudio::play(tone, sink)
                    && heardInOrder(capture.received->tones(ServerAudio::outputSampleRate()), order))
                    return true;
            return false;
        };
        QVERIFY(playUntilHeard(low, ServerAudio::outputSink(), { 440 }));
        QVERIFY(setDefaultSink(ServerAudio::fakeMicrophoneSink()));
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::followedOutput) == 1; }));
        QVERIFY(playUntilHeard(high, ServerAudio::fakeMicrophoneSink(), { 440, 1000 }));

        QVERIFY(server.restart());
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::reconnected) == 1; }));
        // The restarted server's default is the first output again.
        QVERIFY(playUntilHeard(low, ServerAudio::outputSink(), { 440, 1000, 440 }));
        QCOMPARE(capture.driver.diagnostics(), capture.running());
        QVERIFY(capture.driver.stop());
        capture.received->markBarrier();
        QVERIFY(capture.driver.diagnostics().released());
        QVERIFY(ServerAudio::play(low));
        QCOMPARE(capture.received->eventCount(AudioDeviceEvent::serverLost), 0);
        std::lock_guard lock(capture.received->mutex);
        QCOMPARE(capture.received->afterBarrier, 0);
        QCOMPARE(capture.received->malformed, 0);
        QCOMPARE(capture.received->losses, 0);
    }

    // A server that does not come back within the window is reported lost
    // once; stopping still succeeds.
    void aServerGoneForGoodIsReported()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        PrivateAudioServer doomed;
        QVERIFY2(doomed.isRunning(), "could not start a second private server");
        Capture capture(std::chrono::milliseconds(500));
        QVERIFY(capture.start());
        QVERIFY(eventually([&] { return capture.received->sampleCount() > 0; }));
        QVERIFY(doomed.kill());
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::serverLost) == 1; }));
        QVERIFY(capture.driver.stop());
        QCOMPARE(capture.received->eventCount(AudioDeviceEvent::reconnected), 0);
    }

    // The audio thread stalls for longer than the server holds audio for us:
    // the server drops some without a word, and the supervisor reports it.
    void audioTheServerDropsIsReportedAsLoss()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        auto hardware = std::make_unique<PulseAudioHardware>();
        PulseAudioHardware* stalled = hardware.get();
        auto received = std::make_shared<ReceivedAudio>();
        CoreAudioTapDriver driver(std::move(hardware));
        QVERIFY(driver.prepare());
        QVERIFY(driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received), {}));
        // Long enough for the supervisor to take its measure of the intake first.
        QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
        QTest::qWait(1000);
        QCOMPARE(received->lossCount(), 0);
        stalled->stallAudioThreadOnce(std::chrono::milliseconds(6000));
        QVERIFY(eventually([&] { return received->lossCount() == 1; }));
        QVERIFY(driver.stop());
    }
};

QTEST_GUILESS_MAIN(CoreAudioTapDriverServerTest)
#include "tst_coreaudiotapdriver_server.moc"
