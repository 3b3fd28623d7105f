#include "formats/Png.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <spng.h>
#include <zlib.h>

#include "platform/Exceptions.h"
#include "platform/Limits.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// Ancillary chunks (text, ICC profiles, EXIF) are read but never used: bound what one chunk
// and all of them together may cost, so a hostile file cannot make the reader hold more.
// (libspng also stops after 1000 ancillary chunks of its own accord.)
constexpr size_t kMaxChunkBytes = 16u << 20;
constexpr size_t kMaxChunkCache = 64u << 20;

struct CtxDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Ctx = std::unique_ptr<spng_ctx, CtxDeleter>;

[[noreturn]] void refuse(int err) {
    if (err == SPNG_EOF || err == SPNG_IO_EOF || err == SPNG_EIDAT_TOO_SHORT)
        throw EInvalidGraphic("PNG ファイルが途中で終わっています");
    if (err == SPNG_EMEM) throw EInvalidGraphic("PNG の読み込みにメモリが足りません");
    if (err == SPNG_ECHUNK_LIMITS) throw EInvalidGraphic("PNG ファイルの付属データが大きすぎます");
    throw EInvalidGraphic(std::string("PNG ファイルが壊れています (") + spng_strerror(err) + ")");
}

void check(int err) {
    if (err) refuse(err);
}

// x / 255 rounded to nearest, for 0 <= x <= 255 * 255.
inline uint8_t div255(uint32_t x) {
    x += 128;
    return static_cast<uint8_t>((x + (x >> 8)) >> 8);
}

// A 16-bit sample rounded to 8 bits: round(v * 255 / 65535).
inline uint8_t round16(uint32_t v) {
    return static_cast<uint8_t>((v * 255u + 32767u) / 65535u);
}

// A colour sample composited with its alpha over white.
inline uint8_t over8(uint32_t c, uint32_t a) {
    return div255(c * a + 255u * (255u - a));
}
inline uint8_t over16(uint32_t c, uint32_t a) {
    uint64_t v = (uint64_t(c) * a + uint64_t(65535) * (65535u - a) + 32767u) / 65535u;
    return round16(static_cast<uint32_t>(v));
}

inline uint32_t be16(const uint8_t* p) {
    return (uint32_t(p[0]) << 8) | p[1];
}

// Turns one decoded row, in the file's own sample layout (16-bit samples big-endian, sub-byte
// samples packed from the high bits), into one row of the bitmap.
class RowConverter {
public:
    RowConverter(const spng_ihdr& ihdr, std::optional<spng_trns> trns, int width)
        : type_(ihdr.color_type), depth_(ihdr.bit_depth), width_(width), trns_(trns) {}

    void operator()(const uint8_t* in, uint8_t* out) const {
        switch (type_) {
        case SPNG_COLOR_TYPE_INDEXED:
            indices(in, out);
            break;
        case SPNG_COLOR_TYPE_GRAYSCALE:
            grey(in, out);
            break;
        case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
            greyAlpha(in, out);
            break;
        case SPNG_COLOR_TYPE_TRUECOLOR:
            rgb(in, out);
            break;
        default:
            rgba(in, out);
            break;
        }
    }

private:
    void indices(const uint8_t* in, uint8_t* out) const {
        if (depth_ != 2) {
            // 1, 4 and 8 bits are laid out as the bitmap's rows are.
            std::memcpy(out, in, (size_t(width_) * depth_ + 7) / 8);
            return;
        }
        // 2-bit indices widen to 4-bit ones (four pixels a byte become two bytes).
        for (int x = 0; x < width_; x += 2) {
            uint8_t b = in[x / 4];
            int shift = 6 - 2 * (x % 4);
            uint8_t hi = (b >> shift) & 3;
            uint8_t lo = x + 1 < width_ ? (b >> (shift - 2)) & 3 : 0;
            out[x / 2] = static_cast<uint8_t>((hi << 4) | lo);
        }
    }

