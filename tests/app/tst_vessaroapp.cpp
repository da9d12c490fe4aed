#include "app/VessaroApp.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace vessaro;
using Phase = RecorderViewModel::Phase;

namespace {

// Record streams the private audio server holds for any client.
int recordStreams()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs")});
    if (!pactl.waitForFinished(10000) || pactl.exitCode() != 0)
        return -1;
    return static_cast<int>(pactl.readAllStandardOutput().count('\n'));
}

} // namespace

// The whole application, window included, on the private audio server.
class VessaroAppTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // SIGTERM is a quit like any other: the event loop ends only once the
    // capture is released, and the partial recording is gone.
    void sigtermWhileRecordingReleasesEverything()
    {
        test::ScopedCacheHome home;
        VessaroApp app({QStringLiteral("vessaro")});
        RecorderViewModel* model = app.model();
        QObject::connect(model, &RecorderViewModel::phaseChanged, model, [&](const Phase& phase) {
            if (phase == Phase::recording())
                QTimer::singleShot(300, [] { ::raise(SIGTERM); });
        });
        QTimer::singleShot(0, model, [model] { model->start(); });
        QTimer::singleShot(30000, [] { QCoreApplication::exit(1); });  // the signal went unheard
        QCOMPARE(app.exec(), 0);
        QVERIFY(model->isTerminating());
        QCOMPARE(recordStreams(), 0);
        QVERIFY(QDir(home.recordingsDirectory()).isEmpty());
    }
};

QTEST_MAIN(VessaroAppTest)
#include "tst_vessaroapp.moc"
