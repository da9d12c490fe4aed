#include "ui/OrloPrimaryButton.h"

#include "ui/BrisalTheme.h"
#include "ui/KeyboardAccess.h"
#include "ui/SymbolImage.h"

#include <QEasingCurve>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <vector>

namespace vessaro {
namespace {

constexpr qreal kOutlineInsetPoints = 1.0;
constexpr qreal kOutlineWidthPoints = 1.5;
constexpr qreal kShadowOpacity = 0.22;
constexpr qreal kShadowRadiusPoints = 10.0;
constexpr qreal kShadowOffsetPoints = 5.0;
constexpr int kSymbolPoints = 20;
constexpr int kSymbolSpacingPoints = 8;
// The focus ring runs this far outside the capsule, inside the shadow's margins.
constexpr qreal kFocusRingOffsetPoints = 3.0;

QPainterPath capsule(const QRectF& rect)
{
    QPainterPath path;
    const qreal radius = rect.height() / 2;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// One pass of a running-average blur along rows (or, transposed, columns) of
// a premultiplied image; three passes come close to a Gaussian.
void boxBlur(QImage& image, int radius, bool alongRows)
{
    const int lines = alongRows ? image.height() : image.width();
    const int length = alongRows ? image.width() : image.height();
    const int window = 2 * radius + 1;
    std::vector<QRgb> line(static_cast<std::size_t>(length));
    for (int l = 0; l < lines; ++l) {
        const auto at = [&](int i) -> QRgb& {
            return alongRows ? reinterpret_cast<QRgb*>(image.scanLine(l))[i] // NOLINT
                             : reinterpret_cast<QRgb*>(image.scanLine(i))[l]; // NOLINT
        };
        for (int i = 0; i < length; ++i)
            line[static_cast<std::size_t>(i)] = at(i);
        int sums[4] = { 0, 0, 0, 0 };
        const auto add = [&](int i, int sign) {
            if (i < 0 || i >= length)
                return;
            const QRgb p = line[static_cast<std::size_t>(i)];
            sums[0] += sign * qAlpha(p);
            sums[1] += sign * qRed(p);
            sums[2] += sign * qGreen(p);
            sums[3] += sign * qBlue(p);
        };
        for (int i = -radius; i < radius; ++i)
            add(i, 1);
        for (int i = 0; i < length; ++i) {
            add(i + radius, 1);
            at(i) = qRgba(sums[1] / window, sums[2] / window, sums[3] / window, sums[0] / window);
            add(i - radius, -1);
        }
    }
}

} // namespace

OrloPrimaryButton::OrloPrimaryButton(const QString& title, const QString& symbol, QWidget* parent)
    : QAbstractButton(parent)
    , m_symbol(symbol)
{
    setText(title);
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_press.setDuration(pressMilliseconds);
    m_press.setEasingCurve(QEasingCurve::OutCubic);
    connect(&m_press, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_scale = value.toReal();
        update();
    });
    connect(this, &QAbstractButton::pressed, this, [this] { animateScaleTo(pressedScale); });
    connect(this, &QAbstractButton::released, this, [this] { animateScaleTo(1.0); });
}

QMargins OrloPrimaryButton::shadowMargins()
{
    const int spread = static_cast<int>(kShadowRadiusPoints) + 2;
    return { spread, spread - static_cast<int>(kShadowOffsetPoints), spread,
        spread + static_cast<int>(kShadowOffsetPoints) };
}

void OrloPrimaryButton::placeCapsule(const QRect& capsuleGeometry)
{
    setGeometry(capsuleGeometry.marginsAdded(shadowMargins()));
}

QRectF OrloPrimaryButton::capsuleRect() const
{
    return QRectF(rect().marginsRemoved(shadowMargins()));
}

void OrloPrimaryButton::setSymbol(const QString& symbol)
{
    // The window sets it on every tick of the clock; only a change is drawn.
    if (symbol == m_symbol)
        return;
    m_symbol = symbol;
    update();
}

QSize OrloPrimaryButton::sizeHint() const
{
    const QFontMetrics metrics(BrisalTheme::roundedFont(19, QFont::DemiBold));
    const int labelWidth = kSymbolPoints + kSymbolSpacingPoints + metrics.horizontalAdvance(text());
    const QMargins margins = shadowMargins();
    return { labelWidth + 2 * heightPoints + margins.left() + margins.right(),
        heightPoints + margins.top() + margins.bottom() };
}

QSize OrloPrimaryButton::minimumSizeHint() const
{
    const QMargins margins = shadowMargins();
    return { heightPoints + margins.left() + margins.right(), heightPoints + margins.top() + margins.bottom() };
}

void OrloPrimaryButton::animateScaleTo(qreal target)
{
    m_press.stop();
    m_press.setStartValue(m_scale);
    m_press.setEndValue(target);
    m_press.start();
}

const QImage& OrloPrimaryButton::shadow()
{
    const qreal ratio = devicePixelRatioF();
    const QSize sizePixels = (QSizeF(size()) * ratio).toSize();
    if (m_shadow.size() == sizePixels && qFuzzyCompare(m_shadow.devicePixelRatio(), ratio))
        return m_shadow;
    m_shadow = QImage(sizePixels, QImage::Format_ARGB32_Premultiplied);
    m_shadow.fill(Qt::transparent);
    {
        QPainter painter(&m_shadow);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(ratio, ratio);
        QColor color = BrisalTheme::coral();
        color.setAlphaF(static_cast<float>(kShadowOpacity));
        painter.fillPath(capsule(capsuleRect().translated(0, kShadowOffsetPoints)), color);
    }
    // Three box passes of a third of the radius each spread about as far as
    // the blur radius.
    const int passRadius = std::max(1, static_cast<int>(std::lround(kShadowRadiusPoints * ratio / 3)));
    for (int pass = 0; pass < 3; ++pass) {
        boxBlur(m_shadow, passRadius, true);
        boxBlur(m_shadow, passRadius, false);
    }
    m_shadow.setDevicePixelRatio(ratio);
    return m_shadow;
}

void OrloPrimaryButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF body = capsuleRect();
    painter.translate(body.center());
    painter.scale(m_scale, m_scale);
    painter.translate(-body.center());

