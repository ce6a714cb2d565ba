#include "ui/device_row.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "controller/controller.h"
#include "ui/symbols.h"
#include "ui/view_style.h"

namespace housetone::ui {

namespace {

constexpr int percentWidth = 38;  // "100%"
constexpr double stepperMs = 5;
// Slider steps within the fine range and beyond it: a page is a few pixels of either span.
constexpr int finePageMs = 10;
constexpr int longPageMs = 100;
constexpr int measuredRefreshMs = 30'000;
// Slider positions per unit of volume: finer than whole percent, so a drag feels continuous.
constexpr int volumeSteps = 1000;
constexpr int crispSteps = 100;

template <typename Map, typename V>
V valueOr(const Map& m, const std::string& key, V fallback) {
    const auto it = m.find(key);
    return it == m.end() ? fallback : it->second;
}

// "+38 ms", "\u221212 ms", "0 ms": whole milliseconds, the sign shown.
QString signedMs(double ms) {
    const long long whole = std::llround(std::fabs(ms));
    const QString sign = whole == 0 ? QString()
                         : ms < 0   ? QStringLiteral("\u2212")
                                    : QStringLiteral("+");
    return sign + QString::number(whole) + QStringLiteral(" ms");
}

QString percentText(double fraction) {
    return QString::number(static_cast<long long>(std::trunc(fraction * 100))) + QChar('%');
}

QHBoxLayout* lineLayout(QWidget* line) {
    auto* h = new QHBoxLayout(line);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(6);
    return h;
}

QLabel* valueLabel(int width, QWidget* parent) {
    auto* l = new QLabel(parent);
    l->setFont(style::monospacedDigits(style::caption()));
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setFixedWidth(width);
    return l;
}

// Wide enough for the widest offset there is, in the label's own font, so no value is ever cut.
QLabel* millisecondLabel(QWidget* parent) {
    QLabel* l = valueLabel(0, parent);
    const QString widest = QString::number(-static_cast<long long>(offsetLimitMs)) + " ms";
    l->setFixedWidth(l->fontMetrics().horizontalAdvance(widest) + 2 * l->margin() + 2);
    return l;
}

// The speaker's name on one line, shortened at the end when the row is narrower than the name, so
// that a long name never pushes the row's controls out of the window. The whole name is its tool
// tip.
class ElidedLabel final : public QLabel {
  public:
    explicit ElidedLabel(QWidget* parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }

    void setFullText(const QString& text) {
        if (text == full_) return;
        full_ = text;
        setToolTip(text);
        updateGeometry();
        elide();
    }

    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(full_) + 2 * margin() + 1,
                QLabel::sizeHint().height()};
    }
    QSize minimumSizeHint() const override {
        // A few letters and the ellipsis stay, enough to tell speakers apart.
        return {fontMetrics().horizontalAdvance(QStringLiteral("Wwww\u2026")),
                QLabel::minimumSizeHint().height()};
    }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        elide();
    }

  private:
    void elide() {
        const QString shown =
            fontMetrics().elidedText(full_, Qt::ElideRight, contentsRect().width() - 2 * margin());
        if (shown != text()) setText(shown);
    }

    QString full_;
};

// Blocks the row's own handlers while refresh() writes values into its widgets.
class Refreshing {
  public:
    explicit Refreshing(bool& flag) : flag_(flag) { flag_ = true; }
    ~Refreshing() { flag_ = false; }
    Refreshing(const Refreshing&) = delete;
    Refreshing& operator=(const Refreshing&) = delete;

  private:
    bool& flag_;
};

}  // namespace

QString agoText(std::int64_t at, std::int64_t now) {
    const std::int64_t age = now - at;
    const auto ago = [](std::int64_t n, const char* unit, const char* units) {
        return QStringLiteral("%1 %2 ago").arg(n).arg(QString::fromLatin1(n == 1 ? unit : units));
    };
    if (age < 60) return QStringLiteral("just now");
    if (age < 3600) return ago(age / 60, "min", "min");
    if (age < 86400) return ago(age / 3600, "h", "h");
    return ago(age / 86400, "day", "days");
}

