#include "dragdrop/PictureData.h"

#include <array>
#include <cstdio>

#include <jpeglib.h>
// jerror.h after jpeglib.h: it numbers the codec's messages.
#include <jerror.h>

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QPainter>
#include <QUrl>

#include "dragdrop/DropFormats.h"
#include "dragdrop/DropSource.h"
#include "formats/Jpeg.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Limits.h"
#include "platform/Metafile.h"
#include "platform/Picture.h"

namespace dragdrop {

namespace {

std::span<const uint8_t> bytesOf(const QByteArray& a) {
    return {reinterpret_cast<const uint8_t*>(a.constData()), static_cast<size_t>(a.size())};
}

// Raster types of other programs, PNG first; the ones with a reader of our own are left
// to their own kinds.
QStringList otherRasterTypes() {
    static const QStringList types = [] {
        QStringList out{QStringLiteral("image/png")};
        const QStringList own{
            QLatin1String(mime::Jpeg),       QLatin1String(mime::Gif),
            QLatin1String(mime::Bmp),        QStringLiteral("image/x-bmp"),
            QStringLiteral("image/svg+xml"), QStringLiteral("image/svg+xml-compressed")};
        for (const QByteArray& m : QImageReader::supportedMimeTypes()) {
            QString s = QString::fromLatin1(m);
            if (!own.contains(s) && !out.contains(s)) out << s;
        }
        return out;
    }();
    return types;
}

// The extension of the picture format registered for a raster MIME type, when the
// program has one ("" when not).
std::string registeredExtensionFor(const QString& mimeType) {
    QString sub = mimeType.section(QLatin1Char('/'), 1).toLower();
    if (sub.startsWith(QLatin1String("x-"))) sub = sub.mid(2);
    const std::string ext = sub.toStdString();
    if (ext.empty() || !Picture::findFileFormat(ext)) return std::string();
    return ext;
}

// Decodes image bytes through Qt with the program's size limits checked before any pixel
// memory is taken; transparent pixels are laid over white.
Bitmap decodeWithQt(const QByteArray& bytes, const QString& mimeType) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, mimeType.section(QLatin1Char('/'), 1).toLatin1());
    reader.setAutoDetectImageFormat(true);
    const QSize size = reader.size();
    if (size.isValid()) limits::checkPictureSize(size.width(), size.height());
    QImage image = reader.read();
    if (image.isNull())
        throw EInvalidGraphic(("画像データを読めません: " + reader.errorString()).toStdString());
    limits::checkPictureSize(image.width(), image.height());
    if (image.hasAlphaChannel()) {
        QImage flat(image.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QPainter p(&flat);
        p.drawImage(0, 0, image);
        p.end();
        image = std::move(flat);
    }
    return Bitmap::fromQImage(image);
}

// A bitmap showing a palette: one 16 × 16 cell per entry, sixteen to a row, carrying the
// palette itself.
std::unique_ptr<Graphic> bitmapOfPalette(const Palette& palette) {
    const int n = palette.size();
    const int columns = std::min(n, 16);
    const int rows = (n + 15) / 16;
    auto bmp = std::make_unique<Bitmap>(columns * 16, rows * 16, pf8bit);
    bmp->setPalette(palette);
    for (int y = 0; y < bmp->height(); ++y) {
        uint8_t* row = bmp->scanLine(y);
        for (int x = 0; x < bmp->width(); ++x) {
            int i = (y / 16) * 16 + x / 16;
            row[x] = static_cast<uint8_t>(i < n ? i : 0);
        }
    }
    return bmp;
}

} // namespace

bool jpegDataComplete(std::span<const uint8_t> d) {
    // Marker segments up to the first scan, then entropy-coded data in which 0xFF is only
    // ever followed by 0x00 (a stuffed byte) or a restart marker; any other marker is a
    // segment between scans (progressive files) or the end of the image.
    size_t i = 2;
    if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
    bool inScan = false;
    while (i + 1 < d.size()) {
        if (inScan) {
            if (d[i] != 0xFF) {
                ++i;
                continue;
            }
            const uint8_t m = d[i + 1];
            if (m == 0x00 || m == 0xFF || (m >= 0xD0 && m <= 0xD7)) {
                i += m == 0xFF ? 1 : 2;
                continue;
            }
            inScan = false;
            continue;
        }
        if (d[i] != 0xFF) return false;
        const uint8_t m = d[i + 1];
        if (m == 0xFF) {
            ++i; // fill byte
            continue;
        }
        if (m == 0xD9) return true;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            i += 2;
            continue;
        }
        if (i + 3 >= d.size()) return false;
        const size_t length = size_t(d[i + 2]) << 8 | d[i + 3];
        if (length < 2) return false;
        i += 2 + length;
        if (m == 0xDA) inScan = true;
    }
    return false;
}

void checkJpegComplete(std::span<const uint8_t> bytes) {
    if (!jpegDataComplete(bytes)) throw EJPEG(JWRN_JPEG_EOF);
}

void decodePictureNow(Graphic& g) {
    (void)g.raster();
}

std::span<const DataKind> dropOrder() {
    static constexpr std::array<DataKind, 9> order{
        DataKind::Bitmap, DataKind::Dib,  DataKind::Palette, DataKind::Emf,  DataKind::Wmf,
        DataKind::Raster, DataKind::Jpeg, DataKind::Gif,     DataKind::Files};
    return order;
}

