#include "platform/Metafile.h"

#include <algorithm>
#include <cmath>

#include <uemf_safe.h>

#include "core/ByteIO.h"
#include "core/Checked.h"
#include "platform/Exceptions.h"
#include "platform/MetafilePlayer.h"
#include "platform/MetafileRecords.h"
#include "platform/Screen.h"
#include "platform/Wmf.h"

namespace {

const char* kBadMetafile = "メタファイルの形式が不正です";

using core::mulDiv;

// Physical size of pixels on the reference device (the screen), hundredths of a mm.
int pxToMm(int px, bool horizontal) {
    const ScreenInfo& s = screenInfo();
    return horizontal ? mulDiv(px, int64_t(s.widthMm) * 100, s.widthPx)
                      : mulDiv(px, int64_t(s.heightMm) * 100, s.heightPx);
}
int mmToPx(int mm, bool horizontal) {
    const ScreenInfo& s = screenInfo();
    return horizontal ? mulDiv(mm, s.widthPx, int64_t(s.widthMm) * 100)
                      : mulDiv(mm, s.heightPx, int64_t(s.heightMm) * 100);
}

// a × b / c truncated, for a, b ≥ 0 and c > 0, or -1 when the quotient does not fit an
// int. The product is taken in 128 bits: header fields multiply to more than 64.
int64_t scaledOrFail(int64_t a, int64_t b, int64_t c) {
    const unsigned __int128 q =
        static_cast<unsigned __int128>(a) * static_cast<uint64_t>(b) / static_cast<uint64_t>(c);
    return q > INT32_MAX ? -1 : static_cast<int64_t>(q);
}

// Largest natural side a metafile may report; rasterising checks the picture limits.
constexpr int64_t kMaxNaturalSide = INT32_MAX / 4;

} // namespace

int Metafile::width() const {
    return logicalInch_ ? mulDiv(mmWidth_, screenInfo().logPixelsX, 2540) : width_;
}

int Metafile::height() const {
    return logicalInch_ ? mulDiv(mmHeight_, screenInfo().logPixelsY, 2540) : height_;
}

void Metafile::setWidth(int value) {
    value = std::max(value, 0);
    if (logicalInch_) {
        mmWidth_ = mulDiv(value, 2540, screenInfo().logPixelsX);
    } else {
        width_ = value;
        mmWidth_ = pxToMm(value, true);
    }
}

void Metafile::setHeight(int value) {
    value = std::max(value, 0);
    if (logicalInch_) {
        mmHeight_ = mulDiv(value, 2540, screenInfo().logPixelsY);
    } else {
        height_ = value;
        mmHeight_ = pxToMm(value, false);
    }
}

void Metafile::setMMWidth(int value) {
    mmWidth_ = std::max(value, 0);
    if (!logicalInch_) width_ = mmToPx(mmWidth_, true);
}

void Metafile::setMMHeight(int value) {
    mmHeight_ = std::max(value, 0);
    if (!logicalInch_) height_ = mmToPx(mmHeight_, false);
}

void Metafile::setLogicalInch(bool on) {
    if (on == logicalInch_) return;
    if (!on) {
        // Keep the size the picture has now as its natural size.
        width_ = width();
        height_ = height();
    }
    logicalInch_ = on;
}

void Metafile::clear() {
    records_.clear();
    recordFrame_ = QRectF();
    handles_ = 1;
    width_ = height_ = mmWidth_ = mmHeight_ = 0;
    logicalInch_ = false;
    palette_ = Palette();
}

void Metafile::setRecording(std::vector<uint8_t> records, const QRectF& frame, uint32_t handles,
                            int widthPx, int heightPx, int mmWidth, int mmHeight) {
    records_ = std::move(records);
    recordFrame_ = frame;
    handles_ = std::max<uint32_t>(handles, 1);
    const ScreenInfo& s = screenInfo();
    deviceResolution_ =
        QPointF(double(s.widthPx) / (s.widthMm * 100.0), double(s.heightPx) / (s.heightMm * 100.0));
    width_ = widthPx;
    height_ = heightPx;
    mmWidth_ = mmWidth;
    mmHeight_ = mmHeight;
    logicalInch_ = false;
}

void Metafile::paint(QPainter& painter, const QRectF& dest) const {
    if (records_.empty() || dest.isEmpty()) return;
    mf::play(painter, dest, *this);
}

std::unique_ptr<Graphic> Metafile::clone() const {
    return std::make_unique<Metafile>(*this);
}

void Metafile::assign(const Graphic& source) {
    if (const auto* m = dynamic_cast<const Metafile*>(&source)) {
        // The save format stays this metafile's own: a metafile made for a .wmf name
        // writes the old-style format whatever it was given.
        if (m != this) {
            bool enhanced = enhanced_;
            *this = *m;
            enhanced_ = enhanced;
        }
        return;
    }
    throw EConvertError(std::string(source.className()) + " を " + className() +
                        " に代入できません");
}

