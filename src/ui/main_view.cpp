#include "ui/main_view.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>
#include <optional>

#include "ui/device_row.h"
#include "ui/guided_panel.h"
#include "ui/hero_artwork.h"
#include "ui/symbols.h"
#include "ui/tune_progress.h"
#include "ui/view_style.h"

namespace housetone::ui {

// The scroll view of the device rows. It asks for exactly the rows' height, so the list never
// shows empty space or a scroll bar while the window has room; when the window is too small it
// gives in and scrolls.
class DeviceList final : public QScrollArea {
  public:
    explicit DeviceList(QWidget* content, QWidget* parent) : QScrollArea(parent) {
        setObjectName(QStringLiteral("deviceList"));
        setFrameShape(QFrame::NoFrame);
        // Not a tab stop of its own: Tab goes through the rows' controls, and the list scrolls
        // to keep the focused one in view.
        setFocusPolicy(Qt::NoFocus);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
        viewport()->setAutoFillBackground(false);
        setWidget(content);
        setWidgetResizable(true);
        // The rows as wide as the list up to the content's greatest width, then centred.
        setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        content->installEventFilter(this);
    }

    // The rows' total height as last measured, in pixels.
    int reportedHeight() const { return reported_; }

    // Measures the rows again and asks the window for a new height when it changed.
    void remeasure() {
        const int h = contentHeight();
        if (h == reported_) return;
        reported_ = h;
        // The rows never get less than their height, however little the window leaves the list:
        // it scrolls instead of squeezing one row over the next.
        widget()->setMinimumHeight(h);
        updateGeometry();
    }

    QSize sizeHint() const override {
        return {QScrollArea::sizeHint().width(), contentHeight() + 2 * frameWidth()};
    }
    QSize minimumSizeHint() const override {
        // About one row stays in view however small the window gets.
        return {QScrollArea::minimumSizeHint().width(), std::min(sizeHint().height(), 64)};
    }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QScrollArea::resizeEvent(event);
        // Wrapped captions make the rows' height depend on the width.
        remeasure();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        // A row grew or shrank (a line appeared, a caption rewrapped). Its layout settles when
        // this event has been handled; measure after that.
        if (watched == widget() && event->type() == QEvent::LayoutRequest)
            QMetaObject::invokeMethod(this, &DeviceList::remeasure, Qt::QueuedConnection);
        return QScrollArea::eventFilter(watched, event);
    }

  private:
    // Rows' total height at the width they get (the list's full width, up to their greatest), as
    // if no scroll bar took part of it: the aim is a list that needs none.
    int contentHeight() const {
        const QWidget* w = widget();
        if (!w || !w->layout()) return 0;
        const QLayout* l = w->layout();
        const int width =
            std::max(1, std::min(this->width() - 2 * frameWidth(), w->maximumWidth()));
        return l->hasHeightForWidth() ? l->totalHeightForWidth(width) : l->totalSizeHint().height();
    }

    int reported_ = -1;
};

// The main window's page: it scrolls up and down when the window is shorter than the page, so the
// window never needs to be taller than the screen. Across it never scrolls: the window is held at
// least as wide as the page needs.
class Page final : public QScrollArea {
  public:
    Page(QWidget* content, QWidget* parent) : QScrollArea(parent) {
        setObjectName(QStringLiteral("page"));
        setFrameShape(QFrame::NoFrame);
        setFocusPolicy(Qt::NoFocus);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        viewport()->setAutoFillBackground(false);
        // Sized by hand rather than by widgetResizable: that would give a page whose wrapped
        // labels answer height-for-width the height all its parts would like, and scroll a
        // window that could hold the page by shrinking the device list.
        setWidget(content);
    }

    QSize sizeHint() const override {
        // The page's own wish, not the few lines a scroll area asks for by default.
        const QSize content = widget()->sizeHint();
        return {content.width() + verticalScrollBar()->sizeHint().width(), content.height()};
    }
    QSize minimumSizeHint() const override {
        return {widget()->minimumSizeHint().width() + verticalScrollBar()->sizeHint().width(),
                QScrollArea::minimumSizeHint().height()};
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The page needs more or less room (a longer button text, another picker entry): the
        // window hears of it, so that it stays as wide as the page.
        if (watched == widget() && event->type() == QEvent::LayoutRequest) {
            updateGeometry();
            fitContent();
        }
        return QScrollArea::eventFilter(watched, event);
    }
    bool viewportEvent(QEvent* event) override {
        if (event->type() == QEvent::Resize) fitContent();
        return QScrollArea::viewportEvent(event);
    }

