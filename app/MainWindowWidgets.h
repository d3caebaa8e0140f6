#pragma once

#include "server/WindowRules.h"

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

class QBoxLayout;
class QButtonGroup;
class QHBoxLayout;
class QVBoxLayout;

// The small building blocks of the main window. They only render what they
// are given; the window decides what that is.
//
// Thread: main.
namespace quorvi {

// A symbol icon tinted in one colour, redrawn only when name, colour or
// size change.
class SymbolLabel final : public QLabel {
    Q_OBJECT
public:
    explicit SymbolLabel(int size, QWidget* parent = nullptr);
    void setSymbol(const QString& name, const QColor& tint);

private:
    int size_;
    QString name_;
    QColor tint_;
};

// Text on at most maxLines lines, cut with an ellipsis where it does not
// fit (it may break inside a word, for paths). It may shrink to a few
// characters, so a long value never forces the window wider.
class ElidedLabel final : public QFrame {
    Q_OBJECT
public:
    explicit ElidedLabel(int maxLines = 1, QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const { return text_; }
    void setTextColor(const QColor& color);
    // A text too long for its lines first shrinks its font, down to this
    // share of the size, before it is elided.
    void setMinimumScale(qreal scale);
    // Of each line within the label; left by default.
    void setHorizontalAlignment(Qt::Alignment alignment);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return maxLines_ > 1; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The lines that fit, the last one elided.
    QStringList layoutLines(const QFont& font, int width) const;
    // Whether the whole text fits its lines at this font, broken between
    // words only.
    bool fitsWhole(const QFont& font, int width) const;
    QFont fittedFont(int width) const;

    int maxLines_;
    qreal minimumScale_ = 1.0;
    Qt::Alignment horizontalAlignment_ = Qt::AlignLeft;
    QString text_;
    std::optional<QColor> color_;
};

// A compact item of the header: the icon tinted by the tone, a small label
// and the value (monospaced for "Adresse").
class HeaderStatusItem final : public QWidget {
    Q_OBJECT
public:
    explicit HeaderStatusItem(const QString& label, QWidget* parent = nullptr);
    void setState(const QString& value, StatusTone tone, const QString& icon);
    QString value() const { return value_->text(); }
    StatusTone tone() const { return tone_; }

private:
    SymbolLabel* icon_;
    QLabel* label_;
    ElidedLabel* value_;
    StatusTone tone_ = StatusTone::neutral;
};

// A titled card of the sidebar.
class SidebarSection final : public QFrame {
    Q_OBJECT
public:
    explicit SidebarSection(const QString& title, QWidget* parent = nullptr);
    QVBoxLayout* content() const { return content_; }

private:
    QLabel* title_;
    QVBoxLayout* content_;
};

// A row: icon, title, value (monospaced when asked), tinted by the tone.
class DetailRow final : public QWidget {
    Q_OBJECT
public:
    DetailRow(const QString& title, bool monospaced, QWidget* parent = nullptr);
    void setState(const QString& icon, const QString& value, StatusTone tone);
    QString value() const { return value_->text(); }

private:
    SymbolLabel* icon_;
    QLabel* title_;
    QLabel* value_;
};

// A coloured pill of text ("Autorisé", "Requis", "LIVE").
class Badge final : public QLabel {
    Q_OBJECT
public:
    explicit Badge(QWidget* parent = nullptr);
    void setBadge(const QString& text, const QColor& color);

private:
    QColor color_;
};

// A permission: icon and title, a badge "Autorisé" or "Requis", a bordered
// button running the action and, when present, a settings gear.
class PermissionRow final : public QWidget {
    Q_OBJECT
public:
    PermissionRow(const QString& icon, const QString& title, QWidget* parent = nullptr);
    // primaryLabel absent: "Réglages" when granted, else "Autoriser".
    void setState(bool isGranted, std::optional<QString> primaryLabel, std::function<void()> action,
                  std::function<void()> settingsAction);

private:
    Badge* badge_;
    QPushButton* primary_;
    QPushButton* settings_;
    std::function<void()> action_;
    std::function<void()> settingsAction_;
};

// A segmented picker: exclusive buttons side by side. It shows the value it
// is given and reports choices; it never keeps a choice of its own, so it
// always shows what the server publishes.
class SegmentedPicker final : public QWidget {
    Q_OBJECT
public:
    // label empty: no label shown.
    SegmentedPicker(const QString& label, const QStringList& choices, QWidget* parent = nullptr);
    void setSelectedIndex(int index);
    void setOnChosen(std::function<void(int)> onChosen) { onChosen_ = std::move(onChosen); }

private:
    std::vector<QPushButton*> buttons_;
    std::function<void(int)> onChosen_;
    int selected_ = -1;
};

// An on/off switch with its text on the left.
class ToggleSwitch final : public QAbstractButton {
    Q_OBJECT
public:
    explicit ToggleSwitch(const QString& text, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& position) const override;

private:
    QRect trackRect() const;
    QRect textRect(int width) const;
};

// A numbered step of the first-connection guide.
class GuideStep final : public QWidget {
    Q_OBJECT
public:
    GuideStep(const QString& number, const QString& title, QWidget* parent = nullptr);
};

// One figure of the live metrics row.
class LiveMetric final : public QWidget {
    Q_OBJECT
public:
    explicit LiveMetric(const QString& label, QWidget* parent = nullptr);
    void setValue(const QString& value);
    QString value() const { return value_->text(); }

private:
    QLabel* label_;
    ElidedLabel* value_;
};

// A button of the prominent (filled accent), bordered (the style's push
// button), borderless or destructive kind, small or regular.
enum class ButtonKind { prominent, bordered, borderless, destructive };
QPushButton* makeButton(const QString& text, ButtonKind kind, bool small,
                        QWidget* parent = nullptr);
// A square bordered button showing only an icon, with its help text.
QPushButton* makeIconButton(const QString& icon, const QString& help, QWidget* parent = nullptr);
// Shows the icon of a button in the colour its text is drawn in.
void setButtonSymbol(QPushButton* button, const QString& icon);

// A one-pixel line between parts of the window.
QFrame* makeDivider(Qt::Orientation orientation, QWidget* parent = nullptr);

// The fonts of the window, relative to the desktop's font.
QFont scaledFont(qreal factor, QFont::Weight weight = QFont::Normal);
QFont monospacedFont(qreal factor = 1.0);

} // namespace quorvi
