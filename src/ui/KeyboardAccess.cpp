#include "ui/KeyboardAccess.h"

#include "ui/BrisalTheme.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

namespace vessaro::KeyboardAccess {

void paintFocusRing(QPainter& painter, const QAbstractButton& button, const QPainterPath& outline)
{
    if (!button.hasFocus())
        return;
    painter.save();
    painter.setBrush(Qt::NoBrush);
    painter.strokePath(outline, QPen(BrisalTheme::cream(), 4.0));
    painter.strokePath(outline, QPen(BrisalTheme::blue(), 2.0));
    painter.restore();
}

bool pressOnReturn(QAbstractButton& button, const QKeyEvent& event)
{
    if (event.key() != Qt::Key_Return && event.key() != Qt::Key_Enter)
        return false;
    // A held key must not press again and again: the next phase's button
    // sits under the same focus.
    if (!event.isAutoRepeat())
        button.animateClick();
    return true;
}

} // namespace vessaro::KeyboardAccess
