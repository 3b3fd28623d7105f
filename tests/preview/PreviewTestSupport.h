// Helpers of the print preview tests: a fixed printer geometry, and reading printed PDFs
// back with poppler's tools.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <QImage>
#include <QString>

#include <gtest/gtest.h>

#include "preview/PrintLayout.h"

namespace pvtest {

// A4 at 600 dpi with Qt's default margins, as a PDF printer reports it.
inline TPrinterInfo A4At600() {
    TPrinterInfo in;
    in.PrintableWidthPx = 4792;
    in.PrintableHeightPx = 6851;
    in.PaperWidthPx = 4958;
    in.PaperHeightPx = 7017;
    in.MarginLeftPx = 83;
    in.MarginTopPx = 83;
    in.PrinterDpiX = in.PrinterDpiY = 600;
    in.ScreenDpiX = in.ScreenDpiY = 96;
    in.ScreenWidthPx = 1920;
    in.ScreenHeightPx = 1080;
    in.Derive();
    return in;
}

// Whether an external program is there; a missing one skips the test, or fails it when
// PW_REQUIRE_TOOLS=1.
inline bool haveTool(const char* name) {
    const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

#define PV_REQUIRE_TOOL(name)                                                                      \
    do {                                                                                           \
        if (!pvtest::haveTool(name)) {                                                             \
            const char* req = std::getenv("PW_REQUIRE_TOOLS");                                     \
            if (req && std::string(req) == "1") FAIL() << name << " (poppler-utils) is missing";   \
            GTEST_SKIP() << name << " (poppler-utils) is not installed";                           \
        }                                                                                          \
    } while (0)

// Runs a shell command and returns its standard output.
std::string runCommand(const std::string& command);
// Page count from pdfinfo (-1 when unreadable).
int pdfPages(const std::filesystem::path& pdf);
// Page `page` (from 1) rendered at dpi by pdftocairo, which draws images 1:1 exactly.
QImage renderPdfPage(const std::filesystem::path& pdf, int page, int dpi);
// Object numbers of the images of every page, from pdfimages -list.
std::vector<int> pdfImageObjects(const std::filesystem::path& pdf);

// Whether region of `page` at (x, y) equals `picture` exactly.
::testing::AssertionResult sameRegion(const QImage& page, int x, int y, const QImage& picture);

} // namespace pvtest
