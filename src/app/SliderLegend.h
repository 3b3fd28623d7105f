// The numbers under a slider's ticks: each number is centred under the position the
// slider's handle takes at that value, so the legend lines up with the ticks whatever the
// font and style.
#pragma once

#include <initializer_list>
#include <utility>

#include <QWidget>

class QLabel;
class QSlider;

class TSliderLegend : public QWidget {
public:
    // Placed in the slider's parent at row y, as wide as the slider plus a margin on both
    // sides for the end numbers; pixelSize is the numbers' font size.
    TSliderLegend(QSlider* slider, int y, int pixelSize,
                  std::initializer_list<std::pair<int, const char*>> marks);

    // The x (in the slider's parent) of the centre of the handle at value.
    static int TickCentre(const QSlider* slider, int value);

    static constexpr int kMargin = 14;
};
