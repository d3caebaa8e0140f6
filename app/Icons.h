#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace quorvi {

// The project's own artwork, app/resources/*.svg, drawn by Qt's SVG module:
// the "QuorviBrand" tile and the single-colour symbols, whose
// "currentColor" takes the tint asked for.
//
// Thread: main (QPixmap).

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