    void grey(const uint8_t* in, uint8_t* out) const {
        const bool keyed = trns_.has_value();
        const uint32_t key = keyed ? trns_->gray : 0;
        if (depth_ == 16) {
            for (int x = 0; x < width_; ++x, in += 2) {
                uint32_t v = be16(in);
                out[x] = keyed && v == key ? 255 : round16(v);
            }
            return;
        }
        if (depth_ == 8) {
            if (!keyed) {
                std::memcpy(out, in, size_t(width_));
                return;
            }
            for (int x = 0; x < width_; ++x)
                out[x] = in[x] == key ? 255 : in[x];
            return;
        }
        const int perByte = 8 / depth_;
        const uint32_t mask = (1u << depth_) - 1;
        const uint32_t scale = 255 / mask;
        for (int x = 0; x < width_; ++x) {
            int shift = 8 - depth_ * (x % perByte + 1);
            uint32_t v = (in[x / perByte] >> shift) & mask;
            out[x] = keyed && v == key ? 255 : static_cast<uint8_t>(v * scale);
        }
    }

    void greyAlpha(const uint8_t* in, uint8_t* out) const {
        if (depth_ == 16) {
            for (int x = 0; x < width_; ++x, in += 4)
                out[x] = over16(be16(in), be16(in + 2));
        } else {
            for (int x = 0; x < width_; ++x, in += 2)
                out[x] = over8(in[0], in[1]);
        }
    }

    void rgb(const uint8_t* in, uint8_t* out) const {
        const bool keyed = trns_.has_value();
        if (depth_ == 16) {
            for (int x = 0; x < width_; ++x, in += 6, out += 3) {
                uint32_t r = be16(in), g = be16(in + 2), b = be16(in + 4);
                if (keyed && r == trns_->red && g == trns_->green && b == trns_->blue) {
                    out[0] = out[1] = out[2] = 255;
                } else {
                    out[0] = round16(b);
                    out[1] = round16(g);
                    out[2] = round16(r);
                }
            }
            return;
        }
        if (!keyed) {
            for (int x = 0; x < width_; ++x, in += 3, out += 3) {
                uint8_t r = in[0], g = in[1], b = in[2];
                out[0] = b;
                out[1] = g;
                out[2] = r;
            }
            return;
        }
        for (int x = 0; x < width_; ++x, in += 3, out += 3) {
            uint8_t r = in[0], g = in[1], b = in[2];
            if (r == trns_->red && g == trns_->green && b == trns_->blue) r = g = b = 255;
            out[0] = b;
            out[1] = g;
            out[2] = r;
        }
    }

    void rgba(const uint8_t* in, uint8_t* out) const {
        if (depth_ == 16) {
            for (int x = 0; x < width_; ++x, in += 8, out += 3) {
                uint32_t a = be16(in + 6);
                out[0] = over16(be16(in + 4), a);
                out[1] = over16(be16(in + 2), a);
                out[2] = over16(be16(in), a);
            }
            return;
        }
        for (int x = 0; x < width_; ++x, in += 4, out += 3) {
            uint32_t a = in[3];
            out[0] = over8(in[2], a);
            out[1] = over8(in[1], a);
            out[2] = over8(in[0], a);
        }
    }

    int type_;
    int depth_;
    int width_;
    std::optional<spng_trns> trns_;
};

Palette greyRamp() {
    std::vector<Rgb> entries(256);
    for (int i = 0; i < 256; ++i)
        entries[size_t(i)] = {uint8_t(i), uint8_t(i), uint8_t(i)};
    return Palette(std::move(entries));
}

int channelsOf(int colorType) {
    switch (colorType) {
    case SPNG_COLOR_TYPE_TRUECOLOR:
        return 3;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
        return 2;
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA:
        return 4;
    default:
        return 1;
    }
}

// Highest palette index a row of a palette bitmap uses.
int maxIndexInRow(const uint8_t* row, int width, int bpp) {
    int m = 0;
    if (bpp == 8) {
        for (int x = 0; x < width; ++x)
            m = std::max<int>(m, row[x]);
    } else if (bpp == 4) {
        for (int x = 0; x < width; ++x)
            m = std::max<int>(m, x % 2 ? row[x / 2] & 15 : row[x / 2] >> 4);
    } else {
        for (int x = 0; x < width && m == 0; ++x)
            m = (row[x / 8] >> (7 - x % 8)) & 1;
    }
    return m;
}

} // namespace

