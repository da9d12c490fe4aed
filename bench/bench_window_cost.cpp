// The program as a user runs it, with its window shown, recording from the
// moment the event loop runs until it is asked to quit (SIGTERM, which keeps
// the take like the program does). It prints nothing; bench/window_cost.sh
// measures it from outside, under a private X server and sound server.
//   build/bench/bench_window_cost

#include "app/VessaroApp.h"
#include "base/ProductName.h"
#include "media/PlatformMedia.h"
#include "ui/QtTranslations.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

int main(int argc, char** argv)
{
    // The start-up of main.cpp, without the single-instance claim: a
    // benchmark must not bring someone's open window forward instead.
    vessaro::PlatformMedia::silenceLogging();
    vessaro::PlatformMedia::limitAllocations();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vessaro"));
    QApplication::setApplicationDisplayName(vessaro::kProductName.toString());
    QApplication::setDesktopFileName(QStringLiteral("org.vessaro.Vessaro"));
    QApplication::setWindowIcon(QIcon::fromTheme(
        QStringLiteral("org.vessaro.Vessaro"), QIcon(QStringLiteral(":/icons/org.vessaro.Vessaro.svg"))));
    vessaro::QtTranslations::installChinese(application);

    vessaro::VessaroApp app(QApplication::arguments());
    QTimer::singleShot(0, app.model(), [&app] { app.model()->start(); });
    return app.exec();
}