QString measuredAgoText(std::optional<std::int64_t> at, std::int64_t now) {
    if (!at) return QStringLiteral("Not measured yet");
    return QStringLiteral("Measured ") + agoText(*at, now);
}

QString syncNoteText(const SyncNote& note, std::int64_t now) {
    switch (note.state) {
        case SyncNote::State::inStep: {
            // Listening cannot promise better than a millisecond: "±0" would claim it.
            const long long within = std::max(1LL, std::llround(std::fabs(note.errorMs)));
            QString text = QStringLiteral("in step \u00b1%1 ms").arg(within);
            if (note.measuredAt != 0) text += QStringLiteral(", ") + agoText(note.measuredAt, now);
            return text;
        }
        case SyncNote::State::moved: {
            const QString moved = QStringLiteral("moved ") +
                                  signedMs(note.corrected ? note.correctedMs : note.errorMs);
            return note.corrected ? moved + QStringLiteral(" \u2014 corrected") : moved;
        }
        case SyncNote::State::checking:
            return QStringLiteral("checking\u2026");
        case SyncNote::State::cannotTell:
            break;
    }
    return QStringLiteral("cannot tell yet");
}

QString transportName(std::uint32_t t) {
    switch (t) {
        case transport::builtIn:
            return QStringLiteral("Built-in");
        case transport::bluetooth:
        case transport::bluetoothLE:
            return QStringLiteral("Bluetooth");
        case transport::displayPort:
            return QStringLiteral("DisplayPort");
        case transport::hdmi:
            return QStringLiteral("HDMI");
        case transport::usb:
            return QStringLiteral("USB");
        case transport::virtualDevice:
            return QStringLiteral("Virtual");
        case transport::network:
            return QStringLiteral("Network");
        case transport::aggregate:
            return QStringLiteral("Group");
        default:
            return QStringLiteral("Other");
    }
}

DeviceRow::DeviceRow(Controller& c, const Dev& d, QWidget* parent) : QWidget(parent), c_(c), d_(d) {
    const QString uid = QString::fromStdString(d.uid);
    setObjectName(QStringLiteral("deviceRow:") + uid);

    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 2, 0, 2);
    v->setSpacing(2);
    v->addWidget(buildHeader());
    v->addWidget(buildVolumeLine());

    noVolume_ = style::wrappingLabel({}, style::caption(), this);
    noVolume_->setObjectName(QStringLiteral("noVolume:") + uid);
    v->addWidget(noVolume_);

    phase_ = style::wrappingLabel({}, style::caption(), this);
    phase_->setObjectName(QStringLiteral("tunePhase:") + uid);
    v->addWidget(phase_);

    measured_ = new QLabel(this);
    measured_->setObjectName(QStringLiteral("measuredAt:") + uid);
    measured_->setFont(style::caption());
    measured_->setToolTip(QStringLiteral(
        "When Auto-tune last measured this speaker. A network speaker's delay drifts: tune "
        "again when it sounds out of step."));
    measured_->hide();
    v->addWidget(measured_);
    measuredClock_ = new QTimer(this);
    measuredClock_->setInterval(measuredRefreshMs);
    connect(measuredClock_, &QTimer::timeout, this, [this] { refreshAges(); });

    syncNote_ = style::wrappingLabel({}, style::caption(), this);
    syncNote_->setObjectName(QStringLiteral("syncNote:") + uid);
    syncNote_->setToolTip(style::helpTip(QStringLiteral(
        "What Keep in step last heard of this speaker against the others through the "
        "microphone")));
    syncNote_->hide();
    v->addWidget(syncNote_);

    linkNote_ = style::wrappingLabel({}, style::caption(), this);
    linkNote_->setObjectName(QStringLiteral("linkNote:") + uid);
    linkNote_->setToolTip(style::helpTip(QStringLiteral(
        "The speaker's connection is not the one its offset was measured over, so the offset may "
        "be off: Keep in step, Auto-tune or Align by ear can check it.")));
    linkNote_->hide();
    v->addWidget(linkNote_);

    v->addWidget(buildDelayLine());
    v->addWidget(buildToneLine());
}

