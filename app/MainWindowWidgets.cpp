#include "app/MainWindowWidgets.h"

#include "app/Icons.h"
#include "app/Palette.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QTextLayout>
#include <QVBoxLayout>

namespace quorvi {

namespace {

QFont applicationFont() {
    return QApplication::font();
}

QString colorRule(const QColor& color) {
    return QStringLiteral("color: %1;").arg(palette::css(color));
}

// A font may be sized in points or in pixels; either is scaled.
QFont resized(QFont font, qreal factor) {
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * factor);
    } else {
        font.setPixelSize(std::max(6, static_cast<int>(font.pixelSize() * factor)));
    }
    return font;
}

void beginWrapping(QTextLayout& layout, QTextOption::WrapMode mode) {
    QTextOption option;
    option.setWrapMode(mode);
    layout.setTextOption(option);
    layout.beginLayout();
}

} // namespace

QFont scaledFont(qreal factor, QFont::Weight weight) {
    QFont font = resized(applicationFont(), factor);
    font.setWeight(weight);
    return font;
}

QFont monospacedFont(qreal factor) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QFont base = applicationFont();
    if (base.pointSizeF() > 0) {
        font.setPointSizeF(base.pointSizeF() * factor);
    }
    return font;
}

// ---- SymbolLabel -------------------------------------------------------------------

SymbolLabel::SymbolLabel(int size, QWidget* parent) : QLabel(parent), size_(size) {
    setFixedSize(size, size);
    setAlignment(Qt::AlignCenter);
}

void SymbolLabel::setSymbol(const QString& name, const QColor& tint) {
    if (name == name_ && tint == tint_) {
        return;
    }
    name_ = name;
    tint_ = tint;
    setPixmap(symbolPixmap(name, tint, size_, devicePixelRatioF()));
}

// ---- ElidedLabel ---------------------------------------------------------------

ElidedLabel::ElidedLabel(int maxLines, QWidget* parent)
    : QFrame(parent), maxLines_(std::max(1, maxLines)) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(maxLines_ > 1);
    setSizePolicy(policy);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    setToolTip(text);
    updateGeometry();
    update();
}

void ElidedLabel::setTextColor(const QColor& color) {
    if (color_ && *color_ == color) {
        return;
    }
    color_ = color;
    update();
}

void ElidedLabel::setMinimumScale(qreal scale) {
    minimumScale_ = std::clamp<qreal>(scale, 0.1, 1.0);
    updateGeometry();
    update();
}

void ElidedLabel::setHorizontalAlignment(Qt::Alignment alignment) {
    horizontalAlignment_ = alignment & Qt::AlignHorizontal_Mask;
    update();
}

bool ElidedLabel::fitsWhole(const QFont& font, int width) const {
    // Between words only: a word that does not fit its line does not fit.
    QTextLayout layout(text_, font);
    beginWrapping(layout, QTextOption::WordWrap);
    int count = 0;
    bool fits = true;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (line.naturalTextWidth() > width || ++count > maxLines_) {
            fits = false;
            break;
        }
    }
    layout.endLayout();
    return fits;
}

QFont ElidedLabel::fittedFont(int width) const {
    const QFont full = font();
    if (minimumScale_ >= 1.0 || text_.isEmpty() || width <= 0 || fitsWhole(full, width)) {
        return full;
    }
    // Glyph widths do not shrink in proportion (sizes round to whole
    // pixels), so the size steps down until the text fits.
    for (qreal scale = 0.95; scale > minimumScale_; scale -= 0.05) {
        const QFont candidate = resized(full, scale);
        if (fitsWhole(candidate, width)) {
            return candidate;
        }
    }
    return resized(full, minimumScale_);
}

QStringList ElidedLabel::layoutLines(const QFont& font, int width) const {
    QStringList lines;
    if (text_.isEmpty() || width <= 0) {
        return lines;
    }
    const QFontMetrics metrics(font);
    QTextLayout layout(text_, font);
    beginWrapping(layout, QTextOption::WrapAtWordBoundaryOrAnywhere);
    int consumed = 0;
    while (lines.size() < maxLines_) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) {
            break;
        }
        line.setLineWidth(width);
        if (lines.size() == maxLines_ - 1) {
            // The last line takes the rest of the text, elided.
            lines << metrics.elidedText(text_.mid(consumed), Qt::ElideRight, width);
            consumed = static_cast<int>(text_.size());
            break;
        }
        lines << text_.mid(line.textStart(), line.textLength()).trimmed();
        consumed = line.textStart() + line.textLength();
    }
    layout.endLayout();
    return lines;
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    return {metrics.horizontalAdvance(text_) + 2, metrics.height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    return {metrics.horizontalAdvance(QStringLiteral("M…")) + 2, metrics.height()};
}

