#include "ui/ProgressSpinner.h"

#include "ui/BrisalTheme.h"

#include <QPainter>

namespace vessaro {
namespace {

constexpr int kSpokes = 8;

} // namespace

ProgressSpinner::ProgressSpinner(QWidget* parent)
    : QWidget(parent)
{
    setFixedSize(sizePoints, sizePoints);
    setAccessibleName(QString());
    m_turn.setStartValue(0);
    m_turn.setEndValue(kSpokes);
    m_turn.setDuration(turnMilliseconds);
    m_turn.setLoopCount(-1);
    connect(&m_turn, &QVariantAnimation::valueChanged, this, qOverload<>(&QWidget::update));
}

void ProgressSpinner::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_turn.start();
}

void ProgressSpinner::hideEvent(QHideEvent* event)
{
    // A hidden spinner costs nothing.
    m_turn.stop();
    QWidget::hideEvent(event);
}

void ProgressSpinner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(QRectF(rect()).center());
    const int lead = isSpinning() ? m_turn.currentValue().toInt() % kSpokes : 0;
    const qreal outer = sizePoints / 2.0 - 1;
    for (int spoke = 0; spoke < kSpokes; ++spoke) {
        // The leading spoke is darkest; those behind it fade.
        const int behind = (lead - spoke + kSpokes) % kSpokes;
        QColor color = BrisalTheme::blue();
        color.setAlphaF(static_cast<float>(1.0 - 0.8 * behind / (kSpokes - 1)));
        painter.setPen(QPen(color, 1.8, Qt::SolidLine, Qt::RoundCap));
        painter.save();
        painter.rotate(360.0 * spoke / kSpokes);
        painter.drawLine(QPointF(0, -outer * 0.45), QPointF(0, -outer));
        painter.restore();
    }
}

} // namespace vessaro
