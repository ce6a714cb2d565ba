#pragma once

#include <QWidget>
#include <cstdint>
#include <optional>

#include "core/dev.h"
#include "core/mode.h"

class QCheckBox;
class QLabel;
class QSlider;
class QTimer;
class QToolButton;

namespace housetone {
class Controller;
struct SyncNote;
}  // namespace housetone

namespace housetone::ui {

namespace style {
class SymbolLabel;
}

// What every row of one refresh shares; read from the controller once per refresh, since the
// reference speaker comes from the settings file.
struct RowContext {
    Mode mode = Mode::single;
    std::optional<Dev> reference;
    // Some speaker of the group is set beyond fineDelayRangeMs: every delay slider spans the whole
    // limit, so that they all share one scale.
    bool longDelays = false;
    // Keep in step is listening: the rows say what it last found about their speakers.
    bool listening = false;
};

// The delay slider's span either way, ms, until a speaker needs more or the user asks for it:
// wired and Bluetooth speakers sit well within it, and a pixel stays about a millisecond.
inline constexpr double fineDelayRangeMs = 250;

// How long before `now` the moment `at` was, in the largest whole unit: "just now", "20 min ago",
// "3 h ago", "2 days ago". Both are seconds since the epoch; a time after `now` (a clock set back)
// counts as just now.
QString agoText(std::int64_t at, std::int64_t now);

// How long ago a speaker's offset was last measured, for its row: "Not measured yet", "Measured
// just now", "Measured 20 min ago", and so on (agoText).
QString measuredAgoText(std::optional<std::int64_t> at, std::int64_t now);

// What listening last found about a speaker, for its row: "in step ±3 ms, 2 min ago",
// "moved +38 ms — corrected", "checking…" or "cannot tell yet". `now` as for agoText.
QString syncNoteText(const SyncNote& note, std::int64_t now);

// The connection as a person reads it ("Bluetooth", "USB", "HDMI"); the stored label stays the
// lower-case one the logs and settings use.
QString transportName(std::uint32_t transport);

// One speaker of the main window's device list: inclusion, name, transport, the REFERENCE badge,
// mute, volume, the auto-tune phase, the delay line (aligned, included, not the reference) and
// the tone line (aligned, included); for a network speaker in the aligned group, when it was last
// measured (its latency moves); while Keep in step listens, what it found about the speaker; and
// in any mode, what changed about the speaker's link since its offset was measured. Every action
// goes straight to the controller; the row keeps nothing but its widgets, the offset its tune note
// was written for and whether the user asked for the long delay range. Child object names end in
// ":<uid>" so scripts can find them. A long name is shortened, never the controls pushed away.
class DeviceRow final : public QWidget {
  public:
    DeviceRow(Controller& c, const Dev& d, QWidget* parent = nullptr);

    const Dev& device() const { return d_; }
    // The same speaker may come back with a new device id after a reconnect.
    void setDevice(const Dev& d) { d_ = d; }

    // Brings every line up to date with the controller. A slider the user is dragging keeps its
    // position: the controller already holds what it shows.
    void refresh(const RowContext& ctx);

    bool isReference(const RowContext& ctx) const;

  private:
    QWidget* buildHeader();
    QWidget* buildVolumeLine();
    QWidget* buildDelayLine();
    QWidget* buildToneLine();
    void nudgeDelay(double deltaMs);
    // The slider's span follows the group's need and the user's wish.
    void refreshDelayRange(const RowContext& ctx, double delayMs);
    // The "Measured … ago" and Keep in step captions, and the clock that ages them.
    void showAges(bool measured, bool syncNote);
    // The tone line's caption (a measured correction or the generic lift) and value.
    void refreshTone(bool measured);
    void refreshAges();
    // Colors come from the palette, which the appearance can swap at any time.
    void applyColors();
    // Names every control after the speaker, for screen readers.
    void nameControls();

    Controller& c_;
    Dev d_;
    bool refreshing_ = false;  // values written by refresh() are not user input

    QCheckBox* include_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* transport_ = nullptr;
    QLabel* badge_ = nullptr;
    QToolButton* mute_ = nullptr;

    QWidget* volumeLine_ = nullptr;
    QSlider* volume_ = nullptr;
    QLabel* volumeValue_ = nullptr;
    QLabel* noVolume_ = nullptr;

    QLabel* phase_ = nullptr;
    // The tune's note about this speaker and the offset it held when the note came: the note
    // speaks of that offset, so once the offset moves by any other means it is stale.
    QString phaseText_;
    std::optional<double> phaseOffset_;

    QWidget* delayLine_ = nullptr;
    QSlider* delay_ = nullptr;
    QToolButton* delayDown_ = nullptr;
    QToolButton* delayUp_ = nullptr;
    QLabel* delayValue_ = nullptr;
    QToolButton* delayRange_ = nullptr;
    bool longWanted_ = false;  // the user asked for the long range
    RowContext ctx_;           // of the last refresh, for a change of range between refreshes

    QLabel* measured_ = nullptr;
    QLabel* syncNote_ = nullptr;       // what Keep in step found, while it listens
    QLabel* linkNote_ = nullptr;       // the link changed since the offset was measured
    QTimer* measuredClock_ = nullptr;  // "20 min ago" ages without any change to the model

    QWidget* toneLine_ = nullptr;
    QLabel* toneCaption_ = nullptr;
    QSlider* crisp_ = nullptr;
    QLabel* crispValue_ = nullptr;
};

}  // namespace housetone::ui