int ElidedLabel::heightForWidth(int width) const {
    const QFont fitted = fittedFont(width);
    const auto lines = std::max<qsizetype>(1, layoutLines(fitted, width).size());
    return static_cast<int>(lines) * QFontMetrics(fitted).height();
}

void ElidedLabel::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setPen(color_ ? *color_ : palette().color(foregroundRole()));
    const int width = contentsRect().width();
    const QFont fitted = fittedFont(width);
    painter.setFont(fitted);
    const QStringList lines = layoutLines(fitted, width);
    const int lineHeight = QFontMetrics(fitted).height();
    int y = contentsRect().top();
    if (lines.size() == 1) {
        y += std::max(0, (contentsRect().height() - lineHeight) / 2);
    }
    for (const QString& line : lines) {
        painter.drawText(QRect(contentsRect().left(), y, width, lineHeight),
                         horizontalAlignment_ | Qt::AlignVCenter, line);
        y += lineHeight;
    }
}

// ---- HeaderStatusItem --------------------------------------------------------------

HeaderStatusItem::HeaderStatusItem(const QString& label, QWidget* parent)
    : QWidget(parent), icon_(new SymbolLabel(14, this)), label_(new QLabel(label, this)),
      value_(new ElidedLabel(1, this)) {
    setObjectName(QStringLiteral("headerItem"));
    label_->setFont(scaledFont(0.8));
    label_->setStyleSheet(colorRule(palette::secondaryText()));
    value_->setFont(label == QLatin1String("Adresse") ? monospacedFont(0.95)
                                                      : scaledFont(0.95, QFont::DemiBold));
    auto* text = new QVBoxLayout;
    text->setContentsMargins(0, 0, 0, 0);
    text->setSpacing(0);
    text->addWidget(label_);
    text->addWidget(value_);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(icon_, 0, Qt::AlignVCenter);
    row->addLayout(text, 1);
}

void HeaderStatusItem::setState(const QString& value, StatusTone tone, const QString& icon) {
    tone_ = tone;
    value_->setText(value);
    icon_->setSymbol(icon, palette::toneColor(tone));
}

// ---- SidebarSection ----------------------------------------------------------------

SidebarSection::SidebarSection(const QString& title, QWidget* parent)
    : QFrame(parent), title_(new QLabel(title, this)), content_(new QVBoxLayout) {
    setObjectName(QStringLiteral("sectionCard"));
    title_->setObjectName(QStringLiteral("sectionTitle"));
    title_->setFont(scaledFont(0.85, QFont::DemiBold));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 10, 12, 12);
    column->setSpacing(8);
    column->addWidget(title_);
    content_->setContentsMargins(0, 0, 0, 0);
    content_->setSpacing(8);
    column->addLayout(content_);
}

// ---- DetailRow -----------------------------------------------------------------------

DetailRow::DetailRow(const QString& title, bool monospaced, QWidget* parent)
    : QWidget(parent), icon_(new SymbolLabel(16, this)), title_(new QLabel(title, this)),
      value_(new QLabel(this)) {
    title_->setFont(scaledFont(0.8));
    title_->setStyleSheet(colorRule(palette::secondaryText()));
    value_->setWordWrap(true);
    value_->setTextFormat(Qt::PlainText);
    value_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value_->setFont(monospaced ? monospacedFont(0.9) : scaledFont(0.95));
    auto* text = new QVBoxLayout;
    text->setContentsMargins(0, 0, 0, 0);
    text->setSpacing(1);
    text->addWidget(title_);
    text->addWidget(value_);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    row->addWidget(icon_, 0, Qt::AlignTop);
    row->addLayout(text, 1);
}

void DetailRow::setState(const QString& icon, const QString& value, StatusTone tone) {
    icon_->setSymbol(icon, palette::toneColor(tone));
    if (value_->text() != value) {
        value_->setText(value);
    }
}

// ---- Badge -------------------------------------------------------------------------

