#include "formats/Jpeg.h"

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>

#include <QPainter>

#include <jerror.h>
#include <jpeglib.h>

#include "platform/Limits.h"
#include "platform/Screen.h"

TJPEGDefaults DefaultJpegSettings;

void InitJpegDefaultsFromScreen() {
    DefaultJpegSettings.OutputDepth = screenInfo().bitsPerPixel <= 8 ? 1 : 0;
}

EJPEG::EJPEG(int code) : EInvalidGraphic("JPEG エラー #" + std::to_string(code)), code_(code) {}

// ----- the codec session -----
//
// libjpeg reports fatal errors through error_exit, which must not return. It long-jumps
// back to the setjmp of the phase function that called into the codec. The phase
// functions below hold no C++ objects with destructors, so the jump skips nothing; every
// buffer they touch is owned by the caller and released by RAII after the phase returns.

namespace {

int64_t tickCount() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct ErrorMgr {
    jpeg_error_mgr pub;
    jmp_buf jump;
    // An exception raised by our own callbacks (progress handler, limits) while the codec
    // was running; rethrown once the codec has returned control.
    std::exception_ptr pending;
};

[[noreturn]] void errorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorMgr*>(cinfo->err);
    std::longjmp(err->jump, 1);
}
void emitMessage(j_common_ptr, int) {}
void outputMessage(j_common_ptr) {}
void formatMessage(j_common_ptr, char* buffer) {
    buffer[0] = 0;
}
void resetErrorMgr(j_common_ptr cinfo) {
    cinfo->err->msg_code = 0;
    cinfo->err->num_warnings = 0;
}

void initErrorMgr(ErrorMgr& err) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.emit_message = emitMessage;
    err.pub.output_message = outputMessage;
    err.pub.format_message = formatMessage;
    err.pub.reset_error_mgr = resetErrorMgr;
}

struct ProgressMgr {
    jpeg_progress_mgr pub;
    ErrorMgr* err = nullptr;
    TJPEGImage* owner = nullptr; // null: no reports, only the scan limit
    bool decoding = false;
    bool started = false;
    int64_t lastTick = 0;
    int lastPercent = -1;
    int lastRow = 0;
    int lastPass = 0;
};

void progressMonitor(j_common_ptr cinfo) {
    auto* p = reinterpret_cast<ProgressMgr*>(cinfo->progress);
    if (cinfo->is_decompressor) {
        // A progressive file may hold any number of scans, each a pass over the whole
        // coefficient store; libjpeg only warns about absurd counts, so bound them here.
        auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (d->input_scan_number > TJPEGImage::kMaxScans) {
            p->err->pending =
                std::make_exception_ptr(EJPEG("JPEG ファイルのスキャンが多すぎます (上限 " +
                                              std::to_string(TJPEGImage::kMaxScans) + ")"));
            std::longjmp(p->err->jump, 1);
        }
    }
    if (!p->owner || !p->owner->OnProgress) return;
    int64_t now = tickCount();
    if (!p->started) {
        p->started = true;
        p->lastTick = now;
        return;
    }
    if (now - p->lastTick < 500) return;
    p->lastTick = now;
    auto& pub = p->pub;
    int percent = 0;
    if (pub.pass_limit > 0 && pub.total_passes > 0)
        percent = static_cast<int>(
            (static_cast<double>(pub.pass_counter) / pub.pass_limit + pub.completed_passes) *
            100.0 / pub.total_passes);
    if (percent == p->lastPercent) return;
    p->lastPercent = percent;
    QRect rect;
    bool redraw = false;
    if (p->decoding) {
        auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
        int row = static_cast<int>(d->output_scanline);
        int bottom = row;
        if (pub.completed_passes != p->lastPass) {
            bottom = static_cast<int>(d->output_height);
            p->lastPass = pub.completed_passes;
        }
        if (bottom < p->lastRow) p->lastRow = 0;
        rect = QRect(0, p->lastRow, static_cast<int>(d->output_width), bottom - p->lastRow);
        redraw = rect.height() >= 4;
        p->lastRow = row;
    }
    bool failed = false;
    try {
        p->owner->OnProgress(*p->owner, psRunning, percent, redraw, rect, std::string());
    } catch (...) {
        p->err->pending = std::current_exception();
        failed = true;
    }
    if (failed) std::longjmp(p->err->jump, 1);
}