  private:
    // As wide as the view, and as tall unless the page cannot shrink that far at that width
    // (wrapped lines need more height when narrow): then it scrolls.
    void fitContent() {
        QWidget* content = widget();
        const int width = viewport()->width();
        const QLayout* layout = content->layout();
        const int least = layout && layout->hasHeightForWidth()
                              ? layout->totalMinimumHeightForWidth(width)
                              : content->minimumSizeHint().height();
        const QSize size(width, std::max(viewport()->height(), least));
        if (content->size() != size) content->resize(size);
    }
};

namespace {

// A control that cannot be used now is drawn disabled and says why when the pointer rests on it,
// before its own help.
void enableOrSayWhy(QWidget* control, const char* help, const QString& whyNot) {
    control->setEnabled(whyNot.isEmpty());
    const QString text = QString::fromUtf8(help);
    control->setToolTip(style::helpTip(whyNot.isEmpty() ? text : whyNot + QChar(' ') + text));
}

constexpr const char* modeHelp =
    "Single: the system's default output, as normal. Together: all speakers, no alignment. "
    "Aligned: speakers time-aligned with the delay sliders.";
constexpr const char* keepInStepHelp =
    "Listens to the music through the microphone while Aligned plays and corrects a speaker "
    "whose delay has drifted; nothing it hears is kept.";
constexpr const char* autoTuneHelp =
    "Rough starting point: measures each speaker with the microphone and applies "
    "delays. The engine pauses while it listens \u2014 the mic cannot run alongside it. Confirm "
    "the result by ear afterwards.";
constexpr const char* alignByEarHelp =
    "Walks through one speaker at a time against the reference, playing a click through the "
    "real output path. You confirm when they fuse. Corrects the tap pipeline delay that "
    "microphone measurement cannot see.";
constexpr const char* bassHelp =
    "Low-shelf boost around 120 Hz plus harmonic bass synthesis. Applies to every speaker routed "
    "through the aligned engine.";
constexpr const char* boostHelp =
    "Software gain above the speaker's own maximum. Soft-limited to prevent clipping. Applies to "
    "every speaker routed through the aligned engine.";
constexpr const char* micHelp =
    "Microphone used for Auto-tune measurement. Bluetooth mics force that speaker into 16 kHz "
    "phone mode and distort the very latency being measured.";
constexpr const char* clickTestHelp =
    "Plays a steady click so you can hear the speakers converge while dragging the delay sliders";
constexpr const char* blockedLine1 =
    "No system audio is reaching Housetone. If something is playing right now and you hear "
    "nothing, that program is not playing to \u201cHousetone system tap\u201d, the output "
    "Housetone listens to while it is aligned, so this notice is the only sign you will get.";
constexpr const char* blockedLine2 =
    "Fix: in your desktop's sound settings (or a mixer such as pavucontrol), move the program's "
    "output to \u201cHousetone system tap\u201d. If it still stays silent, use Single mode "
    "until it plays again.";
constexpr const char* silentLine1 =
    "The tap is running but has gone quiet, so only the reference speaker is playing.";
constexpr const char* silentLine2 =
    "If it stays that way, switch the mode away from Aligned and back.";
constexpr const char* zoomWarning =
    "Zoom warning: several live speakers + the mic = echo for your students. Switch to Single "
    "before lessons.";

struct BoostOption {
    int pct;
    const char* label;
};
constexpr BoostOption boostOptions[] = {{0, "off"}, {10, "+3 dB"}, {20, "+6 dB"}};
constexpr double shiftSteps[] = {-25, -5, 5, 25};
// Resolution of the tune's progress bar.
constexpr int progressSteps = 1000;
// Pixels: the device rows grow no wider than this.
constexpr int maxRowWidth = 720;
// Pixels; a longer microphone name is shortened in the middle, where names differ least.
constexpr int maxMicNameWidth = 200;

QHBoxLayout* rowLayout(QWidget* row) {
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(8);
    return h;
}

QString signedMs(double ms) {
    return (ms < 0 ? QStringLiteral("\u2212") : QStringLiteral("+")) +
           QString::number(std::abs(ms));
}

// A row of checkable buttons that behaves like a segmented control.
struct Segmented {
    QButtonGroup* group;
    QHBoxLayout* segments;

