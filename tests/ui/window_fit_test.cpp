// The main window's layout and texts as a person meets them: a long speaker name, a small screen
// at a large scale, a maximised window and many speakers each leave every control in reach; the
// rows name their connections and their controls as people read them; a tune's note beside a
// speaker never contradicts its slider.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QLabel>
#include <QMainWindow>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <set>
#include "ui_test_support.h"

#include "audio/sim/room.h"
#include "tune/auto_tuner.h"
#include "ui/hero_artwork.h"
#include "ui/main_view.h"
#include "ui/vuzededudoz/app_delegate.h"

namespace housetone::ui {
namespace {

const std::string kitchen = "sim-kitchen-speaker";
const std::string tv = "sim-living-room-tv";  // HDMI, no volume control

// A name as long as people give a speaker that a vendor named first.
const std::string longName =
    "Kitchen Speaker (Living Room Group, Second Floor) - Bluetooth LE Audio Stereo #2";

// Every speaker of the room (the default one unless given) in the group, in a 600 x 700 window of
// its own, Aligned, so that every row shows all of its lines.
class WindowFitTest : public ::testing::Test {
  protected:
    explicit WindowFitTest(const sim::RoomSpec& room = roomWithKitchenNamed("Kitchen Speaker"))
        : rig(room, {.speed = 40}) {
        rig.startWith(includeAll(room));
        window.setCentralWidget(new MainView(ctl));
        window.resize(600, 700);
        window.show();
        settle();
        EXPECT_TRUE(rig.startAligned()) << ctl->status();
        settle();
    }
    static sim::RoomSpec roomWithKitchenNamed(const std::string& name) {
        sim::RoomSpec room = sim::defaultRoom();
        for (auto& o : room.outputs)
            if (o.uid == kitchen) o.name = name;
        return room;
    }

    void settle() { ui::settle(rig); }

    template <typename T = QWidget>
    T* find(const QString& name, const std::string& uid = {}) const {
        return window.findChild<T*>(name + q(uid));
    }

    // The row's controls a person adjusts, those its speaker shows now.
    std::vector<QWidget*> rowControls(const Dev& d) const {
        std::vector<QWidget*> out;
        for (const char* name : {"mute:", "volumeSlider:", "volumeValue:", "delayStepDown:",
                                 "delayStepUp:", "delayValue:", "crispSlider:", "crispValue:"}) {
            QWidget* w = find(QString::fromUtf8(name), d.uid);
            if (w && w->isVisibleTo(&window)) out.push_back(w);
        }
        return out;
    }

    // Controls of the rows that lie, across, outside the part of the device list one sees.
    std::vector<std::string> controlsOutOfView() const {
        const auto* list = find<QScrollArea>("deviceList");
        const QRect view = list->viewport()->rect();
        std::vector<std::string> out;
        for (const Dev& d : ctl->devices()) {
            for (QWidget* w : rowControls(d)) {
                const QRect r(w->mapTo(list->viewport(), QPoint()), w->size());
                if (r.left() < view.left() || r.right() > view.right())
                    out.push_back(w->objectName().toStdString());
            }
        }
        // And the list itself lies within the window.
        const QRect inWindow(list->viewport()->mapTo(&window, QPoint()), view.size());
        if (!window.rect().contains(inWindow)) out.push_back("deviceList");
        return out;
    }

    testsupport::Rig rig;
    std::shared_ptr<Controller>& ctl = rig.ctl;
    QMainWindow window;  // its view goes before the controller it shows
};

class LongNameTest : public WindowFitTest {
  protected:
    LongNameTest() : WindowFitTest(roomWithKitchenNamed(longName)) {}
};

// Sixteen speakers, each with a volume control, so that no row has a line that wraps.
class ManySpeakersTest : public WindowFitTest {
  protected:
    ManySpeakersTest() : WindowFitTest(sixteenSpeakers()) {}

