#include "ui/BrisalWindowConfiguration.h"

#include "base/ProductName.h"

#include <QRegion>
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

void BrisalWindowConfiguration::applyShape(QWidget* window, const QRegion& shape)
{
    // Qt 6.4 offers one shape, QWidget::setMask (QWindow::setMask beneath).
    // On Wayland it becomes the surface's input region: drawing is untouched.
    // On X11 it becomes the bounding shape, which clips drawing and, as X
    // bounds input by it, input too. An input-only shape would take the XShape
    // input kind from libxcb-shape or libXext, which the program does not
    // link, and is not needed: the shape holds every pixel the artwork tints,
    // so a compositing manager draws what it drew before, and without one
    // (no owner of _NET_WM_CM_S0) it is what keeps the transparent margins,
    // drawn black then, off the screen. One shape thus serves with and
    // without a compositor, and nothing need ask which.
    if (!window || window->mask() == shape)
        return;
    if (shape.isEmpty())
        window->clearMask();
    else
        window->setMask(shape);
}

} // namespace vessaro