QWidget* DeviceRow::buildHeader() {
    const QString uid = QString::fromStdString(d_.uid);
    auto* line = new QWidget(this);
    auto* h = lineLayout(line);

    include_ = new QCheckBox(line);
    include_->setObjectName(QStringLiteral("include:") + uid);
    include_->setToolTip(QStringLiteral("Include this speaker in the group"));
    connect(include_, &QCheckBox::clicked, this, [this](bool on) { c_.setInclude(d_, on); });
    h->addWidget(include_);

    name_ = new ElidedLabel(line);
    name_->setObjectName(QStringLiteral("deviceName:") + uid);
    name_->setFont(style::headline());
    h->addWidget(name_);

    // A speaker on another machine is told apart at a glance: its latency is the one that moves.
    if (const QString symbol = transportSymbol(d_.transport); !symbol.isEmpty()) {
        auto* mark = new style::SymbolLabel(symbol, style::caption(), true, line);
        mark->setObjectName(QStringLiteral("transportSymbol:") + uid);
        h->addWidget(mark);
    }
    transport_ = new QLabel(line);
    transport_->setObjectName(QStringLiteral("transport:") + uid);
    transport_->setFont(style::caption());
    h->addWidget(transport_);

    badge_ = new QLabel(QStringLiteral("REFERENCE"), line);
    badge_->setObjectName(QStringLiteral("referenceBadge:") + uid);
    QFont badgeFont = style::caption2();
    badgeFont.setBold(true);
    badge_->setFont(badgeFont);
    badge_->setContentsMargins(6, 2, 6, 2);
    badge_->setAutoFillBackground(true);
    h->addWidget(badge_);
    h->addStretch(1);

    mute_ = new QToolButton(line);
    mute_->setObjectName(QStringLiteral("mute:") + uid);
    mute_->setAutoRaise(true);
    connect(mute_, &QToolButton::clicked, this, [this] {
        // Same rule as the menu's Mute item: no reading yet counts as not muted.
        const bool now = valueOr(c_.muted(), d_.uid, false);
        c_.setMute(d_, !now);
    });
    h->addWidget(mute_);
    return line;
}

QWidget* DeviceRow::buildVolumeLine() {
    const QString uid = QString::fromStdString(d_.uid);
    volumeLine_ = new QWidget(this);
    volumeLine_->setObjectName(QStringLiteral("volumeLine:") + uid);
    auto* h = lineLayout(volumeLine_);
    h->addWidget(new style::SymbolLabel(QStringLiteral("speaker.fill"), style::caption(), true,
                                        volumeLine_));
    volume_ = new QSlider(Qt::Horizontal, volumeLine_);
    volume_->setObjectName(QStringLiteral("volumeSlider:") + uid);
    volume_->setRange(0, volumeSteps);
    volume_->setPageStep(volumeSteps / 10);
    style::takeWheelOnlyWhenFocused(volume_);
    connect(volume_, &QSlider::valueChanged, this, [this](int v) {
        if (refreshing_) return;
        c_.setVolume(d_.id, d_.uid, static_cast<float>(v) / volumeSteps);
    });
    h->addWidget(volume_, 1);
    volumeValue_ = valueLabel(percentWidth, volumeLine_);
    volumeValue_->setObjectName(QStringLiteral("volumeValue:") + uid);
    h->addWidget(volumeValue_);
    return volumeLine_;
}

