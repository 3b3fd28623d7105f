#include "PngTestSupport.h"

#include <fstream>

#include <zlib.h>

#include "support/TestSupport.h"

namespace pngtest {

std::string magick() {
    return std::filesystem::exists("/usr/bin/convert") ? "/usr/bin/convert" : "convert";
}

bool haveMagick() {
    return std::filesystem::exists("/usr/bin/convert") || fmtest::haveTool("convert");
}

int python(const std::string& program, const std::vector<std::string>& args, std::string* output) {
    pwtest::TempDir dir;
    auto script = dir / "script.py";
    std::ofstream(script) << program;
    std::string command = "/usr/bin/python3 " + fmtest::shellQuote(script);
    for (const auto& a : args)
        command += " " + fmtest::shellQuote(a);
    return fmtest::run(command + " 2>&1", output);
}

fmtest::RgbImage magickFlat(const std::filesystem::path& file) {
    pwtest::TempDir dir;
    auto out = dir / "flat.ppm";
    fmtest::run(magick() + " " + fmtest::shellQuote(file) +
                " -background white -alpha remove -alpha off -depth 8 " +
                fmtest::shellQuote("ppm:" + out.string()) + " 2>/dev/null");
    return fmtest::readPnm(out);
}

int maxDifference(const fmtest::RgbImage& a, const fmtest::RgbImage& b) {
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size()) return -1;
    int worst = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i)
        worst = std::max(worst, std::abs(int(a.rgb[i]) - int(b.rgb[i])));
    return worst;
}

std::vector<uint8_t> chunk(const char type[4], const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    uint32_t n = uint32_t(data.size());
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(uint8_t(n >> s));
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    crc = crc32(crc, data.data(), uInt(data.size()));
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(uint8_t(crc >> s));
    return out;
}

std::vector<uint8_t> ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType,
                          uint8_t interlace) {
    std::vector<uint8_t> d;
    for (uint32_t v : {width, height})
        for (int s = 24; s >= 0; s -= 8)
            d.push_back(uint8_t(v >> s));
    d.insert(d.end(), {depth, colorType, 0, 0, interlace});
    return chunk("IHDR", d);
}

std::vector<uint8_t> deflate(const std::vector<uint8_t>& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    std::vector<uint8_t> out(size);
    compress2(out.data(), &size, raw.data(), uLong(raw.size()), 9);
    out.resize(size);
    return out;
}

std::vector<uint8_t> png(const std::vector<std::vector<uint8_t>>& chunks) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (const auto& c : chunks)
        out.insert(out.end(), c.begin(), c.end());
    auto end = chunk("IEND", {});
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

} // namespace pngtest
