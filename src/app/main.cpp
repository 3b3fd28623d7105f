#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <QScrollArea>
#include <QSlider>
#include <QTimer>

#include "app/Application.h"
#include "app/Frame.h"
#include "app/PictureView.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Timing run for scripts/bench-app.sh (PW_BENCH_PAINT set): reports the time from the
// start of main to the first painted frame of the picture named on the command line,
// then the median time to repaint the visible view after display-ratio changes, and
// quits.
void arrangePaintBenchmark(TFrameForm& frame, Clock::time_point start) {
    frame.FastPicture1View->OnPainted = [&frame, start] {
        frame.FastPicture1View->OnPainted = nullptr;
        std::printf("first-paint-ms %.1f\n", msSince(start));
        QTimer::singleShot(0, &frame, [&frame] {
            const int ratios[] = {30, 70, 20, 50, 40, 60, 10, 80, 25, 45, 35, 55};
            std::vector<double> times;
            for (int round = 0; round < 3; ++round) {
                for (int ratio : ratios) {
                    auto t0 = Clock::now();
                    frame.TrackBar1->setValue(ratio);
                    frame.ScrollBox1->viewport()->repaint();
                    times.push_back(msSince(t0));
                }
            }
            std::sort(times.begin(), times.end());
            std::printf("ratio-repaint-median-ms %.2f\n", times[times.size() / 2]);
            std::fflush(stdout);
            frame.close();
        });
    };
}

} // namespace

int main(int argc, char** argv) {
    const auto start = Clock::now();
    TApplication app(argc, argv);
    InitializePlatform();
    TFrameForm frame;
    // Taken as bytes (Qt has removed its own options from argv): a name that is not valid
    // UTF-8 still opens.
    for (int i = 1; i < argc; ++i)
        frame.CommandLine << FromPath(argv[i]);
    if (qEnvironmentVariableIsSet("PW_BENCH_PAINT")) arrangePaintBenchmark(frame, start);
    frame.show();
    return app.exec();
}
