#include "settings/Param.h"

#include <cerrno>
#include <climits>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include "settings/DesktopEntry.h"
#include "settings/SettingsKeys.h"
#include "settings/SettingsText.h"

namespace {

constexpr char kEmptyValue = '\x1A';

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

// The framework's decimal conversion: optional leading blanks, an optional sign and
// decimal digits that fit a 32-bit integer.
bool ParseInteger(std::string_view text, int& result) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    long long value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) value = -value;
    if (value < INT_MIN || value > INT_MAX) return false;
    result = static_cast<int>(value);
    return true;
}

// The running executable's path, without the marker the kernel adds once the file
// has been replaced on disk.
std::string RunningExecutable() {
    std::error_code ec;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) return {};
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0 &&
        !std::filesystem::exists(path, ec))
        path.resize(path.size() - deleted.size());
    return path;
}

// A shortcut name becomes a file name: it must not reach into another folder.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string ShortcutPath(int folder, const std::string& name) {
    std::string path = TParameter::SpecialFolderPath(folder);
    if (path.empty()) return {};
    if (path.back() != '/') path += '/';
    return path + name + ".desktop";
}

} // namespace

TParameter::TParameter() = default;

TParameter::~TParameter() = default;

std::string TParameter::GetFullName() const {
    if (dir_.empty() || fileName_.empty()) return {};
    std::string name = dir_;
    if (name.back() != '/') name += '/';
    return name + fileName_;
}

int TParameter::GetCount() const {
    return static_cast<int>(lines_.size());
}

void TParameter::SetDigit(int value) {
    if (value >= 3 && value <= 18) digit_ = value;
}

void TParameter::CheckIndex(int index, int count) const {
    if (index < 0 || index >= count)
        throw ERangeError("リストのインデックスが範囲を超えています (" + std::to_string(index) +
                          ")");
}

int TParameter::Add(const std::string& line) {
    lines_.push_back(line);
    return GetCount() - 1;
}

void TParameter::Clear() {
    lines_.clear();
}

void TParameter::Insert(int index, const std::string& line) {
    CheckIndex(index, GetCount() + 1);
    lines_.insert(lines_.begin() + index, line);
}

void TParameter::Delete(int index) {
    CheckIndex(index, GetCount());
    lines_.erase(lines_.begin() + index);
}

const std::string& TParameter::GetLine(int index) const {
    CheckIndex(index, GetCount());
    return lines_[static_cast<size_t>(index)];
}

int TParameter::IndexOfName(std::string_view name) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        const std::string& line = lines_[i];
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        if (SameTextIgnoringCase(std::string_view(line).substr(0, equals), name))
            return static_cast<int>(i);
    }
    return -1;
}

std::string TParameter::ReadString(std::string_view name) const {
    const int index = IndexOfName(name);
    std::string value;
    if (index >= 0) {
        const std::string& line = lines_[static_cast<size_t>(index)];
        value = line.substr(line.find('=') + 1);
    }
    if (value.empty())
        throw EValueName("Name '" + std::string(name) + "' is not found in parameters.");
    if (value.size() == 1 && value[0] == kEmptyValue) return {};
    return value;
}

int TParameter::ReadInteger(std::string_view name) const {
    const std::string value = ReadString(name);
    int result = 0;
    if (!ParseInteger(value, result)) throw EConvertError("'" + value + "' は整数ではありません");
    return result;
}

bool TParameter::ReadBool(std::string_view name) const {
    const std::string value = ReadString(name);
    if (value == "True") return true;
    if (value == "False") return false;
    throw EValueName("Value of " + std::string(name) + " '" + value + "' is not Boolean Type.");
}

namespace {

template <typename Read, typename T>
T ReadOr(Read&& read, T fallback, std::vector<std::string>& messages) {
    try {
        return read();
    } catch (const EValueName& e) {
        messages.emplace_back(e.what());
    } catch (const EConvertError& e) {
        messages.emplace_back(e.what());
    }
    return fallback;
}

} // namespace

std::string TParameter::ReadString(std::string_view name, std::string_view fallback,
                                   std::vector<std::string>& messages) const {
    return ReadOr([&] { return ReadString(name); }, std::string(fallback), messages);
}

int TParameter::ReadInteger(std::string_view name, int fallback,
                            std::vector<std::string>& messages) const {
    return ReadOr([&] { return ReadInteger(name); }, fallback, messages);
}

bool TParameter::ReadBool(std::string_view name, bool fallback,
                          std::vector<std::string>& messages) const {
    return ReadOr([&] { return ReadBool(name); }, fallback, messages);
}