// Heap-owned so that the jmp_buf and the codec structures never move.
struct Decompressor {
    jpeg_decompress_struct cinfo{};
    ErrorMgr err{};
    ProgressMgr progress{};
    bool created = false;
    // The caller's palette to quantize to (component 0 blue, 1 green, 2 red).
    uint8_t userMap[3][256]{};
    int userMapCount = 0;
    // Final-pass settings remembered for buffered-image mode.
    J_DCT_METHOD finalDct = JDCT_ISLOW;
    boolean finalTwoPass = FALSE;
    J_DITHER_MODE finalDither = JDITHER_FS;
    bool buffered = false;
    // The colour map of the last output pass, copied before the codec frees it.
    uint8_t finalMap[3][256]{};
    int finalMapCount = 0;
    int finalMapComponents = 0;

    ~Decompressor() {
        if (created) jpeg_destroy_decompress(&cinfo);
    }
};

struct DecodeSettings {
    uint8_t scaleShift;
    bool blockSmoothing;
    bool grayOutput;
    uint8_t outputDepth;
    uint8_t fastDecode;
    bool incremental;
};

// Creates the decompressor and reads the header. False after a codec error.
bool openHeader(Decompressor& d, const uint8_t* data, size_t size, bool withProgress) {
    initErrorMgr(d.err);
    d.cinfo.err = &d.err.pub;
    if (setjmp(d.err.jump)) return false;
    jpeg_create_decompress(&d.cinfo);
    d.created = true;
    d.cinfo.mem->max_memory_to_use = TJPEGImage::kMaxCodecMemory;
    if (withProgress) {
        d.progress.pub.progress_monitor = progressMonitor;
        d.progress.err = &d.err;
        d.cinfo.progress = &d.progress.pub;
    }
    jpeg_mem_src(&d.cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&d.cinfo, TRUE);
    return true;
}

// Applies the decoding settings and computes the output size.
bool configure(Decompressor& d, const DecodeSettings& s) {
    if (setjmp(d.err.jump)) return false;
    j_decompress_ptr c = &d.cinfo;
    c->scale_num = 1;
    c->scale_denom = 1u << s.scaleShift;
    c->do_block_smoothing = s.blockSmoothing ? TRUE : FALSE;
    if (s.grayOutput)
        c->out_color_space = JCS_GRAYSCALE;
    else if (c->out_color_space == JCS_RGB)
        c->out_color_space = JCS_EXT_BGR;
    // CMYK and YCCK pictures decode to four bytes per pixel and are turned into blue,
    // green, red afterwards; the codec's colour quantizer does not take four channels.
    bool cmyk = c->out_color_space == JCS_CMYK;
    if (!cmyk && (s.outputDepth == 1 || c->out_color_space == JCS_GRAYSCALE)) {
        c->quantize_colors = TRUE;
        c->desired_number_of_colors = 236;
    }
    if (s.fastDecode == 1) {
        c->dct_method = JDCT_IFAST;
        c->two_pass_quantize = FALSE;
        c->dither_mode = JDITHER_ORDERED;
    }
    d.finalDct = c->dct_method;
    d.finalTwoPass = c->two_pass_quantize;
    d.finalDither = c->dither_mode;
    if (s.incremental && jpeg_has_multiple_scans(c)) {
        d.buffered = true;
        c->buffered_image = TRUE;
        c->enable_2pass_quant = c->two_pass_quantize;
        c->dct_method = JDCT_IFAST;
        c->two_pass_quantize = FALSE;
        c->dither_mode = JDITHER_ORDERED;
    }
    if (d.userMapCount > 0 && c->quantize_colors) {
        c->colormap = (*c->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(c), JPOOL_IMAGE,
                                              static_cast<JDIMENSION>(d.userMapCount), 3);
        for (int comp = 0; comp < 3; ++comp)
            std::memcpy(c->colormap[comp], d.userMap[comp], static_cast<size_t>(d.userMapCount));
        c->actual_number_of_colors = d.userMapCount;
    }
    jpeg_calc_output_dimensions(c);
    return true;
}

bool startDecompress(Decompressor& d) {
    if (setjmp(d.err.jump)) return false;
    jpeg_start_decompress(&d.cinfo);
    return true;
}

struct RowTarget {
    uint8_t* base;
    ptrdiff_t stride;
    unsigned height;
};

