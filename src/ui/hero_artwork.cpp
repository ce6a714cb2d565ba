#include "ui/hero_artwork.h"

#include <algorithm>
#include <cmath>

#include <QEvent>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QToolButton>

#include "ui/resources.h"
#include "ui/symbols.h"

namespace housetone::ui {

namespace {

constexpr int menuMargin = 8;
// The band's height follows the window's width only, never the mode or the number of speakers,
// so that the controls under it stay where they are when the list grows. Within these bounds it
// is a third of the picture's own height at that width: at the launch size that leaves room for
// five speakers in Aligned mode.
constexpr int bandMinimumHeight = 56;
constexpr int bandMaximumHeight = 120;
// On a short screen (a large scale on a small display) the band leaves the room to the controls.
constexpr int screenShareForBand = 6;
// However wide the window, at least this share of the picture's height is shown, the speakers
// whole: a wide band shows the picture in the middle and fades its sides, rather than a slice of
// sky or grass.
constexpr double shownShareAtLeast = 0.75;
constexpr int sideFade = 48;

// Each picture is read once and kept for the life of the program. QImage rather than QPixmap:
// it may outlive the application object without complaint.
const QImage& heroImage(bool dark) {
    static const QImage light(resourcePath(QStringLiteral("hero-light.png")));
    static const QImage darkImage(resourcePath(QStringLiteral("hero-dark.png")));
    return dark ? darkImage : light;
}

}  // namespace

HeroArtwork::HeroArtwork(QWidget* parent) : QWidget(parent), menuButton_(new QToolButton(this)) {
    setObjectName(QStringLiteral("heroArtwork"));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    menuButton_->setObjectName(QStringLiteral("menuButton"));
    menuButton_->setIcon(symbolIcon(QStringLiteral("line.3.horizontal")));
    if (menuButton_->icon().isNull()) menuButton_->setText(QStringLiteral("\u2630"));
    menuButton_->setToolTip(QStringLiteral("Menu"));
    menuButton_->setAccessibleName(menuButton_->toolTip());
    menuButton_->setAutoRaise(true);
    // The menu pops up by hand rather than through QToolButton::setMenu, which would attach the
    // menu's items to the window: their shortcuts would then clash with the window's own.
    connect(menuButton_, &QToolButton::clicked, this, [this] {
        if (menu_) menu_->popup(menuButton_->mapToGlobal(QPoint(0, menuButton_->height())));
    });
    menuButton_->hide();
}

int HeroArtwork::bandHeight() const {
    const int forMenu = menu_ ? menuButton_->sizeHint().height() + 2 * menuMargin : 0;
    const QImage& img = picture();
    if (img.isNull()) return forMenu;
    // The window's width rather than the band's own: the page's scroll bar coming and going must
    // not change the band, or the band would make the scroll bar come and go.
    const int width = window()->width();
    int top = bandMaximumHeight;
    if (const QScreen* s = screen())
        top = std::min(top, s->availableGeometry().height() / screenShareForBand);
    const int natural = int(std::lround(width * img.height() / (3.0 * img.width())));
    return std::max(forMenu,
                    std::clamp(natural, bandMinimumHeight, std::max(bandMinimumHeight, top)));
}

QSize HeroArtwork::sizeHint() const {
    return {picture().isNull() ? 0 : picture().width() / 2, bandHeight()};
}

QSize HeroArtwork::minimumSizeHint() const {
    return {0, bandHeight()};
}

bool HeroArtwork::isDark() const {
    return palette().color(QPalette::Window).lightness() <
           palette().color(QPalette::WindowText).lightness();
}

const QImage& HeroArtwork::picture() const {
    return heroImage(isDark());
}

void HeroArtwork::setMenu(QMenu* menu) {
    menu_ = menu;
    menuButton_->setVisible(menu != nullptr);
    updateGeometry();
    placeMenuButton();
}

void HeroArtwork::placeMenuButton() {
    const QSize s = menuButton_->sizeHint();
    menuButton_->setGeometry(width() - s.width() - menuMargin, menuMargin, s.width(), s.height());
}

void HeroArtwork::resizeEvent(QResizeEvent*) {
    placeMenuButton();
    if (height() != bandHeight()) updateGeometry();
}

void HeroArtwork::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        updateGeometry();
        update();
    }
    QWidget::changeEvent(event);
}

QRectF HeroArtwork::pictureArea() const {
    const QImage& img = picture();
    if (img.isNull() || width() <= 0 || height() <= 0) return {};
    // Cover the band without distorting, cropping the sky above the speakers, but never more
    // than the shown share allows; what the picture then leaves at the sides fades into the
    // window.
    const double scale =
        std::min(std::max(double(width()) / img.width(), double(height()) / img.height()),
                 height() / (shownShareAtLeast * img.height()));
    const QSizeF drawn(img.width() * scale, img.height() * scale);
    return {(width() - drawn.width()) / 2, height() - drawn.height(), drawn.width(),
            drawn.height()};
}

void HeroArtwork::paintEvent(QPaintEvent*) {
    const QRectF target = pictureArea();
    if (target.isEmpty()) return;

    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setClipRect(rect());
    p.drawImage(target, picture());

    const QColor window = palette().color(QPalette::Window);
    QColor clear = window;
    clear.setAlpha(0);
    if (target.left() > 0) {
        const double fade = std::min<double>(sideFade, target.width() / 4);
        QLinearGradient left(target.left(), 0, target.left() + fade, 0);
        left.setColorAt(0, window);
        left.setColorAt(1, clear);
        p.fillRect(QRectF(target.left(), 0, fade, height()), left);
        QLinearGradient right(target.right() - fade, 0, target.right(), 0);
        right.setColorAt(0, clear);
        right.setColorAt(1, window);
        p.fillRect(QRectF(target.right() - fade, 0, fade, height()), right);
    }
    // A third of the band at most: a short band still shows its speakers.
    const int fade = std::min(height() / 3, 48);
    QLinearGradient g(0, height() - fade, 0, height());
    g.setColorAt(0, clear);
    g.setColorAt(1, window);
    p.fillRect(QRect(0, height() - fade, width(), fade), g);
}

}  // namespace housetone::ui
