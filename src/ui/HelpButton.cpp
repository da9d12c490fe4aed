#include "ui/HelpButton.h"

#include "ui/KeyboardAccess.h"
#include "ui/SymbolImage.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

namespace vessaro {

HelpButton::HelpButton(QWidget* parent)
    : QAbstractButton(parent)
{
    const QString label = QStringLiteral("使用帮助");
    setToolTip(label);
    setAccessibleName(label);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setFixedSize(sizePoints, sizePoints);
}

void HelpButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor tint = Qt::white;
    tint.setAlphaF(0.85F);
    const qreal inset = (sizePoints - symbolPoints) / 2.0;
    SymbolImage::paint(painter, QRectF(inset, inset, symbolPoints, symbolPoints), QStringLiteral("gearshape"), tint);
    QPainterPath ring;
    ring.addEllipse(QRectF(rect()).adjusted(2, 2, -2, -2));
    KeyboardAccess::paintFocusRing(painter, *this, ring);
}

void HelpButton::keyPressEvent(QKeyEvent* event)
{
    if (!KeyboardAccess::pressOnReturn(*this, *event))
        QAbstractButton::keyPressEvent(event);
}

bool HelpButton::hitButton(const QPoint& position) const
{
    const QPointF centre = QRectF(rect()).center();
    const qreal dx = position.x() + 0.5 - centre.x();
    const qreal dy = position.y() + 0.5 - centre.y();
    const qreal radius = sizePoints / 2.0;
    return dx * dx + dy * dy <= radius * radius;
}

} // namespace vessaro
