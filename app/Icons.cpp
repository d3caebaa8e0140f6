#include "app/Icons.h"

#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QScreen>
#include <QTransform>
#include <QXmlStreamReader>
#include <cmath>
#include <optional>

namespace quorvi {

namespace {

constexpr qreal kPi = 3.14159265358979323846;

// ---- path data ---------------------------------------------------------------

class PathDataReader {
public:
    explicit PathDataReader(const QString& data) : data_(data) {}

    void skipSeparators() {
        while (at_ < data_.size() && (data_[at_].isSpace() || data_[at_] == QLatin1Char(','))) {
            ++at_;
        }
    }

    bool atEnd() {
        skipSeparators();
        return at_ >= data_.size();
    }

    bool nextIsCommand() {
        skipSeparators();
        return at_ < data_.size() && data_[at_].isLetter() && data_[at_] != QLatin1Char('e') &&
               data_[at_] != QLatin1Char('E');
    }

    QChar command() { return data_[at_++]; }

    std::optional<qreal> number() {
        skipSeparators();
        const qsizetype start = at_;
        if (at_ < data_.size() &&
            (data_[at_] == QLatin1Char('+') || data_[at_] == QLatin1Char('-'))) {
            ++at_;
        }
        bool sawDigit = false;
        bool sawPoint = false;
        while (at_ < data_.size()) {
            const QChar c = data_[at_];
            if (c.isDigit()) {
                sawDigit = true;
            } else if (c == QLatin1Char('.') && !sawPoint) {
                sawPoint = true;
            } else {
                break;
            }
            ++at_;
        }
        if (sawDigit && at_ < data_.size() &&
            (data_[at_] == QLatin1Char('e') || data_[at_] == QLatin1Char('E'))) {
            qsizetype exponent = at_ + 1;
            if (exponent < data_.size() &&
                (data_[exponent] == QLatin1Char('+') || data_[exponent] == QLatin1Char('-'))) {
                ++exponent;
            }
            if (exponent < data_.size() && data_[exponent].isDigit()) {
                at_ = exponent;
                while (at_ < data_.size() && data_[at_].isDigit()) {
                    ++at_;
                }
            }
        }
        if (!sawDigit) {
            at_ = start;
            return std::nullopt;
        }
        bool ok = false;
        const qreal value = data_.mid(start, at_ - start).toDouble(&ok);
        if (!ok) {
            return std::nullopt;
        }
        return value;
    }

