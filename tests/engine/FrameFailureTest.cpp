// Operations whose conversion or work runs out of memory: the exception reaches the caller,
// the held picture is the one from before the call, the control keeps its size and flags,
// and no OnAmended follows the OnAmend.
//
// Each case runs in a child process whose address space is capped just above what it
// holds, so that the picture's working copy, its 24-bit conversion or the result cannot
// be allocated.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "ToneTestHelpers.h"
#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"
#include "support/TestSupport.h"

using namespace tonetest;

#if defined(__SANITIZE_ADDRESS__)
#define PW_NO_ADDRESS_LIMIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PW_NO_ADDRESS_LIMIT 1
#endif
#endif

namespace {

// The address space the process has mapped now, in bytes.
uint64_t mappedBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    return 0;
}

// Caps the address space at what is mapped now plus headroom.
bool limitMemory(uint64_t headroom) {
    const uint64_t now = mappedBytes();
    if (now == 0) return false;
    rlimit limit{now + headroom, now + headroom};
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

// Runs the check in a child process; the child exits 0 when it passes and prints what
// failed otherwise.
void inChild(const std::function<std::string()>& check) {
#ifdef PW_NO_ADDRESS_LIMIT
    GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            engine::setThreadCount(1);
            // Large blocks are mapped and unmapped apiece, so that a freed picture does not
            // stay in the heap as room for the next one.
            mallopt(M_MMAP_THRESHOLD, 1 << 20);
            const std::string failure = check();
            std::fprintf(stderr, "%s\n", failure.c_str());
            std::exit(failure.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "^\n$");
}

constexpr uint64_t kMiB = 1u << 20;

// Runs operation on fp after capping memory; reports what went wrong, or "".
std::string failsCleanly(TFastPicture& fp, const std::function<void(TFastPicture&)>& operation,
                         const char* kind, uint64_t headroom) {
    EventLog log(fp);
    if (!limitMemory(headroom)) return "cannot limit the address space";
    try {
        operation(fp);
    } catch (const std::exception&) {
        if (log.events != std::vector<std::string>{std::string("Amend ") + kind})
            return "events: " + (log.events.empty() ? std::string("none") : log.events.back());
        if (log.invalidations != 0) return "the view was invalidated";
        return "";
    }
    return "no exception";
}

std::string sameAs(const Bitmap& after, const Bitmap& before) {
    const auto same = pwtest::sameBitmap(after, before);
    return same ? "" : std::string("picture changed: ") + same.message();
}

} // namespace

TEST(FrameFailure, EightBitPictureStaysAsItWas) {
    struct Case {
        const char* kind;
        std::function<void(TFastPicture&)> operation;
        uint64_t headroom;
    };
    const Case cases[] = {
        // No room for the 27 MB conversion of the 9 MB picture.
        {"Negative", [](TFastPicture& f) { f.Negative(); }, 16 * kMiB},
        // Room for the conversion, not for the result bitmap after it.
        {"Blur", [](TFastPicture& f) { f.Blur(); }, 44 * kMiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        inChild([&c] {
            // Made at 8 bits directly: a conversion would leave thread stacks and arenas
            // mapped, room that the capped operation could then use.
            Bitmap picture(3000, 3000, pf8bit);
            picture.setPalette(Palette::halftone());
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x)
                    picture.scanLine(y)[x] = static_cast<uint8_t>((x * 7 + y * 3) % 216);
            TFastPicture fp;
            fp.picture().assign(&picture);
            std::string failure = failsCleanly(fp, c.operation, c.kind, c.headroom);
            if (failure.empty() && held(fp).pixelFormat() != pf8bit) failure = "format changed";
            if (failure.empty()) failure = sameAs(held(fp), picture);
            return failure;
        });
    }
}

TEST(FrameFailure, ResultThatCannotBeMadeLeavesThePicture) {
    struct Case {
        const char* kind;
        std::function<void(TFastPicture&)> operation;
    };
    const Case cases[] = {
        {"Blur", [](TFastPicture& f) { f.Blur(); }},                 // result bitmap
        {"Turn", [](TFastPicture& f) { f.Turn(90); }},               // result bitmap
        {"Enlarge", [](TFastPicture& f) { f.Enlarge(3000, 2000); }}, // result bitmap
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        inChild([&c] {
            const Bitmap picture = pwtest::makeTestBitmap(2000, 2000); // 12 MB
            TFastPicture fp;
            fp.picture().assign(&picture);
            fp.SetBounds(500, 400);
            std::string failure = failsCleanly(fp, c.operation, c.kind, 4 * kMiB);
            if (failure.empty()) failure = sameAs(held(fp), picture);
            if (failure.empty() && (fp.Width != 500 || fp.Height != 400))
                failure = "control size changed";
            if (failure.empty() && (!fp.Stretch || fp.AutoSize)) failure = "flags changed";
            return failure;
        });
    }
}

TEST(FrameFailure, TrimmingAMetafileThatCannotBeRasterisedKeepsIt) {
    inChild([] {
        Metafile m;
        m.setWidth(4000);
        m.setHeight(3000);
        {
            MetafileCanvas c(m);
            c.brush().color = clRed;
            c.fillRect(QRect(0, 0, 2000, 1500));
        }
        TFastPicture fp;
        fp.picture().assign(&m);
        fp.SetBounds(400, 300);
        // Drawing the whole metafile takes 48 MB.
        std::string failure = failsCleanly(
            fp,
            [](TFastPicture& f) {
                f.Trimming({10, 10, 99, 99}, false);
            },
            "Trimming", 8 * kMiB);
        if (failure.empty() && fp.GetPictureType() != picMetafile) failure = "not a metafile";
        if (failure.empty() && (fp.picture().width() != 4000 || fp.picture().height() != 3000))
            failure = "metafile size changed";
        if (failure.empty() && (fp.Width != 400 || fp.Height != 300))
            failure = "control size changed";
        if (failure.empty() && (!fp.Stretch || fp.AutoSize)) failure = "flags changed";
        return failure;
    });
}

TEST(FrameFailure, InPlaceRowsRunExactlyOnceWhenARangeFails) {
    const int saved = engine::threadCount();
    engine::setThreadCount(4);
    std::vector<int> visits(400, 0);
    bool failed = false;
    // The range holding row 200 fails once before writing, as a worker that cannot start.
    engine::forEachRowRangeOnce(
        400,
        [&](int y0, int y1) {
            if (y0 <= 200 && 200 < y1 && !failed) {
                failed = true;
                throw std::runtime_error("no thread");
            }
            for (int y = y0; y < y1; ++y)
                ++visits[size_t(y)];
        },
        16);
    EXPECT_TRUE(failed);
    EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), 400);

    // A range that fails again passes its error on.
    EXPECT_THROW(engine::forEachRowRangeOnce(
                     400,
                     [](int y0, int y1) {
                         if (y0 <= 200 && 200 < y1) throw std::runtime_error("broken");
                     },
                     16),
                 std::runtime_error);
    engine::setThreadCount(saved);
}
