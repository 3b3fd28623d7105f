// The picture services every caller shares (the window, pwtool, printing, the clipboard
// and drops): loading by extension or content, converting a picture to another kind, and
// saving by extension to a file or to bytes. The file formats live in one registry
// (Picture::FileFormat): its extension table drives loading and saving alike.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "platform/Graphic.h"
#include "platform/Picture.h"

// Registers every picture class of the program: bmp, emf, wmf, ico (platform) and jpg,
// jpeg, gif, png, webp, each with its content recognizer and its encoder. Safe to call more than
// once.
void registerPictureFormats();

// Reads a picture file. The class is chosen by the extension; a name whose extension no
// format is registered for is recognized by its content. The picture is decoded before it
// is returned, and a picture without pixels (a width or height of 0) is refused: whatever
// loads here can be shown, converted and saved. Throws EFileError when the file cannot be
// read, EInvalidGraphic for an unknown format or an empty picture, and the reader's own
// exception for malformed content.
std::unique_ptr<Graphic> loadPictureFile(const std::filesystem::path& path);

// The same for bytes in memory: hint is an extension ("jpg", "BMP") or "" to decide by
// content alone.
std::unique_ptr<Graphic> loadPictureBytes(std::span<const uint8_t> bytes, std::string_view hint);

// The picture as a new graphic of kind `as`, at the size options give:
//  - at the natural size a picture already of that kind is copied unchanged (a JPEG is
//    re-encoded only when a quality is given);
//  - Bitmap: the picture as a bitmap (drawn stretched when a size is given);
//  - Jpeg, Gif: a new JPEG (at options.jpegQuality) or GIF picture made from that bitmap;
//  - Metafile: a recording of the options' size (enhanced as options say): a metafile
//    drawn stretched into it, any other picture as the bitmap drawn at the origin;
//  - Icon, Other: only a copy of a picture of that kind; EConvertError otherwise.
// Throws EInvalidGraphic for an empty picture or a size of 0.
std::unique_ptr<Graphic> convertPicture(const Graphic& picture, GraphicKind as,
                                        const SaveOptions& options = {});

// The bytes of the picture written as kind `as` (see convertPicture): JPEG, GIF, BMP, EMF
// or WMF file bytes, or the picture's own format for Icon and Other.
std::vector<uint8_t> savePictureBytes(const Graphic& picture, GraphicKind as,
                                      const SaveOptions& options = {});

// Saves by the path's lower-cased extension: bmp, emf, wmf, jpg, jpeg and gif convert the
// picture (see convertPicture); png writes the bitmap shown (a palette picture keeps its
// palette) and webp the bitmap shown at options.jpegQuality (lossless at 100); any other extension,
// or none, writes the picture unchanged in its own format. Written through a temporary file renamed
// over the target.
void savePictureFile(const Graphic& picture, const std::filesystem::path& path,
                     const SaveOptions& options = {});

// The names the window's picture-kind selector and pwtool --info use: "Empty" for none,
// then "JPEG", "GIF", "Bitmap", "Metafile", "Icon", "Others".
const char* pictureKindName(const Graphic* picture);
