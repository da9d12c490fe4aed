#include "app/AppDelegate.h"
#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "capture/hal/SimulatedAudioHardware.h"
#include "support/FakeMediaWriter.h"
#include "support/ManualClock.h"
#include "support/ScriptedDesktopServices.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;
using Kind = RecorderPhase::Kind;

namespace {

struct Rig {
    Rig(QStringList arguments = {QStringLiteral("vessaro")}, CaptureVerification::Options verification = {})
    {
        auto owned = std::make_unique<SimulatedAudioHardware>();
        hardware = owned.get();
        model = std::make_unique<RecorderViewModel>(
            std::make_unique<SystemAudioCaptureService>(
                std::make_unique<CoreAudioTapDriver>(std::move(owned)),
                std::make_shared<test::FakeMediaWriterFactory>(std::make_shared<test::FakeMediaScript>()),
                std::make_shared<test::FakeMediaAssetOpener>(std::make_shared<test::FakeAssetScript>())),
            desktop, clock);
        delegate = std::make_unique<AppDelegate>(desktop, [this] { ++exits; }, std::move(arguments),
                                                 std::move(verification));
    }

    void countDown()
    {
        model->start();
        QTRY_COMPARE(model->phase().kind(), Kind::countingDown);
    }

    test::ScopedCacheHome home;
    std::shared_ptr<test::ScriptedDesktopServices> desktop = std::make_shared<test::ScriptedDesktopServices>();
    std::shared_ptr<test::ManualClock> clock = std::make_shared<test::ManualClock>();
    SimulatedAudioHardware* hardware = nullptr;
    std::unique_ptr<RecorderViewModel> model;
    std::unique_ptr<AppDelegate> delegate;
    int exits = 0;
};

} // namespace

class AppDelegateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void quitWithoutAWindowEndsAtOnce()
    {
        Rig rig;
        QVERIFY(rig.delegate->applicationShouldTerminateAfterLastWindowClosed());
        rig.delegate->terminate();
        QCOMPARE(rig.exits, 1);
        QVERIFY(!rig.model->isTerminating());
    }

    void quitReleasesTheCaptureFirstAndRefusesRepeats()
    {
        Rig rig;
        rig.delegate->setModel(rig.model.get());
        rig.countDown();
        QVERIFY(rig.hardware->heldObjects() > 0);

        QCOMPARE(rig.delegate->applicationShouldTerminate(), AppDelegate::TerminateReply::cancel);
        QVERIFY(rig.delegate->isFinishingTermination());
        // A second request while the shutdown runs is refused and starts nothing.
        rig.delegate->terminate();
        QCOMPARE(rig.exits, 0);
        QTRY_COMPARE(rig.exits, 1);
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QVERIFY(rig.delegate->readyToTerminate());
        QVERIFY(rig.model->isTerminating());
        QCOMPARE(rig.model->phase().kind(), Kind::idle);
        QVERIFY(rig.desktop->alerts.isEmpty());
        // Once granted, every later request is granted at once.
        QCOMPARE(rig.delegate->applicationShouldTerminate(), AppDelegate::TerminateReply::now);
    }

    void failedReleaseKeepsTheApplicationOpenAndSaysWhy()
    {
        Rig rig;
        rig.delegate->setModel(rig.model.get());
        rig.countDown();
        rig.hardware->failCall(Call::destroyProcessTap, -4);
        rig.delegate->terminate();
        QTRY_COMPARE(rig.desktop->alerts.size(), 1);
        const DesktopServices::Alert alert = rig.desktop->alerts.first();
        QCOMPARE(alert.messageText, QStringLiteral("音频设备没有正常释放"));
        QCOMPARE(alert.informativeText, QStringLiteral("释放系统音频采集失败（-4）。请确认声音服务正在运行后重试。"));
        QVERIFY(alert.buttons.isEmpty());
        QCOMPARE(rig.exits, 0);
        QVERIFY(!rig.delegate->isFinishingTermination());
        QVERIFY(!rig.delegate->readyToTerminate());
        // Recording stays refused for the rest of the process.
        rig.model->start();
        QVERIFY(rig.model->phase().kind() != Kind::preparing);

        // The next quit tries the release again.
        rig.hardware->failCall(Call::destroyProcessTap, 0);
        rig.delegate->terminate();
        QTRY_COMPARE(rig.exits, 1);
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }

    void selfTestRunsAtLaunchAndItsQuitIsNegotiated()
    {
        QTemporaryDir dir;
        CaptureVerification::Options verification;
        auto verificationHardware = std::make_shared<SimulatedAudioHardware*>(nullptr);
        verification.makeDriver = [verificationHardware] {
            auto owned = std::make_unique<SimulatedAudioHardware>();
            *verificationHardware = owned.get();
            return std::make_unique<CoreAudioTapDriver>(std::move(owned));
        };
        auto clock = std::make_shared<test::ManualClock>();
        clock->autoAdvance = true;
        verification.clock = clock;
        verification.writers = std::make_shared<test::FakeMediaWriterFactory>(std::make_shared<test::FakeMediaScript>());
        verification.assets = std::make_shared<test::FakeMediaAssetOpener>(std::make_shared<test::FakeAssetScript>());
        Rig rig({QStringLiteral("vessaro"), QStringLiteral("--verify-capture"), dir.path()}, verification);
        rig.delegate->setModel(rig.model.get());
        rig.countDown();
        rig.delegate->applicationDidFinishLaunching();
        // No audio flows through the simulated hardware, so the run fails at
        // its first stop; it still ends with a negotiated quit.
        QTRY_COMPARE(rig.exits, 1);
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("result.json"))));
        QVERIFY(rig.model->isTerminating());
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }

    void withoutTheFlagLaunchingDoesNothing()
    {
        Rig rig;
        rig.delegate->applicationDidFinishLaunching();
        QTest::qWait(50);
        QCOMPARE(rig.exits, 0);
    }
};

QTEST_MAIN(AppDelegateTest)
#include "tst_appdelegate.moc"
