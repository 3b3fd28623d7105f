// TDropBMPSource: drags a bitmap. Offers a device-independent bitmap, a device bitmap and
// its palette, in that order (then PNG for programs that know none of them).
#pragma once

#include "dragdrop/DropSource.h"

class Bitmap;

namespace dragdrop {

class TDropBMPSource : public TDropSource {
    Q_OBJECT
public:
    explicit TDropBMPSource(QObject* owner = nullptr);
    ~TDropBMPSource() override;

    const Bitmap& GetBitmap() const;
    // Copies bitmap into the source's own bitmap.
    void SetBitmap(const Bitmap& bitmap);
    // Takes bitmap without copying (for a picture made only to be dragged).
    void SetBitmap(Bitmap&& bitmap);

    // Places the bitmap on the clipboard; nothing for an empty bitmap. Throws
    // "Unable to copy Bitmap to Clipboard." when that fails.
    bool PutOnClipboard() override;

protected:
    std::shared_ptr<const DropContent> Content() const override;

private:
    std::shared_ptr<const class BitmapContent> content_;
};

} // namespace dragdrop
