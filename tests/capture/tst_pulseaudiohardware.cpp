// The PulseAudio backend of the capture seam, against a real private server
// (scripts/audio-server.sh) whose default source is a fake microphone: a
// capture of the wrong node hears the microphone and misses the output.

#include "PrivateAudioServer.h"
#include "ReceivedAudio.h"
#include "ServerAudio.h"
#include "capture/hal/PulseAudioHardware.h"
#include "support/ScopedEnvironmentVariable.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <pulse/error.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <set>

using namespace vessaro;
using test::eventually;
using Received = test::ReceivedAudio;
namespace ServerAudio = test::ServerAudio;

namespace {

struct Handles {
    AudioObjectID tap = 0;
    AudioObjectID device = 0;
    AudioDeviceIOProcID io = 0;
    QString uid = QStringLiteral("org.vessaro.recorder.") + QUuid::createUuid().toString(QUuid::WithoutBraces);
};

const TapDescription tapDescription { .name = QStringLiteral("Brisal录音"),
    .uuid = QStringLiteral("5C2D3F0E-8C55-4E0B-9B3A-3C1D2E4F5A6B") };

AggregateDeviceDescription deviceDescription(const QString& uid)
{
    return { .name = QStringLiteral("Vessaro Private Input"), .uid = uid, .taps = { { tapDescription.uuid, true } } };
}

// Tap, device and IO proc in the driver's order: 0 or the first failure.
OSStatus prepare(PulseAudioHardware& hardware, Handles& handles, const std::shared_ptr<Received>& received)
{
    OSStatus status = hardware.createProcessTap(tapDescription, &handles.tap);
    if (status == 0)
        status = hardware.createAggregateDevice(deviceDescription(handles.uid), &handles.device);
    if (status == 0)
        status = hardware.createIOProc(
            handles.device, Received::inputInto(received), Received::lossInto(received), {}, &handles.io);
    return status;
}

// The driver's order of release: the first failure, or 0.
OSStatus release(PulseAudioHardware& hardware, const Handles& handles)
{
    const OSStatus statuses[]
        = { hardware.deviceStop(handles.device, handles.io), hardware.destroyIOProc(handles.device, handles.io),
              hardware.destroyAggregateDevice(handles.device), hardware.destroyProcessTap(handles.tap) };
    hardware.drainAudioQueue();
    for (OSStatus status : statuses)
        if (status != 0)
            return status;
    return 0;
}

QString pactl(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    return process.waitForFinished(30000) ? QString::fromUtf8(process.readAllStandardOutput()) : QString();
}

// Our record stream as `pactl list source-outputs` prints it (its JSON cannot
// carry the Chinese name), found by the device uid, and the name of its source.
QString streamListing(const QString& uid)
{
    const QString property = QStringLiteral("%1 = \"%2\"").arg(PulseAudioHardware::deviceUidProperty, uid);
    for (const QString& block : pactl({ "list", "source-outputs" }).split(QStringLiteral("\n\n"))) {
        if (!block.contains(property))
            continue;
        const QString source = QRegularExpression(QStringLiteral("Source: (\\d+)")).match(block).captured(1);
        const QRegularExpression name(QStringLiteral("^%1\t(\\S+)").arg(source), QRegularExpression::MultilineOption);
        return block + QStringLiteral("\nsource name: ")
            + name.match(pactl({ "list", "short", "sources" })).captured(1);
    }
    return {};
}

} // namespace