    Segmented(QWidget* owner, QHBoxLayout* into)
        : group(new QButtonGroup(owner)), segments(new QHBoxLayout) {
        group->setExclusive(true);
        segments->setSpacing(0);
        into->addLayout(segments);
    }

    // Tool buttons: push buttons carry a minimum width meant for dialog buttons, which would
    // make the rows wider than the window.
    QToolButton* add(QWidget* parent, const QString& text, int id) const {
        auto* b = new QToolButton(parent);
        b->setText(text);
        b->setCheckable(true);
        style::makeSegment(b);
        group->addButton(b, id);
        segments->addWidget(b);
        return b;
    }
};

// Checks the button with `id`, or none when no option matches the value.
void selectSegment(QButtonGroup* group, int id) {
    QAbstractButton* b = group->button(id);
    if (b) {
        b->setChecked(true);
        return;
    }
    group->setExclusive(false);
    for (QAbstractButton* each : group->buttons())
        each->setChecked(false);
    group->setExclusive(true);
}

}  // namespace

MainView::MainView(std::shared_ptr<Controller> c, QWidget* parent)
    : QWidget(parent), c_(std::move(c)), refreshTimer_(new QTimer(this)) {
    setObjectName(QStringLiteral("mainView"));
    refreshTimer_->setSingleShot(true);
    refreshTimer_->setInterval(0);
    connect(refreshTimer_, &QTimer::timeout, this, &MainView::refresh);

    // The whole page scrolls when the window cannot hold it (a small screen at a large scale);
    // otherwise it fills the window exactly and the scroll bar never shows. Without it the
    // page's height would be the window's minimum, taller than such a screen.
    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(0, 0, 0, 0);
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("pageContent"));
    content->setAutoFillBackground(false);
    top->addWidget(new Page(content, this));
    top->addWidget(buildListeningBar());

    auto* outer = new QVBoxLayout(content);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    hero_ = new HeroArtwork(content);
    outer->addWidget(hero_);

    auto* controls = new QWidget(content);
    controls->setObjectName(QStringLiteral("controls"));
    auto* v = new QVBoxLayout(controls);
    // Tight enough that five speakers in Aligned mode fit under the controls at the launch size.
    v->setContentsMargins(16, 8, 16, 12);
    v->setSpacing(6);
    outer->addWidget(controls, 1);

    v->addWidget(buildModePicker());
    status_ = style::wrappingLabel({}, style::caption(), controls);
    status_->setObjectName(QStringLiteral("statusLine"));
    // Two lines are kept for the status, said or not, so that a new message does not move the
    // controls under the pointer.
    status_->setMinimumHeight(
        QFontMetrics(status_->font())
            .boundingRect(QRect(0, 0, 1000, 1000), Qt::TextWordWrap, QStringLiteral("X\nX"))
            .height());
    secondaryLabels_.push_back(status_);
    v->addWidget(status_);
    v->addWidget(buildWarning());
    v->addWidget(buildDeviceList(controls));
    v->addWidget(buildToolsRow1());
    v->addWidget(buildToolsRow2());
    guided_ = new GuidedPanel(*c_, controls);
    v->addWidget(guided_);
    v->addWidget(buildShiftAllRow());
    v->addLayout(buildTuneLine(controls));
    addNotes(controls, v);

    observerToken_ = c_->addObserver([this](Field) { scheduleRefresh(); });
    refresh();
}

QWidget* MainView::buildDeviceList(QWidget* controls) {
    listContent_ = new QWidget;
    listContent_->setObjectName(QStringLiteral("deviceListContent"));
    listContent_->setAutoFillBackground(false);
    // A wrapped caption's minimum height assumes a narrow column, taller than the rows need at
    // the real width; the scroll area would honour it and scroll by those few pixels. The list
    // holds the content to the rows' measured height instead (DeviceList::remeasure).
    listContent_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Ignored);
    // On a maximised window a slider 1,900 pixels long is harder to set, not easier.
    listContent_->setMaximumWidth(maxRowWidth);
    listLayout_ = new QVBoxLayout(listContent_);
    listLayout_->setContentsMargins(0, 0, 0, 0);
    listLayout_->setSpacing(2);
    listLayout_->addStretch(1);
    list_ = new DeviceList(listContent_, controls);
    return list_;
}

