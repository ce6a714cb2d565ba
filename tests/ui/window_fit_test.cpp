// The main window as people meet it: what fits at the launch size, what the wheel, Tab and the
// help tips do, how a tune shows its progress, and the About panel's text.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QScrollArea>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QToolTip>
#include <QWheelEvent>

#include "ui_test_support.h"

#include "audio/sim/room.h"
#include "ui/about_panel.h"
#include "ui/main_view.h"
#include "ui/vuzededudoz/app_delegate.h"
#include "ui/vuzededudoz/status_menu.h"

namespace housetone::ui {
namespace {

// The free area of a 1366 × 768 screen under a 28-pixel desktop panel.
const QRect laptopScreen(0, 28, 1366, 740);

Config everySpeakerIncluded() {
    Config c{.include = std::map<std::string, bool>{}};
    for (const auto& o : sim::defaultRoom().outputs)
        (*c.include)[o.uid] = true;
    return c;
}

class WindowFitTest : public ::testing::Test {
  protected:
    WindowFitTest() {
        window.setCentralWidget(view = new MainView(ctl));
        window.resize(launchSize(laptopScreen));
        window.show();
        settle();
    }

    void settle() {
        for (int i = 0; i < 4; ++i) {
            rig.main.runPending();
            QCoreApplication::processEvents();
        }
    }

    void startAligned() {
        std::optional<bool> ok;
        ctl->setAlignedStartCompleted([&](bool result) { ok = result; });
        ctl->chooseMode(Mode::aligned);
        ASSERT_TRUE(rig.main.runUntil([&] { return ok.has_value(); }, 30));
        ASSERT_TRUE(*ok) << ctl->status();
        settle();
    }

    std::vector<QWidget*> rows() const {
        std::vector<QWidget*> out;
        for (QWidget* w : view->findChildren<QWidget*>())
            if (w->objectName().startsWith("deviceRow:")) out.push_back(w);
        return out;
    }

    // Rows the list shows whole, without scrolling.
    int wholeRows() const {
        const auto* list = view->findChild<QScrollArea*>("deviceList");
        int n = 0;
        for (QWidget* row : rows()) {
            const QRect at(row->mapTo(list->viewport(), QPoint()), row->size());
            n += list->viewport()->rect().contains(at);
        }
        return n;
    }

    // Every label, button and picker that is narrower than it asks to be, and every picker whose
    // text field is narrower than its text: their text is cut.
    std::vector<std::string> cutControls() const {
        std::vector<std::string> cut;
        for (QComboBox* box : window.findChildren<QComboBox*>()) {
            QStyleOptionComboBox opt;
            opt.initFrom(box);
            opt.currentText = box->currentText();
            const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &opt,
                                                             QStyle::SC_ComboBoxEditField, box);
            if (box->isVisible() &&
                field.width() < box->fontMetrics().horizontalAdvance(opt.currentText))
                cut.push_back(box->objectName().toStdString() + " \"" +
                              opt.currentText.toStdString() + "\"");
        }
        for (QWidget* w : window.findChildren<QWidget*>()) {
            const auto* label = qobject_cast<QLabel*>(w);
            const bool text = (label && !label->wordWrap()) || qobject_cast<QAbstractButton*>(w) ||
                              qobject_cast<QComboBox*>(w);
            if (text && w->isVisible() && w->width() < w->sizeHint().width())
                cut.push_back(w->objectName().toStdString() + " \"" +
                              w->property("text").toString().toStdString() + "\"");
        }
        return cut;
    }

    Rig rig{sim::defaultRoom(), everySpeakerIncluded(), nullptr, true};
    std::shared_ptr<Controller>& ctl = rig.controller;
    QMainWindow window;
    MainView* view;
};

TEST_F(WindowFitTest, AtLaunchSizeFiveAlignedSpeakersShowWholeNothingIsCutAndTheWindowNeverJumps) {
    EXPECT_EQ(launchSize(laptopScreen), QSize(600, 700));
    EXPECT_EQ(launchSize(QRect(0, 0, 1024, 600)), QSize(600, 560));
    ASSERT_NO_FATAL_FAILURE(startAligned());
    EXPECT_GE(wholeRows(), 5);
    EXPECT_GE(view->findChild<QWidget*>("heroArtwork")->height(), 40);
    EXPECT_EQ(cutControls(), std::vector<std::string>{});

    const QSize before = window.size();
    ctl->toggleClickTest();
    settle();
    EXPECT_EQ(view->findChild<QAbstractButton*>("clickTest")->text(), "Stop click test");
    EXPECT_EQ(cutControls(), std::vector<std::string>{});
    ctl->toggleClickTest();

    ctl->startGuidedAlign();
    settle();
    ASSERT_TRUE(view->findChild<QWidget*>("guidedPanel")->isVisible());
    EXPECT_EQ(cutControls(), std::vector<std::string>{});
    EXPECT_EQ(window.size(), before);
}

TEST_F(WindowFitTest, TabVisitsTheControlsInReadingOrder) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    // Tall enough that no row hides below the list's edge, so positions are the reading order.
    window.resize(600, 1100);
    settle();
    std::vector<QWidget*> chain;
    QWidget* w = view;
    do {
        w = w->nextInFocusChain();
        if (view->isAncestorOf(w) && w->isVisible() && w->isEnabled() &&
            (w->focusPolicy() & Qt::TabFocus))
            chain.push_back(w);
    } while (w != view);
    ASSERT_GT(chain.size(), 20u);
    const auto at = [&](const QWidget* x) { return QRect(x->mapTo(view, QPoint()), x->size()); };
    for (std::size_t i = 1; i < chain.size(); ++i) {
        const QRect a = at(chain[i - 1]), b = at(chain[i]);
        const bool sameLine = b.top() < a.bottom() && a.top() < b.bottom();
        EXPECT_TRUE(sameLine ? b.left() > a.left() : b.center().y() > a.center().y())
            << chain[i - 1]->objectName().toStdString() << " then "
            << chain[i]->objectName().toStdString();
    }
}

