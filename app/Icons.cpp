#include "app/Icons.h"

#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>
#include <cmath>

namespace quorvi {

namespace {

const QString kBrandPath = QStringLiteral(":/quorvi/QuorviBrand.svg");

QString symbolPath(const QString& name) {
    return QStringLiteral(":/quorvi/icons/") + name + QStringLiteral(".svg");
}

// The resource's text, read once; empty when there is no such resource.
const QByteArray& artworkSource(const QString& resourcePath) {
    static QHash<QString, QByteArray> cache;
    auto found = cache.find(resourcePath);
    if (found == cache.end()) {
        QFile file(resourcePath);
        found = cache.insert(resourcePath,
                             file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    return found.value();
}

// SVG has no way to pass a colour in from outside, so the tint is written
// where the artwork says "currentColor"; its alpha (SVG colours have none)
// goes to the painter's opacity.
class TintedArtwork {
public:
    TintedArtwork(const QString& resourcePath, const QColor& tint) : opacity_(tint.alphaF()) {
        QByteArray source = artworkSource(resourcePath);
        source.replace("currentColor", tint.name(QColor::HexRgb).toLatin1());
        if (!source.isEmpty()) {
            renderer_.load(source);
        }
    }

    bool isValid() const { return renderer_.isValid(); }

    QPixmap pixmap(int logicalSize, qreal devicePixelRatio) {
        const int pixels =
            std::max(1, static_cast<int>(std::lround(logicalSize * devicePixelRatio)));
        QPixmap pixmap(pixels, pixels);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing, true);
            painter.setOpacity(opacity_);
            renderer_.render(&painter, QRectF(0, 0, pixels, pixels));
        }
        pixmap.setDevicePixelRatio(devicePixelRatio);
        return pixmap;
    }

private:
    QSvgRenderer renderer_;
    qreal opacity_;
};

qreal screenPixelRatio() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        return screen->devicePixelRatio();
    }
    return 1;
}

} // namespace

QPixmap symbolPixmap(const QString& name, const QColor& tint, int logicalSize,
                     qreal devicePixelRatio) {
    TintedArtwork artwork(symbolPath(name), tint);
    if (!artwork.isValid()) {
        return {};
    }
    return artwork.pixmap(logicalSize, devicePixelRatio);
}

QIcon symbolIcon(const QString& name, const QColor& tint) {
    TintedArtwork artwork(symbolPath(name), tint);
    QIcon icon;
    if (!artwork.isValid()) {
        return icon;
    }
    const qreal ratio = screenPixelRatio();
    for (int size : {12, 14, 16, 18, 20, 24, 32, 48, 64}) {
        icon.addPixmap(artwork.pixmap(size, ratio));
    }
    return icon;
}

QPixmap brandPixmap(int logicalSize, qreal devicePixelRatio) {
    return TintedArtwork(kBrandPath, Qt::black).pixmap(logicalSize, devicePixelRatio);
}

QIcon brandIcon() {
    TintedArtwork artwork(kBrandPath, Qt::black);
    QIcon icon;
    if (!artwork.isValid()) {
        return icon;
    }
    // Plain pixels for every size a window manager or tray host asks for.
    for (int size : {16, 18, 22, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(artwork.pixmap(size, 1));
    }
    return icon;
}

} // namespace quorvi
