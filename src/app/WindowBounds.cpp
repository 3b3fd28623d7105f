#include "app/WindowBounds.h"

#include <QWidget>

#include "settings/Param.h"

namespace {
int stateCode(Qt::WindowStates state) {
    if (state & Qt::WindowMinimized) return 1;
    if (state & Qt::WindowMaximized) return 2;
    return 0;
}
} // namespace

WindowBounds ReadWindowBounds(const TParameter& settings, const BoundsKeys& keys) {
    WindowBounds b;
    b.left = settings.ReadInteger(keys.left);
    b.top = settings.ReadInteger(keys.top);
    b.width = settings.ReadInteger(keys.width);
    b.height = settings.ReadInteger(keys.height);
    b.state = settings.ReadInteger(keys.state);
    return b;
}

void ApplyWindowState(QWidget& window, int state) {
    if (state == 2)
        window.setWindowState(Qt::WindowMaximized);
    else if (state == 1)
        window.setWindowState(Qt::WindowMinimized);
}

void WriteWindowBounds(TParameter& settings, const BoundsKeys& keys, const QWidget& window,
                       QSize client) {
    const int state = stateCode(window.windowState());
    if (state != 2) {
        settings.WriteInteger(keys.left, window.x());
        settings.WriteInteger(keys.top, window.y());
        settings.WriteInteger(keys.width, client.width());
        settings.WriteInteger(keys.height, client.height());
    }
    settings.WriteInteger(keys.state, state);
}
