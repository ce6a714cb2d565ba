// The main window over a real controller on the simulated default room: which lines and controls
// each mode shows and enables, what the per-speaker controls do, and what fits at the launch size
// and how the wheel, Tab and the help tips behave there.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <set>
#include "ui_test_support.h"

#include "audio/device_access.h"
#include "audio/sim/room.h"
#include "tune/auto_tuner.h"
#include "ui/device_row.h"
#include "ui/main_view.h"
#include "ui/vuzededudoz/app_delegate.h"

namespace housetone::ui {
namespace {

// Default room speakers the cases lean on; the first three are in the group from the start.
const std::string builtinSpeakers = "sim-builtin-speakers";
const std::string kitchen = "sim-kitchen-speaker";
const std::string porch = "sim-porch-speaker";
const std::string tv = "sim-living-room-tv";            // HDMI, no volume control
const std::string deskMonitors = "sim-desk-monitors";   // no mute flag
const std::string headsetMic = "sim-wireless-headset";  // a Bluetooth microphone

class MainViewTest : public ::testing::Test {
  protected:
    MainViewTest() {
        // Every speaker of the group has a measured latency.
        rig.startWith(
            Config{.measured = {{builtinSpeakers, 182.4}, {kitchen, 182.4}, {porch, 182.4}}});
        view = std::make_unique<MainView>(ctl);
        view->resize(560, 480);
        view->show();
        for (const auto& uid : {builtinSpeakers, kitchen, porch})
            ctl->setInclude(rig.dev(uid), true);
        settle();
    }

    void settle() { ui::settle(rig); }

    void startAligned() {
        ASSERT_TRUE(rig.startAligned()) << ctl->status();
        settle();
    }
    // The included speakers other than the reference, in list order.
    std::vector<std::string> others(const Dev& reference) const {
        std::vector<std::string> out;
        for (const Dev& d : ctl->includedDevices())
            if (d.uid != reference.uid) out.push_back(d.uid);
        return out;
    }

    template <typename T = QWidget>
    T* find(const QString& name, const std::string& uid = {}) const {
        return view->findChild<T*>(name + q(uid));
    }
    bool shown(const QString& name, const std::string& uid = {}) const {
        const QWidget* w = find(name, uid);
        return w && w->isVisibleTo(view.get());
    }
    bool enabled(const QString& name) const {
        const QWidget* w = find(name);
        EXPECT_NE(w, nullptr) << name.toStdString();
        return w && w->isEnabled();
    }
    QString text(const QString& name, const std::string& uid = {}) const {
        const auto* l = find<QLabel>(name, uid);
        return l ? l->text() : QString("<missing>");
    }
    void click(const QString& name, const std::string& uid = {}) {
        auto* b = find<QAbstractButton>(name, uid);
        ASSERT_NE(b, nullptr) << name.toStdString() << uid;
        b->click();
        settle();
    }
    double offset(const std::string& uid) const {
        const auto it = ctl->offsets().find(uid);
        return it == ctl->offsets().end() ? 0.0 : it->second;
    }

