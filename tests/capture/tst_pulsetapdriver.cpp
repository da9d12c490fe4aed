// The capture driver over the PulseAudio backend on a real private server
// (scripts/audio-server.sh): cycles, its diagnostics per state, server failures.

#include "PrivateAudioServer.h"
#include "ReceivedAudio.h"
#include "support/ScopedEnvironmentVariable.h"
#include "ServerAudio.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/hal/PulseAudioHardware.h"
#include "support/TestSupport.h"

#include <QTest>

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
            QVERIFY(driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received)));
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
        QVERIFY(!driver.start([](const AudioBufferList*) {}, nullptr));
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
        QVERIFY(driver.start(ReceivedAudio::inputInto(received), ReceivedAudio::lossInto(received)));
        QVERIFY(eventually([&] { return received->sampleCount() > 0; }));

        QVERIFY(doomed.kill());
        QCOMPARE(messageOf(driver.stop()), QString());
        QCOMPARE(shown(driver), state("0", "none", "false", rate));
        std::lock_guard lock(received->mutex);
        QCOMPARE(received->losses, 0);
    }
};

QTEST_GUILESS_MAIN(TestPulseTapDriver)
#include "tst_pulsetapdriver.moc"
