// The two drag sources' contents: how each offered format of a bitmap and of a metafile
// is rendered when a receiver asks for it.
#include <QBuffer>
#include <QImage>
#include <QPainter>

#include "dragdrop/ClipboardData.h"
#include "dragdrop/DropBMPSource.h"
#include "dragdrop/DropMetaSource.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"

namespace dragdrop {

namespace {

QByteArray toByteArray(const std::vector<uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}

QByteArray pngOf(const QImage& image) {
    QByteArray png;
    if (image.isNull()) return png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

// The button-face colour of the classic desktop scheme.
constexpr TColor kButtonFace = 0xC0C0C0;

} // namespace

class BitmapContent : public DropContent {
public:
    Bitmap bitmap;

    uint32_t render(const FormatEtc& f, Medium& medium) const override {
        if (bitmap.empty() || f.aspect != DVASPECT_CONTENT) return DV_E_FORMATETC;
        if (f.format == CF_BITMAP && (f.tymed & TYMED_GDI)) {
            QImage image = bitmap.toDisplayImage();
            if (image.isNull()) return E_OUTOFMEMORY_;
            medium = {TYMED_GDI, image};
            return S_OK_;
        }
        if (f.format == CF_DIB && (f.tymed & TYMED_HGLOBAL)) {
            std::vector<uint8_t> dib = bitmap.saveToDib();
            if (dib.empty()) return E_OUTOFMEMORY_;
            medium = {TYMED_HGLOBAL, toByteArray(dib)};
            return S_OK_;
        }
        if (f.format == CF_PALETTE && (f.tymed & TYMED_GDI)) {
            if (bitmap.palette().empty()) return E_OUTOFMEMORY_;
            medium = {TYMED_GDI, encodePalette(bitmap.palette())};
            return S_OK_;
        }
        return DV_E_FORMATETC;
    }

    QByteArray renderPng() const override {
        if (bitmap.empty()) return QByteArray();
        return pngOf(bitmap.toDisplayImage());
    }

    const Graphic& picture() const override { return bitmap; }
};

class MetafileContent : public DropContent {
public:
    Metafile metafile;

    uint32_t render(const FormatEtc& f, Medium& medium) const override {
        if (metafile.empty() || f.aspect != DVASPECT_CONTENT) return DV_E_FORMATETC;
        if (f.format == CF_ENHMETAFILE && (f.tymed & TYMED_ENHMF)) {
            medium = {TYMED_ENHMF, toByteArray(metafile.saveToEmfBytes())};
        } else if (f.format == CF_METAFILEPICT && (f.tymed & TYMED_MFPICT)) {
            medium = {TYMED_MFPICT, toByteArray(metafile.saveToWmfBytes())};
        } else if (f.format == CF_METAFILEPICT && (f.tymed & TYMED_HGLOBAL)) {
            medium = {TYMED_HGLOBAL, toByteArray(metafile.saveToWmfBytes())};
        } else if (f.format == CF_ENHMETAFILE && (f.tymed & TYMED_HGLOBAL)) {
            medium = {TYMED_HGLOBAL, toByteArray(metafile.saveToEmfBytes())};
        } else {
            return DV_E_FORMATETC;
        }
        return medium.value.toByteArray().isEmpty() ? E_OUTOFMEMORY_ : S_OK_;
    }

    const Graphic& picture() const override { return metafile; }