// Reads the rest of the current output pass into the rows of the target.
void readRows(j_decompress_ptr c, const RowTarget& t) {
    JSAMPROW rows[16];
    while (c->output_scanline < c->output_height) {
        unsigned first = c->output_scanline;
        unsigned n = 0;
        while (n < 16 && first + n < t.height) {
            rows[n] = t.base + static_cast<ptrdiff_t>(first + n) * t.stride;
            ++n;
        }
        if (n == 0 || jpeg_read_scanlines(c, rows, n) == 0) break;
    }
}

bool decodeRows(Decompressor& d, const RowTarget& t) {
    if (setjmp(d.err.jump)) return false;
    j_decompress_ptr c = &d.cinfo;
    if (d.buffered) {
        while (!jpeg_input_complete(c)) {
            int status;
            do {
                status = jpeg_consume_input(c);
            } while (status != JPEG_SUSPENDED && status != JPEG_REACHED_EOI &&
                     status != JPEG_REACHED_SOS);
            if (status == JPEG_REACHED_EOI || status == JPEG_SUSPENDED) break;
            jpeg_start_output(c, c->input_scan_number);
            readRows(c, t);
            jpeg_finish_output(c);
        }
        c->dct_method = d.finalDct;
        c->two_pass_quantize = d.finalTwoPass;
        c->dither_mode = d.finalDither;
        if (d.finalTwoPass && d.userMapCount == 0) c->colormap = nullptr;
        jpeg_start_output(c, c->input_scan_number);
    }
    readRows(c, t);
    if (c->quantize_colors && c->colormap) {
        d.finalMapCount = std::min(c->actual_number_of_colors, 256);
        d.finalMapComponents = std::min(c->out_color_components, 3);
        for (int comp = 0; comp < d.finalMapComponents; ++comp)
            std::memcpy(d.finalMap[comp], c->colormap[comp], static_cast<size_t>(d.finalMapCount));
    }
    if (d.buffered) jpeg_finish_output(c);
    jpeg_finish_decompress(c);
    return true;
}

// Turns decoded C, M, Y, K bytes into a 24-bit picture. Files with the Adobe marker (nearly
// every CMYK JPEG, as written by prepress programs) store the channels inverted, so there
// 0 means full ink; the others store plain ink amounts.
Bitmap cmykToBgr(const Bitmap& source, bool inverted) {
    Bitmap out(source.width(), source.height(), pf24bit);
    for (int y = 0; y < source.height(); ++y) {
        const uint8_t* in = source.scanLine(y);
        uint8_t* row = out.scanLine(y);
        for (int x = 0; x < source.width(); ++x, in += 4, row += 3) {
            unsigned cc = in[0], m = in[1], ye = in[2], k = in[3];
            if (!inverted) {
                cc = 255 - cc;
                m = 255 - m;
                ye = 255 - ye;
                k = 255 - k;
            }
            row[0] = static_cast<uint8_t>((ye * k + 127) / 255);
            row[1] = static_cast<uint8_t>((m * k + 127) / 255);
            row[2] = static_cast<uint8_t>((cc * k + 127) / 255);
        }
    }
    return out;
}

void throwCodecError(ErrorMgr& err) {
    if (err.pending) std::rethrow_exception(err.pending);
    throw EJPEG(err.pub.msg_code);
}

struct Compressor {
    jpeg_compress_struct cinfo{};
    ErrorMgr err{};
    ProgressMgr progress{};
    bool created = false;
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    ~Compressor() {
        if (created) jpeg_destroy_compress(&cinfo);
        std::free(out);
    }
};

struct EncodeSettings {
    int quality;
    bool gray;
    bool progressive;
};

bool compressRows(Compressor& k, const Bitmap& src, const EncodeSettings& s, bool withProgress) {
    initErrorMgr(k.err);
    k.cinfo.err = &k.err.pub;
    if (setjmp(k.err.jump)) return false;
    j_compress_ptr c = &k.cinfo;
    jpeg_create_compress(c);
    k.created = true;
    if (withProgress) {
        k.progress.pub.progress_monitor = progressMonitor;
        k.progress.err = &k.err;
        c->progress = &k.progress.pub;
    }
    jpeg_mem_dest(c, &k.out, &k.outSize);
    c->image_width = static_cast<JDIMENSION>(src.width());
    c->image_height = static_cast<JDIMENSION>(src.height());
    c->input_components = 3;
    c->in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(c);
    jpeg_set_quality(c, s.quality, TRUE);
    if (s.gray) jpeg_set_colorspace(c, JCS_GRAYSCALE);
    if (s.progressive) jpeg_simple_progression(c);
    jpeg_start_compress(c, TRUE);
    JSAMPROW rows[16];
    while (c->next_scanline < c->image_height) {
        unsigned n = 0;
        while (n < 16 && c->next_scanline + n < c->image_height) {
            rows[n] = const_cast<uint8_t*>(src.scanLine(static_cast<int>(c->next_scanline + n)));
            ++n;
        }
        jpeg_write_scanlines(c, rows, n);
    }
    jpeg_finish_compress(c);
    return true;
}

} // namespace

