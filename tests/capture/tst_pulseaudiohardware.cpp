// The PulseAudio backend of the capture seam, against a real private server
// (scripts/audio-server.sh) whose default source is a fake microphone: a
// capture of the wrong node hears the microphone and misses the output.

#include "ReceivedAudio.h"
#include "ServerAudio.h"
#include "capture/hal/PulseAudioHardware.h"
#include "support/ScopedEnvironmentVariable.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <pulse/error.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

    // Tap, device and IO proc in the driver's order: 0 or the first failure.
    OSStatus prepare(PulseAudioHardware& hardware, const std::shared_ptr<Received>& received)
    {
        const TapDescription tapDescription { .name = QStringLiteral("Brisal录音"), .uuid = QStringLiteral("5C2D") };
        OSStatus status = hardware.createProcessTap(tapDescription, &tap);
        if (status == 0)
            status = hardware.createAggregateDevice(
                { .name = QStringLiteral("Vessaro Private Input"), .uid = uid, .taps = { { tapDescription.uuid } } },
                &device);
        if (status == 0)
            status
                = hardware.createIOProc(device, Received::inputInto(received), Received::lossInto(received), {}, &io);
        return status;
    }
};

// Our record stream as `pactl list source-outputs` prints it (its JSON cannot
// carry the Chinese name), found by the device uid.
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
            Handles handles;
            QCOMPARE(handles.prepare(*hardware, received), 0);
            if (cycle == 0) {
                // Mixers show our names; the format is float stereo at the output's rate.
                const QString listing = streamListing(handles.uid);
                QVERIFY2(listing.contains(QStringLiteral("media.name = \"Vessaro Private Input\""))
                        && listing.contains(QStringLiteral("application.name = \"Brisal录音\"")),
                    qPrintable(listing));
                AudioStreamBasicDescription format;
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
                QCOMPARE(hardware->deviceStop(handles.device, handles.io), 0);
                QVERIFY(player.waitForFinished());
                const std::size_t restart = received->sampleCount();
                QCOMPARE(hardware->deviceStart(handles.device, handles.io), 0);
                QVERIFY(eventually([&] { return received->sampleCount() >= restart + 9600; }));
                QCOMPARE(received->peakFrom(restart), 0.0F);
            }
            if (cycle != 1)
                QCOMPARE(hardware->deviceStop(handles.device, handles.io), 0);
            QCOMPARE(hardware->destroyIOProc(handles.device, handles.io), 0);
            hardware->drainAudioQueue();
            received->markBarrier();
            QVERIFY(ServerAudio::play(tone));
            QCOMPARE(hardware->destroyAggregateDevice(handles.device), 0);
            QCOMPARE(hardware->destroyProcessTap(handles.tap), 0);
            QVERIFY(hardware->destroyProcessTap(handles.tap) != 0);
            QVERIFY(streamListing(handles.uid).isEmpty());
            std::lock_guard lock(received->mutex);
            QCOMPARE(
                QList<int>({ received->afterBarrier, received->malformed, received->losses }), QList<int>({ 0, 0, 0 }));
        }
    }

    // A server that takes the connection and never answers fails within the
    // time limit and leaves nothing held; the same object connects once a
    // server is there.
    void unreachableServerFailsAndHoldsNothing()
    {
        QTemporaryDir directory;
        const QByteArray socketPath = QFile::encodeName(directory.filePath(QStringLiteral("native")));
        const int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto closeSilent = qScopeGuard([silent] { ::close(silent); });
        sockaddr_un address { .sun_family = AF_UNIX, .sun_path = {} };
        qstrncpy(address.sun_path, socketPath.constData(), sizeof(address.sun_path));
        QCOMPARE(::bind(silent, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
        QCOMPARE(::listen(silent, 4), 0);
        PulseAudioHardware hardware(std::chrono::milliseconds(500));
        Handles handles;
        {
            test::ScopedEnvironmentVariable server("PULSE_SERVER", "unix:" + socketPath);
            QCOMPARE(handles.prepare(hardware, std::make_shared<Received>()), OSStatus(-PA_ERR_TIMEOUT));
        }
        QCOMPARE(handles.tap, AudioObjectID(0));
        QVERIFY(hardware.destroyProcessTap(1) != 0);
        if (!test::audioServerAvailable())
            return;
        QCOMPARE(handles.prepare(hardware, std::make_shared<Received>()), 0);
        QCOMPARE(hardware.destroyAggregateDevice(handles.device), 0);
        QCOMPARE(hardware.destroyProcessTap(handles.tap), 0);
    }
};

QTEST_GUILESS_MAIN(TestPulseAudioHardware)
#include "tst_pulseaudiohardware.moc"
