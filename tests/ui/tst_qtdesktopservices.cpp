#include "ui/QtDesktopServices.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>

using namespace vessaro;
using namespace std::chrono_literals;

namespace {

DesktopServices::Alert discardAlert()
{
    DesktopServices::Alert alert;
    alert.style = DesktopServices::AlertStyle::warning;
    alert.messageText = QStringLiteral("这段录音还没有导出");
    alert.informativeText = QStringLiteral("再次录制会删除当前临时录音。");
    alert.buttons = {{QStringLiteral("放弃并再次录制"), true, false}, {QStringLiteral("取消"), false, true}};
    return alert;
}

DesktopServices::SavePanel savePanel(const QString& suggested = QStringLiteral("系统音频 2027-01-15 08.00.03.mp4"))
{
    return {QStringLiteral("保存Brisal录音"), QStringLiteral("文件名："), suggested, {QStringLiteral("mp4")}, true};
}

// Runs `answer` on the modal widget of type W as soon as it is shown, from
// inside its event loop.
template <typename W>
void whenShown(std::function<void(W*)> answer)
{
    auto* timer = new QTimer(qApp);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, answer] {
        if (auto* widget = qobject_cast<W*>(QApplication::activeModalWidget()); widget && widget->isVisible()) {
            timer->deleteLater();
            timer->stop();
            answer(widget);
        }
    });
    timer->start();
}

QAbstractButton* buttonTitled(QMessageBox* box, const QString& title)
{
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == title)
            return button;
    }
    return nullptr;
}

// Stands in for the desktop's file manager on the private session bus.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
    QString startupId;
public Q_SLOTS:
    void ShowItems(const QStringList& uris, const QString& startup)
    {
        shown = uris;
        startupId = startup;
    }
};

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url); }
};

template <typename Predicate>
bool waitFor(Predicate done)
{
    QDeadlineTimer deadline(10s);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qWait(5);
    }
    return true;
}

} // namespace

class QtDesktopServicesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // A private session bus without activatable services: no real file
        // manager is ever started.
        QVERIFY(m_busDir.isValid());
        QFile config(m_busDir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                    "<auth>EXTERNAL</auth><policy context=\"default\">"
                                    "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                    "<allow own=\"*\"/></policy></busconfig>\n")
                         .arg(m_busDir.path())
                         .toUtf8());
        config.close();
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                     QStringLiteral("--print-address")});
        if (!m_bus.waitForStarted() || !m_bus.waitForReadyRead(10000))
            QSKIP("dbus-daemon is not available");
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_urls, "open");
    }

    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        m_bus.kill();
        m_bus.waitForFinished();
    }

    void alertShowsTheTextsAndRoles()
    {
        const auto box = QtDesktopServices::makeAlert(discardAlert());
        QCOMPARE(box->icon(), QMessageBox::Warning);
        QCOMPARE(box->text(), QStringLiteral("这段录音还没有导出"));
        QCOMPARE(box->informativeText(), QStringLiteral("再次录制会删除当前临时录音。"));
        QCOMPARE(box->windowModality(), Qt::ApplicationModal);
        QAbstractButton* discard = buttonTitled(box.get(), QStringLiteral("放弃并再次录制"));
        QAbstractButton* cancel = buttonTitled(box.get(), QStringLiteral("取消"));
        QVERIFY(discard && cancel);
        QCOMPARE(box->buttons().size(), 2);
        QCOMPARE(box->buttonRole(discard), QMessageBox::DestructiveRole);
        QCOMPARE(box->buttonRole(cancel), QMessageBox::RejectRole);
        QCOMPARE(box->escapeButton(), cancel);
        QCOMPARE(box->defaultButton(), discard);
    }

    void alertAnswersWithTheChosenButton_data()
    {
        QTest::addColumn<QString>("click");
        QTest::addColumn<std::optional<int>>("answer");
        QTest::newRow("first") << QStringLiteral("放弃并再次录制") << std::optional<int>(0);
        QTest::newRow("second") << QStringLiteral("取消") << std::optional<int>(1);
        QTest::newRow("escape") << QString() << std::optional<int>(1);
    }
    void alertAnswersWithTheChosenButton()
    {
        QFETCH(QString, click);
        QFETCH(std::optional<int>, answer);
        whenShown<QMessageBox>([click](QMessageBox* box) {
            if (click.isEmpty())
                QTest::keyClick(box, Qt::Key_Escape);
            else
                buttonTitled(box, click)->click();
        });
        QtDesktopServices services;
        QCOMPARE(services.runAlert(discardAlert()), answer);
    }

    void alertWithoutButtonsOffersTheDefaultOne()
    {
        DesktopServices::Alert alert;
        alert.messageText = QStringLiteral("音频设备没有正常释放");
        whenShown<QMessageBox>([](QMessageBox* box) {
            QCOMPARE(box->buttons().size(), 1);
            box->buttons().first()->click();
        });
        QtDesktopServices services;
        QCOMPARE(services.runAlert(alert), std::optional<int>(0));
    }

    void savePanelIsConfigured()
    {
        const auto dialog = QtDesktopServices::makeSavePanel(savePanel());
        QCOMPARE(dialog->windowTitle(), QStringLiteral("保存Brisal录音"));
        QCOMPARE(dialog->labelText(QFileDialog::FileName), QStringLiteral("文件名："));
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
        QCOMPARE(dialog->nameFilters(), QStringList({QStringLiteral("MPEG-4 (*.mp4)")}));
        QCOMPARE(dialog->defaultSuffix(), QStringLiteral("mp4"));
        QVERIFY(!dialog->testOption(QFileDialog::ReadOnly));
        QVERIFY(!dialog->testOption(QFileDialog::DontConfirmOverwrite));
        QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(),
                 QStringLiteral("系统音频 2027-01-15 08.00.03.mp4"));
    }

    void savePanelAnswers_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("suggested name") << QString() << QStringLiteral("系统音频 2027-01-15 08.00.03.mp4");
        QTest::newRow("suffix added") << QStringLiteral("take") << QStringLiteral("take.mp4");
        QTest::newRow("dismissed") << QStringLiteral("-") << QString();
    }
    void savePanelAnswers()
    {
        QFETCH(QString, typed);
        QFETCH(QString, chosen);
        QTemporaryDir dir;
        whenShown<QFileDialog>([&](QFileDialog* dialog) {
            dialog->setDirectory(dir.path());
            if (typed == QStringLiteral("-")) {
                dialog->reject();
                return;
            }
            if (!typed.isEmpty())
                dialog->selectFile(typed);
            static_cast<QDialog*>(dialog)->accept();  // as the Save button does
        });
        QtDesktopServices services;
        const auto answer = services.runSavePanel(savePanel());
        if (chosen.isEmpty())
            QCOMPARE(answer, std::optional<QString>());
        else
            QCOMPARE(answer, std::optional<QString>(QDir(dir.path()).filePath(chosen)));
    }

    void savePanelAsksBeforeReplacing_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::newRow("replace") << true;
        QTest::newRow("keep") << false;
    }
    void savePanelAsksBeforeReplacing()
    {
        QFETCH(bool, replace);
        QTemporaryDir dir;
        const QString existing = dir.filePath(QStringLiteral("existing.mp4"));
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        bool asked = false;
        whenShown<QFileDialog>([&](QFileDialog* dialog) {
            dialog->setDirectory(dir.path());
            dialog->selectFile(QStringLiteral("existing.mp4"));
            whenShown<QMessageBox>([&, dialog](QMessageBox* question) {
                asked = true;
                question->button(replace ? QMessageBox::Yes : QMessageBox::No)->click();
                if (!replace)
                    QTimer::singleShot(0, dialog, &QFileDialog::reject);
            });
            static_cast<QDialog*>(dialog)->accept();  // as the Save button does
        });
        QtDesktopServices services;
        const auto answer = services.runSavePanel(savePanel());
        QVERIFY(asked);
        QCOMPARE(answer, replace ? std::optional<QString>(existing) : std::optional<QString>());
    }

    void revealAsksTheFileManager()
    {
        QDBusConnection service = QDBusConnection::connectToBus(QString::fromUtf8(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
                                                                QStringLiteral("fake file manager"));
        FakeFileManager manager;
        QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &manager,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.FileManager1")));
        m_urls.opened.clear();

        QtDesktopServices services;
        services.revealInFileManager(QStringLiteral("/srv/Recordings/系统音频 1.mp4"));
        QVERIFY(waitFor([&] { return !manager.shown.isEmpty(); }));
        QCOMPARE(manager.shown,
                 QStringList({QUrl::fromLocalFile(QStringLiteral("/srv/Recordings/系统音频 1.mp4")).toString()}));
        QVERIFY(m_urls.opened.isEmpty());

        service.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
        service.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake file manager"));
    }

    void revealOpensTheFolderWithoutAFileManager()
    {
        m_urls.opened.clear();
        QtDesktopServices services;
        services.revealInFileManager(QStringLiteral("/srv/Recordings/take.mp4"));
        QVERIFY(waitFor([&] { return !m_urls.opened.isEmpty(); }));
        QCOMPARE(m_urls.opened, QList<QUrl>({QUrl::fromLocalFile(QStringLiteral("/srv/Recordings"))}));
    }

    void soundSettingsTryTheDesktopsInTurn_data()
    {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QString>("launched");
        const QStringList all{QStringLiteral("gnome-control-center"), QStringLiteral("systemsettings"),
                              QStringLiteral("pavucontrol")};
        QTest::newRow("GNOME") << QStringLiteral("ubuntu:GNOME") << all << QStringLiteral("gnome-control-center sound");
        QTest::newRow("KDE") << QStringLiteral("KDE") << all << QStringLiteral("systemsettings kcm_pulseaudio");
        QTest::newRow("KDE without its settings")
            << QStringLiteral("KDE") << QStringList{QStringLiteral("gnome-control-center")}
            << QStringLiteral("gnome-control-center sound");
        QTest::newRow("only pavucontrol") << QStringLiteral("XFCE") << QStringList{QStringLiteral("pavucontrol")}
                                          << QStringLiteral("pavucontrol --tab=2");
        QTest::newRow("nothing") << QStringLiteral("GNOME") << QStringList() << QString();
    }
    void soundSettingsTryTheDesktopsInTurn()
    {
        QFETCH(QString, desktop);
        QFETCH(QStringList, installed);
        QFETCH(QString, launched);
        QTemporaryDir bin;
        const QString log = bin.filePath(QStringLiteral("launched"));
        for (const QString& program : installed) {
            QFile script(bin.filePath(program));
            QVERIFY(script.open(QIODevice::WriteOnly));
            // Shell built-ins only: PATH holds nothing else.
            script.write(QStringLiteral("#!/bin/sh\nprintf '%s %s\\n' \"${0##*/}\" \"$*\" > '%1'\n")
                             .arg(log)
                             .toUtf8());
            script.close();
            QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        const QByteArray path = qgetenv("PATH");
        const QByteArray previousDesktop = qgetenv("XDG_CURRENT_DESKTOP");
        qputenv("PATH", QFile::encodeName(bin.path()));
        qputenv("XDG_CURRENT_DESKTOP", desktop.toUtf8());
        QtDesktopServices().openSoundSettings();
        qputenv("PATH", path);
        qputenv("XDG_CURRENT_DESKTOP", previousDesktop);

        if (launched.isEmpty()) {
            QVERIFY(!QFile::exists(log));
            return;
        }
        QByteArray written;
        QVERIFY(waitFor([&] {
            QFile file(log);
            written = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            return written.endsWith('\n');
        }));
        QCOMPARE(QString::fromUtf8(written).trimmed(), launched);
    }

private:
    QTemporaryDir m_busDir;
    QProcess m_bus;
    UrlCatcher m_urls;
};

QTEST_MAIN(QtDesktopServicesTest)
#include "tst_qtdesktopservices.moc"
