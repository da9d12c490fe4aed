// The PulseAudio backend against a real private server (scripts/audio-server.sh) whose default source is a fake
// microphone: a capture of the wrong node hears it and misses the output. Under the driver, a capture follows a
// new default output, survives a restart of the server, and reports the audio the server drops. A capture of one
// program hears that program's streams alone, a new one among them, and the list of programs names the players.

#include "PrivateAudioServer.h"
#include "ReceivedAudio.h"
#include "ServerAudio.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/PulseAudioHardware.h"
#include "support/TestSupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QUuid>

#include <cmath>
#include <thread>

using namespace vessaro;
using namespace vessaro::test;

namespace {

// Whether `pactl list source-outputs` shows our record stream, by the device uid.
bool streamListed(const QString& uid)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), { "list", "source-outputs" });
    const QString property = QStringLiteral("%1 = \"%2\"").arg(PulseAudioHardware::deviceUidProperty, uid);
    return pactl.waitForFinished(30000) && pactl.readAllStandardOutput().contains(property.toUtf8());
}

// The amplitude of `hertz` in the left channel of the last half second `received` holds (Goertzel).
double toneLevel(ReceivedAudio& received, double hertz)
{
    std::lock_guard lock(received.mutex);
    const std::vector<float>& samples = received.samples;
    const auto frames = std::size_t(ServerAudio::outputSampleRate() / 2);
    const double step = 2 * M_PI * hertz / ServerAudio::outputSampleRate();
    double previous = 0, before = 0;
    for (std::size_t frame = samples.size() / 2 - frames; frame < samples.size() / 2; ++frame)
        before = std::exchange(previous, samples[frame * 2] + 2 * std::cos(step) * previous - before);
    return 2 * std::sqrt(previous * previous + before * before - 2 * std::cos(step) * previous * before)
        / double(frames);
}

// A driver on its own backend, started into `received`.
struct Capture {
    bool start()
    {
        auto [input, loss, events] = ReceivedAudio::blocks(received);
        // The next IO cycle sleeps through a stall first, as a held-up audio thread would.
        auto stalling = [this, input = input](const AudioBufferList* list) {
            std::this_thread::sleep_for(std::chrono::milliseconds(stallMilliseconds.exchange(0)));
            input(list);
        };
        return bool(driver.start(stalling, loss, events));
    }
    std::atomic<int> stallMilliseconds { 0 };
    std::shared_ptr<ReceivedAudio> received = std::make_shared<ReceivedAudio>();
    CoreAudioTapDriver driver { std::make_unique<PulseAudioHardware>() };
};

