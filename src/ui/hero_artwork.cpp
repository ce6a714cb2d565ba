#include "ui/hero_artwork.h"

#include <QEvent>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QToolButton>

#include "ui/resources.h"
#include "ui/symbols.h"

namespace housetone::ui {

namespace {

constexpr int menuMargin = 8;
// The picture always keeps a strip of the window, however many speakers the list holds.
constexpr int pictureMinimumHeight = 56;

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
    // Ignored: the picture never asks for height; it gets what the controls leave.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Ignored);
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
    updateMinimumHeight();
}

void HeroArtwork::updateMinimumHeight() {
    const int forMenu = menu_ ? menuButton_->sizeHint().height() + 2 * menuMargin : 0;
    setMinimumHeight(std::max(picture().isNull() ? 0 : pictureMinimumHeight, forMenu));
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
    updateMinimumHeight();
    placeMenuButton();
}

void HeroArtwork::placeMenuButton() {
    const QSize s = menuButton_->sizeHint();
    menuButton_->setGeometry(width() - s.width() - menuMargin, menuMargin, s.width(), s.height());
}

void HeroArtwork::resizeEvent(QResizeEvent*) {
    placeMenuButton();
}

void HeroArtwork::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        updateMinimumHeight();
        update();
    }
    QWidget::changeEvent(event);
}

void HeroArtwork::paintEvent(QPaintEvent*) {
    const QImage& img = picture();
    if (img.isNull() || width() <= 0 || height() <= 0) return;

    // Fill the whole area without distorting: scale until both sides are covered, crop the rest
    // evenly from the sides (or from the bottom, which the fade hides).
    const double scale = std::max(double(width()) / img.width(), double(height()) / img.height());
    const QSizeF drawn(img.width() * scale, img.height() * scale);
    const QRectF target((width() - drawn.width()) / 2, 0, drawn.width(), drawn.height());

    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setClipRect(rect());
    p.drawImage(target, img);

    const QColor window = palette().color(QPalette::Window);
    QColor clear = window;
    clear.setAlpha(0);
    const int fade = std::min(height(), 48);
    QLinearGradient g(0, height() - fade, 0, height());
    g.setColorAt(0, clear);
    g.setColorAt(1, window);
    p.fillRect(QRect(0, height() - fade, width(), fade), g);
}

}  // namespace housetone::ui
