#include "ui/view_style.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QWidget>

#include "ui/symbols.h"

namespace housetone::ui::style {

namespace {

QFont scaled(double factor, bool bold = false) {
    QFont f = QApplication::font();
    if (f.pointSizeF() > 0)
        f.setPointSizeF(f.pointSizeF() * factor);
    else
        f.setPixelSize(std::max(8, int(f.pixelSize() * factor + 0.5)));
    f.setBold(bold);
    return f;
}

bool isDark(const QWidget* w) {
    const QPalette& p = w ? w->palette() : QApplication::palette();
    return p.color(QPalette::Window).lightness() < p.color(QPalette::WindowText).lightness();
}

}  // namespace

QFont headline() {
    return scaled(1.0, true);
}
QFont body() {
    return scaled(1.0);
}
QFont caption() {
    return scaled(0.85);
}
QFont caption2() {
    return scaled(0.78);
}

QFont monospacedDigits(const QFont& base) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (base.pointSizeF() > 0)
        f.setPointSizeF(base.pointSizeF());
    else
        f.setPixelSize(base.pixelSize());
    f.setBold(base.bold());
    return f;
}

QColor secondary(const QWidget* w) {
    const QPalette& p = w ? w->palette() : QApplication::palette();
    QColor c = p.color(QPalette::WindowText);
    // As light as the secondary text can be and still read at 4.5:1 on either window color.
    c.setAlphaF(0.6f);
    return c;
}

QColor accent(const QWidget* w) {
    const QPalette& p = w ? w->palette() : QApplication::palette();
    return p.color(QPalette::Highlight);
}

// Blue and orange in light and dark variants, each at least 4.5:1 against the window background
// of its appearance: the system's own tints are brighter and fall short as text.
QColor blue(const QWidget* w) {
    return isDark(w) ? QColor(88, 166, 255) : QColor(0, 92, 200);
}
QColor orange(const QWidget* w) {
    return isDark(w) ? QColor(255, 159, 10) : QColor(165, 78, 0);
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette p = label->palette();
    if (p.color(QPalette::WindowText) == color) return;
    p.setColor(QPalette::WindowText, color);
    label->setPalette(p);
}

QLabel* wrappingLabel(const QString& text, const QFont& font, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->setWordWrap(true);
    l->setFont(font);
    l->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    return l;
}

SymbolLabel::SymbolLabel(const QString& systemName, const QFont& font, bool secondary,
                         QWidget* parent)
    : QWidget(parent), name_(systemName), icon_(symbolIcon(systemName)), secondary_(secondary) {
    const int side = QFontMetrics(font).height();
    setFixedSize(side, side);
}

void SymbolLabel::paintEvent(QPaintEvent*) {
    if (icon_.isNull()) return;
    const qreal dpr = devicePixelRatioF();
    QPixmap pm = icon_.pixmap(size(), dpr, isEnabled() ? QIcon::Normal : QIcon::Disabled);
    if (pm.isNull()) return;
    if (secondary_ && isEnabled()) {
        QPainter tint(&pm);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(pm.rect(), secondary(this));
    }
    QPainter p(this);
    p.drawPixmap(rect(), pm);
}

QString focusRingStyleSheet(const QString& selector) {
    // The window text colour stands out against the window, the button and the accent alike in
    // both appearances, where Fusion's own focus frame, a faint tint of the accent, all but
    // vanishes on an accent-filled button.
    return selector + QStringLiteral(":focus { border: 2px solid palette(window-text); }");
}

void makeProminent(QAbstractButton* button) {
    button->setStyleSheet(
        QStringLiteral(
            // The border is there, in the button's colour, so the focus ring does not move it.
            "QPushButton { background-color: palette(highlight); color: palette(highlighted-text);"
            " border: 2px solid palette(highlight); border-radius: 5px; padding: 2px 10px; }"
            "QPushButton:pressed { background-color: palette(dark); }"
            // The palette's disabled text is chosen to stay readable on the button color.
            "QPushButton:disabled { background-color: palette(button);"
            " color: palette(button-text); border: 1px solid palette(mid); }") +
        focusRingStyleSheet(QStringLiteral("QPushButton")));
}

void makeSegment(QAbstractButton* button) {
    // Fusion marks a checked tool button by a barely darker shade; the chosen segment is filled
    // with the accent instead, and every segment is outlined in Mid so the group shows its shape.
    button->setStyleSheet(
        QStringLiteral(
            "QToolButton { background-color: transparent; border: 1px solid palette(mid);"
            " padding: 3px 10px; }"
            "QToolButton:checked { background-color: palette(highlight);"
            " color: palette(highlighted-text); border-color: palette(highlight); }"
            // A disabled group must not look chosen and ready: its mark loses the accent.
            "QToolButton:disabled { color: palette(mid); }"
            "QToolButton:checked:disabled { background-color: palette(mid);"
            " color: palette(window); border-color: palette(mid); }") +
        focusRingStyleSheet(QStringLiteral("QToolButton")));
}

QString helpTip(const QString& text) {
    // Rich text is what makes the tool tip wrap.
    return QStringLiteral("<qt>") + text.toHtmlEscaped() + QStringLiteral("</qt>");
}

namespace {

class WheelOnlyWhenFocused final : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Wheel) return false;
        const auto* w = static_cast<QWidget*>(watched);
        if (w->hasFocus()) return false;
        // Not accepted: the event travels on to the parents, where the scroll area takes it.
        event->ignore();
        return true;
    }
};

}  // namespace

void takeWheelOnlyWhenFocused(QWidget* control) {
    // Strong, not wheel focus: a wheel turn over the control must not make it take the focus
    // (and with it the next turn).
    control->setFocusPolicy(Qt::StrongFocus);
    control->installEventFilter(new WheelOnlyWhenFocused(control));
}

}  // namespace housetone::ui::style
