#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

class QToolButton;
class QMenu;

namespace housetone::ui {

// The header picture of the main window: "hero-dark.png" in the dark appearance, otherwise
// "hero-light.png", from the program's resource directory. A band whose height follows the
// window's width alone, so that nothing below it moves when the mode or the list changes; it
// fades into the window background at its lower edge (and at its sides on a wide window). A
// missing file draws nothing and takes no room beyond the menu button's.
class HeroArtwork final : public QWidget {
  public:
    explicit HeroArtwork(QWidget* parent = nullptr);

    // The dark appearance is in effect when the window background is darker than its text.
    bool isDark() const;
    // The picture for the current appearance; null when its file is missing or unreadable.
    const QImage& picture() const;
    // Where the picture is drawn, in the band's coordinates; it may reach above and beside it.
    QRectF pictureArea() const;

    // Shows a small button in the top right corner that pops up `menu` (desktops without a
    // system tray have no other way to reach the menu). Null hides it again.
    void setMenu(QMenu* menu);
    QToolButton* menuButton() const { return menuButton_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void placeMenuButton();
    int bandHeight() const;

    QToolButton* menuButton_;
    QPointer<QMenu> menu_;
};

}  // namespace housetone::ui
