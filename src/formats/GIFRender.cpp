// Making GIF frames from other graphics, and rendering frames and images as bitmaps.
#include <algorithm>
#include <numeric>

#include <QPainter>

#include "formats/GIFImage.h"
#include "formats/GIFPainter.h"
#include "formats/GIFReduce.h"
#include "formats/Jpeg.h"
#include "platform/GraphicBitmap.h"
#include "platform/Screen.h"

namespace {

bool paletteScreen() {
    return screenInfo().bitsPerPixel < 9;
}

// Draws a graphic at its natural size on a 24-bit bitmap filled with one colour.
Bitmap drawOn(const Graphic& source, QColor background) {
    Bitmap bmp(source.width(), source.height(), pf24bit);
    if (bmp.empty()) return bmp;
    QImage img = bmp.asQImage();
    img.fill(background);
    {
        QPainter p(&img);
        source.paint(p, QRectF(0, 0, source.width(), source.height()));
    }
    return bmp;
}

} // namespace

// ----- making frames -----

void TGIFSubImage::assign(const Graphic& source) {
    if (auto* bmp = dynamic_cast<const Bitmap*>(&source)) {
        assignBitmap(*bmp);
        return;
    }
    if (source.kind() == GraphicKind::Icon || source.kind() == GraphicKind::Metafile) {
        // Drawn at natural size; the see-through pixels are those that differ between a
        // drawing on white and one on black.
        Bitmap onWhite = drawOn(source, Qt::white);
        assignBitmap(onWhite);
        if (onWhite.empty()) return;
        Bitmap onBlack = drawOn(source, Qt::black);
        std::vector<uint8_t> mask(static_cast<size_t>(onWhite.width()) * onWhite.height());
        bool any = false;
        for (int y = 0; y < onWhite.height(); ++y) {
            const uint8_t* a = onWhite.scanLine(y);
            const uint8_t* b = onBlack.scanLine(y);
            for (int x = 0; x < onWhite.width(); ++x) {
                bool differs = ((a[3 * x] ^ b[3 * x]) | (a[3 * x + 1] ^ b[3 * x + 1]) |
                                (a[3 * x + 2] ^ b[3 * x + 2])) != 0;
                mask[static_cast<size_t>(y) * onWhite.width() + x] = differs;
                any = any || differs;
            }
        }
        if (any) applyMask(mask);
        return;
    }
    assignBitmap(graphicToBitmap(source, pfDevice));
}

void TGIFSubImage::assignBitmap(const Bitmap& source) {
    invalidate();
    Data.clear();
    ColorMap.clear();
    Left = Top = 0;
    Width = Height = 0;
    if (source.empty()) return;
    if (source.width() > 65535 || source.height() > 65535)
        throw GIFException("Invalid image dimensions");

    const Bitmap* pixels = &source;
    Bitmap reduced;
    int bpp = source.bitsPerPixel();
    bool keep24 = false;
    if (bpp != 1 && bpp != 4 && bpp != 8) {
        int method = Image ? Image->ReductionMethod : 6;
        if (method == 0) {
            keep24 = true;
        } else {
            TGIFImage* owner = Image;
            auto report = [owner](int percent) {
                if (owner) owner->progress(psRunning, percent, "Converting...");
            };
            if (owner) owner->progress(psStarting, 0, "Converting...");
            try {
                reduced = ReduceColors(source, method, owner ? owner->DitherKind : 0,
                                       owner ? owner->QuantizeBits : 8,
                                       owner ? owner->CustomPalette : Palette(), report);
            } catch (...) {
                if (owner) owner->progress(psEnding, 0, "Converting...");
                throw;
            }
            if (owner) owner->progress(psEnding, 100, "Converting...");
            if (reduced.empty()) return; // an unknown method or ditherer gives no frame
            pixels = &reduced;
        }
    }
    const int w = source.width(), h = source.height();
    std::vector<uint8_t> data(static_cast<size_t>(w) * h);
    TGIFLocalColorMap map;
    if (keep24) {
        Bitmap rows(source);
        rows.setPixelFormat(pf24bit);
        // Distinct colours in order of first appearance, with the eight most recently
        // matched colours tried first.
        std::array<std::pair<uint32_t, int>, 8> recent;
        recent.fill({0xFFFFFFFFu, 0});
        size_t next = 0;
        for (int y = 0; y < h; ++y) {
            const uint8_t* p = rows.scanLine(y);
            for (int x = 0; x < w; ++x) {
                uint32_t key =
                    (uint32_t(p[3 * x + 2]) << 16) | (uint32_t(p[3 * x + 1]) << 8) | p[3 * x];
                int index = -1;
                for (const auto& r : recent)
                    if (r.first == key) index = r.second;
                if (index < 0) {
                    Rgb c{p[3 * x + 2], p[3 * x + 1], p[3 * x]};
                    auto it = std::find(map.Colors.begin(), map.Colors.end(), c);
                    index = it != map.Colors.end() ? static_cast<int>(it - map.Colors.begin())
                                                   : map.add(c);
                    recent[next] = {key, index};
                    next = (next + 1) % recent.size();
                }
                data[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(index);
            }
        }
    } else {
        map.assignPalette(pixels->palette());
        int pbpp = pixels->bitsPerPixel();
        for (int y = 0; y < h; ++y) {
            const uint8_t* p = pixels->scanLine(y);
            uint8_t* d = data.data() + static_cast<size_t>(y) * w;
            if (pbpp == 8) {
                std::memcpy(d, p, static_cast<size_t>(w));
            } else if (pbpp == 4) {
                for (int x = 0; x < w; ++x)
                    d[x] = (x & 1) ? (p[x >> 1] & 15) : (p[x >> 1] >> 4);
            } else {
                for (int x = 0; x < w; ++x)
                    d[x] = (p[x >> 3] >> (7 - (x & 7))) & 1;
            }
        }
    }
    Width = static_cast<uint16_t>(w);
    Height = static_cast<uint16_t>(h);
    ColorMap = std::move(map);
    Data = std::move(data);
}

void TGIFSubImage::optimizeColorMap() {
    std::vector<uint64_t> uses(256, 0);
    for (uint8_t v : Data)
        ++uses[v];
    std::vector<int> order(static_cast<size_t>(ColorMap.count()));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return uses[size_t(a)] > uses[size_t(b)]; });
    std::vector<uint8_t> remap(256, 0);
    TGIFLocalColorMap sorted;
    for (int old : order) {
        if (uses[static_cast<size_t>(old)] == 0) continue;
        remap[static_cast<size_t>(old)] = static_cast<uint8_t>(sorted.count());
        sorted.Colors.push_back(ColorMap.Colors[static_cast<size_t>(old)]);
    }
    for (uint8_t& v : Data)
        v = remap[v];
    sorted.Sorted = true;
    ColorMap = std::move(sorted);
    invalidate();
}

