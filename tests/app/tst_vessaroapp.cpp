#include "app/VessaroApp.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace vessaro;
using Phase = RecorderViewModel::Phase;

// The whole application, window included, on the private audio server.
class VessaroAppTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A quit, whoever asks, ends the event loop only once the capture is released; the recording in progress is
    // finished, and the next launch offers it (its export is the model's test).
    void aQuitKeepsTheRecordingForTheNextLaunch_data()
    {
        QTest::addColumn<int>("signalNumber"); // 0: the window's close button
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("close button") << 0;
    }
    void aQuitKeepsTheRecordingForTheNextLaunch()
    {
        QFETCH(int, signalNumber);
        test::ScopedCacheHome home;
        {
            VessaroApp app({ QStringLiteral("vessaro") });
            RecorderViewModel* model = app.model();
            QObject::connect(model, &RecorderViewModel::phaseChanged, model, [&](const Phase& phase) {
                if (phase == Phase::recording())
                    QTimer::singleShot(
                        1500, model, [&] { signalNumber ? (void)::raise(signalNumber) : (void)app.window()->close(); });
            });
            QTimer::singleShot(0, model, [model] { model->start(); });
            // The signal went unheard. Tied to the app: a later row must not get it.
            QTimer::singleShot(30000, model, [] { QCoreApplication::exit(1); });
            QCOMPARE(app.exec(), 0);
            QVERIFY(model->isTerminating());
            // The private audio server holds no record stream for any client.
            QProcess pactl;
            pactl.start(QStringLiteral("pactl"), { "list", "short", "source-outputs" });
            QVERIFY(pactl.waitForFinished(10000) && pactl.exitCode() == 0);
            QCOMPARE(pactl.readAllStandardOutput(), QByteArray());
        }
        const QStringList left = QDir(home.recordingsDirectory()).entryList(QDir::Files);
        QCOMPARE(left.size(), 1);

        VessaroApp next({ QStringLiteral("vessaro") });
        QObject::connect(next.model(), &RecorderViewModel::phaseChanged, next.model(), [](const Phase& phase) {
            if (phase.kind() == RecorderPhase::Kind::finished)
                QCoreApplication::exit(0);
        });
        QTimer::singleShot(30000, next.model(), [] { QCoreApplication::exit(1); });
        QCOMPARE(next.exec(), 0);
        const QString leftover = QDir(home.recordingsDirectory()).filePath(left.first());
        QCOMPARE(next.model()->phase().path(), leftover);
        QVERIFY(next.model()->phase().summary().duration > 1.0);
    }
};

QTEST_MAIN(VessaroAppTest)
#include "tst_vessaroapp.moc"
