#include "ui/about_panel.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "ui/resources.h"

namespace housetone::ui {

namespace {

constexpr int panelWidth = 420;
constexpr int panelHeight = 560;
constexpr int iconSize = 104;
constexpr int descriptionWidth = 320;

// Both come from the build (the project's version and home page).
const QString applicationVersion = QStringLiteral(HOUSETONE_VERSION);
const QString homeAddress = QStringLiteral(HOUSETONE_HOME);
const QString licenceAddress = QStringLiteral("https://www.gnu.org/licenses/gpl-3.0.html");

QLabel* makeLabel(const QString& text, int pointSize, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSize(pointSize);
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

// A label whose links open in the desktop's browser and can be reached with Tab.
void linkOut(QLabel* label) {
    label->setTextFormat(Qt::RichText);
    label->setOpenExternalLinks(true);
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
}

}  // namespace

AboutPanel::AboutPanel(std::weak_ptr<Controller> controller, const QString& audio, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint),
      controller_(std::move(controller)) {
    setWindowTitle("About Housetone");
    setModal(false);
    setFixedSize(panelWidth, panelHeight);
    setSizeGripEnabled(false);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(12);
    column->addStretch(1);

    icon_ = new QLabel(this);
    icon_->setFixedSize(iconSize, iconSize);
    icon_->setAccessibleName("Housetone icon");
    // The icon the package installs for the desktop, drawn at whatever size and scale the screen
    // asks for.
    const QIcon icon(resourcePath("AppIcon.svg"));
    icon_->setPixmap(icon.pixmap(QSize(iconSize, iconSize), devicePixelRatio()));
    column->addWidget(icon_, 0, Qt::AlignHCenter);

    column->addWidget(makeLabel("Housetone", 19, this), 0, Qt::AlignHCenter);

    description_ = makeLabel("Every speaker in the room, playing in step.", 13, this);
    description_->setWordWrap(true);
    description_->setForegroundRole(QPalette::PlaceholderText);
    // Centred by stretches rather than by an alignment flag: an aligned item is laid out at its
    // size hint, whose height assumes whatever width the label guessed, and the lines beyond it
    // were cut. Between stretches the label gets its full width and the height for that width.
    description_->setFixedWidth(descriptionWidth);
    auto* centred = new QHBoxLayout;
    centred->addStretch(1);
    centred->addWidget(description_);
    centred->addStretch(1);
    column->addLayout(centred);

    QLabel* version = makeLabel(QStringLiteral("Version ") + applicationVersion, 11, this);
    version->setObjectName("version");
    column->addWidget(version, 0, Qt::AlignHCenter);

    QLabel* licence = makeLabel(
        QStringLiteral("Free software under the <a href=\"%1\">GNU General Public License</a>, "
                       "version 3 or later.")
            .arg(licenceAddress),
        11, this);
    licence->setObjectName("licence");
    licence->setWordWrap(true);
    licence->setFixedWidth(descriptionWidth);
    linkOut(licence);
    auto* licenceRow = new QHBoxLayout;
    licenceRow->addStretch(1);
    licenceRow->addWidget(licence);
    licenceRow->addStretch(1);
    column->addLayout(licenceRow);

    QLabel* home = makeLabel(QStringLiteral("<a href=\"%1\">%2</a>")
                                 .arg(homeAddress, QString(homeAddress).remove("https://")),
                             11, this);
    home->setObjectName("home");
    home->setAccessibleName(QStringLiteral("Project home"));
    linkOut(home);
    column->addWidget(home, 0, Qt::AlignHCenter);

    QLabel* backend = makeLabel("Audio: " + audio, 11, this);
    backend->setObjectName("audioSystem");
    backend->setForegroundRole(QPalette::PlaceholderText);
    column->addWidget(backend, 0, Qt::AlignHCenter);

    ok_ = new QPushButton("OK", this);
    ok_->setDefault(true);  // Return presses it
    connect(ok_, &QPushButton::clicked, this, &AboutPanel::closeAbout);
    column->addWidget(ok_, 0, Qt::AlignHCenter);
    column->addStretch(1);
}

void AboutPanel::closeAbout() {
    hide();
}

void AboutPanel::present() {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    raise();
    activateWindow();
    ok_->setFocus();
}

// A soft wash of the window color stands in for a translucent backdrop, which not every
// compositor offers.
void AboutPanel::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    const QColor base = palette().color(QPalette::Window);
    QLinearGradient wash(0, 0, 0, height());
    wash.setColorAt(0, base.lighter(108));
    wash.setColorAt(1, base.darker(104));
    p.fillRect(rect(), wash);
    QDialog::paintEvent(event);
}

}  // namespace housetone::ui
