// make_icon SIZE OUT.png: the application icon drawn at SIZE x SIZE, the same shapes as
// velmoraii.svg on its 256 x 256 grid, so the PNG sizes are made at build time.
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    int size = argc == 3 ? std::atoi(argv[1]) : 0;
    if (size < 8 || size > 1024) {
        std::fputs("usage: make_icon SIZE OUT.png\n", stderr);
        return 2;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 256.0, size / 256.0);

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor("#2E5E8C"));
    painter.drawRoundedRect(QRectF(16, 16, 224, 224), 40, 40);

    painter.setPen(QPen(QColor("#B07A3B"), 14));
    painter.setBrush(QColor("#F4EFE6"));
    painter.drawEllipse(QPointF(128, 128), 84, 84);

    QPen stitches(QColor("#D23C5A"), 10, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(stitches);
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(QPolygonF({QPointF(72, 150), QPointF(100, 100), QPointF(128, 150), QPointF(156, 100),
                                    QPointF(184, 150)}));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor("#D23C5A"));
    painter.drawEllipse(QPointF(184, 150), 10, 10);
    painter.end();
    return image.save(argv[2], "PNG") ? 0 : 1;
}