void TParameter::WriteString(std::string_view name, std::string_view value) {
    std::string line(name);
    line += '=';
    if (value.empty())
        line += kEmptyValue;
    else
        line += value;
    const int index = IndexOfName(name);
    if (index >= 0)
        lines_[static_cast<size_t>(index)] = std::move(line);
    else
        lines_.push_back(std::move(line));
}

void TParameter::WriteInteger(std::string_view name, int value) {
    WriteString(name, std::to_string(value));
}

void TParameter::WriteBool(std::string_view name, bool value) {
    WriteString(name, value ? "True" : "False");
}

std::string TParameter::GetText() const {
    std::string text;
    size_t size = 0;
    for (const std::string& line : lines_)
        size += line.size() + 2;
    text.reserve(size);
    for (const std::string& line : lines_) {
        // A line break inside a line would split it into two entries when read back
        // (a folder name may hold one here); it is written as a blank instead.
        for (char c : line)
            text += c == '\r' || c == '\n' ? ' ' : c;
        text += "\r\n";
    }
    return text;
}

void TParameter::SetText(std::string_view bytes) {
    lines_ = settings_text::SplitLines(settings_text::DecodeSettingsBytes(bytes));
}

void TParameter::Open() {
    if (exeName_.empty()) exeName_ = RunningExecutable();
    if (dir_.empty() && !exeName_.empty()) dir_ = SettingsFolderFor(FolderOf(exeName_));
    if (fileName_.empty() && !exeName_.empty()) {
        std::string name = exeName_.substr(exeName_.rfind('/') + 1);
        const size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > 0) name.resize(dot);
        fileName_ = name + ".ini";
    }
    Load();
}

void TParameter::Load() {
    const std::string fullName = GetFullName();
    if (fullName.empty()) return;
    struct stat st;
    if (::stat(fullName.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return;
    SetText(settings_text::ReadFileBounded(fullName, MaxFileSize));
}

void TParameter::Save() {
    const std::string fullName = GetFullName();
    if (fullName.empty()) return;
    // The per-user configuration folder may not exist yet on a first run; a failure
    // here shows up as the write's own error just below.
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (lines_.empty() || lines_.front().find('=') != std::string::npos)
        lines_.insert(lines_.begin(), std::string(SettingsKeys::Header));
    settings_text::WriteFileAtomically(fullName, GetText());
}

std::string TParameter::SettingsFolderFor(const std::string& exeFolder) {
    if (settings_text::CanCreateFileIn(exeFolder)) return exeFolder;
    const std::string config = desktop_entry::ConfigHome();
    if (config.empty()) return exeFolder;
    return config + (config.back() == '/' ? "" : "/") + "pixelwright";
}

std::string TParameter::FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string TParameter::SpecialFolderPath(int folder) {
    switch (folder) {
    case ShortcutFolder::Desktop:
    case ShortcutFolder::DesktopDirectory:
        return desktop_entry::DesktopFolder();
    case ShortcutFolder::Programs:
    case ShortcutFolder::StartMenu: {
        const std::string data = desktop_entry::DataHome();
        return data.empty() ? data : data + "/applications";
    }
    case ShortcutFolder::Startup: {
        const std::string config = desktop_entry::ConfigHome();
        return config.empty() ? config : config + "/autostart";
    }
    default:
        return {};
    }
}

bool TParameter::CreateShortcut(int folder, const std::string& name) {
    const std::string path = ShortcutPath(folder, name);
    if (exeName_.empty() || path.empty() || !IsPlainFileName(name)) return false;
    try {
        // The menu and autostart folders are made on demand by whoever first puts a
        // launcher there; the desktop folder is the user's and is left to them.
        if (folder != ShortcutFolder::Desktop && folder != ShortcutFolder::DesktopDirectory) {
            std::error_code ec;
            std::filesystem::create_directories(FolderOf(path), ec);
        }
        // A launcher on the desktop must be executable before file managers start it.
        const bool onDesktop =
            folder == ShortcutFolder::Desktop || folder == ShortcutFolder::DesktopDirectory;
        settings_text::WriteFileAtomically(path, desktop_entry::LauncherText(exeName_, name),
                                           onDesktop ? 0755 : 0644);
    } catch (const Exception&) {
        return false;
    }
    // Menus, desktops and session managers watch these folders themselves, so the new
    // file is all the notice they need.
    return true;
}

bool TParameter::DeleteShortcut(int folder, const std::string& name) {
    const std::string path = ShortcutPath(folder, name);
    if (path.empty() || !IsPlainFileName(name)) return false;
    return ::unlink(path.c_str()) == 0;
}
