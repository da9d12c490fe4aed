#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QWidget>

// Renders for a person to look at: build/ui-renders/NAME.png.
namespace vessaro::test {

inline QImage render(QWidget& widget, const QString& name)
{
    widget.ensurePolished();
    // As the event loop would before painting: a new text resizes its row.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QImage image = widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QDir().mkpath(QStringLiteral(VESSARO_UI_RENDERS));
    image.save(QStringLiteral(VESSARO_UI_RENDERS "/") + name + QStringLiteral(".png"));
    return image;
}

} // namespace vessaro::test
