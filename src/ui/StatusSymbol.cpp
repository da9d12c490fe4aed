#include "ui/StatusSymbol.h"

#include "ui/ReducedMotion.h"
#include "ui/SymbolImage.h"

#include <QPainter>

namespace vessaro {

StatusSymbol::StatusSymbol(const QString& symbol, const QColor& tint, QWidget* parent)
    : QWidget(parent)
    , m_symbol(symbol)
    , m_tint(tint)
    , m_reduceMotion(ReducedMotion::requested())
{
    setFixedSize(sizePoints, sizePoints);
    m_pulse.setDuration(pulseMilliseconds);
    m_pulse.setLoopCount(-1);
    m_pulse.setStartValue(1.0);
    m_pulse.setKeyValueAt(0.5, faintestOpacity);
    m_pulse.setEndValue(1.0);
    m_pulse.setEasingCurve(QEasingCurve::InOutSine);
    connect(&m_pulse, &QVariantAnimation::valueChanged, this, qOverload<>(&QWidget::update));
}

void StatusSymbol::setSymbol(const QString& symbol, const QColor& tint)
{
    m_symbol = symbol;
    m_tint = tint;
    update();
}

void StatusSymbol::setPulsing(bool pulsing)
{
    m_wantsPulse = pulsing;
    applyPulse();
}

void StatusSymbol::setReduceMotion(bool reduce)
{
    m_reduceMotion = reduce;
    applyPulse();
}

void StatusSymbol::applyPulse()
{
    if (m_wantsPulse && !m_reduceMotion) {
        if (!isPulsing())
            m_pulse.start();
    } else {
        m_pulse.stop();
    }
    update();
}

qreal StatusSymbol::currentOpacity() const
{
    return isPulsing() ? m_pulse.currentValue().toReal() : 1.0;
}

void StatusSymbol::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setOpacity(currentOpacity());
    SymbolImage::paint(painter, QRectF(rect()), m_symbol, m_tint);
}

} // namespace vessaro