    // Arc flags may be written without separators ("a1 1 0 011 1").
    std::optional<bool> flag() {
        skipSeparators();
        if (at_ < data_.size() &&
            (data_[at_] == QLatin1Char('0') || data_[at_] == QLatin1Char('1'))) {
            return data_[at_++] == QLatin1Char('1');
        }
        return std::nullopt;
    }

private:
    const QString& data_;
    qsizetype at_ = 0;
};

qreal vectorAngle(qreal ux, qreal uy, qreal vx, qreal vy) {
    const qreal dot = ux * vx + uy * vy;
    const qreal length = std::sqrt((ux * ux + uy * uy) * (vx * vx + vy * vy));
    qreal cosine = length > 0 ? dot / length : 1;
    cosine = std::clamp<qreal>(cosine, -1, 1);
    const qreal angle = std::acos(cosine);
    return (ux * vy - uy * vx) < 0 ? -angle : angle;
}

// The elliptical arc from the current point to `to`, as cubic curves of at
// most a quarter turn each (the usual 4/3·tan(δ/4) handles).
void arcTo(QPainterPath& path, QPointF to, qreal rx, qreal ry, qreal rotationDegrees, bool largeArc,
           bool sweep) {
    const QPointF from = path.currentPosition();
    if (from == to) {
        return;
    }
    rx = std::abs(rx);
    ry = std::abs(ry);
    if (rx == 0 || ry == 0) {
        path.lineTo(to);
        return;
    }
    const qreal phi = rotationDegrees * kPi / 180;
    const qreal cosPhi = std::cos(phi);
    const qreal sinPhi = std::sin(phi);
    const qreal halfDx = (from.x() - to.x()) / 2;
    const qreal halfDy = (from.y() - to.y()) / 2;
    const qreal x1 = cosPhi * halfDx + sinPhi * halfDy;
    const qreal y1 = -sinPhi * halfDx + cosPhi * halfDy;

    const qreal lambda = (x1 * x1) / (rx * rx) + (y1 * y1) / (ry * ry);
    if (lambda > 1) {
        rx *= std::sqrt(lambda);
        ry *= std::sqrt(lambda);
    }
    const qreal numerator = rx * rx * ry * ry - rx * rx * y1 * y1 - ry * ry * x1 * x1;
    const qreal denominator = rx * rx * y1 * y1 + ry * ry * x1 * x1;
    qreal coefficient =
        denominator > 0 ? std::sqrt(std::max<qreal>(0, numerator / denominator)) : 0;
    if (largeArc == sweep) {
        coefficient = -coefficient;
    }
    const qreal centerX1 = coefficient * rx * y1 / ry;
    const qreal centerY1 = -coefficient * ry * x1 / rx;
    const qreal cx = cosPhi * centerX1 - sinPhi * centerY1 + (from.x() + to.x()) / 2;
    const qreal cy = sinPhi * centerX1 + cosPhi * centerY1 + (from.y() + to.y()) / 2;

    const qreal ux = (x1 - centerX1) / rx;
    const qreal uy = (y1 - centerY1) / ry;
    const qreal vx = (-x1 - centerX1) / rx;
    const qreal vy = (-y1 - centerY1) / ry;
    const qreal start = vectorAngle(1, 0, ux, uy);
    qreal delta = vectorAngle(ux, uy, vx, vy);
    if (!sweep && delta > 0) {
        delta -= 2 * kPi;
    } else if (sweep && delta < 0) {
        delta += 2 * kPi;
    }

    const auto map = [&](qreal x, qreal y) {
        return QPointF(cx + rx * cosPhi * x - ry * sinPhi * y,
                       cy + rx * sinPhi * x + ry * cosPhi * y);
    };
    const int segments =
        std::max(1, static_cast<int>(std::ceil(std::abs(delta) / (kPi / 2) - 1e-9)));
    const qreal step = delta / segments;
    const qreal handle = 4.0 / 3.0 * std::tan(step / 4);
    qreal angle = start;
    for (int i = 0; i < segments; ++i) {
        const qreal next = angle + step;
        const qreal c1 = std::cos(angle);
        const qreal s1 = std::sin(angle);
        const qreal c2 = std::cos(next);
        const qreal s2 = std::sin(next);
        const QPointF end = (i == segments - 1) ? to : map(c2, s2);
        path.cubicTo(map(c1 - handle * s1, s1 + handle * c1),
                     map(c2 + handle * s2, s2 - handle * c2), end);
        angle = next;
    }
}

// ---- attributes -----------------------------------------------------------------

struct Style {
    SvgArtwork::Paint fill{SvgArtwork::Paint::Kind::color, QColor(Qt::black)};
    SvgArtwork::Paint stroke;
    qreal strokeWidth = 1;
    Qt::PenCapStyle cap = Qt::FlatCap;
    Qt::PenJoinStyle join = Qt::MiterJoin;
    Qt::FillRule fillRule = Qt::WindingFill;
    qreal opacity = 1;
    qreal fillOpacity = 1;
    qreal strokeOpacity = 1;
    QTransform transform;
};

std::optional<SvgArtwork::Paint> parsePaint(QStringView text) {
    const QString value = text.trimmed().toString();
    if (value.isEmpty()) {
        return std::nullopt;
    }
    if (value == QLatin1String("none")) {
        return SvgArtwork::Paint{SvgArtwork::Paint::Kind::none, {}};
    }
    if (value == QLatin1String("currentColor")) {
        return SvgArtwork::Paint{SvgArtwork::Paint::Kind::current, {}};
    }
    const QColor color = QColor::fromString(value);
    if (!color.isValid()) {
        return std::nullopt;
    }
    return SvgArtwork::Paint{SvgArtwork::Paint::Kind::color, color};
}

std::vector<qreal> numberList(const QString& text) {
    std::vector<qreal> numbers;
    PathDataReader reader(text);
    while (auto number = reader.number()) {
        numbers.push_back(*number);
    }
    return numbers;
}

QTransform parseTransform(const QString& text) {
    QTransform result;
    qsizetype at = 0;
    while (at < text.size()) {
        const qsizetype open = text.indexOf(QLatin1Char('('), at);
        const qsizetype close = text.indexOf(QLatin1Char(')'), open);
        if (open < 0 || close < 0) {
            break;
        }
        const QString name = text.mid(at, open - at).trimmed().remove(QLatin1Char(','));
        const auto values = numberList(text.mid(open + 1, close - open - 1));
        QTransform step;
        if (name == QLatin1String("translate") && !values.empty()) {
            step.translate(values[0], values.size() > 1 ? values[1] : 0);
        } else if (name == QLatin1String("scale") && !values.empty()) {
            step.scale(values[0], values.size() > 1 ? values[1] : values[0]);
        } else if (name == QLatin1String("rotate") && !values.empty()) {
            if (values.size() >= 3) {
                step.translate(values[1], values[2]);
                step.rotate(values[0]);
                step.translate(-values[1], -values[2]);
            } else {
                step.rotate(values[0]);
            }
        } else if (name == QLatin1String("matrix") && values.size() == 6) {
            step = QTransform(values[0], values[1], values[2], values[3], values[4], values[5]);
        }
        // SVG lists apply right to left: the last one acts on the shape first.
        result = step * result;
        at = close + 1;
    }
    return result;
}

qreal attributeNumber(const QXmlStreamAttributes& attributes, const char* name,
                      qreal fallback = 0) {
    const auto value = attributes.value(QLatin1String(name));
    if (value.isEmpty()) {
        return fallback;
    }
    bool ok = false;
    const qreal number = value.toDouble(&ok);
    return ok ? number : fallback;
}

void applyStyle(Style& style, const QXmlStreamAttributes& attributes) {
    if (auto fill = parsePaint(attributes.value(QLatin1String("fill")))) {
        style.fill = *fill;
    }
    if (auto stroke = parsePaint(attributes.value(QLatin1String("stroke")))) {
        style.stroke = *stroke;
    }
    style.strokeWidth = attributeNumber(attributes, "stroke-width", style.strokeWidth);
    style.opacity *= attributeNumber(attributes, "opacity", 1);
    style.fillOpacity = attributeNumber(attributes, "fill-opacity", style.fillOpacity);
    style.strokeOpacity = attributeNumber(attributes, "stroke-opacity", style.strokeOpacity);
    const auto cap = attributes.value(QLatin1String("stroke-linecap"));
    if (cap == QLatin1String("round")) {
        style.cap = Qt::RoundCap;
    } else if (cap == QLatin1String("square")) {
        style.cap = Qt::SquareCap;
    } else if (cap == QLatin1String("butt")) {
        style.cap = Qt::FlatCap;
    }
    const auto join = attributes.value(QLatin1String("stroke-linejoin"));
    if (join == QLatin1String("round")) {
        style.join = Qt::RoundJoin;
    } else if (join == QLatin1String("bevel")) {
        style.join = Qt::BevelJoin;
    } else if (join == QLatin1String("miter")) {
        style.join = Qt::MiterJoin;
    }
    const auto rule = attributes.value(QLatin1String("fill-rule"));
    if (rule == QLatin1String("evenodd")) {
        style.fillRule = Qt::OddEvenFill;
    } else if (rule == QLatin1String("nonzero")) {
        style.fillRule = Qt::WindingFill;
    }
    const auto transform = attributes.value(QLatin1String("transform"));
    if (!transform.isEmpty()) {
        style.transform = parseTransform(transform.toString()) * style.transform;
    }
}

std::optional<QPainterPath> shapePath(QStringView element, const QXmlStreamAttributes& a) {
    QPainterPath path;
    if (element == QLatin1String("path")) {
        return parseSvgPathData(a.value(QLatin1String("d")).toString());
    }
    if (element == QLatin1String("rect")) {
        const QRectF rect(attributeNumber(a, "x"), attributeNumber(a, "y"),
                          attributeNumber(a, "width"), attributeNumber(a, "height"));
        qreal rx = attributeNumber(a, "rx", -1);
        qreal ry = attributeNumber(a, "ry", -1);
        if (rx < 0) {
            rx = ry < 0 ? 0 : ry;
        }
        if (ry < 0) {
            ry = rx;
        }
        rx = std::min(rx, rect.width() / 2);
        ry = std::min(ry, rect.height() / 2);
        path.addRoundedRect(rect, rx, ry);
        return path;
    }
    if (element == QLatin1String("circle")) {
        const qreal r = attributeNumber(a, "r");
        path.addEllipse(QPointF(attributeNumber(a, "cx"), attributeNumber(a, "cy")), r, r);
        return path;
    }
    if (element == QLatin1String("ellipse")) {
        path.addEllipse(QPointF(attributeNumber(a, "cx"), attributeNumber(a, "cy")),
                        attributeNumber(a, "rx"), attributeNumber(a, "ry"));
        return path;
    }
    if (element == QLatin1String("line")) {
        path.moveTo(attributeNumber(a, "x1"), attributeNumber(a, "y1"));
        path.lineTo(attributeNumber(a, "x2"), attributeNumber(a, "y2"));
        return path;
    }
    if (element == QLatin1String("polyline") || element == QLatin1String("polygon")) {
        const auto numbers = numberList(a.value(QLatin1String("points")).toString());
        for (std::size_t i = 0; i + 1 < numbers.size(); i += 2) {
            if (i == 0) {
                path.moveTo(numbers[i], numbers[i + 1]);
            } else {
                path.lineTo(numbers[i], numbers[i + 1]);
            }
        }
        if (element == QLatin1String("polygon")) {
            path.closeSubpath();
        }
        return path;
    }
    return std::nullopt;
}

QColor resolved(const SvgArtwork::Paint& paint, const QColor& currentColor, qreal opacity) {
    QColor color = paint.kind == SvgArtwork::Paint::Kind::current ? currentColor : paint.color;
    color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
    return color;
}

qreal screenPixelRatio() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        return screen->devicePixelRatio();
    }
    return 1;
}