    Rig rig{sim::defaultRoom(), {.speed = 40}};
    ManualMainQueue& main = rig.main;
    std::shared_ptr<Controller>& ctl = rig.ctl;
    std::unique_ptr<MainView> view;  // goes before the controller it shows
};

TEST_F(MainViewTest, SingleAndTogetherShowNoDelayOrToneLinesAndDisableTheAlignedTools) {
    for (Mode m : {Mode::single, Mode::together}) {
        SCOPED_TRACE(rawValue(m));
        if (m != ctl->mode()) click("mode:" + q(rawValue(m)));
        ASSERT_EQ(ctl->mode(), m);
        EXPECT_TRUE(find<QAbstractButton>("mode:" + q(rawValue(m)))->isChecked());
        for (const Dev& d : ctl->devices()) {
            EXPECT_TRUE(shown("deviceRow:", d.uid)) << d.uid;
            EXPECT_FALSE(shown("delayLine:", d.uid) || shown("toneLine:", d.uid) ||
                         shown("referenceBadge:", d.uid))
                << d.uid;
        }
        EXPECT_FALSE(enabled("bassToggle") || enabled("boostPicker") || enabled("alignByEar"));
        EXPECT_TRUE(enabled("clickTest") && enabled("autoTune"));
        EXPECT_FALSE(shown("shiftAllRow") || shown("guidedPanel") || shown("referenceNote"));
        EXPECT_TRUE(text("zoomNote").startsWith("Zoom warning: several live speakers"));
    }
}

TEST_F(MainViewTest, RowsFollowTheirDevicesControls) {
    // The television takes its volume from its own remote; the desk monitors have no mute flag.
    EXPECT_FALSE(shown("volumeLine:", tv));
    EXPECT_EQ(text("noVolume:", tv),
              "no volume control on this connection (HDMI) \u2014 use the device's own controls");
    EXPECT_TRUE(shown("mute:", tv));
    EXPECT_TRUE(shown("volumeLine:", deskMonitors));
    EXPECT_FALSE(shown("noVolume:", deskMonitors) || shown("mute:", deskMonitors));

    // The first press mutes (no reading counts as playing), and the device itself follows.
    click("mute:", tv);
    EXPECT_EQ(readMute(rig.sim, rig.dev(tv).id), true);
    EXPECT_EQ(find("mute:", tv)->toolTip(), "Unmute");

    auto* volume = find<QSlider>("volumeSlider:", kitchen);
    ASSERT_NE(volume, nullptr);
    volume->setValue(volume->minimum() + (volume->maximum() - volume->minimum()) * 3 / 10);
    settle();
    EXPECT_NEAR(readVolume(rig.sim, rig.dev(kitchen).id).value_or(-1), 0.3f, 1e-4);
    EXPECT_EQ(text("volumeValue:", kitchen), "30%");

    click("include:", deskMonitors);
    EXPECT_TRUE(ctl->include().at(deskMonitors));
}

// Each microphone is listed once, the built-in one first, which stands for none chosen: picked, or
// chosen by its UID (as an older settings file may hold it), it is that first entry.
TEST_F(MainViewTest, TheMicPickerListsEachMicrophoneOnceTheBuiltInFirstAndStoresTheChosenOne) {
    auto* mic = find<QComboBox>("micPicker");
    ASSERT_NE(mic, nullptr);
    EXPECT_EQ(mic->itemText(0), "Built-in (recommended)");
    EXPECT_EQ(mic->currentIndex(), 0);
    std::multiset<std::string> listed, inputs;
    for (int i = 0; i < mic->count(); ++i)
        listed.insert(mic->itemData(i, Qt::ToolTipRole).toString().toStdString());
    for (const Dev& d : ctl->inputs())
        inputs.insert(d.name);
    EXPECT_EQ(listed, inputs);

    const int headset = mic->findData(q(headsetMic));
    ASSERT_GT(headset, 0);
    const auto pick = [&](int index) {
        mic->setCurrentIndex(index);
        emit mic->activated(index);
        settle();
        return ctl->micUID();
    };
    EXPECT_EQ(pick(headset), headsetMic);
    EXPECT_EQ(pick(0), std::nullopt);
    for (const Dev& d : ctl->inputs())
        if (d.isBuiltIn()) ctl->setMic(d.uid);
    settle();
    EXPECT_EQ(mic->currentIndex(), 0);
}

TEST_F(MainViewTest, RunningATuneLocksTheOtherToolsAndShowsHowFarItHasCome) {
    click("include:", deskMonitors);  // four speakers: three pairs with the reference
    // While a tune runs the button cancels it and the mic and click tools are locked.
    click("autoTune");
    ASSERT_TRUE(ctl->tuning()) << ctl->status();
    EXPECT_EQ(find<QAbstractButton>("autoTune")->text(), "Cancel auto-tune");
    EXPECT_FALSE(enabled("micPicker") || enabled("clickTest") || enabled("alignByEar"));
    // How far it has come shows beside the text line: one of the first pass's eight steps (three
    // pairs, the triple, two together, two fire checks) done, of three passes.
    ASSERT_TRUE(main.runUntil(
        [&] {
            const auto& w = ctl->tuneProgress();
            return w && w->stage == TuneProgress::Stage::pairs && w->step == 2;
        },
        30));
    QCoreApplication::processEvents();
    const auto* bar = find<QProgressBar>("tuneProgress");
    EXPECT_TRUE(bar->isVisible() && bar->text().startsWith("Pass 1 of 3 \u00b7 pairs 2 of 3"));
    EXPECT_EQ(bar->value(), std::lround(bar->maximum() * 1.0 / 8 / 3));

    click("autoTune");
    ASSERT_TRUE(main.runUntil([&] { return !ctl->tuning(); }, 30));
    settle();
    EXPECT_EQ(find<QAbstractButton>("autoTune")->text(), "Auto-tune");
    EXPECT_TRUE(enabled("micPicker") && enabled("clickTest"));
}

TEST_F(MainViewTest, AlignedShowsDelayAndToneLinesAndEnablesItsToolsShiftAllAmongThem) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    const auto ref = ctl->referenceSpeaker();
    ASSERT_TRUE(ref.has_value());
    for (const Dev& d : ctl->devices()) {
        SCOPED_TRACE(d.uid);
        const bool included = ctl->include().count(d.uid) && ctl->include().at(d.uid);
        EXPECT_EQ(shown("delayLine:", d.uid), included && d.uid != ref->uid);
        EXPECT_EQ(shown("toneLine:", d.uid), included);
        EXPECT_EQ(shown("referenceBadge:", d.uid), d.uid == ref->uid);
    }
    EXPECT_EQ(text("referenceBadge:", ref->uid), "REFERENCE");
    EXPECT_TRUE(enabled("bassToggle") && enabled("boostPicker") && enabled("alignByEar"));
    EXPECT_TRUE(shown("shiftAllRow") && shown("zoomNote"));
    EXPECT_FALSE(shown("guidedPanel"));
    // A measured reference names its own latency.
    EXPECT_TRUE(text("referenceNote").startsWith("Alignment reference: " + q(ref->name) + ".") &&
                text("referenceNote").contains("(measured 182 ms \u2014"));

