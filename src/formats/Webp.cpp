#include "formats/Webp.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>

#include "platform/Exceptions.h"
#include "platform/Limits.h"

namespace {

[[noreturn]] void refuse(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_NOT_ENOUGH_DATA:
        throw EInvalidGraphic("WebP ファイルが途中で終わっています");
    case VP8_STATUS_OUT_OF_MEMORY:
        throw EInvalidGraphic("WebP の読み込みにメモリが足りません");
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        throw EInvalidGraphic("この WebP ファイルの形式には対応していません");
    default:
        throw EInvalidGraphic("WebP ファイルが壊れています");
    }
}

// x / 255 rounded to nearest, for 0 <= x <= 255 * 255.
inline uint8_t div255(uint32_t x) {
    x += 128;
    return static_cast<uint8_t>((x + (x >> 8)) >> 8);
}

// Rows of blue, green, red, alpha composited over white into the bitmap's 24-bit rows.
void compositeOverWhite(const uint8_t* bgra, size_t stride, Bitmap& out) {
    for (int y = 0; y < out.height(); ++y) {
        const uint8_t* in = bgra + size_t(y) * stride;
        uint8_t* row = out.scanLine(y);
        for (int x = 0; x < out.width(); ++x, in += 4, row += 3) {
            uint32_t a = in[3], white = 255u * (255u - a);
            row[0] = div255(in[0] * a + white);
            row[1] = div255(in[1] * a + white);
            row[2] = div255(in[2] * a + white);
        }
    }
}

struct DemuxDeleter {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};

// Makes sure the whole file is there, up to the end of its first frame, before anything of
// the announced size is allocated: a few bytes of header must not cost a picture's memory.
void checkComplete(std::span<const uint8_t> bytes) {
    WebPData data{bytes.data(), bytes.size()};
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemuxPartial(&data, &state));
    if (!demux || state == WEBP_DEMUX_PARSE_ERROR) refuse(VP8_STATUS_BITSTREAM_ERROR);
    WebPIterator frame;
    bool complete = WebPDemuxGetFrame(demux.get(), 1, &frame) && frame.complete;
    WebPDemuxReleaseIterator(&frame);
    if (!complete) refuse(VP8_STATUS_NOT_ENOUGH_DATA);
}

struct AnimDecoderDeleter {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

Bitmap decodeFirstFrame(std::span<const uint8_t> bytes, int width, int height) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) refuse(VP8_STATUS_INVALID_PARAM);
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    WebPData data{bytes.data(), bytes.size()};
    std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter> decoder(
        WebPAnimDecoderNew(&data, &options));
    if (!decoder) refuse(VP8_STATUS_BITSTREAM_ERROR);
    WebPAnimInfo info{};
    if (!WebPAnimDecoderGetInfo(decoder.get(), &info)) refuse(VP8_STATUS_BITSTREAM_ERROR);
    if (int(info.canvas_width) != width || int(info.canvas_height) != height)
        refuse(VP8_STATUS_BITSTREAM_ERROR);
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderHasMoreFrames(decoder.get()) ||
        !WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) || !canvas)
        refuse(VP8_STATUS_BITSTREAM_ERROR);
    Bitmap bitmap(width, height, pf24bit);
    compositeOverWhite(canvas, size_t(width) * 4, bitmap);
    return bitmap;
}

} // namespace

bool isWebpData(std::span<const uint8_t> bytes) {
    return bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 &&
           std::memcmp(bytes.data() + 8, "WEBP", 4) == 0;
}