// Give the codec access to the private members through one friend.
struct JpegCodec {
    static void reportProgress(const TJPEGImage& img, TProgressStage stage, int percent) {
        if (img.OnProgress)
            img.OnProgress(const_cast<TJPEGImage&>(img), stage, percent, false, QRect(),
                           std::string());
    }
};

// ----- EXIF orientation -----

namespace {

// Reads the Orientation tag from a TIFF structure (the body of an "Exif" APP1 segment).
// Every offset is checked against the block; anything malformed gives 1.
int tiffOrientation(std::span<const uint8_t> tiff) {
    if (tiff.size() < 8) return 1;
    bool little;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        little = true;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        little = false;
    else
        return 1;
    auto u16 = [&](size_t at) -> uint32_t {
        return little ? tiff[at] | (uint32_t(tiff[at + 1]) << 8)
                      : (uint32_t(tiff[at]) << 8) | tiff[at + 1];
    };
    auto u32 = [&](size_t at) -> uint32_t {
        return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    };
    if (u16(2) != 42) return 1;
    uint32_t ifd = u32(4);
    if (ifd < 8 || uint64_t(ifd) + 2 > tiff.size()) return 1;
    uint32_t count = u16(ifd);
    if (uint64_t(ifd) + 2 + uint64_t(count) * 12 > tiff.size()) return 1;
    for (uint32_t i = 0; i < count; ++i) {
        size_t entry = ifd + 2 + size_t(i) * 12;
        if (u16(entry) != 0x0112) continue;
        // SHORT, one value, held in the first two bytes of the value field.
        if (u16(entry + 2) != 3 || u32(entry + 4) != 1) return 1;
        uint32_t value = u16(entry + 8);
        return value >= 1 && value <= 8 ? int(value) : 1;
    }
    return 1;
}

} // namespace

int jpegExifOrientation(std::span<const uint8_t> jpeg) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return 1;
    size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        if (jpeg[at] != 0xFF) return 1;
        uint8_t marker = jpeg[at + 1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        at += 2;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue; // no length
        if (marker == 0xD9 || marker == 0xDA) return 1; // end of image, or the first scan
        size_t length = (size_t(jpeg[at]) << 8) | jpeg[at + 1];
        if (length < 2 || at + length > jpeg.size()) return 1;
        auto body = jpeg.subspan(at + 2, length - 2);
        static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
        if (marker == 0xE1 && body.size() >= 6 && std::memcmp(body.data(), kExif, 6) == 0)
            return tiffOrientation(body.subspan(6));
        at += length;
    }
    return 1;
}

