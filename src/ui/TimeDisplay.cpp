#include "ui/TimeDisplay.h"

#include "ui/BrisalTheme.h"
#include "ui/ReducedMotion.h"

#include <QEasingCurve>
#include <QPainter>

#include <algorithm>

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

void TimeDisplay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QFont font = currentFont();
    const QFontMetricsF metrics(font);
    const qreal cell = digitCellWidth();
    const auto advance = [&](QChar c) { return c.isDigit() ? cell : metrics.horizontalAdvance(c); };
    qreal lineWidth = 0;
    for (QChar c : m_text)
        lineWidth += advance(c);
    painter.setFont(font);
    painter.setClipRect(rect());

    const qreal progress = rollProgress();
    const qreal lineHeight = metrics.height();
    const qreal top = (height() - lineHeight) / 2;
    QColor ink = BrisalTheme::ink();
    qreal x = (width() - lineWidth) / 2;
    for (qsizetype i = 0; i < m_text.size(); ++i) {
        const QChar now = m_text.at(i);
        const qreal w = advance(now);
        const QRectF box(x, top, w, lineHeight);
        const bool rolls = !m_previous.isEmpty() && m_previous.at(i) != now;
        if (rolls) {
            // Counting upward: the old digit leaves through the top while the
            // new one rises from below.
            const qreal travel = lineHeight * 0.6;
            ink.setAlphaF(static_cast<float>(1.0 - progress));
            painter.setPen(ink);
            painter.drawText(box.translated(0, -travel * progress), Qt::AlignCenter, QString(m_previous.at(i)));
            ink.setAlphaF(static_cast<float>(progress));
            painter.setPen(ink);
            painter.drawText(box.translated(0, travel * (1.0 - progress)), Qt::AlignCenter, QString(now));
        } else {
            ink.setAlphaF(1.0F);
            painter.setPen(ink);
            painter.drawText(box, Qt::AlignCenter, QString(now));
        }
        x += w;
    }
}

} // namespace vessaro
