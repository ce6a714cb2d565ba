#include "ui/guided_panel.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

#include "controller/controller.h"
#include "ui/view_style.h"

namespace housetone::ui {

namespace {
constexpr int inset = 10;
constexpr int delayWidth = 60;
constexpr double cornerRadius = 8;
}  // namespace

GuidedPanel::GuidedPanel(Controller& c, QWidget* parent) : QWidget(parent), c_(c) {
    setObjectName(QStringLiteral("guidedPanel"));
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(inset, inset, inset, inset);
    v->setSpacing(6);

    title_ = style::wrappingLabel({}, style::headline(), this);
    title_->setObjectName(QStringLiteral("guidedTitle"));
    v->addWidget(title_);
    caption_ = style::wrappingLabel({}, style::caption(), this);
    caption_->setObjectName(QStringLiteral("guidedCaption"));
    v->addWidget(caption_);

    auto* nudges = new QHBoxLayout;
    nudges->setSpacing(4);
    auto addNudge = [&](double ms) {
        const QString text = (ms < 0 ? QStringLiteral("\u2212") : QStringLiteral("+")) +
                             QString::number(std::abs(ms));
        auto* b = new QToolButton(this);
        b->setText(text);
        b->setObjectName(QStringLiteral("guidedNudge:") + QString::number(ms));
        connect(b, &QToolButton::clicked, this, [this, ms] { c_.nudgeGuided(ms); });
        nudges->addWidget(b);
    };
    for (double ms : {-25.0, -5.0, -1.0})
        addNudge(ms);
    delay_ = new QLabel(this);
    delay_->setObjectName(QStringLiteral("guidedDelay"));
    delay_->setFont(style::monospacedDigits(style::body()));
    delay_->setAlignment(Qt::AlignCenter);
    delay_->setFixedWidth(delayWidth);
    nudges->addWidget(delay_);
    for (double ms : {1.0, 5.0, 25.0})
        addNudge(ms);
    nudges->addStretch(1);
    v->addLayout(nudges);

    auto* actions = new QHBoxLayout;
    actions->setSpacing(6);
    auto* together = new QPushButton(QStringLiteral("They're together \u2713"), this);
    together->setObjectName(QStringLiteral("guidedConfirm"));
    style::makeProminent(together);
    together->setDefault(true);
    confirm_ = together;
    auto* skip = new QPushButton(QStringLiteral("Skip this one"), this);
    skip->setObjectName(QStringLiteral("guidedSkip"));
    auto* stop = new QPushButton(QStringLiteral("Stop"), this);
    stop->setObjectName(QStringLiteral("guidedStop"));
    // Outside a dialog a push button takes Return only when it is an auto-default one; the walk's
    // buttons behave as a dialog's do.
    for (QPushButton* b : {together, skip, stop})
        b->setAutoDefault(true);
    // Skipping keeps whatever delay is set now, exactly as confirming does.
    connect(together, &QPushButton::clicked, this, [this] { c_.confirmGuidedStep(); });
    connect(skip, &QPushButton::clicked, this, [this] { c_.confirmGuidedStep(); });
    connect(stop, &QPushButton::clicked, this,
            [this] { c_.endGuidedAlign(std::string("Guided align stopped.")); });
    actions->addWidget(together);
    actions->addWidget(skip);
    actions->addWidget(stop);
    actions->addStretch(1);
    v->addLayout(actions);
}

void GuidedPanel::refresh(const std::optional<Dev>& reference) {
    const std::optional<Dev> current = c_.currentGuidedTarget();
    if (!current) return;
    const int step = c_.guidedIndex().value_or(0) + 1;
    const auto count = static_cast<long long>(c_.guidedTargets().size());
    const QString speaker = QString::fromStdString(current->name);
    const QString ref =
        reference ? QString::fromStdString(reference->name) : QStringLiteral("the reference");
    title_->setText(QStringLiteral("Step %1 of %2 \u2014 %3").arg(step).arg(count).arg(speaker));
    caption_->setText(QStringLiteral("Only %1 and %2 are playing. Adjust until the two clicks fuse "
                                     "into ONE.")
                          .arg(ref, speaker));
    const auto it = c_.offsets().find(current->uid);
    const double ms = it == c_.offsets().end() ? 0.0 : it->second;
    delay_->setText(QString::number(static_cast<long long>(std::trunc(ms))) +
                    QStringLiteral(" ms"));
}

void GuidedPanel::keyPressEvent(QKeyEvent* event) {
    // Here only what no child took: Return on a nudge button, a label or the panel itself.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && confirm_->isEnabled()) {
        confirm_->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void GuidedPanel::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The walk has begun: Return confirms its first step without a click first.
    if (!isAncestorOf(QApplication::focusWidget())) confirm_->setFocus(Qt::OtherFocusReason);
}

void GuidedPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor fill = style::accent(this);
    fill.setAlphaF(0.1f);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
}

}  // namespace housetone::ui