void TGIFSubImage::applyMask(const std::vector<uint8_t>& mask) {
    if (empty() || mask.size() != Data.size()) return;
    if (ColorMap.count() == 0) return;
    optimizeColorMap();
    int n = ColorMap.count();
    if (n < 1 || n >= 256) return;
    int index = ColorMap.add({0, 0, 0});
    bool any = false;
    for (size_t i = 0; i < Data.size(); ++i)
        if (mask[i]) {
            Data[i] = static_cast<uint8_t>(index);
            any = true;
        }
    if (!any) {
        ColorMap.Colors.pop_back();
        return;
    }
    auto gce = std::make_unique<TGIFGraphicControlExtension>();
    gce->setTransparent(true);
    gce->TransparentColorIndex = static_cast<uint8_t>(index);
    GraphicControlExtension = gce.get();
    Extensions.insert(Extensions.begin(), std::move(gce));
    Transparent = true;
    invalidate();
}

// ----- rendering -----

const Bitmap& TGIFSubImage::bitmap() const {
    if (bitmap_) return *bitmap_;
    auto bmp = std::make_unique<Bitmap>();
    if (!empty()) {
        TGIFImage* owner = Image;
        auto report = [owner](int percent) {
            if (owner) owner->progress(psRunning, percent, "Rendering...");
        };
        try {
            if (owner) owner->progress(psStarting, 0, "Rendering...");
            renderInto(*bmp, report);
            if (owner) owner->progress(psEnding, 100, "Rendering...");
        } catch (const EAbort&) {
            // A user abort leaves the frame without a bitmap.
            if (owner) owner->progress(psEnding, 0, "Rendering...");
            static const Bitmap kNone;
            return kNone;
        }
    }
    bitmap_ = std::move(bmp);
    return *bitmap_;
}

void TGIFSubImage::renderInto(Bitmap& out, const std::function<void(int)>& report) const {
    {
        Bitmap indexed(Width, Height, pf8bit);
        indexed.setPalette(activeColorMap().toPalette());
        for (int y = 0; y < Height; ++y)
            std::memcpy(indexed.scanLine(y), Data.data() + static_cast<size_t>(y) * Width, Width);
        if (Image && Image->doDither()) {
            Bitmap rgb(indexed);
            rgb.setPixelFormat(pf24bit);
            Bitmap dithered = ReduceColors(rgb, 6, 1, 8, Palette(), report);
            out = dithered.empty() ? std::move(indexed) : std::move(dithered);
        } else {
            for (int y = 31; y < Height; y += 32)
                report((y + 1) * 100 / Height);
            out = std::move(indexed);
        }
    }
}

const std::vector<uint8_t>& TGIFSubImage::mask() const {
    if (maskBuilt_) return mask_;
    maskBuilt_ = true;
    mask_.clear();
    int t = transparentIndex();
    if (t < 0 || empty()) return mask_;
    if (std::find(Data.begin(), Data.end(), static_cast<uint8_t>(t)) == Data.end()) return mask_;
    mask_.resize(Data.size());
    for (size_t i = 0; i < Data.size(); ++i)
        mask_[i] = Data[i] == t;
    return mask_;
}

