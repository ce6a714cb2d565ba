#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

class QToolButton;
class QMenu;

namespace housetone::ui {

// The header picture of the main window: "hero-dark.png" in the dark appearance, otherwise
// "hero-light.png", from the program's resource directory. It fills whatever height the controls
// below leave over, and keeps a strip of its own when they would take it all; it fades into the
// window background at its lower edge. A missing file draws nothing.
class HeroArtwork final : public QWidget {
  public:
    explicit HeroArtwork(QWidget* parent = nullptr);

    // The dark appearance is in effect when the window background is darker than its text.
    bool isDark() const;
    // The picture for the current appearance; null when its file is missing or unreadable.
    const QImage& picture() const;

    // Shows a small button in the top right corner that pops up `menu` (desktops without a
    // system tray have no other way to reach the menu). Null hides it again.
    void setMenu(QMenu* menu);
    QToolButton* menuButton() const { return menuButton_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void placeMenuButton();
    void updateMinimumHeight();

    QToolButton* menuButton_;
    QPointer<QMenu> menu_;
};

}  // namespace housetone::ui
