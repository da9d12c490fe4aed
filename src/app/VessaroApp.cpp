#include "app/VessaroApp.h"

#include "capture/CoreAudioTapDriver.h"
#include "capture/SystemAudioCaptureService.h"
#include "files/RecordingFile.h"
#include "ui/QtDesktopServices.h"

#include <QApplication>
#include <QKeySequence>
#include <QShortcut>
#include <QTimer>
#include <QtConcurrent>

namespace vessaro {

VessaroApp::VessaroApp(QStringList arguments)
    : m_desktop(std::make_shared<QtDesktopServices>())
    , m_model(std::make_unique<RecorderViewModel>(
          std::make_unique<SystemAudioCaptureService>(std::make_unique<CoreAudioTapDriver>()), m_desktop))
    , m_delegate(std::make_unique<AppDelegate>(
          m_desktop, [] { QCoreApplication::exit(0); }, std::move(arguments)))
    , m_window(std::make_unique<ContentView>(m_model.get(), m_desktop))
{
    // Quitting goes through the delegate's negotiation, whoever asks.
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(
        m_window.get(), &ContentView::shown, m_delegate.get(), [this] { m_delegate->setModel(m_model.get()); });
    QObject::connect(m_window.get(), &ContentView::closeRequested, m_delegate.get(), [this] {
        if (m_delegate->applicationShouldTerminateAfterLastWindowClosed())
            m_delegate->terminate();
    });
    // A signal or the end of the desktop session is a quit the user did not
    // choose in the app: a recording in progress is kept for the next launch.
    m_signals = std::make_unique<UnixSignalNotifier>(std::initializer_list<int> { SIGINT, SIGTERM });
    QObject::connect(m_signals.get(), &UnixSignalNotifier::received, m_delegate.get(),
        [this] { m_delegate->terminateKeepingRecording(); });
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, m_delegate.get(),
        [this] { m_delegate->terminateKeepingRecording(); });
    auto* quit = new QShortcut(
        QKeySequence::Quit, m_window.get()); // NOLINT(cppcoreguidelines-owning-memory): owned by the window
    QObject::connect(quit, &QShortcut::activated, m_delegate.get(), [this] { m_delegate->terminate(); });
}

VessaroApp::~VessaroApp()
{
    // The window observes the model, and the delegate may still point at it.
    m_signals.reset();
    m_window.reset();
    m_delegate.reset();
    m_model.reset();
}

void VessaroApp::bringForward(const QByteArray& activationToken)
{
    // The Wayland platform reads the token from the environment when it asks
    // the compositor for focus; without one the compositor may only flash it.
    if (!activationToken.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", activationToken);
    m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void VessaroApp::offerLeftoverRecording()
{
    // Repairing reads and writes the file: off the main thread, on a thread of
    // its own so that no capture job on the shared pool holds it up. The model
    // takes the result only if the user has not started anything meanwhile.
    QPointer<RecorderViewModel> model(m_model.get());
    auto found = QtConcurrent::run(&m_recoveryPool, [] {
        std::vector<RecoveredRecording> recovered = RecordingFile::recoverLeftovers();
        return recovered.empty() ? nullptr : std::make_shared<RecoveredRecording>(std::move(recovered.front()));
    });
    found.then(m_model.get(), [model](const std::shared_ptr<RecoveredRecording>& recovered) {
        if (model && recovered)
            model->adoptLeftoverRecording(
                recovered->path, recovered->summary, std::make_shared<FileLock>(std::move(recovered->lock)));
    });
}

int VessaroApp::exec()
{
    offerLeftoverRecording();
    m_window->show();
    // Launching has finished once the event loop runs.
    QTimer::singleShot(0, m_delegate.get(), [this] { m_delegate->applicationDidFinishLaunching(); });
    return QApplication::exec();
}

} // namespace vessaro
