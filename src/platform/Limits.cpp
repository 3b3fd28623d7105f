#include "platform/Limits.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>

#include <unistd.h>

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"

namespace limits {

namespace {

std::atomic<double> g_heldBytesPerPixel{0.0};
std::atomic<uint64_t> g_ceiling{0};
std::atomic<uint64_t> g_machineMemory{0};
std::atomic<int64_t> g_machineMemoryReadAt{0};
std::atomic<bool> g_machineMemoryKnown{false};

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint64_t physicalMemory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

// MemAvailable of /proc/meminfo in bytes, or 0 when it cannot be read.
uint64_t memAvailable() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t value = 0;
    std::string unit;
    while (in >> key >> value) {
        std::getline(in, unit);
        if (key == "MemAvailable:") return value > UINT64_MAX / 1024 ? UINT64_MAX : value * 1024;
    }
    return 0;
}

uint64_t machineMemory() {
    const int64_t now = nowMs();
    if (g_machineMemoryKnown.load() && now - g_machineMemoryReadAt.load() < 1000)
        return g_machineMemory.load();
    uint64_t bytes = memAvailable();
    if (bytes == 0) bytes = physicalMemory();
    // Nothing known at all: do not refuse on a guess.
    if (bytes == 0) bytes = UINT64_MAX;
    g_machineMemory = bytes;
    g_machineMemoryReadAt = now;
    g_machineMemoryKnown = true;
    return bytes;
}

std::string sizeText(int64_t width, int64_t height) {
    return std::to_string(width) + " × " + std::to_string(height) + " ピクセル";
}

} // namespace

void checkPictureSize(int64_t width, int64_t height, bool allowEmpty) {
    if (width < 0 || height < 0 || (!allowEmpty && (width == 0 || height == 0)))
        throw EInvalidGraphic("画像の大きさが不正です (" + std::to_string(width) + " × " +
                              std::to_string(height) + ")");
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
        throw EPictureTooLarge("画像が大きすぎます: " + sizeText(width, height) + " (上限は一辺 " +
                               std::to_string(kMaxSide) + " ピクセル、面積 " +
                               std::to_string(kMaxPixels) + " ピクセル)");
}

uint64_t checkedMul(uint64_t a, uint64_t b) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a)
        throw EInvalidGraphic("画像の大きさが不正です");
    return a * b;
}

void setHeldBytesPerPixel(double bytesPerPixel) {
    g_heldBytesPerPixel = bytesPerPixel > 0 ? bytesPerPixel : 0.0;
}

double heldBytesPerPixel() {
    return g_heldBytesPerPixel.load();
}

void setMemoryCeiling(uint64_t bytes) {
    g_ceiling = bytes;
}

uint64_t memoryCeiling() {
    return g_ceiling.load();
}

uint64_t availableMemory() {
    const uint64_t machine = machineMemory();
    const uint64_t ceiling = g_ceiling.load();
    return ceiling != 0 && ceiling < machine ? ceiling : machine;
}

uint64_t estimatedPictureBytes(int64_t width, int64_t height, int bitsPerPixel) {
    if (width <= 0 || height <= 0) return 0;
    // Sides are at most kMaxSide here or the caller checked them: no overflow below.
    const uint64_t w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
    const uint64_t bits = static_cast<uint64_t>(bitsPerPixel > 0 ? bitsPerPixel : 32);
    const uint64_t stride = (w * bits + 31) / 32 * 4;
    const double copies =
        g_heldBytesPerPixel.load() * static_cast<double>(w) * static_cast<double>(h);
    return stride * h + static_cast<uint64_t>(copies);
}

void checkPictureToOpen(int64_t width, int64_t height, int bitsPerPixel, bool allowEmpty,
                        uint64_t alreadyHeld) {
    checkPictureSize(width, height, allowEmpty);
    const uint64_t need = estimatedPictureBytes(width, height, bitsPerPixel) + alreadyHeld;
    uint64_t have = availableMemory();
    if (need > have) {
        // Freed pixel memory kept for reuse counts as used; give it back and look again.
        releaseSparePixelMemory();
        have = availableMemory();
    }
    if (need > have)
        throw EPictureTooLarge("画像が大きすぎます: " + sizeText(width, height) + "を開くには約 " +
                               formatBytes(need) + " のメモリが要りますが、使えるのは " +
                               formatBytes(have) + " です");
}

std::string formatBytes(uint64_t bytes) {
    char text[32];
    if (bytes >= (uint64_t(1) << 30))
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / (1 << 30));
    else if (bytes >= (uint64_t(1) << 20))
        std::snprintf(text, sizeof text, "%llu MB",
                      static_cast<unsigned long long>((bytes + (1 << 19)) >> 20));
    else
        std::snprintf(text, sizeof text, "%llu KB",
                      static_cast<unsigned long long>((bytes + 512) >> 10));
    return text;
}

} // namespace limits
