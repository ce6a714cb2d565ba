// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/help_window.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMargins>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "core/settings_store.h"

namespace housetone::ui {

namespace {

constexpr int pageWidth = 600;
constexpr int pageHeight = 680;
// Room for the window's frame: its title bar above, thin borders elsewhere.
constexpr QMargins frameAllowance(8, 40, 8, 8);

// The folder as a person would type it: the home folder as "~".
QString shownFolder(const QString& path) {
    const QString home = QDir::homePath();
    if (!home.isEmpty() && home != "/" && path.startsWith(home + "/"))
        return "~" + path.mid(home.size());
    return path;
}

}  // namespace

QString helpPage() {
    QFile file(QStringLiteral(":/help/help.md"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QString page = QString::fromUtf8(file.readAll());
    // The comments are notes for whoever edits the page.
    page.remove(QRegularExpression(QStringLiteral("<!--.*?-->\\s*"),
                                   QRegularExpression::DotMatchesEverythingOption));
    // The page names the usual folder; the one this run uses may differ.
    page.replace(
        QStringLiteral("~/.local/state/vuzeda"),
        shownFolder(QString::fromStdString(SettingsStore::defaultStateDirectory().string())));
    return page;
}

QRect helpWindowGeometry(const QRect& available) {
    QRect page(QPoint(), QSize(pageWidth, pageHeight));
    if (!available.isValid()) return page;
    const QRect inside = available.marginsRemoved(frameAllowance);
    page.setSize(page.size().boundedTo(inside.size()));
    page.moveCenter(inside.center());
    return page;
}

HelpWindow::HelpWindow(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Housetone Help"));
    setModal(false);

    auto* column = new QVBoxLayout(this);
    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("helpPage"));
    browser_->setAccessibleName(QStringLiteral("Housetone Help"));
    browser_->setOpenExternalLinks(true);
    browser_->document()->setDocumentMargin(12);
    const QString page = helpPage();
    if (page.isEmpty())
        browser_->setPlainText(QStringLiteral("The help page is missing from this build."));
    else
        browser_->setMarkdown(page);
    column->addWidget(browser_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
    column->addWidget(buttons);
}

void HelpWindow::present() {
    if (!isVisible()) {
        const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
        setGeometry(helpWindowGeometry(screen ? screen->availableGeometry() : QRect()));
        browser_->verticalScrollBar()->setValue(0);
    }
    show();
    raise();
    activateWindow();
    browser_->setFocus();
}

}  // namespace housetone::ui