QLayout* MainView::buildTuneLine(QWidget* controls) {
    tuneResult_ = style::wrappingLabel({}, style::caption(), controls);
    tuneResult_->setObjectName(QStringLiteral("tuneResult"));
    // People paste the result into bug reports and notes.
    tuneResult_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Beside the text line while a tune runs: how far it has come, by stage and pass.
    tuneProgress_ = new QProgressBar(controls);
    tuneProgress_->setObjectName(QStringLiteral("tuneProgress"));
    tuneProgress_->setRange(0, progressSteps);
    tuneProgress_->setFont(style::caption());
    tuneProgress_->setTextVisible(true);
    tuneProgress_->setAlignment(Qt::AlignCenter);
    tuneProgress_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    // Room for the longest text it shows, which the bar's own size hint does not allow for.
    tuneProgress_->setMinimumWidth(
        QFontMetrics(tuneProgress_->font())
            .horizontalAdvance(progressText({TuneProgress::Stage::together, 2, 2, 3, 3})) +
        QFontMetrics(tuneProgress_->font()).height() * 2);
    auto* tuneLine = new QHBoxLayout;
    tuneLine->setSpacing(8);
    tuneLine->addWidget(tuneResult_, 1);
    tuneLine->addWidget(tuneProgress_, 0, Qt::AlignTop);
    return tuneLine;
}

// The small print under the controls: which speaker is the reference, and the zoom warning.
void MainView::addNotes(QWidget* controls, QVBoxLayout* column) {
    referenceNote_ = style::wrappingLabel({}, style::caption2(), controls);
    referenceNote_->setObjectName(QStringLiteral("referenceNote"));
    secondaryLabels_.push_back(referenceNote_);
    column->addWidget(referenceNote_);
    zoomNote_ = style::wrappingLabel(QString::fromUtf8(zoomWarning), style::caption2(), controls);
    zoomNote_->setObjectName(QStringLiteral("zoomNote"));
    secondaryLabels_.push_back(zoomNote_);
    column->addWidget(zoomNote_);
}

MainView::~MainView() {
    c_->removeObserver(observerToken_);
}

QWidget* MainView::buildModePicker() {
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("modePicker"));
    row->setToolTip(style::helpTip(QString::fromUtf8(modeHelp)));
    // Never squeezed when the list needs the room: the buttons stay under the pointer that
    // pressed one.
    row->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* h = rowLayout(row);
    h->addWidget(new QLabel(QStringLiteral("Mode"), row));
    const Segmented modes(row, h);
    modeGroup_ = modes.group;
    for (Mode m : allModes) {
        const QString raw = QString::fromStdString(rawValue(m));
        modes.add(row, raw, static_cast<int>(m))->setObjectName(QStringLiteral("mode:") + raw);
    }
    connect(modeGroup_, &QButtonGroup::idClicked, this, [this](int id) {
        const auto m = static_cast<Mode>(id);
        if (m != c_->mode()) c_->chooseMode(m);
    });

    h->addSpacing(12);
    keepInStep_ = new QCheckBox(QStringLiteral("Keep in step"), row);
    keepInStep_->setObjectName(QStringLiteral("keepInStep"));
    connect(keepInStep_, &QCheckBox::clicked, this, [this](bool on) {
        c_->setKeepInStep(on);
        // The controller may say no (no microphone access) or ask first: the box shows its answer.
        scheduleRefresh();
    });
    h->addWidget(keepInStep_);
    h->addStretch(1);
    return row;
}

QWidget* MainView::buildListeningBar() {
    listening_ = new QWidget(this);
    listening_->setObjectName(QStringLiteral("listeningIndicator"));
    auto* h = rowLayout(listening_);
    h->setContentsMargins(16, 4, 16, 6);
    h->setSpacing(6);
    h->addWidget(
        new style::SymbolLabel(QStringLiteral("mic.fill"), style::headline(), false, listening_));
    listeningText_ = new QLabel(QStringLiteral("Listening"), listening_);
    listeningText_->setFont(style::headline());
    h->addWidget(listeningText_);
    auto* why = style::wrappingLabel(
        QStringLiteral("Keep in step hears the microphone to keep the speakers in step; nothing "
                       "heard is kept."),
        style::caption(), listening_);
    secondaryLabels_.push_back(why);
    h->addWidget(why, 1);
    return listening_;
}