    click("boost:10");
    EXPECT_EQ(ctl->volBoostPct(), 10);
    click("bassToggle");
    EXPECT_TRUE(ctl->bassBoost());

    // Shift-all moves every included speaker but the reference.
    const auto moved = others(*ref);
    ASSERT_EQ(moved.size(), 2u);
    click("shiftAll:25");
    EXPECT_TRUE(offset(moved[0]) == 25 && offset(moved[1]) == 25 && offset(ref->uid) == 0);
    EXPECT_EQ(text("delayValue:", moved[0]), "25 ms");
}

// A guided walk shows its panel, hides shift-all and locks the click tools until it stops.
TEST_F(MainViewTest, AlignedGuidedWalkShowsItsPanelAndLocksTheClickToolsUntilItStops) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    click("alignByEar");
    const auto current = ctl->currentGuidedTarget();
    ASSERT_TRUE(current.has_value()) << ctl->status();
    EXPECT_TRUE(shown("guidedPanel"));
    EXPECT_FALSE(shown("shiftAllRow") || enabled("alignByEar") || enabled("clickTest"));
    EXPECT_EQ(text("guidedTitle"), "Step 1 of 2 \u2014 " + q(current->name));

    const double was = offset(current->uid);
    click("guidedNudge:5");
    EXPECT_DOUBLE_EQ(offset(current->uid), was + 5);
    click("guidedSkip");
    EXPECT_TRUE(text("guidedTitle").startsWith("Step 2 of 2 \u2014 "));

    click("guidedStop");
    EXPECT_FALSE(ctl->guidedIndex().has_value() || shown("guidedPanel"));
    EXPECT_TRUE(shown("shiftAllRow") && enabled("alignByEar") && enabled("clickTest"));
}

