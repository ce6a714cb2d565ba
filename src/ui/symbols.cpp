#include "ui/symbols.h"

#include <QApplication>
#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>
#include <QPixmap>

#include "core/dev.h"

namespace housetone::ui {

namespace {

QString symbolPath(const QString& systemName) {
    return QStringLiteral(":/icons/") + systemName + QStringLiteral(".svg");
}

// Renders the black outline of the SVG and then paints the palette color through it, so the
// symbol follows the appearance the way the platform's own symbols do. The palette is read at
// draw time: an appearance switch needs no new icons.
class SymbolIconEngine final : public QIconEngine {
  public:
    explicit SymbolIconEngine(QString path) : path_(std::move(path)), outline_(path_) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap pm = render(rect.size() * dpr, mode, state);
        pm.setDevicePixelRatio(dpr);
        painter->drawPixmap(rect, pm);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return render(size, mode, state);
    }

    QIconEngine* clone() const override { return new SymbolIconEngine(path_); }
    QString key() const override { return QStringLiteral("housetone-symbol"); }

  private:
    QPixmap render(const QSize& size, QIcon::Mode mode, QIcon::State state) const {
        if (size.isEmpty()) return {};
        QPixmap pm = outline_.pixmap(size, 1.0, QIcon::Normal, state);
        pm.setDevicePixelRatio(1.0);
        if (pm.isNull()) return pm;
        const QPalette pal = QApplication::palette();
        QColor color = pal.color(QPalette::Active, QPalette::WindowText);
        if (mode == QIcon::Disabled)
            color = pal.color(QPalette::Disabled, QPalette::WindowText);
        else if (mode == QIcon::Selected)
            color = pal.color(QPalette::Active, QPalette::HighlightedText);
        QPainter p(&pm);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(pm.rect(), color);
        return pm;
    }

    QString path_;
    QIcon outline_;  // the SVG as shipped (black); rasterised by Qt's SVG icon plugin
};

}  // namespace

bool hasSymbol(const QString& systemName) {
    return QFile::exists(symbolPath(systemName));
}

QString transportSymbol(std::uint32_t transport) {
    return transport == transport::network ? QStringLiteral("network") : QString();
}

QIcon symbolIcon(const QString& systemName) {
    if (!hasSymbol(systemName)) return {};
    return QIcon(new SymbolIconEngine(symbolPath(systemName)));
}

}  // namespace housetone::ui