QWidget* MainView::buildWarning() {
    warning_ = new QWidget(this);
    warning_->setObjectName(QStringLiteral("tapWarning"));
    auto* h = rowLayout(warning_);
    h->setSpacing(6);
    h->addWidget(new style::SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"),
                                        style::caption(), false, warning_),
                 0, Qt::AlignTop);
    warningText_ = style::wrappingLabel({}, style::caption(), warning_);
    warningText_->setObjectName(QStringLiteral("tapWarningText"));
    h->addWidget(warningText_, 1);
    return warning_;
}

QWidget* MainView::buildToolsRow1() {
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("toolsRow1"));
    auto* h = rowLayout(row);
    autoTune_ = new QPushButton(row);
    autoTune_->setObjectName(QStringLiteral("autoTune"));
    autoTune_->setToolTip(style::helpTip(QString::fromUtf8(autoTuneHelp)));
    connect(autoTune_, &QPushButton::clicked, this, [this] { c_->toggleAutoTune(); });
    h->addWidget(autoTune_);

    alignByEar_ =
        new QPushButton(symbolIcon(QStringLiteral("ear")), QStringLiteral("Align by ear"), row);
    alignByEar_->setObjectName(QStringLiteral("alignByEar"));
    alignByEar_->setToolTip(style::helpTip(QString::fromUtf8(alignByEarHelp)));
    style::makeProminent(alignByEar_);
    connect(alignByEar_, &QPushButton::clicked, this, [this] { c_->startGuidedAlign(); });
    h->addWidget(alignByEar_);

    // In this row, not beside the microphone picker: "Stop click test" is longer than the label
    // it replaces and would push the second row past the window edge.
    clickTest_ = new QPushButton(row);
    clickTest_->setObjectName(QStringLiteral("clickTest"));
    clickTest_->setToolTip(style::helpTip(QString::fromUtf8(clickTestHelp)));
    connect(clickTest_, &QPushButton::clicked, this, [this] { c_->toggleClickTest(); });
    h->addWidget(clickTest_);

    showTune_ = new QPushButton(QStringLiteral("Show last tune\u2026"), row);
    showTune_->setObjectName(QStringLiteral("showTune"));
    showTune_->setToolTip(style::helpTip(QStringLiteral(
        "Where each speaker arrived before and after the offsets, as the microphone heard it")));
    connect(showTune_, &QPushButton::clicked, this, &MainView::showTuneRequested);
    h->addWidget(showTune_);
    h->addStretch(1);
    return row;
}

QWidget* MainView::buildToolsRow2() {
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("toolsRow2"));
    auto* h = rowLayout(row);

    bass_ = new QCheckBox(QStringLiteral("Bass"), row);
    bass_->setObjectName(QStringLiteral("bassToggle"));
    bass_->setToolTip(style::helpTip(QString::fromUtf8(bassHelp)));
    connect(bass_, &QCheckBox::clicked, this, [this](bool on) { c_->setBassBoost(on); });
    h->addWidget(bass_);

    boost_ = new QWidget(row);
    boost_->setObjectName(QStringLiteral("boostPicker"));
    boost_->setToolTip(style::helpTip(QString::fromUtf8(boostHelp)));
    auto* bh = rowLayout(boost_);
    bh->setSpacing(4);
    auto* boostLabel = new QLabel(QStringLiteral("Boost"), boost_);
    boostLabel->setFont(style::caption());
    bh->addWidget(boostLabel);
    const Segmented boosts(boost_, bh);
    boostGroup_ = boosts.group;
    for (const BoostOption& o : boostOptions) {
        boosts.add(boost_, QString::fromUtf8(o.label), o.pct)
            ->setObjectName(QStringLiteral("boost:") + QString::number(o.pct));
    }
    connect(boostGroup_, &QButtonGroup::idClicked, this, [this](int pct) {
        if (pct != c_->volBoostPct()) c_->setVolBoostPct(pct);
    });
    h->addWidget(boost_);

    micRow_ = new QWidget(row);
    micRow_->setObjectName(QStringLiteral("micRow"));
    micRow_->setToolTip(style::helpTip(QString::fromUtf8(micHelp)));
    auto* mh = rowLayout(micRow_);
    mh->setSpacing(4);
    auto* micLabel = new QLabel(QStringLiteral("Mic"), micRow_);
    micLabel->setFont(style::caption());
    mh->addWidget(micLabel);
    mic_ = new QComboBox(micRow_);
    mic_->setObjectName(QStringLiteral("micPicker"));
    mic_->setAccessibleName(QStringLiteral("Microphone for Auto-tune"));
    // As wide as its longest entry, so no entry is cut; long microphone names are elided when
    // listed (see refreshMicPicker) rather than widening the window.
    mic_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    style::takeWheelOnlyWhenFocused(mic_);
    connect(mic_, &QComboBox::activated, this, [this](int index) {
        if (index < 0) return;
        const QVariant uid = mic_->itemData(index);
        if (uid.isNull())
            c_->setMic(std::nullopt);
        else
            c_->setMic(uid.toString().toStdString());
    });
    mh->addWidget(mic_);
    h->addWidget(micRow_);

    h->addStretch(1);
    return row;
}

