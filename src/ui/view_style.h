#pragma once

// The few text styles and colors the main window uses, derived from the application font and
// palette so they follow the appearance (light or dark) and the desktop's font size.

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>
#include <QWidget>

class QAbstractButton;
class QLabel;

namespace housetone::ui::style {

QFont headline();  // body size, bold
QFont body();
QFont caption();   // about 0.85 of body
QFont caption2();  // a step below caption
// Same size as `base` with digits of one width, so a changing number does not make its
// neighbours jump.
QFont monospacedDigits(const QFont& base);

// Text colors. `widget` supplies the palette (the dark appearance swaps it).
QColor secondary(const QWidget* widget);
QColor accent(const QWidget* widget);
QColor blue(const QWidget* widget);
QColor orange(const QWidget* widget);

// Sets the label's text color (keeps the rest of its palette).
void setTextColor(QLabel* label, const QColor& color);

// A label that word-wraps and lets the layout give it the full width.
QLabel* wrappingLabel(const QString& text, const QFont& font, QWidget* parent = nullptr);

// A system symbol drawn the size of `font`'s text, in the palette's text color, or in the
// secondary color when asked. It is painted afresh each time, so it follows appearance changes.
class SymbolLabel final : public QWidget {
  public:
    SymbolLabel(const QString& systemName, const QFont& font, bool secondary = false,
                QWidget* parent = nullptr);
    const QString& symbol() const { return name_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString name_;
    QIcon icon_;
    bool secondary_;
};

// A style sheet rule that rings `selector` (a widget class) with a clear border while it has
// the keyboard focus, readable in the light and the dark appearance.
QString focusRingStyleSheet(const QString& selector);

// The filled accent-colored look of the most important button of a row, with the focus ring.
void makeProminent(QAbstractButton* button);

// The look of one segment of a segmented picker (a checkable tool button): outlined, and filled
// with the accent while chosen, with the focus ring.
void makeSegment(QAbstractButton* button);

// `text` as a help tool tip that wraps to a readable width (a plain-text tip is one line, however
// long).
QString helpTip(const QString& text);

// The wheel moves `control` (a slider, a picker) only while it has the keyboard focus; otherwise
// the wheel goes on to the list that holds it, so scrolling past a control never changes it.
// Clicking or tabbing to the control still gives it the focus.
void takeWheelOnlyWhenFocused(QWidget* control);

}  // namespace housetone::ui::style
