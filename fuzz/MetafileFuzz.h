// The metafile harness shared by the EMF and WMF fuzz targets (the reader tells the two
// kinds apart by their content; the targets differ in their seed corpora). Whatever is
// read is played onto a small image and written back in both metafile formats.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include "FuzzSupport.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"

namespace {
std::unique_ptr<QGuiApplication> app;
}

// fontconfig keeps its caches for the life of the process; that is not a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Text playback needs the font database, which needs a GUI application. It is closed
    // before the leak check at exit, so the font library's caches are released first.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    app = std::make_unique<QGuiApplication>(*argc, *argv);
    std::atexit([] { app.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        Metafile m;
        m.loadFromBytes(std::span<const uint8_t>(data, size));
        pwfuzz::accepted = true;
        QImage img(64, 48, QImage::Format_RGB32);
        img.fill(Qt::white);
        {
            QPainter p(&img);
            m.paint(p, QRectF(0, 0, 64, 48));
        }
        Metafile back;
        back.loadFromBytes(m.saveToEmfBytes());
        back.loadFromBytes(m.saveToWmfBytes());
    } catch (const Exception&) {
    }
    return 0;
}
