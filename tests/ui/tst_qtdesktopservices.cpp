#include "ui/QtDesktopServices.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>

using namespace vessaro;

namespace {

// Runs `answer` on the modal widget of type W as soon as it is shown, from
// inside its event loop.
template <typename W> void whenShown(std::function<void(W*)> answer)
{
    QTimer::singleShot(5, qApp, [answer] {
        if (auto* widget = qobject_cast<W*>(QApplication::activeModalWidget()); widget && widget->isVisible())
            answer(widget);
        else
            whenShown(answer);
    });
}

// Stands in for the desktop's file manager on a private session bus, and
// catches the folder opened in its absence.
class FileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
    QList<QUrl> opened;
public Q_SLOTS:
    void ShowItems(const QStringList& uris, const QString&) { shown = uris; }
    void open(const QUrl& url) { opened.append(url); }
};

} // namespace

class QtDesktopServicesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // No activatable services on this bus: no real file manager is started.
        QFile config(m_busDir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                                    "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                    "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                         .arg(m_busDir.path())
                         .toUtf8());
        config.close();
        m_bus.start(QStringLiteral("dbus-daemon"),
            { QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                QStringLiteral("--print-address") });
        QVERIFY(m_bus.waitForStarted() && m_bus.waitForReadyRead(10000));
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        // The process and the handler go with the test object.
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_manager, "open");
    }
    void revealAsksTheFileManagerOrOpensTheFolder_data()
    {
        QTest::addColumn<bool>("managerRunning");
        QTest::newRow("file manager") << true;
        QTest::newRow("no file manager") << false;
    }
    void revealAsksTheFileManagerOrOpensTheFolder()
    {
        QFETCH(bool, managerRunning);
        const QString path = QStringLiteral("/srv/Recordings/系统音频 1.mp4");
        QDBusConnection service = QDBusConnection::connectToBus(
            qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("fake file manager"));
        m_manager.shown.clear();
        m_manager.opened.clear();
        if (managerRunning) {
            QVERIFY(service.registerObject(
                QStringLiteral("/org/freedesktop/FileManager1"), &m_manager, QDBusConnection::ExportAllSlots));
            QVERIFY(service.registerService(QStringLiteral("org.freedesktop.FileManager1")));
        }
        QtDesktopServices().revealInFileManager(path);
        QVERIFY(QTest::qWaitFor([&] { return !m_manager.shown.isEmpty() || !m_manager.opened.isEmpty(); }, 10000));
        QCOMPARE(
            m_manager.shown, managerRunning ? QStringList({ QUrl::fromLocalFile(path).toString() }) : QStringList());
        QCOMPARE(m_manager.opened,
            managerRunning ? QList<QUrl>() : QList<QUrl>({ QUrl::fromLocalFile(QStringLiteral("/srv/Recordings")) }));
        // Leaving the bus gives up the name as well.
        QDBusConnection::disconnectFromBus(QStringLiteral("fake file manager"));
    }

    // Escape is the cancelling button, never the destructive first one.
    void alertAnswersWithTheChosenButton_data()
    {
        QTest::addColumn<QString>("click"); // empty: Escape
        QTest::addColumn<int>("answer");
        QTest::newRow("first") << QStringLiteral("Discard") << 0;
        QTest::newRow("escape") << QString() << 1;
    }
    void alertAnswersWithTheChosenButton()
    {
        QFETCH(QString, click);
        QFETCH(int, answer);
        whenShown<QMessageBox>([click](QMessageBox* box) {
            if (click.isEmpty())
                return QTest::keyClick(box, Qt::Key_Escape);
            for (QAbstractButton* button : box->buttons())
                if (button->text() == click)
                    return button->click();
        });
        QCOMPARE(QtDesktopServices().runAlert({ DesktopServices::AlertStyle::critical, QStringLiteral("Message"), {},
                     { { QStringLiteral("Discard"), true, false }, { QStringLiteral("Keep"), false, true } } }),
            answer);
    }

    // A bare name gets the suffix; an existing file is replaced only once the user says so.
    void savePanelAnswers_data()
    {
        QTest::addColumn<QString>("typed"); // empty: dismissed
        QTest::addColumn<QString>("chosen");
        QTest::newRow("suffix added") << QStringLiteral("take") << QStringLiteral("take.mp4");
        QTest::newRow("dismissed") << QString() << QString();
        QTest::newRow("replace existing") << QStringLiteral("existing.mp4") << QStringLiteral("existing.mp4");
    }
    void savePanelAnswers()
    {
        QFETCH(QString, typed);
        QFETCH(QString, chosen);
        QTemporaryDir dir;
        QVERIFY(QFile(dir.filePath(QStringLiteral("existing.mp4"))).open(QIODevice::WriteOnly));
        const bool replaces = typed == QStringLiteral("existing.mp4");
        bool asked = false;
        whenShown<QFileDialog>([&](QFileDialog* dialog) {
            if (typed.isEmpty())
                return dialog->reject();
            dialog->selectFile(typed);
            if (replaces) {
                whenShown<QMessageBox>([&](QMessageBox* question) {
                    asked = true;
                    question->button(QMessageBox::Yes)->click();
                });
            }
            static_cast<QDialog*>(dialog)->accept(); // as the Save button does
        });
        const auto answer = QtDesktopServices().runSavePanel({ QStringLiteral("Save"), QStringLiteral("Name:"),
            QStringLiteral("take 1.mp4"), { "mp4" }, true, dir.path() });
        QCOMPARE(asked, replaces);
        QCOMPARE(answer, chosen.isEmpty() ? std::optional<QString>() : QDir(dir.path()).filePath(chosen));
    }

private:
    QTemporaryDir m_busDir;
    QProcess m_bus;
    FileManager m_manager;
};

QTEST_MAIN(QtDesktopServicesTest)
#include "tst_qtdesktopservices.moc"
