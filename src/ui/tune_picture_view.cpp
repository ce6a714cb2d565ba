#include "ui/tune_picture_view.h"

#include <QBuffer>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "core/atomic_write.h"

namespace housetone::ui {

namespace {

constexpr int margin = 16;
constexpr int nameColumn = 170;
constexpr int rowHeight = 26;
constexpr int envelopeHeight = 110;
// One color per speaker, told apart in both appearances (the light set darker, the dark set
// lighter, so each reads against its window).
QColor speakerColor(std::size_t i, bool dark) {
    static const QColor light[] = {{0, 92, 200},   {200, 80, 0},  {20, 130, 60}, {170, 30, 120},
                                   {110, 70, 190}, {0, 125, 140}, {150, 110, 0}, {190, 30, 40}};
    static const QColor darkSet[] = {{90, 170, 255},  {255, 150, 70},  {90, 210, 120},
                                     {240, 120, 200}, {180, 150, 255}, {70, 210, 220},
                                     {230, 200, 80},  {255, 110, 110}};
    return (dark ? darkSet : light)[i % std::size(light)];
}

bool isDark(const QPalette& p) {
    return p.color(QPalette::Window).lightness() < p.color(QPalette::WindowText).lightness();
}

QString ms(double v) {
    return QString::number(std::lround(v)) + QStringLiteral(" ms");
}

// One picture being drawn: the painter, the colours and the millisecond axis every step shares.
// Each step draws below `y` and moves it down past what it drew.
struct TuneCanvas {
    TuneCanvas(QImage& img, const TunePicture& p, const QPalette& palette)
        : p(p),
          palette(palette),
          window(palette.color(QPalette::Window)),
          text(palette.color(QPalette::WindowText)),
          faint(withAlpha(text, 0.6f)),
          grid(withAlpha(text, 0.15f)),
          dark(isDark(palette)),
          g(&img),
          axis(tuneAxis(p)),
          right(img.width() - margin) {
        g.setRenderHint(QPainter::Antialiasing);
        font = g.font();
        font.setPixelSize(13);
        g.setFont(font);
        line = g.fontMetrics().height();
        for (const auto& s : p.speakers)
            if (s.heard && !s.capped) landing = std::max(landing, s.afterMs);
    }

    static QColor withAlpha(QColor c, float alpha) {
        c.setAlphaF(alpha);
        return c;
    }
    double x(double t) const {
        return left + (t - axis.startMs) / (axis.endMs - axis.startMs) * (right - left);
    }

    void drawTitle() {
        QFont bold = font;
        bold.setBold(true);
        g.setFont(bold);
        g.setPen(text);
        g.drawText(margin, y + line,
                   QStringLiteral("What the microphone heard \u2014 pass %1").arg(p.pass));
        g.setFont(font);
        y += line + 10;
    }

    // Speakers: hollow where they arrived all together, filled where the offsets bring them.
    void drawSpeakerRows() {
        rowsTop = y;
        for (std::size_t i = 0; i < p.speakers.size(); ++i) {
            drawSpeakerRow(p.speakers[i], speakerColor(i, dark));
            y += rowHeight;
        }
        rowsBottom = y;
        // Room for the limit's span and its label.
        y += 2 * line + 4;
    }

    void drawSpeakerRow(const TunePicture::Speaker& s, const QColor& c) {
        const int mid = y + rowHeight / 2;
        g.setPen(c);
        g.drawText(QRect(margin, y, nameColumn - 8, rowHeight), Qt::AlignVCenter | Qt::AlignLeft,
                   g.fontMetrics().elidedText(QString::fromStdString(s.name), Qt::ElideRight,
                                              nameColumn - 8));
        if (!s.heard) {
            g.setPen(faint);
            g.drawText(QRect(left, y, right - left, rowHeight), Qt::AlignVCenter,
                       QStringLiteral("not heard \u2014 no offset measured"));
            return;
        }
        const QPointF before(x(s.beforeMs), mid), after(x(s.afterMs), mid);
        g.setPen(QPen(c, 1.5));
        g.drawLine(before, after);
        g.setBrush(window);
        g.drawEllipse(before, 5, 5);
        g.setBrush(c);
        g.drawEllipse(after, 5, 5);
        g.setBrush(Qt::NoBrush);
        QString note = QStringLiteral("+") + ms(s.offsetMs);
        if (s.capped) note += QStringLiteral("  capped: arrives early");
        g.setPen(s.capped ? QColor(dark ? QColor(255, 120, 120) : QColor(180, 20, 20)) : faint);
        g.drawText(QPointF(std::max(before.x(), after.x()) + 9, mid + line / 3.0), note);
    }

