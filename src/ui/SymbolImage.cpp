#include "ui/SymbolImage.h"

#include <QFile>
#include <QHash>
#include <QPaintDevice>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

namespace vessaro::SymbolImage {
namespace {

QString resourcePath(const QString& name)
{
    return QStringLiteral(":/symbols/") + name + QStringLiteral(".svg");
}

} // namespace

bool exists(const QString& name)
{
    return QFile::exists(resourcePath(name));
}

QImage render(const QString& name, int sizePoints, const QColor& tint, qreal devicePixelRatio)
{
    QFile file(resourcePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // The set draws in "currentColor"; draw it black, keep its coverage and
    // take our colour below.
    QSvgRenderer renderer(file.readAll().replace("currentColor", "#000000"));
    if (!renderer.isValid())
        return {};
    const int sizePixels = static_cast<int>(std::ceil(sizePoints * devicePixelRatio));
    QImage image(sizePixels, sizePixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, sizePixels, sizePixels));
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), tint);
    painter.end();
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

void paint(QPainter& painter, const QRectF& target, const QString& name, const QColor& tint)
{
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const int sizePoints = static_cast<int>(std::ceil(std::max(target.width(), target.height())));
    // Drawn on every repaint (the pulse many times a second), while the
    // symbols, sizes and tints in use are few: each rendering is kept.
    static QHash<QString, QImage> rendered;
    const QString key = QStringLiteral("%1 %2 %3 %4").arg(name).arg(sizePoints).arg(tint.rgba()).arg(ratio);
    auto image = rendered.constFind(key);
    if (image == rendered.cend())
        image = rendered.insert(key, render(name, sizePoints, tint, ratio));
    if (!image->isNull())
        painter.drawImage(target, *image);
}

} // namespace vessaro::SymbolImage