TEST_F(MainViewTest, AlignedDelayStepperAndSliderRebaseTheOffsets) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    const auto ref = ctl->referenceSpeaker();
    ASSERT_TRUE(ref.has_value());
    const auto moved = others(*ref);
    ASSERT_EQ(moved.size(), 2u);
    const std::string a = moved[0], b = moved[1];
    ctl->setOffset(rig.dev(a), 2);
    ctl->setOffset(rig.dev(b), 10);
    ctl->rebaseOffsets();
    settle();

    // The stepper takes 2 to -3 and re-bases at once: this speaker ends at 0, everyone else +3.
    const auto before = ctl->offsets();
    click("delayStepDown:", a);
    for (const auto& [uid, ms] : before)
        EXPECT_DOUBLE_EQ(offset(uid), uid == a ? 0 : ms + 3) << uid;
    EXPECT_EQ(text("delayValue:", a), "0 ms");
    // The reference now waits too: its delay is shown where it can be changed.
    EXPECT_TRUE(shown("delayLine:", ref->uid));
    EXPECT_EQ(text("delayValue:", ref->uid), "3 ms");
    EXPECT_TRUE(text("referenceNote").endsWith("It is itself held back 3 ms on top."));

    // A drag below 0 is kept (played as 0) until the user lets go, even across a refresh.
    auto* slider = find<QSlider>("delaySlider:", a);
    ASSERT_NE(slider, nullptr);
    const double bBefore = offset(b);
    slider->setSliderDown(true);
    slider->setValue(-20);
    ctl->setVolBoostPct(20);
    settle();
    EXPECT_TRUE(slider->value() == -20 && offset(a) == -20 && offset(b) == bBefore);
    const auto targets = ctl->engine().targets();
    const auto at = std::ranges::find(targets, a, &Dev::uid);
    ASSERT_NE(at, targets.end());
    EXPECT_EQ(ctl->engine().delayFrames(int(at - targets.begin())), 0);

    slider->setSliderDown(false);
    settle();
    EXPECT_TRUE(offset(a) == 0 && offset(b) == bBefore + 20) << offset(a) << " " << offset(b);
}

// A slider spans ±250 ms, a millisecond a step, until a speaker of the group needs more or the
// user asks for it; then it reaches the whole 3 s, still a millisecond a step, and its value fits.
TEST_F(MainViewTest, TheDelaySliderStaysFineNearZeroAndReachesThreeSecondsWhenNeeded) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    const auto moved = others(*ctl->referenceSpeaker());
    ASSERT_EQ(moved.size(), 2u);
    const std::string a = moved[0], b = moved[1];
    auto* sliderA = find<QSlider>("delaySlider:", a);
    auto* sliderB = find<QSlider>("delaySlider:", b);
    auto* rangeA = find<QAbstractButton>("delayRange:", a);
    auto* rangeB = find<QAbstractButton>("delayRange:", b);
    ASSERT_TRUE(sliderA && sliderB && rangeA && rangeB);
    const auto span = [](const QSlider* s) { return std::pair(s->minimum(), s->maximum()); };
    const auto stepUp = [&](QSlider* s) {
        const double before = offset(s == sliderA ? a : b);
        s->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        settle();
        return offset(s == sliderA ? a : b) - before;
    };
    EXPECT_EQ(span(sliderA), std::pair(-250, 250));
    EXPECT_EQ(stepUp(sliderA), 1.0);

    // Asked for on one row: that slider reaches the limit, the others keep their scale.
    click("delayRange:", a);
    EXPECT_EQ(span(sliderA), std::pair(-3000, 3000));
    EXPECT_EQ(span(sliderB), std::pair(-250, 250));
    sliderA->setValue(sliderA->maximum());
    settle();
    EXPECT_EQ(offset(a), 3000.0);
    EXPECT_EQ(text("delayValue:", a), "3000 ms");
    EXPECT_EQ(stepUp(sliderB), 1.0);

    // Needed by the group: every row spans it, and it cannot be narrowed meanwhile.
    EXPECT_EQ(span(sliderB), std::pair(-3000, 3000));
    EXPECT_TRUE(rangeB->isChecked() && !rangeB->isEnabled() && !rangeA->isEnabled());
    EXPECT_EQ(sliderA->value(), 3000);
    ctl->setOffset(rig.dev(a), 2450);
    ctl->endOffsetDrag();
    settle();
    EXPECT_EQ(sliderA->value(), 2450);
    EXPECT_EQ(stepUp(sliderA), 1.0);
    // The widest value there is fits its label whole.
    const auto* value = find<QLabel>("delayValue:", a);
    EXPECT_LE(value->fontMetrics().horizontalAdvance(QStringLiteral("-3000 ms")),
              value->contentsRect().width());

    // Back within the fine range, only the row that asked keeps the long scale until told.
    ctl->setOffset(rig.dev(a), 40);
    ctl->endOffsetDrag();
    settle();
    EXPECT_EQ(span(sliderB), std::pair(-250, 250));
    EXPECT_FALSE(rangeB->isChecked());
    EXPECT_EQ(span(sliderA), std::pair(-3000, 3000));
    click("delayRange:", a);
    EXPECT_EQ(span(sliderA), std::pair(-250, 250));
    EXPECT_EQ(sliderA->value(), 40);
}

