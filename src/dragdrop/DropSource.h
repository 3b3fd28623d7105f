// TDropSource: the base of the drag sources. It keeps the list of offered formats (at
// most 20, in offering order), runs a drag (Execute) and answers the drag loop's
// questions (feedback, continue or drop). What a format holds is rendered by the class's
// content only when a receiver asks for it.
//
// The data travelling with a drag or placed on the clipboard is a TDropDataObject, a
// QMimeData whose retrieveData renders the requested MIME type on demand. It shares the
// source's content at the moment the drag started, so a receiver that reads after the
// drag loop has returned (between processes that is the rule) still gets that picture.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QMimeData>
#include <QObject>
#include <QPixmap>
#include <QVariant>

#include "dragdrop/DropFormats.h"
#include "platform/Graphic.h"
#include "platform/Palette.h"

class QDrag;

namespace dragdrop {

// A rendered format: the medium kind and the data (bytes, or a QImage for a bitmap).
struct Medium {
    uint32_t tymed = 0;
    QVariant value;
};

// What a source drags: renders one format entry into a medium.
class DropContent {
public:
    virtual ~DropContent() = default;
    // S_OK_ with the medium filled, E_OUTOFMEMORY_ when the data cannot be made,
    // DV_E_FORMATETC for a format this content does not render.
    virtual uint32_t render(const FormatEtc& format, Medium& medium) const = 0;
    // The picture as a PNG file for receivers that know none of the listed formats; empty
    // when there is nothing to give.
    virtual QByteArray renderPng() const = 0;
    // The picture itself, for a receiver in this process (no encoding on the way).
    virtual const Graphic& picture() const = 0;
};

class TDropDataObject : public QMimeData {
    Q_OBJECT
public:
    TDropDataObject(std::shared_ptr<const DropContent> content, std::vector<FormatEtc> formats);

    QStringList formats() const override;
    bool hasFormat(const QString& mimeType) const override;
    // How many formats have been rendered (each request renders afresh).
    int renderCount() const { return renders_; }
    // The picture carried, for a receiver in this process.
    const Graphic& picture() const { return content_->picture(); }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override;

private:
    std::shared_ptr<const DropContent> content_;
    std::vector<FormatEtc> formats_;
    mutable int renders_ = 0;
};

// The enumerator over a source's formats.
class TEnumFormatEtc {
public:
    TEnumFormatEtc(std::shared_ptr<const std::vector<FormatEtc>> list, size_t index = 0)
        : list_(std::move(list)), index_(index) {}
    // Copies up to count entries from the current index; S_OK_ when all were fetched.
    uint32_t Next(size_t count, std::vector<FormatEtc>& out, size_t* fetched = nullptr);
    uint32_t Skip(size_t count);
    uint32_t Reset();
    std::unique_ptr<TEnumFormatEtc> Clone() const;

private:
    std::shared_ptr<const std::vector<FormatEtc>> list_;
    size_t index_;
};

class TDropSource : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMaxFormats = 20;

    explicit TDropSource(QObject* owner = nullptr);
    ~TDropSource() override;

    TDragTypes Dragtypes = kEffectCopy;
    // Raised on every feedback from the drag loop; may clear UseDefaultCursors.
    std::function<void(TDropSource* Sender, uint32_t Effect, bool& UseDefaultCursors)> OnFeedback;
    // Raised when the user releases the button over a target; may veto the drop.
    std::function<void(TDropSource* Sender, TDragType DragType, bool& ContinueDrop)> OnDrop;

    // Drag image: a list of pictures, the one shown and its hot spot.
    std::shared_ptr<const std::vector<QPixmap>> Images() const { return images_; }
    void SetImages(std::shared_ptr<const std::vector<QPixmap>> images);
    int ImageIndex() const { return imageIndex_; }
    void SetImageIndex(int index);
    bool ShowImage() const { return showImage_; }
    void SetShowImage(bool show);
    int ImageHotSpotX = 16;
    int ImageHotSpotY = 16;

    // ----- formats -----
    const std::vector<FormatEtc>& FormatList() const { return *formats_; }
    // Appends an entry; ignored when the list already holds kMaxFormats.
    void AddFormatEtc(uint16_t format, uint32_t aspect, int32_t index, uint32_t tymed);
    std::unique_ptr<TEnumFormatEtc> EnumFormatEtc() const;
    // Whether an entry has the same format and aspect and shares a medium kind.
    uint32_t QueryGetData(const FormatEtc& request) const;
    uint32_t GetData(const FormatEtc& request, Medium& medium) const;
    uint32_t RenderData(const FormatEtc& request, Medium& medium) const;
    // A data object over the current content and formats.
    std::unique_ptr<TDropDataObject> CreateDataObject() const;

    // ----- drag -----
    // Runs a whole drag and tells how it ended.
    TDragOutcome Execute();
    // The drag loop's feedback: stores the effect, raises OnFeedback and answers
    // DRAGDROP_S_USEDEFAULTCURSORS or S_OK_.
    uint32_t GiveFeedback(uint32_t effect);
    // The drag loop's question after each input: cancel on Escape, continue while the left
    // or right button is down, else drop (after OnDrop) or cancel.
    uint32_t QueryContinueDrag(bool escapePressed, Qt::MouseButtons buttons);
    uint32_t LastEffect() const { return lastEffect_; }

    // ----- clipboard -----
    // Places the content on the clipboard; the base places nothing.
    virtual bool PutOnClipboard();
    bool CutToClipboard();
    bool CopyToClipboard();

protected:
    // The content being dragged, shared with the data objects made from it.
    virtual std::shared_ptr<const DropContent> Content() const = 0;
    // Places a data object on the clipboard; false for an empty picture. Throws message
    // when the clipboard refuses.
    bool PlaceOnClipboard(const char* message);

private:
    bool eventFilter(QObject* watched, QEvent* event) override;

    std::shared_ptr<std::vector<FormatEtc>> formats_;
    std::shared_ptr<const std::vector<QPixmap>> images_;
    int imageIndex_ = 0;
    bool showImage_ = false;
    uint32_t lastEffect_ = 0;
    bool dragging_ = false;
    bool vetoed_ = false;
};

// Palettes travel as a small private type: "PWPL", a 16-bit little-endian count (1..256)
// and count × (red, green, blue).
QByteArray encodePalette(const ::Palette& palette);
// Throws EInvalidGraphic for malformed data.
::Palette decodePalette(const QByteArray& bytes);

} // namespace dragdrop