QWidget* DeviceRow::buildDelayLine() {
    const QString uid = QString::fromStdString(d_.uid);
    delayLine_ = new QWidget(this);
    delayLine_->setObjectName(QStringLiteral("delayLine:") + uid);
    delayLine_->setToolTip(
        style::helpTip(QStringLiteral("Delay this speaker until its sound arrives together with "
                                      "the reference speaker")));
    auto* h = lineLayout(delayLine_);
    h->addWidget(new style::SymbolLabel(QStringLiteral("clock"), style::body(), false, delayLine_));

    delay_ = new QSlider(Qt::Horizontal, delayLine_);
    delay_->setObjectName(QStringLiteral("delaySlider:") + uid);
    delay_->setRange(int(-fineDelayRangeMs), int(fineDelayRangeMs));
    delay_->setSingleStep(1);
    delay_->setPageStep(finePageMs);
    style::takeWheelOnlyWhenFocused(delay_);
    connect(delay_, &QSlider::valueChanged, this, [this](int v) {
        if (refreshing_) return;
        c_.slideOffset(d_, v, delay_->isSliderDown());
    });
    connect(delay_, &QSlider::sliderReleased, this, [this] { c_.endOffsetDrag(); });
    h->addWidget(delay_, 1);

    auto* stepper = new QWidget(delayLine_);
    stepper->setObjectName(QStringLiteral("delayStepper:") + uid);
    auto* sh = new QHBoxLayout(stepper);
    sh->setContentsMargins(0, 0, 0, 0);
    sh->setSpacing(0);
    delayDown_ = new QToolButton(stepper);
    delayDown_->setObjectName(QStringLiteral("delayStepDown:") + uid);
    delayDown_->setText(QStringLiteral("\u2212"));
    delayDown_->setAutoRepeat(true);
    delayUp_ = new QToolButton(stepper);
    delayUp_->setObjectName(QStringLiteral("delayStepUp:") + uid);
    delayUp_->setText(QStringLiteral("+"));
    delayUp_->setAutoRepeat(true);
    connect(delayDown_, &QToolButton::clicked, this, [this] { nudgeDelay(-stepperMs); });
    connect(delayUp_, &QToolButton::clicked, this, [this] { nudgeDelay(stepperMs); });
    sh->addWidget(delayDown_);
    sh->addWidget(delayUp_);
    h->addWidget(stepper);

    delayValue_ = millisecondLabel(delayLine_);
    delayValue_->setObjectName(QStringLiteral("delayValue:") + uid);
    h->addWidget(delayValue_);

    delayRange_ = new QToolButton(delayLine_);
    delayRange_->setObjectName(QStringLiteral("delayRange:") + uid);
    delayRange_->setText(QStringLiteral("%1 s").arg(offsetLimitMs / 1000));
    delayRange_->setCheckable(true);
    delayRange_->setAutoRaise(true);
    delayRange_->setToolTip(style::helpTip(
        QStringLiteral("Let the slider reach %1 ms either way, for speakers on other machines or "
                       "slow Bluetooth ones. On while any speaker needs it.")
            .arg(offsetLimitMs)));
    connect(delayRange_, &QToolButton::toggled, this, [this](bool on) {
        if (refreshing_) return;
        longWanted_ = on;
        Refreshing guard(refreshing_);
        refreshDelayRange(ctx_, valueOr(c_.offsets(), d_.uid, 0.0));
    });
    h->addWidget(delayRange_);
    return delayLine_;
}

QWidget* DeviceRow::buildToneLine() {
    const QString uid = QString::fromStdString(d_.uid);
    toneLine_ = new QWidget(this);
    toneLine_->setObjectName(QStringLiteral("toneLine:") + uid);
    toneLine_->setToolTip(style::helpTip(QStringLiteral(
        "Presence/treble restore: peaking EQ at 3.8 kHz plus a 7 kHz high-shelf, up to +3/+5 dB "
        "at 100%. Counters the duller sound after the JBL firmware update. 0% = untouched; the "
        "soft limiter absorbs the extra level.")));
    auto* h = lineLayout(toneLine_);
    h->addWidget(
        new style::SymbolLabel(QStringLiteral("sparkles"), style::body(), false, toneLine_));

    toneCaption_ = new QLabel(toneLine_);
    toneCaption_->setObjectName(QStringLiteral("toneCaption:") + uid);
    toneCaption_->setFont(style::caption());
    h->addWidget(toneCaption_);

    crisp_ = new QSlider(Qt::Horizontal, toneLine_);
    crisp_->setObjectName(QStringLiteral("crispSlider:") + uid);
    crisp_->setRange(0, crispSteps);
    crisp_->setPageStep(10);
    style::takeWheelOnlyWhenFocused(crisp_);
    connect(crisp_, &QSlider::valueChanged, this, [this](int v) {
        if (refreshing_) return;
        c_.setCrispAmount(d_.uid, double(v) / crispSteps);
        // A drag is persisted once, when it ends.
        if (!crisp_->isSliderDown()) c_.saveCrisp();
    });
    connect(crisp_, &QSlider::sliderReleased, this, [this] { c_.saveCrisp(); });
    h->addWidget(crisp_, 1);

    crispValue_ = valueLabel(percentWidth, toneLine_);
    crispValue_->setObjectName(QStringLiteral("crispValue:") + uid);
    h->addWidget(crispValue_);
    return toneLine_;
}

