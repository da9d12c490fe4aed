#include "ui/BrisalWindowConfiguration.h"

#include "base/ProductName.h"

#include <QWidget>

namespace vessaro {

void BrisalWindowConfiguration::apply(QWidget* window)
{
    if (!window)
        return;
    // Not drawn, but read by window lists and screen readers.
    window->setWindowTitle(kProductName.toString());
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
