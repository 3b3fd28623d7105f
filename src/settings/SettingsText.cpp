#include "settings/SettingsText.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "core/AtomicFile.h"
#include "core/Exceptions.h"
#include "settings/SettingsKeys.h"

namespace settings_text {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD in UTF-8
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

std::string Reason(int error) {
    return std::strerror(error);
}

[[noreturn]] void FailOpen(const std::string& path, const std::string& reason) {
    throw EFileError("ファイル " + path + " を開けません。(" + reason + ")");
}

[[noreturn]] void FailCreate(const std::string& path, const std::string& reason) {
    throw EFileError("ファイル " + path + " を作成できません。(" + reason + ")");
}

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

bool IsValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) low = 0xA0;  // overlong
            if (c == 0xED) high = 0x9F; // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) low = 0x90;  // overlong
            if (c == 0xF4) high = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        if (p[i + 1] < low || p[i + 1] > high) return false;
        for (size_t k = 2; k <= extra; ++k)
            if (!IsContinuation(p[i + k])) return false;
        i += extra + 1;
    }
    return true;
}

std::string Cp932ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    iconv_t raw = iconv_open("UTF-8", "CP932");
    if (raw == reinterpret_cast<iconv_t>(-1)) raw = iconv_open("UTF-8", "SHIFT_JIS");
    if (raw == reinterpret_cast<iconv_t>(-1)) {
        // Without a converter keep the ASCII part and mark everything else.
        for (char c : bytes) {
            if (static_cast<unsigned char>(c) < 0x80)
                out += c;
            else
                out += kReplacement;
        }
        return out;
    }
    std::unique_ptr<void, IconvCloser> cd(raw);

    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* o = buffer;
        size_t oLeft = sizeof buffer;
        const size_t result = iconv(static_cast<iconv_t>(cd.get()), &in, &inLeft, &o, &oLeft);
        const int error = errno;
        out.append(buffer, static_cast<size_t>(o - buffer));
        if (result != static_cast<size_t>(-1)) continue;
        if (error == E2BIG && o != buffer) continue;
        // An invalid or truncated sequence: mark its first byte and go on after it.
        out += kReplacement;
        ++in;
        --inLeft;
        iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

std::string DecodeSettingsBytes(std::string_view bytes) {
    std::string_view text = bytes;
    while (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        text.remove_prefix(kByteOrderMark.size());
    if (IsValidUtf8(bytes)) return std::string(text);
    // A file that starts with this program's own header was written here in UTF-8; its
    // stray bytes come from values such as file names, which are arbitrary bytes on
    // this platform. Decoding it as Shift-JIS would garble every Japanese key, so its
    // bytes are kept as they are.
    const std::string_view header = SettingsKeys::Header;
    if (text.substr(0, header.size()) == header &&
        (text.size() == header.size() || text[header.size()] == '\r' ||
         text[header.size()] == '\n'))
        return std::string(text);
    return Cp932ToUtf8(bytes);
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.emplace_back(text.substr(start, i - start));
        ++i;
        if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
        start = i;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::string ReadFileBounded(const std::string& path, long long maxSize) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) FailOpen(path, Reason(errno));
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) FailOpen(path, Reason(errno));
    if (!S_ISREG(st.st_mode)) FailOpen(path, "not a regular file");
    if (st.st_size > maxSize) FailOpen(path, "larger than " + std::to_string(maxSize) + " bytes");

    std::string bytes;
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    // The size may change while reading: read until the end, never past the limit.
    for (;;) {
        if (got == bytes.size()) {
            if (static_cast<long long>(bytes.size()) > maxSize)
                FailOpen(path, "larger than " + std::to_string(maxSize) + " bytes");
            bytes.resize(bytes.size() + 4096);
        }
        const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            FailOpen(path, Reason(errno));
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    if (static_cast<long long>(got) > maxSize)
        FailOpen(path, "larger than " + std::to_string(maxSize) + " bytes");
    return bytes;
}

void WriteFileAtomically(const std::string& path, std::string_view bytes, unsigned newMode) {
    try {
        core::writeFileAtomically(
            path, {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, newMode);
    } catch (const EFileWriteError& e) {
        FailCreate(path, e.reason());
    }
}

bool CanCreateFileIn(const std::string& folder) {
    if (folder.empty()) return false;
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return false;
    struct statvfs fs;
    if (::statvfs(folder.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY)) return false;
    return true;
}

} // namespace settings_text
