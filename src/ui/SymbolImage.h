#pragma once

#include <QColor>
#include <QImage>
#include <QRectF>
#include <QString>

class QPainter;

// The interface's symbols, named like the platform symbols they stand for
// ("record.circle", "gearshape", ...), drawn from the SVG icon set compiled
// into the program and tinted with one colour. Main thread only.
namespace vessaro::SymbolImage {

// Whether the set has a symbol of that name.
bool exists(const QString& name);
// The symbol in `tint`, `sizePoints` square, at `devicePixelRatio`. A null
// image for an unknown name.
QImage render(const QString& name, int sizePoints, const QColor& tint, qreal devicePixelRatio);
// Draws the symbol into `target` (logical points) at the painter's pixel ratio,
// rendered once per name, size, tint and ratio.
void paint(QPainter& painter, const QRectF& target, const QString& name, const QColor& tint);

} // namespace vessaro::SymbolImage