    // The envelope of the click check under the same axis.
    void drawEnvelope() {
        const int envTop = y;
        envBottom = y + envelopeHeight;
        g.setPen(faint);
        g.drawText(QRect(margin, envTop, nameColumn - 8, envelopeHeight),
                   Qt::AlignVCenter | Qt::TextWordWrap,
                   p.envelope.empty() ? QStringLiteral("click check: nothing heard")
                                      : QStringLiteral("click check after the offsets"));
        if (!p.envelope.empty()) {
            QPainterPath path;
            for (std::size_t k = 0; k < p.envelope.size(); ++k) {
                const QPointF pt(x(p.envelopeStartMs + double(k)),
                                 envBottom - double(p.envelope[k]) * (envelopeHeight - 4));
                if (k == 0)
                    path.moveTo(pt);
                else
                    path.lineTo(pt);
            }
            g.setPen(QPen(palette.color(QPalette::Highlight), 1.5));
            g.drawPath(path);
        }
        y = envBottom + 4;
    }

    // Grid, ticks and the limit (when it reaches onto the axis), over both plots.
    void drawGridAndLimit() {
        g.setPen(QPen(grid, 1));
        const double step = axis.tickMs;
        for (double t = std::ceil(axis.startMs / step) * step; t <= axis.endMs + 0.5; t += step) {
            g.drawLine(QPointF(x(t), rowsTop), QPointF(x(t), envBottom));
            g.setPen(faint);
            g.drawText(QRectF(x(t) - 40, y, 80, line), Qt::AlignHCenter, ms(t));
            g.setPen(QPen(grid, 1));
        }
        g.drawLine(QPointF(left, envBottom), QPointF(right, envBottom));
        if (axis.showsLimit) drawLimitSpan();
        y += line + 8;
    }

    // The limit is a span, not a time: how far the offsets can carry an arrival towards where the
    // speakers land. An arrow across it says so; an arrival left of its dashed end stays early.
    void drawLimitSpan() {
        const double limitX = x(landing - p.limitMs);
        const double landingX = x(landing);
        g.setPen(QPen(text, 1, Qt::DashLine));
        g.drawLine(QPointF(limitX, rowsTop), QPointF(limitX, envBottom));
        g.setPen(QPen(text, 1));
        const double arrowY = rowsBottom + line / 2.0;
        const double head = 4;
        g.drawLine(QPointF(limitX, arrowY), QPointF(landingX, arrowY));
        for (const auto& [tip, back] :
             {std::pair{limitX, limitX + head}, {landingX, landingX - head}}) {
            g.drawLine(QPointF(tip, arrowY), QPointF(back, arrowY - head));
            g.drawLine(QPointF(tip, arrowY), QPointF(back, arrowY + head));
        }
        const QString label = QStringLiteral("up to %1 ms of delay").arg(std::lround(p.limitMs));
        const double w = g.fontMetrics().horizontalAdvance(label) + 8;
        const QRectF box((limitX + landingX - w) / 2, arrowY + 2, w, line);
        g.drawText(box, Qt::AlignHCenter | Qt::AlignTop, label);
    }

    // Each item whole, a clear gap between items; one that does not fit goes to the next line.
    void drawLegend(int width) {
        g.setPen(faint);
        const QString items[] = {QStringLiteral("\u25cb arrival all together, before the offsets"),
                                 QStringLiteral("\u25cf with the offsets"),
                                 QStringLiteral("time from the earliest arrival")};
        const int gap = g.fontMetrics().horizontalAdvance(QLatin1Char('M')) * 3;
        int at = margin;
        for (const QString& item : items) {
            const int w = g.fontMetrics().horizontalAdvance(item);
            if (at > margin && at + w > width - margin) {
                at = margin;
                y += line;
            }
            g.drawText(QPointF(at, y + g.fontMetrics().ascent()), item);
            at += w + gap;
        }
        y += line + margin;
    }

