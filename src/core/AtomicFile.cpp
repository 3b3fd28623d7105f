#include "core/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Exceptions.h"

namespace core {

namespace {

[[noreturn]] void failWrite(const std::filesystem::path& path, int error) {
    std::string reason = std::strerror(error);
    throw EFileWriteError(path.string() + " に書き込めません: " + reason, reason);
}

// Owns a descriptor and, until committed, the temporary file it was opened on.
class TemporaryFile {
public:
    TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Closes the descriptor; returns close's error, 0 on success.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }
    void commit() { committed_ = true; }

private:
    int fd_;
    std::string path_;
    bool committed_ = false;
};

// Closes a descriptor when it goes.
struct Descriptor {
    explicit Descriptor(int d) : fd(d) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

} // namespace

std::filesystem::path resolveLinkTarget(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    fs::path target = path;
    // The kernel's own limit on links followed in one lookup.
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(target, ec))) return target;
        fs::path link = fs::read_symlink(target, ec);
        if (ec) return target;
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    failWrite(path, ELOOP);
}

void writeFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         unsigned newMode) {
    namespace fs = std::filesystem;
    const fs::path target = resolveLinkTarget(path);
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();

    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) failWrite(path, EISDIR);

    // A name no other writer (thread or process) picks: the process id and a counter,
    // created exclusively.
    static std::atomic<unsigned> counter{0};
    int fd = -1;
    std::string temporary;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = (folder / ("." + target.filename().string() + ".tmp" +
                               std::to_string(::getpid()) + "-" + std::to_string(counter++)))
                        .string();
        // A replacement starts private and takes the old file's mode below; a new file
        // gets newMode through the umask, as any other created file would.
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    exists ? 0600 : newMode);
        if (fd < 0 && errno != EEXIST) failWrite(path, errno);
    }
    if (fd < 0) failWrite(path, EEXIST);
    TemporaryFile file(fd, temporary);

    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(file.fd(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            failWrite(path, errno);
        }
        done += static_cast<size_t>(n);
    }
    // Keep the replaced file's permissions; when that is refused (someone else's file)
    // the private mode of the temporary file stays, which is safe.
    if (exists) (void)::fchmod(file.fd(), st.st_mode & 07777);
    if (::fsync(file.fd()) != 0) failWrite(path, errno);
    if (int error = file.close()) failWrite(path, error);
    if (::rename(file.path().c_str(), target.c_str()) != 0) failWrite(path, errno);
    file.commit();

    // Make the rename itself durable; a failure only weakens the crash guarantee.
    const Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0) (void)::fsync(dir.fd);
}

} // namespace core
