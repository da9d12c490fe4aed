// The PulseAudio backend against a real private server
// (scripts/audio-server.sh) whose default source is a fake microphone: a
// capture of the wrong node hears the microphone and misses the output.
// Under the driver, a capture follows a new default output, survives a
// restart of the server, and reports the audio the server drops.

#include "PrivateAudioServer.h"
#include "ReceivedAudio.h"
#include "ServerAudio.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/PulseAudioHardware.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QTest>
#include <QUuid>

#include <thread>

using namespace vessaro;
using namespace vessaro::test;
using Received = ReceivedAudio;

namespace {

// Our record stream as `pactl list source-outputs` prints it, found by the
// device uid.
QString streamListing(const QString& uid)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), { "list", "source-outputs" });
    pactl.waitForFinished(30000);
    const QString property = QStringLiteral("%1 = \"%2\"").arg(PulseAudioHardware::deviceUidProperty, uid);
    for (const QString& block : QString::fromUtf8(pactl.readAllStandardOutput()).split(QStringLiteral("\n\n")))
        if (block.contains(property))
            return block;
    return {};
}

bool setDefaultSink(const QString& sink)
{
    return QProcess::execute(QStringLiteral("pactl"), { QStringLiteral("set-default-sink"), sink }) == 0;
}

// A driver on its own backend, started into `received`.
struct Capture {
    bool start() { return driver.prepare() && startPrepared(); }
    bool startPrepared()
    {
        // The next IO cycle sleeps through a stall first, as a held-up audio thread would.
        auto input = [this, into = Received::inputInto(received)](const AudioBufferList* list) {
            if (int stall = stallMilliseconds.exchange(0))
                std::this_thread::sleep_for(std::chrono::milliseconds(stall));
            into(list);
        };
        return static_cast<bool>(driver.start(input, Received::lossInto(received), Received::eventsInto(received)));
    }
    std::atomic<int> stallMilliseconds { 0 };
    std::shared_ptr<Received> received = std::make_shared<Received>();
    CoreAudioTapDriver driver { std::make_unique<PulseAudioHardware>() };
};

// Plays `tone` to `sink` until the capture hears it, five times at most: a
// new stream may begin to deliver a moment after it is ready.
bool heard(Received& received, const QString& tone, const QString& sink)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::size_t before = received.sampleCount();
        if (ServerAudio::play(tone, sink) && received.peakFrom(before) > 0.1F)
            return true;
    }
    return false;
}

} // namespace

