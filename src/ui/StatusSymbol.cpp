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
    m_frames.setInterval(1000 / pulseFramesPerSecond);
    m_frames.setTimerType(Qt::CoarseTimer);
    connect(&m_frames, &QTimer::timeout, this, &StatusSymbol::nextFrame);
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

void StatusSymbol::setLevel(float peak)
{
    // Taken while still too, for when the meter runs again; nothing is drawn meanwhile.
    if (m_meter.take(peak) && m_metering)
        update();
    runFrames();
}

void StatusSymbol::nextFrame()
{
    if (m_meter.advanceFrame())
        update();
    runFrames();
}

void StatusSymbol::runFrames()
{
    const bool run = m_metering && m_meter.isFalling();
    if (run == m_frames.isActive())
        return;
    if (run)
        m_frames.start();
    else
        m_frames.stop();
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
    const bool metering = m_wantsPulse && !m_reduceMotion && m_onScreen;
    if (metering == m_metering)
        return;
    m_metering = metering;
    // Back on screen, the meter starts from the level as it is now.
    m_meter.settle();
    runFrames();
    update();
}

qreal StatusSymbol::currentOpacity() const
{
    if (!m_metering)
        return 1.0;
    return faintestOpacity + (1.0 - faintestOpacity) * m_meter.shownStep() / LevelMeter::steps;
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
