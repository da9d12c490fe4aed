#pragma once

#include "app/AppDelegate.h"
#include "recorder/RecorderViewModel.h"
#include "ui/MainWindow.h"

#include <QStringList>

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

private:
    std::shared_ptr<DesktopServices> m_desktop;
    std::unique_ptr<RecorderViewModel> m_model;
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<MainWindow> m_window;
};

} // namespace vessaro
