#include "app/AppDelegate.h"
#include "support/RecorderRig.h"

#include <QTest>

using namespace vessaro;
using Call = SimulatedAudioHardware::Call;
using Kind = RecorderPhase::Kind;

class AppDelegateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Without a window nothing is held, and the quit is granted at once. With one the capture is released first; a
    // failed release keeps the app open and says why, and the next quit tries again.
    void quitWaitsForTheCaptureRelease()
    {
        test::RecorderRig rig;
        int exits = 0;
        AppDelegate delegate(rig.desktop, [&] { ++exits; }, { QStringLiteral("vessaro") }, {});
        delegate.terminate();
        QCOMPARE(exits, 1);
        delegate.setModel(rig.model.get());
        QVERIFY(rig.countDownTo(3));
        rig.hardware->failCall(Call::destroyProcessTap, -4, 1);
        QCOMPARE(delegate.applicationShouldTerminate(), AppDelegate::TerminateReply::cancel);
        delegate.terminate(); // refused while the shutdown runs
        QTRY_COMPARE(rig.desktop->alerts.size(), 1);
        QCOMPARE(rig.desktop->alerts.first().messageText, QStringLiteral("音频设备没有正常释放"));
        QVERIFY(rig.desktop->alerts.first().informativeText.contains(QStringLiteral("-4")));
        QCOMPARE(exits, 1);
        // Recording stays refused for the rest of the process.
        rig.model->start();
        QVERIFY(rig.model->phase().kind() != Kind::preparing);

        delegate.terminate();
        QTRY_COMPARE(exits, 2);
        QCOMPARE(rig.hardware->heldObjects(), 0);
        QCOMPARE(delegate.applicationShouldTerminate(), AppDelegate::TerminateReply::now);
    }
};

QTEST_MAIN(AppDelegateTest)
#include "tst_appdelegate.moc"