    static sim::RoomSpec sixteenSpeakers() {
        sim::RoomSpec room = sim::defaultRoom();
        room.outputs.clear();
        for (int i = 1; i <= 16; ++i)
            room.outputs.push_back(testsupport::speaker("speaker-" + std::to_string(i),
                                                        {.latencyMs = 10.0 + i, .level = 0.05}));
        room.defaultOutput = room.outputs.front().uid;
        return room;
    }
};

TEST_F(LongNameTest, ALongNameIsShortenedAndNoRowLosesItsControls) {
    const int narrowest = window.minimumSizeHint().width();
    for (const int width : {narrowest, 600}) {
        SCOPED_TRACE(width);
        window.resize(width, 700);
        settle();
        ASSERT_EQ(window.width(), width);
        EXPECT_EQ(controlsOutOfView(), std::vector<std::string>{});
        const auto* name = find<QLabel>("deviceName:", kitchen);
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(name->text().endsWith(QChar(0x2026))) << name->text().toStdString();
        EXPECT_TRUE(q(longName).startsWith(name->text().chopped(1)));
        EXPECT_EQ(name->toolTip(), q(longName));
    }
}

// However many rows there are, each keeps the height it asks for and the list scrolls instead:
// squeezed rows would overlap and hide each other's controls. Left-out rows are shorter (no delay
// or tone line) and are held to the same.
TEST_F(ManySpeakersTest, RowsKeepTheirHeightNeverOverlapAndEveryStepperScrollsIntoReach) {
    ASSERT_EQ(ctl->devices().size(), 16u);
    auto* list = find<QScrollArea>("deviceList");
    ASSERT_NE(list, nullptr);
    for (const bool someLeftOut : {false, true}) {
        SCOPED_TRACE(someLeftOut ? "every other speaker left out" : "all included");
        if (someLeftOut) {
            for (std::size_t i = 0; i + 1 < ctl->devices().size(); i += 2)
                ctl->setInclude(ctl->devices()[i], false);
            settle();
        }
        // Rows laid over each other hide each other's lines: what a row covers is its own
        // rectangle and its lines'.
        std::vector<std::pair<std::string, QRect>> covered;
        for (const Dev& d : ctl->devices()) {
            const QWidget* row = find("deviceRow:", d.uid);
            ASSERT_TRUE(row && row->isVisibleTo(&window)) << d.uid;
            EXPECT_GE(row->height(), row->sizeHint().height()) << d.uid;
            const QRect r = row->geometry() | row->childrenRect().translated(row->pos());
            for (const auto& [uid, other] : covered)
                EXPECT_FALSE(r.intersects(other)) << d.uid << " over " << uid;
            covered.emplace_back(d.uid, r);
        }
        // Nor does the list go on past its last row, blank, when fewer lines are shown.
        EXPECT_LE(list->widget()->height(),
                  std::max(list->viewport()->height(), covered.back().second.bottom() + 1));

        // Each stepper, brought into view, is what the pointer meets there.
        int steppers = 0;
        for (const Dev& d : ctl->devices()) {
            auto* stepUp = find<QAbstractButton>("delayStepUp:", d.uid);
            if (!stepUp || !stepUp->isVisibleTo(&window)) continue;
            ++steppers;
            list->ensureWidgetVisible(stepUp, 0, 0);
            settle();
            const QRect shown(stepUp->mapTo(list->viewport(), QPoint()), stepUp->size());
            EXPECT_TRUE(list->viewport()->rect().contains(shown) &&
                        shown.height() >= stepUp->sizeHint().height())
                << d.uid << " " << shown.y() << "+" << shown.height() << " in "
                << list->viewport()->height();
            EXPECT_EQ(window.childAt(stepUp->mapTo(&window, stepUp->rect().center())), stepUp)
                << d.uid;
        }
        EXPECT_GE(steppers, someLeftOut ? 7 : 15);
        const Dev last = ctl->devices().back();
        auto* stepUp = find<QAbstractButton>("delayStepUp:", last.uid);
        ASSERT_TRUE(stepUp && stepUp->isVisibleTo(&window));
        const double before = ctl->offsets().count(last.uid) ? ctl->offsets().at(last.uid) : 0;
        stepUp->click();
        settle();
        ASSERT_EQ(ctl->offsets().count(last.uid), 1u);
        EXPECT_EQ(ctl->offsets().at(last.uid), before + 5);
    }
}

// 1366 x 768 at twice the scale, under a 28-pixel panel: 683 x 370 free, in the program's pixels.
TEST_F(WindowFitTest, OnASmallScreenAtALargeScaleTheWindowFitsAndScrollsToItsLastControls) {
    const QRect available(0, 14, 683, 370);
    window.resize(launchSize(available));
    settle();
    EXPECT_LE(window.height(), available.height());
    EXPECT_LE(window.minimumSizeHint().height(), available.height());
    auto* page = find<QScrollArea>("page");
    ASSERT_NE(page, nullptr);
    for (const char* name :
         {"toolsRow1", "toolsRow2", "shiftAllRow", "referenceNote", "zoomNote"}) {
        SCOPED_TRACE(name);
        QWidget* w = find(QString::fromUtf8(name));
        ASSERT_TRUE(w && w->isVisibleTo(&window));
        page->ensureWidgetVisible(w, 0, 0);
        settle();
        const QRect r(w->mapTo(page->viewport(), QPoint()), w->size());
        EXPECT_TRUE(page->viewport()->rect().contains(r))
            << r.y() << "+" << r.height() << " in " << page->viewport()->height();
    }
}

TEST_F(WindowFitTest, ANewStatusMessageLeavesTheButtonsWhereTheyWere) {
    const QWidget* button = find("autoTune");
    ASSERT_NE(button, nullptr);
    const auto* status = find<QLabel>("statusLine");
    const auto textHeight = [&] {
        return status->fontMetrics()
            .boundingRect(QRect(0, 0, status->width(), 1000), Qt::TextWordWrap, status->text())
            .height();
    };
    const int before = button->mapTo(&window, QPoint()).y();
    const int heightBefore = textHeight();
    // The boost names every speaker it plays to: a longer message than the one before.
    ctl->setVolBoostPct(20);
    settle();
    ASSERT_GT(textHeight(), heightBefore) << ctl->status();
    EXPECT_EQ(button->mapTo(&window, QPoint()).y(), before) << ctl->status();
}

TEST_F(WindowFitTest, ControlsThatOnlyAlignedCanUseLookDisabledElsewhereAndSayWhy) {
    const auto* alignByEar = find<QAbstractButton>("alignByEar");
    const auto* boost = find("boostPicker");
    ASSERT_TRUE(alignByEar && boost);
    // The chosen boost segment's fill, away from its border and its text.
    const auto chosenFill = [&] {
        for (auto* b : boost->findChildren<QAbstractButton*>())
            if (b->isChecked()) return b->grab().toImage().pixelColor(3, 3);
        return QColor();
    };
    const QColor accent = boost->palette().color(QPalette::Highlight);
    EXPECT_EQ(chosenFill(), accent);
    EXPECT_TRUE(alignByEar->isEnabled() && !alignByEar->toolTip().contains("Switch to Aligned"));

    ctl->chooseMode(Mode::single);
    settle();
    EXPECT_FALSE(alignByEar->isEnabled());
    EXPECT_TRUE(alignByEar->toolTip().contains("Switch to Aligned first"))
        << alignByEar->toolTip().toStdString();
    EXPECT_FALSE(boost->isEnabled());
    EXPECT_TRUE(boost->toolTip().contains("Only in Aligned mode"))
        << boost->toolTip().toStdString();
    EXPECT_NE(chosenFill(), accent);
}

TEST_F(WindowFitTest, OnAMaximisedWindowTheRowsStayReadablyNarrowAndCentred) {
    const auto* list = find<QScrollArea>("deviceList");
    for (const int width : {600, 1920}) {
        SCOPED_TRACE(width);
        window.resize(width, 1000);
        settle();
        const QRect view = list->viewport()->rect();
        for (const Dev& d : ctl->devices()) {
            const QWidget* row = find("deviceRow:", d.uid);
            const QRect r(row->mapTo(list->viewport(), QPoint()), row->size());
            if (width == 1920) {
                EXPECT_LT(r.width(), width / 2) << d.uid;
                EXPECT_LE(std::abs(r.center().x() - view.center().x()), 1) << d.uid;
            } else {
                EXPECT_EQ(r.width(), view.width()) << d.uid;
            }
        }
    }
}

// The header keeps one height whatever the mode, so the mode buttons stay under the pointer that
// pressed them; at any width it shows most of its picture, the speakers whole, never a slice.
TEST_F(WindowFitTest, TheHeaderHoldsTheModeButtonsStillAndShowsItsPictureAtAnyWidth) {
    const auto* hero = find<HeroArtwork>("heroArtwork");
    ASSERT_FALSE(hero->picture().isNull());
    window.resize(600, 560);
    ctl->chooseMode(Mode::single);
    settle();
    const QWidget* aligned = find("mode:Aligned");
    const QPoint before = aligned->mapTo(&window, QPoint());
    EXPECT_TRUE(rig.startAligned()) << ctl->status();
    settle();
    EXPECT_EQ(aligned->mapTo(&window, QPoint()), before);
    for (const int width : {600, 1920}) {
        SCOPED_TRACE(width);
        window.resize(width, 1000);
        settle();
        const QRectF shown = hero->pictureArea().intersected(QRectF(hero->rect()));
        EXPECT_GE(shown.height(), 0.7 * hero->pictureArea().height());
        EXPECT_LE(hero->height(), 1000 / 6);
        EXPECT_NEAR(shown.center().x(), hero->rect().center().x(), 1.0);
    }
}

TEST_F(WindowFitTest, RowsNameTheirConnectionsAsPeopleWriteThem) {
    const std::map<std::uint32_t, QString> written = {{transport::builtIn, "Built-in"},
                                                      {transport::bluetooth, "Bluetooth"},
                                                      {transport::bluetoothLE, "Bluetooth"},
                                                      {transport::hdmi, "HDMI"},
                                                      {transport::usb, "USB"}};
    std::set<std::uint32_t> seen;
    for (const Dev& d : ctl->devices()) {
        SCOPED_TRACE(d.uid);
        const auto* label = find<QLabel>("transport:", d.uid);
        ASSERT_NE(label, nullptr);
        ASSERT_TRUE(written.count(d.transport));
        EXPECT_EQ(label->text(), written.at(d.transport));
        seen.insert(d.transport);
    }
    EXPECT_EQ(seen.size(), written.size());
    // The settings and logs keep the stored word.
    EXPECT_EQ(rig.dev(tv).transportLabel(), "hdmi");
    EXPECT_TRUE(find<QLabel>("noVolume:", tv)->text().contains("(HDMI)"));
}

TEST_F(WindowFitTest, EveryControlHasANameAndARowsControlsNameTheirSpeaker) {
    // Tool tips and screen readers alike; icon-only buttons most of all.
    for (auto* w : window.findChildren<QWidget*>()) {
        if (qobject_cast<QScrollBar*>(w)) continue;  // a scroll area's own part
        const auto* b = qobject_cast<QAbstractButton*>(w);
        if (!b && !qobject_cast<QAbstractSlider*>(w) && !qobject_cast<QAbstractSpinBox*>(w))
            continue;
        EXPECT_FALSE(w->accessibleName().isEmpty() && (!b || b->text().isEmpty()))
            << w->metaObject()->className() << " " << w->objectName().toStdString();
    }
    for (const Dev& d : ctl->devices()) {
        std::set<QString> names;
        const auto* row = find("deviceRow:", d.uid);
        for (auto* w : row->findChildren<QWidget*>()) {
            if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QAbstractSlider*>(w)) continue;
            EXPECT_TRUE(w->accessibleName().contains(q(d.name)))
                << w->objectName().toStdString() << ": " << w->accessibleName().toStdString();
            names.insert(w->accessibleName());
        }
        // Each says which of them it is.
        EXPECT_EQ(names.size(), std::size_t(row->findChildren<QAbstractButton*>().size() +
                                            row->findChildren<QAbstractSlider*>().size()))
            << d.uid;
    }
}

// "offset 179 ms applied" is true when the tune says it; once the offset moves by other means the
// note goes, and the next note the tune sends shows again.
TEST_F(WindowFitTest, ATuneNoteGoesOnceTheOffsetMovesByOtherMeans) {
    const auto reference = ctl->referenceSpeaker();
    ASSERT_TRUE(reference.has_value());
    std::string other;
    for (const Dev& d : ctl->includedDevices())
        if (d.uid != reference->uid && other.empty()) other = d.uid;
    // A tune's reports reach the window through the controller's own wiring: start one, stop it,
    // then speak as its tuner does (offsets first, then each speaker's note).
    find<QAbstractButton>("autoTune")->click();
    ASSERT_TRUE(ctl->tuning()) << ctl->status();
    ctl->toggleAutoTune();
    ASSERT_TRUE(rig.main.runUntil([&] { return !ctl->tuning(); }, 30));
    AutoTuner* tuner = ctl->tuner();
    ASSERT_NE(tuner, nullptr);
    const auto report = [&](double ms) {
        tuner->applyOffsets({{other, ms}});
        tuner->speakerPhase(other, "offset " + std::to_string(int(ms)) + " ms applied");
        settle();
    };
    const auto* note = find<QLabel>("tunePhase:", other);
    const auto noteShown = [&] { return note->isVisibleTo(&window); };

    report(179);
    ASSERT_TRUE(noteShown());
    EXPECT_EQ(note->text(), "offset 179 ms applied");

    find<QAbstractButton>("delayStepUp:", other)->click();
    settle();
    ASSERT_NE(ctl->offsets().at(other), 179);
    EXPECT_FALSE(noteShown()) << note->text().toStdString();

    report(150);
    EXPECT_TRUE(noteShown());
    auto* slider = find<QSlider>("delaySlider:", other);
    slider->setValue(slider->value() + 3);  // a key press on the slider
    settle();
    EXPECT_FALSE(noteShown()) << note->text().toStdString();
}

}  // namespace
}  // namespace housetone::ui
