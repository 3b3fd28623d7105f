#include "formats/PictureIO.h"

#include <algorithm>
#include <functional>
#include <string>

#include "formats/GIFImage.h"
#include "formats/Jpeg.h"
#include "formats/Png.h"
#include "formats/Webp.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/GraphicBitmap.h"
#include "platform/Limits.h"
#include "platform/Metafile.h"

namespace {

bool startsWith(std::span<const uint8_t> bytes, std::initializer_list<uint8_t> magic) {
    if (bytes.size() < magic.size()) return false;
    return std::equal(magic.begin(), magic.end(), bytes.begin());
}

uint32_t le32(std::span<const uint8_t> b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

bool isJpeg(std::span<const uint8_t> b) {
    return startsWith(b, {0xFF, 0xD8, 0xFF});
}
bool isGif(std::span<const uint8_t> b) {
    return startsWith(b, {'G', 'I', 'F', '8', '7', 'a'}) ||
           startsWith(b, {'G', 'I', 'F', '8', '9', 'a'});
}
bool isBmp(std::span<const uint8_t> b) {
    return b.size() >= 18 && startsWith(b, {'B', 'M'});
}
bool isIcon(std::span<const uint8_t> b) {
    return b.size() >= 6 && startsWith(b, {0, 0, 1, 0});
}
bool isEmf(std::span<const uint8_t> b) {
    // EMR_HEADER first, with the " EMF" signature at offset 40.
    return b.size() >= 88 && le32(b, 0) == 1 && le32(b, 40) == 0x464D4520;
}
bool isWmf(std::span<const uint8_t> b) {
    if (startsWith(b, {0xD7, 0xCD, 0xC6, 0x9A})) return true; // placeable header
    // A bare header: type 1 (memory) or 2 (disk), header size 9 words.
    return b.size() >= 18 && (b[0] == 1 || b[0] == 2) && b[1] == 0 && b[2] == 9 && b[3] == 0;
}

std::vector<uint8_t> encodeAs(const Graphic& picture, GraphicKind as, SaveOptions options,
                              bool enhanced) {
    options.enhancedMetafile = enhanced;
    return savePictureBytes(picture, as, options);
}

void registerWithHooks(const std::string& extension, GraphicKind as,
                       std::function<bool(std::span<const uint8_t>)> recognizes,
                       bool enhanced = true) {
    const Picture::FileFormat* known = Picture::findFileFormat(extension);
    if (!known) return;
    Picture::FileFormat format = *known;
    format.recognizes = std::move(recognizes);
    format.encode = [as, enhanced](const Graphic& g, const SaveOptions& o) {
        return encodeAs(g, as, o, enhanced);
    };
    Picture::registerFileFormat(std::move(format));
}

// A loaded picture is decoded now, so that data that breaks only while decoding counts as
// a failed load, and a picture without pixels is refused: every caller sees one rule.
void checkLoaded(const Graphic& graphic) {
    if (graphic.empty())
        throw EInvalidGraphic("画像の幅または高さが 0 です (" + std::to_string(graphic.width()) +
                              " × " + std::to_string(graphic.height()) + ")");
    if (const Bitmap* raster = graphic.raster(); raster && raster->empty())
        throw EInvalidGraphic("画像を復号できません");
}

const Picture::FileFormat* formatFor(const Picture::FileFormat* format,
                                     std::span<const uint8_t> bytes, std::string_view extension) {
    if (!format) format = Picture::recognizeFileFormat(bytes);
    if (!format) {
        if (extension.empty()) throw EInvalidGraphic("画像の形式がわかりません");
        throw EInvalidGraphic("拡張子 ." + std::string(extension) + " の画像形式は扱えません");
    }
    return format;
}

std::unique_ptr<Graphic> loadWith(const Picture::FileFormat* format, std::span<const uint8_t> bytes,
                                  std::string_view extension) {
    auto graphic = formatFor(format, bytes, extension)->create();
    graphic->loadFromBytes(bytes);
    checkLoaded(*graphic);
    return graphic;
}

// The same for bytes the picture may take over (a file just read).
std::unique_ptr<Graphic> loadWith(const Picture::FileFormat* format, std::vector<uint8_t>&& bytes,
                                  std::string_view extension) {
    auto graphic = formatFor(format, bytes, extension)->create();
    graphic->loadFromBuffer(std::move(bytes));
    checkLoaded(*graphic);
    return graphic;
}

Bitmap shownBitmap(const Graphic& picture, const SaveOptions& options) {
    if (options.naturalSize()) return graphicToBitmap(picture);
    return graphicToBitmap(picture, options.width, options.height);
}

// PNG keeps a palette picture's palette (scaled by whole pixels when shown at another
// size); any other picture is written as the bitmap shown.
std::vector<uint8_t> encodeShownPng(const Graphic& picture, const SaveOptions& options) {
    const Bitmap* raster = picture.raster();
    if (raster && !raster->empty() && raster->bitsPerPixel() <= 8) {
        if (options.naturalSize() ||
            (options.width == raster->width() && options.height == raster->height()))
            return encodePng(*raster);
        limits::checkPictureSize(options.width, options.height);
        return encodePng(stretchIndexed(*raster, options.width, options.height));
    }
    return encodePng(shownBitmap(picture, options));
}

// WebP takes the JPEG quality control's value; 100 writes it losslessly.
std::vector<uint8_t> encodeShownWebp(const Graphic& picture, const SaveOptions& options) {
    const int quality = options.jpegQuality > 0 ? options.jpegQuality : DefaultJpegSettings.Quality;
    return encodeWebp(shownBitmap(picture, options), quality);
}

} // namespace

void registerPictureFormats() {
    registerPlatformFileFormats();
    InitJpegDefaultsFromScreen();
    auto jpeg = [] { return std::unique_ptr<Graphic>(std::make_unique<TJPEGImage>()); };
    Picture::registerFileFormat("jpeg", kJpegDescription, jpeg);
    Picture::registerFileFormat("jpg", kJpegDescription, jpeg);
    Picture::registerFileFormat("gif", kGifDescription, [] {
        return std::unique_ptr<Graphic>(std::make_unique<TGIFImage>());
    });
    registerWithHooks("jpg", GraphicKind::Jpeg, isJpeg);
    registerWithHooks("jpeg", GraphicKind::Jpeg, isJpeg);
    registerWithHooks("gif", GraphicKind::Gif, isGif);
    registerWithHooks("bmp", GraphicKind::Bitmap, isBmp);
    registerWithHooks("emf", GraphicKind::Metafile, isEmf, true);
    registerWithHooks("wmf", GraphicKind::Metafile, isWmf, false);
    Picture::registerFileFormat(
        {"png", kPngDescription,
         [] { return std::unique_ptr<Graphic>(std::make_unique<PngBitmap>()); },
         [](std::span<const uint8_t> b) { return isPngData(b); }, encodeShownPng});
    Picture::registerFileFormat(
        {"webp", kWebpDescription,
         [] { return std::unique_ptr<Graphic>(std::make_unique<WebpBitmap>()); },
         [](std::span<const uint8_t> b) { return isWebpData(b); }, encodeShownWebp});
    // Icons are written only in their own format.
    if (const Picture::FileFormat* ico = Picture::findFileFormat("ico")) {
        Picture::FileFormat format = *ico;
        format.recognizes = isIcon;
        format.encode = nullptr;
        Picture::registerFileFormat(std::move(format));
    }
}

std::unique_ptr<Graphic> loadPictureFile(const std::filesystem::path& path) {
    const std::string extension = extensionOf(path);
    const Picture::FileFormat* format = Picture::findFileFormat(extension);
    return loadWith(format, readWholeFile(path), extension);
}

std::unique_ptr<Graphic> loadPictureBytes(std::span<const uint8_t> bytes, std::string_view hint) {
    std::string extension(hint);
    if (!extension.empty() && extension[0] == '.') extension.erase(0, 1);
    const Picture::FileFormat* format =
        extension.empty() ? nullptr : Picture::findFileFormat(extension);
    return loadWith(format, bytes, extension);
}

std::unique_ptr<Graphic> convertPicture(const Graphic& picture, GraphicKind as,
                                        const SaveOptions& options) {
    if (picture.empty()) throw EInvalidGraphic("幅または高さが 0 の画像は変換できません");
    const bool natural = options.naturalSize();
    const GraphicKind held = picture.kind();
    switch (as) {
    case GraphicKind::Bitmap:
        return std::make_unique<Bitmap>(shownBitmap(picture, options));
    case GraphicKind::Jpeg: {
        if (natural && held == GraphicKind::Jpeg && options.jpegQuality <= 0)
            return picture.clone();
        auto jpeg = std::make_unique<TJPEGImage>();
        if (options.jpegQuality > 0) jpeg->SetCompressionQuality(options.jpegQuality);
        jpeg->assign(shownBitmap(picture, options));
        return jpeg;
    }
    case GraphicKind::Gif: {
        if (natural && held == GraphicKind::Gif) return picture.clone();
        auto gif = std::make_unique<TGIFImage>();
        gif->assign(shownBitmap(picture, options));
        return gif;
    }
    case GraphicKind::Metafile: {
        auto recorded = std::make_unique<Metafile>();
        if (natural && held == GraphicKind::Metafile) {
            recorded->assign(picture);
        } else {
            const int width = natural ? picture.width() : options.width;
            const int height = natural ? picture.height() : options.height;
            // Size checks first: a recording of 0 or an absurd size is refused up front.
            Bitmap shown;
            if (held != GraphicKind::Metafile)
                shown = shownBitmap(picture, options);
            else
                limits::checkPictureSize(width, height);
            recorded->setWidth(width);
            recorded->setHeight(height);
            MetafileCanvas canvas(*recorded);
            if (held == GraphicKind::Metafile)
                canvas.stretchDraw(QRect(0, 0, width, height), picture);
            else
                canvas.draw(0, 0, shown);
        }
        recorded->setEnhanced(options.enhancedMetafile);
        return recorded;
    }
    case GraphicKind::Icon:
    case GraphicKind::Other:
        break;
    }
    if (held == as) return picture.clone();
    throw EConvertError(std::string(picture.className()) + " を " +
                        (as == GraphicKind::Icon ? "TIcon" : "この形式") + " に変換できません");
}

std::vector<uint8_t> savePictureBytes(const Graphic& picture, GraphicKind as,
                                      const SaveOptions& options) {
    // A picture written in its own kind at its own size needs no copy.
    const bool unchanged =
        options.naturalSize() && picture.kind() == as &&
        (as == GraphicKind::Bitmap || as == GraphicKind::Gif || as == GraphicKind::Icon ||
         as == GraphicKind::Other || (as == GraphicKind::Jpeg && options.jpegQuality <= 0));
    if (unchanged) {
        if (picture.empty()) throw EInvalidGraphic("幅または高さが 0 の画像は保存できません");
        return picture.saveToBytes();
    }
    return convertPicture(picture, as, options)->saveToBytes();
}

void savePictureFile(const Graphic& picture, const std::filesystem::path& path,
                     const SaveOptions& options) {
    const Picture::FileFormat* format = Picture::findFileFormat(extensionOf(path));
    std::vector<uint8_t> bytes;
    if (format && format->encode) {
        bytes = format->encode(picture, options);
    } else {
        if (picture.empty()) throw EInvalidGraphic("幅または高さが 0 の画像は保存できません");
        bytes = picture.saveToBytes();
    }
    writeFileAtomically(path, bytes);
}

const char* pictureKindName(const Graphic* picture) {
    if (!picture) return "Empty";
    switch (picture->kind()) {
    case GraphicKind::Jpeg:
        return "JPEG";
    case GraphicKind::Gif:
        return "GIF";
    case GraphicKind::Bitmap:
        return "Bitmap";
    case GraphicKind::Metafile:
        return "Metafile";
    case GraphicKind::Icon:
        return "Icon";
    case GraphicKind::Other:
        break;
    }
    return "Others";
}
