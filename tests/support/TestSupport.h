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

// ----- outside programs the tests compare with -----
//
// A test that checks our files against another program must not pass silently when that
// program is missing. These report whether a tool is there; when it is not and the
// environment sets PW_REQUIRE_TOOLS=1 (CI does), the absence is itself recorded as a
// failure of the running test, so a skip or a left-out comparison cannot go unnoticed.
// Otherwise the caller may skip, with PW_SKIP_WITHOUT or by leaving the comparison out.

// True when PW_REQUIRE_TOOLS=1 is set.
bool toolsRequired();
// True when `program` runs: found on the PATH, or an absolute path that can be executed.
// Results are cached per program.
bool haveTool(const std::string& program);
// True when a shell command that probes for a tool succeeds (for tools that need more
// than being on the PATH, such as a Python module); `what` names it in the failure.
bool haveToolBy(const std::string& what, const std::string& probeCommand);
// True when /usr/bin/python3 can import PIL (Pillow).
bool havePillow();

// Skips the current test (or fails it under PW_REQUIRE_TOOLS=1; the have... call has
// already recorded the failure) when `available` is false.
#define PW_SKIP_WITHOUT(available, what)                                                           \
    do {                                                                                           \
        if (!(available)) GTEST_SKIP() << (what) << " is not installed";                           \
    } while (0)

// Pixel-exact comparison of two bitmaps (format, size, palette and every pixel byte that
// belongs to the picture; row padding is ignored).
::testing::AssertionResult sameBitmap(const Bitmap& a, const Bitmap& b);

// jpeg (a whole JPEG file) with an APP1 EXIF segment after SOI whose one IFD entry is the
// Orientation tag (little-endian TIFF) set to orientation.
std::vector<uint8_t> withExifOrientation(const std::vector<uint8_t>& jpeg, uint16_t orientation);

} // namespace pwtest
