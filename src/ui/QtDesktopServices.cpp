#include "ui/QtDesktopServices.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QUrl>

#include <algorithm>

namespace vessaro {
namespace {

// Which of the alert's own buttons a widget button stands for.
const char* const kButtonIndex = "vessaroButtonIndex";

QMessageBox::Icon iconFor(DesktopServices::AlertStyle style)
{
    switch (style) {
    case DesktopServices::AlertStyle::warning:
        return QMessageBox::Warning;
    case DesktopServices::AlertStyle::informational:
        return QMessageBox::Information;
    case DesktopServices::AlertStyle::critical:
        return QMessageBox::Critical;
    }
    return QMessageBox::Warning;
}

} // namespace

std::unique_ptr<QMessageBox> QtDesktopServices::makeAlert(const Alert& alert)
{
    auto box = std::make_unique<QMessageBox>();
    box->setWindowModality(Qt::ApplicationModal);
    box->setIcon(iconFor(alert.style));
    box->setText(alert.messageText);
    box->setInformativeText(alert.informativeText);
    const bool namedDefault
        = std::any_of(alert.buttons.begin(), alert.buttons.end(), [](const AlertButton& b) { return b.isDefault; });
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        const AlertButton& button = alert.buttons.at(i);
        const QMessageBox::ButtonRole role = button.destructive ? QMessageBox::DestructiveRole
            : button.cancels                                    ? QMessageBox::RejectRole
                                                                : QMessageBox::AcceptRole;
        QPushButton* added = box->addButton(button.title, role);
        added->setProperty(kButtonIndex, static_cast<int>(i));
        if (button.isDefault || (i == 0 && !namedDefault))
            box->setDefaultButton(added);
        if (button.cancels)
            box->setEscapeButton(added);
    }
    // Without buttons the box adds its own OK button when shown.
    return box;
}

std::optional<int> QtDesktopServices::runAlert(const Alert& alert)
{
    const auto box = makeAlert(alert);
    runModal(*box);
    const QAbstractButton* clicked = box->clickedButton();
    if (!clicked)
        return std::nullopt;
    if (alert.buttons.isEmpty())
        return 0;
    const QVariant index = clicked->property(kButtonIndex);
    if (!index.isValid())
        return std::nullopt;
    return index.toInt();
}

std::unique_ptr<QFileDialog> QtDesktopServices::makeSavePanel(const SavePanel& panel)
{
    auto dialog = std::make_unique<QFileDialog>();
    // Qt's own dialog: a portal's or the desktop's could not take our label.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setWindowTitle(panel.title);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setLabelText(QFileDialog::FileName, panel.nameFieldLabel);
    if (!panel.allowedSuffixes.isEmpty()) {
        QStringList patterns;
        for (const QString& suffix : panel.allowedSuffixes)
            patterns.append(QStringLiteral("*.") + suffix);
        dialog->setNameFilter(QStringLiteral("MPEG-4 (%1)").arg(patterns.join(QLatin1Char(' '))));
        dialog->setDefaultSuffix(panel.allowedSuffixes.first());
    }
    // A read-only dialog offers no "new folder".
    dialog->setOption(QFileDialog::ReadOnly, !panel.canCreateDirectories);
    // Replacing an existing file is confirmed by the dialog itself (Qt's default).
    dialog->setOption(QFileDialog::DontConfirmOverwrite, false);
    if (!panel.directory.isEmpty())
        dialog->setDirectory(panel.directory);
    dialog->selectFile(panel.suggestedName);
    return dialog;
}

std::optional<QString> QtDesktopServices::runSavePanel(const SavePanel& panel)
{
    const auto dialog = makeSavePanel(panel);
    if (runModal(*dialog) != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog->selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return std::nullopt;
    return QFileInfo(chosen.first()).absoluteFilePath();
}

int QtDesktopServices::runModal(QDialog& dialog)
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* sheet = qobject_cast<QDialog*>(window);
        if (sheet && sheet->isVisible() && sheet->windowModality() == Qt::WindowModal)
            sheet->reject();
    }
    m_running.append(&dialog);
    const int result = dialog.exec();
    m_running.removeAll(&dialog);
    return result;
}

void QtDesktopServices::closeModalDialogs()
{
    // Innermost first: each one's event loop must end before the next's.
    for (auto it = m_running.crbegin(); it != m_running.crend(); ++it) {
        if (*it)
            (*it)->reject();
    }
}

void QtDesktopServices::revealInFileManager(const QString& path)
{
    const QFileInfo file(path);
    const QUrl folder = QUrl::fromLocalFile(file.absolutePath());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"), QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("ShowItems"));
    call << QStringList { QUrl::fromLocalFile(file.absoluteFilePath()).toString() } << QString();
    // Asynchronous: a file manager that is slow to start must not freeze the window.
    // The application owns the watcher until it has answered.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [folder](QDBusPendingCallWatcher* done) {
        if (done->isError())
            QDesktopServices::openUrl(folder);
        done->deleteLater();
    });
}

QList<QStringList> QtDesktopServices::soundSettingsCommands(const QString& currentDesktop)
{
    const QStringList gnome { QStringLiteral("gnome-control-center"), QStringLiteral("sound") };
    const QStringList kde { QStringLiteral("systemsettings"), QStringLiteral("kcm_pulseaudio") };
    const QStringList pavucontrol { QStringLiteral("pavucontrol"), QStringLiteral("--tab=2") };
    // XDG_CURRENT_DESKTOP is a colon-separated list, e.g. "ubuntu:GNOME".
    const bool onKde = currentDesktop.split(QLatin1Char(':')).contains(QStringLiteral("KDE"), Qt::CaseInsensitive);
    if (onKde)
        return { kde, gnome, pavucontrol };
    return { gnome, kde, pavucontrol };
}

void QtDesktopServices::openSoundSettings()
{
    for (const QStringList& command : soundSettingsCommands(qEnvironmentVariable("XDG_CURRENT_DESKTOP"))) {
        if (QProcess::startDetached(command.first(), command.mid(1)))
            return;
    }
}

} // namespace vessaro