QWidget* MainView::buildShiftAllRow() {
    shiftAll_ = new QWidget(this);
    shiftAll_->setObjectName(QStringLiteral("shiftAllRow"));
    auto* h = rowLayout(shiftAll_);
    h->setSpacing(4);
    auto* caption = new QLabel(QStringLiteral("All except reference:"), shiftAll_);
    caption->setFont(style::caption());
    secondaryLabels_.push_back(caption);
    h->addWidget(caption);
    for (double ms : shiftSteps) {
        auto* b = new QToolButton(shiftAll_);
        b->setText(signedMs(ms));
        b->setObjectName(QStringLiteral("shiftAll:") + QString::number(ms));
        connect(b, &QToolButton::clicked, this, [this, ms] { c_->shiftAll(ms); });
        shiftButtons_.push_back(b);
        h->addWidget(b);
    }
    auto* hint =
        new QLabel(QStringLiteral("shift the whole group against the reference"), shiftAll_);
    hint->setFont(style::caption2());
    secondaryLabels_.push_back(hint);
    h->addWidget(hint);
    h->addStretch(1);
    return shiftAll_;
}

double MainView::deviceListHeight() const {
    return std::max(0, list_->reportedHeight());
}

void MainView::setMenuFallback(QMenu* menu) {
    hero_->setMenu(menu);
}

void MainView::scheduleRefresh() {
    if (!refreshTimer_->isActive()) refreshTimer_->start();
}

void MainView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) scheduleRefresh();
    QWidget::changeEvent(event);
}

void MainView::applyColors() {
    for (QLabel* l : secondaryLabels_)
        style::setTextColor(l, style::secondary(this));
    style::setTextColor(warningText_, style::orange(this));
    style::setTextColor(listeningText_, style::orange(this));
    style::setTextColor(tuneResult_,
                        c_->tuning() ? style::blue(this) : palette().color(QPalette::WindowText));
}

void MainView::refresh() {
    refreshTimer_->stop();
    const Controller& c = *c_;
    const bool aligned = c.mode() == Mode::aligned;
    // Once per refresh, shared by everything below.
    const std::optional<Dev> reference = c.referenceSpeaker();

    applyColors();
    selectSegment(modeGroup_, static_cast<int>(c.mode()));
    keepInStep_->setChecked(c.keepInStep());
    enableOrSayWhy(keepInStep_, keepInStepHelp,
                   aligned
                       ? QString()
                       : QStringLiteral("Only in Aligned mode: it listens while aligned plays."));
    listening_->setVisible(c.listening());
    status_->setText(QString::fromStdString(c.status()));
    refreshWarning();
    refreshRows(reference);
    refreshTools(reference);
    refreshTuneLine();
    refreshReferenceNote(aligned ? reference : std::nullopt);
}

void MainView::refreshWarning() {
    const Controller& c = *c_;
    if (c.tapBlocked()) {
        warningText_->setText(QString::fromUtf8(blockedLine1) + QChar('\n') +
                              QString::fromUtf8(blockedLine2));
    } else if (c.tapSilent()) {
        warningText_->setText(QString::fromUtf8(silentLine1) + QChar('\n') +
                              QString::fromUtf8(silentLine2));
    }
    warning_->setVisible(c.tapBlocked() || c.tapSilent());
}

