#include "ui/TimeDisplay.h"

#include "ui/BrisalTheme.h"
#include "ui/ReducedMotion.h"

#include <QEasingCurve>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace vessaro {

TimeDisplay::TimeDisplay(QWidget* parent)
    : QWidget(parent)
    , m_reduceMotion(ReducedMotion::requested())
{
    setFixedSize(widthPoints, heightPoints);
    m_roll.setInterval(1000 / rollFramesPerSecond);
    m_roll.setTimerType(Qt::PreciseTimer);
    connect(&m_roll, &QTimer::timeout, this, [this] {
        if (m_rollSince.elapsed() >= rollMilliseconds) {
            m_roll.stop();
            m_previous.clear();
        }
        update();
    });
}

qreal TimeDisplay::rollProgress() const
{
    static const QEasingCurve easing(QEasingCurve::OutCubic);
    return isRolling()
        ? easing.valueForProgress(std::min(1.0, static_cast<qreal>(m_rollSince.elapsed()) / rollMilliseconds))
        : 1.0;
}

void TimeDisplay::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_roll.stop();
    m_previous = (!m_reduceMotion && m_onScreen && text.size() == m_text.size()) ? m_text : QString();
    m_text = text;
    if (!m_previous.isEmpty()) {
        m_rollSince.start();
        m_roll.start();
    }
    update();
}

void TimeDisplay::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_onScreen = true;
}

void TimeDisplay::hideEvent(QHideEvent* event)
{
    // Minimising sends this too, while isVisible() stays true.
    m_onScreen = false;
    m_roll.stop();
    m_previous.clear();
    QWidget::hideEvent(event);
}

QFont TimeDisplay::currentFont() const
{
    return BrisalTheme::roundedFont(m_text.size() >= 6 ? 52 : 66, QFont::Bold);
}

int TimeDisplay::fontPixelSize() const
{
    return currentFont().pixelSize();
}

qreal TimeDisplay::digitCellWidth() const
{
    const QFontMetricsF metrics(currentFont());
    qreal widest = 0;
    for (char16_t digit = u'0'; digit <= u'9'; ++digit)
        widest = std::max(widest, metrics.horizontalAdvance(QChar(digit)));
    return widest;
}

QImage TimeDisplay::picture(const QString& text, const std::function<bool(qsizetype)>& drawn) const
{
    const qreal ratio = devicePixelRatioF();
    QImage image((QSizeF(size()) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QFont font = currentFont();
    const QFontMetricsF metrics(font);
    const qreal cell = digitCellWidth();
    // Every cell is as wide as the character now shown there.
    const auto advance = [&](QChar c) { return c.isDigit() ? cell : metrics.horizontalAdvance(c); };
    qreal lineWidth = 0;
    for (QChar c : m_text)
        lineWidth += advance(c);
    painter.setFont(font);
    painter.setPen(BrisalTheme::ink());
    const qreal lineHeight = metrics.height();
    const qreal top = (height() - lineHeight) / 2;
    qreal x = (width() - lineWidth) / 2;
    for (qsizetype i = 0; i < m_text.size(); ++i) {
        const qreal w = advance(m_text.at(i));
        if (drawn(i))
            painter.drawText(QRectF(x, top, w, lineHeight), Qt::AlignCenter, QString(text.at(i)));
        x += w;
    }
    return image;
}

void TimeDisplay::paintEvent(QPaintEvent*)
{
    if (m_picturedText != m_text || m_picturedPrevious != m_previous
        || !qFuzzyCompare(m_still.devicePixelRatio(), devicePixelRatioF())) {
        const auto rolls = [this](qsizetype i) { return !m_previous.isEmpty() && m_previous.at(i) != m_text.at(i); };
        m_still = picture(m_text, [&](qsizetype i) { return !rolls(i); });
        m_leaving = m_previous.isEmpty() ? QImage() : picture(m_previous, rolls);
        m_arriving = m_previous.isEmpty() ? QImage() : picture(m_text, rolls);
        m_picturedText = m_text;
        m_picturedPrevious = m_previous;
    }
    QPainter painter(this);
    painter.setClipRect(rect());
    painter.drawImage(QPointF(0, 0), m_still);
    if (m_leaving.isNull())
        return;
    // Counting upward: the old digits leave through the top while the new
    // ones rise from below, by whole pixels.
    const qreal progress = rollProgress();
    const qreal travel = QFontMetricsF(currentFont()).height() * 0.6;
    const qreal pixel = 1.0 / devicePixelRatioF();
    const auto snapped = [pixel](qreal offset) { return std::round(offset / pixel) * pixel; };
    painter.setOpacity(1.0 - progress);
    painter.drawImage(QPointF(0, snapped(-travel * progress)), m_leaving);
    painter.setOpacity(progress);
    painter.drawImage(QPointF(0, snapped(travel * (1.0 - progress))), m_arriving);
}

} // namespace vessaro
