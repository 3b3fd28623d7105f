// Colour values for display: 0x00BBGGRR, red in the lowest byte.
#pragma once

#include <cstdint>

using TColor = uint32_t;

inline constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<TColor>(r) | (static_cast<TColor>(g) << 8) | (static_cast<TColor>(b) << 16);
}
inline constexpr uint8_t GetRValue(TColor c) {
    return c & 0xFF;
}
inline constexpr uint8_t GetGValue(TColor c) {
    return (c >> 8) & 0xFF;
}
inline constexpr uint8_t GetBValue(TColor c) {
    return (c >> 16) & 0xFF;
}

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clSilver = 0xC0C0C0;