void Metafile::loadFromBytes(std::span<const uint8_t> bytes) {
    mf::RecordReader r(bytes.data(), bytes.size());
    if (bytes.size() >= 88 && r.u32(0) == U_EMR_HEADER && r.u32(40) == mf::kEmfSignature) {
        loadEmf(bytes);
        enhanced_ = true;
        return;
    }
    if (bytes.size() >= 18 &&
        (r.u32(0) == 0x9AC6CDD7u || ((r.u16(0) == 1 || r.u16(0) == 2) && r.u16(2) == 9))) {
        loadWmf(bytes);
        enhanced_ = false;
        return;
    }
    throw EInvalidGraphic(kBadMetafile);
}

void Metafile::loadEmf(std::span<const uint8_t> bytes) {
    mf::RecordReader h(bytes.data(), bytes.size());
    uint32_t headerSize = h.u32(4);
    if (headerSize < 88 || headerSize % 4 || headerSize > bytes.size())
        throw EInvalidGraphic(kBadMetafile);
    size_t limit = bytes.size();
    uint32_t nBytes = h.u32(48);
    if (nBytes >= headerSize && nBytes < limit) limit = nBytes;

    const int64_t boundsL = h.i32(8), boundsT = h.i32(12), boundsR = h.i32(16), boundsB = h.i32(20);
    const int64_t frameL = h.i32(24), frameT = h.i32(28), frameR = h.i32(32), frameB = h.i32(36);
    uint32_t handles = std::max<uint32_t>(h.u16(56), 1);
    int64_t devX = h.i32(72), devY = h.i32(76);
    int64_t umX = int64_t(h.i32(80)) * 1000, umY = int64_t(h.i32(84)) * 1000;
    // The header's extensions end where its description or pixel format begins: a
    // description written right after the base header is not an extension.
    uint64_t extent = headerSize;
    if (h.u32(60) && h.u32(64) >= 88) extent = std::min<uint64_t>(extent, h.u32(64));
    if (extent >= 100 && h.u32(88) && h.u32(92) >= 88)
        extent = std::min<uint64_t>(extent, h.u32(92));
    if (extent >= mf::kEmfHeaderSize && h.i32(100) > 0 && h.i32(104) > 0) {
        umX = h.i32(100);
        umY = h.i32(104);
    }
    if (devX <= 0 || devY <= 0 || umX <= 0 || umY <= 0) {
        // No usable reference device: take 96 pixels per inch.
        devX = devY = 96;
        umX = umY = 25400;
    }

    // Natural size from the frame (hundredths of a mm, inclusive), or from the bounds
    // (device pixels, inclusive) when the frame is empty.
    int64_t fw = frameR - frameL + 1, fh = frameB - frameT + 1;
    QRectF frame;
    int64_t mmw, mmh;
    if (fw > 0 && fh > 0) {
        double kx = 10.0 * double(devX) / double(umX), ky = 10.0 * double(devY) / double(umY);
        frame = QRectF(frameL * kx, frameT * ky, fw * kx, fh * ky);
        mmw = fw;
        mmh = fh;
    } else {
        int64_t bw = boundsR - boundsL + 1, bh = boundsB - boundsT + 1;
        if (bw <= 0 || bh <= 0) throw EInvalidGraphic(kBadMetafile);
        frame = QRectF(double(boundsL), double(boundsT), double(bw), double(bh));
        mmw = scaledOrFail(bw, umX, devX * 10);
        mmh = scaledOrFail(bh, umY, devY * 10);
    }
    double pw = std::round(frame.width()), ph = std::round(frame.height());
    // Micrometre rounding in the header leaves frames a hair off whole pixels; snap them so
    // that a file written here plays back exactly as the recording did.
    auto snap = [](double v) { return std::fabs(v - std::round(v)) < 0.02 ? std::round(v) : v; };
    frame = QRectF(snap(frame.x()), snap(frame.y()), snap(frame.width()), snap(frame.height()));
    if (!(pw >= 1 && ph >= 1 && pw <= kMaxNaturalSide && ph <= kMaxNaturalSide) || mmw < 0 ||
        mmh < 0 || mmw > INT32_MAX || mmh > INT32_MAX)
        throw EInvalidGraphic(kBadMetafile);

    // The records: each one's size checked against the bytes present before anything of it
    // is read; a record that libuemf's structure checks reject is left out.
    std::vector<uint8_t> records;
    size_t pos = headerSize;
    bool sawEof = false;
    while (pos + 8 <= limit) {
        mf::RecordReader r(bytes.data() + pos, limit - pos);
        uint32_t type = r.u32(0), size = r.u32(4);
        if (size < 8 || size % 4 || size > limit - pos) throw EInvalidGraphic(kBadMetafile);
        if (type == U_EMR_EOF) {
            sawEof = true;
            break;
        }
        if (type != U_EMR_HEADER && type >= U_EMR_MIN && type <= U_EMR_MAX) {
            // libuemf reads the record in place; give it an aligned private copy.
            std::vector<uint32_t> copy(size / 4);
            std::memcpy(copy.data(), bytes.data() + pos, size);
            if (U_emf_record_safe(reinterpret_cast<const char*>(copy.data())))
                records.insert(records.end(), bytes.begin() + static_cast<ptrdiff_t>(pos),
                               bytes.begin() + static_cast<ptrdiff_t>(pos + size));
        }
        pos += size;
    }
    (void)sawEof; // a file cut short after whole records still shows what it holds

    records_ = std::move(records);
    recordFrame_ = frame;
    handles_ = handles;
    deviceResolution_ =
        QPointF(10.0 * double(devX) / double(umX), 10.0 * double(devY) / double(umY));
    width_ = static_cast<int>(pw);
    height_ = static_cast<int>(ph);
    mmWidth_ = static_cast<int>(mmw);
    mmHeight_ = static_cast<int>(mmh);
    logicalInch_ = false;
}

