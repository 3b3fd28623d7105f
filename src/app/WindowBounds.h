// A window's bounds and state in the settings, as the main and histogram windows keep
// them: left, top, client width and height, and the state (0 normal, 1 minimised,
// 2 maximised). A maximised window keeps its last normal bounds in the file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QPoint>
#include <QSize>

class QWidget;
class TParameter;

struct BoundsKeys {
    std::string_view left, top, width, height, state;
};

struct WindowBounds {
    int left = 0, top = 0, width = 0, height = 0, state = 0;
};

// Reads the five keys. A key that is missing or malformed reads as its first-run value
// (the position keys as `position` when given) and its message is appended to messages.
WindowBounds ReadWindowBounds(const TParameter& settings, const BoundsKeys& keys,
                              std::vector<std::string>& messages,
                              std::optional<QPoint> position = std::nullopt);
// Moves window to the bounds' position. Qt's geometry overflows for coordinates near the
// integer limits; such a window is off every screen either way, so they are clamped.
void PlaceWindow(QWidget& window, const WindowBounds& bounds);
// Maximises or minimises window for states 2 and 1.
void ApplyWindowState(QWidget& window, int state);
// Writes position and client size unless the window is maximised, and always its state.
void WriteWindowBounds(TParameter& settings, const BoundsKeys& keys, const QWidget& window,
                       QPoint position, QSize client);

// The settings messages collected while reading, one per line.
std::string JoinMessages(const std::vector<std::string>& messages);
