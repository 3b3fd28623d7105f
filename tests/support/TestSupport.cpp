#include "support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Color.h"
#include "platform/Metafile.h"
#include "platform/Picture.h"
#include "platform/Screen.h"

namespace pwtest {

void initTestEnvironment() {
    setScreenInfo(ScreenInfo{});
    registerPlatformFileFormats();
}

Metafile redCornerMetafile(int w, int h) {
    Metafile m;
    m.setWidth(w);
    m.setHeight(h);
    {
        MetafileCanvas c(m);
        c.brush().color = clRed;
        c.fillRect(QRect(0, 0, w / 2, h / 2));
    }
    return m;
}

std::vector<uint8_t> bmpHeaderOnly(int width, int height) {
    std::vector<uint8_t> b(54, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, 54);
    put32(10, 54);
    put32(14, 40);
    put32(18, uint32_t(width));
    put32(22, uint32_t(height));
    b[26] = 1;
    b[28] = 24;
    return b;
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pwtest-XXXXXX").string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path dataPath(const std::string& name) {
    const char* root = std::getenv("PW_TEST_DATA");
    return std::filesystem::path(root ? root : "tests/data") / name;
}

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool toolsRequired() {
    const char* value = std::getenv("PW_REQUIRE_TOOLS");
    return value && std::string(value) == "1";
}

namespace {

bool probe(const std::string& what, const std::string& command) {
    static std::mutex lock;
    static std::map<std::string, bool> known;
    bool have;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = known.find(command);
        if (it == known.end())
            it = known.emplace(command, std::system((command + " >/dev/null 2>&1").c_str()) == 0)
                     .first;
        have = it->second;
    }
    if (!have && toolsRequired())
        ADD_FAILURE() << what << " is missing, and PW_REQUIRE_TOOLS=1 requires every tool the "
                      << "tests compare with (bash scripts/setup.sh installs them)";
    return have;
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

bool haveTool(const std::string& program) {
    return probe(program, "command -v " + quoted(program));
}

bool haveToolBy(const std::string& what, const std::string& probeCommand) {
    return probe(what, probeCommand);
}

bool havePillow() {
    return probe("Pillow (python3-pil)", "/usr/bin/python3 -c 'import PIL.Image'");
}

Bitmap makeTestBitmap(int width, int height, uint32_t seed) {
    Bitmap bmp(width, height, pf24bit);
    std::mt19937 rng(seed);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bmp.scanLine(y);
        for (int x = 0; x < width; ++x) {
            int noise = static_cast<int>(rng() % 17) - 8;
            auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
            row[3 * x] = clamp(x * 255 / std::max(1, width - 1) + noise);
            row[3 * x + 1] = clamp(y * 255 / std::max(1, height - 1) + noise);
            row[3 * x + 2] = clamp(((x + y) * 7) % 256 + noise);
        }
    }
    return bmp;
}

::testing::AssertionResult sameBitmap(const Bitmap& a, const Bitmap& b) {
    if (a.width() != b.width() || a.height() != b.height())
        return ::testing::AssertionFailure() << "size " << a.width() << "x" << a.height() << " vs "
                                             << b.width() << "x" << b.height();
    if (a.pixelFormat() != b.pixelFormat())
        return ::testing::AssertionFailure()
               << "pixel format " << int(a.pixelFormat()) << " vs " << int(b.pixelFormat());
    if (!(a.palette() == b.palette())) return ::testing::AssertionFailure() << "palettes differ";
    size_t rowBits = static_cast<size_t>(a.width()) * static_cast<size_t>(a.bitsPerPixel());
    size_t fullBytes = rowBits / 8;
    int restBits = static_cast<int>(rowBits % 8);
    for (int y = 0; y < a.height(); ++y) {
        const uint8_t* ra = a.scanLine(y);
        const uint8_t* rb = b.scanLine(y);
        for (size_t i = 0; i < fullBytes; ++i)
            if (ra[i] != rb[i])
                return ::testing::AssertionFailure() << "row " << y << " byte " << i << ": "
                                                     << int(ra[i]) << " vs " << int(rb[i]);
        if (restBits) {
            uint8_t mask = static_cast<uint8_t>(0xFF << (8 - restBits));
            if ((ra[fullBytes] & mask) != (rb[fullBytes] & mask))
                return ::testing::AssertionFailure() << "row " << y << " last bits differ";
        }
    }
    return ::testing::AssertionSuccess();
}

std::vector<uint8_t> withExifOrientation(const std::vector<uint8_t>& jpeg, uint16_t orientation) {
    const uint8_t o0 = uint8_t(orientation), o1 = uint8_t(orientation >> 8);
    const std::vector<uint8_t> app1 = {
        0xFF, 0xE1, 0,   36,                            // APP1, 36 bytes
        'E',  'x',  'i', 'f', 0, 0,                     // EXIF marker
        'I',  'I',  42,  0,   8, 0, 0, 0,               // little-endian TIFF header, IFD at 8
        1,    0,                                        // one entry:
        0x12, 1,    3,   0,   1, 0, 0, 0, o0, o1, 0, 0, // Orientation, SHORT, count 1, value
        0,    0,    0,   0,                             // no next IFD
    };
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), app1.begin(), app1.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

} // namespace pwtest
