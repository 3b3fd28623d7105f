#include "formats/GIFImage.h"

#include <algorithm>
#include <cctype>

#include "formats/GIFCodec.h"
#include "formats/GIFPainter.h"
#include "platform/Limits.h"

// ----- colour maps -----

int TGIFColorMap::bitsPerPixel() const {
    int n = count();
    if (n == 0) return 0;
    int b = 1;
    while ((1 << b) < n)
        ++b;
    return b;
}

int TGIFColorMap::add(const Rgb& color) {
    if (count() >= 256) throw GIFException("Color table overflow");
    Colors.push_back(color);
    return count() - 1;
}

void TGIFColorMap::assignPalette(const Palette& palette) {
    Colors.assign(palette.entries().begin(),
                  palette.entries().begin() + std::min(palette.size(), 256));
    Sorted = false;
}

namespace {

void readColorTable(GifReader& in, TGIFColorMap& map, uint8_t flags) {
    int n = 2 << (flags & 7);
    map.Colors.resize(static_cast<size_t>(n));
    in.read(map.Colors.data(), static_cast<size_t>(n) * 3);
    map.Sorted = false;
}

void writeColorTable(GifWriter& out, const TGIFColorMap& map, int bitsPerPixel) {
    out.bytes(map.Colors.data(), map.Colors.size() * 3);
    for (int i = map.count(); i < (1 << bitsPerPixel); ++i) {
        out.byte(0);
        out.byte(0);
        out.byte(0);
    }
}

std::vector<std::string> toStrings(const std::vector<std::vector<uint8_t>>& blocks) {
    std::vector<std::string> text;
    for (const auto& b : blocks)
        text.emplace_back(b.begin(), b.end());
    return text;
}

void writeStrings(GifWriter& out, const std::vector<std::string>& text) {
    for (const auto& s : text)
        out.subBlocks(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

bool sameIdent(const std::vector<uint8_t>& block, const char* ident) {
    return block.size() == 11 && std::memcmp(block.data(), ident, 11) == 0;
}

} // namespace

static_assert(sizeof(Rgb) == 3, "colour tables are read straight into Rgb arrays");

// ----- extensions -----

void TGIFExtension::load(GifReader& in) {
    if (in.byte() != '!') throw GIFException("Invalid extension introducer");
    if (in.byte() != label())
        throw GIFException("Internal error: Extension Instance does not match Extension Label");
    readBody(in);
}

void TGIFExtension::save(GifWriter& out) const {
    out.byte('!');
    out.byte(label());
    writeBody(out);
    out.byte(0);
}

void TGIFGraphicControlExtension::readBody(GifReader& in) {
    // Block size, packed fields, delay (2), transparent index, terminator.
    if (in.remaining() < 6) {
        in.warning("Premature end of data");
        Incomplete = true;
        uint8_t raw[6] = {4, 0, 0, 0, 0, 0};
        size_t n = in.remaining();
        in.read(raw, n);
        BlockSize = raw[0];
        Packed = raw[1];
        Delay = static_cast<uint16_t>(raw[2] | (raw[3] << 8));
        TransparentColorIndex = raw[4];
        return;
    }
    BlockSize = in.byte();
    if (BlockSize < 4) {
        // Too short to hold the fields: keep what there is and skip to the terminator.
        uint8_t raw[4] = {0, 0, 0, 0};
        in.read(raw, BlockSize);
        Packed = raw[0];
        Delay = static_cast<uint16_t>(raw[1] | (raw[2] << 8));
        TransparentColorIndex = raw[3];
        BlockSize = 4;
        in.skipSubBlocks();
        return;
    }
    Packed = in.byte();
    Delay = in.word();
    TransparentColorIndex = in.byte();
    if (BlockSize > 4) in.skip(BlockSize - 4u);
    BlockSize = 4;
    if (in.peek() == 0)
        in.byte();
    else
        in.skipSubBlocks();
}

void TGIFGraphicControlExtension::writeBody(GifWriter& out) const {
    out.byte(4);
    out.byte(Packed);
    out.word(Delay);
    out.byte(TransparentColorIndex);
}

void TGIFTextExtension::readBody(GifReader& in) {
    in.read(Fields, sizeof Fields);
    Text = toStrings(in.readSubBlocks());
}

void TGIFTextExtension::writeBody(GifWriter& out) const {
    out.bytes(Fields, sizeof Fields);
    writeStrings(out, Text);
}

void TGIFCommentExtension::readBody(GifReader& in) {
    Text = toStrings(in.readSubBlocks());
}

void TGIFCommentExtension::writeBody(GifWriter& out) const {
    writeStrings(out, Text);
}

std::vector<uint8_t> TGIFApplicationExtension::peekIdentifier(GifReader& in) {
    // in stands on '!' 0xFF <size> <identifier...>
    int size = in.peek(2);
    if (size < 0) throw GIFException("Premature end of data");
    if (size < 11 && size != 10) throw GIFException("Unsupported Application Extension block size");
    std::vector<uint8_t> ident;
    for (int i = 0; i < size; ++i) {
        int b = in.peek(3 + static_cast<size_t>(i));
        if (b < 0) throw GIFException("Premature end of data");
        ident.push_back(static_cast<uint8_t>(b));
    }
    return ident;
}

namespace {
std::vector<uint8_t> readIdentBlock(GifReader& in) {
    uint8_t size = in.byte();
    if (size < 11 && size != 10) throw GIFException("Unsupported Application Extension block size");
    std::vector<uint8_t> ident(size);
    in.read(ident.data(), size);
    return ident;
}
} // namespace

TGIFAppExtNSLoop::TGIFAppExtNSLoop() {
    const char* id = "NETSCAPE2.0";
    IdentBlock.assign(id, id + 11);
}

void TGIFAppExtNSLoop::readBody(GifReader& in) {
    IdentBlock = readIdentBlock(in);
    for (;;) {
        uint8_t n = in.byte();
        if (n == 0) break;
        std::vector<uint8_t> block(n);
        in.read(block.data(), n);
        if (block[0] == 1) {
            if (n < 3) throw GIFException("Invalid GIF data");
            Loops = static_cast<uint16_t>(block[1] | (block[2] << 8));
        } else if (block[0] == 2) {
            if (n < 5) throw GIFException("Invalid GIF data");
            BufferSize = static_cast<uint32_t>(block[1]) | (static_cast<uint32_t>(block[2]) << 8) |
                         (static_cast<uint32_t>(block[3]) << 16) |
                         (static_cast<uint32_t>(block[4]) << 24);
        }
    }
}

void TGIFAppExtNSLoop::writeBody(GifWriter& out) const {
    out.byte(static_cast<uint8_t>(IdentBlock.size()));
    out.bytes(IdentBlock.data(), IdentBlock.size());
    out.byte(3);
    out.byte(1);
    out.word(Loops);
    if (BufferSize != 0) {
        out.byte(5);
        out.byte(2);
        for (int i = 0; i < 4; ++i)
            out.byte(static_cast<uint8_t>(BufferSize >> (8 * i)));
    }
}

void TGIFUnknownAppExtension::readBody(GifReader& in) {
    IdentBlock = readIdentBlock(in);
    Blocks = in.readSubBlocks();
}

void TGIFUnknownAppExtension::writeBody(GifWriter& out) const {
    out.byte(static_cast<uint8_t>(IdentBlock.size()));
    out.bytes(IdentBlock.data(), IdentBlock.size());
    for (const auto& b : Blocks) {
        out.byte(static_cast<uint8_t>(b.size()));
        out.bytes(b.data(), b.size());
    }
}

// ----- frames -----

TGIFSubImage::TGIFSubImage(const TGIFSubImage& other, TGIFImage* owner)
    : Image(owner), ColorMap(other.ColorMap), Left(other.Left), Top(other.Top), Width(other.Width),
      Height(other.Height), Flags(other.Flags), Data(other.Data), Transparent(other.Transparent),
      bitmap_(other.bitmap_ ? std::make_unique<Bitmap>(*other.bitmap_) : nullptr),
      mask_(other.mask_), maskBuilt_(other.maskBuilt_) {
    for (const auto& e : other.Extensions)
        Extensions.push_back(e->clone());
    linkGraphicControl();
}

void TGIFSubImage::linkGraphicControl() {
    GraphicControlExtension = nullptr;
    for (const auto& e : Extensions)
        if (auto* g = dynamic_cast<TGIFGraphicControlExtension*>(e.get())) {
            GraphicControlExtension = g;
            break;
        }
}

const TGIFColorMap& TGIFSubImage::activeColorMap() const {
    if (ColorMap.count() > 0 || !Image) return ColorMap;
    return Image->Header.ColorMap;
}

int TGIFSubImage::transparentIndex() const {
    if (!Transparent || !GraphicControlExtension) return -1;
    return GraphicControlExtension->TransparentColorIndex;
}

void TGIFSubImage::read(GifReader& in) {
    while (in.peek() == '!') {
        int label = in.peek(1);
        if (label < 0) throw GIFException("Premature end of data");
        std::unique_ptr<TGIFExtension> ext;
        switch (label) {
        case 0x01:
            ext = std::make_unique<TGIFTextExtension>();
            break;
        case 0xF9:
            ext = std::make_unique<TGIFGraphicControlExtension>();
            break;
        case 0xFE:
            ext = std::make_unique<TGIFCommentExtension>();
            break;
        case 0xFF: {
            auto ident = TGIFApplicationExtension::peekIdentifier(in);
            if (sameIdent(ident, "NETSCAPE2.0") || sameIdent(ident, "ANIMEXTS1.0"))
                ext = std::make_unique<TGIFAppExtNSLoop>();
            else
                ext = std::make_unique<TGIFUnknownAppExtension>();
            break;
        }
        default:
            throw GIFException("Unknown extension type");
        }
        ext->load(in);
        if (auto* g = dynamic_cast<TGIFGraphicControlExtension*>(ext.get())) {
            if (g->transparent()) Transparent = true;
        }
        Extensions.push_back(std::move(ext));
    }
    linkGraphicControl();
    int next = in.peek();
    if (next != ',') {
        // Extensions without an image (a trailing comment, say) make an empty frame.
        if (next >= 0 && next != ';' && next != 0) in.warning("Invalid extension introducer");
        return;
    }
    in.byte();
    Left = in.word();
    Top = in.word();
    Width = in.word();
    Height = in.word();
    Flags = in.byte();
    if (Width == 0 || Height == 0) {
        Width = Image ? Image->Header.Width : 0;
        Height = Image ? Image->Header.Height : 0;
        in.warning("Image exceeds Logical Screen size");
    }
    if (Flags & 0x80) readColorTable(in, ColorMap, Flags);
    decodeData(in);
}

namespace {

// Where decoded pixels go: row by row, or in the four interlace passes.
class PixelSink {
public:
    PixelSink(uint8_t* data, int width, int height, bool interlaced)
        : data_(data), width_(width), height_(height), interlaced_(interlaced) {
        row_ = data_;
        if (height_ == 0 || width_ == 0) done_ = true;
    }
    bool done() const { return done_; }
    // Writes n pixels given in reverse order (the decoder's stack).
    void putReversed(const uint8_t* stackTop, int n) {
        while (n > 0 && !done_) {
            int k = std::min(n, width_ - x_);
            uint8_t* dst = row_ + x_;
            for (int i = 0; i < k; ++i)
                dst[i] = stackTop[-1 - i];
            stackTop -= k;
            n -= k;
            x_ += k;
            if (x_ == width_) nextRow();
        }
    }

private:
    void nextRow() {
        x_ = 0;
        if (!interlaced_) {
            if (++y_ >= height_) done_ = true;
        } else {
            static const int kStart[4] = {0, 4, 2, 1};
            static const int kStep[4] = {8, 8, 4, 2};
            y_ += kStep[pass_];
            while (y_ >= height_) {
                if (++pass_ >= 4) {
                    done_ = true;
                    return;
                }
                y_ = kStart[pass_];
            }
        }
        row_ = data_ + static_cast<size_t>(y_) * static_cast<size_t>(width_);
    }

    uint8_t* data_;
    int width_, height_;
    bool interlaced_;
    uint8_t* row_;
    int x_ = 0, y_ = 0, pass_ = 0;
    bool done_ = false;
};

// Reads LZW codes least significant bit first from the frame's sub-blocks.
class CodeReader {
public:
    explicit CodeReader(GifReader& in) : in_(in) {}
    // The next code of the given width, or -1 when the data has ended.
    int get(int width) {
        while (bits_ < width) {
            if (blockLeft_ == 0) {
                if (terminated_) {
                    if (bits_ == 0) in_.warning("Decoder bit buffer under-run");
                    return -1;
                }
                if (in_.atEnd()) {
                    in_.warning("Premature end of data");
                    terminated_ = true;
                    continue;
                }
                size_t n = in_.byte();
                if (n == 0) {
                    terminated_ = true;
                    continue;
                }
                if (n > in_.remaining()) {
                    in_.warning("Premature end of data");
                    n = in_.remaining();
                    if (n == 0) {
                        terminated_ = true;
                        continue;
                    }
                }
                blockLeft_ = n;
            }
            acc_ |= static_cast<uint32_t>(in_.byte()) << bits_;
            bits_ += 8;
            --blockLeft_;
        }
        int code = static_cast<int>(acc_ & ((1u << width) - 1));
        acc_ >>= width;
        bits_ -= width;
        return code;
    }
    // Skips what is left of the frame's sub-blocks.
    void finish() {
        if (terminated_) return;
        in_.skip(std::min(blockLeft_, in_.remaining()));
        blockLeft_ = 0;
        in_.skipSubBlocks();
        terminated_ = true;
    }

private:
    GifReader& in_;
    uint32_t acc_ = 0;
    int bits_ = 0;
    size_t blockLeft_ = 0;
    bool terminated_ = false;
};

} // namespace

void TGIFSubImage::decodeData(GifReader& in) {
    size_t total = 0;
    if (Width > 0 && Height > 0) {
        limits::checkPictureToOpen(Width, Height, 8, false, in.frameBytes);
        total = static_cast<size_t>(Width) * Height;
        in.frameBytes += total;
        if (in.frameBytes > TGIFImage::kMaxTotalFrameBytes)
            throw EPictureTooLarge("GIF のフレームの合計が大きすぎます (上限 " +
                                   std::to_string(TGIFImage::kMaxTotalFrameBytes >> 20) + " MB)");
    }
    int fill = 0;
    if (Transparent && GraphicControlExtension)
        fill = GraphicControlExtension->TransparentColorIndex;
    Data.assign(total, static_cast<uint8_t>(fill));

    int size = in.byte();
    if (size > 8) size = 8;
    if (size < 1) size = 1;
    const int clear = 1 << size;
    const int eoi = clear + 1;
    int nextFree = clear + 2;
    int width = size + 1;
    int prev = -1;
    uint8_t first = 0;
    uint16_t prefix[4096];
    uint8_t suffix[4096];
    uint8_t stack[4097];

    PixelSink sink(Data.data(), Width, Height, interlaced());
    CodeReader codes(in);
    while (!sink.done()) {
        int code = codes.get(width);
        if (code < 0) break;
        if (code == clear) {
            // Only counters change, so runs of Clear codes cost nothing.
            width = size + 1;
            nextFree = clear + 2;
            prev = -1;
            continue;
        }
        if (code == eoi) break;
        if (prev < 0) {
            if (code > clear) throw GIFException("Invalid GIF data");
            first = static_cast<uint8_t>(code);
            stack[0] = first;
            sink.putReversed(stack + 1, 1);
            prev = code;
            continue;
        }
        const int inCode = code;
        int sp = 0;
        if (code >= nextFree) {
            // Only the code about to be defined may be used before its definition.
            if (code > nextFree || nextFree >= 4096) throw GIFException("Invalid GIF data");
            stack[sp++] = first;
            code = prev;
        }
        while (code > eoi) {
            stack[sp++] = suffix[code];
            code = prefix[code];
            if (sp >= 4096) throw GIFException("Circular decoder table entry");
        }
        if (code == clear || code == eoi) throw GIFException("Invalid GIF data");
        first = static_cast<uint8_t>(code);
        stack[sp++] = first;
        sink.putReversed(stack + sp, sp);
        if (nextFree < 4096) {
            prefix[nextFree] = static_cast<uint16_t>(prev);
            suffix[nextFree] = first;
            ++nextFree;
            if (nextFree >= (1 << width) && width < 12) ++width;
        }
        prev = inCode;
    }
    codes.finish();
}

std::vector<int> interlacedRowOrder(int height) {
    std::vector<int> rows;
    rows.reserve(static_cast<size_t>(std::max(height, 0)));
    static const int kStart[4] = {0, 4, 2, 1};
    static const int kStep[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = kStart[pass]; y < height; y += kStep[pass])
            rows.push_back(y);
    return rows;
}

void TGIFSubImage::write(GifWriter& out) const {
    for (const auto& e : Extensions)
        e->save(out);
    if (empty()) return;
    out.byte(',');
    out.word(Left);
    out.word(Top);
    out.word(Width);
    out.word(Height);
    uint8_t flags = Flags;
    int bpp = ColorMap.bitsPerPixel();
    if (bpp > 0) {
        flags = static_cast<uint8_t>((flags & 0x40) | 0x80 | (bpp - 1));
        if (ColorMap.Sorted) flags |= 0x20;
    } else {
        flags &= static_cast<uint8_t>(~(0x80 | 0x20 | 0x07));
    }
    out.byte(flags);
    if (bpp > 0) writeColorTable(out, ColorMap, bpp);
    encodeData(out);
}

void TGIFSubImage::encodeData(GifWriter& out) const {
    const TGIFColorMap& map = activeColorMap();
    int bpp = ColorMap.count() > 0 ? ColorMap.bitsPerPixel()
                                   : (Image ? Image->Header.ColorMap.bitsPerPixel() : 0);
    int minCodeSize = std::max(bpp, 2);
    if (Image && Image->EncoderKind == 1)
        TRLEEncoder::encode(out, Data.data(), Width, Height, interlaced(), minCodeSize,
                            map.count());
    else
        TLZWEncoder::encode(out, Data.data(), Width, Height, interlaced(), minCodeSize,
                            map.count());
}

// ----- encoders -----

namespace {

// Packs codes into bytes and the bytes into sub-blocks of 255.
class CodeWriter {
public:
    explicit CodeWriter(GifWriter& out) : out_(out) {}
    void put(int code, int width) {
        acc_ |= static_cast<uint32_t>(code) << bits_;
        bits_ += width;
        while (bits_ >= 8) {
            block_[count_++] = static_cast<uint8_t>(acc_);
            acc_ >>= 8;
            bits_ -= 8;
            if (count_ == 255) flushBlock();
        }
    }
    void finish() {
        if (bits_ > 0) {
            block_[count_++] = static_cast<uint8_t>(acc_);
            acc_ = 0;
            bits_ = 0;
            if (count_ == 255) flushBlock();
        }
        flushBlock();
        out_.byte(0);
    }

private:
    void flushBlock() {
        if (count_ == 0) return;
        out_.byte(static_cast<uint8_t>(count_));
        out_.bytes(block_, count_);
        count_ = 0;
    }
    GifWriter& out_;
    uint32_t acc_ = 0;
    int bits_ = 0;
    uint8_t block_[255];
    size_t count_ = 0;
};

// Visits the pixels in file order (interlace order for an interlaced frame).
template <class F>
void forEachRow(const uint8_t* pixels, int width, int height, bool interlaced, F&& f) {
    if (!interlaced) {
        for (int y = 0; y < height; ++y)
            f(pixels + static_cast<size_t>(y) * width);
    } else {
        for (int y : interlacedRowOrder(height))
            f(pixels + static_cast<size_t>(y) * width);
    }
}

} // namespace

void TLZWEncoder::encode(GifWriter& out, const uint8_t* pixels, int width, int height,
                         bool interlaced, int minCodeSize, int colorCount) {
    out.byte(static_cast<uint8_t>(minCodeSize));
    CodeWriter codes(out);
    const int clear = 1 << minCodeSize;
    const int eoi = clear + 1;
    int nextFree = eoi + 1;
    int bits = minCodeSize + 1;

    // The string table: open addressing over 8192 slots for at most 4094 strings, each
    // slot one word holding the string's key (prefix × 256 + pixel, 20 bits) above its
    // code (12 bits), so a probe is one load. Keys stay below 0xFFFFF (prefixes are codes
    // below 4095), so the all-ones word marks an empty slot.
    constexpr uint32_t kSlots = 8192;
    constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    std::vector<uint32_t> table(kSlots, kEmpty);
    auto slotOf = [](uint32_t key) { return (key * 2654435761u) >> 19; };

    auto output = [&](int code) {
        codes.put(code, bits);
        if (nextFree >= (1 << bits) && bits < 12) ++bits;
    };
    // Room for the codes at once: at most one code of at most 12 bits per pixel, plus the
    // sub-block counts, so the buffer never moves while it grows.
    {
        const uint64_t pixelsTotal = uint64_t(std::max(width, 0)) * uint64_t(std::max(height, 0));
        const uint64_t most = pixelsTotal * 3 / 2 + pixelsTotal * 3 / 2 / 255 + 64;
        auto& buffer = out.buffer();
        const size_t needed = buffer.size() + static_cast<size_t>(most);
        // Geometric growth, so that many small frames do not move the buffer each time.
        if (needed > buffer.capacity()) buffer.reserve(std::max(needed, 2 * buffer.capacity()));
    }
    // Every index is checked before anything is encoded.
    forEachRow(pixels, width, height, interlaced, [&](const uint8_t* row) {
        uint8_t most = 0;
        for (int x = 0; x < width; ++x)
            most = std::max(most, row[x]);
        if (width > 0 && most >= colorCount) throw GIFException("Color not in color table");
    });
    codes.put(clear, bits);
    int prefix = -1;
    uint32_t* cells = table.data();
    forEachRow(pixels, width, height, interlaced, [&](const uint8_t* row) {
        int x = 0;
        if (prefix < 0 && width > 0) prefix = row[x++];
        for (; x < width; ++x) {
            const uint32_t p = row[x];
            const uint32_t key = (static_cast<uint32_t>(prefix) << 8) | p;
            uint32_t slot = slotOf(key);
            uint32_t entry;
            while ((entry = cells[slot]) != kEmpty && (entry >> 12) != key)
                slot = (slot + 1) & (kSlots - 1);
            if (entry != kEmpty) {
                prefix = static_cast<int>(entry & 0xFFF);
                continue;
            }
            output(prefix);
            prefix = static_cast<int>(p);
            if (nextFree > 4094) {
                output(clear);
                std::fill(table.begin(), table.end(), kEmpty);
                nextFree = eoi + 1;
                bits = minCodeSize + 1;
            } else {
                cells[slot] = (key << 12) | static_cast<uint32_t>(nextFree++);
            }
        }
    });
    if (prefix >= 0) output(prefix);
    output(eoi);
    codes.finish();
}

void TRLEEncoder::encode(GifWriter& out, const uint8_t* pixels, int width, int height,
                         bool interlaced, int minCodeSize, int colorCount) {
    out.byte(static_cast<uint8_t>(minCodeSize));
    CodeWriter codes(out);
    const int clear = 1 << minCodeSize;
    const int bits = minCodeSize + 1;
    // The decoder defines one entry per code after the first; Clear before its next free
    // code reaches 2^bits keeps the code width fixed.
    const int budget = (1 << bits) - (clear + 2) - 1;
    int sinceClear = budget;
    forEachRow(pixels, width, height, interlaced, [&](const uint8_t* row) {
        for (int x = 0; x < width; ++x) {
            int p = row[x];
            if (p >= colorCount) throw GIFException("Color not in color table");
            if (sinceClear >= budget) {
                codes.put(clear, bits);
                sinceClear = -1;
            }
            codes.put(p, bits);
            ++sinceClear;
        }
    });
    codes.put(clear + 1, bits);
    codes.finish();
}

// ----- the image -----

TGIFImage::TGIFImage() = default;

TGIFImage::TGIFImage(const TGIFImage& other)
    : Graphic(other), Header(other.Header), PaintOptions(other.PaintOptions),
      ReductionMethod(other.ReductionMethod), QuantizeBits(other.QuantizeBits),
      DitherKind(other.DitherKind), EncoderKind(other.EncoderKind),
      PaintPriority(other.PaintPriority), PlaySpeed(other.PlaySpeed), ShownFrame(other.ShownFrame),
      BackdropColor(other.BackdropColor), CustomPalette(other.CustomPalette),
      OnGifWarning(other.OnGifWarning), OnProgress(other.OnProgress),
      OnStartPaint(other.OnStartPaint), OnPaint(other.OnPaint), OnAfterPaint(other.OnAfterPaint),
      OnLoop(other.OnLoop), OnEndPaint(other.OnEndPaint) {
    for (const auto& f : other.Images)
        Images.push_back(std::make_unique<TGIFSubImage>(*f, this));
}

TGIFImage::~TGIFImage() {
    stopPainters();
}

void TGIFImage::warning(TGIFSeverity severity, const std::string& message) {
    if (OnGifWarning) OnGifWarning(*this, severity, message);
}

void TGIFImage::progress(TProgressStage stage, int percent, const std::string& message) {
    if (OnProgress) OnProgress(*this, stage, percent, false, QRect(), message);
}

void TGIFImage::changed() {
    bitmap_.reset();
    palette_.reset();
    // The next drawing starts a fresh animation of the changed frames. A painter still
    // inside one of its steps (an event handler changed the image) has been told to stop
    // and is left to end by itself.
    if (painter_ && !painter_->running()) painter_.reset();
}

void TGIFImage::clear() {
    stopPainters();
    Images.clear();
    Header = TGIFHeader{};
    changed();
}

void TGIFImage::setWidth(int width) {
    if (width < 0 || width > 65535) throw ERangeError("GIF の幅が範囲外です");
    stopPainters();
    Header.Width = static_cast<uint16_t>(width);
    changed();
}

void TGIFImage::setHeight(int height) {
    if (height < 0 || height > 65535) throw ERangeError("GIF の高さが範囲外です");
    stopPainters();
    Header.Height = static_cast<uint16_t>(height);
    changed();
}

bool TGIFImage::transparent() const {
    for (const auto& f : Images)
        if (f->Transparent) return true;
    return false;
}

void TGIFImage::growScreen(bool warn) {
    int64_t w = Header.Width, h = Header.Height;
    bool hadSize = w > 0 && h > 0;
    bool grewW = false, grewH = false;
    for (const auto& f : Images) {
        if (f->Width == 0 && f->Height == 0) continue;
        int64_t right = int64_t(f->Left) + f->Width, bottom = int64_t(f->Top) + f->Height;
        if (right > w) {
            w = right;
            grewW = true;
        }
        if (bottom > h) {
            h = bottom;
            grewH = true;
        }
    }
    // The screen is what gets allocated when the image is rendered (at 24 bits when its
    // frames' palettes differ): hold it to the limits beside the frames already decoded.
    uint64_t frameBytes = 0;
    for (const auto& f : Images)
        frameBytes += f->Data.size();
    limits::checkPictureToOpen(w, h, 24, true, frameBytes);
    if (warn && hadSize) {
        if (grewW) warning(gsWarning, "Image width too small for contained frames");
        if (grewH) warning(gsWarning, "Image height too small for contained frames");
        if (grewW || grewH) warning(gsWarning, "Image exceeds Logical Screen size");
    }
    Header.Width = static_cast<uint16_t>(w);
    Header.Height = static_cast<uint16_t>(h);
}

void TGIFImage::loadFromBytes(std::span<const uint8_t> bytes) {
    stopPainters();
    // Read into a fresh image so that a refused file leaves this one as it was.
    TGIFImage fresh;
    fresh.OnGifWarning = OnGifWarning;
    fresh.OnProgress = OnProgress;
    GifReader in(bytes, &fresh);
    fresh.progress(psStarting, 0, "Loading...");
    try {
        char sig[6];
        auto isGif = [&] {
            return std::toupper(static_cast<unsigned char>(sig[0])) == 'G' &&
                   std::toupper(static_cast<unsigned char>(sig[1])) == 'I' &&
                   std::toupper(static_cast<unsigned char>(sig[2])) == 'F';
        };
        bool ok = in.remaining() >= 6;
        if (ok) {
            in.read(sig, 6);
            ok = isGif();
        }
        if (!ok) {
            ok = in.size() >= 10;
            if (ok) {
                in.seek(4);
                in.read(sig, 6);
                ok = isGif();
            }
        }
        if (!ok) throw GIFException("Invalid GIF signature");
        std::memcpy(fresh.Header.Version, sig + 3, 3);
        fresh.Header.Width = in.word();
        fresh.Header.Height = in.word();
        fresh.Header.Flags = in.byte();
        fresh.Header.Background = in.byte();
        fresh.Header.AspectRatio = in.byte();
        if (fresh.Header.Flags & 0x80)
            readColorTable(in, fresh.Header.ColorMap, fresh.Header.Flags);
        fresh.Header.ColorMap.Sorted = fresh.Header.Flags & 0x08;

        auto skipZeros = [&] {
            while (in.peek() == 0)
                in.byte();
        };
        skipZeros();
        while (!in.atEnd() && in.peek() != ';') {
            int b = in.peek();
            if (b != '!' && b != ',') {
                fresh.warning(gsWarning, "Unknown GIF block type");
                break;
            }
            auto frame = std::make_unique<TGIFSubImage>(&fresh);
            frame->read(in);
            fresh.Images.push_back(std::move(frame));
            if (in.size() > 0)
                fresh.progress(psRunning, static_cast<int>(in.pos() * 100 / in.size()),
                               "Loading...");
            skipZeros();
        }
        fresh.growScreen(true);
        if (in.peek() != ';') fresh.warning(gsWarning, "Invalid Image trailer");
    } catch (...) {
        fresh.progress(psEnding, 0, "Loading...");
        throw;
    }
    fresh.progress(psEnding, 100, "Loading...");
    Header = fresh.Header;
    Images.clear();
    for (auto& f : fresh.Images) {
        f->Image = this;
        Images.push_back(std::move(f));
    }
    changed();
}

std::string TGIFImage::version() const {
    if (Images.empty()) throw GIFException("Unsupported GIF version");
    for (const auto& f : Images)
        if (f->ColorMap.Sorted || !f->Extensions.empty()) return "89a";
    return "87a";
}

bool TGIFImage::hasPixels() const {
    for (const auto& f : Images)
        if (!f->empty()) return true;
    return false;
}

std::vector<uint8_t> TGIFImage::saveToBytes() const {
    // Without a frame there is no version to write; name the real problem (typically a
    // 0 × 0 picture saved as GIF) rather than the version.
    if (Images.empty()) throw GIFException(kEmptyImageMessage);
    std::string ver = version();
    std::vector<uint8_t> bytes;
    GifWriter out(bytes);
    auto* self = const_cast<TGIFImage*>(this);
    self->progress(psStarting, 0, "Saving...");
    try {
        const auto& global = Header.ColorMap;
        int globalBpp = global.bitsPerPixel();
        int largest = globalBpp;
        for (const auto& f : Images)
            largest = std::max(largest, f->ColorMap.bitsPerPixel());
        uint8_t flags = 0;
        if (global.count() > 0) flags |= 0x80;
        if (global.Sorted) flags |= 0x08;
        flags |= static_cast<uint8_t>((std::max(largest - 1, 0) & 7) << 4);
        // Bits 0-2 give the size of the global table that follows: they must match the
        // table written, or readers would take frame bytes for colours.
        int sizeBits = global.count() > 0 ? globalBpp : largest;
        flags |= static_cast<uint8_t>(std::max(sizeBits - 1, 0) & 7);
        out.bytes("GIF", 3);
        out.bytes(ver.data(), 3);
        out.word(Header.Width);
        out.word(Header.Height);
        out.byte(flags);
        out.byte(Header.Background);
        out.byte(Header.AspectRatio);
        if (global.count() > 0) writeColorTable(out, global, globalBpp);
        size_t n = 0;
        for (const auto& f : Images) {
            f->write(out);
            ++n;
            self->progress(psRunning, static_cast<int>(n * 100 / Images.size()), "Saving...");
        }
        out.byte(';');
    } catch (...) {
        self->progress(psEnding, 0, "Saving...");
        throw;
    }
    self->progress(psEnding, 100, "Saving...");
    return bytes;
}

void TGIFImage::loadFromClipboardFormat(const std::string& format, std::span<const uint8_t> data) {
    if (format == kGifClipboardFormat || format == "image/gif") {
        loadFromBytes(data);
    } else if (format == "image/bmp") {
        Bitmap bmp;
        bmp.loadFromBytes(data);
        assign(bmp);
    } else {
        throw EInvalidGraphic("未対応のクリップボード データです");
    }
}

std::unique_ptr<Graphic> TGIFImage::clone() const {
    return std::make_unique<TGIFImage>(*this);
}

void TGIFImage::assign(const Graphic& source) {
    if (&source == this) return;
    if (auto* gif = dynamic_cast<const TGIFImage*>(&source)) {
        TGIFImage copy(*gif);
        clear();
        progress(psStarting, 0, "Copying...");
        Header = copy.Header;
        PaintOptions = copy.PaintOptions;
        ReductionMethod = copy.ReductionMethod;
        QuantizeBits = copy.QuantizeBits;
        DitherKind = copy.DitherKind;
        EncoderKind = copy.EncoderKind;
        PaintPriority = copy.PaintPriority;
        PlaySpeed = copy.PlaySpeed;
        ShownFrame = copy.ShownFrame;
        BackdropColor = copy.BackdropColor;
        CustomPalette = copy.CustomPalette;
        OnGifWarning = copy.OnGifWarning;
        OnStartPaint = copy.OnStartPaint;
        OnPaint = copy.OnPaint;
        OnAfterPaint = copy.OnAfterPaint;
        OnLoop = copy.OnLoop;
        OnEndPaint = copy.OnEndPaint;
        for (auto& f : copy.Images) {
            f->Image = this;
            Images.push_back(std::move(f));
        }
        progress(psEnding, 100, "Copying...");
        return;
    }
    clear();
    if (!source.empty()) add(source);
}

TGIFSubImage* TGIFImage::add(const Graphic& source) {
    stopPainters();
    auto frame = std::make_unique<TGIFSubImage>(this);
    frame->assign(source);
    // An empty source, or a reduction that gives nothing, adds no frame.
    if (frame->empty()) return nullptr;
    Images.push_back(std::move(frame));
    growScreen(true);
    changed();
    return Images.back().get();
}
