#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace vessaro {

// The desktop toolkit's services that the recorder needs: a modal alert, the
// save dialog, the file manager and the system settings. Main thread only.
// The modal calls run a nested event loop until the user answers: other tasks
// of the main thread run meanwhile, so a caller must expect its own state to
// have moved on when the call returns.
class DesktopServices {
public:
    enum class AlertStyle { warning, informational, critical };

    struct AlertButton {
        QString title;
        bool destructive = false;
        // The button that Escape chooses.
        bool cancels = false;
        // The button that Return chooses; without one, the first.
        bool isDefault = false;

        friend bool operator==(const AlertButton&, const AlertButton&) = default;
    };

    struct Alert {
        AlertStyle style = AlertStyle::warning;
        QString messageText;
        QString informativeText;
        // In the order added; none: the toolkit's single default button.
        QList<AlertButton> buttons;

        friend bool operator==(const Alert&, const Alert&) = default;
    };

    // The name field shows the suggested name with its suffix.
    struct SavePanel {
        QString title;
        QString nameFieldLabel;
        QString suggestedName;
        // The only file suffixes offered, without the dot; the first is added
        // to a name typed without one.
        QStringList allowedSuffixes;
        bool canCreateDirectories = true;
        // The folder it opens in; empty: wherever the toolkit chooses.
        QString directory;

        friend bool operator==(const SavePanel&, const SavePanel&) = default;
    };

    virtual ~DesktopServices() = default;

    // Shows `alert` application-modal and returns the index of the chosen
    // button in `alert.buttons` (0 for the default button of an alert without
    // buttons), or nothing when it was closed without one.
    virtual std::optional<int> runAlert(const Alert& alert) = 0;

    // Runs the save dialog application-modal. The dialog itself asks before an
    // existing file is replaced. Returns the confirmed absolute path, or nothing
    // when the user dismissed it.
    virtual std::optional<QString> runSavePanel(const SavePanel& panel) = 0;

    // Shows the file selected in the file manager (best effort, no result).
    virtual void revealInFileManager(const QString& path) = 0;

    // Opens the desktop's settings where the recorded source is chosen and
    // granted; nothing happens when there is none.
    virtual void openSoundSettings() = 0;

    // Closes every alert and save dialog now open as if the user had closed
    // it without an answer, so that their callers go on (for a quit that
    // cannot wait for the user).
    virtual void closeModalDialogs() = 0;
};

} // namespace vessaro