// A network speaker's latency moves, so its row says how old its alignment is; others do not.
TEST_F(MainViewTest, ANetworkSpeakersRowSaysWhenItWasLastMeasured) {
    rig.sim.addOutput(
        testsupport::speaker("study", {.name = "Study", .transport = transport::network}));
    ctl->tick();
    ctl->setInclude(rig.dev("study"), true);
    ASSERT_NO_FATAL_FAILURE(startAligned());
    EXPECT_TRUE(shown("measuredAt:", "study"));
    EXPECT_EQ(text("measuredAt:", "study"), "Not measured yet");
    EXPECT_FALSE(shown("measuredAt:", kitchen));
    EXPECT_TRUE(shown("transportSymbol:", "study"));
    EXPECT_FALSE(shown("transportSymbol:", kitchen));
    ctl->toggleAutoTune();
    ctl->toggleAutoTune();  // cancelled at once; its hand-over of offsets is played by hand
    ASSERT_NE(ctl->tuner(), nullptr);
    ctl->tuner()->applyOffsets({{"study", 120.0}});
    ASSERT_TRUE(main.runUntil([&] { return !ctl->tuning(); }, 30));
    settle();
    EXPECT_EQ(text("measuredAt:", "study"), "Measured just now");
    ctl->chooseMode(Mode::single);
    settle();
    EXPECT_FALSE(shown("measuredAt:", "study"));
}

// A speaker that leaves while aligned plays keeps a row that says so, until it is back or aligned
// ends.
TEST_F(MainViewTest, ASpeakerThatLeavesWhileAlignedPlaysKeepsARowThatSaysSoUntilItIsBack) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    const auto room = sim::defaultRoom();
    const auto porchOutput = std::find_if(room.outputs.begin(), room.outputs.end(),
                                          [&](const sim::OutputSpec& o) { return o.uid == porch; });
    ASSERT_NE(porchOutput, room.outputs.end());
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(rig.sim.removeDevice(porch));
        ctl->tick();
        settle();
        EXPECT_FALSE(shown("deviceRow:", porch));
        ASSERT_TRUE(shown("departedRow:", porch));
        const auto* row = find("departedRow:", porch);
        const auto labels = row->findChildren<QLabel*>();
        ASSERT_EQ(labels.size(), 2);
        EXPECT_EQ(labels[0]->text().toStdString(), porchOutput->name);
        EXPECT_TRUE(labels[1]->text().startsWith("Left"));
        if (round == 0) {
            rig.sim.addOutput(*porchOutput);
            ctl->tick();
            ASSERT_TRUE(main.runUntil([&] { return ctl->engine().targets().size() == 3; }, 20));
        } else {
            ctl->chooseMode(Mode::single);
        }
        settle();
        EXPECT_FALSE(shown("departedRow:", porch)) << round;
        EXPECT_EQ(shown("deviceRow:", porch), round == 0);
    }
}