Badge::Badge(QWidget* parent) : QLabel(parent) {
    setFont(scaledFont(0.75, QFont::Bold));
    setAlignment(Qt::AlignCenter);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Badge::setBadge(const QString& text, const QColor& color) {
    if (text == this->text() && color == color_) {
        return;
    }
    color_ = color;
    setText(text);
    QColor fill = color;
    fill.setAlphaF(0.14f);
    setStyleSheet(QStringLiteral("QLabel { color: %1; background: %2; border: 1px solid %3;"
                                 " border-radius: 5px; padding: 1px 6px; }")
                      .arg(palette::css(color), palette::css(fill),
                           palette::css(QColor(color.red(), color.green(), color.blue(), 90))));
}

// ---- PermissionRow -------------------------------------------------------------------

PermissionRow::PermissionRow(const QString& icon, const QString& title, QWidget* parent)
    : QWidget(parent), badge_(new Badge(this)),
      primary_(makeButton(QString(), ButtonKind::bordered, true, this)),
      settings_(makeIconButton(QStringLiteral("gearshape"),
                               QStringLiteral("Ouvrir Réglages Système"), this)) {
    auto* symbol = new SymbolLabel(16, this);
    symbol->setSymbol(icon, palette::accent());
    auto* name = new QLabel(title, this);
    name->setFont(scaledFont(0.95, QFont::DemiBold));

    auto* top = new QHBoxLayout;
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(8);
    top->addWidget(symbol);
    top->addWidget(name, 1);
    top->addWidget(badge_);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(24, 0, 0, 0);
    buttons->setSpacing(6);
    buttons->addStretch(1);
    buttons->addWidget(primary_);
    buttons->addWidget(settings_);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    column->addLayout(top);
    column->addLayout(buttons);

    connect(primary_, &QPushButton::clicked, this, [this] {
        if (action_) {
            action_();
        }
    });
    connect(settings_, &QPushButton::clicked, this, [this] {
        if (settingsAction_) {
            settingsAction_();
        }
    });
}

void PermissionRow::setState(bool isGranted, std::optional<QString> primaryLabel,
                             std::function<void()> action, std::function<void()> settingsAction) {
    badge_->setBadge(isGranted ? QStringLiteral("Autorisé") : QStringLiteral("Requis"),
                     isGranted ? palette::success() : palette::warning());
    const QString label =
        primaryLabel ? *primaryLabel
                     : (isGranted ? QStringLiteral("Réglages") : QStringLiteral("Autoriser"));
    if (primary_->text() != label) {
        primary_->setText(label);
    }
    action_ = std::move(action);
    settingsAction_ = std::move(settingsAction);
    settings_->setVisible(static_cast<bool>(settingsAction_));
}

// ---- SegmentedPicker -----------------------------------------------------------------

SegmentedPicker::SegmentedPicker(const QString& label, const QStringList& choices, QWidget* parent)
    : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    if (!label.isEmpty()) {
        auto* title = new QLabel(label, this);
        title->setFont(scaledFont(0.9));
        row->addWidget(title);
    }
    auto* segments = new QHBoxLayout;
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    for (int i = 0; i < choices.size(); ++i) {
        auto* button = new QPushButton(choices[i], this);
        button->setCheckable(true);
        button->setAutoExclusive(false);
        button->setFocusPolicy(Qt::TabFocus);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        button->setMinimumWidth(0);
        const char* position = choices.size() == 1       ? "only"
                               : i == 0                  ? "first"
                               : i == choices.size() - 1 ? "last"
                                                         : "middle";
        button->setProperty("segment", QString::fromLatin1(position));
        buttons_.push_back(button);
        segments->addWidget(button, 1);
        connect(button, &QPushButton::clicked, this, [this, i] {
            // The picker shows the published value; a choice is only
            // reported, and the published change will move the selection.
            setSelectedIndex(selected_);
            if (onChosen_ && i != selected_) {
                onChosen_(i);
            }
        });
    }
    row->addLayout(segments, 1);
}

void SegmentedPicker::setSelectedIndex(int index) {
    selected_ = index;
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
        buttons_[i]->setChecked(static_cast<int>(i) == index);
    }
}

// ---- ToggleSwitch --------------------------------------------------------------------

namespace {
constexpr int kTrackWidth = 34;
constexpr int kTrackHeight = 20;
} // namespace

ToggleSwitch::ToggleSwitch(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFont(scaledFont(0.9));
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

QRect ToggleSwitch::trackRect() const {
    return {width() - kTrackWidth - 1, (height() - kTrackHeight) / 2, kTrackWidth, kTrackHeight};
}

QRect ToggleSwitch::textRect(int width) const {
    return {0, 0, std::max(0, width - kTrackWidth - 10), 10000};
}

QSize ToggleSwitch::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    return {metrics.horizontalAdvance(text()) + kTrackWidth + 12,
            std::max(kTrackHeight + 4, metrics.height() + 4)};
}

QSize ToggleSwitch::minimumSizeHint() const {
    return {kTrackWidth + 60, kTrackHeight + 4};
}

int ToggleSwitch::heightForWidth(int width) const {
    const QRect bounds = fontMetrics().boundingRect(textRect(width), Qt::TextWordWrap, text());
    return std::max(kTrackHeight + 4, bounds.height() + 4);
}

