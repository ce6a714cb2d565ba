#include "ui/vuzededudoz/appearance.h"

#include <QApplication>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace housetone::ui {

namespace {

// The keyboard focus as a ring in the text colour, two pixels wide: Fusion's own, a faint tint of
// the accent, is all but invisible in both appearances. The accent and segment buttons draw the
// same ring through their style sheets.
void drawFocusRing(QPainter* painter, const QStyleOption* option, const QRect& around) {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(option->palette.color(QPalette::WindowText), 2));
    painter->drawRoundedRect(QRectF(around).adjusted(1, 1, -1, -1), 3, 3);
    painter->restore();
}

// Fusion outlines a check box in a shade of the window color, which on a dark window leaves an
// unchecked box all but invisible. The outline is drawn again in the palette's Mid, which both
// palettes keep at 3:1 or better against the window. Focus rings are drawn strong (above).
class ContrastStyle final : public QProxyStyle {
  public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_FrameFocusRect) {
            drawFocusRing(painter, option, option->rect);
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        if (element != PE_IndicatorCheckBox) return;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->setBrush(Qt::NoBrush);
        painter->setPen(QPen(option->palette.color(QPalette::Mid), 1));
        painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
        painter->restore();
    }

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        QProxyStyle::drawControl(element, option, painter, widget);
        if (element == CE_PushButtonBevel && (option->state & State_HasFocus))
            drawFocusRing(painter, option, option->rect);
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        if (control == CC_Slider && (option->state & State_HasFocus))
            drawFocusRing(painter, option, option->rect);
    }
};

// Disabled text: dimmer than the enabled text, yet 4.5:1 against Window, Base and Button.
void setDisabledText(QPalette& p, const QColor& c) {
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, c);
}

}  // namespace

QPalette lightPalette() {
    QPalette p;
    const QColor window(0xef, 0xef, 0xef);
    const QColor accent(0x1f, 0x63, 0xb0);  // white text on it reads at 6:1
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, Qt::black);
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xf7, 0xf7, 0xf7));
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xdc));
    p.setColor(QPalette::ToolTipText, Qt::black);
    p.setColor(QPalette::PlaceholderText, QColor(0x66, 0x66, 0x66));
    p.setColor(QPalette::Text, Qt::black);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, Qt::black);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, Qt::white);
    p.setColor(QPalette::Midlight, QColor(0xca, 0xca, 0xca));
    p.setColor(QPalette::Mid, QColor(0x85, 0x85, 0x85));
    p.setColor(QPalette::Dark, QColor(0x6e, 0x6e, 0x6e));
    p.setColor(QPalette::Shadow, QColor(0x4a, 0x4a, 0x4a));
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, accent);
    p.setColor(QPalette::LinkVisited, QColor(0x6a, 0x3d, 0xa8));
    setDisabledText(p, QColor(0x60, 0x60, 0x60));
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x85, 0x85, 0x85));
    p.setColor(QPalette::Disabled, QPalette::HighlightedText, Qt::black);
    return p;
}

QPalette darkPalette() {
    QPalette p;
    const QColor window(0x26, 0x27, 0x2b);
    const QColor base(0x1c, 0x1d, 0x20);
    const QColor text(0xe8, 0xe8, 0xea);
    const QColor secondary(0x9a, 0x9b, 0xa1);
    // Dark enough for white text on it (4.9:1), light enough to stand out from the window.
    const QColor accent(0x2f, 0x6f, 0xd0);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window.lighter(110));
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, secondary);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x35, 0x36, 0x3b));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, QColor(0xff, 0x6b, 0x6b));
    p.setColor(QPalette::Light, QColor(0x4a, 0x4b, 0x51));
    p.setColor(QPalette::Midlight, QColor(0x3c, 0x3d, 0x42));
    p.setColor(QPalette::Mid, QColor(0x80, 0x81, 0x88));
    p.setColor(QPalette::Dark, QColor(0x15, 0x15, 0x18));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x7a, 0xb4, 0xff));
    p.setColor(QPalette::LinkVisited, QColor(0xb0, 0x9a, 0xff));
    setDisabledText(p, QColor(0xa0, 0xa1, 0xa7));
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x4a, 0x4b, 0x51));
    return p;
}

void applyAppearance(Appearance appearance) {
    if (appearance == Appearance::system) return;
    // Fusion draws every control from the palette, so one palette switches the whole look;
    // desktop styles may ignore parts of it.
    QStyle* fusion = QStyleFactory::create("Fusion");
    if (!fusion) return;
    QApplication::setStyle(new ContrastStyle(fusion));
    QApplication::setPalette(appearance == Appearance::dark ? darkPalette() : lightPalette());
}

}  // namespace housetone::ui
