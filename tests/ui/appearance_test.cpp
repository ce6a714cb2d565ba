// Contrast in the light and the dark appearance, from the palette and from what the style
// actually draws: text at 4.5:1 or better (disabled text too), controls at 3:1 or better.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QImage>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOption>
#include <cmath>
#include <map>

#include "ui_test_support.h"

#include "audio/sim/room.h"
#include "ui/main_view.h"
#include "ui/view_style.h"
#include "ui/vuzededudoz/appearance.h"

namespace housetone::ui {
namespace {

double luminance(const QColor& c) {
    const auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

// The contrast ratio of `fg` (blended over `bg` by its alpha) against `bg`.
double contrast(QColor fg, const QColor& bg) {
    const double a = fg.alphaF();
    fg = QColor::fromRgbF(float(fg.redF() * a + bg.redF() * (1 - a)),
                          float(fg.greenF() * a + bg.greenF() * (1 - a)),
                          float(fg.blueF() * a + bg.blueF() * (1 - a)));
    const double l1 = luminance(fg), l2 = luminance(bg);
    return (std::max(l1, l2) + 0.05) / (std::min(l1, l2) + 0.05);
}

// What a widget looks like as drawn: its most common color (the background) and the highest
// contrast any of its pixels reaches against that (its text or outline).
std::pair<QColor, double> drawn(QWidget* w) {
    const QImage img = w->grab().toImage();
    std::map<QRgb, int> count;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            ++count[img.pixel(x, y) | 0xff000000u];
    const QColor bg(
        std::ranges::max_element(count, {}, &decltype(count)::value_type::second)->first);
    double strongest = 1;
    for (const auto& [rgb, n] : count)
        strongest = std::max(strongest, contrast(QColor(rgb), bg));
    return {bg, strongest};
}

TEST(Appearance, TextReadsAtFourAndAHalfAndControlsStandOutAtThreeInBothAppearances) {
    const QPalette original = QApplication::palette();
    for (const Appearance look : {Appearance::light, Appearance::dark}) {
        SCOPED_TRACE(look == Appearance::dark ? "dark" : "light");
        applyAppearance(look);
        Rig rig(sim::defaultRoom(), quietWorld);
        rig.start();
        MainView view(rig.ctl);
        view.resize(600, 700);
        view.show();
        QCoreApplication::processEvents();
        const QPalette p = QApplication::palette();
        using P = QPalette;
        const QColor window = p.color(P::Window);
        struct Pair {
            const char* what;
            QColor fg, bg;
            double least;
        };
        const Pair pairs[] = {
            {"window text", p.color(P::WindowText), window, 4.5},
            {"field text", p.color(P::Text), p.color(P::Base), 4.5},
            {"button text", p.color(P::ButtonText), p.color(P::Button), 4.5},
            {"chosen text", p.color(P::HighlightedText), p.color(P::Highlight), 4.5},
            {"placeholder", p.color(P::PlaceholderText), window, 4.5},
            {"tool tip", p.color(P::ToolTipText), p.color(P::ToolTipBase), 4.5},
            {"secondary", style::secondary(&view), window, 4.5},
            {"blue", style::blue(&view), window, 4.5},
            {"orange", style::orange(&view), window, 4.5},
            {"disabled window text", p.color(P::Disabled, P::WindowText), window, 4.5},
            {"disabled field text", p.color(P::Disabled, P::Text), p.color(P::Disabled, P::Base),
             4.5},
            {"disabled button text", p.color(P::Disabled, P::ButtonText),
             p.color(P::Disabled, P::Button), 4.5},
            {"disabled chosen text", p.color(P::Disabled, P::HighlightedText),
             p.color(P::Disabled, P::Highlight), 4.5},
            {"accent fill", p.color(P::Highlight), window, 3},
            {"control outline", p.color(P::Mid), window, 3},
        };
        for (const Pair& pair : pairs)
            EXPECT_GE(contrast(pair.fg, pair.bg), pair.least) << pair.what;

        // As drawn: "Align by ear" is disabled at launch; Single is the chosen mode.
        auto* align = view.findChild<QAbstractButton*>("alignByEar");
        ASSERT_FALSE(align->isEnabled());
        EXPECT_GE(drawn(align).second, 4.5) << "disabled Align by ear";
        const QColor chosen = drawn(view.findChild<QWidget*>("mode:Single")).first;
        const QColor other = drawn(view.findChild<QWidget*>("mode:Together")).first;
        EXPECT_GE(contrast(chosen, other), 3) << "chosen mode segment";
        EXPECT_GE(drawn(view.findChild<QWidget*>("mode:Together")).second, 3) << "segment";
        QCheckBox* unchecked = nullptr;
        for (QCheckBox* box : view.findChildren<QCheckBox*>())
            if (box->objectName().startsWith("include:") && !box->isChecked()) unchecked = box;
        ASSERT_NE(unchecked, nullptr);
        EXPECT_GE(drawn(unchecked).second, 3) << "unchecked include box";
    }
    QApplication::setPalette(original);
}

// Pixels of `img` in the text colour, or nearly: what a focus ring adds to a control.
int textColoured(const QImage& img, const QColor& text) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            n += contrast(QColor(img.pixel(x, y)), text) < 1.3;
    return n;
}

// A control drawn by the application's style as it would be with and without the keyboard focus.
template <typename Draw>
int ringPixels(QWidget& w, Draw draw) {
    const QColor text = QApplication::palette().color(QPalette::WindowText);
    int counts[2] = {};
    for (const bool focused : {false, true}) {
        QImage img(w.size(), QImage::Format_ARGB32);
        img.fill(QApplication::palette().color(QPalette::Window));
        QPainter painter(&img);
        draw(painter, focused ? QStyle::State_HasFocus : QStyle::State_None);
        painter.end();
        counts[focused] = textColoured(img, text);
    }
    return counts[1] - counts[0];
}

TEST(Appearance, TheKeyboardFocusIsARingInTheTextColourOnButtonsSlidersAndCheckBoxes) {
    const QPalette original = QApplication::palette();
    for (const Appearance look : {Appearance::light, Appearance::dark}) {
        SCOPED_TRACE(look == Appearance::dark ? "dark" : "light");
        applyAppearance(look);
        QStyle* style = QApplication::style();
        QPushButton button(QStringLiteral("Rescan"));
        button.resize(120, 32);
        QSlider slider(Qt::Horizontal);
        slider.resize(160, 24);
        QCheckBox box(QStringLiteral("Bass"));
        box.resize(box.sizeHint());
        // A ring around the control is at least half its outline in the text colour.
        const auto outline = [](const QWidget& w) { return w.width() + w.height(); };
        EXPECT_GE(ringPixels(button,
                             [&](QPainter& p, QStyle::State focus) {
                                 QStyleOptionButton o;
                                 o.initFrom(&button);
                                 o.text = button.text();
                                 o.state |= focus;
                                 style->drawControl(QStyle::CE_PushButton, &o, &p, &button);
                             }),
                  outline(button))
            << "button";
        EXPECT_GE(ringPixels(slider,
                             [&](QPainter& p, QStyle::State focus) {
                                 QStyleOptionSlider o;
                                 o.initFrom(&slider);
                                 o.orientation = Qt::Horizontal;
                                 o.maximum = 100;
                                 o.state |= focus;
                                 style->drawComplexControl(QStyle::CC_Slider, &o, &p, &slider);
                             }),
                  outline(slider))
            << "slider";
        EXPECT_GE(ringPixels(box,
                             [&](QPainter& p, QStyle::State focus) {
                                 QStyleOptionButton o;
                                 o.initFrom(&box);
                                 o.text = box.text();
                                 o.state |= focus;
                                 style->drawControl(QStyle::CE_CheckBox, &o, &p, &box);
                             }),
                  box.height())
            << "check box";
    }
    QApplication::setPalette(original);
}

}  // namespace
}  // namespace housetone::ui
