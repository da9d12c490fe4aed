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
        update(m_rolling.isEmpty() ? rect() : m_rolling);
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

QList<QRectF> TimeDisplay::cells() const
{
    const QFontMetricsF metrics(currentFont());
    const qreal cell = digitCellWidth();
    // Every cell is as wide as the character now shown there.
    const auto advance = [&](QChar c) { return c.isDigit() ? cell : metrics.horizontalAdvance(c); };
    qreal lineWidth = 0;
    for (QChar c : m_text)
        lineWidth += advance(c);
    const qreal lineHeight = metrics.height();
    const qreal top = (height() - lineHeight) / 2;
    qreal x = (width() - lineWidth) / 2;
    QList<QRectF> cells;
    for (QChar c : m_text) {
        cells.append(QRectF(x, top, advance(c), lineHeight));
        x += cells.last().width();
    }
    return cells;
}

QImage TimeDisplay::picture(const QString& text, const std::function<bool(qsizetype)>& drawn) const
{
    const qreal ratio = devicePixelRatioF();
    QImage image((QSizeF(size()) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(currentFont());
    painter.setPen(BrisalTheme::ink());
    const QList<QRectF> where = cells();
    for (qsizetype i = 0; i < m_text.size(); ++i)
        if (drawn(i))
            painter.drawText(where.at(i), Qt::AlignCenter, QString(text.at(i)));
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
        QRectF rolling;
        const QList<QRectF> where = cells();
        for (qsizetype i = 0; i < m_text.size(); ++i)
            if (rolls(i))
                rolling |= where.at(i);
        // Whole columns: the digits travel up and down the full height.
        const QRect columns = rolling.toAlignedRect().adjusted(-1, 0, 1, 0);
        m_rolling = rolling.isEmpty() ? QRect() : QRect(columns.left(), 0, columns.width(), height());
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