class TestPulseAudioHardware : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Four cycles on one object. What the output plays before start (the
    // countdown) never reaches the blocks, nor does the microphone; what it
    // plays after does. The third is stopped mid-tone and started again; the
    // second is released while its stream runs; the last is cut short by
    // destroying the object. Once drained no block runs, and the stream is
    // gone from the server.
    void cyclesHearTheOutputNotTheMicrophone()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        const QString tone = ServerAudio::sound({ "0.3", "sine", "1000" });
        auto hardware = std::make_unique<PulseAudioHardware>();
        for (int cycle = 0; cycle < 4; ++cycle) {
            auto received = std::make_shared<Received>();
            const QString uid = QStringLiteral("org.vessaro.") + QUuid::createUuid().toString(QUuid::WithoutBraces);
            AudioObjectID tap = 0;
            AudioObjectID device = 0;
            AudioDeviceIOProcID io = 0;
            QCOMPARE(hardware->createProcessTap({ .name = "tap", .uuid = "5C2D" }, &tap), 0);
            QCOMPARE(
                hardware->createAggregateDevice({ .name = "device", .uid = uid, .taps = { { "5C2D" } } }, &device), 0);
            QCOMPARE(
                hardware->createIOProc(device, Received::inputInto(received), Received::lossInto(received), {}, &io),
                0);
            if (cycle == 0) {
                // Float stereo at the output's rate.
                AudioStreamBasicDescription format;
                QCOMPARE(hardware->readTapFormat(tap, &format), 0);
                QCOMPARE(format,
                    (AudioStreamBasicDescription { ServerAudio::outputSampleRate(), kAudioFormatLinearPCM,
                        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32 }));
            }
            QVERIFY(ServerAudio::play(tone));
            QCOMPARE(hardware->deviceStart(device, io), 0);
            QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
            if (cycle == 3) {
                hardware.reset();
                QCOMPARE(received.use_count(), 1L); // nothing holds the blocks any more
                QVERIFY2(eventually([&] { return streamListing(uid).isEmpty(); }), "the stream outlived us");
                break;
            }
            QVERIFY(ServerAudio::play(ServerAudio::sound({ "0.3", "whitenoise" }), ServerAudio::fakeMicrophoneSink()));
            // Half a second at least: anything kept back from before start would come first.
            QVERIFY(
                eventually([&] { return received->sampleCount() >= std::size_t(ServerAudio::outputSampleRate()); }));
            QCOMPARE(received->peakFrom(0), 0.0F);
            const std::size_t beforeTone = received->sampleCount();
            QVERIFY(ServerAudio::play(tone));
            QVERIFY2(eventually([&] { return received->peakFrom(beforeTone) > 0.1F; }), "the tone never arrived");
            if (cycle == 2) {
                // What the server still held at the stop (PipeWire keeps some) predates the new start.
                QProcess player;
                player.start(QStringLiteral("paplay"), { ServerAudio::sound({ "1", "sine", "1000" }) });
                const std::size_t beforePlayer = received->sampleCount();
                QVERIFY(eventually([&] { return received->peakFrom(beforePlayer) > 0.1F; }));
                QCOMPARE(hardware->deviceStop(device, io), 0);
                QVERIFY(player.waitForFinished());
                const std::size_t restart = received->sampleCount();
                QCOMPARE(hardware->deviceStart(device, io), 0);
                QVERIFY(eventually([&] { return received->sampleCount() >= restart + 9600; }));
                QCOMPARE(received->peakFrom(restart), 0.0F);
            }
            if (cycle != 1)
                QCOMPARE(hardware->deviceStop(device, io), 0);
            QCOMPARE(hardware->destroyIOProc(device, io), 0);
            hardware->drainAudioQueue();
            received->markBarrier();
            QVERIFY(ServerAudio::play(tone));
            QCOMPARE(hardware->destroyAggregateDevice(device), 0);
            QCOMPARE(hardware->destroyProcessTap(tap), 0);
            QVERIFY(streamListing(uid).isEmpty());
            std::lock_guard lock(received->mutex);
            QCOMPARE(
                QList<int>({ received->afterBarrier, received->malformed, received->losses }), QList<int>({ 0, 0, 0 }));
        }
    }

    // A new default output chosen during the countdown, another mid-recording, then a restart of the server: the
    // one stream hears each in turn, and nothing counts as lost. Once stopped, nothing more arrives.
    void aCaptureFollowsTheOutputAndSurvivesARestart()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        PrivateAudioServer server;
        QVERIFY2(server.isRunning(), "could not start a second private server");
        Capture capture;
        QVERIFY(capture.driver.prepare() && setDefaultSink(ServerAudio::fakeMicrophoneSink()));
        QTest::qWait(200); // the server's notice arrives before the start
        QVERIFY(capture.startPrepared());
        const Diagnostics running { QStringLiteral("PulseAudio"), 1, 2, true, true, ServerAudio::outputSampleRate() };
        QCOMPARE(capture.driver.diagnostics(), running);
        const QString tone = ServerAudio::sound({ "0.5", "sine", "440" });
        QVERIFY(heard(*capture.received, tone, ServerAudio::fakeMicrophoneSink()));
        QVERIFY(setDefaultSink(ServerAudio::outputSink()));
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::followedOutput) == 2; }));
        QVERIFY(heard(*capture.received, tone, ServerAudio::outputSink()));
        QVERIFY(server.restart());
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::reconnected) == 1; }));
        QVERIFY(heard(*capture.received, tone, ServerAudio::outputSink()));
        QCOMPARE(capture.driver.diagnostics(), running);
        QVERIFY(capture.driver.stop());
        capture.received->markBarrier();
        QVERIFY(capture.driver.diagnostics().released());
        QVERIFY(ServerAudio::play(tone));
        std::lock_guard lock(capture.received->mutex);
        QCOMPARE(QList<int>({ capture.received->afterBarrier, capture.received->malformed, capture.received->losses }),
            QList<int>({ 0, 0, 0 }));
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
        capture.stallMilliseconds = 6000;
        QVERIFY(eventually([&] { return capture.received->lossCount() == 1; }));
        QVERIFY(capture.driver.stop());
    }
};

QTEST_GUILESS_MAIN(TestPulseAudioHardware)
#include "tst_pulseaudiohardware.moc"
