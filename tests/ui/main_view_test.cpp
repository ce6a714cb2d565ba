// The main window's content over a real controller on the simulated default room: which lines
// and controls each mode shows and enables, and what the per-speaker controls do to the
// controller's state.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QToolButton>
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "qt_application.h"

#include "audio/device_access.h"
#include "audio/sim/room.h"
#include "audio/sim/sim_audio_system.h"
#include "controller/controller.h"
#include "core/settings_store.h"
#include "platform/manual_main_queue.h"
#include "ui/main_view.h"

namespace housetone::ui {
namespace {

// Default room speakers the cases lean on.
const std::string builtinSpeakers = "sim-builtin-speakers";
const std::string kitchen = "sim-kitchen-speaker";
const std::string porch = "sim-porch-speaker";
const std::string tv = "sim-living-room-tv";            // HDMI, no volume control
const std::string deskMonitors = "sim-desk-monitors";   // no mute flag
const std::string headsetMic = "sim-wireless-headset";  // a Bluetooth microphone

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

class MainViewTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ensureApplication(); }

    MainViewTest() : sim(sim::defaultRoom(), {.speed = 40}), store(dir.path().toStdString()) {
        ctl = Controller::create(
            Services{sim, main, store, sim.player(), sim.micPermission(), nullptr});
        view = std::make_unique<MainView>(ctl);
        view->resize(560, 480);
        view->show();
        settle();
    }

    ~MainViewTest() override {
        view.reset();
        ctl->shutdown();
        ctl.reset();
        main.runPending();
    }

    // Lets the controller's queued work and the view's coalesced refresh run.
    void settle() {
        for (int i = 0; i < 4; ++i) {
            main.runPending();
            QCoreApplication::processEvents();
        }
    }

    Dev dev(const std::string& uid) const {
        for (const Dev& d : ctl->devices())
            if (d.uid == uid) return d;
        ADD_FAILURE() << "no listed device " << uid;
        return {};
    }

    void include(const std::vector<std::string>& uids) {
        for (const auto& uid : uids)
            ctl->setInclude(dev(uid), true);
        settle();
    }

    void startAligned() {
        bool done = false;
        bool ok = false;
        ctl->setAlignedStartCompleted([&](bool result) {
            done = true;
            ok = result;
        });
        ctl->chooseMode(Mode::aligned);
        ASSERT_TRUE(main.runUntil([&] { return done; }, 30)) << "aligned start never finished";
        ASSERT_TRUE(ok) << ctl->status();
        settle();
    }

    template <typename T = QWidget>
    T* find(const QString& name) const {
        return view->findChild<T*>(name);
    }
    template <typename T = QWidget>
    T* find(const QString& prefix, const std::string& uid) const {
        return view->findChild<T*>(prefix + q(uid));
    }
    bool shown(const QWidget* w) const { return w && w->isVisibleTo(view.get()); }
    bool shown(const QString& name) const { return shown(find(name)); }
    bool shown(const QString& prefix, const std::string& uid) const {
        return shown(find(prefix, uid));
    }
    bool enabled(const QString& name) const {
        const QWidget* w = find(name);
        EXPECT_NE(w, nullptr) << name.toStdString();
        return w && w->isEnabled();
    }
    QString text(const QString& name) const {
        const auto* l = find<QLabel>(name);
        return l ? l->text() : QString("<missing>");
    }
    void click(const QString& name) {
        auto* b = find<QAbstractButton>(name);
        ASSERT_NE(b, nullptr) << name.toStdString();
        b->click();
        settle();
    }
    double offset(const std::string& uid) const {
        const auto it = ctl->offsets().find(uid);
        return it == ctl->offsets().end() ? 0.0 : it->second;
    }
    // Two included speakers other than the reference, in list order.
    std::vector<std::string> nonReference() const {
        const auto ref = ctl->referenceSpeaker();
        std::vector<std::string> out;
        for (const Dev& d : ctl->includedDevices())
            if (!ref || d.uid != ref->uid) out.push_back(d.uid);
        return out;
    }

    QTemporaryDir dir;
    sim::SimAudioSystem sim;
    ManualMainQueue main;
    SettingsStore store;
    std::shared_ptr<Controller> ctl;
    std::unique_ptr<MainView> view;
};

const QString zoomText =
    "Zoom warning: several live speakers + the mic = echo for your students. Switch to Single "
    "before lessons.";