void DeviceRow::nudgeDelay(double deltaMs) {
    c_.nudgeOffset(d_, deltaMs);
}

void DeviceRow::refreshDelayRange(const RowContext& ctx, double delayMs) {
    const bool needed = ctx.longDelays;  // this row's own offset among them: it is included
    const bool wide = needed || longWanted_;
    delayRange_->setChecked(wide);
    delayRange_->setEnabled(!needed);  // cannot be narrowed past a speaker that needs it
    // A slider in the user's hand keeps its scale until it is let go.
    if (delay_->isSliderDown()) return;
    const int span = int(wide ? offsetLimitMs : fineDelayRangeMs);
    if (delay_->maximum() == span) return;
    delay_->setRange(-span, span);
    delay_->setPageStep(wide ? longPageMs : finePageMs);
    delay_->setValue(int(std::lround(delayMs)));
}

void DeviceRow::refreshAges() {
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    measured_->setText(measuredAgoText(c_.measuredAt(d_.uid), now));
    const auto note = c_.syncNotes().find(d_.uid);
    if (note != c_.syncNotes().end()) syncNote_->setText(syncNoteText(note->second, now));
}

void DeviceRow::nameControls() {
    const QString name = QString::fromStdString(d_.name);
    include_->setAccessibleName(QStringLiteral("Include %1").arg(name));
    // Until refresh() knows whether it is muted.
    mute_->setAccessibleName(QStringLiteral("Mute %1").arg(name));
    volume_->setAccessibleName(QStringLiteral("Volume of %1").arg(name));
    delay_->setAccessibleName(QStringLiteral("Delay of %1").arg(name));
    // One arg() call for all three, so a "%2" in a speaker's name stays as it is.
    const QString nudge = QStringLiteral("Nudge %1 %2 ms %3");
    const QString step = QString::number(stepperMs);
    delayDown_->setAccessibleName(nudge.arg(name, step, QStringLiteral("earlier")));
    delayUp_->setAccessibleName(nudge.arg(name, step, QStringLiteral("later")));
    delayRange_->setAccessibleName(QStringLiteral("Long delays for %1").arg(name));
    crisp_->setAccessibleName(QStringLiteral("Tone of %1").arg(name));
}

void DeviceRow::applyColors() {
    style::setTextColor(transport_, style::secondary(this));
    style::setTextColor(noVolume_, style::secondary(this));
    style::setTextColor(phase_, style::blue(this));
    style::setTextColor(measured_, style::secondary(this));
    style::setTextColor(syncNote_, style::secondary(this));
    style::setTextColor(linkNote_, style::orange(this));
    QColor fill = style::accent(this);
    fill.setAlphaF(0.2f);
    if (badge_->palette().color(QPalette::Window) != fill) {
        QPalette p = badge_->palette();
        p.setColor(QPalette::Window, fill);
        badge_->setPalette(p);
    }
}

bool DeviceRow::isReference(const RowContext& ctx) const {
    return ctx.mode == Mode::aligned && ctx.reference && ctx.reference->uid == d_.uid;
}

