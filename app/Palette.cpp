#include "app/Palette.h"

#include <QApplication>
#include <QPalette>

namespace quorvi::palette {

namespace {

QPalette current() {
    return QApplication::palette();
}

QColor blended(const QColor& top, const QColor& bottom, float topWeight) {
    return QColor::fromRgbF(top.redF() * topWeight + bottom.redF() * (1 - topWeight),
                            top.greenF() * topWeight + bottom.greenF() * (1 - topWeight),
                            top.blueF() * topWeight + bottom.blueF() * (1 - topWeight));
}

} // namespace

QColor windowBackground() {
    return current().color(QPalette::Window);
}

QColor panelBackground() {
    return current().color(QPalette::Base);
}

QColor canvas() {
    return QColor::fromRgbF(0.945f, 0.945f, 0.925f);
}

QColor border() {
    // A separator: the text colour faded into the window, then at 0.65.
    QColor color = blended(primaryText(), windowBackground(), 0.22f);
    color.setAlphaF(0.65f);
    return color;
}

QColor accent() {
    return QColor::fromRgbF(0.184f, 0.435f, 0.384f);
}

QColor success() {
    return QColor::fromRgbF(0.176f, 0.416f, 0.31f);
}

QColor warning() {
    return QColor::fromRgbF(0.604f, 0.404f, 0.0f);
}

QColor danger() {
    return QColor::fromRgbF(0.753f, 0.212f, 0.173f);
}

QColor primaryText() {
    return current().color(QPalette::WindowText);
}

QColor secondaryText() {
    return blended(primaryText(), windowBackground(), 0.58f);
}

QColor canvasText() {
    return QColor::fromRgbF(0.11f, 0.11f, 0.12f);
}

QColor canvasSecondaryText() {
    return blended(canvasText(), canvas(), 0.6f);
}

QColor toneColor(StatusTone tone) {
    switch (tone) {
    case StatusTone::good:
        return success();
    case StatusTone::warning:
        return warning();
    case StatusTone::danger:
        return danger();
    case StatusTone::neutral:
        break;
    }
    return secondaryText();
}

QString css(const QColor& color) {
    if (color.alpha() == 255) {
        return color.name(QColor::HexRgb);
    }
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(QString::number(color.alphaF(), 'f', 3));
}

} // namespace quorvi::palette
