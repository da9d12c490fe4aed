#include "ui/StatusSymbol.h"

#include "ui/ReducedMotion.h"
#include "ui/SymbolImage.h"

#include <QEasingCurve>
#include <QPainter>

namespace vessaro {

StatusSymbol::StatusSymbol(const QString& symbol, const QColor& tint, QWidget* parent)
    : QWidget(parent)
    , m_symbol(symbol)
    , m_tint(tint)
    , m_reduceMotion(ReducedMotion::requested())
{
    setFixedSize(sizePoints, sizePoints);
    m_frames.setInterval(1000 / pulseFramesPerSecond);
    m_frames.setTimerType(Qt::CoarseTimer);
    connect(&m_frames, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void StatusSymbol::setSymbol(const QString& symbol, const QColor& tint)
{
    // The window sets it on every tick of the clock; only a change is drawn.
    if (symbol == m_symbol && tint == m_tint)
        return;
    m_symbol = symbol;
    m_tint = tint;
    m_image = {};
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

void StatusSymbol::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_onScreen = true;
    applyPulse();
}

void StatusSymbol::hideEvent(QHideEvent* event)
{
    // Minimising sends this too, while isVisible() stays true.
    m_onScreen = false;
    applyPulse();
    QWidget::hideEvent(event);
}

void StatusSymbol::applyPulse()
{
    const bool pulse = m_wantsPulse && !m_reduceMotion && m_onScreen;
    if (pulse == isPulsing())
        return;
    if (pulse) {
        m_since.start();
        m_frames.start();
    } else {
        m_frames.stop();
    }
    update();
}

qreal StatusSymbol::currentOpacity() const
{
    if (!isPulsing())
        return 1.0;
    // Down to the faintest at mid-cycle and back, eased in and out.
    static const QEasingCurve easing(QEasingCurve::InOutSine);
    const qreal cycle = qreal(m_since.elapsed() % pulseMilliseconds) / pulseMilliseconds;
    const qreal eased = easing.valueForProgress(cycle);
    const qreal depth = 1.0 - faintestOpacity;
    return eased < 0.5 ? 1.0 - depth * eased * 2 : faintestOpacity + depth * (eased - 0.5) * 2;
}

void StatusSymbol::paintEvent(QPaintEvent*)
{
    const qreal ratio = devicePixelRatioF();
    if (m_image.isNull() || !qFuzzyCompare(m_image.devicePixelRatio(), ratio))
        m_image = SymbolImage::render(m_symbol, sizePoints, m_tint, ratio);
    QPainter painter(this);
    painter.setOpacity(currentOpacity());
    painter.drawImage(QRectF(rect()), m_image);
}

} // namespace vessaro