// Keep in step: the switch is the controller's, usable only in Aligned; the listening bar and the
// group's rows' notes, with the clock that ages them, show exactly while the microphone is
// listened to.
TEST_F(MainViewTest, KeepInStepIsTheControllersSwitchForAlignedAndListeningShowsWhileItListens) {
    auto* box = find<QAbstractButton>("keepInStep");
    ASSERT_NE(box, nullptr);
    // The bar, then for each row "n" for its note shown and "c" for its clock running.
    const auto signs = [&] {
        std::string s = shown("listeningIndicator") ? "bar" : "";
        for (const auto& uid : {builtinSpeakers, kitchen, porch, tv})
            s += std::string("|") + (shown("syncNote:", uid) ? "n" : "") +
                 (find("deviceRow:", uid)->findChild<QTimer*>()->isActive() ? "c" : "");
        return s;
    };
    const std::string listening = "bar|nc|nc|nc|", silent = "||||";
    EXPECT_TRUE(!box->isEnabled() && box->toolTip().contains("Only in Aligned mode"));
    EXPECT_EQ(signs(), silent);

    ASSERT_NO_FATAL_FAILURE(startAligned());
    EXPECT_TRUE(box->isEnabled() && !box->toolTip().contains("Only in Aligned mode"));
    click("keepInStep");
    ASSERT_TRUE(ctl->keepInStep() && ctl->listening()) << ctl->status();
    EXPECT_EQ(signs(), listening);
    EXPECT_EQ(text("syncNote:", porch), "cannot tell yet");

    // The microphone goes: the notes are kept, but nothing says it listens any more.
    ASSERT_TRUE(rig.sim.removeDevice("sim-builtin-mic"));
    ctl->tick();
    settle();
    ASSERT_FALSE(ctl->listening() || ctl->syncNotes().empty());
    EXPECT_EQ(signs(), silent);
    // Out of Aligned the switch stays on for next time; turned off elsewhere, the box follows.
    click("mode:Single");
    EXPECT_TRUE(box->isChecked() && !box->isEnabled());
    ctl->setKeepInStep(false);
    settle();
    EXPECT_FALSE(box->isChecked());
}

// On the quiet fixture room without microphone access: the controller keeps Keep in step off, and
// the box shows its refusal each time it is pressed. A speaker whose link is not the one its offset
// was measured over says so in its row, in every mode; no other row does.
TEST(KeepInStepAndLinkNotes, TheBoxShowsARefusalAndALinkNoteShowsInItsRowInEveryMode) {
    sim::RoomSpec room = fixtureRoom();
    room.microphonePermission = sim::MicPermissionState::denied;
    Rig rig(room, quietWorld);
    Config settings = includeAll(room);
    settings.links = {{"kitchen", {{"a2dp-sink/aac", LinkRecord{.offsetMs = 40}}}}};
    rig.startWith(settings);
    MainView view(rig.ctl);
    const auto linkNote = [&](const char* uid) -> std::optional<QString> {
        const auto* l = view.findChild<QLabel*>(QString("linkNote:") + uid);
        return l && l->isVisibleTo(&view) ? std::optional(l->text()) : std::nullopt;
    };
    for (bool aligned : {false, true}) {
        SCOPED_TRACE(aligned);
        if (aligned) {
            ASSERT_TRUE(rig.startAligned()) << rig.ctl->status();
        }
        settle(rig);
        EXPECT_EQ(linkNote("kitchen"), q(rig.ctl->linkNotes().at("kitchen")));
        EXPECT_EQ(linkNote("desk"), std::nullopt);
    }
    auto* box = view.findChild<QAbstractButton*>("keepInStep");
    ASSERT_TRUE(box && box->isEnabled());
    for (int press = 0; press < 2; ++press) {  // the second changes nothing in the controller
        box->click();
        settle(rig);
        EXPECT_FALSE(rig.ctl->keepInStep() || box->isChecked()) << press;
    }
}

