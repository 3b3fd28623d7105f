// Feeds arbitrary bytes to the icon reader. A refusal is an exception; an icon read must
// paint and write its bytes back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include <QImage>
#include <QPainter>

#include "FuzzSupport.h"
#include "platform/Exceptions.h"
#include "platform/Icon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    try {
        Icon icon;
        icon.loadFromBytes(bytes);
        pwfuzz::accepted = true;
        if (icon.saveToBytes().size() != size) std::abort();
        if (icon.width() <= 0 || icon.height() <= 0) std::abort();
        QImage target(16, 16, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&target);
        icon.paint(painter, QRectF(0, 0, 16, 16));
    } catch (const Exception&) {
    }
    return 0;
}