bool isPngData(std::span<const uint8_t> bytes) {
    return bytes.size() >= sizeof kSignature &&
           std::memcmp(bytes.data(), kSignature, sizeof kSignature) == 0;
}

Bitmap decodePng(std::span<const uint8_t> bytes, PngFacts* facts) {
    if (!isPngData(bytes)) throw EInvalidGraphic("PNG ファイルではありません");
    Ctx ctx(spng_ctx_new(0));
    if (!ctx) throw EInvalidGraphic("PNG の読み込みにメモリが足りません");
    spng_ctx* c = ctx.get();
    check(spng_set_chunk_limits(c, kMaxChunkBytes, kMaxChunkCache));
    check(spng_set_png_buffer(c, bytes.data(), bytes.size()));

    spng_ihdr ihdr{};
    check(spng_get_ihdr(c, &ihdr));
    // Before anything of the picture's size is allocated.
    limits::checkPictureToOpen(int64_t(ihdr.width), int64_t(ihdr.height), 24);
    const int width = int(ihdr.width), height = int(ihdr.height);

    std::optional<spng_trns> trns;
    {
        spng_trns t{};
        int err = spng_get_trns(c, &t);
        if (err == 0)
            trns = t;
        else if (err != SPNG_ECHUNKAVAIL)
            refuse(err);
    }
    const bool indexed = ihdr.color_type == SPNG_COLOR_TYPE_INDEXED;
    spng_plte plte{};
    if (indexed) check(spng_get_plte(c, &plte));

    PixelFormat format = pf24bit;
    if (indexed)
        format = ihdr.bit_depth == 1 ? pf1bit : ihdr.bit_depth == 8 ? pf8bit : pf4bit;
    else if (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE ||
             ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA)
        format = pf8bit;

    // The palette's own transparency applies to its entries, so a palette PNG keeps its
    // palette; a tRNS key colour of the other kinds is handled per pixel.
    RowConverter convert(ihdr, indexed ? std::nullopt : trns, width);

    // The bitmap is allocated once the first row has decoded, so that a few bytes of header
    // announcing a large picture cost nothing of its size.
    std::optional<Bitmap> pixels;
    size_t rawRowBytes = (size_t(width) * channelsOf(ihdr.color_type) * ihdr.bit_depth + 7) / 8;
    if (ihdr.interlace_method == SPNG_INTERLACE_NONE) {
        std::vector<uint8_t> raw(rawRowBytes);
        check(spng_decode_image(c, nullptr, 0, SPNG_FMT_RAW, SPNG_DECODE_PROGRESSIVE));
        int err = 0;
        do {
            spng_row_info info{};
            check(spng_get_row_info(c, &info));
            err = spng_decode_row(c, raw.data(), raw.size());
            if (err && err != SPNG_EOI) refuse(err);
            if (info.row_num >= uint32_t(height)) refuse(SPNG_EINTERNAL);
            if (!pixels) pixels.emplace(width, height, format);
            convert(raw.data(), pixels->scanLine(int(info.row_num)));
        } while (err != SPNG_EOI);
    } else {
        // Interlaced pictures arrive pass by pass: decode the whole picture, then convert.
        size_t size = 0;
        check(spng_decoded_image_size(c, SPNG_FMT_RAW, &size));
        if (size != limits::checkedMul(rawRowBytes, uint64_t(height))) refuse(SPNG_EINTERNAL);
        std::vector<uint8_t> raw(size);
        check(spng_decode_image(c, raw.data(), raw.size(), SPNG_FMT_RAW, 0));
        pixels.emplace(width, height, format);
        for (int y = 0; y < height; ++y)
            convert(raw.data() + size_t(y) * rawRowBytes, pixels->scanLine(y));
    }
    if (!pixels) refuse(SPNG_EINTERNAL);
    Bitmap& bitmap = *pixels;

    bool composited = trns.has_value() || ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                      ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    if (indexed) {
        std::vector<Rgb> entries(plte.n_entries);
        for (uint32_t i = 0; i < plte.n_entries; ++i) {
            const spng_plte_entry& e = plte.entries[i];
            uint32_t a = trns && i < trns->n_type3_entries ? trns->type3_alpha[i] : 255;
            entries[i] = {over8(e.red, a), over8(e.green, a), over8(e.blue, a)};
        }
        // Indices beyond the palette are an error the format leaves to readers: show them
        // black rather than let a pixel name an entry that does not exist.
        int maxIndex = 0;
        const int bpp = bitsPerPixelOf(format);
        for (int y = 0; y < height && maxIndex + 1 < (1 << bpp); ++y)
            maxIndex = std::max(maxIndex, maxIndexInRow(bitmap.scanLine(y), width, bpp));
        if (size_t(maxIndex) >= entries.size()) entries.resize(size_t(maxIndex) + 1, Rgb{});
        bitmap.setPalette(Palette(std::move(entries)));
    } else if (format == pf8bit) {
        bitmap.setPalette(greyRamp());
    }

    if (facts) {
        facts->bitDepth = ihdr.bit_depth;
        facts->colorType = ihdr.color_type;
        facts->interlaced = ihdr.interlace_method != SPNG_INTERLACE_NONE;
        facts->alphaComposited = composited;
    }
    return std::move(bitmap);
}