Bitmap orientBitmap(const Bitmap& src, int orientation) {
    if (orientation < 2 || orientation > 8 || src.empty()) return src;
    const int bpp = src.bitsPerPixel();
    if (bpp % 8 != 0) throw EInvalidGraphicOperation("この画像の向きは変えられません");
    const ptrdiff_t px = bpp / 8;
    const int w = src.width(), h = src.height();
    const bool swap = orientation >= 5;
    Bitmap out(swap ? h : w, swap ? w : h, src.pixelFormat());
    if (!src.palette().empty()) out.setPalette(src.palette());
    const ptrdiff_t stride = src.stride();
    // Where the output's top-left pixel comes from, and how the source position moves
    // for one step right and one step down in the output.
    const uint8_t* base = src.scanLine(0);
    auto at = [&](int x, int y) { return base + y * stride + x * px; };
    const uint8_t* start = nullptr;
    ptrdiff_t stepX = 0, stepY = 0;
    switch (orientation) {
    case 2:
        start = at(w - 1, 0), stepX = -px, stepY = stride;
        break;
    case 3:
        start = at(w - 1, h - 1), stepX = -px, stepY = -stride;
        break;
    case 4:
        start = at(0, h - 1), stepX = px, stepY = -stride;
        break;
    case 5:
        start = at(0, 0), stepX = stride, stepY = px;
        break;
    case 6:
        start = at(0, h - 1), stepX = -stride, stepY = px;
        break;
    case 7:
        start = at(w - 1, h - 1), stepX = -stride, stepY = -px;
        break;
    default:
        start = at(w - 1, 0), stepX = stride, stepY = -px;
        break;
    }
    const int outW = out.width(), outH = out.height();
    // Tiles keep both the rows read and the rows written in the cache when turning.
    constexpr int kTile = 64;
    for (int ty = 0; ty < outH; ty += kTile) {
        const int yEnd = std::min(outH, ty + kTile);
        for (int tx = 0; tx < outW; tx += kTile) {
            const int xEnd = std::min(outW, tx + kTile);
            for (int y = ty; y < yEnd; ++y) {
                uint8_t* d = out.scanLine(y) + tx * px;
                const uint8_t* s = start + y * stepY + tx * stepX;
                for (int x = tx; x < xEnd; ++x, d += px, s += stepX)
                    std::memcpy(d, s, size_t(px));
            }
        }
    }
    return out;
}

// ----- TJPEGImage -----

TJPEGImage::TJPEGImage()
    : BlockSmoothing(DefaultJpegSettings.BlockSmoothing),
      GrayOutput(DefaultJpegSettings.GrayOutput), OutputDepth(DefaultJpegSettings.OutputDepth),
      Quality(DefaultJpegSettings.Quality),
      IncrementalDecode(DefaultJpegSettings.IncrementalDecode),
      ProgressiveSave(DefaultJpegSettings.ProgressiveSave),
      FastDecode(DefaultJpegSettings.FastDecode), ScaleShift(DefaultJpegSettings.ScaleShift),
      image_(std::make_shared<TJPEGData>()) {}

TJPEGImage::TJPEGImage(const TJPEGImage& other)
    : Graphic(other), BlockSmoothing(other.BlockSmoothing), GrayOutput(other.GrayOutput),
      OutputDepth(other.OutputDepth), Quality(other.Quality),
      IncrementalDecode(other.IncrementalDecode), ProgressiveSave(other.ProgressiveSave),
      FastDecode(other.FastDecode), ScaleShift(other.ScaleShift), image_(other.image_),
      bitmap_(other.bitmap_ ? std::make_unique<Bitmap>(*other.bitmap_) : nullptr),
      scaledWidth_(other.scaledWidth_), scaledHeight_(other.scaledHeight_),
      tempPalette_(other.tempPalette_), needRecalc_(other.needRecalc_),
      lastScaleShift_(other.lastScaleShift_) {}

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::newData() const {
    image_ = std::make_shared<TJPEGData>();
    needRecalc_ = true;
}

void TJPEGImage::changed() {
    if (OnChange) OnChange(*this);
}

void TJPEGImage::SetCompressionQuality(int quality) {
    Quality = static_cast<uint8_t>(std::clamp(quality, 1, 100));
}

void TJPEGImage::calcScaledSize() const {
    if (ScaleShift == 0) return;
    if (!needRecalc_ && lastScaleShift_ == ScaleShift) return;
    scaledWidth_ = scaledHeight_ = 0;
    needRecalc_ = false;
    lastScaleShift_ = ScaleShift;
    if (!image_->Data || image_->Data->empty()) return;
    auto d = std::make_unique<Decompressor>();
    const auto& bytes = *image_->Data;
    DecodeSettings s{ScaleShift, BlockSmoothing, GrayOutput, OutputDepth, FastDecode, false};
    if (!openHeader(*d, bytes.data(), bytes.size(), false) || !configure(*d, s))
        throwCodecError(d->err);
    scaledWidth_ = static_cast<int32_t>(d->cinfo.output_width);
    scaledHeight_ = static_cast<int32_t>(d->cinfo.output_height);
    const_cast<TJPEGImage*>(this)->ProgressiveSave = jpeg_has_multiple_scans(&d->cinfo);
}

// A picture stored turned a quarter (EXIF orientations 5..8) shows with its sides swapped.
int TJPEGImage::width() const {
    if (bitmap_) return bitmap_->width();
    const bool swap = image_->Orientation >= 5;
    if (ScaleShift == 0) return swap ? image_->Height : image_->Width;
    calcScaledSize();
    return swap ? scaledHeight_ : scaledWidth_;
}

