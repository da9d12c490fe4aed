#include "ui/BrisalTheme.h"

#include "ui/ResourceBundle.h"

#include <QPainter>

namespace vessaro::BrisalTheme {
namespace {

QColor fromFractions(double red, double green, double blue)
{
    return QColor::fromRgbF(static_cast<float>(red), static_cast<float>(green), static_cast<float>(blue));
}

// Noto Sans CJK covers Latin and every Chinese text we show; Quicksand gives
// the rounded Latin letters and digits.
const QString kSystemFamily = QStringLiteral("Noto Sans CJK SC");
const QString kRoundedFamily = QStringLiteral("Quicksand");

} // namespace

QColor ink()
{
    return fromFractions(0.075, 0.15, 0.25);
}
QColor secondaryInk()
{
    return fromFractions(0.32, 0.39, 0.49);
}
QColor blue()
{
    return fromFractions(0.15, 0.37, 0.7);
}
QColor coral()
{
    return fromFractions(0.98, 0.32, 0.39);
}
QColor cream()
{
    return fromFractions(0.98, 0.97, 0.94);
}
QColor gray()
{
    return fromFractions(0.5, 0.5, 0.5);
}

QFont systemFont(int pixelSize, QFont::Weight weight)
{
    QFont font;
    font.setFamilies({ kSystemFamily });
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont roundedFont(int pixelSize, QFont::Weight weight)
{
    QFont font = systemFont(pixelSize, weight);
    font.setFamilies({ kRoundedFamily, kSystemFamily });
    return font;
}

QPixmap shell(qreal devicePixelRatio)
{
    const std::optional<QString>& bundle = ResourceBundle::shared();
    if (!bundle)
        return {};
    // The picture made for the ratio, or the other if that one is missing.
    const QString sizes[] = { QStringLiteral("orlo-shell"), QStringLiteral("orlo-shell@2x") };
    const bool large = devicePixelRatio > 1.0;
    std::optional<QImage> picture
        = ResourceBundle::image(*bundle, sizes[large ? 1 : 0], QStringLiteral("png"), QStringLiteral("Brand"));
    if (!picture)
        picture = ResourceBundle::image(*bundle, sizes[large ? 0 : 1], QStringLiteral("png"), QStringLiteral("Brand"));
    if (!picture)
        return {};
    const QSizeF points(shellWidthPoints, shellHeightPoints);
    QImage drawn((points * devicePixelRatio).toSize(), QImage::Format_ARGB32_Premultiplied);
    drawn.setDevicePixelRatio(devicePixelRatio);
    drawn.fill(Qt::transparent);
    QPainter painter(&drawn);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(QPointF(0, 0), points), *picture);
    painter.end();
    return QPixmap::fromImage(std::move(drawn));
}

QRegion bodyRegion(const QImage& artwork, QSize size)
{
    // Scaled as the window draws it; every pixel it tints belongs, so that the
    // shape cuts nothing off the antialiased edge.
    const QImage scaled = artwork.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QRegion region;
    for (int y = 0; y < scaled.height(); ++y) {
        for (int x = 0; x < scaled.width(); ++x) {
            const int start = x;
            while (x < scaled.width() && qAlpha(scaled.pixel(x, y)) > 0)
                ++x;
            if (x > start)
                region += QRect(start, y, x - start, 1);
        }
    }
    return region;
}

} // namespace vessaro::BrisalTheme
