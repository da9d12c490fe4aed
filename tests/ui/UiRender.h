#pragma once

#include <QDir>
#include <QImage>
#include <QWidget>
#include <cmath>

// Renders for a person to look at: build/ui-renders/NAME.png.
namespace vessaro::test {

inline QImage render(QWidget& widget, const QString& name)
{
    widget.ensurePolished();
    QImage image = widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QDir().mkpath(QStringLiteral(VESSARO_UI_RENDERS));
    image.save(QStringLiteral(VESSARO_UI_RENDERS "/") + name + QStringLiteral(".png"));
    return image;
}

// A plain white page under the widgets, without a style sheet that would
// reach its children.
inline void paintWhite(QWidget& page)
{
    QPalette palette = page.palette();
    palette.setColor(QPalette::Window, Qt::white);
    page.setPalette(palette);
    page.setAutoFillBackground(true);
}

// Whether `actual` is within `tolerance` of `expected` in every channel.
inline bool near(const QColor& actual, const QColor& expected, int tolerance = 6)
{
    return std::abs(actual.red() - expected.red()) <= tolerance
        && std::abs(actual.green() - expected.green()) <= tolerance
        && std::abs(actual.blue() - expected.blue()) <= tolerance
        && std::abs(actual.alpha() - expected.alpha()) <= tolerance;
}

} // namespace vessaro::test
