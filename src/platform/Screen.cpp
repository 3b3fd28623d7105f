#include "platform/Screen.h"

namespace {
ScreenInfo& current() {
    static ScreenInfo info;
    return info;
}
} // namespace

const ScreenInfo& screenInfo() {
    return current();
}
void setScreenInfo(const ScreenInfo& info) {
    current() = info;
}
