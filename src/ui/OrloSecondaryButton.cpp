#include "ui/OrloSecondaryButton.h"

#include "ui/BrisalTheme.h"
#include "ui/KeyboardAccess.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace vessaro {
namespace {

constexpr int kHorizontalMarginPoints = 12;
constexpr int kVerticalMarginPoints = 7;

QFont labelFont()
{
    return BrisalTheme::systemFont(13, QFont::Medium);
}

QPainterPath capsule(const QRectF& rect)
{
    QPainterPath path;
    path.addRoundedRect(rect, rect.height() / 2, rect.height() / 2);
    return path;
}

} // namespace

OrloSecondaryButton::OrloSecondaryButton(const QString& title, QWidget* parent)
    : QAbstractButton(parent)
{
    setText(title);
    setFont(labelFont());
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize OrloSecondaryButton::sizeHint() const
{
    const QFontMetricsF metrics(labelFont());
    return { static_cast<int>(std::ceil(metrics.horizontalAdvance(text()))) + 2 * kHorizontalMarginPoints,
        static_cast<int>(std::ceil(metrics.height())) + 2 * kVerticalMarginPoints };
}

void OrloSecondaryButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = BrisalTheme::blue();
    fill.setAlphaF(isDown() ? 0.13F : 0.065F);
    painter.fillPath(capsule(rect()), fill);
    QColor ink = BrisalTheme::blue();
    ink.setAlphaF(isEnabled() ? 1.0F : 0.45F);
    painter.setPen(ink);
    painter.setFont(labelFont());
    painter.drawText(rect(), Qt::AlignCenter, text());
    // No room outside the capsule: the ring runs along its inside.
    KeyboardAccess::paintFocusRing(painter, *this, capsule(QRectF(rect()).adjusted(2, 2, -2, -2)));
}

void OrloSecondaryButton::keyPressEvent(QKeyEvent* event)
{
    if (!KeyboardAccess::pressOnReturn(*this, *event))
        QAbstractButton::keyPressEvent(event);
}

bool OrloSecondaryButton::hitButton(const QPoint& position) const
{
    return capsule(rect()).contains(QPointF(position));
}

} // namespace vessaro
