// Facts about the screen that pictures are shown on: size in pixels and millimetres and
// logical dots per inch. The program sets them from the real screen at start; tests and
// the command-line tool use fixed values.
#pragma once

struct ScreenInfo {
    int widthPx = 1920;
    int heightPx = 1080;
    int widthMm = 508; // 96 dots per inch physically
    int heightMm = 286;
    int logPixelsX = 96;
    int logPixelsY = 96;
    int bitsPerPixel = 32;
};

const ScreenInfo& screenInfo();
void setScreenInfo(const ScreenInfo& info);
