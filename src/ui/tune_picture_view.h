#pragma once

// The picture of a tune: where each speaker arrived in the all-together recording before the
// offsets and where the offsets bring it, on one millisecond axis, with the offset limit and any
// speaker that was not heard or was capped marked; below it, the click check's envelope over the
// same axis. Drawn with QPainter (Qt's own, no chart module needed for two simple plots).

#include <QDialog>
#include <QImage>
#include <QPalette>
#include <QString>
#include <optional>
#include <string>

#include "tune/tune_picture.h"

class QLabel;
class QPushButton;

namespace housetone::ui {

// The picture `size.width()` wide and as tall as what it shows (at most `size.height()`), in the
// colors of `palette`.
QImage drawTunePicture(const TunePicture& picture, const QPalette& palette,
                       QSize size = QSize(760, 900));

// Writes `image` as a PNG file at `path` atomically (a full disk leaves the previous file whole);
// nullopt once written, else one line saying why not.
std::optional<std::string> savePngAtomically(const QImage& image, const QString& path);

// The window that shows a picture, or the last one saved when the program has none in memory,
// with "Save as PNG…", which is offered only while there is a picture to save.
class TunePictureView final : public QDialog {
    Q_OBJECT
  public:
    explicit TunePictureView(QWidget* parent = nullptr);

    // Shows `picture`; without one, the image saved at `savedPng` (or a line saying there is none).
    void present(const std::optional<TunePicture>& picture, const QString& savedPng);
    const QImage& image() const { return image_; }
    // Writes the shown picture; false when there is none or it cannot be written.
    bool saveTo(const QString& path) const;

    QPushButton* saveButton() const { return save_; }

  private:
    void saveAs();

    QLabel* canvas_;
    QLabel* report_;
    QPushButton* save_;
    QImage image_;
};

}  // namespace housetone::ui
