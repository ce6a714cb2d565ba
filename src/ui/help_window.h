// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QString>

class QTextBrowser;

namespace housetone::ui {

// The Help page as the program shows it: docs/help.md, compiled in, with the folder the program
// really keeps its files in.
QString helpPage();

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