    QByteArray renderPng() const override {
        if (metafile.empty()) return QByteArray();
        QImage image(metafile.width(), metafile.height(), QImage::Format_RGB32);
        if (image.isNull()) return QByteArray();
        image.fill(Qt::white);
        {
            QPainter p(&image);
            metafile.paint(p, QRectF(0, 0, image.width(), image.height()));
        }
        return pngOf(image);
    }
};

// ======================================================================================
// Bitmap source
// ======================================================================================

TDropBMPSource::TDropBMPSource(QObject* owner)
    : TDropSource(owner), content_(std::make_shared<BitmapContent>()) {
    AddFormatEtc(CF_DIB, DVASPECT_CONTENT, -1, TYMED_HGLOBAL);
    AddFormatEtc(CF_BITMAP, DVASPECT_CONTENT, -1, TYMED_GDI);
    AddFormatEtc(CF_PALETTE, DVASPECT_CONTENT, -1, TYMED_GDI);
}

TDropBMPSource::~TDropBMPSource() = default;

const Bitmap& TDropBMPSource::GetBitmap() const {
    return content_->bitmap;
}

void TDropBMPSource::SetBitmap(const Bitmap& bitmap) {
    // A new content: data objects already handed out keep the previous picture.
    auto content = std::make_shared<BitmapContent>();
    content->bitmap = bitmap;
    content_ = std::move(content);
}

void TDropBMPSource::SetBitmap(Bitmap&& bitmap) {
    auto content = std::make_shared<BitmapContent>();
    content->bitmap = std::move(bitmap);
    content_ = std::move(content);
}

std::shared_ptr<const DropContent> TDropBMPSource::Content() const {
    return content_;
}

bool TDropBMPSource::PutOnClipboard() {
    if (content_->bitmap.empty()) return false;
    return PlaceOnClipboard("Unable to copy Bitmap to Clipboard.");
}

// ======================================================================================
// Metafile source
// ======================================================================================

TDropMetaSource::TDropMetaSource(QObject* owner)
    : TDropSource(owner), content_(std::make_shared<MetafileContent>()) {
    AddFormatEtc(CF_METAFILEPICT, DVASPECT_CONTENT, -1, TYMED_MFPICT);
    AddFormatEtc(CF_ENHMETAFILE, DVASPECT_CONTENT, -1, TYMED_ENHMF);
    AddFormatEtc(CF_METAFILEPICT, DVASPECT_CONTENT, -1, TYMED_HGLOBAL);
    AddFormatEtc(CF_ENHMETAFILE, DVASPECT_CONTENT, -1, TYMED_HGLOBAL);
    auto content = std::make_shared<MetafileContent>();
    content->metafile.setWidth(100);
    content->metafile.setHeight(100);
    {
        MetafileCanvas canvas(content->metafile);
        canvas.brush().color = kButtonFace;
        canvas.fillRect(QRect(0, 0, 100, 100));
    }
    content_ = std::move(content);
}

TDropMetaSource::~TDropMetaSource() = default;

const Metafile& TDropMetaSource::GetMetafile() const {
    return content_->metafile;
}

void TDropMetaSource::SetMetafile(const Metafile& metafile) {
    auto content = std::make_shared<MetafileContent>();
    content->metafile.assign(metafile);
    content->metafile.setEnhanced(true);
    content_ = std::move(content);
}

std::shared_ptr<const DropContent> TDropMetaSource::Content() const {
    return content_;
}

bool TDropMetaSource::PutOnClipboard() {
    if (content_->metafile.empty()) return false;
    return PlaceOnClipboard("Unable to copy Metafile to Clipboard.");
}

} // namespace dragdrop

namespace dragdrop {

std::unique_ptr<QMimeData> bitmapClipboardData(Bitmap bitmap) {
    auto content = std::make_shared<BitmapContent>();
    content->bitmap = std::move(bitmap);
    // The device-independent form and, when there is one, the palette; not Qt's image
    // type, from which Qt would also offer lossy encodings (JPEG) that a pasting program
    // could take for the picture itself.
    std::vector<FormatEtc> formats{{CF_DIB, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}};
    if (!content->bitmap.palette().empty())
        formats.push_back({CF_PALETTE, DVASPECT_CONTENT, -1, TYMED_GDI});
    return std::make_unique<TDropDataObject>(std::move(content), std::move(formats));
}

std::unique_ptr<QMimeData> metafileClipboardData(const Metafile& metafile) {
    auto content = std::make_shared<MetafileContent>();
    content->metafile.assign(metafile);
    content->metafile.setEnhanced(true);
    std::vector<FormatEtc> formats{{CF_ENHMETAFILE, DVASPECT_CONTENT, -1, TYMED_ENHMF},
                                   {CF_METAFILEPICT, DVASPECT_CONTENT, -1, TYMED_MFPICT}};
    return std::make_unique<TDropDataObject>(std::move(content), std::move(formats));
}

} // namespace dragdrop
