// Times the main window (run by scripts/bench-app.sh): starts the program as its own main
// does, with the picture named on the command line, and prints
//   first-paint-ms            from the start of main to the first painted frame of the picture
//   first-paint-epoch-ms      the wall clock at that frame (the script subtracts the moment it
//                             started the process, so loading the program counts too)
//   first-slider-ms           the first move of the brightness slider, made a while after the
//                             first frame as a person would, until the view has repainted
//   first-slider-settled-ms   the same until the work it queued (histogram) is done as well
//   ratio-repaint-median-ms   the median repaint of the visible view after display-ratio changes
// and quits.
//   bench_paint PICTURE [--settings-dir DIR] [--slider-delay-ms N]
// The settings file is read from DIR (pixelwright.ini) when given, else from beside the
// executable; a file there with Histgram=True opens the histogram window at start.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <QAbstractEventDispatcher>
#include <QScrollArea>
#include <QSlider>
#include <QTimer>

#include "app/Application.h"
#include "app/Frame.h"
#include "app/Histgram.h"
#include "app/PictureView.h"
#include "document/Document.h"
#include "document/PicturePreload.h"
#include "platform/Limits.h"
#include "settings/Param.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Runs every event already queued, and the ones they queue in turn, without waiting.
void drainEvents() {
    for (int i = 0; i < 50; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void measureRatioRepaints(TFrameForm& frame) {
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
}

void measureFirstSlider(TFrameForm& frame) {
    bool painted = false;
    frame.FastPicture1View->OnPainted = [&painted] { painted = true; };
    auto t0 = Clock::now();
    frame.TrackBar2->setValue(110);
    frame.FastPicture1View->repaint();
    const double toView = msSince(t0);
    drainEvents();
    if (frame.HistgramForm && frame.HistgramForm->isVisible()) frame.HistgramForm->repaint();
    const double settled = msSince(t0);
    frame.FastPicture1View->OnPainted = nullptr;
    std::printf("first-slider-ms %.1f%s\n", toView, painted ? "" : " (view not painted)");
    std::printf("first-slider-settled-ms %.1f\n", settled);
}

} // namespace

int main(int argc, char** argv) {
    const auto start = Clock::now();
    TApplication app(argc, argv);
    InitializePlatform();
    limits::setHeldBytesPerPixel(3 + 4);
    const QStringList args = app.arguments().mid(1);
    QString settingsDir;
    int sliderDelayMs = 500;
    QStringList pictures;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--settings-dir") && i + 1 < args.size())
            settingsDir = args[++i];
        else if (args[i] == QLatin1String("--slider-delay-ms") && i + 1 < args.size())
            sliderDelayMs = args[++i].toInt();
        else
            pictures << args[i];
    }
    // As the program's main does: the picture is read while the window is being built.
    auto preload =
        pictures.isEmpty() ? nullptr : std::make_unique<TPicturePreload>(pictures.first());
    TFrameForm frame;
    frame.Document.Preload = std::move(preload);
    if (!settingsDir.isEmpty()) {
        frame.Parameter1->SetExeName((settingsDir + QStringLiteral("/pixelwright")).toStdString());
        frame.Parameter1->SetDir(settingsDir.toStdString());
        frame.Parameter1->SetFileName("pixelwright.ini");
    }
    frame.CommandLine = pictures;
    bool firstPainted = false;
    frame.FastPicture1View->OnPainted = [&frame, &firstPainted, start, sliderDelayMs] {
        if (firstPainted) return;
        firstPainted = true;
        std::printf("first-paint-ms %.1f\n", msSince(start));
        std::printf("first-paint-epoch-ms %.1f\n",
                    std::chrono::duration<double, std::milli>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count());
        std::fflush(stdout);
        QTimer::singleShot(sliderDelayMs, &frame, [&frame] {
            measureFirstSlider(frame);
            measureRatioRepaints(frame);
            std::fflush(stdout);
            frame.close();
        });
    };
    frame.show();
    return app.exec();
}