TEST_F(MainViewTest, SingleAndTogetherShowNoDelayOrToneLinesAndDisableTheAlignedTools) {
    ASSERT_FALSE(ctl->devices().empty());
    include({builtinSpeakers, kitchen, porch});
    for (Mode m : {Mode::single, Mode::together}) {
        SCOPED_TRACE(rawValue(m));
        if (m != ctl->mode()) click("mode:" + q(rawValue(m)));
        ASSERT_EQ(ctl->mode(), m);
        EXPECT_TRUE(find<QAbstractButton>("mode:" + q(rawValue(m)))->isChecked());

        for (const Dev& d : ctl->devices()) {
            SCOPED_TRACE(d.uid);
            EXPECT_TRUE(shown("deviceRow:", d.uid));
            EXPECT_FALSE(shown("delayLine:", d.uid));
            EXPECT_FALSE(shown("toneLine:", d.uid));
            EXPECT_FALSE(shown("referenceBadge:", d.uid));
        }
        EXPECT_FALSE(enabled("bassToggle"));
        EXPECT_FALSE(enabled("boostPicker"));
        EXPECT_FALSE(enabled("alignByEar"));
        EXPECT_TRUE(enabled("clickTest"));
        EXPECT_TRUE(enabled("autoTune"));
        EXPECT_FALSE(shown("shiftAllRow"));
        EXPECT_FALSE(shown("guidedPanel"));
        EXPECT_FALSE(shown("referenceNote"));
        EXPECT_TRUE(shown("zoomNote"));
        EXPECT_EQ(text("zoomNote"), zoomText);
    }
}

TEST_F(MainViewTest, RowsFollowEachDevicesVolumeAndMuteCapabilities) {
    // The television takes its volume from its own remote.
    EXPECT_FALSE(shown("volumeLine:", tv));
    EXPECT_TRUE(shown("noVolume:", tv));
    EXPECT_EQ(text("noVolume:" + q(tv)),
              "no volume control on this connection (hdmi) \u2014 use the device's own controls");
    EXPECT_TRUE(shown("mute:", tv));

    EXPECT_TRUE(shown("volumeLine:", deskMonitors));
    EXPECT_FALSE(shown("noVolume:", deskMonitors));
    EXPECT_FALSE(shown("mute:", deskMonitors));

    // The first press mutes (a speaker with no reading counts as playing), the second unmutes;
    // the device itself follows.
    auto* mute = find<QToolButton>("mute:", tv);
    ASSERT_NE(mute, nullptr);
    const bool before = ctl->muted().count(tv) ? ctl->muted().at(tv) : false;
    EXPECT_EQ(mute->toolTip(), before ? "Unmute" : "Mute");
    click("mute:" + q(tv));
    EXPECT_EQ(ctl->muted().at(tv), !before);
    EXPECT_EQ(readMute(sim, dev(tv).id), !before);
    EXPECT_EQ(mute->toolTip(), !before ? "Unmute" : "Mute");

    // The volume slider's position goes to the device as a fraction.
    auto* volume = find<QSlider>("volumeSlider:", kitchen);
    ASSERT_NE(volume, nullptr);
    volume->setValue(volume->minimum() + (volume->maximum() - volume->minimum()) * 3 / 10);
    settle();
    EXPECT_NEAR(ctl->volumes().at(kitchen), 0.3f, 1e-4);
    EXPECT_NEAR(readVolume(sim, dev(kitchen).id).value_or(-1), 0.3f, 1e-4);
    EXPECT_EQ(text("volumeValue:" + q(kitchen)), "30%");

    // Ticking a speaker's box puts it in the group.
    auto* box = find<QCheckBox>("include:", porch);
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isChecked());
    click("include:" + q(porch));
    EXPECT_TRUE(ctl->include().at(porch));
    EXPECT_TRUE(box->isChecked());
}

TEST_F(MainViewTest, TheHeaderMenuButtonAppearsOnlyWhenAFallbackMenuIsGiven) {
    auto* button = find<QToolButton>("menuButton");
    ASSERT_NE(button, nullptr);
    EXPECT_FALSE(shown(button));
    QMenu menu;
    view->setMenuFallback(&menu);
    EXPECT_TRUE(shown(button));
    EXPECT_EQ(button->menu(), &menu);
}

