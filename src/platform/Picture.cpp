#include "platform/Picture.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exceptions.h"

namespace {
std::vector<Picture::FileFormat>& registry() {
    static std::vector<Picture::FileFormat> formats;
    return formats;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}
} // namespace

Picture::Picture(const Picture& other)
    : graphic_(other.graphic_ ? other.graphic_->clone() : nullptr) {}

Picture& Picture::operator=(const Picture& other) {
    if (this != &other) graphic_ = other.graphic_ ? other.graphic_->clone() : nullptr;
    return *this;
}

void Picture::assign(const Graphic* graphic) {
    // Clone first: on failure the container keeps what it held.
    graphic_ = graphic ? graphic->clone() : nullptr;
}

void Picture::setGraphic(std::unique_ptr<Graphic> graphic) {
    graphic_ = std::move(graphic);
}

void Picture::loadFromFile(const std::filesystem::path& path) {
    auto graphic = createForExtension(extensionOf(path));
    auto bytes = readWholeFile(path);
    graphic->loadFromBytes(bytes);
    graphic_ = std::move(graphic);
}

void Picture::saveToFile(const std::filesystem::path& path) const {
    if (!graphic_) throw EInvalidGraphicOperation("保存する画像がありません");
    auto bytes = graphic_->saveToBytes();
    writeFileAtomically(path, bytes);
}

void Picture::registerFileFormat(const std::string& extension, const std::string& description,
                                 std::function<std::unique_ptr<Graphic>()> create) {
    auto ext = lower(extension);
    auto& formats = registry();
    auto it = std::find_if(formats.begin(), formats.end(),
                           [&](const FileFormat& f) { return f.extension == ext; });
    if (it != formats.end()) {
        it->description = description;
        it->create = std::move(create);
    } else {
        formats.push_back({ext, description, std::move(create), {}, {}});
    }
}

void Picture::registerFileFormat(FileFormat format) {
    format.extension = lower(format.extension);
    auto& formats = registry();
    auto it = std::find_if(formats.begin(), formats.end(),
                           [&](const FileFormat& f) { return f.extension == format.extension; });
    if (it != formats.end())
        *it = std::move(format);
    else
        formats.push_back(std::move(format));
}

const Picture::FileFormat* Picture::recognizeFileFormat(std::span<const uint8_t> bytes) {
    for (const auto& f : registry())
        if (f.recognizes && f.recognizes(bytes)) return &f;
    return nullptr;
}

const Picture::FileFormat* Picture::findFileFormat(const std::string& extension) {
    auto ext = lower(extension);
    for (const auto& f : registry())
        if (f.extension == ext) return &f;
    return nullptr;
}

const std::vector<Picture::FileFormat>& Picture::fileFormats() {
    return registry();
}

std::unique_ptr<Graphic> Picture::createForExtension(const std::string& extension) {
    const FileFormat* format = findFileFormat(extension);
    if (!format) throw EInvalidGraphic("拡張子 ." + extension + " の画像形式は扱えません");
    return format->create();
}

std::string extensionOf(const std::filesystem::path& path) {
    auto ext = path.extension().string();
    if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
    return lower(ext);
}

std::vector<uint8_t> readWholeFile(const std::filesystem::path& path, uint64_t maxBytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EFileError(path.string() + " を読み込めません: " + std::strerror(errno));
    in.seekg(0, std::ios::end);
    auto size = static_cast<std::streamoff>(in.tellg());
    if (size < 0) throw EFileError(path.string() + " を読み込めません");
    if (static_cast<uint64_t>(size) > maxBytes) throw EFileError(path.string() + " は大きすぎます");
    in.seekg(0, std::ios::beg);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size))
        throw EFileError(path.string() + " を読み込めません");
    return bytes;
}

void writeFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    auto folder = path.parent_path();
    if (folder.empty()) folder = ".";
    std::string tmpl = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) throw EFileError(path.string() + " に書き込めません: " + std::strerror(errno));
    std::string tmpPath(name.data());
    auto fail = [&](const char* what) {
        int err = errno;
        ::close(fd);
        ::unlink(tmpPath.c_str());
        throw EFileError(path.string() + " に書き込めません: " + what + " " + std::strerror(err));
    };
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("");
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) fail("");
    // Keep the permissions of a file being replaced; a new file gets the usual 0644.
    struct stat st {};
    mode_t mode = 0644;
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    ::fchmod(fd, mode);
    if (::close(fd) != 0) {
        ::unlink(tmpPath.c_str());
        throw EFileError(path.string() + " に書き込めません: " + std::strerror(errno));
    }
    if (::rename(tmpPath.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmpPath.c_str());
        throw EFileError(path.string() + " に書き込めません: " + std::strerror(err));
    }
}
