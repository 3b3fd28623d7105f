// Helpers shared by the test executables.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

class Bitmap;
class Metafile;

namespace pwtest {

// Called once by the test main after the Qt application exists: fixes the screen facts
// and registers every picture format that is linked in.
void initTestEnvironment();

// A fresh empty folder for one test, removed when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// tests/data/<name>
std::filesystem::path dataPath(const std::string& name);

std::vector<uint8_t> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// A bitmap file (headers only) whose header declares a picture of width × height, 24 bits.
std::vector<uint8_t> bmpHeaderOnly(int width, int height);

// A metafile of natural size w × h with a red rectangle recorded in its top-left quarter.
Metafile redCornerMetafile(int w, int h);

// A deterministic 24-bit test picture with smooth gradients and some noise.
Bitmap makeTestBitmap(int width, int height, uint32_t seed = 1);

// Pixel-exact comparison of two bitmaps (format, size, palette and every pixel byte that
// belongs to the picture; row padding is ignored).
::testing::AssertionResult sameBitmap(const Bitmap& a, const Bitmap& b);

} // namespace pwtest
