// TGIFPainter: plays a GIF animation into an off-screen bitmap of the logical screen's
// size. On a thread of its own it only keeps time: every paint step and every painting
// event runs on the user-interface thread (a blocking queued call), so the host can
// repaint from the image's OnPaint event.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/Bitmap.h"

class TGIFImage;

class TGIFPainter {
public:
    // Takes a copy of the image's options (animation and thread bits cleared for an image
    // of one frame).
    TGIFPainter(TGIFImage& image, uint16_t options);
    ~TGIFPainter();
    TGIFPainter(const TGIFPainter&) = delete;
    TGIFPainter& operator=(const TGIFPainter&) = delete;

    // Paints the first frame at once (on the calling, user-interface thread) and then goes
    // on with the animation: on its own thread with option bit 0, else right here until
    // the animation ends or stop() is called from an event handler.
    void start();
    // Asks the painter to stop and wakes it.
    void stop();
    // Waits for the painter to end, dispatching the user-interface thread's events so the
    // steps it hands over can run.
    void waitFor();
    bool running() const { return running_; }
    bool stopped() const { return stop_; }
    // An error raised inside the painter, which stopped it.
    std::exception_ptr error() const { return error_; }

    TGIFImage& image() const { return image_; }
    const Bitmap& target() const { return target_; }
    uint16_t options() const { return options_; }

    // State for the painting events.
    int ActiveImage = -1;
    int LoopCount = 1;
    bool FirstFramePainted = false;
    int Disposal = 0;         // disposal method of the current frame
    int PreviousDisposal = 0; // of the previous frame
    int Delay = 0;            // next delay, in units of 12 ms
    int Passes = 0;           // passes started so far

private:
    bool onOwnThread() const { return options_ & 1; }
    void run();
    // Steps run on the user-interface thread.
    void begin();
    bool prepareNext(int& waitMs);
    void paintCurrent();
    void finish();
    void runOnUi(const std::function<void()>& step);
    // False when told to stop while waiting.
    bool wait(int ms);
    void fire(const std::function<void(TGIFPainter&)>& event);
    uint32_t backgroundColor() const;

    TGIFImage& image_;
    uint16_t options_;
    Bitmap target_;
    Bitmap previous_; // what lay under the current frame, for disposal 3
    int loopStart_ = 0;
    bool loopRead_ = false;
    bool forever_ = false;
    int64_t lastFrameTime_ = 0;
    int lastWait_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> inStep_{false};
    std::exception_ptr error_;
};
