// The complete table of settings keys: name, kind, owning window and first-run value,
// in the order a first-run file lists them after its header.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

class TParameter;

namespace SettingsKeys {

// The header line of every settings file, written once on the first run.
inline constexpr std::string_view Header =
    "Pixelwright 環境設定ファイル --- このファイルは、編集しないで下さい。";

enum class KeyType { Integer, Boolean, String };

// The window whose close writes the key and whose show reads it back.
enum class KeyWindow { Main, Histogram, Preview };

struct KeyInfo {
    std::string_view name;
    KeyType type;
    KeyWindow window;
    int firstRunInteger;  // first-run value of an integer key
    bool firstRunBoolean; // first-run value of a Boolean key
    // True for the main window's position, whose first-run value is wherever the
    // window system placed the window.
    bool placedBySystem;
};

inline constexpr std::string_view Left = "Left";
inline constexpr std::string_view Top = "Top";
inline constexpr std::string_view ClientWidth = "ClientWidth";
inline constexpr std::string_view ClientHeight = "ClientHeight";
inline constexpr std::string_view WindowState = "WindowState"; // 0 normal, 1 minimised, 2 maximised
inline constexpr std::string_view JPEGQuality = "JPEGQuality"; // UpDown1
inline constexpr std::string_view EdgeLevel = "エッジ強調レベル";              // UpDown2
inline constexpr std::string_view NoiseLevel = "ノイズ除去レベル";             // UpDown3
inline constexpr std::string_view ContourLevel = "輪郭描画レベル";             // UpDown4
inline constexpr std::string_view MosaicLevel = "モザイクレベル";              // UpDown5
inline constexpr std::string_view PosterizeLevel = "ポスタリゼーションレベル"; // UpDown6
inline constexpr std::string_view OutlineLevel = "輪郭抽出レベル";             // UpDown7
inline constexpr std::string_view FrameWidth = "額縁の幅";                     // UpDown8
inline constexpr std::string_view FrameContrast = "額縁のコントラスト";        // UpDown9
inline constexpr std::string_view FrameLight = "額縁の光の方向"; // RadioButton1 checked
inline constexpr std::string_view OpenDir = "OpenDir";
inline constexpr std::string_view SaveDir = "SaveDir";
inline constexpr std::string_view Smooth = "Smooth"; // S1 checked
inline constexpr std::string_view HLeft = "HLeft";
inline constexpr std::string_view HTop = "HTop";
inline constexpr std::string_view HClientWidth = "HClientWidth";
inline constexpr std::string_view HClientHeight = "HClientHeight";
inline constexpr std::string_view HWindowState = "HWindowState";
inline constexpr std::string_view Histgram = "Histgram"; // H1 checked
inline constexpr std::string_view PLeft = "PLeft";
inline constexpr std::string_view PTop = "PTop";
inline constexpr std::string_view PClientWidth = "PClientWidth";
inline constexpr std::string_view PClientHeight = "PClientHeight";
inline constexpr std::string_view PWindowState = "PWindowState";
inline constexpr std::string_view PrintRatio = "PrintRatio";
inline constexpr std::string_view PreviewRatio = "PreviewRatio";
inline constexpr std::string_view GraphicMode = "GraphicMode";

namespace detail {
constexpr KeyInfo Int(std::string_view name, KeyWindow window, int value) {
    return {name, KeyType::Integer, window, value, false, false};
}
constexpr KeyInfo Bool(std::string_view name, KeyWindow window, bool value) {
    return {name, KeyType::Boolean, window, 0, value, false};
}
constexpr KeyInfo Str(std::string_view name, KeyWindow window) {
    return {name, KeyType::String, window, 0, false, false};
}
constexpr KeyInfo Placed(std::string_view name) {
    return {name, KeyType::Integer, KeyWindow::Main, 0, false, true};
}
} // namespace detail

inline constexpr std::array<KeyInfo, 32> Table = {{
    detail::Placed(Left),
    detail::Placed(Top),
    detail::Int(ClientWidth, KeyWindow::Main, 650),
    detail::Int(ClientHeight, KeyWindow::Main, 500),
    detail::Int(WindowState, KeyWindow::Main, 0),
    detail::Int(JPEGQuality, KeyWindow::Main, 70),
    detail::Int(EdgeLevel, KeyWindow::Main, 1),
    detail::Int(NoiseLevel, KeyWindow::Main, 0),
    detail::Int(ContourLevel, KeyWindow::Main, 1),
    detail::Int(MosaicLevel, KeyWindow::Main, 2),
    detail::Int(PosterizeLevel, KeyWindow::Main, 2),
    detail::Int(OutlineLevel, KeyWindow::Main, 1),
    detail::Int(FrameWidth, KeyWindow::Main, 1),
    detail::Int(FrameContrast, KeyWindow::Main, 105),
    detail::Bool(FrameLight, KeyWindow::Main, true),
    detail::Str(OpenDir, KeyWindow::Main),
    detail::Str(SaveDir, KeyWindow::Main),
    detail::Bool(Smooth, KeyWindow::Main, false),
    detail::Int(HLeft, KeyWindow::Histogram, 491),
    detail::Int(HTop, KeyWindow::Histogram, 355),
    detail::Int(HClientWidth, KeyWindow::Histogram, 294),
    detail::Int(HClientHeight, KeyWindow::Histogram, 209),
    detail::Int(HWindowState, KeyWindow::Histogram, 0),
    detail::Bool(Histgram, KeyWindow::Main, false),
    detail::Int(PLeft, KeyWindow::Preview, 240),
    detail::Int(PTop, KeyWindow::Preview, 235),
    detail::Int(PClientWidth, KeyWindow::Preview, 454),
    detail::Int(PClientHeight, KeyWindow::Preview, 294),
    detail::Int(PWindowState, KeyWindow::Preview, 0),
    detail::Int(PrintRatio, KeyWindow::Preview, 100),
    detail::Int(PreviewRatio, KeyWindow::Preview, 20),
    detail::Int(GraphicMode, KeyWindow::Preview, 0),
}};

// The entry of a key (names compared ignoring ASCII case), or nullptr.
const KeyInfo* Find(std::string_view name);

// Writes the first-run content into an empty settings store: the header, then every
// key of the table in order with its first-run value, the main window's position
// given as `left` and `top`. The main window then overwrites its own keys with its
// controls' values, which keeps their places in the file.
void WriteFirstRun(TParameter& parameter, int left, int top);

// Tolerant reads of the table's keys for restoring a window: a key that is missing or
// malformed reads as its first-run value and its message is appended to `messages`
// (see TParameter's tolerant reads). Keys placed by the system have no first-run value
// of their own: read them with TParameter::ReadInteger and the window's position.
int ReadInteger(const TParameter& parameter, std::string_view name,
                std::vector<std::string>& messages);
bool ReadBool(const TParameter& parameter, std::string_view name,
              std::vector<std::string>& messages);
std::string ReadString(const TParameter& parameter, std::string_view name,
                       std::vector<std::string>& messages);

} // namespace SettingsKeys