class TestPulseAudioHardware : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Three full cycles on one object (the last stops and starts again), then
    // one cut short by destroying it.
    // Mixers show our names on the output's monitor, float stereo at its rate.
    // What the output plays before start (the countdown) never reaches the
    // blocks, nor does the microphone; what it plays after does. Buffers hold
    // whole frames, and once drained no block runs although the stream may
    // still run. Released or destroyed, the stream is gone from the server.
    void cyclesHearTheOutputNotTheMicrophone()
    {
        VESSARO_REQUIRE_AUDIO_SERVER();
        const QString tone = ServerAudio::sound({ "0.3", "sine", "1000" });
        const QString longTone = ServerAudio::sound({ "1", "sine", "1000" });
        const QString microphoneNoise = ServerAudio::sound({ "0.3", "whitenoise" });
        auto hardware = std::make_unique<PulseAudioHardware>();
        std::set<AudioObjectID> devices;
        AudioStreamBasicDescription format;
        for (int cycle = 0; cycle < 4; ++cycle) {
            auto received = std::make_shared<Received>();
            Handles handles;
            QCOMPARE(prepare(*hardware, handles, received), 0);
            devices.insert(handles.device);
            if (cycle == 0) {
                const QString listing = streamListing(handles.uid);
                for (const QString& line : { QStringLiteral("media.name = \"Vessaro Private Input\""),
                         QStringLiteral("application.name = \"Brisal录音\""),
                         QStringLiteral("source name: %1.monitor").arg(ServerAudio::outputSink()) })
                    QVERIFY2(listing.contains(line), qPrintable(listing));
                QCOMPARE(hardware->readTapFormat(handles.tap, &format), 0);
                QCOMPARE(format,
                    (AudioStreamBasicDescription { ServerAudio::outputSampleRate(), kAudioFormatLinearPCM,
                        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32 }));
            }
            QVERIFY(ServerAudio::play(tone));
            QCOMPARE(hardware->deviceStart(handles.device, handles.io), 0);
            QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
            if (cycle == 3) {
                hardware.reset();
                QCOMPARE(received.use_count(), 1L); // nothing holds the blocks any more
                QVERIFY2(eventually([&] { return streamListing(handles.uid).isEmpty(); }), "the stream outlived us");
                break;
            }
            QVERIFY(ServerAudio::play(microphoneNoise, ServerAudio::fakeMicrophoneSink()));
            // Half a second at least: anything kept back from before start would come first.
            QVERIFY(
                eventually([&] { return received->sampleCount() >= std::size_t(ServerAudio::outputSampleRate()); }));
            QCOMPARE(received->peakFrom(0), 0.0F);
            const std::size_t beforeTone = received->sampleCount();
            QVERIFY(ServerAudio::play(tone));
            QVERIFY2(eventually([&] { return received->peakFrom(beforeTone) > 0.1F; }), "the tone never arrived");

            if (cycle == 2) {
                // Stopped mid-tone and started again: what the server still held at the stop
                // (PipeWire keeps some) predates the new start and must not arrive.
                QProcess player;
                player.start(QStringLiteral("paplay"), { longTone });
                const std::size_t beforePlayer = received->sampleCount();
                QVERIFY(eventually([&] { return received->peakFrom(beforePlayer) > 0.1F; }));
                QCOMPARE(hardware->deviceStop(handles.device, handles.io), 0);
                QVERIFY(player.waitForFinished());
                const std::size_t restart = received->sampleCount();
                QCOMPARE(hardware->deviceStart(handles.device, handles.io), 0);
                QVERIFY(eventually([&] { return received->sampleCount() >= restart + 9600; }));
                QCOMPARE(received->peakFrom(restart), 0.0F);
            }
            // The middle cycle leaves the stream running: the barrier must hold without the stop.
            if (cycle != 1)
                QCOMPARE(hardware->deviceStop(handles.device, handles.io), 0);
            QCOMPARE(hardware->destroyIOProc(handles.device, handles.io), 0);
            hardware->drainAudioQueue();
            received->markBarrier();
            QVERIFY(ServerAudio::play(tone));
            QCOMPARE(hardware->destroyAggregateDevice(handles.device), 0);
            QCOMPARE(hardware->destroyProcessTap(handles.tap), 0);
            QVERIFY(hardware->destroyProcessTap(handles.tap) != 0);
            QVERIFY(hardware->readTapFormat(handles.tap, &format) != 0);
            QVERIFY(streamListing(handles.uid).isEmpty());
            std::lock_guard lock(received->mutex);
            QCOMPARE(received->afterBarrier, 0);
            QCOMPARE(received->malformed, 0);
            QCOMPARE(received->losses, 0);
        }
        QCOMPARE(devices.size(), std::size_t(4)); // handles are never reused within one object
    }

    void unreachableServerFailsAndHoldsNothing_data()
    {
        QTest::addColumn<bool>("listens");
        QTest::addColumn<OSStatus>("status");
        QTest::newRow("nothing listens") << false << OSStatus(-PA_ERR_CONNECTIONREFUSED);
        QTest::newRow("listens but never answers") << true << OSStatus(-PA_ERR_TIMEOUT);
    }

    // A failed connection leaves nothing held, and the same object can
    // connect once a server is there.
    void unreachableServerFailsAndHoldsNothing()
    {
        QFETCH(bool, listens);
        QFETCH(OSStatus, status);
        QTemporaryDir directory;
        const QByteArray socketPath = QFile::encodeName(directory.filePath(QStringLiteral("native")));
        const int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto closeSilent = qScopeGuard([silent] { ::close(silent); });
        if (listens) {
            sockaddr_un address { .sun_family = AF_UNIX, .sun_path = {} };
            qstrncpy(address.sun_path, socketPath.constData(), sizeof(address.sun_path));
            QCOMPARE(::bind(silent, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
            QCOMPARE(::listen(silent, 4), 0);
        }
        PulseAudioHardware hardware(std::chrono::milliseconds(500));
        Handles handles;
        {
            test::ScopedEnvironmentVariable server("PULSE_SERVER", "unix:" + socketPath);
            QCOMPARE(prepare(hardware, handles, std::make_shared<Received>()), status);
        }
        QCOMPARE(handles.tap, AudioObjectID(0));
        QVERIFY(hardware.destroyProcessTap(1) != 0);
        QVERIFY(hardware.createAggregateDevice(deviceDescription(handles.uid), &handles.device) != 0);
        QCOMPARE(handles.device, AudioObjectID(0));
        if (!test::audioServerAvailable())
            return;
        QCOMPARE(prepare(hardware, handles, std::make_shared<Received>()), 0);
        QCOMPARE(release(hardware, handles), 0);
    }

    void serverDeathLeavesNothingToRelease_data()
    {
        QTest::addColumn<bool>("started");
        QTest::newRow("while capturing") << true;
        QTest::newRow("while prepared") << false;
    }

    // The server crashes: the stream stops without a loss notice, and every
    // release succeeds because the server holds nothing of ours any more.
    void serverDeathLeavesNothingToRelease()
    {
        QFETCH(bool, started);
        VESSARO_REQUIRE_AUDIO_SERVER();
        test::PrivateAudioServer doomed;
        QVERIFY2(doomed.isRunning(), "could not start a second private server");
        PulseAudioHardware hardware;
        auto received = std::make_shared<Received>();
        Handles handles;
        QCOMPARE(prepare(hardware, handles, received), 0);
        if (started) {
            QCOMPARE(hardware.deviceStart(handles.device, handles.io), 0);
            QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
        }
        QVERIFY(doomed.kill());
        if (!started)
            QVERIFY(hardware.deviceStart(handles.device, handles.io) != 0);
        QCOMPARE(release(hardware, handles), 0);
        QCOMPARE(received->lossCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestPulseAudioHardware)
#include "tst_pulseaudiohardware.moc"
