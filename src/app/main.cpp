#include "app/CommandLine.h"
#include "app/CommandLineRecorder.h"
#include "app/SingleInstance.h"
#include "app/VessaroApp.h"
#include "base/ProductName.h"
#include "media/PlatformMedia.h"
#include "ui/QtTranslations.h"
#include "verification/CaptureVerification.h"

#include <QApplication>
#include <QIcon>
#include <QStringList>

#include <cstdio>

namespace {

QStringList rawArguments(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i])); // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
    return arguments;
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments = rawArguments(argc, argv);
    const bool verifying = vessaro::CaptureVerification::requestedDirectory(arguments).has_value();

    // Answered before any window or server is touched: they work without a display.
    const vessaro::CommandLine line = vessaro::CommandLine::parse(arguments);
    switch (line.action()) {
    case vessaro::CommandLine::Action::help:
        std::fputs(vessaro::CommandLine::usage(), stdout);
        return 0;
    case vessaro::CommandLine::Action::version:
        std::puts("vessaro " VESSARO_VERSION);
        return 0;
    case vessaro::CommandLine::Action::misuse:
        std::fprintf(stderr, "vessaro: %s\n\n%s", qPrintable(line.complaint()), vessaro::CommandLine::usage());
        return 2;
    case vessaro::CommandLine::Action::record:
    case vessaro::CommandLine::Action::listApps: {
        // The terminal's recorder needs no display and takes no part in the
        // one-window rule: it records beside an open window.
        vessaro::PlatformMedia::silenceLogging();
        vessaro::PlatformMedia::limitAllocations();
        QCoreApplication application(argc, argv);
        return line.action() == vessaro::CommandLine::Action::record
            ? QCoro::waitFor(vessaro::CommandLineRecorder::record(line.recording()))
            : QCoro::waitFor(vessaro::CommandLineRecorder::listPrograms());
    }
    case vessaro::CommandLine::Action::run:
        break;
    }

    // The self-test needs no screen: without a display it runs offscreen.
    if (verifying && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    vessaro::PlatformMedia::silenceLogging();
    vessaro::PlatformMedia::limitAllocations();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vessaro"));
    QApplication::setApplicationDisplayName(vessaro::kProductName.toString());
    QApplication::setApplicationVersion(QStringLiteral(VESSARO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.vessaro.Vessaro"));
    // Task bars and window switchers show this; the theme's copy wins once installed.
    QApplication::setWindowIcon(QIcon::fromTheme(
        QStringLiteral("org.vessaro.Vessaro"), QIcon(QStringLiteral(":/icons/org.vessaro.Vessaro.svg"))));
    // Our own texts are Chinese in every locale, so Qt's are too.
    vessaro::QtTranslations::installChinese(application);

    // One recorder per user: a second launch brings the first window forward.
    // The self-test records beside an open window and takes no part in this.
    vessaro::SingleInstance instance(vessaro::SingleInstance::defaultSocketPath());
    if (!verifying) {
        QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
        if (token.isEmpty())
            token = qgetenv("DESKTOP_STARTUP_ID");
        if (instance.claim(token) == vessaro::SingleInstance::Role::secondary)
            return 0;
    }

    vessaro::VessaroApp app(std::move(arguments));
    QObject::connect(&instance, &vessaro::SingleInstance::activationRequested, &instance,
        [&app](const QByteArray& token) { app.bringForward(token); });
    return app.exec();
}