int TJPEGImage::height() const {
    if (bitmap_) return bitmap_->height();
    const bool swap = image_->Orientation >= 5;
    if (ScaleShift == 0) return swap ? image_->Width : image_->Height;
    calcScaledSize();
    return swap ? scaledWidth_ : scaledHeight_;
}

bool TJPEGImage::empty() const {
    return !image_->Data && (!bitmap_ || bitmap_->empty());
}

void TJPEGImage::setWidth(int) {
    throw EInvalidGraphicOperation("JPEG イメージのサイズは変更できません");
}
void TJPEGImage::setHeight(int) {
    throw EInvalidGraphicOperation("JPEG イメージのサイズは変更できません");
}

void TJPEGImage::decode() const {
    auto bmp = std::make_unique<Bitmap>();
    auto d = std::make_unique<Decompressor>();
    static const std::vector<uint8_t> kNoData;
    const auto& bytes = image_->Data ? *image_->Data : kNoData;
    auto* self = const_cast<TJPEGImage*>(this);
    d->progress.owner = self;
    d->progress.decoding = true;

    if (tempPalette_) {
        if (OutputDepth == 1) {
            d->userMapCount = std::min(tempPalette_->size(), 256);
            for (int i = 0; i < d->userMapCount; ++i) {
                d->userMap[0][i] = (*tempPalette_)[i].b;
                d->userMap[1][i] = (*tempPalette_)[i].g;
                d->userMap[2][i] = (*tempPalette_)[i].r;
            }
        } else {
            tempPalette_.reset();
        }
    }
    DecodeSettings s{ScaleShift,  BlockSmoothing, GrayOutput,
                     OutputDepth, FastDecode,     IncrementalDecode};
    if (!openHeader(*d, bytes.data(), bytes.size(), true)) throwCodecError(d->err);
    limits::checkPictureToOpen(d->cinfo.image_width, d->cinfo.image_height, 24);
    if (!configure(*d, s)) throwCodecError(d->err);
    bool quantized = d->cinfo.quantize_colors;
    bool cmyk = d->cinfo.out_color_space == JCS_CMYK;
    // Rows are 3 bytes (blue, green, red), 4 bytes (C, M, Y, K; converted below) or 1 byte
    // per pixel; any other output space has no conversion here.
    if (!cmyk && d->cinfo.out_color_space != JCS_EXT_BGR &&
        d->cinfo.out_color_space != JCS_GRAYSCALE)
        throw EJPEG(static_cast<int>(JERR_CONVERSION_NOTIMPL));

    bool aborted = false;
    try {
        JpegCodec::reportProgress(*this, psStarting, 0);
        if (!startDecompress(*d)) throwCodecError(d->err);
        const j_decompress_ptr c = &d->cinfo;
        Bitmap pixels(static_cast<int>(c->output_width), static_cast<int>(c->output_height),
                      cmyk        ? pf32bit
                      : quantized ? pf8bit
                                  : pf24bit);
        bool paletteModified = false;
        if (quantized) {
            if (d->userMapCount > 0) {
                pixels.setPalette(*tempPalette_);
            } else if (c->colormap) {
                std::vector<Rgb> entries(static_cast<size_t>(c->actual_number_of_colors));
                for (int i = 0; i < c->actual_number_of_colors; ++i) {
                    if (c->out_color_components == 1) {
                        uint8_t v = c->colormap[0][i];
                        entries[static_cast<size_t>(i)] = {v, v, v};
                    } else {
                        entries[static_cast<size_t>(i)] = {c->colormap[2][i], c->colormap[1][i],
                                                           c->colormap[0][i]};
                    }
                }
                pixels.setPalette(Palette(std::move(entries)));
                paletteModified = true;
            }
        }
        bitmap_ = std::make_unique<Bitmap>(std::move(pixels));
        RowTarget t{bitmap_->scanLine(0), bitmap_->stride(),
                    static_cast<unsigned>(bitmap_->height())};
        bool ok = decodeRows(*d, t);
        // The final pass of a buffered decode may build a new colour map.
        if (ok && quantized && d->userMapCount == 0 && d->finalMapCount > 0 && d->buffered) {
            std::vector<Rgb> entries(static_cast<size_t>(d->finalMapCount));
            for (int i = 0; i < d->finalMapCount; ++i)
                entries[static_cast<size_t>(i)] =
                    d->finalMapComponents == 1
                        ? Rgb{d->finalMap[0][i], d->finalMap[0][i], d->finalMap[0][i]}
                        : Rgb{d->finalMap[2][i], d->finalMap[1][i], d->finalMap[0][i]};
            bitmap_->setPalette(Palette(std::move(entries)));
        }
        if (!ok) throwCodecError(d->err);
        if (cmyk) *bitmap_ = cmykToBgr(*bitmap_, d->cinfo.saw_Adobe_marker != 0);
        if (image_->Orientation != 1) *bitmap_ = orientBitmap(*bitmap_, image_->Orientation);
        JpegCodec::reportProgress(*this, psEnding, 100);
        if (paletteModified) self->changed();
    } catch (const EAbort&) {
        // A user abort keeps whatever was decoded, upright like a whole picture.
        aborted = true;
        if (bitmap_ && image_->Orientation != 1)
            *bitmap_ = orientBitmap(*bitmap_, image_->Orientation);
    } catch (...) {
        JpegCodec::reportProgress(*this, psEnding, 0);
        bitmap_.reset();
        throw;
    }
    if (aborted) JpegCodec::reportProgress(*this, psEnding, 0);
}