void PngBitmap::loadFromBytes(std::span<const uint8_t> bytes) {
    PngFacts facts;
    Bitmap decoded = decodePng(bytes, &facts);
    static_cast<Bitmap&>(*this) = std::move(decoded);
    facts_ = facts;
    note_.clear();
    if (facts.alphaComposited) note_ += "透明部分は白と合成";
    if (facts.bitDepth == 16)
        note_ += std::string(note_.empty() ? "" : "、") + "16 ビットを 8 ビットに丸め";
}

// ----- writing -----

namespace {

int indexAt(const uint8_t* row, int x, int bpp) {
    if (bpp == 8) return row[x];
    if (bpp == 4) return x % 2 ? row[x / 2] & 15 : row[x / 2] >> 4;
    return (row[x / 8] >> (7 - x % 8)) & 1;
}

void setIndex(uint8_t* row, int x, int bpp, int v) {
    if (bpp == 8)
        row[x] = uint8_t(v);
    else if (bpp == 4)
        row[x / 2] = uint8_t(x % 2 ? (row[x / 2] & 0xF0) | v : (row[x / 2] & 0x0F) | (v << 4));
    else
        row[x / 8] = uint8_t((row[x / 8] & ~(0x80 >> (x % 8))) | (v << (7 - x % 8)));
}

} // namespace

Bitmap stretchIndexed(const Bitmap& source, int width, int height) {
    const int bpp = source.bitsPerPixel();
    if (bpp > 8 || source.empty()) throw EInvalidGraphicOperation("パレット画像ではありません");
    Bitmap out(width, height, source.pixelFormat());
    out.setPalette(source.palette());
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = source.scanLine(int(int64_t(y) * source.height() / height));
        uint8_t* row = out.scanLine(y);
        for (int x = 0; x < width; ++x)
            setIndex(row, x, bpp, indexAt(in, int(int64_t(x) * source.width() / width), bpp));
    }
    return out;
}

namespace {

// Collects the encoder's output. No exception may cross libspng's C frames: a failed
// allocation becomes an I/O error that the encoder reports.
int appendOutput(spng_ctx*, void* user, void* data, size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(user);
    try {
        const auto* p = static_cast<const uint8_t*>(data);
        out->insert(out->end(), p, p + length);
    } catch (...) {
        return SPNG_IO_ERROR;
    }
    return 0;
}

bool isGreyRamp(const Palette& palette) {
    if (palette.size() != 256) return false;
    for (int i = 0; i < 256; ++i)
        if (!(palette[i] == Rgb{uint8_t(i), uint8_t(i), uint8_t(i)})) return false;
    return true;
}

} // namespace

