// The PulseAudio backend of the capture seam, against a real private server
// (scripts/audio-server.sh) whose default source is a fake microphone: a
// capture of the wrong node hears the microphone and misses the output.

#include "Eventually.h"
#include "PrivateAudioServer.h"
#include "ReceivedAudio.h"
#include "ScopedEnvironmentVariable.h"
#include "ServerAudio.h"
#include "capture/hal/PulseAudioHardware.h"
#include "support/TestSupport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUuid>

#include <pulse/error.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

using namespace vessaro;

namespace {

using Received = test::ReceivedAudio;
constexpr auto inputInto = &Received::inputInto;
constexpr auto lossInto = &Received::lossInto;

using test::eventually;

// A socket that accepts connections and never says a word.
class SilentServer {
public:
    explicit SilentServer(const QByteArray& path) : m_fd(::socket(AF_UNIX, SOCK_STREAM, 0))
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        if (m_fd < 0 || static_cast<std::size_t>(path.size()) >= sizeof(address.sun_path))
            return;
        std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
        m_listening = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0
            && ::listen(m_fd, 4) == 0;
    }
    ~SilentServer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    bool isListening() const { return m_listening; }

private:
    int m_fd;
    bool m_listening = false;
};

TapDescription tapDescription()
{
    TapDescription description;
    description.name = QStringLiteral("Brisal录音");
    description.uuid = QStringLiteral("5C2D3F0E-8C55-4E0B-9B3A-3C1D2E4F5A6B");
    return description;
}

AggregateDeviceDescription deviceDescription(const QString& uid = QStringLiteral("org.vessaro.recorder.TEST"))
{
    AggregateDeviceDescription description;
    description.name = QStringLiteral("Vessaro Private Input");
    description.uid = uid;
    description.taps = {{tapDescription().uuid, true}};
    return description;
}

QJsonArray pactlList(const QString& what)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("--format=json"), QStringLiteral("list"), what});
    if (!pactl.waitForFinished(30000) || pactl.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(pactl.readAllStandardOutput()).array();
}

QJsonObject findByIndex(const QJsonArray& objects, const QJsonValue& index)
{
    // pactl writes some indexes as strings and others as numbers.
    for (const QJsonValue& object : objects)
        if (object[QLatin1String("index")].toVariant().toString() == index.toVariant().toString())
            return object.toObject();
    return {};
}

// Our record stream as the server lists it, found by the device uid.
QJsonObject sourceOutputWithUid(const QString& uid)
{
    for (const QJsonValue& output : pactlList(QStringLiteral("source-outputs")))
        if (output[QLatin1String("properties")][QLatin1String(PulseAudioHardware::deviceUidProperty)].toString() == uid)
            return output.toObject();
    return {};
}

// The text block that `pactl list clients` prints for client `index`.
QString clientListing(const QString& index)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("clients")});
    if (!pactl.waitForFinished(30000))
        return {};
    const QString header = QStringLiteral("Client #") + index + QLatin1Char('\n');
    for (const QString& block : QString::fromUtf8(pactl.readAllStandardOutput()).split(QStringLiteral("\n\n")))
        if (block.startsWith(header))
            return block;
    return {};
}

