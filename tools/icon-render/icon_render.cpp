// Renders an SVG icon to a square PNG of a given size: the hicolor theme's fixed-size
// icons are made from the one scalable drawing at build time, with the same SVG renderer
// (QtSvg) the program's own icons go through. The icon has no text, so no application
// object (and no platform plug-in or display) is needed to paint it.
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ICON.svg SIZE OUT.png\n", argv[0]);
        return 2;
    }
    bool ok = false;
    const int size = QString::fromLocal8Bit(argv[2]).toInt(&ok);
    if (!ok || size < 1 || size > 4096) {
        std::fprintf(stderr, "%s: bad size '%s'\n", argv[0], argv[2]);
        return 2;
    }
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "%s: cannot read the SVG '%s'\n", argv[0], argv[1]);
        return 1;
    }

    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        svg.render(&painter, QRectF(0, 0, size, size));
    }
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "%s: cannot write '%s'\n", argv[0], argv[3]);
        return 1;
    }
    return 0;
}