const SvgArtwork& cachedArtwork(const QString& resourcePath) {
    static QHash<QString, SvgArtwork> cache;
    auto found = cache.find(resourcePath);
    if (found == cache.end()) {
        found = cache.insert(resourcePath, SvgArtwork::fromFile(resourcePath));
    }
    return found.value();
}

QString symbolPath(const QString& name) {
    return QStringLiteral(":/quorvi/icons/") + name + QStringLiteral(".svg");
}

} // namespace

QPainterPath parseSvgPathData(const QString& data) {
    QPainterPath path;
    PathDataReader reader(data);
    QChar command;
    QPointF current;
    QPointF subpathStart;
    QPointF lastControl;
    QChar previous;
    while (!reader.atEnd()) {
        if (reader.nextIsCommand()) {
            command = reader.command();
        } else if (command.isNull()) {
            break;
        }
        const bool relative = command.isLower();
        const QChar kind = command.toUpper();
        const QPointF origin = relative ? current : QPointF();
        auto point = [&]() -> std::optional<QPointF> {
            const auto x = reader.number();
            const auto y = x ? reader.number() : std::nullopt;
            if (!x || !y) {
                return std::nullopt;
            }
            return QPointF(*x, *y) + origin;
        };

        if (kind == QLatin1Char('Z')) {
            path.closeSubpath();
            current = subpathStart;
            previous = kind;
            // A closepath takes no numbers; numbers after it mean nothing.
            if (!reader.atEnd() && !reader.nextIsCommand()) {
                break;
            }
            continue;
        }
        if (kind == QLatin1Char('M')) {
            const auto to = point();
            if (!to) {
                break;
            }
            path.moveTo(*to);
            current = subpathStart = *to;
            // Further pairs after a moveto are implicit linetos.
            command = relative ? QLatin1Char('l') : QLatin1Char('L');
        } else if (kind == QLatin1Char('L')) {
            const auto to = point();
            if (!to) {
                break;
            }
            path.lineTo(*to);
            current = *to;
        } else if (kind == QLatin1Char('H')) {
            const auto x = reader.number();
            if (!x) {
                break;
            }
            current = QPointF(*x + (relative ? current.x() : 0), current.y());
            path.lineTo(current);
        } else if (kind == QLatin1Char('V')) {
            const auto y = reader.number();
            if (!y) {
                break;
            }
            current = QPointF(current.x(), *y + (relative ? current.y() : 0));
            path.lineTo(current);
        } else if (kind == QLatin1Char('C') || kind == QLatin1Char('S')) {
            QPointF first;
            if (kind == QLatin1Char('C')) {
                const auto c1 = point();
                if (!c1) {
                    break;
                }
                first = *c1;
            } else {
                const bool chained = previous == QLatin1Char('C') || previous == QLatin1Char('S');
                first = chained ? 2 * current - lastControl : current;
            }
            const auto c2 = point();
            const auto to = c2 ? point() : std::nullopt;
            if (!to) {
                break;
            }
            path.cubicTo(first, *c2, *to);
            lastControl = *c2;
            current = *to;
        } else if (kind == QLatin1Char('Q') || kind == QLatin1Char('T')) {
            QPointF control;
            if (kind == QLatin1Char('Q')) {
                const auto c = point();
                if (!c) {
                    break;
                }
                control = *c;
            } else {
                const bool chained = previous == QLatin1Char('Q') || previous == QLatin1Char('T');
                control = chained ? 2 * current - lastControl : current;
            }
            const auto to = point();
            if (!to) {
                break;
            }
            path.quadTo(control, *to);
            lastControl = control;
            current = *to;
        } else if (kind == QLatin1Char('A')) {
            const auto rx = reader.number();
            const auto ry = rx ? reader.number() : std::nullopt;
            const auto rotation = ry ? reader.number() : std::nullopt;
            const auto largeArc = rotation ? reader.flag() : std::nullopt;
            const auto sweep = largeArc ? reader.flag() : std::nullopt;
            const auto to = sweep ? point() : std::nullopt;
            if (!to) {
                break;
            }
            arcTo(path, *to, *rx, *ry, *rotation, *largeArc, *sweep);
            current = *to;
        } else {
            break;
        }
        previous = kind;
    }
    return path;
}