TEST_F(MainViewTest, MicPickerOffersTheBuiltInChoiceFirstAndStoresTheChosenInput) {
    auto* mic = find<QComboBox>("micPicker");
    ASSERT_NE(mic, nullptr);
    ASSERT_EQ(mic->count(), int(ctl->inputs().size()) + 1);
    EXPECT_EQ(mic->itemText(0), "Built-in (recommended)");
    EXPECT_EQ(mic->currentIndex(), 0);

    const int headset = mic->findData(q(headsetMic));
    ASSERT_GT(headset, 0);
    mic->setCurrentIndex(headset);
    emit mic->activated(headset);
    settle();
    EXPECT_EQ(ctl->micUID(), headsetMic);
    EXPECT_EQ(mic->currentIndex(), headset);

    mic->setCurrentIndex(0);
    emit mic->activated(0);
    settle();
    EXPECT_EQ(ctl->micUID(), std::nullopt);
}

TEST_F(MainViewTest, WhileATuneRunsTheButtonCancelsItAndTheMicAndClickTestAreLocked) {
    include({builtinSpeakers, kitchen, porch});
    click("autoTune");
    ASSERT_TRUE(ctl->tuning()) << ctl->status();
    auto* autoTune = find<QPushButton>("autoTune");
    EXPECT_EQ(autoTune->text(), "Cancel auto-tune");
    EXPECT_FALSE(enabled("micPicker"));
    EXPECT_FALSE(enabled("clickTest"));
    EXPECT_FALSE(enabled("alignByEar"));

    click("autoTune");
    ASSERT_TRUE(main.runUntil([&] { return !ctl->tuning(); }, 30));
    settle();
    EXPECT_EQ(autoTune->text(), "Auto-tune");
    EXPECT_TRUE(enabled("micPicker"));
    EXPECT_TRUE(enabled("clickTest"));
}

TEST_F(MainViewTest, AlignedShowsDelayLinesExceptOnTheReferenceAndToneLinesOnEveryIncluded) {
    include({builtinSpeakers, kitchen, porch});
    ASSERT_NO_FATAL_FAILURE(startAligned());
    const auto ref = ctl->referenceSpeaker();
    ASSERT_TRUE(ref.has_value());

    for (const Dev& d : ctl->devices()) {
        SCOPED_TRACE(d.uid);
        const bool included = ctl->include().count(d.uid) && ctl->include().at(d.uid);
        const bool isRef = d.uid == ref->uid;
        EXPECT_EQ(shown("delayLine:", d.uid), included && !isRef);
        EXPECT_EQ(shown("toneLine:", d.uid), included);
        EXPECT_EQ(shown("referenceBadge:", d.uid), isRef);
        if (included) {
            EXPECT_EQ(text("toneCaption:" + q(d.uid)), "Crisp");
        }
    }
    EXPECT_EQ(text("referenceBadge:" + q(ref->uid)), "REFERENCE");

    EXPECT_TRUE(enabled("bassToggle"));
    EXPECT_TRUE(enabled("boostPicker"));
    EXPECT_TRUE(enabled("alignByEar"));
    EXPECT_TRUE(shown("shiftAllRow"));
    EXPECT_FALSE(shown("guidedPanel"));
    const QString name = q(ref->name);
    EXPECT_EQ(text("referenceNote"),
              "Alignment reference: " + name +
                  ". The other speakers are DELAYED to meet it, so the whole system has " + name +
                  "'s natural latency (Bluetooth \u2248 150\u2013300 ms \u2014 you'll notice it "
                  "on video). Nothing is added on top.");
    EXPECT_TRUE(shown("zoomNote"));

    // A measured reference names its own latency instead.
    Config saved = store.load();
    saved.measured[ref->uid] = 182.4;
    store.save(saved);
    ctl->setBassBoost(false);  // any published change brings a refresh
    ctl->setBassBoost(true);
    settle();
    EXPECT_TRUE(text("referenceNote").contains("(measured 182 ms \u2014"));

    // The sound options act on the controller.
    click("boost:10");
    EXPECT_EQ(ctl->volBoostPct(), 10);
    EXPECT_TRUE(find<QAbstractButton>("boost:10")->isChecked());
    auto* bass = find<QCheckBox>("bassToggle");
    EXPECT_TRUE(bass->isChecked());
    click("bassToggle");
    EXPECT_FALSE(ctl->bassBoost());

    // Shift-all moves every included speaker except the reference.
    const auto others = nonReference();
    ASSERT_EQ(others.size(), 2u);
    const double refBefore = offset(ref->uid);
    click("shiftAll:25");
    for (const auto& uid : others)
        EXPECT_DOUBLE_EQ(offset(uid), 25) << uid;
    EXPECT_DOUBLE_EQ(offset(ref->uid), refBefore);
    EXPECT_EQ(text("delayValue:" + q(others[0])), "25 ms");
}

