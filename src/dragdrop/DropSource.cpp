#include "dragdrop/DropSource.h"

#include <QBuffer>
#include <QClipboard>
#include <QDrag>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>

#include "platform/Exceptions.h"
#include "platform/Palette.h"

namespace dragdrop {

namespace {

// A BMP file from a packed DIB: the 14-byte file header in front. The pixels follow the
// header and the colour table, whose sizes the DIB header gives.
QByteArray bmpFileFromDib(const QByteArray& dib) {
    if (dib.size() < 40) return QByteArray();
    auto u32 = [&](int at) {
        return uint32_t(uint8_t(dib[at])) | uint32_t(uint8_t(dib[at + 1])) << 8 |
               uint32_t(uint8_t(dib[at + 2])) << 16 | uint32_t(uint8_t(dib[at + 3])) << 24;
    };
    auto u16 = [&](int at) {
        return uint32_t(uint8_t(dib[at])) | uint32_t(uint8_t(dib[at + 1])) << 8;
    };
    const uint32_t headerSize = u32(0);
    const uint32_t bits = u16(14);
    const uint32_t compression = u32(16);
    uint32_t colours = u32(32);
    if (colours == 0 && bits <= 8) colours = 1u << bits;
    uint32_t offset = 14 + headerSize + 4 * colours;
    // BI_BITFIELDS masks follow a 40-byte header.
    if (headerSize == 40 && (compression == 3 || compression == 6))
        offset += compression == 3 ? 12 : 16;
    const uint32_t fileSize = uint32_t(dib.size()) + 14;
    QByteArray out;
    out.reserve(int(fileSize));
    const uint8_t header[14] = {'B',
                                'M',
                                uint8_t(fileSize),
                                uint8_t(fileSize >> 8),
                                uint8_t(fileSize >> 16),
                                uint8_t(fileSize >> 24),
                                0,
                                0,
                                0,
                                0,
                                uint8_t(offset),
                                uint8_t(offset >> 8),
                                uint8_t(offset >> 16),
                                uint8_t(offset >> 24)};
    out.append(reinterpret_cast<const char*>(header), 14);
    out.append(dib);
    return out;
}

Qt::DropActions toQtActions(TDragTypes types) {
    Qt::DropActions a;
    if (types & kEffectCopy) a |= Qt::CopyAction;
    if (types & kEffectMove) a |= Qt::MoveAction;
    if (types & kEffectLink) a |= Qt::LinkAction;
    return a;
}

uint32_t effectOfAction(Qt::DropAction a) {
    switch (a) {
    case Qt::CopyAction:
        return kEffectCopy;
    case Qt::MoveAction:
    case Qt::TargetMoveAction:
        return kEffectMove;
    case Qt::LinkAction:
        return kEffectLink;
    default:
        return kEffectNone;
    }
}

} // namespace

// ======================================================================================
// Data object
// ======================================================================================

TDropDataObject::TDropDataObject(std::shared_ptr<const DropContent> content,
                                 std::vector<FormatEtc> formats)
    : content_(std::move(content)), formats_(std::move(formats)) {}

QStringList TDropDataObject::formats() const {
    QStringList out;
    for (const FormatEtc& f : formats_) {
        QString m = mimeForFormat(f.format);
        if (!m.isEmpty() && !out.contains(m)) out << m;
    }
    // Everyday Linux programs read PNG; it comes after the formats of the list.
    out << QString::fromLatin1(mime::Png);
    return out;
}

bool TDropDataObject::hasFormat(const QString& mimeType) const {
    return formats().contains(mimeType);
}

QVariant TDropDataObject::retrieveData(const QString& mimeType, QMetaType type) const {
    if (!content_) return QVariant();
    if (mimeType == QLatin1String(mime::Png)) {
        ++renders_;
        QByteArray png = content_->renderPng();
        return png.isEmpty() ? QVariant() : QVariant(png);
    }
    for (const FormatEtc& f : formats_) {
        if (mimeForFormat(f.format) != mimeType) continue;
        Medium medium;
        ++renders_;
        if (content_->render(f, medium) != S_OK_) return QVariant();
        if (f.format == CF_DIB) return bmpFileFromDib(medium.value.toByteArray());
        if (f.format == CF_BITMAP && type.id() != QMetaType::QImage) {
            // Asked for bytes of the image type: PNG, as Qt's own image data travels.
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            medium.value.value<QImage>().save(&buffer, "PNG");
            return png;
        }
        return medium.value;
    }
    return QVariant();
}

// ======================================================================================
// Enumerator
// ======================================================================================

uint32_t TEnumFormatEtc::Next(size_t count, std::vector<FormatEtc>& out, size_t* fetched) {
    size_t n = 0;
    while (n < count && index_ < list_->size()) {
        out.push_back((*list_)[index_++]);
        ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK_ : S_FALSE_;
}

uint32_t TEnumFormatEtc::Skip(size_t count) {
    if (list_->size() - index_ < count) {
        index_ = list_->size();
        return S_FALSE_;
    }
    index_ += count;
    return S_OK_;
}

uint32_t TEnumFormatEtc::Reset() {
    index_ = 0;
    return S_OK_;
}

std::unique_ptr<TEnumFormatEtc> TEnumFormatEtc::Clone() const {
    return std::make_unique<TEnumFormatEtc>(list_, index_);
}

// ======================================================================================
// Source
// ======================================================================================

TDropSource::TDropSource(QObject* owner)
    : QObject(owner), formats_(std::make_shared<std::vector<FormatEtc>>()) {}

TDropSource::~TDropSource() = default;

void TDropSource::SetImages(std::shared_ptr<const std::vector<QPixmap>> images) {
    images_ = std::move(images);
    imageIndex_ = 0;
    showImage_ = images_ != nullptr;
}

void TDropSource::SetImageIndex(int index) {
    if (index < 0 || !images_ || images_->empty()) {
        imageIndex_ = 0;
        showImage_ = false;
        return;
    }
    if (static_cast<size_t>(index) >= images_->size()) return;
    imageIndex_ = index;
}

void TDropSource::SetShowImage(bool show) {
    showImage_ = show && images_ != nullptr;
}

void TDropSource::AddFormatEtc(uint16_t format, uint32_t aspect, int32_t index, uint32_t tymed) {
    if (formats_->size() >= kMaxFormats) return;
    formats_->push_back({format, aspect, index, tymed});
}

std::unique_ptr<TEnumFormatEtc> TDropSource::EnumFormatEtc() const {
    // The enumerator keeps its own copy, so later additions do not move under it.
    return std::make_unique<TEnumFormatEtc>(std::make_shared<std::vector<FormatEtc>>(*formats_));
}

uint32_t TDropSource::QueryGetData(const FormatEtc& request) const {
    for (const FormatEtc& f : *formats_)
        if (f.format == request.format && f.aspect == request.aspect && (f.tymed & request.tymed))
            return S_OK_;
    return E_FAIL_;
}

uint32_t TDropSource::GetData(const FormatEtc& request, Medium& medium) const {
    return RenderData(request, medium);
}

uint32_t TDropSource::RenderData(const FormatEtc& request, Medium& medium) const {
    auto content = Content();
    if (!content) return E_OUTOFMEMORY_;
    try {
        return content->render(request, medium);
    } catch (const std::exception&) {
        return E_OUTOFMEMORY_;
    }
}

std::unique_ptr<TDropDataObject> TDropSource::CreateDataObject() const {
    return std::make_unique<TDropDataObject>(Content(), *formats_);
}

uint32_t TDropSource::GiveFeedback(uint32_t effect) {
    lastEffect_ = effect;
    bool useDefaultCursors = true;
    if (OnFeedback) OnFeedback(this, effect, useDefaultCursors);
    return useDefaultCursors ? DRAGDROP_S_USEDEFAULTCURSORS : S_OK_;
}

uint32_t TDropSource::QueryContinueDrag(bool escapePressed, Qt::MouseButtons buttons) {
    if (escapePressed) return DRAGDROP_S_CANCEL;
    if (buttons & (Qt::LeftButton | Qt::RightButton)) return S_OK_;
    TDragType type;
    if (!dragTypeForEffect(lastEffect_, type)) return DRAGDROP_S_CANCEL;
    if (!(Dragtypes & effectOf(type))) return DRAGDROP_S_CANCEL;
    bool continueDrop = true;
    if (OnDrop) OnDrop(this, type, continueDrop);
    return continueDrop ? DRAGDROP_S_DROP : DRAGDROP_S_CANCEL;
}

bool TDropSource::eventFilter(QObject* watched, QEvent* event) {
    // Watches the button release while our drag runs, so that a target proposing no
    // effect, a drag type we do not allow, or OnDrop's veto cancel the drop.
    if (dragging_ && event->type() == QEvent::MouseButtonRelease) {
        auto* me = static_cast<QMouseEvent*>(event);
        if (QueryContinueDrag(false, me->buttons()) == DRAGDROP_S_CANCEL) {
            vetoed_ = true;
            QDrag::cancel();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

TDragOutcome TDropSource::Execute() {
    auto* app = QCoreApplication::instance();
    if (!app) return doUnknown;
    std::unique_ptr<TDropDataObject> data;
    try {
        data = CreateDataObject();
    } catch (const std::exception&) {
        return doOutOfMemory;
    }
    // Qt owns the drag object and deletes it once the receiver has its data.
    auto* drag = new QDrag(this);
    drag->setMimeData(data.release());
    if (showImage_ && images_ && static_cast<size_t>(imageIndex_) < images_->size()) {
        drag->setPixmap((*images_)[static_cast<size_t>(imageIndex_)]);
        drag->setHotSpot(QPoint(ImageHotSpotX, ImageHotSpotY));
    }
    lastEffect_ = kEffectNone;
    vetoed_ = false;
    connect(drag, &QDrag::actionChanged, this,
            [this](Qt::DropAction action) { GiveFeedback(effectOfAction(action)); });
    dragging_ = true;
    // The drag installs its own filter when it starts; ours goes in once the drag loop
    // runs, so that it sees the release first.
    QTimer::singleShot(0, this, [this, app] {
        if (dragging_) app->installEventFilter(this);
    });
    Qt::DropAction defaultAction = (Dragtypes & kEffectCopy)   ? Qt::CopyAction
                                   : (Dragtypes & kEffectMove) ? Qt::MoveAction
                                                               : Qt::LinkAction;
    Qt::DropAction result = drag->exec(toQtActions(Dragtypes), defaultAction);
    dragging_ = false;
    app->removeEventFilter(this);
    const uint32_t effect = effectOfAction(result);
    const uint32_t code =
        (result == Qt::IgnoreAction || vetoed_) ? DRAGDROP_S_CANCEL : DRAGDROP_S_DROP;
    lastEffect_ = kEffectNone;
    return outcomeOf(code, effect, Dragtypes);
}

// ======================================================================================
// Clipboard
// ======================================================================================

bool TDropSource::PutOnClipboard() {
    return false;
}

bool TDropSource::PlaceOnClipboard(const char* message) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) throw Exception(message);
    std::unique_ptr<TDropDataObject> data;
    try {
        data = CreateDataObject();
    } catch (const std::exception&) {
        throw Exception(message);
    }
    clipboard->clear();
    clipboard->setMimeData(data.release());
    return true;
}

bool TDropSource::CopyToClipboard() {
    return PutOnClipboard();
}

bool TDropSource::CutToClipboard() {
    return PutOnClipboard();
}

// ======================================================================================
// Palettes
// ======================================================================================

QByteArray encodePalette(const Palette& palette) {
    QByteArray out("PWPL");
    const int n = palette.size();
    out.append(char(n & 0xFF));
    out.append(char(n >> 8));
    for (const Rgb& c : palette.entries()) {
        out.append(char(c.r));
        out.append(char(c.g));
        out.append(char(c.b));
    }
    return out;
}

Palette decodePalette(const QByteArray& bytes) {
    if (bytes.size() < 6 || !bytes.startsWith("PWPL"))
        throw EInvalidGraphic("パレットのデータが不正です");
    const int n = uint8_t(bytes[4]) | uint8_t(bytes[5]) << 8;
    if (n < 1 || n > 256 || bytes.size() != 6 + 3 * n)
        throw EInvalidGraphic("パレットのデータが不正です");
    std::vector<Rgb> entries(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        entries[size_t(i)] = {uint8_t(bytes[6 + 3 * i]), uint8_t(bytes[7 + 3 * i]),
                              uint8_t(bytes[8 + 3 * i])};
    return Palette(std::move(entries));
}

} // namespace dragdrop