    const bool enabled = isEnabled();
    if (enabled)
        painter.drawImage(QPointF(0, 0), shadow());

    QLinearGradient fill(body.topLeft(), body.bottomLeft());
    if (enabled) {
        fill.setColorAt(0, QColor::fromRgbF(1.0F, 0.4F, 0.44F));
        fill.setColorAt(1, BrisalTheme::coral());
    } else {
        QColor top = BrisalTheme::gray();
        top.setAlphaF(0.55F);
        QColor bottom = BrisalTheme::gray();
        bottom.setAlphaF(0.7F);
        fill.setColorAt(0, top);
        fill.setColorAt(1, bottom);
    }
    painter.fillPath(capsule(body), fill);

    QColor outline = Qt::white;
    outline.setAlphaF(0.32F);
    painter.setPen(QPen(outline, kOutlineWidthPoints));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(
        capsule(body.adjusted(kOutlineInsetPoints, kOutlineInsetPoints, -kOutlineInsetPoints, -kOutlineInsetPoints)));

    const QFont font = BrisalTheme::roundedFont(19, QFont::DemiBold);
    const QFontMetricsF metrics(font);
    const bool hasSymbol = !m_symbol.isEmpty();
    const qreal textWidth = metrics.horizontalAdvance(text());
    const qreal labelWidth = textWidth + (hasSymbol ? kSymbolPoints + kSymbolSpacingPoints : 0);
    qreal x = body.center().x() - labelWidth / 2;
    if (hasSymbol) {
        SymbolImage::paint(painter, QRectF(x, body.center().y() - kSymbolPoints / 2.0, kSymbolPoints, kSymbolPoints),
            m_symbol, Qt::white);
        x += kSymbolPoints + kSymbolSpacingPoints;
    }
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(x, body.top(), textWidth + 1, body.height()), Qt::AlignLeft | Qt::AlignVCenter, text());
    const qreal ring = kFocusRingOffsetPoints;
    KeyboardAccess::paintFocusRing(painter, *this, capsule(body.adjusted(-ring, -ring, ring, ring)));
}

void OrloPrimaryButton::keyPressEvent(QKeyEvent* event)
{
    if (!KeyboardAccess::pressOnReturn(*this, *event))
        QAbstractButton::keyPressEvent(event);
}

bool OrloPrimaryButton::hitButton(const QPoint& position) const
{
    return capsule(capsuleRect()).contains(QPointF(position));
}

} // namespace vessaro
