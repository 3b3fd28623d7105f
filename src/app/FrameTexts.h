// The main window's own texts, each written once.
#pragma once

namespace texts {

inline constexpr const char* kTitle = "Pixelwright Version 0.8";
inline constexpr const char* kAboutText = "\nPixelwright  Version 0.8";
inline constexpr const char* kFontName = "ＭＳ Ｐゴシック";
inline constexpr const char* kSubstituteFont = "IPAPGothic";
inline constexpr const char* kCannotOpen = " は開けません。";

// PNG and WebP come after the original entries, so that index 6 stays the "*.*" entry
// (which shows every picture, these included).
inline constexpr const char* kOpenFilter =
    "JPEG (*.jpg *jpeg);;GIF (*.gif);;Bitmap (*.bmp);;Metafile (*.emf *.wmf);;Icon (*.ico);;*.* "
    "(*);;PNG (*.png);;WebP (*.webp)";
inline constexpr const char* kSaveFilter =
    "JPEG (*.jpg *.jpeg);;GIF (*.gif);;Bitmap (*.bmp);;Metafile (*.emf *.wmf);;Icon "
    "(*.ico);;*.* (*);;PNG (*.png);;WebP (*.webp)";
// Filter index 6 of the dialogs: the "*.*" entry (1-based, as the dialogs count).
inline constexpr int kFilterIndex = 6;
inline constexpr const char* kSaveTitle = "画像ファイルの保存";

} // namespace texts
