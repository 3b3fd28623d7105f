#include "formats/GIFPainter.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include "formats/GIFImage.h"

namespace {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool onUiThread() {
    auto* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void dispatchEvents() {
    if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

TGIFPainter::TGIFPainter(TGIFImage& image, uint16_t options) : image_(image), options_(options) {
    if (image.Images.size() <= 1) options_ &= static_cast<uint16_t>(~((1 << 0) | (1 << 2)));
    // Without an application there is no user-interface thread to hand steps to.
    if (!QCoreApplication::instance()) options_ &= static_cast<uint16_t>(~1);
    target_ = Bitmap(image.width(), image.height(), pf24bit);
}

TGIFPainter::~TGIFPainter() {
    stop();
    waitFor();
}

void TGIFPainter::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

void TGIFPainter::waitFor() {
    // Called from an event handler inside one of this painter's own steps: the thread is
    // blocked until that step returns, so it cannot be waited for here; it ends after the
    // step, having been told to stop.
    if (inStep_ && onUiThread()) return;
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) return;
        while (running_) {
            if (onUiThread())
                dispatchEvents();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        thread_.join();
    }
}

void TGIFPainter::runOnUi(const std::function<void()>& step) {
    auto guarded = [&] {
        inStep_ = true;
        struct Reset {
            std::atomic<bool>& flag;
            ~Reset() { flag = false; }
        } reset{inStep_};
        try {
            step();
        } catch (...) {
            error_ = std::current_exception();
            stop_ = true;
        }
    };
    if (onUiThread())
        guarded();
    else
        QMetaObject::invokeMethod(QCoreApplication::instance(), guarded,
                                  Qt::BlockingQueuedConnection);
}

void TGIFPainter::fire(const std::function<void(TGIFPainter&)>& event) {
    if (event) event(*this);
}

uint32_t TGIFPainter::backgroundColor() const {
    if (image_.BackdropColor) return *image_.BackdropColor;
    const auto& global = image_.Header.ColorMap;
    if (global.count() == 0) return clWhite; // the system window colour
    int i = image_.Header.Background < global.count() ? image_.Header.Background : 0;
    const Rgb& c = global.Colors[static_cast<size_t>(i)];
    return RGBColor(c.r, c.g, c.b);
}

void TGIFPainter::start() {
    {
        std::lock_guard<std::mutex> lock(image_.paintersLock_);
        image_.painters_.push_back(this);
    }
    running_ = true;
    // The first frame is painted before start returns, so a caller can show it at once.
    runOnUi([&] {
        begin();
        int waitMs = 0;
        if (!stop_ && prepareNext(waitMs) && !stop_)
            paintCurrent();
        else
            stop_ = true;
    });
    if (onOwnThread() && !stop_)
        thread_ = std::thread([this] { run(); });
    else
        run();
}

void TGIFPainter::run() {
    while (!stop_) {
        int waitMs = 0;
        bool more = false;
        runOnUi([&] { more = !stop_ && prepareNext(waitMs); });
        if (!more || stop_) break;
        if (!wait(waitMs)) break;
        runOnUi([&] {
            if (!stop_) paintCurrent();
        });
    }
    runOnUi([&] { finish(); });
    running_ = false;
}

bool TGIFPainter::wait(int ms) {
    if (onOwnThread() && !onUiThread()) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (ms < 0)
            wake_.wait(lock, [&] { return stop_.load(); });
        else
            wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_.load(); });
        return !stop_;
    }
    // On the user-interface thread: sleep in slices, dispatching events between them.
    int64_t end = nowMs() + std::max(ms, 0);
    for (;;) {
        dispatchEvents();
        if (stop_) return false;
        int64_t left = end - nowMs();
        if (left <= 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(left, 100)));
    }
}

void TGIFPainter::begin() {
    fire(image_.OnStartPaint);
    ActiveImage = -1;
    LoopCount = 1;
    Passes = 1;
    loopStart_ = 0;
    loopRead_ = false;
    forever_ = false;
    PreviousDisposal = 0;
    Delay = 0;
    lastFrameTime_ = nowMs();
    lastWait_ = 0;
    // Start from the background colour.
    uint32_t bg = backgroundColor();
    for (int y = 0; y < target_.height(); ++y) {
        uint8_t* row = target_.scanLine(y);
        for (int x = 0; x < target_.width(); ++x) {
            row[3 * x] = GetBValue(bg);
            row[3 * x + 1] = GetGValue(bg);
            row[3 * x + 2] = GetRValue(bg);
        }
    }
}

