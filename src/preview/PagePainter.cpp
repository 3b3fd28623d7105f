#include "preview/PagePainter.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include <QFile>
#include <QPainter>
#include <QPrinter>

#include "platform/Canvas.h"
#include "platform/Metafile.h"
#include "preview/PreviewPicture.h"

namespace {

QRectF toRectF(const TPxRect& r) {
    return QRectF(r.Left, r.Top, double(r.Right) - r.Left + 1, double(r.Bottom) - r.Top + 1);
}

// Left/top inclusive, right/bottom exclusive.
QRectF edges(double l, double t, double r, double b) {
    return QRectF(l, t, r - l, b - t);
}

// The intermediate recording of the metafile printing path: the picture drawn at its
// natural size at (0, 0) on a recording of frame x frame printer pixels. A vector picture
// is recorded into a metafile made against the printer; a raster picture is recorded by
// reference to its one pixel image, so every sheet shares the same pixels.
class PrinterRecording {
public:
    PrinterRecording(const TPreviewPicture& picture, const TPrinterInfo& info) : picture_(picture) {
        const int w = picture.width(), h = picture.height();
        frame_ = QSizeF(std::max(1, w * 100 / std::max(1, info.MetafileScaleX)),
                        std::max(1, h * 100 / std::max(1, info.MetafileScaleY)));
        if (picture.IsVector()) {
            ScreenInfo ref;
            ref.widthPx = std::max(1, info.PrintableWidthPx);
            ref.heightPx = std::max(1, info.PrintableHeightPx);
            ref.logPixelsX = std::max(1, info.PrinterDpiX);
            ref.logPixelsY = std::max(1, info.PrinterDpiY);
            ref.widthMm = std::max(1, RoundHalfEven(ref.widthPx * 25.4L / ref.logPixelsX));
            ref.heightMm = std::max(1, RoundHalfEven(ref.heightPx * 25.4L / ref.logPixelsY));
            recording_.emplace();
            recording_->setWidth(static_cast<int>(frame_.width()));
            recording_->setHeight(static_cast<int>(frame_.height()));
            MetafileCanvas canvas(*recording_, ref);
            canvas.stretchDraw(QRect(0, 0, w, h), *picture.vector());
        }
    }

    void Play(QPainter& painter, const QRectF& dest) const {
        if (recording_) {
            recording_->paint(painter, dest);
            return;
        }
        painter.save();
        painter.translate(dest.topLeft());
        painter.scale(dest.width() / frame_.width(), dest.height() / frame_.height());
        picture_.Draw(painter, QRectF(0, 0, picture_.width(), picture_.height()));
        painter.restore();
    }

private:
    const TPreviewPicture& picture_;
    QSizeF frame_;
    std::optional<Metafile> recording_;
};

// Removes a file when the object goes away, unless released.
class FileGuard {
public:
    explicit FileGuard(std::filesystem::path path) : path_(std::move(path)) {}
    ~FileGuard() {
        if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove(path_, ec);
        }
    }
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    void release() { path_.clear(); }

private:
    std::filesystem::path path_;
};

// Whether a PDF file was written to its end (a full disk cuts it short).
bool pdfComplete(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size < 16) return false;
    const std::streamoff tail = std::min<std::streamoff>(size, 64);
    in.seekg(size - tail);
    std::string text(static_cast<size_t>(tail), '\0');
    if (!in.read(text.data(), tail)) return false;
    return text.find("%%EOF") != std::string::npos;
}

void printSheets(QPrinter& printer, const TPreviewLayout& layout, const TPreviewPicture& picture,
                 int copies) {
    const int rows = layout.PageRows();
    const int columns = layout.PageColumns();
    std::optional<PrinterRecording> recording;
    if (layout.GraphicMode() == gmMetafile) recording.emplace(picture, layout.Info());

    QPainter painter;
    if (!painter.begin(&printer)) {
        throw EPrintError("印刷を開始できません: " +
                          (printer.outputFileName().isEmpty()
                               ? printer.printerName().toStdString()
                               : printer.outputFileName().toStdString()));
    }
    try {
        painter.setRenderHint(QPainter::LosslessImageRendering);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        for (int copy = 1; copy <= copies; ++copy) {
            for (int r = 1; r <= rows; ++r) {
                for (int c = 1; c <= columns; ++c) {
                    const QRectF dest = toRectF(layout.PageRect(c, r));
                    if (recording)
                        recording->Play(painter, dest);
                    else
                        picture.Draw(painter, dest);
                    if ((c < columns || r < rows) && !printer.newPage())
                        throw EPrintError("次の用紙に進めません");
                }
            }
            if (copy < copies && !printer.newPage()) throw EPrintError("次の用紙に進めません");
        }
        if (!painter.end()) throw EPrintError("印刷を終了できません");
    } catch (...) {
        printer.abort();
        if (painter.isActive()) painter.end();
        throw;
    }
    if (printer.printerState() == QPrinter::Error || printer.printerState() == QPrinter::Aborted)
        throw EPrintError("印刷に失敗しました");
}

} // namespace