void MainView::refreshTools(const std::optional<Dev>& reference) {
    const Controller& c = *c_;
    const bool aligned = c.mode() == Mode::aligned;
    const bool tuning = c.tuning();
    const bool walking = c.guidedIndex().has_value();
    autoTune_->setText(tuning ? QStringLiteral("Cancel auto-tune") : QStringLiteral("Auto-tune"));
    autoTune_->setIcon(
        symbolIcon(tuning ? QStringLiteral("xmark.circle") : QStringLiteral("wand.and.stars")));
    const QString whileTuning = QStringLiteral("Not while Auto-tune runs.");
    const QString onlyAligned =
        QStringLiteral("Only in Aligned mode: the aligned engine applies it.");
    enableOrSayWhy(alignByEar_, alignByEarHelp,
                   tuning     ? whileTuning
                   : !aligned ? QStringLiteral("Switch to Aligned first: the walk sets the delays "
                                               "the aligned engine plays.")
                   : walking  ? QStringLiteral("The walk is running: follow its steps below.")
                              : QString());

    bass_->setChecked(c.bassBoost());
    enableOrSayWhy(bass_, bassHelp, aligned ? QString() : onlyAligned);
    selectSegment(boostGroup_, c.volBoostPct());
    enableOrSayWhy(boost_, boostHelp, aligned ? QString() : onlyAligned);
    refreshMicPicker();
    enableOrSayWhy(micRow_, micHelp, tuning ? whileTuning : QString());
    clickTest_->setText(c.clickPlaying() ? QStringLiteral("Stop click test")
                                         : QStringLiteral("Click test"));
    enableOrSayWhy(clickTest_, clickTestHelp,
                   tuning    ? whileTuning
                   : walking ? QStringLiteral("The walk plays its own clicks.")
                             : QString());

    const bool showGuided = aligned && c.currentGuidedTarget().has_value();
    if (showGuided) guided_->refresh(reference);
    guided_->setVisible(showGuided);

    shiftAll_->setVisible(aligned && !walking);
    for (QToolButton* b : shiftButtons_)
        b->setEnabled(!tuning);
}

void MainView::refreshTuneLine() {
    const Controller& c = *c_;
    const auto& overall = c.tuneOverall();
    tuneResult_->setVisible(overall.has_value());
    if (overall) tuneResult_->setText(QString::fromStdString(*overall));
    const auto& where = c.tuneProgress();
    tuneProgress_->setVisible(c.tuning() && where.has_value());
    showTune_->setVisible(!c.tuning());
    if (where) {
        tuneProgress_->setValue(int(std::lround(c.tuneFraction() * progressSteps)));
        tuneProgress_->setFormat(progressText(*where));
    }
}

void MainView::refreshReferenceNote(const std::optional<Dev>& reference) {
    referenceNote_->setVisible(reference.has_value());
    if (!reference) return;
    const Controller& c = *c_;
    const QString name = QString::fromStdString(reference->name);
    const auto measured = c.measuredLatencyMs(reference->uid);
    const QString latency = measured ? QString::asprintf("measured %.0f ms", *measured)
                                     : QStringLiteral("Bluetooth \u2248 150\u2013300 ms");
    const auto own = c.offsets().find(reference->uid);
    const long long held = own == c.offsets().end() ? 0 : std::llround(own->second);
    const QString onTop = held > 0
                              ? QStringLiteral("It is itself held back %1 ms on top.").arg(held)
                              : QStringLiteral("Nothing is added on top.");
    referenceNote_->setText(
        QStringLiteral("Alignment reference: %1. The other speakers are DELAYED to meet it, "
                       "so the whole system has %1's natural latency (%2 \u2014 you'll notice "
                       "it on video). %3")
            .arg(name, latency, onTop));
}