std::vector<uint8_t> encodePng(const Bitmap& source) {
    if (source.empty()) throw EInvalidGraphic("空の画像は PNG で保存できません");
    // 15- and 16-bit pictures go through a 24-bit copy; every other format is read directly.
    std::optional<Bitmap> converted;
    const int bpp = source.bitsPerPixel();
    if (bpp == 16) {
        converted.emplace(source);
        converted->setPixelFormat(pf24bit);
    }
    const Bitmap& bmp = converted ? *converted : source;
    const int width = bmp.width(), height = bmp.height();
    const int depth = bmp.bitsPerPixel();
    const bool paletted = depth <= 8;
    const bool grey = depth == 8 && isGreyRamp(bmp.palette());

    Ctx ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) throw EInvalidGraphic("PNG の書き込みにメモリが足りません");
    spng_ctx* c = ctx.get();
    auto fail = [](int err) {
        if (err)
            throw EInvalidGraphic(std::string("PNG を書き込めません (") + spng_strerror(err) + ")");
    };
    std::vector<uint8_t> out;
    // A fast-compressed photograph takes about a third of its raw size; reserving that much
    // spares most of the copying as the output grows.
    out.reserve(size_t(std::min<uint64_t>(
        limits::checkedMul(uint64_t(width) * 3 + 1, uint64_t(height)) / 3, uint64_t(1) << 30)));
    fail(spng_set_png_stream(c, appendOutput, &out));
    // zlib's fastest level. Palette rows compress best unfiltered, with matches of any kind;
    // photographs filtered by the left neighbour (the cheapest filter) leave small residues
    // whose runs are what matches there, and looking only for runs is much the faster.
    const bool photographic = !paletted || grey;
    fail(spng_set_option(c, SPNG_IMG_COMPRESSION_LEVEL, 1));
    fail(spng_set_option(c, SPNG_IMG_COMPRESSION_STRATEGY,
                         photographic ? Z_RLE : Z_DEFAULT_STRATEGY));
    fail(spng_set_option(c, SPNG_FILTER_CHOICE,
                         photographic ? SPNG_FILTER_CHOICE_SUB : SPNG_FILTER_CHOICE_NONE));

    spng_ihdr ihdr{};
    ihdr.width = uint32_t(width);
    ihdr.height = uint32_t(height);
    ihdr.bit_depth = uint8_t(paletted ? depth : 8);
    ihdr.color_type = uint8_t(grey       ? SPNG_COLOR_TYPE_GRAYSCALE
                              : paletted ? SPNG_COLOR_TYPE_INDEXED
                                         : SPNG_COLOR_TYPE_TRUECOLOR);
    fail(spng_set_ihdr(c, &ihdr));

    if (paletted && !grey) {
        // Every index a pixel uses needs an entry; missing ones are written black.
        int used = 0;
        for (int y = 0; y < height && used + 1 < (1 << depth); ++y)
            used = std::max(used, maxIndexInRow(bmp.scanLine(y), width, depth));
        const Palette& pal = bmp.palette();
        uint32_t count = uint32_t(std::min(std::max(pal.size(), used + 1), 1 << depth));
        spng_plte plte{};
        plte.n_entries = count;
        for (uint32_t i = 0; i < count; ++i) {
            Rgb e = int(i) < pal.size() ? pal[int(i)] : Rgb{};
            plte.entries[i] = {e.r, e.g, e.b, 255};
        }
        fail(spng_set_plte(c, &plte));
    }

    fail(spng_encode_image(c, nullptr, 0, SPNG_FMT_PNG,
                           SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE));
    const size_t rowBytes = paletted ? (size_t(width) * depth + 7) / 8 : size_t(width) * 3;
    std::vector<uint8_t> row(rowBytes);
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = bmp.scanLine(y);
        if (paletted) {
            std::memcpy(row.data(), in, rowBytes);
        } else {
            const int step = depth / 8;
            uint8_t* rgb = row.data();
            for (int x = 0; x < width; ++x, in += step, rgb += 3) {
                rgb[0] = in[2];
                rgb[1] = in[1];
                rgb[2] = in[0];
            }
        }
        int err = spng_encode_row(c, row.data(), row.size());
        if (err && !(err == SPNG_EOI && y == height - 1)) fail(err);
    }

    return out;
}