bool ToggleSwitch::hitButton(const QPoint& position) const {
    return rect().contains(position);
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    QRect text = textRect(width());
    text.setHeight(height());
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, this->text());

    const QRectF track = QRectF(trackRect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor on = palette::accent();
    QColor off = palette::border();
    off.setAlphaF(1.0f);
    if (!isEnabled()) {
        on.setAlphaF(0.4f);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? on : off);
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
    const qreal knob = track.height() - 4;
    const qreal x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
    if (hasFocus()) {
        QPen focus(palette::accent(), 1.5);
        painter.setPen(focus);
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(-2, -2, 2, 2), track.height() / 2 + 2,
                                track.height() / 2 + 2);
    }
}

// ---- GuideStep ---------------------------------------------------------------------

GuideStep::GuideStep(const QString& number, const QString& title, QWidget* parent)
    : QWidget(parent) {
    auto* circle = new QLabel(number, this);
    circle->setObjectName(QStringLiteral("guideNumber"));
    circle->setAlignment(Qt::AlignCenter);
    circle->setFixedSize(22, 22);
    circle->setFont(scaledFont(0.85, QFont::Bold));
    circle->setStyleSheet(QStringLiteral("QLabel { color: white; background: %1;"
                                         " border-radius: 11px; }")
                              .arg(palette::css(palette::accent())));
    // One line each: the three steps are short, and a wrapped label under
    // a centring layout would be cut (its height is asked before its width).
    auto* text = new QLabel(title, this);
    text->setStyleSheet(colorRule(palette::canvasText()));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    row->addWidget(circle, 0, Qt::AlignVCenter);
    row->addWidget(text, 1);
}

// ---- LiveMetric ----------------------------------------------------------------------

LiveMetric::LiveMetric(const QString& label, QWidget* parent)
    : QWidget(parent), label_(new QLabel(label, this)), value_(new ElidedLabel(2, this)) {
    label_->setFont(scaledFont(0.8));
    label_->setAlignment(Qt::AlignHCenter);
    label_->setStyleSheet(colorRule(palette::canvasSecondaryText()));
    value_->setFont(scaledFont(1.25, QFont::DemiBold));
    value_->setTextColor(palette::canvasText());
    // "Stats iPhone en attente" is the longest value: on two lines, a
    // little smaller if need be, it reads better than cut.
    value_->setMinimumScale(0.7);
    value_->setHorizontalAlignment(Qt::AlignHCenter);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 4, 6, 4);
    column->setSpacing(2);
    column->addWidget(label_);
    column->addWidget(value_, 0, Qt::AlignHCenter);
}

void LiveMetric::setValue(const QString& value) {
    value_->setText(value);
}

// ---- buttons and dividers ----------------------------------------------------------------

void setButtonSymbol(QPushButton* button, const QString& icon) {
    QColor tint;
    const QString kind = button->property("kind").toString();
    if (kind == QLatin1String("prominent")) {
        tint = Qt::white;
    } else if (kind == QLatin1String("destructive")) {
        tint = palette::danger();
    } else {
        tint = palette::primaryText();
    }
    button->setIcon(symbolIcon(icon, tint));
    button->setProperty("symbol", icon);
}

QPushButton* makeButton(const QString& text, ButtonKind kind, bool small, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    const char* name = "bordered";
    switch (kind) {
    case ButtonKind::prominent:
        name = "prominent";
        break;
    case ButtonKind::bordered:
        name = "bordered";
        break;
    case ButtonKind::borderless:
        name = "borderless";
        button->setFlat(true);
        break;
    case ButtonKind::destructive:
        name = "destructive";
        break;
    }
    button->setProperty("kind", QString::fromLatin1(name));
    button->setProperty("small", small);
    button->setFont(scaledFont(small ? 0.88 : 1.0,
                               kind == ButtonKind::prominent ? QFont::DemiBold : QFont::Normal));
    button->setIconSize(QSize(small ? 13 : 15, small ? 13 : 15));
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

QPushButton* makeIconButton(const QString& icon, const QString& help, QWidget* parent) {
    auto* button = makeButton(QString(), ButtonKind::bordered, true, parent);
    button->setProperty("iconOnly", true);
    button->setToolTip(help);
    button->setAccessibleName(help);
    setButtonSymbol(button, icon);
    button->setIconSize(QSize(14, 14));
    return button;
}

QFrame* makeDivider(Qt::Orientation orientation, QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setObjectName(QStringLiteral("divider"));
    if (orientation == Qt::Horizontal) {
        line->setFixedHeight(1);
    } else {
        line->setFixedWidth(1);
    }
    line->setStyleSheet(QStringLiteral("QFrame#divider { background: %1; border: none; }")
                            .arg(palette::css(palette::border())));
    return line;
}

} // namespace quorvi
