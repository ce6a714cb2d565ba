// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QRect>
#include <QString>

class QTextBrowser;

namespace housetone::ui {

// The Help page as the program shows it: docs/help.md, compiled in, with the folder the program
// really keeps its files in.
QString helpPage();

// Where the Help window goes on a screen whose free area is `available`: its reading size, less
// where the screen is smaller (a small screen, or a large scale factor), centred, with room left
// for the frame.
QRect helpWindowGeometry(const QRect& available);

// The Help window (F1): the three modes, the reference, Crisp, what Aligned does to other
// programs' sound, and the way through the first time. Created once, then only hidden and shown
// again.
class HelpWindow final : public QDialog {
    Q_OBJECT
  public:
    explicit HelpWindow(QWidget* parent = nullptr);

    // Shows the window at the top of the page, fitted to the screen it opens on, in front.
    void present();

    QTextBrowser* browser() const { return browser_; }

  private:
    QTextBrowser* browser_;
};

}  // namespace housetone::ui