// What a row says of each thing listening can find: never better than a millisecond, no age before
// the first measurement, a correction by what it corrected.
TEST(SyncNoteText, SaysEachStateItsMillisecondsAndHowLongAgo) {
    const std::int64_t now = 1'800'000'000;
    using S = SyncNote::State;
    for (const auto& [note, said] : std::vector<std::pair<SyncNote, QString>>{
             {{.state = S::inStep, .errorMs = -2.6, .measuredAt = now - 150},
              "in step \u00b13 ms, 2 min ago"},
             {{.state = S::inStep, .errorMs = 0.2}, "in step \u00b11 ms"},
             {{.state = S::moved, .errorMs = 5, .corrected = true, .correctedMs = -12.6},
              "moved \u221213 ms \u2014 corrected"},
             {{.state = S::moved, .errorMs = 9, .correctedMs = -38}, "moved +9 ms"},
             {{.state = S::moved, .errorMs = -0.4}, "moved 0 ms"},
             {{.state = S::checking}, "checking\u2026"},
             {{.state = S::cannotTell, .errorMs = 7}, "cannot tell yet"}})
        EXPECT_EQ(syncNoteText(note, now), said)
            << int(note.state) << " " << note.errorMs << " " << note.correctedMs;
}

TEST(MeasuredAgo, SaysTheAgeInTheLargestWholeUnit) {
    const std::int64_t now = 1'800'000'000;
    EXPECT_EQ(measuredAgoText(std::nullopt, now), "Not measured yet");
    for (const auto& [age, said] : std::vector<std::pair<std::int64_t, QString>>{
             {-30, "Measured just now"},  // a clock set back
             {0, "Measured just now"},
             {59, "Measured just now"},
             {60, "Measured 1 min ago"},
             {20 * 60 + 59, "Measured 20 min ago"},
             {3599, "Measured 59 min ago"},
             {3600, "Measured 1 h ago"},
             {86399, "Measured 23 h ago"},
             {86400, "Measured 1 day ago"},
             {3 * 86400 + 5, "Measured 3 days ago"}})
        EXPECT_EQ(measuredAgoText(now - age, now), said) << age;
}

// ---- At the launch size, every speaker included ---------------------------------------------

class LaunchSizeTest : public MainViewTest {
  protected:
    LaunchSizeTest() {
        for (const Dev& d : ctl->devices())
            ctl->setInclude(d, true);
        // The free area of a 1366 x 768 screen under a 28-pixel panel.
        view->resize(launchSize(QRect(0, 28, 1366, 740)));
        settle();
    }

    // Rows the list shows whole, without scrolling.
    int wholeRows() const {
        const auto* list = find<QScrollArea>("deviceList");
        int n = 0;
        for (const Dev& d : ctl->devices()) {
            const QWidget* row = find("deviceRow:", d.uid);
            n += list->viewport()->rect().contains(
                QRect(row->mapTo(list->viewport(), QPoint()), row->size()));
        }
        return n;
    }

    // Labels, buttons and pickers narrower than they ask to be, and pickers whose text field is
    // narrower than their text: their text is cut.
    std::vector<std::string> cutControls() const {
        std::vector<std::string> cut;
        for (QWidget* w : view->findChildren<QWidget*>()) {
            const auto* label = qobject_cast<QLabel*>(w);
            bool isCut = false;
            if (auto* box = qobject_cast<QComboBox*>(w)) {
                QStyleOptionComboBox opt;
                opt.initFrom(box);
                isCut = box->style()
                            ->subControlRect(QStyle::CC_ComboBox, &opt,
                                             QStyle::SC_ComboBoxEditField, box)
                            .width() < box->fontMetrics().horizontalAdvance(box->currentText());
            } else if ((label && !label->wordWrap()) || qobject_cast<QAbstractButton*>(w)) {
                isCut = w->width() < w->sizeHint().width();
            }
            if (isCut && w->isVisible())
                cut.push_back(w->objectName().toStdString() + " " +
                              w->property("text").toString().toStdString());
        }
        return cut;
    }
};

