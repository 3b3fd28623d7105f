#include "app/WindowBounds.h"

#include <algorithm>

#include <QWidget>

#include "settings/Param.h"
#include "settings/SettingsKeys.h"

namespace {
int stateCode(Qt::WindowStates state) {
    if (state & Qt::WindowMinimized) return 1;
    if (state & Qt::WindowMaximized) return 2;
    return 0;
}
} // namespace

WindowBounds ReadWindowBounds(const TParameter& settings, const BoundsKeys& keys,
                              std::vector<std::string>& messages, std::optional<QPoint> position) {
    WindowBounds b;
    if (position) {
        b.left = settings.ReadInteger(keys.left, position->x(), messages);
        b.top = settings.ReadInteger(keys.top, position->y(), messages);
    } else {
        b.left = SettingsKeys::ReadInteger(settings, keys.left, messages);
        b.top = SettingsKeys::ReadInteger(settings, keys.top, messages);
    }
    b.width = SettingsKeys::ReadInteger(settings, keys.width, messages);
    b.height = SettingsKeys::ReadInteger(settings, keys.height, messages);
    b.state = SettingsKeys::ReadInteger(settings, keys.state, messages);
    return b;
}

void PlaceWindow(QWidget& window, const WindowBounds& bounds) {
    constexpr int kFar = QWIDGETSIZE_MAX;
    window.move(std::clamp(bounds.left, -kFar, kFar), std::clamp(bounds.top, -kFar, kFar));
}

void ApplyWindowState(QWidget& window, int state) {
    if (state == 2)
        window.setWindowState(Qt::WindowMaximized);
    else if (state == 1)
        window.setWindowState(Qt::WindowMinimized);
}

void WriteWindowBounds(TParameter& settings, const BoundsKeys& keys, const QWidget& window,
                       QPoint position, QSize client) {
    const int state = stateCode(window.windowState());
    if (state != 2) {
        settings.WriteInteger(keys.left, position.x());
        settings.WriteInteger(keys.top, position.y());
        settings.WriteInteger(keys.width, client.width());
        settings.WriteInteger(keys.height, client.height());
    }
    settings.WriteInteger(keys.state, state);
}

std::string JoinMessages(const std::vector<std::string>& messages) {
    std::string text;
    for (const std::string& m : messages)
        text += (text.empty() ? "" : "\n") + m;
    return text;
}
