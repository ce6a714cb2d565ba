// Draws the program's pictures at build time, so that every picture it ships comes from this file
// or from the icon's one drawing (packaging/housetone.svg):
//   hero-light.png, hero-dark.png   the header across the main window (2240 x 640, shown at half)
//   AppIcon.svg                     the program icon, for the About panel
//   AppIcon.png                     the icon at 512 x 512 for the window and the tray
//   icons/<n>x<n>/apps/housetone.png  the icon at the sizes desktop icon themes look for
//   icons/scalable/apps/housetone.svg the icon for themes that take any size
//
// The motif: several speakers at different distances send wavefronts that reach one listening
// point together, and below them a row of clicks that line up.
//
// Usage: housetone-artwork OUTPUT_DIRECTORY ICON_SVG
#include <QColor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <tuple>
#include <utility>

namespace {

struct Palette {
    QColor skyTop, skyBottom;  // background gradient
    QColor glow;               // soft light behind the meeting point
    QColor hill1, hill2;       // the two bands of ground
    QColor wave;               // wavefront arcs
    QColor speakerBody, speakerFace, cone;
    QColor pulse;  // the aligned clicks
    QColor listener;
};

const Palette lightLook{
    QColor(0xfd, 0xf4, 0xe7), QColor(0xdc, 0xec, 0xf5), QColor(0xff, 0xe2, 0xb8, 200),
    QColor(0xc9, 0xe2, 0xdc), QColor(0xa9, 0xd0, 0xc8), QColor(0x2f, 0x7f, 0x86, 150),
    QColor(0x2e, 0x3b, 0x4e), QColor(0x45, 0x55, 0x6c), QColor(0xf0, 0x8a, 0x5d),
    QColor(0xe0, 0x6d, 0x4f), QColor(0xe0, 0x6d, 0x4f)};

const Palette darkLook{
    QColor(0x0d, 0x12, 0x26), QColor(0x1b, 0x1f, 0x3d), QColor(0x5b, 0x3f, 0xb8, 150),
    QColor(0x18, 0x2a, 0x44), QColor(0x12, 0x20, 0x36), QColor(0x6f, 0xe3, 0xe0, 150),
    QColor(0x0b, 0x0e, 0x1a), QColor(0x23, 0x2a, 0x45), QColor(0xff, 0x9e, 0x6b),
    QColor(0xff, 0x8a, 0x6b), QColor(0xff, 0xc1, 0x7a)};

// One speaker cabinet standing on the ground at `base` (bottom centre), `h` tall.
void drawSpeaker(QPainter& p, QPointF base, double h, const Palette& c) {
    const double w = h * 0.58;
    const QRectF body(base.x() - w / 2, base.y() - h, w, h);
    p.setPen(Qt::NoPen);
    p.setBrush(c.speakerBody);
    p.drawRoundedRect(body, w * 0.14, w * 0.14);
    p.setBrush(c.speakerFace);
    p.drawRoundedRect(body.adjusted(w * 0.08, w * 0.08, -w * 0.08, -w * 0.08), w * 0.1, w * 0.1);
    // Tweeter above, woofer below.
    const QPointF tweeter(body.center().x(), body.top() + h * 0.24);
    const QPointF woofer(body.center().x(), body.top() + h * 0.64);
    for (const auto& [centre, r] : {std::pair{tweeter, w * 0.16}, std::pair{woofer, w * 0.3}}) {
        p.setBrush(c.speakerBody);
        p.drawEllipse(centre, r * 1.12, r * 1.12);
        QRadialGradient cone(centre, r);
        cone.setColorAt(0, c.cone.lighter(125));
        cone.setColorAt(0.55, c.cone);
        cone.setColorAt(1, c.cone.darker(150));
        p.setBrush(cone);
        p.drawEllipse(centre, r, r);
        p.setBrush(c.speakerBody);
        p.drawEllipse(centre, r * 0.28, r * 0.28);
    }
}

// Wavefront arcs centred on a speaker, the last one reaching `meet`.
void drawWaves(QPainter& p, QPointF from, QPointF meet, int rings, const Palette& c, double scale) {
    const double reach = std::hypot(meet.x() - from.x(), meet.y() - from.y());
    const double towards =
        std::atan2(-(meet.y() - from.y()), meet.x() - from.x()) * 180 / std::numbers::pi;
    for (int i = 1; i <= rings; ++i) {
        const double r = reach * i / rings;
        QColor col = c.wave;
        col.setAlphaF(col.alphaF() * (0.35 + 0.65 * i / rings));
        p.setPen(QPen(col, scale * (2.0 + 2.5 * i / rings), Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        // Ripples of about the same length whatever their radius, so far ones stay short.
        const double span = std::clamp(150.0 * scale / r * 180 / std::numbers::pi, 10.0, 56.0);
        const QRectF box(from.x() - r, from.y() - r, 2 * r, 2 * r);
        p.drawArc(box, static_cast<int>((towards - span / 2) * 16), static_cast<int>(span * 16));
    }
}

QImage hero(const Palette& c) {
    const int w = 2240, h = 640;
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0, c.skyTop);
    sky.setColorAt(1, c.skyBottom);
    p.fillRect(img.rect(), sky);

    const QPointF meet(w * 0.5, h * 0.34);
    QRadialGradient glow(meet, h * 0.9);
    glow.setColorAt(0, c.glow);
    glow.setColorAt(1, QColor(c.glow.red(), c.glow.green(), c.glow.blue(), 0));
    p.fillRect(img.rect(), glow);

    // Two gentle bands of ground.
    for (const auto& [colour, top, swing] :
         {std::tuple{c.hill1, 0.70, 0.05}, std::tuple{c.hill2, 0.80, 0.035}}) {
        QPainterPath ground;
        ground.moveTo(0, h);
        for (int x = 0; x <= w; x += 16) {
            const double y =
                h * (top + swing * std::sin(x / double(w) * 2 * std::numbers::pi * 1.3 + top * 9));
            ground.lineTo(x, y);
        }
        ground.lineTo(w, h);
        ground.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawPath(ground);
    }

    // Speakers left and right, nearer ones larger; every wavefront set ends at the same point.
    struct Place {
        double x, groundY, height;
        int rings;
    };
    const Place places[] = {{0.10, 0.86, 250, 7}, {0.24, 0.76, 170, 6}, {0.35, 0.72, 110, 4},
                            {0.66, 0.73, 120, 4}, {0.78, 0.78, 190, 6}, {0.91, 0.88, 270, 7}};
    for (const Place& s : places) {
        const QPointF mouth(w * s.x, h * s.groundY - s.height * 0.55);
        drawWaves(p, mouth, meet, s.rings, c, s.height / 180.0);
    }
    for (const Place& s : places)
        drawSpeaker(p, QPointF(w * s.x, h * s.groundY), s.height, c);

    // The listening point.
    p.setPen(Qt::NoPen);
    QRadialGradient dot(meet, 34);
    dot.setColorAt(0, c.listener);
    dot.setColorAt(0.45, c.listener);
    dot.setColorAt(1, QColor(c.listener.red(), c.listener.green(), c.listener.blue(), 0));
    p.setBrush(dot);
    p.drawEllipse(meet, 34, 34);

    // A strip of clicks in step along the bottom edge.
    const double baseline = h * 0.945;
    for (int i = 0; i < 28; ++i) {
        const double x = w * (0.05 + 0.9 * i / 27.0);
        const double tall = (i % 4 == 0) ? 26 : 12;
        QColor col = c.pulse;
        col.setAlphaF(i % 4 == 0 ? 0.9 : 0.45);
        p.setPen(QPen(col, 6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(x, baseline - tall), QPointF(x, baseline + tall));
    }
    return img;
}

bool savePng(const QImage& img, const QString& path) {
    QImageWriter writer(path, "png");
    if (writer.write(img)) return true;
    std::fprintf(stderr, "housetone-artwork: cannot write %s: %s\n", qPrintable(path),
                 qPrintable(writer.errorString()));
    return false;
}

// The icon at `size` pixels, rendered from its drawing (Qt's SVG image plugin, which the program
// needs at run time anyway for its symbols).
QImage iconAt(const QString& svg, int size) {
    QImageReader reader(svg, "svg");
    reader.setScaledSize(QSize(size, size));
    QImage img = reader.read();
    if (img.isNull())
        std::fprintf(stderr, "housetone-artwork: cannot render %s: %s\n", qPrintable(svg),
                     qPrintable(reader.errorString()));
    return img;
}

bool copyFile(const QString& from, const QString& to) {
    QFile::remove(to);
    if (QFile::copy(from, to)) return true;
    std::fprintf(stderr, "housetone-artwork: cannot copy %s to %s\n", qPrintable(from),
                 qPrintable(to));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: housetone-artwork OUTPUT_DIRECTORY ICON_SVG\n");
        return 2;
    }
    // Drawing needs no screen; the offscreen platform keeps the build independent of a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Without a runtime folder Qt makes /tmp/runtime-<user> and leaves it behind after the build;
    // a folder of this run's own (0700) goes when it ends, after the application.
    QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtime.isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QGuiApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString svg = QString::fromLocal8Bit(argv[2]);
    if (!QDir().mkpath(out) || !QDir().mkpath(out + "/icons/scalable/apps")) {
        std::fprintf(stderr, "housetone-artwork: cannot create %s\n", argv[1]);
        return 1;
    }

    bool ok = savePng(hero(lightLook), out + "/hero-light.png") &&
              savePng(hero(darkLook), out + "/hero-dark.png");
    ok = ok && copyFile(svg, out + "/AppIcon.svg") &&
         copyFile(svg, out + "/icons/scalable/apps/housetone.svg");
    const QImage big = iconAt(svg, 512);
    ok = ok && !big.isNull() && savePng(big, out + "/AppIcon.png");
    for (const int n : {16, 24, 32, 48, 64, 128, 256, 512}) {
        const QString dir = out + QString("/icons/%1x%1/apps").arg(n);
        const QImage icon = iconAt(svg, n);
        ok = ok && !icon.isNull() && QDir().mkpath(dir) && savePng(icon, dir + "/housetone.png");
    }
    return ok ? 0 : 1;
}
