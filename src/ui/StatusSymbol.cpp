#include "ui/StatusSymbol.h"

#include "ui/ReducedMotion.h"
#include "ui/SymbolImage.h"

#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>

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
    connect(&m_frames, &QTimer::timeout, this, &StatusSymbol::fallOneFrame);
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
    m_levelStep = stepOf(peak);
    // Kept for when the meter runs again; nothing is drawn meanwhile.
    if (!m_metering)
        return;
    if (m_levelStep >= m_shownStep) {
        m_frames.stop();
        m_framesHeld = 0;
        showStep(m_levelStep);
    } else if (!m_frames.isActive()) {
        m_frames.start();
    }
}

int StatusSymbol::stepOf(float peak)
{
    // Where each step begins, in dB of full scale.
    static constexpr std::array<double, levelSteps> floors { -48, -30, -18, -6 };
    if (!(peak > 0))
        return 0;
    const double decibels = 20 * std::log10(double { peak });
    return static_cast<int>(
        std::count_if(floors.begin(), floors.end(), [&](double floor) { return decibels >= floor; }));
}

void StatusSymbol::fallOneFrame()
{
    if (++m_framesHeld < framesPerFallingStep)
        return;
    m_framesHeld = 0;
    showStep(m_shownStep - 1);
    if (m_shownStep <= m_levelStep)
        m_frames.stop();
}

void StatusSymbol::showStep(int step)
{
    if (step == m_shownStep)
        return;
    m_shownStep = step;
    update();
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
    m_frames.stop();
    m_framesHeld = 0;
    // Back on screen, the meter starts from the level as it is now.
    m_shownStep = m_levelStep;
    update();
}

qreal StatusSymbol::currentOpacity() const
{
    if (!m_metering)
        return 1.0;
    return faintestOpacity + (1.0 - faintestOpacity) * m_shownStep / levelSteps;
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
