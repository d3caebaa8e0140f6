#pragma once

#include <QColor>
#include <QIcon>
#include <QPainterPath>
#include <QPixmap>
#include <QRectF>
#include <QString>
#include <vector>

class QPainter;

namespace quorvi {

// The project's own artwork (the "QuorviBrand" tile and the symbol icons,
// app/resources/*.svg) rendered without the Qt SVG module, which Debian
// ships apart from qt6-base. The reader understands the small part of SVG
// the artwork is drawn with: rect, circle, ellipse, line, polyline,
// polygon and path (every command, arcs included), g, fill, stroke,
// stroke-width, linecap, linejoin, fill-rule, opacity and the transforms
// translate, rotate, scale and matrix. "currentColor" takes the tint.
//
// Thread: main (QPixmap).
class SvgArtwork {
public:
    static SvgArtwork fromData(const QByteArray& data);
    static SvgArtwork fromFile(const QString& path);

    bool isValid() const { return !shapes_.empty(); }
    QRectF viewBox() const { return viewBox_; }
    void render(QPainter& painter, const QRectF& target, const QColor& currentColor) const;
    // Square artwork at the given logical size and device pixel ratio.
    QPixmap pixmap(int logicalSize, qreal devicePixelRatio, const QColor& currentColor) const;

    struct Paint {
        enum class Kind { none, color, current };
        Kind kind = Kind::none;
        QColor color;
    };
    struct Shape {
        QPainterPath path;
        Paint fill;
        Paint stroke;
        qreal strokeWidth = 1;
        Qt::PenCapStyle cap = Qt::FlatCap;
        Qt::PenJoinStyle join = Qt::MiterJoin;
        qreal opacity = 1;
    };

private:
    QRectF viewBox_{0, 0, 24, 24};
    std::vector<Shape> shapes_;
};

// Parses SVG path data ("M3 4L5 6A2 2 0 0 1 7 8Z"); arcs become cubic
// curves. Malformed data ends the path where it stops making sense.
QPainterPath parseSvgPathData(const QString& data);

// A symbol by its system name ("circle.fill", "iphone", …) tinted in one
// colour, with pixmaps for the usual sizes at the screen's pixel ratio.
// An unknown name gives an empty icon.
QIcon symbolIcon(const QString& name, const QColor& tint);
QPixmap symbolPixmap(const QString& name, const QColor& tint, int logicalSize,
                     qreal devicePixelRatio);

// The "QuorviBrand" artwork: the window icon, the tray icon and the header.
QIcon brandIcon();
QPixmap brandPixmap(int logicalSize, qreal devicePixelRatio);

} // namespace quorvi