SvgArtwork SvgArtwork::fromFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return fromData(file.readAll());
}

SvgArtwork SvgArtwork::fromData(const QByteArray& data) {
    SvgArtwork artwork;
    QXmlStreamReader reader(data);
    std::vector<Style> styles{Style{}};
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const auto name = reader.name();
            const auto attributes = reader.attributes();
            Style style = styles.back();
            applyStyle(style, attributes);
            if (name == QLatin1String("svg")) {
                const auto box = numberList(attributes.value(QLatin1String("viewBox")).toString());
                if (box.size() == 4 && box[2] > 0 && box[3] > 0) {
                    artwork.viewBox_ = QRectF(box[0], box[1], box[2], box[3]);
                }
            } else if (auto path = shapePath(name, attributes)) {
                path->setFillRule(style.fillRule);
                Shape shape;
                shape.path = style.transform.map(*path);
                shape.fill = style.fill;
                shape.fill.color.setAlphaF(
                    static_cast<float>(shape.fill.color.alphaF() * style.fillOpacity));
                shape.stroke = style.stroke;
                shape.stroke.color.setAlphaF(
                    static_cast<float>(shape.stroke.color.alphaF() * style.strokeOpacity));
                // A transform that scales also scales the pen.
                const qreal scale = std::sqrt(std::abs(style.transform.determinant()));
                shape.strokeWidth = style.strokeWidth * (scale > 0 ? scale : 1);
                shape.cap = style.cap;
                shape.join = style.join;
                shape.opacity = style.opacity;
                artwork.shapes_.push_back(std::move(shape));
            }
            styles.push_back(style);
        } else if (token == QXmlStreamReader::EndElement && styles.size() > 1) {
            styles.pop_back();
        }
    }
    if (reader.hasError()) {
        return {};
    }
    return artwork;
}