void DeviceRow::refresh(const RowContext& ctx) {
    Refreshing guard(refreshing_);
    applyColors();
    const std::string& uid = d_.uid;
    const bool included = valueOr(c_.include(), uid, false);
    const QString transport = transportName(d_.transport);

    include_->setChecked(included);
    static_cast<ElidedLabel*>(name_)->setFullText(QString::fromStdString(d_.name));
    transport_->setText(transport);
    // A reconnected speaker may come back under a new name.
    nameControls();
    badge_->setVisible(isReference(ctx));

    const SpeakerCapabilities can = valueOr(c_.capabilities(), uid, SpeakerCapabilities{});
    const bool canMute = can.hasMute;
    mute_->setVisible(canMute);
    if (canMute) {
        const bool muted = valueOr(c_.muted(), uid, false);
        mute_->setIcon(symbolIcon(muted ? QStringLiteral("speaker.slash.fill")
                                        : QStringLiteral("speaker.wave.2.fill")));
        mute_->setToolTip(muted ? QStringLiteral("Unmute") : QStringLiteral("Mute"));
        mute_->setAccessibleName(mute_->toolTip() + QChar(' ') + QString::fromStdString(d_.name));
    }

    const bool canSetVolume = can.hasVolume;
    volumeLine_->setVisible(canSetVolume);
    noVolume_->setVisible(!canSetVolume);
    if (canSetVolume) {
        const float v = valueOr(c_.volumes(), uid, 0.0f);
        if (!volume_->isSliderDown()) volume_->setValue(int(std::lround(v * volumeSteps)));
        // The Float32 fraction times 100, truncated, as the menu shows it.
        volumeValue_->setText(QString::number(static_cast<long long>(std::trunc(v * 100.0f))) +
                              QChar('%'));
    } else {
        noVolume_->setText(QStringLiteral("no volume control on this connection (") + transport +
                           QStringLiteral(") \u2014 use the device's own controls"));
    }

    // The note ("offset 179 ms applied") holds only while the offset is the one it came with;
    // a nudge, a drag or Align by ear since then would make it contradict the slider.
    const auto phase = c_.tunePhases().find(uid);
    const auto offset = c_.offsets().find(uid);
    const std::optional<double> ms =
        offset == c_.offsets().end() ? std::nullopt : std::optional<double>(offset->second);
    if (phase == c_.tunePhases().end()) {
        phaseText_.clear();
    } else if (const QString note = QString::fromStdString(phase->second); note != phaseText_) {
        phaseText_ = note;
        phaseOffset_ = ms;
        phase_->setText(note);
    }
    phase_->setVisible(!phaseText_.isEmpty() && phaseOffset_ == ms);

    const bool aligned = ctx.mode == Mode::aligned;
    const double delayMs = ms.value_or(0.0);
    // A re-base can leave the reference itself held back: then its delay is shown, and can be
    // brought back, like anyone's.
    delayLine_->setVisible(aligned && included && (!isReference(ctx) || delayMs != 0));
    if (!delayLine_->isHidden()) {
        refreshDelayRange(ctx, delayMs);
        if (!delay_->isSliderDown()) delay_->setValue(int(std::lround(delayMs)));
        delayValue_->setText(QString::number(static_cast<long long>(std::trunc(delayMs))) +
                             QStringLiteral(" ms"));
    }

    ctx_ = ctx;
    showAges(aligned && included && d_.transport == transport::network,
             ctx.listening && c_.syncNotes().contains(uid));
    const auto link = c_.linkNotes().find(uid);
    linkNote_->setVisible(link != c_.linkNotes().end());
    if (link != c_.linkNotes().end()) linkNote_->setText(QString::fromStdString(link->second));
    toneLine_->setVisible(aligned && included);
    if (!toneLine_->isHidden()) refreshTone(can.hasCorrection);
}

void DeviceRow::showAges(bool measured, bool syncNote) {
    measured_->setVisible(measured);
    syncNote_->setVisible(syncNote);
    if (measured || syncNote) {
        refreshAges();
        if (!measuredClock_->isActive()) measuredClock_->start();
    } else {
        measuredClock_->stop();
    }
}

void DeviceRow::refreshTone(bool measured) {
    toneCaption_->setText(measured ? QStringLiteral("Correct") : QStringLiteral("Crisp"));
    toneCaption_->setToolTip(style::helpTip(
        measured ? QStringLiteral("Measured frequency correction for this speaker "
                                  "(sweep-measured 20 Aug 2026). 100% = full correction.")
                 : QStringLiteral("Generic presence/treble lift (not measured for this "
                                  "speaker).")));
    const double amount = valueOr(c_.crisp(), d_.uid, 0.0);
    if (!crisp_->isSliderDown()) crisp_->setValue(int(std::lround(amount * crispSteps)));
    crispValue_->setText(percentText(amount));
}

}  // namespace housetone::ui
