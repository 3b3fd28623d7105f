// Progress notification shared by the picture classes of this folder: a long operation
// (decoding, encoding, converting, rendering) reports its stage and percentage to an
// optional handler, which may stop the work by throwing EAbort.
#pragma once

#include <functional>
#include <string>

#include <QRect>

#include "platform/Exceptions.h"

class Graphic;

enum TProgressStage { psStarting, psRunning, psEnding };

// The silent abort: thrown by a progress handler to stop the current operation. The
// operation keeps or drops its partial result as its class documents and does not pass
// the abort on.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

// sender, stage, percent done, redraw now, the rectangle that changed, message.
using TProgressEvent =
    std::function<void(Graphic& sender, TProgressStage stage, int percent, bool redrawNow,
                       const QRect& rect, const std::string& message)>;
