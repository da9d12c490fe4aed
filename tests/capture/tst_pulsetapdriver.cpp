// The capture driver over the PulseAudio backend on a real private server
// (scripts/audio-server.sh): cycles, its diagnostics per state, and failures
// of the server itself.

#include "Eventually.h"
#include "PrivateAudioServer.h"
#include "ReceivedAudio.h"
#include "ScopedEnvironmentVariable.h"
#include "ServerAudio.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/PulseAudioHardware.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace vessaro;
using test::eventually;
using test::ReceivedAudio;

namespace {

Diagnostics idle(const QString& sampleRate)
{
    return {
        {QStringLiteral("backend"), QStringLiteral("PulseAudio")},
        {QStringLiteral("tap"), QStringLiteral("0")},
        {QStringLiteral("device"), QStringLiteral("0")},
        {QStringLiteral("io"), QStringLiteral("none")},
        {QStringLiteral("running"), QStringLiteral("false")},
        {QStringLiteral("sampleRate"), sampleRate},
    };
}

// The diagnostics of a driver whose tap and device are held.
Diagnostics holding(const Diagnostics& actual, const QString& io, const QString& running, const QString& sampleRate)
{
    Diagnostics expected = idle(sampleRate);
    expected[QStringLiteral("io")] = io;
    expected[QStringLiteral("running")] = running;
    // Any handle but 0; the test checks that separately.
    expected[QStringLiteral("tap")] = actual.value(QStringLiteral("tap"));
    expected[QStringLiteral("device")] = actual.value(QStringLiteral("device"));
    return expected;
}

QString messageOf(const Result<void>& result)
{
    return result ? QString() : result.error().localizedDescription();
}

} // namespace

class TestPulseTapDriver : public QObject {
    Q_OBJECT

    QTemporaryDir m_sounds;
    QString m_tone;

private Q_SLOTS:
    void initTestCase()
    {
        if (!test::audioServerAvailable())
            return;
        QVERIFY(m_sounds.isValid());
        m_tone = test::ServerAudio::makeSound(m_sounds.path(), QStringLiteral("tone.wav"),
                                              {QStringLiteral("0.3"), QStringLiteral("sine"), QStringLiteral("440")});
        QVERIFY(!m_tone.isEmpty());
    }

    // prepare → start → stop three times on one driver, checking the state
    // table after each step and that stop() is the hand-over.
    void threeCyclesFollowTheStateTable()
    {
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server (scripts/audio-server.sh)");
        const QString rate = QString::number(test::ServerAudio::outputSampleRate(), 'f', 0) + QStringLiteral(".0");
        CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());
        QCOMPARE(driver.diagnostics(), idle(QStringLiteral("0.0")));

        for (int cycle = 0; cycle < 3; ++cycle) {
            const Result<void> prepared = driver.prepare();
            QVERIFY2(prepared, qPrintable(messageOf(prepared)));
            Diagnostics diagnostics = driver.diagnostics();
            QCOMPARE(diagnostics, holding(diagnostics, QStringLiteral("none"), QStringLiteral("false"), rate));
            QVERIFY(diagnostics.value(QStringLiteral("tap")) != QStringLiteral("0"));
            QVERIFY(diagnostics.value(QStringLiteral("device")) != QStringLiteral("0"));
            QCOMPARE(driver.format().mChannelsPerFrame, 2U);
            QCOMPARE(driver.format().mSampleRate, test::ServerAudio::outputSampleRate());

            auto received = std::make_shared<ReceivedAudio>();
            const Result<void> started =
                driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received));
            QVERIFY2(started, qPrintable(messageOf(started)));
            diagnostics = driver.diagnostics();
            QCOMPARE(diagnostics, holding(diagnostics, QStringLiteral("allocated"), QStringLiteral("true"), rate));

            const std::size_t beforeTone = received->sampleCount();
            QVERIFY(test::ServerAudio::play(m_tone));
            QVERIFY2(eventually([&] { return received->peakFrom(beforeTone) > 0.1F; }),
                     "the tone played on the default output never arrived");

            const Result<void> stopped = driver.stop();
            QVERIFY2(stopped, qPrintable(messageOf(stopped)));
            received->markBarrier();
            QCOMPARE(driver.diagnostics(), idle(rate));
            QVERIFY(test::ServerAudio::play(m_tone));

            std::lock_guard lock(received->mutex);
            QCOMPARE(received->afterBarrier, 0);
            QCOMPARE(received->malformed, 0);
        }
    }

    // Without a server the first step fails with the status the user reads,
    // and nothing stays held.
    void prepareWithoutServerFailsAndReleasesEverything()
    {
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        test::ScopedEnvironmentVariable server(
            "PULSE_SERVER", "unix:" + QFile::encodeName(directory.filePath(QStringLiteral("native"))));
        CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());

        const Result<void> prepared = driver.prepare();
        QVERIFY(!prepared);
        QVERIFY(prepared.error().recorderError());
        QCOMPARE(prepared.error().recorderError()->kind(), RecorderError::Case::captureFailed);
        QCOMPARE(prepared.error().localizedDescription(),
                 QStringLiteral("创建系统音频采集失败（-6）。请检查系统音频录制权限后重试。"));
        QCOMPARE(driver.diagnostics(), idle(QStringLiteral("0.0")));
        QVERIFY(driver.stop());
        QVERIFY(!driver.start([](const AudioBufferList*) {}, nullptr));
    }

    // The server dies mid-recording: stop() still succeeds and reaches idle,
    // and the death is not reported as lost audio.
    void serverDeathWhileRecordingStopsCleanly()
    {
        if (!test::audioServerAvailable())
            QSKIP("needs the private audio server (scripts/audio-server.sh)");
        test::PrivateAudioServer doomed;
        QVERIFY2(doomed.isRunning(), "could not start a second private server");
        test::ScopedEnvironmentVariable server("PULSE_SERVER", doomed.address());

        CoreAudioTapDriver driver(std::make_unique<PulseAudioHardware>());
        QVERIFY(driver.prepare());
        auto received = std::make_shared<ReceivedAudio>();
        QVERIFY(driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received)));
        QVERIFY(eventually([&] { return received->sampleCount() > 0; }));

        QVERIFY(doomed.kill());
        const Result<void> stopped = driver.stop();
        QVERIFY2(stopped, qPrintable(messageOf(stopped)));
        const QString rate = QString::number(test::ServerAudio::outputSampleRate(), 'f', 0) + QStringLiteral(".0");
        QCOMPARE(driver.diagnostics(), idle(rate));
        std::lock_guard lock(received->mutex);
        QCOMPARE(received->losses, 0);
    }
};

QTEST_GUILESS_MAIN(TestPulseTapDriver)
#include "tst_pulsetapdriver.moc"