void DrawFrameOn(const TGIFSubImage& frame, Bitmap& target, bool transparent) {
    if (frame.empty() || target.empty()) return;
    const Palette pal = frame.activeColorMap().toPalette();
    const auto& mask = transparent ? frame.mask() : std::vector<uint8_t>();
    const bool is24 = target.pixelFormat() == pf24bit;
    for (int y = 0; y < frame.Height; ++y) {
        int ty = frame.Top + y;
        if (ty >= target.height()) break;
        const uint8_t* src = frame.Data.data() + static_cast<size_t>(y) * frame.Width;
        const uint8_t* m =
            mask.empty() ? nullptr : mask.data() + static_cast<size_t>(y) * frame.Width;
        uint8_t* dst = target.scanLine(ty);
        for (int x = 0; x < frame.Width; ++x) {
            int tx = frame.Left + x;
            if (tx >= target.width()) break;
            if (m && m[x]) continue;
            if (is24) {
                Rgb c = src[x] < pal.size() ? pal[src[x]] : Rgb{};
                dst[3 * tx] = c.b;
                dst[3 * tx + 1] = c.g;
                dst[3 * tx + 2] = c.r;
            } else {
                dst[tx] = src[x];
            }
        }
    }
}

bool TGIFImage::doDither() const {
    if (!(PaintOptions & (1 << 9))) return false;
    if (PaintOptions & (1 << 10)) return paletteScreen();
    return true;
}

const Bitmap& TGIFImage::bitmap() const {
    if (bitmap_) return *bitmap_;
    auto bmp = std::make_unique<Bitmap>();
    if (!Images.empty() && !Images[0]->empty()) {
        const TGIFSubImage& first = *Images[0];
        if (first.Width == Header.Width && first.Height == Header.Height) {
            *bmp = first.bitmap();
        } else {
            Palette pal = palette();
            const bool samePalette = !doDither() && pal == first.activeColorMap().toPalette();
            if (samePalette) {
                *bmp = Bitmap(Header.Width, Header.Height, pf8bit);
                bmp->setPalette(pal);
            } else {
                *bmp = Bitmap(Header.Width, Header.Height, pf24bit);
                Rgb bg = pal.empty() ? Rgb{} : pal[0];
                for (int y = 0; y < bmp->height(); ++y) {
                    uint8_t* row = bmp->scanLine(y);
                    for (int x = 0; x < bmp->width(); ++x) {
                        row[3 * x] = bg.b;
                        row[3 * x + 1] = bg.g;
                        row[3 * x + 2] = bg.r;
                    }
                }
            }
            DrawFrameOn(first, *bmp, true);
        }
    }
    bitmap_ = std::move(bmp);
    return *bitmap_;
}

void TGIFImage::assignTo(Bitmap& target) const {
    target = bitmap();
}

Palette TGIFImage::palette() const {
    if (bitmap_ && !bitmap_->palette().empty()) return bitmap_->palette();
    if (palette_) return *palette_;
    if (paletteRequest_) throw GIFException("No global or local color table defined");
    paletteRequest_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{paletteRequest_};
    if (doDither())
        palette_ = webSafePalette();
    else if (Header.ColorMap.count() > 0)
        palette_ = Header.ColorMap.toPalette();
    else if (!Images.empty())
        palette_ = Images[0]->activeColorMap().toPalette();
    else
        return Palette();
    return *palette_;
}

// ----- drawing -----

namespace {

// The frame's bitmap as a QImage, its transparent index see-through when asked.
QImage frameImage(const TGIFSubImage& frame, bool transparent) {
    const Bitmap& bmp = frame.bitmap();
    QImage img = bmp.asQImage().copy();
    int t = frame.transparentIndex();
    if (transparent && t >= 0 && img.format() == QImage::Format_Indexed8 && !frame.mask().empty()) {
        auto table = img.colorTable();
        if (t < table.size()) {
            table[t] = qRgba(0, 0, 0, 0);
            img.setColorTable(table);
        }
    }
    return img;
}

} // namespace

void TGIFImage::paint(QPainter& painter, const QRectF& dest) const {
    if (Images.empty() || drawing_) return;
    drawing_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{drawing_};
    const bool transparentDraw = PaintOptions & (1 << 1);
    if (Images.size() == 1 || !(PaintOptions & (1 << 2))) {
        int index =
            ShownFrame >= 0 && ShownFrame < static_cast<int>(Images.size()) ? ShownFrame : 0;
        const TGIFSubImage& frame = *Images[static_cast<size_t>(index)];
        if (frame.empty()) return;
        painter.drawImage(dest, frameImage(frame, transparentDraw));
        return;
    }
    if (bitmap_ && !(PaintOptions & (1 << 6))) {
        bitmap_->paint(painter, dest);
        return;
    }
    if (painter_ && painter_->error()) {
        auto error = painter_->error();
        painter_.reset();
        std::rethrow_exception(error);
    }
    // A running animation shows its latest frame; one that has ended stays on its last
    // frame rather than starting again at every repaint.
    if (painter_) {
        painter_->target().paint(painter, dest);
        return;
    }
    stopPainters();
    painter_.reset();
    painter_ = std::make_unique<TGIFPainter>(const_cast<TGIFImage&>(*this), PaintOptions);
    painter_->start();
    painter_->target().paint(painter, dest);
}