std::span<const DataKind> pasteOrder() {
    static constexpr std::array<DataKind, 7> order{DataKind::Jpeg,  DataKind::Gif, DataKind::Bitmap,
                                                   DataKind::Dib,   DataKind::Emf, DataKind::Wmf,
                                                   DataKind::Raster};
    return order;
}

QString offeredMimeFor(const QMimeData& data, DataKind kind) {
    switch (kind) {
    case DataKind::Jpeg:
        return offeredMime(data, QString::fromLatin1(mime::Jpeg));
    case DataKind::Gif:
        return offeredMime(data, QString::fromLatin1(mime::Gif));
    case DataKind::Bitmap:
        // Only Qt's image type as such: what other programs offer as bytes is read by
        // the program's own readers under its own kind.
        return data.formats().contains(QLatin1String(mime::QtImage))
                   ? QString::fromLatin1(mime::QtImage)
                   : QString();
    case DataKind::Dib:
        return offeredMime(data, QString::fromLatin1(mime::Bmp));
    case DataKind::Palette:
        return offeredMime(data, QString::fromLatin1(mime::Palette));
    case DataKind::Emf:
        return offeredMime(data, QString::fromLatin1(mime::Emf));
    case DataKind::Wmf:
        return offeredMime(data, QString::fromLatin1(mime::Wmf));
    case DataKind::Raster: {
        const QStringList offered = data.formats();
        for (const QString& t : otherRasterTypes())
            if (offered.contains(t)) return t;
        return QString();
    }
    case DataKind::Files:
        return droppedFiles(data).isEmpty() ? QString() : QString::fromLatin1(mime::UriList);
    case DataKind::None:
        break;
    }
    return QString();
}

DataKind firstOffered(const QMimeData& data, std::span<const DataKind> order) {
    for (DataKind k : order)
        if (!offeredMimeFor(data, k).isEmpty()) return k;
    return DataKind::None;
}

std::unique_ptr<Graphic> readPictureData(const QMimeData& data, DataKind kind) {
    const QString type = offeredMimeFor(data, kind);
    if (type.isEmpty() || kind == DataKind::Files) return nullptr;
    // Our own data in this process: the picture as it was given, without encoding it.
    if (auto* own = qobject_cast<const TDropDataObject*>(&data);
        own &&
        (kind == DataKind::Bitmap || kind == DataKind::Dib || kind == DataKind::Emf ||
         kind == DataKind::Wmf) &&
        !own->picture().empty())
        return own->picture().clone();
    if (kind == DataKind::Bitmap) {
        QImage image = qvariant_cast<QImage>(data.imageData());
        if (image.isNull()) return nullptr;
        limits::checkPictureSize(image.width(), image.height());
        auto bmp = std::make_unique<Bitmap>(Bitmap::fromQImage(image));
        // A palette that comes along goes with the bitmap.
        const QString paletteType = offeredMimeFor(data, DataKind::Palette);
        if (!paletteType.isEmpty() && bmp->bitsPerPixel() <= 8) {
            QByteArray bytes = data.data(paletteType);
            if (!bytes.isEmpty()) {
                Palette palette = decodePalette(bytes);
                if (palette.size() >= bmp->palette().size()) bmp->setPalette(palette);
            }
        }
        return bmp;
    }
    const QByteArray bytes = data.data(type);
    if (bytes.isEmpty()) return nullptr;
    std::unique_ptr<Graphic> g;
    switch (kind) {
    case DataKind::Jpeg:
        checkJpegComplete(bytesOf(bytes));
        g = loadPictureBytes(bytesOf(bytes), "jpg");
        break;
    case DataKind::Gif:
        g = loadPictureBytes(bytesOf(bytes), "gif");
        break;
    case DataKind::Dib: {
        auto bmp = std::make_unique<Bitmap>();
        // Other programs send a whole BMP file; a packed DIB has no file header.
        if (bytes.startsWith("BM"))
            bmp->loadFromBytes(bytesOf(bytes));
        else
            bmp->loadFromDib(bytesOf(bytes));
        g = std::move(bmp);
        break;
    }
    case DataKind::Palette:
        g = bitmapOfPalette(decodePalette(bytes));
        break;
    case DataKind::Emf:
    case DataKind::Wmf: {
        auto mf = std::make_unique<Metafile>();
        mf->loadFromBytes(bytesOf(bytes));
        // Both families become an enhanced metafile here.
        mf->setEnhanced(true);
        g = std::move(mf);
        break;
    }
    case DataKind::Raster:
        if (const std::string ext = registeredExtensionFor(type); !ext.empty()) {
            g = loadPictureBytes(bytesOf(bytes), ext);
        } else {
            g = std::make_unique<Bitmap>(decodeWithQt(bytes, type));
        }
        break;
    default:
        return nullptr;
    }
    limits::checkPictureSize(g->width(), g->height());
    decodePictureNow(*g);
    return g;
}

QStringList droppedFiles(const QMimeData& data) {
    QStringList out;
    if (!data.hasUrls()) return out;
    for (const QUrl& url : data.urls()) {
        if (!url.isLocalFile()) continue;
        QString path = url.toLocalFile();
        if (QFileInfo(path).isFile()) out << path;
    }
    return out;
}

} // namespace dragdrop