TEST_F(LaunchSizeTest, FiveAlignedSpeakersShowWholeNothingIsCutAndTheWindowNeverJumps) {
    EXPECT_EQ(launchSize(QRect(0, 0, 1024, 600)), QSize(600, 560));
    ASSERT_NO_FATAL_FAILURE(startAligned());
    EXPECT_GE(wholeRows(), 5);
    EXPECT_GE(find("heroArtwork")->height(), 40);
    EXPECT_EQ(cutControls(), std::vector<std::string>{});

    const QSize before = view->size();
    ctl->toggleClickTest();
    settle();
    EXPECT_EQ(find<QAbstractButton>("clickTest")->text(), "Stop click test");
    EXPECT_EQ(cutControls(), std::vector<std::string>{});
    ctl->toggleClickTest();
    click("alignByEar");
    ASSERT_TRUE(shown("guidedPanel"));
    EXPECT_EQ(cutControls(), std::vector<std::string>{});
    EXPECT_EQ(view->size(), before);

    // Long help tips wrap to a readable width rather than running across the screen.
    int tips = 0;
    for (QWidget* w : view->findChildren<QWidget*>()) {
        if (w->toolTip().size() < 100 || !w->isVisible()) continue;
        QToolTip::showText(w->mapToGlobal(QPoint()), w->toolTip(), w);
        for (const QWidget* top : QApplication::topLevelWidgets()) {
            if (top->objectName() == "qtooltip_label" && top->isVisible() && ++tips) {
                EXPECT_LE(top->width(), top->screen()->geometry().width() / 3);
            }
        }
        QToolTip::hideText();
    }
    EXPECT_GE(tips, 5);
}

TEST_F(LaunchSizeTest, TabVisitsTheControlsInReadingOrder) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    view->resize(600, 1100);  // no row below the list's edge: positions are the reading order
    settle();
    std::vector<QWidget*> chain;
    QWidget* w = view.get();
    while ((w = w->nextInFocusChain()) != view.get())
        if (view->isAncestorOf(w) && w->isVisible() && w->isEnabled() &&
            (w->focusPolicy() & Qt::TabFocus))
            chain.push_back(w);
    ASSERT_GT(chain.size(), 20u);
    const auto at = [&](const QWidget* x) {
        return QRect(x->mapTo(view.get(), QPoint()), x->size());
    };
    for (std::size_t i = 1; i < chain.size(); ++i) {
        const QRect a = at(chain[i - 1]), b = at(chain[i]);
        const bool sameLine = b.top() < a.bottom() && a.top() < b.bottom();
        EXPECT_TRUE(sameLine ? b.left() > a.left() : b.center().y() > a.center().y())
            << chain[i - 1]->objectName().toStdString() << " then "
            << chain[i]->objectName().toStdString();
    }
}

TEST_F(LaunchSizeTest, TheWheelPassesUnfocusedSlidersAndPickersByAndMovesOnlyAFocusedOne) {
    ASSERT_NO_FATAL_FAILURE(startAligned());
    auto* delay = find<QSlider>("delaySlider:", porch);
    auto* volume = find<QSlider>("volumeSlider:", porch);
    auto* mic = find<QComboBox>("micPicker");
    ASSERT_TRUE(delay && volume && delay->isVisible());
    // Whether the control took a notch; one it leaves unaccepted goes on to the list.
    const auto turn = [](QWidget* w) {
        QWheelEvent notch(QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(w, &notch);
        return notch.isAccepted();
    };
    const auto offsets = ctl->offsets();
    const auto volumes = ctl->volumes();
    for (QWidget* w : std::initializer_list<QWidget*>{delay, volume, mic})
        EXPECT_FALSE(turn(w)) << w->objectName().toStdString();
    settle();
    EXPECT_TRUE(ctl->offsets() == offsets && ctl->volumes() == volumes);
    EXPECT_EQ(mic->currentIndex(), 0);

    volume->setFocus();
    const int was = volume->value();
    EXPECT_TRUE(turn(volume));
    EXPECT_NE(volume->value(), was);
}

}  // namespace
}  // namespace housetone::ui