void TJPEGImage::DIBNeeded() const {
    if (!bitmap_) decode();
}

const Bitmap& TJPEGImage::bitmap() const {
    DIBNeeded();
    static const Bitmap kEmpty;
    // An abort before the first row leaves no bitmap at all.
    return bitmap_ ? *bitmap_ : kEmpty;
}

void TJPEGImage::encode() const {
    if (image_->Data) newData();
    image_->Data.emplace();
    if (!bitmap_ || bitmap_->width() == 0 || bitmap_->height() == 0) return;
    // The codec reads 24-bit rows; other formats go through a converted copy.
    std::optional<Bitmap> converted;
    if (bitmap_->pixelFormat() != pf24bit) {
        converted.emplace(*bitmap_);
        converted->setPixelFormat(pf24bit);
    }
    const Bitmap& source = converted ? *converted : *bitmap_;
    auto k = std::make_unique<Compressor>();
    auto* self = const_cast<TJPEGImage*>(this);
    k->progress.owner = self;
    EncodeSettings s{std::clamp<int>(Quality, 1, 100), GrayOutput, ProgressiveSave};
    try {
        JpegCodec::reportProgress(*this, psStarting, 0);
    } catch (const EAbort&) {
        newData();
        return;
    }
    bool ok = compressRows(*k, source, s, true);
    if (!ok) {
        bool abort = false;
        if (k->err.pending) {
            try {
                std::rethrow_exception(k->err.pending);
            } catch (const EAbort&) {
                abort = true;
            } catch (...) {
            }
        }
        JpegCodec::reportProgress(*this, psEnding, 0);
        newData();
        if (abort) return;
        throwCodecError(k->err);
    }
    image_->Width = source.width();
    image_->Height = source.height();
    image_->Grayscale = GrayOutput;
    image_->Data->assign(k->out, k->out + k->outSize);
    try {
        JpegCodec::reportProgress(*this, psEnding, 100);
    } catch (const EAbort&) {
        newData();
    }
}

void TJPEGImage::JPEGNeeded() const {
    if (!image_->Data) encode();
}

void TJPEGImage::paint(QPainter& painter, const QRectF& dest) const {
    if (empty()) return;
    bitmap().paint(painter, dest);
}

std::unique_ptr<Graphic> TJPEGImage::clone() const {
    return std::make_unique<TJPEGImage>(*this);
}

void TJPEGImage::assign(const Graphic& source) {
    if (auto* jpeg = dynamic_cast<const TJPEGImage*>(&source)) {
        if (jpeg == this) return;
        image_ = jpeg->image_;
        needRecalc_ = true;
        bitmap_ = jpeg->bitmap_ ? std::make_unique<Bitmap>(*jpeg->bitmap_) : nullptr;
        changed();
        return;
    }
    if (auto* bmp = dynamic_cast<const Bitmap*>(&source)) {
        auto copy = std::make_unique<Bitmap>(*bmp);
        newData();
        bitmap_ = std::move(copy);
        changed();
        return;
    }
    throw EConvertError(std::string(source.className()) + " を TJPEGImage に代入できません");
}

