#include "app/AppDelegate.h"
#include "support/RecorderRig.h"

#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;
using Kind = RecorderPhase::Kind;

namespace {

// The recorder rig with a delegate over it; `exits` counts the granted quits.
struct Rig : test::RecorderRig {
    Rig()
        : delegate(desktop, [this] { ++exits; }, { QStringLiteral("vessaro") }, {})
    { }
    int exits = 0;
    AppDelegate delegate;
};

} // namespace

class AppDelegateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void quitWithoutAWindowEndsAtOnce()
    {
        Rig rig;
        QVERIFY(rig.delegate.applicationShouldTerminateAfterLastWindowClosed());
        rig.delegate.applicationDidFinishLaunching(); // without the self-test flag: nothing
        QTest::qWait(50);
        QCOMPARE(rig.exits, 0);
        rig.delegate.terminate();
        QCOMPARE(rig.exits, 1);
        QVERIFY(!rig.model->isTerminating());
    }

    void quitReleasesTheCaptureFirstAndRefusesRepeats()
    {
        Rig rig;
        rig.delegate.setModel(rig.model.get());
        QVERIFY(rig.countDownTo(3));
        QCOMPARE(rig.delegate.applicationShouldTerminate(), AppDelegate::TerminateReply::cancel);
        // A second request while the shutdown runs is refused and starts nothing.
        rig.delegate.terminate();
        QCOMPARE(rig.exits, 0);
        QTRY_COMPARE(rig.exits, 1);
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QVERIFY(rig.model->isTerminating());
        QCOMPARE(rig.model->phase().kind(), Kind::idle);
        QVERIFY(rig.desktop->alerts.isEmpty());
        // Once granted, every later request is granted at once.
        QCOMPARE(rig.delegate.applicationShouldTerminate(), AppDelegate::TerminateReply::now);
    }

    void failedReleaseKeepsTheApplicationOpenAndSaysWhy()
    {
        Rig rig;
        rig.delegate.setModel(rig.model.get());
        QVERIFY(rig.countDownTo(3));
        rig.hardware->failCall(Call::destroyProcessTap, -4, 1);
        rig.delegate.terminate();
        QTRY_COMPARE(rig.desktop->alerts.size(), 1);
        const DesktopServices::Alert alert = rig.desktop->alerts.first();
        QCOMPARE(alert.messageText, QStringLiteral("音频设备没有正常释放"));
        QVERIFY(alert.informativeText.contains(QStringLiteral("-4")));
        QVERIFY(alert.buttons.isEmpty());
        QCOMPARE(rig.exits, 0);
        QVERIFY(!rig.delegate.isFinishingTermination());
        // Recording stays refused for the rest of the process.
        rig.model->start();
        QVERIFY(rig.model->phase().kind() != Kind::preparing);

        // The next quit tries the release again.
        rig.delegate.terminate();
        QTRY_COMPARE(rig.exits, 1);
        QCOMPARE(rig.hardware->heldObjects(), 0);
    }
};

QTEST_MAIN(AppDelegateTest)
#include "tst_appdelegate.moc"
