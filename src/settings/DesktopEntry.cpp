#include "settings/DesktopEntry.h"

#include <cstdlib>
#include <fstream>

#include <pwd.h>
#include <unistd.h>

#include "settings/Param.h"

namespace desktop_entry {

namespace {

// An environment variable that names an absolute folder, without trailing slashes.
std::string AbsoluteEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/') return {};
    std::string folder = value;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

std::string Join(const std::string& folder, std::string_view name) {
    if (folder.empty()) return {};
    std::string result = folder;
    if (result.back() != '/') result += '/';
    result += name;
    return result;
}

// The quoted value of a line `KEY="value"` of user-dirs.dirs, backslash escapes
// removed; empty when the line does not have that form.
std::string QuotedValue(std::string_view text) {
    if (text.size() < 2 || text.front() != '"') return {};
    std::string value;
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') return value;
        if (c == '\\' && i + 1 < text.size()) {
            value += text[++i];
            continue;
        }
        value += c;
    }
    return {}; // no closing quote
}

} // namespace

std::string HomeFolder() {
    std::string home = AbsoluteEnvironment("HOME");
    if (!home.empty()) return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        if (entry->pw_dir[0] == '/') return entry->pw_dir;
    return {};
}

std::string ConfigHome() {
    std::string folder = AbsoluteEnvironment("XDG_CONFIG_HOME");
    return folder.empty() ? Join(HomeFolder(), ".config") : folder;
}

std::string DataHome() {
    std::string folder = AbsoluteEnvironment("XDG_DATA_HOME");
    return folder.empty() ? Join(HomeFolder(), ".local/share") : folder;
}

std::string DesktopFolder() {
    const std::string home = HomeFolder();
    const std::string config = ConfigHome();
    if (!config.empty()) {
        std::ifstream in(Join(config, "user-dirs.dirs"));
        std::string line;
        std::string found;
        // Bound the work on a strange file: a real one has a dozen short lines.
        for (int count = 0; count < 1000 && std::getline(in, line); ++count) {
            constexpr std::string_view key = "XDG_DESKTOP_DIR=";
            if (line.compare(0, key.size(), key) != 0) continue;
            std::string value = QuotedValue(std::string_view(line).substr(key.size()));
            if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/')) {
                if (home.empty()) continue;
                value = home + value.substr(5);
            }
            if (!value.empty() && value[0] == '/') found = value;
        }
        if (!found.empty()) {
            while (found.size() > 1 && found.back() == '/')
                found.pop_back();
            return found;
        }
    }
    return Join(home, "Desktop");
}

std::string EscapeString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case ' ':
            out += i == 0 ? "\\s" : " ";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string QuoteExecArgument(std::string_view argument) {
    std::string out = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    out += '"';
    return out;
}

std::string LauncherText(const std::string& exeName, const std::string& name) {
    std::string workingFolder = TParameter::FolderOf(exeName);
    if (workingFolder.empty() || workingFolder.back() != '/') workingFolder += '/';
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n";
    text += "Name=" + EscapeString(name) + "\n";
    text += "Exec=" + EscapeString(QuoteExecArgument(exeName)) + " %f\n";
    text += "Path=" + EscapeString(workingFolder) + "\n";
    text += "Icon=pixelwright\n"
            "Terminal=false\n";
    return text;
}

} // namespace desktop_entry