TEST_F(WindowFitTest, TheWheelPassesUnfocusedSlidersByAndMovesOnlyAFocusedOne) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    const std::string uid = "sim-porch-speaker";
    auto* delay = view->findChild<QSlider*>(QString::fromStdString("delaySlider:" + uid));
    auto* volume = view->findChild<QSlider*>(QString::fromStdString("volumeSlider:" + uid));
    auto* mic = view->findChild<QComboBox*>("micPicker");
    ASSERT_TRUE(delay && volume && delay->isVisible());
    // Whether the control took a notch down; one it leaves unaccepted goes on to the list.
    const auto turn = [](QWidget* w) {
        QWheelEvent notch(QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(w, &notch);
        return notch.isAccepted();
    };
    const auto offsets = ctl->offsets();
    const auto volumes = ctl->volumes();
    const int micIndex = mic->currentIndex();
    for (QWidget* w : std::initializer_list<QWidget*>{delay, volume, mic})
        EXPECT_FALSE(turn(w)) << w->objectName().toStdString();
    settle();
    EXPECT_EQ(ctl->offsets(), offsets);
    EXPECT_EQ(ctl->volumes(), volumes);
    EXPECT_EQ(mic->currentIndex(), micIndex);

    volume->setFocus();
    const int was = volume->value();
    EXPECT_TRUE(turn(volume));
    EXPECT_NE(volume->value(), was);
}

TEST_F(WindowFitTest, LongHelpTipsWrapToAReadableWidth) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    int long_ = 0;
    for (QWidget* w : view->findChildren<QWidget*>()) {
        if (w->toolTip().size() < 100 || !w->isVisible()) continue;
        ++long_;
        QToolTip::showText(w->mapToGlobal(QPoint()), w->toolTip(), w);
        const QWidget* tip = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == "qtooltip_label" && top->isVisible()) tip = top;
        ASSERT_NE(tip, nullptr);
        EXPECT_LE(tip->width(), tip->screen()->geometry().width() / 3)
            << w->objectName().toStdString();
        QToolTip::hideText();
    }
    EXPECT_GE(long_, 5);
}

TEST_F(WindowFitTest, ATuneShowsHowFarItHasComeInTheWindowAndTheMenuLine) {
    ctl->toggleAutoTune();
    ASSERT_TRUE(ctl->tuning());
    auto* bar = view->findChild<QProgressBar*>("tuneProgress");
    ASSERT_TRUE(rig.main.runUntil(
        [&] { return ctl->tuneProgress() && ctl->tuneProgress()->pass == 1; }, 60));
    QCoreApplication::processEvents();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_TRUE(bar->text().startsWith("Pass 1 of 3 \u00b7 pairs 1 of 6"))
        << bar->text().toStdString();
    ASSERT_TRUE(rig.main.runUntil([&] { return ctl->tuneProgress()->step == 3; }, 60));
    QCoreApplication::processEvents();
    // Two of a pass's eleven steps (six pairs, the triple, two together, two checks) done in the
    // first of three passes.
    EXPECT_EQ(bar->value(), std::lround(bar->maximum() * 2.0 / 11 / 3));

    QMenu menu;
    struct : MenuActions {
        void menuSelectMode(const QVariant&) override {}
        void menuToggleMute(const QVariant&) override {}
        void menuSetVolume(const QVariant&) override {}
        void menuNudgeDelay(const QVariant&) override {}
        void menuAutoTune() override {}
        void menuRescan() override {}
        void menuShowWindow() override {}
        void toggleDockVisible() override {}
        void showAbout() override {}
        void menuQuit() override {}
    } nothing;
    buildStatusMenu(menu, menuModelFrom(*ctl, true), nothing);
    const QList<QAction*> items = menu.actions();
    EXPECT_TRUE(std::ranges::any_of(items, [](const QAction* a) {
        return a->text().startsWith("1/3 \u00b7 pairs 3/6 \u2014 Auto-tune: pair");
    }));

    ctl->toggleAutoTune();
    ASSERT_TRUE(rig.main.runUntil([&] { return !ctl->tuning(); }, 60));
    settle();
    EXPECT_FALSE(bar->isVisible());
}

TEST(AboutPanelText, TheDescriptionWrapsAndShowsEveryLine) {
    AboutPanel panel{std::weak_ptr<Controller>()};
    panel.present();
    QCoreApplication::processEvents();
    const QLabel* d = panel.descriptionLabel();
    EXPECT_EQ(d->text(), "Every speaker in the room, playing in step.");
    const QRect needed =
        d->fontMetrics().boundingRect(QRect(0, 0, d->contentsRect().width(), 1000),
                                      Qt::TextWordWrap | Qt::AlignHCenter, d->text());
    EXPECT_LE(d->width(), 320);
    EXPECT_GE(d->contentsRect().height(), needed.height());
    EXPECT_GE(d->contentsRect().width(), needed.width());
}

}  // namespace
}  // namespace housetone::ui