void Metafile::loadWmf(std::span<const uint8_t> bytes) {
    mf::WmfImport w = mf::importWmf(bytes);
    records_ = std::move(w.records);
    recordFrame_ = w.frame;
    handles_ = std::max<uint32_t>(w.handles, 1);
    width_ = w.widthPx;
    height_ = w.heightPx;
    mmWidth_ = w.mmWidth;
    mmHeight_ = w.mmHeight;
    logicalInch_ = false;
}

std::vector<uint8_t> Metafile::saveToBytes() const {
    return enhanced_ ? saveToEmfBytes() : saveToWmfBytes();
}

std::vector<uint8_t> Metafile::saveToWmfBytes() const {
    return mf::exportWmf(*this);
}

std::vector<uint8_t> Metafile::saveToEmfBytes() const {
    const ScreenInfo& s = screenInfo();
    const int w = std::max(1, width()), h = std::max(1, height());
    const int mmw = mmWidth_ > 0 ? mmWidth_ : pxToMm(w, true);
    const int mmh = mmHeight_ > 0 ? mmHeight_ : pxToMm(h, false);
    // The reference device is described so that the frame covers exactly the natural size:
    // a reader's frame × device pixels / device micrometres gives width() × height() back.
    const int64_t devX = s.widthPx, devY = s.heightPx;
    const int64_t umX = std::max<int64_t>(1, (int64_t(mmw) * 10 * devX + w / 2) / w);
    const int64_t umY = std::max<int64_t>(1, (int64_t(mmh) * 10 * devY + h / 2) / h);

    std::vector<uint8_t> body;
    mf::RecordWriter wr(body);
    // Records made for another size are scaled onto this one.
    QRectF target(0, 0, w, h);
    bool scaled = !records_.empty() && recordFrame_.isValid() && recordFrame_ != target;
    if (scaled) {
        double sx = w / recordFrame_.width(), sy = h / recordFrame_.height();
        wr.begin(U_EMR_MODIFYWORLDTRANSFORM);
        wr.f32(float(sx));
        wr.f32(0);
        wr.f32(0);
        wr.f32(float(sy));
        wr.f32(float(-recordFrame_.x() * sx));
        wr.f32(float(-recordFrame_.y() * sy));
        wr.u32(U_MWT_LEFTMULTIPLY);
        wr.end();
    }
    body.insert(body.end(), records_.begin(), records_.end());
    wr.begin(U_EMR_EOF);
    wr.u32(0);
    wr.u32(16);
    wr.u32(20);
    wr.end();

    size_t count = 1;
    for (size_t pos = 0; pos + 8 <= body.size();) {
        const uint32_t size = core::loadLE32(body.data() + pos + 4);
        ++count;
        pos += size;
    }

    std::vector<uint8_t> out;
    out.reserve(mf::kEmfHeaderSize + body.size());
    mf::RecordWriter hd(out);
    hd.begin(U_EMR_HEADER);
    hd.i32(0);
    hd.i32(0);
    hd.i32(w - 1);
    hd.i32(h - 1);
    hd.i32(0);
    hd.i32(0);
    hd.i32(mmw - 1);
    hd.i32(mmh - 1);
    hd.u32(mf::kEmfSignature);
    hd.u32(0x10000);
    uint64_t total = mf::kEmfHeaderSize + body.size();
    if (total > UINT32_MAX || count > UINT32_MAX)
        throw EInvalidGraphicOperation("メタファイルが大きすぎます");
    hd.u32(static_cast<uint32_t>(total));
    hd.u32(static_cast<uint32_t>(count));
    hd.u16(static_cast<uint16_t>(std::min<uint32_t>(handles_, mf::kMaxHandles)));
    hd.u16(0);
    hd.u32(0); // no description
    hd.u32(0);
    hd.u32(0); // no palette entries
    hd.i32(static_cast<int32_t>(devX));
    hd.i32(static_cast<int32_t>(devY));
    hd.i32(static_cast<int32_t>((umX + 500) / 1000));
    hd.i32(static_cast<int32_t>((umY + 500) / 1000));
    hd.u32(0); // no pixel format
    hd.u32(0);
    hd.u32(0); // not OpenGL
    hd.i32(static_cast<int32_t>(umX));
    hd.i32(static_cast<int32_t>(umY));
    hd.end();
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
