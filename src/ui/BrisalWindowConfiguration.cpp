#include "ui/BrisalWindowConfiguration.h"

#include <QWidget>

namespace vessaro {

const char* const BrisalWindowConfiguration::windowTitle = "Brisal录音";

void BrisalWindowConfiguration::apply(QWidget* window)
{
    if (!window)
        return;
    window->setWindowTitle(QString::fromUtf8(windowTitle));
    window->setAutoFillBackground(false);
    window->setAttribute(Qt::WA_TranslucentBackground);
    // No frame means no title bar, no system buttons and nothing to drag by
    // the window system; the drag area is the only handle.
    const Qt::WindowFlags wanted
        = window->windowFlags() | Qt::Window | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint;
    if (window->windowFlags() != wanted) {
        const bool wasVisible = window->isVisible();
        window->setWindowFlags(wanted);
        if (wasVisible)
            window->show();
    }
}

} // namespace vessaro
