#include "FormatsTestSupport.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "formats/PictureIO.h"
#include "support/TestSupport.h"

namespace {
// The format tests need the JPEG and GIF classes in the registry.
class FormatsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { registerPictureFormats(); }
};
[[maybe_unused]] auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new FormatsEnvironment);
} // namespace

namespace fmtest {

std::string shellQuote(const std::filesystem::path& p) {
    std::string s = p.string(), out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int run(const std::string& command, std::string* output) {
    FILE* f = ::popen(command.c_str(), "r");
    if (!f) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    int status = ::pclose(f);
    if (output) *output = text;
    return status;
}

bool haveTool(const std::string& name) {
    return pwtest::haveTool(name);
}

bool havePillow() {
    return pwtest::havePillow();
}

RgbImage readPnm(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    RgbImage img;
    std::string magic;
    in >> magic;
    auto next = [&] {
        int v = 0;
        for (;;) {
            in >> std::ws;
            if (in.peek() == '#') {
                std::string line;
                std::getline(in, line);
                continue;
            }
            in >> v;
            return v;
        }
    };
    img.width = next();
    img.height = next();
    int maxval = next();
    in.get();
    if (maxval != 255 || (magic != "P5" && magic != "P6")) return RgbImage{};
    size_t pixels = static_cast<size_t>(img.width) * img.height;
    if (magic == "P6") {
        img.rgb.resize(pixels * 3);
        in.read(reinterpret_cast<char*>(img.rgb.data()),
                static_cast<std::streamsize>(img.rgb.size()));
    } else {
        std::vector<uint8_t> grey(pixels);
        in.read(reinterpret_cast<char*>(grey.data()), static_cast<std::streamsize>(grey.size()));
        for (uint8_t g : grey)
            img.rgb.insert(img.rgb.end(), {g, g, g});
    }
    return img;
}

RgbImage toRgb(const Bitmap& bmp) {
    Bitmap copy(bmp);
    copy.setPixelFormat(pf24bit);
    RgbImage img;
    img.width = copy.width();
    img.height = copy.height();
    for (int y = 0; y < copy.height(); ++y) {
        const uint8_t* p = copy.scanLine(y);
        for (int x = 0; x < copy.width(); ++x)
            img.rgb.insert(img.rgb.end(), {p[3 * x + 2], p[3 * x + 1], p[3 * x]});
    }
    return img;
}

} // namespace fmtest
