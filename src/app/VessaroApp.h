#pragma once

#include "app/AppDelegate.h"
#include "app/UnixSignalNotifier.h"
#include "recorder/RecorderViewModel.h"
#include "ui/ContentView.h"

#include <QStringList>
#include <QThreadPool>

#include <memory>

namespace vessaro {

// The composition root: the one recorder model, the one window, the Qt
// desktop services and the delegate with its hooks. Main thread only; lives
// as long as the event loop.
class VessaroApp {
public:
    explicit VessaroApp(QStringList arguments);
    ~VessaroApp();
    VessaroApp(const VessaroApp&) = delete;
    VessaroApp& operator=(const VessaroApp&) = delete;

    // Shows the window and runs the event loop until a quit is granted.
    int exec();

    // Shows the window on top, as a second launch asks. `activationToken` is
    // that launch's startup token (Wayland or X11), possibly empty.
    void bringForward(const QByteArray& activationToken);

    // For tests: the one model.
    RecorderViewModel* model() const { return m_model.get(); }
    ContentView* window() const { return m_window.get(); }

private:
    // The recordings earlier runs left behind (a crash, a quit with a
    // recording in progress or pending) are offered one after the other,
    // newest first.
    void offerLeftoverRecording();

    // The launch's leftover repair runs here.
    QThreadPool m_recoveryPool;
    std::shared_ptr<DesktopServices> m_desktop;
    std::unique_ptr<RecorderViewModel> m_model;
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<ContentView> m_window;
    // SIGINT, SIGTERM and SIGHUP are quit requests like any other.
    std::unique_ptr<UnixSignalNotifier> m_signals;
};

} // namespace vessaro