void MainView::refreshRows(const std::optional<Dev>& reference) {
    RowContext ctx{c_->mode(), reference};
    ctx.listening = c_->listening();
    const auto& include = c_->include();
    for (const auto& [uid, ms] : c_->offsets()) {
        const auto in = include.find(uid);
        if (in != include.end() && in->second && std::fabs(ms) > fineDelayRangeMs)
            ctx.longDelays = true;
    }
    std::vector<DeviceRow*> ordered;
    std::map<std::string, DeviceRow*> kept;
    for (const Dev& d : c_->devices()) {
        if (kept.count(d.uid)) continue;  // one row per speaker, even if listed twice
        DeviceRow* row = nullptr;
        if (auto it = rows_.find(d.uid); it != rows_.end()) {
            row = it->second;
            row->setDevice(d);
        } else {
            row = new DeviceRow(*c_, d, listContent_);
        }
        kept[d.uid] = row;
        ordered.push_back(row);
    }
    for (auto& [uid, row] : rows_) {
        if (!kept.count(uid)) {
            listLayout_->removeWidget(row);
            // Refreshes run from the event loop, never from inside a row's own signal, so the
            // row can go at once.
            delete row;
        }
    }
    rows_ = std::move(kept);
    for (int i = 0; i < static_cast<int>(ordered.size()); ++i) {
        QLayoutItem* item = listLayout_->itemAt(i);
        if (item && item->widget() == ordered[std::size_t(i)]) continue;
        listLayout_->removeWidget(ordered[std::size_t(i)]);
        listLayout_->insertWidget(i, ordered[std::size_t(i)]);
    }
    for (DeviceRow* row : ordered) {
        row->refresh(ctx);
        row->show();
    }
    refreshDepartedRows(static_cast<int>(ordered.size()));
    // The rows are made after the tools below them, so by default Tab would reach them last.
    // Chain their controls in after the mode picker's row, in the order the rows are seen.
    QWidget* previous = keepInStep_;
    for (DeviceRow* row : ordered) {
        for (QWidget* w : row->findChildren<QWidget*>()) {
            if (!(w->focusPolicy() & Qt::TabFocus)) continue;
            QWidget::setTabOrder(previous, w);
            previous = w;
        }
    }
    listLayout_->invalidate();
    list_->remeasure();
}

// A speaker that left while aligned plays on keeps a row below the others that says so, until it
// is back (and its own row returns) or aligned ends.
void MainView::refreshDepartedRows(int at) {
    std::map<std::string, QWidget*> kept;
    for (const Dev& d : c_->departed()) {
        if (kept.count(d.uid)) continue;
        if (auto it = departedRows_.find(d.uid); it != departedRows_.end()) {
            kept[d.uid] = it->second;
            departedRows_.erase(it);
            continue;
        }
        auto* row = new QWidget(listContent_);
        row->setObjectName(QStringLiteral("departedRow:") + QString::fromStdString(d.uid));
        auto* v = new QVBoxLayout(row);
        v->setContentsMargins(0, 2, 0, 2);
        v->setSpacing(2);
        auto* name = new QLabel(QString::fromStdString(d.name), row);
        name->setFont(style::headline());
        name->setEnabled(false);
        v->addWidget(name);
        v->addWidget(style::wrappingLabel(
            QStringLiteral("Left \u2014 the others play on. Back, it joins again at its delay."),
            style::caption(), row));
        kept[d.uid] = row;
    }
    for (auto& [uid, row] : departedRows_) {
        listLayout_->removeWidget(row);
        delete row;
    }
    departedRows_ = std::move(kept);
    for (auto& [uid, row] : departedRows_) {
        listLayout_->removeWidget(row);
        listLayout_->insertWidget(at++, row);
        row->show();
    }
}

void MainView::refreshMicPicker() {
    // The built-in microphone is the recommended entry (no choice stored: the tune takes the
    // first built-in input), listed once, first; every other input after it by name.
    std::optional<Dev> builtIn;
    std::vector<std::pair<std::string, std::string>> items;
    for (const Dev& d : c_->inputs()) {
        if (!builtIn && d.isBuiltIn())
            builtIn = d;
        else
            items.emplace_back(d.name, d.uid);
    }
    if (builtIn) items.insert(items.begin(), {builtIn->name, {}});
    if (items != micItems_ || (mic_->count() == 0 && !items.empty())) {
        micItems_ = std::move(items);
        mic_->clear();
        const QFontMetrics metrics(mic_->font());
        for (const auto& [name, uid] : micItems_) {
            const QString full = QString::fromStdString(name);
            if (uid.empty())
                mic_->addItem(QStringLiteral("Built-in (recommended)"));
            else
                mic_->addItem(metrics.elidedText(full, Qt::ElideMiddle, maxMicNameWidth),
                              QString::fromStdString(uid));
            mic_->setItemData(mic_->count() - 1, full, Qt::ToolTipRole);
        }
    }
    const auto& chosen = c_->micUID();
    int index = builtIn ? 0 : -1;
    if (chosen && !(builtIn && *chosen == builtIn->uid))
        index = mic_->findData(QString::fromStdString(*chosen));
    mic_->setCurrentIndex(index);
}

}  // namespace housetone::ui
