// Histogram counting and drawing: three channel curves with axes and labels, drawn into a
// bitmap or recorded into a metafile through the canvas.
#include "engine/Histogram.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "engine/ToneTables.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"

namespace {

// The system's button-face colour, which the histogram's background takes.
constexpr TColor kButtonFace = RGBColor(240, 240, 240);

using Counts = int64_t[3][256];

// Counts the bytes of every pixel of a 24-bit bitmap, blue, green and red apart.
void countBytes(const Bitmap& bmp, Counts& total) {
    std::mutex merge;
    const int width = bmp.width();
    engine::forEachRowRange(
        bmp.height(),
        [&](int y0, int y1) {
            auto local = std::make_unique<engine::ChannelCounts>();
            for (int y = y0; y < y1; ++y)
                local->countRow(bmp.scanLine(y), width, 1);
            std::lock_guard lock(merge);
            local->addTo(total);
        },
        64);
}

} // namespace

bool CountHistogram(TFastPicture& engine, int Shift, int VMax, HistogramCounts& counts) {
    if (Shift < 0 || Shift > 3 || VMax < 0 || VMax > 100) return false;
    counts.bins = 256 >> Shift;
    counts.binWidth = 256 / counts.bins;
    counts.blue.assign(static_cast<size_t>(counts.bins), 0);
    counts.green.assign(static_cast<size_t>(counts.bins), 0);
    counts.red.assign(static_cast<size_t>(counts.bins), 0);
    counts.hasPicture = engine.GetPictureType() != picNil;
    counts.vmax = VMax;
    if (!counts.hasPicture) return true;

    // The picture as a 24-bit bitmap: the held bitmap itself when it already is one, a
    // JPEG's decoded 24-bit pixels (which are what drawing it gives), otherwise a temporary
    // copy (a picture of another kind drawn at its natural size).
    const Graphic& held = *engine.picture().graphic();
    const Bitmap* source = dynamic_cast<const Bitmap*>(&held);
    if (!source && held.kind() == GraphicKind::Jpeg && held.raster() &&
        held.raster()->pixelFormat() == pf24bit)
        source = held.raster();
    Bitmap temporary;
    if (!source || source->pixelFormat() != pf24bit) {
        if (source)
            temporary = *source;
        else
            temporary.assign(held);
        temporary.setPixelFormat(pf24bit);
        source = &temporary;
    }
    Counts bytes = {};
    countBytes(*source, bytes);

    const int64_t pixels =
        static_cast<int64_t>(engine.picture().width()) * engine.picture().height();
    std::vector<int>* channels[3] = {&counts.blue, &counts.green, &counts.red};
    int largest = 0;
    for (int c = 0; c < 3; ++c) {
        std::vector<int64_t> binned(static_cast<size_t>(counts.bins), 0);
        for (int v = 0; v < 256; ++v)
            binned[static_cast<size_t>(v >> Shift)] += bytes[c][v];
        for (int i = 0; i < counts.bins; ++i) {
            const int pct = pixels > 0 ? static_cast<int>(binned[size_t(i)] * 100 / pixels) : 0;
            (*channels[c])[static_cast<size_t>(i)] = pct;
            largest = std::max(largest, pct);
        }
    }
    if (VMax == 0) {
        counts.vmax = (largest / 20 + (largest % 20 != 0 ? 1 : 0)) * 20;
        if (counts.vmax == 0) counts.vmax = 20;
    } else if (VMax % 2 != 0) {
        counts.vmax = VMax + 1;
    }
    return true;
}

namespace {

void drawCurves(Canvas& canvas, int s, const HistogramCounts& h) {
    canvas.brush().color = kButtonFace;
    canvas.brush().style = bsSolid;
    canvas.fillRect(QRect(0, 0, 286 * s, 175 * s));
    if (!h.hasPicture) return;
    const int x0 = (h.binWidth >> 1) + 15;
    const std::vector<int>* arrays[3] = {&h.blue, &h.green, &h.red};
    const TColor colours[3] = {clBlue, clLime, clRed};
    for (int c = 0; c < 3; ++c) {
        canvas.pen().color = colours[c];
        std::vector<QPoint> points;
        points.reserve(static_cast<size_t>(h.bins));
        for (int i = 0; i < h.bins; ++i)
            points.emplace_back(s * (x0 + i * h.binWidth),
                                s * (159 - (*arrays[c])[static_cast<size_t>(i)] * 150 / h.vmax));
        if (points.size() >= 2) canvas.polyline(points);
    }
}

void drawAxes(Canvas& canvas, int s, const HistogramCounts& h) {
    canvas.pen().color = clBlack;
    canvas.font().size = 8 * s;
    // The top ends of the two vertical lines stay at y = 10 whatever the scale.
    canvas.moveTo(15 * s, 10);
    canvas.lineTo(15 * s, 159 * s);
    canvas.lineTo(271 * s, 159 * s);
    canvas.lineTo(271 * s, 10);
    canvas.moveTo(11 * s, 85 * s);
    canvas.lineTo(14 * s, 85 * s);
    canvas.moveTo(272 * s, 85 * s);
    canvas.lineTo(275 * s, 85 * s);

    const int middle = h.vmax >> 1;
    const QString middleText = QString::number(middle);
    if (h.hasPicture) canvas.textOut(273 * s, 87 * s, middleText);
    int d = 0;
    if (h.hasPicture && middle >= 10)
        d = (canvas.textWidth(middleText) - canvas.textWidth(QStringLiteral("%"))) / 2;
    canvas.textOut(273 * s + d, 97 * s, QStringLiteral("%"));

    for (int i = 0; i <= 16; ++i) {
        const int x = i * 16 + 15;
        const int length = i % 2 == 0 ? 3 : 1;
        canvas.moveTo(x * s, 160 * s);
        canvas.lineTo(x * s, (160 + length) * s);
        if (i % 4 == 0) {
            const QString label = i == 16 ? QStringLiteral("255") : QString::number(i * 16);
            canvas.textOut(x * s - canvas.textWidth(label) / 2, 162 * s, label);
        }
    }
}

} // namespace

void TFastPicture::DrawHistogram(Graphic& Target, int Scale, int Shift, int VMax) {
    Bitmap* bitmap = dynamic_cast<Bitmap*>(&Target);
    Metafile* metafile = dynamic_cast<Metafile*>(&Target);
    if (!bitmap && !metafile) return;
    if (Scale < 1 || Scale > 5) return;
    HistogramCounts h;
    if (!CountHistogram(*this, Shift, VMax, h)) return;
    const int s = Scale;
    if (bitmap) {
        bitmap->setSize(286 * s, 175 * s);
        Canvas canvas(*bitmap);
        drawCurves(canvas, s, h);
        drawAxes(canvas, s, h);
        return;
    }
    metafile->setWidth(286 * s);
    metafile->setHeight(175 * s);
    {
        MetafileCanvas canvas(*metafile);
        drawCurves(canvas, s, h);
        drawAxes(canvas, s, h);
        canvas.end();
    }
    metafile->setLogicalInch(true);
}