TEST_F(MainViewTest, GuidedWalkShowsItsPanelHidesShiftAllAndDisablesTheClickTools) {
    include({builtinSpeakers, kitchen, porch});
    ASSERT_NO_FATAL_FAILURE(startAligned());
    const auto ref = ctl->referenceSpeaker();
    ASSERT_TRUE(ref.has_value());

    click("alignByEar");
    ASSERT_TRUE(ctl->guidedIndex().has_value()) << ctl->status();
    const auto current = ctl->currentGuidedTarget();
    ASSERT_TRUE(current.has_value());

    EXPECT_TRUE(shown("guidedPanel"));
    EXPECT_FALSE(shown("shiftAllRow"));
    EXPECT_FALSE(enabled("alignByEar"));
    EXPECT_FALSE(enabled("clickTest"));
    EXPECT_EQ(text("guidedTitle"), "Step 1 of 2 \u2014 " + q(current->name));
    EXPECT_EQ(text("guidedCaption"), "Only " + q(ref->name) + " and " + q(current->name) +
                                         " are playing. Adjust until the two clicks fuse into "
                                         "ONE.");

    const double before = offset(current->uid);
    click("guidedNudge:5");
    EXPECT_DOUBLE_EQ(offset(current->uid), std::min(before + 5, 250.0));
    EXPECT_EQ(text("guidedDelay"),
              QString::number(static_cast<long long>(offset(current->uid))) + " ms");

    click("guidedSkip");
    EXPECT_EQ(ctl->guidedIndex(), 1);
    EXPECT_TRUE(text("guidedTitle").startsWith("Step 2 of 2 \u2014 "));

    click("guidedStop");
    EXPECT_FALSE(ctl->guidedIndex().has_value());
    EXPECT_FALSE(shown("guidedPanel"));
    EXPECT_TRUE(shown("shiftAllRow"));
    EXPECT_TRUE(enabled("alignByEar"));
    EXPECT_TRUE(enabled("clickTest"));
    EXPECT_EQ(text("statusLine"), "Guided align stopped.");
}

TEST_F(MainViewTest, DelayControlsRebaseNegativeOffsets) {
    include({builtinSpeakers, kitchen, porch});
    ASSERT_NO_FATAL_FAILURE(startAligned());
    const auto others = nonReference();
    ASSERT_EQ(others.size(), 2u);
    const std::string a = others[0];
    const std::string b = others[1];
    ctl->setOffset(dev(a), 2);
    ctl->setOffset(dev(b), 10);
    ctl->rebaseOffsets();
    settle();

    // The stepper goes from 2 to -3 and re-bases at once: this speaker ends at 0, every other
    // speaker moves 3 ms later.
    const auto before = ctl->offsets();
    click("delayStepDown:" + q(a));
    EXPECT_DOUBLE_EQ(offset(a), 0);
    for (const auto& [uid, ms] : before)
        if (uid != a) {
            EXPECT_DOUBLE_EQ(offset(uid), ms + 3) << uid;
        }
    EXPECT_EQ(text("delayValue:" + q(a)), "0 ms");

    // A drag below 0 is kept and heard as 0 until the user lets go; a refresh meanwhile leaves
    // the slider under the pointer alone.
    auto* slider = find<QSlider>("delaySlider:", a);
    ASSERT_NE(slider, nullptr);
    const auto beforeDrag = ctl->offsets();
    slider->setSliderDown(true);
    slider->setValue(-20);
    ctl->setVolBoostPct(20);
    settle();
    EXPECT_EQ(find<QSlider>("delaySlider:", a), slider);
    EXPECT_TRUE(slider->isSliderDown());
    EXPECT_EQ(slider->value(), -20);
    EXPECT_DOUBLE_EQ(offset(a), -20);
    EXPECT_DOUBLE_EQ(offset(b), beforeDrag.at(b));
    EXPECT_EQ(text("delayValue:" + q(a)), "-20 ms");
    const auto targets = ctl->engine().targets();
    ASSERT_TRUE(
        std::any_of(targets.begin(), targets.end(), [&](const Dev& t) { return t.uid == a; }));
    for (std::size_t i = 0; i < targets.size(); ++i)
        if (targets[i].uid == a) {
            EXPECT_EQ(ctl->engine().delayFrames(int(i)), 0);
        }

    slider->setSliderDown(false);
    settle();
    EXPECT_DOUBLE_EQ(offset(a), 0);
    EXPECT_DOUBLE_EQ(offset(b), beforeDrag.at(b) + 20);
    EXPECT_EQ(slider->value(), 0);
}

}  // namespace
}  // namespace housetone::ui
