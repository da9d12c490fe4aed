#pragma once

#include "recorder/DesktopServices.h"
#include "recorder/RecorderViewModel.h"
#include "verification/CaptureVerification.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

namespace vessaro {

// Runs the self-test hook once launching has finished, and negotiates every
// quit so the process never ends while capture resources are held. Main
// thread only.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    enum class TerminateReply { now, cancel };

    // `exitProcess` ends the event loop; it is called once a quit is granted.
    AppDelegate(std::shared_ptr<DesktopServices> desktop, std::function<void()> exitProcess, QStringList arguments,
        CaptureVerification::Options verification = {}, QObject* parent = nullptr);

    // Wired each time the window content is shown; held weakly.
    void setModel(RecorderViewModel* model) { m_model = model; }

    void applicationDidFinishLaunching();
    // Closing the window quits the application, through the negotiation.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    // Answers at once: now, or cancel while the capture is being released.
    TerminateReply applicationShouldTerminate();

    // A quit request, from the user, the window, a signal, the end of the
    // desktop session or the self-test: a recording in progress is finished
    // and kept for the next launch.
    void terminate();

    bool isFinishingTermination() const { return m_isFinishingTermination; }
    bool readyToTerminate() const { return m_readyToTerminate; }

private:
    static QCoro::Task<> runTermination(
        QPointer<AppDelegate> self, QPointer<RecorderViewModel> model, std::shared_ptr<DesktopServices> desktop);

    std::shared_ptr<DesktopServices> m_desktop;
    std::function<void()> m_exitProcess;
    QStringList m_arguments;
    CaptureVerification::Options m_verification;
    QPointer<RecorderViewModel> m_model;
    bool m_isFinishingTermination = false;
    bool m_readyToTerminate = false;
};

} // namespace vessaro
