#include "ui/WindowButton.h"

#include "ui/KeyboardAccess.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

namespace vessaro {
namespace {

constexpr qreal kCircleDiameterPoints = 12.0;

QColor faceColor(WindowButton::Kind kind)
{
    switch (kind) {
    case WindowButton::Kind::close:
        return QColor(255, 95, 87);
    case WindowButton::Kind::minimize:
        return QColor(254, 188, 46);
    case WindowButton::Kind::zoom:
        return QColor(40, 200, 64);
    }
    return Qt::gray;
}

} // namespace

WindowButton::WindowButton(Kind kind, QWidget* parent)
    : QAbstractButton(parent)
    , m_kind(kind)
{
    setFocusPolicy(Qt::TabFocus);
    setFixedSize(sizePoints, sizePoints);
}

void WindowButton::setShowsSign(bool shows)
{
    if (m_showsSign == shows)
        return;
    m_showsSign = shows;
    update();
}

void WindowButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle(QPointF(0, 0), QSizeF(kCircleDiameterPoints, kCircleDiameterPoints));
    const QRectF face = circle.translated(QRectF(rect()).center() - circle.center());
    // Drawn first, tight around the face, which covers the ring's inner edge
    // of cream, so that the outer one just fits in the box.
    QPainterPath ring;
    ring.addEllipse(face.adjusted(-0.5, -0.5, 0.5, 0.5));
    KeyboardAccess::paintFocusRing(painter, *this, ring);
    const QColor color = isDown() ? faceColor(m_kind).darker(120) : faceColor(m_kind);
    painter.setPen(QPen(color.darker(125), 0.5));
    painter.setBrush(color);
    painter.drawEllipse(face.adjusted(0.25, 0.25, -0.25, -0.25));
    if (!m_showsSign)
        return;
    painter.setPen(QPen(QColor(0, 0, 0, 150), 1.2, Qt::SolidLine, Qt::RoundCap));
    const QPointF c = face.center();
    const qreal arm = 2.8;
    switch (m_kind) {
    case Kind::close:
        painter.drawLine(c + QPointF(-arm, -arm), c + QPointF(arm, arm));
        painter.drawLine(c + QPointF(-arm, arm), c + QPointF(arm, -arm));
        break;
    case Kind::minimize:
        painter.drawLine(c + QPointF(-arm - 0.6, 0), c + QPointF(arm + 0.6, 0));
        break;
    case Kind::zoom:
        painter.drawLine(c + QPointF(-arm - 0.6, 0), c + QPointF(arm + 0.6, 0));
        painter.drawLine(c + QPointF(0, -arm - 0.6), c + QPointF(0, arm + 0.6));
        break;
    }
}

void WindowButton::keyPressEvent(QKeyEvent* event)
{
    if (!KeyboardAccess::pressOnReturn(*this, *event))
        QAbstractButton::keyPressEvent(event);
}

bool WindowButton::hitButton(const QPoint& position) const
{
    const QPointF offset = QPointF(position) - QRectF(rect()).center();
    const qreal radius = sizePoints / 2.0;
    return offset.x() * offset.x() + offset.y() * offset.y() <= radius * radius;
}

} // namespace vessaro
