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

// A driver on its own backend, started into `received`.
struct Capture {
    explicit Capture(std::chrono::milliseconds reconnectWindow = PulseAudioHardware::defaultReconnectWindow)
        : owned(std::make_unique<PulseAudioHardware>(PulseAudioHardware::defaultOperationTimeout, reconnectWindow))
    { }
    bool start()
    {
        return driver.prepare()
            && driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received),
                ReceivedAudio::eventsInto(received));
    }
    std::shared_ptr<ReceivedAudio> received = std::make_shared<ReceivedAudio>();
    std::unique_ptr<PulseAudioHardware> owned;
    PulseAudioHardware* hardware = owned.get();
    CoreAudioTapDriver driver { std::move(owned) };
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
        Capture capture;
        QVERIFY(capture.start());
        const Diagnostics running { QStringLiteral("PulseAudio"), 1, 2, true, true, ServerAudio::outputSampleRate() };
        QCOMPARE(capture.driver.diagnostics(), running);
        const auto restoreDefault = qScopeGuard([] { setDefaultSink(ServerAudio::outputSink()); });

        // A new stream may begin to deliver a moment after it is ready: play
        // each tone until it is heard, a few times at most.
        std::vector<double> expected;
        const auto playUntilHeard = [&](double frequency, const QString& sink) {
            expected.push_back(frequency);
            const QString tone = ServerAudio::sound({ "0.5", "sine", QString::number(frequency) });
            for (int attempt = 0; attempt < 5; ++attempt) {
                std::size_t next = 0;
                if (ServerAudio::play(tone, sink))
                    for (double heard : capture.received->tones(ServerAudio::outputSampleRate()))
                        next += next < expected.size() && std::fabs(heard - expected[next]) < expected[next] / 10;
                if (next == expected.size())
                    return true;
            }
            return false;
        };
        QVERIFY(playUntilHeard(440, ServerAudio::outputSink()));
        QVERIFY(setDefaultSink(ServerAudio::fakeMicrophoneSink()));
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::followedOutput) == 1; }));
        QVERIFY(playUntilHeard(1000, ServerAudio::fakeMicrophoneSink()));
        QVERIFY(server.restart());
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::reconnected) == 1; }));
        // The restarted server's default is the first output again.
        QVERIFY(playUntilHeard(440, ServerAudio::outputSink()));
        QCOMPARE(capture.driver.diagnostics(), running);
        QVERIFY(capture.driver.stop());
        capture.received->markBarrier();
        QVERIFY(capture.driver.diagnostics().released());
        QVERIFY(ServerAudio::play(ServerAudio::sound({ "0.5", "sine", "440" })));
        std::lock_guard lock(capture.received->mutex);
        QCOMPARE(QList<int>({ capture.received->afterBarrier, capture.received->malformed, capture.received->losses }),
            QList<int>({ 0, 0, 0 }));
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
        Capture capture;
        QVERIFY(capture.start());
        // Long enough for the supervisor to take its measure of the intake first.
        QVERIFY(eventually([&] { return capture.received->sampleCount() > 0; }));
        QTest::qWait(1000);
        QCOMPARE(capture.received->lossCount(), 0);
        capture.hardware->stallAudioThreadOnce(std::chrono::milliseconds(6000));
        QVERIFY(eventually([&] { return capture.received->lossCount() == 1; }));
        QVERIFY(capture.driver.stop());
    }
};

QTEST_GUILESS_MAIN(CoreAudioTapDriverServerTest)
#include "tst_coreaudiotapdriver_server.moc"
