// A window's bounds and state in the settings, as the main and histogram windows keep
// them: left, top, client width and height, and the state (0 normal, 1 minimised,
// 2 maximised). A maximised window keeps its last normal bounds in the file.
#pragma once

#include <string_view>

#include <QSize>

class QWidget;
class TParameter;

struct BoundsKeys {
    std::string_view left, top, width, height, state;
};

struct WindowBounds {
    int left = 0, top = 0, width = 0, height = 0, state = 0;
};

// Reads the five keys (the settings' errors pass to the caller).
WindowBounds ReadWindowBounds(const TParameter& settings, const BoundsKeys& keys);
// Maximises or minimises window for states 2 and 1.
void ApplyWindowState(QWidget& window, int state);
// Writes the bounds unless the window is maximised, and always its state.
void WriteWindowBounds(TParameter& settings, const BoundsKeys& keys, const QWidget& window,
                       QSize client);
