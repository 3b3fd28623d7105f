#include "document/InstanceFolder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exceptions.h"

namespace {

constexpr std::string_view kPrefix = "pixelwright-";

// The pid in a folder name "pixelwright-<pid>" or "pixelwright-<pid>-XXXXXX"; 0 when the
// name is not of the pattern.
pid_t pidOf(const std::string& name) {
    if (name.compare(0, kPrefix.size(), kPrefix) != 0) return 0;
    size_t i = kPrefix.size();
    long long pid = 0;
    size_t digits = 0;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && digits < 10; ++i, ++digits)
        pid = pid * 10 + (name[i] - '0');
    if (digits == 0 || pid <= 0 || pid > 0x7FFFFFFF) return 0;
    if (i != name.size() && name[i] != '-') return 0;
    return static_cast<pid_t>(pid);
}

bool running(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// A real folder (not a link to one) owned by this user.
bool ownFolder(const std::filesystem::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

bool usableBase(const std::filesystem::path& base) {
    struct stat st {};
    return !base.empty() && base.is_absolute() && ::stat(base.c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode) && ::access(base.c_str(), W_OK | X_OK) == 0;
}

} // namespace

std::filesystem::path TInstanceFolder::RuntimeBase() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime ? std::filesystem::path(runtime) : std::filesystem::path();
}

int TInstanceFolder::RemoveStale(const std::filesystem::path& base) {
    int removed = 0;
    std::error_code ec;
    std::vector<std::filesystem::path> stale;
    for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
        pid_t pid = pidOf(entry.path().filename().string());
        if (pid != 0 && !running(pid) && ownFolder(entry.path())) stale.push_back(entry.path());
    }
    for (const auto& p : stale) {
        std::filesystem::remove_all(p, ec);
        if (!ec) ++removed;
    }
    return removed;
}

TInstanceFolder::TInstanceFolder(const std::filesystem::path& base, pid_t pid) {
    const std::string name = std::string(kPrefix) + std::to_string(pid);
    if (usableBase(base)) {
        RemoveStale(base);
        std::filesystem::path candidate = base / name;
        std::error_code ec;
        // A folder of this pid can only be a dead instance's: this one has not made it yet.
        if (ownFolder(candidate)) std::filesystem::remove_all(candidate, ec);
        if (::mkdir(candidate.c_str(), 0700) == 0) {
            path_ = candidate;
            return;
        }
    }
    std::error_code ec;
    std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    if (ec || temp.empty()) temp = "/tmp";
    RemoveStale(temp);
    std::string pattern = (temp / (name + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        throw EFileError("一時フォルダを作れません: " + pattern + ": " + std::strerror(errno));
    path_ = buffer.data();
}

TInstanceFolder::~TInstanceFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}