void SvgArtwork::render(QPainter& painter, const QRectF& target, const QColor& currentColor) const {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.translate(target.topLeft());
    painter.scale(target.width() / viewBox_.width(), target.height() / viewBox_.height());
    painter.translate(-viewBox_.topLeft());
    for (const Shape& shape : shapes_) {
        if (shape.fill.kind != Paint::Kind::none) {
            painter.fillPath(shape.path, resolved(shape.fill, currentColor, shape.opacity));
        }
        if (shape.stroke.kind != Paint::Kind::none && shape.strokeWidth > 0) {
            QPen pen(resolved(shape.stroke, currentColor, shape.opacity), shape.strokeWidth);
            pen.setCapStyle(shape.cap);
            pen.setJoinStyle(shape.join);
            painter.strokePath(shape.path, pen);
        }
    }
    painter.restore();
}

QPixmap SvgArtwork::pixmap(int logicalSize, qreal devicePixelRatio,
                           const QColor& currentColor) const {
    const int pixels = std::max(1, static_cast<int>(std::lround(logicalSize * devicePixelRatio)));
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        render(painter, QRectF(0, 0, pixels, pixels), currentColor);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QPixmap symbolPixmap(const QString& name, const QColor& tint, int logicalSize,
                     qreal devicePixelRatio) {
    const SvgArtwork& artwork = cachedArtwork(symbolPath(name));
    if (!artwork.isValid()) {
        return {};
    }
    return artwork.pixmap(logicalSize, devicePixelRatio, tint);
}

QIcon symbolIcon(const QString& name, const QColor& tint) {
    const SvgArtwork& artwork = cachedArtwork(symbolPath(name));
    QIcon icon;
    if (!artwork.isValid()) {
        return icon;
    }
    const qreal ratio = screenPixelRatio();
    for (int size : {12, 14, 16, 18, 20, 24, 32, 48, 64}) {
        icon.addPixmap(artwork.pixmap(size, ratio, tint));
    }
    return icon;
}

QPixmap brandPixmap(int logicalSize, qreal devicePixelRatio) {
    return cachedArtwork(QStringLiteral(":/quorvi/QuorviBrand.svg"))
        .pixmap(logicalSize, devicePixelRatio, Qt::black);
}

QIcon brandIcon() {
    QIcon icon;
    const SvgArtwork& artwork = cachedArtwork(QStringLiteral(":/quorvi/QuorviBrand.svg"));
    if (!artwork.isValid()) {
        return icon;
    }
    // Plain pixels for every size a window manager or tray host asks for.
    for (int size : {16, 18, 22, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(artwork.pixmap(size, 1, Qt::black));
    }
    return icon;
}

} // namespace quorvi
