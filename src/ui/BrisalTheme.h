#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QRegion>

// The look's vocabulary: five colours, the two typefaces and the artwork that
// forms the window's body. Main thread only (fonts and images are created on
// first use, with a QGuiApplication running).
namespace vessaro::BrisalTheme {

QColor ink();
QColor secondaryInk();
QColor blue();
QColor coral();
QColor cream();
// The platform's gray, for the disabled primary button.
QColor gray();

// Sizes are in logical points (Qt's device-independent pixels), not in
// typographic points, so a 13-point text is 13 pixels tall at scale 1.
QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal);
// The rounded design; Chinese characters fall back to the system face.
QFont roundedFont(int pixelSize, QFont::Weight weight = QFont::Normal);

// The artwork is drawn stretched to this size, whatever its own.
inline constexpr int shellWidthPoints = 768;
inline constexpr int shellHeightPoints = 512;
// Where the artwork, stretched to `size`, covers anything at all: the body's
// shape, without the transparent margins around it.
QRegion bodyRegion(const QImage& artwork, QSize size);
// The artwork "orlo-shell" from the resource bundle, drawn at that size for
// `devicePixelRatio`, from the bundle's picture for ratio 1 or its twice as
// large one above. Null when the bundle or both pictures are missing or
// unreadable; the window then shows only its elements. Read from the bundle
// on every call, so that the picture does not stay in memory: the caller
// keeps the result.
QPixmap shell(qreal devicePixelRatio);

} // namespace vessaro::BrisalTheme