    const TunePicture& p;
    const QPalette& palette;
    const QColor window, text, faint, grid;
    const bool dark;
    QPainter g;
    QFont font;
    int line = 0;
    const TuneAxis axis;
    const int left = margin + nameColumn, right;
    double landing = 0;  // where the offsets bring the speakers that are not capped
    int y = margin, rowsTop = 0, rowsBottom = 0, envBottom = 0;
};

}  // namespace

QImage drawTunePicture(const TunePicture& p, const QPalette& palette, QSize size) {
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    img.fill(palette.color(QPalette::Window));
    TuneCanvas canvas(img, p, palette);
    canvas.drawTitle();
    canvas.drawSpeakerRows();
    canvas.drawEnvelope();
    canvas.drawGridAndLimit();
    canvas.drawLegend(size.width());
    canvas.g.end();
    const int y = canvas.y;
    // As tall as what was drawn, however many speakers there were.
    return y < size.height() ? img.copy(0, 0, size.width(), y) : img;
}

TunePictureView::TunePictureView(QWidget* parent)
    : QDialog(parent), canvas_(new QLabel(this)), report_(new QLabel(this)) {
    setWindowTitle(QStringLiteral("Last tune"));
    setObjectName(QStringLiteral("tunePictureView"));
    auto* v = new QVBoxLayout(this);
    canvas_->setObjectName(QStringLiteral("tunePicture"));
    canvas_->setAlignment(Qt::AlignCenter);
    v->addWidget(canvas_, 1);
    report_->setObjectName(QStringLiteral("saveReport"));
    report_->setWordWrap(true);
    report_->hide();
    v->addWidget(report_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* close = buttons->button(QDialogButtonBox::Close);
    // Words only: the style's close icon is drawn dark whatever the appearance, and vanishes on
    // a dark button.
    close->setIcon(QIcon());
    close->setDefault(true);
    save_ = buttons->addButton(QStringLiteral("Save as PNG\u2026"), QDialogButtonBox::ActionRole);
    save_->setObjectName(QStringLiteral("saveTunePicture"));
    save_->setAutoDefault(false);
    save_->setEnabled(false);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
    connect(save_, &QPushButton::clicked, this, &TunePictureView::saveAs);
    v->addWidget(buttons);
}

void TunePictureView::present(const std::optional<TunePicture>& picture, const QString& savedPng) {
    image_ = picture ? drawTunePicture(*picture, palette()) : QImage(savedPng);
    if (image_.isNull()) {
        canvas_->setPixmap({});
        canvas_->setText(QStringLiteral("No tune yet: run Auto-tune, and its picture shows here."));
    } else {
        canvas_->setPixmap(QPixmap::fromImage(image_));
    }
    save_->setEnabled(!image_.isNull());
    report_->clear();
    report_->hide();
    adjustSize();
    show();
    raise();
    activateWindow();
}

void TunePictureView::saveAs() {
    if (image_.isNull()) return;
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the tune picture"),
                                                      QStringLiteral("autotune.png"),
                                                      QStringLiteral("PNG image (*.png)"));
    if (path.isEmpty()) return;
    const auto why = savePngAtomically(image_, path);
    report_->setText(why ? QStringLiteral("Not saved: ") + QString::fromStdString(*why)
                         : QStringLiteral("Saved as ") + path);
    report_->show();
}

std::optional<std::string> savePngAtomically(const QImage& image, const QString& path) {
    QByteArray png;
    QBuffer buffer(&png);
    if (image.isNull() || !buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return "the picture cannot be made";
    std::string why;
    if (writeFileAtomically(path.toStdString(), png.toStdString(), &why)) return std::nullopt;
    return "cannot write \"" + path.toStdString() + "\" (" + why + ")";
}

bool TunePictureView::saveTo(const QString& path) const {
    return !savePngAtomically(image_, path);
}

}  // namespace housetone::ui
