#include "document/Document.h"

#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "document/InstanceFolder.h"
#include "document/PicturePreload.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/GraphicBitmap.h"
#include "platform/Metafile.h"

namespace {

// A file name's bytes that are not valid UTF-8 are held in a QString as the characters
// U+DC80..U+DCFF (unpaired low surrogates, which no valid name contains), one per byte,
// so that the name survives the trip through the window and back to the file system.
constexpr char16_t kEscapeBase = 0xDC00;

bool isEscape(QChar c) {
    return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF;
}

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0.
size_t utf8SequenceLength(const unsigned char* p, size_t n) {
    const unsigned char lead = p[0];
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (n < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode are not valid.
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

std::filesystem::path ToPath(const QString& path) {
    QByteArray bytes;
    qsizetype runStart = 0;
    for (qsizetype i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !isEscape(path[i])) continue;
        bytes += QFile::encodeName(path.mid(runStart, i - runStart));
        if (i < path.size()) bytes += char(path[i].unicode() - kEscapeBase);
        runStart = i + 1;
    }
    return std::filesystem::path(std::string(bytes.constData(), size_t(bytes.size())));
}

QString FromPath(const std::filesystem::path& path) {
    const std::string& native = path.native();
    const auto* p = reinterpret_cast<const unsigned char*>(native.data());
    const size_t n = native.size();
    QString name;
    size_t runStart = 0;
    size_t i = 0;
    auto flush = [&] {
        if (i > runStart)
            name +=
                QFile::decodeName(QByteArray(native.data() + runStart, qsizetype(i - runStart)));
    };
    while (i < n) {
        const size_t length = utf8SequenceLength(p + i, n - i);
        if (length > 0) {
            i += length;
            continue;
        }
        flush();
        name += QChar(char16_t(kEscapeBase + p[i]));
        ++i;
        runStart = i;
    }
    flush();
    return name;
}

QString FileSizeText(unsigned long long size) {
    unsigned long long k = size / 1024;
    unsigned long long rest = size % 1024;
    if (rest != 0 && (k == 0 || rest >= 512)) ++k;
    return QStringLiteral("  %1KB").arg(k);
}

QString FolderOf(const QString& path) {
    qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return QString();
    // The root keeps its slash, as does a run of slashes ("//x" → "//").
    if (slash == 0 || path[slash - 1] == QLatin1Char('/')) return path.left(slash + 1);
    return path.left(slash);
}

QString TemporaryName(const Graphic* graphic) {
    if (!graphic) return QStringLiteral("ImageData.dat");
    switch (graphic->kind()) {
    case GraphicKind::Bitmap:
        return QStringLiteral("ImageData.bmp");
    case GraphicKind::Metafile:
        return static_cast<const Metafile*>(graphic)->enhanced() ? QStringLiteral("ImageData.emf")
                                                                 : QStringLiteral("ImageData.wmf");
    case GraphicKind::Icon:
        return QStringLiteral("ImageData.ico");
    case GraphicKind::Jpeg:
        return QStringLiteral("ImageData.jpg");
    case GraphicKind::Gif:
        return QStringLiteral("ImageData.gif");
    case GraphicKind::Other:
        break;
    }
    return QStringLiteral("ImageData.dat");
}

TDocument::TDocument(TFastPicture& engine)
    : Engine(engine), BaseBitmap(std::make_unique<Bitmap>()) {}

TDocument::~TDocument() = default;

bool TDocument::Open(const QString& path) {
    DeleteTemporaryCopy();
    DisplayName = path;
    SourcePath = DisplayName;
    return Load(SourcePath);
}

bool TDocument::Load(const QString& path) {
    if (path.isEmpty()) return false;
    // Taken by value: callers pass SourcePath, which a failure clears.
    const QString file = path;
    Engine.picture().clear();
    Engine.Invalidate();
    Engine.Stretch = false;
    // A read-ahead of another file is of no use any more.
    std::unique_ptr<TPicturePreload> preload = std::move(Preload);
    if (preload && (preload->Path() != file || !preload->Started())) preload.reset();
    try {
        if (preload) {
            TPicturePreload::Result read = preload->Take();
            Engine.picture().setGraphic(std::move(read.picture));
            if (read.base)
                *BaseBitmap = std::move(*read.base);
            else
                TakeBase();
        } else {
            Engine.picture().setGraphic(loadPictureFile(ToPath(file)));
            TakeBase();
        }
    } catch (const std::exception&) {
        Engine.Stretch = true;
        Engine.picture().clear();
        Engine.Invalidate();
        DisplayName.clear();
        SourcePath.clear();
        return false;
    }
    if (DisplayName == SourcePath) {
        SizeText = FileSizeText(static_cast<unsigned long long>(QFileInfo(file).size()));
        OpenDir = FolderOf(file);
    } else {
        SizeText.clear();
    }
    Engine.Stretch = true;
    return true;
}

void TDocument::Save(const QString& path, const SaveOptions& options) {
    const Graphic* graphic = Current();
    if (!graphic) return;
    savePictureFile(*graphic, ToPath(path), options);
    SaveDir = FolderOf(path);
}

bool TDocument::RestoreBase() {
    if (Engine.GetPictureType() != picBitmap) return false;
    Engine.picture().assign(BaseBitmap.get());
    return true;
}

void TDocument::Clear() {
    Engine.picture().clear();
    Engine.Invalidate();
    DisplayName.clear();
    SourcePath.clear();
    SizeText.clear();
}

void TDocument::Arrive(std::unique_ptr<Graphic> picture, const QString& label) {
    if (!picture) return;
    Engine.picture().setGraphic(std::move(picture));
    // The previous copy goes only now that the new picture is here, and before the new
    // copy is written (it may have the same name).
    DeleteTemporaryCopy();
    SourcePath.clear();
    DisplayName = label;
    SizeText.clear();
    TakeBase();
    SaveTemporaryCopy();
}

void TDocument::ConvertKind(GraphicKind kind, int jpegQuality) {
    const Graphic* graphic = Current();
    if (!graphic) return;
    SaveOptions options;
    options.jpegQuality = jpegQuality;
    Engine.picture().setGraphic(convertPicture(*graphic, kind, options));
    Engine.Invalidate();
}

void TDocument::TakeBase() {
    const Graphic* graphic = Current();
    if (!graphic) return;
    *BaseBitmap = graphicToBitmap(*graphic);
}

std::filesystem::path TDocument::TemporaryFolder() {
    if (!TemporaryFolderOverride.empty()) {
        std::filesystem::create_directories(TemporaryFolderOverride);
        return TemporaryFolderOverride;
    }
    if (!instanceFolder_)
        instanceFolder_ =
            std::make_unique<TInstanceFolder>(TInstanceFolder::RuntimeBase(), ::getpid());
    return instanceFolder_->path();
}

void TDocument::SaveTemporaryCopy() {
    const Graphic* graphic = Current();
    if (!graphic) return;
    std::filesystem::path path = TemporaryFolder() / ToPath(TemporaryName(graphic));
    // Named as the source only once it is written: a failed write leaves no SourcePath
    // that revert would find missing.
    Engine.picture().saveToFile(path);
    SourcePath = FromPath(path);
}

void TDocument::DeleteTemporaryCopy() {
    if (SourcePath.isEmpty() || SourcePath == DisplayName) return;
    std::error_code ec;
    std::filesystem::path path = ToPath(SourcePath);
    if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
}