Bitmap TJPEGImage::releaseBitmap() {
    if (!bitmap_) return Bitmap();
    Bitmap released = std::move(*bitmap_);
    bitmap_.reset();
    return released;
}

void TJPEGImage::assignTo(Bitmap& target) const {
    target = bitmap();
}

bool TJPEGImage::equals(const Graphic& other) const {
    auto* jpeg = dynamic_cast<const TJPEGImage*>(&other);
    return jpeg && jpeg->image_ == image_;
}

void TJPEGImage::loadFromBytes(std::span<const uint8_t> bytes) {
    auto fresh = std::make_shared<TJPEGData>();
    fresh->Data.emplace(bytes.begin(), bytes.end());
    adopt(std::move(fresh));
}

void TJPEGImage::loadFromBuffer(std::vector<uint8_t>&& bytes) {
    auto fresh = std::make_shared<TJPEGData>();
    fresh->Data.emplace(std::move(bytes));
    try {
        adopt(fresh);
    } catch (...) {
        bytes = std::move(*fresh->Data); // a refused file leaves the caller's bytes
        throw;
    }
}

void TJPEGImage::adopt(std::shared_ptr<TJPEGData> fresh) {
    const std::span<const uint8_t> bytes(*fresh->Data);
    bool progressive = ProgressiveSave;
    if (!bytes.empty()) {
        auto d = std::make_unique<Decompressor>();
        if (!openHeader(*d, bytes.data(), bytes.size(), false)) throwCodecError(d->err);
        limits::checkPictureToOpen(d->cinfo.image_width, d->cinfo.image_height, 24);
        fresh->Width = static_cast<int32_t>(d->cinfo.image_width);
        fresh->Height = static_cast<int32_t>(d->cinfo.image_height);
        fresh->Grayscale = d->cinfo.jpeg_color_space == JCS_GRAYSCALE;
        fresh->Orientation = static_cast<uint8_t>(jpegExifOrientation(bytes));
        progressive = jpeg_has_multiple_scans(&d->cinfo);
    }
    // Commit only after the header was read, so a refused file leaves the picture as it was.
    image_ = std::move(fresh);
    bitmap_.reset();
    needRecalc_ = true;
    ProgressiveSave = progressive;
    changed();
}

std::vector<uint8_t> TJPEGImage::saveToBytes() const {
    JPEGNeeded();
    // An encoding aborted by the user leaves nothing to write; say so rather than write
    // an empty file.
    if (!image_->Data) throw EAbort();
    return *image_->Data;
}

std::vector<uint8_t> TJPEGImage::writeData() const {
    // A picture held only as a bitmap is compressed first, so that its pixels are not
    // lost from the stored form.
    if (!image_->Data && bitmap_ && !bitmap_->empty()) JPEGNeeded();
    std::vector<uint8_t> out;
    uint32_t size = image_->Data ? static_cast<uint32_t>(image_->Data->size()) : 0;
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(size >> (8 * i)));
    if (image_->Data) out.insert(out.end(), image_->Data->begin(), image_->Data->end());
    return out;
}

size_t TJPEGImage::readData(std::span<const uint8_t> bytes) {
    if (bytes.size() < 4) throw EInvalidGraphic("JPEG データが途中で終わっています");
    uint32_t size = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                    (static_cast<uint32_t>(bytes[2]) << 16) |
                    (static_cast<uint32_t>(bytes[3]) << 24);
    if (size > bytes.size() - 4) throw EInvalidGraphic("JPEG データが途中で終わっています");
    if (size == 0) {
        newData();
        bitmap_.reset();
        changed();
    } else {
        loadFromBytes(bytes.subspan(4, size));
    }
    return 4 + static_cast<size_t>(size);
}

Palette TJPEGImage::palette() const {
    if (bitmap_) return bitmap_->palette();
    if (tempPalette_) return *tempPalette_;
    if (OutputDepth == 1) return Palette();
    if (screenInfo().bitsPerPixel <= 8) {
        tempPalette_ = Palette::halftone();
        return *tempPalette_;
    }
    return Palette();
}

void TJPEGImage::setPalette(const Palette& palette) {
    if (tempPalette_ && *tempPalette_ == palette) return;
    bool dropped = false;
    if (bitmap_ && !(bitmap_->palette() == palette)) {
        bitmap_.reset();
        dropped = true;
    }
    tempPalette_ = palette;
    if (dropped) changed();
}