Bitmap decodeWebp(std::span<const uint8_t> bytes, WebpFacts* facts) {
    if (!isWebpData(bytes)) throw EInvalidGraphic("WebP ファイルではありません");
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) refuse(VP8_STATUS_INVALID_PARAM);
    VP8StatusCode status = WebPGetFeatures(bytes.data(), bytes.size(), &config.input);
    if (status != VP8_STATUS_OK) refuse(status);
    const WebPBitstreamFeatures& features = config.input;
    const int width = features.width, height = features.height;
    limits::checkPictureToOpen(width, height, 24);
    checkComplete(bytes);
    if (facts) {
        facts->lossless = features.format == 2;
        facts->animated = features.has_animation != 0;
        facts->alphaComposited = features.has_alpha != 0;
    }
    if (features.has_animation) return decodeFirstFrame(bytes, width, height);

    Bitmap bitmap(width, height, pf24bit);
    // A second thread decodes the next row band of a lossy picture while the first filters.
    config.options.use_threads = 1;
    WebPDecBuffer& out = config.output;
    out.is_external_memory = 1;
    std::vector<uint8_t> bgra;
    if (features.has_alpha) {
        out.colorspace = MODE_BGRA;
        bgra.resize(limits::checkedMul(limits::checkedMul(uint64_t(width), 4), uint64_t(height)));
        out.u.RGBA.rgba = bgra.data();
        out.u.RGBA.stride = width * 4;
        out.u.RGBA.size = bgra.size();
    } else {
        // Straight into the bitmap's rows.
        out.colorspace = MODE_BGR;
        out.u.RGBA.rgba = bitmap.scanLine(0);
        out.u.RGBA.stride = bitmap.stride();
        out.u.RGBA.size = bitmap.byteSize();
    }
    status = WebPDecode(bytes.data(), bytes.size(), &config);
    WebPFreeDecBuffer(&out);
    if (status != VP8_STATUS_OK) refuse(status);
    if (features.has_alpha) compositeOverWhite(bgra.data(), size_t(width) * 4, bitmap);
    return bitmap;
}

void WebpBitmap::loadFromBytes(std::span<const uint8_t> bytes) {
    WebpFacts facts;
    Bitmap decoded = decodeWebp(bytes, &facts);
    static_cast<Bitmap&>(*this) = std::move(decoded);
    facts_ = facts;
    note_.clear();
    if (facts.alphaComposited) note_ = "透明部分は白と合成";
    if (facts.animated)
        note_ += std::string(note_.empty() ? "" : "、") + "アニメーションの最初の画面";
}

namespace {

struct PictureGuard {
    WebPPicture pic;
    bool ready = false;
    ~PictureGuard() {
        if (ready) WebPPictureFree(&pic);
    }
};
struct WriterGuard {
    WebPMemoryWriter writer;
    WriterGuard() { WebPMemoryWriterInit(&writer); }
    ~WriterGuard() { WebPMemoryWriterClear(&writer); }
};

std::string encodeError(WebPEncodingError code) {
    switch (code) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
        return "WebP の書き込みにメモリが足りません";
    case VP8_ENC_ERROR_BAD_DIMENSION:
        return "WebP で保存できる大きさは一辺 " + std::to_string(kWebpMaxSide) +
               " ピクセルまでです";
    case VP8_ENC_ERROR_FILE_TOO_BIG:
        return "WebP ファイルが大きくなりすぎます";
    default:
        return "WebP を書き込めません (エラー " + std::to_string(int(code)) + ")";
    }
}

} // namespace

std::vector<uint8_t> encodeWebp(const Bitmap& source, int quality) {
    if (source.empty()) throw EInvalidGraphic("空の画像は WebP で保存できません");
    if (source.width() > kWebpMaxSide || source.height() > kWebpMaxSide)
        throw EInvalidGraphic(encodeError(VP8_ENC_ERROR_BAD_DIMENSION));
    quality = std::clamp(quality, 1, 100);

    std::optional<Bitmap> converted;
    if (source.pixelFormat() != pf24bit) {
        converted.emplace(source);
        converted->setPixelFormat(pf24bit);
    }
    const Bitmap& bmp = converted ? *converted : source;

    WebPConfig config;
    if (!WebPConfigInit(&config))
        throw EInvalidGraphic(encodeError(VP8_ENC_ERROR_INVALID_CONFIGURATION));
    config.lossless = quality == 100 ? 1 : 0;
    config.quality = quality == 100 ? 75.0f : float(quality);
    config.method = 4;
    config.thread_level = 1;
    if (!WebPValidateConfig(&config))
        throw EInvalidGraphic(encodeError(VP8_ENC_ERROR_INVALID_CONFIGURATION));

    PictureGuard picture;
    if (!WebPPictureInit(&picture.pic))
        throw EInvalidGraphic(encodeError(VP8_ENC_ERROR_INVALID_CONFIGURATION));
    picture.ready = true;
    WebPPicture& pic = picture.pic;
    pic.width = bmp.width();
    pic.height = bmp.height();
    pic.use_argb = config.lossless;
    if (!WebPPictureImportBGR(&pic, bmp.scanLine(0), bmp.stride()))
        throw EInvalidGraphic(encodeError(pic.error_code));

    WriterGuard writer;
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &writer.writer;
    if (!WebPEncode(&config, &pic)) throw EInvalidGraphic(encodeError(pic.error_code));
    return std::vector<uint8_t>(writer.writer.mem, writer.writer.mem + writer.writer.size);
}
