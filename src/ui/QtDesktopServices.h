#pragma once

#include "recorder/DesktopServices.h"

#include <QDialog>
#include <QList>
#include <QPointer>
#include <QStringList>

#include <memory>

class QFileDialog;
class QMessageBox;

namespace vessaro {

// The desktop services on Qt Widgets and the session's D-Bus. Main thread
// only, with a QApplication running.
class QtDesktopServices final : public DesktopServices {
public:
    std::optional<int> runAlert(const Alert& alert) override;
    std::optional<QString> runSavePanel(const SavePanel& panel) override;
    // Asks the file manager (org.freedesktop.FileManager1.ShowItems) without
    // waiting for it; when it does not answer, the folder is opened instead.
    void revealInFileManager(const QString& path) override;
    // GNOME's or KDE's sound settings (the running desktop's first), else
    // pavucontrol's recording tab; the first that starts wins.
    void openSoundSettings() override;
    void closeModalDialogs() override;

    // The widgets the modal calls run, configured but not shown (for tests).
    static std::unique_ptr<QMessageBox> makeAlert(const Alert& alert);
    static std::unique_ptr<QFileDialog> makeSavePanel(const SavePanel& panel);
    // Program and arguments, in the order they are tried, for the desktop
    // named by XDG_CURRENT_DESKTOP.
    static QList<QStringList> soundSettingsCommands(const QString& currentDesktop);

private:
    // Runs `dialog` modal, after closing the window's sheets: a modal dialog
    // opened above a sheet would stay hidden behind it and take every click.
    int runModal(QDialog& dialog);

    // The modal dialogs running now, innermost last.
    QList<QPointer<QDialog>> m_running;
};

} // namespace vessaro