// Plays `tone` to `sink` until heard, five times at most: a new stream may deliver a moment after it is ready.
bool heard(ReceivedAudio& received, const QString& tone, const QString& sink)
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
    // Four cycles on one object. What the output plays before start (the countdown) never reaches the blocks, nor
    // does the microphone; what it plays after does. The third is stopped mid-tone and restarted; the second is
    // released running; the last ends with the object. Once drained no block runs, and the stream is gone.
    void cyclesHearTheOutputNotTheMicrophone()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        const QString tone = ServerAudio::sound({ "0.3", "sine", "1000" });
        auto hardware = std::make_unique<PulseAudioHardware>();
        for (int cycle = 0; cycle < 4; ++cycle) {
            auto received = std::make_shared<ReceivedAudio>();
            const QString uid = QStringLiteral("org.vessaro.") + QUuid::createUuid().toString(QUuid::WithoutBraces);
            AudioObjectID tap = 0, device = 0, io = 0;
            QCOMPARE(hardware->createProcessTap({ .name = "tap", .uuid = "5C2D" }, &tap), 0);
            QCOMPARE(
                hardware->createAggregateDevice({ .name = "device", .uid = uid, .taps = { { "5C2D" } } }, &device), 0);
            const auto createIOProc = [&](auto... blocks) { return hardware->createIOProc(device, blocks..., &io); };
            QCOMPARE(std::apply(createIOProc, ReceivedAudio::blocks(received)), 0);
            AudioStreamBasicDescription format;
            QCOMPARE(hardware->readTapFormat(tap, &format), 0);
            QCOMPARE(format, AudioStreamBasicDescription::stereoFloat(ServerAudio::outputSampleRate()));
            QVERIFY(ServerAudio::play(tone));
            QCOMPARE(hardware->deviceStart(device, io), 0);
            QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
            if (cycle == 3) {
                hardware.reset();
                QCOMPARE(received.use_count(), 1L); // nothing holds the blocks any more
                QVERIFY2(eventually([&] { return !streamListed(uid); }), "the stream outlived us");
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
            received->barrierPassed = true;
            QVERIFY(ServerAudio::play(tone));
            QCOMPARE(hardware->destroyAggregateDevice(device), 0);
            QCOMPARE(hardware->destroyProcessTap(tap), 0);
            QVERIFY(!streamListed(uid));
            QCOMPARE(received->faults(), QList<int>(3, 0));
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
        QVERIFY(capture.driver.prepare(CaptureTarget::everything())
            && ServerAudio::setDefaultSink(ServerAudio::fakeMicrophoneSink()));
        QTest::qWait(200); // the server's notice arrives before the start
        QVERIFY(capture.start());
        const Diagnostics running { QStringLiteral("PulseAudio"), 1, 2, true, true, ServerAudio::outputSampleRate() };
        QCOMPARE(capture.driver.diagnostics(), running);
        const QString tone = ServerAudio::sound({ "0.5", "sine", "440" });
        QVERIFY(heard(*capture.received, tone, ServerAudio::fakeMicrophoneSink()));
        QVERIFY(ServerAudio::setDefaultSink(ServerAudio::outputSink()));
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::followedOutput) == 2; }));
        QVERIFY(heard(*capture.received, tone, ServerAudio::outputSink()));
        QVERIFY(server.restart());
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::reconnected) == 1; }));
        QVERIFY(heard(*capture.received, tone, ServerAudio::outputSink()));
        QCOMPARE(capture.driver.diagnostics(), running);
        QVERIFY(capture.driver.stop());
        capture.received->barrierPassed = true;
        QVERIFY(capture.driver.diagnostics().released());
        QVERIFY(ServerAudio::play(tone));
        QCOMPARE(capture.received->faults(), QList<int>(3, 0));
    }

    // Two players with names of their own, each a tone; once the capture runs, a third stream of the first program;
    // then a restart of the server, and the three anew. The list names the two players; the capture hears the
    // tones its target plays, and nothing else.
    void aProgramIsRecordedAlone_data()
    {
        QTest::addColumn<QString>("target"); // empty: everything
        QTest::addColumn<QList<bool>>("heard"); // the first program's tone, the second's, the first's new stream
        QTest::newRow("one program") << "vessaro-a" << QList { true, false, true };
        QTest::newRow("everything") << "" << QList { true, true, true };
        QTest::newRow("a program that plays nothing") << "vessaro-c" << QList { false, false, false };
    }
    void aProgramIsRecordedAlone()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        QFETCH(QString, target);
        QFETCH(QList<bool>, heard);
        const QList<double> hertz { 440, 1000, 2500 };
        PrivateAudioServer server; // restarted below
        QVERIFY2(server.isRunning(), "could not start a second private server");
        QProcess players[3];
        const auto play = [&](int tone, const char* program) {
            players[tone].waitForFinished(); // one that died with the server
            players[tone].start(QStringLiteral("paplay"),
                { QStringLiteral("--property=application.name=") + program,
                    ServerAudio::sound({ "30", "sine", QString::number(hertz[tone]) }) });
        };
        play(0, "vessaro-a");
        play(1, "vessaro-b");
        PulseAudioHardware hardware;
        std::vector<PlayingProgram> listed;
        QVERIFY(eventually([&] { return hardware.readProcessList(&listed) == 0 && listed.size() == 2; }));
        // paplay may be pacat under another name.
        const QString binary = QFileInfo(QStandardPaths::findExecutable("paplay")).canonicalFilePath().section('/', -1);
        QCOMPARE(listed[0], (PlayingProgram { "vessaro-a", binary, players[0].processId(), "" }));
        QCOMPARE(listed[1], (PlayingProgram { "vessaro-b", binary, players[1].processId(), "" }));

        Capture capture;
        QVERIFY(capture.driver.prepare(CaptureTarget::ofProgram(target)) && capture.start());
        // A second at least, and until the tones it should hear are there (a new stream may take a moment).
        const auto checkTones = [&](int tones) {
            const std::size_t from = capture.received->sampleCount();
            const auto second = std::size_t(2 * ServerAudio::outputSampleRate());
            QVERIFY(eventually([&] {
                bool all = capture.received->sampleCount() >= from + second;
                for (int tone = 0; tone < tones && all; ++tone)
                    all = !heard[tone] || toneLevel(*capture.received, hertz[tone]) > 0.2;
                return all;
            }));
            for (int tone = 0; tone < tones; ++tone)
                QVERIFY(heard[tone] || toneLevel(*capture.received, hertz[tone]) < 0.002);
        };
        checkTones(2);
        play(2, "vessaro-a");
        checkTones(3);
        // The players die with the server; new ones of the same names are followed on the new connection.
        QVERIFY(server.restart());
        QVERIFY(eventually([&] { return capture.received->eventCount(AudioDeviceEvent::reconnected) == 1; }));
        for (int tone = 0; tone < 3; ++tone)
            play(tone, tone == 1 ? "vessaro-b" : "vessaro-a");
        checkTones(3);
        QVERIFY(capture.driver.stop());
        for (QProcess& player : players) {
            player.kill();
            player.waitForFinished();
        }
        QCOMPARE(capture.received->faults(), QList<int>(3, 0));
    }

    // The audio thread stalls longer than the server holds audio for us: it drops some silently; the supervisor tells.
    void audioTheServerDropsIsReportedAsLoss()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        Capture capture;
        QVERIFY(capture.driver.prepare(CaptureTarget::everything()) && capture.start());
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
