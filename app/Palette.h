#pragma once

#include "server/WindowRules.h"

#include <QColor>
#include <QString>

namespace quorvi {

// The window's colours. The fixed ones are given in sRGB; the others follow
// the desktop's palette so the window sits in a light or dark theme.
//
// Thread: main (reads the application palette).
namespace palette {

QColor windowBackground();
// Header, sidebar cards and the live pane's panels.
QColor panelBackground();
QColor canvas();
QColor border();
QColor accent();
QColor success();
QColor warning();
QColor danger();
QColor primaryText();
QColor secondaryText();
// Text on the fixed light canvas: dark whatever the desktop's theme.
QColor canvasText();
QColor canvasSecondaryText();

QColor toneColor(StatusTone tone);

// "#rrggbb" or "rgba(r, g, b, a)" for style sheets.
QString css(const QColor& color);

} // namespace palette

} // namespace quorvi
