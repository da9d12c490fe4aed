// Renders an SVG file to a PNG of a given size with a transparent background:
//   vessaro_render_svg SOURCE.svg TARGET.png WIDTH HEIGHT
// The build runs it to make the window's artwork.

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fputs("usage: vessaro_render_svg SOURCE.svg TARGET.png WIDTH HEIGHT\n", stderr);
        return 2;
    }
    // No screen is needed to paint into an image; the build may have no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    bool widthOk = false;
    bool heightOk = false;
    const int widthPixels = arguments.at(3).toInt(&widthOk);
    const int heightPixels = arguments.at(4).toInt(&heightOk);
    QSvgRenderer renderer(arguments.at(1));
    if (!widthOk || !heightOk || widthPixels <= 0 || heightPixels <= 0 || !renderer.isValid()) {
        std::fprintf(stderr, "vessaro_render_svg: cannot render %s\n",
            argv[1]); // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
        return 1;
    }
    QImage image(widthPixels, heightPixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, widthPixels, heightPixels));
    painter.end();
    if (!image.save(arguments.at(2), "PNG")) {
        std::fprintf(stderr, "vessaro_render_svg: cannot write %s\n",
            argv[2]); // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
        return 1;
    }
    return 0;
}
