#include "support/TestSupport.h"
#include "ui/QtDesktopServices.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QDir>
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

// Runs `answer` on the modal widget of type W as soon as it is shown, from inside its event loop.
template <typename W> void whenShown(std::function<void(W*)> answer)
{
    QTimer::singleShot(5, qApp, [answer] {
        if (auto* widget = qobject_cast<W*>(QApplication::activeModalWidget()); widget && widget->isVisible())
            answer(widget);
        else
            whenShown(answer);
    });
}

// Stands in for the desktop's file manager on a private session bus, and catches the folder opened in its absence.
class FileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList calls;
public Q_SLOTS:
    void ShowItems(const QStringList& uris, const QString&) { calls << "ShowItems " + uris.join(' '); }
    void open(const QUrl& url) { calls << "open " + url.toString(); }
};

} // namespace

class QtDesktopServicesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // No activatable services on this bus: no real file manager is started.
        const QString config = m_busDir.filePath(QStringLiteral("bus.conf"));
        QVERIFY(test::writeFile(config,
            "<busconfig><type>session</type><listen>unix:dir=" + QFile::encodeName(m_busDir.path())
                + "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                  "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n"));
        m_bus.start(QStringLiteral("dbus-daemon"), { "--config-file=" + config, "--nofork", "--print-address" });
        QVERIFY(m_bus.waitForStarted() && m_bus.waitForReadyRead(10000));
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        // The process and the handler go with the test object.
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_manager, "open");
    }
    void revealAsksTheFileManagerOrOpensTheFolder_data()
    {
        QTest::addColumn<QString>("call");
        QTest::newRow("file manager") << QStringLiteral("ShowItems file:///srv/Recordings/系统音频 1.mp4");
        QTest::newRow("no file manager") << QStringLiteral("open file:///srv/Recordings");
    }
    void revealAsksTheFileManagerOrOpensTheFolder()
    {
        QFETCH(QString, call);
        QDBusConnection service = QDBusConnection::connectToBus(
            qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("fake file manager"));
        m_manager.calls.clear();
        if (call.startsWith(QStringLiteral("ShowItems"))) {
            QVERIFY(
                service.registerObject("/org/freedesktop/FileManager1", &m_manager, QDBusConnection::ExportAllSlots));
            QVERIFY(service.registerService("org.freedesktop.FileManager1"));
        }
        QtDesktopServices().revealInFileManager(QStringLiteral("/srv/Recordings/系统音频 1.mp4"));
        QTRY_COMPARE_WITH_TIMEOUT(m_manager.calls, QStringList { call }, 10000);
        // Leaving the bus gives up the name as well.
        QDBusConnection::disconnectFromBus(QStringLiteral("fake file manager"));
    }

    // Escape is the cancelling button, never the destructive first one; Return the one named default, else the first.
    void alertAnswersWithTheChosenButton_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("keepIsDefault");
        QTest::addColumn<int>("answer");
        QTest::newRow("return: the first") << int(Qt::Key_Return) << false << 0;
        QTest::newRow("return: the named default") << int(Qt::Key_Return) << true << 1;
        QTest::newRow("escape: the cancelling one") << int(Qt::Key_Escape) << false << 1;
    }
    void alertAnswersWithTheChosenButton()
    {
        QFETCH(int, key);
        QFETCH(bool, keepIsDefault);
        QFETCH(int, answer);
        whenShown<QMessageBox>([key](QMessageBox* box) { QTest::keyClick(box, Qt::Key(key)); });
        QCOMPARE(QtDesktopServices().runAlert({ DesktopServices::AlertStyle::critical, QStringLiteral("Message"), {},
                     { { QStringLiteral("Discard"), true, false },
                         { QStringLiteral("Keep"), false, true, keepIsDefault } } }),
            answer);
    }

    // A bare name gets the suffix; an existing file is replaced only once the user says so.
    void savePanelAnswers_data()
    {
        QTest::addColumn<QString>("typed"); // empty: dismissed
        QTest::addColumn<QString>("chosen");
        QTest::newRow("suffix added") << QStringLiteral("take") << QStringLiteral("take.mp4");
        QTest::newRow("dismissed") << QString() << QString();
        QTest::newRow("closed for a quit") << QStringLiteral("-") << QString();
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
        QtDesktopServices services;
        // A sheet of the window is closed first, or the dialog would stay behind it.
        QWidget window;
        QDialog sheet(&window);
        window.show();
        sheet.open();
        whenShown<QFileDialog>([&](QFileDialog* dialog) {
            QVERIFY(!sheet.isVisible());
            if (typed.isEmpty())
                return dialog->reject();
            if (typed == QLatin1String("-"))
                return services.closeModalDialogs();
            dialog->selectFile(typed);
            if (replaces) {
                whenShown<QMessageBox>([&](QMessageBox* question) {
                    asked = true;
                    question->button(QMessageBox::Yes)->click();
                });
            }
            static_cast<QDialog*>(dialog)->accept(); // as the Save button does
        });
        const auto answer = services.runSavePanel({ QStringLiteral("Save"), QStringLiteral("Name:"),
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