// A 24-bit stereo WAV file of `samples` (interleaved, each in [-2^23, 2^23)).
bool writeWav24(const QString& path, const std::vector<qint32>& samples, std::uint32_t rate)
{
    QByteArray bytes;
    const auto put = [&bytes](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i)
            bytes.append(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    const auto dataSize = static_cast<std::uint32_t>(samples.size() * 3);
    bytes.append("RIFF");
    put(36 + dataSize, 4);
    bytes.append("WAVEfmt ");
    put(16, 4);
    put(1, 2);              // integer PCM
    put(2, 2);              // channels
    put(rate, 4);
    put(rate * 6, 4);       // bytes per second
    put(6, 2);              // bytes per frame
    put(24, 2);
    bytes.append("data");
    put(dataSize, 4);
    for (qint32 sample : samples)
        put(static_cast<std::uint32_t>(sample), 3);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestPulseAudioHardware : public QObject {
    Q_OBJECT

private:
    struct Handles {
        AudioObjectID tap = 0;
        AudioObjectID device = 0;
        AudioDeviceIOProcID io = 0;
    };

    // Up to a started device; check QTest::currentTestFailed() afterwards.
    void open(PulseAudioHardware& hardware, Handles& handles, const std::shared_ptr<Received>& received)
    {
        QCOMPARE(hardware.createProcessTap(tapDescription(), &handles.tap), 0);
        QVERIFY(handles.tap != 0);
        QCOMPARE(hardware.createAggregateDevice(deviceDescription(), &handles.device), 0);
        QVERIFY(handles.device != 0);
        QCOMPARE(hardware.createIOProc(handles.device, inputInto(received), lossInto(received), &handles.io), 0);
        QVERIFY(handles.io != 0);
        QCOMPARE(hardware.deviceStart(handles.device, handles.io), 0);
    }

    // The driver's order of release.
    void close(PulseAudioHardware& hardware, const Handles& handles)
    {
        QCOMPARE(hardware.deviceStop(handles.device, handles.io), 0);
        QCOMPARE(hardware.destroyIOProc(handles.device, handles.io), 0);
        QCOMPARE(hardware.destroyAggregateDevice(handles.device), 0);
        QCOMPARE(hardware.destroyProcessTap(handles.tap), 0);
        hardware.drainAudioQueue();
    }

    QTemporaryDir m_sounds;
    QString m_tone;
    QString m_microphoneNoise;

private Q_SLOTS:
    void initTestCase()
    {
        if (!test::audioServerAvailable())
            return;
        QVERIFY(m_sounds.isValid());
        m_tone = test::ServerAudio::makeSound(m_sounds.path(), QStringLiteral("tone.wav"),
                                              {QStringLiteral("0.3"), QStringLiteral("sine"), QStringLiteral("1000")});
        m_microphoneNoise = test::ServerAudio::makeSound(
            m_sounds.path(), QStringLiteral("noise.wav"), {QStringLiteral("0.3"), QStringLiteral("whitenoise")});
        QVERIFY(!m_tone.isEmpty());
        QVERIFY(!m_microphoneNoise.isEmpty());
    }

    // The tap reads the default output's monitor: its rate, not the
    // microphone's (the script gives the two different rates).
    void tapFormatIsTheOutputsRateAsFloatStereo()
    {
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server (scripts/audio-server.sh)");
        PulseAudioHardware hardware;
        AudioObjectID tap = 0;
        QCOMPARE(hardware.createProcessTap(tapDescription(), &tap), 0);
        QVERIFY(tap != 0);

        AudioStreamBasicDescription format;
        QCOMPARE(hardware.readTapFormat(tap, &format), 0);
        AudioStreamBasicDescription expected;
        expected.mSampleRate = test::ServerAudio::outputSampleRate();
        expected.mFormatID = kAudioFormatLinearPCM;
        expected.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
        expected.mBytesPerPacket = 8;
        expected.mFramesPerPacket = 1;
        expected.mBytesPerFrame = 8;
        expected.mChannelsPerFrame = 2;
        expected.mBitsPerChannel = 32;
        QCOMPARE(format, expected);

        QCOMPARE(hardware.destroyProcessTap(tap), 0);
        QVERIFY(hardware.destroyProcessTap(tap) != 0);
        QVERIFY(hardware.readTapFormat(tap, &format) != 0);
    }

    // Desktop mixers show the names; the stream records the output's monitor
    // and is gone once its device is destroyed.
    void serverListsTheStreamOnTheOutputsMonitor()
    {
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server (scripts/audio-server.sh)");
        PulseAudioHardware hardware;
        const QString uid = QStringLiteral("org.vessaro.recorder.") + QUuid::createUuid().toString(QUuid::WithoutBraces);
        AudioObjectID tap = 0;
        AudioObjectID device = 0;
        QCOMPARE(hardware.createProcessTap(tapDescription(), &tap), 0);
        QCOMPARE(hardware.createAggregateDevice(deviceDescription(uid), &device), 0);

        const QJsonObject output = sourceOutputWithUid(uid);
        QVERIFY2(!output.isEmpty(), "the server does not list our record stream");
        const QJsonObject properties = output[QLatin1String("properties")].toObject();
        QCOMPARE(properties[QLatin1String("media.name")].toString(), QStringLiteral("Vessaro Private Input"));
        const QJsonObject source = findByIndex(pactlList(QStringLiteral("sources")), output[QLatin1String("source")]);
        QCOMPARE(source[QLatin1String("name")].toString(), test::ServerAudio::outputSink() + QStringLiteral(".monitor"));
        // pactl's JSON cannot carry the Chinese name: read its text listing.
        const QString client = clientListing(output[QLatin1String("client")].toVariant().toString());
        QVERIFY2(client.contains(QStringLiteral("application.name = \"Brisal录音\"")), qPrintable(client));

        AudioDeviceIOProcID io = 0;
        QCOMPARE(hardware.createIOProc(device, [](const AudioBufferList*) {}, nullptr, &io), 0);
        QCOMPARE(hardware.deviceStart(device, io), 0);

        QCOMPARE(hardware.deviceStop(device, io), 0);
        QCOMPARE(hardware.destroyIOProc(device, io), 0);
        QCOMPARE(hardware.destroyAggregateDevice(device), 0);
        QVERIFY2(sourceOutputWithUid(uid).isEmpty(), "the record stream outlived its device");
        QCOMPARE(hardware.destroyProcessTap(tap), 0);
    }

    // What the output plays between creating the device and starting it
    // (the countdown) never reaches the blocks.
    void audioBeforeStartIsNotDelivered()
    {
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server (scripts/audio-server.sh)");
        PulseAudioHardware hardware;
        auto received = std::make_shared<Received>();
        Handles handles;
        QCOMPARE(hardware.createProcessTap(tapDescription(), &handles.tap), 0);
        QCOMPARE(hardware.createAggregateDevice(deviceDescription(), &handles.device), 0);
        QCOMPARE(hardware.createIOProc(handles.device, inputInto(received), lossInto(received), &handles.io), 0);
        QVERIFY(test::ServerAudio::play(m_tone));
        QCOMPARE(received->sampleCount(), std::size_t(0));

        QCOMPARE(hardware.deviceStart(handles.device, handles.io), 0);
        // Half a second of what follows: anything kept back would come first.
        const auto halfSecond = static_cast<std::size_t>(test::ServerAudio::outputSampleRate());
        QVERIFY(eventually([&] { return received->sampleCount() >= halfSecond; }));
        QCOMPARE(received->peakFrom(0), 0.0F);
        close(hardware, handles);
    }

    // Three full cycles on one object: what the output plays arrives, the
    // microphone does not, and the barrier holds.
    void captureCyclesHearTheOutputNotTheMicrophone()
    {
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server (scripts/audio-server.sh)");
        PulseAudioHardware hardware;
        std::vector<AudioObjectID> devices;
        for (int cycle = 0; cycle < 3; ++cycle) {
            auto received = std::make_shared<Received>();
            Handles handles;
            open(hardware, handles, received);
            if (QTest::currentTestFailed())
                return;
            devices.push_back(handles.device);

            // Buffers flow with nothing playing, and they are silence while
            // the microphone is loud.
            QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
            QVERIFY(test::ServerAudio::play(m_microphoneNoise, test::ServerAudio::fakeMicrophoneSink()));
            QVERIFY(received->sampleCount() > 0);
            QCOMPARE(received->peakFrom(0), 0.0F);

            const std::size_t beforeTone = received->sampleCount();
            QVERIFY(test::ServerAudio::play(m_tone));
            QVERIFY2(eventually([&] { return received->peakFrom(beforeTone) > 0.1F; }),
                     "the tone played on the default output never arrived");

            QCOMPARE(hardware.deviceStop(handles.device, handles.io), 0);
            QCOMPARE(hardware.destroyIOProc(handles.device, handles.io), 0);
            hardware.drainAudioQueue();
            received->markBarrier();
            // The stream still exists and the output plays: nothing may come.
            QVERIFY(test::ServerAudio::play(m_tone));
            QCOMPARE(hardware.destroyAggregateDevice(handles.device), 0);
            QCOMPARE(hardware.destroyProcessTap(handles.tap), 0);
            hardware.drainAudioQueue();

            std::lock_guard lock(received->mutex);
            QCOMPARE(received->afterBarrier, 0);
            QCOMPARE(received->malformed, 0);
            QCOMPARE(received->losses, 0);
            QVERIFY(received->buffers > 0);
        }
        // Handles are never reused within one object.
        QVERIFY(devices[0] != devices[1] && devices[1] != devices[2] && devices[0] != devices[2]);
    }

    // The server converts a 24-bit source to our float32 exactly: scaled by
    // 2^23 every sample comes back bit for bit, in order, left before right.
    void twentyFourBitAudioArrivesBitForBit()
    {
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server (scripts/audio-server.sh)");
        const QString sinkFormat = qEnvironmentVariable("VESSARO_TEST_SINK_FORMAT");
        if (sinkFormat != QStringLiteral("float32le") && sinkFormat != QStringLiteral("s24le")
            && sinkFormat != QStringLiteral("s32le"))
            QSKIP("the output cannot carry 24 bits (VESSARO_SINK_FORMAT)");

        std::vector<qint32> source(static_cast<std::size_t>(test::ServerAudio::outputSampleRate()) / 4 * 2);
        std::uint32_t state = 12345;
        for (qint32& sample : source) {
            state = state * 1664525U + 1013904223U;
            sample = static_cast<qint32>(state >> 8) - (1 << 23);
        }
        const QString path = m_sounds.filePath(QStringLiteral("exact.wav"));
        QVERIFY(writeWav24(path, source, static_cast<std::uint32_t>(test::ServerAudio::outputSampleRate())));

        PulseAudioHardware hardware;
        auto received = std::make_shared<Received>();
        Handles handles;
        open(hardware, handles, received);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
        QVERIFY(test::ServerAudio::play(path));

        // The first sound that arrives must be a left sample of the source, and
        // all that follows it must match. PulseAudio may lose the first few
        // milliseconds: its null sink rewinds when a player connects, and the
        // monitor cannot take back the silence it already sent.
        const auto scaled = [](float sample) { return static_cast<double>(sample) * 8388608.0; };
        std::size_t arrivedAt = 0;
        std::size_t sourceAt = 0;
        QVERIFY2(eventually([&] {
            std::lock_guard lock(received->mutex);
            const std::vector<float>& samples = received->samples;
            const auto first = std::find_if(samples.begin(), samples.end(), [](float x) { return x != 0.0F; });
            if (samples.end() - first < 2)
                return false;
            arrivedAt = static_cast<std::size_t>(first - samples.begin());
            for (sourceAt = 0; sourceAt + 1 < source.size(); ++sourceAt)
                if (scaled(first[0]) == source[sourceAt] && scaled(first[1]) == source[sourceAt + 1])
                    break;
            return samples.size() - arrivedAt >= source.size() - sourceAt;
        }), "the sound never arrived");
        close(hardware, handles);

        QCOMPARE(sourceAt % 2, std::size_t(0));
        QVERIFY2(sourceAt < source.size() / 2, "most of the sound is missing or altered");
        std::lock_guard lock(received->mutex);
        for (std::size_t i = sourceAt; i < source.size(); ++i) {
            const double arrived = scaled(received->samples[arrivedAt + i - sourceAt]);
            if (arrived != static_cast<double>(source[i]))
                QFAIL(qPrintable(QStringLiteral("sample %1: %2 instead of %3").arg(i).arg(arrived).arg(source[i])));
        }
    }

    void unreachableServerFailsAndHoldsNothing_data()
    {
        QTest::addColumn<bool>("answers");
        QTest::newRow("nothing listens") << false;
        QTest::newRow("listens but never answers") << true;
    }

    // The driver shows the status; a failed connection leaves nothing held,
    // and the same object can connect once a server is there.
    void unreachableServerFailsAndHoldsNothing()
    {
        QFETCH(bool, answers);
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        const QString socket = directory.filePath(QStringLiteral("native"));
        std::optional<SilentServer> silent;
        if (answers) {
            silent.emplace(QFile::encodeName(socket));
            QVERIFY(silent->isListening());
        }

        PulseAudioHardware hardware(std::chrono::milliseconds(500));
        AudioObjectID tap = 0;
        {
            test::ScopedEnvironmentVariable server("PULSE_SERVER", "unix:" + QFile::encodeName(socket));
            const OSStatus status = hardware.createProcessTap(tapDescription(), &tap);
            if (answers)
                QCOMPARE(status, -PA_ERR_TIMEOUT);
            else
                QCOMPARE(status, -PA_ERR_CONNECTIONREFUSED);
        }
        QCOMPARE(tap, AudioObjectID(0));
        QVERIFY(hardware.destroyProcessTap(1) != 0);
        AudioObjectID device = 0;
        QVERIFY(hardware.createAggregateDevice(deviceDescription(), &device) != 0);
        QCOMPARE(device, AudioObjectID(0));
        hardware.drainAudioQueue();

        if (!test::audioServerAvailable())
            return;
        QCOMPARE(hardware.createProcessTap(tapDescription(), &tap), 0);
        QCOMPARE(hardware.destroyProcessTap(tap), 0);
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
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server (scripts/audio-server.sh)");
        test::PrivateAudioServer doomed;
        QVERIFY2(doomed.isRunning(), "could not start a second private server");
        test::ScopedEnvironmentVariable server("PULSE_SERVER", doomed.address());

        PulseAudioHardware hardware;
        auto received = std::make_shared<Received>();
        Handles handles;
        QCOMPARE(hardware.createProcessTap(tapDescription(), &handles.tap), 0);
        QCOMPARE(hardware.createAggregateDevice(deviceDescription(), &handles.device), 0);
        QCOMPARE(hardware.createIOProc(handles.device, inputInto(received), lossInto(received), &handles.io), 0);
        if (started) {
            QCOMPARE(hardware.deviceStart(handles.device, handles.io), 0);
            QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
        }

        QVERIFY(doomed.kill());
        if (!started)
            QVERIFY(hardware.deviceStart(handles.device, handles.io) != 0);
        close(hardware, handles);
        if (QTest::currentTestFailed())
            return;
        std::lock_guard lock(received->mutex);
        QCOMPARE(received->losses, 0);
    }

    // Destroying the object releases what it still holds, while running.
    void destructionReleasesEverything()
    {
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server (scripts/audio-server.sh)");
        const QString uid = QStringLiteral("org.vessaro.recorder.") + QUuid::createUuid().toString(QUuid::WithoutBraces);
        auto received = std::make_shared<Received>();
        {
            PulseAudioHardware hardware;
            Handles handles;
            QCOMPARE(hardware.createProcessTap(tapDescription(), &handles.tap), 0);
            QCOMPARE(hardware.createAggregateDevice(deviceDescription(uid), &handles.device), 0);
            QCOMPARE(hardware.createIOProc(handles.device, inputInto(received), nullptr, &handles.io), 0);
            QCOMPARE(hardware.deviceStart(handles.device, handles.io), 0);
            QVERIFY(eventually([&] { return received->sampleCount() > 0; }));
        }
        // Only the test holds the blocks' captures now.
        QCOMPARE(received.use_count(), 1L);
        QVERIFY(eventually([&] { return sourceOutputWithUid(uid).isEmpty(); }));
    }
};

QTEST_GUILESS_MAIN(TestPulseAudioHardware)
#include "tst_pulseaudiohardware.moc"