bool TGIFPainter::prepareNext(int& waitMs) {
    const int n = static_cast<int>(image_.Images.size());
    bool first = ActiveImage < 0 && !FirstFramePainted;
    if (first) {
        ActiveImage = 0;
    } else {
        if (!(options_ & (1 << 2))) return false;
        ++ActiveImage;
    }
    auto usable = [&](int i) { return i >= 0 && i < n && !image_.Images[size_t(i)]->empty(); };
    if (!usable(ActiveImage)) {
        if (first) return false;
        --LoopCount;
        bool again = (options_ & (1 << 2)) && (options_ & (1 << 3)) &&
                     (LoopCount > 0 || (options_ & (1 << 4)) || forever_);
        if (!again) return false;
        ActiveImage = loopStart_;
        ++Passes;
        fire(image_.OnLoop);
        if (stop_ || !usable(ActiveImage)) return false;
    }
    image_.Images[static_cast<size_t>(ActiveImage)]->bitmap();
    if (first) {
        waitMs = 0;
    } else if (image_.PlaySpeed > 0) {
        int64_t late = (nowMs() - lastFrameTime_) - lastWait_;
        double ms = (Delay * 12.0 - late / 2.0) * 100.0 / image_.PlaySpeed;
        waitMs = std::max(0, static_cast<int>(std::lround(ms)));
    } else {
        waitMs = onOwnThread() ? -1 : 1000 * 12;
    }
    lastWait_ = std::max(waitMs, 0);
    return true;
}

void TGIFPainter::paintCurrent() {
    fire(image_.OnPaint);
    if (stop_) return;
    const int n = static_cast<int>(image_.Images.size());
    if (ActiveImage < 0 || ActiveImage >= n) return;
    const TGIFSubImage& frame = *image_.Images[static_cast<size_t>(ActiveImage)];
    Disposal = 0;
    const TGIFGraphicControlExtension* gce = nullptr;
    for (const auto& e : frame.Extensions) {
        if (auto* loop = dynamic_cast<const TGIFAppExtNSLoop*>(e.get())) {
            if (!loopRead_) {
                loopRead_ = true;
                LoopCount = loop->Loops;
                forever_ = onOwnThread() && loop->Loops == 0;
                loopStart_ = ActiveImage;
            }
        } else if (auto* g = dynamic_cast<const TGIFGraphicControlExtension*>(e.get())) {
            gce = g;
            Disposal = g->disposal();
        }
    }
    // Undo the previous frame as its disposal method asks.
    if (ActiveImage > 0 || Passes > 1) {
        const int prev = ActiveImage > 0 ? ActiveImage - 1 : n - 1;
        const TGIFSubImage& p = *image_.Images[static_cast<size_t>(prev)];
        if (PreviousDisposal == 2) {
            uint32_t bg = backgroundColor();
            for (int y = p.Top; y < std::min<int>(p.Top + p.Height, target_.height()); ++y) {
                uint8_t* row = target_.scanLine(y);
                for (int x = p.Left; x < std::min<int>(p.Left + p.Width, target_.width()); ++x) {
                    row[3 * x] = GetBValue(bg);
                    row[3 * x + 1] = GetGValue(bg);
                    row[3 * x + 2] = GetRValue(bg);
                }
            }
        } else if (PreviousDisposal == 3 && !previous_.empty()) {
            target_ = previous_;
        }
    }
    if (Disposal == 3) previous_ = target_;
    DrawFrameOn(frame, target_, options_ & (1 << 1));
    PreviousDisposal = Disposal;

    int delay = gce ? gce->Delay : 0;
    Delay = delay == 0 ? 10 : std::max(delay, 3);
    if (!onOwnThread()) Delay = std::min(Delay, 1000);
    lastFrameTime_ = nowMs();
    FirstFramePainted = true;
    fire(image_.OnAfterPaint);
}

void TGIFPainter::finish() {
    ActiveImage = -1;
    fire(image_.OnEndPaint);
    std::lock_guard<std::mutex> lock(image_.paintersLock_);
    auto& list = image_.painters_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

// ----- the image's list of painters -----

void TGIFImage::stopPainters() const {
    std::vector<TGIFPainter*> running;
    {
        std::lock_guard<std::mutex> lock(paintersLock_);
        running = painters_;
    }
    for (auto* p : running)
        p->stop();
    for (auto* p : running)
        p->waitFor();
}

bool TGIFImage::hasRunningPainter() const {
    std::lock_guard<std::mutex> lock(paintersLock_);
    return !painters_.empty();
}
