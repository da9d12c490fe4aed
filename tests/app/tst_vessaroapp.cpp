#include "app/VessaroApp.h"
#include "base/FileLock.h"
#include "support/TestSupport.h"
#include "ui/ContentView.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace vessaro;
using Phase = RecorderViewModel::Phase;

namespace {

// Answers an open save dialog with `path`, typed into its name field.
void answerSaveDialog(const QString& path)
{
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        dialog->selectFile(path);
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(path);
        QMetaObject::invokeMethod(dialog, "accept");
    }
}

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
    // SIGTERM ends the event loop only once the capture is released; the
    // recording in progress is finished, and the next launch offers it.
    void sigtermKeepsTheRecordingForTheNextLaunch()
    {
        test::ScopedCacheHome home;
        {
            VessaroApp app({QStringLiteral("vessaro")});
            RecorderViewModel* model = app.model();
            QObject::connect(model, &RecorderViewModel::phaseChanged, model, [&](const Phase& phase) {
                if (phase == Phase::recording())
                    QTimer::singleShot(1500, [] { ::raise(SIGTERM); });
            });
            QTimer::singleShot(0, model, [model] { model->start(); });
            QTimer::singleShot(30000, [] { QCoreApplication::exit(1); });  // the signal went unheard
            QCOMPARE(app.exec(), 0);
            QVERIFY(model->isTerminating());
            QCOMPARE(recordStreams(), 0);
        }
        const QStringList left = QDir(home.recordingsDirectory()).entryList(QDir::Files);
        QCOMPARE(left.size(), 1);
        // Gone with the app: nothing of it still holds the file.
        QVERIFY(FileLock::tryToLock(QDir(home.recordingsDirectory()).filePath(left.first())).value().has_value());

        VessaroApp next({QStringLiteral("vessaro")});
        QObject::connect(next.model(), &RecorderViewModel::phaseChanged, next.model(), [](const Phase& phase) {
            if (phase.kind() == RecorderPhase::Kind::finished)
                QCoreApplication::exit(0);
        });
        QTimer::singleShot(30000, [] { QCoreApplication::exit(1); });
        QCOMPARE(next.exec(), 0);
        const QString leftover = QDir(home.recordingsDirectory()).filePath(left.first());
        QCOMPARE(next.model()->phase().path(), leftover);
        QVERIFY(next.model()->phase().summary().duration > 1.0);
        QCOMPARE(next.window()->presentation().indicator, PhasePresentation::Indicator::pendingTray);

        // "再次导出" saves it byte for byte.
        QFile kept(leftover);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        const QByteArray bytes = kept.readAll();
        QTemporaryDir exports;
        const QString destination = exports.filePath(QStringLiteral("recovered.mp4"));
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] { answerSaveDialog(destination); });
        answer.start(50);
        next.model()->exportAgain();
        QCOMPARE(next.model()->phase().path(), destination);
        QFile saved(destination);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll() == bytes);
        QVERIFY(!QFile::exists(leftover));
    }
};

QTEST_MAIN(VessaroAppTest)
#include "tst_vessaroapp.moc"