QImage RenderPageTile(const TPreviewLayout& layout, int c, int r, TPreviewPicture& picture,
                      QColor buttonFace) {
    if (c < 1 || r < 1 || c > layout.PageColumns() || r > layout.PageRows()) return QImage();
    const TPrinterInfo& in = layout.Info();
    const QSize screen = layout.TileScreenSize().expandedTo(QSize(1, 1));
    const QSize printer = layout.TilePrinterSize();
    const double sx = double(screen.width()) / std::max(1, printer.width());
    const double sy = double(screen.height()) / std::max(1, printer.height());
    const double pw = in.PaperWidthPx, ph = in.PaperHeightPx;
    const double W = pw + 150, H = ph + 150;
    const double ox = in.MarginLeftPx + 50, oy = in.MarginTopPx + 50;
    const double aw = in.PrintableWidthPx, ah = in.PrintableHeightPx;

    QImage tile(screen, QImage::Format_RGB32);
    tile.fill(Qt::white);
    QPainter p(&tile);
    p.scale(sx, sy);

    // 1. The page content: the printable area in white with its part of the picture.
    p.fillRect(QRectF(ox, oy, aw, ah), Qt::white);
    p.save();
    p.setClipRect(QRectF(ox, oy, aw, ah));
    const TPxRect pr = layout.PageRect(c, r);
    const QRectF dest = toRectF(pr).translated(ox, oy);
    const QSize onScreen(static_cast<int>(std::lround(std::abs(dest.width()) * sx)),
                         static_cast<int>(std::lround(std::abs(dest.height()) * sy)));
    picture.DrawReduced(p, dest, onScreen);
    p.restore();

    // 2. White non-printable bands.
    p.fillRect(edges(0, 0, W, oy), Qt::white);
    p.fillRect(edges(0, oy + ah, W, H), Qt::white);
    p.fillRect(edges(0, oy, ox, oy + ah), Qt::white);
    p.fillRect(edges(ox + aw, oy, W, oy + ah), Qt::white);
    // 3. The surround.
    p.fillRect(edges(0, 0, W, 50), buttonFace);
    p.fillRect(edges(0, ph + 50, W, H), buttonFace);
    p.fillRect(edges(0, 50, 50, ph + 50), buttonFace);
    p.fillRect(edges(pw + 50, 50, W, ph + 50), buttonFace);
    // 4. The shadow.
    const QColor grey(128, 128, 128);
    p.fillRect(edges(100, ph + 50, pw + 100, ph + 100), grey);
    p.fillRect(edges(pw + 50, 100, pw + 100, ph + 50), grey);
    // 5. The paper's outline.
    QPen solid(Qt::black, 0, Qt::SolidLine);
    p.setPen(solid);
    p.setBrush(Qt::NoBrush);
    const QPointF paper[] = {{50, 50}, {pw + 50, 50}, {pw + 50, ph + 50}, {50, ph + 50}, {50, 50}};
    p.drawPolyline(paper, 5);
    // 6. The printable area's outline, dotted.
    p.setPen(QPen(Qt::black, 0, Qt::DotLine));
    const QPointF area[] = {{ox, oy}, {ox + aw, oy}, {ox + aw, oy + ah}, {ox, oy + ah}, {ox, oy}};
    p.drawPolyline(area, 5);
    return tile;
}

void PrintPicture(QPrinter& printer, const TPreviewLayout& layout, const TPreviewPicture& picture,
                  int copies) {
    if (picture.empty() || copies < 1 || copies > 1000) return;
    if (layout.PageColumns() < 1 || layout.PageRows() < 1) return;

    const QString target = printer.outputFileName();
    if (printer.outputFormat() != QPrinter::PdfFormat || target.isEmpty()) {
        printSheets(printer, layout, picture, copies);
        return;
    }
    // A PDF is written to a file beside its final name and renamed over it when whole.
    const std::filesystem::path final = QFile::encodeName(target).toStdString();
    std::filesystem::path partial = final;
    partial += ".part";
    FileGuard guard(partial);
    printer.setOutputFileName(QFile::decodeName(partial.string().c_str()));
    try {
        printSheets(printer, layout, picture, copies);
    } catch (...) {
        printer.setOutputFileName(target);
        throw;
    }
    printer.setOutputFileName(target);
    if (!pdfComplete(partial))
        throw EPrintError("印刷に失敗しました (書き込めません): " + final.string());
    std::error_code ec;
    std::filesystem::rename(partial, final, ec);
    if (ec) throw EPrintError("印刷に失敗しました: " + final.string() + ": " + ec.message());
    guard.release();
}
