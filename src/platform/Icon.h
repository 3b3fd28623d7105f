// Icons (.ico files): a set of images of different sizes and depths, each a packed DIB with
// its AND mask or a PNG image. The icon shows its largest image (the deepest among equally
// large ones) with its transparency. Icons are never edited: saving writes back the bytes
// the icon was read from, unchanged.
#pragma once

#include <QImage>

#include "platform/Graphic.h"

class Icon : public Graphic {
public:
    Icon() = default;

    // Size of the shown image; 0 × 0 when empty.
    int width() const override { return image_.width(); }
    int height() const override { return image_.height(); }
    // Icons cannot be resized: both throw EInvalidGraphicOperation.
    void setWidth(int width) override;
    void setHeight(int height) override;
    bool transparent() const override { return !image_.isNull(); }

    void paint(QPainter& painter, const QRectF& dest) const override;
    std::unique_ptr<Graphic> clone() const override;
    // Takes another icon; any other graphic throws EConvertError.
    void assign(const Graphic& source) override;
    // Reads an .ico file; on failure the icon keeps what it held.
    void loadFromBytes(std::span<const uint8_t> bytes) override;
    // The bytes the icon was read from; an empty icon throws EInvalidGraphic.
    std::vector<uint8_t> saveToBytes() const override;
    const char* className() const override { return "TIcon"; }
    GraphicKind kind() const override { return GraphicKind::Icon; }

    // The shown image, with its transparency (premultiplied ARGB).
    const QImage& image() const { return image_; }
    // Number of images in the file, and bits per pixel of the shown one.
    int imageCount() const { return imageCount_; }
    int bitsPerPixel() const { return bitsPerPixel_; }

private:
    std::vector<uint8_t> bytes_;
    QImage image_;
    int imageCount_ = 0;
    int bitsPerPixel_ = 0;
};
