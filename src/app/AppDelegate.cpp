#include "app/AppDelegate.h"

namespace vessaro {

AppDelegate::AppDelegate(std::shared_ptr<DesktopServices> desktop, std::function<void()> exitProcess,
    QStringList arguments, CaptureVerification::Options verification, QObject* parent)
    : QObject(parent)
    , m_desktop(std::move(desktop))
    , m_exitProcess(std::move(exitProcess))
    , m_arguments(std::move(arguments))
    , m_verification(std::move(verification))
{ }

void AppDelegate::applicationDidFinishLaunching()
{
    CaptureVerification::runIfRequested(
        m_arguments,
        [self = QPointer<AppDelegate>(this)] {
            if (self)
                self->terminate();
        },
        m_verification);
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate()
{
    if (m_readyToTerminate)
        return TerminateReply::now;
    if (m_isFinishingTermination)
        return TerminateReply::cancel; // a shutdown is already under way
    if (!m_model)
        return TerminateReply::now; // the window was never shown: nothing is held
    m_isFinishingTermination = true;
    (void)runTermination(this, m_model, m_desktop);
    return TerminateReply::cancel;
}

void AppDelegate::terminate()
{
    if (applicationShouldTerminate() == TerminateReply::now && m_exitProcess)
        m_exitProcess();
}

QCoro::Task<> AppDelegate::runTermination(
    QPointer<AppDelegate> self, QPointer<RecorderViewModel> model, std::shared_ptr<DesktopServices> desktop)
{
    // A model that is gone holds nothing any more.
    const Result<void> shutdown = model ? co_await model->shutdownForTermination() : Result<void>();
    if (shutdown) {
        if (self) {
            self->m_readyToTerminate = true;
            self->terminate(); // granted this time
        }
        co_return;
    }
    if (self)
        self->m_isFinishingTermination = false;
    DesktopServices::Alert alert;
    alert.style = DesktopServices::AlertStyle::warning;
    alert.messageText = QStringLiteral("音频设备没有正常释放");
    alert.informativeText = shutdown.error().localizedDescription();
    (void)desktop->runAlert(alert);
}

} // namespace vessaro
